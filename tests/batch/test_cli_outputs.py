"""The `fieldloom` command's output files: values that read back exactly, and files that appear whole or not at all."""
import csv
import json
import os
import random
import resource
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

pytest.importorskip("pyarrow")

import fieldloom  # noqa: E402
from fieldloom_batch import Layout, cli  # noqa: E402

from recordings import FIXED, STRIDE, entry, fixed_recording  # noqa: E402

NUMBERS = [entry("half", "ieee754_f16", 16, 0), entry("single", "ieee754_f32", 32, 16),
           entry("double", "ieee754_f64", 64, 48), entry("big", "unsigned", 64, 112),
           entry("small", "twos_complement", 64, 176)]
NUMBERS_SIZE = 30


def refuse(constant):
    raise ValueError(f"not JSON: {constant}")


def read_back(path):
    """Every row as text values (CSV) or JSON values, read by a strict reader."""
    with open(path, encoding="ascii", newline="") as file:
        if path.suffix == ".csv":
            return list(csv.DictReader(file))
        return [json.loads(line, parse_constant=refuse) for line in file]


def as_number(value, dtype):
    """A value read back as the Python number of its column's type; JSON Lines writes NaN and the
    infinities as strings."""
    if isinstance(value, str):
        return float(value) if dtype.kind == "f" else int(value)
    return value


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.binary(min_size=NUMBERS_SIZE, max_size=NUMBERS_SIZE), min_size=1, max_size=40),
       st.sampled_from([".csv", ".jsonl"]))
def test_every_value_reads_back_as_the_per_packet_value(tmp_path, packets, suffix):
    """Any bit pattern of a float or 64-bit integer field: NaNs, infinities, -0.0, subnormals."""
    packets[0] = bytes.fromhex("7c00 7f800000 fff0000000000000") + packets[0][14:]  # the infinities, always
    (tmp_path / "numbers.json").write_text(json.dumps(NUMBERS))
    (tmp_path / "numbers.bin").write_bytes(b"".join(packets))
    out = tmp_path / f"out{suffix}"
    assert cli.main(["decode", str(tmp_path / "numbers.bin"), "--recipe", str(tmp_path / "numbers.json"), "--stride",
                     str(NUMBERS_SIZE), "-o", str(out), "--no-progress"]) == 0
    rows = read_back(out)
    assert len(rows) == len(packets)
    dtypes = Layout(NUMBERS).dtypes
    for packet, row in zip(packets, rows):
        expected = fieldloom.unpack_parameters(packet, 0, NUMBERS)
        assert {name: repr(as_number(value, dtypes[name])) for name, value in row.items()} == {
            name: repr(value) for name, value in expected.items()}


def fieldloom_process(*args, **options):
    return subprocess.Popen([sys.executable, "-m", "fieldloom_batch", *map(str, args)], stderr=subprocess.PIPE,
                            text=True, start_new_session=True, **options)


def finish(run):
    """The run's status and stderr; a run that hangs is killed with its workers."""
    try:
        stderr = run.communicate(timeout=120)[1]
        return run.returncode, stderr
    finally:
        if run.poll() is None:
            os.killpg(run.pid, signal.SIGKILL)


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    directory = tmp_path_factory.mktemp("outputs")
    (directory / "fixed.json").write_text(json.dumps(FIXED))
    for name, seed, packets in (("a", 1, 60_000), ("b", 2, 50_000)):
        (directory / f"{name}.bin").write_bytes(fixed_recording(random.Random(seed), packets))
    return directory


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 12, resource.RLIM_INFINITY))


@pytest.mark.parametrize("suffix", [".jsonl", ".csv", ".parquet"])
def test_a_full_disk_leaves_the_previous_output_and_no_partial_file(recordings, tmp_path, suffix):
    """A file size limit makes the writes fail as a full disk does (EFBIG instead of ENOSPC)."""
    out = tmp_path / f"out{suffix}"
    out.write_text("the previous output\n")
    run = fieldloom_process("decode", recordings / "a.bin", "--recipe", recordings / "fixed.json", "--stride", STRIDE,
                            "-o", out, "--workers", 2, "--blocksize", "64KiB", preexec_fn=limit_file_size)
    status, stderr = finish(run)
    assert sorted(path.name for path in tmp_path.iterdir()) == [out.name]
    assert status == 1 and stderr == f"fieldloom: error: cannot write {out}: File too large\n"
    assert out.read_text() == "the previous output\n"


def test_runs_writing_one_output_at_once_each_commit_a_whole_file(recordings, tmp_path):
    """The second run starts while the first writes; the file is then one run's output, whole."""
    whole = {}
    for name in "ab":
        whole[name] = tmp_path / f"{name}.jsonl"
        assert cli.main(["decode", str(recordings / f"{name}.bin"), "--recipe", str(recordings / "fixed.json"),
                         "--stride", str(STRIDE), "-o", str(whole[name])]) == 0
    out = tmp_path / "shared" / "out.jsonl"
    out.parent.mkdir()
    arguments = ["--recipe", recordings / "fixed.json", "--stride", STRIDE, "-o", out, "--blocksize", "64KiB"]
    first = fieldloom_process("decode", recordings / "a.bin", *arguments)
    deadline = time.monotonic() + 60
    while not any(out.parent.iterdir()) and first.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    second = fieldloom_process("decode", recordings / "b.bin", *arguments)
    for run in (first, second):
        status, stderr = finish(run)
        assert status == 0, stderr
    assert out.read_bytes() in (whole["a"].read_bytes(), whole["b"].read_bytes())
    assert [path.name for path in out.parent.iterdir()] == ["out.jsonl"]


@given(st.lists(st.lists(st.text(max_size=4), max_size=6), min_size=1, max_size=3), st.integers(0, 3), st.integers(0, 3))
def test_text_takes_the_schema_type_as_arrow_casts_it(chunks, start, cut):
    """Text comes as large_string, the output's schema says string: the new offsets over the same
    bytes equal Arrow's cast, for sliced and several chunks too."""
    import pyarrow as pa

    from fieldloom_batch.outputs import to_type

    column = pa.chunked_array([pa.array(chunk, type=pa.large_string()) for chunk in chunks])
    column = column.slice(min(start, len(column)), max(len(column) - start - cut, 0))
    got = to_type(pa, column, pa.string())
    assert got.type == pa.string() and got.to_pylist() == column.cast(pa.string()).to_pylist()
