// Building a packet from a recipe and a dict of named values.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <vector>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"
#include "python/convert.hpp"
#include "recipe/placement.hpp"
#include "recipe/recipe.hpp"

namespace fieldloom::recipe {

// A field's encoded bytes: a numeric raw value, or a text's planned bytes.
struct Encoded {
    bool is_text = false;
    std::uint64_t raw = 0;
    BytesPlan text;
};

using PackFn = Expected<Encoded> (*)(PyObject* value, std::uint32_t bits);

// The encoder of each encoding that packing accepts (nullptr for the others).
PackFn pack_row(Encoding encoding) noexcept;

// The same for the numeric encodings, giving the raw value (nullptr for text
// and for the encodings packing refuses).
using NumericPackFn = Expected<std::uint64_t> (*)(PyObject* value, std::uint32_t bits);
NumericPackFn numeric_pack_row(Encoding encoding) noexcept;

// The failure of a name without a value.
CodecError missing_value(PyObject* name);

// Lays one encoded field into the `size`-byte output from bit `position`.
// Fails only when a text turns out to hold a lone surrogate.
Expected<Unit> write_encoded(std::uint8_t* out, std::uint64_t size, std::uint64_t position, std::uint32_t bits,
                             bool reverse_bits, ByteOrder order, const Encoded& encoded,
                             std::vector<std::uint8_t>& scratch);

// The packet, or the first failure. `unwrapped` is set for failures that the
// caller sees as they are (an output that cannot be allocated).
Expected<PyRef> pack_packet(const kind::ItemRefs& recipe, PyObject* values, bool& unwrapped);

// The module function: engine failures wrapped into ValueError.
Expected<PyRef> pack_parameters(kind::ItemRefs recipe, PyObject* values);

}  // namespace fieldloom::recipe
