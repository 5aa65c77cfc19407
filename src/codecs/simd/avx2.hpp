// AVX2 loads and stores shared by the AVX2 text kernels, and the widening of
// bytes to 2- or 4-byte units. Only called once the dispatch has seen AVX2.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "codecs/simd/blocks.hpp"

namespace fieldloom {
namespace text_detail {

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

// Eight units of W bytes as 32-bit lanes.
template <unsigned W>
__attribute__((target("avx2"))) inline __m256i load8_wide(const std::uint8_t* p) noexcept {
    if constexpr (W == 1) return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    else if constexpr (W == 2) return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    else return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("avx2"))) inline void store_halves(std::uint8_t* dst, __m256i v) noexcept {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(v, 1));
}

// Bytes widened to units of D bytes (2 or 4), 16 per step. A big-endian
// unit of a value below 256 is the value shifted to the top byte.
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

}  // namespace text_detail
}  // namespace fieldloom
