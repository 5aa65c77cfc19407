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
import fuzz_pack  # noqa: E402
import fuzz_unpack  # noqa: E402

HARNESSES = {"unpack": fuzz_unpack.harness, "pack": fuzz_pack.harness, "codecs": fuzz_codecs.harness}
RANDOM_RUNS = int(os.environ.get("FIELDLOOM_FUZZ_RUNS", "5000"))


@pytest.mark.parametrize("name", sorted(HARNESSES))
def test_corpus_and_a_seeded_random_run(name):
    corpus = driver.corpus_inputs(name)
    assert corpus, "the corpus of %s is empty" % name
    executed, _ = driver.run_plain(name, HARNESSES[name], runs=len(corpus) + RANDOM_RUNS, seed=20261207)
    assert executed == len(corpus) + RANDOM_RUNS


@pytest.mark.parametrize("name", sorted(HARNESSES))
def test_harness_catches_a_wrong_answer(name, monkeypatch):
    # The harnesses must be able to fail: a module answering with the wrong
    # exception class is reported.
    import fieldloom

    def wrong(*args, **kwargs):
        raise SystemError("wrong class")

    for function in fieldloom.__all__:
        monkeypatch.setattr(fieldloom, function, wrong)
    with pytest.raises(SystemError):
        for data in driver.corpus_inputs(name):
            HARNESSES[name](data)
