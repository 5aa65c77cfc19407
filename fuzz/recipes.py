"""Random recipes and values for the recipe harnesses."""
import math

from driver import interesting_int

ENCODINGS = [
    "unsigned", "twos_complement", "ones_complement", "sign_magnitude", "packed_bcd", "packed_bcd_signed",
    "unpacked_bcd", "unpacked_bcd_signed", "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128",
    "ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32", "mil_std_1750a_f48",
    "ti_f32", "ti_f40", "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "utf8", "utf16", "utf16be", "utf16le",
    "utf32", "utf32be", "utf32le", "us_ascii", "iso_8859_1", "latin1", "windows_1252",
]
# Spellings that must be matched or refused exactly.
ODD_ENCODINGS = [
    "UTF8", "Unsigned", "pac\u212aed_bcd", "utf-8", "", "unsigned ", "x" * 40, "\u00fcnsigned", "\ud800",
]
BYTE_ORDERS = ["big", "little", "BIG", "Little"]
ODD_BYTE_ORDERS = ["middle", "", " big", "\ud800", "b\u0130g"]
NAMES = ["a", "b", "c", "\u00e9t\u00e9", "\U0001F600"]
WIDTHS = [0, 1, 3, 4, 7, 8, 8, 8, 9, 12, 16, 16, 16, 24, 31, 32, 32, 33, 40, 48, 56, 63, 64, 64, 65, 72, 80, 128]
WRONG_TYPES = [None, 8.0, "8", b"8", [8], 1j]
WRAPPED = ("KeyError: ", "TypeError: ", "OverflowError: ", "ValueError: ", "NotImplementedError: ",
           "UnicodeEncodeError: ")


class EntryDict(dict):
    """A dict subclass whose own lookups must never be used."""

    def __getitem__(self, key):
        raise AssertionError("subclass __getitem__ used")

    def get(self, key, default=None):
        raise AssertionError("subclass get used")

    def __missing__(self, key):
        raise AssertionError("subclass __missing__ used")


class Index:
    """An int-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def width(src):
    kind = src.byte() % 8
    if kind < 5:
        return src.pick(WIDTHS)
    if kind == 5:
        return src.byte()
    if kind == 6 and src.chance(128):
        return interesting_int(src)
    return src.pick(WRONG_TYPES + [True, Index(src.byte()), 2**32 - 1])


def offset(src, huge):
    kind = src.byte() % 8
    if kind < 4:
        return src.byte()
    if kind == 4:
        return 8 * src.byte()
    if kind == 5 and huge:
        return interesting_int(src)
    if kind == 6:
        return src.pick([None, 4.0, Index(src.byte())])
    return src.uint(2)


def text_key(src, usual, odd):
    kind = src.byte()
    if kind < 8:
        return src.pick(WRONG_TYPES)
    if kind < 24:
        return src.pick(odd)
    return src.pick(usual)


def entry(src, huge_offsets):
    """One recipe item: usually a plausible dict, sometimes anything else."""
    if src.chance(3):
        return src.pick([5, None, "entry", [("name", "a")], (), b"x", {1: 2}])
    item = EntryDict() if src.chance(16) else {}
    missing = src.byte() if src.chance(6) else -1
    if missing % 6 != 0:
        item["name"] = text_key(src, NAMES, ["\ud800"])
    if missing % 6 != 1:
        item["encoding"] = text_key(src, ENCODINGS, ODD_ENCODINGS)
    if missing % 6 != 2:
        item["bits"] = width(src)
    if missing % 6 != 3:
        item["byte_order"] = text_key(src, BYTE_ORDERS, ODD_BYTE_ORDERS)
    if missing % 6 != 4:
        item["reverse_bits"] = src.chance(100) if not src.chance(8) else src.pick([0, 1, None, "True"])
    if src.chance(110):
        item["offset_bits"] = offset(src, huge_offsets)
    if src.chance(8):
        item["extra"] = src.byte()
    return item


def recipe(src, huge_offsets=True):
    items = [entry(src, huge_offsets) for _ in range(src.byte() % 7)]
    return tuple(items) if src.chance(20) else items


def fresh(items):
    """The same recipe with new dicts, so nothing remembered about the old ones applies."""
    return [dict(item) if isinstance(item, dict) else item for item in items]


def canon(value):
    """Comparable form of a result: floats by their bits, so NaN equals itself."""
    if isinstance(value, float):
        return ("float", math.copysign(1.0, value), repr(value))
    if isinstance(value, dict):
        return [(key, canon(item)) for key, item in value.items()]
    return (type(value).__name__, value)


def value_for(src):
    kind = src.byte() % 8
    if kind < 3:
        return interesting_int(src)
    if kind == 3:
        return src.pick([0.0, -0.0, 1.5, -2.75, 65504.0, 1e300, float("inf"), float("-inf"), float("nan"),
                         3.4028235677973366e38, 5.96e-8])
    if kind == 4:
        return src.text(12)
    if kind == 5:
        return src.pick([None, b"ab", True, Index(src.byte()), 10**400])
    return src.byte()


def check_wrapped(error):
    assert type(error) is ValueError, repr(error)
    assert error.__cause__ is None, repr(error)
    assert str(error).startswith(WRAPPED), repr(error)
