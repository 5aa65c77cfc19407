"""A plain-Python reference for packet definitions, written from the model and
docs/definitions.md alone: the oracle of the engine's property tests.

Slow on purpose and obvious on purpose. Each numeric field's raw bits are taken
with int.from_bytes, a shift and a mask; the value is fieldloom's standalone
scalar decoder of that raw value; calibrations are the formulas of the docs
written out in Python. Nothing here calls the engine under test.
"""
from __future__ import annotations

import dataclasses
import functools
import math
import operator
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import fieldloom
from fieldloom_batch import Layout
from fieldloom_batch.definitions.model import (CDS, CUC, AllOf, AnyOf, Boolean, Comparison, Contextual, Delimited, Dynamic, Entry,
                                               Enumeration, PacketType, Polynomial, Spline, Time, ToEnd)

NO_TYPE, TOO_SHORT, BAD_SIZE, BAD_VALUE, CUT_OFF = "no packet type", "too short", "bad size", "bad value", "cut off"
SIGNED_INTEGERS = {"twos_complement": fieldloom.decode_twos_complement,
                   "ones_complement": fieldloom.decode_ones_complement,
                   "sign_magnitude": fieldloom.decode_sign_magnitude}
FLOATS = {"ieee754_f16": fieldloom.decode_ieee754_f16, "ieee754_f32": fieldloom.decode_ieee754_f32,
          "ieee754_f64": fieldloom.decode_ieee754_f64, "ieee754_f128": fieldloom.decode_ieee754_f128}
BCD = {"packed_bcd": (fieldloom.decode_packed_bcd, False), "packed_bcd_signed": (fieldloom.decode_packed_bcd, True),
       "unpacked_bcd": (fieldloom.decode_unpacked_bcd, False),
       "unpacked_bcd_signed": (fieldloom.decode_unpacked_bcd, True)}
TEXT_DECODERS = {"latin1": fieldloom.decode_iso_8859_1}
TEXT_ENCODERS = {"latin1": "iso_8859_1"}
COMPARE = {"==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le, ">": operator.gt,
           ">=": operator.ge}
NS = 10**9
INT64 = (-(2**63), 2**63 - 1)


class Refusal(Exception):
    def __init__(self, reason: str, message: str) -> None:
        super().__init__(message)
        self.reason, self.message = reason, message
        self.extra: tuple[str, int] | None = None


@dataclass(frozen=True)
class Chain:
    """A packet type with its ancestors resolved: entries and conditions of
    the whole chain, root first."""

    name: str
    entries: tuple[Entry, ...]
    conditions: tuple[Any, ...]
    depth: int
    abstract: bool


def chains(types: list[PacketType]) -> dict[str, Chain]:
    by_name = {t.name: t for t in types}

    def resolve(t: PacketType) -> Chain:
        if t.base is None:
            return Chain(t.name, t.entries, t.conditions, 0, t.abstract)
        parent = resolve(by_name[t.base])
        return Chain(t.name, parent.entries + t.entries, parent.conditions + t.conditions, parent.depth + 1,
                     t.abstract)

    return {t.name: resolve(t) for t in types}


# -- values ---------------------------------------------------------------------------------------------------------


def bits_at(packet: bytes, start: int, width: int) -> int:
    first, last = start // 8, (start + width + 7) // 8
    word = int.from_bytes(packet[first:last], "big")
    return (word >> (last * 8 - start - width)) & ((1 << width) - 1)


def raw_bits(packet: bytes, start: int, entry: Entry) -> int:
    """The entry's raw value: its bits most significant first, bytes swapped
    when little-endian."""
    value = bits_at(packet, start, entry.bits)
    if entry.byte_order == "little":
        value = int.from_bytes(value.to_bytes(entry.bits // 8, "big"), "little")
    return value


def scalar(entry: Entry, raw: int) -> int | float:
    """The encoding's standalone decoder applied to a raw value."""
    encoding = entry.encoding
    try:
        if encoding == "unsigned":
            return raw
        if encoding in SIGNED_INTEGERS:
            return SIGNED_INTEGERS[encoding](raw, entry.bits)
        if encoding in BCD:
            decode, signed = BCD[encoding]
            return decode(raw, entry.bits, signed)
        return FLOATS[encoding](raw)
    except ValueError as error:
        raise Refusal(BAD_VALUE, f"entry {entry.name!r}: {error}") from None


def content(entry: Entry, data: bytes) -> tuple[bytes, int | None]:
    """A text entry's content among its bytes, and the bytes up to where it
    ends (None: it does not end within them)."""
    if entry.leading_bits is not None:
        tag = entry.leading_bits // 8
        if len(data) < tag:
            raise Refusal(TOO_SHORT, f"entry {entry.name!r}: its size tag runs past the packet")
        size = int.from_bytes(data[:tag], "big")
        if size % 8:
            raise Refusal(BAD_SIZE, f"entry {entry.name!r}: a size tag of {size} bits")
        if tag + size // 8 > len(data):
            raise Refusal(TOO_SHORT, f"entry {entry.name!r}: its content runs past its bytes")
        return data[tag:tag + size // 8], tag + size // 8
    if entry.terminator is not None:
        unit = len(entry.terminator)
        units = [data[i:i + unit] for i in range(0, len(data) - unit + 1, unit)]
        if entry.terminator in units:
            end = units.index(entry.terminator) * unit
            return data[:end], end + unit
    return data, None


def text(entry: Entry, data: bytes) -> str | bytes:
    if entry.encoding == "binary":
        return data
    data = content(entry, data)[0]
    decode = TEXT_DECODERS.get(entry.encoding) or getattr(fieldloom, "decode_" + entry.encoding)
    try:
        return decode(data)
    except ValueError as error:
        raise Refusal(BAD_VALUE, f"entry {entry.name!r}: {error}") from None


def epoch_ns(epoch: str) -> int:
    return int(np.datetime64(epoch, "ns").astype(np.int64))


def as_time(entry: Entry, ns: int) -> np.datetime64:
    if not INT64[0] < ns <= INT64[1]:  # the lowest int64 is NaT
        raise Refusal(BAD_VALUE, f"entry {entry.name!r}: time {ns} ns from 1970 is outside datetime64[ns]")
    return np.datetime64(ns, "ns")


def spline(entry: Entry, calibration: Spline, x: float) -> float:
    points = calibration.points
    if not points[0][0] <= x <= points[-1][0]:  # NaN too
        if not calibration.extrapolate:
            raise Refusal(BAD_VALUE, f"entry {entry.name!r}: {x} is outside the spline's points")
        if x != x:
            return x
        if calibration.order == 0:
            return points[0][1] if x < points[0][0] else points[-1][1]
    if calibration.order == 0:
        return [y for px, y in points if px <= x][-1]
    # The piece that starts at the last point at or below x; the last point and
    # anything past it use the last piece, anything before the first the first.
    k = max(0, min(len(points) - 2, sum(1 for px, _ in points if px <= x) - 1))
    (x0, y0), (x1, y1) = points[k], points[k + 1]
    if y0 == y1:
        return y0
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0)


def calibrate(entry: Entry, value: int | float) -> Any:
    calibration = entry.calibration
    if isinstance(calibration, Polynomial):
        x, coefficients = float(value), calibration.coefficients
        result = coefficients[-1]
        for c in reversed(coefficients[:-1]):
            result = result * x + c
        return result
    if isinstance(calibration, Spline):
        return spline(entry, calibration, float(value))
    if isinstance(calibration, Enumeration):
        label = calibration.labels.get(int(value), calibration.other)
        if label is None:
            raise Refusal(BAD_VALUE, f"entry {entry.name!r}: code {value} has no label")
        return label
    if isinstance(calibration, Boolean):
        return value != 0
    if isinstance(calibration, Time):
        seconds = float(value) * calibration.scale + calibration.offset
        if not math.isfinite(seconds * 1e9):
            raise Refusal(BAD_VALUE, f"entry {entry.name!r}: time of {seconds} s")
        return as_time(entry, epoch_ns(calibration.epoch) + round(seconds * 1e9))
    if isinstance(calibration, CUC):
        shift = 8 * calibration.fine
        ns = (value >> shift) * NS + ((value & ((1 << shift) - 1)) * NS >> shift)
        return as_time(entry, epoch_ns(calibration.epoch) + ns)
    if isinstance(calibration, CDS):
        sub = calibration.submillisecond_bits
        days, ms = value >> (32 + sub), (value >> sub) & 0xFFFFFFFF
        micro = value & 0xFFFF if sub else 0
        return as_time(entry, epoch_ns(calibration.epoch) + days * 86400 * NS + ms * 10**6 + micro * 1000)
    return value


# -- one packet ------------------------------------------------------------------------------------------------------


@dataclass
class Place:
    absent = False  # an entry whose condition does not hold
    start: int
    size: int  # bits in all
    count: int | None  # elements of an array


@dataclass
class Reader:
    """One packet read as one chain: positions first, then values, each only
    when asked for."""

    packet: bytes
    chain: Chain
    places: list[Place] = field(default_factory=list)
    failure: Refusal | None = None

    def __post_init__(self) -> None:
        self.index = {e.name: k for k, e in enumerate(self.chain.entries)}

    @property
    def bits(self) -> int:
        return len(self.packet) * 8

    def place_all(self) -> None:
        self.place_up_to(len(self.chain.entries) - 1)

    def place_up_to(self, k: int) -> None:
        """Places entries 0..k, raising the first entry's failure."""
        while len(self.places) <= k:
            if self.failure is not None:
                raise self.failure
            try:
                self.places.append(self.place(self.chain.entries[len(self.places)]))
            except Refusal as refusal:
                self.failure = refusal
                raise

    def place(self, entry: Entry) -> Place:
        previous_end = self.places[-1].start + self.places[-1].size if self.places else 0
        if entry.offset is None:
            start = previous_end
        elif entry.relative_to == "packet":
            start = entry.offset
        else:
            start = previous_end + entry.offset
        if entry.condition is not None and not self.holds(entry.condition):
            place = Place(previous_end, 0, None)  # takes no bits, and its offset with it
            place.absent = True
            return place
        if start > self.bits:  # found past the packet: too short, whatever its size or count would be
            raise Refusal(TOO_SHORT, f"entry {entry.name!r} starts past the end of the packet")
        count = None
        if isinstance(entry.bits, ToEnd):
            size = self.bits - start
        elif isinstance(entry.bits, Delimited):
            end = content(entry, self.packet[start // 8:])[1]
            if end is None:
                raise Refusal(TOO_SHORT, f"entry {entry.name!r} has no terminator before the end of the packet")
            size = end * 8
        elif isinstance(entry.bits, Dynamic):
            size = self.dynamic(entry, entry.bits) * entry.bits.bits_per_unit
            if size < 0 or size % 8:
                raise Refusal(BAD_SIZE, f"entry {entry.name!r}: size of {size} bits")
        else:
            size = entry.bits
        if entry.count is not None:
            count = self.dynamic(entry, entry.count) if isinstance(entry.count, Dynamic) else entry.count
            if count < 0:
                raise Refusal(BAD_SIZE, f"entry {entry.name!r}: count of {count}")
            size *= count
        if size < 0 or start + size > self.bits:
            raise Refusal(TOO_SHORT, f"entry {entry.name!r} runs past the end of the packet")
        return Place(start, size, count)

    def dynamic(self, entry: Entry, source: Dynamic) -> int:
        return source.slope * int(self.value(source.field, raw=True)) + source.intercept

    def raw(self, name: str) -> Any:
        """The value before calibration: a number, a list of numbers, str or bytes."""
        k = self.index[name]
        self.place_up_to(k)
        entry, place = self.chain.entries[k], self.places[k]
        if place.absent:
            return None
        if not entry.numeric:
            return text(entry, self.packet[place.start // 8:(place.start + place.size) // 8])
        if place.count is None:
            return scalar(entry, raw_bits(self.packet, place.start, entry))
        return [scalar(entry, raw_bits(self.packet, place.start + i * entry.bits, entry)) for i in range(place.count)]

    def value(self, name: str, *, raw: bool = False) -> Any:
        value = self.raw(name)
        entry = self.chain.entries[self.index[name]]
        if raw or entry.calibration is None or value is None:
            return value
        if isinstance(entry.calibration, Contextual):  # one case for the whole row
            case = next((c for condition, c in entry.calibration.cases if self.holds(condition)),
                        entry.calibration.default)
            if case is None:  # the value as a double
                return [float(v) for v in value] if isinstance(value, list) else float(value)
            entry = dataclasses.replace(entry, calibration=case)
        if isinstance(value, list):
            return [calibrate(entry, v) for v in value]
        return calibrate(entry, value)

    def holds(self, condition: Any) -> bool:
        if isinstance(condition, AllOf):
            return all(self.holds(c) for c in condition.conditions)
        if isinstance(condition, AnyOf):
            return any(self.holds(c) for c in condition.conditions)
        assert isinstance(condition, Comparison)
        try:
            value = self.value(condition.field, raw=condition.raw)
        except Refusal:
            return False  # a field that does not lie within the packet, or does not decode
        if value is None:
            return False  # an entry absent from this packet
        return bool(COMPARE[condition.op](value, condition.value))

    def decode(self) -> tuple[dict[str, Any], dict[str, Any]]:
        """Every entry's value and, for calibrated entries, its raw value.
        The first entry, in chain order, whose place, size or value fails
        refuses the packet; calibrations fail only after that."""
        values = {entry.name: self.raw(entry.name) for entry in self.chain.entries}
        raws = {e.name: values[e.name] for e in self.chain.entries if e.calibration is not None}
        for name in raws:
            values[name] = self.value(name)
        return values, raws

    def end_bytes(self) -> int:
        return max(((p.start + p.size + 7) // 8 for p in self.places), default=0)


def identify(chains_: dict[str, Chain], packet: bytes) -> Chain | None:
    """The deepest concrete chain whose conditions all hold; the first given among equals."""
    best = None
    for chain in chains_.values():
        if chain.abstract or (best is not None and chain.depth <= best.depth):
            continue
        reader = Reader(packet, chain)
        if all(reader.holds(c) for c in chain.conditions):
            best = chain
    return best


def unpack(chains_: dict[str, Chain], packet: bytes) -> tuple[str, dict[str, Any], dict[str, Any], int]:
    """One packet: its type name, its values, the raw values of its calibrated
    entries, and its bytes past the type's entries; raises Refusal, whose
    `extra` is (type, bytes past its entries) when they all lie within it."""
    chain = identify(chains_, packet)
    if chain is None:
        raise Refusal(NO_TYPE, "no packet type matches")
    reader = Reader(packet, chain)
    try:
        reader.place_all()
        extra: tuple[str, int] | None = (chain.name, len(packet) - reader.end_bytes())
    except Refusal:
        extra = None
    try:
        values, raws = reader.decode()
    except Refusal as refusal:
        refusal.extra = extra
        raise
    assert extra is not None
    return chain.name, values, raws, extra[1]


# -- recordings ------------------------------------------------------------------------------------------------------


def frame(buffer: bytes, *, stride: int | None = None, offsets: Any = None, lengths: Any = None,
          prefix: int = 0) -> list[tuple[int, bytes | None]]:
    """(offset, bytes) per packet; bytes None for a CCSDS packet cut off by the
    end of the buffer (always the last)."""
    if offsets is not None:
        offsets = [int(o) for o in offsets]
        if lengths is None:
            ends = offsets[1:] + [len(buffer)]
        else:
            ends = [o + int(n) for o, n in zip(offsets, lengths)]
        return [(o, buffer[o:e]) for o, e in zip(offsets, ends)]
    if stride is not None:
        return [(o, buffer[o:o + stride]) for o in range(0, len(buffer), stride)]
    packets: list[tuple[int, bytes | None]] = []
    position = 0
    while position < len(buffer):
        start = position + prefix
        if start + 6 > len(buffer):  # cut off in its header, or in the bytes before it: at the end at most
            packets.append((min(start, len(buffer)), None))
            break
        end = start + 7 + int.from_bytes(buffer[start + 4:start + 6], "big")
        if end > len(buffer):
            packets.append((start, None))
            break
        packets.append((start, buffer[start:end]))
        position = end
    return packets


@dataclass
class Table:
    columns: dict[str, list[Any]]
    raw: dict[str, list[Any]]
    index: list[int] = field(default_factory=list)
    offset: list[int] = field(default_factory=list)


@dataclass
class Expected:
    tables: dict[str, Table]
    refused: list[tuple[int, int, str, str]]  # index, offset, reason, message
    types: dict[str, int]
    reasons: dict[str, int]
    extra: dict[str, tuple[int, int]]  # counted for packets refused for a value too
    packets: int

    def count_extra(self, name: str, extra: int) -> None:
        if extra:
            packets, extra_bytes = self.extra[name]
            self.extra[name] = (packets + 1, extra_bytes + extra)


def decode(types: list[PacketType], buffer: bytes, **framing: Any) -> Expected:
    """What Definitions(types).decode(buffer, errors="skip", **framing) gives."""
    chains_ = chains(types)
    concrete = [c for c in chains_.values() if not c.abstract]
    tables = {c.name: Table({e.name: [] for e in c.entries},
                            {e.name: [] for e in c.entries if e.calibration is not None}) for c in concrete}
    expected = Expected(tables, [], {c.name: 0 for c in concrete}, {}, {c.name: (0, 0) for c in concrete}, 0)
    for index, (offset, packet) in enumerate(frame(buffer, **framing)):
        expected.packets += 1
        try:
            if packet is None:
                raise Refusal(CUT_OFF, "the packet runs past the end of the buffer")
            name, values, raws, extra = unpack(chains_, packet)
        except Refusal as refusal:
            expected.refused.append((index, offset, refusal.reason, refusal.message))
            expected.reasons[refusal.reason] = expected.reasons.get(refusal.reason, 0) + 1
            if refusal.extra is not None:
                expected.count_extra(*refusal.extra)
            continue
        table = tables[name]
        for column, value in values.items():
            table.columns[column].append(value)
        for column in table.raw:
            table.raw[column].append(raws[column])
        table.index.append(index)
        table.offset.append(offset)
        expected.types[name] += 1
        expected.count_extra(name, extra)
    return expected


# -- column types ----------------------------------------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def numeric_dtype(encoding: str, bits: int) -> np.dtype:
    """What Layout.unpack_many gives for a recipe field of the encoding and width."""
    recipe = [{"name": "v", "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}]
    return Layout(recipe).dtypes["v"]


def dtype(entry: Entry, *, raw: bool = False) -> np.dtype:
    calibration = None if raw else entry.calibration
    if not entry.numeric or entry.condition is not None:
        return np.dtype(object)
    if isinstance(calibration, (Polynomial, Spline, Contextual)):
        return np.dtype(np.float64)
    if isinstance(calibration, Enumeration):
        return np.dtype(object)
    if isinstance(calibration, Boolean):
        return np.dtype(bool)
    if isinstance(calibration, (Time, CUC, CDS)):
        return np.dtype("datetime64[ns]")
    if entry.encoding == "ieee754_f128":
        return np.dtype(np.float64)
    return numeric_dtype(entry.encoding, entry.bits)


# -- building packets ------------------------------------------------------------------------------------------------


class Writer:
    """Bits written at given positions into a growing packet."""

    def __init__(self) -> None:
        self.word, self.bits = 0, 0

    def put(self, start: int, width: int, value: int) -> None:
        end = max(self.bits, start + width)
        self.word <<= end - self.bits
        self.bits = end
        shift = end - start - width
        self.word = (self.word & ~(((1 << width) - 1) << shift)) | ((value & ((1 << width) - 1)) << shift)

    def to_bytes(self) -> bytes:
        size = (self.bits + 7) // 8
        return (self.word << (size * 8 - self.bits)).to_bytes(size, "big")


def encode_raw(entry: Entry, value: int) -> int:
    """Bits of a value decoded by the entry's encoding, as written in the packet."""
    encoding = entry.encoding
    if encoding == "unsigned":
        raw = value
    elif encoding in SIGNED_INTEGERS:
        raw = getattr(fieldloom, "encode_" + encoding)(value, entry.bits)
    elif encoding in BCD:
        kind = encoding.removesuffix("_signed")
        raw = getattr(fieldloom, "encode_" + kind)(value, entry.bits, encoding.endswith("_signed"))
    else:
        raw = getattr(fieldloom, "encode_" + encoding)(value)
    if entry.byte_order == "little":
        raw = int.from_bytes(raw.to_bytes(entry.bits // 8, "big"), "little")
    return raw


def build(entries: tuple[Entry, ...], values: dict[str, Any]) -> bytes:
    """A packet from decoded values (numbers, lists of numbers, bytes, or str
    for text): the inverse of Reader for valid values. Variable sizes are
    the lengths of the values; the size fields hold what they are given."""
    writer, end = Writer(), 0
    for entry in entries:
        start = end if entry.offset is None else entry.offset if entry.relative_to == "packet" else end + entry.offset
        value = values[entry.name]
        if entry.numeric:
            elements = value if entry.count is not None else [value]
            writer.put(start, 0, 0)  # an empty array's place too
            for i, element in enumerate(elements):
                writer.put(start + i * entry.bits, entry.bits, encode_raw(entry, element))
            end = start + entry.bits * len(elements)
        else:
            if isinstance(value, str):  # encoded, then cut or zero-padded to a fixed size
                value = getattr(fieldloom, "encode_" + TEXT_ENCODERS.get(entry.encoding, entry.encoding))(value)
                value = value[:entry.bits // 8].ljust(entry.bits // 8, b"\0") if isinstance(entry.bits, int) else value
            writer.put(start, len(value) * 8, int.from_bytes(value, "big"))
            end = start + len(value) * 8
    return writer.to_bytes()
