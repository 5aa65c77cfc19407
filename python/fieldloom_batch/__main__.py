"""The `fieldloom` program (also ``python -m fieldloom_batch``): readies the process, then runs
the command line."""
from __future__ import annotations

import os
import sys


def main() -> int:
    # Before NumPy loads: none of the command's work is linear algebra, and OpenBLAS would start
    # a thread per core that spins for a tenth of a CPU second. A user's own setting stays.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    from fieldloom_batch.cli import main as run

    return run()


if __name__ == "__main__":
    sys.exit(main())
