#!/usr/bin/env python3
"""Fuzz Layout.unpack_many with random layouts, buffers and geometries.

The input gives a recipe (every encoding name, widths and placements that
overlap, run past a packet or fail on its bytes), a buffer, then a few ways
to cut it: a stride (with or without count), or offsets (with or without
lengths, as a list or an array of several integer types), some of them
invalid, each with a thread count. Per-packet `unpack_parameters` is the
oracle: a valid geometry must give exactly its values and errors in both
error modes; an invalid one must be refused with ValueError or TypeError.
Each input drives several decodes; `CALLS` counts them.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import numpy as np  # noqa: E402

import fieldloom  # noqa: E402
from driver import Input, main  # noqa: E402
from fieldloom_batch import Layout  # noqa: E402
from recipes import ENCODINGS  # noqa: E402

NAMES = ["a", "b", "c"]
WIDTHS = [0, 1, 3, 4, 7, 8, 8, 8, 12, 16, 16, 24, 31, 32, 32, 33, 40, 48, 63, 64, 64, 65, 80, 128]
BYTE_ORDERS = ["big", "little", "Big", "LITTLE"]
INDEX_TYPES = [list, np.int64, np.uint32, np.uint64, np.intp, np.int32]
GEOMETRIES_PER_INPUT = 3
THREADS = (1, 2, 3, 4)
CALLS = [0]  # unpack_many calls made


def recipe(src):
    items = []
    for _ in range(1 + src.byte() % 5):
        encoding = src.pick(ENCODINGS)
        item = {"name": src.pick(NAMES), "encoding": encoding.upper() if src.chance(16) else encoding,
                "bits": src.pick(WIDTHS), "byte_order": src.pick(BYTE_ORDERS), "reverse_bits": src.chance(64)}
        if src.chance(90):
            item["offset_bits"] = src.byte() % 96
        items.append(item)
    return items


def index_array(values, kind):
    if kind is list:
        return values
    if any(v < 0 for v in values) and np.dtype(kind).kind == "u":
        return values
    try:
        return np.array(values, dtype=kind)
    except OverflowError:
        return values


def geometry(src, size, packet_size):
    """Keywords for unpack_many and the packets they describe (None: the call must be refused)."""
    keywords = {"threads": src.pick(THREADS)}
    if src.chance(110):
        kind = src.byte() % 8
        stride = packet_size if kind == 0 else src.pick([0, -1, 2**40]) if kind == 1 else 1 + src.byte() % 40
        if kind != 0 or src.chance(128):
            keywords["stride"] = stride
        held = -(-size // stride) if stride > 0 else 0
        count = held
        if src.chance(80):
            count = src.byte() % (held + 2) if src.chance(230) else src.pick([-1, 2**40])
            keywords["count"] = count
        if stride <= 0 or not 0 <= count <= held:
            return keywords, None
        return keywords, [(i * stride, min(stride, size - i * stride)) for i in range(count)]
    starts = [src.byte() % (size + 1) for _ in range(src.byte() % 10)]
    if src.chance(10):
        starts.append(src.pick([-1, size + 1]))
    with_lengths = src.chance(128)
    if with_lengths:
        lengths = [src.byte() % (size - s + 1) if 0 <= s <= size else 0 for s in starts]
        if src.chance(10) and starts:
            lengths[-1] = src.pick([-1, size + 1])
        keywords["lengths"] = index_array(lengths, src.pick(INDEX_TYPES))
    else:
        if not src.chance(20):
            starts.sort()
        lengths = [b - a for a, b in zip(starts, starts[1:] + [size])]
    keywords["offsets"] = index_array(starts, src.pick(INDEX_TYPES))
    if src.chance(30):
        keywords["count"] = len(starts) + src.pick([0, 0, 1, -1])
    valid = keywords.get("count", len(starts)) == len(starts) and all(
        0 <= s <= size and 0 <= n <= size - s for s, n in zip(starts, lengths))
    return keywords, [(s, n) for s, n in zip(starts, lengths)] if valid else None


def outcome(items, packet):
    try:
        return fieldloom.unpack_parameters(packet, 0, items), None
    except ValueError as error:
        return None, error


def same_column(column, values):
    if column.dtype.kind == "f":
        expected = np.asarray(values, dtype=np.float64).view(np.uint64)
        return np.array_equal(column.astype(np.float64).view(np.uint64), expected)
    got = column.tolist()
    return got == values and [type(v) for v in got] == [type(v) for v in values]


def check_columns(layout, columns, rows):
    assert list(columns) == list(layout.columns), (list(columns), layout.columns)
    for name, column in columns.items():
        assert column.shape == (len(rows),) and column.dtype == layout.dtypes[name], (name, column)
        assert same_column(column, [row[name] for row in rows]), (name, column, rows)


def same_error(actual, expected):
    return type(actual) is type(expected) and actual.args == expected.args


def decode(layout, items, data, buffer, keywords, packets, memo):
    CALLS[0] += 2
    if packets is None:
        for errors in ("skip", "raise"):
            try:
                layout.unpack_many(buffer, errors=errors, **keywords)
            except (ValueError, TypeError):
                continue
            raise AssertionError("refused geometry accepted: %r" % (keywords,))
        return
    results = []
    for start, length in packets:
        packet = data[start:start + length]
        if packet not in memo:
            memo[packet] = outcome(items, packet)
        results.append(memo[packet])
    decoded = layout.unpack_many(buffer, errors="skip", **keywords)
    for threads in set(THREADS) - {keywords["threads"]}:
        # The packets split otherwise between threads: the same answer.
        CALLS[0] += 1
        again = layout.unpack_many(buffer, errors="skip", **dict(keywords, threads=threads))
        assert np.array_equal(again.index, decoded.index)
        assert [(r.index, r.offset) for r in again.refused] == [(r.index, r.offset) for r in decoded.refused]
        for name, column in decoded.columns.items():
            assert column.tobytes() == again.columns[name].tobytes() if column.dtype.kind != "O" else \
                column.tolist() == again.columns[name].tolist(), (name, threads)
    kept = [i for i, (_, error) in enumerate(results) if error is None]
    assert decoded.index.dtype == np.int64 and decoded.index.tolist() == kept, (decoded.index, kept)
    check_columns(layout, decoded.columns, [results[i][0] for i in kept])
    refused = [(i, packets[i][0], error) for i, (_, error) in enumerate(results) if error is not None]
    assert [(r.index, r.offset) for r in decoded.refused] == [(i, s) for i, s, _ in refused]
    assert all(same_error(r.error, error) for r, (_, _, error) in zip(decoded.refused, refused)), decoded.refused
    try:
        columns = layout.unpack_many(buffer, errors="raise", **keywords)
    except ValueError as error:
        assert refused and same_error(error, refused[0][2]), (error, refused)
        note = error.__notes__[-1]
        assert str(refused[0][0]) in note and str(refused[0][1]) in note, note
    else:
        assert not refused, refused
        check_columns(layout, columns, [value for value, _ in results])


def harness(data):
    src = Input(data)
    items = recipe(src)
    try:
        layout = Layout(items)
    except ValueError:
        return
    wrap = src.pick([bytes, bytearray, memoryview, lambda d: np.frombuffer(d, dtype=np.uint8)])
    size = src.byte() % (3 * max(layout.packet_size, 1) + 8)
    if src.chance(16):
        size = 1000 + src.byte() * 8  # enough packets for every thread to get a share
    recording = src.take(size)
    recording += bytes(size - len(recording))
    buffer = wrap(recording)
    memo = {}
    for _ in range(1 + src.byte() % GEOMETRIES_PER_INPUT):
        keywords, packets = geometry(src, size, layout.packet_size)
        decode(layout, items, recording, buffer, keywords, packets, memo)


if __name__ == "__main__":
    main("unpack_many", harness, calls=CALLS)
