// The module's functions, in registration order (the order of __all__).
// Each row: Python name, text signature, operation, one conversion kind per
// parameter. Entry points are generated from the row.
#pragma once

#include "module/function.hpp"

#include "decoder/signed_int.hpp"

namespace fieldloom {

using ModuleFunctions = FunctionTable<
    // --- decoders ---
    Function<"decode_ones_complement", "value, bits", &decode_ones_complement, kind::U64, kind::U32>,
    Function<"decode_twos_complement", "value, bits", &decode_twos_complement, kind::U64, kind::U32>,
    Function<"decode_sign_magnitude", "value, bits", &decode_sign_magnitude, kind::U64, kind::U32>,
    // --- encoders ---
    Function<"encode_ones_complement", "value, bits", &encode_ones_complement, kind::I64, kind::U32>,
    Function<"encode_twos_complement", "value, bits", &encode_twos_complement, kind::I64, kind::U32>,
    Function<"encode_sign_magnitude", "value, bits", &encode_sign_magnitude, kind::I64, kind::U32>>;

}  // namespace fieldloom
