// The SSE2 baseline UTF-8 decoding kernels: validation and counting 16
// bytes per step, and writing the validated code points as str units
// without a branch on their lengths.
#pragma once

#include <immintrin.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/simd/blocks.hpp"
#include "codecs/simd/lane_count.hpp"
#include "codecs/text_units.hpp"

namespace fieldloom {
namespace text_detail {

// Validation by bit masks, one bit per byte of a block: the places that
// must hold a continuation byte follow from the lead bytes alone (one after
// every lead, a second after E0-FF, a third after F0-FF), and well-formed
// input has continuation bytes exactly there. Byte compares give the rest:
// the bytes that never occur, and the narrower second byte after E0, ED, F0
// and F4. Masks reach 19 bits; the bits past a block carry into the next.
// Only a verdict comes out; on failure the scalar scan finds the place and
// the reason.
struct Utf8MaskState {
    std::uint32_t need = 0;                         // continuation places carried in
    std::uint32_t after_e0 = 0, after_ed = 0, after_f0 = 0, after_f4 = 0;  // second-byte places carried in
    std::uint32_t error = 0;
    std::size_t starts = 0;
    __m128i max_byte = _mm_setzero_si128();
};

// Whether the block was ASCII.
[[gnu::always_inline]] inline bool utf8_mask_step(Utf8MaskState& st, __m128i in) noexcept {
    // Signed bytes: 80-BF are -128..-65, C0 is -64, E0 -32, F0 -16, F5 -11.
    auto below = [&](int v) { return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmplt_epi8(in, _mm_set1_epi8(static_cast<char>(v))))); };
    auto equal = [&](int v) { return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(in, _mm_set1_epi8(static_cast<char>(v))))); };
    const auto high = static_cast<std::uint32_t>(_mm_movemask_epi8(in));
    if (high == 0) {
        // ASCII: nothing may be carried in.
        st.error |= st.need;
        st.need = st.after_e0 = st.after_ed = st.after_f0 = st.after_f4 = 0;
        st.starts += kBlock;
        return true;
    }
    const std::uint32_t continuation = below(-64);
    const std::uint32_t leads = high & ~continuation;
    const std::uint32_t from_e0 = high & ~below(-32), from_f0 = high & ~below(-16);
    const std::uint32_t need = st.need | leads << 1 | from_e0 << 2 | from_f0 << 3;
    st.error |= ((need & 0xFFFF) ^ continuation) | (leads & below(-62)) | (high & ~below(-11));
    st.need = need >> 16;
    if (from_e0 != 0 || (st.after_e0 | st.after_ed | st.after_f0 | st.after_f4) != 0) {
        const std::uint32_t e0 = st.after_e0 | equal(-32) << 1, ed = st.after_ed | equal(-19) << 1;
        const std::uint32_t f0 = st.after_f0 | equal(-16) << 1, f4 = st.after_f4 | equal(-12) << 1;
        const std::uint32_t below_90 = below(-112), below_a0 = below(-96);
        st.error |= ((e0 & below_a0) | (ed & continuation & ~below_a0) | (f0 & below_90) | (f4 & continuation & ~below_90)) & 0xFFFF;
        st.after_e0 = e0 >> 16, st.after_ed = ed >> 16, st.after_f0 = f0 >> 16, st.after_f4 = f4 >> 16;
    }
    st.starts += kBlock - count_bits(continuation);
    st.max_byte = _mm_max_epu8(st.max_byte, in);
    return false;
}

// The code point count and largest lead byte of well-formed UTF-8; `ok` is
// false when it is not.
inline Utf8Verdict validate_utf8_sse2(const std::uint8_t* p, std::size_t n) noexcept {
    Utf8MaskState st;
    std::size_t i = 0;
    bool ascii = true;
    while (i + kBlock <= n) {
        // After an ASCII block, the rest of the ASCII run at memory speed.
        if (ascii) {
            const std::size_t blocks = first_at_or_above<1>(p + i, n - i, 0x80) / kBlock * kBlock;
            if (blocks != 0) {
                st.starts += blocks;
                i += blocks;
                continue;
            }
        }
        ascii = utf8_mask_step(st, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        i += kBlock;
    }
    if (i < n) {
        // The tail, padded with NULs: an open sequence then meets a NUL and fails.
        alignas(16) std::uint8_t tail[kBlock] = {};
        std::memcpy(tail, p + i, n - i);
        utf8_mask_step(st, _mm_load_si128(reinterpret_cast<const __m128i*>(tail)));
        st.starts -= kBlock - (n - i);
    }
    if ((st.error | st.need) != 0) return {};
    alignas(16) std::uint8_t lanes[kBlock];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), st.max_byte);
    std::uint32_t max_byte = 0;
    for (std::uint8_t b : lanes) max_byte = b > max_byte ? b : max_byte;
    return {true, st.starts, max_byte < 0x80 ? 0 : max_byte};
}

// Writing well-formed UTF-8 as units of D bytes (SSE2), 16 bytes of input
// per step: at every place of the block, the code point that would start
// there is decoded from that byte and the three after it, in three byte
// planes; the places where code points do start are then written in order.
// No branch depends on the lengths of the code points.
struct Utf8Planes {
    __m128i low, middle, high;  // bits 0-7, 8-15 and 16-20 of each code point
};

inline Utf8Planes decode_every_place(const std::uint8_t* at) noexcept {
    auto load = [&](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + k)); };
    auto bytes = [](int v) { return _mm_set1_epi8(static_cast<char>(v)); };
    // Shifts within byte lanes.
    auto up = [&](__m128i v, int k) { return _mm_and_si128(_mm_slli_epi16(v, k), bytes(0xFF << k)); };
    auto down = [&](__m128i v, int k) { return _mm_and_si128(_mm_srli_epi16(v, k), bytes(0xFF >> k)); };
    auto pick = [](__m128i m, __m128i a, __m128i b) { return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b)); };

    const __m128i lead = load(0), payload = bytes(0x3F);
    const __m128i c1 = _mm_and_si128(load(1), payload), c2 = _mm_and_si128(load(2), payload),
                  c3 = _mm_and_si128(load(3), payload);
    // Signed bytes: 80-FF are negative, E0 is -32 and F0 -16.
    const __m128i multi = _mm_cmplt_epi8(lead, _mm_setzero_si128());
    const __m128i from_e0 = _mm_and_si128(_mm_cmpgt_epi8(lead, bytes(-33)), multi);
    const __m128i from_f0 = _mm_and_si128(_mm_cmpgt_epi8(lead, bytes(-17)), multi);
    // Bits 0-7: the last two payloads, (lead, c1), (c1, c2) or (c2, c3) by length.
    const __m128i before_last = pick(from_f0, c2, pick(from_e0, c1, lead));
    const __m128i last = pick(from_f0, c3, pick(from_e0, c2, c1));
    const __m128i low = pick(multi, _mm_or_si128(up(before_last, 6), last), lead);
    // Bits 8-15: (0, lead & 1F), (lead & 0F, c1) or (c1, c2), as a << 4 | b >> 2.
    const __m128i a = pick(from_f0, c1, _mm_and_si128(from_e0, lead));
    const __m128i b = pick(from_f0, c2, pick(from_e0, c1, _mm_and_si128(lead, bytes(0x1F))));
    const __m128i middle = _mm_and_si128(multi, _mm_or_si128(up(a, 4), down(b, 2)));
    // Bits 16-20, four-byte sequences only: (lead & 07) << 2 | c1 >> 4.
    const __m128i high = _mm_and_si128(from_f0, _mm_or_si128(_mm_and_si128(_mm_slli_epi16(lead, 2), bytes(0x1C)), down(c1, 4)));
    return {low, middle, high};
}

// The code points of every place as units of D bytes.
template <unsigned D>
inline Block<D> units_of(const Utf8Planes& planes) noexcept {
    if constexpr (D == 1) {
        return Block<1>{{planes.low}};
    } else {
        const __m128i lo = _mm_unpacklo_epi8(planes.low, planes.middle), hi = _mm_unpackhi_epi8(planes.low, planes.middle);
        if constexpr (D == 2) {
            return Block<2>{{lo, hi}};
        } else {
            const __m128i z = _mm_setzero_si128();
            const __m128i high_lo = _mm_unpacklo_epi8(planes.high, z), high_hi = _mm_unpackhi_epi8(planes.high, z);
            return Block<4>{{_mm_unpacklo_epi16(lo, high_lo), _mm_unpackhi_epi16(lo, high_lo), _mm_unpacklo_epi16(hi, high_hi),
                             _mm_unpackhi_epi16(hi, high_hi)}};
        }
    }
}

// One step at `at` (19 bytes readable); `inside` marks the bytes that are
// input. False when the units do not fit the output.
template <unsigned D>
inline bool decode_utf8_block(const std::uint8_t* at, std::uint32_t inside, std::uint8_t*& out, std::uint8_t* end) noexcept {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    if (inside == 0xFFFF && _mm_movemask_epi8(block) == 0 && has_room(out, end, kBlock * D)) {
        store_block<D>(out, resize_block<1, D>(Block<1>{{block}}));
        out += kBlock * D;
        return true;
    }
    // Every byte but a continuation byte starts a code point.
    std::uint32_t starts =
        static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpgt_epi8(block, _mm_set1_epi8(static_cast<char>(0xBF))))) & inside;
    if (!has_room(out, end, count_bits(starts) * D)) return false;
    alignas(16) std::uint8_t units[kBlock * D];
    store_block<D>(units, units_of<D>(decode_every_place(at)));
    for (; starts != 0; starts &= starts - 1) {
        std::memcpy(out, units + D * static_cast<unsigned>(std::countr_zero(starts)), D);
        out += D;
    }
    return true;
}

template <unsigned D>
inline Fill decode_utf8_sse2(const std::uint8_t* p, std::size_t n, std::uint8_t* out, std::uint8_t* end) noexcept {
    std::size_t i = 0;
    for (; n - i >= kBlock + 3; i += kBlock) {
        if (!decode_utf8_block<D>(p + i, 0xFFFF, out, end)) return Fill::miscount;
    }
    // The last bytes, copied once next to NULs that no step takes.
    alignas(16) std::uint8_t tail[3 * kBlock] = {};
    const std::size_t left = n - i;
    std::memcpy(tail, p + i, left);
    for (std::size_t j = 0; j < left; j += kBlock) {
        const std::uint32_t inside = left - j >= kBlock ? 0xFFFF : (1u << (left - j)) - 1;
        if (!decode_utf8_block<D>(tail + j, inside, out, end)) return Fill::miscount;
    }
    return out == end ? Fill::done : Fill::miscount;
}

}  // namespace text_detail
}  // namespace fieldloom
