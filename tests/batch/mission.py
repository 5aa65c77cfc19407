"""A small mission for the definitions' command-line, pandas, Parquet and Dask paths: three packet
types (bit-packed flags and a text field; a binary part sized by a field; a fixed array, a
polynomial, an enumeration and a time), a recording mixing them with packets of no type, and a
cut-off tail."""
import numpy as np

from fieldloom_batch.definitions import (Comparison, Definitions, Dynamic, Entry, Enumeration, PacketType, Polynomial,
                                         Time, ccsds_primary_header)

DEFINITIONS = Definitions([
    PacketType("ccsds", ccsds_primary_header(), abstract=True),
    PacketType("status", (Entry("power", bits=1), Entry("link", bits=3), Entry("fault", bits=4),
                          Entry("name", encoding="utf8", bits=32)),
               conditions=(Comparison("apid", "==", 0x10),), base="ccsds"),
    PacketType("dump", (Entry("size", bits=8), Entry("data", encoding="binary", bits=Dynamic("size", 8))),
               conditions=(Comparison("apid", "==", 0x20),), base="ccsds"),
    PacketType("hk", (Entry("time", bits=32, calibration=Time(scale=0.5)),
                      Entry("volts", encoding="twos_complement", bits=12, calibration=Polynomial((1.0, 0.5))),
                      Entry("mode", bits=4, calibration=Enumeration({0: "SAFE", 1: "ON", 2: "SCIENCE"})),
                      Entry("temps", bits=10, count=3)),
               conditions=(Comparison("apid", "==", 0x30),), base="ccsds"),
])


def packet(apid: int, sequence: int, body: bytes) -> bytes:
    return (apid.to_bytes(2, "big") + (0xC000 | sequence & 0x3FFF).to_bytes(2, "big")
            + (len(body) - 1).to_bytes(2, "big") + body)


def make_recording(packets: int, seed: int, prefix: int = 0) -> bytes:
    """`packets` random packets of the three types and of no type, `prefix` random bytes before each,
    and a cut-off packet at the end."""
    rng = np.random.default_rng(seed)
    out = bytearray()
    for i in range(packets):
        kind = int(rng.integers(4))
        if kind == 0:
            body = rng.integers(256, size=1, dtype=np.uint8).tobytes() + rng.choice([b"abcd", b"wxyz", b"\xc3\xa9t\xc3"])
        elif kind == 1:
            size = int(rng.integers(0, 12))
            body = bytes([size]) + rng.integers(256, size=size + int(rng.integers(3)), dtype=np.uint8).tobytes()
        elif kind == 2:
            body = rng.integers(256, size=int(rng.integers(10, 13)), dtype=np.uint8).tobytes()
            body = body[:5] + bytes([body[5] & 0xF0 | int(rng.integers(4))]) + body[6:]  # code 3: no label
        else:
            body = rng.integers(256, size=3, dtype=np.uint8).tobytes()
        apid = (0x10, 0x20, 0x30, 0x40)[kind]
        out += rng.integers(256, size=prefix, dtype=np.uint8).tobytes() + packet(apid, i, body)
    return bytes(out + packet(0x10, 0, b"\x00" * 9)[:8])
