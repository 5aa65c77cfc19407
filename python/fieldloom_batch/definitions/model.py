"""Packet definitions as plain Python objects: packet types made of entries
at any bit, chosen among by conditions on fields decoded before them.

Everything here is a frozen dataclass of plain values (names are str,
references between types and fields are by name), so a definition pickles
small, compares by value, has a readable repr, and both the XTCE and the CSV
field-list loaders build the same objects. Checks that need the whole set of
types (references, inheritance, positions) are made by `Definitions`.
"""
from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import MISSING, dataclass, fields
from typing import Literal, Union

# Encodings an entry may use: the recipe names that decode, less the float
# families that have no codec, plus raw bytes.
INTEGER_ENCODINGS = ("unsigned", "twos_complement", "ones_complement", "sign_magnitude")
BCD_ENCODINGS = ("packed_bcd", "packed_bcd_signed", "unpacked_bcd", "unpacked_bcd_signed")
FLOAT_ENCODINGS = ("ieee754_f16", "ieee754_f32", "ieee754_f64")
# Quad precision, the one numeric encoding wider than 64 bits: exactly 128,
# decoded to a double toward zero as decode_ieee754_f128 does (float64).
QUAD_ENCODING = "ieee754_f128"
TEXT_ENCODINGS = ("utf8", "utf16", "utf16be", "utf16le", "utf32", "utf32be", "utf32le", "us_ascii", "iso_8859_1",
                  "latin1", "windows_1252")
NUMERIC_ENCODINGS = INTEGER_ENCODINGS + BCD_ENCODINGS + FLOAT_ENCODINGS
# Bytes per code unit, for terminators; the others have one-byte units.
CODE_UNIT_BYTES = {"utf16": 2, "utf16be": 2, "utf16le": 2, "utf32": 4, "utf32be": 4, "utf32le": 4}
ENCODINGS = NUMERIC_ENCODINGS + (QUAD_ENCODING,) + TEXT_ENCODINGS + ("binary",)

Operator = Literal["==", "!=", "<", "<=", ">", ">="]
OPERATORS: tuple[str, ...] = ("==", "!=", "<", "<=", ">", ">=")

# CCSDS time codes count from 1958-01-01 (TAI) unless the mission says otherwise.
CCSDS_EPOCH = "1958-01-01T00:00:00"


class DefinitionError(ValueError):
    """A packet definition that cannot be decoded as written."""


def _fail(owner: str, message: str) -> DefinitionError:
    return DefinitionError(f"{owner}: {message}")


def _short_repr(self: object) -> str:
    """Only the fields that differ from their defaults: a packet type of
    forty entries stays readable."""
    shown: list[str] = []
    for item in fields(self):  # type: ignore[arg-type]
        value = getattr(self, item.name)
        if item.default is not MISSING and value == item.default:
            continue
        shown.append(f"{item.name}={value!r}" if shown or item.default is not MISSING else repr(value))
    return f"{type(self).__name__}({', '.join(shown)})"


def _whole(value: object, what: str, owner: str, *, minimum: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise _fail(owner, f"{what} must be an int, not {type(value).__name__}")
    if value < minimum:
        raise _fail(owner, f"{what} must be at least {minimum}, not {value}")
    return value


# -- sizes and counts that packets give ---------------------------------------------------------------------------


@dataclass(frozen=True)
class Dynamic:
    """A size or count given by an earlier field of the same packet:
    ``slope * value + intercept``, in `unit` ("bits" or "bytes") for sizes.

    The field is named; it must be a numeric entry that comes before (in the
    packet type or one of its parents). A packet where the result is negative
    or runs past the packet fails (it is never cut short)."""

    field: str
    slope: int = 1
    intercept: int = 0
    unit: Literal["bits", "bytes"] = "bits"

    def __post_init__(self) -> None:
        owner = f"size from {self.field!r}"
        if not isinstance(self.field, str) or not self.field:
            raise _fail("size", "the field it comes from must be named by a non-empty str")
        for what in ("slope", "intercept"):
            value = getattr(self, what)
            if isinstance(value, bool) or not isinstance(value, int):
                raise _fail(owner, f"{what} must be an int, not {type(value).__name__}")
        if self.unit not in ("bits", "bytes"):
            raise _fail(owner, f"unit must be 'bits' or 'bytes', not {self.unit!r}")

    @property
    def bits_per_unit(self) -> int:
        return 8 if self.unit == "bytes" else 1


@dataclass(frozen=True)
class ToEnd:
    """A size that runs to the end of the packet. Only entries at a fixed
    offset from the packet's start may follow such an entry."""


@dataclass(frozen=True)
class Delimited:
    """A text size its content decides: the entry ends after its terminator
    (`Entry.terminator`) or after the content its leading size tag gives
    (`Entry.leading_bits`)."""


Size = Union[int, Dynamic, ToEnd, Delimited]
Count = Union[int, Dynamic]


# -- calibrations --------------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Polynomial:
    """Engineering value = sum(coefficients[k] * value ** k): float64."""

    coefficients: tuple[float, ...]

    def __post_init__(self) -> None:
        coefficients = tuple(float(c) for c in self.coefficients)
        if not coefficients:
            raise _fail("polynomial", "needs at least one coefficient")
        object.__setattr__(self, "coefficients", coefficients)


@dataclass(frozen=True)
class Spline:
    """Piecewise: `points` are (value, engineering value) pairs in strictly
    increasing value order. ``order=1`` interpolates linearly between them;
    ``order=0`` holds each point's engineering value up to the next point.
    A value outside the points fails its packet unless `extrapolate`, which
    extends the first and last pieces: float64."""

    points: tuple[tuple[float, float], ...]
    order: Literal[0, 1] = 1
    extrapolate: bool = False

    def __post_init__(self) -> None:
        points = tuple((float(x), float(y)) for x, y in self.points)
        if len(points) < 2:
            raise _fail("spline", f"needs at least two points, not {len(points)}")
        if any(b[0] <= a[0] for a, b in zip(points, points[1:])):
            raise _fail("spline", "its points must be in strictly increasing order of value")
        if self.order not in (0, 1):
            raise _fail("spline", f"order must be 0 or 1, not {self.order!r}")
        object.__setattr__(self, "points", points)


@dataclass(frozen=True)
class Enumeration:
    """A code to a label: str. A code with no label fails its packet, unless
    `other` gives the label for every such code."""

    labels: Mapping[int, str]
    other: str | None = None

    def __post_init__(self) -> None:
        labels = tuple(sorted((int(code), str(label)) for code, label in dict(self.labels).items()))
        object.__setattr__(self, "labels", dict(labels))

    def __hash__(self) -> int:
        return hash((tuple(self.labels.items()), self.other))


@dataclass(frozen=True)
class Boolean:
    """0 is False, any other value True: bool."""


@dataclass(frozen=True)
class Time:
    """An absolute time: `epoch` + (value * scale + offset) seconds, as
    datetime64[ns]. The epoch is an ISO 8601 text without a zone; the time
    scale is the epoch's (no leap seconds are inserted)."""

    epoch: str = CCSDS_EPOCH
    scale: float = 1.0
    offset: float = 0.0


@dataclass(frozen=True)
class CUC:
    """CCSDS unsegmented time code: `coarse` bytes of whole seconds, then
    `fine` bytes of binary fraction of a second, read as one unsigned field
    of 8 * (coarse + fine) bits (at most 64), from `epoch`: datetime64[ns]."""

    coarse: int = 4
    fine: int = 2
    epoch: str = CCSDS_EPOCH

    def __post_init__(self) -> None:
        _whole(self.coarse, "coarse bytes", "CUC", minimum=1)
        _whole(self.fine, "fine bytes", "CUC")
        if self.coarse > 4 or self.fine > 3:
            raise _fail("CUC", f"has 1 to 4 coarse and 0 to 3 fine bytes, not {self.coarse} and {self.fine}")

    @property
    def bits(self) -> int:
        return 8 * (self.coarse + self.fine)


@dataclass(frozen=True)
class CDS:
    """CCSDS day-segmented time code: days (`day_bits` 16 or 24), then
    milliseconds of the day (32 bits), then `submillisecond_bits` (0, or 16
    for microseconds), read as one unsigned field of at most 64 bits, from
    `epoch`: datetime64[ns]."""

    day_bits: Literal[16, 24] = 16
    submillisecond_bits: Literal[0, 16] = 0
    epoch: str = CCSDS_EPOCH

    def __post_init__(self) -> None:
        if self.day_bits not in (16, 24) or self.submillisecond_bits not in (0, 16):
            raise _fail("CDS", f"has 16 or 24 day bits and 0 or 16 submillisecond bits, not "
                               f"{self.day_bits!r} and {self.submillisecond_bits!r}")
        if self.bits > 64:
            raise _fail("CDS", f"of {self.bits} bits does not fit the 64 bits of one field")

    @property
    def bits(self) -> int:
        return self.day_bits + 32 + self.submillisecond_bits


@dataclass(frozen=True)
class Contextual:
    """A calibration chosen per packet: the first of `cases` whose condition
    holds (conditions on fields of the same packet type's chain), else
    `default`, else none (the value as a float64). Polynomials and splines
    only, so the column is float64 whichever applies."""

    cases: tuple[tuple[Condition, Polynomial | Spline], ...]
    default: Polynomial | Spline | None = None

    def __post_init__(self) -> None:
        cases = tuple((condition, calibration) for condition, calibration in self.cases)
        for condition, calibration in cases:
            if not isinstance(condition, (Comparison, AllOf, AnyOf)):
                raise _fail("contextual calibration",
                            f"conditions must be Comparison, AllOf or AnyOf, not {type(condition).__name__}")
            if not isinstance(calibration, (Polynomial, Spline)):
                raise _fail("contextual calibration",
                            f"calibrates with a Polynomial or a Spline, not {type(calibration).__name__}")
        if self.default is not None and not isinstance(self.default, (Polynomial, Spline)):
            raise _fail("contextual calibration",
                        f"calibrates with a Polynomial or a Spline, not {type(self.default).__name__}")
        object.__setattr__(self, "cases", cases)


Calibration = Union[Polynomial, Spline, Enumeration, Boolean, Time, CUC, CDS, Contextual]


# -- entries -------------------------------------------------------------------------------------------------------


@dataclass(frozen=True, repr=False)
class Entry:
    """One parameter of a packet.

    Position: with `offset` None the entry starts right after the previous
    entry (the first at the packet's start, or after its parent's entries);
    else `offset` bits from the packet's start (``relative_to="packet"``) or
    from the end of the previous entry (``relative_to="previous"``).

    Size: `bits`, an int, or a `Dynamic` size from an earlier field, or
    `ToEnd`; only text and binary entries may have a size that varies. A
    numeric entry is 1 to 64 bits wide at any bit; its value is the
    encoding's standalone decoder applied to its bits (for example
    ``decode_twos_complement(raw, bits)``). Little-endian numeric entries are
    a whole number of bytes wide: their bits are read in order, then the
    bytes of the value swapped. Text and binary entries start on a byte.

    Arrays: with `count` set (an int, or a `Dynamic` count from an earlier
    field), the entry is that many elements of `bits` bits each, one after
    another; numeric encodings only.

    Text content: with `terminator` (one code unit of the encoding, e.g.
    b"\\0"), the value is the text before the first terminator in the entry
    (all of it when there is none); with `leading_bits`, the entry starts with
    an unsigned big-endian size tag of that many bits (whole bytes) giving
    the content's size in bits. With ``bits=Delimited()`` the entry ends where its content
    does (after the terminator, or after the tagged content).

    Presence: with `condition`, the entry is in a packet only where the
    condition holds (on fields before it); elsewhere it takes no bits and its
    value is None.
    """

    name: str
    encoding: str = "unsigned"
    bits: Size = 8
    byte_order: Literal["big", "little"] = "big"
    offset: int | None = None
    relative_to: Literal["packet", "previous"] = "packet"
    count: Count | None = None
    calibration: Calibration | None = None
    unit: str | None = None
    description: str | None = None
    terminator: bytes | None = None
    leading_bits: int | None = None
    condition: Condition | None = None

    def __post_init__(self) -> None:
        owner = f"entry {self.name!r}" if isinstance(self.name, str) else "entry"
        if not isinstance(self.name, str) or not self.name:
            raise _fail(owner, "its name must be a non-empty str")
        if self.encoding not in ENCODINGS:
            raise _fail(owner, f"encoding must be one of {', '.join(ENCODINGS)}; not {self.encoding!r}")
        if self.byte_order not in ("big", "little"):
            raise _fail(owner, f"byte_order must be 'big' or 'little', not {self.byte_order!r}")
        if self.relative_to not in ("packet", "previous"):
            raise _fail(owner, f"relative_to must be 'packet' or 'previous', not {self.relative_to!r}")
        if self.offset is not None:
            _whole(self.offset, "offset", owner)
        numeric = self.numeric
        if isinstance(self.bits, (Dynamic, ToEnd, Delimited)):
            if numeric:
                raise _fail(owner, "only text and binary entries may have a size that varies")
        else:
            _whole(self.bits, "bits", owner, minimum=1)
            if self.encoding == QUAD_ENCODING and self.bits != 128:
                raise _fail(owner, f"an ieee754_f128 entry is 128 bits wide, not {self.bits}")
            if numeric and self.bits > 64 and self.encoding != QUAD_ENCODING:
                raise _fail(owner, f"a numeric entry is 1 to 64 bits wide, not {self.bits}")
        self._check_content(owner)
        if self.condition is not None and not isinstance(self.condition, (Comparison, AllOf, AnyOf)):
            raise _fail(owner, f"condition must be a Comparison, AllOf or AnyOf, not {type(self.condition).__name__}")
        if numeric and self.byte_order == "little" and isinstance(self.bits, int) and self.bits % 8:
            raise _fail(owner, f"a little-endian entry is a whole number of bytes wide, not {self.bits} bits")
        if self.count is not None:
            if not numeric:
                raise _fail(owner, "only numeric entries may be arrays")
            if not isinstance(self.count, Dynamic):
                _whole(self.count, "count", owner)
        if self.calibration is not None:
            self._check_calibration(owner, numeric)

    def _check_content(self, owner: str) -> None:
        if self.terminator is None and self.leading_bits is None:
            if isinstance(self.bits, Delimited):
                raise _fail(owner, "a Delimited size needs a terminator or leading_bits")
            return
        if self.encoding not in TEXT_ENCODINGS:
            raise _fail(owner, "only text entries have a terminator or a leading size")
        if self.terminator is not None:
            if not isinstance(self.terminator, bytes):
                raise _fail(owner, f"terminator must be bytes, not {type(self.terminator).__name__}")
            unit = CODE_UNIT_BYTES.get(self.encoding, 1)
            if len(self.terminator) != unit:
                raise _fail(owner, f"terminator must be one {self.encoding} code unit of {unit} byte(s), "
                                   f"not {len(self.terminator)}")
        if self.leading_bits is not None:
            _whole(self.leading_bits, "leading_bits", owner, minimum=1)
            if self.leading_bits > 64 or self.leading_bits % 8:
                raise _fail(owner, f"leading_bits is 8, 16, ... or 64 (the text after the tag starts on a byte), "
                                   f"not {self.leading_bits}")

    def _check_calibration(self, owner: str, numeric: bool) -> None:
        calibration = self.calibration
        if not isinstance(calibration, (Polynomial, Spline, Enumeration, Boolean, Time, CUC, CDS, Contextual)):
            raise _fail(owner, f"calibration must be a Polynomial, Spline, Enumeration, Boolean, Time, CUC, CDS or "
                               f"Contextual, not {type(calibration).__name__}")
        if not numeric:
            raise _fail(owner, "only numeric entries are calibrated")
        if isinstance(calibration, Enumeration | Boolean | CUC | CDS) and self.encoding not in INTEGER_ENCODINGS + BCD_ENCODINGS:
            raise _fail(owner, f"a {type(calibration).__name__} calibration needs an integer encoding, not {self.encoding}")
        if isinstance(calibration, CUC | CDS):
            if self.encoding != "unsigned" or self.bits != calibration.bits:
                raise _fail(owner, f"a {type(calibration).__name__} time code is an unsigned field of "
                                   f"{calibration.bits} bits, not {self.encoding} of {self.bits}")

    __repr__ = _short_repr

    @property
    def numeric(self) -> bool:
        return self.encoding in NUMERIC_ENCODINGS or self.encoding == QUAD_ENCODING

    @property
    def fixed_size(self) -> bool:
        """Whether every packet gives this entry the same number of bits."""
        return isinstance(self.bits, int) and not isinstance(self.count, Dynamic) and self.condition is None


# -- conditions ----------------------------------------------------------------------------------------------------


@dataclass(frozen=True, repr=False)
class Comparison:
    """`field` `op` `value`: the field's engineering value (a label for an
    enumeration, True/False for a boolean, the calibrated number), or its
    uncalibrated value with ``raw=True``. Text and time fields cannot be
    compared."""

    field: str
    op: Operator
    value: int | float | str | bool
    raw: bool = False

    def __post_init__(self) -> None:
        if self.op not in OPERATORS:
            raise _fail(f"condition on {self.field!r}", f"op must be one of {', '.join(OPERATORS)}; not {self.op!r}")
        if not isinstance(self.value, (int, float, str)):
            raise _fail(f"condition on {self.field!r}",
                        f"compares with an int, float, bool or label, not {type(self.value).__name__}")

    __repr__ = _short_repr


@dataclass(frozen=True)
class AllOf:
    """Every condition holds (an empty AllOf always holds)."""

    conditions: tuple[Condition, ...]

    def __post_init__(self) -> None:
        object.__setattr__(self, "conditions", tuple(self.conditions))


@dataclass(frozen=True)
class AnyOf:
    """At least one condition holds (an empty AnyOf never holds)."""

    conditions: tuple[Condition, ...]

    def __post_init__(self) -> None:
        object.__setattr__(self, "conditions", tuple(self.conditions))


Condition = Union[Comparison, AllOf, AnyOf]


def condition_fields(condition: Condition) -> Iterable[str]:
    """The field names a condition reads."""
    if isinstance(condition, Comparison):
        yield condition.field
    else:
        for inner in condition.conditions:
            yield from condition_fields(inner)


# -- packet types --------------------------------------------------------------------------------------------------


@dataclass(frozen=True, repr=False)
class PacketType:
    """A kind of packet: its entries in order, and the conditions that pick
    its packets (all must hold). With `base`, the entries follow the named
    parent's and the conditions add to the parent's. An abstract type only
    serves as a parent: a packet is never of it."""

    name: str
    entries: tuple[Entry, ...] = ()
    conditions: tuple[Condition, ...] = ()
    base: str | None = None
    abstract: bool = False
    description: str | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str) or not self.name:
            raise DefinitionError("packet type: its name must be a non-empty str")
        object.__setattr__(self, "entries", tuple(self.entries))
        object.__setattr__(self, "conditions", tuple(self.conditions))
        for entry in self.entries:
            if not isinstance(entry, Entry):
                raise _fail(f"packet type {self.name!r}", f"entries must be Entry objects, not {type(entry).__name__}")
        for condition in self.conditions:
            if not isinstance(condition, (Comparison, AllOf, AnyOf)):
                raise _fail(f"packet type {self.name!r}",
                            f"conditions must be Comparison, AllOf or AnyOf, not {type(condition).__name__}")

    __repr__ = _short_repr


def ccsds_primary_header() -> tuple[Entry, ...]:
    """The six-byte CCSDS space packet primary header as entries."""
    return (
        Entry("version", bits=3),
        Entry("type", bits=1),
        Entry("secondary_header_flag", bits=1),
        Entry("apid", bits=11),
        Entry("sequence_flags", bits=2),
        Entry("sequence_count", bits=14),
        Entry("packet_data_length", bits=16),
    )


__all__ = [
    "AllOf", "AnyOf", "Boolean", "CCSDS_EPOCH", "CDS", "CUC", "Calibration", "Comparison", "Condition", "Contextual",
    "Count", "DefinitionError", "Delimited", "Dynamic", "ENCODINGS", "Entry", "Enumeration", "PacketType", "Polynomial", "Size", "Spline",
    "Time", "ToEnd", "ccsds_primary_header", "condition_fields",
]
