"""Hypothesis strategies: random sets of packet types and random recordings of
them, with packets of no known type, truncated and corrupt packets.

A set is a CCSDS root type (abstract or not), children told apart by their
APID, and grandchildren told apart by a `kind` header field. Every type draws
entries at random bit positions and widths, of every decodable encoding, with
sizes and counts from earlier fields, calibrations, text and binary. Packets
are built at the level of raw bits, so invalid BCD digits, invalid text and
codes without labels occur as they do in real recordings."""
from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Any

from hypothesis import strategies as st

import reference
from fieldloom_batch.definitions.model import (BCD_ENCODINGS, CDS, CUC, FLOAT_ENCODINGS, INTEGER_ENCODINGS,
                                               TEXT_ENCODINGS, AllOf, AnyOf, Boolean, Comparison, Dynamic, Entry,
                                               Enumeration, PacketType, Polynomial, Spline, Time, ToEnd,
                                               ccsds_primary_header)

FLOAT_BITS = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64}
PY_CODECS = {"utf8": ("utf-8", 1), "utf16": ("utf-16-be", 2), "utf16be": ("utf-16-be", 2),
             "utf16le": ("utf-16-le", 2), "utf32": ("utf-32-be", 4), "utf32be": ("utf-32-be", 4),
             "utf32le": ("utf-32-le", 4), "us_ascii": ("ascii", 1), "iso_8859_1": ("latin-1", 1),
             "latin1": ("latin-1", 1), "windows_1252": ("cp1252", 1)}
EPOCHS = ("1958-01-01T00:00:00", "1970-01-01T00:00:00", "2000-01-01T11:58:55.816")
PEER_NUMERIC = ("unsigned", "twos_complement", "unsigned", "twos_complement") + FLOAT_ENCODINGS
PEER_TEXT = ("utf8", "utf16be", "utf16le", "utf32be", "utf32le", "us_ascii", "iso_8859_1", "windows_1252")
LIMIT_BYTES = 48  # a size or count past this ends the packet: it is refused as too short
SIZE_FIELD_BITS = 10


@dataclass
class Cursor:
    """Where the next entry starts, as far as is known without a packet."""

    at: int | None = 0  # None: differs from packet to packet
    aligned: bool = True  # on a byte in every packet

    def after(self, size: int | None, granularity: int) -> Cursor:
        if self.at is not None and size is not None:
            return Cursor(self.at + size, (self.at + size) % 8 == 0)
        return Cursor(None, self.aligned and (granularity if size is None else size) % 8 == 0)


@dataclass
class TypeSet:
    types: list[PacketType]
    witnesses: dict[str, dict[str, int]]  # concrete type -> raw values of fields that pick it
    size_fields: set[str] = field(default_factory=set)


def floats(low: float = -1e6, high: float = 1e6) -> st.SearchStrategy[float]:
    return st.floats(low, high, allow_nan=False, allow_infinity=False)


@st.composite
def calibrations(draw: Any, encoding: str, bits: int, peer: bool) -> Any:
    integer = encoding not in FLOAT_ENCODINGS
    top = float(2 ** min(bits, 20))
    choices = ["none", "none", "polynomial"] + ([] if peer else ["time"]) + \
        (["spline", "enumeration", "boolean"] if integer else [])
    kind = draw(st.sampled_from(choices))
    if kind == "polynomial":
        return Polynomial(tuple(draw(st.lists(floats(-1e3, 1e3), min_size=1, max_size=4))))
    if kind == "time":
        return Time(draw(st.sampled_from(EPOCHS)), draw(st.sampled_from([1.0, 1e-3, 0.25, 1e-6])), draw(floats(-1e3, 1e3)))
    if kind == "spline":
        xs = sorted(draw(st.sets(st.integers(-int(top), int(top)), min_size=2, max_size=4)))
        order = draw(st.sampled_from([0, 1]))
        if peer:  # the peer cannot look up its own last point: keep it out of reach
            xs = xs[:-1] + [2**bits + 1] if len(xs) > 2 else xs + [2**bits + 1]
        return Spline(tuple((x, draw(floats())) for x in xs), order, draw(st.booleans()))
    if kind == "enumeration":
        codes = draw(st.sets(st.integers(0, min(2**bits - 1, 20)), min_size=1, max_size=4))
        return Enumeration({c: f"label{c}" for c in codes}, None if peer else draw(st.sampled_from([None, "other"])))
    if kind == "boolean":
        return Boolean()
    return None


@st.composite
def numeric_entry(draw: Any, name: str, count: Any = None, peer: bool = False) -> Entry:
    encoding = draw(st.sampled_from(PEER_NUMERIC if peer else INTEGER_ENCODINGS + INTEGER_ENCODINGS + BCD_ENCODINGS
                                    + FLOAT_ENCODINGS + ("time_code",)))
    if encoding == "time_code":
        code = draw(st.sampled_from([CUC(4, 2), CUC(1, 0), CUC(4, 3), CDS(16, 0), CDS(24, 0), CDS(16, 16)]))
        return Entry(name, "unsigned", code.bits, count=count, calibration=code)
    bits = FLOAT_BITS.get(encoding) or draw(st.integers(1, 64))
    little = bits % 8 == 0 and draw(st.booleans())
    calibration = draw(calibrations(encoding, bits, peer))
    return Entry(name, encoding, bits, "little" if little else "big", count=count, calibration=calibration)


@st.composite
def entries(draw: Any, prefix: str, cursor: Cursor, size_fields: list[str], leaf: bool, peer: bool,
            ) -> tuple[tuple[Entry, ...], Cursor, list[str]]:
    """A type's own entries after `cursor`; returns them, the cursor after
    them and the fields later entries may take sizes from."""
    made: list[Entry] = []
    size_fields = list(size_fields)
    for k in range(draw(st.integers(0, 5))):
        name = f"{prefix}_{k}"
        kind = draw(st.sampled_from(["numeric"] * 4 + ["text", "size"] + ([] if peer else ["array"])))
        offset, relative_to = None, "packet"
        where = draw(st.sampled_from(["cursor"] * 6 + ([] if peer else ["previous", "packet"])))
        if where == "previous":
            offset, relative_to = draw(st.integers(0, 9)), "previous"
        elif where == "packet" and cursor.at is not None:
            offset = cursor.at + draw(st.integers(0, 9))
        if offset is None:
            start = cursor
        elif relative_to == "packet":
            start = Cursor(offset, offset % 8 == 0)
        elif cursor.at is not None:
            start = Cursor(cursor.at + offset, (cursor.at + offset) % 8 == 0)
        else:
            start = Cursor(None, cursor.aligned and offset % 8 == 0)
        if kind == "text" and not start.aligned:
            if start.at is None:
                kind = "numeric"
            elif peer:  # spare bits up to the next byte
                made.append(Entry(f"{name}_spare", bits=-start.at % 8))
                start = Cursor(start.at + made[-1].bits, True)
            else:  # moved to the next byte
                offset, relative_to = -(-start.at // 8) * 8, "packet"
                start = Cursor(offset, True)
        if kind == "size":
            entry = Entry(name, draw(st.sampled_from(["unsigned"] if peer else ["unsigned", "twos_complement"])),
                          draw(st.integers(3, SIZE_FIELD_BITS)))
            size_fields.append(name)
        elif kind == "numeric":
            entry = draw(numeric_entry(name, peer=peer))
        elif kind == "array":
            count: Any = draw(st.integers(0, 4))
            if size_fields and draw(st.booleans()):
                count = Dynamic(draw(st.sampled_from(size_fields)), draw(st.sampled_from([1, 2])), draw(st.integers(-2, 2)))
            entry = draw(numeric_entry(name, count))
        else:
            encoding = draw(st.sampled_from((PEER_TEXT if peer else TEXT_ENCODINGS) + ("binary", "binary")))
            size = draw(st.sampled_from(["fixed", "dynamic", "to_end"] if leaf and not peer else ["fixed", "dynamic"]))
            bits: Any = 8 * draw(st.integers(1, 8))
            if size == "dynamic" and size_fields:
                bits = Dynamic(draw(st.sampled_from(size_fields)), draw(st.sampled_from([1, 2, 8])),
                               draw(st.integers(-2, 8)), draw(st.sampled_from(["bits", "bytes"])))
            elif size == "to_end":
                bits = ToEnd()
            entry = Entry(name, encoding, bits)
        entry = dataclasses.replace(entry, offset=offset, relative_to=relative_to)
        made.append(entry)
        if isinstance(entry.bits, int) and (entry.count is None or isinstance(entry.count, int)):
            cursor = start.after(entry.bits * (1 if entry.count is None else entry.count), 8)
        else:
            cursor = start.after(None, entry.bits if entry.numeric else 8)
        if isinstance(entry.bits, ToEnd):
            break
    return tuple(made), cursor, size_fields


@st.composite
def type_sets(draw: Any, peer: bool = False) -> TypeSet:
    """With `peer`, only what space_packet_parser decodes too, with one type
    at most whose conditions hold at each level."""
    kind_bits = draw(st.integers(2, 8))
    kind_labels = not peer and draw(st.booleans())
    kind = Entry("kind", bits=kind_bits, calibration=Enumeration({c: f"k{c}" for c in range(2**kind_bits) if c % 3},
                                                                   "other") if kind_labels else None)
    root_entries = ccsds_primary_header() + (kind,)
    types = [PacketType("root", root_entries, abstract=peer or draw(st.booleans()))]
    witnesses: dict[str, dict[str, int]] = {} if types[0].abstract else {"root": {}}
    cursor = Cursor(48 + kind_bits, (48 + kind_bits) % 8 == 0)
    all_sizes: set[str] = set()
    for i in range(draw(st.integers(1, 3))):
        apid = 100 * (i + 1) + draw(st.integers(0, 50))
        style = draw(st.sampled_from(["eq"] if peer else ["eq", "any", "range"]))
        condition: Any = {"eq": Comparison("apid", "==", apid),
                          "any": AnyOf((Comparison("apid", "==", apid), Comparison("apid", "==", apid + 1))),
                          "range": AllOf((Comparison("apid", ">=", apid), Comparison("apid", "<", apid + 2)))}[style]
        children = draw(st.integers(0, 2))
        name = f"t{i}"
        own, after, sizes = draw(entries(name, cursor, [], children == 0, peer))
        all_sizes.update(sizes)
        abstract = children > 0 and draw(st.booleans())
        types.append(PacketType(name, own, (condition,), base="root", abstract=abstract))
        if not abstract:
            witnesses[name] = {"apid": apid}
        for j in range(children):
            op = draw(st.sampled_from(["==", "!=", "<", ">=", "label"] if kind_labels else ["==", "!=", "<", ">="]))
            code = draw(st.integers(1, 2**kind_bits - 1))
            if peer:
                op, code = "==", j + 1
            if op == "label":
                code = next(c for c in range(1, 2**kind_bits) if c % 3) if code % 3 == 0 else code
                rule, witness = Comparison("kind", "==", f"k{code}"), code
            else:
                rule = Comparison("kind", op, code, raw=kind_labels)
                witness = {"==": code, "!=": code - 1, "<": code - 1, ">=": code}[op]
            child = f"t{i}{j}"
            own, _, child_sizes = draw(entries(child, after, sizes, True, peer))
            all_sizes.update(child_sizes)
            types.append(PacketType(child, own, (rule,), base=name))
            witnesses[child] = {"apid": apid, "kind": witness}
    return TypeSet(types, witnesses, all_sizes)


def text_bytes(encoding: str, size: int) -> st.SearchStrategy[bytes]:
    if encoding == "binary":
        return st.binary(min_size=size, max_size=size)
    codec, unit = PY_CODECS[encoding]
    random = st.binary(min_size=size, max_size=size)
    if size % unit:
        return random
    alphabet = st.characters(min_codepoint=32, max_codepoint=126)
    valid = st.text(alphabet, min_size=size // unit, max_size=size // unit).map(lambda t: t.encode(codec))
    return st.one_of(valid, valid, valid, random)


@st.composite
def raw_value(draw: Any, entry: Entry, small: bool) -> int:
    """The raw value of a numeric element, mostly valid for its encoding and calibration."""
    mask = (1 << entry.bits) - 1
    anything = st.integers(0, mask)
    if small:
        return draw(st.one_of(st.integers(0, 3).map(lambda v: reference.encode_raw(entry, v)), anything))
    if entry.encoding in BCD_ENCODINGS:
        digits = entry.bits // (4 if entry.encoding.startswith("packed") else 8)
        value = draw(st.integers(0, 10 ** max(0, min(digits - 1, 18)) - 1))
        if entry.encoding.endswith("_signed") and draw(st.booleans()):
            value = -value
        try:
            valid = reference.encode_raw(entry, value)
        except ValueError:
            valid = 0
        return draw(st.sampled_from([valid, valid, draw(anything)]))
    if isinstance(entry.calibration, Enumeration):
        return draw(st.one_of(st.sampled_from(sorted(entry.calibration.labels)), anything)) & mask
    if isinstance(entry.calibration, (Time, CDS)):
        return draw(st.one_of(st.integers(0, min(mask, 2**30)), anything))
    return draw(anything)


@st.composite
def packets(draw: Any, chain: reference.Chain, witness: dict[str, int], size_fields: set[str]) -> bytes:
    """A packet of `chain` (its picking fields set as `witness`), built entry
    by entry; a size or count that is negative or large ends it there."""
    writer, end, values = reference.Writer(), 0, {}
    by_name = {e.name: e for e in chain.entries}

    def dynamic(source: Dynamic) -> int:
        return source.slope * reference.scalar(by_name[source.field], values[source.field]) + source.intercept

    for entry in chain.entries:
        start = end if entry.offset is None else entry.offset if entry.relative_to == "packet" else end + entry.offset
        if entry.numeric:
            count = entry.count if entry.count is None or isinstance(entry.count, int) else dynamic(entry.count)
            if count is not None and not 0 <= count * entry.bits <= LIMIT_BYTES * 8:
                break
            writer.put(start, 0, 0)  # an empty array's place is in the packet too
            for i in range(1 if count is None else count):
                raw = witness[entry.name] if entry.name in witness else draw(raw_value(entry, entry.name in size_fields))
                bits = reference.encode_raw(Entry("swap", "unsigned", entry.bits, entry.byte_order), raw)
                writer.put(start + i * entry.bits, entry.bits, bits)
                values.setdefault(entry.name, raw)
            end = start + entry.bits * (1 if count is None else count)
        else:
            if isinstance(entry.bits, Dynamic):
                size = dynamic(entry.bits) * entry.bits.bits_per_unit
                if not 0 <= size <= LIMIT_BYTES * 8 or size % 8:
                    break
            else:
                size = 8 * draw(st.integers(0, 12)) if isinstance(entry.bits, ToEnd) else entry.bits
            data = draw(text_bytes(entry.encoding, size // 8))
            if data:
                writer.put(start, size, int.from_bytes(data, "big"))
            end = start + size
    packet = writer.to_bytes() + draw(st.sampled_from([b"", b"", b"\x00", b"\xfe\x01\x02"]))
    if draw(st.integers(0, 9)) == 0:  # truncated
        packet = packet[:draw(st.integers(7, max(7, len(packet))))]
    packet = packet.ljust(7, b"\x00")
    return packet[:4] + (len(packet) - 7).to_bytes(2, "big") + packet[6:]


@st.composite
def recordings(draw: Any, type_set: TypeSet, max_packets: int = 10) -> tuple[bytes, list[tuple[int, int]]]:
    """A CCSDS recording of packets of the set's types, of unknown APIDs and
    of random bytes; returns it with each packet's (offset, length)."""
    chains = reference.chains(type_set.types)
    root = chains["root"]
    targets = sorted(type_set.witnesses) + ["unknown", "random"]
    parts: list[bytes] = []
    for _ in range(draw(st.integers(0, max_packets))):
        target = draw(st.sampled_from(targets))
        if target == "random":
            body = draw(st.binary(min_size=1, max_size=20))
            parts.append(draw(st.binary(min_size=4, max_size=4)) + (len(body) - 1).to_bytes(2, "big") + body)
        elif target == "unknown":
            parts.append(draw(packets(root, {"apid": draw(st.integers(0, 99))}, type_set.size_fields)))
        else:
            parts.append(draw(packets(chains[target], type_set.witnesses[target], type_set.size_fields)))
    if draw(st.integers(0, 4)) == 0:  # the end of the recording cuts its last packet off
        body = draw(st.binary(min_size=1, max_size=9))
        parts.append(body[:4] + (len(body) - 6 + draw(st.integers(0, 9))).to_bytes(2, "big") + body[4:]
                     if len(body) >= 6 else body)
    spans, at = [], 0
    for part in parts:
        spans.append((at, len(part)))
        at += len(part)
    return b"".join(parts), spans


def with_prefix(buffer_spans: tuple[bytes, list[tuple[int, int]]], prefix: bytes) -> bytes:
    buffer, spans = buffer_spans
    return b"".join(prefix + buffer[o:o + n] for o, n in spans)
