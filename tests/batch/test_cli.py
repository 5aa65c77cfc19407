import io
import json
import os
import random
import subprocess
import tracemalloc
import sys
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

from fieldloom_batch import Layout, blocks, commands, scan_ccsds, sequence_gaps  # noqa: E402

from ccsds_streams import make_stream  # noqa: E402
from recordings import CCSDS, FIXED, STRIDE, assert_frame_matches, serial_decode, write_recordings  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def fieldloom(*args, check=None):
    run = subprocess.run([sys.executable, "-m", "fieldloom_batch", *map(str, args)], capture_output=True, text=True,
                         timeout=120)
    if check is not None:
        assert run.returncode == check, run.stderr
    return run


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("cli")
    files = write_recordings(directory, seed=2)
    for name, recipe in (("fixed", FIXED), ("ccsds", CCSDS)):
        (directory / f"{name}.json").write_text(json.dumps(recipe))
    files["directory"] = directory
    return files


def read_back(path):
    if path.suffix == ".parquet":
        return pd.read_parquet(path)
    frame = pd.read_csv(path, keep_default_na=False) if path.suffix == ".csv" else pd.read_json(path, lines=True)
    return frame.astype({name: dtype for name, dtype in Layout(FIXED).dtypes.items() if dtype != object})


@pytest.mark.parametrize("suffix, workers", [(".parquet", 1), (".parquet", 2), (".csv", 1), (".jsonl", 2)])
def test_decode_writes_what_unpack_many_gives(files, tmp_path, suffix, workers):
    out = tmp_path / f"out{suffix}"
    run = fieldloom("decode", *files["fixed"], "--recipe", files["directory"] / "fixed.json", "--stride", STRIDE,
                    "--output", out, "--workers", workers, "--blocksize", 100, check=0)
    results = serial_decode(files["fixed"], FIXED, stride=STRIDE)
    frame = read_back(out).set_index(np.concatenate([r.index for r in results]))
    assert_frame_matches(frame, results, Layout(FIXED).columns)
    refused = sum(len(r.refused) for r in results)
    assert f"{len(frame)} packets decoded, {refused} refused, from 3 recording(s)" in run.stderr
    assert "decoding" not in run.stderr  # no progress bar when stderr is not a terminal


def dataset_readers(out, suffix):
    """The dataset read back by each library that is installed, as pandas frames in file order."""
    pattern = str(out / f"*{suffix}")
    if suffix == ".parquet":
        import pyarrow.parquet
        yield pyarrow.parquet.read_table(out).to_pandas()
        yield pd.read_parquet(out)
        readers = {"polars": lambda pl: pl.read_parquet(pattern), "duckdb": lambda db: db.read_parquet(pattern)}
    else:
        yield pd.concat([read_back(part) for part in sorted(out.iterdir()) if part.stat().st_size], ignore_index=True)
        readers = {"polars": lambda pl: pl.read_csv(pattern) if suffix == ".csv" else pl.read_ndjson(pattern),
                   "duckdb": lambda db: db.read_csv(pattern) if suffix == ".csv" else db.read_json(pattern)}
    for module, read in readers.items():
        try:
            library = __import__(module)
        except ImportError:
            continue
        frame = read(library)
        frame = frame.to_pandas() if module == "polars" else frame.df()
        yield frame.astype({name: dtype for name, dtype in Layout(FIXED).dtypes.items() if dtype != object})


@pytest.mark.parametrize("suffix", [".parquet", ".csv", ".jsonl"])
def test_workers_write_a_dataset_that_reads_back_as_serial_decoding(files, tmp_path, suffix):
    out = tmp_path / f"out{suffix}"
    (out).mkdir()  # an empty directory is replaced
    run = fieldloom("decode", *files["fixed"], "--recipe", files["directory"] / "fixed.json", "--stride", STRIDE,
                    "--output", f"{out}{os.sep}", "--workers", 3, "--blocksize", 100, check=0)
    results = serial_decode(files["fixed"], FIXED, stride=STRIDE)
    parts = sorted(path.name for path in out.iterdir())
    assert len(parts) > 3 and parts[0] == f"part-000000{suffix}" and not list(tmp_path.glob(".out*"))
    for frame in dataset_readers(out, suffix):
        frame = frame.set_index(np.concatenate([r.index for r in results]))
        assert_frame_matches(frame, results, Layout(FIXED).columns)
    assert f"{len(frame)} packets decoded" in run.stderr
    again = fieldloom("decode", *files["fixed"], "--recipe", files["directory"] / "fixed.json", "--stride", STRIDE,
                      "--output", f"{out}{os.sep}", check=1)
    assert "the directory is not empty" in again.stderr


def test_decode_ccsds_with_apids_progress_and_strict(files, tmp_path):
    out = tmp_path / "out.parquet"
    run = fieldloom("decode", *files["ccsds"], "--recipe", files["directory"] / "ccsds.json", "--ccsds",
                    "--apid", "0x10", "--apid", "2047", "-o", out, "--progress", check=0)
    results = serial_decode(files["ccsds"], CCSDS, apid=[0x10, 0x7FF])
    frame = pd.read_parquet(out).set_index(np.concatenate([r.index for r in results]))
    assert_frame_matches(frame, results, Layout(CCSDS).columns)
    assert "decoding: 100%" in run.stderr and "cut off by the end of the file" in run.stderr
    run = fieldloom("decode", *files["ccsds"], "--recipe", files["directory"] / "ccsds.json", "--ccsds",
                    "-o", tmp_path / "strict.parquet", "--strict", check=1)
    assert run.stderr.startswith("fieldloom: error: refused (--strict): ") and run.stderr.count("\n") == 1
    assert not list(tmp_path.glob("strict*")) and not list(tmp_path.glob(".strict*"))


def test_the_installed_program_runs():
    """The `fieldloom` script that an installation puts beside the interpreter."""
    program = Path(sys.executable).with_name("fieldloom")
    if not program.exists():
        pytest.skip("fieldloom is not installed beside this interpreter")
    run = subprocess.run([program, "decode", "--help"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "--workers" in run.stdout, run.stderr


def test_scan_takes_the_census():
    run = fieldloom("scan", EXAMPLES / "housekeeping.bin", "--gaps", check=0)
    lines = run.stdout.splitlines()
    assert lines[0].endswith("housekeeping.bin: 12417 bytes, 400 packets, 17 bytes left over (a packet cut off at byte 12400)")
    assert lines[2].split() == ["0x0123", "400", "12400", "31", "1", "1"]
    assert lines[3] == "  APID 0x123: count 311 to 313 at byte 9672: 1 lost"


@pytest.mark.parametrize("window, rows, apids", [(1 << 10, 1 << 20, None), (1 << 16, 7, None),
                                                 (999, 50, (0x10, 0x7FF))])
def test_scan_counts_as_sequence_gaps_does_over_the_whole_file(tmp_path, monkeypatch, window, rows, apids):
    """Counted a window and a chunk at a time, with gaps across their edges."""
    data = make_stream(random.Random(window), 3000) + b"\x00\x10\xc0\x01\x00"
    (tmp_path / "s.bin").write_bytes(data)
    monkeypatch.setattr(blocks, "SCAN_WINDOW", window)
    monkeypatch.setattr(commands, "CENSUS_ROWS", rows)
    out = io.StringIO()
    commands.census(str(tmp_path / "s.bin"), apids, out, True)
    scan = scan_ccsds(data, apid=apids)
    gaps = sequence_gaps(scan)
    table = []
    for apid in sorted(set(scan["apid"].tolist())):
        lengths = scan["length"][scan["apid"] == apid].tolist()
        lost = [gap.lost for gap in gaps if gap.apid == apid]
        table.append([f"0x{apid:04X}", str(len(lengths)), str(sum(lengths)),
                      f"{min(lengths)}-{max(lengths)}" if min(lengths) < max(lengths) else str(min(lengths)),
                      str(len(lost)), str(sum(lost))])
    lines = out.getvalue().splitlines()
    assert lines[0].endswith(f"{len(data)} bytes, {len(scan['apid'])} packets, 5 bytes left over "
                             f"(a packet cut off at byte {len(data) - 5})")
    assert [line.split() for line in lines[2 : 2 + len(table)]] == table
    assert lines[2 + len(table):] == [f"  APID 0x{g.apid:03X}: count {g.previous_count} to {g.sequence_count} at byte "
                                      f"{g.offset}: {g.lost} lost" for g in gaps]


def test_scan_builds_no_object_per_gap(tmp_path, monkeypatch):
    """Zero-filled: a 7-byte packet of APID 0 and count 0 every 7 bytes, each one a gap. The window's
    scan takes 20 bytes a packet; an object per gap would take hundreds."""
    monkeypatch.setattr(commands, "CENSUS_ROWS", 1 << 16)
    (tmp_path / "zeros.bin").write_bytes(bytes(8 << 20))
    tracemalloc.start()
    try:
        commands.census(str(tmp_path / "zeros.bin"), None, io.StringIO(), False)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 40 * (8 << 20) // 7, peak


@pytest.mark.parametrize("arguments, status, message", [
    (["decode", "{fixed}", "--recipe", "{bad_json}", "--stride", "16", "-o", "o.parquet"], 2,
     "bad.json: not valid JSON: Expecting ',' delimiter at line 3, column 5"),
    (["decode", "{fixed}", "--recipe", "{bad_entry}", "--stride", "16", "-o", "o.parquet"], 2, "entry.json: "),
    (["decode", "{fixed}", "--recipe", "{missing}", "--stride", "16", "-o", "o.parquet"], 2, "recipe file not found: "),
    (["decode", "{missing}", "--recipe", "{recipe}", "--stride", "16", "-o", "o.parquet"], 1,
     "cannot read {missing}: No such file or directory"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "-o", "o.parquet"], 2, "one of the arguments --stride --ccsds is required"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", "16", "--ccsds", "-o", "o.parquet"], 2, "not allowed with"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", "16", "--apid", "3", "-o", "o.parquet"], 2, "--apid needs --ccsds"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", "16", "-o", "o.xlsx"], 2, "cannot tell the format of"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", "0", "-o", "o.csv"], 2, "not a positive whole number: '0'"),
    (["scan", "{fixed}", "--apid", "4096"], 2, "APID 4096 is out of range"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
    # Refused before anything is read or written.
    (["decode", "{fixed}", "{copy}", "--recipe", "{recipe}", "--stride", "16", "-o", "{copy}"], 2,
     "--output {copy} is the input {copy}: refusing to overwrite it"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", "16", "-o", "{folder}"], 1,
     "cannot write {folder}: it is a directory"),
    (["decode", "{fifo}", "--recipe", "{recipe}", "--stride", "16", "-o", "o.csv"], 1,
     "cannot read {fifo}: not a regular file"),
    (["scan", "{fixed}", "{fifo}"], 1, "cannot read {fifo}: not a regular file"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", "16", "-o", "o.csv", "--blocksize", "9" * 400], 2,
     " is too large: at most 9223372036854775807 bytes"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", str(2**64), "-o", "o.csv"], 2,
     f"argument --stride: {2**64} is too large: at most 9223372036854775807"),
    (["decode", "{fixed}", "--recipe", "{recipe}", "--stride", "16", "-o", "o.csv", "--workers", str(2**31)], 2,
     f"argument --workers: {2**31} is too large: at most 256"),
    (["decode", "{fixed}", "--recipe", "{deep}", "--stride", "16", "-o", "o.csv"], 2, "deep.json: nested too deeply"),
])
def test_mistakes_get_one_line_and_an_exit_status(files, tmp_path, arguments, status, message):
    (tmp_path / "bad.json").write_text('[\n  {"name": "a"}\n    "oops"]\n')
    (tmp_path / "entry.json").write_text('[{"name": "a", "encoding": "nonsense", "bits": 8}]')
    (tmp_path / "deep.json").write_text("[" * 100_000 + "]" * 100_000)
    (tmp_path / "copy.csv").write_bytes(files["fixed"][0].read_bytes())
    (tmp_path / "folder.csv").mkdir()
    os.mkfifo(tmp_path / "fifo")  # with no writer: opening it would wait forever
    names = {"fixed": files["fixed"][0], "bad_json": tmp_path / "bad.json", "bad_entry": tmp_path / "entry.json",
             "missing": tmp_path / "missing.bin", "recipe": files["directory"] / "fixed.json",
             "deep": tmp_path / "deep.json", "copy": tmp_path / "copy.csv", "folder": tmp_path / "folder.csv",
             "fifo": tmp_path / "fifo"}
    before = sorted(tmp_path.iterdir())
    run = fieldloom(*[argument.format(**names) for argument in arguments], check=status)
    assert run.stderr.startswith("fieldloom: error: ") and run.stderr.count("\n") == 1, run.stderr
    assert message.format(**names) in run.stderr
    assert run.stdout == ""
    assert sorted(tmp_path.iterdir()) == before and not any((tmp_path / "folder.csv").iterdir())
    assert (tmp_path / "copy.csv").read_bytes() == files["fixed"][0].read_bytes()


@pytest.mark.parametrize("setting", [None, "3"])
def test_workers_start_with_one_blas_thread_and_leave_the_environment_as_it_was(monkeypatch, setting):
    if setting is None:
        monkeypatch.delenv("OPENBLAS_NUM_THREADS", raising=False)
    else:
        monkeypatch.setenv("OPENBLAS_NUM_THREADS", setting)
    with commands.Workers(2, FIXED, "jsonl") as workers:
        seen = set(workers.in_order(os.getenv, [("OPENBLAS_NUM_THREADS",)] * 4))
    assert seen == {setting or "1"}
    assert os.getenv("OPENBLAS_NUM_THREADS") == setting
