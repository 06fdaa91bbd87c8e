#!/usr/bin/env python3
"""Benchmark of Lorvane against peer tokenizers: training time, CPU, peak memory and
compression against tokenizers, sentencepiece, rustbpe, bpeasy and youtokentome, a
speed-of-light program, the work bound (what no exact trainer can skip, timed in one C++ pass),
encoding against tiktoken, tokendagger and tokenizers, decoding, an exactness cross-check, and
encoding a dataset (lorvane.encode_dataset and encode_batch on one and on all cores, model.encode
of the whole text) against tiktoken's threaded batch call and its whole-text call.

    bash scripts/dev.sh bench [options]          # from a clone: peers, corpora, build, run
    bash scripts/dev.sh bench --quick            # everything on small inputs, a few minutes
    bash scripts/dev.sh bench --corpora DIR      # use the corpora already in DIR
    bash scripts/dev.sh bench --only train --kinds en,code   # a subset
    bash scripts/dev.sh bench --only dataset --kinds en --sizes 100   # the dataset row alone
    bash scripts/dev.sh bench --only scale       # the scale rows: code from 0.1 to 10 GB
    .venv-bench/bin/python bench/compare.py --report-only    # redraw from results.json

Each measured run is a fresh child process (bench/child.py); peers and their setup are in
bench/peers.py, the corpus maker and corpus kinds in bench/corpora.py, the runs in
bench/runs.py, the report in bench/report.py. Results: bench/RESULTS.md and bench/results/
(with --quick: bench/out/quick/, so a smoke run leaves the real results alone). A run with
--only keeps the other parts' results from results.json. The scale rows (training on code from
0.1 to 10 GB, bench/make_scale_corpus.py) run only with --only scale. The performance block of
README.md is rewritten from the same results with every report.
"""

from __future__ import annotations

import argparse
import json
import shlex
import shutil
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import corpora  # noqa: E402
from peers import DEFAULT_TRAINERS, TRAINERS  # noqa: E402
from runs import ROOT, PARTS, Bench, find_module_path, scrub  # noqa: E402
from report import README, write_plots, write_readme_block, write_report  # noqa: E402


def display_command(argv) -> str:
    """The command line as run from the checkout, with no path of this machine in it."""
    python = Path(sys.executable)
    shown = str(python.relative_to(ROOT)) if python.is_relative_to(ROOT) else "python3"
    try:
        script = str(Path(argv[0]).resolve().relative_to(ROOT))
    except ValueError:
        script = "bench/compare.py"
    return scrub(shlex.join([shown, script, *argv[1:]]), ROOT)


def _list(text, known, what, p):
    items = [s for s in text.split(",") if s]
    unknown = set(items) - set(known)
    if unknown:
        p.error(f"unknown {what}: {', '.join(sorted(unknown))}")
    return items


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--corpora", default=str(HERE / "corpora"),
                   help="directory holding en.txt, holdout.txt, multi.txt and dataset.txt (default "
                   "bench/corpora, which `python bench/corpora.py DIR` makes)")
    p.add_argument("--only", choices=["train", "encode", "dataset", "scale"],
                   help="run only this part (scale runs only when asked for)")
    p.add_argument("--kinds", default=",".join(corpora.KINDS),
                   help=f"corpus kinds, subset of {','.join(corpora.KINDS)}")
    p.add_argument("--sizes", default="1,10,100",
                   help="training corpus sizes in MB, prefixes of each kind (default 1,10,100)")
    p.add_argument("--vocab", default="8000,32000", help="vocabulary sizes (default 8000,32000)")
    p.add_argument("--scale-sizes", default="0.1,1,3,10",
                   help="scale corpus sizes in GB (default 0.1,1,3,10; with --quick 0.01,0.03)")
    p.add_argument("--scale-vocab", default="32000",
                   help="vocabulary sizes of the scale rows (default 32000)")
    p.add_argument("--scale-peers", action="store_true",
                   help="the scale rows also train the peers of --trainers, on sizes up to 1 GB")
    p.add_argument("--quick", action="store_true",
                   help="smoke run: 1 MB corpora and texts, 10,000 short lines, scale corpora "
                   "of 10 and 30 MB")
    p.add_argument("--out", help="Markdown report (default bench/RESULTS.md)")
    p.add_argument("--plots", help="directory for PNGs and JSON (default bench/results)")
    p.add_argument("--module-path", help="directory holding lorvane_api (default: the one this "
                   "interpreter finds, else the project's .venv)")
    p.add_argument("--sol", help="speed-of-light program (default build/bench/speed_of_light "
                   "when built)")
    p.add_argument("--bound", help="work-bound program (default build/bench/work_bound when "
                   "built)")
    p.add_argument("--trainers", default=",".join(DEFAULT_TRAINERS),
                   help=f"subset of {','.join(TRAINERS)}")
    p.add_argument("--encode-sizes", default="1,10", help="encoding texts in MB (default 1,10)")
    p.add_argument("--repeats", type=int, default=3, help="encoding runs per encoder (median)")
    p.add_argument("--runs", type=int,
                   help="runs of each cheap training (corpus up to 10 MB; median kept; default "
                   "3, with --quick 1)")
    p.add_argument("--timeout", type=float, default=3600, help="seconds per child run")
    p.add_argument("--run-timeout", type=float,
                   help="seconds per training on the one-word corpora, past which a trainer "
                   "counts as timed out (default 600, with --quick 60)")
    p.add_argument("--workdir", help="keep corpora cuts, models and logs here (default: a "
                   "temporary directory, removed after a run without failures)")
    p.add_argument("--report-only", action="store_true",
                   help="rewrite the report and plots from results.json, run nothing")
    args = p.parse_args(argv[1:])
    home = HERE / "out" / "quick" if args.quick else HERE
    args.out = args.out or str(home / "RESULTS.md")
    args.plots = args.plots or str(home / "results")
    if args.quick:
        args.sizes, args.encode_sizes = "1", "1"
        if args.scale_sizes == p.get_default("scale_sizes"):
            args.scale_sizes = "0.01,0.03"
    args.runs = args.runs or (1 if args.quick else 3)
    args.run_timeout = args.run_timeout or (60 if args.quick else 600)
    args.sizes = [float(s) for s in args.sizes.split(",")]
    args.encode_sizes = [float(s) for s in args.encode_sizes.split(",")]
    args.vocab = [int(v) for v in args.vocab.split(",")]
    args.scale_sizes = [float(s) for s in args.scale_sizes.split(",")]
    args.scale_vocab = [int(v) for v in args.scale_vocab.split(",")]
    args.trainers = _list(args.trainers, TRAINERS, "trainers", p)
    args.kinds = _list(args.kinds, corpora.KINDS, "corpus kinds", p)
    args.parts = [args.only] if args.only else ["train", "encode", "dataset"]
    if args.sol is None:
        default = ROOT / "build" / "bench" / "speed_of_light"
        args.sol = str(default) if default.exists() else None
    if args.bound is None:
        default = ROOT / "build" / "bench" / "work_bound"
        args.bound = str(default) if default.exists() else None
    return args


def main(argv=None):
    argv = argv or sys.argv
    args = parse_args(argv)
    out, plots = Path(args.out), Path(args.plots)
    plots.mkdir(parents=True, exist_ok=True)
    if args.report_only:
        data = json.loads((plots / "results.json").read_text())
    else:
        args.command = display_command(argv)
        bench = Bench(args, find_module_path(args.module_path))
        bench.log(f"work directory {bench.workdir}")
        bench.run()
        data = scrub(bench.data, ROOT)
        failed = [r for part in PARTS for r in data[part] if not r.get("ok", True)]
        if args.workdir is None and not failed:
            shutil.rmtree(bench.workdir, ignore_errors=True)
        elif failed:
            bench.log(f"{len(failed)} runs failed; logs kept in {bench.workdir}/logs")
    write_plots(data, plots)
    write_report(data, out, plots)
    print(f"wrote {out} and {plots}/*.png", flush=True)
    if not args.quick and plots.resolve() == (HERE / "results").resolve():
        write_readme_block(data, README)  # from the committed results only
        print(f"rewrote the performance block of {README.name}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
