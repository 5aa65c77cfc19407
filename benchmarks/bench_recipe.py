"""Recipe engine speed against peers, as per-packet times and ratios.

Run:  pip install ".[bench]" && python benchmarks/bench_recipe.py
Every peer decodes and encodes the same byte-aligned layout; the results are
checked against fieldloom's before anything is timed.
"""
from __future__ import annotations

import argparse
import json
import platform
import random
import struct
import sys
import timeit
from pathlib import Path

import bitstruct
import bitstruct.c as bitstruct_c
import cbitstruct
import construct as cs

import fieldloom

sys.path.insert(0, str(Path(__file__).resolve().parent))  # timing.py beside this file
from timing import interleaved_best  # noqa: E402

# (encoding, bits, struct code, construct type, bitstruct code)
KINDS = [
    ("unsigned", 8, "B", cs.Int8ub, "u8"),
    ("unsigned", 16, "H", cs.Int16ub, "u16"),
    ("twos_complement", 16, "h", cs.Int16sb, "s16"),
    ("unsigned", 32, "I", cs.Int32ub, "u32"),
    ("twos_complement", 32, "i", cs.Int32sb, "s32"),
    ("twos_complement", 8, "b", cs.Int8sb, "s8"),
    ("unsigned", 64, "Q", cs.Int64ub, "u64"),
    ("twos_complement", 64, "q", cs.Int64sb, "s64"),
]

HOUSEKEEPING = [0, 1, 2, 1, 0, 2, 3, 4, 1, 1, 0, 5, 2, 3, 1, 0]


def layout(count: int):
    pattern = HOUSEKEEPING if count == 16 else [i % len(KINDS) for i in range(count)]
    return [(f"p{i:03d}", KINDS[k]) for i, k in enumerate(pattern)]


def random_value(encoding: str, bits: int, rng: random.Random) -> int:
    if encoding == "unsigned":
        return rng.randrange(0, 1 << bits)
    return rng.randrange(-(1 << (bits - 1)), 1 << (bits - 1))


def build(count: int):
    fields = layout(count)
    rng = random.Random(count)
    recipe = [
        {"name": name, "encoding": enc, "bits": bits, "byte_order": "big", "reverse_bits": False}
        for name, (enc, bits, *_rest) in fields
    ]
    values = {name: random_value(enc, bits, rng) for name, (enc, bits, *_rest) in fields}
    names = [name for name, _ in fields]
    fmt = "".join(k[4] for _, k in fields)
    struct_fmt = ">" + "".join(k[2] for _, k in fields)
    con = cs.Struct(*[name / k[3] for name, k in fields])
    return recipe, values, names, fmt, struct_fmt, con


def best(stmt, number: int) -> float:
    return min(timeit.repeat(stmt, number=number, repeat=7)) / number


ROW_ORDER = [
    "fieldloom unpack_parameters", "bitstruct C unpack_dict (per call)", "cbitstruct unpack_dict (per call)",
    "bitstruct C compiled", "bitstruct pure-Python unpack_dict", "bitstruct pure-Python compiled",
    "construct Struct.parse", "struct.Struct.unpack + dict (floor)",
    "fieldloom pack_parameters", "bitstruct C pack_dict (per call)", "cbitstruct pack_dict (per call)",
    "bitstruct C compiled", "bitstruct pure-Python pack_dict", "bitstruct pure-Python compiled",
    "construct Struct.build", "struct.Struct.pack (floor)",
]


def run(count: int, number: int) -> list[tuple[str, str, float]]:
    recipe, values, names, fmt, struct_fmt, con = build(count)
    packet = fieldloom.pack_parameters(recipe, values)
    st = struct.Struct(struct_fmt)
    c_compiled = bitstruct_c.compile(fmt, names)
    py_compiled = bitstruct.compile(fmt, names)
    ordered = [values[n] for n in names]

    # Same layout, same results, before timing anything.
    assert fieldloom.unpack_parameters(packet, 0, recipe) == values
    assert st.pack(*ordered) == packet
    assert bitstruct_c.pack_dict(fmt, names, values) == packet
    assert bitstruct.pack_dict(fmt, names, values) == packet
    assert dict(bitstruct_c.unpack_dict(fmt, names, packet)) == values
    assert cbitstruct.pack_dict(fmt, names, values) == packet
    assert cbitstruct.unpack_dict(fmt, names, packet) == values
    assert c_compiled.unpack(packet) == values
    assert py_compiled.unpack(packet) == values
    assert {k: v for k, v in con.parse(packet).items() if k != "_io"} == values
    assert con.build(values) == packet

    # The C calls, fieldloom's included, are timed interleaved in one loop
    # (timing.py), so that load meets them alike; the pure-Python peers, a
    # hundred times slower, are timed on their own.
    fast = [
        ("unpack", "fieldloom unpack_parameters", lambda: fieldloom.unpack_parameters(packet, 0, recipe)),
        ("unpack", "bitstruct C unpack_dict (per call)", lambda: bitstruct_c.unpack_dict(fmt, names, packet)),
        ("unpack", "cbitstruct unpack_dict (per call)", lambda: cbitstruct.unpack_dict(fmt, names, packet)),
        ("unpack", "bitstruct C compiled", lambda: c_compiled.unpack(packet)),
        ("unpack", "struct.Struct.unpack + dict (floor)", lambda: dict(zip(names, st.unpack(packet)))),
        ("pack", "fieldloom pack_parameters", lambda: fieldloom.pack_parameters(recipe, values)),
        ("pack", "bitstruct C pack_dict (per call)", lambda: bitstruct_c.pack_dict(fmt, names, values)),
        ("pack", "cbitstruct pack_dict (per call)", lambda: cbitstruct.pack_dict(fmt, names, values)),
        ("pack", "bitstruct C compiled", lambda: c_compiled.pack(values)),
        ("pack", "struct.Struct.pack (floor)", lambda: st.pack(*[values[k] for k in names])),
    ]
    times = interleaved_best([timeit.Timer(call) for _, _, call in fast], seconds=0.005, repeats=21)
    rows = [(direction, name, t) for (direction, name, _), t in zip(fast, times)]
    slow = max(1, number // 20)
    rows += [
        ("unpack", "bitstruct pure-Python unpack_dict", best(lambda: bitstruct.unpack_dict(fmt, names, packet), slow)),
        ("unpack", "bitstruct pure-Python compiled", best(lambda: py_compiled.unpack(packet), slow)),
        ("unpack", "construct Struct.parse", best(lambda: con.parse(packet), slow)),
        ("pack", "bitstruct pure-Python pack_dict", best(lambda: bitstruct.pack_dict(fmt, names, values), slow)),
        ("pack", "bitstruct pure-Python compiled", best(lambda: py_compiled.pack(values), slow)),
        ("pack", "construct Struct.build", best(lambda: con.build(values), slow)),
    ]
    rows.sort(key=lambda row: ROW_ORDER.index(row[1], 0 if row[0] == "unpack" else len(ROW_ORDER) // 2))
    return rows


def report(count: int, rows) -> None:
    print(f"\n{count}-field packet")
    for direction in ("unpack", "pack"):
        ours = next(t for d, name, t in rows if d == direction and name.startswith("fieldloom"))
        print(f"  {direction}:")
        for d, name, t in rows:
            if d != direction:
                continue
            print(f"    {name:<40} {t * 1e6:9.2f} us   peer/fieldloom {t / ours:6.2f}")


def per_call_ratios(number: int = 300, repeat: int = 30) -> dict[str, float]:
    """bitstruct's C per-call time / fieldloom's for the 16-field packet, per direction:
    the peer that takes its format on every call, as fieldloom takes its recipe. The two
    are timed in turn, in many short runs, so that a busy machine slows both alike and
    the best of each is a quiet moment."""
    recipe, values, names, fmt, *_ = build(16)
    packet = fieldloom.pack_parameters(recipe, values)
    assert dict(bitstruct_c.unpack_dict(fmt, names, packet)) == fieldloom.unpack_parameters(packet, 0, recipe)
    assert bitstruct_c.pack_dict(fmt, names, values) == packet
    pairs = {
        "unpack": (lambda: fieldloom.unpack_parameters(packet, 0, recipe), lambda: bitstruct_c.unpack_dict(fmt, names, packet)),
        "pack": (lambda: fieldloom.pack_parameters(recipe, values), lambda: bitstruct_c.pack_dict(fmt, names, values)),
    }
    ratios = {}
    for direction, (ours, theirs) in pairs.items():
        best_ours = best_theirs = float("inf")
        for _ in range(repeat):
            best_ours = min(best_ours, timeit.timeit(ours, number=number))
            best_theirs = min(best_theirs, timeit.timeit(theirs, number=number))
        ratios[direction] = best_theirs / best_ours
    return ratios


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=2000)
    parser.add_argument("--per-call-ratios", action="store_true",
                        help="print only the 16-field ratios against bitstruct's C per-call functions, as JSON")
    args = parser.parse_args()
    if args.per_call_ratios:
        ratios = per_call_ratios()
        print(json.dumps({"python": platform.python_version(), **ratios}))
        return
    for count, number in ((16, args.number), (200, max(1, args.number // 10))):
        report(count, run(count, number))


if __name__ == "__main__":
    main()
