#include "python/errors.hpp"

#include "python/lifetime.hpp"

#include <cstdio>
#include <cstdlib>

namespace fieldloom {

void release_captured(CapturedException* captured) noexcept {
    Py_XDECREF(captured->type);
    Py_XDECREF(captured->value);
    Py_XDECREF(captured->traceback);
    delete captured;
}

namespace {

constexpr const char kPanicDoc[] =
    "Signals an internal failure of fieldloom: a broken assumption inside the "
    "module, not bad input. Like SystemExit it derives from BaseException, so "
    "`except Exception` does not catch it and it normally propagates to the top.";

constexpr const char kDefaultFaultMessage[] = "internal fault in fieldloom's native code";

// Created on first need and kept for the life of the interpreter.
InterpreterObject g_panic_type;

PyObject* panic_type() {
    if (g_panic_type) return g_panic_type.get();
    PyObject* created = PyErr_NewExceptionWithDoc("fieldloom_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    // Creating a class may run Python code and so let another thread in; the
    // first type stored wins and the other is dropped, so there is only one.
    if (!g_panic_type) {
        g_panic_type.set(created);
    } else {
        Py_DECREF(created);
    }
    return g_panic_type.get();
}

PyObject* class_for(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::KeyError: return PyExc_KeyError;
        case ErrorKind::ValueError: return PyExc_ValueError;
        case ErrorKind::NotImplementedError: return PyExc_NotImplementedError;
        case ErrorKind::TypeError: return PyExc_TypeError;
        case ErrorKind::OverflowError: return PyExc_OverflowError;
        case ErrorKind::SystemError: return PyExc_SystemError;
        case ErrorKind::Captured: break;
    }
    throw InternalFault("error kind without a Python class");
}

PyRef message_object(const std::string& message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text == nullptr) api_call_failed();
    return PyRef(text);
}

// The exception object a CodecError stands for, made but not raised.
PyRef exception_object(CodecError error) {
    if (error.kind() == ErrorKind::Captured) {
        CapturedException* captured = error.take_captured();
        PyObject* type = captured->type;
        PyObject* value = captured->value;
        PyObject* traceback = captured->traceback;
        captured->type = captured->value = captured->traceback = nullptr;
        release_captured(captured);
        PyErr_NormalizeException(&type, &value, &traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        if (value == nullptr) throw InternalFault("captured exception without a value");
        return PyRef(value);
    }
    PyRef text = message_object(error.message());
    PyObject* exception = PyObject_CallOneArg(class_for(error.kind()), text.get());
    if (exception == nullptr) api_call_failed();
    return PyRef(exception);
}

}  // namespace

[[noreturn]] void abort_uncaught_panic() noexcept {
    std::fputs("fieldloom: uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

void api_call_failed() {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    throw InternalFault("Python API call failed");
}

PyObject* raise_internal_fault(const char* message) noexcept {
    try {
        PyObject* type = panic_type();
        if (type == nullptr) abort_uncaught_panic();
        PyErr_SetString(type, message != nullptr ? message : kDefaultFaultMessage);
        return nullptr;
    } catch (...) {
        abort_uncaught_panic();
    }
}

bool is_panic_pending() noexcept {
    // The type itself only: a subclass is the caller's own exception.
    return g_panic_type && PyErr_Occurred() == g_panic_type.get();
}

CodecError capture_python_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return {ErrorKind::SystemError, "attempted to fetch exception but none was set"};
    }
    if (g_panic_type && type == g_panic_type.get()) {
        // Python code we called raised our own fault type: say so, then treat
        // it as a fault of this call.
        PyErr_NormalizeException(&type, &value, &traceback);
        std::string message = "Unwrapped panic from Python code";
        if (PyObject* text = PyObject_Str(value)) {
            Py_ssize_t size = 0;
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) message.assign(utf8, static_cast<std::size_t>(size));
            Py_DECREF(text);
        }
        PyErr_Clear();
        PySys_WriteStderr("fieldloom: Python code raised fieldloom_runtime.PanicException\n");
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        throw InternalFault(std::move(message));
    }
    return CodecError(new CapturedException{type, value, traceback});
}

void raise_codec_error(CodecError error) {
    if (error.kind() == ErrorKind::Captured) {
        CapturedException* captured = error.take_captured();
        PyErr_Restore(captured->type, captured->value, captured->traceback);
        captured->type = captured->value = captured->traceback = nullptr;
        release_captured(captured);
        return;
    }
    PyRef text = message_object(error.message());
    PyErr_SetObject(class_for(error.kind()), text.get());
}

CodecError wrap_engine_failure(CodecError error) {
    PyRef exception = exception_object(std::move(error));
    PyRef qualname(PyType_GetQualName(Py_TYPE(exception.get())));
    if (!qualname) throw InternalFault("could not read the qualified name of an exception type");
    PyRef text(PyObject_Str(exception.get()));
    PyRef wrapped;
    if (text) {
        wrapped = PyRef(PyUnicode_FromFormat("%U: %U", qualname.get(), text.get()));
    } else {
        PyErr_Clear();
        wrapped = PyRef(PyUnicode_FromFormat("%U: <exception str() failed>", qualname.get()));
    }
    if (!wrapped) api_call_failed();
    // Built as an interpreter object: the texts may hold any code point.
    PyObject* value = PyObject_CallOneArg(PyExc_ValueError, wrapped.get());
    if (value == nullptr) api_call_failed();
    Py_INCREF(PyExc_ValueError);
    return CodecError(new CapturedException{PyExc_ValueError, value, nullptr});
}

std::string type_qualname(PyObject* object) {
    PyRef qualname(PyType_GetQualName(Py_TYPE(object)));
    if (qualname) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

CodecError cast_error(PyObject* object, std::string_view required_type) {
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be cast as '";
    message += required_type;
    message += "'";
    return {ErrorKind::TypeError, std::move(message)};
}

}  // namespace fieldloom
