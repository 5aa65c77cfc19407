// UTF-16 and UTF-32 in both directions, in either byte order, with or
// without a byte order mark, on the same measure-then-fill footing as UTF-8
// (see utf8.hpp). Blocks of 16 units go through SSE2; surrogate pairs,
// which would keep sending blocks to scalar code, go to the AVX2 kernels
// where the CPU has them.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"
#include "codecs/simd/blocks.hpp"
#include "codecs/simd/dispatch.hpp"
#include "codecs/simd/lane_count.hpp"
#include "codecs/simd/utf16_32_avx2.hpp"
#include "codecs/text_units.hpp"

namespace fieldloom {
namespace text_detail {

// ---------------------------------------------------------------------------
// UTF-16 decoding. TextPlan::variant: 1 for little-endian units.

template <bool Swap>
inline Utf16Scan scan_utf16(const std::uint8_t* p, std::size_t units) noexcept {
    // The AVX2 kernel takes whole steps of 32 units; blocks of 16 and then
    // single units go on from where it stops, so that a short text or a
    // tail is not left to the scalar steps.
    Utf16Progress progress;
    if (kHaveAvx2 && !scan_utf16_avx2<Swap>(p, units, progress)) return {false, 0, 0};
    // One bit per unit for high and for low surrogates: the text is well
    // formed exactly when the low bits are the high bits moved one unit on,
    // `carry` taking a high surrogate at the end of a block into the next.
    const __m128i kind = _mm_set1_epi16(static_cast<short>(0xFC00));
    const __m128i high_tag = _mm_set1_epi16(static_cast<short>(0xD800));
    const __m128i low_tag = _mm_set1_epi16(static_cast<short>(0xDC00));
    std::size_t i = progress.i, pairs = progress.pairs;
    std::uint32_t carry = progress.carry;
    __m128i acc = _mm_setzero_si128();
    for (; i + kBlock <= units; i += kBlock) {
        Block<2> b = load_block<2>(p + 2 * i);
        if constexpr (Swap) b = swap_block(b);
        acc = _mm_or_si128(acc, or_lanes(b));
        const __m128i k0 = _mm_and_si128(b.r[0], kind), k1 = _mm_and_si128(b.r[1], kind);
        const auto high = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(k0, high_tag), _mm_cmpeq_epi16(k1, high_tag))));
        const auto low = static_cast<std::uint32_t>(
            _mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(k0, low_tag), _mm_cmpeq_epi16(k1, low_tag))));
        if ((((high << 1) | carry) & 0xFFFF) != low) return {false, 0, 0};
        carry = high >> 15;
        if (high != 0) pairs += count_bits(high);
    }
    alignas(16) std::uint16_t lanes[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    std::uint32_t bits = progress.bits;
    for (std::uint16_t l : lanes) bits |= l;
    return finish_utf16_scan<Swap>(p, i, units, carry, pairs, bits);
}

// Well-formed UTF-16 with at least one pair, as UCS-4 (`length` code
// points). A block is widened and stored whole; when it holds a pair, only
// the units before the pair count and the pair is written on its own.
template <bool Swap>
inline Fill fill_utf16_astral(const std::uint8_t* p, std::size_t units, std::uint8_t* out, std::uint8_t* end) noexcept {
    const __m128i kind = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i tag = _mm_set1_epi16(static_cast<short>(0xD800));
    std::size_t i = 0;
    // A step writes at most 4 * kBlock bytes, the pair included.
    while (i + kBlock <= units && has_room(out, end, 4 * kBlock)) {
        Block<2> b = load_block<2>(p + 2 * i);
        if constexpr (Swap) b = swap_block(b);
        store_block<4>(out, resize_block<2, 4>(b));
        const auto sur = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(
            _mm_cmpeq_epi16(_mm_and_si128(b.r[0], kind), tag), _mm_cmpeq_epi16(_mm_and_si128(b.r[1], kind), tag))));
        if (sur == 0) {
            out += 4 * kBlock;
            i += kBlock;
            continue;
        }
        const auto k = static_cast<std::size_t>(std::countr_zero(sur));
        out += 4 * k;
        i += k;
        if (i + 1 >= units) break;  // the tail loop takes the pair
        const std::uint32_t hi = read_unit<2, Swap>(p + 2 * i), lo = read_unit<2, Swap>(p + 2 * i + 2);
        write_unit<4, false>(out, 0x10000 + ((hi - 0xD800) << 10) + (lo - 0xDC00));
        out += 4;
        i += 2;
    }
    return fill_utf16_units_from<Swap>(p, i, units, out, end);
}

template <bool Swap>
inline Fill fill_utf16_as(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    const std::size_t units = plan.input_size / 2;
    if (width == 1) return fill_converted<2, 1, Swap>(plan.input, units, out, end);
    if (width == 2) return fill_converted<2, 2, Swap>(plan.input, units, out, end);
    if (kHaveAvx2) return fill_utf16_astral_avx2<Swap>(plan.input, units, out, end);
    return fill_utf16_astral<Swap>(plan.input, units, out, end);
}

inline Fill fill_utf16(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    if (plan.variant != 0) return fill_utf16_as<false>(plan, out, end, width);
    return fill_utf16_as<true>(plan, out, end, width);
}

inline constexpr const char* kLoneSurrogate = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found";

// The UTF-16 core after the length test; nullopt-like failure is `ok == false`.
inline Utf16Scan scan_utf16_ordered(const std::uint8_t* p, std::size_t size, bool little) noexcept {
    return little ? scan_utf16<false>(p, size / 2) : scan_utf16<true>(p, size / 2);
}

inline TextPlan utf16_plan(const Utf16Scan& s, const std::uint8_t* p, std::size_t size, bool little) noexcept {
    return TextPlan{s.length, s.max_char, p, size, little ? 1u : 0u, &fill_utf16};
}

inline Expected<TextPlan> decode_utf16_core(const std::uint8_t* p, std::size_t size, bool little) {
    if (size % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
    const Utf16Scan s = scan_utf16_ordered(p, size, little);
    if (!s.ok) return value_error(kLoneSurrogate);
    return utf16_plan(s, p, size, little);
}

// ---------------------------------------------------------------------------
// UTF-32 decoding. TextPlan::variant: 1 for little-endian units.

// Lanes holding a surrogate or a value above U+10FFFF.
inline __m128i invalid_utf32_lanes(__m128i v) noexcept {
    const __m128i above = _mm_or_si128(_mm_cmpgt_epi32(v, _mm_set1_epi32(0x10FFFF)), _mm_cmplt_epi32(v, _mm_setzero_si128()));
    const __m128i sur = _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800))), _mm_set1_epi32(0xD800));
    return _mm_or_si128(above, sur);
}

template <bool Swap>
inline Utf32Scan scan_utf32(const std::uint8_t* p, std::size_t units) noexcept {
    if (kHaveAvx2) return scan_utf32_avx2<Swap>(p, units);
    std::size_t i = 0;
    __m128i acc = _mm_setzero_si128();
    for (; i + kBlock <= units; i += kBlock) {
        Block<4> b = load_block<4>(p + 4 * i);
        if constexpr (Swap) b = swap_block(b);
        const __m128i bad = _mm_or_si128(_mm_or_si128(invalid_utf32_lanes(b.r[0]), invalid_utf32_lanes(b.r[1])),
                                         _mm_or_si128(invalid_utf32_lanes(b.r[2]), invalid_utf32_lanes(b.r[3])));
        if (_mm_movemask_epi8(bad) != 0) break;  // the scalar loop finds it
        acc = _mm_or_si128(acc, or_lanes(b));
    }
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), acc);
    std::uint32_t bits = lanes[0] | lanes[1] | lanes[2] | lanes[3];
    for (; i < units; ++i) {
        const std::uint32_t u = read_unit<4, Swap>(p + 4 * i);
        if (!valid_scalar(u)) return {i, u, 0};
        bits |= u;
    }
    return {units, 0, storage_max(bits)};
}

template <bool Swap>
inline Fill fill_utf32_as(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    return with_width(width, [&]<unsigned D>() { return fill_converted<4, D, Swap>(plan.input, plan.input_size / 4, out, end); });
}

inline Fill fill_utf32(const TextPlan& plan, std::uint8_t* out, std::uint8_t* end, unsigned width) noexcept {
    if (plan.variant != 0) return fill_utf32_as<false>(plan, out, end, width);
    return fill_utf32_as<true>(plan, out, end, width);
}

inline Expected<TextPlan> decode_utf32_core(const std::uint8_t* p, std::size_t size, bool little) {
    if (size % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
    const std::size_t units = size / 4;
    const Utf32Scan s = little ? scan_utf32<false>(p, units) : scan_utf32<true>(p, units);
    if (s.stop != units) {
        std::string m = "Invalid UTF-32 codepoint: 0x";
        append_hex(m, s.bad_unit, 8);
        return value_error(std::move(m));
    }
    return TextPlan{units, s.max_char, p, size, little ? 1u : 0u, &fill_utf32};
}

// ---------------------------------------------------------------------------
// Encoding. BytesPlan::variant: bit 0 little-endian, bit 1 byte order mark.

inline constexpr std::uint32_t kLittle = 1;
inline constexpr std::uint32_t kMark = 2;

// Mark first (big-endian only), then the units; nullptr when it does not fit.
template <unsigned D>
inline std::uint8_t* put_mark(const BytesPlan& plan, std::uint8_t* out, const std::uint8_t* end) noexcept {
    if (plan.variant & kMark) {
        if (!has_room(out, end, D)) return nullptr;
        write_unit<D, true>(out, 0xFEFF);
        out += D;
    }
    return out;
}

// One code point as UTF-16 within [out, end): nullptr when it does not fit.
template <bool Swap>
inline std::uint8_t* put_utf16_within(std::uint8_t* out, const std::uint8_t* end, std::uint32_t cp) noexcept {
    if (cp < 0x10000) {
        if (!has_room(out, end, 2)) return nullptr;
        write_unit<2, Swap>(out, cp);
        return out + 2;
    }
    if (!has_room(out, end, 4)) return nullptr;
    write_unit<2, Swap>(out, 0xD800 + ((cp - 0x10000) >> 10));
    write_unit<2, Swap>(out + 2, 0xDC00 + ((cp - 0x10000) & 0x3FF));
    return out + 4;
}

// Code points of units of 4 bytes as UTF-16; the sizing has ruled out
// surrogates. Blocks below U+10000 narrow in one step; a block with an
// astral code point is written up to it in one step too, since every unit
// before it is one UTF-16 unit.
template <bool Swap>
inline Fill fill_utf16_from_ucs4(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    std::size_t i = 0;
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFF0000));
    while (i + kBlock <= n && has_room(out, end, 2 * kBlock)) {
        const Block<4> b = load_block<4>(p + 4 * i);
        Block<2> d = resize_block<4, 2>(b);
        if constexpr (Swap) d = swap_block(d);
        store_block<2>(out, d);
        const __m128i zero = _mm_setzero_si128();
        const unsigned astral =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(
                _mm_packs_epi32(_mm_cmpeq_epi32(_mm_and_si128(b.r[0], high), zero), _mm_cmpeq_epi32(_mm_and_si128(b.r[1], high), zero)),
                _mm_packs_epi32(_mm_cmpeq_epi32(_mm_and_si128(b.r[2], high), zero), _mm_cmpeq_epi32(_mm_and_si128(b.r[3], high), zero))))) ^
            0xFFFFu;
        if (astral == 0) {
            out += 2 * kBlock;
            i += kBlock;
            continue;
        }
        const auto k = static_cast<std::size_t>(std::countr_zero(astral));
        out += 2 * k;
        i += k;
        out = put_utf16_within<Swap>(out, end, read_unit<4, false>(p + 4 * i));
        if (out == nullptr) return Fill::miscount;
        ++i;
    }
    for (; i < n; ++i) {
        out = put_utf16_within<Swap>(out, end, read_unit<4, false>(p + 4 * i));
        if (out == nullptr) return Fill::miscount;
    }
    return out == end ? Fill::done : Fill::miscount;
}

inline Ucs4Census ucs4_census(const std::uint8_t* p, std::size_t n) noexcept {
    Ucs4Census c;
    __m128i bad = _mm_setzero_si128(), count = _mm_setzero_si128();
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFF0000)), zero = _mm_setzero_si128();
    std::size_t i = 0;
    // Each of a block's four registers adds at most one to a lane.
    for (std::size_t end; (end = lane_run_end<32, 4, kBlock>(i, n)) != i;) {
        for (; i < end; i += kBlock) {
            const Block<4> b = load_block<4>(p + 4 * i);
            for (unsigned k = 0; k < 4; ++k) {
                bad = _mm_or_si128(bad, surrogate_lanes<4>(b.r[k]));
                count = count_hits<4>(count, _mm_xor_si128(_mm_cmpeq_epi32(_mm_and_si128(b.r[k], high), zero),
                                                           _mm_set1_epi32(-1)));
            }
        }
        c.astral += sum_lanes<32>(count);
        count = zero;
    }
    c.surrogate = _mm_movemask_epi8(bad) != 0;
    for (; i < n; ++i) {
        const std::uint32_t cp = read_unit<4, false>(p + 4 * i);
        c.astral += cp >= 0x10000;
        c.surrogate |= is_surrogate_cp(cp);
    }
    return c;
}

template <bool Swap>
inline Fill fill_utf16_units(const TextView& t, std::uint8_t* out, std::uint8_t* end) noexcept {
    if (t.width == 1) return convert_units_checked<1, 2, Swap>(bytes_of(t), t.length, out, end);
    if (t.width == 2) return convert_units_checked<2, 2, Swap>(bytes_of(t), t.length, out, end);
    std::size_t done = 0;
    if (kHaveAvx2) out = fill_utf16_from_ucs4_avx2<Swap>(bytes_of(t), t.length, done, out, end);
    return fill_utf16_from_ucs4<Swap>(bytes_of(t) + 4 * done, t.length - done, out, end);
}

inline Fill fill_utf16_bytes(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    out = put_mark<2>(plan, out, end);
    if (out == nullptr) return Fill::miscount;
    if (plan.variant & kLittle) return fill_utf16_units<false>(plan.text, out, end);
    return fill_utf16_units<true>(plan.text, out, end);
}

template <bool Swap>
inline Fill fill_utf32_units(const TextView& t, std::uint8_t* out, std::uint8_t* end) noexcept {
    return with_width(t.width, [&]<unsigned W>() { return convert_units_checked<W, 4, Swap>(bytes_of(t), t.length, out, end); });
}

inline Fill fill_utf32_bytes(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    out = put_mark<4>(plan, out, end);
    if (out == nullptr) return Fill::miscount;
    if (plan.variant & kLittle) return fill_utf32_units<false>(plan.text, out, end);
    return fill_utf32_units<true>(plan.text, out, end);
}

// Out of line, so that the sizing of texts of width 1 and 2 stays small
// enough to inline and reads the caller's TextView field by field: a
// whole-struct copy right after the boundary wrote it field by field waits
// on store forwarding, which costs a short text a third of its time.
[[gnu::noinline]] inline BytesPlan utf16_bytes_plan_ucs4(const TextView& t, std::uint32_t variant) noexcept {
    const Ucs4Census c = kHaveAvx2 ? ucs4_census_avx2(bytes_of(t), t.length) : ucs4_census(bytes_of(t), t.length);
    if (c.surrogate) return refused(t);
    return BytesPlan{2 * (t.length + c.astral) + ((variant & kMark) ? 2 : 0), t, variant, &fill_utf16_bytes};
}

inline BytesPlan utf16_bytes_plan(const TextView& t, std::uint32_t variant) noexcept {
    if (t.width == 4) return utf16_bytes_plan_ucs4(t, variant);
    return BytesPlan{2 * t.length + ((variant & kMark) ? 2 : 0), t, variant, &fill_utf16_bytes};
}

inline BytesPlan utf32_bytes_plan(const TextView& t, std::uint32_t variant) noexcept {
    return BytesPlan{4 * t.length + ((variant & kMark) ? 4 : 0), t, variant, &fill_utf32_bytes};
}

using UnitCore = Expected<TextPlan> (*)(const std::uint8_t*, std::size_t, bool);

// The mark-detecting forms: whole units only and at least one of them; a
// leading big- or little-endian mark selects the order and is dropped, no
// mark means big-endian. Only the first mark is taken.
template <std::size_t Unit>
inline Expected<TextPlan> decode_marked(ByteSpan bytes, const std::uint8_t (&big)[Unit],
                                        const std::uint8_t (&little)[Unit], const char* length_message,
                                        UnitCore core) {
    if (bytes.size() < Unit || bytes.size() % Unit != 0) return value_error(length_message);
    const std::uint8_t* p = bytes.data();
    if (std::memcmp(p, big, Unit) == 0) return core(p + Unit, bytes.size() - Unit, false);
    if (std::memcmp(p, little, Unit) == 0) return core(p + Unit, bytes.size() - Unit, true);
    return core(p, bytes.size(), false);
}

inline constexpr std::uint8_t kUtf16MarkBig[2] = {0xFE, 0xFF};
inline constexpr std::uint8_t kUtf16MarkLittle[2] = {0xFF, 0xFE};
inline constexpr std::uint8_t kUtf32MarkBig[4] = {0x00, 0x00, 0xFE, 0xFF};
inline constexpr std::uint8_t kUtf32MarkLittle[4] = {0xFF, 0xFE, 0x00, 0x00};

}  // namespace text_detail

// ---------------------------------------------------------------------------
// Operations.

inline Expected<TextPlan> decode_utf16be(ByteSpan bytes) {
    return text_detail::decode_utf16_core(bytes.data(), bytes.size(), false);
}

inline Expected<TextPlan> decode_utf16le(ByteSpan bytes) {
    return text_detail::decode_utf16_core(bytes.data(), bytes.size(), true);
}

inline Expected<TextPlan> decode_utf16(ByteSpan bytes) {
    using namespace text_detail;
    return decode_marked(bytes, kUtf16MarkBig, kUtf16MarkLittle,
                         "UTF-16 requires an even number of bytes with at least 2 bytes", &decode_utf16_core);
}

inline Expected<TextPlan> decode_utf32be(ByteSpan bytes) {
    return text_detail::decode_utf32_core(bytes.data(), bytes.size(), false);
}

inline Expected<TextPlan> decode_utf32le(ByteSpan bytes) {
    return text_detail::decode_utf32_core(bytes.data(), bytes.size(), true);
}

inline Expected<TextPlan> decode_utf32(ByteSpan bytes) {
    using namespace text_detail;
    return decode_marked(bytes, kUtf32MarkBig, kUtf32MarkLittle,
                         "UTF-32 requires a multiple of 4 bytes with at least 4 bytes", &decode_utf32_core);
}

inline BytesPlan encode_utf16be(const TextView& text) { return text_detail::utf16_bytes_plan(text, 0); }
inline BytesPlan encode_utf16le(const TextView& text) { return text_detail::utf16_bytes_plan(text, text_detail::kLittle); }
inline BytesPlan encode_utf16(const TextView& text) { return text_detail::utf16_bytes_plan(text, text_detail::kMark); }
inline BytesPlan encode_utf32be(const TextView& text) { return text_detail::utf32_bytes_plan(text, 0); }
inline BytesPlan encode_utf32le(const TextView& text) { return text_detail::utf32_bytes_plan(text, text_detail::kLittle); }
inline BytesPlan encode_utf32(const TextView& text) { return text_detail::utf32_bytes_plan(text, text_detail::kMark); }

}  // namespace fieldloom
