// Calibration of whole columns: the scalar rules of codecs/calibration.hpp
// applied to every row of a decoded column, without the interpreter lock and
// without allocating. Rows that fail are flagged; the caller builds the
// message for the ones it reports.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fieldloom::batch {

// The column types a decoded numeric entry has (NumPy u1 ... f8).
enum class ValueType : std::uint8_t { U8, U16, U32, U64, I8, I16, I32, I64, F32, F64 };

enum class CalibrationKind : std::uint8_t { Polynomial, Spline, Enumeration, Boolean, Time, Cuc, Cds };

struct CalibrationPlan {
    CalibrationKind kind = CalibrationKind::Polynomial;
    // Polynomial: the coefficients c0 ... cn. Spline: the points' values.
    const double* xs = nullptr;
    // Spline: the points' engineering values.
    const double* ys = nullptr;
    // Coefficients, points or enumeration codes.
    std::size_t size = 0;
    int order = 1;
    bool extrapolate = false;
    // Enumeration: the codes in increasing order, of the column's signedness
    // (a float column has no codes). Codes the column cannot hold are left out.
    const std::int64_t* signed_codes = nullptr;
    const std::uint64_t* unsigned_codes = nullptr;
    // Enumeration: whether a code without a label takes the `other` label.
    bool has_other = false;
    // Times.
    std::int64_t epoch_ns = 0;
    double scale = 1.0;
    double offset = 0.0;
    // CUC: fine bytes; CDS: submillisecond bits.
    unsigned fraction = 0;
};

// What each kind writes per row, and where a row fails:
//   Polynomial, Spline   double      (NaN where it fails)
//   Enumeration          int32       position of the code among the codes, or `size` for a code with none
//   Boolean              bool
//   Time, Cuc, Cds       int64 ns since 1970 (the NaT value where it fails)
// `failed` (may be null) gets one bool per row. Returns the rows that fail.
std::size_t calibrate_column(const CalibrationPlan& plan, ValueType type, const void* values, std::size_t rows,
                             void* out, bool* failed) noexcept;

// A column whose rows each take the calibration their case picks (a
// contextual calibration): value i belongs to row i / width, whose case
// cases[row] is a position among `count` plans, or `count` or more for the
// value as a double. Polynomials and splines only: the out is double. Each
// plan runs on its values through calibrate_column's loop, a chunk at a
// time, so a value calibrates exactly as it would alone.
std::size_t calibrate_cases(const CalibrationPlan* plans, std::size_t count, ValueType type, const void* values,
                            std::size_t n, const std::uint32_t* cases, std::size_t width, double* out,
                            bool* failed) noexcept;

}  // namespace fieldloom::batch
