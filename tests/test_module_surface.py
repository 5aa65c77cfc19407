"""The module object, argument binding and the conversion kinds."""
import gc
import importlib
import inspect
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import fieldloom

from helpers import INT_TOO_BIG, INT_TOO_LARGE_FOR_FLOAT, NEGATIVE_TO_UNSIGNED, not_a_real_number, not_an_integer


def test_module_attributes():
    assert fieldloom.__doc__ == ""
    assert fieldloom.__name__ == "fieldloom"
    assert isinstance(fieldloom.__all__, list)
    assert len(fieldloom.__all__) == len(set(fieldloom.__all__))
    for name in fieldloom.__all__:
        function = getattr(fieldloom, name)
        assert function.__self__ is fieldloom
        assert function.__module__ == "fieldloom"
        assert function.__doc__ is None
        assert function.__name__ == name
    # registration order is the order of the module's attribute dictionary too
    assert [n for n in vars(fieldloom) if n in fieldloom.__all__] == fieldloom.__all__


def test_signature_visible_to_inspect():
    assert str(inspect.signature(fieldloom.decode_twos_complement)) == "(value, bits)"
    assert fieldloom.encode_sign_magnitude.__text_signature__ == "(value, bits)"


def test_reimport_gives_same_module():
    first = sys.modules.pop("fieldloom")
    try:
        import fieldloom as again

        assert again is first
        assert again.decode_twos_complement is first.decode_twos_complement
    finally:
        sys.modules["fieldloom"] = first


@pytest.mark.parametrize("name", ["fieldloom", "fieldloom_batch"])
def test_import_needs_no_numpy(name):
    # NumPy is fieldloom_batch's dependency, never the module's; the package loads it with the first
    # name used, so that the fieldloom program can ready its process (OpenBLAS's threads) first.
    code = f"import sys, {name}; assert 'numpy' not in sys.modules, sorted(sys.modules)"
    subprocess.run([sys.executable, "-c", code], check=True)


def test_the_package_gives_its_modules_as_attributes():
    # Loaded when first named, as they were when the package loaded them all at import.
    code = ("import fieldloom_batch as f; assert f.ccsds.scan_ccsds is f.scan_ccsds and f._native.Layout;"
            "assert not hasattr(f, 'nothing') and not hasattr(f, 'no.thing')")
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("name, init", [("fieldloom", "PyInit_fieldloom"), ("fieldloom_batch._native", "PyInit__native")])
def test_only_init_symbol_exported(name, init):
    # Every kind of symbol counts: unique and weak ones bind across libraries too.
    try:
        result = subprocess.run(["nm", "-D", "--defined-only", importlib.import_module(name).__file__],
                                capture_output=True, text=True)
    except FileNotFoundError:
        pytest.skip("nm not available")
    assert result.returncode == 0, result.stderr
    assert [line.split()[-1] for line in result.stdout.splitlines()] == [init]


SUB = textwrap.dedent(
    """
    try:
        import fieldloom
    except ImportError as error:
        print("refused:", error, flush=True)
    else:
        print("accepted", flush=True)
    """
)


def test_sub_interpreter_refused():
    code = textwrap.dedent(
        f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import fieldloom
        interpreters.run_string(interpreters.create(), {SUB!r})
        fieldloom.decode_twos_complement(255, 8)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    # From 3.12 on a new sub-interpreter is isolated, and the interpreter
    # itself refuses a module built for one interpreter per process.
    if sys.version_info >= (3, 12):
        assert out.stdout == "refused: module fieldloom does not support loading in subinterpreters\n"
    else:
        assert out.stdout == "refused: fieldloom does not yet support sub-interpreters\n"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f.decode_twos_complement(1, 2, 3), "decode_twos_complement() takes 2 positional arguments but 3 were given"),
        (lambda f: f.decode_twos_complement(), "decode_twos_complement() missing 2 required positional arguments: 'value' and 'bits'"),
        (lambda f: f.decode_twos_complement(1), "decode_twos_complement() missing 1 required positional argument: 'bits'"),
        (lambda f: f.decode_twos_complement(bits=3), "decode_twos_complement() missing 1 required positional argument: 'value'"),
        (lambda f: f.decode_twos_complement(1, 8, bits=8), "decode_twos_complement() got multiple values for argument 'bits'"),
        (lambda f: f.decode_twos_complement(1, 8, value=8), "decode_twos_complement() got multiple values for argument 'value'"),
        (lambda f: f.decode_twos_complement(1, 8, data=8), "decode_twos_complement() got an unexpected keyword argument 'data'"),
        (lambda f: f.encode_twos_complement(**{"v\udc80": 1}), "encode_twos_complement() got an unexpected keyword argument 'v\udc80'"),
        # the first failing keyword decides
        (lambda f: f.decode_twos_complement(1, zz=1, bits=2, value=3), "decode_twos_complement() got an unexpected keyword argument 'zz'"),
        (lambda f: f.decode_twos_complement(1, value=1, zz=2), "decode_twos_complement() got multiple values for argument 'value'"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call(fieldloom)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_single_positional_uses_was():
    with pytest.raises(TypeError, match=r"^encode_twos_complement\(\) takes 2 positional arguments but 3 were given$"):
        fieldloom.encode_twos_complement(1, 2, 3)


def test_keywords_work_for_every_parameter():
    assert fieldloom.decode_twos_complement(bits=8, value=255) == -1
    assert fieldloom.encode_sign_magnitude(value=-1, bits=8) == 129


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1, 8), OverflowError, NEGATIVE_TO_UNSIGNED),
        ((2**64, 8), OverflowError, INT_TOO_BIG),
        ((1, 2**32), OverflowError, "out of range integral type conversion attempted"),
        ((1, 2**64 - 1), OverflowError, "out of range integral type conversion attempted"),
        ((1, -1), OverflowError, NEGATIVE_TO_UNSIGNED),
        ((1.0, 8), TypeError, f"argument 'value': {not_an_integer(1.0)}"),
        (("1", 8), TypeError, f"argument 'value': {not_an_integer('1')}"),
        ((None, 8), TypeError, f"argument 'value': {not_an_integer(None)}"),
        ((1, 8.0), TypeError, f"argument 'bits': {not_an_integer(1.0)}"),
        ((Raising(ValueError("inner")), 8), ValueError, "inner"),
        ((1, Raising(TypeError("bad index"))), TypeError, "argument 'bits': bad index"),
    ],
)
def test_unsigned_conversion_failures(args, error, message):
    with pytest.raises(error) as info:
        fieldloom.decode_twos_complement(*args)
    assert type(info.value) is error
    assert str(info.value) == message


class Int(int):
    pass


# One digit or several, an int subclass or a bool: the same value.
@pytest.mark.parametrize("value", [0, 1, 2**30 - 1, 2**30, 2**32, 2**62, 2**64 - 1, True, Int(7), Int(2**40)])
@pytest.mark.parametrize("sign", [1, -1])
def test_integer_arguments_of_every_width(value, sign):
    if sign > 0:
        assert fieldloom.decode_twos_complement(value, 64) == (value - 2**64 if value >= 2**63 else value)
        if value < 2**32:
            assert fieldloom.decode_ones_complement(1, value) == int(value >= 2)
        else:
            with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                fieldloom.decode_ones_complement(1, value)
    signed = max(-(2**63), min(sign * int(value), 2**63 - 1))
    assert fieldloom.encode_twos_complement(signed, 64) == signed % 2**64


def test_signed_conversion_failures():
    with pytest.raises(OverflowError) as info:
        fieldloom.encode_twos_complement(2**63, 64)
    assert str(info.value) == INT_TOO_BIG
    with pytest.raises(OverflowError):
        fieldloom.encode_twos_complement(-(2**63) - 1, 64)
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        fieldloom.encode_twos_complement(1.5, 8)


def test_index_protocol_and_bool_accepted():
    assert fieldloom.decode_twos_complement(Index(255), Index(8)) == -1
    assert fieldloom.encode_twos_complement(True, 8) == 1
    assert fieldloom.encode_twos_complement(Index(-2), 8) == 254
    assert fieldloom.decode_twos_complement(np.uint64(2**64 - 1), np.int64(64)) == -1


def test_prefix_only_for_exact_type_error_and_keeps_cause():
    with pytest.raises(TypeErrorSubclass) as info:
        fieldloom.decode_twos_complement(Raising(TypeErrorSubclass("sub")), 8)
    assert str(info.value) == "sub"

    cause = KeyError("root")
    error = TypeError("wrapped")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        fieldloom.decode_twos_complement(Raising(error), 8)
    assert str(info.value) == "argument 'value': wrapped"
    assert info.value.__cause__ is cause
    assert info.value is not error


class BadStr:
    def __str__(self):
        raise RuntimeError("no text")


def test_prefix_when_str_of_error_fails():
    with pytest.raises(TypeError) as info:
        fieldloom.decode_twos_complement(Raising(TypeError(BadStr())), 8)
    assert str(info.value) == "argument 'value': <exception str() failed>"


BAD_CALLS = [
    lambda: fieldloom.decode_twos_complement(),
    lambda: fieldloom.decode_twos_complement(1, 2, 3),
    lambda: fieldloom.decode_twos_complement(1, bits=2, value=3),
    lambda: fieldloom.decode_twos_complement("x", 8),
    lambda: fieldloom.decode_twos_complement(-1, 8),
    lambda: fieldloom.encode_twos_complement(1000, 8),
    lambda: fieldloom.encode_sign_magnitude(1, 1),
    lambda: fieldloom.decode_twos_complement(1, Raising(TypeError("x"))),
]


def test_bad_calls_do_not_leak():
    argument = object()
    before_refs = sys.getrefcount(argument)

    def run(times):
        for _ in range(times):
            for call in BAD_CALLS:
                try:
                    call()
                except Exception:
                    pass
            try:
                fieldloom.decode_twos_complement(argument, 8)
            except TypeError:
                pass

    run(200)
    gc.collect()
    tracemalloc.start()
    first = tracemalloc.take_snapshot()
    run(2000)
    gc.collect()
    second = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(stat.size_diff for stat in second.compare_to(first, "filename"))
    assert grown < 64 * 1024
    assert sys.getrefcount(argument) == before_refs


class Real:
    def __float__(self):
        return 2.5


class FloatSub(float):
    pass


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, expected",
    [
        # flag: exact bool or a NumPy boolean scalar, by its truth value
        (lambda f: f.decode_packed_bcd(0x12, 8, np.bool_(False)), 12),
        (lambda f: f.decode_packed_bcd(0x12C, 12, signed=np.True_), 12),
        (lambda f: f.unpack_parameters(b"\x01", 0, [dict(name="x", encoding="unsigned", bits=8, byte_order="big", reverse_bits=np.True_)]), {"x": 0x80}),
        # double and single accept real numbers of every kind
        (lambda f: f.encode_ieee754_f64(1), 4607182418800017408),
        (lambda f: f.encode_ieee754_f64(Real()), 0x4004000000000000),
        (lambda f: f.encode_ieee754_f64(FloatSub(-0.0)), 1 << 63),
        (lambda f: f.encode_ieee754_f32(Index(1)), 0x3F800000),
        (lambda f: f.encode_ieee754_f32(1e39), 0x7F800000),
        (lambda f: f.encode_ieee754_f32(-1e39), 0xFF800000),
        # u128
        (lambda f: f.decode_ieee754_f128(Index(0x3FFF << 112)), 1.0),
        # byte string and text accept subclasses
        (lambda f: f.decode_utf8(BytesSub(b"ok")), "ok"),
        (lambda f: f.encode_utf8(StrSub("ok")), b"ok"),
    ],
)
def test_conversion_kinds_accept(call, expected):
    result = call(fieldloom)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: f.decode_packed_bcd(0x12, 8, signed=1), TypeError, "argument 'signed': 'int' object cannot be cast as 'bool'"),
        (lambda f: f.decode_packed_bcd(0x12, 8, None), TypeError, "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
        (lambda f: f.encode_unpacked_bcd(1, 8, signed=np.int8(1)), TypeError, "argument 'signed': 'int8' object cannot be cast as 'bool'"),
        (lambda f: f.encode_ieee754_f64("1"), TypeError, f"argument 'value': {not_a_real_number('1')}"),
        (lambda f: f.encode_ieee754_f64(10**400), OverflowError, INT_TOO_LARGE_FOR_FLOAT),
        (lambda f: f.encode_ieee754_f16(None), TypeError, f"argument 'value': {not_a_real_number(None)}"),
        (lambda f: f.decode_ieee754_f128(2**128), OverflowError, INT_TOO_BIG),
        (lambda f: f.decode_ieee754_f128(-1), OverflowError, NEGATIVE_TO_UNSIGNED),
        (lambda f: f.decode_ieee754_f128(1.0), TypeError, f"argument 'value': {not_an_integer(1.0)}"),
        (lambda f: f.decode_utf8(bytearray(b"a")), TypeError, "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"),
        (lambda f: f.decode_utf8(memoryview(b"a")), TypeError, "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'"),
        (lambda f: f.decode_utf8("a"), TypeError, "argument 'bytes': 'str' object cannot be cast as 'bytes'"),
        (lambda f: f.encode_utf8(5), TypeError, "argument 'text': 'int' object cannot be cast as 'str'"),
        (lambda f: f.pack_parameters("abc", {}), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
        (lambda f: f.pack_parameters(StrSub("abc"), {}), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
        (lambda f: f.pack_parameters({1: 2}, {}), TypeError, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
        (lambda f: f.pack_parameters({1, 2}, {}), TypeError, "argument 'recipe': 'set' object cannot be cast as 'Sequence'"),
        (lambda f: f.pack_parameters((i for i in []), {}), TypeError, "argument 'recipe': 'generator' object cannot be cast as 'Sequence'"),
        (lambda f: f.pack_parameters([], [("a", 1)]), TypeError, "argument 'values': 'list' object cannot be cast as 'dict'"),
        (lambda f: f.pack_parameters(5, 5), TypeError, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
        (lambda f: f.decode_ti_f32(1.5), TypeError, f"argument '_value': {not_an_integer(1.5)}"),
        (lambda f: f.encode_ti_f32("x"), TypeError, f"argument '_value': {not_a_real_number('x')}"),
    ],
)
def test_conversion_kind_failures(call, error, message):
    with pytest.raises(error) as info:
        call(fieldloom)
    assert type(info.value) is error
    assert str(info.value) == message


def test_lone_surrogate_text_raises_interpreters_error_unprefixed():
    with pytest.raises(UnicodeEncodeError) as info:
        fieldloom.encode_utf8("ok\ud800")
    assert "surrogates not allowed" in str(info.value)
    with pytest.raises(UnicodeEncodeError):
        fieldloom.encode_us_ascii("\U0001F600\udfff")


def test_iteration_errors_of_a_sequence_recipe():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            raise TypeError("cannot index")

    with pytest.raises(TypeError) as info:
        fieldloom.unpack_parameters(b"", 0, Broken())
    assert str(info.value) == "argument 'recipe': cannot index"

    class Lying:
        def __len__(self):
            return 10**6

        def __getitem__(self, index):
            if index >= 1:
                raise IndexError
            return {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}

    assert fieldloom.unpack_parameters(b"\x09", 0, Lying()) == {"x": 9}
