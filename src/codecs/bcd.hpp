// Binary-coded decimal in two layouts. Packed: one digit per nibble, the
// signed form with a sign nibble below the digits. Unpacked: one digit per
// byte, the signed form being zoned decimal (digit in the low nibble, the
// sign in the zone of the lowest digit).
//
// A raw field holds at most 16 nibbles or 8 bytes, so every check and every
// conversion works on the whole 64-bit word at once (SWAR); widths beyond
// the raw field only add positions that read as zero, whose outcome is
// known without looking at them.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

#include "codecs/codec_error.hpp"
#include "codecs/message.hpp"

namespace fieldloom {

namespace bcd_detail {

inline constexpr std::uint64_t kNibbleHighBits = 0x8888888888888888ULL;
inline constexpr std::uint64_t kByteHighBits = 0x8080808080808080ULL;
inline constexpr std::uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0FULL;

// Ones in the low `count` lanes of `lane_bits` bits each.
constexpr std::uint64_t lane_mask(std::uint32_t count, unsigned lane_bits) noexcept {
    return count * lane_bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (count * lane_bits)) - 1;
}

inline constexpr std::array<std::uint64_t, 20> kPowersOf10 = [] {
    std::array<std::uint64_t, 20> table{};
    std::uint64_t power = 1;
    for (std::uint64_t& entry : table) {
        entry = power;
        power *= 10;
    }
    return table;
}();

// 10^exponent for exponents up to 19, the largest a 64-bit value holds.
constexpr std::uint64_t pow10(std::uint32_t exponent) noexcept { return kPowersOf10[exponent]; }

// Nibbles 10 to 15 have bit 3 and one of bits 1, 2 set; marks bit 3 of each.
constexpr std::uint64_t invalid_nibbles(std::uint64_t nibbles) noexcept {
    return nibbles & ((nibbles << 1) | (nibbles << 2)) & kNibbleHighBits;
}

// Bytes above 9 get bit 7 marked; clearing bit 7 first keeps carries inside
// each byte.
constexpr std::uint64_t invalid_digit_bytes(std::uint64_t bytes) noexcept {
    return (((bytes & ~kByteHighBits) + 0x7676767676767676ULL) | bytes) & kByteHighBits;
}

// Valid digits, one per byte (digit k in byte k), to their binary value.
constexpr std::uint64_t digit_bytes_to_binary(std::uint64_t x) noexcept {
    x = (x & 0x00FF00FF00FF00FFULL) + ((x >> 8) & 0x00FF00FF00FF00FFULL) * 10;
    x = (x & 0x0000FFFF0000FFFFULL) + ((x >> 16) & 0x0000FFFF0000FFFFULL) * 100;
    return (x & 0xFFFFFFFFULL) + (x >> 32) * 10000;
}

// Valid digits, one per nibble (digit k in nibble k), to their binary value.
constexpr std::uint64_t digit_nibbles_to_binary(std::uint64_t x) noexcept {
    const std::uint64_t pairs = (x & kLowNibbles) + ((x >> 4) & kLowNibbles) * 10;  // 0..99 per byte
    const std::uint64_t low = pairs & 0x00FF00FF00FF00FFULL;
    const std::uint64_t high = (pairs >> 8) & 0x00FF00FF00FF00FFULL;
    const std::uint64_t quads = low + high * 100;  // 0..9999 per 16 bits
    const std::uint64_t octs = (quads & 0x0000FFFF0000FFFFULL) + ((quads >> 16) & 0x0000FFFF0000FFFFULL) * 10000;
    return (octs & 0xFFFFFFFFULL) + (octs >> 32) * 100000000ULL;
}

// A number below 10^8 as decimal digits, digit k in byte k: split into
// lanes of four digits, then two, then one, dividing every lane at once by
// multiplying with a reciprocal (exact for these lane ranges).
constexpr std::uint64_t binary_to_digit_bytes(std::uint64_t number) noexcept {
    const std::uint64_t fours = (number / 10000) << 32 | number % 10000;                     // < 10^4 per 32 bits
    const std::uint64_t high_twos = ((fours * 5243) >> 19) & 0x0000007F0000007FULL;        // lane / 100
    const std::uint64_t twos = (fours - high_twos * 100) | high_twos << 16;                  // < 100 per 16 bits
    const std::uint64_t high_ones = ((twos * 103) >> 10) & 0x000F000F000F000FULL;          // lane / 10
    return (twos - high_ones * 10) | high_ones << 8;
}

// The low nibble of byte k to nibble k.
constexpr std::uint64_t gather_bytes_to_nibbles(std::uint64_t x) noexcept {
    x = (x | (x >> 4)) & 0x00FF00FF00FF00FFULL;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
    return (x | (x >> 16)) & 0xFFFFFFFFULL;
}

// A number below 10^16 as decimal digits, digit k in nibble k.
constexpr std::uint64_t binary_to_digit_nibbles(std::uint64_t number) noexcept {
    if (number < 100000000) return gather_bytes_to_nibbles(binary_to_digit_bytes(number));
    return gather_bytes_to_nibbles(binary_to_digit_bytes(number % 100000000)) |
           gather_bytes_to_nibbles(binary_to_digit_bytes(number / 100000000)) << 32;
}

// Zone classes of a zoned-decimal byte.
enum : std::uint8_t {
    kZoneDigit = 1,     // 0x30-0x39 or 0xF0-0xF9: a digit at any position
    kZoneSigned = 2,    // also accepted at position 0 (adds 0xC0-0xC9, 0xD0-0xD9)
    kZoneNegative = 4,  // 0xD0-0xD9
};

inline constexpr std::array<std::uint8_t, 256> kZoneClass = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned digit = 0; digit < 10; ++digit) {
        table[0x30 + digit] = kZoneDigit | kZoneSigned;
        table[0xF0 + digit] = kZoneDigit | kZoneSigned;
        table[0xC0 + digit] = kZoneSigned;
        table[0xD0 + digit] = kZoneSigned | kZoneNegative;
    }
    return table;
}();

[[gnu::cold, gnu::noinline]] inline CodecError invalid_digit(unsigned digit) {
    return value_error(build_message("Invalid BCD digit: ", digit, " (must be 0-9)"));
}

[[gnu::cold, gnu::noinline]] inline CodecError invalid_zoned_signed_byte(std::uint8_t byte) {
    return value_error(build_message("Invalid zoned decimal signed byte: 0x", Hex{byte, 2},
                                     " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"));
}

[[gnu::cold, gnu::noinline]] inline CodecError invalid_zoned_byte(std::uint8_t byte) {
    return value_error(build_message("Invalid zoned decimal byte: 0x", Hex{byte, 2},
                                     " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"));
}

// The checks both encoders share, in their order: width, sign, digit count.
// Gives |value| when it fits in `digit_count` digits.
[[gnu::always_inline]] inline Expected<std::uint64_t> checked_magnitude(std::int64_t value, std::uint32_t bits, bool is_signed,
                                                                         std::uint32_t min_bits, std::uint32_t digit_count,
                                                                         std::string_view layout) {
    if (bits < min_bits) return value_error(build_message("bits must be >= ", min_bits, " for ", layout, " BCD"));
    // Wider fields would need digits beyond the 64-bit raw value.
    if (bits > 64) return value_error(build_message("bits must be <= 64 for ", layout, " BCD"));
    if (value < 0 && !is_signed) return value_error("Cannot encode negative value in unsigned BCD");
    const std::uint64_t magnitude =
        value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    if (magnitude >= pow10(digit_count)) {
        return value_error(build_message("Value ", value, " has too many digits for ", digit_count, " BCD digits"));
    }
    return magnitude;
}

constexpr std::int64_t apply_sign(std::uint64_t magnitude, bool negative) noexcept {
    const auto number = static_cast<std::int64_t>(magnitude);
    return negative ? -number : number;
}

}  // namespace bcd_detail

inline Expected<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    using namespace bcd_detail;
    if (bits < 4) return std::int64_t{0};
    const std::uint32_t nibble_count = bits / 4;
    bool negative = false;
    std::uint64_t digits = value;
    if (is_signed) {
        const unsigned sign = value & 0xF;
        if (sign < 0xA) return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
        negative = sign == 0xB || sign == 0xD;
        digits >>= 4;
    }
    // Digit positions past the raw field hold zero nibbles: valid, worth 0.
    digits &= lane_mask(nibble_count - (is_signed ? 1 : 0), 4);
    if (const std::uint64_t bad = invalid_nibbles(digits)) {
        const int position = std::countr_zero(bad) / 4;
        return invalid_digit(static_cast<unsigned>(digits >> (4 * position)) & 0xF);
    }
    return apply_sign(digit_nibbles_to_binary(digits), negative);
}

inline Expected<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    using namespace bcd_detail;
    if (bits < 8) return std::int64_t{0};
    const std::uint32_t byte_count = bits / 8;
    const std::uint64_t bytes = value & lane_mask(byte_count, 8);
    if (!is_signed) {
        // Positions past the raw field hold zero bytes: valid, worth 0.
        if (const std::uint64_t bad = invalid_digit_bytes(bytes)) {
            return invalid_digit(static_cast<unsigned>(bytes >> (std::countr_zero(bad) & ~7)) & 0xFF);
        }
        return static_cast<std::int64_t>(digit_bytes_to_binary(bytes));
    }
    const auto first = static_cast<std::uint8_t>(bytes);
    const std::uint8_t first_class = kZoneClass[first];
    if ((first_class & kZoneSigned) == 0) return invalid_zoned_signed_byte(first);
    const std::uint32_t in_field = byte_count < 8 ? byte_count : 8;
    for (std::uint32_t position = 1; position < in_field; ++position) {
        const auto byte = static_cast<std::uint8_t>(bytes >> (8 * position));
        if ((kZoneClass[byte] & kZoneDigit) == 0) return invalid_zoned_byte(byte);
    }
    // Position 8 and up read as 0x00, which is no zoned digit.
    if (byte_count > 8) return invalid_zoned_byte(0);
    return apply_sign(digit_bytes_to_binary(bytes & kLowNibbles), (first_class & kZoneNegative) != 0);
}

inline Expected<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    using namespace bcd_detail;
    const std::uint32_t digit_count = bits / 4 - (is_signed && bits >= 4 ? 1 : 0);
    auto magnitude = checked_magnitude(value, bits, is_signed, 4, digit_count, "packed");
    if (!magnitude) return std::move(magnitude).error();
    const std::uint64_t digits = binary_to_digit_nibbles(*magnitude);
    if (!is_signed) return digits;
    return digits << 4 | (value < 0 ? 0xD : 0xC);
}

inline Expected<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    using namespace bcd_detail;
    const std::uint32_t digit_count = bits / 8;
    auto magnitude = checked_magnitude(value, bits, is_signed, 8, digit_count, "unpacked");
    if (!magnitude) return std::move(magnitude).error();
    const std::uint64_t digits = binary_to_digit_bytes(*magnitude);  // at most 8 digits
    if (!is_signed) return digits;
    // Zone 0xF on every digit position, the sign zone on position 0.
    const std::uint64_t zones = (0xF0F0F0F0F0F0F000ULL & lane_mask(digit_count, 8)) | (value < 0 ? 0xD0 : 0xC0);
    return digits | zones;
}

}  // namespace fieldloom
