"""The benchmark's scale corpus and its report: the harness cuts every smaller size from the
largest file, which is right only while the generator is prefix-stable; and the report must
still draw results recorded before the scale and memory rows existed."""

import json

import corpora
import make_scale_corpus
import pytest
import report
from conftest import ROOT

# Documents shaped like code: identifiers, keywords, numbers, indentation, non-ASCII text.
DOCS = [(f"go/pkg{i}/f{i}.go",
         f"func name{i}(x int) int {{\n\treturn x + {i} // größe{i % 7}\n}}\n".encode()
         + b"    if value_%d > 0x%x: pass\n" % (i % 13, i)) for i in range(300)]
REAL = sum(len(raw) for _, raw in DOCS)


@pytest.fixture(scope="module")
def largest(tmp_path_factory):
    path = tmp_path_factory.mktemp("scale") / "largest.txt"
    make_scale_corpus.write_scale(path, 6 * REAL, DOCS)
    return path


@pytest.mark.parametrize("size", [REAL // 3 + 1, REAL, REAL + 1, 2 * REAL + 5, 5 * REAL - 7])
def test_each_size_is_the_cut_of_the_largest(largest, tmp_path, size):
    alone, cut = tmp_path / "alone.txt", tmp_path / "cut.txt"
    info = make_scale_corpus.write_scale(alone, size, DOCS)
    corpora.cut_prefix(largest, cut, size, copy=True)
    assert alone.read_bytes() == cut.read_bytes()
    assert info["bytes"] == alone.stat().st_size <= size


def test_the_real_code_comes_first_then_each_copy_adds_fewer_new_words(largest):
    data = largest.read_bytes()
    assert data[:REAL] == b"".join(raw for _, raw in DOCS)
    seen, new = set(), []
    for start in range(0, 5 * REAL, REAL):  # windows about one copy long
        words = set(data[start:start + REAL].split())
        new.append(len(words - seen))
        seen |= words
    assert all(a > b > 0 for a, b in zip(new[1:], new[2:]))  # copy 1 adds most, then fewer
    assert b"return_" not in data and b"int_" not in data  # keywords stay as they are


def test_report_draws_results_recorded_before_the_scale_and_memory_rows(tmp_path):
    data = json.loads((ROOT / "bench" / "results" / "results.json").read_text())
    for key in ("bound", "scale", "scale_bound", "scale_meta"):  # what older runs lack
        data.pop(key, None)
    out = tmp_path / "RESULTS.md"
    report.write_report(data, out, tmp_path)
    text = out.read_text(encoding="utf-8")
    assert "## Summary" in text and "## Scale" not in text


def test_scale_section_gives_growth_per_program_and_bytes_per_unit():
    def bound(size, wall, words):
        return {"ok": True, "size": size, "bytes": int(size * 1e9), "vocab": 32000,
                "wall": wall, "proc_cpu": wall, "maxrss_kib": 1024, "distinct_words": words,
                "distinct_units": 20 * words, "pairs": 1}

    def ours(size, wall, peak_mib):
        return {"ok": True, "trainer": "ours", "size": size, "bytes": int(size * 1e9),
                "vocab": 32000, "maxrss_kib": 0,
                "result": {"wall": wall, "cpu": wall, "vm_hwm_kib": peak_mib * 1024,
                           "kept_after_kib": 8 * 1024}}

    meta = {"machine": {"summary": "m", "cores": 2}, "command": "c", "started": "s",
            "versions": {"lorvane": "x"}, "corpus": {"real_bytes": 3e8, "copies": 34,
                                                     "bytes": int(1e10)}}
    data = {"scale_meta": meta, "scale_bound": [bound(10, 200.0, 4_000_000),
                                                bound(1, 20.0, 1_000_000)],
            "scale": [ours(1, 50.0, 160), ours(10, 480.0, 640)]}
    rows = {(r["program"], r["size"]): r for r in report.scale_rows(data)}
    assert rows[("ours", 10)]["growth"] == pytest.approx(9.6)
    assert rows[("ours", 10)]["b_per_unit"] == pytest.approx(640 * 2**20 / 80_000_000)
    assert rows[("work bound", 10)]["s_per_gb"] == pytest.approx(20.0)
    text = "\n".join(report.scale_section(data))
    assert "our training time grew 9.60× and the work bound's grew 10.00×" in text
    assert "linear time would grow 10×; the distinct words grew 4.00× (as n^0.60)" in text
