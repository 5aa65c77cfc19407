"""Decoded packet tables as pandas, Parquet and Dask: the same rows and values as Definitions.decode."""
import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pytest.importorskip("dask")
import pyarrow.parquet  # noqa: E402

from fieldloom_batch import read_dask  # noqa: E402
from fieldloom_batch.definitions import Comparison, Definitions, Entry, PacketError, PacketType  # noqa: E402

from mission import DEFINITIONS, make_recording  # noqa: E402

RECORDING = make_recording(400, 5)
DECODED = DEFINITIONS.decode(RECORDING, errors="skip")


def assert_column(got, want):
    if want.ndim == 2 or want.dtype == object:
        assert [list(v) if isinstance(v, np.ndarray) else v for v in want] == [
            list(v) if isinstance(v, (np.ndarray, list)) else v for v in got]
    else:
        np.testing.assert_array_equal(np.asarray(got, dtype=want.dtype), want)


def assert_frame(frame, table):
    np.testing.assert_array_equal(frame.index, table.index)
    assert frame.index.name == "packet"
    np.testing.assert_array_equal(frame["offset"], table.offset)
    expected_names = ["offset"]
    for name, values in table.columns.items():
        assert_column(frame[name].tolist() if values.dtype == object or values.ndim == 2 else frame[name], values)
        expected_names.append(name)
        if name in table.raw:
            assert_column(frame[name + ".raw"], table.raw[name])
            expected_names.append(name + ".raw")
    assert list(frame.columns) == expected_names


def test_to_pandas_is_one_frame_per_type():
    frames = DECODED.to_pandas()
    assert list(frames) == ["status", "dump", "hk"]
    for name, frame in frames.items():
        assert_frame(frame, DECODED.tables[name])
    assert "volts.raw" not in DECODED.tables["hk"].to_pandas(raw=False)


def test_to_parquet_maps_every_column_type(tmp_path):
    paths = DECODED.to_parquet(tmp_path)
    assert [p.name for p in paths] == ["status.parquet", "dump.parquet", "hk.parquet"]
    schema = {name: pyarrow.parquet.read_schema(tmp_path / f"{name}.parquet") for name in DECODED.tables}
    assert schema["hk"].field("time").type == pa.timestamp("ns")
    assert schema["hk"].field("temps").type == pa.list_(pa.uint16(), 3)
    assert schema["dump"].field("data").type == pa.binary()
    assert schema["status"].field("name").type == pa.string()
    for name, table in DECODED.tables.items():
        frame = pd.read_parquet(tmp_path / f"{name}.parquet").set_index("packet")
        assert_frame(frame, table)


def test_type_names_become_safe_file_names(tmp_path):
    header = (Entry("apid", bits=16),)
    definitions = Definitions([PacketType("a/b", header, (Comparison("apid", "==", 1),)),
                               PacketType("..", header, (Comparison("apid", "==", 2),))])
    decoded = definitions.decode(b"\x00\x01\x00\x02", stride=2)
    assert [p.name for p in decoded.to_parquet(tmp_path / "new")] == ["a%2Fb.parquet", "...parquet"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["new"]


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    path = tmp_path_factory.mktemp("dask") / "rec.bin"
    path.write_bytes(RECORDING)
    return path


def test_read_dask_gives_a_frame_per_type_and_the_census(recording):
    import dask

    packets = read_dask(recording, definitions=DEFINITIONS, blocksize=600, errors="skip")
    frames = dask.compute(*packets.frames.values(), packets.census)
    assert frames[-1] == DECODED.census
    for (name, lazy), frame in zip(packets.frames.items(), frames):
        assert lazy.npartitions > 3
        assert_frame(frame, DECODED.tables[name])
        for i in range(lazy.npartitions):  # each partition is of its meta's types, text and lists too
            assert dict(lazy.partitions[i].compute().dtypes) == dict(lazy.dtypes)


def test_read_dask_raises_the_first_refused_packet(recording):
    with pytest.raises(PacketError) as caught:
        DEFINITIONS.decode(RECORDING)
    for blocksize in ("64MiB", 600):  # one range: its first refusal; many: that of a range that failed first
        packets = read_dask(recording, definitions=DEFINITIONS, blocksize=blocksize)
        with pytest.raises(PacketError) as lazily:
            packets.census.compute()
        found = {(item.index, item.offset, item.reason): item.message for item in DECODED.refused}
        error = lazily.value
        assert found[error.index, error.offset, error.reason] == error.message
        assert error.__notes__ == [f"in {recording}"]
        if blocksize == "64MiB":
            assert (str(error), error.packet_type) == (str(caught.value), caught.value.packet_type)
    with pytest.raises(TypeError, match="not both"):
        read_dask(recording, [{"name": "a", "bits": 8}], definitions=DEFINITIONS)


def test_mission_demo_runs_and_writes_what_it_decodes(tmp_path):
    import subprocess
    import sys
    from pathlib import Path

    demo = Path(__file__).resolve().parents[2] / "examples" / "mission_demo.py"
    run = subprocess.run([sys.executable, str(demo), str(tmp_path)], capture_output=True, text=True, timeout=120,
                         cwd=tmp_path, check=True)
    assert "10 packets: {'status': 3, 'dump': 3, 'hk': 3}" in run.stdout
    assert "2024-12-04 10:40:16.500" in run.stdout and "[1845, -1906, -1458]" in run.stdout
    assert pd.read_parquet(tmp_path / "hk.parquet")["mode"].tolist() == ["SAFE", "NOMINAL", "SCIENCE"]
