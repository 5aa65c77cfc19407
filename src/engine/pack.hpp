// Building a packet from a recipe and a dict of named values.
#pragma once

#include "python/python.hpp"

#include "codecs/codec_error.hpp"
#include "python/convert.hpp"

namespace fieldloom::recipe {

// The packet, or the first failure. `unwrapped` is set for failures that the
// caller sees as they are (an output that cannot be allocated).
Expected<PyRef> pack_packet(const kind::ItemRefs& recipe, PyObject* values, bool& unwrapped);

// The module function: engine failures wrapped into ValueError.
Expected<PyRef> pack_parameters(kind::ItemRefs recipe, PyObject* values);

}  // namespace fieldloom::recipe
