// A buffer export held for as long as the object lives: the exporter
// cannot resize or free the memory meanwhile.
#pragma once

#include "python/python.hpp"

#include <cstdint>

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

}  // namespace fieldloom
