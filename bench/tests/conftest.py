"""The bench's own tests, run apart from the product's: bench/ on the path, and the checkout."""

import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
