"""Arrow output, parallel writers and read_dask against their floors, every ratio from one run.

Run:  pip install ".[test]" && python benchmarks/bench_arrow.py [--megabytes 256] [--gigabytes 1]
Writes its recordings under /tmp (or --directory) and deletes them at the end; prints a Markdown
table and writes it to benchmarks/results_arrow.md. On a shared machine wall time follows the
load, so each figure comes with the CPU seconds it took (all processes of a run) and CPU time per
byte: the ratios of those are what two free cores would give. Memory is the peak resident memory
of each process, its own (anonymous) apart from what is mapped from files (libraries and the
recording's pages, which the system can drop at will), sampled every few milliseconds.
"""
from __future__ import annotations

import argparse
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from fieldloom_batch import Layout, open_recording, read_dask, scan_ccsds

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_scale import RECIPE_FILE, housekeeping_packets, tiled  # noqa: E402

FILES = 4


def cpu_now() -> float:
    """CPU seconds of this process and of its children that have ended."""
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def measure(function, repeat: int = 3) -> tuple[float, float]:
    """Best wall seconds and best CPU seconds of `function` over `repeat` runs."""
    wall = cpu = float("inf")
    for _ in range(repeat):
        start, used = time.perf_counter(), cpu_now()
        function()
        wall, cpu = min(wall, time.perf_counter() - start), min(cpu, cpu_now() - used)
    return wall, cpu


def measure_together(functions: dict, repeat: int = 3) -> dict:
    """`measure` of each function, their runs taken in turn: a spell of load on the machine falls
    on all of them alike rather than on whichever ran during it."""
    best = {name: (float("inf"), float("inf")) for name in functions}
    for _ in range(repeat):
        for name, function in functions.items():
            wall, cpu = measure(function, repeat=1)
            best[name] = min(best[name][0], wall), min(best[name][1], cpu)
    return best


class Report:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str]] = []

    def figure(self, name: str, size: int, wall: float, cpu: float) -> None:
        self.rows.append((name, f"{size / wall / 1e6:,.0f} MB/s wall, {cpu:.2f} CPU s ({cpu / size * 1e9:.2f} ns/byte)"))

    def ratio(self, name: str, target: float, fast: tuple[float, float], slow: tuple[float, float]) -> None:
        """The speed of `fast` over that of `slow`: slow's seconds / fast's seconds."""
        wall, cpu = slow[0] / fast[0], slow[1] / fast[1]

        def verdict(ratio: float) -> str:
            return "met" if ratio >= target else "**missed**"

        self.rows.append((name, f"{wall:.2f}x wall ({verdict(wall)}), {cpu:.2f}x CPU ({verdict(cpu)}); target {target}x"))


def housekeeping(size: int) -> tuple[list[dict], bytes]:
    document = json.loads(RECIPE_FILE.read_text())
    recipe = document["primary_header"] + document["data_field"]
    return recipe, tiled(housekeeping_packets(recipe, 3000, random.Random(2)), size)


def bench_text(report: Report, recipe: list[dict], data: bytes) -> None:
    layout = Layout(recipe)
    numeric = Layout([entry for entry in recipe if layout.dtypes[entry["name"]] != object])
    stride = layout.packet_size
    numbers = measure(lambda: numeric.unpack_many(data, stride=stride))
    arrow = measure(lambda: layout.unpack_arrow(data))
    objects = measure(lambda: layout.unpack_many(data), repeat=1)
    report.figure(f"unpack_many, the 13 numeric columns ({len(data) / 1e6:.0f} MB)", len(data), *numbers)
    report.figure("unpack_arrow, all 14 columns (text as Arrow strings)", len(data), *arrow)
    report.figure("unpack_many, all 14 columns (text as str objects)", len(data), *objects)
    report.ratio("text: unpack_arrow / numeric columns alone", 0.6, arrow, numbers)


def bench_writers(report: Report, recipe: list[dict], data: bytes, directory: Path) -> None:
    import pyarrow
    import pyarrow.parquet

    layout = Layout(recipe)
    numeric = Layout([entry for entry in recipe if layout.dtypes[entry["name"]] != object])
    path = directory / "housekeeping.bin"
    path.write_bytes(data)
    recipe_path = directory / "recipe.json"
    recipe_path.write_text(json.dumps(recipe))
    text = Layout([entry for entry in recipe if layout.dtypes[entry["name"]] == object]).unpack_arrow(
        data, stride=layout.packet_size)

    def floor() -> None:
        columns = numeric.unpack_many(data)
        table = pyarrow.table({**columns, **{name: text.column(name) for name in text.column_names}})
        pyarrow.parquet.write_table(table, directory / "floor.parquet")

    def command(output: str, workers: int) -> None:
        decode_command(path, recipe_path, layout.packet_size, f"{directory}/{output}", workers)

    floor_figures, one_file = measure_together({"floor": floor, "one": lambda: command("one.parquet", 1)}).values()
    one_file_two = measure(lambda: command("one.parquet", 2), repeat=2)
    dataset = measure_together({workers: lambda w=workers: command("parts.parquet/", w) for workers in (1, 2)})
    size = len(data)
    report.figure("floor: unpack_many (numeric) + write_table, text prebuilt as Arrow strings", size, *floor_figures)
    report.figure("fieldloom decode --workers 1 to one Parquet file", size, *one_file)
    report.figure("fieldloom decode --workers 2 to one Parquet file (tables travel to the writing process)", size,
                  *one_file_two)
    for workers, figures in dataset.items():
        report.figure(f"fieldloom decode --workers {workers} to a Parquet dataset", size, *figures)
    report.ratio("one worker, one file / floor", 0.85, one_file, floor_figures)
    report_workers(report, dataset, "")


def decode_command(path: Path, recipe_path: Path, stride: int, output: Path | str, workers: int) -> None:
    """fieldloom decode in a process of its own, as a user runs it: its start and imports count, for any number
    of workers. An output named with a trailing slash is a dataset."""
    named = str(output)  # a Path would drop the slash
    target = Path(named.rstrip("/"))
    shutil.rmtree(target, ignore_errors=True) if target.is_dir() else target.unlink(missing_ok=True)
    subprocess.run([sys.executable, "-m", "fieldloom_batch", "decode", str(path), "--recipe", str(recipe_path),
                    "--stride", str(stride), "--output", named, "--workers", str(workers), "--no-progress"],
                   check=True, capture_output=True)


def report_workers(report: Report, dataset: dict[int, tuple[float, float]], size: str) -> None:
    # CPU: all processes' CPU seconds per byte, the 2 workers' shared by 2 cores.
    report.ratio(f"--workers 2 / --workers 1, dataset{size} (CPU: CPU s of --workers 1 / half the CPU s of "
                 "--workers 2)", 1.7, (dataset[2][0], dataset[2][1] / 2), dataset[1])


def serial_read(layout: Layout, paths: list[Path], stride: int | None) -> int:
    rows = 0
    for path in paths:
        with open_recording(path) as recording:
            if stride is not None:
                columns = layout.unpack_many(recording, stride=stride)
            else:
                scan = scan_ccsds(recording)
                columns = layout.unpack_many(recording, offsets=scan["offset"], lengths=scan["length"])
            rows += len(next(iter(columns.values())))
            del columns
    return rows


MiB = 1 << 20


def resident(pid: int | str = "self") -> dict[str, int]:
    """A process's resident memory now, in bytes: anonymous (RssAnon: what it allocated) and mapped
    from files (RssFile: libraries and the recording's pages, which the system can drop at will),
    and its peak of the two together (VmHWM); empty once it has ended."""
    try:
        lines = Path(f"/proc/{pid}/status").read_text().splitlines()
    except OSError:
        return {}
    return {key: int(value.split()[0]) * 1024 for key, _, value in (line.partition(":") for line in lines)
            if key in ("RssAnon", "RssFile", "VmHWM")}


def descendants(pid: int) -> list[int]:
    found = []
    for children in Path(f"/proc/{pid}/task").glob("*/children"):
        try:
            found.extend(int(child) for child in children.read_text().split())
        except OSError:
            pass  # ended meanwhile
    return found + [grandchild for child in found for grandchild in descendants(child)]


def peak_memory(arguments: list[str]) -> tuple[int, int]:
    """Runs the command; the largest anonymous and file-mapped resident memory any one of its
    processes reached, sampled every few milliseconds."""
    process = subprocess.Popen([sys.executable, "-m", "fieldloom_batch", *arguments],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    anon = file = 0
    while process.poll() is None:
        for pid in [process.pid, *descendants(process.pid)]:
            now = resident(pid)
            anon, file = max(anon, now.get("RssAnon", 0)), max(file, now.get("RssFile", 0))
        time.sleep(0.005)
    if process.returncode:
        raise RuntimeError(process.stderr.read().decode() if process.stderr else "the command failed")
    return anon, file


def bench_memory(report: Report, recipe: list[dict], size: int, directory: Path) -> None:
    """A process of the command (this one decodes every other block, its worker the rest) stays
    within an idle process plus a block and what decoding and writing one block take, whatever the
    recording's size: recordings of `size` bytes and of four times that. And --workers 2 against 1
    on the larger one."""
    layout = Layout(recipe)
    unit = tiled(housekeeping_packets(recipe, 3000, random.Random(4)), size)
    small, large = f"{len(unit) / 1e6:,.0f} MB", f"{4 * len(unit) / 1e9:.1f} GB"
    recordings = {small: directory / "memory_small.bin", large: directory / "memory_large.bin"}
    recordings[small].write_bytes(unit)
    with open(recordings[large], "wb") as file:
        for _ in range(4):
            file.write(unit)
    (directory / "one.bin").write_bytes(unit[: layout.packet_size])
    recipe_path = directory / "memory_recipe.json"
    recipe_path.write_text(json.dumps(recipe))

    def decode(path: Path, blocksize: int) -> tuple[int, int]:
        shutil.rmtree(directory / "memory.parquet", ignore_errors=True)
        return peak_memory(["decode", str(path), "--recipe", str(recipe_path), "--ccsds", "--workers", "2",
                            "--blocksize", str(blocksize), "--output", f"{directory / 'memory.parquet'}/",
                            "--no-progress"])

    idle = decode(directory / "one.bin", 16 * MiB)
    report.rows.append(("peak resident memory of a process of fieldloom decode --ccsds --workers 2 to a Parquet "
                        "dataset, a recording of one packet", f"{idle[0] / MiB:,.0f} MiB anonymous, "
                        f"{idle[1] / MiB:,.0f} MiB mapped from files"))
    for blocksize in (16 * MiB, 64 * MiB):
        block = unit[: blocksize // layout.packet_size * layout.packet_size]
        table = layout.unpack_arrow(block).nbytes
        peaks = {name: decode(path, blocksize) for name, path in recordings.items()}
        report.rows.append((f"the same, {blocksize // MiB} MiB blocks (one block's Arrow table: {table / MiB:,.0f} MiB)",
                            "; ".join(f"{name}: {anon / MiB:,.0f} MiB anonymous, {file / MiB:,.0f} MiB from files"
                                      for name, (anon, file) in peaks.items())))
    # The workers' start, a fixed cost, weighs less on a larger recording.
    dataset = measure_together({workers: lambda w=workers: decode_command(
        recordings[large], recipe_path, layout.packet_size, f"{directory / 'parts.parquet'}/", w)
        for workers in (1, 2)}, repeat=2)
    for workers, figures in dataset.items():
        report.figure(f"fieldloom decode --workers {workers} to a Parquet dataset, {large}", 4 * len(unit), *figures)
    report_workers(report, dataset, f", {large}")
    for path in recordings.values():
        path.unlink()


def start_sampler() -> None:
    """In a Dask worker: its peak anonymous and file-mapped resident memory from now on."""
    import builtins
    import threading

    peak = {"RssAnon": 0, "RssFile": 0}

    def sample() -> None:
        while True:
            now = resident()
            for key in peak:
                peak[key] = max(peak[key], now[key])
            time.sleep(0.005)

    threading.Thread(target=sample, daemon=True).start()
    builtins.fieldloom_bench_peak = peak  # type: ignore[attr-defined]


def sampled_peak() -> dict[str, int]:
    import builtins

    return {**builtins.fieldloom_bench_peak, "VmHWM": resident()["VmHWM"]}  # type: ignore[attr-defined]


def worker_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def bench_dask(report: Report, recipe: list[dict], gigabytes: float, directory: Path) -> None:
    import distributed

    layout = Layout(recipe)
    data = tiled(housekeeping_packets(recipe, 3000, random.Random(3)), int(gigabytes * 1e9 / FILES))
    paths = [directory / f"housekeeping{i}.bin" for i in range(FILES)]
    for path in paths:
        path.write_bytes(data)
    size, packets = len(data) * FILES, len(data) // layout.packet_size * FILES
    del data

    def warm() -> None:
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401

        import fieldloom_batch.dataframe  # noqa: F401

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, memory_limit="4GiB") as cluster, \
            distributed.Client(cluster) as client:
        client.run(warm)
        client.run(start_sampler)
        for framing, stride in (("fixed-stride", layout.packet_size), ("CCSDS", None)):
            serial = clustered = (float("inf"), float("inf"))
            for blocksize in ("64MiB", "63MiB"):  # a new graph each time: nothing comes from a cache
                start, cpu = time.perf_counter(), cpu_now()
                assert serial_read(layout, paths, stride) == packets
                serial = min(serial[0], time.perf_counter() - start), min(serial[1], cpu_now() - cpu)
                before, start, cpu = client.run(worker_cpu), time.perf_counter(), cpu_now()
                keywords = {"stride": stride} if stride else {"ccsds": True}
                frame = read_dask(paths, layout, blocksize=blocksize, **keywords)
                assert int(frame.map_partitions(len).compute().sum()) == packets
                wall = time.perf_counter() - start
                after = client.run(worker_cpu)
                # CPU of the busier worker: what the read takes with a core per worker.
                busiest = max(after[w] - before[w] for w in after)
                clustered = min(clustered[0], wall), min(clustered[1], busiest + cpu_now() - cpu)
            report.figure(f"one process: open_recording + unpack_many, {framing}, {size / 1e9:.1f} GB", size, *serial)
            report.figure(f"read_dask, LocalCluster of 2 processes, map_partitions(len), {framing} "
                          "(CPU: busier worker + client)", size, *clustered)
            report.ratio(f"read_dask 2 processes / one process, {framing}", 1.6, clustered, serial)
        peaks = client.run(sampled_peak)
        report.rows.append(("peak resident memory of each read_dask worker, 64 MiB blocks (VmHWM: anonymous and "
                            "file-mapped together)", "; ".join(
                                f"{peak['RssAnon'] / MiB:,.0f} MiB anonymous, {peak['RssFile'] / MiB:,.0f} MiB from "
                                f"files, VmHWM {peak['VmHWM'] / MiB:,.0f} MiB" for peak in peaks.values())))


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--megabytes", type=float, default=256, help="housekeeping recording for text and writers")
    parser.add_argument("--gigabytes", type=float, default=1.0, help="recordings read by read_dask")
    parser.add_argument("--directory", type=Path, default=Path(tempfile.gettempdir()))
    args = parser.parse_args()
    report = Report()
    recipe, data = housekeeping(int(args.megabytes * 1e6))
    directory = Path(tempfile.mkdtemp(prefix="fieldloom-bench-", dir=args.directory))
    try:
        bench_text(report, recipe, data)
        bench_writers(report, recipe, data, directory)
        del data
        bench_memory(report, recipe, int(args.megabytes * 1e6), directory)
        bench_dask(report, recipe, args.gigabytes, directory)
    finally:
        shutil.rmtree(directory)
    text = "\n".join([
        "# Arrow, parallel writers and read_dask: benchmark results", "",
        f"Measured {time.strftime('%Y-%m-%d')} on {os.cpu_count()} CPUs (load average "
        f"{os.getloadavg()[0]:.1f}), Python {sys.version.split()[0]}, by `python benchmarks/bench_arrow.py`, "
        "every figure from one run.", "",
        "| measurement | result |", "|---|---:|", *(f"| {name} | {value} |" for name, value in report.rows), "",
    ])
    print(text)
    (Path(__file__).resolve().parent / "results_arrow.md").write_text(text)


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
