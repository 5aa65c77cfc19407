"""fieldloom on a real recording: decode, summarise, show the failures, re-pack.

    python examples/demo.py

housekeeping.bin holds a few hundred telemetry packets back to back, each a
6-byte primary header and a 25-byte data field of mixed encodings (BCD clock,
UTF-8 mode, IEEE 754 single and half floats, 12- and 16-bit two's complement,
a little-endian counter, a bit-reversed flag byte). housekeeping_recipe.json
describes them; make_recording.py made the file.
"""
from __future__ import annotations

import statistics
from typing import TYPE_CHECKING, NamedTuple

import fieldloom
from housekeeping import HEADER_BYTES, RECIPE_PATH, RECORDING_PATH, Layout, flag_names, load_layout, rtc_text

if TYPE_CHECKING:
    from fieldloom import FieldValue

SHOWN_PACKETS = 8


class Packet(NamedTuple):
    ordinal: int  # place in the recording, from 0
    start: int  # byte position in the recording
    values: dict[str, FieldValue]


class Refusal(NamedTuple):
    ordinal: int
    start: int
    error: ValueError  # as the caller receives it


class Walk(NamedTuple):
    packets: list[Packet]
    refusals: list[Refusal]
    sequence_counts: list[int]  # from every header read, refused packets included


def number(value: FieldValue) -> float:
    if isinstance(value, str):
        raise TypeError(f"expected a number, got the text {value!r}")
    return value


def integer(value: FieldValue) -> int:
    if not isinstance(value, int):
        raise TypeError(f"expected an int, got {value!r}")
    return value


def decode_recording(recording: bytes, layout: Layout) -> Walk:
    """Walk the packets in place: offset_bits points the recipe at each one, nothing is sliced."""
    walk = Walk([], [], [])
    start = index = 0
    while start < len(recording):
        try:
            header = fieldloom.unpack_parameters(recording, 8 * start, layout.header)
        except ValueError as error:  # without a header there is no next packet to find
            walk.refusals.append(Refusal(index, start, error))
            break
        walk.sequence_counts.append(integer(header["sequence_count"]))
        try:
            walk.packets.append(Packet(index, start, fieldloom.unpack_parameters(recording, 8 * start, layout.packet)))
        except ValueError as error:
            walk.refusals.append(Refusal(index, start, error))
        start += HEADER_BYTES + integer(header["packet_data_length"]) + 1
        index += 1
    return walk


def show_header(values: dict[str, FieldValue]) -> None:
    # APID and sequence count are right-aligned in their 16-bit words, so each is a
    # recipe field of its own; the bits above them come with the whole word.
    packet_id, control = integer(values["packet_id"]), integer(values["sequence_control"])
    length = integer(values["packet_data_length"])
    print("Primary header of packet 0")
    print(f"  version {packet_id >> 13}, type {packet_id >> 12 & 1} (telemetry), "
          f"secondary header {packet_id >> 11 & 1}, APID 0x{integer(values['apid']):03X}")
    print(f"  sequence flags 0b{control >> 14:02b} (unsegmented), count {values['sequence_count']}, "
          f"data length {length} (a {length + 1}-byte data field)")


def show_table(layout: Layout, packets: list[Packet]) -> None:
    columns = [("#", 3), ("seq", 4), ("time", 8), ("mode", 7), ("bus V", 6), ("bus A", 5),
               ("temp C", 6), ("wheel", 5), ("heat%", 5), ("sun", 4), ("flags", 26)]
    print(f"First {len(packets)} packets")
    print("  " + " ".join(f"{name:>{width}}" for name, width in columns).rstrip())
    temp_scale = layout.units["board_temp"][1]
    for packet in packets:
        v = packet.values
        cells = [
            str(packet.ordinal), str(v["sequence_count"]), rtc_text(integer(v["rtc_time"])),
            str(v["mode"]).rstrip(), f"{number(v['bus_voltage']):.3f}", f"{number(v['bus_current']):.3f}",
            f"{number(v['board_temp']) * temp_scale:.1f}", str(v["wheel_speed"]), str(v["heater_duty"]),
            str(v["sun_sensor"]), flag_names(integer(v["eps_flags"])),
        ]
        print("  " + " ".join(f"{cell:>{width}}" for cell, (_, width) in zip(cells, columns)))


def show_refusals(walk: Walk, size: int) -> None:
    print(f"Whole recording: {size} bytes, {len(walk.packets) + len(walk.refusals)} packets, "
          f"{len(walk.packets)} decoded, {len(walk.refusals)} refused")
    for refusal in walk.refusals:
        print(f"  packet {refusal.ordinal} at byte {refusal.start} raises")
        print(f"    {refusal.error!r}")
    counts = walk.sequence_counts
    for a, b in zip(counts, counts[1:]):
        if b != (a + 1) % (1 << 14):
            print(f"  sequence count jumps from {a} to {b}: {(b - a - 1) % (1 << 14)} packet(s) lost on the link")


def show_statistics(layout: Layout, packets: list[Packet]) -> None:
    print(f"Per-field statistics over the {len(packets)} decoded packets")
    print(f"  {'field':<12} {'unit':<7} {'min':>9} {'mean':>9} {'max':>9}")
    for name in ("bus_voltage", "bus_current", "board_temp", "wheel_speed", "heater_duty", "sun_sensor"):
        unit, scale = layout.units[name]
        series = [number(p.values[name]) * scale for p in packets]
        print(f"  {name:<12} {unit:<7} {min(series):>9.2f} {statistics.fmean(series):>9.2f} {max(series):>9.2f}")
    modes: dict[str, int] = {}
    for p in packets:
        mode = str(p.values["mode"]).rstrip()
        modes[mode] = modes.get(mode, 0) + 1
    print(f"  {'mode':<12} {'':<7} " + ", ".join(f"{mode} {count}" for mode, count in modes.items()))
    first, last = (rtc_text(integer(p.values["rtc_time"])) for p in (packets[0], packets[-1]))
    print(f"  {'rtc_time':<12} {'':<7} {first} to {last}")


def show_round_trip(layout: Layout, recording: bytes, packets: list[Packet]) -> None:
    first = packets[0]
    original = recording[first.start:first.start + layout.packet_bytes]
    packed = fieldloom.pack_parameters(layout.packet, first.values)
    print("Round trip")
    print(f"  {'packet 0 as recorded:':<29}{original.hex(' ')}")
    print(f"  {'pack_parameters(its values):':<29}{packed.hex(' ')}")
    same = sum(
        fieldloom.pack_parameters(layout.packet, p.values) == recording[p.start:p.start + layout.packet_bytes]
        for p in packets
    )
    print(f"  {same} of {len(packets)} decoded packets pack back to their exact bytes")


def main() -> None:
    layout = load_layout()
    recording = RECORDING_PATH.read_bytes()
    print(f"{RECORDING_PATH.name} decoded with {RECIPE_PATH.name} "
          f"({len(layout.packet)} fields, {layout.packet_bytes}-byte packets)\n")
    walk = decode_recording(recording, layout)
    packets = walk.packets
    show_header(packets[0].values)
    print()
    show_table(layout, packets[:SHOWN_PACKETS])
    print()
    show_refusals(walk, len(recording))
    print()
    show_statistics(layout, packets)
    print()
    show_round_trip(layout, recording, packets)


if __name__ == "__main__":
    main()
