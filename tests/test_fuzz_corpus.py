"""Replays the fuzz harnesses' corpus, plus a short seeded random run of
each, so every input that fuzzing kept (and every finding added to it) is
checked by the ordinary suite and by its sanitizer stage."""
import os
import sys

import pytest

FUZZ = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz")
if not os.path.isdir(os.path.join(FUZZ, "corpus")):
    pytest.skip("the fuzz corpus comes with the repository, not the sdist", allow_module_level=True)
sys.path.insert(0, FUZZ)

import driver  # noqa: E402
import fuzz_codecs  # noqa: E402
import fuzz_definitions  # noqa: E402
import fuzz_pack  # noqa: E402
import fuzz_scan  # noqa: E402
import fuzz_unpack  # noqa: E402
import fuzz_unpack_many  # noqa: E402

HARNESSES = {"unpack": fuzz_unpack.harness, "pack": fuzz_pack.harness, "codecs": fuzz_codecs.harness,
             "scan": fuzz_scan.harness, "unpack_many": fuzz_unpack_many.harness,
             "definitions": fuzz_definitions.harness}
RANDOM_RUNS = int(os.environ.get("FIELDLOOM_FUZZ_RUNS", "5000"))


@pytest.mark.parametrize("name", sorted(HARNESSES))
def test_corpus_and_a_seeded_random_run(name):
    corpus = driver.corpus_inputs(name)
    assert corpus, "the corpus of %s is empty" % name
    executed, _ = driver.run_plain(name, HARNESSES[name], runs=len(corpus) + RANDOM_RUNS, seed=20261207)
    assert executed == len(corpus) + RANDOM_RUNS


def raising(*args, **kwargs):
    raise SystemError("wrong class")


def without_last_row(native):
    """A decode or scan that loses its last row."""

    def call(*args):
        result = native(*args)
        if isinstance(result, dict):  # unpack_many, errors="raise"
            return {name: column[:-1] for name, column in result.items()}
        if len(result) == 3:  # unpack_many, errors="skip"
            columns, index, refused = result
            return {name: column[:-1] for name, column in columns.items()}, index[:-1], refused
        *columns, rows, end = result  # scan_ccsds
        return (*columns, max(rows - 1, 0), end)

    return call


def break_recipe_functions(monkeypatch):
    import fieldloom

    for function in fieldloom.__all__:
        monkeypatch.setattr(fieldloom, function, raising)


def break_scan(monkeypatch):
    from fieldloom_batch import _native

    monkeypatch.setattr(_native, "scan_ccsds", without_last_row(_native.scan_ccsds))


def break_unpack_many(monkeypatch):
    from fieldloom_batch import Layout

    monkeypatch.setattr(Layout, "_unpack_many", without_last_row(Layout._unpack_many))


def break_definitions(monkeypatch):
    from fieldloom_batch.definitions import decode

    def losing_the_last_refused(*args, **kwargs):
        decoded = native_decode(*args, **kwargs)
        return decoded._replace(refused=decoded.refused[:-1])

    native_decode = decode.decode
    monkeypatch.setattr(decode, "decode", losing_the_last_refused)


BREAKERS = {"unpack": break_recipe_functions, "pack": break_recipe_functions, "codecs": break_recipe_functions,
            "scan": break_scan, "unpack_many": break_unpack_many,
            "definitions": break_definitions}


@pytest.mark.parametrize("name", sorted(HARNESSES))
def test_harness_catches_a_wrong_answer(name, monkeypatch):
    # The harnesses must be able to fail: a module answering with the wrong
    # exception class, or losing a row, is reported.
    BREAKERS[name](monkeypatch)
    with pytest.raises((SystemError, AssertionError)):
        for data in driver.corpus_inputs(name):
            HARNESSES[name](data)
