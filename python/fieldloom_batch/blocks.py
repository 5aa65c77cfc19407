"""Cutting recording files into byte ranges of whole packets, and decoding one range.

`read_dask` makes one task per range and the command line hands ranges to
its worker processes; both decode a range exactly as `unpack_many` decodes
those packets of the whole file. Everything here is plain data that pickles
small, so that it can travel to other processes and machines.
"""
from __future__ import annotations

import mmap
import os
import re
from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np

from . import _native
from .ccsds import ApidSelection, PacketScan, Tail, apid_bitmap, scan_ccsds, tail_after
from .recording import StrPath, open_recording

# Bytes of a file scanned at a time while planning: any packet fits in one.
SCAN_WINDOW = 64 << 20

_UNITS = {"": 1, "b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
          "kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "tib": 1 << 40}


def parse_size(size: int | str) -> int:
    """Bytes from an int or a text such as "64MiB" or "1 GB"."""
    if isinstance(size, str):
        match = re.fullmatch(r"\s*(\d+(?:\.\d*)?)\s*([A-Za-z]*)\s*", size)
        if not match or match.group(2).lower() not in _UNITS:
            raise ValueError(f"not a size in bytes: {size!r} (try 64MiB or 1000000)")
        size = int(float(match.group(1)) * _UNITS[match.group(2).lower()])
    if isinstance(size, bool) or not isinstance(size, int) or size < 1:
        raise ValueError(f"a block size must be a positive number of bytes, not {size!r}")
    return size


class Block(NamedTuple):
    """Whole packets of one file: bytes [start, stop), the first being packet `first` of the file."""

    path: str
    start: int
    stop: int
    first: int


class FilePlan(NamedTuple):
    path: str
    size: int
    blocks: list[Block]
    packets: int  # packets in the blocks
    tail: Tail | None  # a CCSDS packet cut off by the end of the file, which no block holds


class BlockResult(NamedTuple):
    columns: Any  # dict of NumPy columns, or with arrow=True a pyarrow Table
    packet_index: np.ndarray[Any, Any]  # index in the file of each row's packet
    refused: list[Any]  # Refused, with index and offset in the file


def plan_stride(path: StrPath, stride: int, blocksize: int) -> FilePlan:
    """Packets every `stride` bytes; the last may be partial, as `unpack_many` reads it."""
    name = os.fsdecode(path)
    size = os.path.getsize(name)
    packets = -(-size // stride)
    per_block = max(1, blocksize // stride)
    blocks = [
        Block(name, first * stride, min(size, (first + per_block) * stride), first)
        for first in range(0, packets, per_block)
    ]
    return FilePlan(name, size, blocks, packets, None)


def scan_windows(path: str, apid: ApidSelection = None) -> Iterator[tuple[int, PacketScan]]:
    """Scan a file a window at a time, each window starting where the last one's whole packets ended:
    (window start, its scan) per window. The last window runs to the end of the file."""
    size = os.path.getsize(path)
    if not size:
        return
    position = released = 0
    with open_recording(path) as recording, memoryview(recording) as whole:
        while True:
            with whole[position : position + SCAN_WINDOW] as window:
                scan = scan_ccsds(window, apid=apid)
            yield position, scan
            if position + SCAN_WINDOW >= size:
                return
            position += scan.end
            # The pages passed are handed back: resident memory stays a window's, not the file's.
            behind = position // mmap.PAGESIZE * mmap.PAGESIZE
            recording.madvise(mmap.MADV_DONTNEED, released, behind - released)
            released = behind


def file_end(position: int, scan: PacketScan | None) -> tuple[int, Tail | None]:
    """Where a file's whole packets end, and its cut-off packet, from its last window."""
    if scan is None:
        return 0, None
    return position + scan.end, scan.tail._replace(offset=position + scan.tail.offset) if scan.tail else None


def plan_ccsds(path: StrPath, blocksize: int, apid: ApidSelection = None) -> FilePlan:
    """Walk a file's packet headers once, cutting it at packet boundaries about every `blocksize` bytes.

    A range starts at the first listed packet (of the APIDs asked for) whose
    offset falls in a new multiple of `blocksize`, and runs to the next
    range's start; the last ends with the file's last whole packet. The walk
    keeps only the cuts, not a row per packet: each range's task finds its
    own packets.
    """
    name = os.fsdecode(path)
    if not os.path.getsize(name):
        return FilePlan(name, 0, [], 0, None)
    with open_recording(name) as recording:
        # A window at a time, handing back the pages passed: planning a file larger than memory
        # leaves a worker's resident memory that of a window, as decoding it does.
        raw_starts, raw_firsts, packets, end = _native.ccsds_cuts(recording, apid_bitmap(apid), blocksize,
                                                                  SCAN_WINDOW)
        tail = tail_after(recording, end)
        size = len(recording)
    starts = np.frombuffer(raw_starts, np.int64).tolist()
    firsts = np.frombuffer(raw_firsts, np.int64).tolist()
    stops = starts[1:] + [end] * bool(starts)
    blocks = [Block(name, start, stop, first) for start, stop, first in zip(starts, stops, firsts)]
    return FilePlan(name, size, blocks, packets, tail)


def decode_block(layout: Any, block: Block, *, stride: int | None = None, apid: ApidSelection = None,
                 arrow: bool = False) -> BlockResult:
    """Decode one block, keeping going past failing packets (errors="skip" of `unpack_many`,
    or with `arrow` of `unpack_arrow`, whose table is the result's columns).

    The file is mapped, and the map watched: a file that lost bytes of the
    block since it was planned, or loses them during the decode, raises
    OSError naming it rather than giving fewer rows."""
    unpack = layout.unpack_arrow if arrow else layout.unpack_many
    if block.stop == block.start:
        decoded = unpack(b"", offsets=np.zeros(0, np.int64), errors="skip")
    else:
        with open_recording(block.path) as recording, memoryview(recording) as whole:
            if whole.nbytes < block.stop:
                raise OSError(f"{block.path} changed while it was being read: it has {whole.nbytes} bytes now, "
                              f"fewer than the {block.stop} expected")
            with whole[block.start : block.stop] as view:
                if stride is not None:
                    decoded = unpack(view, stride=stride, errors="skip")
                else:
                    scan = scan_ccsds(view, apid=apid)
                    if scan.end != len(view):
                        raise OSError(f"{block.path} changed while it was being read")
                    decoded = unpack(view, offsets=scan["offset"], lengths=scan["length"], errors="skip")
    refused = [
        item._replace(index=block.first + item.index, offset=block.start + item.offset) for item in decoded.refused
    ]
    index = decoded.index  # int64, the block's own: made the file's in place
    index += block.first
    return BlockResult(decoded[0], index, refused)


def raise_refused(refused: Any, path: str) -> None:
    """Raise a refused packet's error as `unpack_many` raises it, naming the file as well."""
    error = refused.error
    error.add_note(f"packet {refused.index} at byte {refused.offset} of {path}")
    raise error
