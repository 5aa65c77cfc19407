"""Packet types written as XTCE read back equal: random types from every
part of the model XTCE can say, and the writer's refusals of what it cannot."""
from __future__ import annotations

import dataclasses
import os

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from fieldloom_batch.definitions.model import (CDS, CUC, AllOf, AnyOf, Boolean, Comparison, Condition, Contextual,
                                               DefinitionError, Delimited, Dynamic, Entry, Enumeration, PacketType,
                                               Polynomial, Spline, Time, ToEnd)
from fieldloom_batch.loaders import read_xtce, write_xtce
from fieldloom_batch.loaders.xtce_writer import CHARSET_NAMES

finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
text = st.text(st.characters(min_codepoint=33, max_codepoint=0x2FFF, exclude_categories=("Cs",)), min_size=1,
               max_size=8)
CODE_UNITS = {"utf16": 2, "utf16be": 2, "utf16le": 2, "utf32": 4, "utf32be": 4, "utf32le": 4}


def polynomials() -> st.SearchStrategy[Polynomial]:
    return st.lists(finite, min_size=1, max_size=4).map(lambda c: Polynomial(tuple(c)))


def splines() -> st.SearchStrategy[Spline]:
    return st.builds(lambda xs, ys, order, extrapolate: Spline(tuple(zip(sorted(xs), ys)), order, extrapolate),
                     st.sets(finite, min_size=2, max_size=4), st.lists(finite, min_size=4, max_size=4),
                     st.sampled_from([0, 1]), st.booleans())


@st.composite
def numeric(draw: st.DrawFn, name: str, earlier: list[Entry]) -> Entry:
    kind = draw(st.sampled_from(["integer", "bcd", "float"]))
    if kind == "float":
        bits = draw(st.sampled_from([16, 32, 64, 128]))
        encoding = f"ieee754_f{bits}"
    elif kind == "bcd":
        encoding, bits = draw(st.sampled_from(["packed_bcd", "unpacked_bcd"])), draw(st.integers(8, 64))
    else:
        encoding = draw(st.sampled_from(["unsigned", "twos_complement", "ones_complement", "sign_magnitude"]))
        bits = draw(st.integers(1, 64))
    order = draw(st.sampled_from(["big", "little"])) if bits % 8 == 0 else "big"
    integral = kind != "float"
    choices = [st.none(), polynomials(), splines(), st.builds(Time, st.sampled_from(
        ["1958-01-01T00:00:00", "2000-01-01T11:59:27.816", "1970-01-01"]), finite, finite)]
    if integral:
        choices += [st.builds(Boolean), st.dictionaries(st.integers(0, 100), text, min_size=1, max_size=4).map(
            Enumeration)]
    fields = earlier_numbers(earlier)
    if fields:
        choices.append(st.builds(Contextual, st.lists(st.tuples(conditions(earlier), polynomials() | splines()),
                                                      min_size=1, max_size=2).map(tuple),
                                 st.none() | polynomials()))
    calibration = draw(st.one_of(choices))
    count = draw(st.none() | st.integers(0, 4) | counts(earlier)) if not isinstance(calibration, Time) else None
    unit = draw(st.none() | text) if not isinstance(calibration, Time) else None
    return Entry(name, encoding, bits, order, count=count, calibration=calibration, unit=unit,
                 description=draw(st.none() | text))


def earlier_numbers(earlier: list[Entry]) -> list[Entry]:
    return [entry for entry in earlier if entry.numeric and entry.count is None and entry.encoding in (
        "unsigned", "twos_complement") and entry.calibration is None]


def counts(earlier: list[Entry]) -> st.SearchStrategy[Dynamic]:
    fields = earlier_numbers(earlier)
    if not fields:
        return st.nothing()
    return st.builds(Dynamic, st.sampled_from([entry.name for entry in fields]), st.integers(-3, 3),
                     st.integers(-8, 8), st.sampled_from(["bits", "bytes"]))


@st.composite
def texts(draw: st.DrawFn, name: str, earlier: list[Entry]) -> Entry:
    encoding = draw(st.sampled_from(sorted(CHARSET_NAMES) + ["binary"]))
    size = draw(st.integers(1, 16).map(lambda n: 8 * n) | counts(earlier) | st.just(Delimited()))
    terminator = leading = None
    if encoding != "binary":
        if draw(st.booleans()) or isinstance(size, Delimited):
            if draw(st.booleans()):
                terminator = draw(st.binary(min_size=CODE_UNITS.get(encoding, 1), max_size=CODE_UNITS.get(encoding, 1)))
            else:
                leading = draw(st.sampled_from([8, 16, 24, 32]))
    elif isinstance(size, Delimited):
        size = 8
    return Entry(name, encoding, size, terminator=terminator, leading_bits=leading, description=draw(st.none() | text))


def comparable(earlier: list[Entry]) -> list[Entry]:
    return [entry for entry in earlier if entry.numeric and entry.count is None
            and not isinstance(entry.calibration, Time)]


@st.composite
def comparisons(draw: st.DrawFn, earlier: list[Entry]) -> Comparison:
    entry = draw(st.sampled_from(comparable(earlier)))
    raw = draw(st.booleans())
    op = draw(st.sampled_from(["==", "!=", "<", "<=", ">", ">="]))
    if not raw and isinstance(entry.calibration, Enumeration):
        return Comparison(entry.name, draw(st.sampled_from(["==", "!="])),
                          draw(st.sampled_from(sorted(entry.calibration.labels.values()))))
    if not raw and isinstance(entry.calibration, Boolean):
        return Comparison(entry.name, op, draw(st.booleans()))
    return Comparison(entry.name, op, draw(st.integers(-1000, 1000) | finite), raw=raw)


def conditions(earlier: list[Entry]) -> st.SearchStrategy[Condition]:
    if not comparable(earlier):
        return st.nothing()
    return st.recursive(comparisons(earlier), lambda inner: st.builds(
        AllOf, st.lists(inner, max_size=3).map(tuple)) | st.builds(AnyOf, st.lists(inner, max_size=3).map(tuple)),
        max_leaves=4)


@st.composite
def packet_types(draw: st.DrawFn) -> list[PacketType]:
    types: list[PacketType] = []
    entries_of: dict[str, list[Entry]] = {}
    serial = 0
    for k in range(draw(st.integers(1, 4))):
        base = draw(st.none() | st.sampled_from([t.name for t in types])) if types else None
        earlier = list(entries_of.get(base, [])) if base else []
        own: list[Entry] = []
        for _ in range(draw(st.integers(0, 5))):
            serial += 1
            entry = draw(numeric(f"p{serial}", earlier) if draw(st.booleans()) else texts(f"p{serial}", earlier))
            offset = draw(st.none() | st.integers(0, 300))
            place = {} if offset is None else {"offset": offset, "relative_to": draw(st.sampled_from(
                ["packet", "previous"]))}
            condition = draw(st.none() | conditions(earlier)) if comparable(earlier) else None
            entry = dataclasses.replace(entry, condition=condition, **place)
            own.append(entry)
            earlier.append(entry)
        # XTCE restricts a container against the one it extends: conditions read the ancestors' fields
        inherited = entries_of[base] if base else []
        given_conditions = tuple(draw(st.lists(conditions(inherited), max_size=3))) if comparable(inherited) else ()
        types.append(PacketType(f"T{k}", tuple(own), given_conditions, base, draw(st.booleans()),
                                draw(st.none() | text)))
        entries_of[f"T{k}"] = earlier
    return types


def canonical(types: list[PacketType]) -> list[PacketType]:
    """What XTCE keeps: sizes in bits, ISO-8859-1 by its one name, several
    conditions of a type that are not all comparisons as one AllOf."""
    def entry(item: Entry) -> Entry:
        bits, count = item.bits, item.count
        if isinstance(bits, Dynamic):
            bits = Dynamic(bits.field, bits.slope * bits.bits_per_unit, bits.intercept * bits.bits_per_unit)
        if isinstance(count, Dynamic):
            count = Dynamic(count.field, count.slope, count.intercept)
        return dataclasses.replace(item, bits=bits, count=count, encoding="iso_8859_1" if item.encoding == "latin1"
                                   else item.encoding, relative_to=item.relative_to if item.offset is not None
                                   else "packet")

    def grouped(conditions: tuple[Condition, ...]) -> tuple[Condition, ...]:
        if len(conditions) > 1 and not all(isinstance(c, Comparison) for c in conditions):
            return (AllOf(conditions),)
        return conditions

    return [dataclasses.replace(t, entries=tuple(map(entry, t.entries)), conditions=grouped(t.conditions))
            for t in types]


# These run mostly Python (XML written and parsed), which the sanitizer
# stage's slower build does not test any further.
EXAMPLES = 12 if os.environ.get("FIELDLOOM_SANITIZER") else 60


@settings(max_examples=EXAMPLES, suppress_health_check=[HealthCheck.too_slow])
@given(packet_types())
@example([PacketType("T", (Entry("code", bits=2, calibration=Enumeration({0: "\xa0", 1: " on ", 2: "on"})),
                           Entry("a", bits=8, condition=Comparison("code", "==", "\xa0")),
                           Entry("b", bits=8, condition=Comparison("code", "!=", " on "))))])
def test_written_types_read_back_equal(types):
    # The labels: one that str.strip would empty, and two that only their spaces tell apart.
    assert read_xtce(write_xtce(types)) == canonical(types)


def test_written_document_file(tmp_path):
    types = [PacketType("P", (Entry("a", bits=3),))]
    data = write_xtce(types, tmp_path / "out.xml", name="Mission")
    assert (tmp_path / "out.xml").read_bytes() == data and b'name="Mission"' in data
    assert read_xtce(tmp_path / "out.xml") == types


@pytest.mark.parametrize("types, message", [
    ([PacketType("P", (Entry("a", "binary", ToEnd()),))], "entry 'a': XTCE has no binary size that runs to the end"),
    ([PacketType("P", (Entry("a", "utf8", ToEnd()),))], "entry 'a': XTCE has no text size that runs to the end"),
    ([PacketType("P", (Entry("t", bits=48, calibration=CUC(4, 2)),))], "entry 't': XTCE has no CUC time code"),
    ([PacketType("P", (Entry("t", bits=48, calibration=CDS()),))], "entry 't': XTCE has no CDS time code"),
    ([PacketType("P", (Entry("e", bits=4, calibration=Enumeration({1: "ON"}, other="?")),))],
     "entry 'e': XTCE has no label for every other code"),
    ([PacketType("P", (Entry("s", "packed_bcd_signed", 8),))], "entry 's': XTCE has no packed_bcd_signed encoding"),
    ([PacketType("P", (Entry("f", "ieee754_f32", 24),))], "entry 'f': XTCE has no ieee754_f32 encoding of 24 bits"),
    ([PacketType("P", (Entry("s", "utf8", 8, "little"),))], "entry 's': XTCE text and binary values have no byte"),
    ([PacketType("P", (Entry("s", "utf8", Delimited(), terminator=b"\0", leading_bits=8),))],
     "entry 's': XTCE's leading size makes a terminator meaningless"),
    ([PacketType("P", (Entry("a"),)), PacketType("Q", (Entry("a", bits=9),))],
     "entry 'a': XTCE gives a parameter one type, and two entries of this name differ"),
    ([PacketType("P/Q")], "packet type 'P/Q': an XTCE name has no"),
    ([PacketType("P", (Entry("t", bits=8, calibration=Time(), unit="s"),))], "entry 't': XTCE times have no unit"),
    ([PacketType("P", conditions=(Comparison("a", "==", 1),))], "packet type 'P': XTCE restricts a container only"),
])
def test_what_xtce_cannot_say(types, message):
    with pytest.raises(DefinitionError, match=message.replace("(", r"\(")):
        write_xtce(types)
