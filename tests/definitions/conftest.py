import os

import fieldloom_batch


if os.environ.get("FIELDLOOM_SANITIZER") or os.environ.get("FIELDLOOM_BASELINE_KERNELS"):
    # The sanitizer and baseline-kernel stages must test their own build of
    # the batch engine too.
    search = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    native = os.path.abspath(fieldloom_batch._native.__file__)
    assert any(native.startswith(p + os.sep) for p in search), native
