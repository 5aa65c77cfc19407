#include "engine/batch_text.hpp"

#include <cstring>
#include <new>

#include "codecs/utf8.hpp"
#include "engine/unpack.hpp"
#include "python/errors.hpp"
#include "python/text_bridge.hpp"

namespace fieldloom::batch {

namespace {

// The most UTF-8 bytes per field byte: a UTF-16 unit gives at most 3 bytes,
// an ISO-8859-1 byte 2, a Windows-1252 byte 3 (the euro sign).
std::uint64_t utf8_per_byte(Encoding encoding) noexcept {
    switch (encoding) {
        case Encoding::Utf16:
        case Encoding::Utf16Be:
        case Encoding::Utf16Le:
        case Encoding::Iso8859_1:
        case Encoding::Latin1: return 2;
        case Encoding::Windows1252: return 3;
        default: return 1;
    }
}

PyObject* held_array(PyObject* numpy_empty, std::uint64_t size, const char* dtype, PyRef& array, HeldBuffer& held) {
    array = PyRef(PyObject_CallFunction(numpy_empty, "Ks", static_cast<unsigned long long>(size), dtype));
    if (!array || !held.hold(array.get(), PyBUF_WRITABLE)) return nullptr;
    return array.get();
}

}  // namespace

bool Utf8Column::allocate(PyObject* numpy_empty, const CompiledField& field, std::uint64_t count) {
    std::uint64_t bound = 0;
    if (__builtin_mul_overflow(field.bytes.count, utf8_per_byte(field.encoding), &bound) ||
        __builtin_mul_overflow(bound, count, &bound) || bound >= static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return false;
    }
    if (held_array(numpy_empty, count + 1, "i8", offsets_array_, offsets_held_) == nullptr) return false;
    if (held_array(numpy_empty, bound, "u1", data_array_, data_held_) == nullptr) return false;
    offsets = static_cast<std::int64_t*>(offsets_held_.data());
    data = static_cast<std::uint8_t*>(data_held_.data());
    capacity = bound;
    offsets[0] = 0;
    return true;
}

PyObject* Utf8Column::result(std::uint64_t kept) const {
    PyRef head(PySequence_GetSlice(offsets_array_.get(), 0, static_cast<Py_ssize_t>(kept + 1)));
    if (!head) return nullptr;
    return Py_BuildValue("(OOK)", head.get(), data_array_.get(), static_cast<unsigned long long>(offsets[kept]));
}

TextScratch::TextScratch(const CompiledField& field)
    : reversed(field.order == ByteOrder::Little ? field.bytes.count : 0), units(4 * field.bytes.count) {
    reversed.clear();  // keeps its room: the byte-order step assigns into it without allocating
}

TextRun decode_utf8_column(const CompiledField& field, const Packets& packets, std::uint8_t* failed,
                           Utf8Column* column, TextScratch& scratch) noexcept {
    const recipe::FieldBytes bytes = field.bytes;
    const recipe::TextDecodeFn decode = field.unpack->decode_text;
    // Short ASCII is its own UTF-8 in these encodings, as the str path's own
    // shortcut for it assumes: copied without a plan.
    const bool ascii_shortcut = field.unpack->ascii_is_text && bytes.count <= kShortText;
    std::int64_t at = 0;
    try {
        for (std::uint64_t i = 0; i < packets.count; ++i) {
            if (!failed[i]) {
                const std::uint8_t* data = nullptr;
                std::uint64_t length = 0;
                if (!packets.packet(i, data, length) || !bytes.fits(length)) {
                    failed[i] = 1;
                } else {
                    const ByteSpan input = recipe::text_field_bytes(data + bytes.first, bytes.count, field.order,
                                                                    scratch.reversed);
                    if (ascii_shortcut && all_ascii(input.data(), input.size())) {
                        if (column != nullptr) {
                            if (input.size() > column->capacity - static_cast<std::uint64_t>(at)) return TextRun::overflowed;
                            std::memcpy(column->data + at, input.data(), input.size());
                            at += static_cast<std::int64_t>(input.size());
                            column->offsets[i + 1] = at;
                        }
                        continue;
                    }
                    auto plan = decode(input);
                    if (!plan) {
                        failed[i] = 1;
                    } else if (column != nullptr) {
                        std::size_t written = 0;
                        const Fill filled = plan_to_utf8(*plan, column->data + at, column->data + column->capacity,
                                                         scratch.units.data(), written);
                        if (filled != Fill::done) return TextRun::overflowed;
                        at += static_cast<std::int64_t>(written);
                    }
                }
            }
            if (column != nullptr) column->offsets[i + 1] = at;
        }
    } catch (const std::bad_alloc&) {
        return TextRun::no_memory;  // a failure's message could not be made
    }
    return TextRun::done;
}

bool decode_utf8_texts(const std::vector<Utf8Text>& texts, const Packets& packets, std::uint8_t* failed) {
    std::vector<TextScratch> scratch;
    scratch.reserve(texts.size());
    for (const Utf8Text& text : texts) scratch.emplace_back(*text.field);
    TextRun run = TextRun::done;
    Py_BEGIN_ALLOW_THREADS
    for (std::size_t t = 0; t < texts.size() && run == TextRun::done; ++t) {
        run = decode_utf8_column(*texts[t].field, packets, failed, texts[t].column, scratch[t]);
    }
    Py_END_ALLOW_THREADS
    if (run == TextRun::no_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (run == TextRun::overflowed) throw InternalFault("a text column outgrew the UTF-8 size its encoding allows");
    return true;
}

void drop_failed_rows(Utf8Column& column, const std::uint8_t* failed, std::uint64_t count, std::uint64_t from) noexcept {
    std::int64_t* offsets = column.offsets;
    std::int64_t start = offsets[from];
    std::int64_t at = start;
    std::uint64_t to = from;
    for (std::uint64_t i = from; i < count; ++i) {
        const std::int64_t end = offsets[i + 1];
        if (!failed[i]) {
            std::memmove(column.data + at, column.data + start, static_cast<std::size_t>(end - start));
            at += end - start;
            offsets[++to] = at;
        }
        start = end;
    }
}

}  // namespace fieldloom::batch
