// Whole recordings: many packets of one layout to NumPy columns and back.
#pragma once

#include "python/python.hpp"

#include <cstdint>

#include "engine/batch_kernels.hpp"
#include "engine/batch_layout.hpp"
#include "python/buffers.hpp"

namespace fieldloom::batch {

// The element type of a column, and its NumPy type code.
enum class Column : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64, Object };
inline constexpr const char* kDtypeCodes[] = {"u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8", "f4", "f8", "O"};

// The smallest type holding every value the encoding gives at that width.
Column column_of(Encoding encoding, std::uint32_t bits) noexcept;
// make.template operator()<Rule, Out>(): a loop (or anything else) made for
// the encoding's scalar rule and the column's element type.
template <class Make>
auto with_rule(Encoding encoding, Column column, Make&& make) noexcept {
    const auto integers = [&]<class Rule>() {
        switch (column) {
            case Column::U8: return make.template operator()<Rule, std::uint8_t>();
            case Column::U16: return make.template operator()<Rule, std::uint16_t>();
            case Column::U32: return make.template operator()<Rule, std::uint32_t>();
            case Column::U64: return make.template operator()<Rule, std::uint64_t>();
            case Column::I8: return make.template operator()<Rule, std::int8_t>();
            case Column::I16: return make.template operator()<Rule, std::int16_t>();
            case Column::I32: return make.template operator()<Rule, std::int32_t>();
            default: return make.template operator()<Rule, std::int64_t>();
        }
    };
    const auto floats = [&]<class Rule>() {
        return column == Column::F32 ? make.template operator()<Rule, float>()
                                     : make.template operator()<Rule, double>();
    };
    switch (encoding) {
        case Encoding::Unsigned: return integers.template operator()<rule::Unsigned>();
        case Encoding::TwosComplement: return integers.template operator()<rule::Signed<decode_twos_complement>>();
        case Encoding::OnesComplement: return integers.template operator()<rule::Signed<decode_ones_complement>>();
        case Encoding::SignMagnitude: return integers.template operator()<rule::Signed<decode_sign_magnitude>>();
        case Encoding::PackedBcd: return integers.template operator()<rule::Bcd<decode_packed_bcd, false>>();
        case Encoding::PackedBcdSigned: return integers.template operator()<rule::Bcd<decode_packed_bcd, true>>();
        case Encoding::UnpackedBcd: return integers.template operator()<rule::Bcd<decode_unpacked_bcd, false>>();
        case Encoding::UnpackedBcdSigned: return integers.template operator()<rule::Bcd<decode_unpacked_bcd, true>>();
        case Encoding::Ieee754F16: return floats.template operator()<rule::Float<decode_ieee754_f16>>();
        case Encoding::Ieee754F32: return floats.template operator()<rule::Float<decode_ieee754_f32>>();
        case Encoding::Ieee754F64: return floats.template operator()<rule::Float<decode_ieee754_f64>>();
        default: return floats.template operator()<rule::Zero>();
    }
}

// The loop from raw values to a column of that type (`check`: only flag failures).
Convert convert_for(Encoding encoding, Column column, bool check) noexcept;

// The NumPy type code of the column a field fills ("u1" ... "f8", "O").
const char* column_dtype(Encoding encoding, std::uint32_t bits) noexcept;

// Moves the rows [first, count) of a column that did not fail down over the
// failed ones, in order; objects of failed rows become None.
void drop_rows(void* column, std::uint64_t row_bytes, bool objects, const std::uint8_t* failed, std::uint64_t first,
               std::uint64_t count) noexcept;

// Checks caller-given packet offsets and lengths once, before any is read;
// ValueError set and false for the first that lies outside the buffer.
bool check_geometry(const Packets& packets);

// A 1-D int64 array handed over by the Python layer; TypeError naming `what` otherwise.
bool hold_index_array(PyObject* array, HeldBuffer& held, const char* what);

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
