// US-ASCII, ISO-8859-1 and Windows-1252 (the WHATWG index) in both
// directions, on the same plan-then-fill footing as the Unicode codecs.
// Windows-1252 decoding honours a leading byte order mark by switching to
// the UTF-8 or UTF-16 validators.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "codecs/utf16_32.hpp"
#include "codecs/utf8.hpp"

namespace fieldloom {
namespace text_detail {

// Pointers 0x80-0x9F of the windows-1252 index; 0xA0-0xFF map to themselves.
inline constexpr std::array<std::uint16_t, 32> kWindows1252C1 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline constexpr std::array<std::uint16_t, 256> kWindows1252 = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) t[b] = static_cast<std::uint16_t>(b);
    for (unsigned k = 0; k < 32; ++k) t[0x80 + k] = kWindows1252C1[k];
    return t;
}();

// The reverse mapping of the code points above U+00FF: a perfect hash whose
// multiplier is found at compile time.
struct ReverseSlot {
    std::uint16_t cp = 0;  // 0: empty (no key is below U+0100)
    std::uint8_t byte = 0;
};

inline constexpr unsigned kReverseBits = 6;

constexpr unsigned reverse_slot(std::uint32_t cp, std::uint32_t multiplier) noexcept {
    return static_cast<std::uint32_t>(cp * multiplier) >> (32 - kReverseBits);
}

constexpr std::uint32_t find_reverse_multiplier() {
    // Neighbouring multipliers hash alike, so the candidates jump about.
    for (std::uint32_t m = 0x9E3779B1u;; m = (m * 1664525u + 1013904223u) | 1u) {
        std::array<bool, 1u << kReverseBits> used{};
        bool clash = false;
        for (std::uint16_t cp : kWindows1252C1) {
            if (cp < 0x100) continue;
            bool& slot = used[reverse_slot(cp, m)];
            clash = clash || slot;
            slot = true;
        }
        if (!clash) return m;
    }
}

inline constexpr std::uint32_t kReverseMultiplier = find_reverse_multiplier();

inline constexpr std::array<ReverseSlot, 1u << kReverseBits> kWindows1252Reverse = [] {
    std::array<ReverseSlot, 1u << kReverseBits> t{};
    for (unsigned k = 0; k < 32; ++k) {
        const std::uint16_t cp = kWindows1252C1[k];
        if (cp >= 0x100) t[reverse_slot(cp, kReverseMultiplier)] = {cp, static_cast<std::uint8_t>(0x80 + k)};
    }
    return t;
}();

// The byte for a code point, or -1 when the index has no pointer for it.
constexpr int windows_1252_byte(std::uint32_t cp) noexcept {
    if (cp < 0x100) return kWindows1252[cp] == cp ? static_cast<int>(cp) : -1;
    const ReverseSlot& slot = kWindows1252Reverse[reverse_slot(cp, kReverseMultiplier)];
    return slot.cp == cp ? slot.byte : -1;
}

static_assert([] {
    for (unsigned b = 0; b < 256; ++b)
        if (windows_1252_byte(kWindows1252[b]) != static_cast<int>(b)) return false;
    return windows_1252_byte(0x80) < 0 && windows_1252_byte(0x9F) < 0 && windows_1252_byte(0x100) < 0 &&
           windows_1252_byte(0x2123) < 0;
}());

// Bit k set when byte k of the block lies in 80-9F, the only bytes whose
// windows-1252 meaning differs from ISO-8859-1.
inline unsigned c1_mask(__m128i v) noexcept {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(_mm_set1_epi8(-96), v)));
}

// Calls visit(index) for each byte 80-9F in order until it returns false;
// returns false when a visit did.
template <class Visit>
inline bool each_c1_byte(const std::uint8_t* p, std::size_t n, Visit&& visit) {
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        for (unsigned m = c1_mask(load_block<1>(p + i).r[0]); m != 0; m &= m - 1)
            if (!visit(i + static_cast<std::size_t>(std::countr_zero(m)))) return false;
    }
    for (; i < n; ++i)
        if (p[i] >= 0x80 && p[i] <= 0x9F && !visit(i)) return false;
    return true;
}

// Bytes that stand for the code point of the same value, written at any width.
inline Fill fill_identity(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    return with_width(width, [&]<unsigned D>() { return fill_converted<1, D, false>(plan.input, plan.input_size, out, end); });
}

inline Fill fill_windows_1252(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    // Storage of width 1 was chosen: every byte maps to itself.
    if (width == 1) return fill_identity(plan, out, end, width);
    const std::uint8_t* p = plan.input;
    const std::size_t n = plan.input_size;
    if (sized(out, end, 2 * n) != Fill::done) return Fill::miscount;
    auto* o = reinterpret_cast<std::uint16_t*>(out);
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        const Block<1> b = load_block<1>(p + i);
        store_block<2>(o + i, resize_block<1, 2>(b));
        for (unsigned m = c1_mask(b.r[0]); m != 0; m &= m - 1) {
            const std::size_t k = i + static_cast<std::size_t>(std::countr_zero(m));
            o[k] = kWindows1252[p[k]];
        }
    }
    for (; i < n; ++i) o[i] = kWindows1252[p[i]];
    return Fill::done;
}

inline constexpr const char* kWindows1252DecodeFailure = "Failed to decode Windows-1252 bytes";
inline constexpr const char* kWindows1252EncodeFailure = "Failed to encode to Windows-1252";

// After a byte order mark, the rest is UTF-16 in the mark's order.
inline Expected<TextPlan> windows_1252_as_utf16(const std::uint8_t* p, std::size_t size, bool little) {
    if (size % 2 != 0) return value_error(kWindows1252DecodeFailure);
    const Utf16Scan s = scan_utf16_ordered(p, size, little);
    if (!s.ok) return value_error(kWindows1252DecodeFailure);
    return utf16_plan(s, p, size, little);
}

inline CodecError not_encodable(std::uint32_t cp, const char* encoding) {
    std::string m = "Character '";
    m += utf8_of(cp);
    m += "' (U+";
    append_hex(m, cp, 4);
    m += ") is not valid ";
    m += encoding;
    return value_error(std::move(m));
}

// Every unit has been checked to fit a byte (so none is a surrogate).
inline Fill fill_narrow(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    const TextView& t = plan.text;
    return with_width(t.width, [&]<unsigned W>() { return fill_converted<W, 1, false>(bytes_of(t), t.length, out, end); });
}

// Texts whose every code point is below `limit` (0x80 or 0x100) are their own bytes.
inline Expected<BytesPlan> encode_below(const TextView& t, std::uint32_t limit, const char* encoding) {
    if (t.ascii) return BytesPlan{t.length, t, 0, &fill_copy};
    const std::uint8_t* p = bytes_of(t);
    const std::size_t bad = with_width(t.width, [&]<unsigned W>() { return first_at_or_above<W>(p, t.length, limit); });
    if (bad != t.length) {
        const std::uint32_t cp = with_width(t.width, [&]<unsigned W>() { return read_unit<W, false>(p + bad * W); });
        return not_encodable(cp, encoding);
    }
    return BytesPlan{t.length, t, 0, &fill_narrow};
}

template <unsigned W>
inline bool windows_1252_encodable(const std::uint8_t* p, std::size_t n) noexcept {
    if constexpr (W == 1) {
        return each_c1_byte(p, n, [&](std::size_t k) { return kWindows1252[p[k]] == p[k]; });
    } else {
        std::size_t i = 0;
        while (i < n) {
            std::size_t end = n;
            if (i + kBlock <= n) {
                if (block_below(load_block<W>(p + i * W), 0x80)) {
                    i += kBlock;
                    continue;
                }
                end = i + kBlock;
            }
            for (; i < end; ++i)
                if (windows_1252_byte(read_unit<W, false>(p + i * W)) < 0) return false;
        }
        return true;
    }
}

template <unsigned W>
inline void fill_windows_1252_from(const std::uint8_t* p, std::size_t n, std::uint8_t* out) noexcept {
    std::size_t i = 0;
    while (i < n) {
        std::size_t end = n;
        if (i + kBlock <= n) {
            const Block<W> b = load_block<W>(p + i * W);
            if (block_below(b, 0x80)) {
                store_block<1>(out + i, resize_block<W, 1>(b));
                i += kBlock;
                continue;
            }
            end = i + kBlock;
        }
        for (; i < end; ++i) out[i] = static_cast<std::uint8_t>(windows_1252_byte(read_unit<W, false>(p + i * W)));
    }
}

// Validated: every unit has a byte (so none is a surrogate).
inline Fill fill_windows_1252_bytes(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    const TextView& t = plan.text;
    if (t.width == 1) return fill_narrow(plan, out, end);  // every unit is its own byte
    if (sized(out, end, t.length) != Fill::done) return Fill::miscount;
    with_width(t.width, [&]<unsigned W>() { fill_windows_1252_from<W>(bytes_of(t), t.length, out); });
    return Fill::done;
}

}  // namespace text_detail

// ---------------------------------------------------------------------------
// Operations.

inline Expected<TextPlan> decode_us_ascii(ByteSpan bytes) {
    using namespace text_detail;
    const std::size_t bad = first_at_or_above<1>(bytes.data(), bytes.size(), 0x80);
    if (bad != bytes.size()) {
        std::string m = "Invalid US-ASCII byte: 0x";
        append_hex(m, bytes[bad], 2);
        m += " (must be <= 0x7F)";
        return value_error(std::move(m));
    }
    return TextPlan{bytes.size(), kAsciiMax, bytes.data(), bytes.size(), 0, &fill_identity};
}

inline Expected<TextPlan> decode_iso_8859_1(ByteSpan bytes) {
    using namespace text_detail;
    const bool ascii = first_at_or_above<1>(bytes.data(), bytes.size(), 0x80) == bytes.size();
    return TextPlan{bytes.size(), ascii ? kAsciiMax : kLatin1Max, bytes.data(), bytes.size(), 0, &fill_identity};
}

inline Expected<TextPlan> decode_windows_1252(ByteSpan bytes) {
    using namespace text_detail;
    const std::uint8_t* p = bytes.data();
    const std::size_t n = bytes.size();
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
        Expected<TextPlan> utf8 = decode_utf8(bytes.subspan(3));
        if (!utf8) return value_error(kWindows1252DecodeFailure);
        return utf8;
    }
    if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) return windows_1252_as_utf16(p + 2, n - 2, true);
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) return windows_1252_as_utf16(p + 2, n - 2, false);

    const std::size_t first_high = first_at_or_above<1>(p, n, 0x80);
    std::uint32_t max_char = kAsciiMax;
    if (first_high != n) {
        const std::uint8_t* rest = p + first_high;
        const bool latin1 = each_c1_byte(rest, n - first_high, [&](std::size_t k) { return kWindows1252[rest[k]] <= 0xFF; });
        max_char = latin1 ? kLatin1Max : kBmpMax;
    }
    return TextPlan{n, max_char, p, n, 0, &fill_windows_1252};
}

inline Expected<BytesPlan> encode_us_ascii(const TextView& text) { return text_detail::encode_below(text, 0x80, "US-ASCII"); }

inline Expected<BytesPlan> encode_iso_8859_1(const TextView& text) {
    return text_detail::encode_below(text, 0x100, "ISO-8859-1");
}

inline Expected<BytesPlan> encode_windows_1252(const TextView& text) {
    using namespace text_detail;
    if (text.ascii) return BytesPlan{text.length, text, 0, &fill_copy};
    const bool ok = with_width(text.width, [&]<unsigned W>() { return windows_1252_encodable<W>(bytes_of(text), text.length); });
    if (!ok) return value_error(kWindows1252EncodeFailure);
    return BytesPlan{text.length, text, 0, &fill_windows_1252_bytes};
}

}  // namespace fieldloom
