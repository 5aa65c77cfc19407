#include "engine/calibrate.hpp"

#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>

#include "codecs/calibration.hpp"

namespace fieldloom::batch {

namespace {

constexpr std::int64_t kNotATime = std::numeric_limits<std::int64_t>::min();

// One loop per kind and column type: `rule(value, out)` returns whether the
// row calibrates. The flag store is unconditional, so the loop has no branch
// on the outcome.
template <class T, class Out, class Rule>
std::size_t each_row(const T* values, std::size_t rows, Out* out, bool* failed, Rule rule) noexcept {
    std::size_t failures = 0;
    if (failed == nullptr) {
        for (std::size_t i = 0; i < rows; ++i) failures += !rule(values[i], out[i]);
    } else {
        for (std::size_t i = 0; i < rows; ++i) {
            const bool fails = !rule(values[i], out[i]);
            failed[i] = fails;
            failures += fails;
        }
    }
    return failures;
}

// The field's raw value of a time code: an unsigned count (a negative or
// fractional value is none).
template <class T>
bool as_count(T value, std::uint64_t& count) noexcept {
    if constexpr (std::is_floating_point_v<T>) {
        return false;
    } else if constexpr (std::is_signed_v<T>) {
        count = static_cast<std::uint64_t>(value);
        return value >= 0;
    } else {
        count = value;
        return true;
    }
}

// An enumeration: the codes' positions looked up in a table over the span
// of the codes where it is small (one load per row), else searched.
template <class T>
std::size_t enumerate(const CalibrationPlan& plan, const T* values, std::size_t rows, std::int32_t* out,
                      bool* failed) noexcept {
    using Code = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
    const Code* codes = std::is_signed_v<T> ? reinterpret_cast<const Code*>(plan.signed_codes)
                                            : reinterpret_cast<const Code*>(plan.unsigned_codes);
    const auto none = static_cast<std::int32_t>(plan.size);
    const auto found = [&](std::int32_t at) { return at != none || plan.has_other; };
    constexpr std::uint64_t kMostTable = std::uint64_t{1} << 16;
    const auto low = plan.size == 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(codes[0]);
    const std::uint64_t span = plan.size == 0 ? 0 : static_cast<std::uint64_t>(codes[plan.size - 1]) - low;
    std::unique_ptr<std::int32_t[]> table;
    if (plan.size != 0 && span < kMostTable) table.reset(new (std::nothrow) std::int32_t[span + 1]);
    if (!table) {
        return each_row(values, rows, out, failed, [&](T value, std::int32_t& result) {
            const std::ptrdiff_t at = calibration::find_code(codes, plan.size, static_cast<Code>(value));
            result = at < 0 ? none : static_cast<std::int32_t>(at);
            return found(result);
        });
    }
    for (std::uint64_t k = 0; k <= span; ++k) table[k] = none;
    for (std::size_t k = 0; k < plan.size; ++k)
        table[static_cast<std::uint64_t>(codes[k]) - low] = static_cast<std::int32_t>(k);
    return each_row(values, rows, out, failed, [&](T value, std::int32_t& result) {
        const std::uint64_t place = static_cast<std::uint64_t>(static_cast<Code>(value)) - low;
        result = place <= span ? table[place] : none;
        return found(result);
    });
}

template <class T>
std::size_t calibrate_typed(const CalibrationPlan& plan, const T* values, std::size_t rows, void* out,
                            bool* failed) noexcept {
    using namespace calibration;
    switch (plan.kind) {
        case CalibrationKind::Polynomial: {
            // A chunk at a time, each Horner step across the chunk.
            auto* result = static_cast<double*>(out);
            constexpr std::size_t kChunk = 256;
            double x[kChunk];
            for (std::size_t i = 0; i < rows; i += kChunk) {
                const std::size_t m = rows - i < kChunk ? rows - i : kChunk;
                for (std::size_t j = 0; j < m; ++j) x[j] = static_cast<double>(values[i + j]);
                polynomial(plan.xs, plan.size, x, result + i, m);
            }
            if (failed != nullptr) std::memset(failed, 0, rows);
            return 0;
        }
        case CalibrationKind::Spline:
            return each_row(values, rows, static_cast<double*>(out), failed, [&](T value, double& result) {
                if (spline(plan.xs, plan.ys, plan.size, plan.order, plan.extrapolate, static_cast<double>(value),
                           result))
                    return true;
                result = std::numeric_limits<double>::quiet_NaN();
                return false;
            });
        case CalibrationKind::Enumeration:
            if constexpr (std::is_floating_point_v<T>) {
                return each_row(values, rows, static_cast<std::int32_t*>(out), failed, [&](T, std::int32_t& result) {
                    result = static_cast<std::int32_t>(plan.size);
                    return plan.has_other;
                });
            } else {
                return enumerate(plan, values, rows, static_cast<std::int32_t*>(out), failed);
            }
        case CalibrationKind::Boolean:
            return each_row(values, rows, static_cast<bool*>(out), failed, [](T value, bool& result) {
                result = value != 0;
                return true;
            });
        case CalibrationKind::Time:
            return each_row(values, rows, static_cast<std::int64_t*>(out), failed, [&](T value, std::int64_t& ns) {
                if (time_ns(static_cast<double>(value), plan.scale, plan.offset, plan.epoch_ns, ns)) return true;
                ns = kNotATime;
                return false;
            });
        case CalibrationKind::Cuc:
        case CalibrationKind::Cds: {
            const bool cuc = plan.kind == CalibrationKind::Cuc;
            return each_row(values, rows, static_cast<std::int64_t*>(out), failed, [&](T value, std::int64_t& ns) {
                std::uint64_t raw = 0;
                if (as_count(value, raw) && (cuc ? cuc_ns(raw, plan.fraction, plan.epoch_ns, ns)
                                                 : cds_ns(raw, plan.fraction, plan.epoch_ns, ns)))
                    return true;
                ns = kNotATime;
                return false;
            });
        }
    }
    return 0;
}

// Each plan's values of a chunk gathered, calibrated together and put
// back in their places; values of no plan are converted.
template <class T>
std::size_t calibrate_chosen(const CalibrationPlan* plans, std::size_t count, const T* values, std::size_t n,
                             const std::uint32_t* cases, std::size_t width, double* out, bool* failed) noexcept {
    constexpr std::size_t kChunk = 256;
    T chosen[kChunk];
    std::uint32_t at[kChunk];
    std::uint32_t chunk_cases[kChunk];
    double results[kChunk];
    bool fails[kChunk];
    std::size_t failures = 0;
    for (std::size_t lo = 0; lo < n; lo += kChunk) {
        const std::size_t m = n - lo < kChunk ? n - lo : kChunk;
        std::uint32_t least = ~std::uint32_t{0};
        std::uint32_t most = 0;
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t k = width == 1 ? cases[lo + j] : cases[(lo + j) / width];
            chunk_cases[j] = k;
            least = k < least ? k : least;
            most = k > most ? k : most;
            out[lo + j] = static_cast<double>(values[lo + j]);
        }
        if (failed != nullptr) std::memset(failed + lo, 0, m);
        // Only the plans the chunk's rows take: telemetry keeps one case for long runs of packets.
        for (std::size_t k = least; k <= most && k < count; ++k) {
            std::size_t taken = 0;
            for (std::size_t j = 0; j < m; ++j) {
                chosen[taken] = values[lo + j];
                at[taken] = static_cast<std::uint32_t>(j);
                taken += chunk_cases[j] == k;
            }
            if (taken == 0) continue;
            failures += calibrate_typed(plans[k], chosen, taken, results, failed == nullptr ? nullptr : fails);
            for (std::size_t t = 0; t < taken; ++t) {
                out[lo + at[t]] = results[t];
                if (failed != nullptr) failed[lo + at[t]] = fails[t];
            }
        }
    }
    return failures;
}

// `run` on the values as the column type they are.
template <class Run>
std::size_t as_typed(ValueType type, const void* values, Run run) noexcept {
    switch (type) {
        case ValueType::U8: return run(static_cast<const std::uint8_t*>(values));
        case ValueType::U16: return run(static_cast<const std::uint16_t*>(values));
        case ValueType::U32: return run(static_cast<const std::uint32_t*>(values));
        case ValueType::U64: return run(static_cast<const std::uint64_t*>(values));
        case ValueType::I8: return run(static_cast<const std::int8_t*>(values));
        case ValueType::I16: return run(static_cast<const std::int16_t*>(values));
        case ValueType::I32: return run(static_cast<const std::int32_t*>(values));
        case ValueType::I64: return run(static_cast<const std::int64_t*>(values));
        case ValueType::F32: return run(static_cast<const float*>(values));
        case ValueType::F64: return run(static_cast<const double*>(values));
    }
    return 0;
}

}  // namespace

std::size_t calibrate_column(const CalibrationPlan& plan, ValueType type, const void* values, std::size_t rows,
                             void* out, bool* failed) noexcept {
    return as_typed(type, values, [&](const auto* typed) { return calibrate_typed(plan, typed, rows, out, failed); });
}

std::size_t calibrate_cases(const CalibrationPlan* plans, std::size_t count, ValueType type, const void* values,
                            std::size_t n, const std::uint32_t* cases, std::size_t width, double* out,
                            bool* failed) noexcept {
    return as_typed(type, values, [&](const auto* typed) {
        return calibrate_chosen(plans, count, typed, n, cases, width, out, failed);
    });
}

}  // namespace fieldloom::batch
