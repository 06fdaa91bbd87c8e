"""Training time and peak memory of `BPE.train_fromfile` on 1 MB, 10 MB and 100 MB of English text
at vocab_size 8,000 and 32,000.

    PYTHONPATH=build/dev python bench/train.py [--corpora DIR] [--vocab 8000 32000] [--out FILE]

The corpora come from make-corpora.sh (en.txt, about 100 MB); the 1 MB and 10 MB inputs are
prefixes of en.txt cut at a line end, written to a temporary directory, and the 100 MB input is
en.txt itself. Every run is a fresh interpreter: a small meter process starts the trainer as its
only child, and once the trainer has exited the meter reads the child's peak resident set from
resource.getrusage(RUSAGE_CHILDREN).ru_maxrss. The trainer's standard output (its progress
bars) goes to a file. The time is that of the train_fromfile call alone, measured inside the
trainer. Prints a Markdown table and writes it to bench/results/train.md.
"""

import argparse
import datetime
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The trainer: trains once and writes what it measured as JSON to argv[3]. Standard output holds
# the progress bars and is sent to a file by the meter.
TRAINER = r"""
import json, sys, time
import lorvane_api
path, vocab_size, result = sys.argv[1], int(sys.argv[2]), sys.argv[3]
model = lorvane_api.BPE(vocab_size)
if vocab_size > 0:
    start = time.perf_counter()
    model.train_fromfile(path, 0)
    seconds = time.perf_counter() - start
else:  # the interpreter and the module alone, for the baseline
    seconds = 0.0
with open(result, "w") as f:
    json.dump({"seconds": seconds, "vocab": len(model.vocab), "merges": len(model.merge_rank)}, f)
"""

# The meter: runs the trainer as its only child, then reports the child's peak resident set.
METER = r"""
import json, resource, subprocess, sys
trainer, log = sys.argv[1], sys.argv[2]
with open(log, "wb") as out:
    code = subprocess.call([sys.executable, "-c", trainer, *sys.argv[3:]], stdout=out)
peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss  # KiB on Linux
print(json.dumps({"code": code, "peak_kib": peak_kib}))
"""


def prefix_at_line_end(source, size, target):
    """Writes the first `size` bytes of `source`, cut back to the last line end, to `target`."""
    with open(source, "rb") as f:
        data = f.read(size)
    cut = data.rfind(b"\n")
    target.write_bytes(data[: cut + 1] if cut >= 0 else data)
    return target


def measure(path, vocab_size, work):
    """One run in a fresh process: (seconds, vocab reached, merges, peak RSS in MiB)."""
    result = work / "result.json"
    log = work / f"bars-{path.stem}-{vocab_size}.txt"
    meter = subprocess.run(
        [sys.executable, "-c", METER, TRAINER, str(log), str(path), str(vocab_size), str(result)],
        capture_output=True,
        text=True,
        check=True,
    )
    report = json.loads(meter.stdout)
    if report["code"] != 0:
        sys.exit(f"training {path} at {vocab_size} failed ({report['code']}):\n{meter.stderr}")
    trained = json.loads(result.read_text())
    return trained["seconds"], trained["vocab"], trained["merges"], report["peak_kib"] / 1024


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpora", type=pathlib.Path, default=ROOT / "bench" / "corpora",
                        help="directory holding en.txt (default: bench/corpora)")
    parser.add_argument("--vocab", type=int, nargs="+", default=[8_000, 32_000])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000_000, 10_000_000],
                        help="prefix sizes in bytes; en.txt itself is always run as the largest")
    parser.add_argument("--skip-full", action="store_true", help="leave out en.txt itself")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "bench" / "results" / "train.md")
    args = parser.parse_args()

    source = args.corpora / "en.txt"
    if not source.is_file():
        sys.exit(f"{source} not found: build the corpora with make-corpora.sh first")

    rows = []
    with tempfile.TemporaryDirectory(prefix="lorvane-bench-") as tmp:
        work = pathlib.Path(tmp)
        inputs = [prefix_at_line_end(source, size, work / f"en-{size // 1_000_000}MB.txt")
                  for size in args.sizes]
        if not args.skip_full:
            inputs.append(source)
        _, _, _, baseline = measure(inputs[0], 0, work)
        print(f"baseline (interpreter and module, no training): {baseline:.1f} MiB", flush=True)
        for path in inputs:
            size = path.stat().st_size
            for vocab_size in args.vocab:
                seconds, vocab, merges, peak = measure(path, vocab_size, work)
                rows.append((size, vocab_size, vocab, merges, seconds, peak))
                print(f"{size / 1e6:7.1f} MB  vocab_size {vocab_size:6,}: {seconds:8.2f} s, "
                      f"peak {peak:8.1f} MiB", flush=True)

    lines = [
        "# Training time and peak memory",
        "",
        "`BPE(vocab_size).train_fromfile(path, 0)` on prefixes of en.txt (English technical "
        f"text). One fresh process per run; time of the call alone; peak resident set of the whole "
        f"process (the interpreter with the module alone: {baseline:.1f} MiB).",
        "",
        f"Machine: {machine()}. Date: {datetime.date.today().isoformat()}.",
        "",
        "| input | vocab_size | tokens | merges | time (s) | MB/s | peak RSS (MiB) |",
        "|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for size, vocab_size, vocab, merges, seconds, peak in rows:
        rate = size / 1e6 / seconds if seconds > 0 else float("inf")
        lines.append(f"| {size / 1e6:,.1f} MB | {vocab_size:,} | {vocab:,} | {merges:,} | "
                     f"{seconds:.2f} | {rate:.2f} | {peak:,.1f} |")
    lines += ["", "Command: `PYTHONPATH=build/dev python bench/train.py`", ""]
    table = "\n".join(lines)
    print()
    print(table)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(table)


if __name__ == "__main__":
    main()
