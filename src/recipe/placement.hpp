// Field placement, shared by every engine that reads or writes packets: a
// field occupies ceil(bits / 8) whole bytes from the byte holding its first
// bit, its value right-aligned in them; its raw value is built from at most
// eight of those bytes in its byte order and then reversed or masked.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "codecs/codec_error.hpp"

namespace fieldloom::recipe {

enum class ByteOrder : std::uint8_t { Big, Little };

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

// The bit step after the bytes: reversal of the field's bits, or masking.
constexpr std::uint64_t bit_step(std::uint64_t raw, std::uint32_t bits, bool reverse_bits) noexcept {
    return reverse_bits ? reverse_field_bits(raw, bits) : low_bits(raw, bits);
}

constexpr std::uint64_t byte_count(std::uint32_t bits) noexcept { return (std::uint64_t{bits} + 7) / 8; }

// The whole bytes a field at bit `position` occupies; the low three bits of
// the position select nothing within its first byte.
struct FieldBytes {
    std::uint64_t first;
    std::uint64_t count;

    // Ends within a packet of `size` bytes (a zero-width field may start at the end).
    constexpr bool fits(std::uint64_t size) const noexcept { return first <= size && count <= size - first; }
    constexpr std::uint64_t end() const noexcept { return first + count; }
};

constexpr FieldBytes field_bytes(std::uint64_t position, std::uint32_t bits) noexcept {
    return {position / 8, byte_count(bits)};
}

// The first N field bytes (1 to 8) after the byte-order step, big-endian:
// one load and a byte swap.
template <unsigned N>
inline std::uint64_t raw_value_n(const std::uint8_t* field, ByteOrder order) noexcept {
    static_assert(N >= 1 && N <= 8);
    static_assert(std::endian::native == std::endian::little, "loads assume a little-endian host");
    std::uint64_t loaded = 0;
    std::memcpy(&loaded, field, N);
    if (order == ByteOrder::Little) return loaded;
    return __builtin_bswap64(loaded) >> (64 - 8 * N);
}

// The first min(n, 8) field bytes after the byte-order step, big-endian.
inline std::uint64_t raw_value(const std::uint8_t* field, std::uint64_t n, ByteOrder order) noexcept {
    switch (n) {
        case 1: return raw_value_n<1>(field, order);
        case 2: return raw_value_n<2>(field, order);
        case 4: return raw_value_n<4>(field, order);
        case 8: return raw_value_n<8>(field, order);
        default: break;
    }
    std::uint64_t raw = 0;
    const std::uint64_t used = n < 8 ? n : 8;
    if (order == ByteOrder::Big) {
        for (std::uint64_t k = 0; k < used; ++k) raw = (raw << 8) | field[k];
    } else {
        for (std::uint64_t k = 0; k < used; ++k) raw = (raw << 8) | field[n - 1 - k];
    }
    return raw;
}

// A field at any bit: bits [start, start + bits) of the bytes at `data`,
// most significant first, right-aligned (1 to 64 bits, so at most 9 bytes
// from byte start / 8). Little-endian: then the bytes of the value swapped,
// for a field of whole bytes exactly the rule above. `readable` is how many
// bytes from byte start / 8 on may be loaded (at least the field's own): one
// 8-byte load when there are that many, the bits beyond the field masked off.
[[gnu::always_inline]] inline std::uint64_t read_bits(const std::uint8_t* data, std::uint64_t start, std::uint32_t bits,
                                                     ByteOrder order, std::uint64_t readable) noexcept {
    static_assert(std::endian::native == std::endian::little, "loads assume a little-endian host");
    const std::uint8_t* at = data + start / 8;
    const unsigned shift = static_cast<unsigned>(start % 8);
    std::uint64_t word = 0;
    if (readable >= 8) [[likely]] {
        std::memcpy(&word, at, 8);
        word = __builtin_bswap64(word);
    } else {
        for (std::uint64_t k = 0; k < readable; ++k) word |= std::uint64_t{at[k]} << (56 - 8 * k);
    }
    word <<= shift;
    if (shift + bits > 64) word |= at[8] >> (8 - shift);  // the ninth byte's leading bits
    const std::uint64_t raw = word >> (64 - bits);
    return order == ByteOrder::Big ? raw : __builtin_bswap64(raw) >> (64 - bits);
}

// The write rule of read_bits: the raw value (1 to 64 bits; little-endian:
// whole bytes, swapped back first) put into bits [start, start + bits) of
// `data`, the bits around it in the same bytes kept (bit-packed fields share
// bytes). Touches only the ceil((start % 8 + bits) / 8) bytes it spans.
inline void write_bits(std::uint8_t* data, std::uint64_t start, std::uint32_t bits, ByteOrder order,
                       std::uint64_t raw) noexcept {
    std::uint64_t value = low_bits(raw, bits);
    if (order == ByteOrder::Little) value = __builtin_bswap64(value) >> (64 - bits);
    std::uint8_t* at = data + start / 8;
    const unsigned span = static_cast<unsigned>(start % 8) + bits;  // at most 71 bits, so 9 bytes
    const uint128 placed = uint128{value} << (128 - span);
    const uint128 mask = uint128{low_bits(~std::uint64_t{0}, bits)} << (128 - span);
    for (unsigned k = 0; k < (span + 7) / 8; ++k) {
        const auto byte = static_cast<std::uint8_t>(placed >> (120 - 8 * k));
        const auto kept = static_cast<std::uint8_t>(~(mask >> (120 - 8 * k)));
        at[k] = static_cast<std::uint8_t>((at[k] & kept) | byte);
    }
}

// The low `n` bytes (1 to 8) of `bytes` stored at `at` in memory order, with
// two overlapping stores instead of a loop.
[[gnu::always_inline]] inline void store_low_bytes(std::uint8_t* at, std::uint64_t bytes, std::uint64_t n) noexcept {
    static_assert(std::endian::native == std::endian::little, "stores assume a little-endian host");
    if (n >= 4) {
        const auto low = static_cast<std::uint32_t>(bytes);
        const auto high = static_cast<std::uint32_t>(bytes >> (8 * (n - 4)));
        std::memcpy(at, &low, 4);
        std::memcpy(at + n - 4, &high, 4);
    } else if (n >= 2) {
        const auto low = static_cast<std::uint16_t>(bytes);
        const auto high = static_cast<std::uint16_t>(bytes >> (8 * (n - 2)));
        std::memcpy(at, &low, 2);
        std::memcpy(at + n - 2, &high, 2);
    } else {
        *at = static_cast<std::uint8_t>(bytes);
    }
}

// The numeric field as `count` bytes at `first`, right-aligned in byte order,
// written only where they fall inside the `size`-byte output. A field wider
// than 64 bits has leading zero bytes; reversed, its bits move to the top of
// the full width (bit i to bit bits - 1 - i), so the value sits `shift` bits
// up. Fields are stored, not merged.
[[gnu::always_inline]] inline void write_numeric(std::uint8_t* out, std::uint64_t size, FieldBytes field, ByteOrder order, std::uint64_t raw,
                          std::uint32_t bits, bool reverse_bits) noexcept {
    const std::uint64_t n = field.count;
    if (n == 0) return;
    if (bits <= 64 && field.fits(size)) [[likely]] {
        // The common field: its bytes are the low n bytes of the value.
        const std::uint64_t value = reverse_bits ? reverse_field_bits(raw, bits) : raw;
        store_low_bytes(out + field.first, order == ByteOrder::Big ? __builtin_bswap64(value << (64 - 8 * n)) : value, n);
        return;
    }
    // Byte `from_end` (0 = least significant) at its place for the byte order.
    const auto put = [&](std::uint64_t from_end, std::uint8_t byte) {
        const std::uint64_t at = order == ByteOrder::Big ? field.first + (n - 1 - from_end) : field.first + from_end;
        if (at < size) out[at] = byte;
    };
    uint128 value = raw;
    std::uint64_t shift = 0;
    if (reverse_bits) {
        if (bits <= 64) {
            value = reverse_field_bits(raw, bits);
        } else {
            value = reverse64(raw);
            shift = bits - 64;
        }
    }
    const std::uint64_t zero_bytes = shift / 8;
    value <<= shift % 8;
    if (n > 16 && field.first < size) {
        const std::uint64_t room = size - field.first;
        std::memset(out + field.first, 0, static_cast<std::size_t>(n < room ? n : room));
    }
    for (std::uint64_t j = 0; j < 16; ++j) {
        const std::uint64_t from_end = zero_bytes + j;
        if (from_end >= n) break;
        put(from_end, static_cast<std::uint8_t>(value >> (8 * j)));
    }
    if (n <= 16) {
        for (std::uint64_t from_end = 0; from_end < zero_bytes && from_end < n; ++from_end) put(from_end, 0);
    }
}

}  // namespace fieldloom::recipe
