// The binding of packing packet types of fixed layout: one entry of the
// method table.
#pragma once

#include "python/python.hpp"

namespace fieldloom::batch {

// _native.pack_fixed(placements, columns, rows, size, where) -> bytes: see
// engine/definitions_pack.hpp. `where` is a writable buffer of two int64
// that gets the row and field of a value that fails.
PyObject* pack_fixed(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char pack_fixed_doc[];

}  // namespace fieldloom::batch
