"""The engine against the plain-Python reference on random packet types and
recordings: tables, refused packets and census of `decode`, the first refused
packet of errors="raise", `unpack` per packet, and threads."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import reference
import strategies
from fieldloom_batch.definitions import (Definitions, Dynamic, Entry, Enumeration, PacketError, PacketType, Spline,
                                         Time)

needs_decode = pytest.mark.skipif(not hasattr(Definitions, "decode"), reason="the engine does not decode yet")
CASES = strategies.type_sets().flatmap(lambda ts: strategies.recordings(ts).map(lambda r: (ts, r)))
FRAMINGS = st.sampled_from(["ccsds", "prefix", "offsets", "lengths", "stride"])
slow = settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def same(a, b) -> bool:
    """Equal values of one element: floats bit for bit, any NaN equal to any
    NaN after a calibration (NaN payloads are not part of the formulas)."""
    if b is None:
        return a is None
    if isinstance(b, list):
        a = list(a)
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(b, float):
        return (np.isnan(a) and np.isnan(b)) or np.float64(a).tobytes() == np.float64(b).tobytes()
    if isinstance(b, np.datetime64):
        return np.datetime64(a, "ns") == b
    return type(b)(a) == b if not isinstance(b, (str, bytes)) else a == b


def check_column(column, values, entry, *, raw=False):
    """A decoded column against the reference's values of its rows."""
    dtype = reference.dtype(entry, raw=raw)
    cells = list(column)
    if isinstance(entry.count, Dynamic):
        assert column.shape == (len(values),) and column.dtype == object, entry
        for cell, value in zip(cells, values):
            assert cell.ndim == 1 and cell.dtype == dtype and len(cell) == len(value), entry
    else:
        shape = (len(values),) if entry.count is None or entry.condition is not None else (len(values), entry.count)
        assert column.shape == shape and column.dtype == dtype, (entry, column.dtype, column.shape)
    # Floats as decoded are equal bit for bit, NaN payloads included, once widened as the codecs widen them.
    bitwise = dtype.kind == "f" and (raw or entry.calibration is None)
    for k, (cell, value) in enumerate(zip(cells, values)):
        if bitwise:
            assert np.asarray(cell, np.float64).tobytes() == np.asarray(value, np.float64).tobytes(), (entry, k)
        else:
            assert same(cell, value), (entry, k, cell, value)


def check_decoded(types, got, expected):
    chains = reference.chains(types)
    assert list(got.tables) == list(expected.tables)
    for name, table in got.tables.items():
        want = expected.tables[name]
        entries = {e.name: e for e in chains[name].entries}
        assert list(table.columns) == list(want.columns) and list(table.raw) == list(want.raw)
        assert table.index.dtype == np.int64 and table.index.tolist() == want.index
        assert table.offset.dtype == np.int64 and table.offset.tolist() == want.offset
        for column, values in want.columns.items():
            check_column(table.columns[column], values, entries[column])
        for column, values in want.raw.items():
            check_column(table.raw[column], values, entries[column], raw=True)
    assert [(r.index, r.offset, r.reason) for r in got.refused] == [r[:3] for r in expected.refused]
    assert all(isinstance(r.message, str) and r.message for r in got.refused)
    census = got.census
    assert census.packets == expected.packets
    assert census.types == expected.types
    assert {k: v for k, v in census.refused.items() if v} == expected.reasons
    assert {k: v for k, v in census.extra.items() if v != (0, 0)} == {k: v for k, v in expected.extra.items() if v != (0, 0)}


def framing(kind, buffer_spans, draw_prefix=b"\x1a\xcf"):
    buffer, spans = buffer_spans
    if kind == "prefix":
        return strategies.with_prefix(buffer_spans, draw_prefix), {"prefix": len(draw_prefix)}
    if kind == "offsets":
        return buffer, {"offsets": np.array([o for o, _ in spans], dtype=np.int64)}
    if kind == "lengths":
        return buffer, {"offsets": [o for o, _ in spans], "lengths": [n for _, n in spans]}
    if kind == "stride":  # every packet padded to the longest; a shorter last one is a packet too
        stride = max((n for _, n in spans), default=1)
        padded = b"".join(buffer[o:o + n].ljust(stride, b"\0") for o, n in spans)
        return padded[:-1] if len(spans) > 1 else padded, {"stride": stride}
    return buffer, {}


@needs_decode
@slow
@given(CASES, FRAMINGS)
def test_decode_equals_the_reference(case, kind):
    type_set, recording = case
    types = type_set.types
    buffer, options = framing(kind, recording)
    definitions = Definitions(types)
    expected = reference.decode(types, buffer, **options)
    got = definitions.decode(buffer, errors="skip", **options)
    check_decoded(types, got, expected)
    if expected.refused:
        index, offset, reason, _ = expected.refused[0]
        with pytest.raises(PacketError) as raised:
            definitions.decode(buffer, **options)
        error = raised.value
        assert (error.index, error.offset, error.reason) == (index, offset, reason)
        assert str(error) == f"packet {index} at byte {offset}: {error.message}"
    else:
        check_decoded(types, definitions.decode(buffer, errors="raise", **options), expected)
    check_decoded(types, definitions.decode(buffer, errors="skip", threads=2, **options), expected)


@needs_decode
@slow
@given(CASES)
def test_unpack_equals_the_reference(case):
    type_set, (buffer, spans) = case
    definitions, chains = Definitions(type_set.types), reference.chains(type_set.types)
    for offset, length in spans:
        packet = buffer[offset:offset + length]
        try:
            name, values, raws, _ = reference.unpack(chains, packet)
        except reference.Refusal as refusal:
            with pytest.raises(PacketError) as raised:
                definitions.unpack(packet)
            assert (raised.value.index, raised.value.offset, raised.value.reason) == (0, 0, refusal.reason)
            continue
        got_name, got = definitions.unpack(packet)
        assert got_name == name and list(got) == list(values)
        for field, value in values.items():
            assert same(got[field], value), field
        got_raw = definitions.unpack(packet, raw=True)[1]
        for field, value in {**values, **raws}.items():
            assert same(got_raw[field], value), field


@pytest.mark.skipif(not hasattr(Definitions, "pack"), reason="the engine does not pack yet")
@slow
@given(CASES)
def test_pack_equals_the_reference_builder(case):
    """Decoded raw columns of every fixed layout pack to what the reference
    builds from the same values, and decode back to the same table."""
    type_set, (buffer, _) = case
    definitions, chains = Definitions(type_set.types), reference.chains(type_set.types)
    for name, table in definitions.decode(buffer, errors="skip").tables.items():
        entries = chains[name].entries
        if not len(table.index) or not all(e.fixed_size for e in entries):
            continue
        columns = {c: table.raw.get(c, column) for c, column in table.columns.items()}
        try:
            expected = [reference.build(entries, {c: getattr(v[row], "tolist", lambda r=v[row]: r)() for c, v in columns.items()})
                        for row in range(len(table.index))]
        except ValueError:  # a value its encoder refuses (a 1-bit sign-magnitude field)
            with pytest.raises(ValueError):
                definitions.pack(name, columns, raw=True)
            continue
        packed = definitions.pack(name, columns, raw=True)
        size = len(packed) // len(table.index)
        assert packed == b"".join(packet.ljust(size, b"\0") for packet in expected), name
        again = definitions.decode(packed, stride=size).tables[name]
        for entry in entries:
            if entry.numeric:  # text may come back padded
                a, b = again.columns[entry.name], table.columns[entry.name]
                assert np.array_equal(a, b, equal_nan=b.dtype.kind == "f") if b.dtype != object else a.tolist() == b.tolist()


@settings(max_examples=30)
@given(strategies.type_sets())
def test_every_generated_set_is_accepted(type_set):
    """The strategies draw only sound definitions: Definitions takes them all."""
    Definitions(type_set.types)


@needs_decode
@pytest.mark.parametrize("calibration", [Spline(((0, 0.0), (300, 1.0))), Enumeration({1: "a"}), Time()])
@pytest.mark.parametrize("count", [0, 2])
def test_empty_tables_of_calibrated_arrays(calibration, count):
    """A type no packet is of has its table all the same, arrays whose
    calibration may fail included."""
    definitions = Definitions([PacketType("p", (Entry("n", bits=16), Entry("xs", bits=8, count=count, calibration=calibration)))])
    table = definitions.decode(b"", stride=4).tables["p"]
    assert table.columns["xs"].shape == table.raw["xs"].shape == (0, count)
    assert table.columns["xs"].dtype == reference.dtype(definitions.types["p"].entries[1])
