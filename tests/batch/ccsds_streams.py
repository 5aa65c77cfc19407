"""CCSDS test streams and a plain-Python reader of them, shared by the scale tests."""
from __future__ import annotations

import random

import numpy as np

from fieldloom_batch.ccsds import SCAN_DTYPES


def header(apid: int, count: int, data_length: int, *, flags: int = 3, type_: int = 0, secondary: int = 0,
           version: int = 0) -> bytes:
    word = version << 13 | type_ << 12 | secondary << 11 | apid
    return (word.to_bytes(2, "big") + (flags << 14 | count).to_bytes(2, "big")
            + (data_length - 1).to_bytes(2, "big"))


def reference_scan(data: bytes, apids: set[int] | None = None) -> tuple[dict[str, np.ndarray], int]:
    """The packets of `data` read the slow, obvious way, and where the whole packets end."""
    rows: list[tuple[int, ...]] = []
    position = 0
    while len(data) - position >= 6:
        word, control, data_length = (int.from_bytes(data[position + i:position + i + 2], "big") for i in (0, 2, 4))
        length = 7 + data_length
        if position + length > len(data):
            break
        if apids is None or word & 0x7FF in apids:
            rows.append((position, length, word >> 13, word >> 12 & 1, word >> 11 & 1, word & 0x7FF,
                         control >> 14, control & 0x3FFF))
        position += length
    columns = {name: np.array([row[i] for row in rows], dtype=dtype) for i, (name, dtype) in enumerate(SCAN_DTYPES.items())}
    return columns, position


def make_stream(rng: random.Random, packets: int, apids: tuple[int, ...] = (0x10, 0x123, 0x7FF),
                lengths: tuple[int, ...] = (7, 12, 31)) -> bytes:
    """Packets of mixed APIDs and data lengths; each APID counts its own sequence (wrapping at 16384)."""
    counts = {apid: rng.randrange(1 << 14) for apid in apids}
    out = bytearray()
    for _ in range(packets):
        apid = rng.choice(apids)
        data_length = rng.choice(lengths)
        out += header(apid, counts[apid], data_length) + rng.randbytes(data_length)
        counts[apid] = (counts[apid] + 1 + (rng.random() < 0.05)) % (1 << 14)  # now and then one lost
    return bytes(out)
