"""Small recording files for the read_dask and command-line tests, and their serial decode."""
from __future__ import annotations

import random
from pathlib import Path

import numpy as np

import fieldloom
from fieldloom_batch import Layout, scan_ccsds

from ccsds_streams import header


def entry(name: str, encoding: str, bits: int, offset_bits: int, byte_order: str = "big") -> dict:
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order, "reverse_bits": False,
            "offset_bits": offset_bits}


# Fixed-length packets of 16 bytes.
FIXED = [entry("id", "unsigned", 16, 0), entry("clock", "packed_bcd", 16, 16), entry("temp", "twos_complement", 12, 32),
         entry("volts", "ieee754_f32", 32, 48), entry("mode", "utf8", 32, 80), entry("counter", "unsigned", 16, 112, "little")]
STRIDE = 16
# CCSDS packets: the primary header, then a data field that the short APID's packets do not fully hold.
CCSDS = [entry("apid", "unsigned", 11, 0), entry("sequence_count", "unsigned", 14, 16),
         entry("clock", "packed_bcd", 24, 48), entry("current", "ieee754_f16", 16, 72), entry("mode", "utf8", 24, 88),
         entry("wheel", "twos_complement", 16, 112)]
APID_BODIES = {0x10: 10, 0x20: 7, 0x7FF: 20}  # data field bytes per APID; 0x20's are too short for `wheel`


def values(rng: random.Random, i: int) -> dict:
    return {"id": i, "clock": rng.randrange(10000), "temp": rng.randrange(-2048, 2048), "volts": rng.uniform(-30, 30),
            "mode": rng.choice(["SAFE", "NOM", "SCI"]), "counter": rng.randrange(1 << 16), "apid": 0,
            "sequence_count": 0, "current": rng.uniform(0, 2), "wheel": rng.randrange(-30000, 30000)}


def corrupt(packet: bytearray, rng: random.Random, position: int) -> None:
    packet[position] = 0xAB if rng.random() < 0.5 else 0xFF  # a non-decimal BCD nibble / invalid UTF-8


def fixed_recording(rng: random.Random, packets: int) -> bytes:
    out = bytearray()
    for i in range(packets):
        packet = bytearray(fieldloom.pack_parameters(FIXED, values(rng, i)).ljust(STRIDE, b"\0"))
        if rng.random() < 0.03:
            corrupt(packet, rng, rng.choice([2, 10]))
        out += packet
    return bytes(out[: len(out) - 7])  # the last packet cut short


def ccsds_recording(rng: random.Random, packets: int) -> bytes:
    out = bytearray()
    counts = dict.fromkeys(APID_BODIES, 0)
    for i in range(packets):
        apid = rng.choice(list(APID_BODIES))
        body = bytearray(fieldloom.pack_parameters(CCSDS[2:], values(rng, i))[6:].ljust(20, b"\0")[: APID_BODIES[apid]])
        if rng.random() < 0.04:
            corrupt(body, rng, rng.choice([0, 5]))
        out += header(apid, counts[apid], len(body)) + body
        counts[apid] = (counts[apid] + 1) % (1 << 14)
    return bytes(out[: len(out) - 5])  # the last packet cut short


def write_recordings(directory: Path, seed: int = 1) -> dict[str, list[Path]]:
    rng = random.Random(seed)
    files: dict[str, list[Path]] = {"fixed": [], "ccsds": []}
    for i, packets in enumerate((40, 1, 25)):
        files["fixed"].append(directory / f"fixed{i}.bin")
        files["fixed"][-1].write_bytes(fixed_recording(rng, packets))
        files["ccsds"].append(directory / f"ccsds{i}.bin")
        files["ccsds"][-1].write_bytes(ccsds_recording(rng, packets + 10))
    return files


def serial_decode(paths: list[Path], recipe: list[dict], *, stride: int | None = None, apid=None):
    """unpack_many over each whole file in turn: (columns, packet index, refused) per file."""
    layout = Layout(recipe)
    results = []
    for path in paths:
        data = path.read_bytes()
        if stride is not None:
            results.append(layout.unpack_many(data, stride=stride, errors="skip"))
        else:
            scan = scan_ccsds(data, apid=apid)
            results.append(layout.unpack_many(data, offsets=scan["offset"], lengths=scan["length"], errors="skip"))
    return results


def assert_frame_matches(frame, results, columns) -> None:
    """Rows, index and values of `frame` equal the serial results, floats bit for bit."""
    expected_index = np.concatenate([result.index for result in results]).astype(np.int64)
    np.testing.assert_array_equal(frame.index.to_numpy(), expected_index)
    assert list(frame.columns) == list(columns)
    for name in columns:
        expected = np.concatenate([result.columns[name] for result in results])
        got = frame[name].to_numpy()
        if expected.dtype == object:
            assert got.tolist() == expected.tolist(), name
        else:
            assert got.dtype == expected.dtype, name
            assert got.tobytes() == expected.tobytes(), name
