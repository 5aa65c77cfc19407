"""Extreme widths, offsets, packet sizes and recipe lengths.

The cases marked slow build packets of hundreds of megabytes or recipes of a
million entries; they run in CI but stay out of a quick `-m "not slow"` run.
"""
import pytest

import fieldloom
from fieldloom import pack_parameters, unpack_parameters
from helpers import entry, wrapped

U64 = 2**64
WIDEST = 2**32 - 1
MB = 1 << 20


# --- widths and offsets at the ends of their ranges ---------------------------


@pytest.mark.parametrize(
    "packet, offset, item, needed",
    [
        (b"\x01", 0, entry(bits=WIDEST), 536870912),
        (b"\x01", 0, entry(bits=WIDEST, encoding="utf8", byte_order="little"), 536870912),
        (b"", U64 - 1, entry(bits=0), 2**61 - 1),
        (b"", U64 - 1, entry(bits=1), 2**61),
        (b"\x01", 0, entry(offset_bits=U64 - 1, bits=WIDEST), 2**61 - 1 + 536870912),
        (b"", 0, entry(bits=1), 1),
        (b"\x01", 16, entry(bits=0), 2),
    ],
)
def test_fields_beyond_the_packet(packet, offset, item, needed):
    assert wrapped(lambda: unpack_parameters(packet, offset, [item])) == (
        "ValueError: Field 'x' needs a packet of at least %d bytes, but the packet has %d" % (needed, len(packet))
    )


def test_positions_wrap_around_2_to_the_64():
    packet = b"\x12\x34"
    assert unpack_parameters(packet, U64 - 1, [entry(offset_bits=1)]) == {"x": 0x12}
    assert unpack_parameters(packet, U64 - 8, [entry(offset_bits=16), entry(name="y", bits=0)]) == {"x": 0x34, "y": 0}


@pytest.mark.parametrize(
    "recipe",
    [
        [entry(offset_bits=2**62)],
        [entry(offset_bits=U64 - 1, bits=0)],
        [entry(offset_bits=U64 - 1, bits=1)],
        [entry(offset_bits=U64 - 8, bits=WIDEST)],
        [entry(offset_bits=U64 - 8), entry(name="y", bits=WIDEST)],
    ],
)
def test_packets_that_cannot_be_allocated(recipe):
    values = {"x": 1, "y": 1}
    with pytest.raises(MemoryError):
        pack_parameters(recipe, values)


def test_zero_length_packets_and_inputs():
    assert unpack_parameters(b"", 0, [entry(bits=0), entry(name="t", bits=0, encoding="utf8")]) == {"x": 0, "t": ""}
    assert unpack_parameters(b"\x01", 8, [entry(bits=0, encoding="latin1")]) == {"x": ""}
    assert wrapped(lambda: unpack_parameters(b"", 0, [entry(bits=0, encoding="utf16")])) == (
        "ValueError: UTF-16 requires an even number of bytes with at least 2 bytes"
    )
    assert pack_parameters([entry(bits=0)], {"x": 0}) == b""
    assert pack_parameters([entry(bits=0, encoding="utf8")], {"x": "text"}) == b""
    assert pack_parameters([], {}) == b""
    for name in ("utf8", "utf16le", "utf16be", "utf32le", "utf32be", "us_ascii", "iso_8859_1", "windows_1252"):
        assert getattr(fieldloom, "decode_" + name)(b"") == ""
        assert getattr(fieldloom, "encode_" + name)("") == b""
    assert fieldloom.encode_utf16("") == b"\xfe\xff"
    assert fieldloom.encode_utf32("") == b"\x00\x00\xfe\xff"


@pytest.mark.slow
def test_widest_field_on_both_sides():
    packet = pack_parameters([entry(bits=WIDEST)], {"x": 5})
    assert len(packet) == 536870912
    assert packet[-1] == 5 and packet.count(0) == len(packet) - 1
    assert unpack_parameters(packet, 0, [entry(bits=WIDEST)]) == {"x": 0}  # only the first 8 bytes count
    del packet
    # Reversed, bit 0 becomes the field's top bit (bit 2^32 - 2).
    packet = pack_parameters([entry(bits=WIDEST, reverse_bits=True)], {"x": 1})
    assert packet[0] == 0x40 and packet.count(0) == len(packet) - 1
    assert unpack_parameters(packet, 0, [entry(bits=WIDEST, reverse_bits=True)]) == {"x": 1}


# --- large packets and texts ----------------------------------------------------


@pytest.mark.slow
def test_hundred_megabyte_packet():
    size = 100 * MB
    packet = bytes(size - 8) + bytes(range(1, 9))
    tail = 8 * (size - 8)
    assert unpack_parameters(packet, tail, [entry(bits=64), entry(name="y", bits=64, byte_order="little",
                                                                  offset_bits=0)]) == {
        "x": 0x0102030405060708,
        "y": 0x0807060504030201,
    }
    text = unpack_parameters(packet, 0, [entry(bits=8 * size, encoding="latin1", byte_order="little")])["x"]
    assert len(text) == size and text[:8] == "\x08\x07\x06\x05\x04\x03\x02\x01" and text[-1] == "\0"
    del text
    out = pack_parameters([entry(offset_bits=8 * (size - 1))], {"x": 0xAB})
    assert len(out) == size and out[-1] == 0xAB and out.count(0) == size - 1


@pytest.mark.parametrize("encoding", ["utf8", "utf16", "utf16le", "utf32be", "windows_1252", "latin1"])
@pytest.mark.parametrize("byte_order", ["big", "little"])
def test_megabyte_texts_round_trip(encoding, byte_order):
    if encoding in ("windows_1252", "latin1"):
        text = ("caf\u00e9 \u00ff" + ("\u20ac\u0178" if encoding == "windows_1252" else "")) * (MB // 8)
    else:
        text = ("\U0001F600 \u00e9\u4e2d" * (MB // 4))
    encoded = getattr(fieldloom, "encode_" + {"latin1": "iso_8859_1"}.get(encoding, encoding))(text)
    recipe = [entry(encoding=encoding, bits=8 * len(encoded), byte_order=byte_order)]
    packet = pack_parameters(recipe, {"x": text})
    assert packet == (encoded if byte_order == "big" else encoded[::-1])
    assert unpack_parameters(packet, 0, recipe) == {"x": text}


def test_megabyte_text_cut_at_the_end_of_the_packet():
    text = "\u00e9" * MB
    packet = pack_parameters([entry(encoding="utf8", bits=16), entry(name="y", bits=8)], {"x": text, "y": 0x21})
    assert packet == b"\xc3\xa9\x21"


# --- very long recipes ------------------------------------------------------------


@pytest.mark.slow
def test_million_entry_recipes():
    count = 10**6
    items = [entry(name="n%d" % i) for i in range(1000)]
    recipe = items * (count // 1000)
    packet = bytes(i % 251 for i in range(count))
    result = unpack_parameters(packet, 0, recipe)
    assert len(result) == 1000
    assert result["n0"] == (count - 1000) % 251 and result["n999"] == (count - 1) % 251
    out = pack_parameters(recipe, {"n%d" % i: i % 256 for i in range(1000)})
    assert len(out) == count and out[:1000] == bytes(i % 256 for i in range(1000)) and out[-1000:] == out[:1000]
    same = [entry()] * count
    assert unpack_parameters(packet, 0, same) == {"x": packet[-1]}
    assert wrapped(lambda: unpack_parameters(packet[:-1], 0, same)).startswith("ValueError: Field 'x' needs")
