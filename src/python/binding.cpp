#include "python/binding.hpp"

#include <string>

#include "python/errors.hpp"

namespace fieldloom {

namespace {

std::string quoted_list(const Signature& signature, const std::size_t* missing, std::size_t count) {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        list += '\'';
        list += signature.parameters[missing[i]];
        list += '\'';
    }
    return list;
}

bool too_many_positional(const Signature& signature, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required == signature.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", signature.name,
                     signature.count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.name, signature.required, signature.count, given, verb);
    }
    return false;
}

// Index of the parameter called `keyword`, or count when there is none.
std::size_t find_parameter(const Signature& signature, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (utf8 == nullptr) {
        // A name that cannot be UTF-8 matches nothing.
        PyErr_Clear();
        return signature.count;
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (signature.parameters[i] == name) return i;
    }
    return signature.count;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    const auto count = static_cast<Py_ssize_t>(signature.count);
    if (nargs > count) return too_many_positional(signature, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            const std::size_t slot = find_parameter(signature, keyword);
            if (slot == signature.count) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name,
                             keyword);
                return false;
            }
            if (slots[slot] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", signature.name,
                             keyword);
                return false;
            }
            slots[slot] = args[nargs + k];
        }
    }

    std::size_t missing[8];
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) missing[missing_count++] = i;
    }
    if (missing_count == 0) return true;
    const std::string list = quoted_list(signature, missing, missing_count);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", signature.name,
                 missing_count, missing_count == 1 ? "" : "s", list.c_str());
    return false;
}

void prefix_type_error(std::string_view parameter) {
    if (is_panic_pending()) {
        // Our own fault type raised by the caller's code: a fault of this call.
        CodecError ignored = capture_python_error();
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef original(value);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyRef text(PyObject_Str(original.get()));
    const std::string name(parameter);
    PyRef message;
    if (text) {
        message = PyRef(PyUnicode_FromFormat("argument '%s': %U", name.c_str(), text.get()));
    } else {
        PyErr_Clear();
        message = PyRef(PyUnicode_FromFormat("argument '%s': <exception str() failed>", name.c_str()));
    }
    if (!message) api_call_failed();
    PyRef prefixed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!prefixed) api_call_failed();
    // The cause travels with the text; the original itself is not chained.
    PyObject* cause = PyException_GetCause(original.get());
    if (cause != nullptr) PyException_SetCause(prefixed.get(), cause);
    PyErr_SetObject(PyExc_TypeError, prefixed.get());
}

}  // namespace fieldloom
