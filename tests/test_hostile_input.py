"""Python objects that run arbitrary code while a call reads them.

Every case must end in the exception class and text that the call's rules
give, leave the interpreter healthy, and never let the module touch an object
that the caller's code has already released. The last point is only fully
visible under the sanitizer build (see .ci/run), where a use after free stops
the run.
"""
import gc
import subprocess
import sys
import textwrap

import pytest

import fieldloom
from fieldloom import pack_parameters, unpack_parameters
from helpers import CollidingKey, entry, make_fake_numpy_bool, wrapped


def fresh_text(text):
    """An equal str that is a new object, never interned or shared, so that
    dropping the dict's reference really frees it."""
    return "".join(list(text))


class Call:
    """An object whose protocol methods run `action` and then answer."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def _run(self):
        if self.action is not None:
            self.action()
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value

    def __index__(self):
        return self._run()

    def __float__(self):
        return self._run()


class Stop(BaseException):
    """Like KeyboardInterrupt: not an Exception."""


@pytest.fixture(autouse=True)
def interpreter_stays_healthy():
    yield
    gc.collect()
    assert fieldloom.unpack_parameters(b"\x05", 0, [entry()]) == {"x": 5}
    assert fieldloom.pack_parameters([entry()], {"x": 5}) == b"\x05"


# --- mutation while the engine reads ----------------------------------------


def test_recipe_list_cleared_while_reading():
    recipe = []
    recipe += [entry(bits=Call(8, recipe.clear)), entry(name="y")]
    assert unpack_parameters(b"\x01\x02", 0, recipe) == {"x": 1, "y": 2}
    recipe = []
    recipe += [entry(bits=Call(8, recipe.clear)), entry(name="y")]
    assert pack_parameters(recipe, {"x": 1, "y": 2}) == b"\x01\x02"


def test_entry_dict_emptied_after_its_texts_were_read():
    # name and encoding are read before bits; the engine keeps its own
    # references, so freeing the dict's copies changes nothing.
    item = entry(name=fresh_text("temp"), encoding=fresh_text("twos_complement"))
    item["reverse_bits"] = False
    item["bits"] = Call(8, lambda: [item.pop("name"), item.pop("encoding")])
    assert unpack_parameters(b"\xff", 0, [item]) == {"temp": -1}


def test_entry_dict_emptied_before_later_keys():
    item = entry()
    item["bits"] = Call(8, item.clear)
    assert wrapped(lambda: unpack_parameters(b"\xff", 0, [item])) == (
        "KeyError: \"Recipe missing required field: 'byte_order'\""
    )


def test_sizing_pass_changes_the_recipe_under_the_main_pass():
    # The sizing pass reads bits 8; the main pass then finds a far wider
    # field. Writes stay inside the packet the sizing pass allocated.
    item = entry(encoding="utf8")
    item["bits"] = Call(8, lambda: item.__setitem__("offset_bits", 0))
    text = "A" * 10000
    assert pack_parameters([item], {"x": text}) == b"A"


@pytest.mark.parametrize("later", [False, True], ids=["own entry", "later entry"])
def test_value_that_rewrites_a_remembered_entry(later):
    # Both entries are remembered from the first call; during the second, a
    # value renames an entry (freeing its old name) and widens it. The main
    # pass must read the changed entry anew, inside the packet sized before.
    first, second = entry(), entry(name=fresh_text("y"))
    target = second if later else first
    recipe = [first, second]
    assert pack_parameters(recipe, {"x": 1, "y": 2}) == b"\x01\x02"

    def rewrite():
        target.update(name=fresh_text("z"), bits=16)

    values = {"x": Call(1, rewrite), "y": 2, "z": 0x0304}
    assert pack_parameters(recipe, values) == (b"\x01\x03" if later else b"\x01\x02")


def test_values_dict_cleared_by_a_value():
    values = {}
    values.update(x=Call(7, values.clear), y=3)
    assert wrapped(lambda: pack_parameters([entry(), entry(name="y")], values)) == (
        "KeyError: \"Missing value for parameter: 'y'\""
    )


def test_value_that_removes_itself_from_values():
    values = {}
    values["x"] = Call(7, lambda: values.pop("x"))
    assert pack_parameters([entry()], values) == b"\x07"
    values["x"] = Call(7, lambda: values.pop("x"))
    assert wrapped(lambda: pack_parameters([entry(), entry(offset_bits=8)], values)) == (
        "KeyError: \"Missing value for parameter: 'x'\""
    )


def test_sequence_that_changes_its_items_while_iterated():
    shared = entry()

    class Recipe:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            if index >= 3:
                raise IndexError
            shared["bits"] = 8 * (index + 1)
            return shared

    # All items are collected before any is read: three times the same dict
    # in its final state (24 bits).
    assert unpack_parameters(bytes(range(1, 10)), 0, Recipe()) == {"x": 0x070809}


# --- hostile keys in dicts ------------------------------------------------------


def test_entry_remembered_only_while_its_dict_is_unchanged():
    # Every lookup of 'name' runs the key's __eq__, once or more: the probe
    # may pass its slot twice, as the hash seed decides. During the second
    # call it removes itself and swaps the encoding for a new text. Whatever
    # the engine remembered of the entry must then be forgotten, and the old
    # encoding text, now freed, never touched again.
    swap = False

    def swap_encoding(key):
        if swap:
            del item[key]
            item["encoding"] = fresh_text("twos_complement")

    item = {}
    key = CollidingKey("name", swap_encoding)
    item[key] = "first"  # first in the probe sequence of 'name'
    item.update(entry(encoding=fresh_text("unsigned")))
    key.armed = True
    del key
    assert unpack_parameters(b"\xff", 0, [item]) == {"x": 255}
    swap = True
    assert unpack_parameters(b"\xff", 0, [item]) == {"x": -1}
    assert item == entry(encoding="twos_complement")
    assert unpack_parameters(b"\xff", 0, [item]) == {"x": -1}
    assert pack_parameters([item], {"x": -1}) == b"\xff"


def test_hook_changes_a_remembered_entry_later_in_the_recipe():
    # The later entry is remembered before the call; a hook of the first
    # entry then replaces its name (freeing the old one) and widens it. The
    # call must read it as it is when its turn comes.
    later = entry(name=fresh_text("y"), offset_bits=8)
    assert unpack_parameters(b"\x01\x02", 0, [later]) == {"y": 2}
    first = entry(bits=Call(8, lambda: later.update(name=fresh_text("z"), bits=16)))
    assert unpack_parameters(b"\x01\x02\x03", 0, [first, later]) == {"x": 1, "z": 0x0203}


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="the collector runs only between bytecodes from 3.12 on")
def test_collector_run_while_the_result_is_made_changes_the_recipe():
    # A finaliser run by the collector when the call creates its result
    # widens the entry; the entry is read after that, as it then is.
    item = entry()
    recipe = [item]
    for _ in range(4):
        assert unpack_parameters(b"\x01\x02", 0, recipe) == {"x": 1}
    calling, ran_in_call, spare = [False], [], []

    class Widen:
        def __del__(self):
            ran_in_call.append(calling[0])
            item["bits"] = 16

    def arm():
        spare.extend({} for _ in range(100))  # empties the interpreter's spare dicts
        garbage = Widen()
        garbage.cycle = garbage
        del garbage
        # The next object that the collector tracks starts a collection.
        gc.set_threshold(max(gc.get_count()[0], 1))
        calling[0] = True
        return 0

    threshold = gc.get_threshold()
    try:
        result = unpack_parameters(b"\x01\x02", Call(0, arm), recipe)
    finally:
        calling[0] = False
        gc.set_threshold(*threshold)
    assert ran_in_call == [True]
    assert result == {"x": 0x0102}


def colliding(text, action, **fields):
    """An entry whose first key collides with `text`."""
    key = CollidingKey(text, action)
    item = {key: 1}
    item.update(entry(**fields))
    key.armed = True
    return item


def throw(error):
    def action(_):
        raise error

    return action


@pytest.mark.parametrize("text", ["name", "bits", "reverse_bits", "offset_bits"])
def test_entry_key_whose_eq_raises(text):
    item = colliding(text, throw(RuntimeError("no compare")), offset_bits=0)
    assert wrapped(lambda: unpack_parameters(b"\x01", 0, [item])) == "RuntimeError: no compare"
    assert wrapped(lambda: pack_parameters([item], {"x": 1})) == "RuntimeError: no compare"


@pytest.mark.parametrize("remembered", [False, True])
@pytest.mark.parametrize("earlier", [[], ["y"]])
def test_values_key_whose_eq_clears_values(earlier, remembered):
    # With earlier fields the walk through the values dict has already passed
    # the colliding key when 'x' comes; its __eq__ must still run, as a
    # lookup runs it.
    recipe = [entry(name=name) for name in earlier] + [entry()]
    if remembered:
        pack_parameters(recipe, dict.fromkeys(["x", *earlier], 0))
    values = {}
    key = CollidingKey("x", lambda _: values.clear())
    values[key] = 1  # first in the probe sequence of 'x'
    values["x"] = 5
    values.update(dict.fromkeys(earlier, 7))
    key.armed = True
    del key
    assert wrapped(lambda: pack_parameters(recipe, values)) == "KeyError: \"Missing value for parameter: 'x'\""


def test_values_key_whose_eq_raises_a_base_exception():
    key = CollidingKey("x", throw(Stop("halt")))
    values = {key: 1, "x": 5}
    key.armed = True
    assert wrapped(lambda: pack_parameters([entry()], values)) == "Stop: halt"


# --- protocol methods that raise or answer absurdly ---------------------------

RAISED = [
    (TypeError("bad index"), TypeError),
    (ValueError("bad value"), ValueError),
    (Stop("stop"), Stop),
    (KeyboardInterrupt("interrupted"), KeyboardInterrupt),
]


@pytest.mark.parametrize("error, cls", RAISED)
def test_raising_index_in_standalone_functions(error, cls):
    with pytest.raises(cls) as info:
        fieldloom.decode_twos_complement(Call(error), 8)
    expected = "argument 'value': " + str(error) if cls is TypeError else str(error)
    assert str(info.value) == expected
    with pytest.raises(cls):
        fieldloom.encode_packed_bcd(Call(error), 8)
    with pytest.raises(cls):
        fieldloom.decode_ieee754_f128(Call(error))
    with pytest.raises(cls):
        fieldloom.encode_ieee754_f32(Call(error))


@pytest.mark.parametrize("error, cls", RAISED)
def test_raising_index_inside_the_engine_is_wrapped(error, cls):
    expected = cls.__qualname__ + ": " + str(error)
    assert wrapped(lambda: unpack_parameters(b"\x01", 0, [entry(bits=Call(error))])) == expected
    assert wrapped(lambda: unpack_parameters(b"\x01", 0, [entry(offset_bits=Call(error))])) == expected
    assert wrapped(lambda: pack_parameters([entry(bits=Call(error))], {"x": 1})) == expected
    assert wrapped(lambda: pack_parameters([entry(encoding="twos_complement")], {"x": Call(error)})) == expected
    assert wrapped(lambda: pack_parameters([entry(encoding="ieee754_f64", bits=64)], {"x": Call(error)})) == expected


def test_raising_index_for_the_call_offset_is_not_wrapped():
    with pytest.raises(Stop):
        unpack_parameters(b"", Call(Stop("x")), [])
    with pytest.raises(TypeError, match=r"^argument 'offset_bits': nope$"):
        unpack_parameters(b"", Call(TypeError("nope")), [])


class Huge:
    def __index__(self):
        return 2**200

    def __float__(self):
        return 1e308


class NotAnInt:
    def __index__(self):
        return "eight"


def test_huge_and_wrong_answers_from_protocol_methods():
    with pytest.raises(OverflowError):
        fieldloom.decode_twos_complement(Huge(), 8)
    with pytest.raises(OverflowError):
        fieldloom.decode_twos_complement(1, Huge())
    with pytest.raises(OverflowError):
        fieldloom.encode_twos_complement(Huge(), 8)
    with pytest.raises(OverflowError):
        fieldloom.decode_ieee754_f128(Huge())
    assert fieldloom.encode_ieee754_f32(Huge()) == 0x7F800000
    with pytest.raises(TypeError, match=r"^argument 'value': __index__ returned non-int \(type str\)$"):
        fieldloom.decode_twos_complement(NotAnInt(), 8)
    assert wrapped(lambda: unpack_parameters(b"\x01", 0, [entry(bits=Huge())])).startswith("OverflowError: ")
    assert wrapped(lambda: unpack_parameters(b"\x01", 0, [entry(bits=NotAnInt())])) == (
        "TypeError: __index__ returned non-int (type str)"
    )
    assert wrapped(lambda: pack_parameters([entry()], {"x": Huge()})).startswith("OverflowError: ")
    assert pack_parameters([entry(encoding="ieee754_f64", bits=64)], {"x": Huge()}) == (
        b"\x7f\xe1\xcc\xf3\x85\xeb\xc8\xa0"
    )


class BadStrError(ValueError):
    def __str__(self):
        raise RuntimeError("str fails")


def test_engine_error_whose_str_fails():
    assert wrapped(lambda: unpack_parameters(b"\x01", 0, [entry(bits=Call(BadStrError()))])) == (
        "BadStrError: <exception str() failed>"
    )


# --- sequences that lie -----------------------------------------------------------


class Sequence:
    def __init__(self, items, length, iterate=None):
        self.items = items
        self.length = length
        self.iterate = iterate

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.iterate is not None:
            return self.iterate()
        return iter(self.items)


@pytest.mark.parametrize("length", [0, 1, 10**6, sys.maxsize, ValueError("no len"), Stop("no len")])
def test_length_is_only_a_hint(length):
    recipe = Sequence([entry(), entry(name="y")], length)
    assert unpack_parameters(b"\x01\x02", 0, recipe) == {"x": 1, "y": 2}


def test_length_too_large_for_the_interpreter():
    class Vast(Sequence):
        def __len__(self):
            return 2**70

    assert unpack_parameters(b"\x01", 0, Vast([entry()], 0)) == {"x": 1}


def broken_iterator(error, after):
    def iterate():
        yield from [entry()] * after
        raise error

    return iterate


@pytest.mark.parametrize("after", [0, 2])
def test_iteration_failures_of_the_recipe_argument(after):
    with pytest.raises(ValueError, match="^midway$") as info:
        unpack_parameters(b"\x01", 0, Sequence([], 3, broken_iterator(ValueError("midway"), after)))
    assert type(info.value) is ValueError
    with pytest.raises(TypeError, match=r"^argument 'recipe': midway$"):
        pack_parameters(Sequence([], 3, broken_iterator(TypeError("midway"), after)), {})
    with pytest.raises(Stop):
        pack_parameters(Sequence([], 3, broken_iterator(Stop("midway"), after)), {})


def test_list_subclass_is_read_through_its_iterator():
    class Reordered(list):
        def __iter__(self):
            return iter([entry(name="y"), entry()])

    assert unpack_parameters(b"\x01\x02", 0, Reordered([entry()])) == {"y": 1, "x": 2}


# --- subclasses with overridden methods -----------------------------------------


class LoudStr(str):
    def __hash__(self):
        return 7

    def __eq__(self, other):
        raise AssertionError("str subclass compared")

    def lower(self):
        return "unsigned"

    def __str__(self):
        return "other"

    def encode(self, *args, **kwargs):
        raise AssertionError("str subclass encoded")


def test_str_subclasses_are_read_from_their_storage():
    item = entry(name=LoudStr("x"), encoding=LoudStr("UTF8"), byte_order=LoudStr("Big"), bits=16)
    result = unpack_parameters(b"hi", 0, [item])
    assert result == {"x": "hi"} and type(next(iter(result))) is str
    assert pack_parameters([item], {"x": LoudStr("hi")}) == b"hi"
    kelvin = LoudStr("pac\u212aed_bcd")  # lower-cased by the full Unicode mapping, not by .lower()
    assert unpack_parameters(b"\x12", 0, [entry(encoding=kelvin)]) == {"x": 12}
    assert fieldloom.encode_utf16be(LoudStr("\u00e9")) == b"\x00\xe9"


def test_bytes_subclass_is_read_from_its_storage():
    class Packet(bytes):
        def __len__(self):
            return 0

        def __getitem__(self, index):
            raise AssertionError("bytes subclass indexed")

    assert unpack_parameters(Packet(b"\x01\x02"), 0, [entry(bits=16)]) == {"x": 0x0102}
    assert fieldloom.decode_utf8(Packet(b"ok")) == "ok"


def test_int_and_float_subclasses_use_their_value():
    class Width(int):
        def __index__(self):
            raise AssertionError("int subclass __index__ used")

    class Number(float):
        def __float__(self):
            raise AssertionError("float subclass __float__ used")

    assert unpack_parameters(b"\x01\x02", 0, [entry(bits=Width(16), offset_bits=Width(0))]) == {"x": 0x0102}
    assert fieldloom.encode_ieee754_f64(Number(1.0)) == 0x3FF0000000000000
    assert pack_parameters([entry(encoding="ieee754_f32", bits=32)], {"x": Number(1.0)}) == b"\x3f\x80\x00\x00"


def test_flag_lookalikes_whose_truth_test_misbehaves():
    raising = make_fake_numpy_bool({"__bool__": lambda self: (_ for _ in ()).throw(ValueError("no truth"))})
    with pytest.raises(ValueError, match="^no truth$"):
        fieldloom.decode_packed_bcd(0x12, 8, raising())
    assert wrapped(lambda: unpack_parameters(b"\x01", 0, [entry(reverse_bits=raising())])) == "ValueError: no truth"
    wrong = make_fake_numpy_bool({"__bool__": lambda self: 1})
    with pytest.raises(TypeError, match=r"^argument 'signed': __bool__ should return bool, returned int$"):
        fieldloom.decode_packed_bcd(0x12, 8, wrong())
    missing = make_fake_numpy_bool({})
    with pytest.raises(TypeError, match=r"^argument 'signed': object of type 'bool_' does not define a '__bool__' conversion$"):
        fieldloom.decode_packed_bcd(0x12, 8, missing())
    truthful = make_fake_numpy_bool({"__bool__": lambda self: True})
    assert unpack_parameters(b"\x01", 0, [entry(reverse_bits=truthful())]) == {"x": 0x80}


# --- the module's own fault type, subclassed by the caller ---------------------

PANIC_SUBCLASS_CHILD = textwrap.dedent(
    """
    import resource
    import fieldloom

    data = b"a" * (64 << 20)
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), hard))
    try:
        fieldloom.decode_utf8(data)  # creating the result fails: an internal fault
    except BaseException as error:
        panic = type(error)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

    class Mine(panic):
        pass

    class Width:
        def __index__(self):
            raise Mine("mine")

    try:
        fieldloom.decode_twos_complement(1, Width())
    except BaseException as error:
        print("standalone:", type(error).__name__, error)
    try:
        fieldloom.unpack_parameters(b"", 0, [{"name": "x", "encoding": "unsigned", "bits": Width(),
                                              "byte_order": "big", "reverse_bits": False}])
    except BaseException as error:
        print("engine:", type(error).__name__, error)
    """
)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_subclass_of_the_fault_type_is_the_callers_own_exception():
    result = subprocess.run([sys.executable, "-c", PANIC_SUBCLASS_CHILD], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "standalone: Mine mine" in result.stdout
    assert "engine: ValueError Mine: mine" in result.stdout
