"""The source tree is layered: includes only point downward."""
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
# Lower rank = lower layer. The two boundaries share a rank and never include each other.
RANK = {"codecs": 0, "python": 1, "recipe": 2, "engine": 3, "module": 4, "batch_module": 4}
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in {".hpp", ".cpp", ".h"})


def test_every_source_is_in_a_known_layer():
    assert {p.relative_to(SRC).parts[0] for p in sources()} <= set(RANK)


def test_includes_point_downward():
    upward = []
    for path in sources():
        layer = path.relative_to(SRC).parts[0]
        for target in INCLUDE.findall(path.read_text()):
            top = target.split("/")[0]
            if top in RANK and (RANK[top] > RANK[layer] or (top != layer and RANK[top] == RANK[layer])):
                upward.append(f"{path.relative_to(SRC)} -> {target}")
    assert upward == []


def test_codecs_know_nothing_of_the_interpreter():
    offenders = [
        str(p.relative_to(SRC))
        for p in (SRC / "codecs").rglob("*")
        if p.is_file() and re.search(r'#\s*include\s*[<"](Python\.h|python/)', p.read_text())
    ]
    assert offenders == []
