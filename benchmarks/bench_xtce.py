"""Loading a large XTCE document: fieldloom's reader against space_packet_parser's.

Run:  PYTHONPATH=build python benchmarks/bench_xtce.py [--parameters 10000] [--containers 40]

Generates a document (written by fieldloom's XTCE writer) of that many
parameters spread over that many packet types under an abstract CCSDS
header, mixing integers, floats, enumerations, calibrated values, booleans
and texts; then times both loads in one loop, interleaved, best of several
rounds, and prints the ratio. Both loads run in this one thread, so their
processor time is the figure that other processes on a shared machine
disturb least; wall time is printed beside it.
"""
from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

from fieldloom_batch.definitions.model import (Boolean, Comparison, Entry, Enumeration, PacketType, Polynomial,
                                               ccsds_primary_header)
from fieldloom_batch.loaders import read_xtce, write_xtce


def entry(k: int) -> Entry:
    """The k-th parameter: one of seven kinds, in turn."""
    name = f"P{k:05d}"
    kind = k % 7
    if kind == 0:
        return Entry(name, "unsigned", 16, unit="count")
    if kind == 1:
        return Entry(name, "twos_complement", 12, description="a signed reading")
    if kind == 2:
        return Entry(name, "ieee754_f32", 32, unit="V")
    if kind == 3:
        return Entry(name, "unsigned", 4, calibration=Enumeration({0: "OFF", 1: "ON", 2: "FAULT"}))
    if kind == 4:
        return Entry(name, "unsigned", 12, calibration=Polynomial((0.5, 0.01, 1e-6)), unit="degC")
    if kind == 5:
        return Entry(name, "unsigned", 8, calibration=Boolean())
    return Entry(name, "us_ascii", 64)


def document(parameters: int, containers: int) -> bytes:
    header = ccsds_primary_header()
    types = [PacketType("CCSDSPacket", header, abstract=True)]
    per_type = (parameters - len(header)) // containers
    for c in range(containers):
        entries = tuple(entry(c * per_type + k) for k in range(per_type))
        types.append(PacketType(f"Packet{c:02d}", entries, (Comparison("apid", "==", c + 1),), base="CCSDSPacket"))
    return write_xtce(types, name="Bench")


def best_interleaved(loads: dict[str, object], rounds: int) -> dict[str, tuple[float, float]]:
    """Best processor time and best wall time of each load."""
    best = {name: (float("inf"), float("inf")) for name in loads}
    names = list(loads)
    for repeat in range(rounds):
        for name in names if repeat % 2 == 0 else reversed(names):
            cpu, wall = time.process_time(), time.perf_counter()
            loads[name]()  # type: ignore[operator]
            cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
            best[name] = (min(best[name][0], cpu), min(best[name][1], wall))
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--parameters", type=int, default=10_000)
    parser.add_argument("--containers", type=int, default=40)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    try:
        import space_packet_parser
    except ImportError:
        sys.exit("space_packet_parser is the peer here: pip install space_packet_parser")
    data = document(options.parameters, options.containers)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "bench.xml"
        path.write_bytes(data)
        peer = space_packet_parser.XtcePacketDefinition.from_xtce(path)
        ours = read_xtce(path)
        assert len(ours) == options.containers + 1 and len(peer.containers) == len(ours)
        best = best_interleaved({
            "fieldloom read_xtce": lambda: read_xtce(path),
            "space_packet_parser from_xtce": lambda: space_packet_parser.XtcePacketDefinition.from_xtce(path),
        }, options.rounds)
    print(f"document: {len(data) / 1e6:.1f} MB, {options.parameters} parameters, {options.containers} containers")
    print(f"  {'':32s} {'processor':>10s} {'wall':>10s}")
    for name, (cpu, wall) in best.items():
        print(f"  {name:32s} {cpu * 1e3:7.1f} ms {wall * 1e3:7.1f} ms")
    peer, ours = best["space_packet_parser from_xtce"], best["fieldloom read_xtce"]
    print(f"fieldloom loads {peer[0] / ours[0]:.2f}x as fast as space_packet_parser in processor time "
          f"({peer[1] / ours[1]:.2f}x in wall time; goal: at least 1x)")


if __name__ == "__main__":
    main()
