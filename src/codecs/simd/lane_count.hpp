// Counting in SIMD lanes, and the one rule that keeps such counts exact:
// lanes are summed into size_t totals before any of them can wrap.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "codecs/simd/blocks.hpp"

namespace fieldloom {
namespace text_detail {

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

}  // namespace text_detail
}  // namespace fieldloom
