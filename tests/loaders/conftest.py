import sys
from pathlib import Path

# The plain-Python reference, its strategies and its checks live with the definitions tests.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "definitions"))
