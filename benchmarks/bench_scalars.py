"""Scalar codec speed against the interpreter's own equivalents, as ratios.

Every statement below, the call floor included, is timed in one interleaved
loop of repeats and the best run of each is kept (see timing.py), so that
the floor is one figure that every row shares. Each statement is written as
a caller writes the call, `f(a, b)`, with no wrapper around it. A process
can hold one call a few nanoseconds above its usual time throughout (where
its code and objects happen to lie), so the loop runs in several fresh
processes and each call keeps its best time over all of them.

Run:  pip install . && python benchmarks/bench_scalars.py
"""
from __future__ import annotations

import argparse
import json
import operator
import struct
import subprocess
import sys
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))  # timing.py beside this file

import fieldloom  # noqa: E402
from timing import interleaved_best  # noqa: E402

FLOOR = "operator.and_(0x8AB, 0xFFF)"


def statement(call, *args, text: str | None = None) -> timeit.Timer:
    """`call(*args)` as one statement; `text` (with `call` and `args` in scope) for other shapes."""
    names = {"call": call, "args": args, **{f"a{k}": arg for k, arg in enumerate(args)}}
    return timeit.Timer(text or "call(" + ", ".join(f"a{k}" for k in range(len(args))) + ")", globals=names)


def measure(seconds: float, repeats: int) -> list[tuple[str, str, float, float]]:
    """One process's rows: (call, peer, its time, the peer's time)."""
    half, half_bytes = 0x3C01, struct.pack(">H", 0x3C01)
    assert fieldloom.decode_ieee754_f16(half) == struct.unpack(">e", half_bytes)[0]
    assert fieldloom.encode_ieee754_f32(0.1).to_bytes(4, "big") == struct.pack(">f", 0.1)
    recipe = [{"name": "count", "encoding": "packed_bcd", "bits": 32, "byte_order": "big", "reverse_bits": False}]
    packet = bytes.fromhex("12345678")
    assert fieldloom.unpack_parameters(packet, 0, recipe) == {"count": int(packet.hex())}
    assert fieldloom.pack_parameters(recipe, {"count": 12345678}) == packet
    # The call floor: a two-int C builtin whose result is a new int, as the codecs' is.
    assert operator.and_(0x8AB, 0xFFF) not in range(-5, 257)
    floor = statement(operator.and_, 0x8AB, 0xFFF)
    on_floor = [
        ("decode_twos_complement(0x8AB, 12)", statement(fieldloom.decode_twos_complement, 0x8AB, 12)),
        ("encode_twos_complement(-1877, 12)", statement(fieldloom.encode_twos_complement, -1877, 12)),
        ("decode_sign_magnitude(0x8AB, 12)", statement(fieldloom.decode_sign_magnitude, 0x8AB, 12)),
        ("decode_packed_bcd(0x1234, 16)", statement(fieldloom.decode_packed_bcd, 0x1234, 16)),
        ("encode_packed_bcd(1234, 16)", statement(fieldloom.encode_packed_bcd, 1234, 16)),
        ("decode_unpacked_bcd(0x010203, 24)", statement(fieldloom.decode_unpacked_bcd, 0x010203, 24)),
        ("encode_unpacked_bcd(123, 24)", statement(fieldloom.encode_unpacked_bcd, 123, 24)),
        ("decode_ieee754_f32(0x3F800001)", statement(fieldloom.decode_ieee754_f32, 0x3F800001)),
        ("encode_ieee754_f64(0.1)", statement(fieldloom.encode_ieee754_f64, 0.1)),
    ]
    against_peers = [
        ("decode_ieee754_f16(int)", statement(fieldloom.decode_ieee754_f16, half),
         "struct.unpack('>e', bytes)", statement(struct.unpack, ">e", half_bytes)),
        ("encode_ieee754_f32(float)", statement(fieldloom.encode_ieee754_f32, 0.1),
         "struct.pack('>f', float)", statement(struct.pack, ">f", 0.1)),
        ("packed BCD field via unpack_parameters", statement(fieldloom.unpack_parameters, packet, 0, recipe),
         "{'count': int(bytes.hex())}", statement(None, packet, text="{'count': int(a0[0:4].hex())}")),
        ("packed BCD field via pack_parameters", statement(fieldloom.pack_parameters, recipe, {"count": 12345678}),
         "bytes.fromhex(f'{n:08d}')", statement(bytes.fromhex, 12345678, text="call(f'{a0:08d}')")),
    ]
    timers = [floor] + [t for _, t in on_floor] + [t for row in against_peers for t in (row[1], row[3])]
    best = iter(interleaved_best(timers, seconds, repeats))
    t_floor = next(best)
    rows = [(title, FLOOR, next(best), t_floor) for title, _ in on_floor]
    rows += [(title, peer, next(best), next(best)) for title, _, peer, _ in against_peers]
    return rows


def main(seconds: float = 0.002, repeats: int = 101, processes: int = 3) -> list[tuple[str, str, float, float]]:
    runs = [subprocess.run([sys.executable, __file__, "--one-process", str(seconds), str(repeats)],
                           capture_output=True, text=True, check=True).stdout for _ in range(processes)]
    measured = [json.loads(out) for out in runs]
    rows = [(title, peer, min(run[k][2] for run in measured), min(run[k][3] for run in measured))
            for k, (title, peer, _, _) in enumerate(measured[0])]
    for title, peer, t_ours, t_peer in rows:
        print(f"  {title:<40} {t_ours * 1e9:7.1f} ns   {peer:<30} {t_peer * 1e9:7.1f} ns   "
              f"peer/fieldloom {t_peer / t_ours:5.2f}")
    return rows


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--one-process", nargs=2, metavar=("SECONDS", "REPEATS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one_process:
        print(json.dumps(measure(float(args.one_process[0]), int(args.one_process[1]))))
    else:
        main()
