"""Two's complement, ones' complement and sign-magnitude codecs."""
import pytest
from hypothesis import given, strategies as st

from fieldloom import (
    decode_ones_complement,
    decode_sign_magnitude,
    decode_twos_complement,
    encode_ones_complement,
    encode_sign_magnitude,
    encode_twos_complement,
)

U64 = 2**64


def field(value, bits):
    return value % (1 << bits)


@pytest.mark.parametrize("bits", [1, 8, 63, 64])
def test_twos_complement_range_boundaries(bits):
    lo, hi = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    assert encode_twos_complement(lo, bits) == field(lo, bits)
    assert encode_twos_complement(hi, bits) == hi
    if bits < 64:
        for bad in (lo - 1, hi + 1):
            with pytest.raises(ValueError) as info:
                encode_twos_complement(bad, bits)
            assert str(info.value) == f"Value {bad} out of range for {bits} bits (range: {lo} to {hi})"


@pytest.mark.parametrize("bits", [1, 8, 63, 64])
def test_ones_complement_range_boundaries(bits):
    limit = (1 << (bits - 1)) - 1
    assert encode_ones_complement(limit, bits) == limit
    assert encode_ones_complement(-limit, bits) == (field(~limit, bits) if limit else 0)
    if limit + 1 < 2**63:
        with pytest.raises(ValueError) as info:
            encode_ones_complement(limit + 1, bits)
        assert str(info.value) == f"Value {limit + 1} is too large for {bits} bits"
    with pytest.raises(ValueError) as info:
        encode_ones_complement(-limit - 1, bits)
    assert str(info.value) == f"Value {-limit - 1} is too large (magnitude) for {bits} bits"


@pytest.mark.parametrize("bits", [2, 8, 63, 64])
def test_sign_magnitude_range_boundaries(bits):
    limit = (1 << (bits - 1)) - 1
    assert encode_sign_magnitude(limit, bits) == limit
    assert encode_sign_magnitude(-limit, bits) == limit | (1 << (bits - 1))
    bad = [-limit - 1] + ([limit + 1] if limit + 1 < 2**63 else [])
    for value in bad:
        with pytest.raises(ValueError) as info:
            encode_sign_magnitude(value, bits)
        assert str(info.value) == f"Magnitude of {value} is too large for {bits} bits"


@pytest.mark.parametrize(
    "function, bits, message",
    [
        (encode_twos_complement, 65, "bits must be <= 64 for two's complement encoding"),
        (encode_ones_complement, 65, "bits must be <= 64 for ones' complement encoding"),
        (encode_sign_magnitude, 65, "bits must be between 2 and 64 for sign-magnitude encoding"),
        (encode_sign_magnitude, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
        (encode_sign_magnitude, 0, "bits must be between 2 and 64 for sign-magnitude encoding"),
        (encode_twos_complement, 2**32 - 1, "bits must be <= 64 for two's complement encoding"),
    ],
)
def test_width_checked_before_value(function, bits, message):
    # the value is in range for no width, so only the width check can speak first
    with pytest.raises(ValueError) as info:
        function(-(2**63), bits)
    assert str(info.value) == message


def test_zero_width_holds_only_zero():
    assert encode_twos_complement(0, 0) == 0
    assert encode_ones_complement(0, 0) == 0
    with pytest.raises(ValueError, match=r"^Value 5 out of range for 0 bits \(range: 0 to 0\)$"):
        encode_twos_complement(5, 0)
    with pytest.raises(ValueError, match=r"^Value -5 out of range for 0 bits \(range: 0 to 0\)$"):
        encode_twos_complement(-5, 0)
    with pytest.raises(ValueError, match=r"^Value 1 is too large for 0 bits$"):
        encode_ones_complement(1, 0)
    with pytest.raises(ValueError, match=r"^Value -1 is too large \(magnitude\) for 0 bits$"):
        encode_ones_complement(-1, 0)
    for decode in (decode_twos_complement, decode_ones_complement, decode_sign_magnitude):
        assert decode(U64 - 1, 0) == 0
        assert decode(12345, 0) == 0


@pytest.mark.parametrize(
    "decode, value, bits, expected",
    [
        (decode_twos_complement, 255, 8, -1),
        (decode_twos_complement, 128, 8, -128),
        (decode_twos_complement, 127, 8, 127),
        (decode_twos_complement, U64 - 1, 64, -1),
        (decode_twos_complement, U64 - 1, 100, -1),
        (decode_twos_complement, 1, 1, -1),
        (decode_ones_complement, 255, 8, 0),
        (decode_ones_complement, 128, 8, -127),
        (decode_ones_complement, U64 - 1, 64, 0),
        (decode_ones_complement, 2**63, 64, -(2**63 - 1)),
        (decode_ones_complement, 2**63, 4000, -(2**63 - 1)),
        (decode_sign_magnitude, 128, 8, 0),
        (decode_sign_magnitude, 129, 8, -1),
        (decode_sign_magnitude, 255, 8, -127),
        (decode_sign_magnitude, 1, 1, 0),
        (decode_sign_magnitude, U64 - 1, 64, -(2**63 - 1)),
        (decode_sign_magnitude, U64 - 1, 65, -(2**63 - 1)),
        # bits above the field are not part of it
        (decode_twos_complement, 0x1FF, 8, -1),
        (decode_twos_complement, 0x17F, 8, 127),
        (decode_ones_complement, 0x17F, 8, 127),
        (decode_sign_magnitude, 0x101, 8, 1),
    ],
)
def test_decoders(decode, value, bits, expected):
    assert decode(value, bits) == expected


@pytest.mark.parametrize(
    "encode, value, bits, expected",
    [
        (encode_twos_complement, -1, 8, 255),
        (encode_twos_complement, -128, 8, 128),
        (encode_twos_complement, -1, 64, U64 - 1),
        (encode_twos_complement, -1, 1, 1),
        (encode_ones_complement, -1, 8, 254),
        (encode_ones_complement, -127, 8, 128),
        (encode_ones_complement, -1, 64, U64 - 2),
        (encode_ones_complement, 5, 64, 5),
        (encode_sign_magnitude, -1, 8, 129),
        (encode_sign_magnitude, -127, 8, 255),
        (encode_sign_magnitude, 2**63 - 1, 64, 2**63 - 1),
        (encode_sign_magnitude, -(2**63 - 1), 64, U64 - 1),
    ],
)
def test_encoders(encode, value, bits, expected):
    assert encode(value, bits) == expected


PAIRS = [
    (encode_twos_complement, decode_twos_complement, 0),
    (encode_ones_complement, decode_ones_complement, 1),
    (encode_sign_magnitude, decode_sign_magnitude, 1),
]


@given(st.integers(min_value=2, max_value=64), st.data())
def test_round_trips(bits, data):
    for encode, decode, spare in PAIRS:
        lo = -(1 << (bits - 1)) + spare
        hi = (1 << (bits - 1)) - 1
        value = data.draw(st.integers(min_value=lo, max_value=hi))
        raw = encode(value, bits)
        assert 0 <= raw < (1 << bits)
        assert decode(raw, bits) == value


@given(st.integers(min_value=1, max_value=64), st.integers(min_value=0, max_value=U64 - 1))
def test_decoders_read_only_field_bits(bits, raw):
    low = raw % (1 << bits)
    for decode in (decode_twos_complement, decode_ones_complement, decode_sign_magnitude):
        assert decode(raw, bits) == decode(low, bits)
    signed = low - (1 << bits) if low >> (bits - 1) else low
    assert decode_twos_complement(raw, bits) == signed
