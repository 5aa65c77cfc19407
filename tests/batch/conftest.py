import os

import fieldloom_batch

if os.environ.get("FIELDLOOM_SANITIZER"):
    # The sanitizer stage must test its own build of the batch engine too.
    search = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    native = os.path.abspath(fieldloom_batch._native.__file__)
    assert any(native.startswith(p + os.sep) for p in search), native
