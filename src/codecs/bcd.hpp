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

// Valid digits to their binary value, merging neighbouring lanes in steps:
// a pair of lanes (high h, low l) of `bits` bits each holds h * 2^bits + l,
// and subtracting h * (2^bits - 10^n) leaves h * 10^n + l, which fits the
// doubled lane without a borrow from its neighbour.
constexpr std::uint64_t merge_lanes(std::uint64_t x, unsigned bits, std::uint64_t low_lanes, std::uint64_t scale) noexcept {
    return x - ((x >> bits) & low_lanes) * ((std::uint64_t{1} << bits) - scale);
}

// A field's digit count is the same on every call for that field, so the
// conversions below branch on it (predictably) to skip the steps that would
// only merge or split zero lanes: each step is a multiply in one chain.

// Valid digits, one per lane of LaneBits bits (digit k in lane k, `count`
// of them), to their binary value; a lane holds a number of LaneDigits
// digits.
template <unsigned LaneBits, unsigned LaneDigits = 1>
constexpr std::uint64_t digits_to_binary(std::uint64_t x, std::uint32_t count) noexcept {
    if constexpr (LaneBits == 64) {
        return x;
    } else {
        if (count <= LaneDigits) return x;
        // The low lane of every pair: 0x0F0F..., 0x00FF00FF..., ...
        constexpr std::uint64_t low_lanes = ~std::uint64_t{0} / ((std::uint64_t{1} << LaneBits) + 1);
        return digits_to_binary<2 * LaneBits, 2 * LaneDigits>(merge_lanes(x, LaneBits, low_lanes, pow10(LaneDigits)), count);
    }
}

// A number below 10^8 as four lanes of 16 bits, lane k holding digits 2k
// and 2k + 1 as a number below 100: split into lanes of four digits, then
// two, dividing every lane at once by multiplying with a reciprocal (exact
// for these lane ranges).
constexpr std::uint64_t binary_to_digit_pairs(std::uint64_t number) noexcept {
    const std::uint64_t fours = (number / 10000) << 32 | number % 10000;  // < 10^4 per 32 bits
    const std::uint64_t high = ((fours * 5243) >> 19) & 0x0000007F0000007FULL;  // lane / 100
    return (fours - high * 100) | high << 16;
}

// The tens digit of each pair lane (lane / 10).
constexpr std::uint64_t pair_tens(std::uint64_t pairs) noexcept {
    return ((pairs * 103) >> 10) & 0x000F000F000F000FULL;
}

// Each number below 100 as its two digits, the tens `Shift` bits above the
// ones: a byte of packed digits (4) or two digit bytes (8).
template <class T, unsigned Shift>
inline constexpr std::array<T, 100> kDigitPairs = [] {
    std::array<T, 100> table{};
    for (unsigned pair = 0; pair < 100; ++pair) table[pair] = static_cast<T>(pair % 10 | (pair / 10) << Shift);
    return table;
}();

// A number below 10^4 as its digits, from the table of pairs: the short
// fields' path, with one dependent multiply where the lanes have three.
template <class T, unsigned Shift>
constexpr std::uint64_t short_number_digits(std::uint64_t number) noexcept {
    const std::uint64_t high = (number * 5243) >> 19;  // number / 100
    return std::uint64_t{kDigitPairs<T, Shift>[number - high * 100]} | std::uint64_t{kDigitPairs<T, Shift>[high]} << 2 * Shift;
}

// A number of at most `count` (up to 8) digits as decimal digits, digit k in
// byte k.
constexpr std::uint64_t binary_to_digit_bytes(std::uint64_t number, std::uint32_t count) noexcept {
    if (count <= 4) return short_number_digits<std::uint16_t, 8>(number);
    const std::uint64_t pairs = binary_to_digit_pairs(number);
    const std::uint64_t tens = pair_tens(pairs);
    return (pairs - tens * 10) | tens << 8;
}

// A number of at most `count` (up to 8) digits as decimal digits, digit k in
// nibble k. A pair p becomes its two digits as the nibbles of one byte by
// adding 6 * (p / 10); the bytes, one per 16-bit lane, then close up.
constexpr std::uint64_t binary_to_packed_digits(std::uint64_t number, std::uint32_t count) noexcept {
    if (count <= 4) return short_number_digits<std::uint8_t, 4>(number);
    const std::uint64_t pairs = binary_to_digit_pairs(number);
    std::uint64_t x = pairs + pair_tens(pairs) * 6;
    x = (x | (x >> 8)) & 0x0000FFFF0000FFFFULL;
    return (x | (x >> 16)) & 0xFFFFFFFFULL;
}

// A number of at most `count` digits (up to 16) as decimal digits, digit k
// in nibble k.
constexpr std::uint64_t binary_to_digit_nibbles(std::uint64_t number, std::uint32_t count) noexcept {
    if (count <= 8 || number < 100000000) return binary_to_packed_digits(number, count < 8 ? count : 8);
    return binary_to_packed_digits(number % 100000000, 8) | binary_to_packed_digits(number / 100000000, 8) << 32;
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

// The encoders' failures, in the order of their checks: width, sign, digit
// count. Out of line: the success path only tests that none applies.
[[gnu::cold, gnu::noinline]] inline CodecError encode_failure(std::int64_t value, std::uint32_t bits, bool is_signed,
                                                               std::uint32_t min_bits, std::uint32_t digit_count,
                                                               const char* layout) {
    if (bits < min_bits) return value_error(build_message("bits must be >= ", min_bits, " for ", layout, " BCD"));
    // Wider fields would need digits beyond the 64-bit raw value.
    if (bits > 64) return value_error(build_message("bits must be <= 64 for ", layout, " BCD"));
    if (value < 0 && !is_signed) return value_error("Cannot encode negative value in unsigned BCD");
    return value_error(build_message("Value ", value, " has too many digits for ", digit_count, " BCD digits"));
}

constexpr std::uint64_t magnitude_of(std::int64_t value) noexcept {
    return value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

// Whether an encoder has nothing to refuse: a width of min_bits to 64, no
// sign unless the form is signed, and |value| within `digit_count` digits.
// One combined test, as the checks are almost always passed.
constexpr bool encodable(std::int64_t value, std::uint32_t bits, bool is_signed, std::uint32_t min_bits,
                         std::uint32_t digit_count) noexcept {
    const bool width_ok = bits - min_bits <= 64 - min_bits;  // unsigned: also false below min_bits
    // Within 64 bits a field has at most 16 digits; the bound keeps the
    // table read in range for any width.
    const bool fits = magnitude_of(value) < pow10(digit_count < 19 ? digit_count : 19);
    return width_ok & (value >= 0 || is_signed) & fits;
}

constexpr std::int64_t apply_sign(std::uint64_t magnitude, bool negative) noexcept {
    const auto number = static_cast<std::int64_t>(magnitude);
    return negative ? -number : number;
}

}  // namespace bcd_detail

// The operations are inlined where they are called, so that a module entry
// keeps its result in registers rather than in a returned Expected.

[[gnu::always_inline]] inline Expected<std::int64_t> decode_packed_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
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
    const std::uint32_t digit_count = nibble_count - (is_signed ? 1 : 0);
    digits &= lane_mask(digit_count, 4);
    if (const std::uint64_t bad = invalid_nibbles(digits)) {
        const int position = std::countr_zero(bad) / 4;
        return invalid_digit(static_cast<unsigned>(digits >> (4 * position)) & 0xF);
    }
    return apply_sign(digits_to_binary<4>(digits, digit_count), negative);
}

[[gnu::always_inline]] inline Expected<std::int64_t> decode_unpacked_bcd(std::uint64_t value, std::uint32_t bits, bool is_signed) {
    using namespace bcd_detail;
    if (bits < 8) return std::int64_t{0};
    const std::uint32_t byte_count = bits / 8;
    const std::uint64_t bytes = value & lane_mask(byte_count, 8);
    if (!is_signed) {
        // Positions past the raw field hold zero bytes: valid, worth 0.
        if (const std::uint64_t bad = invalid_digit_bytes(bytes)) {
            return invalid_digit(static_cast<unsigned>(bytes >> (std::countr_zero(bad) & ~7)) & 0xFF);
        }
        return static_cast<std::int64_t>(digits_to_binary<8>(bytes, byte_count));
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
    return apply_sign(digits_to_binary<8>(bytes & kLowNibbles, byte_count), (first_class & kZoneNegative) != 0);
}

[[gnu::always_inline]] inline Expected<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    using namespace bcd_detail;
    const std::uint32_t digit_count = bits / 4 - (is_signed && bits >= 4 ? 1 : 0);
    if (!encodable(value, bits, is_signed, 4, digit_count)) [[unlikely]]
        return encode_failure(value, bits, is_signed, 4, digit_count, "packed");
    const std::uint64_t digits = binary_to_digit_nibbles(magnitude_of(value), digit_count);
    if (!is_signed) return digits;
    return digits << 4 | (value < 0 ? 0xD : 0xC);
}

[[gnu::always_inline]] inline Expected<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) {
    using namespace bcd_detail;
    const std::uint32_t digit_count = bits / 8;
    if (!encodable(value, bits, is_signed, 8, digit_count)) [[unlikely]]
        return encode_failure(value, bits, is_signed, 8, digit_count, "unpacked");
    const std::uint64_t digits = binary_to_digit_bytes(magnitude_of(value), digit_count);  // at most 8 digits
    if (!is_signed) return digits;
    // Zone 0xF on every digit position, the sign zone on position 0.
    const std::uint64_t zones = (0xF0F0F0F0F0F0F000ULL & lane_mask(digit_count, 8)) | (value < 0 ? 0xD0 : 0xC0);
    return digits | zones;
}

}  // namespace fieldloom
