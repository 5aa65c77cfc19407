#!/usr/bin/env python3
"""Fuzz every scalar codec: decoders on random bytes and raw values, encoders
on random numbers and texts, checked against Python's own codecs where they
agree on the format and by round trips elsewhere."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import fieldloom  # noqa: E402
from driver import Input, interesting_int, main  # noqa: E402

# Decoders whose result Python's strict codecs predict exactly.
PYTHON_CODECS = {
    "utf8": "utf-8", "utf16be": "utf-16-be", "utf16le": "utf-16-le", "utf32be": "utf-32-be",
    "utf32le": "utf-32-le", "us_ascii": "ascii", "iso_8859_1": "latin-1",
}
TEXT = ["utf8", "utf16", "utf16be", "utf16le", "utf32", "utf32be", "utf32le", "us_ascii", "iso_8859_1",
        "windows_1252"]
SIGNED = ["ones_complement", "twos_complement", "sign_magnitude"]
BCD = ["unpacked_bcd", "packed_bcd"]
FLOATS = ["ieee754_f16", "ieee754_f32", "ieee754_f64"]
UNIMPLEMENTED = ["ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32",
                 "mil_std_1750a_f48", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40"]
WIDTHS = [0, 1, 2, 3, 4, 7, 8, 12, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 68, 72, 128, 2**32 - 1]


def fn(prefix, name):
    return getattr(fieldloom, prefix + name)


def expect(call, *allowed):
    try:
        return call()
    except allowed:
        return None


def text_decoder(src):
    name = src.pick(TEXT)
    data = src.rest()
    result = expect(lambda: fn("decode_", name)(data), ValueError)
    if name in PYTHON_CODECS:
        try:
            python = data.decode(PYTHON_CODECS[name])
        except UnicodeDecodeError:
            python = None
        assert result == python, (name, data, result, python)
    if result is not None:
        assert type(result) is str
        if name in PYTHON_CODECS or (name == "windows_1252" and not data.startswith((b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff"))):
            assert fn("encode_", name)(result) == data, (name, data)


def text_encoder(src):
    name = src.pick(TEXT)
    text = src.text(40)
    try:
        encoded = fn("encode_", name)(text)
    except UnicodeEncodeError:
        assert any(0xD800 <= ord(c) <= 0xDFFF for c in text), (name, text)
        return
    except ValueError:
        assert name in ("us_ascii", "iso_8859_1", "windows_1252"), (name, text)
        return
    assert type(encoded) is bytes
    if name in PYTHON_CODECS:
        assert encoded == text.encode(PYTHON_CODECS[name]), (name, text)
    assert fn("decode_", name)(encoded) == text, (name, text)


def numeric(src):
    kind = src.byte() % 6
    value, bits = interesting_int(src), src.pick(WIDTHS) if src.chance(220) else interesting_int(src)
    if kind == 0:
        name = src.pick(SIGNED)
        decoded = expect(lambda: fn("decode_", name)(value, bits), OverflowError)
        if decoded is not None and 1 < bits <= 64 and name == "twos_complement":
            assert fn("encode_", name)(decoded, bits) == value & ((1 << bits) - 1)
        expect(lambda: fn("encode_", name)(value, bits), OverflowError, ValueError)
    elif kind == 1:
        name, signed = src.pick(BCD), src.chance(128)
        decoded = expect(lambda: fn("decode_", name)(value, bits, signed), OverflowError, ValueError)
        encoded = expect(lambda: fn("encode_", name)(value, bits, signed=signed), OverflowError, ValueError)
        if encoded is not None:
            assert fn("decode_", name)(encoded, bits, signed) == value, (name, value, bits, signed)
        del decoded
    elif kind == 2:
        name = src.pick(FLOATS)
        decoded = expect(lambda: fn("decode_", name)(value), OverflowError)
        if decoded is not None and decoded == decoded:
            assert fn("decode_", name)(fn("encode_", name)(decoded)) == decoded
    elif kind == 3:
        number = src.pick([0.0, -0.0, 1e-8, 6.1e-5, 65519.99, 65520.0, 3.5e38, 1e308, float("inf"), float("nan")])
        for name in FLOATS:
            encoded = fn("encode_", name)(number)
            assert type(encoded) is int and encoded >= 0
    elif kind == 4:
        expect(lambda: fieldloom.decode_ieee754_f128(value), OverflowError)
    else:
        name = src.pick(UNIMPLEMENTED)
        for call in (lambda: fn("decode_", name)(value), lambda: fn("encode_", name)(1.0)):
            try:
                call()
            except (NotImplementedError, OverflowError):
                continue
            raise AssertionError(name + " answered")


def harness(data):
    src = Input(data)
    kind = src.byte() % 3
    if kind == 0:
        text_decoder(src)
    elif kind == 1:
        text_encoder(src)
    else:
        numeric(src)


if __name__ == "__main__":
    main("codecs", harness)
