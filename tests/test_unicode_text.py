"""UTF-8, UTF-16 and UTF-32 codecs, checked against the interpreter's strict codecs.

Known, intended differences from the interpreter:
- decode_utf16 / decode_utf32 without a byte order mark read big-endian
  (the interpreter's utf-16 / utf-32 codecs read the host order);
- error messages are this module's own, built from the position the
  interpreter reports.
"""

import sys

import pytest
from hypothesis import given, strategies as st

import fieldloom as fl

BOM16 = b"\xfe\xff"
BOM32 = b"\x00\x00\xfe\xff"

# Python codec for each function suffix; the mark forms are modelled below.
CODECS = {
    "utf8": "utf-8",
    "utf16le": "utf-16-le",
    "utf16be": "utf-16-be",
    "utf32le": "utf-32-le",
    "utf32be": "utf-32-be",
}
ALL = [*CODECS, "utf16", "utf32"]


def expected_encode(name, text):
    if name == "utf16":
        return BOM16 + text.encode("utf-16-be")
    if name == "utf32":
        return BOM32 + text.encode("utf-32-be")
    return text.encode(CODECS[name])


def assert_same_str(got, want):
    # Equal and stored in the same class (ASCII, Latin-1, UCS-2, UCS-4): a
    # wrongly sized storage makes the object size differ. Compared doubled,
    # as new objects of the same class: the interpreter's shared
    # one-character strs may carry a cached UTF-8 copy that getsizeof counts.
    assert type(got) is str
    assert got == want
    assert sys.getsizeof(got * 2) == sys.getsizeof(want * 2)


def decode(name, data):
    return getattr(fl, "decode_" + name)(data)


def encode(name, text):
    return getattr(fl, "encode_" + name)(text)


def raises_value_error(fn, *args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert type(info.value) is ValueError
    return str(info.value)




def chars(**bounds):
    # A str holding a surrogate never reaches the codecs.
    return st.characters(exclude_categories=("Cs",), **bounds)


# Texts of each storage width, and all of them mixed; and one-byte texts
# long enough for the widening kernels' aligned steps, of any length.
any_text = st.text(chars())
long_one_byte = st.builds(lambda piece, times, tail: piece * times + tail,
                          st.text(chars(max_codepoint=0xFF), min_size=1, max_size=20), st.integers(4, 120),
                          st.text(chars(max_codepoint=0xFF), max_size=40))
texts = st.one_of(*(st.text(chars(max_codepoint=m)) for m in (0x7F, 0xFF, 0xFFFF)), any_text,
                  st.text(chars(min_codepoint=0x80), max_size=200), long_one_byte)

SPECIALS = ["\x00", "\x7f", "\x80", "é", "\xff", "Ā", "€", "\ufeff", "\uffff", "😀", "\U0010ffff"]
SWEEP = [*range(0, 71), 255, 256, 1000, 4099, 65537]


def sweep_texts():
    for n in SWEEP:
        for special in SPECIALS:
            for pos in sorted({0, n // 2, n - 1}):
                if 0 <= pos < n:
                    yield "a" * pos + special + "b" * (n - pos - 1)
        yield "x" * n


# ---------------------------------------------------------------------------
# Encoders and round trips


@pytest.mark.parametrize("name", ALL)
@given(text=texts)
def test_encode_matches_interpreter_and_round_trips(name, text):
    data = encode(name, text)
    assert type(data) is bytes
    assert data == expected_encode(name, text)
    assert_same_str(decode(name, data), text)


@pytest.mark.parametrize("name", ALL)
def test_width_and_length_sweep(name):
    for text in sweep_texts():
        data = encode(name, text)
        assert data == expected_encode(name, text), (name, text)
        assert_same_str(decode(name, data), text)


@pytest.mark.parametrize(
    "name, text, want",
    [
        ("utf16", "", b"\xfe\xff"),
        ("utf16", "A", b"\xfe\xff\x00\x41"),
        ("utf16le", "\U0001f600", b"\x3d\xd8\x00\xde"),
        ("utf32", "", b"\x00\x00\xfe\xff"),
        ("utf32le", "A", b"\x41\x00\x00\x00"),
        ("utf32be", "\U0001f600", b"\x00\x01\xf6\x00"),
        ("utf8", "", b""),
    ],
)
def test_encode_examples(name, text, want):
    assert encode(name, text) == want


# ---------------------------------------------------------------------------
# Long texts. The sizing kernels count in SIMD lanes of 8, 16 or 32 bits and
# empty them every so many blocks of 16 units; around those points a lane
# holds the most it ever does. Mostly ASCII fills the lanes that count
# narrow units; the mixed pattern keeps some lanes full and others empty.
# CI runs these on the AVX2 kernels and on the SSE2 baseline build.

FLUSH_BLOCKS = [255, 256, 2**15 - 1, 2**15, 2**15 + 1, 2**16 - 1, 2**16, 2**16 + 1]
WIDE_CHAR = {1: "\xe9", 2: "\u20ac", 4: "\U0001f600"}


def long_texts(width, blocks):
    wide = WIDE_CHAR[width]
    for n in (16 * blocks, 16 * blocks + 9):
        yield "a" * (n - 1) + wide
        yield (("a" + wide * 7) * (n // 8 + 1))[:n]


@pytest.mark.parametrize("width", [1, 2, 4])
@pytest.mark.parametrize("blocks", FLUSH_BLOCKS)
def test_long_texts_at_lane_flush_points(width, blocks):
    for text in long_texts(width, blocks):
        for name in ("utf8", "utf16le"):
            data = encode(name, text)
            assert data == expected_encode(name, text), (name, len(text))
            assert decode(name, data) == text


def test_long_two_byte_text_in_a_recipe():
    # A 16-bit lane passed 32767 here on the baseline kernels.
    text = "\u20ac" + "a" * 262159
    want = text.encode()
    assert fl.encode_utf8(text) == want
    entry = {"name": "t", "encoding": "utf8", "bits": 8 * len(want), "byte_order": "big", "reverse_bits": False}
    assert fl.pack_parameters([entry], {"t": text}) == want


# ---------------------------------------------------------------------------
# Lone surrogates: every encoder fails exactly as the interpreter's UTF-8
# conversion of the str does, before any failure of its own.

ENCODERS = [*ALL, "us_ascii", "iso_8859_1", "windows_1252"]
# Fillers of each storage width, including characters that some codecs refuse.
FILLERS = ["a", "\xe9", "\u20ac", "\u0100", "\U0001f600"]
# Around the block sizes of the kernels (8, 16 and 32 units).
BOUNDARY_LENGTHS = [0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 63, 64, 65, 100]


def surrogate_texts():
    for surrogate in ("\ud800", "\udbff", "\udc00", "\udfff"):
        for filler in FILLERS:
            for n in BOUNDARY_LENGTHS:
                for pos in sorted({0, n // 2, max(n - 1, 0), n}):
                    yield filler * pos + surrogate + filler * (n - pos)
    # A pair split by order is still two lone surrogates; a refused
    # character before the surrogate does not decide the error.
    yield "\udc00\ud800"
    yield "\xe9\ud800"
    yield "\u20ac" * 20 + "\udfff"
    yield "a" * 33 + "\U0001f600" + "\ud800" + "a" * 40


def interpreter_error(text):
    with pytest.raises(UnicodeEncodeError) as info:
        text.encode("utf-8")
    return str(info.value)


@pytest.mark.parametrize("name", ENCODERS)
def test_lone_surrogate_fails_as_interpreter_does(name):
    for text in surrogate_texts():
        with pytest.raises(UnicodeEncodeError) as info:
            encode(name, text)
        assert type(info.value) is UnicodeEncodeError
        assert str(info.value) == interpreter_error(text), (name, text)


@pytest.mark.parametrize("name", ENCODERS)
@pytest.mark.parametrize("byte_order", ["big", "little"])
def test_lone_surrogate_in_recipe_fails_as_interpreter_does(name, byte_order):
    def pack(text, bits=64, **extra):
        recipe = [{"name": "x", "encoding": name, "bits": bits, "byte_order": byte_order, "reverse_bits": False, **extra}]
        return fl.pack_parameters(recipe, {"x": text})

    def wrapped_error(call):
        with pytest.raises(ValueError) as info:
            call()
        assert type(info.value) is ValueError
        return str(info.value)

    for text in ["\ud800", "\xe9" * 40 + "\udc00", "\U0001f600" * 17 + "\udfff" + "a"]:
        want = "UnicodeEncodeError: " + interpreter_error(text)
        # The field shorter than the text, and longer.
        assert wrapped_error(lambda: pack(text)) == want
        assert wrapped_error(lambda: pack(text, bits=8 * 1024)) == want
        # Reported before a bad byte order, as before any other failure of the field.
        assert wrapped_error(lambda: pack(text, byte_order="middle")) == want
        # A field that lies past the end of the packet writes nothing, and still fails.
        recipe = [
            {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False},
            {"name": "x", "encoding": name, "bits": 0, "byte_order": byte_order, "reverse_bits": False, "offset_bits": 8},
        ]
        assert wrapped_error(lambda: fl.pack_parameters(recipe, {"a": 1, "x": text})) == want
    # Without a surrogate the byte order is still checked.
    assert wrapped_error(lambda: pack("a", byte_order="middle")).startswith("ValueError: Invalid byte_order")


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("filler", FILLERS)
def test_block_boundary_sweep(name, filler):
    # Texts that change storage class or need a pair at every position
    # around the kernels' block edges, in both directions.
    for n in BOUNDARY_LENGTHS:
        for pos in range(n + 1):
            for special in ("\x7f", "\x80", "\u0800", "\ufffd", "\U00010000", "\U0010ffff"):
                text = filler * pos + special + filler * (n - pos)
                data = encode(name, text)
                assert data == expected_encode(name, text), (name, text)
                assert_same_str(decode(name, data), text)


@pytest.mark.parametrize("name", ALL)
def test_str_subclass_is_accepted(name):
    class S(str):
        pass

    assert encode(name, S("hé€")) == expected_encode(name, "hé€")


# ---------------------------------------------------------------------------
# UTF-8 decoding


def utf8_message(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as e:
        if e.reason == "unexpected end of data":
            return f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {e.start}"
        return f"Invalid UTF-8 bytes: invalid utf-8 sequence of {e.end - e.start} bytes from index {e.start}"
    return None


def check_utf8(data):
    message = utf8_message(data)
    if message is None:
        assert_same_str(fl.decode_utf8(data), data.decode("utf-8"))
    else:
        assert raises_value_error(fl.decode_utf8, data) == message


def mutations(valid):
    """Valid UTF-8 with one byte changed, inserted or cut off."""
    return st.tuples(st.integers(0, max(len(valid) - 1, 0)), st.integers(0, 255), st.sampled_from("sic")).map(
        lambda t: (
            valid[: t[0]] + bytes([t[1]]) + valid[t[0] + 1 :]
            if t[2] == "s"
            else valid[: t[0]] + bytes([t[1]]) + valid[t[0] :]
            if t[2] == "i"
            else valid[: t[0]]
        )
    )


@given(data=st.binary(max_size=300))
def test_utf8_decode_random_bytes(data):
    check_utf8(data)


@given(data=any_text.map(lambda t: t.encode("utf-8")).flatmap(mutations))
def test_utf8_decode_mutated_text(data):
    check_utf8(data)


# Characters of every UTF-8 length, each repertoire decoding to its own
# storage width, in texts that cross many of the decoding kernels' steps;
# ASCII runs reach their whole-block path.
UTF8_PIECES = [["a", "\x7f", "\x80", "\xe9", "\xff"], ["\u0100", "\u07ff", "\u0800", "\u20ac", "\uffff"],
               ["\U00010000", "\U0001f600", "\U0010ffff"]]
mixed_utf8 = st.integers(1, 3).flatmap(
    lambda width: st.lists(st.sampled_from([p for ps in UTF8_PIECES[:width] for p in ps]) | st.text("ab", min_size=16, max_size=40),
                           max_size=150)
).map(lambda pieces: "".join(pieces).encode("utf-8"))


@given(data=mixed_utf8 | mixed_utf8.flatmap(mutations))
def test_utf8_decode_mixed_lengths(data):
    check_utf8(data)


def test_utf8_every_short_sequence():
    probes = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xF5, 0xFF]
    for lead in range(256):
        for second in range(256):
            check_utf8(bytes([lead, second]))
            check_utf8(b"abc" + bytes([lead, second]))
        for second in (0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF):
            for third in probes:
                check_utf8(bytes([lead, second, third]))
                for fourth in (0x41, 0x80, 0xBF, 0xC0):
                    check_utf8(bytes([lead, second, third, fourth]))


@pytest.mark.parametrize("bad", [b"\x80", b"\xc3", b"\xe0\x80", b"\xed\xa0\x80", b"\xf0\x9f\x98", b"\xf0\x9f\x98\x41",
                                 b"\xe1\x80\x41", b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xff", b"\xe0\x9f\xbf",
                                 b"\xf0\x8f\xbf\xbf"])
def test_utf8_error_after_long_valid_prefix(bad):
    # The position must survive the block-wise scan of every kind of prefix.
    for unit in ("a", "é", "€", "😀"):
        for n in SWEEP:
            data = (unit * n).encode("utf-8") + bad
            check_utf8(data)
            check_utf8(data + b"tail")


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
        (b"\x61\x80", "invalid utf-8 sequence of 1 bytes from index 1"),
        (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xe0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"),
        (b"\xf0\x9f\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"\xe1\x80\x41", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"ab\xf8", "invalid utf-8 sequence of 1 bytes from index 2"),
    ],
)
def test_utf8_messages(data, message):
    assert raises_value_error(fl.decode_utf8, data) == "Invalid UTF-8 bytes: " + message


def test_utf8_keeps_leading_mark_and_empty():
    assert fl.decode_utf8(b"\xef\xbb\xbfA") == "\ufeffA"
    assert_same_str(fl.decode_utf8(b""), "")


# ---------------------------------------------------------------------------
# UTF-16 and UTF-32 decoding


def expected_decode(name, data):
    """The interpreter's result or None; mark forms default to big-endian."""
    codec = {"utf16": "utf-16-be", "utf32": "utf-32-be"}.get(name) or CODECS[name]
    if name == "utf16" and data[:2] in (b"\xfe\xff", b"\xff\xfe"):
        codec, data = ("utf-16-be" if data[:2] == b"\xfe\xff" else "utf-16-le"), data[2:]
    if name == "utf32" and data[:4] in (b"\x00\x00\xfe\xff", b"\xff\xfe\x00\x00"):
        codec, data = ("utf-32-be" if data[:4] == b"\x00\x00\xfe\xff" else "utf-32-le"), data[4:]
    try:
        return data.decode(codec), None
    except UnicodeDecodeError as e:
        return None, (codec, data, e)


LENGTH_MESSAGES = {
    "utf16": ("UTF-16 requires an even number of bytes with at least 2 bytes", 2),
    "utf16le": ("UTF-16 requires an even number of bytes", 2),
    "utf16be": ("UTF-16 requires an even number of bytes", 2),
    "utf32": ("UTF-32 requires a multiple of 4 bytes with at least 4 bytes", 4),
    "utf32le": ("UTF-32 requires a multiple of 4 bytes", 4),
    "utf32be": ("UTF-32 requires a multiple of 4 bytes", 4),
}


def check_wide(name, data):
    length_message, unit = LENGTH_MESSAGES[name]
    if len(data) % unit or (name in ("utf16", "utf32") and not data):
        assert raises_value_error(decode, name, data) == length_message
        return
    want, failure = expected_decode(name, data)
    if failure is None:
        assert_same_str(decode(name, data), want)
        return
    message = raises_value_error(decode, name, data)
    if unit == 2:
        assert message == "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
    else:
        codec, rest, e = failure
        bad = int.from_bytes(rest[e.start : e.start + 4], "little" if codec.endswith("le") else "big")
        assert message == f"Invalid UTF-32 codepoint: 0x{bad:08X}"


WIDE = list(LENGTH_MESSAGES)

# Units that make the interesting cases likely: surrogates of both halves,
# values around the storage class bounds and above U+10FFFF.
unit16 = st.sampled_from([0x0041, 0x00E9, 0x0100, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFEFF, 0xFFFE, 0xFFFF]) | st.integers(0, 0xFFFF)
unit32 = st.sampled_from([0x41, 0xFF, 0x100, 0xD7FF, 0xD800, 0xDFFF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF, 0x110000,
                          0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFEFF, 0xFFFE0000]) | st.integers(0, 0x10FFFF)


def units_to_bytes(units, size, order):
    return b"".join(u.to_bytes(size, order) for u in units)


@pytest.mark.parametrize("name", WIDE)
@given(data=st.binary(max_size=200))
def test_wide_decode_random_bytes(name, data):
    check_wide(name, data)


@pytest.mark.parametrize("name", WIDE)
@given(units16=st.lists(unit16, max_size=60), units32=st.lists(unit32, max_size=40), order=st.sampled_from(["big", "little"]),
       mark=st.booleans())
def test_wide_decode_crafted_units(name, units16, units32, order, mark):
    if name.startswith("utf16"):
        data = units_to_bytes(([0xFEFF] if mark else []) + units16, 2, order)
    else:
        data = units_to_bytes(([0xFEFF] if mark else []) + units32, 4, order)
    check_wide(name, data)


@pytest.mark.parametrize("name", WIDE)
def test_wide_error_position_sweep(name):
    size = 2 if name.startswith("utf16") else 4
    order = "little" if name.endswith("le") else "big"
    for bad in ([0xD800], [0xDC00], [0xDBFF, 0x0041]) if size == 2 else ([0xD800], [0x110000], [0xFFFFFFFF]):
        for n in SWEEP:
            for fill in (0x41, 0xE9, 0x20AC, 0x1F600):
                units = [fill] * n + bad if size == 4 or fill < 0x10000 else [0xD83D, 0xDE00] * n + bad
                data = units_to_bytes(units, size, order)
                check_wide(name, data)
                check_wide(name, data + units_to_bytes([0x41], size, order))


@pytest.mark.parametrize(
    "name, data, want",
    [
        ("utf16be", b"", ""),
        ("utf16le", b"", ""),
        ("utf16", b"\x00\x41", "A"),
        ("utf16", b"\x41\x00", "\u4100"),
        ("utf16", b"\xff\xfe\x41\x00", "A"),
        ("utf16", b"\xfe\xff", ""),
        ("utf16", b"\xff\xfe", ""),
        ("utf16", b"\xfe\xff\xfe\xff", "\ufeff"),
        ("utf16be", b"\xfe\xff\x00\x41", "\ufeffA"),
        ("utf16le", b"\xfe\xff", "\ufffe"),
        ("utf16be", b"\xd8\x3d\xde\x00", "\U0001f600"),
        ("utf32", b"\x00\x00\xfe\xff", ""),
        ("utf32", b"\xff\xfe\x00\x00\x41\x00\x00\x00", "A"),
        ("utf32", b"\x00\x00\x00\x41", "A"),
        ("utf32le", b"\xff\xfe\x00\x00", "\ufeff"),
        ("utf32be", b"", ""),
    ],
)
def test_wide_decode_examples(name, data, want):
    assert_same_str(decode(name, data), want)


@pytest.mark.parametrize(
    "name, data, message",
    [
        ("utf16", b"", "UTF-16 requires an even number of bytes with at least 2 bytes"),
        ("utf16", b"\xfe\xff\x00", "UTF-16 requires an even number of bytes with at least 2 bytes"),
        ("utf16le", b"\x41", "UTF-16 requires an even number of bytes"),
        ("utf16be", b"\xd8\x00", "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"),
        ("utf16be", b"\xde\x00\xd8\x3d", "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"),
        ("utf16", b"\xff\xfe\x00\xd8", "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"),
        ("utf32", b"abc", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
        ("utf32", b"", "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"),
        ("utf32le", b"abcde", "UTF-32 requires a multiple of 4 bytes"),
        ("utf32be", b"\x00\x00\xd8\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
        ("utf32le", b"\x00\x00\x11\x00", "Invalid UTF-32 codepoint: 0x00110000"),
        ("utf32be", b"\xff\xff\xff\xff", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
        ("utf32be", b"\x00\x00\x00\x41\x00\x00\xd8\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
        ("utf32", b"\xff\xfe\x00\x00\x00\xdc\x00\x00", "Invalid UTF-32 codepoint: 0x0000DC00"),
    ],
)
def test_wide_decode_messages(name, data, message):
    assert raises_value_error(decode, name, data) == message


@pytest.mark.parametrize("name", ALL)
def test_decoders_take_only_bytes(name):
    class B(bytes):
        pass

    assert decode(name, B(expected_encode(name, "hé"))) == "hé"
    with pytest.raises(TypeError, match="^argument 'bytes': 'bytearray' object cannot be cast as 'bytes'$"):
        decode(name, bytearray(b"ab"))


# Short inputs take one-pass paths up to 256 code points or bytes; both
# sides of that length agree with the interpreter.
@pytest.mark.parametrize("length", [0, 1, 8, 255, 256, 257])
@pytest.mark.parametrize("pattern", ["abc", "aé\xff", "aé€☃😀"])
@pytest.mark.parametrize("name, codec", [("utf8", "utf-8"), ("iso_8859_1", "latin-1"), ("us_ascii", "ascii"),
                                         ("windows_1252", "cp1252")])
def test_short_text_paths_match_interpreter(length, pattern, name, codec):
    text = (pattern * length)[:length]
    try:
        data = text.encode(codec)
    except UnicodeEncodeError:
        with pytest.raises(ValueError):
            getattr(fl, "encode_" + name)(text)
        return
    assert getattr(fl, "encode_" + name)(text) == data
    decoded = getattr(fl, "decode_" + name)(data)
    assert decoded == text and type(decoded) is str
