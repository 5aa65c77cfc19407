#include "engine/batch_decode.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "codecs/message.hpp"
#include "engine/batch_kernels.hpp"
#include "engine/batch_text.hpp"
#include "python/errors.hpp"
#include "python/buffers.hpp"
#include "python/mapping_guard.hpp"

namespace fieldloom::batch {

namespace {

Column unsigned_for(std::uint64_t bits) noexcept {
    return bits <= 8 ? Column::U8 : bits <= 16 ? Column::U16 : bits <= 32 ? Column::U32 : Column::U64;
}
Column signed_for(std::uint64_t bits) noexcept {
    return bits <= 8 ? Column::I8 : bits <= 16 ? Column::I16 : bits <= 32 ? Column::I32 : Column::I64;
}
// Up to `digits` decimal digits: 99 fits 8 bits, 9999 16, 999999999 32.
std::uint64_t bits_for_digits(std::uint64_t digits) noexcept {
    return digits <= 2 ? 8 : digits <= 4 ? 16 : digits <= 9 ? 32 : 64;
}

bool is_text(Encoding encoding) noexcept { return encoding >= Encoding::Utf8; }
bool is_unimplemented(Encoding encoding) noexcept {
    return encoding >= Encoding::Ieee754_1985F32 && encoding <= Encoding::IbmF64;
}

}  // namespace

// The smallest type holding every value the encoding gives at that width.
Column column_of(Encoding encoding, std::uint32_t bits) noexcept {
    const std::uint64_t width = bits;
    const std::uint64_t nibbles = width / 4 < 16 ? width / 4 : 16;
    const std::uint64_t digit_bytes = width / 8 < 8 ? width / 8 : 8;
    switch (encoding) {
        case Encoding::Unsigned: return unsigned_for(width);
        case Encoding::TwosComplement:
        case Encoding::OnesComplement:
        case Encoding::SignMagnitude: return signed_for(width);
        case Encoding::PackedBcd: return unsigned_for(bits_for_digits(nibbles));
        case Encoding::PackedBcdSigned: return signed_for(bits_for_digits(nibbles == 0 ? 0 : nibbles - 1));
        case Encoding::UnpackedBcd: return unsigned_for(bits_for_digits(digit_bytes));
        case Encoding::UnpackedBcdSigned: return signed_for(bits_for_digits(digit_bytes));
        case Encoding::Ieee754F16:
        case Encoding::Ieee754F32: return Column::F32;
        default: return is_text(encoding) ? Column::Object : Column::F64;
    }
}

Convert convert_for(Encoding encoding, Column column, bool check) noexcept {
    return with_rule(encoding, column, [check]<class Rule, class Out>() -> Convert {
        return check ? &check_only<Rule, Out> : &convert<Rule, Out>;
    });
}

namespace {

template <ByteOrder Order>
StridedGather strided_for(std::uint64_t n) noexcept {
    switch (n) {
        case 1: return &gather_strided<1, Order>;
        case 2: return &gather_strided<2, Order>;
        case 3: return &gather_strided<3, Order>;
        case 4: return &gather_strided<4, Order>;
        case 5: return &gather_strided<5, Order>;
        case 6: return &gather_strided<6, Order>;
        case 7: return &gather_strided<7, Order>;
        case 8: return &gather_strided<8, Order>;
        default: return &gather_strided<0, Order>;
    }
}

template <ByteOrder Order>
CheckedGather checked_for(std::uint64_t n) noexcept {
    switch (n) {
        case 1: return &gather_checked<1, Order>;
        case 2: return &gather_checked<2, Order>;
        case 4: return &gather_checked<4, Order>;
        case 8: return &gather_checked<8, Order>;
        default: return &gather_checked<0, Order>;
    }
}

template <ByteOrder Order>
Fused fused_for(Encoding encoding, std::uint64_t n) noexcept {
    switch (encoding) {
        case Encoding::Unsigned:
            switch (n) {
                case 1: return &fused_strided<1, Order, rule::Unsigned, std::uint8_t>;
                case 2: return &fused_strided<2, Order, rule::Unsigned, std::uint16_t>;
                case 4: return &fused_strided<4, Order, rule::Unsigned, std::uint32_t>;
                case 8: return &fused_strided<8, Order, rule::Unsigned, std::uint64_t>;
                default: return nullptr;
            }
        case Encoding::TwosComplement: {
            using Twos = rule::Signed<decode_twos_complement>;
            switch (n) {
                case 1: return &fused_strided<1, Order, Twos, std::int8_t>;
                case 2: return &fused_strided<2, Order, Twos, std::int16_t>;
                case 4: return &fused_strided<4, Order, Twos, std::int32_t>;
                case 8: return &fused_strided<8, Order, Twos, std::int64_t>;
                default: return nullptr;
            }
        }
        case Encoding::Ieee754F32:
            return n == 4 ? &fused_strided<4, Order, rule::Float<decode_ieee754_f32>, float> : nullptr;
        case Encoding::Ieee754F64:
            return n == 8 ? &fused_strided<8, Order, rule::Float<decode_ieee754_f64>, double> : nullptr;
        default: return nullptr;
    }
}

// The one-pass loop of a field that fills its bytes exactly, if it has one.
Fused fused_plan(const CompiledField& field, std::uint64_t n, bool has_column) noexcept {
    if (!has_column || field.reverse_bits || field.bits != 8 * n) return nullptr;
    return field.order == ByteOrder::Big ? fused_for<ByteOrder::Big>(field.encoding, n)
                                         : fused_for<ByteOrder::Little>(field.encoding, n);
}

PyRef checked(PyObject* object) {
    if (object == nullptr) api_call_failed();
    return PyRef(object);
}

bool fail_value(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

}  // namespace

// Checks the packets' places once, before any is read; the kernels check
// them again as they read.
bool check_geometry(const Packets& packets) {
    const std::uint64_t size = packets.size;
    if (packets.starts == nullptr) return true;
    for (std::uint64_t i = 0; i < packets.count; ++i) {
        const std::int64_t start = packets.starts[i];
        if (start < 0 || static_cast<std::uint64_t>(start) > size) {
            return fail_value(build_message("offsets[", i, "] is ", start, ": offsets must lie within the buffer (0 to ",
                                            size, ")"));
        }
        if (packets.lengths != nullptr) {
            const std::int64_t length = packets.lengths[i];
            if (length < 0 || static_cast<std::uint64_t>(length) > size - static_cast<std::uint64_t>(start)) {
                return fail_value(build_message("lengths[", i, "] is ", length, ": the packet at offset ", start,
                                                " must end within the buffer of ", size, " bytes"));
            }
        } else if (i + 1 < packets.count && packets.starts[i + 1] < start) {
            return fail_value(build_message("offsets[", i + 1, "] is ", packets.starts[i + 1], ", before offsets[", i,
                                            "] (", start, "): without lengths each packet runs to the next offset, "
                                            "so offsets must not decrease"));
        }
    }
    return true;
}

namespace {

struct ColumnBuffer {
    PyRef array;
    HeldBuffer held;
    Column type = Column::U8;
    bool utf8 = false;  // a text column of UTF-8 bytes in `text`, not str objects in `array`
    Utf8Column text;
};

struct TextPlan {
    const CompiledField* field;
    PyObject** column;  // nullptr: only checked
    Utf8Column* utf8;   // instead of `column` when text is kept as UTF-8 bytes
};

void decode_numeric(const std::vector<NumericPlan>& plans, const Packets& packets, std::uint64_t lo,
                    std::uint64_t hi, std::uint8_t* failed) noexcept {
    // A chunk of packets through every field, so the chunk's bytes stay in cache.
    constexpr std::uint64_t kBlock = kChunk * 8;
    for (std::uint64_t at = lo; at < hi; at += kBlock) {
        const std::uint64_t end = hi - at < kBlock ? hi : at + kBlock;
        for (const NumericPlan& plan : plans) run_numeric(plan, packets, at, end, failed);
    }
}

void decode_in_threads(const std::vector<NumericPlan>& plans, const Packets& packets, std::uint64_t threads,
                       std::uint8_t* failed) {
    in_threads(packets.count, kChunk, threads, [&](std::uint64_t lo, std::uint64_t hi) {
        decode_numeric(plans, packets, lo, hi, failed);
    });
}

// The exception a CodecError stands for, taken out of the error indicator.
PyRef exception_of(CodecError error) {
    raise_codec_error(std::move(error));
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (value == nullptr) throw InternalFault("a failure without an exception");
    return PyRef(value);
}

// Raises `exception` with a note saying where it happened.
PyObject* raise_with_note(PyRef exception, PyRef note) {
    PyRef added(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
    if (!added) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return nullptr;
}

// The per-packet path on packet i: what unpack_parameters raises for it;
// empty with ValueError set when the packet no longer fails.
PyRef packet_error(const CompiledLayout& layout, const Packets& packets, std::uint64_t i) {
    const std::uint8_t* data = nullptr;
    std::uint64_t length = 0;
    if (!packets.packet(i, data, length)) {
        PyErr_Format(PyExc_ValueError, "packet %llu no longer lies within the buffer: its offsets changed",
                     static_cast<unsigned long long>(i));
        CodecError error = capture_python_error();
        return exception_of(std::move(error));
    }
    auto result = layout.unpack(ByteSpan(data, length), 0);
    if (result) {
        // It failed while the lock was released and decodes now: something
        // wrote to the buffer meanwhile, so neither answer can be trusted.
        PyErr_Format(PyExc_ValueError, "packet %llu at byte offset %llu changed while it was decoded",
                     static_cast<unsigned long long>(i), static_cast<unsigned long long>(packets.offset(i)));
        return PyRef();
    }
    return exception_of(wrap_engine_failure(std::move(result).error()));
}

}  // namespace

// A 1-D int64 array handed over by the Python layer.
bool hold_index_array(PyObject* array, HeldBuffer& held, const char* what) {
    if (!held.hold(array, PyBUF_ND | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) return false;
    const Py_buffer& view = held.view();
    const std::string_view format = view.format != nullptr ? view.format : "B";
    if (view.ndim != 1 || view.itemsize != 8 || (format != "q" && format != "l" && format != "=q" && format != "<q")) {
        PyErr_Format(PyExc_TypeError, "%s must be a one-dimensional int64 array", what);
        return false;
    }
    return true;
}

void drop_rows(void* column, std::uint64_t row_bytes, bool objects, const std::uint8_t* failed, std::uint64_t first,
               std::uint64_t count) noexcept {
    auto* data = static_cast<std::uint8_t*>(column);
    auto** slots = static_cast<PyObject**>(column);
    std::uint64_t to = first;
    for (std::uint64_t i = first; i < count; ++i) {
        if (failed[i]) {
            if (objects) Py_SETREF(slots[i], Py_NewRef(Py_None));
            continue;
        }
        if (objects) {
            std::swap(slots[to], slots[i]);
        } else {
            std::memcpy(data + to * row_bytes, data + i * row_bytes, static_cast<std::size_t>(row_bytes));
        }
        ++to;
    }
}

const char* column_dtype(Encoding encoding, std::uint32_t bits) noexcept {
    return kDtypeCodes[static_cast<std::size_t>(column_of(encoding, bits))];
}

namespace {

PyObject* decode_held(const CompiledLayout& layout, const Recording& recording, const HeldBuffer& buffer) {
    HeldBuffer offsets;
    HeldBuffer lengths;
    Packets packets;
    packets.base = static_cast<const std::uint8_t*>(buffer.data());
    packets.size = buffer.size();
    if (recording.offsets != nullptr) {
        if (!hold_index_array(recording.offsets, offsets, "offsets")) return nullptr;
        packets.starts = static_cast<const std::int64_t*>(offsets.data());
        packets.count = offsets.size() / 8;
        if (recording.lengths != nullptr) {
            if (!hold_index_array(recording.lengths, lengths, "lengths")) return nullptr;
            if (lengths.size() != offsets.size()) {
                PyErr_Format(PyExc_ValueError, "lengths has %llu items but offsets has %llu",
                             static_cast<unsigned long long>(lengths.size() / 8),
                             static_cast<unsigned long long>(packets.count));
                return nullptr;
            }
            packets.lengths = static_cast<const std::int64_t*>(lengths.data());
        }
        if (recording.has_count && recording.count != packets.count) {
            PyErr_Format(PyExc_ValueError, "count is %llu but offsets lists %llu packets",
                         static_cast<unsigned long long>(recording.count),
                         static_cast<unsigned long long>(packets.count));
            return nullptr;
        }
    } else {
        if (recording.stride == 0) {
            PyErr_SetString(PyExc_ValueError, "stride must be a positive number of bytes");
            return nullptr;
        }
        packets.stride = recording.stride;
        // A shorter last packet is still a packet: it decodes or fails as itself.
        const std::uint64_t held = packets.size / packets.stride + (packets.size % packets.stride != 0);
        packets.count = recording.has_count ? recording.count : held;
        if (packets.count > held) {
            PyErr_Format(PyExc_ValueError,
                         "count is %llu but a buffer of %llu bytes holds only %llu packets at stride %llu",
                         static_cast<unsigned long long>(packets.count), static_cast<unsigned long long>(packets.size),
                         static_cast<unsigned long long>(held), static_cast<unsigned long long>(packets.stride));
            return nullptr;
        }
    }
    if (!check_geometry(packets)) return nullptr;
    const std::uint64_t count = packets.count;

    // One byte per packet: whether it failed.
    std::unique_ptr<std::uint8_t[]> failed(new (std::nothrow) std::uint8_t[count == 0 ? 1 : count]());
    if (!failed) return PyErr_NoMemory();

    PyRef numpy = PyRef(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    PyRef empty(PyObject_GetAttrString(numpy.get(), "empty"));
    if (!empty) return nullptr;
    const auto& fields = layout.fields();
    const auto& names = layout.column_names();
    std::vector<ColumnBuffer> columns(names.size());
    for (const CompiledField& field : fields) {
        if (field.column < 0) continue;
        ColumnBuffer& column = columns[static_cast<std::size_t>(field.column)];
        column.type = column_of(field.encoding, field.bits);
        if (recording.utf8_text && is_text(field.encoding)) {
            column.utf8 = true;
            if (!column.text.allocate(empty.get(), field, count)) return nullptr;
            continue;
        }
        column.array = PyRef(PyObject_CallFunction(empty.get(), "Ks", static_cast<unsigned long long>(count),
                                                   kDtypeCodes[static_cast<std::size_t>(column.type)]));
        if (!column.array) return nullptr;
        if (!column.held.hold(column.array.get(), PyBUF_WRITABLE)) return nullptr;
    }

    std::vector<NumericPlan> numeric;
    std::vector<TextPlan> texts;
    for (const CompiledField& field : fields) {
        ColumnBuffer* buffer = field.column < 0 ? nullptr : &columns[static_cast<std::size_t>(field.column)];
        void* column = buffer == nullptr || buffer->utf8 ? nullptr : buffer->held.data();
        if (is_text(field.encoding)) {
            texts.push_back({&field, static_cast<PyObject**>(column), buffer == nullptr ? nullptr : &buffer->text});
            continue;
        }
        NumericPlan plan;
        const recipe::FieldBytes bytes = field.bytes;
        plan.first = bytes.first;
        plan.count = bytes.count;
        plan.bits = field.bits;
        plan.reverse_bits = field.reverse_bits;
        plan.always_fails = is_unimplemented(field.encoding) || (field.encoding == Encoding::Ieee754F128 && field.bits > 64);
        const bool big = field.order == ByteOrder::Big;
        plan.strided = big ? strided_for<ByteOrder::Big>(bytes.count) : strided_for<ByteOrder::Little>(bytes.count);
        plan.checked = big ? checked_for<ByteOrder::Big>(bytes.count) : checked_for<ByteOrder::Little>(bytes.count);
        plan.convert = convert_for(field.encoding, column_of(field.encoding, field.bits), column == nullptr);
        plan.fused = fused_plan(field, bytes.count, column != nullptr);
        plan.column = column;
        numeric.push_back(plan);
    }

    if (!numeric.empty() && count != 0) {
        Py_BEGIN_ALLOW_THREADS
        decode_in_threads(numeric, packets, recording.threads, failed.get());
        Py_END_ALLOW_THREADS
    }

    if (recording.utf8_text) {
        std::vector<Utf8Text> utf8;
        for (const TextPlan& text : texts) utf8.push_back({text.field, text.utf8});
        if (!decode_utf8_texts(utf8, packets, failed.get())) return nullptr;
        texts.clear();
    }
    // Text as str needs the interpreter: each value is a new str.
    std::vector<std::uint8_t> reversed;
    for (const TextPlan& text : texts) {
        const CompiledField& field = *text.field;
        const recipe::FieldBytes bytes = field.bytes;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (failed[i]) continue;
            const std::uint8_t* data = nullptr;
            std::uint64_t length = 0;
            if (!packets.packet(i, data, length) || !bytes.fits(length)) {
                failed[i] = 1;
                continue;
            }
            auto value = recipe::field_value(data + bytes.first, bytes.count, field.order, field.bits,
                                             field.reverse_bits, *field.unpack, reversed);
            if (!value) {
                failed[i] = 1;
                continue;
            }
            if (text.column != nullptr) Py_SETREF(text.column[i], value->release());
        }
    }

    const void* first_flag = count == 0 ? nullptr : std::memchr(failed.get(), 1, static_cast<std::size_t>(count));
    const std::uint64_t first_failed =
        first_flag == nullptr ? count : static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(first_flag) - failed.get());
    if (!recording.skip && first_failed != count) {
        PyRef error = packet_error(layout, packets, first_failed);
        if (!error) return nullptr;
        PyRef note = checked(PyUnicode_FromFormat("packet %llu at byte offset %llu",
                                                  static_cast<unsigned long long>(first_failed),
                                                  static_cast<unsigned long long>(packets.offset(first_failed))));
        return raise_with_note(std::move(error), std::move(note));
    }

    PyRef refused = checked(PyList_New(0));
    std::uint64_t kept = count;
    if (first_failed != count) {
        // Refused packets, then the kept rows moved down over them.
        kept = first_failed;
        for (std::uint64_t i = first_failed; i < count; ++i) {
            if (!failed[i]) continue;
            PyRef error = packet_error(layout, packets, i);
            if (!error) return nullptr;
            PyRef entry = checked(Py_BuildValue("(KKO)", static_cast<unsigned long long>(i),
                                                static_cast<unsigned long long>(packets.offset(i)), error.get()));
            if (PyList_Append(refused.get(), entry.get()) < 0) api_call_failed();
        }
        for (ColumnBuffer& column : columns) {
            if (column.utf8) {
                drop_failed_rows(column.text, failed.get(), count, first_failed);
                continue;
            }
            drop_rows(column.held.data(), static_cast<std::uint64_t>(column.held.view().itemsize),
                      column.type == Column::Object, failed.get(), first_failed, count);
        }
        for (std::uint64_t i = first_failed; i < count; ++i) kept += failed[i] ? 0 : 1;
    }

    PyRef result = checked(PyDict_New());
    for (std::size_t c = 0; c < columns.size(); ++c) {
        PyRef array = columns[c].utf8   ? PyRef(columns[c].text.result(kept))
                      : kept == count ? PyRef::borrow(columns[c].array.get())
                                    : PyRef(PySequence_GetSlice(columns[c].array.get(), 0, static_cast<Py_ssize_t>(kept)));
        if (!array) return nullptr;
        if (PyDict_SetItem(result.get(), names[c], array.get()) < 0) return nullptr;
    }
    if (!recording.skip) return result.release();

    PyRef index(PyObject_CallFunction(empty.get(), "Ks", static_cast<unsigned long long>(kept), "i8"));
    if (!index) return nullptr;
    {
        HeldBuffer held;
        if (!held.hold(index.get(), PyBUF_WRITABLE)) return nullptr;
        auto* out = static_cast<std::int64_t*>(held.data());
        std::uint64_t row = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (!failed[i]) out[row++] = static_cast<std::int64_t>(i);
        }
    }
    return Py_BuildValue("(OOO)", result.get(), index.get(), refused.get());
}

}  // namespace

PyObject* unpack_many(const CompiledLayout& layout, const Recording& recording) {
    HeldBuffer buffer;
    if (!buffer.hold(recording.buffer, PyBUF_SIMPLE)) return nullptr;
    const mapping::ReadCheck whole(buffer.data(), static_cast<std::size_t>(buffer.size()));
    PyObject* result = decode_held(layout, recording, buffer);
    if (whole.passed()) return result;
    // What was decoded or refused came from bytes the file no longer has;
    // the OSError replaces any other error.
    Py_XDECREF(result);
    return nullptr;
}

PyObject* pack_many(const CompiledLayout& layout, PyObject* columns, std::uint64_t count, std::uint64_t stride) {
    const auto& fields = layout.fields();
    if (!PyList_CheckExact(columns) || static_cast<std::size_t>(PyList_GET_SIZE(columns)) != fields.size()) {
        PyErr_SetString(PyExc_TypeError, "columns must be a list with one item per field");
        return nullptr;
    }
    if (stride < layout.packet_size()) {
        PyErr_Format(PyExc_ValueError, "stride %llu is shorter than the %llu bytes a packet of this layout needs",
                     static_cast<unsigned long long>(stride), static_cast<unsigned long long>(layout.packet_size()));
        return nullptr;
    }
    // No rows are no packets, however large one would be.
    if (count == 0) return PyBytes_FromStringAndSize(nullptr, 0);
    if (layout.pack_impossible()) return PyErr_NoMemory();
    std::uint8_t* out = nullptr;
    PyRef output = zeroed_packets(count, stride, out);
    if (!output) return nullptr;
    std::vector<std::uint8_t> scratch;
    for (std::uint64_t row = 0; row < count; ++row) {
        auto value_of = [&](std::size_t i) -> PyObject* {
            PyObject* column = PyList_GET_ITEM(columns, static_cast<Py_ssize_t>(i));
            if (column == Py_None) return nullptr;
            return PySequence_GetItem(column, static_cast<Py_ssize_t>(row));
        };
        auto packed = layout.pack_into(out + row * stride, value_of, scratch);
        if (!packed) {
            PyRef error = exception_of(wrap_engine_failure(std::move(packed).error()));
            PyRef note = checked(PyUnicode_FromFormat("row %llu", static_cast<unsigned long long>(row)));
            return raise_with_note(std::move(error), std::move(note));
        }
    }
    return output.release();
}

}  // namespace fieldloom::batch
