"""Small builders shared by the reliability tests."""
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
