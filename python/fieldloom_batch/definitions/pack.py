"""Packets of a packet type with no variable part, from columns of values:
the inverse of decoding. Every value goes through the recipe encoder of its
encoding (so its errors are pack_parameters'), natively, and lands at its
bit by the placement rule decoding reads with."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy

from fieldloom_batch import _native
from fieldloom_batch.definitions.model import (FLOAT_ENCODINGS, Boolean, Entry, Enumeration, Polynomial)
from fieldloom_batch.definitions.resolve import Chain, Placed


def _rows(values: Any) -> list[Any]:
    """A list of our own (nothing an encoder runs can change it), with
    NumPy values as Python ints, floats and lists."""
    if isinstance(values, numpy.ndarray):
        return values.tolist()  # type: ignore[no-any-return]
    return [list(row) if isinstance(row, (list, tuple, numpy.ndarray)) else row for row in values]


def _flat_map(values: list[Any], function: Any) -> list[Any]:
    """`function` applied to every value, through the rows of an array entry."""
    return [_flat_map(value, function) if isinstance(value, list) else function(value) for value in values]


def _linear(entry: Entry, calibration: Polynomial) -> tuple[float, float]:
    coefficients = list(calibration.coefficients)
    while len(coefficients) > 1 and coefficients[-1] == 0.0:
        coefficients.pop()
    if len(coefficients) != 2:
        raise ValueError(f"entry {entry.name!r}: its polynomial of degree {len(coefficients) - 1} cannot be "
                         f"inverted; give raw values (raw=True)")
    return coefficients[0], coefficients[1]


def _invert(entry: Entry, values: list[Any]) -> list[Any]:
    """Raw values from engineering values, where the calibration inverts."""
    calibration = entry.calibration
    if isinstance(calibration, Polynomial):
        intercept, slope = _linear(entry, calibration)
        whole = entry.encoding not in FLOAT_ENCODINGS

        def raw_of(value: Any) -> Any:
            raw = (float(value) - intercept) / slope
            if not whole:
                return raw
            if raw != raw or raw in (float("inf"), float("-inf")):
                raise ValueError(f"entry {entry.name!r}: engineering value {value!r} has no raw value")
            return round(raw)  # the nearest count, ties to even
        return _flat_map(values, raw_of)
    if isinstance(calibration, Enumeration):
        codes: dict[str, int] = {}
        for code, label in calibration.labels.items():
            codes.setdefault(label, code)  # the lowest code of a label

        def code_of(label: Any) -> int:
            try:
                return codes[label]
            except (KeyError, TypeError):
                raise ValueError(f"entry {entry.name!r} has no code for label {label!r}") from None
        return _flat_map(values, code_of)
    if isinstance(calibration, Boolean):
        return _flat_map(values, lambda value: 1 if value else 0)
    raise ValueError(f"entry {entry.name!r}: a {type(calibration).__name__} calibration cannot be inverted; "
                     f"give raw values (raw=True)")


def _placement(placed: Placed) -> tuple[str, int, int, int | None, str, str]:
    entry = placed.entry
    assert placed.start is not None and isinstance(entry.bits, int)
    count = entry.count if isinstance(entry.count, int) else None
    return (entry.name, placed.start, entry.bits, count, entry.encoding, entry.byte_order)


def pack_chain(chain: Chain, columns: Mapping[str, Any], raw: bool) -> bytes:
    """The packets of one type (see Definitions.pack)."""
    if chain.abstract:
        raise ValueError(f"packet type {chain.name!r} is abstract: no packet is of it")
    varying = [placed.name for placed in chain.entries if placed.size is None or placed.start is None]
    if varying:
        raise ValueError(f"packet type {chain.name!r} has a part whose size varies ({varying[0]!r}): only packet "
                         f"types of fixed layout are packed")
    tagged = [placed.name for placed in chain.entries if placed.entry.leading_bits is not None]
    if tagged:
        raise ValueError(f"packet type {chain.name!r}: entry {tagged[0]!r} starts with a size tag, which is not packed")
    names = [placed.name for placed in chain.entries]
    unknown = [name for name in columns if name not in names]
    if unknown:
        raise ValueError(f"packet type {chain.name!r} has no entry {unknown[0]!r}")
    missing = [name for name in names if name not in columns]
    if missing:
        raise ValueError(f"no column for entry {missing[0]!r} of packet type {chain.name!r}")
    lengths = {name: len(columns[name]) for name in names}
    if len(set(lengths.values())) > 1:
        listed = ", ".join(f"{name!r} has {length}" for name, length in lengths.items())
        raise ValueError(f"columns must be of equal length: {listed}")
    rows = next(iter(lengths.values()), 0)
    lists = []
    for placed in chain.entries:
        values = _rows(columns[placed.name])
        if not raw and placed.entry.calibration is not None:
            values = _invert(placed.entry, values)
        lists.append(values)
    # An empty array takes no bits but has its place: the packet reaches it, or it would decode as too short.
    end = max((placed.start + placed.size for placed in chain.entries
               if placed.start is not None and placed.size is not None), default=0)
    where = numpy.full(2, -1, dtype=numpy.int64)
    try:
        placements = [_placement(placed) for placed in chain.entries]
        return _native.pack_fixed(placements, lists, rows, (end + 7) // 8, where)
    except Exception as error:
        if where[0] >= 0:
            error.add_note(f"row {where[0]}, entry {names[where[1]]!r}")
        raise


__all__ = ["pack_chain"]
