// Per-column loops of the batch engine: plain C++, run without the
// interpreter lock. A numeric field is decoded a chunk of packets at a time:
// its raw values are gathered (one load and byte swap per packet, the field
// width and byte order fixed at compile time), then the bit step and the
// encoding's scalar codec turn them into the column's type. Packets whose
// field fails are only flagged; the caller produces the exact error.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "codecs/bcd.hpp"
#include "codecs/ieee754.hpp"
#include "codecs/signed_int.hpp"
#include "recipe/placement.hpp"

namespace fieldloom::batch {

using recipe::ByteOrder;

// The packets of a recording: every `stride` bytes from 0 (the last one may
// be shorter), or at `starts` with `lengths` (or each running to the next
// start, the last to the end). Offsets are re-checked on every read: the
// caller's arrays may change while the decode runs.
struct Packets {
    const std::uint8_t* base = nullptr;
    std::uint64_t size = 0;
    std::uint64_t count = 0;
    std::uint64_t stride = 0;
    const std::int64_t* starts = nullptr;
    const std::int64_t* lengths = nullptr;

    // Where packet i starts (its bounds are checked by `packet`).
    std::uint64_t offset(std::uint64_t i) const noexcept {
        return starts == nullptr ? i * stride : static_cast<std::uint64_t>(starts[i]);
    }

    // Packets [0, full()) lie whole at their stride.
    std::uint64_t full() const noexcept {
        if (starts != nullptr) return 0;
        return stride == 0 ? count : (size / stride < count ? size / stride : count);
    }

    bool packet(std::uint64_t i, const std::uint8_t*& data, std::uint64_t& length) const noexcept {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        if (starts == nullptr) {
            start = i * stride;
            end = start + stride < size ? start + stride : size;
        } else {
            const std::int64_t at = starts[i];
            std::int64_t stop = 0;
            if (lengths != nullptr) {
                if (lengths[i] < 0 || __builtin_add_overflow(at, lengths[i], &stop)) return false;
            } else {
                stop = i + 1 < count ? starts[i + 1] : static_cast<std::int64_t>(size);
            }
            if (at < 0 || stop < at) return false;
            start = static_cast<std::uint64_t>(at);
            end = static_cast<std::uint64_t>(stop);
        }
        if (start > size || end > size || end < start) return false;
        data = base + start;
        length = end - start;
        return true;
    }
};

inline constexpr std::size_t kChunk = 512;

// Raw values of packets [lo, lo + n) at their stride, field bytes from `first`.
using StridedGather = void (*)(const Packets&, std::uint64_t lo, std::size_t n, std::uint64_t first,
                               std::uint64_t count, std::uint64_t* raws) noexcept;
// The same with each packet's own bounds; packets the field does not fit get flagged.
using CheckedGather = void (*)(const Packets&, std::uint64_t lo, std::size_t n, std::uint64_t first,
                               std::uint64_t count, std::uint64_t* raws, std::uint8_t* failed) noexcept;

// N = 0: the width is known only at run time (0 or more than 8 bytes).
template <unsigned N, ByteOrder Order>
std::uint64_t raw_of(const std::uint8_t* field, std::uint64_t count) noexcept {
    if constexpr (N == 0) {
        return recipe::raw_value(field, count, Order);
    } else {
        return recipe::raw_value_n<N>(field, Order);
    }
}

template <unsigned N, ByteOrder Order>
void gather_strided(const Packets& packets, std::uint64_t lo, std::size_t n, std::uint64_t first,
                    std::uint64_t count, std::uint64_t* raws) noexcept {
    const std::uint8_t* at = packets.base + lo * packets.stride + first;
    const std::uint64_t stride = packets.stride;
    for (std::size_t j = 0; j < n; ++j, at += stride) raws[j] = raw_of<N, Order>(at, count);
}

template <unsigned N, ByteOrder Order>
void gather_checked(const Packets& packets, std::uint64_t lo, std::size_t n, std::uint64_t first,
                    std::uint64_t count, std::uint64_t* raws, std::uint8_t* failed) noexcept {
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint8_t* data = nullptr;
        std::uint64_t length = 0;
        if (!packets.packet(lo + j, data, length) || !recipe::FieldBytes{first, count}.fits(length)) {
            failed[lo + j] = 1;
            raws[j] = 0;
            continue;
        }
        raws[j] = raw_of<N, Order>(data + first, count);
    }
}

// The bit step over a chunk; nothing to do for a field that fills its bytes.
inline void bit_step_all(std::uint64_t* raws, std::size_t n, std::uint64_t count, std::uint32_t bits,
                         bool reverse_bits) noexcept {
    if (reverse_bits) {
        for (std::size_t j = 0; j < n; ++j) raws[j] = recipe::reverse_field_bits(raws[j], bits);
    } else if (bits < 64 && bits != 8 * count) {
        const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
        for (std::size_t j = 0; j < n; ++j) raws[j] &= mask;
    }
}

// The scalar rules, from a raw value to a column's element. False: the
// packet fails (the per-packet path gives the error).
namespace rule {

struct Unsigned {
    template <class Out>
    static bool apply(std::uint64_t raw, std::uint32_t, Out& out) noexcept {
        out = static_cast<Out>(raw);
        return true;
    }
};

template <std::int64_t (*Decode)(std::uint64_t, std::uint32_t) noexcept>
struct Signed {
    template <class Out>
    static bool apply(std::uint64_t raw, std::uint32_t bits, Out& out) noexcept {
        out = static_cast<Out>(Decode(raw, bits));
        return true;
    }
};

template <Expected<std::int64_t> (*Decode)(std::uint64_t, std::uint32_t, bool), bool IsSigned>
struct Bcd {
    template <class Out>
    static bool apply(std::uint64_t raw, std::uint32_t bits, Out& out) noexcept {
        try {
            auto value = Decode(raw, bits, IsSigned);
            if (!value) return false;
            out = static_cast<Out>(*value);
            return true;
        } catch (...) {  // the message of an invalid digit could not be built
            return false;
        }
    }
};

template <auto Decode>
struct Float {
    template <class Out>
    static bool apply(std::uint64_t raw, std::uint32_t, Out& out) noexcept {
        out = Decode(raw);
        return true;
    }
};

// The quad-precision field of up to 64 bits: 0.0 whatever it holds.
struct Zero {
    template <class Out>
    static bool apply(std::uint64_t, std::uint32_t, Out& out) noexcept {
        out = 0;
        return true;
    }
};

}  // namespace rule

using Convert = void (*)(const std::uint64_t* raws, std::size_t n, std::uint32_t bits, void* column,
                         std::uint64_t lo, std::uint8_t* failed) noexcept;

template <class Rule, class Out>
void convert(const std::uint64_t* raws, std::size_t n, std::uint32_t bits, void* column, std::uint64_t lo,
             std::uint8_t* failed) noexcept {
    Out* out = static_cast<Out*>(column) + lo;
    for (std::size_t j = 0; j < n; ++j) {
        if (!Rule::apply(raws[j], bits, out[j])) failed[lo + j] = 1;
    }
}

// Only whether the packets fail: a field whose column a later field of the
// same name fills still decides whether the packet decodes.
template <class Rule, class Out>
void check_only(const std::uint64_t* raws, std::size_t n, std::uint32_t bits, void*, std::uint64_t lo,
                std::uint8_t* failed) noexcept {
    Out scratch{};
    for (std::size_t j = 0; j < n; ++j) {
        if (!Rule::apply(raws[j], bits, scratch)) failed[lo + j] = 1;
    }
}

// Gather and rule in one pass, for fields that fill their N bytes exactly
// and whose rule cannot fail (plain and two's complement integers, single
// and double floats): the common case of byte-aligned telemetry.
using Fused = void (*)(const Packets&, std::uint64_t lo, std::size_t n, std::uint64_t first, void* column) noexcept;

template <unsigned N, ByteOrder Order, class Rule, class Out>
void fused_strided(const Packets& packets, std::uint64_t lo, std::size_t n, std::uint64_t first,
                   void* column) noexcept {
    const std::uint8_t* at = packets.base + lo * packets.stride + first;
    const std::uint64_t stride = packets.stride;
    Out* out = static_cast<Out*>(column) + lo;
    for (std::size_t j = 0; j < n; ++j, at += stride) Rule::apply(raw_of<N, Order>(at, N), 8 * N, out[j]);
}

// One numeric field's plan: where its bytes lie and how they become the column.
struct NumericPlan {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint32_t bits = 0;
    bool reverse_bits = false;
    bool always_fails = false;  // a family without a codec, a wide quad
    StridedGather strided = nullptr;
    CheckedGather checked = nullptr;
    Convert convert = nullptr;
    Fused fused = nullptr;  // when the field has a one-pass loop
    void* column = nullptr;
};

// Packets [lo, hi) of one field: strided where packets are whole, checked elsewhere.
inline void run_numeric(const NumericPlan& plan, const Packets& packets, std::uint64_t lo, std::uint64_t hi,
                        std::uint8_t* failed) noexcept {
    if (plan.always_fails) {
        for (std::uint64_t i = lo; i < hi; ++i) failed[i] = 1;
        return;
    }
    const std::uint64_t full = packets.full();
    const bool fits_stride = packets.starts == nullptr && recipe::FieldBytes{plan.first, plan.count}.fits(packets.stride);
    std::uint64_t raws[kChunk];
    for (std::uint64_t at = lo; at < hi;) {
        const std::size_t n = static_cast<std::size_t>(hi - at < kChunk ? hi - at : kChunk);
        if (fits_stride && at + n <= full && plan.fused != nullptr) {
            plan.fused(packets, at, n, plan.first, plan.column);
            at += n;
            continue;
        }
        if (fits_stride && at + n <= full) {
            plan.strided(packets, at, n, plan.first, plan.count, raws);
        } else {
            plan.checked(packets, at, n, plan.first, plan.count, raws, failed);
        }
        bit_step_all(raws, n, plan.count, plan.bits, plan.reverse_bits);
        plan.convert(raws, n, plan.bits, plan.column, at, failed);
        at += n;
    }
}

// Runs work(lo, hi) over [0, count) split into `threads` runs of whole
// chunks (no two threads write the same cache line of a column), the last
// on the calling thread; where no thread can be had, the run is done here.
template <class Work>
void in_threads(std::uint64_t count, std::uint64_t chunk, std::uint64_t threads, Work&& work) {
    const std::uint64_t chunks = (count + chunk - 1) / chunk;
    if (threads > chunks) threads = chunks;
    if (threads <= 1) {
        if (count != 0) work(std::uint64_t{0}, count);
        return;
    }
    std::vector<std::thread> workers;
    try {
        workers.reserve(threads - 1);
    } catch (const std::bad_alloc&) {
        work(std::uint64_t{0}, count);
        return;
    }
    std::uint64_t lo = 0;
    for (std::uint64_t t = 0; t < threads; ++t) {
        const std::uint64_t hi = t + 1 == threads ? count : std::min(count, (chunks * (t + 1) / threads) * chunk);
        if (t + 1 == threads) {
            work(lo, hi);
        } else {
            try {
                workers.emplace_back([&work, lo, hi] { work(lo, hi); });
            } catch (const std::system_error&) {
                work(lo, hi);
            }
        }
        lo = hi;
    }
    for (std::thread& worker : workers) worker.join();
}

}  // namespace fieldloom::batch
