"""US-ASCII, ISO-8859-1 and Windows-1252, checked against the interpreter's strict codecs.

Known, intended differences from the interpreter:
- Windows-1252 follows the WHATWG index: the bytes 81, 8D, 8F, 90 and 9D
  decode to U+0081, U+008D, U+008F, U+0090 and U+009D (and those characters
  encode back), where the interpreter's cp1252 refuses them;
- decode_windows_1252 honours a leading byte order mark (EF BB BF, FF FE,
  FE FF) and decodes the rest as UTF-8 or UTF-16;
- error messages are this module's own.
"""

import pytest
from hypothesis import given, strategies as st

import fieldloom as fl
from test_unicode_text import SPECIALS, SWEEP, assert_same_str, chars, raises_value_error, texts

WHATWG_ONLY = {0x81, 0x8D, 0x8F, 0x90, 0x9D}
MARKS = [(b"\xef\xbb\xbf", "utf-8"), (b"\xff\xfe", "utf-16-le"), (b"\xfe\xff", "utf-16-be")]
DECODE_1252_FAILURE = "Failed to decode Windows-1252 bytes"
ENCODE_1252_FAILURE = "Failed to encode to Windows-1252"


def windows_1252_char(byte):
    return chr(byte) if byte in WHATWG_ONLY else bytes([byte]).decode("cp1252")


WINDOWS_1252 = "".join(windows_1252_char(b) for b in range(256))


def expected_windows_1252_decode(data):
    """The str, or None for a failure."""
    for mark, codec in MARKS:
        if data.startswith(mark):
            try:
                return data[len(mark) :].decode(codec)
            except UnicodeDecodeError:
                return None
    return "".join(WINDOWS_1252[b] for b in data)


def expected_windows_1252_encode(text):
    try:
        return bytes(WINDOWS_1252.index(c) for c in text)
    except ValueError:
        return None


def not_valid(char, encoding):
    return f"Character '{char}' (U+{ord(char):04X}) is not valid {encoding}"


# ---------------------------------------------------------------------------
# US-ASCII and ISO-8859-1


@given(data=st.binary(max_size=300))
def test_decode_us_ascii_matches_interpreter(data):
    try:
        want = data.decode("ascii")
    except UnicodeDecodeError as e:
        message = raises_value_error(fl.decode_us_ascii, data)
        assert message == f"Invalid US-ASCII byte: 0x{data[e.start]:02X} (must be <= 0x7F)"
    else:
        assert_same_str(fl.decode_us_ascii(data), want)


@given(data=st.binary(max_size=300))
def test_decode_iso_8859_1_matches_interpreter(data):
    assert_same_str(fl.decode_iso_8859_1(data), data.decode("latin-1"))


@pytest.mark.parametrize("name, codec, encoding", [("us_ascii", "ascii", "US-ASCII"),
                                                   ("iso_8859_1", "latin-1", "ISO-8859-1")])
@given(text=texts)
def test_encode_matches_interpreter(name, codec, encoding, text):
    encoder = getattr(fl, "encode_" + name)
    try:
        want = text.encode(codec)
    except UnicodeEncodeError as e:
        assert raises_value_error(encoder, text) == not_valid(text[e.start], encoding)
    else:
        assert encoder(text) == want
        assert_same_str(getattr(fl, "decode_" + name)(want), text)


@pytest.mark.parametrize("name, codec", [("us_ascii", "ascii"), ("iso_8859_1", "latin-1"), ("windows_1252", None)])
def test_width_and_position_sweep(name, codec):
    # The first bad character must be found wherever blocks put it.
    encoder, decoder = getattr(fl, "encode_" + name), getattr(fl, "decode_" + name)
    for n in SWEEP:
        for special in SPECIALS:
            for pos in sorted({0, n // 2, n - 1}):
                if not 0 <= pos < n:
                    continue
                text = "a" * pos + special + "b" * (n - pos - 1)
                if codec is None:
                    want = expected_windows_1252_encode(text)
                    if want is None:
                        assert raises_value_error(encoder, text) == ENCODE_1252_FAILURE
                        continue
                else:
                    try:
                        want = text.encode(codec)
                    except UnicodeEncodeError as e:
                        assert raises_value_error(encoder, text) == not_valid(text[e.start], "ISO-8859-1" if
                                                                              codec == "latin-1" else "US-ASCII")
                        continue
                assert encoder(text) == want
                if not want.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
                    assert_same_str(decoder(want), text)


@pytest.mark.parametrize("n", SWEEP)
def test_decode_us_ascii_reports_first_bad_byte(n):
    for bad in (0x80, 0xFF):
        data = b"a" * n + bytes([bad]) + b"\xc3" * 3
        assert raises_value_error(fl.decode_us_ascii, data) == f"Invalid US-ASCII byte: 0x{bad:02X} (must be <= 0x7F)"


@pytest.mark.parametrize(
    "fn, arg, message",
    [
        (fl.decode_us_ascii, b"\x41\x80", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
        (fl.decode_us_ascii, b"\xff", "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
        (fl.encode_us_ascii, "é", "Character 'é' (U+00E9) is not valid US-ASCII"),
        (fl.encode_us_ascii, "a\U0001f600", "Character '\U0001f600' (U+1F600) is not valid US-ASCII"),
        (fl.encode_us_ascii, "\U0010ffff", "Character '\U0010ffff' (U+10FFFF) is not valid US-ASCII"),
        (fl.encode_iso_8859_1, "ab€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
        (fl.encode_iso_8859_1, "\u0100", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
    ],
)
def test_messages(fn, arg, message):
    assert raises_value_error(fn, arg) == message


def test_single_byte_examples():
    assert_same_str(fl.decode_us_ascii(b""), "")
    assert fl.encode_us_ascii("A") == b"A"
    assert fl.decode_iso_8859_1(b"\xe9\x80") == "\xe9\x80"
    assert fl.decode_iso_8859_1(bytes(range(256))) == "".join(map(chr, range(256)))
    assert fl.encode_iso_8859_1("\xe9\xff") == b"\xe9\xff"


# ---------------------------------------------------------------------------
# Windows-1252


def test_windows_1252_index():
    assert WINDOWS_1252[0x80:0xA0] == (
        "\u20ac\x81\u201a\u0192\u201e\u2026\u2020\u2021\u02c6\u2030\u0160\u2039\u0152\x8d\u017d\x8f"
        "\x90\u2018\u2019\u201c\u201d\u2022\u2013\u2014\u02dc\u2122\u0161\u203a\u0153\x9d\u017e\u0178"
    )
    for byte in range(256):
        assert_same_str(fl.decode_windows_1252(bytes([byte])), WINDOWS_1252[byte])
        assert fl.encode_windows_1252(WINDOWS_1252[byte]) == bytes([byte])
    # Every other character of the first pages, and a few beyond, is refused.
    for cp in [*range(0x2200), 0xFFFF, 0x1F600, 0x10FFFF]:
        if chr(cp) not in WINDOWS_1252 and not 0xD800 <= cp < 0xE000:
            assert raises_value_error(fl.encode_windows_1252, chr(cp)) == ENCODE_1252_FAILURE


@given(data=st.binary(max_size=300) | st.tuples(st.sampled_from([m for m, _ in MARKS]), st.binary(max_size=60)).map(
    lambda t: t[0] + t[1]))
def test_decode_windows_1252(data):
    want = expected_windows_1252_decode(data)
    if want is None:
        assert raises_value_error(fl.decode_windows_1252, data) == DECODE_1252_FAILURE
    else:
        assert_same_str(fl.decode_windows_1252(data), want)


@given(text=texts | st.text(st.sampled_from(WINDOWS_1252)) | st.text(chars(max_codepoint=0x2200)))
def test_encode_windows_1252(text):
    want = expected_windows_1252_encode(text)
    if want is None:
        assert raises_value_error(fl.encode_windows_1252, text) == ENCODE_1252_FAILURE
        return
    assert fl.encode_windows_1252(text) == want
    if not want.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")):
        assert_same_str(fl.decode_windows_1252(want), text)


@pytest.mark.parametrize(
    "data, want",
    [
        (b"\x80", "\u20ac"),
        (b"\x81", "\x81"),
        (b"\xe9", "\xe9"),
        (b"\xff", "\xff"),
        (b"\xfe", "\xfe"),
        (b"\xef\xbb", "\xef\xbb"),
        (b"\xff\xfe", ""),
        (b"\xff\xfe\x41\x00", "A"),
        (b"\xfe\xff\x00\x41", "A"),
        (b"\xfe\xff\xfe\xff", "\ufeff"),
        (b"\xef\xbb\xbf", ""),
        (b"\xef\xbb\xbf\xc3\xa9", "\xe9"),
        (b"\xef\xbb\xbf\xef\xbb\xbf", "\ufeff"),
        (b"\xfe\xff\xd8\x3d\xde\x00", "\U0001f600"),
    ],
)
def test_decode_windows_1252_examples(data, want):
    assert_same_str(fl.decode_windows_1252(data), want)


@pytest.mark.parametrize("data", [b"\xef\xbb\xbf\xc3", b"\xef\xbb\xbf\xed\xa0\x80", b"\xfe\xff\x00",
                                  b"\xfe\xff\xd8\x00", b"\xff\xfe\x00\xdc", b"\xff\xfe\x41"])
def test_decode_windows_1252_failures(data):
    assert raises_value_error(fl.decode_windows_1252, data) == DECODE_1252_FAILURE


@pytest.mark.parametrize("text", ["\x80", "\u0100", "\x9f", "a€\x8e", "\U0001f600"])
def test_encode_windows_1252_failures(text):
    assert raises_value_error(fl.encode_windows_1252, text) == ENCODE_1252_FAILURE


def test_windows_1252_marks_do_not_round_trip():
    # Text whose bytes begin with a mark comes back as what follows the mark.
    assert fl.encode_windows_1252("\xff\xfe") == b"\xff\xfe"
    assert fl.decode_windows_1252(b"\xff\xfe") == ""
    assert fl.encode_windows_1252("\xef\xbb\xbf") == b"\xef\xbb\xbf"
    assert fl.decode_windows_1252(b"\xef\xbb\xbf") == ""
    assert fl.encode_windows_1252("") == b""
