import os

import pytest
from hypothesis import settings

import fieldloom

# The sanitizer stage of CI runs the whole suite again on a build that is
# several times slower; it asks for fewer examples per property.
settings.register_profile("sanitizer", max_examples=25, deadline=None)
# CI shares its two cores with other work: a slow example is not a failure.
settings.register_profile("shared", deadline=None)
settings.load_profile(os.environ.get("FIELDLOOM_HYPOTHESIS_PROFILE", "shared"))


if os.environ.get("FIELDLOOM_SANITIZER") or os.environ.get("FIELDLOOM_BASELINE_KERNELS"):
    # Those stages must test their own build, not a copy installed in the venv.
    search = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    assert any(os.path.abspath(fieldloom.__file__).startswith(p + os.sep) for p in search), fieldloom.__file__


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: builds packets of hundreds of megabytes or million-entry recipes")


@pytest.fixture(scope="session")
def fl():
    return fieldloom
