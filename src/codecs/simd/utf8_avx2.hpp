// The AVX2 UTF-8 kernels: validation and counting 32 bytes per step,
// writing the validated code points as str units 16 bytes per step, and
// sizing and writing UTF-8 from units of any width, eight code points per
// step.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/simd/avx2.hpp"
#include "codecs/simd/blocks.hpp"
#include "codecs/simd/lane_count.hpp"
#include "codecs/text_units.hpp"

namespace fieldloom {
namespace text_detail {

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

__attribute__((target("avx2,popcnt"))) inline Utf8Verdict validate_utf8_avx2(const std::uint8_t* p, std::size_t n) noexcept {
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
    if (!_mm256_testz_si256(error, error)) return {};

    alignas(32) std::uint8_t lanes[32];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), st.max_byte);
    const std::uint32_t max_byte = *std::max_element(lanes, lanes + 32);
    return {true, st.starts, max_byte < 0x80 ? 0 : max_byte};
}

// Writing well-formed UTF-8 as units of D bytes (AVX2), eight places of the
// input at a time: a table gives the places in a 16-byte window where code
// points start, a shuffle lays each code point's bytes (lead first) in a
// 32-bit lane, two multiply-adds join the payload bits of all four bytes,
// and a shift by lane drops the bytes that belong to the code points after
// it. The code points stay in lanes, so no branch depends on their lengths.
inline constexpr std::array<std::uint64_t, 256> kUtf8StartPlaces = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned mask = 0; mask < 256; ++mask) {
        unsigned at = 0;
        for (unsigned place = 0; place < 8; ++place) {
            if (mask >> place & 1) t[mask] |= std::uint64_t{place} << (8 * at++);
        }
    }
    return t;
}();

// Eight code points from the low byte of 32-bit lanes (narrowed for D < 4);
// they fit D (the scan has measured them).
template <unsigned D>
__attribute__((target("avx2"))) inline void store_eight_units(std::uint8_t* out, __m256i cps) noexcept {
    if constexpr (D == 4) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), cps);
    } else {
        const __m128i units16 = _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(cps, cps), 0x08));
        if constexpr (D == 2) _mm_storeu_si128(reinterpret_cast<__m128i*>(out), units16);
        else _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units16, units16));
    }
}

struct Utf8DecodeConstants {
    __m256i spread, byte_places, lead_bits, drop_bits, nibble, lead_only, continuation_bits, join6, join12, last_continuation;
};

// The code points that start in the first eight bytes of `window` (16
// bytes, in both halves), as 32-bit lanes; `starts` marks those places.
__attribute__((target("avx2"))) inline __m256i decode_eight_utf8(const Utf8DecodeConstants& c, __m256i window,
                                                                  unsigned starts) noexcept {
    const __m256i places = _mm256_shuffle_epi8(_mm256_set1_epi64x(static_cast<long long>(kUtf8StartPlaces[starts])), c.spread);
    const __m256i lanes = _mm256_shuffle_epi8(window, _mm256_add_epi32(places, c.byte_places));
    const __m256i lead = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(lanes, 4), c.nibble), c.lead_only);
    const __m256i payload = _mm256_and_si256(lanes, _mm256_or_si256(_mm256_shuffle_epi8(c.lead_bits, lead), c.continuation_bits));
    const __m256i joined = _mm256_madd_epi16(_mm256_maddubs_epi16(payload, c.join6), c.join12);
    return _mm256_srlv_epi32(joined, _mm256_shuffle_epi8(c.drop_bits, lead));
}

// One step of decode_utf8_avx2: the code points that start in the first 16
// of the 32 bytes at `at`, eight places at a time; they end by byte 19,
// where the next step begins. `inside` marks the bytes that are input. The
// bytes taken, or 0 when the units do not fit the output.
template <unsigned D>
__attribute__((target("avx2,popcnt"))) inline std::size_t decode_utf8_step(const Utf8DecodeConstants& c, const std::uint8_t* at,
                                                                            std::uint64_t inside, std::uint8_t*& out,
                                                                            std::uint8_t* end) noexcept {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    if (_mm256_movemask_epi8(bytes) == 0 && inside == 0xFFFFFFFF && has_room(out, end, 32 * D)) {
        store_block<D>(out, resize_block<1, D>(Block<1>{{_mm256_castsi256_si128(bytes)}}));
        store_block<D>(out + 16 * D, resize_block<1, D>(Block<1>{{_mm256_extracti128_si256(bytes, 1)}}));
        out += 32 * D;
        return 32;
    }
    // Every byte but a continuation byte starts a code point.
    const std::uint64_t starts =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(bytes, c.last_continuation))) & inside;
    const unsigned first = static_cast<unsigned>(starts & 0xFF), second = static_cast<unsigned>(starts >> 8 & 0xFF);
    const auto count1 = static_cast<std::size_t>(__builtin_popcount(first));
    const auto count = count1 + static_cast<std::size_t>(__builtin_popcount(second));
    const __m256i cps1 = decode_eight_utf8(c, _mm256_permute4x64_epi64(bytes, 0x44), first);
    const __m256i cps2 = decode_eight_utf8(c, _mm256_permute4x64_epi64(bytes, 0x99), second);
    if (has_room(out, end, 16 * D)) {
        store_eight_units<D>(out, cps1);
        store_eight_units<D>(out + count1 * D, cps2);
    } else {
        // Near the end of the output: only the units taken may land.
        if (!has_room(out, end, count * D)) return 0;
        alignas(32) std::uint8_t units[16 * D];
        store_eight_units<D>(units, cps1);
        store_eight_units<D>(units + count1 * D, cps2);
        std::memcpy(out, units, count * D);
    }
    out += count * D;
    return static_cast<std::size_t>(__builtin_ctzll((starts & ~std::uint64_t{0xFFFF}) | (inside + 1)));
}

// Holds a constant in a register: GCC otherwise rebuilds some of them from
// immediates on every step of the loop.
__attribute__((target("avx2"))) inline void keep_in_register(__m256i& v) noexcept { asm("" : "+x"(v)); }

template <unsigned D>
__attribute__((target("avx2,popcnt"))) inline Fill decode_utf8_avx2(const std::uint8_t* p, std::size_t n, std::uint8_t* out,
                                                                     std::uint8_t* end) noexcept {
    Utf8DecodeConstants c{
        // Lane k reads the bytes from the k-th start on.
        _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7),
        _mm256_set1_epi32(0x03020100),
        // By the lead's high nibble: the payload bits of the lead, and how
        // many low bits of the joined value belong to later code points
        // (continuation bytes never lead a lane).
        _mm256_setr_epi8(0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0, 0, 0, 0, 0x1F, 0x1F, 0x0F, 0x07,
                         0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0, 0, 0, 0, 0x1F, 0x1F, 0x0F, 0x07),
        _mm256_setr_epi8(18, 18, 18, 18, 18, 18, 18, 18, 0, 0, 0, 0, 12, 12, 6, 0,
                         18, 18, 18, 18, 18, 18, 18, 18, 0, 0, 0, 0, 12, 12, 6, 0),
        // A lane's lead nibble, with its other bytes set to look up zero.
        _mm256_set1_epi32(0x0F), _mm256_set1_epi32(static_cast<int>(0x80808000)), _mm256_set1_epi32(0x3F3F3F00),
        // b0 * 64 + b1 and b2 * 64 + b3, then the first of those * 4096 + the second.
        _mm256_set1_epi16(0x0140), _mm256_set1_epi32(0x00011000),
        // Continuation bytes are the signed bytes up to this one.
        _mm256_set1_epi8(static_cast<char>(0xBF))};
    keep_in_register(c.spread), keep_in_register(c.byte_places), keep_in_register(c.lead_bits);
    keep_in_register(c.drop_bits), keep_in_register(c.nibble), keep_in_register(c.lead_only);
    keep_in_register(c.continuation_bits), keep_in_register(c.join6), keep_in_register(c.join12);
    keep_in_register(c.last_continuation);

    std::size_t i = 0;
    while (n - i >= 32) {
        const std::size_t taken = decode_utf8_step<D>(c, p + i, 0xFFFFFFFF, out, end);
        if (taken == 0) return Fill::miscount;
        i += taken;
    }
    if (i < n) {
        // The last bytes, copied once next to NULs that no step takes.
        const std::size_t left = n - i;
        alignas(32) std::uint8_t tail[64] = {};
        std::memcpy(tail, p + i, left);
        for (std::size_t j = 0; j < left;) {
            const std::size_t taken = decode_utf8_step<D>(c, tail + j, (std::uint64_t{1} << (left - j)) - 1, out, end);
            if (taken == 0) return Fill::miscount;
            j += taken;
        }
    }
    return out == end ? Fill::done : Fill::miscount;
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

}  // namespace text_detail
}  // namespace fieldloom
