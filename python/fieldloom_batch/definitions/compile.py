"""Resolved chains compiled into the native program's plan: plain tuples of
ints, floats and str that the engine reads once.

A type's plan is (name, marks, slots, conditions). A slot is (name,
encoding, bits, little, anchor, delta, count, size mode, source slot,
slope, intercept, bits per unit, mark, kind, terminator, leading bits,
condition nodes, cursor anchor, cursor delta, cases): an entry with a condition
ends at its cursor (the previous entry's end) in packets where it is absent;
cases are None, or for a contextual calibration the nodes of each case's
condition, in order. Conditions are one tree in preorder, each node (kind, nodes in its
subtree, slot, op, constant, transform, parameters)."""
from __future__ import annotations

import math
from typing import Any

from fieldloom_batch.definitions.model import (FLOAT_ENCODINGS, AllOf, Boolean, Comparison, Condition, Contextual,
                                               DefinitionError, Delimited, Dynamic, Enumeration, Polynomial, Spline, ToEnd)
from fieldloom_batch.definitions.resolve import Chain, Placed

# Kinds, size modes, node kinds, ops and transforms as the engine numbers them.
SCALAR, FIXED_ARRAY, DYNAMIC_ARRAY, TEXT, BINARY = range(5)
FIXED, FROM_FIELD, TO_END, DELIMITED, CONDITIONAL = range(5)
COMPARE, ALL, ANY = range(3)
OPS = {"==": 0, "!=": 1, "<": 2, "<=": 3, ">": 4, ">=": 5}
NONE, TRUTH, IN_SET, NOT_IN_SET, POLYNOMIAL, SPLINE = range(6)

MAX_MARKS = 63  # parts of variable size per packet type
LIMIT = 1 << 63  # bits from an anchor


def _slot(chain: Chain, placed: Placed, index: dict[str, int]) -> tuple[Any, ...]:
    nodes: list[tuple[Any, ...]] = []
    if placed.entry.condition is not None:
        _nodes(chain, placed.entry.condition, index, nodes)
    entry = placed.entry
    cases = None if not isinstance(entry.calibration, Contextual) else tuple(
        tuple(_nodes(chain, condition, index, [])) for condition, _ in entry.calibration.cases)
    if placed.delta + (placed.size or 0) >= LIMIT:
        raise DefinitionError(f"packet type {chain.name!r}, entry {entry.name!r}: it lies beyond 2**63 bits")
    if not entry.numeric:
        kind = BINARY if entry.encoding == "binary" else TEXT
    elif entry.count is None:
        kind = SCALAR
    else:
        kind = DYNAMIC_ARRAY if isinstance(entry.count, Dynamic) else FIXED_ARRAY
    dynamic = entry.count if isinstance(entry.count, Dynamic) else entry.bits if isinstance(entry.bits, Dynamic) else None
    mode = (CONDITIONAL if entry.condition is not None and isinstance(entry.bits, int) and not isinstance(entry.count, Dynamic)
            else FROM_FIELD if dynamic is not None else TO_END if isinstance(entry.bits, ToEnd)
            else DELIMITED if isinstance(entry.bits, Delimited) else FIXED)
    bits = entry.bits if isinstance(entry.bits, int) else 0
    count = entry.count if isinstance(entry.count, int) else 1
    source, slope, intercept, unit = 0, 1, 0, 1
    if dynamic is not None:
        source, slope, intercept = index[dynamic.field], dynamic.slope, dynamic.intercept
        unit = 1 if kind == DYNAMIC_ARRAY else dynamic.bits_per_unit
    return (entry.name, entry.encoding, bits, int(entry.byte_order == "little"), placed.anchor, placed.delta, count,
            mode, source, slope, intercept, unit, placed.mark, kind,
            entry.terminator if entry.terminator is not None and entry.leading_bits is None else b"", entry.leading_bits or 0,
            tuple(nodes), *placed.cursor, cases)


def _float_constant(op: str, value: int) -> tuple[str, float]:
    """An int constant beyond 64 bits, for a field whose values are floats:
    the float comparison that holds for exactly the same floats."""
    try:
        near = float(value)
    except OverflowError:
        near = math.inf if value > 0 else -math.inf
    if near == value:
        return op, near
    below, above = (near, math.nextafter(near, math.inf)) if near < value else (math.nextafter(near, -math.inf), near)
    if op in ("<", "<="):
        return "<=", below
    if op in (">", ">="):
        return ">=", above
    return op, math.nan  # never equal: == never holds, != always does


def _comparison(chain: Chain, comparison: Comparison, index: dict[str, int]) -> tuple[Any, ...]:
    slot = index[comparison.field]
    entry = chain.entries[slot].entry
    calibration = None if comparison.raw else entry.calibration
    op: str = comparison.op
    value = int(comparison.value) if isinstance(comparison.value, bool) else comparison.value
    transform: int = NONE
    params: tuple[Any, ...] = ()
    if isinstance(calibration, Enumeration):
        labels, other = calibration.labels, calibration.other
        named = tuple(code for code, label in labels.items() if label == value)
        rest = tuple(code for code, label in labels.items() if label != value)
        if op == "==":
            transform, params = (NOT_IN_SET, rest) if other == value else (IN_SET, named)
        else:
            transform, params = (NOT_IN_SET, named) if other is not None and other != value else (IN_SET, rest)
        op, value = "==", 1
    elif isinstance(calibration, Boolean):
        transform = TRUTH
    elif isinstance(calibration, Polynomial):
        transform, params = POLYNOMIAL, calibration.coefficients
    elif isinstance(calibration, Spline):
        xs = tuple(x for x, _ in calibration.points)
        ys = tuple(y for _, y in calibration.points)
        transform, params = SPLINE, (xs, ys, calibration.order, calibration.extrapolate)
    floats = transform in (POLYNOMIAL, SPLINE) or (transform == NONE and entry.encoding in FLOAT_ENCODINGS)
    if floats and isinstance(value, int) and not -(1 << 63) <= value < (1 << 64):
        op, value = _float_constant(op, value)
    return (COMPARE, 1, slot, OPS[op], value, transform, params)


def _nodes(chain: Chain, condition: Condition, index: dict[str, int],
           out: list[tuple[Any, ...]]) -> list[tuple[Any, ...]]:
    if isinstance(condition, Comparison):
        out.append(_comparison(chain, condition, index))
        return out
    at = len(out)
    out.append(())
    for inner in condition.conditions:
        _nodes(chain, inner, index, out)
    out[at] = (ALL if isinstance(condition, AllOf) else ANY, len(out) - at, 0, 0, 0, NONE, ())
    return out


def compile_type(chain: Chain) -> tuple[Any, ...]:
    if chain.marks > MAX_MARKS:
        raise DefinitionError(f"packet type {chain.name!r}: it has {chain.marks} entries of variable size; "
                              f"at most {MAX_MARKS} are decoded")
    index = {placed.name: i for i, placed in enumerate(chain.entries)}
    slots = tuple(_slot(chain, placed, index) for placed in chain.entries)
    nodes: list[tuple[Any, ...]] = []
    if chain.conditions:
        _nodes(chain, AllOf(chain.conditions), index, nodes)
    return (chain.name, chain.marks, slots, tuple(nodes))


def compile_program(chains: dict[str, Chain], order: list[str]) -> tuple[Any, ...]:
    """The plan of every concrete type, in the order given, and the order packets try them in."""
    concrete = [name for name, chain in chains.items() if not chain.abstract]
    position = {name: i for i, name in enumerate(concrete)}
    return (tuple(compile_type(chains[name]) for name in concrete), tuple(position[name] for name in order))

