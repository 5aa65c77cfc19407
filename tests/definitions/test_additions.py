"""Model additions the loaders make (text content ends, entries present under
a condition, contextual calibrations, quad floats): refused by name while the
engine lacks them, decoded like the reference once it has them."""
import pytest

from fieldloom_batch.definitions import (Comparison, Contextual, DefinitionError, Definitions, Delimited, Entry,
                                         PacketType, Polynomial)

FLAG = Entry("flag", bits=8)
UNSUPPORTED = {
    "terminator": Entry("text", "utf8", bits=32, terminator=b"\0"),
    "leading size": Entry("text", "utf8", bits=Delimited(), leading_bits=8),
    "condition": Entry("text", bits=8, condition=Comparison("flag", "==", 1)),
    "contextual": Entry("text", bits=8, calibration=Contextual(((Comparison("flag", "==", 1), Polynomial((0, 2))),))),
    "quad": Entry("text", "ieee754_f128", bits=128),
}


@pytest.mark.parametrize("entry", UNSUPPORTED.values(), ids=UNSUPPORTED.keys())
def test_unsupported_additions_are_refused(entry):
    with pytest.raises(DefinitionError, match="packet type 'p', entry 'text': .* not decoded yet"):
        Definitions([PacketType("p", (FLAG, entry))])
