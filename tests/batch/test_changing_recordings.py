"""Recordings that change under a read, vanish or hold nothing: a clear error or the right result."""
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import fieldloom_batch
from fieldloom_batch import Layout, open_recording, scan_ccsds

from ccsds_streams import header

WORD = [{"name": "w", "encoding": "unsigned", "bits": 32, "byte_order": "big", "reverse_bits": False}]

# Runs in its own interpreter, so that a SIGBUS shows as a failed run rather
# than as the end of the test session. A second process truncates the file
# while the recording is read; reads go on until one starts after the
# truncation is over, which must raise.
TRUNCATED_WHILE_READ = textwrap.dedent("""
    import subprocess, sys
    import fieldloom_batch

    path, how = sys.argv[1], sys.argv[2]
    from fieldloom_batch.definitions import Definitions, PacketType, ccsds_primary_header
    layout = fieldloom_batch.Layout({recipe!r})
    definitions = Definitions([PacketType("p", ccsds_primary_header())])
    recording = fieldloom_batch.open_recording(path)
    size = len(recording)
    cutter = subprocess.Popen(
        [sys.executable, "-c", "import os, sys; print(flush=True); sys.stdin.read(1); os.truncate(sys.argv[1], 65542)",
         path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    cutter.stdout.readline()  # started
    reads = {{
        "scan": lambda: fieldloom_batch.scan_ccsds(recording),
        "slice": lambda: recording[size - 8:],
        "1": lambda: layout.unpack_many(recording, threads=1),
        "2": lambda: layout.unpack_many(recording, threads=2),
        "definitions": lambda: definitions.decode(recording, errors="skip", threads=2),
    }}
    cutter.stdin.write(b"x")
    cutter.stdin.flush()
    while True:
        over = cutter.poll() is not None
        try:
            reads[how]()
        except OSError as error:
            assert str(error) == path + " changed while it was being read", error
            break
        assert not over, "a read of the truncated file succeeded"
    # Every later read of the recording knows too.
    for read in reads.values():
        try:
            read()
        except OSError:
            continue
        raise AssertionError("a later read succeeded")
    print("ok")
""").format(recipe=WORD)


def ccsds_file(path, packets):
    body = bytes(65535)
    path.write_bytes(b"".join(header(0x10, i, len(body)) + body for i in range(packets)))
    return path


def python(*arguments):
    # faulthandler on, as under pytest: its SIGBUS handler was there first.
    return subprocess.run([sys.executable, "-X", "faulthandler", *arguments], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})


@pytest.mark.parametrize("how", ["scan", "slice", "1", "2", "definitions"])
def test_a_recording_truncated_by_another_process_raises_oserror(tmp_path, how):
    path = ccsds_file(tmp_path / "live.bin", 512)  # 32 MiB
    run = python("-c", TRUNCATED_WHILE_READ, str(path), how)
    assert (run.returncode, run.stdout.strip()) == (0, "ok"), run.stderr


def test_a_sigbus_elsewhere_still_ends_the_process(tmp_path):
    (tmp_path / "one.bin").write_bytes(b"x")
    run = python("-c", "import os, signal, sys, fieldloom_batch\n"
                 "recording = fieldloom_batch.open_recording(sys.argv[1])\n"
                 "os.kill(os.getpid(), signal.SIGBUS)\n", str(tmp_path / "one.bin"))
    if os.environ.get("FIELDLOOM_SANITIZER"):  # AddressSanitizer's own handler ends it
        assert run.returncode != 0 and "AddressSanitizer: BUS" in run.stderr, run.stderr
    else:
        assert run.returncode == -signal.SIGBUS and "Fatal Python error: Bus error" in run.stderr


@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_a_packet_that_changes_during_a_decode_is_reported_not_a_panic(errors):
    # Every 4096th packet flips between a good and a bad BCD digit while the
    # decode runs without the lock: some are read bad, and are good again
    # when the decode asks them why.
    layout = Layout([{"name": "d", "encoding": "packed_bcd", "bits": 8, "byte_order": "big", "reverse_bits": False}])
    changed = re.compile(r"packet (\d+) at byte offset \1 changed while it was decoded")
    outcomes = []
    while len(outcomes) < 40 and not any(changed.fullmatch(outcome) for outcome in outcomes):
        data = np.full(1 << 23, 0x11, np.uint8)
        stop = threading.Event()

        def flip():
            while not stop.is_set():
                data[::4096] ^= 0x0B  # 0x11 <-> 0x1A

        flipper = threading.Thread(target=flip)
        flipper.start()
        try:
            result = layout.unpack_many(data, errors=errors)
            outcomes.append("decoded")
            if errors == "skip":
                assert all("Invalid BCD digit" in str(item.error) for item in result.refused)
        except ValueError as error:
            assert "Invalid BCD digit" in str(error) or changed.fullmatch(str(error)), error
            outcomes.append(str(error))
        finally:
            stop.set()
            flipper.join()
    assert changed.fullmatch(outcomes[-1]), outcomes


def test_an_empty_file_is_a_recording_of_no_packets(tmp_path):
    path = tmp_path / "empty.bin"
    path.write_bytes(b"")
    layout = Layout(WORD)
    with open_recording(path) as recording:
        assert (len(recording), recording[:], recording.read(), recording.size(), recording.find(b"")) == (0, b"", b"", 0, 0)
        assert memoryview(recording).nbytes == 0 and np.frombuffer(recording, np.uint8).size == 0
        scan = scan_ccsds(recording)
        assert (len(scan["offset"]), scan.end, scan.tail) == (0, 0, None)
        assert layout.unpack_many(recording)["w"].size == 0
        assert layout.unpack_many(recording, offsets=scan["offset"], lengths=scan["length"])["w"].size == 0
        with pytest.raises(TypeError):
            recording.write(b"x")  # read-only, as every recording
    assert recording.closed and "closed" in repr(recording)
    pytest.importorskip("dask.dataframe")
    assert len(fieldloom_batch.read_dask(path, WORD, stride=4).compute(scheduler="sync")) == 0
    assert len(fieldloom_batch.read_dask(path, WORD, ccsds=True).compute(scheduler="sync")) == 0


@pytest.mark.parametrize("framing", [{"stride": 65542}, {"ccsds": True}])
def test_read_dask_of_a_file_shrunk_after_planning_raises_oserror(tmp_path, framing):
    pytest.importorskip("dask.dataframe")
    path = ccsds_file(tmp_path / "rotating.bin", 8)
    frame = fieldloom_batch.read_dask(path, WORD, blocksize=65542 * 2, **framing)
    os.truncate(path, 65542 * 4)  # on a packet boundary: two of the four ranges are gone
    with pytest.raises(OSError, match=f"^{path} changed while it was being read: it has 262168 bytes now, fewer than the"):
        frame.compute(scheduler="sync")


def mapped(path):
    with open("/proc/self/maps") as maps:
        return str(path) in maps.read()


@pytest.mark.skipif(not os.path.exists("/proc/self/maps"), reason="needs /proc")
def test_a_closed_recording_refuses_reads_and_unmaps_with_its_last_view(tmp_path):
    path = tmp_path / "rec.bin"
    path.write_bytes(bytes(range(16)))
    recording = open_recording(path)
    view = memoryview(recording)
    array = np.frombuffer(recording, np.uint8)
    recording.close()
    for read in (lambda: recording[:4], recording.read, lambda: recording.find(b"\x01"), lambda: memoryview(recording)):
        with pytest.raises(ValueError, match="closed"):
            read()
    assert view[:4].tobytes() == b"\x00\x01\x02\x03" and array[15] == 15 and mapped(path)
    view.release()
    assert mapped(path)
    del array
    assert not mapped(path)
    with pytest.raises(ValueError, match="closed"):
        recording[:4]
