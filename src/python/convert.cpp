#include "python/convert.hpp"

#include <algorithm>
#include <cstring>

namespace fieldloom::kind {

namespace {

bool text_equals(PyObject* text, std::string_view expected) {
    if (text == nullptr || !PyUnicode_Check(text)) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size)) == expected;
}

// NumPy's boolean scalar type, recognised by name so that NumPy need not be
// imported (or even installed) for ordinary calls.
bool is_numpy_bool_type(PyTypeObject* type) {
    PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!text_equals(module.get(), "numpy")) return false;
    PyRef name(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return text_equals(name.get(), "bool_") || text_equals(name.get(), "bool");
}

template <class Unit>
bool has_surrogate(const void* data, std::size_t length) {
    const Unit* units = static_cast<const Unit*>(data);
    // Branch-free accumulation so the loop vectorises; text is usually clean.
    unsigned found = 0;
    for (std::size_t i = 0; i < length; ++i) found |= static_cast<unsigned>((units[i] & ~Unit{0x7FF}) == 0xD800);
    return found != 0;
}

}  // namespace

bool U64::convert_other(PyObject* object, type& out) {
    static_assert(sizeof(unsigned long) == sizeof(type));
    if (PyLong_Check(object)) {
        std::uint64_t magnitude = 0;
        bool negative = false;
        if (compat::int_magnitude(object, magnitude, negative) && !negative) {
            out = magnitude;
            return true;
        }
        // Walks the digits, where the 64-bit conversion goes through a byte array.
        out = PyLong_AsUnsignedLong(object);
        if (out != static_cast<type>(-1) || PyErr_Occurred() == nullptr) return true;
        PyErr_Clear();
        out = PyLong_AsUnsignedLongLong(object);
    } else {
        PyObject* index = PyNumber_Index(object);
        if (index == nullptr) return false;
        out = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    return !(out == static_cast<type>(-1) && PyErr_Occurred() != nullptr);
}

bool I64::convert_other(PyObject* object, type& out) {
    static_assert(sizeof(long) == sizeof(type));
    if (PyLong_Check(object)) {
        std::uint64_t magnitude = 0;
        bool negative = false;
        constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
        if (compat::int_magnitude(object, magnitude, negative) && magnitude < kLimit + negative) {
            out = negative ? static_cast<type>(std::uint64_t{0} - magnitude) : static_cast<type>(magnitude);
            return true;
        }
        out = PyLong_AsLong(object);
        if (out != -1 || PyErr_Occurred() == nullptr) return true;
        PyErr_Clear();
    }
    out = PyLong_AsLongLong(object);
    return !(out == -1 && PyErr_Occurred() != nullptr);
}

bool U32::convert_other(PyObject* object, type& out) {
    std::uint64_t wide = 0;
    if (!U64::convert_other(object, wide)) return false;
    if (wide > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<type>(wide);
    return true;
}

bool Flag::convert_other(PyObject* object, type& out) {
    PyTypeObject* type = Py_TYPE(object);
    if (is_numpy_bool_type(type)) {
        if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
            PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                         type->tp_name);
            return false;
        }
        int truth = type->tp_as_number->nb_bool(object);
        if (truth < 0) return false;
        out = truth != 0;
        return true;
    }
    return fail_with(cast_error(object, "bool"));
}

bool holds_lone_surrogate(PyObject* text) noexcept {
    const void* data = PyUnicode_DATA(text);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_2BYTE_KIND: return has_surrogate<Py_UCS2>(data, length);
        case PyUnicode_4BYTE_KIND: return has_surrogate<Py_UCS4>(data, length);
        default: return false;
    }
}

bool check_encodable(PyObject* text) {
    if (!holds_lone_surrogate(text)) return true;
    // Let the interpreter's UTF-8 conversion raise its own error.
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(text, &size) != nullptr) return true;
    return false;
}

bool Sequence::convert(PyObject* object, type& out) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    // Lists and tuples cannot run Python code while we copy them.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        out.assign_borrowed(PySequence_Fast_ITEMS(object), static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
        return true;
    }
    if (!PySequence_Check(object)) return fail_with(cast_error(object, "Sequence"));
    Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    // A length is only a hint: a sequence may claim any size it likes.
    out.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), 1u << 16));
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyObject* item = PyIter_Next(iterator.get())) out.push_owned(item);
    return PyErr_Occurred() == nullptr;
}

}  // namespace fieldloom::kind
