"""Bad input to the batch engine: a clear error, never a crash."""
import mmap
import pickle
import threading

import numpy as np
import pytest

import fieldloom
from fieldloom_batch import Layout


def entry(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order, "reverse_bits": reverse_bits,
            **extra}


RECIPE = [entry("a", bits=16), entry("b", "twos_complement", 8), entry("t", "utf8", 8)]
LAYOUT = Layout(RECIPE)
DATA = bytes(range(40))  # ten 4-byte packets


def message(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize("bad", [
    [entry(), {"name": "y"}],
    [entry(byte_order="middle")],
    [entry(encoding="utf-8")],
    [entry(bits=-1)],
    [entry(reverse_bits=1)],
    [entry(offset_bits=None)],
    ["not a dict"],
])
def test_faulty_entry_raises_at_construction_as_unpack_parameters_does(bad):
    expected = message(lambda: fieldloom.unpack_parameters(bytes(64), 0, bad))
    assert message(lambda: Layout(bad)) == expected and expected[0] is ValueError


def test_recipe_argument_faults_are_not_wrapped():
    assert message(lambda: Layout("abc")) == message(lambda: fieldloom.unpack_parameters(b"", 0, "abc"))[:1] + (
        "argument 'recipe': Can't extract `str` to `Vec`",)


@pytest.mark.parametrize("name", ["ieee754_f128", "ti_f32", "IBM_F64"])
def test_unpack_only_names_fail_at_pack_time_as_pack_parameters_does(name):
    recipe = [entry("f", name, 64)]
    layout = Layout(recipe)
    assert message(lambda: layout.pack({"f": 1.0})) == message(lambda: fieldloom.pack_parameters(recipe, {"f": 1.0}))
    assert message(lambda: layout.pack({})) == message(lambda: fieldloom.pack_parameters(recipe, {}))


def test_layout_keeps_its_own_copy_pickles_and_compares():
    recipe = [entry("a", bits=16)]
    layout = Layout(recipe)
    recipe[0]["bits"] = 8
    assert layout.packet_size == 2 and layout.recipe == [entry("a", bits=16)]
    clone = pickle.loads(pickle.dumps(layout))
    assert clone == layout and hash(clone) == hash(layout) and clone != Layout(recipe)
    assert "'a': byte 0, 16 bits, unsigned big" in repr(layout)


@pytest.mark.parametrize("kwargs, error, text", [
    ({"offsets": [0, -1]}, ValueError, "offsets[1] is -1"),
    ({"offsets": [0, 41]}, ValueError, "offsets[1] is 41"),
    ({"offsets": [8, 4]}, ValueError, "offsets must not decrease"),
    ({"offsets": [0.0, 4.0]}, TypeError, "offsets must hold integers"),
    ({"offsets": np.zeros((2, 2), dtype=np.int64)}, ValueError, "one-dimensional"),
    ({"offsets": np.array([2**64 - 1], dtype=np.uint64)}, ValueError, "past the end"),
    ({"offsets": [0, 4], "lengths": [4, 37]}, ValueError, "lengths[1] is 37"),
    ({"offsets": [0, 4], "lengths": [4, -2]}, ValueError, "lengths[1] is -2"),
    ({"offsets": [0, 4], "lengths": [4]}, ValueError, "lengths has 1 items"),
    ({"offsets": [0, 4], "count": 3}, ValueError, "count is 3"),
    ({"offsets": [0], "stride": 4}, TypeError, "not both"),
    ({"lengths": [4]}, TypeError, "lengths needs offsets"),
    ({"stride": 0}, ValueError, "stride must be a positive"),
    ({"stride": -4}, ValueError, "stride must be a positive"),
    ({"stride": 4, "count": 11}, ValueError, "holds only 10 packets"),
    ({"stride": 4, "count": 2**80}, OverflowError, "count must be 0 to 18446744073709551615, not 1208925819614629174706176"),
    ({"stride": 2**64}, OverflowError, "stride must be 1 to 18446744073709551615, not 18446744073709551616"),
    ({"threads": 2**64}, OverflowError, "threads must be 1 to 18446744073709551615, not 18446744073709551616"),
    ({"offsets": [0, 2**64]}, ValueError, "offsets holds 18446744073709551616, past the end of any buffer"),
    ({"offsets": [-2**64]}, ValueError, "offsets holds -18446744073709551616, before the start of any buffer"),
    ({"offsets": [0], "lengths": [2**70]}, ValueError, "lengths holds 1180591620717411303424, past the end"),
    ({"stride": 4, "count": -1}, ValueError, "count must not be negative"),
    ({"errors": "ignore"}, ValueError, "errors must be"),
    ({"threads": 0}, ValueError, "threads must be at least 1"),
])
def test_bad_geometry(kwargs, error, text):
    with pytest.raises(error) as info:
        LAYOUT.unpack_many(DATA, **kwargs)
    assert text in str(info.value)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda d: np.frombuffer(d, dtype=np.uint8)])
def test_buffers_are_read_in_place(wrap):
    columns = LAYOUT.unpack_many(wrap(DATA), stride=4)
    assert columns["a"].tolist() == [int.from_bytes(DATA[i:i + 2], "big") for i in range(0, 40, 4)]


def test_mmap_and_offsets_to_the_next_and_with_lengths():
    with mmap.mmap(-1, len(DATA)) as mapped:
        mapped.write(DATA)
        by_next = LAYOUT.unpack_many(mapped, offsets=[0, 10, 30])
        by_length = LAYOUT.unpack_many(mapped, offsets=np.array([0, 10, 30], dtype=np.int32), lengths=[4, 4, 4])
    for columns in (by_next, by_length):
        assert columns["a"].tolist() == [0x0001, 0x0A0B, 0x1E1F]


def test_non_contiguous_buffer_is_refused():
    with pytest.raises((BufferError, TypeError)):
        LAYOUT.unpack_many(memoryview(DATA)[::2], stride=4)


def test_trailing_partial_packet_is_never_dropped():
    data = DATA + b"\x01\x02"
    with pytest.raises(ValueError) as info:
        LAYOUT.unpack_many(data, stride=4)
    assert info.value.__notes__ == ["packet 10 at byte offset 40"]
    decoded = LAYOUT.unpack_many(data, stride=4, errors="skip")
    assert len(decoded.index) == 10 and [(r.index, r.offset) for r in decoded.refused] == [(10, 40)]
    assert str(decoded.refused[0].error) == str(message(lambda: fieldloom.unpack_parameters(b"\x01\x02", 0, RECIPE))[1])


def test_buffer_cannot_be_resized_during_a_decode():
    layout = Layout([entry(f"f{i}", bits=32) for i in range(16)])
    data = bytearray(np.arange(64 * 200_000, dtype=np.uint8).tobytes() * 1)
    expected = layout.unpack_many(bytes(data))
    result, refused_resizes = {}, []
    worker = threading.Thread(target=lambda: result.update(layout.unpack_many(data, threads=2)))
    worker.start()
    while worker.is_alive():
        try:
            data.append(0)
            data.pop()
        except BufferError:
            refused_resizes.append(1)
    worker.join()
    assert refused_resizes and all((result[k] == expected[k]).all() for k in expected)


def test_pack_many_bad_input():
    with pytest.raises(ValueError, match="equal length"):
        LAYOUT.pack_many({"a": [1, 2], "b": [1], "t": ["x", "y"]})
    with pytest.raises(ValueError, match="shorter than the 4 bytes"):
        LAYOUT.pack_many({"a": [1], "b": [1], "t": ["x"]}, stride=2)
    with pytest.raises(MemoryError):
        LAYOUT.pack_many({"a": [1] * 3, "b": [1] * 3, "t": ["x"] * 3}, stride=2**62)
    with pytest.raises(ValueError) as info:
        LAYOUT.pack_many({"a": [1, 70000], "b": [1, 1], "t": ["x", "y"]})
    assert str(info.value) == "ValueError: Value 70000 is too large for 16 bits" and info.value.__notes__ == ["row 1"]
    assert LAYOUT.pack_many({"a": [], "b": [], "t": []}) == b""
    with pytest.raises(OverflowError, match="stride must be 0 to 18446744073709551615, not 18446744073709551616"):
        LAYOUT.pack_many({"a": [1], "b": [1], "t": ["x"]}, stride=2**64)


@pytest.mark.parametrize("columns", [[("a", [1])], None, "abc", 3])
def test_pack_many_needs_a_mapping(columns):
    with pytest.raises(TypeError, match="^columns must be a mapping of field names to columns, not "):
        LAYOUT.pack_many(columns)


def test_pack_many_ignores_unused_columns_and_packs_zero_rows_of_any_size():
    rows = {"a": [1, 2], "b": [3, 4], "t": ["x", "y"]}
    expected = b"".join(fieldloom.pack_parameters(RECIPE, {k: v[i] for k, v in rows.items()}) for i in range(2))
    assert LAYOUT.pack_many({**rows, "unused": [0] * 5, "other": []}) == expected
    with pytest.raises(ValueError, match="Missing value for parameter: 'a'"):
        LAYOUT.pack_many({"unused": [0]})  # no column of the layout: rows fail as missing values do
    huge = Layout([entry(offset_bits=2**64 - 4)])
    with pytest.raises(MemoryError):
        huge.pack({"x": 1})
    assert huge.pack_many({"x": []}) == b""
