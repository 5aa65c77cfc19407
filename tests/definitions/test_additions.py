"""Model additions the loaders make (text content ends, entries present under
a condition, contextual calibrations, quad floats): decoded like the
reference, per packet and in a batch."""
import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import reference
from fieldloom_batch.definitions import (AllOf, AnyOf, Comparison, Contextual, DefinitionError, Definitions, Delimited,
                                         Dynamic, Entry, Enumeration, PacketError, PacketType, Polynomial, Spline)
from test_properties import check_decoded, same, slow

def check_against_reference(types, packets):
    """Every packet alone (unpack) and all of them in one recording (decode)."""
    chains = reference.chains(types)
    definitions = Definitions(types)
    for packet in packets:
        try:
            name, values, raws, _ = reference.unpack(chains, packet)
        except reference.Refusal as refusal:
            with pytest.raises(PacketError) as raised:
                definitions.unpack(packet)
            assert raised.value.reason == refusal.reason, (packet, str(raised.value))
            if refusal.reason == reference.BAD_VALUE:  # for the same entry
                assert raised.value.message.startswith(refusal.message.split(":")[0].removeprefix("entry ")), (
                    raised.value.message, refusal.message)
            continue
        got_name, got = definitions.unpack(packet)
        assert got_name == name and list(got) == list(values)
        for field, value in values.items():
            assert same(got[field], value), (field, got[field], value)
    offsets = np.cumsum([0] + [len(p) for p in packets[:-1]])
    buffer = b"".join(packets)
    options = {"offsets": offsets, "lengths": [len(p) for p in packets]}
    decoded = definitions.decode(buffer, errors="skip", **options)
    check_decoded(types, decoded, reference.decode(types, buffer, **options))
    for refused in decoded.refused:  # the batch says why as the packet alone does
        with pytest.raises(PacketError) as raised:
            definitions.unpack(packets[refused.index])
        assert raised.value.message == refused.message


TEXT_UNITS = {"utf8": 1, "us_ascii": 1, "utf16be": 2, "utf16le": 2, "utf32be": 4}


@st.composite
def text_entries(draw):
    encoding = draw(st.sampled_from(sorted(TEXT_UNITS)))
    unit = TEXT_UNITS[encoding]
    leading = draw(st.sampled_from([None, 8, 16, 32]))
    terminator = draw(st.sampled_from([None, b"\0" * unit, b"\x7f" * unit]))
    if leading is None and terminator is None:
        leading = 8
    bits = draw(st.sampled_from([Delimited(), 8 * unit * draw(st.integers(1, 6)), Dynamic("n", unit="bytes")]))
    return Entry("text", encoding, bits, leading_bits=leading, terminator=terminator)


@st.composite
def text_packets(draw, entry):
    """Packets of n, the text entry, and a trailing byte: mostly well formed,
    sometimes with a size tag or terminator out of place."""
    unit = TEXT_UNITS[entry.encoding]
    chars = draw(st.text(st.characters(min_codepoint=0x20, max_codepoint=0x7e), max_size=5))
    body = chars.encode({"utf16be": "utf-16-be", "utf16le": "utf-16-le", "utf32be": "utf-32-be"}.get(entry.encoding,
                                                                                                 "ascii"))
    if entry.leading_bits is not None:
        size = draw(st.sampled_from([len(body) * 8, len(body) * 8 + 3, len(body) * 8 + 64]))
        body = size.to_bytes(entry.leading_bits // 8, "big") + body
    elif draw(st.booleans()):
        body += entry.terminator
    body += draw(st.binary(max_size=3 * unit))
    n = draw(st.sampled_from([len(body), max(len(body) - unit, 0), len(body) + 4]))
    return bytes([n]) + body + draw(st.binary(max_size=2))


@slow
@given(st.data())
def test_text_content_equals_the_reference(data):
    entry = data.draw(text_entries())
    types = [PacketType("p", (Entry("n"), entry, Entry("after", bits=8, offset=8, relative_to="previous")))]
    check_against_reference(types, [data.draw(text_packets(entry)) for _ in range(4)])


@pytest.mark.parametrize("entry, packet, reason, words", [
    (Entry("text", "utf8", Delimited(), terminator=b"\0"), b"abc", "too short", "no terminator"),
    (Entry("text", "utf8", Delimited(), leading_bits=16), b"\x00\x0babc", "bad size", "11 bits from its size tag"),
    (Entry("text", "utf8", Delimited(), leading_bits=8), b"\x20abc", "too short", "32 bits from its size tag"),
    (Entry("text", "utf8", 32, leading_bits=8), b"\x20abc", "too short", "32 bits from its size tag"),
], ids=["no terminator", "tag of odd bits", "tag past the packet", "tag past the entry"])
def test_text_content_refusals(entry, packet, reason, words):
    with pytest.raises(PacketError, match=words) as raised:
        Definitions([PacketType("p", (entry,))]).unpack(packet)
    assert raised.value.reason == reason


OPS = st.sampled_from(["==", "!=", "<", ">="])


@st.composite
def conditional_types(draw):
    """A header byte, then entries present under conditions on it (numbers,
    arrays, calibrated, text, placed after the previous entry or at an
    offset), then an entry that follows them."""
    condition = Comparison("flag", draw(OPS), draw(st.integers(0, 3)))
    if draw(st.booleans()):
        condition = AnyOf((condition, Comparison("flag", "==", draw(st.integers(0, 3)))))
    shapes = [
        Entry("a", bits=draw(st.integers(1, 20)), condition=condition),
        Entry("b", "twos_complement", 12, count=2, condition=Comparison("flag", "<", 2)),
        Entry("c", bits=16, calibration=Polynomial((1.5, 0.25)), condition=Comparison("flag", ">", 0)),
        Entry("d", "utf8", Dynamic("flag", unit="bytes"), condition=Comparison("flag", "!=", 2)),
        Entry("e", bits=7, offset=draw(st.integers(0, 9)), relative_to="previous", condition=condition),
    ]
    chosen = draw(st.lists(st.sampled_from(shapes), min_size=1, max_size=4, unique_by=lambda e: e.name))
    if any(e.encoding == "utf8" for e in chosen):
        chosen = [e for e in chosen if e.encoding == "utf8"] + [e for e in chosen if e.encoding != "utf8"]
    entries = (Entry("flag", bits=8), *chosen, Entry("after", bits=5))
    return [PacketType("p", entries, (AnyOf((Comparison("a", "!=", 1000), Comparison("flag", ">=", 0))),)
                       if chosen[0].name == "a" else ())]


@slow
@given(conditional_types(), st.lists(st.binary(min_size=1, max_size=12), min_size=1, max_size=6))
def test_conditional_entries_equal_the_reference(types, bodies):
    check_against_reference(types, [bytes([b[0] % 4]) + b[1:] for b in bodies])


@st.composite
def contextual_types(draw):
    """A mode (raw, or through an enumeration, a polynomial or a spline that
    fails for 3), a value or an array of them calibrated by the first case
    whose condition on the mode and a flag after it holds, and the flag."""
    mode_calibration = draw(st.sampled_from([None, Enumeration({0: "OFF", 1: "ON"}, other="ELSE"), Polynomial((1, 2)),
                                             Spline(((0.0, 0.0), (2.0, 5.0)))]))
    compared = ["OFF", "ON", "ELSE"] if isinstance(mode_calibration, Enumeration) else [0, 1, 2, 3.5]
    comparisons = st.builds(Comparison, st.just("mode"), st.sampled_from(["==", "!="]) if isinstance(
        mode_calibration, Enumeration) else OPS, st.sampled_from(compared)) | st.builds(
        Comparison, st.just("flag"), OPS, st.integers(0, 3))
    conditions = comparisons | st.builds(AllOf, st.tuples(comparisons, comparisons)) | st.builds(
        AnyOf, st.tuples(comparisons, comparisons))
    calibrations = st.one_of(
        st.builds(Polynomial, st.lists(st.floats(-10, 10), min_size=1, max_size=3)),
        st.builds(Spline, st.just(((0.0, 1.0), (100.0, -3.0))), st.sampled_from([0, 1]), st.booleans()))
    contextual = Contextual(tuple(draw(st.lists(st.tuples(conditions, calibrations), max_size=3))),
                            draw(st.none() | calibrations))
    count = draw(st.sampled_from([None, None, 2, Dynamic("mode")]))
    value = Entry("value", draw(st.sampled_from(["unsigned", "twos_complement", "ieee754_f16", "packed_bcd"])), 16,
                  count=count, calibration=contextual)
    mode = Entry("mode", bits=8, calibration=mode_calibration)
    first = (mode, value) if isinstance(count, Dynamic) or draw(st.booleans()) else (value, mode)
    return [PacketType("p", (*first, Entry("flag", bits=4)))]


@slow
@given(contextual_types(), st.lists(st.binary(min_size=3, max_size=9), min_size=1, max_size=6))
def test_contextual_calibrations_equal_the_reference(types, bodies):
    """Per row, the case the reference picks, also for arrays and where a
    calibration or a compared value fails."""
    value = types[0].entries[1] if types[0].entries[0].name == "mode" else types[0].entries[0]
    at = 0 if types[0].entries[0].name == "mode" else 2 * (value.count or 1)
    check_against_reference(types, [b[:at] + bytes([b[at] % 4]) + b[at + 1:] if len(b) > at else b for b in bodies])


def test_a_contextual_calibration_under_a_condition_is_refused():
    value = Entry("v", calibration=Contextual((), Polynomial((1.0,))), condition=Comparison("mode", "==", 1))
    with pytest.raises(DefinitionError, match="'v': a contextual calibration needs a value in every packet, not an "
                                              "entry under a condition"):
        Definitions([PacketType("p", (Entry("mode"), value))])


def test_a_value_that_fails_its_calibration_picks_no_case():
    """A compared value that does not calibrate holds no comparison (!=
    neither): the packet fails for it, not for a case it would pick."""
    value = Entry("value", calibration=Contextual(((Comparison("mode", "!=", 1.0), Spline(((0, 0), (1, 1)))),),
                                                  Polynomial((0.0, 2.0))))
    definitions = Definitions([PacketType("p", (value, Entry("mode", calibration=Spline(((0, 0), (2, 5))))))])
    message = "'mode' value 3.0 is outside its spline points [0.0, 2.0]"
    assert [r.message for r in definitions.decode(b"\x09\x03" * 2, stride=2, errors="skip").refused] == [message] * 2
    with pytest.raises(PacketError, match=message.replace("[", r"\[")):
        definitions.unpack(b"\x09\x03")


@pytest.mark.parametrize("threads", [1, 3])
def test_contextual_cases_in_threads(threads):
    """Runs of a mode split over threads: each run starts afresh, not from
    the row before it in another thread."""
    value = Entry("value", bits=8, count=2, calibration=Contextual(((Comparison("mode", "==", 1),
                                                                     Polynomial((0.0, -1.0))),), Polynomial((5.0,))))
    modes = (np.arange(5000) // 7 % 2).astype(np.uint8)
    raws = np.arange(10000).reshape(5000, 2).astype(np.uint8)
    recording = np.column_stack([modes, raws]).tobytes()
    table = Definitions([PacketType("p", (Entry("mode"), value))]).decode(recording, stride=3, threads=threads).tables["p"]
    assert table.columns["value"].tolist() == np.where(modes[:, None] == 1, -raws.astype(float), 5.0).tolist()


@st.composite
def quad_types(draw):
    """A quad, or a fixed or counted array of them, at any bit, either byte
    order, maybe calibrated; a single one maybe compared."""
    count = draw(st.sampled_from([None, None, 0, 1, 3, Dynamic("head")]))
    at_offset = not isinstance(count, Dynamic) and draw(st.booleans())
    quad = Entry("quad", "ieee754_f128", 128, draw(st.sampled_from(["big", "little"])),
                 offset=draw(st.integers(0, 12)) if at_offset else None, count=count,
                 calibration=draw(st.none() | st.just(Polynomial((0.5, -2.0)))))
    conditions = (Comparison("quad", draw(OPS), draw(st.sampled_from([0, 1.0, -2.5, 1e300]))),) if (
        count is None and draw(st.booleans())) else ()
    entries = (Entry("head", bits=draw(st.integers(2, 7))), quad, Entry("after", bits=3))
    return [PacketType("p", entries[1:] if quad.offset is not None else entries, conditions)]


# Quads that hit the rule's edges: ones, negative zero, tiny, huge, infinite, NaN, subnormal-bound.
QUADS = st.sampled_from([0x3FFF << 112, 0xBFFF << 112, 1 << 127, 1, 0x7FFF << 112, (0x7FFF << 112) | 1,
                         0x43FF << 112, 0x3C00 << 112, 0x4000_8000_0000_0000_1 << 40]) | st.integers(0, (1 << 128) - 1)


@slow
@given(quad_types(), st.lists(st.tuples(st.integers(0, 3), st.lists(QUADS, min_size=4, max_size=4),
                                        st.integers(0, 99)), min_size=1, max_size=5))
def test_quads_equal_the_reference(types, parts):
    """Packets of a count, then quads from the entry's bit, cut short sometimes."""
    first, *_ = entries = types[0].entries
    start = first.offset if first.name == "quad" else first.bits
    packets = []
    for head, values, cut in parts:
        writer = reference.Writer()
        if first.name == "head":
            writer.put(0, first.bits, head)
        for i, value in enumerate(values):
            writer.put(start + 128 * i, 128, value)
        packet = writer.to_bytes()
        packets.append(packet[:len(packet) - (cut - 70)] if cut > 70 else packet)
    check_against_reference(types, packets)


@pytest.mark.parametrize("calibration", [Polynomial((3.0, 100.0)), Enumeration({2: "TWO"}), Spline(((0, 9), (1, 9)))],
                         ids=["polynomial", "enumeration", "spline that fails"])
def test_sizes_and_counts_read_the_value_before_calibration(calibration):
    n = Entry("n", bits=8, calibration=calibration)
    types = [PacketType("p", (n, Entry("data", "binary", Dynamic("n", unit="bytes")), Entry("xs", bits=4,
                                                                                          count=Dynamic("n"))))]
    check_against_reference(types, [b"\x02ab\x12", b"\x01a\x30", b"\x02abc\x45"])
    if not isinstance(calibration, Spline):
        assert Definitions(types).unpack(b"\x02ab\x12")[1]["data"] == b"ab"
