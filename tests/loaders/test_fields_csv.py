"""CSV field lists: their packet types, their refusals, and the values of
generated recordings against ccsdspy's."""
from __future__ import annotations

import random

import numpy as np
import pytest

from fieldloom_batch.definitions.model import Comparison, DefinitionError, Entry, PacketType, ccsds_primary_header
from fieldloom_batch.loaders import load_fields_csv, read_fields_csv, read_xtce, write_xtce


def test_three_and_four_columns(tmp_path):
    listed = b"name,data_type,bit_length\nflags,uint,3\ntemp, int,13\nspare,fill,4\nvolts,float,32\nname,str,24\n"
    path = tmp_path / "housekeeping.csv"
    path.write_bytes(listed)
    header, housekeeping = read_fields_csv(path, apid=17)
    assert header == PacketType("CCSDSPacket", ccsds_primary_header(), abstract=True)
    assert housekeeping == PacketType("housekeeping", (
        Entry("flags", bits=3), Entry("temp", "twos_complement", 13),
        Entry("volts", "ieee754_f32", 32, offset=4, relative_to="previous"), Entry("name", "iso_8859_1", 24)),
        (Comparison("apid", "==", 17),), "CCSDSPacket")
    offsets = b"name,data_type,bit_length,bit_offset\nb,uint(3),4,60\na,int,8,48\n"
    assert read_fields_csv(offsets, apid=3, name="T")[1].entries == (
        Entry("b", bits=4, count=3, offset=60), Entry("a", "twos_complement", 8, offset=48))
    # written as XTCE, read back the same
    assert read_xtce(write_xtce(read_fields_csv(path, apid=17))) == [header, housekeeping]


@pytest.mark.parametrize("listed, message", [
    (b"name,type,bits\na,uint,8\n", r"<fields>, line 1: the columns are \['name', 'type', 'bits'\]"),
    (b"name,data_type,bit_length\na,uint,8\nb,double,8\n", r"line 3: data type 'double' is none of uint"),
    (b"name,data_type,bit_length\na,float,24\n", r"line 2: a float is 16, 32 or 64 bits, not 24"),
    (b"name,data_type,bit_length\na,uint,8\na,int,8\n", r"line 3: the field 'a' is named a second time"),
    (b"name,data_type,bit_length\napid,uint,8\n", r"line 2: the field 'apid' is named a second time, or like"),
    (b"name,data_type,bit_length\na,uint,eight\n", r"line 2: bit_length and bit_offset are whole numbers"),
    (b"name,data_type,bit_length,bit_offset\na,uint,8,40\n", r"line 2: field 'a' at bit 40 lies in the primary"),
    (b"name,data_type,bit_length\na,uint,65\n", r"line 2: entry 'a': a numeric entry is 1 to 64 bits wide"),
    (b"name,data_type,bit_length\na,str(2),8\n", r"line 2: entry 'a': only numeric entries may be arrays"),
])
def test_refused_lists(listed, message):
    with pytest.raises(DefinitionError, match=message):
        read_fields_csv(listed, apid=1)
    with pytest.raises(DefinitionError, match="the APID is an int from 0 to 2047, not 2048"):
        read_fields_csv(b"name,data_type,bit_length\n", apid=2048)


def random_list(rng: random.Random, offsets: bool) -> tuple[list[tuple[str, str, int, int]], int]:
    """Fields (name, type, bits, first bit) after the primary header, and the packet's size in bytes."""
    fields, cursor = [], 48
    for k in range(rng.randint(1, 12)):
        kind = rng.choice(["uint", "int", "float", "str", "fill"])
        if kind in ("float", "str"):
            # on a byte (ccsdspy reads floats of whole bytes, fieldloom texts); ccsdspy pads texts of 3, 5, 6
            # or 7 bytes with NULs in front, so those lengths are left out
            bits = rng.choice([16, 32, 64]) if kind == "float" else 8 * rng.choice([1, 2, 4, 8])
            if cursor % 8:
                fields.append((f"pad{k}", "fill", 8 - cursor % 8, cursor))
                cursor += 8 - cursor % 8
        else:
            bits = rng.randint(1, 32 if kind != "fill" else 12)
        fields.append((f"f{k}", kind, bits, cursor))
        cursor += bits
    if offsets:
        rng.shuffle(fields)
    return fields, (cursor + 7) // 8


def packets(rng: random.Random, fields: list[tuple[str, str, int, int]], size: int, apid: int, count: int) -> bytes:
    out = bytearray()
    for sequence in range(count):
        value = int.from_bytes(rng.randbytes(size), "big")
        header = (apid << 32) | (0b11 << 30) | (sequence << 16) | (size - 7)
        value = (value & ((1 << (8 * size - 48)) - 1)) | (header << (8 * size - 48))
        for name, kind, bits, first in fields:
            if kind == "float":  # a finite value, so that both sides agree on NaN payloads
                raw = int.from_bytes(np.array([rng.uniform(-1e3, 1e3)], dtype=f">f{bits // 8}").tobytes(), "big")
                shift = 8 * size - first - bits
                value = value & ~(((1 << bits) - 1) << shift) | raw << shift
        out += value.to_bytes(size, "big")
    return bytes(out)


@pytest.mark.parametrize("seed", range(8))
def test_values_equal_ccsdspy(tmp_path, seed):
    ccsdspy = pytest.importorskip("ccsdspy")
    rng = random.Random(seed)
    offsets = seed % 2 == 1
    fields, size = random_list(rng, offsets)
    rows = ["name,data_type,bit_length" + (",bit_offset" if offsets else "")]
    rows += [f"{name},{kind},{bits}" + (f",{first}" if offsets else "") for name, kind, bits, first in fields]
    path = tmp_path / "list.csv"
    path.write_text("\n".join(rows) + "\n")
    recording = packets(rng, fields, size, apid=33, count=50)
    (tmp_path / "rec.bin").write_bytes(recording)
    peer = ccsdspy.FixedLength.from_file(str(path)).load(str(tmp_path / "rec.bin"), include_primary_header=True)
    table = load_fields_csv(path, apid=33).decode(recording).tables["list"]
    assert list(table.index) == list(range(50))
    assert np.array_equal(table.columns["apid"], peer["CCSDS_APID"])
    assert np.array_equal(table.columns["sequence_count"], peer["CCSDS_SEQUENCE_COUNT"])
    for name, kind, _, _ in fields:
        if kind == "str":
            assert [text.encode("latin-1").rstrip(b"\0") for text in table.columns[name]] == list(peer[name])
        elif kind != "fill":
            assert np.array_equal(table.columns[name], peer[name]), name
