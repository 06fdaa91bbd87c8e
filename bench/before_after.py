#!/usr/bin/env python3
"""Training time of two builds of lorvane_api, before and after a change, in one run.

    python bench/before_after.py --before DIR --after DIR [--corpora bench/corpora]
        [--kinds en,code,cjk] [--sizes 10] [--vocab 8000,32000] [--runs 5]

DIR holds a lorvane_api*.so (for instance one built from an older commit with `pip install
--target DIR .`). Each training is the task bench/compare.py times, in a fresh child process;
the two builds take turns, the first of each pair alternating, so that a change in the load of
the machine falls on both. Prints the median wall time of each build, the ratios after/before
of the median and of the fastest wall times and of the median CPU times, and whether both
trained the same model. On a machine that other work shares, the fastest runs are the ones it
disturbed least.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpora  # noqa: E402
from child import run_child  # noqa: E402

BUILDS = ("before", "after")


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--before", required=True, help="directory holding the first build")
    p.add_argument("--after", required=True, help="directory holding the second build")
    p.add_argument("--corpora", default=str(HERE / "corpora"),
                   help="directory holding en.txt and multi.txt (bench/corpora.py makes them)")
    p.add_argument("--kinds", default="en,code,cjk",
                   help=f"corpus kinds, subset of {','.join(corpora.KINDS)}")
    p.add_argument("--sizes", default="10", help="corpus sizes in MB (default 10)")
    p.add_argument("--vocab", default="8000,32000", help="vocabulary sizes (default 8000,32000)")
    p.add_argument("--runs", type=int, default=5, help="trainings of each build per row")
    p.add_argument("--timeout", type=float, default=900, help="seconds per training")
    p.add_argument("--workdir", help="keep corpora cuts, models and logs here")
    return p.parse_args(argv[1:])


def train(task, workdir: Path, name: str, module: Path, timeout: float) -> dict:
    rec = run_child(task, workdir, name, {}, module, timeout)
    if not rec["ok"]:
        sys.exit(f"{name} failed: {rec.get('error', '')[-500:]}")
    return rec["result"]


def main(argv=None) -> int:
    a = parse_args(argv or sys.argv)
    modules = {"before": Path(a.before).resolve(), "after": Path(a.after).resolve()}
    workdir = Path(a.workdir or tempfile.mkdtemp(prefix="lorvane-before-after-"))
    cuts = workdir / "corpora"
    cuts.mkdir(parents=True, exist_ok=True)
    sizes = [float(s) for s in a.sizes.split(",")]
    vocabs = [int(v) for v in a.vocab.split(",")]
    print("| corpus | vocab | before s | after s | after/before | fastest after/before | "
          "CPU after/before | same model |")
    print("|---|---|---|---|---|---|---|---|", flush=True)
    for kind in a.kinds.split(","):
        source = corpora.kind_source(kind, Path(a.corpora), cuts, int(max(sizes) * corpora.MB))
        one_file = kind in ("longrun", "shortrun")  # one word: no prefix of it is cut
        for size in sizes[:1] if one_file else sizes:
            corpus = source if one_file else corpora.cut_prefix(
                source, cuts / f"{kind}-{size:g}MB.txt", int(size * corpora.MB))
            corpora.warm(corpus)
            for vocab in corpora.kind_vocabs(kind, vocabs):
                wall = {b: [] for b in BUILDS}
                cpu = {b: [] for b in BUILDS}
                models = {}
                for i in range(a.runs):
                    for build in BUILDS if i % 2 == 0 else reversed(BUILDS):
                        name = f"{build}-{kind}-{size:g}MB-{vocab}-{i}"
                        model_dir = workdir / "models" / name
                        model_dir.mkdir(parents=True, exist_ok=True)
                        task = {"kind": "train", "trainer": "ours", "corpus": str(corpus),
                                "vocab": vocab, "model_dir": str(model_dir),
                                "long_lines": one_file}
                        result = train(task, workdir, name, modules[build], a.timeout)
                        wall[build].append(result["wall"])
                        cpu[build].append(result["cpu"])
                        models.setdefault(build, Path(result["model"]).read_bytes())
                before, after = (statistics.median(wall[b]) for b in BUILDS)
                fastest_before, fastest_after = (min(wall[b]) for b in BUILDS)
                cpu_before, cpu_after = (statistics.median(cpu[b]) for b in BUILDS)
                same = "yes" if models["before"] == models["after"] else "NO"
                print(f"| {kind} {corpus.stat().st_size / corpora.MB:.3g} MB | {vocab:,} | "
                      f"{before:.3f} | {after:.3f} | {after / before:.3f} | "
                      f"{fastest_after / fastest_before:.3f} | {cpu_after / cpu_before:.3f} | "
                      f"{same} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
