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


# --- dicts the interpreter changes by other paths than dict methods -----------


class Holder:
    """An object whose attributes are an entry."""


DICT_KINDS = ["literal", "instance __dict__", "assigned __dict__"]


def entry_dict(kind, **fields):
    """An entry in a dict literal, in an instance's own __dict__ (whose table
    the instance shares), or in a dict assigned as an instance's __dict__;
    and the instance."""
    if kind == "literal":
        return entry(**fields), None
    holder = Holder()
    if kind == "assigned __dict__":
        holder.__dict__ = {}
    for key, value in entry(**fields).items():
        setattr(holder, key, value)
    return vars(holder), holder


RECIPE_CALLS = {
    "unpack": lambda recipe: unpack_parameters(b"\xff\x01\x02", 0, recipe),
    "pack": lambda recipe: pack_parameters(recipe, {"x": 1, "y": 2, "z": 3}),
}


def outcome(call, recipe):
    try:
        return call(recipe)
    except ValueError as error:
        return str(error)


def uncached(call, recipe):
    """The outcome for copies of the entries, which nothing has remembered."""
    return outcome(call, [dict(item) for item in recipe])


MUTATIONS = {
    "setitem": lambda item: item.__setitem__("encoding", "twos_complement"),
    "update": lambda item: item.update(bits=4, offset_bits=4),
    "setdefault": lambda item: item.setdefault("offset_bits", 4),
    "pop": lambda item: item.pop("bits"),
    "popitem": lambda item: item.popitem(),
    "clear": lambda item: item.clear(),
    "delitem": lambda item: item.__delitem__("byte_order"),
    "|=": lambda item: item.__ior__({"name": "y", "reverse_bits": True}),
}


@pytest.mark.parametrize("call", RECIPE_CALLS.values(), ids=RECIPE_CALLS)
@pytest.mark.parametrize("kind", DICT_KINDS)
@pytest.mark.parametrize("mutate", MUTATIONS.values(), ids=MUTATIONS)
def test_entry_changed_by_a_dict_method(mutate, kind, call):
    item, _holder = entry_dict(kind)
    call([item])
    call([item])
    mutate(item)
    assert outcome(call, [item]) == uncached(call, [item])


@pytest.mark.parametrize("kind", DICT_KINDS[1:])
def test_instance_dict_changed_by_attribute_stores(kind):
    item, holder = entry_dict(kind)
    other = entry(name="y", encoding="twos_complement", bits=4, byte_order="little", reverse_bits=True, offset_bits=4)
    # One store per call, often enough for the interpreter to specialise it;
    # offset_bits is deleted every other time.
    for i in range(120):
        key = KEYS[i % len(KEYS)]
        if (i // len(KEYS)) % 2 == 0:
            setattr(holder, key, other[key])
        elif key in entry():
            setattr(holder, key, entry()[key])
        else:
            delattr(holder, key)
        assert outcome(RECIPE_CALLS["unpack"], [item]) == uncached(RECIPE_CALLS["unpack"], [item])


@pytest.mark.parametrize("call", RECIPE_CALLS.values(), ids=RECIPE_CALLS)
@pytest.mark.parametrize("kind", DICT_KINDS[1:])
def test_instance_dict_changed_by_attribute_stores_during_a_call(kind, call):
    def run(remembered):
        item, holder = entry_dict(kind, name="y", offset_bits=8)
        armed = False

        def change():
            if armed:
                holder.name = "z"
                holder.bits = 16

        recipe = [entry(bits=Index(8, change)), item]
        if remembered:
            call(recipe)
        armed = True
        return outcome(call, recipe)

    assert run(remembered=True) == run(remembered=False)


def test_old_value_freed_by_a_specialised_attribute_store():
    # The store may free the old value before the dict takes its new version;
    # a finaliser run then must find the new contents.
    item, holder = entry_dict("assigned __dict__")
    agree = []

    class Encoding(str):
        def __del__(self):
            agree.append(outcome(RECIPE_CALLS["unpack"], [item]) == uncached(RECIPE_CALLS["unpack"], [item]))

    for _ in range(100):
        holder.encoding = Encoding("unsigned")
        unpack_parameters(b"\xff", 0, [item])
        holder.encoding = "twos_complement"
    assert agree == [True] * 100


@pytest.mark.parametrize("kind", DICT_KINDS)
def test_freed_entry_whose_address_is_reused(kind):
    item, holder = entry_dict(kind)
    for _ in range(2):
        assert unpack_parameters(b"\xff", 0, [item]) == {"x": 255}
    address = id(item)
    del item, holder
    for _ in range(100):
        item, holder = entry_dict(kind, encoding="twos_complement")
        if id(item) == address:
            break
    assert id(item) == address
    assert unpack_parameters(b"\xff", 0, [item]) == {"x": -1}
