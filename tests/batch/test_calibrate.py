"""Column calibrations against their formulas written out in plain Python
(Horner, a linear scan of the spline's points, times in Python ints from
datetime), over every column type, with NaN, infinities and extreme ints."""
import math
import re
from datetime import datetime, timedelta

import numpy
import pytest
from hypothesis import assume, given, strategies as st
from hypothesis.extra.numpy import arrays

from fieldloom_batch.definitions import (CDS, CUC, Boolean, Comparison, Contextual, DefinitionError, Enumeration,
                                         Polynomial, Spline, Time)
from fieldloom_batch.definitions.calibrate import (CalibrationError, calibrate, calibrate_cases, calibrate_value,
                                                   contextual_case, failure_message)

DTYPES = ["u1", "u2", "u4", "u8", "i1", "i2", "i4", "i8", "f4", "f8"]
INT_DTYPES = DTYPES[:8]
floats = st.floats(allow_nan=True, allow_infinity=True, width=64)


def columns(dtypes=DTYPES):
    def column(dtype):
        dtype = numpy.dtype(dtype)
        if dtype.kind == "f":
            elements = st.floats(width=8 * dtype.itemsize)
        else:
            info = numpy.iinfo(dtype)
            elements = st.integers(int(info.min), int(info.max)) | st.sampled_from([int(info.min), int(info.max), 0])
        return arrays(dtype, st.integers(0, 12), elements=elements)
    return st.sampled_from(dtypes).flatmap(column)


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b))


def horner(coefficients, x):
    result = coefficients[-1]
    for c in reversed(coefficients[:-1]):
        result = result * x + c
    return result


def spline_reference(spline, x):
    """None where it fails."""
    xs, ys = [p[0] for p in spline.points], [p[1] for p in spline.points]
    if math.isnan(x):
        return x if spline.extrapolate else None
    if (x < xs[0] or x > xs[-1]) and not spline.extrapolate:
        return None
    if spline.order == 0:
        return ys[0] if x < xs[0] else [y for p, y in zip(xs, ys) if p <= x][-1]
    piece = 0
    for i in range(len(xs) - 1):
        if xs[i] <= x:
            piece = i
    if ys[piece] == ys[piece + 1]:
        return ys[piece]
    return ys[piece] + ((x - xs[piece]) / (xs[piece + 1] - xs[piece])) * (ys[piece + 1] - ys[piece])


def epoch_reference(epoch):
    return (datetime.fromisoformat(epoch) - datetime(1970, 1, 1)) // timedelta(microseconds=1) * 1000


def time_reference(calibration, value):
    """Nanoseconds since 1970, or None where it does not fit a datetime64[ns]."""
    if isinstance(calibration, Time):
        since = (float(value) * calibration.scale + calibration.offset) * 1e9
        if not math.isfinite(since):
            return None
        since = round(since)
    elif value < 0:
        return None
    elif isinstance(calibration, CUC):
        fine_bits = 8 * calibration.fine
        since = (value >> fine_bits) * 10**9 + ((value & ((1 << fine_bits) - 1)) * 10**9 >> fine_bits)
    else:
        sub = calibration.submillisecond_bits
        micro, rest = value & ((1 << sub) - 1), value >> sub
        since = (rest >> 32) * 86_400 * 10**9 + (rest & 0xFFFFFFFF) * 10**6 + micro * 1000
    ns = epoch_reference(calibration.epoch) + since
    return ns if -(2**63) < ns < 2**63 else None


def check_rows(calibration, values, reference):
    """`reference(value)` is the engineering value, or None where it fails."""
    out, failed = calibrate(calibration, values)
    assert out.shape == values.shape
    for i, value in enumerate(values.tolist()):
        expected = reference(value)
        if expected is None:
            assert failed is not None and failed[i]
            with pytest.raises(CalibrationError, match=re.escape(failure_message("x", calibration, value))):
                calibrate_value(calibration, value, "x")
            continue
        assert failed is None or not failed[i]
        got = out[i]
        got = int(got.view("i8")) if isinstance(got, numpy.datetime64) else got
        assert same(got.item() if isinstance(got, numpy.generic) else got, expected), (value, got, expected)
        single = calibrate_value(calibration, value)
        single = int(single.view("i8")) if isinstance(single, numpy.datetime64) else single
        assert same(single, expected)


@given(st.lists(floats, min_size=1, max_size=5), columns())
def test_polynomial_is_horner_in_double(coefficients, values):
    calibration = Polynomial(coefficients)
    check_rows(calibration, values, lambda v: horner(calibration.coefficients, float(v)))
    assert calibrate(calibration, values)[1] is None


def test_calibrations_equal_but_for_a_zeros_sign_keep_their_own_results():
    values = numpy.array([0], dtype=numpy.uint8)
    for sign in (1.0, -1.0, 1.0):  # each after the other, equal calibrations as keys go
        out, _ = calibrate(Polynomial((math.copysign(0.0, sign),)), values)
        assert math.copysign(1.0, out[0]) == sign


def test_uint64_max_goes_in_as_its_nearest_double():
    out, _ = calibrate(Polynomial((0.5, 1.0)), numpy.array([2**64 - 1], dtype=numpy.uint64))
    assert out[0] == 2.0**64 + 0.5


finite = st.floats(-1e6, 1e6, allow_nan=False)


@st.composite
def splines(draw):
    xs = sorted(set(draw(st.lists(finite, min_size=2, max_size=6))))
    assume(len(xs) >= 2)
    ys = draw(st.lists(finite | st.sampled_from([0.0]), min_size=len(xs), max_size=len(xs)))
    return Spline(tuple(zip(xs, ys)), order=draw(st.sampled_from([0, 1])), extrapolate=draw(st.booleans()))


@given(splines(), columns(), st.data())
def test_spline_is_its_point_lookup(spline, values, data):
    if values.dtype.kind == "f":  # the points themselves, their neighbours and the infinities
        extra = data.draw(st.lists(st.sampled_from([p[0] for p in spline.points]) | st.sampled_from(
            [math.inf, -math.inf, math.nan]), max_size=6))
        values = numpy.concatenate([values, numpy.array(extra, dtype=values.dtype)])
    check_rows(spline, values, lambda v: spline_reference(spline, float(v)))


@pytest.mark.parametrize("order, x, expected", [
    (1, 10.0, 100.0), (1, 20.0, 50.0), (1, 0.0, 0.0), (1, 15.0, 75.0), (1, -5.0, -50.0), (1, 30.0, 0.0),
    (0, 10.0, 100.0), (0, 19.9, 100.0), (0, 20.0, 50.0), (0, -5.0, 0.0), (0, 1e300, 50.0), (1, math.inf, -math.inf),
])
def test_spline_edges_with_extrapolation(order, x, expected):
    spline = Spline(((0, 0), (10, 100), (20, 50)), order=order, extrapolate=True)
    assert calibrate_value(spline, x) == expected


@given(st.dictionaries(st.integers(-300, 300) | st.integers(-(2**64), 2**65), st.sampled_from(["A", "B", "C"]),
                       max_size=6),
       st.none() | st.just("OTHER"), columns(INT_DTYPES), st.data())
def test_enumeration_shares_one_str_per_label(labels, other, values, data):
    if labels:  # some rows hit codes that have labels
        codes = [c for c in labels if numpy.iinfo(values.dtype).min <= c <= numpy.iinfo(values.dtype).max]
        if codes:
            values = numpy.concatenate([values, numpy.array(data.draw(st.lists(st.sampled_from(codes))), values.dtype)])
    calibration = Enumeration(labels, other)
    check_rows(calibration, values, lambda v: calibration.labels.get(v, other))
    out, failed = calibrate(calibration, values)
    assert (failed is None) == (other is not None)
    assert len({id(label) for label in out if label is not None}) <= len(set(labels.values()) | {other})


def test_enumeration_message_and_float_values():
    assert failure_message("mode", Enumeration({1: "ON"}), 7) == "'mode' has no label for code 7"
    with pytest.raises(TypeError, match="integer"):
        calibrate(Enumeration({1: "ON"}), numpy.zeros(2))


@given(columns())
def test_boolean_is_nonzero(values):
    check_rows(Boolean(), values, lambda v: v != 0)


epochs = st.datetimes(datetime(1678, 1, 1), datetime(2261, 12, 31)).map(lambda d: d.isoformat())
times = st.one_of(
    st.builds(Time, epochs, floats, floats),
    st.builds(Time, epochs, st.sampled_from([1.0, 1e-3, 2.0**-16]), st.floats(-1e3, 1e3)),
    st.builds(CUC, st.integers(1, 4), st.integers(0, 3), epochs),
    st.tuples(st.sampled_from([(16, 0), (16, 16), (24, 0)]), epochs).map(lambda t: CDS(*t[0], t[1])),
)


@given(times, columns(), st.data())
def test_times_are_their_arithmetic_or_fail_when_they_do_not_fit(calibration, values, data):
    if not isinstance(calibration, Time):
        values = data.draw(columns(INT_DTYPES))
        if values.dtype.kind == "u":
            values = values & numpy.array(2**calibration.bits - 1).astype(values.dtype)
    check_rows(calibration, values, lambda v: time_reference(calibration, v))


@pytest.mark.parametrize("calibration, value", [
    (CDS(24, 0, "1970-01-01T00:00:00"), 2**56 - 1),           # days overflow int64 ns
    (CUC(4, 0, "2200-01-01T00:00:00"), 2**32 - 1),            # past 2262
    (Time("1970-01-01", scale=1.0, offset=-9223372036.854775808), 0),   # exactly NaT's value
    (Time(), math.nan), (Time(), math.inf),
])
def test_times_out_of_range_are_bad_values(calibration, value):
    with pytest.raises(CalibrationError, match="is not a time from"):
        calibrate_value(calibration, value, "obt")


@pytest.mark.parametrize("calibration, value, since_epoch_ns", [
    (Time("2262-04-11T23:47:16", scale=1e9, offset=-1e10), 0, -10**19),  # back from near the top
    (CDS(24, 0, "1677-09-22T00:00:00"), 150_000 << 32, 150_000 * 86_400 * 10**9),  # on from near the bottom
])
def test_times_far_from_their_epoch_that_fit(calibration, value, since_epoch_ns):
    """Only the time has to fit a datetime64[ns], not its distance from the epoch."""
    epoch = numpy.datetime64(calibration.epoch, "ns").astype(numpy.int64).item()
    assert calibrate_value(calibration, value, "obt") == numpy.datetime64(epoch + since_epoch_ns, "ns")
    column, failed = calibrate(calibration, numpy.array([value], dtype=numpy.uint64))
    assert column[0] == numpy.datetime64(epoch + since_epoch_ns, "ns") and (failed is None or not failed.any())


@pytest.mark.parametrize("epoch", ["yesterday", "2000-01-01T00:00:00+02:00", "2300-01-01", "1600-01-01"])
def test_bad_epochs_are_refused(epoch):
    with pytest.raises(DefinitionError, match="epoch"):
        calibrate(Time(epoch), numpy.zeros(1, dtype="u1"))


def test_array_columns_fail_by_row():
    spline = Spline(((0, 0), (10, 1)))
    out, failed = calibrate(spline, numpy.array([[1, 2], [3, 11], [0, 10]], dtype="u1"))
    assert out.shape == (3, 2) and failed.tolist() == [False, True, False]
    ragged = numpy.empty(3, dtype=object)
    ragged[:] = [numpy.array([5], "u1"), numpy.array([], "u1"), numpy.array([1, 20], "u1")]
    out, failed = calibrate(spline, ragged)
    assert [list(row) for row in out[:2]] == [[0.5], []] and failed.tolist() == [False, False, True]
    assert failure_message("t", spline, numpy.array([1, 20], "u1")) == \
        "'t' value 20.0 is outside its spline points [0.0, 10.0]"


CASES = splines() | st.builds(Polynomial, st.lists(floats, min_size=1, max_size=3).map(tuple))


@given(st.lists(CASES, max_size=3), st.none() | CASES, columns(), st.sampled_from(["rows", "pairs", "none", "ragged"]),
       st.data())
def test_cases_calibrate_each_row_as_its_case_alone(cases, default, values, shape, data):
    """Each row (or array row) by the case its number picks, as that case
    calibrates it alone; a number past the cases and default: as a double."""
    contextual = Contextual(tuple((Comparison("m", "==", k), case) for k, case in enumerate(cases)), default)
    if shape == "pairs":
        values = values[:len(values) // 2 * 2].reshape(-1, 2)
    elif shape == "none":
        values = values.reshape(-1, 1)[:, :0]
    elif shape == "ragged":
        cuts = sorted(data.draw(st.lists(st.integers(0, len(values)), max_size=4)))
        values = numpy.array([*numpy.split(values, cuts), None], dtype=object)[:-1]
    numbers = data.draw(st.lists(st.integers(0, len(cases) + 2), min_size=len(values), max_size=len(values)))
    out, failed = calibrate_cases(contextual, values, numpy.array(numbers, dtype=numpy.uint32))
    assert len(out) == len(values) and (failed is None or len(failed) == len(values))
    for row, number in enumerate(numbers):
        case = contextual_case(contextual, number)
        flat = numpy.asarray(values[row]).reshape(-1)
        want, bad = (flat.astype(numpy.float64), None) if case is None else calibrate(case, flat)
        assert numpy.asarray(out[row], numpy.float64).tobytes() == want.tobytes()
        assert (failed is not None and failed[row]) == (bad is not None and bad.any())


def test_times_round_ties_to_even():
    # k / 2**10 s is k * 976562.5 ns exactly: every odd k is a tie.
    out, _ = calibrate(Time("1970-01-01", scale=2**-10), numpy.array([1, 3, -1, -3, 2**40 + 1], dtype="i8"))
    assert out.view("i8").tolist() == [976562, 2929688, -976562, -2929688, round((2**40 + 1) * 976562.5)]
