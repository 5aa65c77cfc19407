"""Several threads calling the module at once get what one thread gets, and
a first import from several threads at once yields one module object."""
import subprocess
import sys
import textwrap
import threading

import pytest

import fieldloom
from fieldloom import pack_parameters, unpack_parameters
from helpers import entry


class Yielding:
    """An int-like that lets other threads run in the middle of a call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        import time

        time.sleep(0)
        return self.value


# Shared between all threads: the same dicts, so that what the engine
# remembers about an entry is used by many threads at once.
SHARED = [
    entry(), entry(name="s", encoding="twos_complement", bits=16, byte_order="little"),
    entry(name="r", bits=Yielding(12), reverse_bits=True), entry(name="t", encoding="utf16be", bits=32),
    entry(name="f", encoding="ieee754_f32", bits=32, offset_bits=Yielding(0)),
    entry(name="b", encoding="packed_bcd", bits=16, offset_bits=64),
]


def work(seed):
    """One thread's calls, all deterministic in `seed`."""
    out = []
    for i in range(150):
        n = (seed * 7919 + i) % 256
        values = {"x": n, "s": -n, "r": n * 3, "t": chr(0x41 + n % 26) * 2, "f": n / 4, "b": n % 100}
        packet = pack_parameters(SHARED, values)
        out.append(packet)
        out.append(unpack_parameters(packet, 0, SHARED))
        out.append(fieldloom.decode_utf8(packet[:1] if n < 128 else b"\xc3\xa9"))
        out.append(fieldloom.encode_utf16le(values["t"] + "\U0001F600"))
        out.append(fieldloom.encode_packed_bcd(n, 16, signed=True))
        out.append(repr(fieldloom.decode_ieee754_f16(n << 8)))  # repr: NaN equals itself
        try:
            unpack_parameters(packet[:2], 0, SHARED)
        except ValueError as error:
            out.append(str(error))
        try:
            fieldloom.encode_twos_complement(1000 + n, 8)
        except ValueError as error:
            out.append(str(error))
    return out


def test_threads_get_the_single_thread_results():
    seeds = range(8)
    expected = {seed: work(seed) for seed in seeds}
    results = {}
    errors = []
    start = threading.Barrier(len(seeds))

    def run(seed):
        try:
            start.wait()
            results[seed] = work(seed)
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=run, args=(seed,)) for seed in seeds]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not errors
    assert results == expected


def test_entries_changed_by_another_thread_between_calls():
    # One thread rewrites a shared entry while others read it: every result
    # must be one of the two complete states, never a mixture.
    item = entry(bits=8)
    packet = b"\x12\x34"
    seen = set()
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            item["bits"] = 16
            item["bits"] = 8

    def reader():
        for _ in range(3000):
            seen.add(unpack_parameters(packet, 0, [item])["x"])

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=reader) for _ in range(3)]
        write = threading.Thread(target=writer)
        write.start()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        stop.set()
        write.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert seen <= {0x12, 0x1234}


CHILD = textwrap.dedent(
    """
    import importlib.util
    import sys
    import threading

    sys.setswitchinterval(1e-6)
    module_spec = importlib.util.find_spec("fieldloom")
    count = 8
    start = threading.Barrier(count)
    modules = [None] * count

    def load(i):
        start.wait()
        # Straight to the extension's initialisation, past the import
        # system's per-name lock, so the initialisations really overlap.
        modules[i] = importlib.util.module_from_spec(module_spec)

    threads = [threading.Thread(target=load, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(module is modules[0] for module in modules), modules
    import fieldloom
    assert fieldloom is modules[0]
    assert len(fieldloom.__all__) == 62 == len(set(fieldloom.__all__))
    assert fieldloom.decode_twos_complement(255, 8) == -1
    print("one module")
    """
)


@pytest.mark.parametrize("attempt", range(3))
def test_concurrent_first_import_gives_one_module(attempt):
    result = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "one module"
