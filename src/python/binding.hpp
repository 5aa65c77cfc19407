// Binding positional and keyword arguments to parameter slots, with the
// interpreter-style TypeError messages callers match on.
#pragma once

#include "python/python.hpp"

#include <cstddef>
#include <string_view>

namespace fieldloom {

struct Signature {
    const char* name;
    const std::string_view* parameters;
    std::size_t count;
    std::size_t required;  // the leading parameters; the rest have defaults
};

// Fills `slots` (borrowed references, nullptr for an empty optional slot).
// Returns false with TypeError set.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

// After a failed conversion of `parameter`: an exception of exactly class
// TypeError is replaced by one that names the argument.
void prefix_type_error(std::string_view parameter);

}  // namespace fieldloom
