// How failures leave the module: a CodecError becomes exactly one Python
// exception, engine failures of the recipe functions are wrapped into a
// ValueError, and broken internal assumptions become the internal fault type.
#pragma once

#include "python/python.hpp"

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "codecs/codec_error.hpp"

namespace fieldloom {

// A broken internal assumption. Thrown inside the module, caught once at the
// function entry and raised as fieldloom_runtime.PanicException.
class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// An interpreter call that should not fail did (it only does when memory runs
// out): report what the interpreter said and end the call as an internal fault.
[[noreturn]] void api_call_failed();

// The pending exception as a CodecError. Raises InternalFault when Python code
// raised the internal fault type itself.
CodecError capture_python_error();

// Whether the pending exception is the internal fault type itself.
bool is_panic_pending() noexcept;

// Puts the failure into the interpreter's error indicator.
void raise_codec_error(CodecError error);

// The form in which the recipe functions report their engine's failures.
CodecError wrap_engine_failure(CodecError error);

// "'X' object cannot be cast as 'Y'".
CodecError cast_error(PyObject* object, std::string_view required_type);

// `__qualname__` of the object's type as UTF-8, or the stand-in text.
std::string type_qualname(PyObject* object);

// Raises the internal fault type with `message` (nullptr: the fixed text).
// Aborts the process when even that fails.
PyObject* raise_internal_fault(const char* message) noexcept;

[[noreturn]] void abort_uncaught_panic() noexcept;

// Runs one function entry: every C++ exception that escapes `body` becomes
// the internal fault type.
template <class Body>
[[gnu::always_inline]] inline PyObject* guarded_entry(Body&& body) noexcept {
    try {
        try {
            return body();
        } catch (const std::exception& fault) {
            return raise_internal_fault(fault.what());
        } catch (...) {
            return raise_internal_fault(nullptr);
        }
    } catch (...) {
        abort_uncaught_panic();
    }
}

// Owned interpreter exception, defined here because only the boundary and the
// recipe engine ever see one.
struct CapturedException {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

}  // namespace fieldloom
