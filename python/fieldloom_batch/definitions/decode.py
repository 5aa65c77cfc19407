"""Decoding with definitions: the native program's tables calibrated and
assembled, refused packets gathered in recording order, and the census."""
from __future__ import annotations

from typing import Any

import numpy as np

from fieldloom_batch.definitions.calibrate import (CalibrationError, calibrate, calibrate_cases, calibrate_value,
                                                   contextual_case, failure_message)
from fieldloom_batch.definitions.model import Contextual
from fieldloom_batch.definitions.resolve import Chain
from fieldloom_batch.definitions.results import (BAD_VALUE, REASONS, Census, DecodedPackets, PacketError, PacketTable,
                                                 RefusedPacket)

# A refused packet and the type it was found to be (None: no type, or cut off).
Refusal = tuple[RefusedPacket, "str | None"]


def framing(stride: int | None, offsets: Any, lengths: Any, prefix: int) -> tuple[int | None, Any, Any, int]:
    """The framing arguments checked and normalised for the native program."""
    from fieldloom_batch.layout import _integer, _packet_places

    prefix = _integer(prefix, "prefix", 0)
    if prefix < 0:
        raise ValueError(f"prefix must not be negative, not {prefix}")
    starts, sizes = _packet_places(stride, offsets, lengths)
    if starts is not None:
        # Checked once, then read without the interpreter lock: a copy that
        # no other thread can change under the engine.
        starts = starts.copy()
        sizes = None if sizes is None else sizes.copy()
    if starts is None and stride is not None:
        stride = _integer(stride, "stride", 1)
        if stride <= 0:
            raise ValueError(f"stride must be a positive number of bytes, not {stride}")
    if prefix and (stride is not None or offsets is not None):
        raise TypeError("prefix applies to CCSDS framing only; give offsets that point past the bytes before each packet")
    return stride, starts, sizes, prefix


def _calibrate_present(calibration: Any, column: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
    """An entry absent from some packets: its present values calibrated together, None kept where absent."""
    present = np.flatnonzero(np.fromiter((value is not None for value in column), dtype=bool, count=len(column)))
    out = np.full(len(column), None, dtype=object)
    if not present.size:
        return out, None
    values = column[present]
    inner, failed = calibrate(calibration, values if isinstance(values[0], np.ndarray) else np.array(values.tolist()))
    out[present] = list(inner)
    if failed is None:
        return out, None
    rows = np.zeros(len(column), dtype=bool)
    rows[present] = failed
    return out, rows


def _case(calibration: Any, cases: np.ndarray | None, row: int) -> Any:
    """The calibration that applies to one row (a contextual one's case)."""
    return contextual_case(calibration, int(cases[row])) if cases is not None else calibration


def _calibrated(chain: Chain, columns: list[Any], index: np.ndarray, offset: np.ndarray,
                refused: list[Refusal], cases: list[Any] | None) -> PacketTable:
    """A table's engineering columns; rows whose values fail a calibration are
    refused and dropped. `cases`: per entry, the case of each row of a
    contextual calibration (chosen natively), else None."""
    if not chain.calibrated:
        return PacketTable(dict(zip(chain.names, columns)), {}, index, offset)
    chosen = cases or [None] * len(columns)
    engineering: dict[str, Any] = {}
    raw: dict[str, Any] = {}
    failures: dict[int, str] = {}  # row -> message of its first failing entry
    found: dict[str, tuple[Any, np.ndarray | None]] = {}
    for placed, column, rows_case in zip(chain.entries, columns, chosen):
        calibration = placed.entry.calibration
        if calibration is None:
            engineering[placed.name] = column
            continue
        raw[placed.name] = column
        engineering[placed.name], failed = found[placed.name] = (
            calibrate_cases(calibration, column, rows_case) if isinstance(calibration, Contextual)
            else calibrate(calibration, column) if placed.entry.condition is None
            else _calibrate_present(calibration, column))
    for placed, rows_case in zip(chain.entries, chosen):  # a row's first failing entry, in chain order
        failed = found.get(placed.name, (None, None))[1]
        if failed is not None:
            for row in np.flatnonzero(failed).tolist():
                failures.setdefault(row, failure_message(placed.name, _case(placed.entry.calibration, rows_case, row),
                                                         raw[placed.name][row]))
    if failures:
        for row, message in failures.items():
            refused.append((RefusedPacket(int(index[row]), int(offset[row]), BAD_VALUE, message), chain.name))
        keep = np.ones(len(index), dtype=bool)
        keep[list(failures)] = False
        engineering = {name: column[keep] for name, column in engineering.items()}
        raw = {name: column[keep] for name, column in raw.items()}
        index, offset = index[keep], offset[keep]
    return PacketTable(engineering, raw, index, offset)


def decode(program: Any, chains: dict[str, Chain], buffer: Any, *, stride: int | None, offsets: Any, lengths: Any,
           prefix: int, errors: str, threads: int) -> DecodedPackets:
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    from fieldloom_batch.layout import _integer

    threads = _integer(threads, "threads", 1)
    if threads < 1:
        raise ValueError(f"threads must be at least 1, not {threads}")
    stride, starts, sizes, prefix = framing(stride, offsets, lengths, prefix)
    tables_out, refused_out, packets = program._decode(buffer, stride, starts, sizes, prefix, errors == "skip",
                                                       threads)
    refused: list[Refusal] = [(RefusedPacket(index, offset, reason, message), type_name)
                              for index, offset, reason, message, type_name in refused_out]
    concrete = [chain for chain in chains.values() if not chain.abstract]
    tables: dict[str, PacketTable] = {}
    extra: dict[str, tuple[int, int]] = {}
    for chain, (columns, index, offset, longer, cases) in zip(concrete, tables_out):
        tables[chain.name] = _calibrated(chain, columns, index, offset, refused, cases)
        extra[chain.name] = longer
    refused.sort(key=lambda item: item[0].index)
    if errors == "raise" and refused:
        first, type_name = refused[0]
        raise PacketError(first.index, first.offset, first.reason, first.message, type_name)
    counts = dict.fromkeys(REASONS, 0)
    for item, _ in refused:
        counts[item.reason] += 1
    census = Census(packets, {name: len(table.index) for name, table in tables.items()}, counts, extra)
    return DecodedPackets(tables, [item for item, _ in refused], census)


def unpack(program: Any, chains: dict[str, Chain], packet: Any, raw: bool) -> tuple[str, dict[str, Any]]:
    concrete = [chain for chain in chains.values() if not chain.abstract]
    found, values, *rest = program._unpack(bytes(packet))
    chain = None if found is None else concrete[found]
    if values is None:
        reason, message = rest
        raise PacketError(0, 0, reason, message, None if chain is None else chain.name)
    assert chain is not None
    result: dict[str, Any] = {}
    for placed, value, case in zip(chain.entries, values, rest[0] or [None] * len(values)):
        calibration = placed.entry.calibration
        if isinstance(calibration, Contextual):
            calibration = contextual_case(calibration, case)
            if calibration is None and value is not None and not raw:  # no case holds, and no default
                value = np.asarray(value, dtype=np.float64) if isinstance(value, np.ndarray) else float(value)
        if raw or calibration is None or value is None:
            result[placed.name] = value
            continue
        try:
            if isinstance(value, np.ndarray):
                engineering, failed = calibrate(calibration, value)
                if failed is not None and failed.any():
                    raise CalibrationError(failure_message(placed.name, calibration, value))
                result[placed.name] = engineering
            else:
                result[placed.name] = calibrate_value(calibration, value, placed.name)
        except CalibrationError as error:
            raise PacketError(0, 0, BAD_VALUE, str(error), chain.name) from None
    return chain.name, result
