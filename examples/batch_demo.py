"""A whole recording to columns with fieldloom_batch: decode, refuse, split, re-pack.

    python examples/batch_demo.py

The same recording as demo.py (housekeeping.bin, 400 packets and a partial
one), decoded in one call into one NumPy array per field instead of a dict per
packet. The packets that fail are listed with the exception unpack_parameters
raises for each; the CCSDS primary header's sub-fields come from its whole
16-bit words by NumPy shifts and masks; pack_many writes the packets back.
"""
from __future__ import annotations

import importlib
import time
from types import ModuleType

import numpy as np

import fieldloom_batch
from housekeeping import RECIPE_PATH, RECORDING_PATH, load_layout, rtc_text

SHOWN_ROWS = 5


def optional_pandas() -> ModuleType | None:
    # pandas is optional here, and ships no type information of its own.
    try:
        return importlib.import_module("pandas")
    except ImportError:
        return None


def main() -> None:
    hk = load_layout()
    layout = fieldloom_batch.Layout(hk.packet)
    recording = RECORDING_PATH.read_bytes()

    start = time.perf_counter()
    decoded = layout.unpack_many(recording, errors="skip")
    elapsed = time.perf_counter() - start
    count = len(decoded.index) + len(decoded.refused)
    print(f"{RECORDING_PATH.name} with {RECIPE_PATH.name}: {len(recording)} bytes, {count} packets of "
          f"{layout.packet_size} bytes, {len(decoded.index)} decoded, {len(decoded.refused)} refused "
          f"in {elapsed * 1e3:.1f} ms")
    for refused in decoded.refused:
        print(f"  packet {refused.index} at byte {refused.offset}: {refused.error!r}")

    columns = decoded.columns
    print("\nColumns")
    for name, column in columns.items():
        print(f"  {name:<19} {column.dtype}")

    # The header's sub-fields are not right-aligned in their bytes: the recipe
    # reads the whole 16-bit words, NumPy splits them.
    packet_id, control = columns["packet_id"], columns["sequence_control"]
    header = {
        "version": packet_id >> 13,
        "type": packet_id >> 12 & 0b1,
        "secondary header flag": packet_id >> 11 & 0b1,
        "APID": packet_id & 0x7FF,
        "sequence flags": control >> 14,
        "sequence count": control & 0x3FFF,
    }
    print("\nPrimary header sub-fields, taken with NumPy (distinct values)")
    for name, values in header.items():
        distinct = np.unique(values).tolist()
        shown_values = [f"0x{v:03X}" if name == "APID" else str(v) for v in distinct[:4]]
        print(f"  {name:<22} {', '.join(shown_values)}{' ...' if len(distinct) > 4 else ''}")
    assert np.array_equal(header["APID"], columns["apid"])  # right-aligned, so also a recipe field of its own

    # A refused packet is not a lost one: compare the count's steps with the packet index's.
    counts, index = header["sequence count"].astype(np.int64), decoded.index
    lost = (np.diff(counts) - np.diff(index)) % (1 << 14)
    for at in np.flatnonzero(lost).tolist():
        print(f"  sequence count jumps from {counts[at]} to {counts[at + 1]} between packets {index[at]} "
              f"and {index[at + 1]}: {lost[at]} packet(s) lost on the link")

    pandas = optional_pandas()
    print(f"\nFirst {SHOWN_ROWS} decoded packets" + (" as a pandas DataFrame" if pandas else ""))
    shown = ["sequence_count", "rtc_time", "mode", "bus_voltage", "bus_current", "board_temp", "wheel_speed"]
    if pandas is not None:
        frame = pandas.DataFrame({name: columns[name] for name in shown}, index=decoded.index)
        frame["rtc_time"] = frame["rtc_time"].map(rtc_text)
        print(frame.head(SHOWN_ROWS).to_string())
    else:
        print("  " + " ".join(f"{name:>14}" for name in shown))
        for row in range(SHOWN_ROWS):
            print("  " + " ".join(f"{columns[name][row]!s:>14}" for name in shown))

    try:
        layout.unpack_many(recording)
    except ValueError as error:
        print("\nWith errors='raise' the first bad packet stops the decoding:")
        print(f"  {error!r}")
        for note in error.__notes__:
            print(f"  note: {note}")

    packed = layout.pack_many(columns)
    size = layout.packet_size
    same = sum(packed[row * size:(row + 1) * size] == recording[i * size:(i + 1) * size]
               for row, i in enumerate(decoded.index.tolist()))
    print(f"\npack_many: {same} of {len(decoded.index)} decoded packets pack back to their exact bytes")


if __name__ == "__main__":
    main()
