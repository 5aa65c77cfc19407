"""XTCE documents and recordings generated here, decoded by fieldloom and by
space_packet_parser: the same values, packet by packet.

The documents hold what the peer reads too: bit-packed unsigned and two's
complement integers, IEEE floats, enumerations, booleans, polynomial and
spline calibrations, fixed texts, binary parts sized by an earlier field,
and packet types chosen by restriction criteria on the APID."""
from __future__ import annotations

import math
import random
from dataclasses import dataclass

import numpy as np
import pytest

from fieldloom_batch.definitions.model import (Boolean, Comparison, Contextual, Dynamic, Entry, Enumeration, PacketType,
                                               Polynomial, Spline, ccsds_primary_header)
from fieldloom_batch.loaders import load_xtce, write_xtce

spp = pytest.importorskip("space_packet_parser")
# Packets are whole bytes, so their last few bits are often no entry's; the peer warns of each such packet.
pytestmark = pytest.mark.filterwarnings("ignore:Number of bits parsed:UserWarning")


@dataclass
class Field:
    """An entry and how to draw its raw bits."""

    entry: Entry
    draw: object  # rng -> int (the raw bits), or None for a size set by the packet


def random_fields(rng: random.Random, prefix: str) -> list[Field]:
    fields: list[Field] = []
    cursor = 0
    for k in range(rng.randint(1, 10)):
        name = f"{prefix}_{k}"
        kind = rng.choice(["int", "int", "float", "enum", "bool", "poly", "spline", "text", "blob"])
        if kind in ("text", "blob", "float") and cursor % 8:
            pad = 8 - cursor % 8
            fields.append(Field(Entry(f"{name}_pad", bits=pad), lambda r, b=pad: r.getrandbits(b)))
            cursor += pad
        if kind == "int":
            bits = rng.randint(1, 32)
            entry = Entry(name, rng.choice(["unsigned", "twos_complement"]), bits)
        elif kind == "float":
            bits = rng.choice([16, 32, 64])
            entry = Entry(name, f"ieee754_f{bits}", bits)
            fields.append(Field(entry, lambda r, b=bits: finite_float(r, b)))
            cursor += bits
            continue
        elif kind == "enum":
            bits = rng.randint(1, 4)
            entry = Entry(name, bits=bits, calibration=Enumeration({code: f"S{code}" for code in range(1 << bits)}))
        elif kind == "bool":
            bits = rng.randint(1, 3)
            entry = Entry(name, bits=bits, calibration=Boolean())
        elif kind == "poly":
            bits = rng.randint(2, 16)
            entry = Entry(name, rng.choice(["unsigned", "twos_complement"]), bits,
                          calibration=Polynomial((rng.uniform(-5, 5), rng.uniform(-2, 2), rng.uniform(-1e-3, 1e-3))))
        elif kind == "spline":
            bits = rng.randint(2, 12)
            # the last point lies past every value: the peer fails on a value equal to its last point
            points = sorted(rng.sample(range(1 << bits), 2)) + [(1 << bits) + 0.5]
            entry = Entry(name, bits=bits, calibration=Spline(tuple((x, rng.uniform(-50, 50)) for x in points),
                                                              extrapolate=True))
        elif kind == "text":
            bits = 8 * rng.randint(1, 6)
            entry = Entry(name, "us_ascii", bits)
            fields.append(Field(entry, lambda r, n=bits // 8: int.from_bytes(
                bytes(r.randint(32, 126) for _ in range(n)), "big")))
            cursor += bits
            continue
        else:
            size = Entry(f"{name}_size", bits=8)
            fields.append(Field(size, None))
            fields.append(Field(Entry(name, "binary", Dynamic(size.name, 8)), None))
            cursor += 8
            continue
        fields.append(Field(entry, lambda r, b=bits: r.getrandbits(b)))
        cursor += bits
    return fields


def finite_float(rng: random.Random, bits: int) -> int:
    value = rng.uniform(-1e4, 1e4) if bits > 16 else rng.uniform(-100, 100)
    return int.from_bytes(np.array([value], dtype=f">f{bits // 8}").tobytes(), "big")


def packet(rng: random.Random, apid: int, sequence: int, fields: list[Field]) -> bytes:
    value, bits = 0, 0
    pending_size = None
    for field in fields:
        if field.entry.name.endswith("_size") and field.draw is None:
            pending_size = rng.randint(0, 5)
            raw, width = pending_size, 8
        elif field.draw is None:  # the binary part its size field announced
            raw, width = int.from_bytes(rng.randbytes(pending_size), "big"), 8 * pending_size
        else:
            raw, width = field.draw(rng), field.entry.bits
        value, bits = value << width | raw, bits + width
    value, bits = value << (-bits % 8), bits + (-bits % 8)
    length = bits // 8 + 6
    header = (apid << 32) | (0b11 << 30) | (sequence << 16) | (length - 7)
    return (header << bits | value).to_bytes(length, "big")


def same(ours: object, theirs: object) -> bool:
    if isinstance(ours, (float, np.floating)):
        return math.isclose(float(ours), float(theirs), rel_tol=1e-12, abs_tol=1e-9)  # type: ignore[arg-type]
    if isinstance(ours, np.generic):
        ours = ours.item()
    return ours == theirs


@pytest.mark.parametrize("seed", range(12))
def test_values_equal_space_packet_parser(tmp_path, seed):
    rng = random.Random(seed)
    kinds = {f"T{k}": random_fields(rng, f"t{k}") for k in range(rng.randint(1, 4))}
    types = [PacketType("CCSDSPacket", ccsds_primary_header(), abstract=True)]
    types += [PacketType(name, tuple(field.entry for field in fields), (Comparison("apid", "==", 100 + k),),
                         "CCSDSPacket") for k, (name, fields) in enumerate(kinds.items())]
    path = tmp_path / "doc.xml"
    write_xtce(types, path, name="Generated")
    chosen = [rng.randrange(len(kinds)) for _ in range(40)]
    packets = [packet(rng, 100 + k, n, list(kinds.values())[k]) for n, k in enumerate(chosen)]

    decoded = load_xtce(path).decode(b"".join(packets))
    peer = spp.XtcePacketDefinition.from_xtce(path)
    for name, table in decoded.tables.items():
        rows = list(table.index)
        assert rows == [n for n, k in enumerate(chosen) if list(kinds)[k] == name]
        for row, index in enumerate(rows):
            theirs = peer.parse_bytes(packets[index])
            for column, values in table.columns.items():
                assert same(values[row], theirs[column]), (name, index, column, values[row], theirs[column])


@pytest.mark.parametrize("seed", range(4))
def test_text_content_equals_space_packet_parser(tmp_path, seed):
    """Texts whose content a leading size tag gives or a termination
    character ends, within a fixed size (the peer needs one; it reads no
    IncludeCondition, so entries under conditions are checked against the
    reference only)."""
    entries = (
        Entry("flag", bits=8),
        Entry("tagged", "us_ascii", 56, leading_bits=16),
        Entry("counted", bits=16),
        Entry("ended", "utf8", 48, terminator=b"\0"),
        Entry("last", "twos_complement", 16),
    )
    types = [PacketType("CCSDSPacket", ccsds_primary_header(), abstract=True),
             PacketType("T", entries, (Comparison("apid", "==", 7),), "CCSDSPacket")]
    path = tmp_path / "doc.xml"
    write_xtce(types, path, name="Generated")
    rng = random.Random(seed)
    packets = []
    for n in range(20):
        flag = rng.randrange(4)
        body = bytes([flag])
        tagged = bytes(rng.randint(32, 126) for _ in range(rng.randint(0, 5)))
        body += ((8 * len(tagged)).to_bytes(2, "big") + tagged).ljust(7, b"?")
        body += rng.randbytes(2)
        body += (bytes(rng.randint(32, 126) for _ in range(rng.randint(0, 5))) + b"\0").ljust(6, b"!")
        body += rng.randbytes(2)
        packets.append(((7 << 32) | (0b11 << 30) | (n << 16) | (len(body) - 1)).to_bytes(6, "big") + body)
    table = load_xtce(path).decode(b"".join(packets)).tables["T"]
    peer = spp.XtcePacketDefinition.from_xtce(path)
    assert len(table.index) == len(packets)
    for row, data in enumerate(packets):
        theirs = peer.parse_bytes(data)
        for column, values in table.columns.items():
            assert same(values[row], theirs[column]), (row, column, values[row], theirs[column])


@pytest.mark.parametrize("default", [None, Polynomial((1.0, 1.0))])
def test_context_calibrators_equal_space_packet_parser(tmp_path, default):
    cases = ((Comparison("mode", "==", 1), Polynomial((0.0, 2.0))),
             (Comparison("mode", ">=", 2), Polynomial((5.0, -1.0, 0.25))))
    entries = (Entry("mode", bits=8), Entry("value", "twos_complement", 16, calibration=Contextual(cases, default)))
    types = [PacketType("CCSDSPacket", ccsds_primary_header(), abstract=True),
             PacketType("T", entries, (Comparison("apid", "==", 7),), "CCSDSPacket")]
    path = tmp_path / "doc.xml"
    write_xtce(types, path, name="Generated")
    rng = random.Random(len(str(default)))
    packets = [((7 << 32) | (0b11 << 30) | (n << 16) | 2).to_bytes(6, "big") + bytes([rng.randrange(4)]) +
               rng.randbytes(2) for n in range(30)]
    table = load_xtce(path).decode(b"".join(packets)).tables["T"]
    peer = spp.XtcePacketDefinition.from_xtce(path)
    for row, data in enumerate(packets):
        theirs = peer.parse_bytes(data)
        assert same(table.columns["value"][row], theirs["value"]), (row, table.columns["value"][row], theirs["value"])
