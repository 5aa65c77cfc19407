"""Small builders shared by the reliability tests."""
import math
import operator

import pytest


def entry(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=False, **extra):
    """One recipe entry; keyword arguments replace or add keys."""
    out = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order, "reverse_bits": reverse_bits}
    out.update(extra)
    return out


def wrapped(call):
    """The text of the ValueError that a recipe function wraps its engine's failure in."""
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError
    assert info.value.__cause__ is None
    return str(info.value)


def raised(call):
    """The text of the exception that the running interpreter's own call raises."""
    try:
        call()
    except Exception as error:
        return str(error)
    raise AssertionError("the call raised nothing")


# Conversion failures worded by the interpreter, which the module passes on;
# taken from the running one, as they may change between versions.
NEGATIVE_TO_UNSIGNED = raised(lambda: (-1).to_bytes(8, "little"))
INT_TOO_BIG = raised(lambda: (2**64).to_bytes(8, "little"))
INT_TOO_LARGE_FOR_FLOAT = raised(lambda: float(10**400))


def not_an_integer(value):
    return raised(lambda: operator.index(value))


def not_a_real_number(value):
    return raised(lambda: math.fabs(value))


class CollidingKey:
    """A key that shares the hash of a recipe key, so looking that key up
    runs this object's __eq__ (once or more: the probe may pass a slot twice)."""

    def __init__(self, text, action):
        self.text = text
        self.action = action
        self.armed = False

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if self.armed:
            self.action(self)
        return False


def make_fake_numpy_bool(body):
    """A class that the engine takes for NumPy's boolean scalar."""
    return type("bool_", (), dict(body, __module__="numpy"))
