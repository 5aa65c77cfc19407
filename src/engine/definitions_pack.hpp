// Packets of a packet type with no variable part, built from columns: every
// value through the recipe's encoder of its encoding (so the values and the
// errors are pack_parameters'), then laid at its bit by the placement rule.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <vector>

#include "engine/pack.hpp"
#include "recipe/placement.hpp"

namespace fieldloom::defs {

struct PackField {
    PyRef name;
    std::uint64_t start = 0;   // first bit in the packet
    std::uint32_t bits = 0;    // of a value (an array's element)
    bool array = false;
    std::uint64_t count = 0;   // elements of an array
    recipe::ByteOrder order = recipe::ByteOrder::Big;
    bool binary = false;
    recipe::NumericPackFn numeric = nullptr;  // numeric encodings
    recipe::PackFn text = nullptr;            // text encodings
};

// The fields from the Python layer: a list of (name, start, bits,
// count, encoding, byte_order), count None for a single value and encoding a
// recipe name or "binary".
// False with the exception set on a malformed list or an encoding that does
// not pack.
bool read_pack_fields(PyObject* placements, std::vector<PackField>& fields);

// `rows` packets of `size` bytes back to back. `columns` holds one list per
// field of `rows` values (for an array, lists of `count` values). A failing
// value raises what pack_parameters raises for it; `where` then holds its
// row and field. New bytes, or nullptr with the exception set.
PyObject* pack_rows(const std::vector<PackField>& fields, PyObject* columns, std::uint64_t rows, std::uint64_t size,
                    std::int64_t where[2]);

}  // namespace fieldloom::defs
