"""Generate housekeeping.bin, the demo's recording, with pack_parameters.

    python examples/make_recording.py [OUTPUT]

About 1.8 hours of a small satellite's housekeeping telemetry, one packet every
16 seconds: a temperature that follows the orbit, a heater that switches on in
the cold, a reaction wheel, a payload that runs in two windows, and a short
safe-mode episode. Two things go wrong on the way, as they do on a real link:
one packet takes a single bit flip in its BCD clock, one packet is lost (a gap
in the sequence count), and the recording stops in the middle of a packet.
The seed is fixed, so the file is the same on every run.
"""
from __future__ import annotations

import math
import random
import sys
from pathlib import Path
from typing import TYPE_CHECKING

import fieldloom
from housekeeping import EPS_FLAGS, HEADER_BYTES, RECORDING_PATH, load_layout

if TYPE_CHECKING:
    from fieldloom import FieldValue

PACKETS = 400
CADENCE_S = 16
ORBIT_S = 95 * 60
START_S = 10 * 3600  # 10:00:00 on board
APID = 0x123
CORRUPTED = 217  # this packet's clock takes a bit flip
LOST = 312  # the packet before this one never arrived
TRUNCATED_BYTES = 17  # what is left of the last packet
SCIENCE = (range(60, 140), range(250, 330))
SAFE = range(222, 240)


def housekeeping(index: int, rng: random.Random) -> dict[str, FieldValue]:
    t = START_S + CADENCE_S * index
    phase = (CADENCE_S * index / ORBIT_S) % 1.0
    sunlit = phase < 0.65
    safe = index in SAFE
    science = any(index in window for window in SCIENCE) and not safe
    temp = 12.0 + 11.0 * math.sin(2 * math.pi * (phase - 0.15)) + rng.gauss(0.0, 0.3)
    heater = max(0, min(100, round((4.0 - temp) * 15))) if temp < 4.0 else 0
    wheel = 0 if safe else round(1500 + 900 * math.sin(index / 37) + rng.gauss(0.0, 4.0))
    flags = {"sunlit": sunlit, "charging": sunlit and not safe, "heater": heater > 0,
             "payload": science, "safe": safe}
    return {
        "rtc_time": int(f"{t // 3600 % 24:02d}{t // 60 % 60:02d}{t % 60:02d}"),
        "mode": "SAFE" if safe else "SCIENCE" if science else "NOMINAL",
        "bus_voltage": 28.0 + (0.35 if sunlit else -0.4) - 0.004 * heater + rng.gauss(0.0, 0.03),
        "bus_current": 0.9 + (0.65 if science else 0.0) + 0.01 * heater + rng.gauss(0.0, 0.02),
        "board_temp": round(temp * 10),  # tenths of a degree
        "wheel_speed": wheel,
        "heater_duty": heater,
        "sun_sensor": max(0, round(3800 * math.sin(math.pi * phase / 0.65) + rng.gauss(0.0, 20))) if sunlit else rng.randrange(4),
        "eps_flags": sum(1 << EPS_FLAGS.index(name) for name, on in flags.items() if on),
    }


def flip_clock_bit(packet: bytes) -> bytes:
    """Flip the top bit of the first clock digit where that gives no decimal digit."""
    corrupted = bytearray(packet)
    for position in range(HEADER_BYTES, HEADER_BYTES + 3):
        for shift in (0, 4):
            if 2 <= corrupted[position] >> shift & 0xF <= 7:
                corrupted[position] ^= 0x8 << shift
                return bytes(corrupted)
    raise AssertionError("no clock digit can be corrupted into a non-decimal nibble")


def main() -> None:
    layout = load_layout()
    data_length = layout.packet_bytes - HEADER_BYTES - 1  # the header counts the data field minus one
    rng = random.Random(20240607)
    recording = bytearray()
    sequence = 0
    for index in range(PACKETS + 1):
        if index == LOST:
            sequence += 1
        values = housekeeping(index, rng)
        values["mode"] = f"{values['mode']:<8}"  # texts fill their 8-byte field exactly
        values.update(
            apid=APID,
            packet_id=APID,  # version 0, telemetry, no secondary header: the top five bits are 0
            sequence_count=sequence,
            sequence_control=0b11 << 14 | sequence,  # unsegmented
            packet_data_length=data_length,
        )
        packet = fieldloom.pack_parameters(layout.packet, values)
        if index == CORRUPTED:
            packet = flip_clock_bit(packet)
        if index == PACKETS:
            packet = packet[:TRUNCATED_BYTES]
        recording += packet
        sequence = (sequence + 1) % (1 << 14)
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else RECORDING_PATH
    output.write_bytes(recording)
    print(f"wrote {output}: {PACKETS} packets of {layout.packet_bytes} bytes "
          f"and {TRUNCATED_BYTES} bytes of one more, {len(recording)} bytes")


if __name__ == "__main__":
    main()
