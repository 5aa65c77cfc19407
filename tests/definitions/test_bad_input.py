"""Definitions that cannot be decoded are refused when made, with a message
naming what is wrong; packets whose sizes and counts come from hostile values
are refused packets, never a crash or a read past the packet."""
import pytest

import reference
from fieldloom_batch.definitions import (Comparison, DefinitionError, Definitions, Dynamic, Entry, Enumeration,
                                         PacketError, PacketType)

needs_decode = pytest.mark.skipif(not hasattr(Definitions, "decode"), reason="the engine does not decode yet")
MODE = Entry("mode", bits=8, calibration=Enumeration({1: "SAFE", 2: "SCIENCE"}))


@pytest.mark.parametrize("types, words", [
    ([PacketType("p", (Entry("a", bits=16), Entry("b", bits=8, offset=8)))], ["'a'", "'b'", "overlap"]),
    ([PacketType("a", base="b"), PacketType("b", base="a")], ["'a'", "'b'", "cycle"]),
    ([PacketType("a", base="nowhere")], ["'a'", "'nowhere'"]),
    ([PacketType("p", (Entry("a"),), (Comparison("apid", "==", 3),))], ["'p'", "'apid'"]),
    ([PacketType("p", (Entry("a"), Entry("data", "binary", Dynamic("length"))))], ["'data'", "'length'"]),
    ([PacketType("p", (Entry("data", "binary", Dynamic("later")), Entry("later")))], ["'data'", "'later'"]),
    ([PacketType("p", (Entry("flag", bits=3), Entry("name", "utf8", bits=16)))], ["'name'", "byte"]),
    ([PacketType("p", (MODE,), (Comparison("mode", "<", "SCIENCE"),))], ["'mode'", "<"]),
    ([PacketType("p", (Entry("a"), Entry("a")))], ["'p'", "'a'"]),
    ([PacketType("p"), PacketType("p")], ["'p'"]),
], ids=["overlap", "cycle", "missing base", "missing condition field", "missing size field", "size field after",
        "text off a byte", "label compared with <", "entry twice", "type twice"])
def test_refused_definitions(types, words):
    with pytest.raises(DefinitionError) as raised:
        Definitions(types)
    assert isinstance(raised.value, ValueError)
    for word in words:
        assert word in str(raised.value), (word, str(raised.value))


SIZE = Entry("size", "twos_complement", 16)
WIDE = Entry("size", bits=64)
HOSTILE = [
    ("negative size", (SIZE, Entry("data", "binary", Dynamic("size", unit="bytes"))), b"\xff\xfd" + b"\0" * 8, "bad size"),
    ("negative count", (SIZE, Entry("xs", bits=8, count=Dynamic("size"))), b"\xff\xff" + b"\0" * 8, "bad size"),
    ("negative slope", (Entry("size", bits=8), Entry("xs", bits=4, count=Dynamic("size", slope=-1))), b"\x01\0", "bad size"),
    ("size of odd bits", (Entry("size", bits=8), Entry("data", "utf8", Dynamic("size"))), b"\x07" + b"a" * 8, "bad size"),
    ("huge size", (WIDE, Entry("data", "binary", Dynamic("size", unit="bytes"))), b"\xff" * 8 + b"\0" * 4, "too short"),
    ("huge count", (WIDE, Entry("xs", bits=64, count=Dynamic("size"))), b"\xff" * 8 + b"\0" * 16, "too short"),
    ("huge slope", (WIDE, Entry("xs", bits=33, count=Dynamic("size", slope=2**61, intercept=2**61))),
     b"\x7f" + b"\xff" * 7 + b"\0" * 16, "too short"),
    ("count past the packet", (Entry("n", bits=4), Entry("xs", bits=12, count=Dynamic("n"))), b"\x30\x00\x00\x00", "too short"),
    ("fixed count past the packet", (Entry("xs", bits=24, count=3),), b"\0" * 8, "too short"),
    ("empty array past the packet", (Entry("a", bits=8), Entry("xs", bits=8, count=0, offset=42)), b"\1\2", "too short"),
    ("text past the packet", (Entry("n", bits=8), Entry("text", "utf8", Dynamic("n", unit="bytes")), Entry("after")),
     b"\x03abc", "too short"),
    ("invalid utf-8", (Entry("n", bits=8), Entry("text", "utf8", Dynamic("n", unit="bytes"))), b"\x02\xc3\x28", "bad value"),
    ("invalid BCD digit", (Entry("digits", "packed_bcd", bits=12),), b"\x1a\x20", "bad value"),
    ("code without label", (MODE,), b"\x07", "bad value"),
]


@needs_decode
@pytest.mark.parametrize("entries, packet, reason", [h[1:] for h in HOSTILE], ids=[h[0] for h in HOSTILE])
def test_hostile_packets_are_refused(entries, packet, reason):
    types = [PacketType("p", entries)]
    definitions = Definitions(types)
    with pytest.raises(reference.Refusal) as expected:
        reference.unpack(reference.chains(types), packet)
    assert expected.value.reason == reason
    decoded = definitions.decode(packet * 3, stride=len(packet), errors="skip")
    assert [(r.index, r.offset, r.reason) for r in decoded.refused] == [(k, k * len(packet), reason) for k in range(3)]
    assert {k: v for k, v in decoded.census.refused.items() if v} == {reason: 3} and len(decoded.tables["p"].index) == 0
    with pytest.raises(PacketError) as raised:
        definitions.decode(b"\0" * 5 + packet, offsets=[5], lengths=[len(packet)])
    error = raised.value
    assert (error.index, error.offset, error.reason, error.packet_type) == (0, 5, reason, "p")
    failing = {e.name for e in entries} - {"size", "n"}
    assert any(f"'{name}'" in error.message for name in failing), error.message
    with pytest.raises(PacketError) as raised:
        definitions.unpack(packet)
    assert (raised.value.index, raised.value.offset, raised.value.reason) == (0, 0, reason)


EMPTY_PAST = (Entry("a"), Entry("xs", bits=1, offset=9, relative_to="previous", count=0))


@pytest.mark.skipif(not hasattr(Definitions, "pack"), reason="the engine does not pack yet")
def test_pack_reaches_an_empty_array():
    definitions = Definitions([PacketType("p", EMPTY_PAST)])
    packets = definitions.pack("p", {"a": [5, 6], "xs": [[], []]}, raw=True)
    assert packets == reference.build(EMPTY_PAST, {"a": 5, "xs": []}) + b"\x06\0\0" == b"\x05\0\0\x06\0\0"
    table = definitions.decode(packets, stride=3).tables["p"]
    assert table.columns["a"].tolist() == [5, 6] and table.columns["xs"].shape == (2, 0)


@needs_decode
@pytest.mark.parametrize("entries, packet, where", [
    ((Entry("n", bits=8), Entry("xs", bits=8, count=Dynamic("n", intercept=-1), offset=64)), b"\0\0", "'xs' (from bit 64)"),
    ((Entry("n", bits=8), Entry("a", bits=8, count=Dynamic("n")), Entry("b", bits=8, count=Dynamic("n", slope=2), offset=64)),
     b"\x01\x07", "'b' (from bit 64)"),
], ids=["negative count", "count of the entry before"])
def test_an_entry_past_the_packet_is_too_short_whatever_its_count(entries, packet, where):
    """Found past the packet's end, an entry is too short before its count is
    read; the message names no count (none was computed for it)."""
    types = [PacketType("p", entries)]
    with pytest.raises(reference.Refusal) as expected:
        reference.unpack(reference.chains(types), packet)
    with pytest.raises(PacketError) as raised:
        Definitions(types).unpack(packet)
    assert raised.value.reason == expected.value.reason == "too short"
    assert raised.value.message == f"{where} does not lie within the packet of 2 bytes"
