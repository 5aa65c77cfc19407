"""Run every benchmark and write the report: results.md, results.png and README's summary.

    pip install ".[bench]" && python benchmarks/report.py [--quick] [--interpreter PYTHON ...]

Reuses the measurements of bench_recipe.py, bench_scalars.py, bench_text.py,
bench_batch.py and bench_definitions.py.
Every figure is a ratio, peer time / fieldloom time: above 1 fieldloom is
faster. The README's summary sits between two marker comments and is replaced
on each run. The text codecs take most of the time (a few minutes); --quick
shortens every timing run. Each --interpreter (say, a 3.12 or 3.13 virtual
environment's python with fieldloom and the bench extra) adds its line of
16-field ratios to the table across interpreters.
"""
from __future__ import annotations

import argparse
import contextlib
import datetime
import io
import json
import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path

# NumPy's BLAS threads spin on a CPU for a while once started; on a machine
# of two CPUs that CPU is taken from whichever side is being timed. Set before
# NumPy loads, here and in the interpreters run for their line of ratios.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # the benchmark modules beside this file

import bench_batch  # noqa: E402
import bench_definitions  # noqa: E402
import bench_recipe  # noqa: E402
import bench_scalars  # noqa: E402
import bench_text  # noqa: E402
import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.colors import LogNorm  # noqa: E402

import fieldloom  # noqa: E402

RESULTS_MD = HERE / "results.md"
RESULTS_PNG = HERE / "results.png"
README = HERE.parent / "README.md"
SUMMARY_START = "<!-- benchmark summary: written by benchmarks/report.py -->"
SUMMARY_END = "<!-- end of benchmark summary -->"

PACKET_SIZES = (16, 200)  # fields per packet: bench_recipe's housekeeping layout and a long one
# Peers shown in the chart and the README, by bench_recipe's row names without the direction words.
RECIPE_PEERS = {
    "bitstruct C compiled": "bitstruct (C, compiled format)",
    "bitstruct C per call": "bitstruct (C, format per call)",
    "cbitstruct per call": "cbitstruct (C, format per call)",
    "struct floor": "struct.Struct + dict (floor)",
    "bitstruct pure-Python compiled": "bitstruct (pure Python, compiled)",
    "construct": "construct Struct",
}


def peer_key(name: str) -> str | None:
    """bench_recipe's row name -> a RECIPE_PEERS key, the same for unpack and pack rows."""
    if name.startswith("fieldloom"):
        return None
    if name.startswith("struct."):
        return "struct floor"
    if name.startswith("construct"):
        return "construct"
    if name.startswith("cbitstruct"):
        return "cbitstruct per call"
    kind = "C" if " C " in name else "pure-Python"
    style = "compiled" if name.endswith("compiled") else "per call"
    key = f"bitstruct {kind} {style}"
    return key if key in RECIPE_PEERS else None


def measure_recipes(number: int) -> list[dict[str, object]]:
    rows: list[dict[str, object]] = []
    for count in PACKET_SIZES:
        timings = bench_recipe.run(count, number if count == 16 else max(1, number // 10))
        for direction in ("unpack", "pack"):
            ours = next(t for d, name, t in timings if d == direction and name.startswith("fieldloom"))
            for d, name, t in timings:
                if d == direction:
                    rows.append({"fields": count, "direction": direction, "name": name,
                                 "peer": peer_key(name) or name, "us": t * 1e6, "ratio": t / ours})
    return rows


def measure_interpreters(others: list[str]) -> list[dict[str, object]]:
    """The 16-field ratios against bitstruct's C per-call functions, under this interpreter
    and under each other one."""
    rows: list[dict[str, object]] = [{"python": platform.python_version(), **bench_recipe.per_call_ratios()}]
    for python in others:
        out = subprocess.run([python, str(HERE / "bench_recipe.py"), "--per-call-ratios"],
                             capture_output=True, text=True, check=True)
        rows.append(json.loads(out.stdout))
    return sorted(rows, key=lambda row: tuple(int(part) for part in str(row["python"]).split(".")[:2]))


def measure_scalars(quick: bool) -> list[tuple[str, str, float, float]]:
    with contextlib.redirect_stdout(io.StringIO()):
        return bench_scalars.main(*((0.001, 31, 1) if quick else ()))


def measure_text(seconds: float, repeats: int) -> dict[tuple[str, str, str, str], float]:
    """(codec, direction, size, kind) -> interpreter time / fieldloom time."""
    ratios: dict[tuple[str, str, str, str], float] = {}
    for suffix, codec, repertoire, _target in bench_text.CODECS:
        decode, encode = getattr(fieldloom, "decode_" + suffix), getattr(fieldloom, "encode_" + suffix)
        for size_name, size in bench_text.SIZES.items():
            for kind, pattern in (("ascii", bench_text.ASCII_SAMPLE), ("mixed", bench_text.MIXED[repertoire])):
                text = bench_text.sample(pattern, codec, size)
                data = text.encode(codec)
                assert decode(data) == text and encode(text) == data
                for direction, ours, arg in (("decode", decode, data), ("encode", encode, text)):
                    t_py, t_fl = bench_text.best_per_call(codec, direction, ours, arg, seconds, repeats)
                    ratios[(suffix, direction, size_name, kind)] = t_py / t_fl
            print(f"  text: {suffix} {size_name} done", file=sys.stderr)
    return ratios


def measure_batch(packets: int) -> tuple[list[bench_batch.Comparison], bench_batch.Memory]:
    with contextlib.redirect_stdout(io.StringIO()):
        return bench_batch.run(packets)


def measure_definitions(packets: int) -> tuple[list[bench_batch.Comparison], bench_batch.Memory]:
    with contextlib.redirect_stdout(io.StringIO()):
        return bench_definitions.run(packets)


def definitions_table(rows: list[bench_batch.Comparison], memory: bench_batch.Memory) -> list[str]:
    lines = batch_table(rows, memory)[:-2]  # the rows; the memory line is said for definitions below
    met = "met" if memory.ratio <= 1.1 else "**missed**"
    return lines + ["", f"Memory: decoding the {memory.packets:,}-packet mixed recording reaches a peak of "
                        f"{memory.peak_bytes / 1e6:.2f} MB traced by `tracemalloc` for {memory.columns_bytes / 1e6:.2f} MB "
                        f"of tables: {memory.ratio:.3f}x (target at most 1.1x, {met})."]


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {platform.system()}, Python {platform.python_version()}"


def ratio_text(ratio: float) -> str:
    return f"{ratio:.2f}x"


def recipe_table(rows: list[dict[str, object]]) -> list[str]:
    lines = ["| packet | direction | implementation | time per packet | peer time / fieldloom time |",
             "|---|---|---|---:|---:|"]
    for row in rows:
        lines.append(f"| {row['fields']} fields | {row['direction']} | {row['name']} | {float(row['us']):.2f} µs "
                     f"| {ratio_text(float(row['ratio']))} |")
    return lines


def interpreter_table(rows: list[dict[str, object]]) -> list[str]:
    base = next((row for row in rows if str(row["python"]).startswith("3.11.")), None)
    lines = ["| interpreter | unpack: bitstruct / fieldloom | pack: bitstruct / fieldloom "
             "| unpack ratio / 3.11's | pack ratio / 3.11's |", "|---|---:|---:|---:|---:|"]
    for row in rows:
        against = [f"{float(row[d]) / float(base[d]):.2f}" if base else "-" for d in ("unpack", "pack")]
        lines.append(f"| CPython {row['python']} | {ratio_text(float(row['unpack']))} | {ratio_text(float(row['pack']))} "
                     f"| {against[0]} | {against[1]} |")
    return lines


def scalar_table(rows: list[tuple[str, str, float, float]]) -> list[str]:
    lines = ["| fieldloom call | time | peer | time | peer time / fieldloom time |", "|---|---:|---|---:|---:|"]
    for title, peer, ours, theirs in rows:
        lines.append(f"| `{title}` | {ours * 1e9:.0f} ns | `{peer}` | {theirs * 1e9:.0f} ns | {ratio_text(theirs / ours)} |")
    return lines


def text_table(ratios: dict[tuple[str, str, str, str], float], kind: str) -> list[str]:
    columns = [(d, s) for d in ("decode", "encode") for s in bench_text.SIZES]
    lines = ["| codec | " + " | ".join(f"{d} {s}" for d, s in columns) + " |",
             "|---|" + "---:|" * len(columns)]
    for suffix, *_ in bench_text.CODECS:
        cells = [ratio_text(ratios[(suffix, d, s, kind)]) for d, s in columns]
        lines.append(f"| {suffix} | " + " | ".join(cells) + " |")
    return lines


def batch_label(row: bench_batch.Comparison) -> str:
    return f"{row.ours} vs {row.peer}\n{row.group}"


def target_text(row: bench_batch.Comparison) -> str:
    if row.target is None:
        return ""
    met = "met" if row.ratio >= row.target else f"**missed** ({row.ratio:.3f}x)"
    return f"{row.target_text or f'at least {row.target:.2f}x'}: {met}"


def batch_table(rows: list[bench_batch.Comparison], memory: bench_batch.Memory) -> list[str]:
    lines = ["| recording or packet | fieldloom_batch | time | peer | time | peer time / fieldloom_batch time | target |",
             "|---|---|---:|---|---:|---:|---|"]
    for row in rows:
        unit, scale = ("ms", 1e3) if row.t_ours > 1e-4 else ("µs", 1e6)
        lines.append(f"| {row.group} | {row.ours} | {row.t_ours * scale:.2f} {unit} | {row.peer} "
                     f"| {row.t_peer * scale:.2f} {unit} | {ratio_text(row.ratio)} | {target_text(row)} |")
    met = "met" if memory.ratio <= 1.1 else "**missed**"
    lines += ["", f"Memory: `unpack_many` of {memory.packets:,} packets of the 16-field layout reaches a peak of "
              f"{memory.peak_bytes / 1e6:.2f} MB traced by `tracemalloc` for {memory.columns_bytes / 1e6:.2f} MB of "
              f"columns: {memory.ratio:.3f}x (target at most 1.1x, {met}). `tracemalloc` sees the interpreter's "
              f"and NumPy's allocations."]
    return lines


def write_markdown(recipes, interpreters, scalars, text, batch, definitions, when: str) -> None:
    lines = [
        "# Benchmark results",
        "",
        f"Measured {when} on {machine()}. Refresh with `python benchmarks/report.py`",
        "(after `pip install \".[bench]\"`); it rewrites this file, `results.png` and the",
        "summary in the README.",
        "",
        "Every ratio is the peer's time divided by fieldloom's: above 1 fieldloom is faster.",
        "Each time is the best of several timing runs. The recipe engine and its C peers, the",
        "one-packet layout rows, scalar codecs, the call floor and text codecs are timed",
        "interleaved with their peers in one loop of many short runs; the scalar and text calls",
        "are written as a caller writes them (`f(a, b)`, `text.encode(codec)`), with no wrapper.",
        "",
        "![benchmark chart](results.png)",
        "",
        "## Recipe engine",
        "",
        "One packet of byte-aligned integer fields (8 to 64 bits, unsigned and two's complement),",
        "decoded into and encoded from a dict of named values. Every peer is checked to give the",
        "same values and bytes before it is timed. `struct` is a floor, not a peer: it returns a",
        "tuple (the dict is built from it) and knows only whole-byte formats.",
        "",
        *recipe_table(recipes),
        "",
        "## Across interpreters",
        "",
        "The 16-field packet under each supported interpreter measured (`--interpreter`, each with",
        "fieldloom and the bench extra installed): bitstruct's C per-call functions' time divided by",
        "fieldloom's, both timed in turn (best of 30 runs of 300 calls), and each ratio divided by",
        "3.11's. On every interpreter the recipe reader remembers fully valid entries by dict version",
        "tag (3.12 and 3.13 deprecate the tag but still keep it for their dict watchers); without that",
        "memory (`-DFIELDLOOM_DICT_VERSION_TAGS=0`) every entry is read on every call.",
        "",
        *interpreter_table(interpreters),
        "",
        "## Whole recordings: fieldloom_batch",
        "",
        f"Recordings of {batch[1].packets:,} packets decoded into NumPy columns (`Layout.unpack_many`), and one",
        "packet through a compiled layout (`Layout.unpack`, `Layout.pack`). Both sides give the same",
        "columns (checked, floats bit for bit) before anything is timed. Against ccsdspy the CCSDS",
        "header's sub-fields and the recording's sub-byte fields are taken from whole-byte columns with",
        "NumPy shifts and masks, and that time is ours. The Python loop calls `unpack_parameters` at each",
        "packet's offset in the recording, keeps the dicts (the collector's work on them included) and",
        "builds one array per field from them. Targets are the",
        "ratios issue 15 asks for; threads=2 shares a machine whose two cores other work also uses.",
        "",
        *batch_table(*batch),
        "",
        "## Packet definitions",
        "",
        "`Definitions.decode` of whole recordings (`benchmarks/bench_definitions.py`). Both sides give equal",
        "values (checked) before anything is timed: space_packet_parser's model is built from the same",
        "packet types, and `unpack_many` decodes the same packets split by type beforehand.",
        "",
        *definitions_table(*definitions),
        "",
        "## Scalar codecs",
        "",
        "The call floor first: standalone numeric codecs against `operator.and_` on two ints whose",
        "result is a new int (`0x8AB & 0xFFF`), a two-int C builtin call with the same argument and",
        "result shapes, timed once in the same loop as every row; the target is at least 0.87x",
        "(within 1.15x of its time). Then codecs against the interpreter's own equivalents.",
        "",
        *scalar_table(scalars),
        "",
        "## Text codecs against the interpreter's own",
        "",
        "Interpreter time / fieldloom time for `bytes.decode` and `str.encode`, per size of the",
        "encoded text. Mixed text holds what the codec can carry beyond ASCII. Both sides are timed",
        "interleaved on five equal texts at different addresses and keep their best: where a large",
        "text and its result lie can hold either side well above its usual time for a whole run.",
        "",
        "ASCII text:",
        "",
        *text_table(text, "ascii"),
        "",
        "Mixed text:",
        "",
        *text_table(text, "mixed"),
        "",
    ]
    RESULTS_MD.write_text("\n".join(lines), encoding="utf-8")


def write_chart(recipes, scalars, text, batch) -> None:
    figure = plt.figure(figsize=(12, 16), layout="constrained")
    grid = figure.add_gridspec(3, 2, height_ratios=[1, 1, 1.25], width_ratios=[1.5, 1])
    axis = figure.add_subplot(grid[0, 0])
    peers = list(RECIPE_PEERS)
    series = [(count, direction) for count in PACKET_SIZES for direction in ("unpack", "pack")]
    height = 0.8 / len(series)
    for i, (count, direction) in enumerate(series):
        values = [next(float(r["ratio"]) for r in recipes
                       if r["peer"] == peer and r["fields"] == count and r["direction"] == direction) for peer in peers]
        axis.barh([p + i * height for p in range(len(peers))], values, height, label=f"{direction}, {count} fields")
    axis.set_yticks([p + 0.4 - height / 2 for p in range(len(peers))], [RECIPE_PEERS[p] for p in peers])
    axis.invert_yaxis()
    axis.set_xscale("log")
    axis.axvline(1.0, color="black", linewidth=1)
    axis.set_xlabel("peer time / fieldloom time (log; right of 1: fieldloom faster)")
    axis.set_title("Recipe engine: unpack_parameters and pack_parameters")
    axis.legend(fontsize="small")

    axis = figure.add_subplot(grid[0, 1])
    labels = [f"{title}\nvs {peer}" for title, peer, _, _ in scalars]
    axis.barh(range(len(scalars)), [theirs / ours for _, _, ours, theirs in scalars], color="tab:green")
    axis.set_yticks(range(len(scalars)), labels, fontsize="x-small")
    axis.invert_yaxis()
    axis.axvline(1.0, color="black", linewidth=1)
    axis.set_xlabel("peer time / fieldloom time")
    axis.set_title("Scalar codecs")

    axis = figure.add_subplot(grid[1, :])
    rows = batch[0]
    axis.barh(range(len(rows)), [row.ratio for row in rows], color="tab:purple", label="measured")
    targets = [(i, row.target) for i, row in enumerate(rows) if row.target]
    axis.scatter([t for _, t in targets], [i for i, _ in targets], marker="|", s=400, color="black", zorder=3,
                 label="target")
    for i, row in enumerate(rows):
        axis.text(row.ratio, i, f" {row.ratio:.2f}x", va="center", fontsize="small")
    axis.set_yticks(range(len(rows)), [batch_label(row) for row in rows], fontsize="x-small")
    axis.invert_yaxis()
    axis.set_xscale("log")
    axis.axvline(1.0, color="black", linewidth=1)
    axis.set_xlabel("peer time / fieldloom_batch time (log; right of 1: fieldloom_batch faster)")
    axis.set_title(f"Whole recordings ({batch[1].packets:,} packets) and compiled layouts: fieldloom_batch")
    axis.legend(fontsize="small", loc="lower right")

    axis = figure.add_subplot(grid[2, :])
    columns = [(kind, d, s) for kind in ("ascii", "mixed") for d in ("decode", "encode") for s in bench_text.SIZES]
    codecs = [suffix for suffix, *_ in bench_text.CODECS]
    matrix = [[text[(suffix, d, s, kind)] for kind, d, s in columns] for suffix in codecs]
    # Symmetric on a log scale around 1; ratios beyond 10 share the end colour.
    image = axis.imshow(matrix, cmap="RdYlGn", norm=LogNorm(vmin=0.1, vmax=10), aspect="auto")
    for y, row in enumerate(matrix):
        for x, value in enumerate(row):
            axis.text(x, y, f"{value:.2f}", ha="center", va="center", fontsize="small")
    axis.set_xticks(range(len(columns)), [f"{kind}\n{d}\n{s}" for kind, d, s in columns], fontsize="small")
    axis.set_yticks(range(len(codecs)), codecs)
    axis.set_title("Text codecs: interpreter time / fieldloom time (green: fieldloom faster)")
    figure.colorbar(image, ax=axis, shrink=0.8)
    figure.suptitle(f"fieldloom benchmarks ({machine()})", fontsize="medium")
    figure.savefig(RESULTS_PNG, dpi=90)
    plt.close(figure)


def summary(recipes, interpreters, text, batch, definitions) -> list[str]:
    def ratio(peer: str, count: int, direction: str) -> str:
        return ratio_text(next(float(r["ratio"]) for r in recipes
                               if r["peer"] == peer and r["fields"] == count and r["direction"] == direction))

    ours = {(r["fields"], r["direction"]): float(r["us"]) for r in recipes if str(r["name"]).startswith("fieldloom")}
    lines = [
        f"fieldloom itself: {ours[(16, 'unpack')]:.2f} µs to unpack and {ours[(16, 'pack')]:.2f} µs to pack "
        f"a 16-field packet. Peer time / fieldloom time (above 1: fieldloom is faster):",
        "",
        "| peer | unpack, 16 fields | pack, 16 fields | unpack, 200 fields | pack, 200 fields |",
        "|---|---:|---:|---:|---:|",
    ]
    for peer, label in RECIPE_PEERS.items():
        lines.append(f"| {label} | " + " | ".join(ratio(peer, c, d) for c in PACKET_SIZES for d in ("unpack", "pack")) + " |")
    rows, memory = batch
    rows = rows + definitions[0]
    lines += ["", f"fieldloom_batch, {memory.packets:,} packets per recording (peer time / fieldloom_batch time):", "",
              "| fieldloom_batch | peer | on | ratio | target |", "|---|---|---|---:|---|"]
    for row in rows:
        lines.append(f"| {row.ours} | {row.peer} | {row.group} | {ratio_text(row.ratio)} | {target_text(row)} |")
    lines += ["", f"Peak traced memory of `unpack_many`: {memory.ratio:.3f}x the bytes of its columns (target at most 1.1x)."]
    for direction in ("decode", "encode"):
        values = [text[(s, direction, "64 B", "mixed")] for s, *_ in bench_text.CODECS]
        lines.append("")
        lines.append(f"Text {direction}rs, 64-byte mixed text, against the interpreter's codecs: "
                     f"median {ratio_text(statistics.median(values))}, from {ratio_text(min(values))} "
                     f"to {ratio_text(max(values))}.")
    for row in interpreters:
        if not str(row["python"]).startswith("3.11."):
            lines.append("")
            lines.append(f"Under CPython {row['python']}, against bitstruct (C, format per call) with 16 fields: "
                         f"unpack {ratio_text(float(row['unpack']))}, pack {ratio_text(float(row['pack']))} "
                         "(no entry memory there; see the report).")
    return lines


def update_readme(lines: list[str]) -> None:
    readme = README.read_text(encoding="utf-8")
    if SUMMARY_START not in readme or SUMMARY_END not in readme:
        print("README.md has no benchmark summary markers; left unchanged", file=sys.stderr)
        return
    head, rest = readme.split(SUMMARY_START, 1)
    _, tail = rest.split(SUMMARY_END, 1)
    README.write_text(head + SUMMARY_START + "\n" + "\n".join(lines) + "\n" + SUMMARY_END + tail, encoding="utf-8")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter timing runs, rougher figures")
    parser.add_argument("--interpreter", action="append", default=[], metavar="PYTHON",
                        help="another interpreter (with fieldloom and the bench extra) for the 16-field ratios; repeatable")
    args = parser.parse_args()
    when = datetime.date.today().isoformat()
    print("recipe engine ...", file=sys.stderr)
    recipes = measure_recipes(500 if args.quick else 2000)
    interpreters = measure_interpreters(args.interpreter)
    print("scalar codecs ...", file=sys.stderr)
    scalars = measure_scalars(args.quick)
    print("whole recordings ...", file=sys.stderr)
    batch = measure_batch(20_000 if args.quick else bench_batch.PACKETS)
    print("packet definitions ...", file=sys.stderr)
    definitions = measure_definitions(20_000 if args.quick else bench_definitions.PACKETS)
    print("text codecs ...", file=sys.stderr)
    text = measure_text(*((0.002, 9) if args.quick else (0.005, 21)))
    write_markdown(recipes, interpreters, scalars, text, batch, definitions, when)
    write_chart(recipes, scalars, text, batch)
    update_readme(summary(recipes, interpreters, text, batch, definitions))
    print(f"wrote {RESULTS_MD.relative_to(HERE.parent)}, {RESULTS_PNG.relative_to(HERE.parent)} and README's summary")


if __name__ == "__main__":
    main()
