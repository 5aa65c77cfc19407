"""Remembering an entry between calls must not be observable.

A call's result and the Python code it runs depend only on the recipe, the
hooks in it and the dicts' contents: never on whether an entry was remembered
from an earlier call, nor on where the entry lives. The first call on a new
dict is always uncached; later calls may not be.
"""
import pytest

from fieldloom import pack_parameters, unpack_parameters
from helpers import CollidingKey, entry, make_fake_numpy_bool

KEYS = ("name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits")
# Packing reads bits and offset_bits once more, to size its output.
READS = {
    "unpack": dict.fromkeys(KEYS, 1),
    "pack": dict(dict.fromkeys(KEYS, 1), bits=2, offset_bits=2),
}
CALLS = {
    "unpack": lambda item: unpack_parameters(b"\x80", 0, [item]),
    "pack": lambda item: pack_parameters([item], {"x": 1}),
}


class Tick:
    """Counts the Python hooks that a call runs."""

    def __init__(self):
        self.count = 0

    def __call__(self, *_):
        self.count += 1
        return False  # also the answer of a __bool__ hook


class Index:
    def __init__(self, value, tick):
        self.value = value
        self.tick = tick

    def __index__(self):
        self.tick()
        return self.value


def fake_bool(truth):
    return make_fake_numpy_bool({"__bool__": lambda self: truth()})()


def with_colliding_key(text, tick):
    """An entry holding a key that collides with `text`, and how many times
    one lookup of `text` runs that key's __eq__ (the hash seed decides)."""
    key = CollidingKey(text, tick)
    item = {key: 1}
    item.update(entry(offset_bits=0))
    key.armed = True
    before = tick.count
    item.get(text)
    return item, tick.count - before


# Each case: the key whose reading runs Python code, and a builder giving the
# entry and how many hook calls one reading of that key makes.
CASES = {f"key colliding with {text}": (text, lambda tick, text=text: with_colliding_key(text, tick)) for text in KEYS}
CASES["bits through __index__"] = ("bits", lambda tick: (entry(bits=Index(8, tick)), 1))
CASES["offset_bits through __index__"] = ("offset_bits", lambda tick: (entry(offset_bits=Index(0, tick)), 1))
CASES["reverse_bits through __bool__"] = ("reverse_bits", lambda tick: (entry(reverse_bits=fake_bool(tick)), 1))


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_every_call_runs_the_code_of_reading_each_key(case, call):
    tick = Tick()
    key, build = case
    item, per_read = build(tick)
    assert per_read >= 1
    results = []
    for _ in range(4):
        before = tick.count
        results.append(CALLS[call](item))
        assert tick.count - before == READS[call][key] * per_read
    assert results == results[:1] * 4


def forget_every_entry():
    """Reads more new entries than the cache holds, pushing out every earlier one."""
    unpack_parameters(bytes(2500), 0, [entry(name=str(i), bits=1) for i in range(20000)])


@pytest.mark.parametrize("forget", [False, True], ids=["kept", "forgotten"])
@pytest.mark.parametrize("extra", [{}, {7: "an int key"}], ids=["plain", "int key"])
def test_flag_whose_truth_alternates(extra, forget):
    truths = iter([False, True] * 2)
    item = entry(reverse_bits=fake_bool(lambda: next(truths)))
    item.update(extra)
    results = []
    for _ in range(4):
        results.append(unpack_parameters(b"\x80", 0, [item])["x"])
        if forget:
            forget_every_entry()
    assert results == [128, 1, 128, 1]
