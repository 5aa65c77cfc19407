// The binding of the CCSDS scan kernel: one entry of the method table.
#pragma once

#include "python/python.hpp"

namespace fieldloom::batch {

// _native.scan_ccsds(buffer, apids) -> (offset, length, version, type,
// secondary_header, apid, sequence_flags, sequence_count, rows, end):
// eight bytearrays holding the columns' rows back to back, the row count,
// and the byte where the whole packets end. `apids` is None (keep every
// packet) or a 256-byte bitmap, bit (apid % 8) of byte (apid / 8) set for
// the APIDs to keep.
PyObject* scan_ccsds(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char scan_ccsds_doc[];

}  // namespace fieldloom::batch
