"""An embedding program that starts and ends the interpreter several times.

Each new interpreter must get a working module of its own, and a
sub-interpreter beside it must still be refused.
"""
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import fieldloom

PROGRAM = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* argv[1]: code run in each new interpreter; argv[2]: the same in a
   sub-interpreter beside it. */
int main(int argc, char** argv) {
    if (argc != 3) return 2;
    for (int round = 1; round <= 3; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        PyThreadState* main_state = PyThreadState_Get();
        PyThreadState* sub = Py_NewInterpreter();
        if (sub == NULL) return 20 + round;
        int refused = PyRun_SimpleString(argv[2]);
        Py_EndInterpreter(sub);
        PyThreadState_Swap(main_state);
        if (refused != 0) return 30 + round;
        if (Py_FinalizeEx() < 0) return 40 + round;
    }
    return 0;
}
"""

# Interned recipe keys, the str.lower fallback (KELVIN SIGN lower-cases to
# 'k') and the module's functions, all from one interpreter.
CALLS = textwrap.dedent(
    """
    import fieldloom as m
    recipe = [
        dict(name="a", encoding="pac\\u212aed_bcd", bits=8, byte_order="big", reverse_bits=False),
        dict(name="b", encoding="twos_complement", bits=8, byte_order="BIG", reverse_bits=True, offset_bits=8),
    ]
    try:
        m.unpack_parameters(b"", 0, [{}])
    except ValueError as error:
        missing = str(error)
    print(repr((len(m.__all__), m.decode_twos_complement(255, 8), m.unpack_parameters(b"\\x42\\x80", 0, recipe),
                m.pack_parameters(recipe, {"a": 42, "b": 1}), missing)))
    """
)

SUB = textwrap.dedent(
    """
    try:
        import fieldloom
    except ImportError as error:
        print("refused:", error)
    else:
        print("accepted")
    """
)


def build_program(tmp_path):
    compiler = shutil.which(sysconfig.get_config_var("CC").split()[0]) or shutil.which("cc")
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    if compiler is None or not os.path.exists(os.path.join(libdir, f"libpython{version}.so")):
        pytest.skip("no C compiler or no shared libpython to embed")
    source = tmp_path / "embed.c"
    source.write_text(PROGRAM)
    program = tmp_path / "embed"
    subprocess.run(
        [compiler, str(source), "-o", str(program), "-I", sysconfig.get_paths()["include"],
         "-L", libdir, f"-Wl,-rpath,{libdir}", f"-lpython{version}"],
        check=True, capture_output=True, timeout=120,
    )
    return program


def test_each_new_interpreter_gets_a_working_module(tmp_path):
    program = build_program(tmp_path)
    search = [os.path.dirname(fieldloom.__file__)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONPATH=os.pathsep.join(search))
    out = subprocess.run([str(program), CALLS, SUB], capture_output=True, text=True, timeout=120, env=env)
    assert out.returncode == 0, (out.returncode, out.stdout, out.stderr)

    expected = subprocess.run([sys.executable, "-c", CALLS], capture_output=True, text=True, check=True).stdout
    refused = "refused: fieldloom does not yet support sub-interpreters\n"
    assert out.stdout == (expected + refused) * 3
