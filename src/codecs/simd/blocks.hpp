// SSE2 blocks of 16 code units of 1, 2 or 4 bytes: loads, stores, byte-order
// swaps and re-laying between unit widths; single units read and written in
// either byte order; searches for the first unit at or above a bound. The
// baseline every text kernel builds on.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace fieldloom {
namespace text_detail {

static_assert(std::endian::native == std::endian::little, "the block kernels assume a little-endian host");

inline constexpr std::size_t kBlock = 16;

template <unsigned W>
struct Block {
    __m128i r[W];
};

// Calls f(k) for k = 0 .. N-1, written out: loops over the registers of a
// block keep GCC from holding the block in registers (it goes through the
// stack instead).
template <class F, unsigned... K>
[[gnu::always_inline]] inline void for_each_register_of(F& f, std::integer_sequence<unsigned, K...>) noexcept {
    (f(K), ...);
}

template <unsigned N, class F>
[[gnu::always_inline]] inline void for_each_register(F&& f) noexcept {
    for_each_register_of(f, std::make_integer_sequence<unsigned, N>{});
}

template <unsigned W>
inline Block<W> load_block(const void* src) noexcept {
    Block<W> b;
    const auto* p = static_cast<const std::uint8_t*>(src);
    for_each_register<W>([&](unsigned k) [[gnu::always_inline]] { b.r[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k)); });
    return b;
}

template <unsigned W>
inline void store_block(void* dst, const Block<W>& b) noexcept {
    auto* p = static_cast<std::uint8_t*>(dst);
    for_each_register<W>([&](unsigned k) [[gnu::always_inline]] { _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16 * k), b.r[k]); });
}

inline __m128i bswap16_lanes(__m128i v) noexcept { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }

inline __m128i bswap32_lanes(__m128i v) noexcept {
    v = bswap16_lanes(v);
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm_shufflehi_epi16(v, _MM_SHUFFLE(2, 3, 0, 1));
}

template <unsigned W>
inline Block<W> swap_block(Block<W> b) noexcept {
    if constexpr (W == 2) {
        for_each_register<W>([&](unsigned k) [[gnu::always_inline]] { b.r[k] = bswap16_lanes(b.r[k]); });
    } else if constexpr (W == 4) {
        for_each_register<W>([&](unsigned k) [[gnu::always_inline]] { b.r[k] = bswap32_lanes(b.r[k]); });
    }
    return b;
}

// Truncating 32 -> 16 bit narrowing: SSE2 only packs with signed saturation,
// so sign-extend the low halves first.
inline __m128i narrow32to16(__m128i a, __m128i b) noexcept {
    a = _mm_srai_epi32(_mm_slli_epi32(a, 16), 16);
    b = _mm_srai_epi32(_mm_slli_epi32(b, 16), 16);
    return _mm_packs_epi32(a, b);
}

// Re-lays 16 code points from units of S bytes into units of D bytes. Code
// points must fit D (the caller has measured them).
template <unsigned S, unsigned D>
inline Block<D> resize_block(const Block<S>& s) noexcept {
    const __m128i z = _mm_setzero_si128();
    Block<D> d;
    if constexpr (S == D) {
        d = s;
    } else if constexpr (S == 1 && D == 2) {
        d.r[0] = _mm_unpacklo_epi8(s.r[0], z);
        d.r[1] = _mm_unpackhi_epi8(s.r[0], z);
    } else if constexpr (S == 1 && D == 4) {
        const __m128i lo = _mm_unpacklo_epi8(s.r[0], z), hi = _mm_unpackhi_epi8(s.r[0], z);
        d.r[0] = _mm_unpacklo_epi16(lo, z);
        d.r[1] = _mm_unpackhi_epi16(lo, z);
        d.r[2] = _mm_unpacklo_epi16(hi, z);
        d.r[3] = _mm_unpackhi_epi16(hi, z);
    } else if constexpr (S == 2 && D == 1) {
        d.r[0] = _mm_packus_epi16(s.r[0], s.r[1]);
    } else if constexpr (S == 2 && D == 4) {
        d.r[0] = _mm_unpacklo_epi16(s.r[0], z);
        d.r[1] = _mm_unpackhi_epi16(s.r[0], z);
        d.r[2] = _mm_unpacklo_epi16(s.r[1], z);
        d.r[3] = _mm_unpackhi_epi16(s.r[1], z);
    } else if constexpr (S == 4 && D == 1) {
        d.r[0] = _mm_packus_epi16(_mm_packs_epi32(s.r[0], s.r[1]), _mm_packs_epi32(s.r[2], s.r[3]));
    } else {
        static_assert(S == 4 && D == 2);
        d.r[0] = narrow32to16(s.r[0], s.r[1]);
        d.r[1] = narrow32to16(s.r[2], s.r[3]);
    }
    return d;
}

// Bytes widened to big-endian units: the zero bytes go first.
template <unsigned D>
inline Block<D> widen_big_endian(const Block<1>& s) noexcept {
    const __m128i z = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(z, s.r[0]), hi = _mm_unpackhi_epi8(z, s.r[0]);
    if constexpr (D == 2) {
        return Block<2>{{lo, hi}};
    } else {
        static_assert(D == 4);
        return Block<4>{{_mm_unpacklo_epi16(z, lo), _mm_unpackhi_epi16(z, lo), _mm_unpacklo_epi16(z, hi),
                         _mm_unpackhi_epi16(z, hi)}};
    }
}

template <unsigned W>
inline __m128i or_lanes(const Block<W>& b) noexcept {
    __m128i acc = b.r[0];
    for_each_register<W>([&](unsigned k) [[gnu::always_inline]] { acc = _mm_or_si128(acc, b.r[k]); });
    return acc;
}

template <unsigned W>
inline __m128i splat(std::uint32_t v) noexcept {
    if constexpr (W == 1) return _mm_set1_epi8(static_cast<char>(v));
    else if constexpr (W == 2) return _mm_set1_epi16(static_cast<short>(v));
    else return _mm_set1_epi32(static_cast<int>(v));
}

// True when every unit of the block is below `limit` (a power of two).
template <unsigned W>
inline bool block_below(const Block<W>& b, std::uint32_t limit) noexcept {
    const __m128i high = _mm_and_si128(or_lanes(b), splat<W>(~(limit - 1)));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(high, _mm_setzero_si128())) == 0xFFFF;
}

// ---------------------------------------------------------------------------
// Scalar units.

template <unsigned W, bool Swap>
inline std::uint32_t read_unit(const std::uint8_t* p) noexcept {
    if constexpr (W == 1) {
        return *p;
    } else if constexpr (W == 2) {
        std::uint16_t u;
        std::memcpy(&u, p, 2);
        return Swap ? __builtin_bswap16(u) : u;
    } else {
        std::uint32_t u;
        std::memcpy(&u, p, 4);
        return Swap ? __builtin_bswap32(u) : u;
    }
}

template <unsigned W, bool Swap>
inline void write_unit(std::uint8_t* p, std::uint32_t cp) noexcept {
    if constexpr (W == 1) {
        *p = static_cast<std::uint8_t>(cp);
    } else if constexpr (W == 2) {
        std::uint16_t u = static_cast<std::uint16_t>(cp);
        if (Swap) u = __builtin_bswap16(u);
        std::memcpy(p, &u, 2);
    } else {
        if (Swap) cp = __builtin_bswap32(cp);
        std::memcpy(p, &cp, 4);
    }
}

// Copies n code points from units of S bytes to units of D bytes, swapping
// the byte order of the source units (SwapIn) or of the written ones
// (SwapOut). A straight copy is a memcpy.
template <unsigned S, unsigned D, bool SwapIn, bool SwapOut>
inline void convert_units(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) noexcept {
    if constexpr (S == D && !SwapIn && !SwapOut) {
        if (n != 0) std::memcpy(dst, src, n * S);
        return;
    } else {
        std::size_t i = 0;
        for (; i + kBlock <= n; i += kBlock) {
            Block<S> b = load_block<S>(src + i * S);
            if constexpr (SwapIn) b = swap_block(b);
            Block<D> d;
            if constexpr (SwapOut && S == 1) {
                d = widen_big_endian<D>(b);
            } else {
                d = resize_block<S, D>(b);
                if constexpr (SwapOut) d = swap_block(d);
            }
            store_block<D>(dst + i * D, d);
        }
        for (; i < n; ++i) write_unit<D, SwapOut>(dst + i * D, read_unit<S, SwapIn>(src + i * S));
    }
}

// Index of the first unit at or above `limit` (a power of two), or n.
template <unsigned W>
inline std::size_t first_at_or_above(const std::uint8_t* p, std::size_t n, std::uint32_t limit) noexcept {
    if constexpr (W < 4) {
        if (limit >> (8 * W) != 0) return n;  // no unit of this width reaches it
    }
    std::size_t i = 0;
    if constexpr (W == 1) {
        // Four blocks per step keeps long ASCII runs at memory speed.
        if (limit == 0x80) {
            for (; i + 4 * kBlock <= n; i += 4 * kBlock) {
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
                const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32));
                const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48));
                if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
            }
        }
    }
    for (; i + kBlock <= n; i += kBlock) {
        if (!block_below(load_block<W>(p + i * W), limit)) break;
    }
    for (; i < n; ++i) {
        if (read_unit<W, false>(p + i * W) >= limit) return i;
    }
    return n;
}

inline std::size_t ascii_run(const std::uint8_t* p, std::size_t n) noexcept {
    if (n >= kBlock) {
        const int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        if (mask != 0) return static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
    }
    return first_at_or_above<1>(p, n, 0x80);
}

}  // namespace text_detail
}  // namespace fieldloom
