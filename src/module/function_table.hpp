// The module's functions, in registration order (the order of __all__).
// Each row: Python name, text signature, operation, one conversion kind per
// parameter. Entry points are generated from the row.
#pragma once

#include "module/function.hpp"

#include "codecs/bcd.hpp"
#include "codecs/ieee754.hpp"
#include "engine/pack.hpp"
#include "codecs/signed_int.hpp"
#include "engine/unpack.hpp"
#include "codecs/single_byte.hpp"
#include "codecs/utf16_32.hpp"
#include "codecs/utf8.hpp"
#include "python/text_bridge.hpp"

namespace fieldloom {

// The float families without a codec: the argument is converted (so a wrong
// type still fails as a conversion), then the family's message is raised.
template <FloatFamily Family>
Expected<NoResult> decode_unimplemented(std::uint64_t) {
    return not_implemented(float_decode_message(Family));
}

template <FloatFamily Family, class Value>
Expected<NoResult> encode_unimplemented(Value) {
    return not_implemented(float_encode_message(Family));
}

inline Expected<NoResult> encode_ieee754_f128(double) {
    return not_implemented(kF128EncodeMessage);
}

using ModuleFunctions = FunctionTable<
    Function<"unpack_parameters", "packet_bytes, offset_bits, recipe", &recipe::unpack_parameters, kind::Bytes,
             kind::U64, kind::Sequence>,
    Function<"pack_parameters", "recipe, values", &recipe::pack_parameters, kind::Sequence, kind::Mapping>,
    // --- decoders ---
    Function<"decode_ones_complement", "value, bits", &decode_ones_complement, kind::U64, kind::U32>,
    Function<"decode_twos_complement", "value, bits", &decode_twos_complement, kind::U64, kind::U32>,
    Function<"decode_sign_magnitude", "value, bits", &decode_sign_magnitude, kind::U64, kind::U32>,
    Function<"decode_unpacked_bcd", "value, bits, signed=False", &decode_unpacked_bcd, kind::U64, kind::U32, kind::Flag>,
    Function<"decode_packed_bcd", "value, bits, signed=False", &decode_packed_bcd, kind::U64, kind::U32, kind::Flag>,
    Function<"decode_ieee754_f16", "value", &decode_ieee754_f16, kind::U64>,
    Function<"decode_ieee754_f32", "value", &decode_ieee754_f32, kind::U64>,
    Function<"decode_ieee754_f64", "value", &decode_ieee754_f64, kind::U64>,
    Function<"decode_ieee754_f128", "value", &decode_ieee754_f128, kind::U128>,
    Function<"decode_ieee754_1985_f32", "_value", &decode_unimplemented<FloatFamily::Ieee754_1985_F32>, kind::U64>,
    Function<"decode_ieee754_1985_f64", "_value", &decode_unimplemented<FloatFamily::Ieee754_1985_F64>, kind::U64>,
    Function<"decode_ieee754_1985_f80", "_value", &decode_unimplemented<FloatFamily::Ieee754_1985_F80>, kind::U64>,
    Function<"decode_mil_std_1750a_f32", "_value", &decode_unimplemented<FloatFamily::MilStd1750aF32>, kind::U64>,
    Function<"decode_mil_std_1750a_f48", "_value", &decode_unimplemented<FloatFamily::MilStd1750aF48>, kind::U64>,
    Function<"decode_dec_f32", "_value", &decode_unimplemented<FloatFamily::DecF32>, kind::U64>,
    Function<"decode_dec_f64", "_value", &decode_unimplemented<FloatFamily::DecF64>, kind::U64>,
    Function<"decode_ibm_f32", "_value", &decode_unimplemented<FloatFamily::IbmF32>, kind::U64>,
    Function<"decode_ibm_f64", "_value", &decode_unimplemented<FloatFamily::IbmF64>, kind::U64>,
    Function<"decode_ti_f32", "_value", &decode_unimplemented<FloatFamily::TiF32>, kind::U64>,
    Function<"decode_ti_f40", "_value", &decode_unimplemented<FloatFamily::TiF40>, kind::U64>,
    Function<"decode_us_ascii", "bytes", &decode_to_str<decode_us_ascii, Verbatim::Ascii>, kind::Bytes>,
    Function<"decode_iso_8859_1", "bytes", &decode_to_str<decode_iso_8859_1, Verbatim::OneByte>, kind::Bytes>,
    Function<"decode_windows_1252", "bytes", &decode_to_str<decode_windows_1252, Verbatim::Ascii>, kind::Bytes>,
    Function<"decode_utf8", "bytes", &decode_to_str<decode_utf8, Verbatim::Ascii>, kind::Bytes>,
    Function<"decode_utf16", "bytes", &decode_to_str<decode_utf16>, kind::Bytes>,
    Function<"decode_utf16le", "bytes", &decode_to_str<decode_utf16le>, kind::Bytes>,
    Function<"decode_utf16be", "bytes", &decode_to_str<decode_utf16be>, kind::Bytes>,
    Function<"decode_utf32", "bytes", &decode_to_str<decode_utf32>, kind::Bytes>,
    Function<"decode_utf32le", "bytes", &decode_to_str<decode_utf32le>, kind::Bytes>,
    Function<"decode_utf32be", "bytes", &decode_to_str<decode_utf32be>, kind::Bytes>,
    // --- encoders ---
    Function<"encode_ones_complement", "value, bits", &encode_ones_complement, kind::I64, kind::U32>,
    Function<"encode_twos_complement", "value, bits", &encode_twos_complement, kind::I64, kind::U32>,
    Function<"encode_sign_magnitude", "value, bits", &encode_sign_magnitude, kind::I64, kind::U32>,
    Function<"encode_unpacked_bcd", "value, bits, signed=False", &encode_unpacked_bcd, kind::I64, kind::U32, kind::Flag>,
    Function<"encode_packed_bcd", "value, bits, signed=False", &encode_packed_bcd, kind::I64, kind::U32, kind::Flag>,
    Function<"encode_ieee754_f16", "value", &encode_ieee754_f16, kind::Single>,
    Function<"encode_ieee754_f32", "value", &encode_ieee754_f32, kind::Single>,
    Function<"encode_ieee754_f64", "value", &encode_ieee754_f64, kind::Double>,
    Function<"encode_ieee754_f128", "_value", &encode_ieee754_f128, kind::Double>,
    Function<"encode_ieee754_1985_f32", "_value", &encode_unimplemented<FloatFamily::Ieee754_1985_F32, float>, kind::Single>,
    Function<"encode_ieee754_1985_f64", "_value", &encode_unimplemented<FloatFamily::Ieee754_1985_F64, double>, kind::Double>,
    Function<"encode_ieee754_1985_f80", "_value", &encode_unimplemented<FloatFamily::Ieee754_1985_F80, double>, kind::Double>,
    Function<"encode_mil_std_1750a_f32", "_value", &encode_unimplemented<FloatFamily::MilStd1750aF32, float>, kind::Single>,
    Function<"encode_mil_std_1750a_f48", "_value", &encode_unimplemented<FloatFamily::MilStd1750aF48, double>, kind::Double>,
    Function<"encode_dec_f32", "_value", &encode_unimplemented<FloatFamily::DecF32, float>, kind::Single>,
    Function<"encode_dec_f64", "_value", &encode_unimplemented<FloatFamily::DecF64, double>, kind::Double>,
    Function<"encode_ibm_f32", "_value", &encode_unimplemented<FloatFamily::IbmF32, float>, kind::Single>,
    Function<"encode_ibm_f64", "_value", &encode_unimplemented<FloatFamily::IbmF64, double>, kind::Double>,
    Function<"encode_ti_f32", "_value", &encode_unimplemented<FloatFamily::TiF32, float>, kind::Single>,
    Function<"encode_ti_f40", "_value", &encode_unimplemented<FloatFamily::TiF40, double>, kind::Double>,
    Function<"encode_us_ascii", "text", &encode_to_bytes<encode_us_ascii, Verbatim::Ascii>, kind::Text>,
    Function<"encode_iso_8859_1", "text", &encode_to_bytes<encode_iso_8859_1, Verbatim::OneByte>, kind::Text>,
    Function<"encode_windows_1252", "text", &encode_to_bytes<encode_windows_1252, Verbatim::Ascii>, kind::Text>,
    Function<"encode_utf8", "text", &encode_to_bytes<encode_utf8, Verbatim::Ascii, encode_utf8_short, kShortUtf8Units, kShortUtf8Room>, kind::Text>,
    Function<"encode_utf16", "text", &encode_to_bytes<encode_utf16>, kind::Text>,
    Function<"encode_utf16le", "text", &encode_to_bytes<encode_utf16le>, kind::Text>,
    Function<"encode_utf16be", "text", &encode_to_bytes<encode_utf16be>, kind::Text>,
    Function<"encode_utf32", "text", &encode_to_bytes<encode_utf32>, kind::Text>,
    Function<"encode_utf32le", "text", &encode_to_bytes<encode_utf32le>, kind::Text>,
    Function<"encode_utf32be", "text", &encode_to_bytes<encode_utf32be>, kind::Text>>;

}  // namespace fieldloom
