// Reading every field of a recipe out of one packet.
#pragma once

#include "python/python.hpp"

#include <cstdint>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"
#include "python/convert.hpp"

namespace fieldloom::recipe {

// The dict of name -> value, or the first failure (not yet wrapped).
Expected<PyRef> process_recipe(ByteSpan packet, std::uint64_t offset_bits, const kind::ItemRefs& recipe);

// The module function: engine failures wrapped into ValueError.
Expected<PyRef> unpack_parameters(ByteSpan packet, std::uint64_t offset_bits, kind::ItemRefs recipe);

}  // namespace fieldloom::recipe
