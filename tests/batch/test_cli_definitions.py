"""`fieldloom decode|scan --xtce/--fields`: one table per packet type, equal to Definitions.decode."""
import json
import os

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

from fieldloom_batch.loaders import write_xtce  # noqa: E402

from mission import DEFINITIONS, make_recording  # noqa: E402
from test_cli import fieldloom  # noqa: E402


@pytest.fixture(scope="module")
def mission(tmp_path_factory):
    folder = tmp_path_factory.mktemp("mission")
    write_xtce(DEFINITIONS, folder / "mission.xml")
    recordings = []
    for seed in (1, 2):
        recordings.append(folder / f"rec{seed}.bin")
        recordings[-1].write_bytes(make_recording(300, seed))
    return folder, recordings


def expected(path, prefix=0, definitions=DEFINITIONS):
    return definitions.decode(path.read_bytes(), prefix=prefix, errors="skip")


def assert_tables_equal(folder, decoded_files, definitions=DEFINITIONS):
    """Each type's Parquet file holds the rows of every recording, in order, as Definitions.decode gives."""
    for name in definitions.concrete:
        frame = pd.read_parquet(folder / f"{name}.parquet")
        tables = [decoded.tables[name] for decoded in decoded_files]
        np.testing.assert_array_equal(frame["packet"], np.concatenate([t.index for t in tables]))
        np.testing.assert_array_equal(frame["offset"], np.concatenate([t.offset for t in tables]))
        for column, values in [(c, np.concatenate([t.columns[c] for t in tables])) for c in tables[0].columns] + [
                (c + ".raw", np.concatenate([t.raw[c] for t in tables])) for c in tables[0].raw]:
            got = frame[column].to_numpy()
            if values.ndim == 2:
                got = np.array(got.tolist(), dtype=values.dtype).reshape(values.shape)
            else:
                got = got.astype(values.dtype)
            np.testing.assert_array_equal(got, values, err_msg=f"{name}.{column}")


def census_of(decoded_files):
    from fieldloom_batch.definitions.tables import add_census, census_dict

    return census_dict(add_census([d.census for d in decoded_files]))


@pytest.mark.parametrize("workers, blocksize", [(1, "16MiB"), (2, 500)])
def test_decode_xtce_writes_one_parquet_file_per_type(mission, tmp_path, workers, blocksize):
    folder, recordings = mission
    out = tmp_path / "out"
    run = fieldloom("decode", *recordings, "--xtce", folder / "mission.xml", "-o", out, "--workers", workers,
                    "--blocksize", blocksize, check=0)
    decoded = [expected(path) for path in recordings]
    assert_tables_equal(out, decoded)
    census = census_of(decoded)
    assert json.loads((out / "census.json").read_text()) == census
    assert sorted(os.listdir(out)) == ["census.json", "dump.parquet", "hk.parquet", "status.parquet"]
    assert f"{census['packets']} packets" in run.stderr and "refused: " in run.stderr
    assert [p for p in os.listdir(tmp_path) if p.startswith(".")] == []  # no temporary left


@pytest.mark.parametrize("format", ["csv", "jsonl"])
def test_text_formats_hold_the_same_rows(mission, tmp_path, format):
    folder, recordings = mission
    fieldloom("decode", recordings[0], "--xtce", folder / "mission.xml", "-o", tmp_path / "out", "--format", format,
              check=0)
    table = expected(recordings[0]).tables["hk"]
    path = tmp_path / "out" / f"hk.{format}"
    frame = pd.read_csv(path) if format == "csv" else pd.read_json(path, lines=True)
    np.testing.assert_array_equal(frame["packet"], table.index)
    np.testing.assert_array_equal(frame["mode"], table.columns["mode"])
    np.testing.assert_array_equal(pd.to_datetime(frame["time"]).to_numpy(), table.columns["time"])
    assert [json.loads(cell) if format == "csv" else cell for cell in frame["temps"]] == table.columns["temps"].tolist()
    dump = expected(recordings[0]).tables["dump"]
    frame = pd.read_csv(tmp_path / "out" / f"dump.{format}", keep_default_na=False, dtype={"data": str}) \
        if format == "csv" else pd.read_json(tmp_path / "out" / "dump.jsonl", lines=True, dtype={"data": str})
    assert [bytes.fromhex(cell) for cell in frame["data"]] == dump.columns["data"].tolist()


def test_fields_list_and_prefix(tmp_path):
    """--fields LIST.csv --apid N makes one type; --prefix skips the bytes before each packet."""
    (tmp_path / "hk.csv").write_text("name,data_type,bit_length\npower,uint,1\nlink,uint,3\nfault,int,4\n")
    recording = tmp_path / "rec.bin"
    recording.write_bytes(make_recording(200, 3, prefix=4))
    fieldloom("decode", recording, "--fields", tmp_path / "hk.csv", "--apid", 0x10, "--prefix", 4, "-o",
              tmp_path / "out", check=0)
    from fieldloom_batch.loaders import load_fields_csv

    definitions = load_fields_csv(tmp_path / "hk.csv", apid=0x10)
    decoded = expected(recording, prefix=4, definitions=definitions)
    assert decoded.census.types[definitions.concrete[0]] > 0
    assert_tables_equal(tmp_path / "out", [decoded], definitions)
    scan = fieldloom("scan", recording, "--fields", tmp_path / "hk.csv", "--apid", 0x10, "--prefix", 4, check=0)
    assert f"{decoded.census.packets} packets" in scan.stdout


def test_scan_prints_the_census_per_type(mission):
    folder, recordings = mission
    run = fieldloom("scan", recordings[0], "--xtce", folder / "mission.xml", check=0)
    census = expected(recordings[0]).census
    for name, count in census.types.items():
        longer, extra = census.extra[name]
        assert f"  {name:<11} {count:>10} {longer:>10} {extra:>12}\n" in run.stdout
    assert f"refused, no packet type: {census.refused['no packet type']}" in run.stdout


def test_refusals_and_a_failed_run_leave_no_output(mission, tmp_path):
    folder, recordings = mission
    xml = folder / "mission.xml"
    inside = tmp_path / "held"
    inside.mkdir()
    (inside / "rec.bin").write_bytes(recordings[0].read_bytes())
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").write_text("mine")
    (tmp_path / "file").write_text("mine")
    (tmp_path / "bad.xml").write_text("<SpaceSystem")
    cases = [
        (2, [recordings[0], "--xtce", xml, "-o", recordings[0]], "is the input"),
        (2, [inside / "rec.bin", "--xtce", xml, "-o", inside], "holds the input"),
        (1, [recordings[0], "--xtce", xml, "-o", tmp_path / "other"], "not an output of fieldloom"),
        (1, [recordings[0], "--xtce", xml, "-o", tmp_path / "file"], "it is a file"),
        (2, [recordings[0], "--xtce", tmp_path / "bad.xml", "-o", tmp_path / "o"], "malformed XML"),
        (2, [recordings[0], "--xtce", xml, "--root", "Nope", "-o", tmp_path / "o"], "'Nope'"),
        (2, [recordings[0], "--xtce", xml, "--stride", 8, "-o", tmp_path / "o"], "drop --stride"),
        (2, [recordings[0], "--xtce", xml, "--apid", 3, "-o", tmp_path / "o"], "--apid goes with --fields"),
        (2, [recordings[0], "--fields", tmp_path / "x.csv", "-o", tmp_path / "o"], "one --apid N"),
        (1, [recordings[0], "--xtce", xml, "--strict", "-o", tmp_path / "o"], "refused (--strict): "),
        (1, [tmp_path, "--xtce", xml, "-o", tmp_path / "o"], "it is a directory"),
    ]
    for status, args, text in cases:
        run = fieldloom("decode", *args)
        assert (run.returncode, run.stderr.count("\n")) == (status, 1), run.stderr
        assert run.stderr.startswith("fieldloom: error: ") and text in run.stderr
    assert (tmp_path / "other" / "notes.txt").read_text() == "mine" and (tmp_path / "file").read_text() == "mine"
    assert sorted(os.listdir(tmp_path)) == ["bad.xml", "file", "held", "other"]


def test_an_empty_recording_gives_every_type_an_empty_file(mission, tmp_path):
    folder, _ = mission
    (tmp_path / "rec.bin").write_bytes(b"")
    fieldloom("decode", tmp_path / "rec.bin", "--xtce", folder / "mission.xml", "-o", tmp_path / "out", check=0)
    assert_tables_equal(tmp_path / "out", [expected(tmp_path / "rec.bin")])
    assert json.loads((tmp_path / "out" / "census.json").read_text())["types"] == {"status": 0, "dump": 0, "hk": 0}
