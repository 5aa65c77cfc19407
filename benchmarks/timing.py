"""Interleaved best-of timing, shared by the scalar and text benchmarks.

On a shared machine the load changes from one moment to the next, so two
calls timed one after the other in separate loops can differ by half their
time for no reason of their own. Here every statement of a comparison is
timed in the same loop of repeats, one short run each in turn (the order
reversed on every other repeat), and the best run of each is kept: load
only ever adds time, so the minimum of many short runs is the figure that
load disturbs least, and the statements have met the same moments of it.
"""
from __future__ import annotations

import timeit


def calibrated_number(timer: timeit.Timer, seconds: float) -> int:
    """Calls per run so that one run of `timer` takes about `seconds`."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= seconds / 10 or number >= 1 << 30:
            return max(1, int(number * seconds / max(elapsed, 1e-9)))
        number *= 10


def interleaved_best(statements: list[timeit.Timer], seconds: float, repeats: int) -> list[float]:
    """Best time per call of each statement, all timed in one loop of
    `repeats` rounds of about `seconds` per statement."""
    numbers = [calibrated_number(timer, seconds) for timer in statements]
    best = [float("inf")] * len(statements)
    order = list(range(len(statements)))
    for repeat in range(repeats):
        for k in order if repeat % 2 == 0 else reversed(order):
            best[k] = min(best[k], statements[k].timeit(numbers[k]) / numbers[k])
    return best
