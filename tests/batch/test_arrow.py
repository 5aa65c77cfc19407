"""Arrow output: `unpack_arrow` against `unpack_many` (itself checked against
the per-packet functions), over random recipes of every encoding."""
from __future__ import annotations

import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from fieldloom_batch import Layout
from fieldloom_batch.arrow import arrow_table, to_pandas

from test_contract import TEXTS, assert_same_error, entries, outcome, recordings, recipes

pa = pytest.importorskip("pyarrow")


def assert_table_equals_columns(table, columns: dict) -> None:
    assert table.column_names == list(columns)
    for name, values in columns.items():
        column = table.column(name)
        if values.dtype == object:
            assert column.type == pa.large_string() and column.null_count == 0
            assert column.to_pylist() == values.tolist(), name
        else:
            assert column.type == pa.from_numpy_dtype(values.dtype)
            assert np.array_equal(column.to_numpy(), values, equal_nan=True), name


def assert_arrow_equals_numpy(layout: Layout, buffer, keywords: dict, threads: int) -> None:
    decoded = layout.unpack_many(buffer, errors="skip", threads=threads, **keywords)
    arrow = layout.unpack_arrow(buffer, errors="skip", threads=threads, **keywords)
    assert_table_equals_columns(arrow.table, decoded.columns)
    assert arrow.index.tolist() == decoded.index.tolist()
    assert [(r.index, r.offset) for r in arrow.refused] == [(r.index, r.offset) for r in decoded.refused]
    for mine, theirs in zip(arrow.refused, decoded.refused):
        assert_same_error(mine.error, theirs.error)
    raised, error = outcome(lambda: layout.unpack_many(buffer, threads=threads, **keywords))
    table, arrow_error = outcome(lambda: layout.unpack_arrow(buffer, threads=threads, **keywords))
    if error is None:
        assert_table_equals_columns(table, raised)
    else:
        assert_same_error(arrow_error, error)


@given(recipes, st.data())
def test_unpack_arrow_equals_unpack_many(recipe, data):
    layout = Layout(recipe)
    buffer, keywords, _ = data.draw(recordings(layout.packet_size))
    assert_arrow_equals_numpy(layout, buffer, keywords, data.draw(st.sampled_from([1, 2])))


text_recipes = st.lists(entries(st.sampled_from(TEXTS), st.sampled_from([8, 16, 32, 48, 64, 96])), min_size=1, max_size=4)


def text_packets(layout: Layout, recipe: list, data) -> bytes:
    """Texts that mostly decode: packed from random strings, some bytes then flipped."""
    rows = data.draw(st.integers(0, 40))
    alphabet = data.draw(st.sampled_from([st.characters(max_codepoint=0x7F), st.characters(max_codepoint=0xFF),
                                          st.characters(codec="utf-8")]))
    packets = bytearray()
    for _ in range(rows):
        values = {entry["name"]: data.draw(st.text(alphabet, max_size=entry["bits"] // 8)) for entry in recipe}
        try:
            packet = layout.pack(values)
        except ValueError:
            packet = data.draw(st.binary(min_size=layout.packet_size, max_size=layout.packet_size))
        packets += packet.ljust(layout.packet_size, b"\0")[: max(layout.packet_size, 1)]
    for at in data.draw(st.lists(st.integers(0, max(len(packets) - 1, 0)), max_size=3)) if packets else []:
        packets[at] ^= data.draw(st.integers(1, 255))
    return bytes(packets)


@given(text_recipes, st.data())
def test_text_columns_equal_the_str_columns(recipe, data):
    layout = Layout(recipe)
    assert_arrow_equals_numpy(layout, text_packets(layout, recipe, data), {"stride": max(layout.packet_size, 1)}, 1)


@given(text_recipes, st.data())
def test_dictionary_encoded_text_holds_the_str_columns(recipe, data):
    layout = Layout(recipe)
    chosen = data.draw(st.one_of(st.booleans(), st.lists(st.sampled_from(layout.columns), unique=True)))
    packets, stride = text_packets(layout, recipe, data), max(layout.packet_size, 1)
    decoded = layout.unpack_many(packets, errors="skip", stride=stride)
    table = layout.unpack_arrow(packets, errors="skip", stride=stride, dictionary=chosen).table
    for name, values in decoded.columns.items():
        column = table.column(name)
        assert pa.types.is_dictionary(column.type) == (chosen is True or name in (chosen or ()))
        assert column.to_pylist() == values.tolist()


@pytest.mark.parametrize("chosen, error", [(["mode", "nothing"], "not a column of the layout: 'nothing'"),
                                           ("count", "dictionary encoding is for text columns, not 'count'")])
def test_dictionary_encoding_is_for_the_layouts_text_columns(chosen, error):
    layout = Layout([{"name": "count", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False},
                     {"name": "mode", "encoding": "us_ascii", "bits": 32, "byte_order": "big", "reverse_bits": False}])
    with pytest.raises((KeyError, ValueError), match=error):
        layout.unpack_arrow(b"\x01SAFE", dictionary=chosen)


def test_numbers_share_the_decoded_buffers_and_text_needs_no_objects():
    layout = Layout([{"name": "v", "encoding": "ieee754_f64", "bits": 64, "byte_order": "big", "reverse_bits": False},
                     {"name": "mode", "encoding": "utf16le", "bits": 64, "byte_order": "big", "reverse_bits": False}])
    columns = {"v": [1.5, -2.0, 3.25], "mode": ["SAFE", "NOMI", "\u20ac\u00e9xy"]}
    table = layout.unpack_arrow(layout.pack_many(columns))
    frame = to_pandas(table)
    assert frame["v"].to_numpy().ctypes.data == table.column("v").chunks[0].buffers()[1].address
    assert frame["mode"].tolist() == columns["mode"]
    assert frame["mode"].dtype.storage == "pyarrow"


def test_arrow_table_of_object_columns():
    table = arrow_table({"n": np.arange(3, dtype=np.uint16), "text": np.array(["a", "bé", ""], dtype=object),
                         "raw": np.array([b"\x00", b"", b"xy"], dtype=object),
                         "list": np.array([[1, 2], [], [3]], dtype=object)})
    assert [str(t) for t in table.schema.types] == ["uint16", "large_string", "large_binary", "large_list<item: int64>"]
    assert table.column("raw").to_pylist() == [b"\x00", b"", b"xy"]


def test_without_pyarrow_numpy_output_still_works(monkeypatch):
    layout = Layout([{"name": "a", "encoding": "us_ascii", "bits": 8, "byte_order": "big", "reverse_bits": False}])
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match="Arrow output needs pyarrow"):
        layout.unpack_arrow(b"ab")
    assert layout.unpack_many(b"ab")["a"].tolist() == ["a", "b"]


@pytest.mark.parametrize("module", ["polars", "duckdb"])
def test_polars_and_duckdb_read_the_table(module):
    library = pytest.importorskip(module)
    layout = Layout([{"name": "n", "encoding": "unsigned", "bits": 16, "byte_order": "little", "reverse_bits": False},
                     {"name": "mode", "encoding": "utf8", "bits": 32, "byte_order": "big", "reverse_bits": False}])
    packets = layout.unpack_arrow(layout.pack_many({"n": [7, 9], "mode": ["SAFE", "NOMI"]}))
    if module == "polars":
        rows = library.from_arrow(packets).rows()
    else:
        rows = library.sql("select n, mode from packets order by n").fetchall()
    assert rows == [(7, "SAFE"), (9, "NOMI")]
