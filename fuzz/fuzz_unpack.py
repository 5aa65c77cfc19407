#!/usr/bin/env python3
"""Fuzz unpack_parameters with random packets, offsets and recipes."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fieldloom  # noqa: E402
from driver import INTERESTING_U64, Input, main  # noqa: E402
from recipes import canon, check_wrapped, fresh, recipe  # noqa: E402


def call(packet, offset_bits, items):
    try:
        return ("ok", canon(fieldloom.unpack_parameters(packet, offset_bits, items)))
    except ValueError as error:
        check_wrapped(error)
        return ("error", str(error))


def harness(data):
    src = Input(data)
    if src.chance(40):
        offset_bits = src.pick(INTERESTING_U64 + [-1, 2**64])
    else:
        offset_bits = src.byte()
    items = recipe(src)
    packet = src.take(src.byte() % 80) if src.chance(200) else src.rest()
    if not 0 <= offset_bits < 2**64:
        try:
            fieldloom.unpack_parameters(packet, offset_bits, items)
        except OverflowError:
            return
        raise AssertionError("offset_bits out of range accepted")
    first = call(packet, offset_bits, items)
    if first[0] == "ok":
        names = {dict.get(item, "name") for item in items}
        assert all(key in names for key, _ in first[1]), "a key that no entry names"
    # Remembered entries must answer exactly as freshly read ones.
    assert call(packet, offset_bits, items) == first, "second call differs"
    assert call(packet, offset_bits, fresh(items)) == first, "fresh dicts differ"


if __name__ == "__main__":
    main("unpack", harness)
