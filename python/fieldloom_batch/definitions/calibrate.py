"""Calibrations of decoded columns: from the values of a field to its
engineering values, in the native engine without the interpreter lock.

`calibrate` does a whole column, `calibrate_value` one value (the per-packet
path) through the same native loop, so both give the same results.
`failure_message` words why a value does not calibrate.
"""
from __future__ import annotations

import dataclasses
import functools
import math
import warnings
from collections.abc import Callable
from typing import Any

import numpy

from fieldloom_batch import _native
from fieldloom_batch.definitions.model import (CDS, CUC, Boolean, Calibration, Contextual, DefinitionError,
                                               Enumeration, Polynomial, Spline, Time)

# Positions in the native CalibrationKind.
_KINDS = {Polynomial: 0, Spline: 1, Enumeration: 2, Boolean: 3, Time: 4, CUC: 5, CDS: 6}
# What each kind gives per value.
_OUT_DTYPES = {Polynomial: "f8", Spline: "f8", Enumeration: "i4", Boolean: "?", Time: "i8", CUC: "i8", CDS: "i8"}
_VALUE_TYPES = ("u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8", "f4", "f8")
_NS_PER_UNIT = {"s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1}
_INT64 = (-(2**63), 2**63)


class CalibrationError(ValueError):
    """A value that its calibration cannot convert: an enumeration code
    without a label, a spline value outside its points, a time that does not
    fit a datetime64[ns]."""


def epoch_ns(epoch: str) -> int:
    """Nanoseconds since 1970-01-01 of an ISO 8601 date and time without a
    zone; DefinitionError where it is none or does not fit a datetime64[ns]."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # NumPy only warns about a zone
            moment = numpy.datetime64(epoch)
        unit = numpy.datetime_data(moment.dtype)[0]
        if unit not in _NS_PER_UNIT:
            moment, unit = moment.astype("datetime64[s]"), "s"
    except (ValueError, TypeError, UserWarning, DeprecationWarning) as error:
        raise DefinitionError(f"time epoch {epoch!r} is not an ISO 8601 date and time without a zone") from error
    if numpy.isnat(moment):
        raise DefinitionError(f"time epoch {epoch!r} is not an ISO 8601 date and time without a zone")
    nanoseconds = int(moment.astype(numpy.int64)) * _NS_PER_UNIT[unit]
    if not _INT64[0] < nanoseconds < _INT64[1]:
        raise DefinitionError(f"time epoch {epoch!r} lies outside the years a datetime64[ns] holds (1678 to 2262)")
    return nanoseconds


def _value_type(dtype: numpy.dtype) -> str:
    code = f"{dtype.kind}{dtype.itemsize}"
    if code not in _VALUE_TYPES:
        raise TypeError(f"calibrations take integer or float values, not {dtype}")
    return code


def _zero_signs(value: Any) -> tuple[bool, ...]:
    """Which of a calibration's zeros are -0.0, in field order. Calibrations
    that differ only there are equal (one cache key) but not their results."""
    if isinstance(value, float):
        return (math.copysign(1.0, value) < 0,) if value == 0 else ()
    if isinstance(value, tuple):
        return tuple(sign for item in value for sign in _zero_signs(item))
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return tuple(sign for field in dataclasses.fields(value) for sign in _zero_signs(getattr(value, field.name)))
    return ()


def _plan(calibration: Calibration, value_type: str) -> tuple[tuple[Any, ...], numpy.ndarray | None]:
    return _cached_plan(calibration, value_type, _zero_signs(calibration))


@functools.lru_cache(maxsize=256)
def _cached_plan(calibration: Calibration, value_type: str,
                 zero_signs: tuple[bool, ...]) -> tuple[tuple[Any, ...], numpy.ndarray | None]:
    """The native plan of a calibration for one column type, and for an
    enumeration its table of labels (one str object per distinct label, the
    last place for codes without one)."""
    kind = type(calibration)
    xs: numpy.ndarray | None = None
    ys: numpy.ndarray | None = None
    order, extrapolate, has_other, epoch, scale, offset, fraction = 0, False, False, 0, 1.0, 0.0, 0
    labels: numpy.ndarray | None = None
    if isinstance(calibration, Polynomial):
        xs = numpy.array(calibration.coefficients, dtype=numpy.float64)
    elif isinstance(calibration, Spline):
        xs = numpy.array([x for x, _ in calibration.points], dtype=numpy.float64)
        ys = numpy.array([y for _, y in calibration.points], dtype=numpy.float64)
        order, extrapolate = calibration.order, bool(calibration.extrapolate)
    elif isinstance(calibration, Enumeration):
        if value_type[0] == "f":
            raise TypeError("an Enumeration calibrates integer values, not floats")
        low, high = (0, 2**64) if value_type[0] == "u" else _INT64
        codes = [code for code in calibration.labels if low <= code < high]
        xs = numpy.array(codes, dtype=numpy.uint64 if value_type[0] == "u" else numpy.int64)
        shared: dict[str, str] = {}
        labels = numpy.empty(len(codes) + 1, dtype=object)
        labels[:-1] = [shared.setdefault(calibration.labels[code], calibration.labels[code]) for code in codes]
        labels[-1] = None if calibration.other is None else shared.setdefault(calibration.other, calibration.other)
        has_other = calibration.other is not None
    elif isinstance(calibration, (Time, CUC, CDS)):
        if not isinstance(calibration, Time) and value_type[0] == "f":
            raise TypeError(f"a {kind.__name__} time code calibrates integer values, not floats")
        epoch = epoch_ns(calibration.epoch)
        if isinstance(calibration, Time):
            scale, offset = float(calibration.scale), float(calibration.offset)
        else:
            fraction = calibration.fine if isinstance(calibration, CUC) else calibration.submillisecond_bits
    elif not isinstance(calibration, Boolean):
        raise TypeError(f"not a calibration: {calibration!r}")
    return (_KINDS[kind], xs, ys, order, extrapolate, has_other, epoch, scale, offset, fraction), labels


def _run(calibration: Calibration, flat: numpy.ndarray, flag: bool) -> tuple[numpy.ndarray, numpy.ndarray | None]:
    """Native calibration of a contiguous 1-D column: (out, failed or None)."""
    value_type = _value_type(flat.dtype)
    plan, labels = _plan(calibration, value_type)
    out = numpy.empty(flat.shape, dtype=_OUT_DTYPES[type(calibration)])
    failed = numpy.empty(flat.shape, dtype=bool) if flag else None
    _native.calibrate(flat, value_type, out, failed, plan)
    if labels is not None:
        return labels.take(out), failed
    if out.dtype == numpy.int64:
        return out.view("datetime64[ns]"), failed
    return out, failed


def _extremes(calibration: Calibration, dtype: numpy.dtype) -> numpy.ndarray:
    """The least and greatest value a column of `dtype` holds for the
    calibration (a time code's field is only so wide)."""
    info = numpy.iinfo(dtype)
    high = info.max
    if isinstance(calibration, (CUC, CDS)):
        high = min(high, 2**calibration.bits - 1)
    return numpy.array([info.min, high], dtype=dtype)


def can_fail(calibration: Calibration, dtype: numpy.dtype | str) -> bool:
    """Whether some value of a column of `dtype` fails the calibration."""
    return _can_fail(calibration, _value_type(numpy.dtype(dtype)))


@functools.lru_cache(maxsize=256)
def _can_fail(calibration: Calibration, value_type: str) -> bool:
    dtype = numpy.dtype(value_type)
    if isinstance(calibration, (Polynomial, Boolean)):
        return False
    if isinstance(calibration, Spline):
        return not calibration.extrapolate
    if isinstance(calibration, Enumeration):
        return calibration.other is None
    if dtype.kind == "f":
        return True
    # A time grows with the value (each part of a time code with the field),
    # so the extreme values bound every result.
    _, failed = _run(calibration, _extremes(calibration, dtype), True)
    return bool(failed is not None and failed.any())


def _as_values(values: Any) -> numpy.ndarray:
    array = numpy.asarray(values)
    if array.dtype == bool:
        array = array.astype(numpy.uint8)
    if array.dtype.kind in "uif" and not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    return array


def calibrate(calibration: Calibration, values: numpy.ndarray) -> tuple[numpy.ndarray, numpy.ndarray | None]:
    """The engineering column of a column of values, and a bool mask of the
    rows that fail (None when no value of the column's type can fail).

    Polynomial and Spline give float64 (NaN where a value fails), Enumeration
    an object column of the label str objects (None where a code has no
    label), Boolean bool, Time, CUC and CDS datetime64[ns] (NaT where a value
    fails). A 2-D column (an array entry) calibrates every element, and a row
    fails where any of its elements does; an object column of 1-D arrays
    gives an object column of calibrated 1-D arrays."""
    array = _as_values(values)
    if array.dtype == object:
        return _calibrate_arrays(array, lambda flat, lengths: calibrate(calibration, flat))
    value_type = _value_type(array.dtype)
    flag = can_fail(calibration, value_type)
    out, failed = _run(calibration, numpy.ascontiguousarray(array).reshape(-1), flag)
    return out.reshape(array.shape), _per_row(failed, array.shape)


def contextual_case(calibration: Contextual, case: int) -> Polynomial | Spline | None:
    """The calibration a contextual one's case number picks: one of its
    cases, past them its default, past that none (the value as a double)."""
    cases = [*(inner for _, inner in calibration.cases), calibration.default]
    return cases[case] if case < len(cases) else None


def calibrate_cases(calibration: Contextual, values: numpy.ndarray,
                    cases: numpy.ndarray) -> tuple[numpy.ndarray, numpy.ndarray | None]:
    """The float64 engineering column of a contextual calibration, each row's
    values by the case `cases[row]` picks (see `contextual_case`), and the
    rows that fail (None when no case can fail). Columns are as `calibrate`
    takes them: a 2-D column's row and an object column's array take their
    row's case."""
    array = _as_values(values)
    cases = numpy.ascontiguousarray(cases, dtype=numpy.uint32)
    if array.dtype == object:
        return _calibrate_arrays(array, lambda flat, lengths: calibrate_cases(calibration, flat,
                                                                              numpy.repeat(cases, lengths)))
    value_type = _value_type(array.dtype)
    chosen = [inner for _, inner in calibration.cases]
    chosen += [] if calibration.default is None else [calibration.default]
    flat = numpy.ascontiguousarray(array).reshape(-1)
    out = numpy.empty(flat.shape, dtype=numpy.float64)
    failed = numpy.empty(flat.shape, dtype=bool) if any(_can_fail(c, value_type) for c in chosen) else None
    _native.calibrate_cases(flat, value_type, cases, math.prod(array.shape[1:]), out, failed,
                            tuple(_plan(c, value_type)[0] for c in chosen))
    return out.reshape(array.shape), _per_row(failed, array.shape)


def _per_row(failed: numpy.ndarray | None, shape: tuple[int, ...]) -> numpy.ndarray | None:
    """Per row of a column of `shape`, whether one of its values fails."""
    if failed is None or len(shape) == 1:
        return failed
    # By the column's own shape: a table with no rows has no width to infer.
    return numpy.asarray(failed.reshape(shape).any(axis=tuple(range(1, len(shape)))) if len(shape) > 1 else failed[0])


def _calibrate_arrays(column: numpy.ndarray, run: Callable[[numpy.ndarray, list[int]], Any],
                      ) -> tuple[numpy.ndarray, numpy.ndarray | None]:
    """One 1-D array per row: calibrated all together by `run(values,
    lengths of the rows)`, then split again."""
    rows = [_as_values(row) for row in column]
    if any(row.ndim != 1 for row in rows):
        raise TypeError("an object column to calibrate holds one 1-D array of values per row")
    result = numpy.empty(len(rows), dtype=object)
    if not rows:
        return result, None
    lengths = [row.size for row in rows]
    out, failed = run(numpy.concatenate([row.reshape(-1) for row in rows]), lengths)
    result[:] = numpy.split(out, numpy.cumsum(lengths)[:-1])
    if failed is None:
        return result, None
    per_row = numpy.zeros(len(rows), dtype=bool)
    per_row[numpy.repeat(numpy.arange(len(rows)), lengths)[failed]] = True
    return result, per_row


def _scalar_array(value: Any) -> numpy.ndarray:
    if isinstance(value, numpy.generic):
        value = value.item()
    if isinstance(value, float):
        return numpy.array([value], dtype=numpy.float64)
    if isinstance(value, int):
        if _INT64[0] <= value < _INT64[1]:
            return numpy.array([value], dtype=numpy.int64)
        if 0 <= value < 2**64:
            return numpy.array([value], dtype=numpy.uint64)
        raise CalibrationError(f"value {value} does not fit 64 bits")
    raise TypeError(f"calibrations take an int or a float, not {type(value).__name__}")


def calibrate_value(calibration: Calibration, value: Any, name: str = "value") -> Any:
    """The engineering value of one value, as `calibrate` gives it in a
    column: a float, a label str, a bool or a numpy.datetime64 in ns.
    Raises CalibrationError with `failure_message` where it fails."""
    out, failed = _run(calibration, _scalar_array(value), True)
    if failed is not None and failed[0]:
        raise CalibrationError(failure_message(name, calibration, value))
    result = out[0]
    return result if isinstance(result, (str, numpy.datetime64)) else result.item()


def _first_failing(calibration: Calibration, value: Any) -> Any:
    """The first element of an array value that fails (the value itself if
    it is not an array)."""
    if not isinstance(value, numpy.ndarray) or value.ndim == 0:
        return value.item() if isinstance(value, numpy.generic | numpy.ndarray) else value
    flat = _as_values(value).reshape(-1)
    _, failed = _run(calibration, numpy.ascontiguousarray(flat), True)
    assert failed is not None
    at = int(failed.argmax()) if failed.any() else 0
    return flat[at].item()


def failure_message(name: str, calibration: Calibration, value: Any) -> str:
    """Why `value` of entry `name` does not calibrate (for an array entry's
    row, its first element that does not)."""
    value = _first_failing(calibration, value)
    if isinstance(calibration, Enumeration):
        return f"{name!r} has no label for code {value}"
    if isinstance(calibration, Spline):
        first, last = calibration.points[0][0], calibration.points[-1][0]
        return f"{name!r} value {float(value)!r} is outside its spline points [{first!r}, {last!r}]"
    if isinstance(calibration, (Time, CUC, CDS)):
        return f"{name!r} value {value!r} is not a time from {calibration.epoch} in datetime64[ns]"
    return f"{name!r} value {value!r} does not calibrate"


__all__ = ["CalibrationError", "calibrate", "calibrate_cases", "calibrate_value", "can_fail", "contextual_case",
           "epoch_ns", "failure_message"]
