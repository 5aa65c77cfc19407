import contextlib
import os

import pytest

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

from fieldloom_batch import Layout, read_dask  # noqa: E402
from fieldloom_batch.dataframe import TruncatedRecordingWarning  # noqa: E402

from recordings import CCSDS, FIXED, STRIDE, assert_frame_matches, serial_decode, write_recordings  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # Two worker processes on loopback, as a real cluster runs them. Under the
    # sanitizers a worker's memory grows past any small limit, and the nanny
    # would restart it again and again.
    limit = 0 if os.environ.get("FIELDLOOM_SANITIZER") else "400MiB"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  memory_limit=limit, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return write_recordings(tmp_path_factory.mktemp("recordings"))


# From one packet per range to whole files per range.
BLOCKSIZES = [1, 300, "1GiB"]


@pytest.mark.parametrize("blocksize", BLOCKSIZES)
def test_fixed_length_ranges_decode_as_unpack_many(client, files, blocksize):
    frame = read_dask(files["fixed"], FIXED, stride=STRIDE, blocksize=blocksize, errors="skip").compute()
    assert_frame_matches(frame, serial_decode(files["fixed"], FIXED, stride=STRIDE), Layout(FIXED).columns)


@pytest.mark.parametrize("blocksize, apid", [(size, None) for size in BLOCKSIZES] + [(1, [0x10, 0x7FF]), (300, 0x20)])
def test_ccsds_ranges_decode_as_unpack_many(client, files, blocksize, apid):
    with pytest.warns(TruncatedRecordingWarning, match="ends inside a packet"):
        frame = read_dask(files["ccsds"], CCSDS, ccsds=True, apid=apid, blocksize=blocksize, errors="skip")
    results = serial_decode(files["ccsds"], CCSDS, apid=apid)
    assert sum(len(r.refused) for r in results) > 0  # corrupt and short packets were met
    # Columns are selected inside the tasks, and which rows come back never depends on them.
    columns = ["wheel", "clock"] if blocksize == 300 else Layout(CCSDS).columns
    assert_frame_matches(frame[list(columns)].compute(), results, columns)


def test_errors_raise_fails_as_unpack_many_does(client, files):
    data = files["fixed"][0].read_bytes()
    with pytest.raises(ValueError) as serial:
        Layout(FIXED).unpack_many(data, stride=STRIDE)
    # One range: its first failing packet is the file's (ranges fail in no set order).
    with pytest.raises(ValueError) as distributed_error:
        read_dask(files["fixed"][0], FIXED, stride=STRIDE).compute()
    assert str(distributed_error.value) == str(serial.value)
    assert f"of {files['fixed'][0]}" in distributed_error.value.__notes__[-1]


def test_to_parquet_and_columns(client, files, tmp_path):
    frame = read_dask(files["fixed"], FIXED, stride=STRIDE, blocksize=300, errors="skip", columns=["volts", "mode"])
    frame.to_parquet(tmp_path / "out")
    back = pd.read_parquet(tmp_path / "out")
    assert_frame_matches(back, serial_decode(files["fixed"], FIXED, stride=STRIDE), ["volts", "mode"])


@pytest.mark.parametrize("arguments, error", [
    ({}, "give either stride=N"),
    ({"stride": 4, "ccsds": True}, "give either stride=N"),
    ({"stride": 0}, "stride must be a positive number of bytes, not 0"),
    ({"stride": 4, "apid": 3}, "apid selects CCSDS packets"),
    ({"stride": 4, "blocksize": "lots"}, "not a size in bytes: 'lots'"),
    ({"stride": 4, "columns": ["nope"]}, "not a column of the layout: 'nope'"),
    ({"stride": 4, "errors": "ignore"}, "errors must be 'raise' or 'skip'"),
])
def test_bad_arguments_fail_before_any_task(files, arguments, error):
    with pytest.raises((ValueError, KeyError), match=error):
        read_dask(files["fixed"], FIXED, **arguments)


@pytest.mark.parametrize("framing", ["fixed", "ccsds"])
def test_partitions_have_the_dtypes_of_the_meta(client, files, framing):
    keywords = {"stride": STRIDE} if framing == "fixed" else {"ccsds": True}
    with pytest.warns() if framing == "ccsds" else contextlib.nullcontext():
        frame = read_dask(files[framing], FIXED if framing == "fixed" else CCSDS, blocksize=300, errors="skip", **keywords)
    dtypes = frame.map_partitions(lambda part: pd.DataFrame({"dtypes": [tuple(map(str, part.dtypes))]}),
                                  meta={"dtypes": object}).compute()["dtypes"]
    assert set(dtypes) == {tuple(map(str, frame.dtypes))} and frame.npartitions > 1
    assert frame.dtypes["mode"].storage == "pyarrow"
