"""README.md's performance block holds what bench/report.py draws from the committed results,
so that no figure in it can go stale."""

import json

import report  # standard library only: the plots' matplotlib is imported on use
from conftest import ROOT


def test_readme_performance_block_is_drawn_from_the_committed_results():
    data = json.loads((ROOT / "bench" / "results" / "results.json").read_text(encoding="utf-8"))
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert report.readme_with_block(readme, data) == readme, (
        "README.md's performance block differs from the results: run "
        "`.venv-bench/bin/python bench/compare.py --report-only`")
