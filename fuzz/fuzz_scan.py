#!/usr/bin/env python3
"""Fuzz fieldloom_batch.scan_ccsds with streams of CCSDS space packets.

The input describes a stream: packets with fuzzed headers and mostly short
data fields (so that one input holds many), then raw bytes that may cut the
last packet anywhere. A model walks the same stream in Python; every column,
`end` and `tail` must match it, with and without an APID filter, in every
buffer kind.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

from driver import Input, main  # noqa: E402
import fieldloom_batch  # noqa: E402

HEADER = 6
CALLS = [0]  # scans and decodes made
HEADER_LAYOUT = fieldloom_batch.Layout([
    {"name": "apid", "encoding": "unsigned", "bits": 11, "byte_order": "big", "reverse_bits": False},
    {"name": "length", "encoding": "unsigned", "bits": 16, "byte_order": "big", "reverse_bits": False,
     "offset_bits": 32},
])
COLUMNS = ("offset", "length", "version", "type", "secondary_header", "apid", "sequence_flags", "sequence_count")
WRAPS = [bytes, bytearray, memoryview, lambda data: np.frombuffer(data, dtype=np.uint8),
         lambda data: memoryview(b"\xff" + data)[1:]]  # a view that does not start its object


def stream(src):
    out = bytearray()
    for _ in range(src.byte() % 24):
        first, second, third = src.byte(), src.byte(), src.byte()
        data_length = src.byte() % 12 if not src.chance(10) else src.uint(2)
        header = bytes([first, second, third, src.byte()]) + data_length.to_bytes(2, "big")
        out += header + src.take(min(data_length + 1, 64)).ljust(data_length + 1, b"\0")
    return bytes(out) + src.take(src.byte() % 16)


def model(data, kept):
    """Rows, end and tail of a plain walk over the headers."""
    rows, position = [], 0
    while len(data) - position >= HEADER:
        h = data[position:position + HEADER]
        length = HEADER + (h[4] << 8 | h[5]) + 1
        if length > len(data) - position:
            break
        apid = (h[0] << 8 | h[1]) & 0x7FF
        if kept is None or apid in kept:
            rows.append((position, length, h[0] >> 5, h[0] >> 4 & 1, h[0] >> 3 & 1, apid, h[2] >> 6,
                         (h[2] << 8 | h[3]) & 0x3FFF))
        position += length
    tail = None
    if position < len(data):
        cut = data[position:position + HEADER]
        tail = (position, len(data) - position, HEADER + (cut[4] << 8 | cut[5]) + 1 if len(cut) == HEADER else None)
    return rows, position, tail


def columns_of(scan):
    assert list(scan) == list(COLUMNS), list(scan)
    return list(zip(*(scan[name].tolist() for name in COLUMNS)))


def apid_selection(src, data):
    kind = src.byte() % 4
    if kind == 0:
        return None, None
    present = [(data[i] << 8 | data[i + 1]) & 0x7FF for i in range(0, max(len(data) - 1, 0), 7)][:8]
    wanted = [src.uint(2) % 2048 for _ in range(src.byte() % 3)] + present[:src.byte() % 4]
    if kind == 1 and wanted:
        return wanted[0], {wanted[0]}
    if kind == 2:
        return np.array(wanted, dtype=np.uint16), set(wanted)
    return wanted, set(wanted)


def check(buffer, recording, selection, kept):
    CALLS[0] += 1
    scan = fieldloom_batch.scan_ccsds(buffer, apid=selection)
    rows, end, tail = model(recording, kept)
    assert columns_of(scan) == rows, "columns differ from the walk"
    assert (scan.end, scan.tail, scan.leftover) == (end, tail, len(recording) - end), (scan.end, scan.tail)
    return scan


def harness(data):
    src = Input(data)
    recording = stream(src)
    selection, kept = apid_selection(src, recording)
    wrap = src.pick(WRAPS)
    scan = check(wrap(recording), recording, selection, kept)
    # The same stream cut short anywhere: a header or data field cut off.
    for _ in range(src.byte() % 9):
        cut = src.uint(2) % (len(recording) + 1)
        check(wrap(recording[:cut]), recording[:cut], selection, kept)
    if src.chance(64) and len(scan["offset"]):
        # The scan's rows as unpack_many's packets: each one's header again.
        CALLS[0] += 1
        columns = HEADER_LAYOUT.unpack_many(recording, offsets=scan["offset"], lengths=scan["length"],
                                            threads=1 + src.byte() % 3)
        assert np.array_equal(columns["apid"], scan["apid"])
        assert np.array_equal(columns["length"].astype(np.int64) + 7, scan["length"])


if __name__ == "__main__":
    main("scan", harness, calls=CALLS)
