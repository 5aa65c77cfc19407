// Materialises planned text results: the str or bytes object is allocated at
// its final size and width, and the codec writes straight into it.
//
// Encoders see a str's storage without a prior search for lone surrogates.
// A str holding one must still fail exactly as the interpreter's UTF-8
// conversion makes it fail, before any codec error, so the failure paths
// here look for one and raise that instead.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <type_traits>
#include <utility>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"

namespace fieldloom {

// A codec's measuring and writing passes disagreed: nothing it wrote is
// handed out.
[[noreturn]] inline void text_miscounted() {
    throw InternalFault("a text codec wrote a different size than it measured");
}

// New reference, or nullptr with MemoryError set.
inline PyObject* text_plan_to_str(const TextPlan& plan) {
    PyRef text(PyUnicode_New(static_cast<Py_ssize_t>(plan.length), static_cast<Py_UCS4>(plan.max_char)));
    if (!text) return nullptr;
    if (plan.length != 0) {
        const auto width = static_cast<unsigned>(PyUnicode_KIND(text.get()));
        auto* out = static_cast<std::uint8_t*>(PyUnicode_DATA(text.get()));
        if (plan.fill(plan, out, out + plan.length * width, width) != Fill::done) text_miscounted();
    }
    return text.release();
}

// Writes the planned bytes into `size` bytes at `out`; false when the text
// holds a surrogate (the bytes are then garbage).
inline bool fill_bytes(const BytesPlan& plan, std::uint8_t* out) {
    switch (plan.fill(plan, out, out + plan.size)) {
    case Fill::done:
        return true;
    case Fill::surrogate:
        return false;
    case Fill::miscount:
        break;
    }
    text_miscounted();
}

// The interpreter's UnicodeEncodeError for a text holding a lone surrogate.
inline CodecError surrogate_error(const TextView& text) {
    if (!kind::check_encodable(kind::origin_of(text))) return capture_python_error();
    throw InternalFault("an encoder met a surrogate in a text that holds none");
}

// An encoder's failure, unless the text holds a lone surrogate: that fails
// first, as it did when the text was converted.
inline CodecError encoder_error(const TextView& text, CodecError error) {
    if (kind::holds_lone_surrogate(text)) return surrogate_error(text);
    return error;
}

// Runs a text encoder with the boundary's failure order.
template <auto Encode>
Expected<BytesPlan> encode_text(TextView text) {
    if constexpr (std::is_same_v<decltype(Encode(text)), BytesPlan>) {
        return Encode(text);
    } else {
        Expected<BytesPlan> plan = Encode(text);
        if (!plan) return encoder_error(text, std::move(plan).error());
        return plan;
    }
}

// The planned bytes as a bytes object; a surrogate met while writing them
// discards the object and raises the interpreter's error.
inline Expected<PyRef> bytes_plan_to_bytes(const BytesPlan& plan) {
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.size)));
    if (!bytes) api_call_failed();
    if (plan.size != 0 && !fill_bytes(plan, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()))))
        return surrogate_error(plan.text);
    return bytes;
}

}  // namespace fieldloom
