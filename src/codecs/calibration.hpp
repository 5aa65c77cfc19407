// Calibrations and absolute times of packet definitions: from a field's value
// to its engineering value, one value at a time. Plain C++ on plain values;
// the batch engine's column loops and the per-packet path call these same
// functions, so a value calibrates the same way in both. Every function is
// noexcept and allocation-free: a value that cannot be converted returns
// false (the caller reports it as a bad value).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace fieldloom::calibration {

// c[0] + c[1] x + ... + c[n-1] x^(n-1) by Horner's rule from c[n-1], every
// step rounded in double (one multiply, then one add: never fused, so the
// result is the one a plain-Python loop gives). For m values at once: each
// step runs across all of them, which vectorises and gives every value the
// very operations of the one-value form.
inline void polynomial(const double* c, std::size_t n, const double* x, double* out, std::size_t m) noexcept {
    const double top = n == 0 ? 0.0 : c[n - 1];
    for (std::size_t j = 0; j < m; ++j) out[j] = top;
    for (std::size_t k = n == 0 ? 0 : n - 1; k-- > 0;) {
        const double coefficient = c[k];
        for (std::size_t j = 0; j < m; ++j) {
            const double product = out[j] * x[j];
            out[j] = product + coefficient;
        }
    }
}

inline double polynomial(const double* c, std::size_t n, double x) noexcept {
    double result = 0.0;
    polynomial(c, n, &x, &result, 1);
    return result;
}

namespace detail {

// The number of points at or below x (points strictly increasing); NaN is
// below none of them.
inline std::size_t points_at_or_below(const double* xs, std::size_t n, double x) noexcept {
    std::size_t low = 0;
    std::size_t high = n;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (xs[middle] <= x) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// The piece from point i to point i + 1 at x. A flat piece is its value
// everywhere (also at an infinite x, where the slope form gives NaN).
inline double piece(const double* xs, const double* ys, std::size_t i, double x) noexcept {
    if (ys[i] == ys[i + 1]) return ys[i];
    const double t = (x - xs[i]) / (xs[i + 1] - xs[i]);
    return ys[i] + t * (ys[i + 1] - ys[i]);
}

}  // namespace detail

// Piecewise calibration through n >= 2 points (xs strictly increasing).
// Order 1: linear between the points around x; x on an inner point uses the
// piece that starts there, the last point the last piece. Order 0: the
// engineering value of the last point at or below x. Outside [xs[0],
// xs[n-1]] (NaN is outside) it returns false, unless `extrapolate`: then the
// first and last pieces extend (order 0: the first and last values), and NaN
// gives NaN.
inline bool spline(const double* xs, const double* ys, std::size_t n, int order, bool extrapolate, double x,
                   double& out) noexcept {
    if (n == 0) return false;
    if (std::isnan(x)) {
        out = x;
        return extrapolate;
    }
    const bool below = x < xs[0];
    const bool above = x > xs[n - 1];
    if ((below || above) && !extrapolate) return false;
    if (order == 0 || n == 1) {
        out = below ? ys[0] : ys[detail::points_at_or_below(xs, n, x) - 1];
        return true;
    }
    std::size_t at = below ? 1 : detail::points_at_or_below(xs, n, x);
    if (at >= n) at = n - 1;  // the last point and beyond use the last piece
    out = detail::piece(xs, ys, at - 1, x);
    return true;
}

// The position of `code` among n sorted codes, or -1: an enumeration's
// lookup (T is std::int64_t or std::uint64_t, the field's signedness).
template <class T>
inline std::ptrdiff_t find_code(const T* codes, std::size_t n, T code) noexcept {
    std::size_t low = 0;
    std::size_t high = n;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (codes[middle] < code) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low < n && codes[low] == code ? static_cast<std::ptrdiff_t>(low) : -1;
}

// -- absolute times: int64 nanoseconds since 1970-01-01 ----------------------------------------------------------
//
// The most negative int64 is NumPy's "not a time" in a datetime64[ns]
// column, so it is no time: a result there fails like any other that does
// not fit.

inline constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
inline constexpr std::int64_t kNanosecondsPerDay = 86'400 * kNanosecondsPerSecond;

namespace detail {

// To the nearest integer, ties to even, in the default rounding mode; the
// 2^52 trick, as the baseline has no rounding instruction. NaN stays NaN.
inline double round_half_even(double v) noexcept {
    constexpr double kTwo52 = 4503599627370496.0;
    const double magnitude = std::fabs(v);
    if (!(magnitude < kTwo52)) return v;  // already whole, infinite or NaN
    return std::copysign((magnitude + kTwo52) - kTwo52, v);
}

__extension__ typedef __int128 int128;

// The time since the epoch may itself lie outside int64 (an epoch near one
// end, a time back near the other): only the sum has to fit.
inline bool add_time(std::int64_t epoch_ns, int128 since_epoch_ns, std::int64_t& out) noexcept {
    const int128 sum = int128{epoch_ns} + since_epoch_ns;
    if (sum <= std::numeric_limits<std::int64_t>::min() || sum > std::numeric_limits<std::int64_t>::max()) return false;
    out = static_cast<std::int64_t>(sum);
    return true;
}

}  // namespace detail

// Time: epoch + (x * scale + offset) seconds, the seconds times 1e9 rounded
// to the nearest nanosecond, ties to even (each operation rounded in double).
inline bool time_ns(double x, double scale, double offset, std::int64_t epoch_ns, std::int64_t& out) noexcept {
    const double scaled = x * scale;
    const double seconds = scaled + offset;
    const double nanoseconds = detail::round_half_even(seconds * 1e9);
    // NaN fails both comparisons; past 2^64 either way no epoch brings it back into int64.
    if (!(nanoseconds > -18446744073709551616.0 && nanoseconds < 18446744073709551616.0)) return false;
    return detail::add_time(epoch_ns, static_cast<detail::int128>(nanoseconds), out);
}

// CUC: epoch + coarse seconds + fine / 2^(8 fine_bytes) seconds, truncated to
// the nanosecond (fine_bytes 0 to 3; fine below 2^(8 fine_bytes)).
inline bool cuc_ns(std::uint64_t coarse, std::uint64_t fine, unsigned fine_bytes, std::int64_t epoch_ns,
                   std::int64_t& out) noexcept {
    // coarse < 2^64 and fine < 2^24 (fine * 1e9 < 2^54): exact in 128 bits.
    const auto fraction_ns =
        static_cast<std::int64_t>((fine * static_cast<std::uint64_t>(kNanosecondsPerSecond)) >> (8 * fine_bytes));
    return detail::add_time(epoch_ns, detail::int128{coarse} * kNanosecondsPerSecond + fraction_ns, out);
}

// The same from the raw value of one unsigned field: coarse bytes, then fine.
inline bool cuc_ns(std::uint64_t raw, unsigned fine_bytes, std::int64_t epoch_ns, std::int64_t& out) noexcept {
    const unsigned fine_bits = 8 * fine_bytes;
    const std::uint64_t fine = fine_bits == 0 ? 0 : raw & ((std::uint64_t{1} << fine_bits) - 1);
    return cuc_ns(fine_bits == 0 ? raw : raw >> fine_bits, fine, fine_bytes, epoch_ns, out);
}

// CDS: epoch + days + milliseconds + microseconds. The milliseconds and
// microseconds are counts added as they are (a leap second's day holds
// 86,400,999 ms).
inline bool cds_ns(std::uint64_t days, std::uint64_t milliseconds, std::uint64_t microseconds, std::int64_t epoch_ns,
                   std::int64_t& out) noexcept {
    // days < 2^64 and days * 86400e9 < 2^111: exact in 128 bits, as are the two smaller parts.
    if (milliseconds > 0xFFFFFFFFULL || microseconds > 0xFFFFFFFFULL) return false;
    const auto within_day = static_cast<std::int64_t>(milliseconds * 1'000'000 + microseconds * 1'000);
    return detail::add_time(epoch_ns, detail::int128{days} * kNanosecondsPerDay + within_day, out);
}

// The same from the raw value of one unsigned field: days, 32 bits of
// milliseconds, then `submillisecond_bits` (0 or 16) of microseconds.
inline bool cds_ns(std::uint64_t raw, unsigned submillisecond_bits, std::int64_t epoch_ns, std::int64_t& out) noexcept {
    const std::uint64_t microseconds =
        submillisecond_bits == 0 ? 0 : raw & ((std::uint64_t{1} << submillisecond_bits) - 1);
    const std::uint64_t rest = raw >> submillisecond_bits;
    return cds_ns(rest >> 32, rest & 0xFFFFFFFFULL, microseconds, epoch_ns, out);
}

}  // namespace fieldloom::calibration
