// Files mapped into memory that another process may truncate. A load from a
// page past the file's new end raises SIGBUS, which would end the process.
// Loads from a watched mapping get zero pages instead and mark it as changed,
// so that whoever read it reports the change as an OSError naming the file.
#pragma once

#include "python/python.hpp"

#include <cstddef>

namespace fieldloom::mapping {

// Watches [data, data + size), the map of the file `path` (a str) open as
// `fd` (duplicated here). With the interpreter lock held; 0 with an
// exception set when the table is full or the handler cannot be installed,
// else the watch's id.
int watch(const void* data, std::size_t size, PyObject* path, int fd);
void unwatch(int id) noexcept;

// True, or false with OSError set when the watched file has changed: a load
// hit a page the file no longer has, or the file is shorter than its map.
bool unchanged(int id);

// Taken before a buffer is read without the interpreter lock; `passed` after
// the read says whether the mapping it lies in (if any) stayed whole.
class ReadCheck {
public:
    ReadCheck(const void* data, std::size_t size) noexcept;
    bool passed() const { return id_ == 0 || unchanged(id_); }

private:
    int id_ = 0;
};

}  // namespace fieldloom::mapping
