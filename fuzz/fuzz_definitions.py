#!/usr/bin/env python3
"""Fuzz Definitions.decode with random packet types and recordings.

The input gives a set of packet types (a root, CCSDS or not, children picked
by conditions on its fields, grandchildren, abstract parents; entries at
random bits and widths, of every encoding, both byte orders, arrays, sizes
and counts from fields, sizes to the end, calibrations), some of which must
be refused (with DefinitionError and nothing else), then a recording
(CCSDS packets of the set's APIDs and random bytes, with or without a
prefix) and a framing (CCSDS, stride, offsets with or without lengths).

What must hold: skip and raise agree (raise raises the first refused
packet); one and two threads answer alike; every packet is a row or refused
exactly once and the census says so; each row equals `Definitions.unpack` of
that packet's bytes, and each refused packet is refused by it for the same
reason; `unpack` agrees with the plain-Python reference of the tests.
Each input drives several decodes; `CALLS` counts them.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(1, os.path.join(os.path.dirname(HERE), "tests", "definitions"))

import numpy as np  # noqa: E402

import reference  # noqa: E402
from driver import Input, main  # noqa: E402
from fieldloom_batch.definitions import (CDS, CUC, AllOf, AnyOf, Boolean, Comparison, DefinitionError,  # noqa: E402
                                         Definitions, Dynamic, Entry, Enumeration, PacketError, PacketType,
                                         Polynomial, Spline, Time, ToEnd, ccsds_primary_header)
from fieldloom_batch.definitions.model import ENCODINGS, NUMERIC_ENCODINGS, OPERATORS  # noqa: E402

CALLS = [0]  # decode calls made
REASONS = ("no packet type", "too short", "bad size", "bad value", "cut off")
WIDTHS = [1, 2, 3, 4, 5, 7, 8, 8, 8, 8, 9, 12, 16, 16, 16, 16, 24, 31, 32, 32, 32, 33, 40, 48, 56, 63, 64, 64]
FLOAT_BITS = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}
EPOCHS = ("1958-01-01T00:00:00", "1970-01-01T00:00:00", "2262-04-11T23:47:16", "1677-09-21T00:12:44")
APIDS = (0, 1, 100, 101, 2047)


def calibration(src, encoding, bits):
    kind = src.byte() % 12
    if kind == 0:
        return Polynomial(tuple(src.pick([0.0, 1.0, -1.5, 0.001, 1e300, float("inf"), float("nan")])
                                for _ in range(1 + src.byte() % 4)))
    if kind == 1:
        xs = sorted({src.pick([-5, 0, 1, 2, 3, 7, 100, 255, 2**31, 2**64]) for _ in range(2 + src.byte() % 3)})
        points = tuple((x, src.pick([0.0, 1.0, -2.0, 1e308])) for x in xs)
        return Spline(points if len(points) > 1 else points + ((2**70, 1.0),), src.byte() % 2, src.chance(128))
    if kind == 2:
        return Enumeration({src.byte() % 8 - 1: src.pick(["a", "b", "c"]) for _ in range(1 + src.byte() % 4)},
                           src.pick([None, None, "other"]))
    if kind == 3:
        return Boolean()
    if kind == 4:
        return Time(src.pick(EPOCHS), src.pick([1.0, 1e-3, 1e9, 2.5e-7, -1.0]), src.pick([0.0, 1.5, -1e10]))
    if kind == 5:
        return CUC(1 + src.byte() % 4, src.byte() % 4, src.pick(EPOCHS))
    if kind == 6:
        return CDS(src.pick([16, 24]), src.pick([0, 16]), src.pick(EPOCHS))
    return None


def size_source(src, earlier):
    return Dynamic(src.pick(earlier), src.pick([1, 1, 2, 8, -1, 0, 2**62, 2**63]), src.pick([0, 0, 1, -1, 8, -8, 2**62]),
                   src.pick(["bits", "bytes"]))


def entry(src, name, earlier, leaf):
    """One entry; `earlier` names fields before it (sizes and counts may name them)."""
    encoding = src.pick(ENCODINGS) if src.chance(200) else src.pick(["unsigned", "twos_complement"])
    numeric = encoding in NUMERIC_ENCODINGS
    keywords = {"encoding": encoding}
    if numeric:
        bits = FLOAT_BITS.get(encoding) if src.chance(220) else None
        keywords["bits"] = bits or src.pick(WIDTHS)
        if keywords["bits"] % 8 == 0 and src.chance(90):
            keywords["byte_order"] = "little"
        if src.chance(40):
            keywords["count"] = size_source(src, earlier) if earlier and src.chance(128) else src.byte() % 5
        if src.chance(70):
            code = calibration(src, encoding, keywords["bits"])
            if isinstance(code, (CUC, CDS)) and src.chance(200):
                keywords.update(encoding="unsigned", bits=code.bits, byte_order="big")
            keywords["calibration"] = code
    else:
        kind = src.byte() % 4
        keywords["bits"] = (size_source(src, earlier) if kind == 0 and earlier else ToEnd() if kind == 1 and leaf
                            else 8 * (src.byte() % 9 or 1))
        if src.chance(100):  # on a byte wherever the entries before end
            keywords.update(offset=8 * (src.byte() % 16), relative_to="packet")
    if "offset" not in keywords and src.chance(50):
        keywords["offset"] = src.byte() % 120
        keywords["relative_to"] = src.pick(["packet", "previous"])
    if src.chance(3):  # a size or placement the model itself refuses
        keywords[src.pick(["bits", "offset", "count"])] = src.pick([0, -1, 65, True])
    return Entry(name, **keywords)


def entries(src, prefix, earlier, leaf):
    made = []
    for k in range(src.byte() % 5):
        made.append(entry(src, f"{prefix}{k}" if not src.chance(4) else src.pick(["apid", "kind", "r0"]), earlier,
                          leaf))
        if made[-1].numeric and made[-1].count is None:
            earlier = earlier + [made[-1].name]
    return tuple(made), earlier


def condition(src, fields, apids):
    kind = src.byte() % 8
    if kind == 0 and src.remaining():
        return src.pick([AllOf, AnyOf])(tuple(condition(src, fields, apids) for _ in range(src.byte() % 3)))
    field = src.pick(fields or ["apid"])  # no such field: the set is refused
    value = src.pick(apids) if field == "apid" else src.pick([0, 1, 2, 3, 1.5, -1, "a", "other", True])
    return Comparison(field, src.pick(OPERATORS) if src.chance(120) else "==", value, src.chance(60))


def type_set(src):
    ccsds = src.chance(180)
    root = ccsds_primary_header() if ccsds else ()
    own, fields = entries(src, "r", [e.name for e in root], False)
    if src.chance(128):
        own += (entry(src, "kind", fields, False),)
        fields = fields + ["kind"]
    types = [PacketType("root", root + own, abstract=src.chance(60))]
    apids = [src.pick(APIDS) for _ in range(1 + src.byte() % 3)]
    for i in range(src.byte() % 4):
        name = f"t{i}"
        mine, below = entries(src, f"{name}_", fields, src.chance(128))
        conditions = tuple(condition(src, fields, apids) for _ in range(src.byte() % 3))
        types.append(PacketType(name, mine, conditions, base=src.pick(["root"] * 6 + [t.name for t in types]
                                                                      + ["nowhere"] * src.chance(20)),
                                abstract=src.chance(40)))
        for j in range(src.byte() % 3):
            leaf, _ = entries(src, f"{name}{j}_", below, True)
            types.append(PacketType(f"{name}{j}", leaf, (condition(src, below, apids),), base=name))
    return types, apids, ccsds


def recording(src, apids):
    """CCSDS packets of the set's APIDs, headers and lengths fuzzed, and random bytes."""
    prefix = src.pick([0, 0, 0, 1, 4])
    small = src.chance(128)  # values that conditions on small numbers hold for
    parts = []
    for _ in range(src.byte() % 12):
        body = src.take(src.byte() % 48)
        if small:
            body = bytes(b & 0x11 for b in body)
        if src.chance(30):  # a header of its own, whatever it says
            parts.append(bytes(prefix) + src.take(6) + body)
            continue
        first = (src.byte() % 8) << 13 | src.byte() % 2 << 12 | (src.pick(apids) if src.chance(220) else src.uint(2)) % 2048
        length = len(body) + 6 - 7 + (src.pick([0, 0, 0, 1, -1, 300]) if src.chance(30) else 0)
        header = first.to_bytes(2, "big") + src.take(2).ljust(2, b"\0") + (length % 65536).to_bytes(2, "big")
        parts.append(bytes(prefix) + header + body)
    data = b"".join(parts)
    if src.chance(30):
        data = data[:len(data) - src.byte() % 8]
    return data, prefix


def framing(src, size, prefix):
    """Keywords for decode, and the framing reference.frame reads from them."""
    kind = src.byte() % 4
    if kind == 0 and prefix == 0:
        stride = 1 + src.byte() % 32
        return {"stride": stride}
    if kind == 1 and prefix == 0:
        starts = sorted(src.byte() % (size + 1) for _ in range(src.byte() % 8))
        if src.chance(128):
            return {"offsets": np.array(starts, dtype=np.int64)}
        lengths = [src.byte() % (size - s + 1) for s in starts]
        return {"offsets": starts, "lengths": lengths}
    return {"prefix": prefix} if prefix else {}


def same(a, b):
    """One value of a row against the one unpack gives: floats bit for bit
    (any NaN equal to any NaN), arrays element by element."""
    if isinstance(b, np.ndarray) or isinstance(a, np.ndarray):
        a, b = np.asarray(a), np.asarray(b)
        if a.shape != b.shape or a.dtype != b.dtype:
            return False
        return all(same(x, y) for x, y in zip(a.tolist(), b.tolist()))
    if isinstance(a, (float, np.floating)) or isinstance(b, (float, np.floating)):
        if np.isnan(a) and np.isnan(b):
            return True
        return np.float64(a).tobytes() == np.float64(b).tobytes()
    if isinstance(b, np.datetime64):
        return np.datetime64(a, "ns") == b or (np.isnat(a) and np.isnat(b))
    if isinstance(b, (bool, np.bool_)):
        return isinstance(a, (bool, np.bool_)) and bool(a) == bool(b)
    return a == b and type(a) is type(b) if isinstance(b, (str, bytes)) else a == b


def same_value(a, b):
    """Values of the reference and the engine: as `same`, with plain Python
    numbers against NumPy scalars."""
    if isinstance(b, list):
        a = np.asarray(a).tolist()
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(b, float):
        return same(float(a), b)
    if isinstance(b, np.datetime64):
        return np.datetime64(a, "ns") == b
    return type(b)(a) == b if not isinstance(b, (str, bytes)) else a == b


def per_packet(definitions, chains, packet):
    """What unpack says of one packet: (name, values, raw values) or (reason, type)."""
    try:
        name, values = definitions.unpack(packet)
    except PacketError as error:
        assert error.index == 0 and error.offset == 0 and error.reason in REASONS, error
        assert str(error) == f"packet 0 at byte 0: {error.message}"
        outcome = ("refused", error.reason)
    else:
        raw = definitions.unpack(packet, raw=True)[1]
        assert list(raw) == list(values) == [e.name for e in chains[name].entries], (list(raw), list(values))
        outcome = ("row", name, values, raw)
    try:
        want = reference.unpack(chains, packet)
    except reference.Refusal as refusal:
        assert outcome == ("refused", refusal.reason), (packet, outcome, refusal.reason, refusal.message)
    else:
        assert outcome[:2] == ("row", want[0]), (packet, outcome, want[0])
        for field, value in want[1].items():
            assert same_value(outcome[2][field], value), (packet, field, outcome[2][field], value)
        for field, value in want[2].items():
            assert same_value(outcome[3][field], value), (packet, field, outcome[3][field], value)
    return outcome


def check(definitions, chains, data, keywords, decoded):
    packets = reference.frame(data, **keywords)
    census = decoded.census
    rows = sum(len(table.index) for table in decoded.tables.values())
    assert census.packets == len(packets) == rows + len(decoded.refused), (census, len(packets), rows)
    assert list(decoded.tables) == [name for name, chain in chains.items() if not chain.abstract]
    assert census.types == {name: len(table.index) for name, table in decoded.tables.items()}
    assert census.refused == {reason: sum(r.reason == reason for r in decoded.refused) for reason in REASONS}
    refused = {}
    for item in decoded.refused:
        assert item.index not in refused and isinstance(item.message, str) and item.message, item
        refused[item.index] = item
    assert [r.index for r in decoded.refused] == sorted(refused)
    seen = {}
    for name, table in decoded.tables.items():
        assert table.index.dtype == np.int64 and table.offset.dtype == np.int64
        assert list(table.index) == sorted(table.index)
        assert list(table.columns) == [e.name for e in chains[name].entries]
        assert list(table.raw) == [e.name for e in chains[name].entries if e.calibration is not None]
        for row, (index, offset) in enumerate(zip(table.index.tolist(), table.offset.tolist())):
            assert index not in seen and index not in refused, index
            seen[index] = (name, row, offset)
    assert len(seen) == rows
    memo = {}
    for index, (offset, packet) in enumerate(packets):
        if packet is None:
            assert refused[index].reason == "cut off" and refused[index].offset == offset, refused.get(index)
            continue
        if packet not in memo:
            memo[packet] = per_packet(definitions, chains, packet)
        outcome = memo[packet]
        if outcome[0] == "refused":
            assert index in refused and refused[index].reason == outcome[1], (index, refused.get(index), outcome)
            assert refused[index].offset == offset
            continue
        assert index in seen, (index, refused.get(index), outcome[1])
        name, row, at = seen[index]
        assert (name, at) == (outcome[1], offset), (seen[index], outcome[1], offset)
        table = decoded.tables[name]
        for field, value in outcome[2].items():
            assert same(table.columns[field][row], value), (index, field, table.columns[field][row], value)
        for field, value in table.raw.items():
            assert same(value[row], outcome[3][field]), (index, field, value[row], outcome[3][field])


def same_decoded(a, b):
    assert a.census == b.census and a.refused == b.refused
    for name, table in a.tables.items():
        other = b.tables[name]
        assert table.index.tolist() == other.index.tolist() and table.offset.tolist() == other.offset.tolist()
        for part in ("columns", "raw"):
            for field, column in getattr(table, part).items():
                again = getattr(other, part)[field]
                assert column.shape == again.shape and column.dtype == again.dtype, (name, field)
                assert all(same(x, y) for x, y in zip(column, again)), (name, field)


def harness(data):
    src = Input(data)
    try:
        types, apids, ccsds = type_set(src)
        definitions = Definitions(types)
    except DefinitionError:
        return
    chains = reference.chains(types)
    recorded, prefix = recording(src, apids)
    tail = src.take(src.byte() % 40)
    buffer = recorded + tail if ccsds or src.chance(128) else tail + recorded
    for _ in range(1 + src.byte() % 2):
        keywords = framing(src, len(buffer), prefix)
        threads = src.pick([1, 2])
        CALLS[0] += 3
        decoded = definitions.decode(buffer, errors="skip", threads=threads, **keywords)
        check(definitions, chains, buffer, keywords, decoded)
        # The packets split otherwise between threads: the same answer.
        same_decoded(decoded, definitions.decode(buffer, errors="skip", threads=3 - threads, **keywords))
        try:
            raised = definitions.decode(memoryview(buffer), errors="raise", threads=threads, **keywords)
        except PacketError as error:
            first = decoded.refused[0] if decoded.refused else None
            assert first is not None and (error.index, error.offset, error.reason) == first[:3], (error, first)
            assert str(error) == f"packet {first.index} at byte {first.offset}: {first.message}"
        else:
            assert not decoded.refused, decoded.refused
            same_decoded(decoded, raised)


if __name__ == "__main__":
    main("definitions", harness, calls=CALLS)
