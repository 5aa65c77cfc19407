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
#include <cstring>
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
Expected<BytesPlan> encode_text(const TextView& text) {
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

// Which texts an encoder writes unchanged: those whose storage already is
// the encoded bytes.
enum class Verbatim : std::uint8_t {
    Never,
    Ascii,    // ASCII text (UTF-8, US-ASCII, Windows-1252)
    OneByte,  // any text stored one byte per code point (ISO-8859-1)
};

constexpr bool is_verbatim(const TextView& text, Verbatim verbatim) noexcept {
    return verbatim == Verbatim::Ascii ? text.ascii : verbatim == Verbatim::OneByte && text.width == 1;
}

template <auto Encode>
[[gnu::noinline]] Expected<PyRef> planned_bytes(const TextView& text) {
    Expected<BytesPlan> plan = encode_text<Encode>(text);
    if (!plan) return std::move(plan).error();
    return bytes_plan_to_bytes(*plan);
}

// A module text encoder: a text that is its own encoding is one allocation
// and one copy, as the interpreter's own fast paths are; any other goes
// through the codec's plan.
//
// `Short` (optional) encodes a text of at most `ShortUnits` code points in
// one pass into a buffer of `ShortRoom` bytes, returning 0 when it declines.
template <auto Encode, Verbatim V = Verbatim::Never, auto Short = nullptr, std::size_t ShortUnits = 0,
          std::size_t ShortRoom = 0>
Expected<PyRef> encode_to_bytes(const TextView& text) {
    const auto bytes_of = [](const void* data, std::size_t size) {
        PyObject* bytes = PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
        if (bytes == nullptr) api_call_failed();
        return PyRef(bytes);
    };
    if (is_verbatim(text, V)) return bytes_of(text.data, text.length);
    if constexpr (ShortUnits != 0) {
        if (text.length <= ShortUnits) {
            std::uint8_t buffer[ShortRoom];
            if (const std::size_t size = Short(text, buffer); size != 0) return bytes_of(buffer, size);
        }
    }
    return planned_bytes<Encode>(text);
}

// Inputs up to this size that may be their own text are checked before the
// codec; longer ones go to the codec's vector scan directly.
inline constexpr std::size_t kShortText = 256;

inline bool all_ascii(const std::uint8_t* data, std::size_t size) noexcept {
    std::uint64_t seen = 0;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        seen |= word;
    }
    for (; i < size; ++i) seen |= data[i];
    return (seen & 0x8080808080808080ULL) == 0;
}

// Bytes that are their own code points as a new str of the given maximum.
inline PyObject* one_byte_str(const std::uint8_t* data, std::size_t size, Py_UCS4 max_char) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), max_char);
    if (text == nullptr) api_call_failed();
    std::memcpy(PyUnicode_DATA(text), data, size);
    return text;
}

template <auto Decode>
[[gnu::noinline]] Expected<PyRef> planned_str(ByteSpan bytes) {
    Expected<TextPlan> plan = Decode(bytes);
    if (!plan) return std::move(plan).error();
    PyObject* text = text_plan_to_str(*plan);
    if (text == nullptr) api_call_failed();
    return PyRef(text);
}

// A module text decoder: short input whose bytes are its code points (`V`)
// is one allocation and one copy, as the interpreter's own fast paths are;
// any other goes through the codec's plan.
template <auto Decode, Verbatim V = Verbatim::Never>
Expected<PyRef> decode_to_str(ByteSpan bytes) {
    if (V != Verbatim::Never && bytes.size() <= kShortText) {
        // A short input is scanned twice (in cache) rather than allocated twice.
        const bool ascii = all_ascii(bytes.data(), bytes.size());
        if (ascii || V == Verbatim::OneByte) return PyRef(one_byte_str(bytes.data(), bytes.size(), ascii ? 0x7F : 0xFF));
    }
    return planned_str<Decode>(bytes);
}

}  // namespace fieldloom
