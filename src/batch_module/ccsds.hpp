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

// _native.ccsds_cuts(buffer, apids, blocksize, window) -> (starts, firsts, kept, end):
// the byte where each range of about `blocksize` bytes starts (at the first
// kept packet in a new multiple of it) and the kept packets before it, as
// int64 bytearrays; the kept packets in all; where the whole packets end.
// With a `window` of bytes (0: none) the caller vouches that the buffer is a
// read-only mapping of a file: the walk goes a window at a time and hands
// back the pages it has passed.
PyObject* ccsds_cuts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char ccsds_cuts_doc[];

}  // namespace fieldloom::batch
