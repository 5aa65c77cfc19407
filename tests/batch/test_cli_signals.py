"""The `fieldloom` command stopped by a real signal mid-run: one line, no process and no file left behind."""
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

pytest.importorskip("pyarrow")
pytestmark = pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="finds the workers through /proc")

from recordings import FIXED, STRIDE, fixed_recording  # noqa: E402


def children(pid):
    found = []
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and int((entry / "stat").read_text().rsplit(")", 1)[1].split()[1]) == pid:
                found.append(int(entry.name))
        except (OSError, IndexError, ValueError):
            pass  # ended meanwhile
    return found


def alive(pid):
    try:
        return (Path("/proc") / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def written(directory):
    """Bytes in the run's temporary files, which may go at any moment."""
    total = 0
    for path in [*directory.glob(".out.jsonl*"), *directory.glob(".out.jsonl*/*")]:
        try:
            total += path.stat().st_size
        except FileNotFoundError:
            pass
    return total


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


@pytest.fixture(scope="module")
def long_run(tmp_path_factory):
    """A recording that takes the command seconds to write as JSON Lines."""
    import random

    directory = tmp_path_factory.mktemp("signals")
    packets = fixed_recording(random.Random(5), 2000)[: 2000 // 2 * STRIDE]
    (directory / "long.bin").write_bytes(packets * 1000)
    (directory / "fixed.json").write_text(json.dumps(FIXED))
    return directory


@pytest.mark.parametrize("how, workers, status, message, dataset", [
    ("SIGTERM", 2, 128 + signal.SIGTERM, "fieldloom: terminated\n", False),
    ("SIGTERM", 1, 128 + signal.SIGTERM, "fieldloom: terminated\n", False),
    ("Ctrl-C", 2, 128 + signal.SIGINT, "fieldloom: interrupted\n", False),  # SIGINT to the whole process group
    ("SIGKILL", 2, -signal.SIGKILL, None, False),  # the workers must notice that they are orphans
    ("SIGTERM", 2, 128 + signal.SIGTERM, "fieldloom: terminated\n", True),  # parts written by the workers
    ("Ctrl-C", 3, 128 + signal.SIGINT, "fieldloom: interrupted\n", True),
    # A worker ends as a new program would, though it starts as a copy of the parent and its handlers.
    ("SIGTERM to a worker", 2, 1, "fieldloom: error: a worker process ended unexpectedly (out of memory?)\n", True),
])
def test_a_stopped_run_leaves_nothing_behind(long_run, tmp_path, how, workers, status, message, dataset):
    out = tmp_path / "out.jsonl"
    if dataset:
        out.mkdir()  # an empty directory, which the dataset would replace
    else:
        out.write_text("the previous output\n")
    run = subprocess.Popen([sys.executable, "-m", "fieldloom_batch", "decode", long_run / "long.bin", "--recipe",
                            long_run / "fixed.json", "--stride", str(STRIDE), "-o", f"{out}{os.sep * dataset}",
                            "--workers", str(workers),
                            "--blocksize", "256KiB"], stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        # Rows written: the workers are busy decoding.
        wait_for(lambda: written(tmp_path) > 1 << 16, 60, "the run did not start writing")
        started = children(run.pid)
        if how == "Ctrl-C":
            os.killpg(run.pid, signal.SIGINT)
        elif how == "SIGTERM to a worker":
            os.kill(next(pid for pid in started if b"resource_tracker" not in Path(f"/proc/{pid}/cmdline").read_bytes()),
                    signal.SIGTERM)
        else:
            os.kill(run.pid, getattr(signal, how))
        _, stderr = run.communicate(timeout=60)
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
    assert run.returncode == status, stderr
    if message is not None:
        assert stderr == message
        assert sorted(path.name for path in tmp_path.iterdir()) == ["out.jsonl"]
    assert list(out.iterdir()) == [] if dataset else out.read_text() == "the previous output\n"
    wait_for(lambda: not any(alive(pid) for pid in started), 30, f"processes left running: {started}")


def test_a_stopped_definitions_run_leaves_the_previous_directory(long_run, tmp_path):
    from fieldloom_batch.loaders import write_xtce
    from mission import DEFINITIONS, make_recording

    recording, xml = long_run / "mission.bin", long_run / "mission.xml"
    recording.write_bytes(make_recording(3000, 9)[:-8] * 300)
    write_xtce(DEFINITIONS, xml)
    out = tmp_path / "out"
    out.mkdir()
    (out / "census.json").write_text("the previous output\n")

    def rows_written():
        return sum(path.stat().st_size for path in tmp_path.glob(".out.*/.*") if path.exists())

    run = subprocess.Popen([sys.executable, "-m", "fieldloom_batch", "decode", recording, "--xtce", xml, "-o", out,
                            "--format", "jsonl", "--workers", "2", "--blocksize", "256KiB"],
                           stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        wait_for(lambda: rows_written() > 1 << 16, 60, "the run did not start writing")
        started = children(run.pid)
        os.kill(run.pid, signal.SIGTERM)
        _, stderr = run.communicate(timeout=60)
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)
    assert (run.returncode, stderr) == (128 + signal.SIGTERM, "fieldloom: terminated\n")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out"]
    assert sorted(path.name for path in out.iterdir()) == ["census.json"]
    assert (out / "census.json").read_text() == "the previous output\n"
    wait_for(lambda: not any(alive(pid) for pid in started), 30, f"processes left running: {started}")


KILLED_WHILE_SENDING = """
import os, signal, sys, threading, time
from fieldloom_batch.commands import UserError, Workers

def ready(recipe, format, parent):
    pass

def large(size):
    return b"x" * size

if __name__ == "__main__":
    workers = Workers(2, None, "parquet", start=ready)
    def kill():  # while a worker is sending its 400 MB result
        time.sleep(float(sys.argv[1]))
        for process in list(workers.pool._processes.values()):
            os.kill(process.pid, signal.SIGTERM)
    threading.Thread(target=kill, daemon=True).start()
    try:
        with workers:
            for _ in workers.in_order(large, [(400_000_000,)] * 6):
                pass
    except UserError as error:
        print(error)
"""


@pytest.mark.parametrize("after", [0.3, 0.8])
def test_a_worker_killed_while_it_sends_a_result_ends_the_run(tmp_path, after):
    """The pool's reader waits for the rest of the message forever, and never sees the death."""
    script = tmp_path / "killed.py"
    script.write_text(KILLED_WHILE_SENDING)
    run = subprocess.run([sys.executable, str(script), str(after)], capture_output=True, text=True, timeout=60,
                         env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert run.stdout == "a worker process ended unexpectedly (out of memory?)\n", run.stderr
