#!/usr/bin/env python3
"""Fuzz pack_parameters with random recipes and values."""
import operator
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fieldloom  # noqa: E402
from driver import Input, main  # noqa: E402
from recipes import NAMES, canon, check_wrapped, fresh, recipe, value_for  # noqa: E402

U64 = 2**64
LARGEST_BUILT = 1 << 20  # bytes; larger packets are only asked for when they cannot exist


def as_u64(value, limit):
    """The integer a width or offset converts to, or None when it does not convert."""
    if isinstance(value, bool) or type(value).__name__ == "Index" or isinstance(value, int):
        try:
            number = operator.index(value)
        except TypeError:
            return None
        return number if 0 <= number < limit else None
    return None


def sizing(items):
    """Packet size from the sizing pass, or None when an entry fails it."""
    total = 0
    overflow = False
    for item in items:
        if not isinstance(item, dict) or "bits" not in item:
            return None
        bits = as_u64(dict.__getitem__(item, "bits"), 2**32)
        if bits is None:
            return None
        start = total
        if "offset_bits" in item:
            start = as_u64(dict.__getitem__(item, "offset_bits"), U64)
            if start is None:
                return None
        if start + bits >= U64:
            overflow = True
            continue
        total = max(total, start + bits)
    return "overflow" if overflow else (total + 7) // 8


def call(items, values):
    try:
        return ("ok", canon(fieldloom.pack_parameters(items, values)))
    except ValueError as error:
        check_wrapped(error)
        return ("error", str(error))
    except MemoryError:
        return ("memory", None)


def harness(data):
    src = Input(data)
    items = recipe(src)
    values = {name: value_for(src) for name in NAMES if not src.chance(20)}
    size = sizing(items)
    if isinstance(size, int) and size > LARGEST_BUILT and size < (1 << 40):
        return  # a real allocation of that size proves nothing and costs a lot
    first = call(items, values)
    if first[0] == "ok":
        assert size is not None and size != "overflow", "sizing model disagrees: %r" % (first,)
        assert len(first[1][1]) == size, "packet of %d bytes, expected %d" % (len(first[1][1]), size)
    elif first[0] == "memory":
        assert size == "overflow" or (isinstance(size, int) and size >= (1 << 40)), "MemoryError for %r" % (size,)
    assert call(items, values) == first, "second call differs"
    assert call(fresh(items), dict(values)) == first, "fresh dicts differ"


if __name__ == "__main__":
    main("pack", harness)
