import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

from fieldloom_batch import Layout  # noqa: E402

from recordings import CCSDS, FIXED, STRIDE, assert_frame_matches, serial_decode, write_recordings  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def fieldloom(*args, check=None):
    run = subprocess.run([sys.executable, "-m", "fieldloom_batch.cli", *map(str, args)], capture_output=True, text=True,
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


def test_scan_takes_the_census():
    run = fieldloom("scan", EXAMPLES / "housekeeping.bin", "--gaps", check=0)
    lines = run.stdout.splitlines()
    assert lines[0].endswith("housekeeping.bin: 12417 bytes, 400 packets, 17 bytes left over (a packet cut off at byte 12400)")
    assert lines[2].split() == ["0x0123", "400", "12400", "31", "1", "1"]
    assert lines[3] == "  APID 0x123: count 311 to 313 at byte 9672: 1 lost"


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
])
def test_mistakes_get_one_line_and_an_exit_status(files, tmp_path, arguments, status, message):
    (tmp_path / "bad.json").write_text('[\n  {"name": "a"}\n    "oops"]\n')
    (tmp_path / "entry.json").write_text('[{"name": "a", "encoding": "nonsense", "bits": 8}]')
    names = {"fixed": files["fixed"][0], "bad_json": tmp_path / "bad.json", "bad_entry": tmp_path / "entry.json",
             "missing": tmp_path / "missing.bin", "recipe": files["directory"] / "fixed.json"}
    run = fieldloom(*[argument.format(**names) for argument in arguments], check=status)
    assert run.stderr.startswith("fieldloom: error: ") and run.stderr.count("\n") == 1, run.stderr
    assert message.format(**names) in run.stderr
    assert run.stdout == ""
