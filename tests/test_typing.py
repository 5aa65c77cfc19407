"""The type stub against the running module; the examples under mypy --strict and run.

The stub lives in stubs/fieldloom.pyi and is installed as the stub-only package
fieldloom-stubs. stubtest checks it against whichever fieldloom this test
imported (a build folder on PYTHONPATH, or the installed one); when the module
is the installed one, a second run proves that mypy finds the installed stub
with no help.
"""
from __future__ import annotations

import os
import re
import site
import subprocess
import sys
import sysconfig
import typing
from pathlib import Path

import pytest

import fieldloom

pytest.importorskip("mypy", reason="mypy comes with the test extra")

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
STUB = STUBS / "fieldloom.pyi"
ALLOWLIST = STUBS / "stubtest-allowlist.txt"  # names the stub defines for type checkers only


def _run(args: list[str], tmp_path: Path, *, mypypath: Path | None, module_dir: Path | None):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    if mypypath is not None:
        env["MYPYPATH"] = str(mypypath)
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), os.environ.get("PYTHONPATH")]))
    # From an empty folder, so that neither the repository nor a cache in it is picked up.
    return subprocess.run(
        [sys.executable, *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600
    )


def _stubtest(tmp_path: Path, *, mypypath: Path | None, module_dir: Path | None):
    return _run(["-m", "mypy.stubtest", "fieldloom", "--allowlist", str(ALLOWLIST)],
                tmp_path, mypypath=mypypath, module_dir=module_dir)


def _installed() -> bool:
    where = Path(fieldloom.__file__).resolve().parent
    candidates = [*site.getsitepackages(), site.getusersitepackages(),
                  sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"]]
    return any(where == Path(c).resolve() for c in candidates)


def test_stub_matches_runtime(tmp_path):
    result = _stubtest(tmp_path, mypypath=STUBS, module_dir=Path(fieldloom.__file__).parent)
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_stub_is_found(tmp_path):
    if not _installed():
        pytest.skip(f"fieldloom comes from {fieldloom.__file__}, not an installation")
    installed = Path(fieldloom.__file__).parent / "fieldloom-stubs" / "__init__.pyi"
    assert installed.read_text() == STUB.read_text(), "installed stub is stale: reinstall with pip"
    result = _stubtest(tmp_path, mypypath=None, module_dir=None)
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_pass_strict_mypy(tmp_path):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert examples
    result = _run(["-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *examples],
                  tmp_path, mypypath=STUBS, module_dir=None)
    assert result.returncode == 0, result.stdout + result.stderr


def _run_example(name: str, *args: str, tmp_path: Path):
    return _run([str(ROOT / "examples" / name), *args], tmp_path, mypypath=None,
                module_dir=Path(fieldloom.__file__).parent)


def test_demo_decodes_reports_and_round_trips(tmp_path):
    result = _run_example("demo.py", tmp_path=tmp_path)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    # The recording holds one packet with a flipped clock bit and ends inside a packet.
    assert re.search(r"packet \d+ at byte \d+ raises\n    ValueError\('ValueError: Invalid BCD digit: 1[0-5] \(must be 0-9\)'\)", out), out
    assert re.search(r"packet 400 at byte \d+ raises\n    ValueError\(", out), out
    assert "sequence count jumps from 311 to 313" in out
    decoded = re.search(r"(\d+) of (\d+) decoded packets pack back to their exact bytes", out)
    assert decoded and decoded[1] == decoded[2] == "399", out


def test_batch_demo_decodes_refuses_splits_and_round_trips(tmp_path):
    result = _run_example("batch_demo.py", tmp_path=tmp_path)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "12417 bytes, 401 packets of 31 bytes, 399 decoded, 2 refused" in out, out
    assert "packet 217 at byte 6727: ValueError('ValueError: Invalid BCD digit: 15 (must be 0-9)')" in out, out
    assert re.search(r"packet 400 at byte 12400: ValueError\(", out), out
    assert re.search(r"note: .*\b217\b.*\b6727\b", out), out
    assert re.search(r"APID +0x123\n", out) and re.search(r"sequence flags +3\n", out), out
    assert "jumps from 311 to 313 between packets 311 and 312: 1 packet(s) lost" in out, out
    assert "399 of 399 decoded packets pack back to their exact bytes" in out, out


def test_recording_is_reproducible(tmp_path):
    result = _run_example("make_recording.py", str(tmp_path / "again.bin"), tmp_path=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "again.bin").read_bytes() == (ROOT / "examples" / "housekeeping.bin").read_bytes()


def _stub_namespace() -> dict[str, typing.Any]:
    # The stub is plain Python; running it gives the Literal and TypedDict objects.
    namespace: dict[str, typing.Any] = {}
    exec(compile(STUB.read_text(), str(STUB), "exec", dont_inherit=True), namespace)
    return namespace


def _literal_values(alias) -> list[str]:
    if typing.get_origin(alias) is typing.Literal:
        return list(typing.get_args(alias))
    return [v for member in typing.get_args(alias) for v in _literal_values(member)]


NAMESPACE = _stub_namespace()
ENCODINGS = _literal_values(NAMESPACE["Encoding"])
PACK_ENCODINGS = _literal_values(NAMESPACE["PackEncoding"])


def _entry(encoding: str, byte_order: str = "big") -> dict[str, object]:
    return {"name": "f", "encoding": encoding, "bits": 32, "byte_order": byte_order, "reverse_bits": False}


def test_literal_types_list_each_name_once():
    assert len(ENCODINGS) == len(set(ENCODINGS)) == 34
    assert set(PACK_ENCODINGS) <= set(ENCODINGS)
    assert _literal_values(NAMESPACE["ByteOrder"]) == ["big", "little"]
    assert NAMESPACE["__all__"] == fieldloom.__all__


def _sample(encoding: str) -> int | float | str:
    if encoding.startswith("ieee754"):
        return 1.5
    if encoding.startswith(("utf", "us_", "iso", "latin", "windows")):
        return "ab"
    return 12


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_every_encoding_literal_is_a_runtime_name(encoding):
    if encoding in PACK_ENCODINGS:
        sample = _sample(encoding)
        packet = fieldloom.pack_parameters([_entry(encoding)], {"f": sample})
        value = fieldloom.unpack_parameters(packet, 0, [_entry(encoding)])["f"]
        assert type(value) is type(sample)
        return
    with pytest.raises(ValueError, match=f"^ValueError: Unsupported encoding type: {encoding}$"):
        fieldloom.pack_parameters([_entry(encoding)], {"f": 0.0})
    try:
        value = fieldloom.unpack_parameters(bytes(4), 0, [_entry(encoding)])["f"]
    except ValueError as error:
        # Known names without a codec answer with their own error, not as unknown names.
        assert str(error).startswith("NotImplementedError: "), error
    else:
        assert value == 0.0  # ieee754_f128 up to 64 bits


@pytest.mark.parametrize("byte_order", _literal_values(NAMESPACE["ByteOrder"]))
def test_byte_order_literals_are_accepted(byte_order):
    packet = bytes([1, 2, 3, 4])
    assert fieldloom.unpack_parameters(packet, 0, [_entry("unsigned", byte_order)])["f"] in (0x01020304, 0x04030201)


def test_recipe_entry_required_keys_match_runtime():
    entry_type = NAMESPACE["RecipeEntry"]
    assert entry_type.__optional_keys__ == {"offset_bits"}
    full = {**_entry("unsigned"), "offset_bits": 0}
    assert set(full) == entry_type.__required_keys__ | entry_type.__optional_keys__
    for key in entry_type.__required_keys__:
        entry = {k: v for k, v in full.items() if k != key}
        with pytest.raises(ValueError, match=f"Recipe missing required field: '{key}'"):
            fieldloom.unpack_parameters(bytes(4), 0, [entry])
    assert fieldloom.unpack_parameters(bytes(4), 0, [_entry("unsigned")]) == {"f": 0}
