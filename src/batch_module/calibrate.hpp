// The binding of the column calibrations: one entry of the method table.
#pragma once

#include "python/python.hpp"

namespace fieldloom::batch {

// _native.calibrate(values, value_type, out, failed, plan) -> rows that fail.
// `values` is a contiguous column of `value_type` ("u1" ... "f8"); `out` a
// writable buffer of as many rows of the kind's output (see
// engine/calibrate.hpp); `failed` None or a writable bool buffer of as many
// rows. `plan` is (kind, xs, ys, order, extrapolate, has_other, epoch_ns,
// scale, offset, fraction), kind the position in CalibrationKind; xs the
// coefficients, the points' values, or the enumeration codes (int64 for a
// signed column, uint64 for an unsigned one); ys the points' engineering
// values (float64), or None.
PyObject* calibrate(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char calibrate_doc[];

// _native.calibrate_cases(values, value_type, cases, width, out, failed,
// plans) -> values that fail. `plans` is a tuple of polynomial and spline
// plans; `cases` a uint32 buffer of one case per row, a row being `width`
// values; `out` a float64 buffer of a value per value, `failed` None or a
// bool buffer likewise. A case past the plans gives the value as a double.
PyObject* calibrate_cases(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char calibrate_cases_doc[];

}  // namespace fieldloom::batch
