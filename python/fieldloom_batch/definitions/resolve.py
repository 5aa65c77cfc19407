"""A set of packet types checked as a whole and resolved: each type's chain
of entries (its ancestors' first) with every entry's place.

An entry's place is an anchor and a distance in bits from it. Anchor 0 is
the packet's first bit; anchor k is the end of the chain's k-th entry of
variable size (its "mark"), which each packet gives. Entries at anchor 0
have a static start bit. Every engine (and packing) reads places from here.
"""
from __future__ import annotations

from collections.abc import Iterable
import dataclasses
import functools
from dataclasses import dataclass

from fieldloom_batch.definitions.model import (BCD_ENCODINGS, CDS, CUC, INTEGER_ENCODINGS, AllOf, AnyOf, Comparison,
                                               Condition, Contextual, DefinitionError, Delimited, Dynamic, Entry, Enumeration, PacketType,
                                               Time, ToEnd)

# Sizes from fields are computed in 128-bit integers natively; these bounds
# keep slope * value + intercept within them for any 64-bit value.
LINEAR_LIMIT = 1 << 62


@dataclass(frozen=True)
class Placed:
    """One entry of a chain and where it lies."""

    entry: Entry
    owner: str  # the packet type that declares it
    anchor: int  # 0: the packet's start; k: the end of the chain's k-th variable entry
    delta: int  # bits from the anchor to the entry's first bit
    size: int | None  # bits, when every packet gives the same
    mark: int  # the mark this entry's end defines; 0 when its size is fixed
    phase: int | None  # first bit mod 8, when known without a packet
    cursor: tuple[int, int] = (0, 0)  # (anchor, delta) of the previous entry's end: where an absent entry ends

    @property
    def name(self) -> str:
        return self.entry.name

    @property
    def start(self) -> int | None:
        """The static first bit, when the place does not depend on a packet."""
        return self.delta if self.anchor == 0 else None

    @property
    def scalar(self) -> bool:
        return self.entry.numeric and self.entry.count is None


@dataclass(frozen=True)
class Chain:
    """A packet type's entries, ancestors' first, with their places, and
    all the conditions (ancestors' first) its packets meet."""

    name: str
    lineage: tuple[str, ...]  # root first, the type itself last
    entries: tuple[Placed, ...]
    conditions: tuple[Condition, ...]
    marks: int  # variable-size entries, each defining a mark
    abstract: bool

    @functools.cached_property
    def names(self) -> tuple[str, ...]:
        return tuple(placed.entry.name for placed in self.entries)

    @functools.cached_property
    def calibrated(self) -> bool:
        """Some entry has a calibration."""
        return any(placed.entry.calibration is not None for placed in self.entries)

    @property
    def depth(self) -> int:
        return len(self.lineage) - 1

    @property
    def fixed(self) -> bool:
        """No part whose size or place varies from packet to packet."""
        return self.marks == 0

    def find(self, name: str) -> Placed | None:
        for placed in self.entries:
            if placed.name == name:
                return placed
        return None


def _describe(placed: Placed, marks: dict[int, str]) -> str:
    start, end = placed.delta, placed.delta + (placed.size or 0) - 1
    where = f"bits {start} to {end}"
    return f"{placed.name!r} ({where}{'' if placed.anchor == 0 else ' after ' + repr(marks[placed.anchor])})"


def _lineages(types: dict[str, PacketType]) -> dict[str, tuple[str, ...]]:
    lineages: dict[str, tuple[str, ...]] = {}
    for name, packet_type in types.items():
        path = [name]
        base = packet_type.base
        while base is not None:
            if base not in types:
                raise DefinitionError(f"packet type {path[-1]!r}: its base {base!r} is not one of the packet types")
            if base in path:
                cycle = path[path.index(base):] + [base]
                raise DefinitionError(f"packet types {' -> '.join(map(repr, cycle))} form a cycle of inheritance")
            path.append(base)
            base = types[base].base
        lineages[name] = tuple(reversed(path))
    return lineages


def _sizes(entry: Entry) -> tuple[int | None, bool]:
    """The entry's fixed size in bits (None when it varies), and whether it runs to the packet's end."""
    if isinstance(entry.bits, ToEnd):
        return None, True
    if entry.condition is not None:
        return None, False
    if isinstance(entry.bits, (Dynamic, Delimited)) or isinstance(entry.count, Dynamic):
        return None, False
    return entry.bits * (1 if entry.count is None else entry.count), False


def _check_dynamic(owner: str, entry: Entry, dynamic: Dynamic, before: dict[str, Placed], what: str) -> None:
    where = f"packet type {owner!r}, entry {entry.name!r}"
    source = before.get(dynamic.field)
    if source is None:
        raise DefinitionError(f"{where}: its {what} comes from {dynamic.field!r}, which is not an entry before it")
    if source.entry.condition is not None:
        raise DefinitionError(f"{where}: its {what} comes from {dynamic.field!r}, which is absent from some packets")
    if not source.scalar or source.entry.encoding not in INTEGER_ENCODINGS + BCD_ENCODINGS:
        raise DefinitionError(f"{where}: its {what} comes from {dynamic.field!r}, which is not a single integer "
                              f"field ({source.entry.encoding}{', an array' if source.entry.count is not None else ''})")
    for part in ("slope", "intercept"):
        if abs(getattr(dynamic, part)) >= LINEAR_LIMIT:
            raise DefinitionError(f"{where}: the {part} of its {what} is beyond +-2**62")


def _end_phase(entry: Entry, phase: int | None) -> int | None:
    """The end's bit mod 8 of a variable entry that starts at `phase`, where it
    is the same in every packet. Text and binary are whole bytes in every
    packet (else the packet fails); an array of `count = slope * value +
    intercept` elements moves its end by bits * slope per unit of the value."""
    if phase is None or not entry.numeric:
        return phase
    if entry.condition is not None:  # absent, it ends where it starts
        size, _ = _sizes(dataclasses.replace(entry, condition=None))
        if size is not None:
            return phase if size % 8 == 0 else None
        return phase if _end_phase(dataclasses.replace(entry, condition=None), phase) == phase else None
    count = entry.count
    assert isinstance(count, Dynamic) and isinstance(entry.bits, int)
    if entry.bits * count.slope % 8:
        return None
    return (phase + entry.bits * count.intercept) % 8


def _place(name: str, lineage: tuple[str, ...], types: dict[str, PacketType]) -> tuple[tuple[Placed, ...], int]:
    placed: list[Placed] = []
    by_name: dict[str, Placed] = {}
    marks: dict[int, str] = {}
    anchor, delta = 0, 0
    phases: dict[int, int | None] = {0: 0}  # per anchor, its bit mod 8 when known
    after_end: str | None = None  # the entry that runs to the packet's end, once one has
    for owner in lineage:
        for entry in types[owner].entries:
            where = f"packet type {name!r}, entry {entry.name!r}"
            if entry.name in by_name:
                first = by_name[entry.name].owner
                raise DefinitionError(f"packet type {name!r}: two entries are named {entry.name!r}"
                                      + (f" (one of them from {first!r})" if first != owner else ""))
            cursor = (anchor, delta)
            at_packet = entry.offset is not None and entry.relative_to == "packet"
            if after_end is not None and not at_packet:
                raise DefinitionError(f"{where}: it follows {after_end!r}, which runs to the end of the packet, so "
                                      f"it must be placed at an offset from the packet's start")
            if entry.offset is not None and entry.relative_to == "packet":
                start_anchor, start_delta = 0, entry.offset
            else:
                start_anchor, start_delta = anchor, delta + (entry.offset or 0)
            phase_of_anchor = phases[start_anchor]
            phase = None if phase_of_anchor is None else (phase_of_anchor + start_delta) % 8
            size, to_end = _sizes(entry)
            if not entry.numeric:
                kind = "binary" if entry.encoding == "binary" else "text"
                if phase is None:
                    raise DefinitionError(f"{where}: {kind} entries start on a byte, but this one follows "
                                          f"{marks[start_anchor]!r}, whose size in bits is not known to keep its "
                                          f"end on a byte")
                if phase:
                    raise DefinitionError(f"{where}: {kind} entries start on a byte, but this one starts at bit "
                                          f"{start_delta if start_anchor == 0 else phase} "
                                          f"{'of the packet' if start_anchor == 0 else 'of a byte'}")
                if isinstance(entry.bits, int) and entry.bits % 8:
                    raise DefinitionError(f"{where}: {kind} entries are a whole number of bytes, not {entry.bits} bits")
            if entry.condition is not None:
                for comparison in _walk(entry.condition):
                    check_comparison(name, comparison, by_name.get(comparison.field))
            for what, dynamic in (("size", entry.bits), ("count", entry.count)):
                if isinstance(dynamic, Dynamic):
                    _check_dynamic(name, entry, dynamic, by_name, what)
            mark = 0
            if size is None:
                mark = len(marks) + 1
                marks[mark] = entry.name
                phases[mark] = 0 if to_end else _end_phase(entry, phase)
                anchor, delta = mark, 0
                if to_end:
                    after_end = entry.name
            else:
                anchor, delta = start_anchor, start_delta + size
            item = Placed(entry, owner, start_anchor, start_delta, size, mark, phase, cursor)
            placed.append(item)
            by_name[entry.name] = item
    _check_overlaps(name, placed, marks)
    return tuple(placed), len(marks)


def _check_overlaps(name: str, placed: list[Placed], marks: dict[int, str]) -> None:
    groups: dict[int, list[Placed]] = {}
    for item in placed:
        if item.size:
            groups.setdefault(item.anchor, []).append(item)
    for group in groups.values():
        group.sort(key=lambda item: item.delta)
        reach: Placed | None = None  # the entry reaching furthest so far
        for item in group:
            if reach is not None and item.delta < reach.delta + (reach.size or 0):
                raise DefinitionError(f"packet type {name!r}: entries {_describe(reach, marks)} and "
                                      f"{_describe(item, marks)} overlap")
            if reach is None or item.delta + (item.size or 0) > reach.delta + (reach.size or 0):
                reach = item


def _walk(condition: Condition) -> Iterable[Comparison]:
    if isinstance(condition, Comparison):
        yield condition
    elif isinstance(condition, (AllOf, AnyOf)):
        for inner in condition.conditions:
            yield from _walk(inner)


def check_comparison(owner: str, comparison: Comparison, placed: Placed | None) -> None:
    """Whether a comparison can be evaluated on the entry it names."""
    where = f"packet type {owner!r}, condition on {comparison.field!r}"
    if placed is None:
        raise DefinitionError(f"{where}: there is no entry {comparison.field!r} in the packet type or its bases")
    entry = placed.entry
    if not placed.scalar:
        kind = "an array" if entry.count is not None else entry.encoding
        raise DefinitionError(f"{where}: only single numeric entries can be compared, not {kind}")
    calibration = None if comparison.raw else entry.calibration
    label = isinstance(comparison.value, str)
    if isinstance(calibration, Contextual):
        raise DefinitionError(f"{where}: a value calibrated by its context is not compared; compare its raw value "
                              f"(raw=True)")
    if isinstance(calibration, (Time, CUC, CDS)):
        raise DefinitionError(f"{where}: a time cannot be compared; compare its count with raw=True")
    if isinstance(calibration, Enumeration):
        if not label:
            raise DefinitionError(f"{where}: an enumeration compares its labels; give a label, or raw=True to compare "
                                  f"the code")
        if comparison.op not in ("==", "!="):
            raise DefinitionError(f"{where}: labels compare only with == and !=, not {comparison.op}")
        if comparison.value not in calibration.labels.values() and comparison.value != calibration.other:
            raise DefinitionError(f"{where}: {comparison.value!r} is not one of the enumeration's labels")
    elif label:
        raise DefinitionError(f"{where}: a label compares only with an enumeration's value, not with "
                              f"{'a raw value' if comparison.raw and entry.calibration else entry.encoding}")


def _check_contextual(chain: Chain, placed: Placed) -> None:
    """A contextual calibration calibrates values (or arrays) present in
    every packet, choosing by conditions on single values of the chain
    present in every packet."""
    where = f"packet type {chain.name!r}, entry {placed.name!r}"
    if placed.entry.condition is not None:
        raise DefinitionError(f"{where}: a contextual calibration needs a value in every packet, not an entry under "
                              f"a condition")
    assert isinstance(placed.entry.calibration, Contextual)
    for condition, _ in placed.entry.calibration.cases:
        for comparison in _walk(condition):
            source = chain.find(comparison.field)
            check_comparison(chain.name, comparison, source)
            if source is not None and source.entry.condition is not None:
                raise DefinitionError(f"{where}: its calibration's condition on {comparison.field!r} reads an entry "
                                      f"absent from some packets")


def resolve(types: Iterable[PacketType]) -> dict[str, Chain]:
    """Every type's chain, in the order given; DefinitionError for the first fault of the set."""
    given: dict[str, PacketType] = {}
    for packet_type in types:
        if not isinstance(packet_type, PacketType):
            raise DefinitionError(f"definitions hold PacketType objects, not {type(packet_type).__name__}")
        if packet_type.name in given:
            raise DefinitionError(f"two packet types are named {packet_type.name!r}")
        given[packet_type.name] = packet_type
    lineages = _lineages(given)
    chains: dict[str, Chain] = {}
    for name, lineage in lineages.items():
        entries, marks = _place(name, lineage, given)
        conditions: list[Condition] = []
        for owner in lineage:
            conditions.extend(given[owner].conditions)
        chain = Chain(name, lineage, entries, tuple(conditions), marks, given[name].abstract)
        for comparison in (c for condition in given[name].conditions for c in _walk(condition)):
            check_comparison(name, comparison, chain.find(comparison.field))
        for placed in chain.entries:
            if isinstance(placed.entry.calibration, Contextual):
                _check_contextual(chain, placed)
        chains[name] = chain
    return chains


def identification_order(chains: dict[str, Chain]) -> list[str]:
    """Concrete types in the order a packet is tried on them: deepest first, then as given."""
    concrete = [chain for chain in chains.values() if not chain.abstract]
    order = {name: i for i, name in enumerate(chains)}
    return [chain.name for chain in sorted(concrete, key=lambda chain: (-chain.depth, order[chain.name]))]
