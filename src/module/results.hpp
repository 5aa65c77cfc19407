// Result conversion: a plain result becomes a new Python object; a CodecError
// is raised. Creating the object only fails when memory runs out, which is an
// internal fault.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <type_traits>

#include "codecs/codec_error.hpp"
#include "codecs/text_plan.hpp"
#include "python/errors.hpp"
#include "python/text_bridge.hpp"

namespace fieldloom {

// The "result" of operations that only ever fail.
struct NoResult {};

inline PyObject* created(PyObject* object) {
    if (object == nullptr) api_call_failed();
    return object;
}

inline PyObject* to_python(std::int64_t value) { return created(PyLong_FromLongLong(value)); }
// The signed conversion has the interpreter's fast path for small values;
// the unsigned one always counts digits.
inline PyObject* to_python(std::uint64_t value) {
    if (value <= INT64_MAX) [[likely]] return to_python(static_cast<std::int64_t>(value));
    return created(PyLong_FromUnsignedLongLong(value));
}
inline PyObject* to_python(std::uint32_t value) { return to_python(std::int64_t{value}); }
inline PyObject* to_python(std::uint16_t value) { return to_python(std::int64_t{value}); }
inline PyObject* to_python(float value) { return created(PyFloat_FromDouble(static_cast<double>(value))); }
inline PyObject* to_python(double value) { return created(PyFloat_FromDouble(value)); }
inline PyObject* to_python(PyRef object) { return object.release(); }
[[noreturn]] inline PyObject* to_python(NoResult) { throw InternalFault("an operation without a result succeeded"); }

template <class T>
PyObject* result_to_python(T&& result) {
    return to_python(std::forward<T>(result));
}

// Out of line, so that a call's success path stays small.
[[gnu::cold, gnu::noinline]] inline PyObject* raise_failure(CodecError& error) {
    raise_codec_error(std::move(error));
    return nullptr;
}

template <class T>
[[gnu::always_inline]] inline PyObject* result_to_python(Expected<T>&& result) {
    if (!result.has_value()) [[unlikely]] return raise_failure(result.error());
    return to_python(std::move(result).value());
}

}  // namespace fieldloom
