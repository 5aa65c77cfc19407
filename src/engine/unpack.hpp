// Reading every field of a recipe out of one packet.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <iterator>
#include <vector>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"
#include "python/convert.hpp"
#include "recipe/placement.hpp"
#include "recipe/recipe.hpp"

namespace fieldloom::recipe {

// What a field's scalar rule reads: its raw value (numeric encodings) or its
// field bytes after the byte-order step (text encodings).
struct FieldInput {
    std::uint64_t raw;
    std::uint32_t bits;
    ByteSpan bytes;
};

using UnpackFn = Expected<PyRef> (*)(const FieldInput&);

// The value of a rule that cannot fail: a new reference, nullptr only when
// memory ran out.
using PlainFn = PyObject* (*)(std::uint64_t raw, std::uint32_t bits);

// A text rule's decoder before any str is made: validated and measured.
using TextDecodeFn = Expected<TextPlan> (*)(ByteSpan);

struct UnpackRow {
    UnpackFn unpack;
    bool reads_bytes;  // text: the scalar rule takes the field bytes
    PlainFn plain = nullptr;  // set for the rules that cannot fail
    TextDecodeFn decode_text = nullptr;  // set for the text rules: what `unpack` makes its str from
    bool ascii_is_text = false;  // ASCII bytes decode to themselves (UTF-8 and the single-byte codes)
};

// The scalar rule of each encoding, as a Python value.
const UnpackRow& unpack_row(Encoding encoding) noexcept;

// The failure of a field that does not end within its packet.
CodecError field_outside(PyObject* name, FieldBytes field, std::uint64_t packet_size);

// A text field's bytes after the byte-order step: "little" reverses them
// into `reversed`, which must have room for `n` bytes or be allowed to grow.
[[gnu::always_inline]] inline ByteSpan text_field_bytes(const std::uint8_t* field, std::uint64_t n, ByteOrder order,
                                                        std::vector<std::uint8_t>& reversed) {
    if (order != ByteOrder::Little) return ByteSpan(field, n);
    reversed.assign(std::make_reverse_iterator(field + n), std::make_reverse_iterator(field));
    return ByteSpan(reversed.data(), reversed.size());
}

// The value of one field whose bytes lie within the packet, by its
// encoding's row. `reversed` is scratch for little-endian text.
[[gnu::always_inline]] inline Expected<PyRef> field_value(const std::uint8_t* field, std::uint64_t n, ByteOrder order, std::uint32_t bits,
                                   bool reverse_bits, const UnpackRow& row, std::vector<std::uint8_t>& reversed) {
    const std::uint64_t raw = bit_step(raw_value(field, n, order), bits, reverse_bits);
    const ByteSpan bytes = row.reads_bytes ? text_field_bytes(field, n, order, reversed) : ByteSpan(field, n);
    return row.unpack(FieldInput{raw, bits, bytes});
}

// The dict of name -> value, or the first failure (not yet wrapped).
Expected<PyRef> process_recipe(ByteSpan packet, std::uint64_t offset_bits, const kind::ItemRefs& recipe);

// The module function: engine failures wrapped into ValueError.
Expected<PyRef> unpack_parameters(ByteSpan packet, std::uint64_t offset_bits, kind::ItemRefs recipe);

}  // namespace fieldloom::recipe
