// UTF-8 in both directions.
//
// Decoding validates and measures the whole input first and only then
// writes, straight into the str storage the boundary allocates at its final
// width. TextPlan::max_char is the upper bound of the storage class the text
// needs (0x7F, 0xFF, 0xFFFF or 0x10FFFF): that is all the allocation looks
// at, and what a single scan can tell without decoding. Encoding reads the
// str's own storage (Latin-1, UCS-2 or UCS-4 units) the same way: size
// first, then fill.
//
// Hot loops work on SSE2 blocks of 16 units; scalar code only handles the
// units a block test sends its way and the tails. Mixed text, which would
// keep sending blocks to scalar code, goes to the AVX2 kernels where the CPU
// has them. Decoding validates, counts and writes in blocks on either
// instruction set (simd/utf8_sse2.hpp, simd/utf8_avx2.hpp); the scalar scan
// only reports where and why an input is not UTF-8.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"
#include "codecs/simd/blocks.hpp"
#include "codecs/simd/dispatch.hpp"
#include "codecs/simd/lane_count.hpp"
#include "codecs/simd/utf8_avx2.hpp"
#include "codecs/simd/utf8_sse2.hpp"
#include "codecs/text_units.hpp"

namespace fieldloom {
namespace text_detail {

// ---------------------------------------------------------------------------
// UTF-8 decoding.

// Per first byte: sequence length (0: cannot start one) and the range of
// the second byte; later bytes are always 80-BF.
struct Utf8Lead {
    std::uint8_t length, low, high;
};

inline constexpr std::array<Utf8Lead, 256> kUtf8Leads = [] {
    std::array<Utf8Lead, 256> t{};
    for (unsigned b = 0; b < 0x80; ++b) t[b] = {1, 0, 0};
    for (unsigned b = 0xC2; b <= 0xDF; ++b) t[b] = {2, 0x80, 0xBF};
    for (unsigned b = 0xE0; b <= 0xEF; ++b) t[b] = {3, 0x80, 0xBF};
    t[0xE0].low = 0xA0;
    t[0xED].high = 0x9F;
    for (unsigned b = 0xF0; b <= 0xF4; ++b) t[b] = {4, 0x80, 0xBF};
    t[0xF0].low = 0x90;
    t[0xF4].high = 0x8F;
    return t;
}();

struct Utf8Scan {
    std::size_t length = 0;     // code points before `stop`
    std::uint32_t max_lead = 0;  // largest first byte seen
    std::size_t stop = 0;       // first ill-formed sequence, or the input size
    unsigned agreed = 0;        // its bytes that agreed with the table; 0 when cut off by the end
};

inline Utf8Scan scan_utf8(const std::uint8_t* p, std::size_t n) noexcept {
    Utf8Scan s;
    std::size_t i = 0, chars = 0;
    std::uint32_t max_lead = 0;
    auto fail = [&](unsigned agreed) {
        s.length = chars;
        s.max_lead = max_lead;
        s.stop = i;
        s.agreed = agreed;
        return s;
    };
    while (i < n) {
        if (p[i] < 0x80) {
            const std::size_t run = ascii_run(p + i, n - i);
            i += run;
            chars += run;
            continue;
        }
        // Runs of multi-byte sequences stay in this loop.
        do {
            const std::uint32_t b = p[i];
            const Utf8Lead lead = kUtf8Leads[b];
            if (lead.length == 0) return fail(1);
            if (i + 1 >= n) return fail(0);
            if (p[i + 1] < lead.low || p[i + 1] > lead.high) return fail(1);
            for (unsigned k = 2; k < lead.length; ++k) {
                if (i + k >= n) return fail(0);
                if ((p[i + k] & 0xC0) != 0x80) return fail(k);
            }
            i += lead.length;
            ++chars;
            max_lead = std::max(max_lead, b);
        } while (i < n && p[i] >= 0x80);
    }
    s.length = chars;
    s.max_lead = max_lead;
    s.stop = n;
    return s;
}

// A validation kernel's verdict as a scan: the scalar scan reports a failure.
inline Utf8Scan scan_of(const Utf8Verdict& v, const std::uint8_t* p, std::size_t n) noexcept {
    if (!v.ok) return scan_utf8(p, n);
    Utf8Scan s;
    s.length = v.length;
    s.max_lead = v.max_lead;
    s.stop = n;
    return s;
}

__attribute__((target("avx2,popcnt"))) inline Utf8Scan scan_utf8_avx2(const std::uint8_t* p, std::size_t n) noexcept {
    return scan_of(validate_utf8_avx2(p, n), p, n);
}

inline Utf8Scan scan_utf8_sse2(const std::uint8_t* p, std::size_t n) noexcept {
    return scan_of(validate_utf8_sse2(p, n), p, n);
}

using Utf8Scanner = Utf8Scan (*)(const std::uint8_t*, std::size_t) noexcept;

// Chosen once, when the module is loaded.
inline const Utf8Scanner kScanUtf8 = kHaveAvx2 ? &scan_utf8_avx2 : &scan_utf8_sse2;

inline std::uint32_t utf8_storage_max(std::uint32_t max_lead) noexcept {
    return max_lead == 0 ? kAsciiMax : max_lead <= 0xC3 ? kLatin1Max : max_lead <= 0xEF ? kBmpMax : kUnicodeMax;
}

inline Fill fill_utf8(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    if (plan.max_char <= kAsciiMax) {
        if (sized(out, end, plan.input_size) != Fill::done) return Fill::miscount;
        convert_units<1, 1, false, false>(plan.input, out, plan.input_size);
        return Fill::done;
    }
    return with_width(width, [&]<unsigned D>() {
        if (kHaveAvx2) return decode_utf8_avx2<D>(plan.input, plan.input_size, out, end);
        return decode_utf8_sse2<D>(plan.input, plan.input_size, out, end);
    });
}

inline CodecError utf8_error(const Utf8Scan& s) {
    std::string m = "Invalid UTF-8 bytes: ";
    if (s.agreed == 0) {
        m += "incomplete utf-8 byte sequence from index ";
    } else {
        m += "invalid utf-8 sequence of ";
        append_decimal(m, s.agreed);
        m += " bytes from index ";
    }
    append_decimal(m, s.stop);
    return value_error(std::move(m));
}

// ---------------------------------------------------------------------------
// Encoding.

// A surrogate takes three bytes in the sizing, like any unit of its range,
// and fails the fill.
template <unsigned W>
inline Fill fill_utf8_from(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    std::size_t i = 0;
    bool bad = false;
    while (i < n) {
        std::size_t stop = n;
        if (i + kBlock <= n) {
            const Block<W> b = load_block<W>(p + i * W);
            if (block_below(b, 0x80)) {
                if (!has_room(out, end, kBlock)) return Fill::miscount;
                store_block<1>(out, resize_block<W, 1>(b));
                out += kBlock;
                i += kBlock;
                continue;
            }
            stop = i + kBlock;
        }
        for (; i < stop; ++i) {
            const std::uint32_t cp = read_unit<W, false>(p + i * W);
            if constexpr (W > 1) bad |= is_surrogate_cp(cp);
            out = put_utf8_within(out, end, cp);
            if (out == nullptr) return Fill::miscount;
        }
    }
    if (out != end) return Fill::miscount;
    return bad ? Fill::surrogate : Fill::done;
}

template <unsigned W>
inline Utf8Measure utf8_size(const std::uint8_t* p, std::size_t n) noexcept {
    // Every unit takes one byte, plus one per threshold it reaches.
    if (first_at_or_above<W>(p, n, 0x80) == n) return {n, false, true};
    if (kHaveAvx2) return utf8_size_avx2<W>(p, n);
    if constexpr (W == 1) {
        const auto [ascii] = count_clear<1, 1>(p, n, {0x80});
        return {2 * n - ascii, false};
    } else if constexpr (W == 2) {
        const auto [below_80, below_800] = count_clear<2, 2>(p, n, {0xFF80, 0xF800});
        return {3 * n - below_80 - below_800, false};
    } else {
        const auto [below_80, below_800, below_10000] = count_clear<4, 3>(p, n, {0xFFFFFF80, 0xFFFFF800, 0xFFFF0000});
        return {4 * n - below_80 - below_800 - below_10000, false};
    }
}

// BytesPlan::variant of a text the sizing found to be ASCII only.
inline constexpr std::uint32_t kAsciiUnits = 1;

inline Fill fill_utf8_bytes(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    const TextView& t = plan.text;
    if (plan.variant == kAsciiUnits) {
        // The units are the bytes.
        return with_width(t.width, [&]<unsigned W>() { return convert_units_checked<W, 1, false>(bytes_of(t), t.length, out, end); });
    }
    return with_width(t.width, [&]<unsigned W>() {
        if (!kHaveAvx2) return fill_utf8_from<W>(bytes_of(t), t.length, out, end);
        return fill_utf8_avx2<W>(bytes_of(t), t.length, out, end);  // the sizing has ruled out surrogates
    });
}

}  // namespace text_detail

// ---------------------------------------------------------------------------
// Operations.

inline Expected<TextPlan> decode_utf8(ByteSpan bytes) {
    using namespace text_detail;
    const Utf8Scan s = kScanUtf8(bytes.data(), bytes.size());
    if (s.stop != bytes.size()) return utf8_error(s);
    return TextPlan{s.length, utf8_storage_max(s.max_lead), bytes.data(), bytes.size(), 0, &fill_utf8};
}

// The longest text encode_utf8_short takes, and the room its output needs.
inline constexpr std::size_t kShortUtf8Units = 256;
inline constexpr std::size_t kShortUtf8Room = 4 * kShortUtf8Units;

// A short text's UTF-8 in one scalar pass into `out` (kShortUtf8Room bytes),
// as the interpreter encodes: no measuring pass. The size written, or 0 for
// a text holding a surrogate, which is left to encode_utf8 and the failure
// it plans.
inline std::size_t encode_utf8_short(const TextView& text, std::uint8_t* out) noexcept {
    using namespace text_detail;
    std::uint32_t surrogates = 0;
    std::uint8_t* const start = out;
    with_width(text.width, [&]<unsigned W>() {
        const std::uint8_t* p = bytes_of(text);
        for (std::size_t i = 0; i < text.length; ++i) {
            const std::uint32_t cp = read_unit<W, false>(p + i * W);
            surrogates |= is_surrogate_cp(cp);
            out = put_utf8(out, cp);
        }
    });
    return surrogates != 0 ? 0 : static_cast<std::size_t>(out - start);
}

inline BytesPlan encode_utf8(const TextView& text) {
    using namespace text_detail;
    if (text.ascii) return BytesPlan{text.length, text, 0, &fill_copy};
    const Utf8Measure m = with_width(text.width, [&]<unsigned W>() { return utf8_size<W>(bytes_of(text), text.length); });
    if (m.surrogate) return refused(text);
    return BytesPlan{m.size, text, m.ascii ? kAsciiUnits : 0, &fill_utf8_bytes};
}

// A decoded text's UTF-8 written into [out, end) with no str in between, for
// columns of UTF-8 bytes: text decoded from UTF-8 is its own input, ASCII its
// units; any other is filled as units into `units` (room for 4 bytes per code
// point) and encoded from there, by the same fills as the str path. Sets
// `written`; Fill::miscount when it does not fit.
inline Fill plan_to_utf8(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, std::uint8_t* units,
                         std::size_t& written) noexcept {
    using namespace text_detail;
    if (plan.fill == &fill_utf8 || plan.max_char <= kAsciiMax) {
        const std::size_t size = plan.fill == &fill_utf8 ? plan.input_size : plan.length;
        if (!has_room(out, end, size)) return Fill::miscount;
        written = size;
        if (plan.fill == &fill_utf8) {
            if (size != 0) std::memcpy(out, plan.input, size);
            return Fill::done;
        }
        return plan.fill(plan, out, out + size, 1);
    }
    const unsigned width = plan.max_char <= kLatin1Max ? 1 : plan.max_char <= kBmpMax ? 2 : 4;
    const Fill filled = plan.fill(plan, units, units + plan.length * width, width);
    if (filled != Fill::done) return filled;
    const TextView text{units, plan.length, width, false, width == 1, nullptr};
    const BytesPlan bytes = encode_utf8(text);
    if (!has_room(out, end, bytes.size)) return Fill::miscount;
    written = bytes.size;
    return bytes.fill(bytes, out, out + bytes.size);
}

}  // namespace fieldloom
