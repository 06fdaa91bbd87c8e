#!/usr/bin/env python3
"""Benchmark of Lorvane against peer tokenizers: training (time, CPU, memory, compression)
against tokenizers, sentencepiece, rustbpe, bpeasy and youtokentome and against the speed-of-light
and work-bound programs; encoding against tiktoken, tokendagger, tokenizers and the encoding
bound; decoding; a cross-check of exactness; encoding a dataset; training at scale.

    bash scripts/dev.sh bench [options]          # from a clone: peers, corpora, build, run
    bash scripts/dev.sh bench --quick            # everything on small inputs, a few minutes
    bash scripts/dev.sh bench --only train --kinds en,code   # a subset
    bash scripts/dev.sh bench --only dataset     # one part; --only scale: code from 0.1 to 10 GB
    .venv-bench/bin/python bench/compare.py --report-only    # redraw from results.json

Results go to bench/RESULTS.md and bench/results/ (with --quick to bench/out/quick/), and from
the committed results to the README's performance block; --only keeps the other parts' results.
"""

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
from report import README, readme_with_block, write_plots, write_report  # noqa: E402
from runs import ROOT, PARTS, RUNS, Bench, find_module_path, scrub  # noqa: E402


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    add = p.add_argument
    add("--corpora", default=HERE / "corpora", type=Path,
        help="holds en.txt, holdout.txt, multi.txt, dataset.txt (made by bench/corpora.py DIR)")
    add("--only", choices=list(RUNS), help="run only this part (scale runs only when asked for)")
    add("--kinds", default=",".join(corpora.KINDS), help="corpus kinds")
    add("--sizes", default="1,10,100", help="training corpus sizes in MB")
    add("--vocab", default="8000,32000", help="vocabulary sizes")
    add("--scale-sizes", default="0.1,1,3,10", help="scale corpus sizes in GB")
    add("--scale-vocab", default="32000", help="vocabulary sizes of the scale rows")
    add("--scale-peers", action="store_true", help="the scale rows also train the peers, to 1 GB")
    add("--quick", action="store_true", help="smoke run: 1 MB texts, 10,000 short lines, scale "
        "corpora of 10 and 30 MB")
    add("--out", type=Path, help="Markdown report (default bench/RESULTS.md)")
    add("--plots", type=Path, help="directory for PNGs and JSON (default bench/results)")
    add("--module-path", help="directory holding lorvane_api (default: the project's .venv)")
    for option, program in (("sol", "speed_of_light"), ("bound", "work_bound"),
                            ("encode-bound", "encode_bound")):
        add(f"--{option}", default=ROOT / "build" / "bench" / program, type=Path,
            help=f"the {program} program (default build/bench/{program})")
    add("--trainers", default=",".join(DEFAULT_TRAINERS), help=f"subset of {','.join(TRAINERS)}")
    add("--encode-sizes", default="1,10", help="encoding texts in MB")
    add("--repeats", type=int, default=3, help="encoding runs per encoder (median)")
    add("--runs", type=int, help="runs of each training up to 10 MB (median; default 3, quick 1)")
    add("--timeout", type=float, default=3600, help="seconds per measured process")
    add("--run-timeout", type=float, help="seconds per training on the one-word corpora "
        "(default 600, quick 60)")
    add("--workdir", help="keep cuts, models and logs here (default: a temporary directory)")
    add("--report-only", action="store_true", help="redraw the report from results.json")
    a = p.parse_args(argv[1:])
    home = HERE / "out" / "quick" if a.quick else HERE
    a.out, a.plots = a.out or home / "RESULTS.md", a.plots or home / "results"
    if a.quick:
        a.sizes = a.encode_sizes = "1"
        if a.scale_sizes == p.get_default("scale_sizes"):
            a.scale_sizes = "0.01,0.03"
    a.runs = a.runs or (1 if a.quick else 3)
    a.run_timeout = a.run_timeout or (60 if a.quick else 600)
    for name, kind in (("sizes", float), ("encode_sizes", float), ("vocab", int),
                       ("scale_sizes", float), ("scale_vocab", int)):
        setattr(a, name, [kind(x) for x in getattr(a, name).split(",")])
    for name, known in (("trainers", TRAINERS), ("kinds", corpora.KINDS)):
        setattr(a, name, [x for x in getattr(a, name).split(",") if x])
        if unknown := set(getattr(a, name)) - set(known):
            p.error(f"unknown {name}: {', '.join(sorted(unknown))}")
    a.parts = [a.only] if a.only else ["train", "encode", "dataset"]
    for name in ("sol", "bound", "encode_bound"):
        setattr(a, name, getattr(a, name) if getattr(a, name).exists() else None)
    return a


def main(argv=None):
    argv = argv or sys.argv
    args = parse_args(argv)
    args.plots.mkdir(parents=True, exist_ok=True)
    if args.report_only:
        data = json.loads((args.plots / "results.json").read_text())
    else:
        python = Path(sys.executable)  # as run from the checkout, no path of this machine in it
        shown = str(python.relative_to(ROOT)) if python.is_relative_to(ROOT) else "python3"
        args.command = scrub(shlex.join([shown, "bench/compare.py", *argv[1:]]), ROOT)
        bench = Bench(args, find_module_path(args.module_path))
        bench.log(f"work directory {bench.workdir}")
        bench.run()
        data = scrub(bench.data, ROOT)
        if failed := [r for part in PARTS for r in data[part] if not r.get("ok", True)]:
            bench.log(f"{len(failed)} runs failed; logs kept in {bench.workdir}/logs")
        elif args.workdir is None:
            shutil.rmtree(bench.workdir, ignore_errors=True)
    write_plots(data, args.plots)
    write_report(data, args.out, args.plots)
    print(f"wrote {args.out} and {args.plots}/*.png", flush=True)
    if not args.quick and args.plots.resolve() == (HERE / "results").resolve():
        README.write_text(readme_with_block(README.read_text(encoding="utf-8"), data),
                          encoding="utf-8")  # from the committed results only
        print(f"rewrote the performance block of {README.name}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
