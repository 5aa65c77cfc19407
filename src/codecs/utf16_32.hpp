// UTF-8, UTF-16 and UTF-32 in both directions.
//
// Decoders validate and measure the whole input first and only then write,
// straight into the str storage the boundary allocates at its final width,
// so no UTF-8 intermediate is built. Encoders read the str's own storage
// (Latin-1, UCS-2 or UCS-4 units) the same way: size first, then fill.
//
// TextPlan::max_char is the upper bound of the storage class the text needs
// (0x7F, 0xFF, 0xFFFF or 0x10FFFF): that is all the allocation looks at, and
// it is what a single scan can tell without decoding.
//
// Hot loops work on blocks of 16 units held in SSE2 registers; scalar code
// only handles the units a block test sends its way and the tails. Where
// mixed text would keep sending blocks to scalar code (UTF-8 encoding,
// surrogate pairs), AVX2 kernels chosen once per process (kHaveAvx2) take
// the whole block, shuffling bytes through small tables.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"

namespace fieldloom {
namespace text_detail {

static_assert(std::endian::native == std::endian::little, "the block kernels assume a little-endian host");

inline constexpr std::uint32_t kAsciiMax = 0x7F;
inline constexpr std::uint32_t kLatin1Max = 0xFF;
inline constexpr std::uint32_t kBmpMax = 0xFFFF;
inline constexpr std::uint32_t kUnicodeMax = 0x10FFFF;

// The class bounds are powers of two minus one, so the OR of all code points
// falls in the same class as their maximum.
constexpr std::uint32_t storage_max(std::uint32_t bits) noexcept {
    return bits <= kAsciiMax ? kAsciiMax : bits <= kLatin1Max ? kLatin1Max : bits <= kBmpMax ? kBmpMax : kUnicodeMax;
}

// ---------------------------------------------------------------------------
// Blocks of 16 code units of W bytes each, W in {1, 2, 4}.

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

// Counting kernels subtract all-ones compare results from lanes of
// LaneBits bits, at most PerStep per lane per step of Stride units, and add
// the lanes to size_t totals after each run of steps. A run ends before any
// lane could wrap; it is empty when fewer than Stride units remain. Every
// counting kernel takes its runs from here.
template <unsigned LaneBits, unsigned PerStep, std::size_t Stride>
constexpr std::size_t lane_run_end(std::size_t i, std::size_t n) noexcept {
    constexpr std::size_t kSteps = static_cast<std::size_t>(((std::uint64_t{1} << LaneBits) - 1) / PerStep);
    static_assert(kSteps > 0);
    return i + std::min((n - i) / Stride, kSteps) * Stride;
}

// The sum of the lanes of LaneBits bits, each read as unsigned.
template <unsigned LaneBits>
inline std::size_t sum_lanes(__m128i v) noexcept {
    if constexpr (LaneBits == 8) v = _mm_sad_epu8(v, _mm_setzero_si128());
    else if constexpr (LaneBits == 16) v = _mm_add_epi32(_mm_and_si128(v, _mm_set1_epi32(0xFFFF)), _mm_srli_epi32(v, 16));
    else static_assert(LaneBits == 32);
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return std::size_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

__attribute__((target("avx2"))) inline std::size_t sum_lanes_avx2(__m256i v) noexcept {
    return sum_lanes<32>(_mm256_castsi256_si128(v)) + sum_lanes<32>(_mm256_extracti128_si256(v, 1));
}

// Lanes of units of W bytes in which `hit` is all ones count one more.
template <unsigned W>
inline __m128i count_hits(__m128i acc, __m128i hit) noexcept {
    if constexpr (W == 1) return _mm_sub_epi8(acc, hit);
    else if constexpr (W == 2) return _mm_sub_epi16(acc, hit);
    else return _mm_sub_epi32(acc, hit);
}

template <unsigned W>
inline __m128i lanes_equal(__m128i a, __m128i b) noexcept {
    if constexpr (W == 1) return _mm_cmpeq_epi8(a, b);
    else if constexpr (W == 2) return _mm_cmpeq_epi16(a, b);
    else return _mm_cmpeq_epi32(a, b);
}

// Counts, in one pass, the units u for which (u & masks[k]) == 0.
template <unsigned W, std::size_t K>
inline std::array<std::size_t, K> count_clear(const std::uint8_t* p, std::size_t n,
                                              const std::array<std::uint32_t, K>& masks) noexcept {
    std::array<std::size_t, K> total{};
    const __m128i z = _mm_setzero_si128();
    std::size_t i = 0;
    // Each of a block's W registers adds at most one to a lane.
    for (std::size_t end; (end = lane_run_end<8 * W, W, kBlock>(i, n)) != i;) {
        __m128i acc[K];
        for (auto& a : acc) a = z;
        for (; i < end; i += kBlock) {
            const Block<W> b = load_block<W>(p + i * W);
            for (std::size_t k = 0; k < K; ++k) {
                const __m128i m = splat<W>(masks[k]);
                for (unsigned r = 0; r < W; ++r) acc[k] = count_hits<W>(acc[k], lanes_equal<W>(_mm_and_si128(b.r[r], m), z));
            }
        }
        for (std::size_t k = 0; k < K; ++k) total[k] += sum_lanes<8 * W>(acc[k]);
    }
    for (; i < n; ++i) {
        const std::uint32_t u = read_unit<W, false>(p + i * W);
        for (std::size_t k = 0; k < K; ++k) total[k] += (u & masks[k]) == 0;
    }
    return total;
}

// Set bits of a 16-bit mask; a plain popcount would be a library call
// without the POPCNT instruction, which is not in the baseline.
inline std::size_t count_bits(std::uint32_t mask) noexcept {
    mask = mask - ((mask >> 1) & 0x5555);
    mask = (mask & 0x3333) + ((mask >> 2) & 0x3333);
    mask = (mask + (mask >> 4)) & 0x0F0F;
    return (mask + (mask >> 8)) & 0x1F;
}

inline void append_decimal(std::string& s, std::size_t v) { s += std::to_string(v); }

inline void append_hex(std::string& s, std::uint32_t v, int min_digits) {
    char buf[8];
    int n = 0;
    do {
        buf[n++] = "0123456789ABCDEF"[v & 0xF];
        v >>= 4;
    } while (v != 0 || n < min_digits);
    while (n > 0) s += buf[--n];
}

// Scalar UTF-8 encoding of one code point; returns the past-the-end pointer.
inline std::uint8_t* put_utf8(std::uint8_t* o, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *o++ = static_cast<std::uint8_t>(cp);
    } else if (cp < 0x800) {
        *o++ = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
        *o++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *o++ = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
        *o++ = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else {
        *o++ = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
        *o++ = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    }
    return o;
}

inline std::string utf8_of(std::uint32_t cp) {
    std::uint8_t buf[4];
    const std::uint8_t* end = put_utf8(buf, cp);
    return std::string(reinterpret_cast<const char*>(buf), reinterpret_cast<const char*>(end));
}

// Calls body.template operator()<W>() for the text's unit width.
template <class Body>
inline decltype(auto) with_width(unsigned width, Body&& body) {
    if (width == 1) return body.template operator()<1>();
    if (width == 2) return body.template operator()<2>();
    return body.template operator()<4>();
}

inline const std::uint8_t* bytes_of(const TextView& t) noexcept { return static_cast<const std::uint8_t*>(t.data); }

// ---------------------------------------------------------------------------
// UTF-8 decoding.

// Per first byte: sequence length (0: cannot start one) and the range of
// the second byte; later bytes are always 80-BF.
struct Utf8Lead {
    std::uint8_t length, low, high;
};

inline constexpr std::array<Utf8Lead, 256> kUtf8Leads = [] {
    std::array<Utf8Lead, 256> t{};
    for (unsigned b = 0; b < 0x80; ++b) t[b] = {1, 0, 0};
    for (unsigned b = 0xC2; b <= 0xDF; ++b) t[b] = {2, 0x80, 0xBF};
    for (unsigned b = 0xE0; b <= 0xEF; ++b) t[b] = {3, 0x80, 0xBF};
    t[0xE0].low = 0xA0;
    t[0xED].high = 0x9F;
    for (unsigned b = 0xF0; b <= 0xF4; ++b) t[b] = {4, 0x80, 0xBF};
    t[0xF0].low = 0x90;
    t[0xF4].high = 0x8F;
    return t;
}();

struct Utf8Scan {
    std::size_t length = 0;     // code points before `stop`
    std::uint32_t max_lead = 0;  // largest first byte seen
    std::size_t stop = 0;       // first ill-formed sequence, or the input size
    unsigned agreed = 0;        // its bytes that agreed with the table; 0 when cut off by the end
};

inline Utf8Scan scan_utf8(const std::uint8_t* p, std::size_t n) noexcept {
    Utf8Scan s;
    std::size_t i = 0, chars = 0;
    std::uint32_t max_lead = 0;
    auto fail = [&](unsigned agreed) {
        s.length = chars;
        s.max_lead = max_lead;
        s.stop = i;
        s.agreed = agreed;
        return s;
    };
    while (i < n) {
        if (p[i] < 0x80) {
            const std::size_t run = ascii_run(p + i, n - i);
            i += run;
            chars += run;
            continue;
        }
        // Runs of multi-byte sequences stay in this loop.
        do {
            const std::uint32_t b = p[i];
            const Utf8Lead lead = kUtf8Leads[b];
            if (lead.length == 0) return fail(1);
            if (i + 1 >= n) return fail(0);
            if (p[i + 1] < lead.low || p[i + 1] > lead.high) return fail(1);
            for (unsigned k = 2; k < lead.length; ++k) {
                if (i + k >= n) return fail(0);
                if ((p[i + k] & 0xC0) != 0x80) return fail(k);
            }
            i += lead.length;
            ++chars;
            max_lead = std::max(max_lead, b);
        } while (i < n && p[i] >= 0x80);
    }
    s.length = chars;
    s.max_lead = max_lead;
    s.stop = n;
    return s;
}

// Whole-block validation (AVX2, 32 bytes per step): three nibble lookups
// classify every pair of adjacent bytes, and the bytes that must be the
// second or third continuation are checked against them. Only a verdict
// comes out; on failure the scalar scan finds the place and the reason.
namespace utf8_lookup {
inline constexpr std::uint8_t kTooShort = 1 << 0;   // lead then no continuation
inline constexpr std::uint8_t kTooLong = 1 << 1;    // ASCII then continuation
inline constexpr std::uint8_t kOverlong3 = 1 << 2;  // E0 80-9F
inline constexpr std::uint8_t kTooLarge = 1 << 3;   // F4 90-BF, F5-FF 90-BF
inline constexpr std::uint8_t kSurrogate = 1 << 4;  // ED A0-BF
inline constexpr std::uint8_t kOverlong2 = 1 << 5;  // C0-C1 continuation
inline constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5-FF 80-8F
inline constexpr std::uint8_t kOverlong4 = 1 << 6;  // F0 80-8F
inline constexpr std::uint8_t kTwoConts = 1 << 7;   // continuation then continuation
inline constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;
}  // namespace utf8_lookup

__attribute__((target("avx2,popcnt"))) inline __m256i lookup16(__m256i nibbles, const std::uint8_t (&table)[16]) noexcept {
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table));
    return _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(t), nibbles);
}

struct Utf8LookupState {
    __m256i error, prev_open, prev, max_byte;
    std::size_t starts;
};

__attribute__((target("avx2,popcnt"))) inline void utf8_lookup_step(Utf8LookupState& st, __m256i in) noexcept {
    using namespace utf8_lookup;
    static constexpr std::uint8_t kByte1High[16] = {
        kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
        kTwoConts, kTwoConts, kTwoConts, kTwoConts,
        kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
        kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
    static constexpr std::uint8_t kByte1Low[16] = {
        kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
        kCarry | kTooLarge, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
        kCarry | kTooLarge | kTooLarge1000};
    static constexpr std::uint8_t kByte2High[16] = {
        kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
        kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
        kTooShort, kTooShort, kTooShort, kTooShort};
    // A block ending in these bytes leaves a sequence open.
    alignas(32) static constexpr std::uint8_t kOpenEnd[32] = {
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0xEF, 0xDF, 0xBF};

    if (_mm256_movemask_epi8(in) == 0) {
        st.error = _mm256_or_si256(st.error, st.prev_open);
        st.prev_open = _mm256_setzero_si256();
        st.starts += 32;
    } else {
        const __m256i low_nibble = _mm256_set1_epi8(0x0F);
        const __m256i carried = _mm256_permute2x128_si256(st.prev, in, 0x21);
        const __m256i prev1 = _mm256_alignr_epi8(in, carried, 15);
        const __m256i prev2 = _mm256_alignr_epi8(in, carried, 14);
        const __m256i prev3 = _mm256_alignr_epi8(in, carried, 13);
        const __m256i special = _mm256_and_si256(
            _mm256_and_si256(lookup16(_mm256_and_si256(_mm256_srli_epi16(prev1, 4), low_nibble), kByte1High),
                             lookup16(_mm256_and_si256(prev1, low_nibble), kByte1Low)),
            lookup16(_mm256_and_si256(_mm256_srli_epi16(in, 4), low_nibble), kByte2High));
        const __m256i must23 = _mm256_or_si256(_mm256_subs_epu8(prev2, _mm256_set1_epi8(0xE0 - 0x80)),
                                               _mm256_subs_epu8(prev3, _mm256_set1_epi8(0xF0 - 0x80)));
        const __m256i must23_80 = _mm256_and_si256(must23, _mm256_set1_epi8(static_cast<char>(0x80)));
        st.error = _mm256_or_si256(st.error, _mm256_xor_si256(must23_80, special));
        st.prev_open = _mm256_subs_epu8(in, _mm256_load_si256(reinterpret_cast<const __m256i*>(kOpenEnd)));
        st.max_byte = _mm256_max_epu8(st.max_byte, in);
        // Every byte but a continuation byte starts a code point.
        const auto starts_mask = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_cmpgt_epi8(in, _mm256_set1_epi8(static_cast<char>(0xBF)))));
        st.starts += static_cast<std::size_t>(__builtin_popcount(starts_mask));
    }
    st.prev = in;
}

__attribute__((target("avx2,popcnt"))) inline Utf8Scan scan_utf8_avx2(const std::uint8_t* p, std::size_t n) noexcept {
    Utf8LookupState st{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), 0};
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) utf8_lookup_step(st, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i)));
    if (i < n) {
        // The tail, padded with NULs: an open sequence then meets a NUL and fails.
        alignas(32) std::uint8_t tail[32] = {};
        std::memcpy(tail, p + i, n - i);
        utf8_lookup_step(st, _mm256_load_si256(reinterpret_cast<const __m256i*>(tail)));
        st.starts -= 32 - (n - i);
    }
    const __m256i error = _mm256_or_si256(st.error, st.prev_open);
    if (!_mm256_testz_si256(error, error)) return scan_utf8(p, n);

    alignas(32) std::uint8_t lanes[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), st.max_byte);
    Utf8Scan s;
    s.length = st.starts;
    s.max_lead = *std::max_element(lanes, lanes + 32);
    if (s.max_lead < 0x80) s.max_lead = 0;
    s.stop = n;
    return s;
}

using Utf8Scanner = Utf8Scan (*)(const std::uint8_t*, std::size_t) noexcept;

// Whether the AVX2 kernels may run; chosen once, when the module is loaded.
// A build with FIELDLOOM_BASELINE_KERNELS keeps to the SSE2 baseline.
inline const bool kHaveAvx2 = [] {
#ifdef FIELDLOOM_BASELINE_KERNELS
    return false;
#else
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#endif
}();

// Chosen once, when the module is loaded.
inline const Utf8Scanner kScanUtf8 = kHaveAvx2 ? &scan_utf8_avx2 : &scan_utf8;

inline std::uint32_t utf8_storage_max(std::uint32_t max_lead) noexcept {
    return max_lead == 0 ? kAsciiMax : max_lead <= 0xC3 ? kLatin1Max : max_lead <= 0xEF ? kBmpMax : kUnicodeMax;
}

// Room for `size` more bytes before `end`.
inline bool has_room(const std::uint8_t* out, const std::uint8_t* end, std::size_t size) noexcept {
    return static_cast<std::size_t>(end - out) >= size;
}

// Writes the code points of well-formed UTF-8 as units of D bytes.
template <unsigned D>
inline Fill fill_utf8_units(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    std::size_t i = 0;
    while (i < n) {
        if (i + kBlock <= n) {
            const Block<1> b = load_block<1>(p + i);
            const int mask = _mm_movemask_epi8(b.r[0]);
            if (mask == 0) {
                if (!has_room(out, end, kBlock * D)) return Fill::miscount;
                store_block<D>(out, resize_block<1, D>(b));
                out += kBlock * D;
                i += kBlock;
                continue;
            }
            const auto run = static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
            if (!has_room(out, end, run * D)) return Fill::miscount;
            for (std::size_t k = 0; k < run; ++k) write_unit<D, false>(out + k * D, p[i + k]);
            out += run * D;
            i += run;
        } else if (p[i] < 0x80) {
            if (!has_room(out, end, D)) return Fill::miscount;
            write_unit<D, false>(out, p[i]);
            out += D;
            ++i;
            continue;
        }
        do {
            const std::uint32_t b = p[i];
            std::uint32_t cp;
            if (b < 0xE0) {
                cp = (b & 0x1F) << 6 | (p[i + 1] & 0x3F);
                i += 2;
            } else if (b < 0xF0) {
                cp = (b & 0x0F) << 12 | (p[i + 1] & 0x3Fu) << 6 | (p[i + 2] & 0x3F);
                i += 3;
            } else {
                cp = (b & 0x07) << 18 | (p[i + 1] & 0x3Fu) << 12 | (p[i + 2] & 0x3Fu) << 6 | (p[i + 3] & 0x3F);
                i += 4;
            }
            if (!has_room(out, end, D)) return Fill::miscount;
            write_unit<D, false>(out, cp);
            out += D;
        } while (i < n && p[i] >= 0x80);
    }
    return out == end ? Fill::done : Fill::miscount;
}

inline Fill fill_utf8(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    if (plan.max_char <= kAsciiMax) {
        if (sized(out, end, plan.input_size) != Fill::done) return Fill::miscount;
        convert_units<1, 1, false, false>(plan.input, out, plan.input_size);
        return Fill::done;
    }
    return with_width(width, [&]<unsigned D>() { return fill_utf8_units<D>(plan.input, plan.input_size, out, end); });
}

inline CodecError utf8_error(const Utf8Scan& s) {
    std::string m = "Invalid UTF-8 bytes: ";
    if (s.agreed == 0) {
        m += "incomplete utf-8 byte sequence from index ";
    } else {
        m += "invalid utf-8 sequence of ";
        append_decimal(m, s.agreed);
        m += " bytes from index ";
    }
    append_decimal(m, s.stop);
    return value_error(std::move(m));
}

// ---------------------------------------------------------------------------
// UTF-16 decoding. TextPlan::variant: 1 for little-endian units.

inline bool is_surrogate(std::uint32_t u) noexcept { return (u & 0xF800) == 0xD800; }
inline bool is_high_surrogate(std::uint32_t u) noexcept { return (u & 0xFC00) == 0xD800; }
inline bool is_low_surrogate(std::uint32_t u) noexcept { return (u & 0xFC00) == 0xDC00; }

struct Utf16Scan {
    bool ok = true;
    std::size_t length = 0;
    std::uint32_t max_char = 0;
};

// 64 bytes of units of W bytes, in host order.
struct Avx2Pair {
    __m256i a, b;
};

template <unsigned W, bool Swap>
__attribute__((target("avx2"))) inline Avx2Pair load64_avx2(const std::uint8_t* p) noexcept {
    Avx2Pair r{_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))};
    if constexpr (Swap) {
        const __m256i swap = W == 2 ? _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14,
                                                       1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14)
                                    : _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                                       3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
        r.a = _mm256_shuffle_epi8(r.a, swap);
        r.b = _mm256_shuffle_epi8(r.b, swap);
    }
    return r;
}

// The units from i on, one at a time, after the block steps: `carry` is
// set when unit i - 1 was a high surrogate; `bits` is the OR of the units so far.
template <bool Swap>
inline Utf16Scan finish_utf16_scan(const std::uint8_t* p, std::size_t i, std::size_t units, std::uint32_t carry,
                                   std::size_t pairs, std::uint32_t bits) noexcept {
    for (; i < units; ++i) {
        const std::uint32_t u = read_unit<2, Swap>(p + 2 * i);
        if (is_low_surrogate(u) != (carry != 0)) return {false, 0, 0};
        carry = is_high_surrogate(u);
        pairs += carry;
        bits |= u;
    }
    if (carry != 0) return {false, 0, 0};
    // Surrogates only reach `bits` in pairs, whose code points need UCS-4 anyway.
    return {true, units - pairs, pairs != 0 ? kUnicodeMax : storage_max(bits)};
}

// The same test with AVX2, 32 units per step; each unit has two mask bits.
template <bool Swap>
__attribute__((target("avx2,popcnt"))) inline Utf16Scan scan_utf16_avx2(const std::uint8_t* p, std::size_t units) noexcept {
    const __m256i kind = _mm256_set1_epi16(static_cast<short>(0xFC00));
    const __m256i high_tag = _mm256_set1_epi16(static_cast<short>(0xD800));
    const __m256i low_tag = _mm256_set1_epi16(static_cast<short>(0xDC00));
    std::size_t i = 0, pair_bits = 0;
    std::uint64_t carry = 0;
    __m256i acc = _mm256_setzero_si256();
    for (; i + 32 <= units; i += 32) {
        const auto [a, b] = load64_avx2<2, Swap>(p + 2 * i);
        acc = _mm256_or_si256(acc, _mm256_or_si256(a, b));
        const __m256i ka = _mm256_and_si256(a, kind), kb = _mm256_and_si256(b, kind);
        const std::uint64_t high =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(ka, high_tag))) |
            std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(kb, high_tag)))} << 32;
        const std::uint64_t low =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(ka, low_tag))) |
            std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi16(kb, low_tag)))} << 32;
        if (((high << 2) | carry) != low) return {false, 0, 0};
        carry = high >> 62;
        pair_bits += static_cast<std::size_t>(__builtin_popcountll(high));
    }
    alignas(32) std::uint16_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
    std::uint32_t bits = 0;
    for (std::uint16_t l : lanes) bits |= l;
    return finish_utf16_scan<Swap>(p, i, units, static_cast<std::uint32_t>(carry), pair_bits / 2, bits);
}

template <bool Swap>
inline Utf16Scan scan_utf16(const std::uint8_t* p, std::size_t units) noexcept {
    if (kHaveAvx2) return scan_utf16_avx2<Swap>(p, units);
    // One bit per unit for high and for low surrogates: the text is well
    // formed exactly when the low bits are the high bits moved one unit on,
    // `carry` taking a high surrogate at the end of a block into the next.
    const __m128i kind = _mm_set1_epi16(static_cast<short>(0xFC00));
    const __m128i high_tag = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i low_tag = _mm_set1_epi16(static_cast<short>(0xDC00));
    std::size_t i = 0, pairs = 0;
    std::uint32_t carry = 0;
    __m128i acc = _mm_setzero_si128();
    for (; i + kBlock <= units; i += kBlock) {
        Block<2> b = load_block<2>(p + 2 * i);
        if constexpr (Swap) b = swap_block(b);
        acc = _mm_or_si128(acc, or_lanes(b));
        const __m128i k0 = _mm_and_si128(b.r[0], kind), k1 = _mm_and_si128(b.r[1], kind);
        const auto high = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(k0, high_tag), _mm_cmpeq_epi16(k1, high_tag))));
        const auto low = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(k0, low_tag), _mm_cmpeq_epi16(k1, low_tag))));
        if ((((high << 1) | carry) & 0xFFFF) != low) return {false, 0, 0};
        carry = high >> 15;
        if (high != 0) pairs += count_bits(high);
    }
    alignas(16) std::uint16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    std::uint32_t bits = 0;
    for (std::uint16_t l : lanes) bits |= l;
    return finish_utf16_scan<Swap>(p, i, units, carry, pairs, bits);
}

// Well-formed UTF-16 from unit i on (not the low half of a pair), one code
// point at a time.
template <bool Swap>
inline Fill fill_utf16_units_from(const std::uint8_t* p, std::size_t i, std::size_t units, std::uint8_t* out,
                                  std::uint8_t* end) noexcept {
    while (i < units) {
        std::uint32_t u = read_unit<2, Swap>(p + 2 * i);
        ++i;
        if (is_high_surrogate(u)) {
            u = 0x10000 + ((u - 0xD800) << 10) + (read_unit<2, Swap>(p + 2 * i) - 0xDC00);
            ++i;
        }
        if (!has_room(out, end, 4)) return Fill::miscount;
        write_unit<4, false>(out, u);
        out += 4;
    }
    return out == end ? Fill::done : Fill::miscount;
}

// Well-formed UTF-16 with at least one pair, as UCS-4 (`length` code
// points). A block is widened and stored whole; when it holds a pair, only
// the units before the pair count and the pair is written on its own.
template <bool Swap>
inline Fill fill_utf16_astral(const std::uint8_t* p, std::size_t units, std::uint8_t* out, std::uint8_t* end) noexcept {
    const __m128i kind = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i tag = _mm_set1_epi16(static_cast<short>(0xD800));
    std::size_t i = 0;
    // A step writes at most 4 * kBlock bytes, the pair included.
    while (i + kBlock <= units && has_room(out, end, 4 * kBlock)) {
        Block<2> b = load_block<2>(p + 2 * i);
        if constexpr (Swap) b = swap_block(b);
        store_block<4>(out, resize_block<2, 4>(b));
        const auto sur = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(
            _mm_cmpeq_epi16(_mm_and_si128(b.r[0], kind), tag), _mm_cmpeq_epi16(_mm_and_si128(b.r[1], kind), tag))));
        if (sur == 0) {
            out += 4 * kBlock;
            i += kBlock;
            continue;
        }
        const auto k = static_cast<std::size_t>(std::countr_zero(sur));
        out += 4 * k;
        i += k;
        if (i + 1 >= units) break;  // the tail loop takes the pair
        const std::uint32_t hi = read_unit<2, Swap>(p + 2 * i), lo = read_unit<2, Swap>(p + 2 * i + 2);
        write_unit<4, false>(out, 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
        out += 4;
        i += 2;
    }
    return fill_utf16_units_from<Swap>(p, i, units, out, end);
}

// The same with AVX2, eight units per step and no scalar steps: a high
// surrogate's lane takes the pair's code point, and the low surrogates'
// lanes are squeezed out by a permutation chosen by their mask.
struct LaneSqueeze {
    std::uint32_t lanes;  // the kept lanes' indices, three bits each
    std::uint32_t kept;
};

inline constexpr std::array<LaneSqueeze, 256> kLaneSqueezes = [] {
    std::array<LaneSqueeze, 256> t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned at = 0;
        for (unsigned lane = 0; lane < 8; ++lane)
            if ((mask >> lane & 1) == 0) t[mask].lanes |= lane << (3 * at++);
        t[mask].kept = at;
    }
    return t;
}();

template <bool Swap>
__attribute__((target("avx2"))) inline __m256i load8_utf16(const std::uint8_t* p) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if constexpr (Swap) v = _mm_shuffle_epi8(v, _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14));
    return _mm256_cvtepu16_epi32(v);
}

template <bool Swap>
__attribute__((target("avx2"))) inline Fill fill_utf16_astral_avx2(const std::uint8_t* p, std::size_t units, std::uint8_t* out,
                                                                    std::uint8_t* end) noexcept {
    const __m256i kind = _mm256_set1_epi32(0xFC00), high_tag = _mm256_set1_epi32(0xD800),
                  low_tag = _mm256_set1_epi32(0xDC00);
    const __m256i offset = _mm256_set1_epi32(0x10000 - (0xD800 << 10) - 0xDC00);
    const __m256i shifts = _mm256_setr_epi32(0, 3, 6, 9, 12, 15, 18, 21);
    std::size_t i = 0;
    // A low surrogate at the start of a step was consumed by the step before.
    while (i + 9 <= units && has_room(out, end, 32)) {
        const __m256i v = load8_utf16<Swap>(p + 2 * i);
        const __m256i next = load8_utf16<Swap>(p + 2 * i + 2);
        const __m256i k = _mm256_and_si256(v, kind);
        const __m256i high = _mm256_cmpeq_epi32(k, high_tag), low = _mm256_cmpeq_epi32(k, low_tag);
        const __m256i pair = _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(v, 10), next), offset);
        const __m256i cps = _mm256_blendv_epi8(v, pair, high);
        const auto drop = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(low)));
        const LaneSqueeze& s = kLaneSqueezes[drop];
        const __m256i order = _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(static_cast<int>(s.lanes)), shifts),
                                               _mm256_set1_epi32(7));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(cps, order));
        out += 4 * s.kept;
        i += 8;
    }
    // The tail; it may start on the low half of a pair written above.
    if (i < units && i > 0 && is_low_surrogate(read_unit<2, Swap>(p + 2 * i))) ++i;
    return fill_utf16_units_from<Swap>(p, i, units, out, end);
}

// Units converted one for one: the output size follows from their count.
template <unsigned S, unsigned D, bool SwapIn>
inline Fill fill_converted(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    if (sized(out, end, n * D) != Fill::done) return Fill::miscount;
    convert_units<S, D, SwapIn, false>(p, out, n);
    return Fill::done;
}

template <bool Swap>
inline Fill fill_utf16_as(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    const std::size_t units = plan.input_size / 2;
    if (width == 1) return fill_converted<2, 1, Swap>(plan.input, units, out, end);
    if (width == 2) return fill_converted<2, 2, Swap>(plan.input, units, out, end);
    if (kHaveAvx2) return fill_utf16_astral_avx2<Swap>(plan.input, units, out, end);
    return fill_utf16_astral<Swap>(plan.input, units, out, end);
}

inline Fill fill_utf16(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    if (plan.variant != 0) return fill_utf16_as<false>(plan, out, end, width);
    return fill_utf16_as<true>(plan, out, end, width);
}

inline constexpr const char* kLoneSurrogate = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found";

// The UTF-16 core after the length test; nullopt-like failure is `ok == false`.
inline Utf16Scan scan_utf16_ordered(const std::uint8_t* p, std::size_t size, bool little) noexcept {
    return little ? scan_utf16<false>(p, size / 2) : scan_utf16<true>(p, size / 2);
}

inline TextPlan utf16_plan(const Utf16Scan& s, const std::uint8_t* p, std::size_t size, bool little) noexcept {
    return TextPlan{s.length, s.max_char, p, size, little ? 1u : 0u, &fill_utf16};
}

inline Expected<TextPlan> decode_utf16_core(const std::uint8_t* p, std::size_t size, bool little) {
    if (size % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
    const Utf16Scan s = scan_utf16_ordered(p, size, little);
    if (!s.ok) return value_error(kLoneSurrogate);
    return utf16_plan(s, p, size, little);
}

// ---------------------------------------------------------------------------
// UTF-32 decoding. TextPlan::variant: 1 for little-endian units.

// Lanes holding a surrogate or a value above U+10FFFF.
inline __m128i invalid_utf32_lanes(__m128i v) noexcept {
    const __m128i above = _mm_or_si128(_mm_cmpgt_epi32(v, _mm_set1_epi32(0x10FFFF)), _mm_cmplt_epi32(v, _mm_setzero_si128()));
    const __m128i sur = _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800))), _mm_set1_epi32(0xD800));
    return _mm_or_si128(above, sur);
}

inline bool valid_scalar(std::uint32_t u) noexcept { return u < 0xD800 || (u >= 0xE000 && u <= 0x10FFFF); }

struct Utf32Scan {
    std::size_t stop = 0;  // first invalid unit, or the unit count
    std::uint32_t bad_unit = 0;
    std::uint32_t max_char = 0;
};

template <bool Swap>
__attribute__((target("avx2"))) inline Utf32Scan scan_utf32_avx2(const std::uint8_t* p, std::size_t units) noexcept {
    const __m256i top = _mm256_set1_epi32(0x10FFFF), kind = _mm256_set1_epi32(static_cast<int>(0xFFFFF800)),
                  tag = _mm256_set1_epi32(0xD800);
    std::size_t i = 0;
    __m256i acc = _mm256_setzero_si256();
    for (; i + 16 <= units; i += 16) {
        const auto [a, b] = load64_avx2<4, Swap>(p + 4 * i);
        const __m256i both = _mm256_or_si256(a, b);
        // Above U+10FFFF: the unsigned maximum with it is not U+10FFFF.
        const __m256i in_range = _mm256_cmpeq_epi32(_mm256_max_epu32(_mm256_max_epu32(a, b), top), top);
        const __m256i sur = _mm256_or_si256(_mm256_cmpeq_epi32(_mm256_and_si256(a, kind), tag),
                                            _mm256_cmpeq_epi32(_mm256_and_si256(b, kind), tag));
        if (_mm256_movemask_epi8(_mm256_andnot_si256(sur, in_range)) != -1) break;  // the scalar loop finds it
        acc = _mm256_or_si256(acc, both);
    }
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
    std::uint32_t bits = 0;
    for (std::uint32_t l : lanes) bits |= l;
    for (; i < units; ++i) {
        const std::uint32_t u = read_unit<4, Swap>(p + 4 * i);
        if (!valid_scalar(u)) return {i, u, 0};
        bits |= u;
    }
    return {units, 0, storage_max(bits)};
}

template <bool Swap>
inline Utf32Scan scan_utf32(const std::uint8_t* p, std::size_t units) noexcept {
    if (kHaveAvx2) return scan_utf32_avx2<Swap>(p, units);
    std::size_t i = 0;
    __m128i acc = _mm_setzero_si128();
    for (; i + kBlock <= units; i += kBlock) {
        Block<4> b = load_block<4>(p + 4 * i);
        if constexpr (Swap) b = swap_block(b);
        const __m128i bad = _mm_or_si128(_mm_or_si128(invalid_utf32_lanes(b.r[0]), invalid_utf32_lanes(b.r[1])),
                                         _mm_or_si128(invalid_utf32_lanes(b.r[2]), invalid_utf32_lanes(b.r[3])));
        if (_mm_movemask_epi8(bad) != 0) break;  // the scalar loop finds it
        acc = _mm_or_si128(acc, or_lanes(b));
    }
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    std::uint32_t bits = lanes[0] | lanes[1] | lanes[2] | lanes[3];
    for (; i < units; ++i) {
        const std::uint32_t u = read_unit<4, Swap>(p + 4 * i);
        if (!valid_scalar(u)) return {i, u, 0};
        bits |= u;
    }
    return {units, 0, storage_max(bits)};
}

template <bool Swap>
inline Fill fill_utf32_as(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    return with_width(width, [&]<unsigned D>() { return fill_converted<4, D, Swap>(plan.input, plan.input_size / 4, out, end); });
}

inline Fill fill_utf32(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    if (plan.variant != 0) return fill_utf32_as<false>(plan, out, end, width);
    return fill_utf32_as<true>(plan, out, end, width);
}

inline Expected<TextPlan> decode_utf32_core(const std::uint8_t* p, std::size_t size, bool little) {
    if (size % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
    const std::size_t units = size / 4;
    const Utf32Scan s = little ? scan_utf32<false>(p, units) : scan_utf32<true>(p, units);
    if (s.stop != units) {
        std::string m = "Invalid UTF-32 codepoint: 0x";
        append_hex(m, s.bad_unit, 8);
        return value_error(std::move(m));
    }
    return TextPlan{units, s.max_char, p, size, little ? 1u : 0u, &fill_utf32};
}

// ---------------------------------------------------------------------------
// Encoding. BytesPlan::variant: bit 0 little-endian, bit 1 byte order mark.
//
// Texts of width 2 and 4 may hold a lone surrogate (see TextView). Each
// encoder notices one in a pass it makes anyway: the sizing pass where it
// has one, otherwise the fill, which then returns false.

inline constexpr std::uint32_t kLittle = 1;
inline constexpr std::uint32_t kMark = 2;

// A code point in U+D800-U+DFFF (units of any width).
inline bool is_surrogate_cp(std::uint32_t cp) noexcept { return (cp & ~std::uint32_t{0x7FF}) == 0xD800; }

// Lanes of units of W bytes (2 or 4) holding a surrogate.
template <unsigned W>
inline __m128i surrogate_lanes(__m128i v) noexcept {
    if constexpr (W == 2) {
        return _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))),
                               _mm_set1_epi16(static_cast<short>(0xD800)));
    } else {
        return _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800))), _mm_set1_epi32(0xD800));
    }
}

// The plan of a text whose sizing met a surrogate: it never writes.
inline Fill refuse_fill(const BytesPlan&, std::uint8_t*, std::uint8_t*) noexcept { return Fill::surrogate; }
inline BytesPlan refused(const TextView& t) noexcept { return BytesPlan{1, t, 0, &refuse_fill}; }

// The units of an ASCII or Latin-1 text of width 1 are its bytes.
inline Fill fill_copy(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    if (sized(out, end, plan.text.length) != Fill::done) return Fill::miscount;
    std::memcpy(out, plan.text.data, plan.text.length);
    return Fill::done;
}

// Bytes widened to units of D bytes (2 or 4), 16 per step. A big-endian
// unit of a value below 256 is the value shifted to the top byte.
__attribute__((target("avx2"))) inline void store_halves(std::uint8_t* dst, __m256i v) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(v, 1));
}

template <unsigned D, bool SwapOut>
__attribute__((target("avx2"))) inline void widen_bytes_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        if constexpr (D == 2) {
            __m256i w = _mm256_cvtepu8_epi16(b);
            if constexpr (SwapOut) w = _mm256_slli_epi16(w, 8);
            store_halves(dst + 2 * i, w);
        } else {
            __m256i lo = _mm256_cvtepu8_epi32(b), hi = _mm256_cvtepu8_epi32(_mm_srli_si128(b, 8));
            if constexpr (SwapOut) {
                lo = _mm256_slli_epi32(lo, 24);
                hi = _mm256_slli_epi32(hi, 24);
            }
            // Halves: the bytes object's storage is 16-byte aligned, and
            // 32-byte stores would split cache lines every other time.
            store_halves(dst + 4 * i, lo);
            store_halves(dst + 4 * i + 32, hi);
        }
    }
    for (; i < n; ++i) write_unit<D, SwapOut>(dst + D * i, src[i]);
}

// convert_units for the encoders: also tells whether a source unit was a
// surrogate. Blocks are tested branch-free; the verdict comes at the end.
template <unsigned S, unsigned D, bool SwapOut>
inline Fill convert_units_checked(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::uint8_t* end) noexcept {
    if (sized(dst, end, n * D) != Fill::done) return Fill::miscount;
    if constexpr (S == 1) {
        if constexpr (D > 1) {
            if (kHaveAvx2) {
                widen_bytes_avx2<D, SwapOut>(src, dst, n);
                return Fill::done;
            }
        }
        convert_units<1, D, false, SwapOut>(src, dst, n);
        return Fill::done;
    } else {
        __m128i bad = _mm_setzero_si128();
        std::size_t i = 0;
        for (; i + kBlock <= n; i += kBlock) {
            const Block<S> b = load_block<S>(src + i * S);
            for_each_register<S>([&](unsigned k) [[gnu::always_inline]] { bad = _mm_or_si128(bad, surrogate_lanes<S>(b.r[k])); });
            Block<D> d = resize_block<S, D>(b);
            if constexpr (SwapOut) d = swap_block(d);
            store_block<D>(dst + i * D, d);
        }
        bool tail_bad = false;
        for (; i < n; ++i) {
            const std::uint32_t u = read_unit<S, false>(src + i * S);
            tail_bad |= is_surrogate_cp(u);
            write_unit<D, SwapOut>(dst + i * D, u);
        }
        return _mm_movemask_epi8(bad) == 0 && !tail_bad ? Fill::done : Fill::surrogate;
    }
}

// put_utf8 within [out, end): nullptr when the code point does not fit.
inline std::uint8_t* put_utf8_within(std::uint8_t* out, const std::uint8_t* end, std::uint32_t cp) noexcept {
    const std::size_t size = 1 + (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000);
    return has_room(out, end, size) ? put_utf8(out, cp) : nullptr;
}

// A surrogate takes three bytes in the sizing, like any unit of its range,
// and fails the fill.
template <unsigned W>
inline Fill fill_utf8_from(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    std::size_t i = 0;
    bool bad = false;
    while (i < n) {
        std::size_t stop = n;
        if (i + kBlock <= n) {
            const Block<W> b = load_block<W>(p + i * W);
            if (block_below(b, 0x80)) {
                if (!has_room(out, end, kBlock)) return Fill::miscount;
                store_block<1>(out, resize_block<W, 1>(b));
                out += kBlock;
                i += kBlock;
                continue;
            }
            stop = i + kBlock;
        }
        for (; i < stop; ++i) {
            const std::uint32_t cp = read_unit<W, false>(p + i * W);
            if constexpr (W > 1) bad |= is_surrogate_cp(cp);
            out = put_utf8_within(out, end, cp);
            if (out == nullptr) return Fill::miscount;
        }
    }
    if (out != end) return Fill::miscount;
    return bad ? Fill::surrogate : Fill::done;
}

// UTF-8 from units of any width, eight code points per step (AVX2). Each
// code point is first laid out as four bytes whose last L bytes are its
// UTF-8 form (L = 1 to 4); a shuffle per four code points then keeps just
// those bytes. The shuffle and the total length come from a table indexed by
// the four values L - 1.
struct Utf8Compaction {
    alignas(16) std::uint8_t shuffle[16];
    std::uint8_t size;
};

inline constexpr std::array<Utf8Compaction, 256> kUtf8Compactions = [] {
    std::array<Utf8Compaction, 256> t{};
    for (unsigned index = 0; index < 256; ++index) {
        Utf8Compaction& c = t[index];
        unsigned at = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            const unsigned size = ((index >> (6 - 2 * lane)) & 3) + 1;  // lane 0 in the top bits
            for (unsigned b = 4 - size; b < 4; ++b) c.shuffle[at++] = static_cast<std::uint8_t>(4 * lane + b);
        }
        c.size = static_cast<std::uint8_t>(at);
        for (; at < 16; ++at) c.shuffle[at] = 0x80;
    }
    return t;
}();

// Eight units of W bytes as 32-bit lanes.
template <unsigned W>
__attribute__((target("avx2"))) inline __m256i load8_wide(const std::uint8_t* p) noexcept {
    if constexpr (W == 1) return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    else if constexpr (W == 2) return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    else return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The UTF-8 size of a text, and whether it holds a surrogate (only the
// AVX2 sizing looks; the other path finds them while filling).
struct Utf8Measure {
    std::size_t size = 0;
    bool surrogate = false;
    bool ascii = false;
};

template <unsigned W>
__attribute__((target("avx2"))) inline Utf8Measure utf8_size_avx2(const std::uint8_t* p, std::size_t n) noexcept {
    const __m256i t80 = _mm256_set1_epi32(0x7F), t800 = _mm256_set1_epi32(0x7FF), t10000 = _mm256_set1_epi32(0xFFFF);
    const __m256i kind = _mm256_set1_epi32(static_cast<int>(0xFFFFF800)), tag = _mm256_set1_epi32(0xD800);
    __m256i bad = _mm256_setzero_si256();
    std::size_t extra = 0, i = 0;
    // A step adds one per threshold reached: at most three to a lane.
    for (std::size_t end; (end = lane_run_end<32, 3, 8>(i, n)) != i;) {
        __m256i acc = _mm256_setzero_si256();
        for (; i < end; i += 8) {
            const __m256i v = load8_wide<W>(p + i * W);
            acc = _mm256_sub_epi32(acc, _mm256_cmpgt_epi32(v, t80));
            acc = _mm256_sub_epi32(acc, _mm256_cmpgt_epi32(v, t800));
            acc = _mm256_sub_epi32(acc, _mm256_cmpgt_epi32(v, t10000));
            if constexpr (W > 1) bad = _mm256_or_si256(bad, _mm256_cmpeq_epi32(_mm256_and_si256(v, kind), tag));
        }
        extra += sum_lanes_avx2(acc);
    }
    bool tail_bad = false;
    for (; i < n; ++i) {
        const std::uint32_t cp = read_unit<W, false>(p + i * W);
        extra += (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000);
        tail_bad |= is_surrogate_cp(cp);
    }
    return {n + extra, !_mm256_testz_si256(bad, bad) || tail_bad};
}

__attribute__((target("avx2"))) inline std::uint8_t* put_utf8_half(std::uint8_t* out, __m128i bytes, std::uint32_t sizes) noexcept {
    // sizes: the four values L - 1 as bytes; the product gathers them into
    // the top byte, lane 0 highest.
    const Utf8Compaction& c = kUtf8Compactions[(sizes * 0x40100401u) >> 24];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i*>(c.shuffle))));
    return out + c.size;
}

template <unsigned W>
__attribute__((target("avx2"))) inline Fill fill_utf8_avx2(const std::uint8_t* p, std::size_t n, std::uint8_t* out,
                                                           std::uint8_t* end) noexcept {
    const __m256i t80 = _mm256_set1_epi32(0x7F), t800 = _mm256_set1_epi32(0x7FF), t10000 = _mm256_set1_epi32(0xFFFF);
    // By L - 1: what to keep of the laid-out bytes, and the markers to add
    // (80 on continuation bytes; C0, E0 or F0 on the lead byte).
    const __m256i keep = _mm256_setr_epi32(-1, 0x3FFFFFFF, 0x3FFFFFFF, 0x3FFFFFFF, 0, 0, 0, 0);
    const __m256i marks = _mm256_setr_epi32(0, static_cast<int>(0x80C00000), static_cast<int>(0x8080E000),
                                            static_cast<int>(0x808080F0), 0, 0, 0, 0);
    bool ascii_run = true;
    std::size_t i = 0;
    // A step writes at most 32 bytes.
    while (i + 8 <= n && has_room(out, end, 32)) {
        if (ascii_run && i + 32 <= n) {
            // After eight ASCII units, try the next 32 in one step.
            const Block<W> b0 = load_block<W>(p + i * W), b1 = load_block<W>(p + (i + 16) * W);
            if (block_below(b0, 0x80) && block_below(b1, 0x80)) {
                store_block<1>(out, resize_block<W, 1>(b0));
                store_block<1>(out + 16, resize_block<W, 1>(b1));
                out += 32;
                i += 32;
                continue;
            }
        }
        const __m256i v = load8_wide<W>(p + i * W);
        const __m256i m80 = _mm256_cmpgt_epi32(v, t80);
        const __m256i sizes = _mm256_sub_epi32(_mm256_sub_epi32(_mm256_setzero_si256(), m80),
                                               _mm256_add_epi32(_mm256_cmpgt_epi32(v, t800), _mm256_cmpgt_epi32(v, t10000)));
        // Bytes 0-3 of a lane: cp>>18, cp>>12, cp>>6 (six bits each) and cp
        // (eight bits, of which `keep` drops two unless it is ASCII).
        __m256i laid = _mm256_or_si256(
            _mm256_or_si256(_mm256_srli_epi32(v, 18), _mm256_and_si256(_mm256_srli_epi32(v, 4), _mm256_set1_epi32(0x3F00))),
            _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi32(v, 10), _mm256_set1_epi32(0x3F0000)), _mm256_slli_epi32(v, 24)));
        laid = _mm256_or_si256(_mm256_and_si256(laid, _mm256_permutevar8x32_epi32(keep, sizes)),
                               _mm256_permutevar8x32_epi32(marks, sizes));
        const __m256i sizes8 = _mm256_packus_epi16(_mm256_packus_epi32(sizes, sizes), sizes);
        out = put_utf8_half(out, _mm256_castsi256_si128(laid), static_cast<std::uint32_t>(_mm256_extract_epi32(sizes8, 0)));
        out = put_utf8_half(out, _mm256_extracti128_si256(laid, 1), static_cast<std::uint32_t>(_mm256_extract_epi32(sizes8, 4)));
        ascii_run = _mm256_testz_si256(m80, m80);
        i += 8;
    }
    for (; i < n; ++i) {
        out = put_utf8_within(out, end, read_unit<W, false>(p + i * W));
        if (out == nullptr) return Fill::miscount;
    }
    return out == end ? Fill::done : Fill::miscount;
}


template <unsigned W>
inline Utf8Measure utf8_size(const std::uint8_t* p, std::size_t n) noexcept {
    // Every unit takes one byte, plus one per threshold it reaches.
    if (first_at_or_above<W>(p, n, 0x80) == n) return {n, false, true};
    if (kHaveAvx2) return utf8_size_avx2<W>(p, n);
    if constexpr (W == 1) {
        const auto [ascii] = count_clear<1, 1>(p, n, {0x80});
        return {2 * n - ascii, false};
    } else if constexpr (W == 2) {
        const auto [below_80, below_800] = count_clear<2, 2>(p, n, {0xFF80, 0xF800});
        return {3 * n - below_80 - below_800, false};
    } else {
        const auto [below_80, below_800, below_10000] = count_clear<4, 3>(p, n, {0xFFFFFF80, 0xFFFFF800, 0xFFFF0000});
        return {4 * n - below_80 - below_800 - below_10000, false};
    }
}

// BytesPlan::variant of a text the sizing found to be ASCII only.
inline constexpr std::uint32_t kAsciiUnits = 1;

inline Fill fill_utf8_bytes(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    const TextView& t = plan.text;
    if (plan.variant == kAsciiUnits) {
        // The units are the bytes.
        return with_width(t.width, [&]<unsigned W>() { return convert_units_checked<W, 1, false>(bytes_of(t), t.length, out, end); });
    }
    return with_width(t.width, [&]<unsigned W>() {
        if (!kHaveAvx2) return fill_utf8_from<W>(bytes_of(t), t.length, out, end);
        return fill_utf8_avx2<W>(bytes_of(t), t.length, out, end);  // the sizing has ruled out surrogates
    });
}

// Mark first (big-endian only), then the units; nullptr when it does not fit.
template <unsigned D>
inline std::uint8_t* put_mark(const BytesPlan& plan, std::uint8_t* out, const std::uint8_t* end) noexcept {
    if (plan.variant & kMark) {
        if (!has_room(out, end, D)) return nullptr;
        write_unit<D, true>(out, 0xFEFF);
        out += D;
    }
    return out;
}

// One code point as UTF-16 within [out, end): nullptr when it does not fit.
template <bool Swap>
inline std::uint8_t* put_utf16_within(std::uint8_t* out, const std::uint8_t* end, std::uint32_t cp) noexcept {
    if (cp < 0x10000) {
        if (!has_room(out, end, 2)) return nullptr;
        write_unit<2, Swap>(out, cp);
        return out + 2;
    }
    if (!has_room(out, end, 4)) return nullptr;
    write_unit<2, Swap>(out, 0xD800 + ((cp - 0x10000) >> 10));
    write_unit<2, Swap>(out + 2, 0xDC00 + ((cp - 0x10000) & 0x3FF));
    return out + 4;
}

// Code points of units of 4 bytes as UTF-16; the sizing has ruled out
// surrogates. Blocks below U+10000 narrow in one step; a block with an
// astral code point is written up to it in one step too, since every unit
// before it is one UTF-16 unit.
template <bool Swap>
inline Fill fill_utf16_from_ucs4(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    std::size_t i = 0;
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFF0000));
    while (i + kBlock <= n && has_room(out, end, 2 * kBlock)) {
        const Block<4> b = load_block<4>(p + 4 * i);
        Block<2> d = resize_block<4, 2>(b);
        if constexpr (Swap) d = swap_block(d);
        store_block<2>(out, d);
        const __m128i zero = _mm_setzero_si128();
        const unsigned astral =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(
                _mm_packs_epi32(_mm_cmpeq_epi32(_mm_and_si128(b.r[0], high), zero), _mm_cmpeq_epi32(_mm_and_si128(b.r[1], high), zero)),
                _mm_packs_epi32(_mm_cmpeq_epi32(_mm_and_si128(b.r[2], high), zero), _mm_cmpeq_epi32(_mm_and_si128(b.r[3], high), zero))))) ^
            0xFFFFu;
        if (astral == 0) {
            out += 2 * kBlock;
            i += kBlock;
            continue;
        }
        const auto k = static_cast<std::size_t>(std::countr_zero(astral));
        out += 2 * k;
        i += k;
        out = put_utf16_within<Swap>(out, end, read_unit<4, false>(p + 4 * i));
        if (out == nullptr) return Fill::miscount;
        ++i;
    }
    for (; i < n; ++i) {
        out = put_utf16_within<Swap>(out, end, read_unit<4, false>(p + 4 * i));
        if (out == nullptr) return Fill::miscount;
    }
    return out == end ? Fill::done : Fill::miscount;
}

// Astral code points (two UTF-16 units each) and surrogates, in one pass.
struct Ucs4Census {
    std::size_t astral = 0;
    bool surrogate = false;
};

inline Ucs4Census ucs4_census(const std::uint8_t* p, std::size_t n) noexcept {
    Ucs4Census c;
    __m128i bad = _mm_setzero_si128(), count = _mm_setzero_si128();
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFF0000)), zero = _mm_setzero_si128();
    std::size_t i = 0;
    // Each of a block's four registers adds at most one to a lane.
    for (std::size_t end; (end = lane_run_end<32, 4, kBlock>(i, n)) != i;) {
        for (; i < end; i += kBlock) {
            const Block<4> b = load_block<4>(p + 4 * i);
            for (unsigned k = 0; k < 4; ++k) {
                bad = _mm_or_si128(bad, surrogate_lanes<4>(b.r[k]));
                count = count_hits<4>(count, _mm_xor_si128(_mm_cmpeq_epi32(_mm_and_si128(b.r[k], high), zero),
                                                           _mm_set1_epi32(-1)));
            }
        }
        c.astral += sum_lanes<32>(count);
        count = zero;
    }
    c.surrogate = _mm_movemask_epi8(bad) != 0;
    for (; i < n; ++i) {
        const std::uint32_t cp = read_unit<4, false>(p + 4 * i);
        c.astral += cp >= 0x10000;
        c.surrogate |= is_surrogate_cp(cp);
    }
    return c;
}

// UTF-16 from UCS-4 with AVX2, eight code points per step: an astral code
// point's lane is rewritten as its two units, and a shuffle per four lanes
// keeps two bytes of the others and four of these, in the output's order.
struct Utf16Expansion {
    alignas(16) std::uint8_t shuffle[16];
    std::uint8_t size;
};

template <bool Swap>
inline constexpr std::array<Utf16Expansion, 16> kUtf16Expansions = [] {
    std::array<Utf16Expansion, 16> t{};
    for (unsigned astral = 0; astral < 16; ++astral) {
        Utf16Expansion& e = t[astral];
        unsigned at = 0;
        for (unsigned lane = 0; lane < 4; ++lane) {
            for (unsigned unit = 0; unit < ((astral >> lane & 1) ? 2u : 1u); ++unit) {
                const unsigned first = 4 * lane + 2 * unit;
                e.shuffle[at++] = static_cast<std::uint8_t>(Swap ? first + 1 : first);
                e.shuffle[at++] = static_cast<std::uint8_t>(Swap ? first : first + 1);
            }
        }
        e.size = static_cast<std::uint8_t>(at);
        for (; at < 16; ++at) e.shuffle[at] = 0x80;
    }
    return t;
}();

template <bool Swap>
__attribute__((target("avx2"))) inline std::uint8_t* put_utf16_half(std::uint8_t* out, __m128i lanes, unsigned astral) noexcept {
    const Utf16Expansion& e = kUtf16Expansions<Swap>[astral];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(lanes, _mm_load_si128(reinterpret_cast<const __m128i*>(e.shuffle))));
    return out + e.size;
}

template <bool Swap>
__attribute__((target("avx2"))) inline std::uint8_t* fill_utf16_from_ucs4_avx2(const std::uint8_t* p, std::size_t n, std::size_t& done,
                                                                              std::uint8_t* out, std::uint8_t* end) noexcept {
    const __m256i bmp = _mm256_set1_epi32(0xFFFF);
    std::size_t i = 0;
    // A step writes at most 32 bytes.
    for (; i + 8 <= n && has_room(out, end, 32); i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4 * i));
        const __m256i astral = _mm256_cmpgt_epi32(v, bmp);
        const __m256i c = _mm256_sub_epi32(v, _mm256_set1_epi32(0x10000));
        const __m256i high = _mm256_add_epi32(_mm256_srli_epi32(c, 10), _mm256_set1_epi32(0xD800));
        const __m256i low = _mm256_add_epi32(_mm256_and_si256(c, _mm256_set1_epi32(0x3FF)), _mm256_set1_epi32(0xDC00));
        const __m256i units = _mm256_blendv_epi8(v, _mm256_or_si256(high, _mm256_slli_epi32(low, 16)), astral);
        const auto mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(astral)));
        out = put_utf16_half<Swap>(out, _mm256_castsi256_si128(units), mask & 15);
        out = put_utf16_half<Swap>(out, _mm256_extracti128_si256(units, 1), mask >> 4);
    }
    done = i;
    return out;
}

__attribute__((target("avx2"))) inline Ucs4Census ucs4_census_avx2(const std::uint8_t* p, std::size_t n) noexcept {
    const __m256i bmp = _mm256_set1_epi32(0xFFFF), kind = _mm256_set1_epi32(static_cast<int>(0xFFFFF800)),
                  tag = _mm256_set1_epi32(0xD800);
    __m256i bad = _mm256_setzero_si256(), count = _mm256_setzero_si256();
    std::size_t i = 0;
    Ucs4Census c;
    for (std::size_t end; (end = lane_run_end<32, 1, 8>(i, n)) != i;) {
        for (; i < end; i += 8) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4 * i));
            bad = _mm256_or_si256(bad, _mm256_cmpeq_epi32(_mm256_and_si256(v, kind), tag));
            count = _mm256_sub_epi32(count, _mm256_cmpgt_epi32(v, bmp));
        }
        c.astral += sum_lanes_avx2(count);
        count = _mm256_setzero_si256();
    }
    c.surrogate = !_mm256_testz_si256(bad, bad);
    for (; i < n; ++i) {
        const std::uint32_t cp = read_unit<4, false>(p + 4 * i);
        c.astral += cp >= 0x10000;
        c.surrogate |= is_surrogate_cp(cp);
    }
    return c;
}

template <bool Swap>
inline Fill fill_utf16_units(const TextView& t, std::uint8_t* out, std::uint8_t* end) noexcept {
    if (t.width == 1) return convert_units_checked<1, 2, Swap>(bytes_of(t), t.length, out, end);
    if (t.width == 2) return convert_units_checked<2, 2, Swap>(bytes_of(t), t.length, out, end);
    std::size_t done = 0;
    if (kHaveAvx2) out = fill_utf16_from_ucs4_avx2<Swap>(bytes_of(t), t.length, done, out, end);
    return fill_utf16_from_ucs4<Swap>(bytes_of(t) + 4 * done, t.length - done, out, end);
}

inline Fill fill_utf16_bytes(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    out = put_mark<2>(plan, out, end);
    if (out == nullptr) return Fill::miscount;
    if (plan.variant & kLittle) return fill_utf16_units<false>(plan.text, out, end);
    return fill_utf16_units<true>(plan.text, out, end);
}

template <bool Swap>
inline Fill fill_utf32_units(const TextView& t, std::uint8_t* out, std::uint8_t* end) noexcept {
    return with_width(t.width, [&]<unsigned W>() { return convert_units_checked<W, 4, Swap>(bytes_of(t), t.length, out, end); });
}

inline Fill fill_utf32_bytes(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    out = put_mark<4>(plan, out, end);
    if (out == nullptr) return Fill::miscount;
    if (plan.variant & kLittle) return fill_utf32_units<false>(plan.text, out, end);
    return fill_utf32_units<true>(plan.text, out, end);
}

inline BytesPlan utf16_bytes_plan(const TextView& t, std::uint32_t variant) noexcept {
    std::size_t units = t.length;
    if (t.width == 4) {
        const Ucs4Census c = kHaveAvx2 ? ucs4_census_avx2(bytes_of(t), t.length) : ucs4_census(bytes_of(t), t.length);
        if (c.surrogate) return refused(t);
        units += c.astral;
    }
    return BytesPlan{2 * units + ((variant & kMark) ? 2 : 0), t, variant, &fill_utf16_bytes};
}

inline BytesPlan utf32_bytes_plan(const TextView& t, std::uint32_t variant) noexcept {
    return BytesPlan{4 * t.length + ((variant & kMark) ? 4 : 0), t, variant, &fill_utf32_bytes};
}

}  // namespace text_detail

// ---------------------------------------------------------------------------
// Operations.

inline Expected<TextPlan> decode_utf8(ByteSpan bytes) {
    using namespace text_detail;
    const Utf8Scan s = kScanUtf8(bytes.data(), bytes.size());
    if (s.stop != bytes.size()) return utf8_error(s);
    return TextPlan{s.length, utf8_storage_max(s.max_lead), bytes.data(), bytes.size(), 0, &fill_utf8};
}

namespace text_detail {

using UnitCore = Expected<TextPlan> (*)(const std::uint8_t*, std::size_t, bool);

// The mark-detecting forms: whole units only and at least one of them; a
// leading big- or little-endian mark selects the order and is dropped, no
// mark means big-endian. Only the first mark is taken.
template <std::size_t Unit>
inline Expected<TextPlan> decode_marked(ByteSpan bytes, const std::uint8_t (&big)[Unit],
                                        const std::uint8_t (&little)[Unit], const char* length_message,
                                        UnitCore core) {
    if (bytes.size() < Unit || bytes.size() % Unit != 0) return value_error(length_message);
    const std::uint8_t* p = bytes.data();
    if (std::memcmp(p, big, Unit) == 0) return core(p + Unit, bytes.size() - Unit, false);
    if (std::memcmp(p, little, Unit) == 0) return core(p + Unit, bytes.size() - Unit, true);
    return core(p, bytes.size(), false);
}

inline constexpr std::uint8_t kUtf16MarkBig[2] = {0xFE, 0xFF};
inline constexpr std::uint8_t kUtf16MarkLittle[2] = {0xFF, 0xFE};
inline constexpr std::uint8_t kUtf32MarkBig[4] = {0x00, 0x00, 0xFE, 0xFF};
inline constexpr std::uint8_t kUtf32MarkLittle[4] = {0xFF, 0xFE, 0x00, 0x00};

}  // namespace text_detail

inline Expected<TextPlan> decode_utf16be(ByteSpan bytes) {
    return text_detail::decode_utf16_core(bytes.data(), bytes.size(), false);
}

inline Expected<TextPlan> decode_utf16le(ByteSpan bytes) {
    return text_detail::decode_utf16_core(bytes.data(), bytes.size(), true);
}

inline Expected<TextPlan> decode_utf16(ByteSpan bytes) {
    using namespace text_detail;
    return decode_marked(bytes, kUtf16MarkBig, kUtf16MarkLittle,
                         "UTF-16 requires an even number of bytes with at least 2 bytes", &decode_utf16_core);
}

inline Expected<TextPlan> decode_utf32be(ByteSpan bytes) {
    return text_detail::decode_utf32_core(bytes.data(), bytes.size(), false);
}

inline Expected<TextPlan> decode_utf32le(ByteSpan bytes) {
    return text_detail::decode_utf32_core(bytes.data(), bytes.size(), true);
}

inline Expected<TextPlan> decode_utf32(ByteSpan bytes) {
    using namespace text_detail;
    return decode_marked(bytes, kUtf32MarkBig, kUtf32MarkLittle,
                         "UTF-32 requires a multiple of 4 bytes with at least 4 bytes", &decode_utf32_core);
}

inline BytesPlan encode_utf8(TextView text) {
    using namespace text_detail;
    if (text.ascii) return BytesPlan{text.length, text, 0, &fill_copy};
    const Utf8Measure m = with_width(text.width, [&]<unsigned W>() { return utf8_size<W>(bytes_of(text), text.length); });
    if (m.surrogate) return refused(text);
    return BytesPlan{m.size, text, m.ascii ? kAsciiUnits : 0, &fill_utf8_bytes};
}

inline BytesPlan encode_utf16be(TextView text) { return text_detail::utf16_bytes_plan(text, 0); }
inline BytesPlan encode_utf16le(TextView text) { return text_detail::utf16_bytes_plan(text, text_detail::kLittle); }
inline BytesPlan encode_utf16(TextView text) { return text_detail::utf16_bytes_plan(text, text_detail::kMark); }
inline BytesPlan encode_utf32be(TextView text) { return text_detail::utf32_bytes_plan(text, 0); }
inline BytesPlan encode_utf32le(TextView text) { return text_detail::utf32_bytes_plan(text, text_detail::kLittle); }
inline BytesPlan encode_utf32(TextView text) { return text_detail::utf32_bytes_plan(text, text_detail::kMark); }

}  // namespace fieldloom
