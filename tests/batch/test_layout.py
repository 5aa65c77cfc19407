"""The batch engine against the per-packet functions, its oracle."""
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import fieldloom
from fieldloom_batch import Layout

NUMERIC = ["unsigned", "twos_complement", "ones_complement", "sign_magnitude", "packed_bcd", "packed_bcd_signed",
           "unpacked_bcd", "unpacked_bcd_signed", "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128"]
UNIMPLEMENTED = ["ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
                 "mil_std_1750a_f48", "ti_f32", "ti_f40", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64"]
TEXT = ["utf8", "utf16", "utf16be", "utf16le", "utf32", "utf32be", "utf32le", "us_ascii", "iso_8859_1", "latin1",
        "windows_1252"]


@st.composite
def entries(draw):
    encoding = draw(st.sampled_from(NUMERIC * 3 + UNIMPLEMENTED[:2] + TEXT))
    bits = draw(st.sampled_from([0, 1, 4, 7, 8, 12, 16, 24, 32, 40, 64, 72, 130]) if encoding not in TEXT
                else st.sampled_from([0, 8, 16, 32]))
    entry = {"name": draw(st.sampled_from("abcdef")), "encoding": encoding, "bits": bits,
             "byte_order": draw(st.sampled_from(["big", "little"])), "reverse_bits": draw(st.booleans())}
    if draw(st.integers(0, 4)) == 0:
        entry["offset_bits"] = draw(st.integers(0, 100))
    return entry


def same(a, b):
    if isinstance(a, float) or isinstance(b, float):
        return struct.pack("<d", float(a)) == struct.pack("<d", float(b))
    return type(a) is type(b) and a == b


def outcome(call):
    try:
        return call(), None
    except ValueError as error:
        return None, error


def packets_of(data, stride):
    return [data[i:i + stride] for i in range(0, len(data), stride)]


@settings(max_examples=150, deadline=None)
@given(recipe=st.lists(entries(), max_size=6), data=st.binary(max_size=120), stride=st.integers(1, 24),
       offset=st.integers(0, 40), threads=st.integers(1, 3))
def test_unpack_many_equals_per_packet(recipe, data, stride, offset, threads):
    layout = Layout(recipe)
    expected = [outcome(lambda p=p: fieldloom.unpack_parameters(p, 0, recipe)) for p in packets_of(data, stride)]
    decoded = layout.unpack_many(data, stride=stride, errors="skip", threads=threads)
    kept = [i for i, (value, _) in enumerate(expected) if value is not None]
    assert decoded.index.tolist() == kept
    assert [(r.index, r.offset, repr(r.error)) for r in decoded.refused] == [
        (i, i * stride, repr(error)) for i, (_, error) in enumerate(expected) if error is not None]
    assert list(decoded.columns) == list(layout.columns)
    for name, column in decoded.columns.items():
        assert column.dtype == layout.dtypes[name]
        assert all(same(column[row].item() if column.dtype != object else column[row], expected[i][0][name])
                   for row, i in enumerate(kept))
    failures = [(i, e) for i, (_, e) in enumerate(expected) if e is not None]
    if failures:
        with pytest.raises(ValueError) as info:
            layout.unpack_many(data, stride=stride, threads=threads)
        index, error = failures[0]
        assert str(info.value) == str(error)
        assert info.value.__notes__ == [f"packet {index} at byte offset {index * stride}"]
    # One packet at an offset: the compiled per-packet path.
    value, error = outcome(lambda: fieldloom.unpack_parameters(data, offset, recipe))
    ours, our_error = outcome(lambda: layout.unpack(data, offset))
    assert repr(our_error) == repr(error)
    assert (ours is None) == (value is None) and (value is None or
                                                 all(same(ours[k], value[k]) for k in value) and list(ours) == list(value))


@settings(max_examples=100, deadline=None)
@given(recipe=st.lists(entries(), max_size=6), data=st.binary(max_size=60), stride=st.integers(1, 12))
def test_pack_many_equals_per_packet(recipe, data, stride):
    layout = Layout(recipe)
    rows = [v for v, e in (outcome(lambda p=p: fieldloom.unpack_parameters(p, 0, recipe))
                           for p in packets_of(data, stride)) if v is not None]
    columns = {name: [row[name] for row in rows] for name in layout.columns}
    packed = [outcome(lambda r=r: fieldloom.pack_parameters(recipe, r)) for r in rows]
    failed = [(i, e) for i, (_, e) in enumerate(packed) if e is not None]
    if failed:
        with pytest.raises(ValueError) as info:
            layout.pack_many(columns)
        assert str(info.value) == str(failed[0][1]) and info.value.__notes__ == [f"row {failed[0][0]}"]
    else:
        assert layout.pack_many(columns) == b"".join(p for p, _ in packed)
    for row in rows[:3]:
        assert repr(outcome(lambda: layout.pack(row))) == repr(outcome(lambda: fieldloom.pack_parameters(recipe, row)))
