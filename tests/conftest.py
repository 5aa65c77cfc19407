import os
import sysconfig

import pytest
from hypothesis import settings

import fieldloom

# The sanitizer stage of CI runs the whole suite again on a build that is
# several times slower; it asks for fewer examples per property. So do the
# stages that repeat the suite on another interpreter, build or install,
# after the full run.
settings.register_profile("sanitizer", max_examples=25, deadline=None)
settings.register_profile("repeat", max_examples=25, deadline=None)
# CI shares its two cores with other work: a slow example is not a failure.
settings.register_profile("shared", deadline=None)
settings.load_profile(os.environ.get("FIELDLOOM_HYPOTHESIS_PROFILE", "shared"))


def _stage_homes():
    """The folders a CI stage must import both native modules from, if it names any."""
    if os.environ.get("FIELDLOOM_SANITIZER") or os.environ.get("FIELDLOOM_BASELINE_KERNELS"):
        # Those stages must test their own build, not a copy installed in the venv.
        return [os.path.realpath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    if os.environ.get("FIELDLOOM_INSTALLED_WHEEL"):
        # The wheel stage must test the installed wheel, not a build or the source tree.
        return [os.path.realpath(sysconfig.get_paths()["platlib"])]
    return None


if (homes := _stage_homes()) is not None:
    import fieldloom_batch

    for native in (fieldloom.__file__, fieldloom_batch._native.__file__):
        assert any(os.path.realpath(native).startswith(home + os.sep) for home in homes), native


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: builds packets of hundreds of megabytes or million-entry recipes")


@pytest.fixture(scope="session")
def fl():
    return fieldloom
