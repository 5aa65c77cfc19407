// Whole recordings: many packets of one layout to NumPy columns and back.
#pragma once

#include "python/python.hpp"

#include <cstdint>

#include "engine/batch_layout.hpp"

namespace fieldloom::batch {

// The NumPy type code of the column a field fills ("u1" ... "f8", "O").
const char* column_dtype(Encoding encoding, std::uint32_t bits) noexcept;

struct Recording {
    PyObject* buffer = nullptr;
    PyObject* offsets = nullptr;  // a 1-D int64 array, or nullptr
    PyObject* lengths = nullptr;  // likewise
    std::uint64_t stride = 0;     // with no offsets
    bool has_count = false;
    std::uint64_t count = 0;
    bool skip = false;  // refuse failing packets instead of raising
    std::uint64_t threads = 1;
    bool utf8_text = false;  // text columns as (offsets, UTF-8 bytes, size) instead of str objects
};

// errors="raise": dict of columns (with utf8_text, a text column is a tuple
// of int64 offsets, a uint8 array and the bytes of it used); "skip": (columns, index, [(index, offset, error)]).
// New reference, or nullptr with the exception set.
PyObject* unpack_many(const CompiledLayout& layout, const Recording& recording);

// `columns` holds one sequence per field (None where no column is given),
// each `count` long. New bytes, or nullptr with the exception set.
PyObject* pack_many(const CompiledLayout& layout, PyObject* columns, std::uint64_t count, std::uint64_t stride);

}  // namespace fieldloom::batch
