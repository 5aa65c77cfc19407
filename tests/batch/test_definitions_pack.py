"""Definitions.pack against a plain-Python placement: each field's raw value
(what pack_parameters writes for a one-field recipe, right-aligned) put at
its bit with int shifts. Random fixed layouts, bit-packed fields, both byte
orders, arrays, text and binary; then decoding the bytes back."""
import numpy
import pytest
from hypothesis import given, strategies as st

import fieldloom
from fieldloom_batch.definitions import (CUC, Boolean, Dynamic, Entry, Enumeration, PacketType, Polynomial, Spline)
from fieldloom_batch.definitions.definitions import Definitions

WIDTHS = {
    "unsigned": range(1, 65), "twos_complement": range(1, 65), "ones_complement": range(1, 65),
    "sign_magnitude": range(2, 65), "packed_bcd": range(4, 65, 4), "packed_bcd_signed": range(8, 65, 4),
    "unpacked_bcd": range(8, 65, 8), "unpacked_bcd_signed": range(8, 65, 8), "ieee754_f16": [16],
    "ieee754_f32": [32], "ieee754_f64": [64],
}


def one_field(entry, bits=None):
    return [{"name": "x", "encoding": entry.encoding, "bits": bits or entry.bits, "byte_order": entry.byte_order,
             "reverse_bits": False}]


def encoded(entry, value):
    """The raw bits of a value: pack_parameters of a one-field recipe."""
    return int.from_bytes(fieldloom.pack_parameters(one_field(entry), {"x": value}), entry.byte_order) \
        & ((1 << entry.bits) - 1)


def decoded(entry, raw):
    n = (entry.bits + 7) // 8
    return fieldloom.unpack_parameters(raw.to_bytes(n, entry.byte_order), 0, one_field(entry))["x"]


def canonical(entry, raw):
    """The raw value as drawn where it decodes and encodes back to itself; else that of 0."""
    if "bcd" in entry.encoding:  # mostly valid digits
        unit = 4 if entry.encoding.startswith("packed") else 8
        raw = sum((((raw >> k) & 15) % 10 | (0x30 if unit == 8 else 0)) << k for k in range(0, entry.bits, unit))
    try:
        if encoded(entry, decoded(entry, raw)) == raw:
            return raw
    except ValueError:
        pass
    return encoded(entry, 0)


@st.composite
def layouts(draw):
    """(entries, {name: [raw per element] per row}) of a fixed layout, rows random."""
    entries, placed, cursor = [], [], 0
    for i in range(draw(st.integers(1, 7))):
        kind = draw(st.sampled_from(["numeric"] * 4 + ["text", "binary"]))
        gap = draw(st.sampled_from([0, 0, 1, 5, 8]))
        if kind == "numeric":
            encoding = draw(st.sampled_from(sorted(WIDTHS)))
            bits = draw(st.sampled_from(list(WIDTHS[encoding])))
            order = draw(st.sampled_from(["big", "little"])) if bits % 8 == 0 else "big"
            count = draw(st.sampled_from([None, None, 1, 3]))
            entry = Entry(f"f{i}", encoding, bits, order, offset=gap or None, relative_to="previous", count=count)
            start = cursor + gap
        else:
            start = (cursor + gap + 7) // 8 * 8
            encoding = "utf8" if kind == "text" else "binary"
            entry = Entry(f"f{i}", encoding, 8 * draw(st.integers(1, 4)), offset=start)
        entries.append(entry)
        placed.append(start)
        cursor = start + entry.bits * (entry.count or 1)
    return entries, placed, cursor


def place(entries, starts, end, rows):
    """Packets from raw values by int shifts, and the values each decodes to."""
    size = (end + 7) // 8
    out, values = bytearray(), {entry.name: [] for entry in entries}
    for row in rows:
        packet = 0
        for entry, start, raws in zip(entries, starts, row):
            if entry.encoding in ("utf8", "binary"):
                data = raws
                packet |= int.from_bytes(data, "big") << (8 * size - start - 8 * len(data))
                values[entry.name].append(data.decode() if entry.encoding == "utf8" else data)
                continue
            elements = []
            for k, raw in enumerate(raws):
                bits = raw if entry.byte_order == "big" else int.from_bytes(raw.to_bytes(entry.bits // 8, "little"))
                packet |= bits << (8 * size - start - (k + 1) * entry.bits)
                elements.append(decoded(entry, raw))
            values[entry.name].append(elements if entry.count is not None else elements[0])
        out += packet.to_bytes(size, "big")
    return bytes(out), values


@given(layouts(), st.data())
def test_pack_is_the_inverse_of_decoding(layout, data):
    entries, starts, end = layout
    rows = []
    for _ in range(data.draw(st.integers(0, 3))):
        row = []
        for entry in entries:
            if entry.encoding in ("utf8", "binary"):
                text = data.draw(st.text(st.characters(max_codepoint=127), min_size=entry.bits // 8,
                                         max_size=entry.bits // 8))
                row.append(text.encode())
            else:
                raws = data.draw(st.lists(st.integers(0, 2**entry.bits - 1), min_size=entry.count or 1,
                                          max_size=entry.count or 1))
                row.append([canonical(entry, raw) for raw in raws])
        rows.append(row)
    packets, values = place(entries, starts, end, rows)
    definitions = Definitions([PacketType("t", tuple(entries))])
    assert definitions.pack("t", values, raw=True) == packets
    arrays = {name: numpy.array(column) for name, column in values.items() if not isinstance(column[0] if column
                                                                                           else None, (str, bytes))}
    if rows:  # the engine's own columns pack back to the bytes they came from
        table = definitions.decode(packets, stride=len(packets) // len(rows)).tables["t"]
        assert definitions.pack("t", table.columns, raw=True) == packets
        assert definitions.pack("t", {**values, **arrays}, raw=True) == packets


def calibrated(calibration, encoding="unsigned", bits=12):
    return Definitions([PacketType("t", (Entry("x", encoding, bits, calibration=calibration),))])


@given(st.lists(st.integers(-2048, 2047), max_size=8), st.floats(-1e3, 1e3), st.sampled_from([0.25, -3.0, 1e-3]))
def test_linear_polynomials_invert_to_the_nearest_count(raws, intercept, slope):
    definitions = calibrated(Polynomial((intercept, slope)), "twos_complement")
    engineering = [intercept + slope * raw for raw in raws]  # Horner for degree 1
    assert definitions.pack("t", {"x": engineering}) == definitions.pack("t", {"x": raws}, raw=True)


@given(st.lists(st.tuples(st.integers(-2048, 2047), st.integers(0, 2), st.booleans()), min_size=1, max_size=8))
def test_decoded_engineering_columns_pack_back(rows):
    definitions = Definitions([PacketType("t", (
        Entry("v", "twos_complement", 12, calibration=Polynomial((-7.5, 0.125))),
        Entry("m", bits=3, calibration=Enumeration({0: "A", 1: "B", 2: "C"})),
        Entry("b", bits=1, calibration=Boolean())))])
    packets = definitions.pack("t", dict(zip("vmb", map(list, zip(*rows)))), raw=True)
    table = definitions.decode(packets, stride=2).tables["t"]
    assert definitions.pack("t", table.columns) == packets


def test_labels_and_booleans_invert():
    labels = calibrated(Enumeration({3: "ON", 5: "OFF", 9: "ON"}, other="?"))
    assert labels.pack("t", {"x": ["ON", "OFF"]}) == labels.pack("t", {"x": [3, 5]}, raw=True)
    flags = calibrated(Boolean(), bits=1)
    assert flags.pack("t", {"x": numpy.array([True, False, True])}) == bytes([0x80, 0, 0x80])


def test_bit_packed_neighbours_keep_their_bits():
    definitions = Definitions([PacketType("t", (Entry("a", bits=3), Entry("b", "twos_complement", 11),
                                                Entry("c", bits=16, byte_order="little", offset=3,
                                                      relative_to="previous")))])
    # 101 11111111111 000 then 0x34 0x12 from bit 17
    assert definitions.pack("t", {"a": [5], "b": [-1], "c": [0x1234]}) == bytes([0xBF, 0xFC, 0x1A, 0x09, 0x00])


def test_text_longer_than_its_field_stops_at_its_end():
    # utf16 encodes a byte order mark too: 4 bytes for a 2-byte field, cut as pack_parameters cuts
    # them; the entry after it in the packet, given before it in the type, keeps its byte.
    definitions = Definitions([PacketType("t", (Entry("flag", bits=8, offset=16), Entry("text", "utf16", 16, offset=0)))])
    assert definitions.pack("t", {"flag": [7], "text": ["\u0100"]}) == b"\xfe\xff\x07"


@pytest.mark.parametrize("types, columns, raw, message", [
    ([PacketType("t", (Entry("n"), Entry("d", "binary", Dynamic("n", unit="bytes"))))], {}, True,
     "a part whose size varies \\('d'\\)"),
    ([PacketType("t", (Entry("x"),), abstract=True)], {"x": [1]}, True, "abstract"),
    ([PacketType("t", (Entry("x", calibration=Spline(((0, 0), (1, 1)))),))], {"x": [1.0]}, False,
     "Spline calibration cannot be inverted; give raw values"),
    ([PacketType("t", (Entry("x", calibration=Polynomial((0, 1, 2))),))], {"x": [1.0]}, False, "degree 2"),
    ([PacketType("t", (Entry("x", calibration=Polynomial((5,))),))], {"x": [1.0]}, False, "degree 0"),
    ([PacketType("t", (Entry("x", bits=32, calibration=CUC(4, 0)),))], {"x": [1]}, False, "CUC calibration"),
    ([PacketType("t", (Entry("x", calibration=Enumeration({1: "A"})),))], {"x": ["B"]}, False,
     "no code for label 'B'"),
    ([PacketType("t", (Entry("x"),))], {"x": [1], "y": [2]}, True, "no entry 'y'"),
    ([PacketType("t", (Entry("x"), Entry("y")))], {"x": [1]}, True, "no column for entry 'y'"),
    ([PacketType("t", (Entry("x"), Entry("y")))], {"x": [1], "y": [1, 2]}, True, "equal length"),
    ([PacketType("t", (Entry("x"),))], {"x": [1]}, True, None),
])
def test_refusals(types, columns, raw, message):
    definitions = Definitions(types)
    if message is None:
        with pytest.raises(ValueError, match="no packet type 'u'"):
            definitions.pack("u", columns)
        return
    with pytest.raises(ValueError, match=message):
        definitions.pack("t", columns, raw=raw)


@pytest.mark.parametrize("entry, value", [
    (Entry("x", bits=12), 4096), (Entry("x", "twos_complement", 5), -17), (Entry("x", bits=8), 1.5),
    (Entry("x", "packed_bcd", 8), 100), (Entry("x", "binary", 16), b"abc"), (Entry("x", bits=4, count=2), [1]),
])
def test_values_that_do_not_encode_name_their_row_and_entry(entry, value):
    definitions = Definitions([PacketType("t", (entry,))])
    good = [[0, 0]] if entry.count else [b"ab"] if entry.encoding == "binary" else [0]
    with pytest.raises(ValueError) as info:
        definitions.pack("t", {"x": good + [value]}, raw=True)
    assert info.value.__notes__ == ["row 1, entry 'x'"]
    if entry.encoding != "binary" and entry.count is None:  # the recipe's own error for the value
        with pytest.raises(ValueError, match=str(info.value).split(": ", 1)[1][:20].replace("(", "\\(")):
            fieldloom.pack_parameters(one_field(entry), {"x": value})
