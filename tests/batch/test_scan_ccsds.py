import mmap
import random

import numpy as np
import pytest
from hypothesis import given, strategies as st

from fieldloom_batch import open_recording, scan_ccsds, sequence_gaps
from fieldloom_batch.ccsds import SCAN_DTYPES, Tail

from ccsds_streams import header, make_stream, reference_scan

packet = st.builds(
    lambda apid, count, flags, body: header(apid, count, len(body), flags=flags) + body,
    st.sampled_from([0, 5, 0x123, 0x7FF]), st.integers(0, (1 << 14) - 1), st.integers(0, 3),
    st.binary(min_size=1, max_size=40),
)
# Whole packets, then an ending: none, a cut into the last packet (inside its
# header or its data field), a header claiming far more than is left, or noise.
stream = st.one_of(
    st.builds(lambda ps, cut: b"".join(ps)[: len(b"".join(ps)) - cut], st.lists(packet, max_size=12), st.integers(0, 45)),
    st.builds(lambda ps, rest: b"".join(ps) + rest, st.lists(packet, max_size=12),
              st.sampled_from([b"", b"\xff\xff\xff\xff\xff\xff", header(3, 1, 65536) + b"abc", b"\x00"])),
    st.binary(max_size=300),
)
apid_filter = st.one_of(st.none(), st.sets(st.sampled_from([0, 5, 0x123, 0x7FF, 9])))


def check_against_reference(data, apids):
    expected, end = reference_scan(data, apids)
    scan = scan_ccsds(data, apid=apids)
    assert list(scan) == list(SCAN_DTYPES)
    for name, column in expected.items():
        assert scan[name].dtype == column.dtype
        np.testing.assert_array_equal(scan[name], column, err_msg=name)
    assert scan.end == end
    assert scan.leftover == len(data) - end
    if end == len(data):
        assert scan.tail is None
    else:
        declared = 7 + int.from_bytes(data[end + 4:end + 6], "big") if len(data) - end >= 6 else None
        assert scan.tail == Tail(end, len(data) - end, declared)
    return scan


@given(stream, apid_filter)
def test_scan_matches_the_reference_on_any_stream(data, apids):
    check_against_reference(data, apids)


def test_scan_grows_past_its_first_allocation_and_reads_every_buffer_kind(tmp_path):
    data = make_stream(random.Random(7), 150_000, lengths=(1, 2, 3))[:-2]  # tiny packets: many rows per byte
    scan = check_against_reference(data, None)
    assert len(scan["offset"]) == 150_000 - 1 and scan.tail
    path = tmp_path / "rec.bin"
    path.write_bytes(data)
    with open_recording(path) as recording:
        mapped = scan_ccsds(recording)
    for result in [mapped] + [scan_ccsds(item) for item in (bytearray(data), np.frombuffer(data, np.uint8))]:
        assert (result.end, result.tail) == (scan.end, scan.tail)
        np.testing.assert_array_equal(result["offset"], scan["offset"])


@pytest.mark.parametrize("apid, error", [
    (2048, "APID 2048 is out of range: APIDs are 0 to 2047"),
    ([1, -1], "APID -1 is out of range: APIDs are 0 to 2047"),
    (True, "an APID is an int, not True"),
    ("12", "'str' object cannot be interpreted as an integer"),
])
def test_bad_apids_are_refused(apid, error):
    with pytest.raises((ValueError, TypeError), match=error):
        scan_ccsds(b"", apid=apid)


def test_unreadable_buffers_are_refused():
    with pytest.raises(TypeError):
        scan_ccsds("text")
    with pytest.raises((BufferError, ValueError), match="contiguous"):
        scan_ccsds(np.zeros(20, np.uint8)[::2])


def test_sequence_gaps_follow_each_apid():
    rows = [(1, 10), (2, 0), (1, 11), (2, 3), (1, 14), (1, 16383), (1, 0), (2, 2)]
    data = b"".join(header(apid, count, 1) + b"x" for apid, count in rows)
    gaps = sequence_gaps(scan_ccsds(data))
    assert [tuple(g) for g in gaps] == [
        (2, 3, 21, 0, 3, 2), (1, 4, 28, 11, 14, 2), (1, 5, 35, 14, 16383, 16368), (2, 7, 49, 3, 2, 16382),
    ]
    assert sequence_gaps(scan_ccsds(b"")) == []


def test_a_recording_closes_even_while_viewed(tmp_path):
    path = tmp_path / "rec.bin"
    path.write_bytes(b"\x01\x02\x03")
    with open_recording(path) as recording:
        assert isinstance(recording, mmap.mmap) and recording[:] == b"\x01\x02\x03"
        view = np.frombuffer(recording, np.uint8)
    assert recording.closed and "closed" in repr(recording)
    assert view.tolist() == [1, 2, 3]  # the mapping outlives the recording while viewed
    del view
    recording = open_recording(str(path))
    with pytest.raises(TypeError):
        recording[0] = 1  # read-only
    recording.close()
    with pytest.raises(ValueError):
        recording[0]
    with pytest.raises(FileNotFoundError):
        open_recording(tmp_path / "missing.bin")


@given(stream, apid_filter, st.integers(1, 120), st.sampled_from([1, 7, 64, 1 << 26]))
def test_planned_cuts_are_the_buckets_of_the_reference_scan(tmp_path_factory, data, apids, blocksize, window):
    """Ranges start at the first listed packet in each new multiple of the block size, as read off the full scan,
    however many windows the walk over the file takes."""
    from unittest import mock

    from fieldloom_batch import blocks

    path = tmp_path_factory.mktemp("plan") / "stream.bin"
    path.write_bytes(data)
    expected, end = reference_scan(data, apids)
    offsets = expected["offset"].tolist()
    firsts = [i for i, offset in enumerate(offsets) if i == 0 or offset // blocksize != offsets[i - 1] // blocksize]
    with mock.patch.object(blocks, "SCAN_WINDOW", window):
        plan = blocks.plan_ccsds(path, blocksize, None if apids is None else sorted(apids))
    assert [(b.start, b.first) for b in plan.blocks] == [(offsets[i], i) for i in firsts]
    assert [b.stop for b in plan.blocks] == [offsets[i] for i in firsts[1:]] + [end] * bool(firsts)
    assert plan.packets == len(offsets) and plan.tail == scan_ccsds(data).tail
