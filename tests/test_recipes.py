"""Recipe reading, packet unpacking and packet packing."""
import pytest
from hypothesis import given, settings, strategies as st

import fieldloom
from fieldloom import pack_parameters, unpack_parameters

from helpers import INT_TOO_BIG, NEGATIVE_TO_UNSIGNED, entry, not_a_real_number, not_an_integer, wrapped

U64 = 2**64


# --- recipe entries -----------------------------------------------------------

KEY_FAULTS = [
    ({}, "KeyError: \"Recipe missing required field: 'name'\""),
    ({"bits": 8}, "KeyError: \"Recipe missing required field: 'name'\""),
    ({"name": "x"}, "KeyError: \"Recipe missing required field: 'encoding'\""),
    ({"name": "x", "encoding": "unsigned"}, "KeyError: \"Recipe missing required field: 'bits'\""),
    ({"name": "x", "encoding": "unsigned", "bits": 8}, "KeyError: \"Recipe missing required field: 'byte_order'\""),
    (
        {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big"},
        "KeyError: \"Recipe missing required field: 'reverse_bits'\"",
    ),
    (entry(name=5), "TypeError: 'int' object cannot be cast as 'str'"),
    (entry(encoding=b"unsigned"), "TypeError: 'bytes' object cannot be cast as 'str'"),
    (entry(byte_order=None), "TypeError: 'NoneType' object cannot be cast as 'str'"),
    (entry(bits=8.0), f"TypeError: {not_an_integer(1.0)}"),
    (entry(bits=-1), f"OverflowError: {NEGATIVE_TO_UNSIGNED}"),
    (entry(bits=2**32), "OverflowError: out of range integral type conversion attempted"),
    (entry(reverse_bits=1), "TypeError: 'int' object cannot be cast as 'bool'"),
    (entry(reverse_bits=None), "TypeError: 'NoneType' object cannot be cast as 'bool'"),
    (entry(offset_bits=None), f"TypeError: {not_an_integer(None)}"),
    (entry(offset_bits=2**64), f"OverflowError: {INT_TOO_BIG}"),
    (entry(byte_order="middle"), "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
    (entry(byte_order=" big"), "ValueError: Invalid byte_order ' big': must be 'big' or 'little'"),
    (entry(encoding="utf-8"), "ValueError: Unsupported encoding type: utf-8"),
    (entry(encoding="Foo"), "ValueError: Unsupported encoding type: Foo"),
    (entry(encoding="UTF_8"), "ValueError: Unsupported encoding type: UTF_8"),
    (entry(encoding="ti_f32"), "NotImplementedError: TI f32 format not yet implemented"),
    (entry(encoding="MIL_STD_1750A_F48"), "NotImplementedError: MIL-STD-1750A f48 format not yet implemented"),
    (entry(encoding="ieee754_f128", bits=128, offset_bits=0), "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)"),
    ([("name", "x")], "TypeError: 'list' object cannot be cast as 'dict'"),
    (5, "TypeError: 'int' object cannot be cast as 'dict'"),
]


@pytest.mark.parametrize("item, message", KEY_FAULTS)
def test_unpack_entry_faults(item, message):
    assert wrapped(lambda: unpack_parameters(bytes(16), 0, [item])) == message


def test_unicode_encode_error_in_name():
    assert wrapped(lambda: unpack_parameters(b"\0", 0, [entry(name="\ud800")])).startswith("UnicodeEncodeError: ")


def test_case_folding_and_kelvin_sign():
    packet = b"\x12\x34"
    assert unpack_parameters(packet, 0, [entry(encoding="UNSIGNED", byte_order="BIG", bits=16)]) == {"x": 0x1234}
    assert unpack_parameters(packet, 0, [entry(encoding="Twos_Complement", byte_order="Little", bits=16)]) == {"x": 0x3412}
    kelvin = "pac\u212aed_bcd"
    assert unpack_parameters(packet, 0, [entry(encoding=kelvin, bits=16)]) == {"x": 1234}
    assert pack_parameters([entry(encoding=kelvin, bits=16)], {"x": 1234}) == packet


def test_extra_keys_ignored_and_subclasses_read_from_storage():
    class Sneaky(dict):
        def __getitem__(self, key):
            raise AssertionError("not consulted")

        def __missing__(self, key):
            raise AssertionError("not consulted")

    item = Sneaky(entry(bits=8), comment="ignored")
    assert unpack_parameters(b"\x07", 0, [item]) == {"x": 7}
    assert pack_parameters([item], Sneaky(x=7)) == b"\x07"
    assert wrapped(lambda: unpack_parameters(b"\x07", 0, [Sneaky(name="x")])) == (
        "KeyError: \"Recipe missing required field: 'encoding'\""
    )


def test_recipe_argument_conversion_not_wrapped():
    with pytest.raises(TypeError, match=r"^argument 'recipe': Can't extract `str` to `Vec`$"):
        pack_parameters("abc", {})
    with pytest.raises(TypeError, match=r"^argument 'values': 'list' object cannot be cast as 'dict'$"):
        pack_parameters([], [])
    with pytest.raises(TypeError, match=r"^argument 'recipe': 'int' object cannot be cast as 'Sequence'$"):
        pack_parameters(5, 5)
    with pytest.raises(TypeError, match=r"^argument 'recipe': 'dict' object cannot be cast as 'Sequence'$"):
        unpack_parameters(b"", 0, entry())
    with pytest.raises(TypeError, match=r"^argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'$"):
        unpack_parameters(bytearray(1), 0, [])
    with pytest.raises(OverflowError):
        unpack_parameters(b"", -1, [])
    assert unpack_parameters(b"\x01\x02", 0, (entry(), entry(name="y"))) == {"x": 1, "y": 2}


# --- unpacking ----------------------------------------------------------------


@pytest.mark.parametrize(
    "packet, offset, recipe, expected",
    [
        (b"", 12345, [], {}),
        (b"\x00\x11\x22\x33\x44", 8, [entry()], {"x": 0x11}),
        (b"\x00\x11\x22\x33\x44", 8, [entry(offset_bits=16), entry(name="y")], {"x": 0x33, "y": 0x44}),
        (b"\x11\x22", 7, [entry(), entry(name="y")], {"x": 0x11, "y": 0x22}),
        (b"\xab\xcd", 0, [entry(bits=12)], {"x": 0xBCD}),
        (b"\xab\xcd", 0, [entry(bits=12, byte_order="little")], {"x": 0xDAB}),
        (b"\x01", 0, [entry(reverse_bits=True)], {"x": 0x80}),
        (b"\x01\x00", 0, [entry(bits=16, byte_order="little", reverse_bits=True)], {"x": 0x8000}),
        (b"\xf5", 0, [entry(bits=4), entry(name="y", bits=4)], {"x": 5, "y": 5}),
        (b"\x80\x00", 0, [entry(encoding="twos_complement", bits=16)], {"x": -32768}),
        (b"\xff", 0, [entry(encoding="twos_complement")], {"x": -1}),
        (bytes(range(1, 11)), 0, [entry(bits=80)], {"x": 0x0102030405060708}),
        (bytes(range(1, 11)), 0, [entry(bits=80, byte_order="little")], {"x": 0x0A09080706050403}),
        (b"\xff" * 9, 0, [entry(bits=72, reverse_bits=True)], {"x": U64 - 1}),
        (b"\x12" * 8, 0, [entry(encoding="ieee754_f128", bits=64)], {"x": 0.0}),
        (b"", 0, [entry(bits=0)], {"x": 0}),
        (b"\xaa", 8, [entry(bits=0), entry(name="y", bits=0, encoding="utf8")], {"x": 0, "y": ""}),
        (b"\x01\x02\x03", 0, [entry(), entry(), entry(name="y")], {"x": 2, "y": 3}),
        # overlapping fields read the same bytes
        (b"\x12\x34", 0, [entry(bits=16), entry(name="y", offset_bits=0)], {"x": 0x1234, "y": 0x12}),
    ],
)
def test_unpack_addressing(packet, offset, recipe, expected):
    result = unpack_parameters(packet, offset, recipe)
    assert result == expected
    assert list(result) == list(expected)


def test_duplicate_name_keeps_first_place():
    result = unpack_parameters(b"\x01\x02\x03", 0, [entry(name="a"), entry(name="b"), entry(name="a")])
    assert list(result.items()) == [("a", 3), ("b", 2)]


def test_name_subclass_becomes_plain_str_key():
    class Name(str):
        def __hash__(self):
            return 0

    (key,) = unpack_parameters(b"\x01", 0, [entry(name=Name("x"))])
    assert type(key) is str and key == "x"


@pytest.mark.parametrize(
    "packet, offset, recipe, message",
    [
        (b"abc", 0, [entry(name="temp", bits=32)], "ValueError: Field 'temp' needs a packet of at least 4 bytes, but the packet has 3"),
        (b"abc", 24, [entry(name="temp", bits=1)], "ValueError: Field 'temp' needs a packet of at least 4 bytes, but the packet has 3"),
        (b"", 0, [entry(bits=1)], "ValueError: Field 'x' needs a packet of at least 1 bytes, but the packet has 0"),
        (b"ab", U64 - 8, [entry(bits=0)], f"ValueError: Field 'x' needs a packet of at least {(U64 - 8) // 8} bytes, but the packet has 2"),
        # bounds come before byte order, byte order before the encoding
        (b"a", 0, [entry(bits=16, encoding="nope")], "ValueError: Field 'x' needs a packet of at least 2 bytes, but the packet has 1"),
        (b"a", 0, [entry(byte_order="mid", encoding="nope")], "ValueError: Invalid byte_order 'mid': must be 'big' or 'little'"),
        (b"\x00\x41", 0, [entry(bits=16, encoding="utf16", offset_bits=0, byte_order="big"), entry(name="y", encoding="utf16", bits=0)], "ValueError: UTF-16 requires an even number of bytes with at least 2 bytes"),
    ],
)
def test_unpack_failures(packet, offset, recipe, message):
    assert wrapped(lambda: unpack_parameters(packet, offset, recipe)) == message


def test_bounds_exactly_at_end():
    assert unpack_parameters(b"ab", 8, [entry()]) == {"x": ord("b")}
    assert unpack_parameters(b"ab", 16, [entry(bits=0)]) == {"x": 0}
    wrapped(lambda: unpack_parameters(b"ab", 16, [entry(bits=1)]))


def test_positions_wrap_on_unpack():
    # the call offset plus the entry offset wraps modulo 2**64
    assert unpack_parameters(b"\x00\x07", 8, [entry(offset_bits=U64 - 8)]) == {"x": 0}
    assert unpack_parameters(b"\x00\x07", 24, [entry(offset_bits=U64 - 16)]) == {"x": 7}


def test_huge_offsets_fail_cleanly():
    message = wrapped(lambda: unpack_parameters(b"\x00", U64 - 1, [entry(bits=2**32 - 1)]))
    assert message.startswith("ValueError: Field 'x' needs a packet of at least ")


# --- packing ------------------------------------------------------------------


@pytest.mark.parametrize(
    "recipe, values, expected",
    [
        ([], {"unused": 1}, b""),
        ([entry()], {"x": 255}, b"\xff"),
        ([entry(bits=12)], {"x": 0xABC}, b"\x0a\xbc"),
        ([entry(bits=12, byte_order="little")], {"x": 0xABC}, b"\xbc\x0a"),
        ([entry(reverse_bits=True)], {"x": 1}, b"\x80"),
        ([entry(bits=12, reverse_bits=True)], {"x": 1}, b"\x08\x00"),
        ([entry(bits=4), entry(name="y", bits=4)], {"x": 1, "y": 2}, b"\x02"),
        ([entry(offset_bits=4)], {"x": 0xAB}, b"\xab\x00"),
        ([entry(name="a", offset_bits=16), entry(name="b", offset_bits=0), entry(name="c")], {"a": 1, "b": 2, "c": 3}, b"\x02\x03\x01\x00"),
        ([entry(encoding="utf8", bits=16)], {"x": "hello"}, b"he"),
        ([entry(encoding="utf8", bits=16), entry(name="y", bits=8)], {"x": "hello", "y": 0x21}, b"he!"),
        ([entry(encoding="utf8", bits=16, byte_order="little")], {"x": "ab"}, b"ba"),
        ([entry(encoding="ieee754_f32", bits=32)], {"x": 1.0}, b"\x3f\x80\x00\x00"),
        ([entry(encoding="ieee754_f32", bits=16)], {"x": 1.0}, b"\x00\x00"),
        ([entry(bits=0)], {"x": 0}, b""),
        ([entry(encoding="utf8", bits=0)], {"x": "abc"}, b""),
        ([entry(bits=72)], {"x": 0x0102030405060708}, b"\x00\x01\x02\x03\x04\x05\x06\x07\x08"),
        ([entry(bits=72, reverse_bits=True)], {"x": 1}, b"\x80" + bytes(8)),
        ([entry(bits=68, reverse_bits=True)], {"x": 3}, b"\x0c" + bytes(8)),
        ([entry(bits=72, byte_order="little")], {"x": 0x0102}, b"\x02\x01" + bytes(7)),
        ([entry(bits=64)], {"x": U64 - 1}, b"\xff" * 8),
        ([entry(bits=16), entry(name="y", offset_bits=0)], {"x": 0xFFFF, "y": 0}, b"\x00\xff"),
        # later fields overwrite whole bytes, even with zeros
        ([entry(bits=8), entry(name="y", bits=4, offset_bits=0)], {"x": 0xFF, "y": 1}, b"\x01"),
        ([entry(), entry(name="x", offset_bits=8)], {"x": 9}, b"\x09\x09"),
    ],
)
def test_pack_layout(recipe, values, expected):
    assert pack_parameters(recipe, values) == expected


@pytest.mark.parametrize(
    "recipe, values, message",
    [
        ([entry()], {}, "KeyError: \"Missing value for parameter: 'x'\""),
        ([entry(name="temp")], {}, "KeyError: \"Missing value for parameter: 'temp'\""),
        ([entry()], {"x": 256}, "ValueError: Value 256 is too large for 8 bits"),
        ([entry()], {"x": -1}, f"OverflowError: {NEGATIVE_TO_UNSIGNED}"),
        ([entry()], {"x": "1"}, f"TypeError: {not_an_integer('1')}"),
        ([entry(encoding="twos_complement")], {"x": 128}, "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)"),
        ([entry(encoding="twos_complement")], {"x": 2**63}, f"OverflowError: {INT_TOO_BIG}"),
        ([entry(encoding="ieee754_f128")], {"x": 1.0}, "ValueError: Unsupported encoding type: ieee754_f128"),
        ([entry(encoding="ti_f32")], {"x": 1.0}, "ValueError: Unsupported encoding type: ti_f32"),
        ([entry(encoding="utf8")], {"x": 5}, "TypeError: 'int' object cannot be cast as 'str'"),
        ([entry(encoding="ieee754_f64")], {"x": "1.0"}, f"TypeError: {not_a_real_number('1.0')}"),
        ([entry(byte_order="up")], {"x": 1}, "ValueError: Invalid byte_order 'up': must be 'big' or 'little'"),
        # the encoding fault of an entry is reported before its byte order
        ([entry(byte_order="up")], {"x": 256}, "ValueError: Value 256 is too large for 8 bits"),
        # the sizing pass reads every bits and offset_bits first
        ([entry(), entry(name="missing"), {"name": "z"}], {"x": 1}, "KeyError: \"Recipe missing required field: 'bits'\""),
        ([{"bits": 8}, entry(offset_bits=-1)], {}, f"OverflowError: {NEGATIVE_TO_UNSIGNED}"),
        ([entry(), 7], {"x": 1}, "TypeError: 'int' object cannot be cast as 'dict'"),
    ],
)
def test_pack_failures(recipe, values, message):
    assert wrapped(lambda: pack_parameters(recipe, values)) == message


@pytest.mark.parametrize(
    "recipe",
    [
        [entry(bits=1, offset_bits=U64 - 1)],
        [entry(bits=16, offset_bits=U64 - 8)],
        [entry(bits=8, offset_bits=2**63)],
        [entry(bits=2**32 - 1, offset_bits=U64 - 2**31)],
    ],
)
def test_impossible_packets_raise_memory_error(recipe):
    with pytest.raises(MemoryError):
        pack_parameters(recipe, {"x": 1})
    assert pack_parameters([entry()], {"x": 1}) == b"\x01"


def test_sizing_faults_reported_before_impossible_size():
    recipe = [entry(bits=1, offset_bits=U64 - 1), {"bits": "wide"}]
    assert wrapped(lambda: pack_parameters(recipe, {"x": 1})) == (
        f"TypeError: {not_an_integer('1')}"
    )


def test_large_offsets_that_fit_still_work():
    packet = pack_parameters([entry(offset_bits=8 * 100_000)], {"x": 7})
    assert len(packet) == 100_001 and packet[-1] == 7 and not any(packet[:-1])
    assert unpack_parameters(packet, 8 * 100_000, [entry()]) == {"x": 7}


# --- round trips --------------------------------------------------------------

FIELD_KINDS = {
    "unsigned": lambda bits: st.integers(0, 2**bits - 1),
    "twos_complement": lambda bits: st.integers(-(2 ** (bits - 1)), 2 ** (bits - 1) - 1),
    "ones_complement": lambda bits: st.integers(-(2 ** (bits - 1)) + 1, 2 ** (bits - 1) - 1),
    "sign_magnitude": lambda bits: st.integers(-(2 ** (bits - 1)) + 1, 2 ** (bits - 1) - 1),
}


@st.composite
def recipes_with_values(draw):
    count = draw(st.integers(0, 12))
    recipe, values, position = [], {}, 0
    for i in range(count):
        encoding = draw(st.sampled_from(sorted(FIELD_KINDS)))
        bits = draw(st.integers(2, 64))
        field = entry(
            name=f"f{i}",
            encoding=encoding,
            bits=bits,
            byte_order=draw(st.sampled_from(["big", "little"])),
            reverse_bits=draw(st.booleans()),
        )
        gap = draw(st.integers(0, 3)) * 8
        if gap or draw(st.booleans()):
            field["offset_bits"] = position + gap
            position += gap
        position += ((bits + 7) // 8) * 8
        recipe.append(field)
        values[f"f{i}"] = draw(FIELD_KINDS[encoding](bits))
    return recipe, values


def _aligned(recipe):
    # the cursor advances by bits; keep every field byte-aligned by giving
    # each one an explicit offset equal to where the packer placed it
    out, position = [], 0
    for field in recipe:
        field = dict(field)
        position = field.get("offset_bits", position)
        field["offset_bits"] = position
        position += ((field["bits"] + 7) // 8) * 8
        out.append(field)
    return out


@settings(max_examples=200)
@given(recipes_with_values())
def test_pack_then_unpack_gives_values_back(case):
    recipe, values = case
    recipe = _aligned(recipe)
    packet = pack_parameters(recipe, values)
    assert unpack_parameters(packet, 0, recipe) == values


# --- repeated calls with the same recipe objects ---------------------------------


def test_changed_entry_is_read_again():
    field = entry(bits=8)
    recipe = [field]
    assert unpack_parameters(b"\x12\x34", 0, recipe) == {"x": 0x12}
    field["bits"] = 16
    assert unpack_parameters(b"\x12\x34", 0, recipe) == {"x": 0x1234}
    field["name"] = "y"
    assert pack_parameters(recipe, {"y": 0xABCD}) == b"\xab\xcd"
    field["byte_order"] = "sideways"
    assert wrapped(lambda: unpack_parameters(b"\x12\x34", 0, recipe)) == (
        "ValueError: Invalid byte_order 'sideways': must be 'big' or 'little'"
    )
    del field["reverse_bits"]
    assert wrapped(lambda: pack_parameters(recipe, {"y": 1})) == (
        "KeyError: \"Recipe missing required field: 'reverse_bits'\""
    )


def test_user_objects_in_entries_are_consulted_every_call():
    calls = []

    class Width:
        def __index__(self):
            calls.append(1)
            return 8

    recipe = [entry(bits=Width())]
    for _ in range(3):
        assert unpack_parameters(b"\x05", 0, recipe) == {"x": 5}
    assert len(calls) == 3
    for _ in range(2):
        assert pack_parameters(recipe, {"x": 5}) == b"\x05"
    assert len(calls) == 3 + 2 * 2  # the sizing pass and the main pass each read it


def _outcome(packet, recipe):
    """A call's result in order, values by type and repr (NaN included), or its message."""
    try:
        return [(k, type(v), repr(v)) for k, v in unpack_parameters(packet, 0, recipe).items()]
    except ValueError as error:
        return str(error)


@st.composite
def reused_recipes(draw):
    # Few names, each a new str object: repeated names that are equal but
    # not identical. Some kinds can fail on the packet's bytes.
    kinds = ["unsigned", "twos_complement", "packed_bcd", "ieee754_f32", "utf8", "utf16le", "latin1", "ieee754_f128"]
    recipe = [
        entry(
            name="".join(list(draw(st.sampled_from("abc")))),
            encoding=draw(st.sampled_from(kinds)),
            bits=draw(st.integers(0, 72)),
            byte_order=draw(st.sampled_from(["big", "little"])),
            reverse_bits=draw(st.booleans()),
            **({"offset_bits": draw(st.integers(0, 64))} if draw(st.booleans()) else {}),
        )
        for _ in range(draw(st.integers(1, 8)))
    ]
    return recipe, draw(st.binary(min_size=80, max_size=80)), draw(st.integers(0, 80))


@settings(max_examples=150)
@given(reused_recipes())
def test_calls_with_the_same_dicts_match_their_first_reading(case):
    # The first call reads every entry; later ones use what was remembered
    # of the same, unchanged dicts, in this list or another.
    recipe, packet, cut = case
    first = _outcome(packet, recipe)
    for again in [recipe] * 4 + [list(recipe), tuple(recipe)]:
        assert _outcome(packet, again) == first
    # A shorter packet: fresh copies of the dicts are read anew.
    assert _outcome(packet[:cut], recipe) == _outcome(packet[:cut], [dict(item) for item in recipe])


def test_pack_only_direction_refusals_survive_unpacking_first():
    recipe = [entry(encoding="ieee754_f128", bits=64)]
    assert unpack_parameters(bytes(8), 0, recipe) == {"x": 0.0}
    assert wrapped(lambda: pack_parameters(recipe, {"x": 1.0})) == "ValueError: Unsupported encoding type: ieee754_f128"


class _Entries:
    """A sequence that is neither a list nor a tuple: read by iteration."""

    def __init__(self, items):
        self._items = items

    def __len__(self):
        return 1  # only a hint, and a wrong one

    def __getitem__(self, index):
        return self._items[index]


@pytest.mark.parametrize("count", [1, 31, 32, 33, 65, 300])
def test_recipes_of_any_length_and_kind_read_alike(count):
    # Recipes kept inline, and those that outgrow it while being read.
    recipe = [entry(name=f"f{i}", bits=8) for i in range(count)]
    values = {f"f{i}": i % 256 for i in range(count)}
    packet = bytes(i % 256 for i in range(count))
    for kind in (list, tuple, _Entries):
        assert pack_parameters(kind(recipe), values) == packet
        assert unpack_parameters(packet, 0, kind(recipe)) == values


def test_value_keys_are_matched_as_a_lookup_matches_them():
    recipe = [entry(name="a", bits=8), entry(name="b", bits=8)]
    # Equal names that are other objects than the recipe's.
    assert pack_parameters(recipe, {"".join("a"): 1, "".join(["b"]): 2}) == b"\x01\x02"
    calls = []

    class Key(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            calls.append(other)
            return str.__eq__(self, other)

    values = {Key("a"): 1, "b": 2}
    expected = [values[name] for name in ("a", "b")]  # the interpreter's own lookups
    looked_up, calls[:] = list(calls), []
    assert pack_parameters(recipe, values) == bytes(expected)
    assert calls == looked_up and looked_up
