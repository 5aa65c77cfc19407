"""Definitions: the checks of a set of types, framing, identification, errors
and the census of the native engine; the per-packet path is the oracle of
the batch path."""
import pickle
import struct

import numpy as np
import pytest
from hypothesis import given, strategies as st

import fieldloom
from fieldloom_batch.definitions import (AllOf, AnyOf, Boolean, Comparison, DefinitionError, Definitions, Dynamic,
                                         Entry, Enumeration, PacketError, PacketType, Polynomial, Spline, ToEnd,
                                         ccsds_primary_header)

HEADER = PacketType("tm", ccsds_primary_header(), abstract=True)


def ccsds(apid, body, sequence=0):
    return struct.pack(">HHH", apid & 0x7FF, 0xC000 | sequence, len(body) - 1) + body


def bits(*fields):
    """Bytes of (width, value) fields, most significant first."""
    value = width_sum = 0
    for width, field in fields:
        value = (value << width) | (field & ((1 << width) - 1))
        width_sum += width
    assert width_sum % 8 == 0
    return value.to_bytes(width_sum // 8, "big")


HK = PacketType("hk", (
    Entry("flags", bits=3), Entry("mode", bits=5, calibration=Enumeration({1: "SAFE", 2: "NOMINAL"})),
    Entry("temp", "twos_complement", bits=12), Entry("volt", bits=20, calibration=Polynomial((0.5, 0.01))),
    Entry("counter", bits=16, byte_order="little"), Entry("clock", "packed_bcd", bits=8)),
    (Comparison("apid", "==", 5),), base="tm")
EVENT = PacketType("event", (
    Entry("n", bits=8), Entry("text", "utf8", bits=Dynamic("n", unit="bytes")),
    Entry("samples", "twos_complement", bits=4, count=Dynamic("n", slope=2)), Entry("tail", "binary", bits=ToEnd())),
    (Comparison("apid", "==", 6),), base="tm")
MIXED = Definitions([HEADER, HK, EVENT])


def hk_packet(mode=2, temp=-7, volt=1000, counter=0x1234, clock=0x42, extra=b""):
    return ccsds(5, bits((3, 5), (5, mode), (12, temp), (20, volt), (16, counter), (8, clock)) + extra)


def event_packet(text=b"abc", samples=(1, -2, 3, 0, 5, -8), tail=b"xyz", n=None):
    n = len(text) if n is None else n
    return ccsds(6, bytes([n & 0xFF]) + text + bits(*[(4, s) for s in samples]) + tail)


# -- definitions checked as a whole ---------------------------------------------------------------------------------


def entries(*items):
    return PacketType("t", tuple(items))


@pytest.mark.parametrize("types, message", [
    ([HEADER, HEADER], "two packet types are named 'tm'"),
    ([PacketType("a", base="zz")], "its base 'zz' is not one of the packet types"),
    ([PacketType("a", base="b"), PacketType("b", base="c"), PacketType("c", base="a")],
     "packet types 'a' -> 'b' -> 'c' -> 'a' form a cycle of inheritance"),
    ([HEADER, PacketType("x", (Entry("apid", bits=8),), base="tm")], "two entries are named 'apid' (one of them from 'tm')"),
    ([entries(Entry("a", bits=8), Entry("b", bits=8, offset=4))], "entries 'a' (bits 0 to 7) and 'b' (bits 4 to 11) overlap"),
    ([entries(Entry("n", bits=8), Entry("s", "binary", bits=Dynamic("n")), Entry("d", bits=4, offset=4))],
     "entries 'n' (bits 0 to 7) and 'd' (bits 4 to 7) overlap"),
    ([entries(Entry("t", "utf8", bits=16, offset=3))], "text entries start on a byte, but this one starts at bit 3"),
    ([entries(Entry("t", "utf8", bits=12))], "text entries are a whole number of bytes, not 12 bits"),
    ([entries(Entry("n", bits=3), Entry("a", bits=3, count=Dynamic("n")), Entry("b", "binary", bits=8))],
     "follows 'a', whose size in bits is not known to keep its end on a byte"),
    ([entries(Entry("b", "binary", bits=ToEnd()), Entry("x", bits=8))], "it follows 'b', which runs to the end of the packet"),
    ([entries(Entry("b", "binary", bits=Dynamic("n")), Entry("n", bits=8))], "its size comes from 'n', which is not an entry before it"),
    ([entries(Entry("f", "ieee754_f32", bits=32), Entry("b", "binary", bits=Dynamic("f")))], "which is not a single integer field"),
    ([entries(Entry("n", bits=8), Entry("b", "binary", bits=Dynamic("n", slope=2**62)))], "the slope of its size is beyond"),
    ([PacketType("t", (Entry("x", bits=8),), (Comparison("q", "==", 1),))], "there is no entry 'q' in the packet type or its bases"),
    ([PacketType("t", (Entry("x", "utf8", bits=8),), (Comparison("x", "==", 1),))], "only single numeric entries can be compared"),
    ([PacketType("t", (Entry("x", bits=8, calibration=Enumeration({1: "ON"})),), (Comparison("x", "==", 1),))],
     "an enumeration compares its labels"),
    ([PacketType("t", (Entry("x", bits=8, calibration=Enumeration({1: "ON"})),), (Comparison("x", "<", "ON"),))],
     "labels compare only with == and !=, not <"),
    ([PacketType("t", (Entry("x", bits=8, calibration=Enumeration({1: "ON"})),), (Comparison("x", "==", "OFF"),))],
     "'OFF' is not one of the enumeration's labels"),
    ([PacketType("t", (Entry("x", bits=8),), (Comparison("x", "==", "ON"),))], "a label compares only with an enumeration's value"),
    ([entries(Entry("n", bits=8), *[Entry(f"s{k}", "binary", bits=Dynamic("n")) for k in range(64)])],
     "it has 64 entries of variable size; at most 63 are decoded"),
    ([entries(Entry("x", bits=8, offset=2**63))], "it lies beyond 2**63 bits"),
])
def test_definition_errors(types, message):
    with pytest.raises(DefinitionError) as raised:
        Definitions(types)
    assert message in str(raised.value)


def test_an_abstract_type_without_descendants_and_conditions_on_ancestors_are_fine():
    definitions = Definitions([HEADER, PacketType("spare", base="tm", abstract=True), HK])
    assert list(definitions.concrete) == ["hk"]


# -- one packet, and the batch against it ---------------------------------------------------------------------------


def test_unpack_gives_calibrated_and_raw_values():
    assert MIXED.unpack(hk_packet())[1] | {} == {
        "version": 0, "type": 0, "secondary_header_flag": 0, "apid": 5, "sequence_flags": 3, "sequence_count": 0,
        "packet_data_length": 7, "flags": 5, "mode": "NOMINAL", "temp": -7, "volt": 10.5, "counter": 0x3412,
        "clock": 42}
    name, raw = MIXED.unpack(hk_packet(), raw=True)
    assert name == "hk" and raw["mode"] == 2 and raw["volt"] == 1000
    name, values = MIXED.unpack(event_packet())
    assert (name, values["text"], values["tail"]) == ("event", "abc", b"xyz")
    assert values["samples"].tolist() == [1, -2, 3, 0, 5, -8] and values["samples"].dtype == np.int8


def assert_rows_equal_unpack(definitions, recording, decoded, offsets, lengths):
    for name, table in decoded.tables.items():
        for row, (index, offset) in enumerate(zip(table.index, table.offset)):
            assert offset == offsets[index]
            found, values = definitions.unpack(recording[offset:offset + lengths[index]])
            assert found == name
            for column, value in values.items():
                cell = table.columns[column][row]
                assert np.array_equal(cell, value) if isinstance(value, np.ndarray) else cell == value, column


@given(st.lists(st.one_of(
    st.builds(hk_packet, st.integers(0, 31), st.integers(-2048, 2047), st.integers(0, 2**20 - 1),
              st.integers(0, 65535), st.integers(0, 255), st.binary(max_size=3)),
    st.builds(event_packet, st.binary(max_size=6), st.lists(st.integers(-8, 7), min_size=12, max_size=12),
              st.binary(max_size=4), st.one_of(st.none(), st.integers(0, 255))),
    st.builds(ccsds, st.integers(0, 2047), st.binary(min_size=1, max_size=8))), max_size=12), st.integers(1, 3))
def test_batch_rows_are_the_per_packet_values(packets, threads):
    recording = b"".join(packets)
    decoded = MIXED.decode(recording, errors="skip", threads=threads)
    offsets = np.cumsum([0] + [len(p) for p in packets]).tolist()
    lengths = [len(p) for p in packets]
    assert_rows_equal_unpack(MIXED, recording, decoded, offsets, lengths)
    refused = {item.index: item for item in decoded.refused}
    for index, packet in enumerate(packets):
        if index in refused:
            with pytest.raises(PacketError) as raised:
                MIXED.unpack(packet)
            assert (raised.value.reason, raised.value.message) == (refused[index].reason, refused[index].message)
    kept = sum(len(table.index) for table in decoded.tables.values())
    assert kept + len(decoded.refused) == decoded.census.packets == len(packets)
    assert decoded.census.refused == {reason: sum(item.reason == reason for item in decoded.refused)
                                      for reason in decoded.census.refused}


@given(st.data())
def test_fields_at_any_bit_equal_the_standalone_decoders(data):
    """Random widths at random positions, both byte orders: the raw bits by
    int.from_bytes, then fieldloom's scalar functions."""
    layout = data.draw(st.lists(st.tuples(st.integers(0, 11), st.sampled_from(["unsigned", "twos_complement",
                                                                                  "sign_magnitude", "ieee754_f16"]),
                                          st.integers(1, 8), st.booleans()), min_size=1, max_size=8))
    items, position = [], 0
    for k, (gap, encoding, nbytes, little) in enumerate(layout):
        width = 16 if encoding == "ieee754_f16" else 8 * nbytes if little else data.draw(st.integers(1, 64))
        items.append((Entry(f"f{k}", encoding, bits=width, byte_order="little" if little and width % 8 == 0 else "big",
                            offset=gap, relative_to="previous"), position + gap, width))
        position += gap + width
    definitions = Definitions([PacketType("p", tuple(entry for entry, _, _ in items))])
    packet = data.draw(st.binary(min_size=(position + 7) // 8, max_size=(position + 7) // 8 + 2))
    whole = int.from_bytes(packet, "big")
    _, values = definitions.unpack(packet)
    for entry, start, width in items:
        raw = (whole >> (8 * len(packet) - start - width)) & ((1 << width) - 1)
        if entry.byte_order == "little":
            raw = int.from_bytes(raw.to_bytes(width // 8, "big"), "little")
        expected = {"unsigned": lambda r, w: r, "twos_complement": fieldloom.decode_twos_complement,
                    "sign_magnitude": fieldloom.decode_sign_magnitude,
                    "ieee754_f16": lambda r, w: fieldloom.decode_ieee754_f16(r)}[entry.encoding](raw, width)
        assert values[entry.name] == expected or (expected != expected and values[entry.name] != values[entry.name])
    decoded = definitions.decode(packet * 3, stride=len(packet))
    for entry, _, _ in items:
        column = decoded.tables["p"].columns[entry.name]
        assert all(cell == values[entry.name] or cell != cell for cell in column)


# -- identification -------------------------------------------------------------------------------------------------


def test_the_deepest_concrete_type_whose_conditions_hold_takes_the_packet():
    base = PacketType("base", (Entry("kind", bits=8), Entry("sub", bits=8, calibration=Enumeration({1: "A", 2: "B"}))))
    types = [
        base,
        PacketType("low", conditions=(Comparison("kind", "<", 10),), base="base"),
        PacketType("low_a", conditions=(Comparison("sub", "==", "A"),), base="low"),
        PacketType("first", conditions=(AnyOf((Comparison("kind", "==", 3), Comparison("kind", ">=", 200))),),
                   base="low"),
        PacketType("second", conditions=(Comparison("kind", "==", 3),), base="low"),
        PacketType("half", conditions=(AllOf((Comparison("kind", "==", 4.5), Comparison("sub", "!=", "A"))),),
                   base="base"),
        PacketType("raw_b", conditions=(Comparison("sub", "==", 2, raw=True), Comparison("kind", "==", 12)),
                   base="base"),
    ]
    definitions = Definitions(types)
    cases = {b"\x01\x01": "low_a", b"\x03\x02": "first", b"\x03\x01": "low_a", b"\x05\x02": "low",
             b"\x0c\x02": "raw_b", b"\x0c\x01": "base", b"\x01": None, b"": None}
    decoded = definitions.decode(b"".join(cases), offsets=np.cumsum([0] + [len(p) for p in cases])[:-1],
                                 lengths=[len(p) for p in cases], errors="skip")
    found = {int(i): name for name, table in decoded.tables.items() for i in table.index}
    assert [found.get(i) for i in range(len(cases))] == list(cases.values())
    # the last two: a condition on a field outside the packet does not hold ("low" takes the one-byte packet,
    # not "low_a"), and then the entries do not fit
    assert [(item.index, item.reason) for item in decoded.refused] == [(6, "too short"), (7, "too short")]


@pytest.mark.parametrize("calibration, condition, holds", [
    (Polynomial((0.0, 0.5)), Comparison("x", ">", 100), [False, True]),
    (Spline(((0, 0), (100, 1000))), Comparison("x", "<", 700.0), [True, False]),  # 300 lies outside: fails
    (Boolean(), Comparison("x", "==", True), [True, True]),
    (None, Comparison("x", "<", 2**70), [True, True]),
    (None, Comparison("x", ">", 59.5), [True, True]),
    (None, Comparison("x", "!=", 60.0), [False, True]),
])
def test_comparisons_of_engineering_values(calibration, condition, holds):
    definitions = Definitions([PacketType("p", (Entry("x", bits=16, calibration=calibration),), (condition,))])
    decoded = definitions.decode(b"\x00\x3c\x01\x2c", stride=2, errors="skip")  # 60, 300
    assert [i not in {r.index for r in decoded.refused} for i in range(2)] == holds


# -- framing, errors and the census ---------------------------------------------------------------------------------


def recording_with_faults():
    return [hk_packet(), event_packet(), ccsds(9, b"\0\0"), event_packet(n=200), hk_packet(extra=b"\0\0\0"),
            hk_packet(clock=0xF1), event_packet(text=b"\xff\xfe"), hk_packet(mode=7), event_packet(n=128 + 3),
            ccsds(5, b"\0")]


EXPECTED_REASONS = {2: "no packet type", 3: "too short", 5: "bad value", 6: "bad value", 7: "bad value",
                    8: "too short", 9: "too short"}


@pytest.mark.parametrize("framing", ["ccsds", "prefix", "offsets", "lengths"])
def test_framings_find_the_same_packets(framing):
    packets = recording_with_faults()
    starts = np.cumsum([0] + [len(p) for p in packets])[:-1]
    if framing == "prefix":
        recording = b"".join(b"PRE" + p for p in packets)
        decoded = MIXED.decode(recording, prefix=3, errors="skip")
        starts = starts + 3 * np.arange(1, len(packets) + 1)
    else:
        recording = b"".join(packets)
        arguments = {"ccsds": {}, "offsets": {"offsets": starts},
                     "lengths": {"offsets": starts, "lengths": [len(p) for p in packets]}}[framing]
        decoded = MIXED.decode(recording, errors="skip", **arguments)
    assert {item.index: item.reason for item in decoded.refused} == EXPECTED_REASONS
    assert [item.offset for item in decoded.refused] == [starts[i] for i in EXPECTED_REASONS]
    assert decoded.tables["hk"].offset.tolist() == starts[[0, 4]].tolist()
    assert decoded.census.types == {"hk": 2, "event": 1}
    assert decoded.census.extra == {"hk": (1, 3), "event": (0, 0)}  # the event's tail runs to its end
    assert decoded.census.packets == len(packets)


def assert_same_decode(one, other):
    assert one.refused == other.refused and one.census == other.census
    for name, table in one.tables.items():
        twin = other.tables[name]
        assert np.array_equal(table.index, twin.index) and np.array_equal(table.offset, twin.offset), name
        for column in table.columns:
            assert list(map(repr, table.columns[column])) == list(map(repr, twin.columns[column])), (name, column)


def test_a_mix_that_changes_along_the_recording_decodes_alike_in_every_framing():
    """Thousands of packets of one type, then of the other, then all kinds
    mixed (no type, longer, too short, bad values), ending cut off: the scan
    that sizes each type's rows from the mix so far agrees with the threaded
    path and with caller-given places."""
    kinds = {"hk": hk_packet(), "longer": hk_packet(extra=b"\1\2"), "event": event_packet(),
             "none": ccsds(9, b"\0\0"), "short": ccsds(5, b"\0"), "bad": hk_packet(clock=0xF1)}
    rng = np.random.default_rng(22)
    packets = [kinds["hk"]] * 6000 + [kinds["event"]] * 9000
    packets += [kinds[k] for k in rng.choice(list(kinds), 9000)]
    recording = b"".join(packets) + kinds["hk"][:5]
    starts = np.cumsum([0] + [len(p) for p in packets])[:-1]
    one = MIXED.decode(recording, errors="skip")
    assert one.census.extra["hk"] == (sum(p is kinds["longer"] for p in packets), 2 * sum(p is kinds["longer"] for p in packets))
    assert one.refused[-1].reason == "cut off" and len(one.tables["event"].index) > 10000
    assert_same_decode(one, MIXED.decode(recording, errors="skip", threads=2))
    given_places = MIXED.decode(recording[:-5], errors="skip", offsets=starts, lengths=[len(p) for p in packets])
    assert one.refused[:-1] == given_places.refused and one.census.types == given_places.census.types
    prefixed = MIXED.decode(b"".join(b"PRE" + p for p in packets + [kinds["hk"][:5]]), errors="skip", prefix=3)
    assert prefixed.census == one.census
    shift = 3 * np.arange(1, len(packets) + 2)
    assert [(item.index, item.offset, item.reason) for item in prefixed.refused] == [
        (item.index, item.offset + shift[item.index], item.reason) for item in one.refused]
    assert all(np.array_equal(table.offset, one.tables[name].offset + shift[one.tables[name].index])
               for name, table in prefixed.tables.items())


def test_messages_name_the_entry_and_the_cause():
    decoded = MIXED.decode(b"".join(recording_with_faults()), errors="skip")
    messages = {item.index: item.message for item in decoded.refused}
    assert messages == {
        2: "no packet type matches it",
        3: "'text' (from bit 56, size 200 bytes from 'n') does not lie within the packet of 16 bytes",
        5: "'clock': Invalid BCD digit: 15 (must be 0-9)",
        6: "'text': Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0",
        7: "'mode' has no label for code 7",
        8: "'text' (from bit 56, size 131 bytes from 'n') does not lie within the packet of 16 bytes",
        9: "'temp' (bits 56 to 67) does not lie within the packet of 7 bytes",
    }


def test_errors_raise_the_first_refused_packet():
    recording = b"".join(recording_with_faults())
    with pytest.raises(PacketError) as raised:
        MIXED.decode(recording)
    error = raised.value
    assert (error.index, error.offset, error.reason, error.packet_type) == (2, 30, "no packet type", None)
    assert str(error) == "packet 2 at byte 30: no packet type matches it"
    assert isinstance(error, ValueError) and pickle.loads(pickle.dumps(error)).reason == "no packet type"
    tail = hk_packet(mode=7) + hk_packet()[:10]
    with pytest.raises(PacketError, match="packet 0 at byte 0: 'mode' has no label for code 7") as raised:
        MIXED.decode(tail)
    assert raised.value.packet_type == "hk"


@pytest.mark.parametrize("cut, prefix, message", [
    (10, 0, "its primary header declares 14 bytes, but the recording holds only 10"),
    (4, 0, "the recording ends 4 bytes after the end of the packet before, inside its primary header"),
    (14, 2**64 - 3, "the recording ends 14 bytes after the end of the packet before, inside the bytes before this packet"),
])
def test_a_packet_cut_off_by_the_end_of_the_recording(cut, prefix, message):
    decoded = MIXED.decode(hk_packet() + hk_packet()[:cut], errors="skip") if not prefix else \
        MIXED.decode(b"\0" * 14 + hk_packet()[:cut], prefix=prefix, errors="skip")
    assert decoded.refused == [(1, 14, "cut off", message)] if not prefix else [(0, 28, "cut off", message)]
    assert decoded.census.refused["cut off"] == 1 and decoded.census.packets == (1 if prefix else 2)


@pytest.mark.parametrize("count_field, counts, reason, message", [
    (Entry("n", "twos_complement", bits=8), [-1], "bad size", "'a' has a count -1 from 'n', which is negative"),
    (Entry("n", "unsigned", bits=64), [2**64 - 1], "too short", "'a' (from bit 64, count "),
    (Entry("n", bits=8), [200], "too short", "does not lie within the packet of 10 bytes"),
    (Entry("n", "packed_bcd", bits=8), [0xAA], "bad value", "'n': Invalid BCD digit"),
])
def test_counts_from_fields_that_hold_bad_values(count_field, counts, reason, message):
    definitions = Definitions([PacketType("p", (count_field, Entry("a", bits=16, count=Dynamic("n"))))])
    width = count_field.bits // 8
    packet = b"".join(c.to_bytes(width, "big", signed=c < 0) for c in counts).ljust(10, b"\0")
    with pytest.raises(PacketError) as raised:
        definitions.decode(packet, stride=10)
    assert raised.value.reason == reason and message in str(raised.value)


@pytest.mark.parametrize("size, reason, message", [
    (Dynamic("n", slope=-1), "bad size", "'b' has a size -3 bits from 'n', which is negative"),
    (Dynamic("n", slope=2**61), "too short", "'b' (from bit 8, size 6917529027641081856 bits from 'n')"),
    (Dynamic("n", unit="bits"), "bad size", "'b' has a size 3 bits from 'n', not a whole number of bytes"),
])
def test_sizes_from_fields(size, reason, message):
    definitions = Definitions([PacketType("p", (Entry("n", bits=8), Entry("b", "binary", bits=size)))])
    decoded = definitions.decode(b"\x03abc", stride=4, errors="skip")
    assert decoded.refused[0].reason == reason and message in decoded.refused[0].message


def test_threads_and_pickling_give_the_same_result():
    recording = b"".join(recording_with_faults() * 700)
    one = MIXED.decode(recording, errors="skip")
    again = pickle.loads(pickle.dumps(MIXED)).decode(recording, errors="skip", threads=3)
    assert one.refused == again.refused and one.census == again.census
    for name, table in one.tables.items():
        other = again.tables[name]
        assert np.array_equal(table.index, other.index) and np.array_equal(table.offset, other.offset)
        for column in table.columns:
            assert list(map(repr, table.columns[column])) == list(map(repr, other.columns[column]))


def test_empty_recordings_and_tables_keep_their_types():
    decoded = MIXED.decode(b"")
    assert decoded.census.packets == 0 and set(decoded.tables) == {"hk", "event"}
    table = decoded.tables["event"]
    assert table.columns["samples"].dtype == object and table.columns["text"].dtype == object
    assert decoded.tables["hk"].columns["temp"].dtype == np.int16 and decoded.tables["hk"].raw["volt"].dtype == np.uint32


def test_framing_arguments_are_checked():
    with pytest.raises(TypeError, match="prefix applies to CCSDS framing only"):
        MIXED.decode(b"", stride=4, prefix=2)
    with pytest.raises(ValueError, match="errors must be 'raise' or 'skip'"):
        MIXED.decode(b"", errors="mask")
    with pytest.raises(ValueError, match="offsets\\[0\\] is 9"):
        MIXED.decode(b"abc", offsets=[9])


def test_fixed_arrays_are_two_dimensional():
    definitions = Definitions([PacketType("p", (Entry("a", "twos_complement", bits=12, count=2),
                                                Entry("b", bits=8, offset=24)))])
    table = definitions.decode(bits((12, -1), (12, 7), (8, 9)) * 2, stride=4).tables["p"]
    assert table.columns["a"].tolist() == [[-1, 7], [-1, 7]] and table.columns["a"].dtype == np.int16


def test_offsets_changed_by_another_thread_during_a_decode_are_not_read():
    import threading

    packets = [ccsds(5, bytes(10), i) for i in range(20000)]
    recording = b"".join(packets)
    offsets = np.cumsum([0] + [len(p) for p in packets])[:-1].astype(np.int64)
    definitions = Definitions([PacketType("p", ccsds_primary_header())])
    expected = definitions.decode(recording, offsets=offsets.copy(), errors="skip")
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            offsets[::7] = 1 << 62  # far past the end of any buffer
            offsets[::7] = expected.tables["p"].offset[::7]

    thread = threading.Thread(target=scribble)
    thread.start()
    try:
        for _ in range(20):
            try:
                decoded = definitions.decode(recording, offsets=offsets, errors="skip", threads=2)
            except ValueError as error:  # caught scribbling when they were taken
                assert "offsets must lie within the buffer" in str(error)
                continue
            assert len(decoded.tables["p"].index) + len(decoded.refused) == len(packets)
    finally:
        stop.set()
        thread.join()
