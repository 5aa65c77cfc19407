// Checks that the two half-precision paths agree bit for bit: the F16C
// instructions against the software conversion, and the software conversion
// against a slow arithmetic reference. Exits non-zero on any mismatch.
//
// Build and run (not part of the module build):
//   cmake -S . -B build-tools && cmake --build build-tools --target f16_check && build-tools/tools/f16_check
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>

#include "codecs/ieee754.hpp"

namespace {

using namespace fieldloom;

// Arithmetic on the value, not on its fields: x = f × 2^(e-10) for a half.
float reference_decode(std::uint16_t half) {
    const bool negative = (half & 0x8000) != 0;
    const int exponent = (half >> 10) & 0x1F;
    const int fraction = half & 0x3FF;
    if (exponent == 31 && fraction != 0) {
        return std::bit_cast<float>((negative ? 0x80000000u : 0u) | 0x7FC00000u | std::uint32_t(fraction) << 13);
    }
    double magnitude = exponent == 31   ? INFINITY
                       : exponent == 0 ? std::ldexp(double(fraction), -24)
                                       : std::ldexp(double(fraction + 1024), exponent - 25);
    return float(negative ? -magnitude : magnitude);
}

// Scales the value to the half's quantum and rounds to the nearest integer,
// ties to even, in double arithmetic (exact for every single).
std::uint16_t reference_encode(float single) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(single);
    const std::uint32_t sign = (bits >> 16) & 0x8000;
    if (std::isnan(single)) return std::uint16_t(sign | 0x7E00 | (bits & 0x7FFFFF) >> 13);
    const double magnitude = std::fabs(double(single));
    if (magnitude == 0) return std::uint16_t(sign);
    if (std::isinf(magnitude)) return std::uint16_t(sign | 0x7C00);
    const int exponent = std::max(std::ilogb(magnitude), -14);
    const double steps = std::nearbyint(std::ldexp(magnitude, 10 - exponent));  // 0 to 2048
    const double half_bits = exponent == -14 ? steps : double((exponent + 15) << 10) + steps - 1024;
    return std::uint16_t(sign | (half_bits >= 0x7C00 ? 0x7C00 : std::uint32_t(half_bits)));
}

struct Tally {
    std::uint64_t passed = 0;
    std::uint64_t failed = 0;

    void check(bool same, const char* what, std::uint32_t input, std::uint32_t got, std::uint32_t want) {
        if (same) {
            ++passed;
            return;
        }
        if (failed++ < 10) std::printf("mismatch in %s for 0x%08X: 0x%08X, expected 0x%08X\n", what, input, got, want);
    }
};

template <class Encode>
void check_encode(Tally& tally, const char* what, std::uint32_t bits, Encode other) {
    const float single = std::bit_cast<float>(bits);
    const std::uint16_t want = f16_detail::software_encode(single);
    const std::uint16_t got = other(single);
    tally.check(got == want, what, bits, got, want);
}

// Every single the check covers: the exponent fields that can reach half
// precision in full, both signs, the exponent fields 0 and 255 in full, and a
// random sample of the others.
template <class Visit>
void for_each_single(Visit visit) {
    for (std::uint32_t sign = 0; sign < 2; ++sign) {
        for (std::uint32_t exponent : {0u, 255u}) {
            for (std::uint32_t fraction = 0; fraction < 0x800000; ++fraction) visit(sign << 31 | exponent << 23 | fraction);
        }
        for (std::uint32_t exponent = 101; exponent <= 143; ++exponent) {
            for (std::uint32_t fraction = 0; fraction < 0x800000; ++fraction) visit(sign << 31 | exponent << 23 | fraction);
        }
    }
    std::mt19937 random(20240611);
    for (int i = 0; i < 4'000'000; ++i) {
        const std::uint32_t bits = random();
        const std::uint32_t exponent = (bits >> 23) & 0xFF;
        if (exponent <= 100 || exponent >= 144) visit(bits);
    }
}

}  // namespace

int main() {
    Tally tally;
    const bool hardware = f16_detail::hardware_available();

    for (std::uint32_t half = 0; half < 0x10000; ++half) {
        const auto software = std::bit_cast<std::uint32_t>(f16_detail::software_decode(std::uint16_t(half)));
        const auto reference = std::bit_cast<std::uint32_t>(reference_decode(std::uint16_t(half)));
        const auto dispatched = std::bit_cast<std::uint32_t>(decode_ieee754_f16(half));
        tally.check(software == reference, "software decode", half, software, reference);
        tally.check(dispatched == software, "dispatched decode", half, dispatched, software);
#if FIELDLOOM_HAVE_F16C_PATH
        if (hardware) {
            const auto fast = std::bit_cast<std::uint32_t>(f16_detail::hardware_decode(std::uint16_t(half)));
            tally.check(fast == software, "hardware decode", half, fast, software);
        }
#endif
    }

    // The reference is slow: with the hardware present it checks every 61st
    // single of the sweep, otherwise all of them.
    const std::uint32_t reference_stride = hardware ? 61 : 1;
    std::uint32_t counter = 0;
    for_each_single([&](std::uint32_t bits) {
#if FIELDLOOM_HAVE_F16C_PATH
        if (hardware) check_encode(tally, "hardware encode", bits, f16_detail::hardware_encode);
#endif
        if (++counter == reference_stride) {
            counter = 0;
            check_encode(tally, "software encode", bits, reference_encode);
            check_encode(tally, "dispatched encode", bits, encode_ieee754_f16);
        }
    });

    if (hardware) {
        std::printf("F16C present: hardware and software paths compared\n");
    } else {
        std::printf("F16C absent: software path compared with the reference only\n");
    }
    std::printf("f16 check: %llu passed, %llu failed\n", static_cast<unsigned long long>(tally.passed),
                static_cast<unsigned long long>(tally.failed));
    return tally.failed == 0 ? 0 : 1;
}
