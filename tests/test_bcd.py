"""Packed and unpacked BCD, unsigned and signed (zoned decimal)."""
import pytest
from hypothesis import example, given, strategies as st

from fieldloom import decode_packed_bcd, decode_unpacked_bcd, encode_packed_bcd, encode_unpacked_bcd

SIGN_NIBBLE = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"
NEGATIVE = "Cannot encode negative value in unsigned BCD"
ZONED_ANY = "(expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"
ZONED_DIGIT = "(expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"
MAX_BITS = 2**32 - 1

# Zones accepted at position 0 of signed unpacked BCD, with their sign; the
# other positions take 0x3 and 0xF only.
FIRST_ZONES = {0x3: 1, 0xC: 1, 0xD: -1, 0xF: 1}
DIGIT_ZONES = {0x3, 0xF}


def digit_error(value):
    return f"Invalid BCD digit: {value} (must be 0-9)"


def zoned_signed_error(byte):
    return f"Invalid zoned decimal signed byte: 0x{byte:02X} {ZONED_ANY}"


def zoned_error(byte):
    return f"Invalid zoned decimal byte: 0x{byte:02X} {ZONED_DIGIT}"


def too_many(value, count):
    return f"Value {value} has too many digits for {count} BCD digits"


def outcome(function, *args, **kwargs):
    """The result, or the ValueError's message."""
    try:
        return function(*args, **kwargs)
    except ValueError as error:
        return str(error)


# --- examples ------------------------------------------------------------

@pytest.mark.parametrize(
    "function, args, expected",
    [
        (encode_packed_bcd, (1234, 16), 0x1234),
        (encode_packed_bcd, (1234, 20, True), 0x1234C),
        (encode_packed_bcd, (-1234, 20, True), 0x1234D),
        (encode_packed_bcd, (0, 4, True), 0xC),
        (encode_packed_bcd, (5, 4, True), too_many(5, 0)),
        (encode_packed_bcd, (12345, 16), too_many(12345, 4)),
        (decode_packed_bcd, (0x1234, 16), 1234),
        (decode_packed_bcd, (0x1234B, 20, True), -1234),
        (decode_packed_bcd, (0x1234A, 20, True), 1234),
        (decode_packed_bcd, (0x12345, 20, True), SIGN_NIBBLE),
        (decode_packed_bcd, (0x1A, 8), digit_error(10)),
        (decode_packed_bcd, (0xF12, 8), 12),
        (encode_unpacked_bcd, (123, 24), 0x010203),
        (encode_unpacked_bcd, (123, 24, True), 0xF1F2C3),
        (encode_unpacked_bcd, (-123, 24, True), 0xF1F2D3),
        (encode_unpacked_bcd, (0, 8, True), 0xC0),
        (encode_unpacked_bcd, (-5, 8), NEGATIVE),
        (decode_unpacked_bcd, (0xF1F2D3, 24, True), -123),
        (decode_unpacked_bcd, (0x313233, 24, True), 123),
        (decode_unpacked_bcd, (0xF1F233, 24, True), 123),
        (decode_unpacked_bcd, (0x00F1C3, 24, True), zoned_error(0x00)),
        (decode_unpacked_bcd, (0x3A, 8, True), zoned_signed_error(0x3A)),
        (decode_unpacked_bcd, (0x35, 8), digit_error(53)),
    ],
)
def test_examples(function, args, expected):
    assert outcome(function, *args) == expected


@pytest.mark.parametrize("bits", [0, 1, 3])
@pytest.mark.parametrize("signed", [False, True])
def test_packed_decoder_below_one_nibble_is_zero_unchecked(bits, signed):
    assert decode_packed_bcd(0xFFFFFFFFFFFFFFFF, bits, signed) == 0


@pytest.mark.parametrize("bits", [0, 4, 7])
@pytest.mark.parametrize("signed", [False, True])
def test_unpacked_decoder_below_one_byte_is_zero_unchecked(bits, signed):
    assert decode_unpacked_bcd(0xFFFFFFFFFFFFFFFF, bits, signed) == 0


# --- sign nibbles and zone classes ---------------------------------------

@pytest.mark.parametrize("sign", range(16))
def test_every_sign_nibble(sign):
    expected = SIGN_NIBBLE if sign < 0xA else (-907 if sign in (0xB, 0xD) else 907)
    assert outcome(decode_packed_bcd, 0x9070 | sign, 16, signed=True) == expected


@pytest.mark.parametrize("byte", range(256))
def test_every_byte_at_position_zero(byte):
    zone, digit = byte >> 4, byte & 0xF
    signed = outcome(decode_unpacked_bcd, 0xF4F500 | byte, 24, True)
    if zone in FIRST_ZONES and digit <= 9:
        assert signed == FIRST_ZONES[zone] * (450 + digit)
    else:
        assert signed == zoned_signed_error(byte)
    unsigned = outcome(decode_unpacked_bcd, 0x040500 | byte, 24)
    assert unsigned == (450 + byte if byte <= 9 else digit_error(byte))


@pytest.mark.parametrize("byte", range(256))
def test_every_byte_above_position_zero(byte):
    zone, digit = byte >> 4, byte & 0xF
    signed = outcome(decode_unpacked_bcd, 0xF400D5 | byte << 8, 24, True)
    assert signed == (-(405 + 10 * digit) if zone in DIGIT_ZONES and digit <= 9 else zoned_error(byte))


@pytest.mark.parametrize("nibble", range(16))
@pytest.mark.parametrize("position", [0, 7, 15])
def test_every_digit_nibble(nibble, position):
    raw = nibble << (4 * position)
    assert outcome(decode_packed_bcd, raw, 64) == (nibble * 10**position if nibble <= 9 else digit_error(nibble))


# --- check order ---------------------------------------------------------

@pytest.mark.parametrize(
    "function, args, expected",
    [
        # The sign nibble comes before any digit.
        (decode_packed_bcd, (0xAB5, 12, True), SIGN_NIBBLE),
        # Digits from the lowest position up.
        (decode_packed_bcd, (0xBA, 8), digit_error(10)),
        (decode_packed_bcd, (0xAB, 8), digit_error(11)),
        (decode_packed_bcd, (0xA0C, 12, True), digit_error(10)),
        (decode_unpacked_bcd, (0x0B0A, 16), digit_error(10)),
        (decode_unpacked_bcd, (0xFF0A, 16), digit_error(10)),
        # Byte 0 of zoned decimal before the others, then upward.
        (decode_unpacked_bcd, (0x00003A, 24, True), zoned_signed_error(0x3A)),
        (decode_unpacked_bcd, (0xC1C1C1, 24, True), zoned_error(0xC1)),
        (decode_unpacked_bcd, (0x00DAC1, 24, True), zoned_error(0xDA)),
        # Width, then sign, then digit count.
        (encode_packed_bcd, (-10**18, 3), "bits must be >= 4 for packed BCD"),
        (encode_unpacked_bcd, (-10**18, 7), "bits must be >= 8 for unpacked BCD"),
        (encode_packed_bcd, (-10**18, 68), "bits must be <= 64 for packed BCD"),
        (encode_unpacked_bcd, (-10**18, 72), "bits must be <= 64 for unpacked BCD"),
        (encode_packed_bcd, (-10**18, 8), NEGATIVE),
        (encode_unpacked_bcd, (-10**18, 8), NEGATIVE),
        (encode_packed_bcd, (-10**18, 8, True), too_many(-10**18, 1)),
        (encode_unpacked_bcd, (-10**18, 16, True), too_many(-10**18, 2)),
    ],
)
def test_check_order(function, args, expected):
    assert outcome(function, *args) == expected


# --- widths and extremes -------------------------------------------------

@pytest.mark.parametrize(
    "function, args, expected",
    [
        (encode_packed_bcd, (9999999999999999, 64), 0x9999999999999999),
        (encode_packed_bcd, (10**16, 64), too_many(10**16, 16)),
        (encode_packed_bcd, (-999999999999999, 64, True), 0x999999999999999D),
        (encode_packed_bcd, (-(2**63), 64, True), too_many(-(2**63), 15)),
        (encode_packed_bcd, (2**63 - 1, 64), too_many(2**63 - 1, 16)),
        (encode_unpacked_bcd, (99999999, 64), 0x0909090909090909),
        (encode_unpacked_bcd, (-(2**63), 64, True), too_many(-(2**63), 8)),
        (encode_unpacked_bcd, (-7, 64, True), 0xF0F0F0F0F0F0F0D7),
        (encode_unpacked_bcd, (7, 63, True), 0xF0F0F0F0F0F0C7),
        (encode_packed_bcd, (7, 65), "bits must be <= 64 for packed BCD"),
        (encode_packed_bcd, (7, MAX_BITS), "bits must be <= 64 for packed BCD"),
        (decode_packed_bcd, (0x9999999999999999, 64), 9999999999999999),
        (decode_packed_bcd, (0x999999999999999D, 64, True), -999999999999999),
        (decode_unpacked_bcd, (0x0909090909090909, 64), 99999999),
        (decode_unpacked_bcd, (0xF9F9F9F9F9F9F9D9, 64, True), -99999999),
        # Positions beyond the 64-bit raw value read as zeros.
        (decode_packed_bcd, (0x1234, MAX_BITS), 1234),
        (decode_packed_bcd, (0x1234D, MAX_BITS, True), -1234),
        (decode_packed_bcd, (0xA000000000000000, 68), digit_error(10)),
        (decode_unpacked_bcd, (0x010203, MAX_BITS), 123),
        (decode_unpacked_bcd, (0x0A00000000000000, 72), digit_error(10)),
        # ... and a zero byte is no zoned digit, once the raw field's bytes pass.
        (decode_unpacked_bcd, (0xF1F1F1F1F1F1F1C1, 64, True), 11111111),
        (decode_unpacked_bcd, (0x01F1F1F1F1F1F1C1, 64, True), zoned_error(0x01)),
        (decode_unpacked_bcd, (0x0A00000000000000, 64), digit_error(10)),
        (decode_unpacked_bcd, (0xF1F1F1F1F1F1F1C1, 72, True), zoned_error(0x00)),
        (decode_unpacked_bcd, (0xF1F1F1F1F1F1F1C1, MAX_BITS, True), zoned_error(0x00)),
        (decode_unpacked_bcd, (0xF1F1F1F1F1F1D1C1, MAX_BITS, True), zoned_error(0xD1)),
        (decode_unpacked_bcd, (0xF1F1F1F1F1F1F1A1, MAX_BITS, True), zoned_signed_error(0xA1)),
    ],
)
def test_widths_and_extremes(function, args, expected):
    assert outcome(function, *args) == expected


# --- properties ----------------------------------------------------------

def packed_digits(number):
    """Packed BCD of a non-negative number: its decimal digits read as hex."""
    return int(str(number), 16)


def unpacked_digits(number, count, zone=0):
    digits = str(number).zfill(count)
    return int.from_bytes(bytes(zone | int(c) for c in digits), "big")


def digit_count(bits, per_digit, signed):
    return bits // per_digit - (1 if signed and per_digit == 4 else 0)


widths = st.integers(min_value=0, max_value=64)
numbers = st.one_of(
    st.integers(min_value=-(2**63), max_value=2**63 - 1),
    st.integers(min_value=0, max_value=18).flatmap(lambda n: st.integers(-(10**n), 10**n)),
)


@given(number=numbers, bits=widths, signed=st.booleans())
@example(number=0, bits=4, signed=True)
@example(number=-(2**63), bits=64, signed=True)
def test_packed_encoder_layout_and_round_trip(number, bits, signed):
    result = outcome(encode_packed_bcd, number, bits, signed)
    count = digit_count(bits, 4, signed)
    if bits < 4:
        assert result == "bits must be >= 4 for packed BCD"
    elif number < 0 and not signed:
        assert result == NEGATIVE
    elif abs(number) >= 10**count:
        assert result == too_many(number, count)
    else:
        expected = packed_digits(abs(number))
        if signed:
            expected = expected << 4 | (0xD if number < 0 else 0xC)
        assert result == expected
        assert decode_packed_bcd(result, bits, signed) == number


@given(number=numbers, bits=widths, signed=st.booleans())
@example(number=-(10**7), bits=64, signed=True)
def test_unpacked_encoder_layout_and_round_trip(number, bits, signed):
    result = outcome(encode_unpacked_bcd, number, bits, signed)
    count = digit_count(bits, 8, signed)
    if bits < 8:
        assert result == "bits must be >= 8 for unpacked BCD"
    elif number < 0 and not signed:
        assert result == NEGATIVE
    elif abs(number) >= 10**count:
        assert result == too_many(number, count)
    else:
        if signed:
            sign_zone = 0xD0 if number < 0 else 0xC0
            expected = unpacked_digits(abs(number), count, 0xF0) & ~0xF0 | sign_zone
        else:
            expected = unpacked_digits(abs(number), count)
        assert result == expected
        assert decode_unpacked_bcd(result, bits, signed) == number


def packed_model(raw, bits, signed):
    """Position by position, as the layout describes it."""
    if bits < 4:
        return 0
    nibbles = [(raw >> (4 * k)) & 0xF for k in range(min(bits // 4, 17))]
    sign = 1
    if signed:
        if nibbles[0] < 0xA:
            return SIGN_NIBBLE
        sign = -1 if nibbles[0] in (0xB, 0xD) else 1
        nibbles = nibbles[1:]
    for nibble in nibbles:
        if nibble > 9:
            return digit_error(nibble)
    return sign * sum(d * 10**k for k, d in enumerate(nibbles))


def unpacked_model(raw, bits, signed):
    if bits < 8:
        return 0
    values = [(raw >> (8 * k)) & 0xFF for k in range(min(bits // 8, 9))]
    if not signed:
        for byte in values:
            if byte > 9:
                return digit_error(byte)
        return sum(d * 10**k for k, d in enumerate(values))
    first = values[0]
    if first >> 4 not in FIRST_ZONES or first & 0xF > 9:
        return zoned_signed_error(first)
    for byte in values[1:]:
        if byte >> 4 not in DIGIT_ZONES or byte & 0xF > 9:
            return zoned_error(byte)
    return FIRST_ZONES[first >> 4] * sum((b & 0xF) * 10**k for k, b in enumerate(values))


def lanes(width, lane):
    """Raw values built from lanes that are mostly valid, to reach every path."""
    return st.lists(lane, min_size=64 // width, max_size=64 // width).map(
        lambda parts: sum(p << (width * k) for k, p in enumerate(parts))
    )


nibble = st.one_of(st.integers(0, 9), st.integers(0, 9), st.integers(0, 15))
digit_byte = st.sampled_from([0x30, 0xF0]).flatmap(lambda z: st.integers(z, z + 9))
zoned = st.one_of(
    digit_byte,
    digit_byte,
    digit_byte,
    st.sampled_from([0xC0, 0xD0, 0x00]).flatmap(lambda z: st.integers(z, z + 9)),
    st.integers(0, 255),
)
raw_widths = st.one_of(st.integers(0, 80), st.integers(0, MAX_BITS))


@given(raw=st.one_of(lanes(4, nibble), st.integers(0, 2**64 - 1)), bits=raw_widths, signed=st.booleans())
def test_packed_decoder_matches_positionwise_reading(raw, bits, signed):
    assert outcome(decode_packed_bcd, raw, bits, signed) == packed_model(raw, bits, signed)


@given(raw=st.one_of(lanes(8, zoned), st.integers(0, 2**64 - 1)), bits=raw_widths, signed=st.booleans())
def test_unpacked_decoder_matches_positionwise_reading(raw, bits, signed):
    assert outcome(decode_unpacked_bcd, raw, bits, signed) == unpacked_model(raw, bits, signed)


@given(raw=st.integers(0, 2**64 - 1), bits=st.integers(4, 64), signed=st.booleans())
def test_decoders_ignore_bits_above_the_digits(raw, bits, signed):
    for function, unit in ((decode_packed_bcd, 4), (decode_unpacked_bcd, 8)):
        used = raw & ((1 << (bits // unit * unit)) - 1)
        assert outcome(function, raw, bits, signed) == outcome(function, used, bits, signed)
