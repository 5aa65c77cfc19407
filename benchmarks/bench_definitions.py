"""Packet definitions: Definitions.decode against its peers, as ratios measured in one run.

Run:  pip install ".[bench]" && python benchmarks/bench_definitions.py [--packets N]

Every comparison decodes the same packets on both sides and checks the
values equal before anything is timed:

- against space_packet_parser (the same packet types built in its model from
  ours, a recording of three types told apart by APID: bit-packed status
  flags, calibrated counts, an enumeration, floats, a text of varying size);
- a recording mixing 8 packet types against Layout.unpack_many of the same
  packets already split by type (the same byte-aligned fields on both sides;
  19 fields a packet for the target, 67 for information);
- a bit-packed layout (16 fields of 1 to 33 bits at odd positions) against
  a byte-aligned layout of 16 fields;
- the peak traced memory of decoding the 8-type recording against the bytes
  of its tables;
- a contextual calibration (three cases on a mode) against one polynomial,
  for information: the issue sets no ratio for it.
"""
from __future__ import annotations

import argparse
import sys
import timeit
import tracemalloc
from pathlib import Path

import numpy as np
import space_packet_parser

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "definitions"))  # the reference builder and the peer's model of ours
import peer  # noqa: E402
import reference  # noqa: E402
import bench_batch  # noqa: E402
from bench_batch import Comparison, Memory  # noqa: E402
from timing import interleaved_best  # noqa: E402

from fieldloom_batch import Layout  # noqa: E402
from fieldloom_batch.definitions import (Comparison as Condition, Contextual, Definitions, Dynamic,  # noqa: E402
                                         Entry, Enumeration, PacketType, Polynomial, Spline, ccsds_primary_header)

PACKETS = 100_000
PEER_PACKETS = 2_000  # the peer takes some hundred microseconds a packet


def ccsds(packet: bytes) -> bytes:
    return packet[:4] + (len(packet) - 7).to_bytes(2, "big") + packet[6:]


def mission_types() -> list[PacketType]:
    flags = tuple(Entry(f"flag_{k}", bits=w) for k, w in enumerate((1, 1, 2, 4, 3, 1, 4)))
    housekeeping = flags + (
        Entry("bus_counts", bits=12, calibration=Polynomial((-0.5, 0.01, 1e-7))),
        Entry("temperature_counts", bits=10, calibration=Spline(((0, -40.0), (500, 20.0), (1100, 85.0)))),
        Entry("mode", bits=4, calibration=Enumeration({k: f"MODE_{k}" for k in range(16)})),
        Entry("current", "twos_complement", 14),
        Entry("gyro", "ieee754_f32", 32),
        Entry("heater", bits=1), Entry("spare", bits=7),
    )
    event = (Entry("event_id", bits=16), Entry("length", bits=8), Entry("message", "utf8", Dynamic("length", unit="bytes")))
    science = tuple(Entry(f"pixel_{k}", bits=20) for k in range(8)) + (Entry("frame", "ieee754_f64", 64),)
    return [PacketType("ccsds", ccsds_primary_header(), abstract=True),
            PacketType("housekeeping", housekeeping, (Condition("apid", "==", 100),), base="ccsds"),
            PacketType("event", event, (Condition("apid", "==", 200),), base="ccsds"),
            PacketType("science", science, (Condition("apid", "==", 300),), base="ccsds")]


def random_values(entries: tuple[Entry, ...], rng: np.random.Generator) -> dict[str, object]:
    values: dict[str, object] = {}
    for entry in entries:
        if entry.encoding == "utf8":
            values[entry.name] = bytes(rng.integers(97, 123, int(values["length"]), dtype=np.uint8))
        elif entry.encoding.startswith("ieee754"):
            values[entry.name] = float(rng.normal())
        elif entry.name == "length":
            values[entry.name] = int(rng.integers(0, 24))
        elif entry.encoding == "twos_complement":
            values[entry.name] = int(rng.integers(-(1 << (entry.bits - 1)), 1 << (entry.bits - 1)))
        else:
            top = 1100 if entry.name == "temperature_counts" else 1 << entry.bits
            values[entry.name] = int(rng.integers(0, top))
    return values


def mission_recording(types: list[PacketType], packets: int, seed: int = 5) -> bytes:
    rng = np.random.default_rng(seed)
    chains = reference.chains(types)
    apids = {"housekeeping": 100, "event": 200, "science": 300}
    parts = []
    for k in range(packets):
        name = ("housekeeping", "event", "science")[k % 3]
        values = random_values(chains[name].entries, rng)
        values.update(version=0, type=0, secondary_header_flag=0, apid=apids[name], sequence_flags=3,
                      sequence_count=k & 0x3FFF, packet_data_length=0)
        parts.append(ccsds(reference.build(chains[name].entries, values)))
    return b"".join(parts)


def against_peer(packets: int) -> Comparison:
    types = mission_types()
    definitions, theirs = Definitions(types), peer.definition(types)
    recording = mission_recording(types, packets)

    def peer_decode() -> list:
        return [peer.parse(theirs, packet) for packet in space_packet_parser.ccsds_generator(recording)]

    decoded, parsed = definitions.decode(recording), peer_decode()
    assert len(parsed) == packets and sum(decoded.census.types.values()) == packets
    chains = reference.chains(types)
    for name, table in decoded.tables.items():
        entries = {e.name: e for e in chains[name].entries}
        for row, index in enumerate(table.index):
            for field, column in table.columns.items():
                value = column[row]
                value = value.item() if isinstance(value, np.generic) else value
                assert peer.agrees(entries[field], value, parsed[index][field]), (name, index, field)
    ours, peer_time = interleaved_best([timeit.Timer(lambda: definitions.decode(recording)), timeit.Timer(peer_decode)],
                                       0.2, 5)
    return Comparison(f"CCSDS recording of {packets:,} packets of 3 types (bit flags, calibrations, text)",
                      "Definitions.decode", "space_packet_parser parse_bytes", ours, peer_time, 100.0)


ENCODINGS = (("unsigned", 8), ("unsigned", 16), ("twos_complement", 16), ("unsigned", 32), ("twos_complement", 32),
             ("ieee754_f32", 32), ("unsigned", 8), ("twos_complement", 8))
HEADER_WORDS = (Entry("packet_id", bits=16), Entry("sequence_control", bits=16), Entry("packet_length", bits=16))


def eight_types(fields_per_type: int = 16) -> tuple[list[PacketType], list[list[dict[str, object]]]]:
    """8 types of byte-aligned fields after three header words, and the same as recipes."""
    types, recipes = [PacketType("words", HEADER_WORDS, abstract=True)], []
    for t in range(8):
        fields = tuple(Entry(f"t{t}_{k}", *ENCODINGS[(k + t) % len(ENCODINGS)]) for k in range(fields_per_type))
        types.append(PacketType(f"type{t}", fields, (Condition("packet_id", "==", 0x0800 | (10 + t)),), base="words"))
        recipes.append([{"name": e.name, "encoding": e.encoding, "bits": e.bits, "byte_order": "big", "reverse_bits": False}
                        for e in HEADER_WORDS + fields])
    return types, recipes


def mixed_recording(types: list[PacketType], packets: int, seed: int = 8) -> tuple[bytes, list[bytes]]:
    """The recording in random type order, and each type's packets alone."""
    rng = np.random.default_rng(seed)
    chains = reference.chains(types)
    samples = []
    for t in range(8):  # 32 distinct packets per type, repeated
        entries = chains[f"type{t}"].entries
        samples.append([ccsds(reference.build(entries, {**random_values(entries, rng), "packet_id": 0x0800 | (10 + t),
                                                        "sequence_control": 0xC000 | k, "packet_length": 0}))
                        for k in range(32)])
    order = rng.integers(0, 8, packets)
    parts, split = [], [[] for _ in range(8)]
    for k, t in enumerate(order):
        packet = samples[t][k % 32]
        parts.append(packet)
        split[t].append(packet)
    return b"".join(parts), [b"".join(p) for p in split]


def against_split(packets: int, fields_per_type: int = 16, target: float | None = 0.8) -> tuple[Comparison, Memory]:
    types, recipes = eight_types(fields_per_type)
    definitions, layouts = Definitions(types), [Layout(r) for r in recipes]
    recording, split = mixed_recording(types, packets)

    def ours() -> object:
        return definitions.decode(recording)

    def theirs() -> list:
        return [layout.unpack_many(part) for layout, part in zip(layouts, split)]

    decoded = ours()
    for t, columns in enumerate(theirs()):
        table = decoded.tables[f"type{t}"]
        assert list(table.columns) == list(columns)
        for name, column in columns.items():
            assert table.columns[name].dtype == column.dtype and table.columns[name].tobytes() == column.tobytes(), name
    t_ours, t_theirs = interleaved_best([timeit.Timer(ours), timeit.Timer(theirs)], 0.2, 7)
    row = Comparison(f"recording of {packets:,} packets mixing 8 types of {fields_per_type + 3} byte-aligned fields",
                     "Definitions.decode", "unpack_many per type, split beforehand", t_ours, t_theirs, target)
    tracemalloc.start()
    try:
        decoded = ours()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    tables = sum(sum(c.nbytes for c in (*t.columns.values(), *t.raw.values(), t.index, t.offset))
                 for t in decoded.tables.values())
    return row, Memory(packets, tables, peak)


BIT_WIDTHS = (3, 7, 1, 13, 33, 5, 11, 2, 17, 9, 1, 29, 6, 19, 4, 23)
BYTE_WIDTHS = (8, 16, 8, 16, 32, 8, 16, 8, 32, 16, 8, 32, 8, 32, 8, 16)


def against_byte_aligned(packets: int) -> Comparison:
    rng = np.random.default_rng(3)
    timings = []
    for widths, first in ((BIT_WIDTHS, 1), (BYTE_WIDTHS, 0)):
        entries = (Entry("pad", bits=first),) if first else ()
        entries += tuple(Entry(f"f{k}", bits=w) for k, w in enumerate(widths))
        definitions = Definitions([PacketType("p", entries)])
        size = -(-sum(e.bits for e in entries) // 8)
        recording = rng.integers(0, 256, size * packets, dtype=np.uint8).tobytes()
        decoded = definitions.decode(recording, stride=size)
        chain = reference.chains([PacketType("p", entries)])["p"]
        for row in (0, packets // 2, packets - 1):
            values = reference.unpack({"p": chain}, recording[row * size:(row + 1) * size])[1]
            assert all(int(decoded.tables["p"].columns[n][row]) == v for n, v in values.items())
        timings.append(timeit.Timer(lambda d=definitions, r=recording, s=size: d.decode(r, stride=s)))
    bits, whole = interleaved_best(timings, 0.2, 7)
    return Comparison(f"{packets:,} packets of 16 fields: 1 to 33 bits at odd positions vs whole bytes",
                      "Definitions.decode, bit-packed", "Definitions.decode, byte-aligned", bits, whole, 1 / 1.5,
                      "within 1.5x (at least 0.67x)")


def contextual_against_polynomial(packets: int) -> Comparison:
    """A value calibrated by the first of three cases on a mode held for
    runs of 100 packets, against the same value under one polynomial."""
    rng = np.random.default_rng(4)
    cases = ((Condition("mode", "==", 0), Polynomial((1.0, 2.0))),
             (Condition("mode", "==", 1), Spline(((0, 0.0), (65535, 5.0)))),
             (Condition("mode", ">", 1), Polynomial((0.5, 0.25, 1e-6))))
    modes = np.repeat(rng.integers(0, 4, packets // 100 + 1, dtype=np.uint8), 100)[:packets]
    recording = np.column_stack([modes, rng.integers(0, 256, (packets, 4), dtype=np.uint8)]).tobytes()
    timings = []
    for calibration in (Contextual(cases), cases[0][1]):
        types = [PacketType("p", (Entry("mode"), Entry("value", bits=16, calibration=calibration), Entry("w", bits=16)))]
        definitions = Definitions(types)
        decoded = definitions.decode(recording, stride=5)
        chain = reference.chains(types)["p"]
        for row in (0, packets // 2, packets - 1):
            values = reference.unpack({"p": chain}, recording[row * 5:(row + 1) * 5])[1]
            assert decoded.tables["p"].columns["value"][row] == values["value"]
        timings.append(timeit.Timer(lambda d=definitions: d.decode(recording, stride=5)))
    contextual, single = interleaved_best(timings, 0.2, 7)
    return Comparison(f"{packets:,} packets: a value by 3 cases on a mode held for 100 packets vs one polynomial",
                      "Definitions.decode, Contextual", "Definitions.decode, Polynomial", contextual, single, None)


def run(packets: int = PACKETS) -> tuple[list[Comparison], Memory]:
    split, memory = against_split(packets)
    # For information: the cost of finding packets and their types is per
    # packet, so it weighs less in packets of more fields.
    larger, _ = against_split(packets, 64, None)
    return [against_peer(min(packets, PEER_PACKETS)), split, larger, against_byte_aligned(packets),
            contextual_against_polynomial(packets)], memory


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=PACKETS)
    args = parser.parse_args()
    rows, memory = run(args.packets)
    bench_batch.report(rows, memory, args.packets)


if __name__ == "__main__":
    main()
