"""The internal fault type: what a caller sees when the module itself fails.

Faults cannot be caused by ordinary input, so these tests starve a child
process of memory until creating a result object fails.
"""
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import resource
    import fieldloom

    data = b"a" * (64 << 20)

    def vm_size():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + (16 << 20), hard))

    def fault():
        try:
            fieldloom.decode_utf8(data)
        except Exception as error:
            print("caught as Exception:", type(error).__name__)
            raise SystemExit(1)
        except BaseException as error:
            return error
        print("no fault")
        raise SystemExit(1)

    first, second = fault(), fault()
    panic = type(first)
    print("module:", panic.__module__)
    print("name:", panic.__name__)
    print("base:", panic.__bases__ == (BaseException,))
    print("same type:", type(second) is panic)
    print("message:", first.args)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    print("still works:", fieldloom.decode_twos_complement(255, 8))

    class Hostile:
        def __index__(self):
            raise panic("raised by caller code")

    try:
        fieldloom.decode_twos_complement(Hostile(), 8)
    except panic as error:
        print("relayed:", type(error) is panic, error.args)
    """
)


@pytest.fixture(scope="module")
def child():
    if not sys.platform.startswith("linux"):
        pytest.skip("needs /proc and RLIMIT_AS")
    result = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def test_fault_type_shape(child):
    out = child.stdout
    assert "module: fieldloom_runtime" in out
    assert "name: PanicException" in out
    assert "base: True" in out
    assert "same type: True" in out
    assert "message: ('Python API call failed',)" in out
    assert "still works: -1" in out


def test_memory_failure_reported_on_stderr(child):
    assert "MemoryError" in child.stderr


def test_fault_type_raised_by_caller_code_is_relayed(child):
    assert "relayed: True ('raised by caller code',)" in child.stdout
    assert "PanicException" in child.stderr
