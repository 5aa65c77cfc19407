// Materialises planned text results: the str or bytes object is allocated at
// its final size and width, and the codec writes straight into it.
#pragma once

#include "python.hpp"

#include "decoder/text_plan.hpp"

namespace fieldloom {

// New reference, or nullptr with MemoryError set.
inline PyObject* text_plan_to_str(const TextPlan& plan) {
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(plan.length), static_cast<Py_UCS4>(plan.max_char));
    if (text == nullptr) return nullptr;
    if (plan.length != 0) plan.fill(plan, PyUnicode_DATA(text), static_cast<unsigned>(PyUnicode_KIND(text)));
    return text;
}

// New reference, or nullptr with MemoryError set.
inline PyObject* bytes_plan_to_bytes(const BytesPlan& plan) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(plan.size));
    if (bytes == nullptr) return nullptr;
    if (plan.size != 0) plan.fill(plan, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)));
    return bytes;
}

}  // namespace fieldloom
