// Buffers native code fills or reads: exports held while the interpreter lock
// is released, and zero-filled bytes objects of packets.
#pragma once

#include "python/python.hpp"

#include <cstdint>
#include <cstring>

namespace fieldloom {

class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool hold(PyObject* object, int flags) {
        held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const noexcept { return view_; }
    void* data() const noexcept { return view_.buf; }
    std::uint64_t size() const noexcept { return static_cast<std::uint64_t>(view_.len); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A bytes object of `rows` packets of `size` bytes, zero-filled, its bytes
// in `out`; an empty PyRef with MemoryError set when it cannot be had.
inline PyRef zeroed_packets(std::uint64_t rows, std::uint64_t size, std::uint8_t*& out) {
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(rows, size, &total) || total > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return PyRef();
    }
    PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!bytes) return bytes;
    out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    std::memset(out, 0, static_cast<std::size_t>(total));
    return bytes;
}

}  // namespace fieldloom
