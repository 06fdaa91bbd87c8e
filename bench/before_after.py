#!/usr/bin/env python3
"""Training time of two builds of lorvane_api, before and after a change, in one run.

    python bench/before_after.py --before DIR --after DIR [--corpora bench/corpora]
        [--kinds en,code,cjk] [--sizes 10] [--vocab 8000,32000] [--runs 5]

DIR holds a lorvane_api*.so (for instance built from an older commit with `pip install --target
DIR .`). Each training is the task bench/compare.py times, in a fresh process; the builds take
turns, the first of each pair alternating, so that a change in the machine's load falls on both.
On a shared machine the fastest runs, also compared, are the least disturbed.
"""

import argparse
import statistics
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpora  # noqa: E402
from report import md_table  # noqa: E402
from runs import run_child  # noqa: E402


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--before", required=True, type=Path, help="directory of the first build")
    p.add_argument("--after", required=True, type=Path, help="directory of the second build")
    p.add_argument("--corpora", default=HERE / "corpora", type=Path, help="holds en.txt, multi.txt")
    p.add_argument("--kinds", default="en,code,cjk", help=f"subset of {','.join(corpora.KINDS)}")
    p.add_argument("--sizes", default="10", help="corpus sizes in MB")
    p.add_argument("--vocab", default="8000,32000", help="vocabulary sizes")
    p.add_argument("--runs", type=int, default=5, help="trainings of each build per row")
    p.add_argument("--timeout", type=float, default=900, help="seconds per training")
    p.add_argument("--workdir", help="keep corpora cuts, models and logs here")
    a = p.parse_args((argv or sys.argv)[1:])
    builds = {"before": a.before.resolve(), "after": a.after.resolve()}
    workdir = Path(a.workdir or tempfile.mkdtemp(prefix="lorvane-before-after-"))
    cuts = workdir / "corpora"
    cuts.mkdir(parents=True, exist_ok=True)
    sizes = [float(s) for s in a.sizes.split(",")]
    head = ["corpus", "vocab", "before s", "after s", "after/before", "fastest after/before",
            "CPU after/before", "same model"]
    print(md_table(head, []), flush=True)
    for kind in a.kinds.split(","):
        source = corpora.kind_source(kind, a.corpora, cuts, int(max(sizes) * corpora.MB))
        one_file = kind in corpora.ONE_WORD  # one word: no prefix of it is cut
        for size in sizes[:1] if one_file else sizes:
            corpus = source if one_file else corpora.cut_prefix(
                source, cuts / f"{kind}-{size:g}MB.txt", int(size * corpora.MB))
            corpora.warm(corpus)
            for vocab in corpora.kind_vocabs(kind, [int(v) for v in a.vocab.split(",")]):
                results = {b: [] for b in builds}
                for i in range(a.runs):
                    for build in list(builds)[:: 1 if i % 2 == 0 else -1]:
                        name = f"{build}-{kind}-{size:g}MB-{vocab}-{i}"
                        model_dir = workdir / "models" / name
                        model_dir.mkdir(parents=True, exist_ok=True)
                        rec = run_child({"kind": "train", "trainer": "ours", "corpus": str(corpus),
                                         "vocab": vocab, "model_dir": str(model_dir),
                                         "long_lines": one_file}, workdir, name, {},
                                        builds[build], a.timeout)
                        if not rec["ok"]:
                            sys.exit(f"{name} failed: {rec.get('error', '')[-500:]}")
                        results[build].append(rec["result"])
                wall = {b: [r["wall"] for r in rs] for b, rs in results.items()}
                cpu = {b: statistics.median(r["cpu"] for r in rs) for b, rs in results.items()}
                before, after = (statistics.median(wall[b]) for b in builds)
                same = len({Path(rs[0]["model"]).read_bytes() for rs in results.values()}) == 1
                row = [f"{kind} {corpus.stat().st_size / corpora.MB:.3g} MB", f"{vocab:,}",
                       f"{before:.3f}", f"{after:.3f}", f"{after / before:.3f}",
                       f"{min(wall['after']) / min(wall['before']):.3f}",
                       f"{cpu['after'] / cpu['before']:.3f}", "yes" if same else "NO"]
                print(md_table(head, [row]).splitlines()[-1], flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
