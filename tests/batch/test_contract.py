"""The batch contract, with the per-packet functions as its oracle.

Random recipes over all 34 encoding names (those that fail included), random
recordings cut by stride or by offsets: every column value, every dtype and
every raised error of fieldloom_batch must be what unpack_parameters and
pack_parameters give packet by packet.
"""
from __future__ import annotations

import copy
import functools
import pickle
import re
import struct

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fieldloom import pack_parameters, unpack_parameters
from fieldloom_batch import Layout

# Value range of each integer encoding at a width: (lowest, highest).
INTEGER_RANGES = {
    "unsigned": lambda b: (0, 2 ** min(b, 64) - 1),
    "twos_complement": lambda b: (-(2 ** (min(b, 64) - 1)), 2 ** (min(b, 64) - 1) - 1) if b else (0, 0),
    "ones_complement": lambda b: (1 - 2 ** (min(b, 64) - 1), 2 ** (min(b, 64) - 1) - 1) if b else (0, 0),
    "sign_magnitude": lambda b: (1 - 2 ** (min(b, 64) - 1), 2 ** (min(b, 64) - 1) - 1) if b else (0, 0),
    "packed_bcd": lambda b: (0, 10 ** min(b // 4, 16) - 1),
    "packed_bcd_signed": lambda b: (1 - 10 ** max(min(b // 4, 16) - 1, 0), 10 ** max(min(b // 4, 16) - 1, 0) - 1),
    "unpacked_bcd": lambda b: (0, 10 ** min(b // 8, 8) - 1),
    "unpacked_bcd_signed": lambda b: (1 - 10 ** min(b // 8, 8), 10 ** min(b // 8, 8) - 1),
}
UNSIGNED_KIND = {"unsigned", "packed_bcd", "unpacked_bcd"}
FLOATS = {"ieee754_f16": np.float32, "ieee754_f32": np.float32, "ieee754_f64": np.float64}
TEXTS = ("utf8", "utf16", "utf16be", "utf16le", "utf32", "utf32be", "utf32le",
         "us_ascii", "iso_8859_1", "latin1", "windows_1252")
UNPACK_ONLY = ("ieee754_f128", "ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80",
               "mil_std_1750a_f32", "mil_std_1750a_f48", "ti_f32", "ti_f40", "dec_f32", "dec_f64",
               "ibm_f32", "ibm_f64")
ENCODINGS = (*INTEGER_RANGES, *FLOATS, *TEXTS, *UNPACK_ONLY)
assert len(set(ENCODINGS)) == 34


def expected_dtype(encoding: str, bits: int) -> np.dtype | None:
    """The column type of a field; None where no packet can decode it."""
    encoding = encoding.lower()
    if encoding in INTEGER_RANGES:
        low, high = INTEGER_RANGES[encoding](bits)
        kinds = (np.uint8, np.uint16, np.uint32, np.uint64) if encoding in UNSIGNED_KIND else \
                (np.int8, np.int16, np.int32, np.int64)
        return np.dtype(next(k for k in kinds if np.iinfo(k).min <= low and high <= np.iinfo(k).max))
    if encoding in FLOATS:
        return np.dtype(FLOATS[encoding])
    if encoding in TEXTS:
        return np.dtype(object)
    if encoding == "ieee754_f128" and bits <= 64:
        return np.dtype(np.float64)
    return None


# --- strategies ---------------------------------------------------------------

NAMES = st.sampled_from("abcd")  # few names, so that fields share them
BITS = st.one_of(st.sampled_from([0, 8, 16, 24, 32, 64]), st.integers(0, 80))


@st.composite
def entries(draw, encodings=st.sampled_from(ENCODINGS), bits=BITS, offsets=st.integers(0, 80)):
    encoding = draw(encodings)
    entry = {
        "name": draw(NAMES),
        "encoding": encoding.upper() if draw(st.integers(0, 7)) == 0 else encoding,
        "bits": draw(bits),
        "byte_order": draw(st.sampled_from(["big", "little", "Big", "LITTLE"])),
        "reverse_bits": draw(st.sampled_from([False, True, np.True_, np.False_])),
    }
    offset = draw(st.none() | offsets)
    if offset is not None:
        entry["offset_bits"] = offset
    return entry


recipes = st.lists(entries(), min_size=1, max_size=6)

# Encodings whose decoded values pack back to the same values at whole-byte
# widths (utf16 and utf32 are left out: they add a byte order mark on packing).
ROUND_TRIP = [e for e in ENCODINGS if e not in UNPACK_ONLY and e not in ("utf16", "utf32")]


@st.composite
def packable_recipes(draw):
    """Byte-aligned fields that do not overlap, each name once."""
    recipe = []
    for name in draw(st.lists(NAMES, min_size=1, max_size=4, unique=True)):
        encoding = draw(st.sampled_from(ROUND_TRIP))
        width = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}.get(encoding)
        bits = width or draw(st.sampled_from([8, 16, 24, 32, 48, 64]))
        entry = draw(entries(st.just(encoding), st.just(bits)))
        entry.pop("offset_bits", None)
        recipe.append({**entry, "name": name})
    return recipe


WRONG_TYPES = st.sampled_from(["x", None, 1.5, b"\x01"])


@functools.lru_cache(maxsize=None)
def value_strategy(encoding: str, bits: int):
    """Values for a field: mostly fitting, some out of range or of the wrong type."""
    encoding = encoding.lower()
    if encoding in INTEGER_RANGES:
        low, high = INTEGER_RANGES[encoding](bits)
        return st.one_of(st.integers(low, high), st.integers(-(2**65), 2**65), WRONG_TYPES)
    if encoding in TEXTS:
        return st.one_of(st.text(max_size=6), WRONG_TYPES)
    return st.one_of(st.floats(width=64), st.integers(-5, 5), WRONG_TYPES)


# Entry faults, each with where it is put; the per-packet message is the oracle.
FAULTS = st.one_of(
    st.tuples(st.sampled_from(["name", "encoding", "bits", "byte_order", "reverse_bits"]), st.just(KeyError)),
    st.tuples(st.sampled_from(["name", "encoding", "byte_order"]), st.sampled_from([7, None, b"big", "\ud800"])),
    st.tuples(st.just("bits"), st.sampled_from([-1, 2**32, 8.0, "8", None])),
    st.tuples(st.just("offset_bits"), st.sampled_from([-1, 2**64, 1.5, None])),
    st.tuples(st.just("reverse_bits"), st.sampled_from([0, 1, None, "yes"])),
    st.tuples(st.just("byte_order"), st.sampled_from(["middle", " big", "bigger"])),
    st.tuples(st.just("encoding"), st.sampled_from(["utf-8", "Foo", "UTF_8", ""])),
    st.tuples(st.just(None), st.sampled_from([[], ("name",), None, "entry"])),
)


def with_fault(entry: dict, fault) -> object:
    key, value = fault
    if key is None:
        return value  # not a dict at all
    entry = dict(entry)
    if value is KeyError:
        del entry[key]
    else:
        entry[key] = value
    return entry


# --- outcomes and how they compare ---------------------------------------------

def outcome(call, *args):
    try:
        return call(*args), None
    except Exception as error:  # noqa: BLE001 - every error is compared
        return None, error


def assert_same_error(actual: BaseException | None, expected: BaseException, note: str | None = None) -> None:
    """Same class, arguments and notes; `note` lists numbers that one added note must name."""
    assert type(actual) is type(expected), (actual, expected)
    assert actual.args == expected.args and actual.__cause__ is None
    notes, expected_notes = getattr(actual, "__notes__", []), getattr(expected, "__notes__", [])
    if note is None:
        assert notes == expected_notes
    else:
        assert notes[:-1] == expected_notes and notes, note
        assert all(re.search(rf"\b{n}\b", notes[-1]) for n in note.split()), (notes, note)


def canonical(values: dict) -> list:
    """A result dict with floats by their bits, so that NaNs compare."""
    return [(k, type(v), struct.pack("<d", v) if isinstance(v, float) else v) for k, v in values.items()]


def assert_same_outcome(actual: tuple, expected: tuple) -> None:
    (got, got_error), (value, error) = actual, expected
    if error is not None:
        assert_same_error(got_error, error)
    elif isinstance(value, dict):
        assert got_error is None and canonical(got) == canonical(value)
    else:
        assert got_error is None and got == value


def float_bits(values) -> list[int]:
    """Float values by their bits as doubles: float32 columns widen as the per-packet path widens."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def assert_columns(layout: Layout, columns: dict, rows: list[dict]) -> None:
    assert list(columns) == list(layout.columns)
    if rows:
        assert list(rows[0]) == list(layout.columns)
    last = {entry["name"]: entry for entry in layout.recipe}
    for name, column in columns.items():
        assert isinstance(column, np.ndarray) and column.shape == (len(rows),)
        assert column.dtype == layout.dtypes[name]
        dtype = expected_dtype(last[name]["encoding"], last[name]["bits"])
        if dtype is not None:
            assert column.dtype == dtype, (name, last[name])
        expected = [row[name] for row in rows]
        if column.dtype.kind == "f":
            assert float_bits(column) == float_bits(expected), name
        else:
            assert [type(v) for v in column.tolist()] == [type(v) for v in expected], name
            assert column.tolist() == expected, name


# --- recordings ---------------------------------------------------------------

@st.composite
def recordings(draw, packet_size: int):
    """A buffer and how unpack_many is told to cut it: (buffer, keywords, [(offset, bytes)])."""
    if draw(st.booleans()):
        stride = draw(st.integers(1, packet_size + 3) if packet_size else st.integers(1, 4))
        count = draw(st.integers(0, 6))
        size = max(0, count * stride - draw(st.integers(0, stride - 1)))  # the last may be partial
        data = draw(st.binary(min_size=size, max_size=size))
        default = stride == packet_size and draw(st.booleans())
        keywords = {} if default else {"stride": stride}
        if draw(st.booleans()):
            keywords["count"] = count
        packets = [(i * stride, data[i * stride:(i + 1) * stride]) for i in range(count)]
    else:
        data = draw(st.binary(max_size=6 * packet_size + 8))
        starts = draw(st.lists(st.integers(0, len(data)), max_size=6))
        if draw(st.booleans()):
            lengths = [draw(st.integers(0, len(data) - s)) for s in starts]
            keywords = {"offsets": starts, "lengths": lengths}
        else:
            starts.sort()
            lengths = [b - a for a, b in zip(starts, [*starts[1:], len(data)])]
            keywords = {"offsets": starts}
        if draw(st.booleans()):
            keywords = {k: np.asarray(v, dtype=draw(st.sampled_from([np.int64, np.uint32, np.intp])))
                        for k, v in keywords.items()}
        packets = [(s, data[s:s + n]) for s, n in zip(starts, lengths)]
    wrap = draw(st.sampled_from([bytes, bytearray, memoryview, lambda d: np.frombuffer(d, dtype=np.uint8)]))
    return wrap(data), keywords, packets


# --- the properties -----------------------------------------------------------

@given(recipes, st.data())
def test_unpack_many_and_unpack_equal_unpack_parameters(recipe, data):
    layout = Layout(recipe)  # only entry faults are refused up front
    buffer, keywords, packets = data.draw(recordings(layout.packet_size))
    threads = data.draw(st.sampled_from([1, 2, 3]))
    results = [outcome(unpack_parameters, packet, 0, recipe) for _, packet in packets]

    for (_, packet), result in zip(packets, results):
        assert_same_outcome(outcome(layout.unpack, packet), result)
    whole, position = bytes(buffer), data.draw(st.integers(0, 8 * len(buffer) + 16))
    assert_same_outcome(outcome(layout.unpack, whole, position), outcome(unpack_parameters, whole, position, recipe))

    assert_unpack_many(layout, buffer, keywords, [offset for offset, _ in packets], results, threads)


@given(recipes, st.data())
def test_threads_split_the_packets_not_the_results(recipe, data):
    layout = Layout(recipe)
    stride = max(layout.packet_size, 1)
    kinds = data.draw(st.lists(st.binary(min_size=stride, max_size=stride), min_size=1, max_size=3))
    kind_results = [outcome(unpack_parameters, kind, 0, recipe) for kind in kinds]
    # Enough packets for every thread to get a share; most alike, so that failures are rare.
    count = data.draw(st.integers(1100, 1800))
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    choice = np.where(rng.random(count) < 0.99, 0, rng.integers(0, len(kinds), count)).tolist()
    buffer = b"".join(kinds[c] for c in choice)
    assert_unpack_many(layout, buffer, {"stride": stride}, [i * stride for i in range(count)],
                       [kind_results[c] for c in choice], data.draw(st.integers(2, 4)))


def assert_unpack_many(layout: Layout, buffer, keywords: dict, offsets: list[int], results: list, threads: int) -> None:
    """unpack_many in both error modes against the per-packet outcomes."""
    decoded = layout.unpack_many(buffer, errors="skip", threads=threads, **keywords)
    kept = [i for i, (_, error) in enumerate(results) if error is None]
    assert decoded.index.dtype == np.int64 and decoded.index.tolist() == kept
    assert_columns(layout, decoded.columns, [results[i][0] for i in kept])
    refused = [(i, offsets[i], error) for i, (_, error) in enumerate(results) if error is not None]
    assert [(r.index, r.offset) for r in decoded.refused] == [(i, offset) for i, offset, _ in refused]
    for r, (_, _, error) in zip(decoded.refused, refused):
        assert_same_error(r.error, error)

    if refused:
        index, offset, error = refused[0]
        with pytest.raises(type(error)) as info:
            layout.unpack_many(buffer, threads=threads, **keywords)
        assert_same_error(info.value, error, note=f"{index} {offset}")
    else:
        assert_columns(layout, layout.unpack_many(buffer, errors="raise", threads=threads, **keywords),
                       [value for value, _ in results])


@given(recipes, st.data())
def test_pack_many_and_pack_equal_pack_parameters(recipe, data):
    layout = Layout(recipe)
    count = data.draw(st.integers(0, 4))
    strategies = {}
    for entry in recipe:  # one of the entries of a name chooses its values
        strategies.setdefault(entry["name"], []).append(value_strategy(entry["encoding"], entry["bits"]))
    names = list(strategies)
    if len(names) > 1 and data.draw(st.integers(0, 9)) == 0:
        names = names[1:]  # a missing column fails as a missing value does (no column at all: no rows)
    columns = {name: data.draw(st.lists(st.one_of(strategies[name]), min_size=count, max_size=count))
               for name in names}
    rows = [{name: columns[name][i] for name in names} for i in range(count)]
    results = [outcome(pack_parameters, recipe, row) for row in rows]

    for row, (packet, error) in zip(rows, results):
        assert_same_outcome(outcome(layout.pack, row), (packet, error))
        assert error is not None or len(packet) == layout.packet_size

    extra = data.draw(st.none() | st.integers(0, 3))
    stride = None if extra is None else layout.packet_size + extra
    failed = [(i, error) for i, (_, error) in enumerate(results) if error is not None]
    if failed:
        with pytest.raises(type(failed[0][1])) as info:
            layout.pack_many(columns, stride=stride)
        assert_same_error(info.value, failed[0][1], note=str(failed[0][0]))
    else:
        size = layout.packet_size if stride is None else stride
        assert layout.pack_many(columns, stride=stride) == b"".join(p.ljust(size, b"\0") for p, _ in results)


@given(packable_recipes(), st.binary(max_size=200), st.sampled_from([1, 2]))
def test_unpack_many_of_pack_many_gives_the_columns_back(recipe, recording, threads):
    layout = Layout(recipe)
    recording = recording[:len(recording) - len(recording) % layout.packet_size]
    columns = layout.unpack_many(recording, errors="skip").columns
    packed = layout.pack_many(columns)
    assert len(packed) == len(next(iter(columns.values()))) * layout.packet_size
    again = layout.unpack_many(packed, threads=threads)
    assert list(again) == list(columns)
    # The per-packet round trip is the oracle: it is the identity but where
    # decoding drops bytes that encoding does not write back (Windows-1252's
    # byte order marks).
    size = layout.packet_size
    rows = [unpack_parameters(packed[i:i + size], 0, recipe) for i in range(0, len(packed), size)]
    for name, column in columns.items():
        assert again[name].dtype == column.dtype
        expected = np.array([row[name] for row in rows], dtype=column.dtype) if rows else column
        if column.dtype.kind == "f":
            assert float_bits(again[name]) == float_bits(expected) == float_bits(column)
        else:
            assert again[name].tolist() == [row[name] for row in rows]
            marks = any(e["name"] == name and str(e["encoding"]).lower() == "windows_1252" for e in recipe)
            assert marks or again[name].tolist() == column.tolist()


@given(recipes, st.lists(st.tuples(st.integers(0, 6), entries(bits=st.integers(0, 64), offsets=st.integers(0, 64)),
                                   FAULTS), min_size=1, max_size=2))
def test_layout_refuses_what_unpack_parameters_refuses_for_that_entry(recipe, faults):
    items = [(entry, False) for entry in recipe]
    for place, entry, fault in faults:
        items.insert(place, (with_fault(entry, fault), True))
    first = next(item for item, faulty in items if faulty)
    # The faulty entry alone, with its bytes inside the packet: what unpack_parameters says of it.
    _, expected = outcome(unpack_parameters, bytes(32), 0, [first])
    with pytest.raises(ValueError) as info:
        Layout([item for item, _ in items])
    assert_same_error(info.value, expected)


@given(recipes)
def test_layouts_pickle_compare_and_keep_their_own_copy(recipe):
    layout = Layout(recipe)
    again = pickle.loads(pickle.dumps(layout))
    assert again == layout and hash(again) == hash(layout) and again.recipe == layout.recipe == recipe
    assert Layout(copy.deepcopy(recipe)) == layout
    assert Layout([{**recipe[0], "bits": recipe[0]["bits"] + 1}, *recipe[1:]]) != layout
    for name in layout.columns:
        assert repr(name) in repr(layout) or name in repr(layout)
    recipe[0]["bits"] = 4096  # the caller's recipe changes, the layout does not
    assert layout == again and layout.recipe[0] != recipe[0]
