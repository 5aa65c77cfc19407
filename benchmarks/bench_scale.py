"""Recordings at scale: the CCSDS scan, read_dask on a local cluster, and the command line.

Run:  pip install ".[test]" && python benchmarks/bench_scale.py [--gigabytes 1]
Writes its recordings under /tmp (or --directory) and deletes them at the end.
Prints a Markdown table, every figure from this one run, and writes it to
benchmarks/results_scale.md.
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

import fieldloom
from fieldloom_batch import Layout, read_dask, scan_ccsds

ROOT = Path(__file__).resolve().parents[1]
RECIPE_FILE = ROOT / "examples" / "housekeeping_recipe.json"
FILES = 4


def python_scan(data: bytes) -> list[tuple[int, int, int, int]]:
    """The header walk as a Python loop: offset, length, APID and sequence count of each packet."""
    rows = []
    position, size = 0, len(data)
    while size - position >= 6:
        length = 7 + int.from_bytes(data[position + 4:position + 6], "big")
        if length > size - position:
            break
        rows.append((position, length, int.from_bytes(data[position:position + 2], "big") & 0x7FF,
                     int.from_bytes(data[position + 2:position + 4], "big") & 0x3FFF))
        position += length
    return rows


def tiled(packets: list[bytes], size: int) -> bytes:
    block = b"".join(packets)
    return (block * (size // len(block) + 1))[: size // len(block) * len(block)]


def mixed_apid_packets(count: int, rng: random.Random) -> list[bytes]:
    """100-byte CCSDS packets of eight APIDs."""
    packets = []
    for i in range(count):
        apid = rng.choice([0x10, 0x11, 0x20, 0x123, 0x200, 0x3FF, 0x400, 0x7FE])
        header = (0x0800 | apid).to_bytes(2, "big") + (0xC000 | i % 16384).to_bytes(2, "big") + (93).to_bytes(2, "big")
        packets.append(header + rng.randbytes(94))
    return packets


def housekeeping_packets(recipe: list[dict], count: int, rng: random.Random) -> list[bytes]:
    packets = []
    for i in range(count):
        values = {"apid": 0x123, "packet_id": 0x0923, "sequence_count": i % 16384, "sequence_control": 0xC000 | i % 16384,
                  "packet_data_length": 24, "rtc_time": 100000 + i % 60, "mode": rng.choice(["NOMINAL", "SAFE", "SCIENCE"]),
                  "bus_voltage": rng.uniform(27, 29), "bus_current": rng.uniform(0.5, 2), "board_temp": rng.randrange(-500, 500),
                  "wheel_speed": rng.randrange(-3000, 3000), "heater_duty": rng.randrange(101), "sun_sensor": rng.randrange(4000),
                  "eps_flags": rng.randrange(256)}
        packets.append(fieldloom.pack_parameters(recipe, values))
    return packets


def best(function, repeat: int = 3) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def bench_scan(rows: list[tuple[str, str]]) -> None:
    data = tiled(mixed_apid_packets(2000, random.Random(1)), 256 << 20)
    native = best(lambda: scan_ccsds(data))
    sample = data[: 8 << 20]
    python = best(lambda: python_scan(sample), repeat=1)
    assert [row[0] for row in python_scan(sample[:100_000])] == scan_ccsds(sample[:100_000])["offset"].tolist()
    native_rate, python_rate = len(data) / native / 1e6, len(sample) / python / 1e6
    rows.append(("scan_ccsds, 100-byte packets of 8 APIDs (256 MB in memory)", f"{native_rate:,.0f} MB/s"))
    rows.append(("Python int.from_bytes header loop, same packets", f"{python_rate:,.1f} MB/s"))
    rows.append(("scan_ccsds / Python loop", f"{native_rate / python_rate:,.0f}x"))


def decode_serially(layout: Layout, paths: list[Path]) -> int:
    rows = 0
    for path in paths:
        data = path.read_bytes()
        scan = scan_ccsds(data)
        rows += len(layout.unpack_many(data, offsets=scan["offset"], lengths=scan["length"])["apid"])
    return rows


def bench_dask_and_cli(rows: list[tuple[str, str]], directory: Path, gigabytes: float) -> None:
    import distributed

    document = json.loads(RECIPE_FILE.read_text())
    recipe = document["primary_header"] + document["data_field"]
    layout = Layout(recipe)
    data = tiled(housekeeping_packets(recipe, 3000, random.Random(2)), int(gigabytes * 1e9 / FILES))
    paths = [directory / f"housekeeping{i}.bin" for i in range(FILES)]
    for path in paths:
        path.write_bytes(data)
    total = len(data) * FILES
    del data
    packets = total // 31

    def warm() -> None:  # imports done before the clock starts, as in the serial process
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401

        import fieldloom_batch.dataframe  # noqa: F401

    # Wall time, and CPU time: on a shared machine the kernel may give a
    # session's processes one share between them, so the CPU seconds of the
    # busiest worker show what two free cores would give.
    serial = clustered = serial_cpu = busiest = float("inf")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, memory_limit="4GiB") as cluster, distributed.Client(cluster) as client:
        client.run(warm)
        for blocksize in ("64MiB", "63MiB"):  # a new graph each time: nothing can come from a cache
            start, cpu = time.perf_counter(), time.process_time()
            assert decode_serially(layout, paths) == packets
            serial = min(serial, time.perf_counter() - start)
            serial_cpu = min(serial_cpu, time.process_time() - cpu)
            before = client.run(cpu_seconds)
            start = time.perf_counter()
            frame = read_dask(paths, recipe, ccsds=True, blocksize=blocksize)
            assert int(frame.map_partitions(len).compute().sum()) == packets
            clustered = min(clustered, time.perf_counter() - start)
            after = client.run(cpu_seconds)
            busiest = min(busiest, max(after[worker] - before[worker] for worker in after))
    rows.append((f"one process: scan_ccsds + unpack_many over {total / 1e9:.1f} GB of housekeeping packets",
                 f"{total / serial / 1e6:,.0f} MB/s ({serial_cpu:.1f} CPU s)"))
    rows.append(("read_dask on LocalCluster(2 worker processes), same files",
                 f"{total / clustered / 1e6:,.0f} MB/s (busiest worker {busiest:.1f} CPU s)"))
    rows.append(("read_dask / one process, wall time", f"{serial / clustered:.2f}x"))
    rows.append(("read_dask / one process, CPU time of the busiest worker", f"{serial_cpu / busiest:.2f}x"))

    for workers in (1, 2):
        out = directory / f"out{workers}.parquet"
        start, cpu = time.perf_counter(), children_cpu_seconds()
        subprocess.run([sys.executable, "-m", "fieldloom_batch", "decode", *map(str, paths), "--recipe",
                        str(RECIPE_FILE), "--ccsds", "--output", str(out), "--workers", str(workers)], check=True,
                       capture_output=True)
        seconds, cpu = time.perf_counter() - start, children_cpu_seconds() - cpu
        rows.append((f"fieldloom decode {total / 1e9:.1f} GB to Parquet, --workers {workers}",
                     f"{total / seconds / 1e6:,.0f} MB/s ({cpu:.1f} CPU s, all processes)"))
        out.unlink()


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def children_cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--gigabytes", type=float, default=1.0)
    parser.add_argument("--directory", type=Path, default=Path(tempfile.gettempdir()))
    args = parser.parse_args()
    rows: list[tuple[str, str]] = []
    bench_scan(rows)
    directory = Path(tempfile.mkdtemp(prefix="fieldloom-bench-", dir=args.directory))
    try:
        bench_dask_and_cli(rows, directory, args.gigabytes)
    finally:
        shutil.rmtree(directory)
    report = "\n".join([
        "# Recordings at scale: benchmark results", "",
        f"Measured {time.strftime('%Y-%m-%d')} on {os.cpu_count()} CPUs, Python {sys.version.split()[0]}, "
        "by `python benchmarks/bench_scale.py`, every figure from one run.", "",
        "| measurement | result |", "|---|---:|", *(f"| {name} | {value} |" for name, value in rows), "",
    ])
    print(report)
    (Path(__file__).resolve().parent / "results_scale.md").write_text(report)


if __name__ == "__main__":
    main()
