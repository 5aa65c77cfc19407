// Two's complement, ones' complement and sign-magnitude fields of 0 to 64
// bits, held right-aligned in an unsigned 64-bit raw value.
#pragma once

#include <cstdint>
#include <limits>

#include "codecs/codec_error.hpp"
#include "codecs/message.hpp"

namespace fieldloom {

namespace signed_detail {

constexpr std::uint64_t low_mask(std::uint32_t bits) noexcept {
    return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Largest magnitude a field of 1 to 64 bits holds besides its sign bit.
constexpr std::uint64_t magnitude_limit(std::uint32_t bits) noexcept { return low_mask(bits - 1); }

constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
    return value < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
}

}  // namespace signed_detail

// Decoders read only the field's bits: widths above 64 act as 64, width 0
// holds nothing and decodes to 0.

constexpr std::int64_t decode_twos_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits >= 64) return static_cast<std::int64_t>(value);
    const std::uint64_t mask = signed_detail::low_mask(bits);
    value &= mask;
    // Sign extension without a branch: field values are as often negative
    // as not, so a branch on the sign is mispredicted half the time.
    const std::uint64_t negative = (value >> (bits - 1)) & 1;
    return static_cast<std::int64_t>(value | (~mask & (std::uint64_t{0} - negative)));
}

constexpr std::int64_t decode_ones_complement(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    const std::uint64_t mask = signed_detail::low_mask(bits);
    value &= mask;
    const bool negative = (value >> (bits >= 64 ? 63 : bits - 1)) & 1;
    if (!negative) return static_cast<std::int64_t>(value);
    // The complement of the field is the magnitude; all ones is negative zero.
    return -static_cast<std::int64_t>(~value & mask);
}

constexpr std::int64_t decode_sign_magnitude(std::uint64_t value, std::uint32_t bits) noexcept {
    if (bits == 0) return 0;
    if (bits > 64) bits = 64;
    const std::uint64_t magnitude = value & signed_detail::magnitude_limit(bits);
    const bool negative = (value >> (bits - 1)) & 1;
    return negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

inline Expected<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) return value_error("bits must be <= 64 for two's complement encoding");
    if (bits == 64) return static_cast<std::uint64_t>(value);
    const std::int64_t max = bits == 0 ? 0 : static_cast<std::int64_t>(signed_detail::magnitude_limit(bits));
    const std::int64_t min = bits == 0 ? 0 : -max - 1;
    if (value < min || value > max) {
        return value_error(build_message("Value ", value, " out of range for ", bits, " bits (range: ", min, " to ",
                                         max, ")"));
    }
    return static_cast<std::uint64_t>(value) & signed_detail::low_mask(bits);
}

inline Expected<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) {
    if (bits > 64) return value_error("bits must be <= 64 for ones' complement encoding");
    const std::uint64_t limit = bits == 0 ? 0 : signed_detail::magnitude_limit(bits);
    const std::uint64_t magnitude = signed_detail::magnitude(value);
    if (value >= 0 && magnitude > limit) {
        return value_error(build_message("Value ", value, " is too large for ", bits, " bits"));
    }
    if (value < 0 && magnitude > limit) {
        return value_error(build_message("Value ", value, " is too large (magnitude) for ", bits, " bits"));
    }
    if (value >= 0) return magnitude;
    return ~magnitude & signed_detail::low_mask(bits);
}

inline Expected<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) {
    if (bits < 2 || bits > 64) return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
    const std::uint64_t magnitude = signed_detail::magnitude(value);
    if (magnitude > signed_detail::magnitude_limit(bits)) {
        return value_error(build_message("Magnitude of ", value, " is too large for ", bits, " bits"));
    }
    return value < 0 ? magnitude | (std::uint64_t{1} << (bits - 1)) : magnitude;
}

}  // namespace fieldloom
