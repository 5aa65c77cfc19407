// What the Unicode and single-byte text codecs share: the storage classes
// of a str, code units and surrogates, scalar writers bounded by the
// output's end, the records the scans return, and the fills every encoder
// uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "codecs/text_plan.hpp"
#include "codecs/simd/avx2.hpp"
#include "codecs/simd/blocks.hpp"
#include "codecs/simd/dispatch.hpp"

namespace fieldloom {
namespace text_detail {

// The storage classes of a str: the largest code point of each.
inline constexpr std::uint32_t kAsciiMax = 0x7F;
inline constexpr std::uint32_t kLatin1Max = 0xFF;
inline constexpr std::uint32_t kBmpMax = 0xFFFF;
inline constexpr std::uint32_t kUnicodeMax = 0x10FFFF;

// The class bounds are powers of two minus one, so the OR of all code points
// falls in the same class as their maximum.
constexpr std::uint32_t storage_max(std::uint32_t bits) noexcept {
    return bits <= kAsciiMax ? kAsciiMax : bits <= kLatin1Max ? kLatin1Max : bits <= kBmpMax ? kBmpMax : kUnicodeMax;
}

inline void append_decimal(std::string& s, std::size_t v) { s += std::to_string(v); }

inline void append_hex(std::string& s, std::uint32_t v, int min_digits) {
    char buf[8];
    int n = 0;
    do {
        buf[n++] = "0123456789ABCDEF"[v & 0xF];
        v >>= 4;
    } while (v != 0 || n < min_digits);
    while (n > 0) s += buf[--n];
}

// Scalar UTF-8 encoding of one code point; returns the past-the-end pointer.
inline std::uint8_t* put_utf8(std::uint8_t* o, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *o++ = static_cast<std::uint8_t>(cp);
    } else if (cp < 0x800) {
        *o++ = static_cast<std::uint8_t>(0xC0 | (cp >> 6));
        *o++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *o++ = static_cast<std::uint8_t>(0xE0 | (cp >> 12));
        *o++ = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    } else {
        *o++ = static_cast<std::uint8_t>(0xF0 | (cp >> 18));
        *o++ = static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F));
        *o++ = static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        *o++ = static_cast<std::uint8_t>(0x80 | (cp & 0x3F));
    }
    return o;
}

inline std::string utf8_of(std::uint32_t cp) {
    std::uint8_t buf[4];
    const std::uint8_t* end = put_utf8(buf, cp);
    return std::string(reinterpret_cast<const char*>(buf), reinterpret_cast<const char*>(end));
}

// Calls body.template operator()<W>() for the text's unit width.
template <class Body>
inline decltype(auto) with_width(unsigned width, Body&& body) {
    if (width == 1) return body.template operator()<1>();
    if (width == 2) return body.template operator()<2>();
    return body.template operator()<4>();
}

inline const std::uint8_t* bytes_of(const TextView& t) noexcept { return static_cast<const std::uint8_t*>(t.data); }

// Room for `size` more bytes before `end`.
inline bool has_room(const std::uint8_t* out, const std::uint8_t* end, std::size_t size) noexcept {
    return static_cast<std::size_t>(end - out) >= size;
}

// ---------------------------------------------------------------------------
// Surrogates. Texts of width 2 and 4 may hold a lone one (see TextView).
// Each encoder notices one in a pass it makes anyway: the sizing pass where
// it has one, otherwise the fill, which then reports Fill::surrogate.

inline bool is_high_surrogate(std::uint32_t u) noexcept { return (u & 0xFC00) == 0xD800; }
inline bool is_low_surrogate(std::uint32_t u) noexcept { return (u & 0xFC00) == 0xDC00; }

// A code point in U+D800-U+DFFF (units of any width).
inline bool is_surrogate_cp(std::uint32_t cp) noexcept { return (cp & ~std::uint32_t{0x7FF}) == 0xD800; }

// Lanes of units of W bytes (2 or 4) holding a surrogate.
template <unsigned W>
inline __m128i surrogate_lanes(__m128i v) noexcept {
    if constexpr (W == 2) {
        return _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))),
                               _mm_set1_epi16(static_cast<short>(0xD800)));
    } else {
        return _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800))), _mm_set1_epi32(0xD800));
    }
}

// The plan of a text whose sizing met a surrogate: it never writes.
inline Fill refuse_fill(const BytesPlan&, std::uint8_t*, std::uint8_t*) noexcept { return Fill::surrogate; }
inline BytesPlan refused(const TextView& t) noexcept { return BytesPlan{1, t, 0, &refuse_fill}; }

// The units of an ASCII or Latin-1 text of width 1 are its bytes.
inline Fill fill_copy(const BytesPlan& plan, std::uint8_t* out, std::uint8_t* end) noexcept {
    if (sized(out, end, plan.text.length) != Fill::done) return Fill::miscount;
    std::memcpy(out, plan.text.data, plan.text.length);
    return Fill::done;
}

// put_utf8 within [out, end): nullptr when the code point does not fit.
inline std::uint8_t* put_utf8_within(std::uint8_t* out, const std::uint8_t* end, std::uint32_t cp) noexcept {
    if (has_room(out, end, 4)) return put_utf8(out, cp);  // any code point fits
    const std::size_t size = 1 + (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000);
    return has_room(out, end, size) ? put_utf8(out, cp) : nullptr;
}

// convert_units for the encoders: also tells whether a source unit was a
// surrogate. Blocks are tested branch-free; the verdict comes at the end.
template <unsigned S, unsigned D, bool SwapOut>
inline Fill convert_units_checked(const std::uint8_t* src, std::size_t n, std::uint8_t* dst, std::uint8_t* end) noexcept {
    if (sized(dst, end, n * D) != Fill::done) return Fill::miscount;
    if constexpr (S == 1) {
        if constexpr (D > 1) {
            if (kHaveAvx2) {
                widen_bytes_avx2<D, SwapOut>(src, dst, n);
                return Fill::done;
            }
        }
        convert_units<1, D, false, SwapOut>(src, dst, n);
        return Fill::done;
    } else {
        __m128i bad = _mm_setzero_si128();
        std::size_t i = 0;
        for (; i + kBlock <= n; i += kBlock) {
            const Block<S> b = load_block<S>(src + i * S);
            for_each_register<S>([&](unsigned k) [[gnu::always_inline]] { bad = _mm_or_si128(bad, surrogate_lanes<S>(b.r[k])); });
            Block<D> d = resize_block<S, D>(b);
            if constexpr (SwapOut) d = swap_block(d);
            store_block<D>(dst + i * D, d);
        }
        bool tail_bad = false;
        for (; i < n; ++i) {
            const std::uint32_t u = read_unit<S, false>(src + i * S);
            tail_bad |= is_surrogate_cp(u);
            write_unit<D, SwapOut>(dst + i * D, u);
        }
        return _mm_movemask_epi8(bad) == 0 && !tail_bad ? Fill::done : Fill::surrogate;
    }
}

// ---------------------------------------------------------------------------
// Fills shared by the codecs.

// Units converted one for one: the output size follows from their count.
template <unsigned S, unsigned D, bool SwapIn>
inline Fill fill_converted(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    if (sized(out, end, n * D) != Fill::done) return Fill::miscount;
    convert_units<S, D, SwapIn, false>(p, out, n);
    return Fill::done;
}

// ---------------------------------------------------------------------------
// What the scans and sizings find.

struct Utf16Scan {
    bool ok = true;
    std::size_t length = 0;
    std::uint32_t max_char = 0;
};

struct Utf32Scan {
    std::size_t stop = 0;  // first invalid unit, or the unit count
    std::uint32_t bad_unit = 0;
    std::uint32_t max_char = 0;
};

// What a UTF-8 validation kernel finds: the code point count and largest
// lead byte of well-formed UTF-8; `ok` is false when it is not, and the
// scalar scan then finds where and why.
struct Utf8Verdict {
    bool ok = false;
    std::size_t length = 0;
    std::uint32_t max_lead = 0;
};

// The UTF-8 size of a text, and whether it holds a surrogate (only the
// AVX2 sizing looks; the other path finds them while filling).
struct Utf8Measure {
    std::size_t size = 0;
    bool surrogate = false;
    bool ascii = false;
};

// How far a UTF-16 scan has come: units [0, i) are checked, `carry` is set
// when unit i - 1 is a high surrogate, `pairs` counts the pairs so far and
// `bits` is the OR of the units so far.
struct Utf16Progress {
    std::size_t i = 0;
    std::size_t pairs = 0;
    std::uint32_t carry = 0;
    std::uint32_t bits = 0;
};

// Astral code points (two UTF-16 units each) and surrogates, in one pass.
struct Ucs4Census {
    std::size_t astral = 0;
    bool surrogate = false;
};

// ---------------------------------------------------------------------------
// Scalar steps of the UTF-16 kernels of either instruction set.

// The units from i on, one at a time, after the block steps: `carry` is
// set when unit i - 1 was a high surrogate; `bits` is the OR of the units so far.
template <bool Swap>
inline Utf16Scan finish_utf16_scan(const std::uint8_t* p, std::size_t i, std::size_t units, std::uint32_t carry,
                                   std::size_t pairs, std::uint32_t bits) noexcept {
    for (; i < units; ++i) {
        const std::uint32_t u = read_unit<2, Swap>(p + 2 * i);
        if (is_low_surrogate(u) != (carry != 0)) return {false, 0, 0};
        carry = is_high_surrogate(u);
        pairs += carry;
        bits |= u;
    }
    if (carry != 0) return {false, 0, 0};
    // Surrogates only reach `bits` in pairs, whose code points need UCS-4 anyway.
    return {true, units - pairs, pairs != 0 ? kUnicodeMax : storage_max(bits)};
}

// Well-formed UTF-16 from unit i on (not the low half of a pair), one code
// point at a time.
template <bool Swap>
inline Fill fill_utf16_units_from(const std::uint8_t* p, std::size_t i, std::size_t units, std::uint8_t* out,
                                  std::uint8_t* end) noexcept {
    while (i < units) {
        std::uint32_t u = read_unit<2, Swap>(p + 2 * i);
        ++i;
        if (is_high_surrogate(u)) {
            u = 0x10000 + ((u - 0xD800) << 10) + (read_unit<2, Swap>(p + 2 * i) - 0xDC00);
            ++i;
        }
        if (!has_room(out, end, 4)) return Fill::miscount;
        write_unit<4, false>(out, u);
        out += 4;
    }
    return out == end ? Fill::done : Fill::miscount;
}

// A UTF-32 unit that is a Unicode scalar value.
inline bool valid_scalar(std::uint32_t u) noexcept { return u < 0xD800 || (u >= 0xE000 && u <= 0x10FFFF); }

}  // namespace text_detail
}  // namespace fieldloom
