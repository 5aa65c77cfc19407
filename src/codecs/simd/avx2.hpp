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

// 16 bytes as units of D bytes (the first 8 when D is 4). A big-endian unit
// of a value below 256 is the value shifted to the top byte.
template <unsigned D, bool SwapOut>
__attribute__((target("avx2"))) inline __m256i widened_avx2(__m128i bytes) noexcept {
    __m256i w = D == 2 ? _mm256_cvtepu8_epi16(bytes) : _mm256_cvtepu8_epi32(bytes);
    if constexpr (SwapOut) w = D == 2 ? _mm256_slli_epi16(w, 8) : _mm256_slli_epi32(w, 24);
    return w;
}

// Bytes widened to units of D bytes (2 or 4). The output is stored in
// whole 32-byte registers at 32-byte aligned addresses: a few units are
// written one by one until the output reaches such an address (a bytes
// object's storage is 16-byte aligned, so 32-byte stores from its start
// would split a cache line every other time), then 32 bytes of input per
// step.
template <unsigned D, bool SwapOut>
__attribute__((target("avx2"))) inline void widen_bytes_avx2(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) noexcept {
    std::size_t i = 0;
    const auto misaligned = reinterpret_cast<std::uintptr_t>(dst) % 32;
    if (n >= 64 && misaligned % D == 0) {
        for (const std::size_t head = (32 - misaligned) % 32 / D; i < head; ++i) write_unit<D, SwapOut>(dst + D * i, src[i]);
    }
    constexpr std::size_t kStep = 32;  // input bytes: 2 or 4 output registers
    constexpr std::size_t kPerRegister = 32 / D;
    for (; i + kStep <= n; i += kStep) {
        const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m128i lo = _mm256_castsi256_si128(in), hi = _mm256_extracti128_si256(in, 1);
        auto* out = reinterpret_cast<__m256i*>(dst + D * i);
        if constexpr (D == 2) {
            _mm256_storeu_si256(out, widened_avx2<2, SwapOut>(lo));
            _mm256_storeu_si256(out + 1, widened_avx2<2, SwapOut>(hi));
        } else {
            _mm256_storeu_si256(out, widened_avx2<4, SwapOut>(lo));
            _mm256_storeu_si256(out + 1, widened_avx2<4, SwapOut>(_mm_srli_si128(lo, kPerRegister)));
            _mm256_storeu_si256(out + 2, widened_avx2<4, SwapOut>(hi));
            _mm256_storeu_si256(out + 3, widened_avx2<4, SwapOut>(_mm_srli_si128(hi, kPerRegister)));
        }
    }
    for (; i + 16 <= n; i += 16) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        auto* out = reinterpret_cast<__m256i*>(dst + D * i);
        _mm256_storeu_si256(out, widened_avx2<D, SwapOut>(in));
        if constexpr (D == 4) _mm256_storeu_si256(out + 1, widened_avx2<4, SwapOut>(_mm_srli_si128(in, kPerRegister)));
    }
    for (; i < n; ++i) write_unit<D, SwapOut>(dst + D * i, src[i]);
}

}  // namespace text_detail
}  // namespace fieldloom
