"""Contextual calibrations: per row, the first case whose condition holds on
the row's other values, each case calibrated natively on its rows at once."""
from __future__ import annotations

import operator
from collections.abc import Mapping
from typing import Any

import numpy as np

from fieldloom_batch.definitions.calibrate import calibrate
from fieldloom_batch.definitions.model import AllOf, Comparison, Condition, Contextual

_OPS = {"==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge}


def holds(condition: Condition, engineering: Mapping[str, np.ndarray], raw: Mapping[str, np.ndarray],
          rows: int) -> np.ndarray:
    """Per row, whether the condition holds on the row's values (a
    calibrated field compares its engineering value unless ``raw=True``)."""
    if isinstance(condition, Comparison):
        column = raw[condition.field] if condition.raw and condition.field in raw else engineering[condition.field]
        return np.asarray(_OPS[condition.op](column, condition.value), dtype=bool).reshape(rows)
    parts = [holds(inner, engineering, raw, rows) for inner in condition.conditions]
    if isinstance(condition, AllOf):
        return np.logical_and.reduce(parts) if parts else np.ones(rows, dtype=bool)
    return np.logical_or.reduce(parts) if parts else np.zeros(rows, dtype=bool)


def calibrate_contextual(calibration: Contextual, column: np.ndarray, engineering: Mapping[str, np.ndarray],
                         raw: Mapping[str, np.ndarray]) -> tuple[np.ndarray, np.ndarray | None]:
    """The float64 engineering column, and the rows that fail (None: none can)."""
    rows = len(column)
    out = np.asarray(column, dtype=np.float64).copy()  # no case and no default: the value as a double
    left = np.ones(rows, dtype=bool)
    failed: np.ndarray | None = None
    cases = [*calibration.cases, *([(None, calibration.default)] if calibration.default is not None else [])]
    for condition, case in cases:
        chosen = left.copy() if condition is None else left & holds(condition, engineering, raw, rows)
        left &= ~chosen
        if not chosen.any():
            continue
        values, bad = calibrate(case, column[chosen])
        out[chosen] = values
        if bad is not None and bad.any():
            failed = np.zeros(rows, dtype=bool) if failed is None else failed
            failed[np.flatnonzero(chosen)[bad]] = True
    return out, failed


__all__ = ["calibrate_contextual", "holds"]
