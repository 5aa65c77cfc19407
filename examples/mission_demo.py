"""A mixed recording of three packet types decoded into one table per type.

- `status` (APID 0x10): a 16-bit status word of flags 1 to 4 bits wide;
- `dump` (APID 0x20): a waveform whose sample count is an earlier field;
- `hk` (APID 0x30): a CUC time, a count that becomes volts through a
  polynomial, and a mode code that becomes a label.

The recording is generated here: fixed layouts with `Definitions.pack`, the
waveform packets by hand. Run: python examples/mission_demo.py [OUTPUT_DIR]
"""
from __future__ import annotations

import sys
import tempfile

import numpy as np

from fieldloom_batch.definitions import (CUC, Comparison, Definitions, Dynamic, Entry, Enumeration, PacketType,
                                         Polynomial, ccsds_primary_header)

definitions = Definitions([
    PacketType("ccsds", ccsds_primary_header(), abstract=True),
    PacketType("status", (
        Entry("power", bits=1), Entry("heater", bits=1), Entry("link", bits=2),
        Entry("fault_code", bits=4), Entry("reserved", bits=8),
    ), conditions=(Comparison("apid", "==", 0x10),), base="ccsds"),
    PacketType("dump", (
        Entry("samples", bits=16),
        Entry("waveform", encoding="twos_complement", bits=12, count=Dynamic("samples")),
    ), conditions=(Comparison("apid", "==", 0x20),), base="ccsds"),
    PacketType("hk", (
        Entry("time", bits=48, calibration=CUC(coarse=4, fine=2)),
        Entry("battery", bits=12, calibration=Polynomial((0.0, 0.01)), unit="V"),
        Entry("mode", bits=4, calibration=Enumeration({0: "SAFE", 1: "NOMINAL", 2: "SCIENCE"})),
    ), conditions=(Comparison("apid", "==", 0x30),), base="ccsds"),
])


def header(apid: int, count: np.ndarray, data_bytes: int) -> dict[str, np.ndarray]:
    n = len(count)
    return {"version": np.zeros(n, int), "type": np.zeros(n, int), "secondary_header_flag": np.zeros(n, int),
            "apid": np.full(n, apid), "sequence_flags": np.full(n, 3), "sequence_count": count,
            "packet_data_length": np.full(n, data_bytes - 1)}


def dump_packet(sequence: int, waveform: list[int]) -> bytes:
    bits = "".join(format(sample & 0xFFF, "012b") for sample in waveform)
    bits += "0" * (-len(bits) % 8)
    body = len(waveform).to_bytes(2, "big") + int(bits or "0", 2).to_bytes(len(bits) // 8, "big")
    head = (0x20).to_bytes(2, "big") + (0xC000 | sequence).to_bytes(2, "big") + (len(body) - 1).to_bytes(2, "big")
    return head + body


def make_recording(packets: int = 9, seed: int = 1) -> bytes:
    rng = np.random.default_rng(seed)
    counts = np.arange(packets // 3)
    status = definitions.pack("status", {
        **header(0x10, counts, 2), "power": counts % 2, "heater": (counts // 2) % 2, "link": counts % 4,
        "fault_code": counts % 16, "reserved": np.zeros(len(counts), int)}, raw=True)
    hk = definitions.pack("hk", {
        **header(0x30, counts, 8), "time": (2_112_000_000 + 16 * counts) << 16 | 0x8000,
        "battery": 2800 + counts, "mode": counts % 3}, raw=True)
    size = {"status": 8, "hk": 14}
    out = b""
    for i in range(len(counts)):
        out += status[i * size["status"] : (i + 1) * size["status"]]
        out += dump_packet(i, rng.integers(-2048, 2048, size=i + 1).tolist())
        out += hk[i * size["hk"] : (i + 1) * size["hk"]]
    return out + b"\x07\xff\x00\x00\x00\x00\x00"  # an idle packet (APID 0x7FF) that no type describes


def main() -> None:
    recording = make_recording()
    decoded = definitions.decode(recording, errors="skip")
    census = decoded.census
    print(f"{len(recording)} bytes, {census.packets} packets: {census.types}")
    print(f"refused: { {reason: n for reason, n in census.refused.items() if n} }")
    for refused in decoded.refused:
        print(f"  packet {refused.index} at byte {refused.offset}: {refused.reason}: {refused.message}")
    header = ["version", "type", "secondary_header_flag", "sequence_flags", "packet_data_length"]
    for name, frame in decoded.to_pandas().items():
        print(f"\n{name}")
        print(frame.drop(columns=header).to_string())
    folder = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp()
    print(f"\nParquet: {', '.join(path.name for path in decoded.to_parquet(folder))}")


if __name__ == "__main__":
    main()
