"""CCSDS space packets: finding them in a recording, and the packets lost between them."""
from __future__ import annotations

import operator
from collections.abc import Iterable
from typing import Any, NamedTuple, Union

import numpy as np

from . import _native

HEADER_BYTES = 6
APID_COUNT = 1 << 11
SEQUENCE_MODULUS = 1 << 14

# The columns of a scan, in the order the native scan returns them.
SCAN_DTYPES: dict[str, np.dtype[Any]] = {
    "offset": np.dtype(np.int64),
    "length": np.dtype(np.uint32),
    "version": np.dtype(np.uint8),
    "type": np.dtype(np.uint8),
    "secondary_header": np.dtype(np.uint8),
    "apid": np.dtype(np.uint16),
    "sequence_flags": np.dtype(np.uint8),
    "sequence_count": np.dtype(np.uint16),
}

ApidSelection = Union[int, Iterable[int], None]


class Tail(NamedTuple):
    """A packet cut off by the end of the buffer."""

    offset: int  # the byte where it starts
    size: int  # how many of its bytes the buffer holds
    length: int | None  # the length its header declares; None when the buffer ends inside the header


class PacketScan(dict[str, "np.ndarray[Any, Any]"]):
    """What `scan_ccsds` found: one column per header field, and where the whole packets end.

    `end` is the byte after the last whole packet (of any APID); the `leftover`
    bytes from there to the end of the buffer are a packet cut off by it, which
    `tail` describes (None when the buffer ends on a packet boundary).
    """

    end: int
    tail: Tail | None

    def __init__(self, columns: dict[str, np.ndarray[Any, Any]], end: int, tail: Tail | None) -> None:
        super().__init__(columns)
        self.end = end
        self.tail = tail

    @property
    def leftover(self) -> int:
        return self.tail.size if self.tail else 0

    def __repr__(self) -> str:
        return f"<PacketScan of {len(self['offset'])} packets, end={self.end}, tail={self.tail}>"


class Gap(NamedTuple):
    """A jump in the sequence count of one APID: packets lost between two that arrived."""

    apid: int
    index: int  # type: ignore[assignment]  # row of the scan of the packet after the gap
    offset: int  # its byte offset
    previous_count: int  # sequence count of the packet before it of the same APID
    sequence_count: int  # its own
    lost: int  # packets missing between the two, modulo 16384


def apid_bitmap(apid: ApidSelection) -> bytes | None:
    """The native scan's filter: bit (a % 8) of byte (a // 8) set for each APID a kept."""
    if apid is None:
        return None
    wanted = [apid] if isinstance(apid, (int, np.integer)) else list(apid)
    bitmap = bytearray(APID_COUNT // 8)
    for item in wanted:
        if isinstance(item, bool):
            raise TypeError(f"an APID is an int, not {item!r}")
        value = operator.index(item)
        if not 0 <= value < APID_COUNT:
            raise ValueError(f"APID {value} is out of range: APIDs are 0 to {APID_COUNT - 1}")
        bitmap[value >> 3] |= 1 << (value & 7)
    return bytes(bitmap)


def scan_ccsds(buffer: Any, *, apid: ApidSelection = None) -> PacketScan:
    """Find the CCSDS space packets in `buffer`, in one pass over their headers.

    `buffer` is anything with the buffer protocol (bytes, mmap, an open
    recording, a NumPy uint8 array); it is read in place. Gives, per whole
    packet, its byte `offset` and total `length` (header included) and the
    header fields `version`, `type`, `secondary_header`, `apid`,
    `sequence_flags` and `sequence_count`. With `apid` (one APID or several),
    only those packets are listed; the others are still walked over. The
    result feeds `layout.unpack_many(buffer, offsets=scan["offset"],
    lengths=scan["length"])` directly. A packet cut off by the end of the
    buffer is not listed: `scan.tail` describes it and `scan.leftover` counts
    its bytes.
    """
    *raw, rows, end = _native.scan_ccsds(buffer, apid_bitmap(apid))
    columns = {
        name: np.frombuffer(data, dtype=dtype, count=rows) for (name, dtype), data in zip(SCAN_DTYPES.items(), raw)
    }
    return PacketScan(columns, end, tail_after(buffer, end))


def tail_after(buffer: Any, end: int) -> Tail | None:
    """The packet cut off by the end of `buffer` after its whole packets end at `end`, if any."""
    with memoryview(buffer) as view:
        size = view.nbytes
        header = bytes(view.cast("B")[end : end + HEADER_BYTES]) if size > end else b""
    if size <= end:
        return None
    declared = HEADER_BYTES + int.from_bytes(header[4:6], "big") + 1 if len(header) == HEADER_BYTES else None
    return Tail(end, size - end, declared)


def find_gaps(apids: np.ndarray[Any, Any], counts: np.ndarray[Any, Any],
              latest: np.ndarray[Any, Any] | None = None) -> tuple[np.ndarray[Any, Any], ...]:
    """The jumps in each APID's sequence count as arrays, in stream order: the row of the packet
    after each gap, the count before it and the packets lost.

    `latest`, when given, holds per APID (APID_COUNT entries) the count of its packet before
    these rows, or -1 for none, so that a stream can be walked a part at a time; it is updated
    to the last count of each APID seen here. Only arrays are built, whatever the number of gaps.
    """
    apids = np.asarray(apids)
    counts = np.asarray(counts).astype(np.int64)
    order = np.argsort(apids, kind="stable")
    grouped_apids, grouped_counts = apids[order], counts[order]
    first = np.ones(len(order), dtype=bool)
    first[1:] = grouped_apids[1:] != grouped_apids[:-1]
    before = np.empty_like(grouped_counts)
    before[1:] = grouped_counts[:-1]
    before[first] = -1 if latest is None else latest[grouped_apids[first]]
    if latest is not None:
        last = np.append(first[1:], True)
        latest[grouped_apids[last]] = grouped_counts[last]
    lost = (grouped_counts - before - 1) % SEQUENCE_MODULUS
    jumps = np.flatnonzero((before >= 0) & (lost != 0))
    rows = order[jumps]
    by_row = np.argsort(rows, kind="stable")
    return rows[by_row], before[jumps][by_row], lost[jumps][by_row]


def sequence_gaps(scan: dict[str, np.ndarray[Any, Any]]) -> list[Gap]:
    """The jumps in each APID's sequence count, in stream order.

    Counts run modulo 16384, so a count that goes back (a packet repeated or
    out of order) reads as a jump of nearly 16384.
    """
    apids, counts, offsets = (np.asarray(scan[name]) for name in ("apid", "sequence_count", "offset"))
    rows, before, lost = find_gaps(apids, counts)
    return [
        Gap(int(apids[row]), int(row), int(offsets[row]), int(previous), int(counts[row]), int(missing))
        for row, previous, missing in zip(rows.tolist(), before.tolist(), lost.tolist())
    ]
