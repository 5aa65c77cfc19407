// The AVX2 UTF-8 kernels: validation and counting 32 bytes per step, and
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

// The code point count and largest lead byte of well-formed UTF-8; `ok` is
// false when it is not, and the scalar scan then finds where and why.
struct Utf8Verdict {
    bool ok = false;
    std::size_t length = 0;
    std::uint32_t max_lead = 0;
};

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
