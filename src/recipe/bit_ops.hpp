// Bit-level helpers shared by unpacking and packing.
#pragma once

#include <cstdint>

namespace fieldloom::recipe {

constexpr std::uint64_t reverse64(std::uint64_t v) noexcept {
    v = ((v >> 1) & 0x5555555555555555ULL) | ((v & 0x5555555555555555ULL) << 1);
    v = ((v >> 2) & 0x3333333333333333ULL) | ((v & 0x3333333333333333ULL) << 2);
    v = ((v >> 4) & 0x0F0F0F0F0F0F0F0FULL) | ((v & 0x0F0F0F0F0F0F0F0FULL) << 4);
    return __builtin_bswap64(v);
}

// Bit i of the raw value goes to bit bits - 1 - i. A field wider than 64 bits
// reads its raw value through position i mod 64, so every source bit j lands
// on ((bits - 1 - j) mod 64): the plain reversal rotated by bits mod 64.
constexpr std::uint64_t reverse_field_bits(std::uint64_t raw, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    const std::uint64_t reversed = reverse64(raw);
    if (bits <= 64) return reversed >> (64 - bits);
    const unsigned turn = bits % 64;
    return turn == 0 ? reversed : (reversed << turn) | (reversed >> (64 - turn));
}

constexpr std::uint64_t low_bits(std::uint64_t raw, std::uint32_t bits) noexcept {
    return bits >= 64 ? raw : raw & ((std::uint64_t{1} << bits) - 1);
}

}  // namespace fieldloom::recipe
