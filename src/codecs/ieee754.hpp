// IEEE 754 binary interchange formats between raw bit patterns and floats,
// plus the messages of the float families that have no codec yet.
//
// Half precision goes through the F16C conversion instructions when the
// processor has them and through an equivalent software path otherwise; the
// choice is made once, on the first conversion, and kept.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <string>
#include <string_view>

#include "codecs/codec_error.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define FIELDLOOM_HAVE_F16C_PATH 1
#else
#define FIELDLOOM_HAVE_F16C_PATH 0
#endif

namespace fieldloom {

namespace f16_detail {

inline float software_decode(std::uint16_t half) noexcept {
    const std::uint32_t sign = std::uint32_t{half & 0x8000u} << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1F;
    const std::uint32_t fraction = half & 0x3FF;
    if (exponent == 0) {
        // Zero or subnormal: fraction × 2^-24 is exact in single precision.
        const float magnitude = static_cast<float>(fraction) * 0x1p-24f;
        return std::bit_cast<float>(std::bit_cast<std::uint32_t>(magnitude) | sign);
    }
    if (exponent == 31) {
        // Infinity, or a NaN made quiet with its payload at the top.
        const std::uint32_t nan_bits = fraction != 0 ? 0x7FC00000u | fraction << 13 : 0x7F800000u;
        return std::bit_cast<float>(sign | nan_bits);
    }
    return std::bit_cast<float>(sign | (exponent + 112) << 23 | fraction << 13);
}

// Rounds to nearest, ties to even, from the single's fields.
inline std::uint16_t software_encode(float single) noexcept {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(single);
    const std::uint32_t sign = (bits >> 16) & 0x8000;
    const std::uint32_t exponent = (bits >> 23) & 0xFF;
    const std::uint32_t fraction = bits & 0x7FFFFF;
    std::uint32_t half;
    if (exponent == 255) {
        half = sign | 0x7C00 | fraction >> 13 | (fraction != 0 ? 0x0200 : 0);
    } else if (exponent >= 143) {
        half = sign | 0x7C00;
    } else if (exponent >= 113) {
        half = sign + ((exponent - 112) << 10) + (fraction >> 13);
        // Round bit set, and a sticky bit or the lowest kept bit set; the
        // carry may run into the exponent, up to infinity.
        half += (fraction >> 12 & 1) != 0 && (fraction & 0x2FFF) != 0;
    } else if (exponent >= 102) {
        const std::uint32_t significand = fraction | 0x800000;
        const std::uint32_t shift = 126 - exponent;  // 14 to 24
        half = sign + (significand >> shift);
        half += (significand >> (shift - 1) & 1) != 0 && (significand & ((3u << (shift - 1)) - 1)) != 0;
    } else {
        half = sign;
    }
    return static_cast<std::uint16_t>(half);
}

#if FIELDLOOM_HAVE_F16C_PATH
__attribute__((target("f16c"))) inline float hardware_decode(std::uint16_t half) noexcept {
    return _mm_cvtss_f32(_mm_cvtph_ps(_mm_cvtsi32_si128(half)));
}

__attribute__((target("f16c"))) inline std::uint16_t hardware_encode(float single) noexcept {
    const __m128i half = _mm_cvtps_ph(_mm_set_ss(single), _MM_FROUND_TO_NEAREST_INT);
    return static_cast<std::uint16_t>(_mm_extract_epi16(half, 0));
}
#endif

inline bool hardware_available() noexcept {
#if FIELDLOOM_HAVE_F16C_PATH
    __builtin_cpu_init();  // may run before the constructors that would do it
    return __builtin_cpu_supports("f16c");
#else
    return false;
#endif
}

using DecodeFn = float (*)(std::uint16_t) noexcept;
using EncodeFn = std::uint16_t (*)(float) noexcept;

inline float resolve_decode(std::uint16_t half) noexcept;
inline std::uint16_t resolve_encode(float single) noexcept;

// Start at resolvers that pick the kernel, store it and forward the call;
// later calls go straight to the kernel.
inline std::atomic<DecodeFn> active_decode{resolve_decode};
inline std::atomic<EncodeFn> active_encode{resolve_encode};

inline void select_kernels() noexcept {
#if FIELDLOOM_HAVE_F16C_PATH
    if (hardware_available()) {
        active_decode.store(hardware_decode, std::memory_order_relaxed);
        active_encode.store(hardware_encode, std::memory_order_relaxed);
        return;
    }
#endif
    active_decode.store(software_decode, std::memory_order_relaxed);
    active_encode.store(software_encode, std::memory_order_relaxed);
}

inline float resolve_decode(std::uint16_t half) noexcept {
    select_kernels();
    return active_decode.load(std::memory_order_relaxed)(half);
}

inline std::uint16_t resolve_encode(float single) noexcept {
    select_kernels();
    return active_encode.load(std::memory_order_relaxed)(single);
}

}  // namespace f16_detail

// Only the low 16 bits are the half; higher bits are ignored.
inline float decode_ieee754_f16(std::uint64_t value) noexcept {
    return f16_detail::active_decode.load(std::memory_order_relaxed)(static_cast<std::uint16_t>(value));
}

inline std::uint16_t encode_ieee754_f16(float value) noexcept {
    return f16_detail::active_encode.load(std::memory_order_relaxed)(value);
}

// Only the low 32 bits are the single; higher bits are ignored.
inline float decode_ieee754_f32(std::uint64_t value) noexcept {
    return std::bit_cast<float>(static_cast<std::uint32_t>(value));
}

inline double decode_ieee754_f64(std::uint64_t value) noexcept { return std::bit_cast<double>(value); }

// Truncates the fraction to 52 bits; results below the normal double range
// become zeros, NaNs lose sign and payload.
inline double decode_ieee754_f128(uint128 value) noexcept {
    const std::uint64_t high = static_cast<std::uint64_t>(value >> 64);
    const std::uint64_t sign = high & 0x8000000000000000ULL;
    const std::uint32_t exponent = static_cast<std::uint32_t>(high >> 48) & 0x7FFF;
    const uint128 fraction = value & ((uint128{1} << 112) - 1);
    std::uint64_t bits;
    if (exponent == 0) {
        bits = sign;
    } else if (exponent == 0x7FFF) {
        bits = fraction != 0 ? 0x7FF8000000000000ULL : sign | 0x7FF0000000000000ULL;
    } else if (exponent >= 17407) {
        bits = sign | 0x7FF0000000000000ULL;
    } else if (exponent < 15361) {
        bits = sign;
    } else {
        // (1 + m·2^-52)·2^e is exactly the double with these fields.
        const std::uint64_t biased = exponent - 16383 + 1023;
        bits = sign | biased << 52 | static_cast<std::uint64_t>(fraction >> 60);
    }
    return std::bit_cast<double>(bits);
}

inline std::uint32_t encode_ieee754_f32(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }

inline std::uint64_t encode_ieee754_f64(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

// Nearest single, ties to even; beyond the single range an infinity of the
// same sign. A NaN becomes the quiet NaN that keeps the top 23 fraction
// bits and the sign, whatever the platform's own narrowing does with it.
inline float round_to_single(double value) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    if ((bits & 0x7FFFFFFFFFFFFFFFULL) > 0x7FF0000000000000ULL) {
        const auto narrow = static_cast<std::uint32_t>(bits >> 32 & 0x80000000u) | 0x7FC00000u |
                            static_cast<std::uint32_t>(bits >> 29 & 0x7FFFFF);
        return std::bit_cast<float>(narrow);
    }
    return static_cast<float>(value);
}

// Float families that are declared but have no codec yet; each call answers
// with NotImplementedError and the family's message.
enum class FloatFamily : std::uint8_t {
    Ieee754_1985_F32,
    Ieee754_1985_F64,
    Ieee754_1985_F80,
    MilStd1750aF32,
    MilStd1750aF48,
    DecF32,
    DecF64,
    IbmF32,
    IbmF64,
    TiF32,
    TiF40,
};

namespace float_family_detail {

struct Messages {
    std::string_view decode;
    std::string_view encode;
};

inline constexpr std::array<Messages, 11> kMessages{{
    {"IEEE 754-1985 f32 format not yet implemented", "IEEE 754-1985 f32 encoding not yet implemented"},
    {"IEEE 754-1985 f64 format not yet implemented", "IEEE 754-1985 f64 encoding not yet implemented"},
    {"IEEE 754-1985 f80 format not yet implemented", "IEEE 754-1985 f80 encoding not yet implemented"},
    {"MIL-STD-1750A f32 format not yet implemented", "MIL-STD-1750A f32 encoding not yet implemented"},
    {"MIL-STD-1750A f48 format not yet implemented", "MIL-STD-1750A f48 encoding not yet implemented"},
    {"DEC f32 format not yet implemented", "DEC f32 encoding not yet implemented"},
    {"DEC f64 format not yet implemented", "DEC f64 encoding not yet implemented"},
    {"IBM f32 format not yet implemented", "IBM f32 encoding not yet implemented"},
    {"IBM f64 format not yet implemented", "IBM f64 encoding not yet implemented"},
    {"TI f32 format not yet implemented", "TI f32 encoding not yet implemented"},
    {"TI f40 format not yet implemented", "TI f40 encoding not yet implemented"},
}};

}  // namespace float_family_detail

constexpr std::string_view float_decode_message(FloatFamily family) {
    return float_family_detail::kMessages[static_cast<std::size_t>(family)].decode;
}

constexpr std::string_view float_encode_message(FloatFamily family) {
    return float_family_detail::kMessages[static_cast<std::size_t>(family)].encode;
}

inline constexpr std::string_view kF128EncodeMessage = "IEEE 754 f128 encoding not yet implemented";

// The failure every use of a family without a codec answers with.
inline CodecError not_implemented(std::string_view message) {
    return {ErrorKind::NotImplementedError, std::string(message)};
}

}  // namespace fieldloom
