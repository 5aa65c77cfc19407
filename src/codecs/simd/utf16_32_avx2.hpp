// The AVX2 UTF-16 and UTF-32 kernels: validating UTF-16 32 units per step
// and UTF-32 16 per step, widening surrogate pairs to UCS-4, counting and
// writing the pairs of UCS-4 text.
#pragma once

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "codecs/simd/avx2.hpp"
#include "codecs/simd/blocks.hpp"
#include "codecs/simd/lane_count.hpp"
#include "codecs/text_units.hpp"

namespace fieldloom {
namespace text_detail {

// The whole steps of 32 units of a UTF-16 scan (see scan_utf16), each unit
// with two mask bits; false at a misplaced surrogate. The rest is left to
// the baseline's steps of 16 units and the scalar ones.
template <bool Swap>
__attribute__((target("avx2,popcnt"))) inline bool scan_utf16_avx2(const std::uint8_t* p, std::size_t units,
                                                                   Utf16Progress& progress) noexcept {
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
        if (((high << 2) | carry) != low) return false;
        carry = high >> 62;
        pair_bits += static_cast<std::size_t>(__builtin_popcountll(high));
    }
    alignas(32) std::uint16_t lanes[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
    std::uint32_t bits = 0;
    for (std::uint16_t l : lanes) bits |= l;
    progress = Utf16Progress{i, pair_bits / 2, carry != 0 ? 1u : 0u, bits};
    return true;
}

// Well-formed UTF-16 with pairs as UCS-4 (see fill_utf16_astral), eight
// units per step and no scalar steps: a high surrogate's lane takes the
// pair's code point, and the low surrogates' lanes are squeezed out by a
// permutation chosen by their mask.
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

}  // namespace text_detail
}  // namespace fieldloom
