#include "engine/definitions_pack.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "codecs/message.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/buffers.hpp"

namespace fieldloom::defs {

namespace {

bool fail(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
}

// One field's values of one row into the packet at `out`.
Expected<Unit> put_value(const PackField& field, std::uint64_t start, PyObject* value, std::uint8_t* out,
                         std::uint64_t size, std::vector<std::uint8_t>& scratch) {
    if (field.numeric != nullptr) {
        auto raw = field.numeric(value, field.bits);
        if (!raw) return std::move(raw).error();
        recipe::write_bits(out, start, field.bits, field.order, *raw);
        return Unit{};
    }
    if (field.text != nullptr) {
        auto encoded = field.text(value, field.bits);
        if (!encoded) return std::move(encoded).error();
        // Text longer than its field (a byte order mark, say) is cut at the field's end: the
        // bytes after it belong to other entries, whatever order they are written in.
        const std::uint64_t end = std::min<std::uint64_t>(size, (start + field.bits) / 8);
        return recipe::write_encoded(out, end, start, field.bits, false, field.order, *encoded, scratch);
    }
    HeldBuffer bytes;
    if (!bytes.hold(value, PyBUF_SIMPLE)) return capture_python_error();
    const std::uint64_t wanted = field.bits / 8;
    if (bytes.size() != wanted) {
        return CodecError(ErrorKind::ValueError, build_message("a binary field of ", wanted, " bytes needs ", wanted,
                                                               " bytes, not ", bytes.size()));
    }
    if (wanted != 0) std::memcpy(out + start / 8, bytes.data(), static_cast<std::size_t>(wanted));
    return Unit{};
}

Expected<Unit> put_field(const PackField& field, PyObject* value, std::uint8_t* out, std::uint64_t size,
                         std::vector<std::uint8_t>& scratch) {
    if (!field.array) return put_value(field, field.start, value, out, size, scratch);
    if (!PyList_Check(value) || static_cast<std::uint64_t>(PyList_GET_SIZE(value)) != field.count) {
        const std::uint64_t given = PyList_Check(value) ? static_cast<std::uint64_t>(PyList_GET_SIZE(value)) : 1;
        return CodecError(ErrorKind::ValueError,
                          build_message("an array of ", field.count, " elements needs ", field.count, " values, not ",
                                        given));
    }
    for (std::uint64_t k = 0; k < field.count; ++k) {
        // The list is the Python layer's own copy: no code runs that could shrink it.
        PyObject* element = PyList_GET_ITEM(value, static_cast<Py_ssize_t>(k));
        auto put = put_value(field, field.start + k * field.bits, element, out, size, scratch);
        if (!put) return put;
    }
    return Unit{};
}

}  // namespace

bool read_pack_fields(PyObject* placements, std::vector<PackField>& fields) {
    if (!PyList_Check(placements)) return fail("the placements must be a list");
    static PyObject* binary_name = PyUnicode_InternFromString("binary");
    if (binary_name == nullptr) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(placements); ++i) {
        PyObject* item = PyList_GET_ITEM(placements, i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 6 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)))
            return fail("each placement is (name, start, bits, count, encoding, byte_order)");
        PackField field;
        field.name = PyRef::borrow(PyTuple_GET_ITEM(item, 0));
        PyObject* count = PyTuple_GET_ITEM(item, 3);
        field.array = count != Py_None;
        if (!kind::U64::convert(PyTuple_GET_ITEM(item, 1), field.start) ||
            !kind::U32::convert(PyTuple_GET_ITEM(item, 2), field.bits) ||
            (field.array && !kind::U64::convert(count, field.count)))
            return false;
        auto order = recipe::parse_byte_order(PyTuple_GET_ITEM(item, 5));
        if (!order) return kind::fail_with(std::move(order).error());
        field.order = *order;
        PyObject* encoding_name = PyTuple_GET_ITEM(item, 4);
        const int is_binary = PyObject_RichCompareBool(encoding_name, binary_name, Py_EQ);
        if (is_binary < 0) return false;
        field.binary = is_binary == 1;
        if (!field.binary) {
            auto encoding = recipe::resolve_encoding(encoding_name, recipe::Direction::Pack);
            if (!encoding) return kind::fail_with(std::move(encoding).error());
            field.numeric = recipe::numeric_pack_row(*encoding);
            if (field.numeric == nullptr) field.text = recipe::pack_row(*encoding);
            if (field.numeric == nullptr && field.text == nullptr) return fail("an encoding that does not pack");
        }
        // Numeric values span at most 64 bits; text and binary are whole bytes from a byte.
        const bool placed = field.numeric != nullptr ? field.bits >= 1 && field.bits <= 64
                                                     : field.start % 8 == 0 && field.bits % 8 == 0 && !field.array;
        if (!placed) return fail("a field placed where it cannot be");
        fields.push_back(std::move(field));
    }
    return true;
}

PyObject* pack_rows(const std::vector<PackField>& fields, PyObject* columns, std::uint64_t rows, std::uint64_t size,
                    std::int64_t where[2]) {
    if (!PyList_Check(columns) || static_cast<std::size_t>(PyList_GET_SIZE(columns)) != fields.size()) {
        PyErr_SetString(PyExc_TypeError, "columns must be a list with one list per field");
        return nullptr;
    }
    for (std::size_t f = 0; f < fields.size(); ++f) {
        const PackField& field = fields[f];
        std::uint64_t end = 0;
        if (__builtin_mul_overflow(field.array ? field.count : 1, std::uint64_t{field.bits}, &end) ||
            __builtin_add_overflow(end, field.start, &end))
            end = ~std::uint64_t{0};
        PyObject* column = PyList_GET_ITEM(columns, static_cast<Py_ssize_t>(f));
        if (end / 8 + (end % 8 != 0) > size || !PyList_Check(column) ||
            static_cast<std::uint64_t>(PyList_GET_SIZE(column)) != rows) {
            PyErr_SetString(PyExc_ValueError, "a column of the wrong length, or a field past the packet's end");
            return nullptr;
        }
    }
    std::uint8_t* out = nullptr;
    PyRef output = zeroed_packets(rows, size, out);
    if (!output) return nullptr;
    std::vector<std::uint8_t> scratch;
    for (std::uint64_t row = 0; row < rows; ++row) {
        for (std::size_t f = 0; f < fields.size(); ++f) {
            // A reference of our own: an encoder may run Python code.
            PyRef value = PyRef::borrow(PyList_GET_ITEM(PyList_GET_ITEM(columns, static_cast<Py_ssize_t>(f)),
                                                        static_cast<Py_ssize_t>(row)));
            auto put = put_field(fields[f], value.get(), out + row * size, size, scratch);
            if (!put) {
                where[0] = static_cast<std::int64_t>(row);
                where[1] = static_cast<std::int64_t>(f);
                raise_codec_error(wrap_engine_failure(std::move(put).error()));
                return nullptr;
            }
        }
    }
    return output.release();
}

}  // namespace fieldloom::defs
