"""Encoding throughput: `BPE.encode` on 1 MB of generated English text, against the plain rescan
(one full scan of the id sequence per merge) on a 20 KB slice of the same text.

The text is made at run time from the docstrings of the Python standard library
(examples/corpus.py); the model is trained on that text with at least 4,000 merges. Prints a
Markdown table and writes it to bench/results/encode.md.

    python bench/encode.py [--size BYTES] [--slice BYTES] [--merges N]
"""

import argparse
import pathlib
import platform
import sys
import tempfile
import time

import lorvane_api

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
sys.path.insert(0, str(ROOT / "tests"))
from corpus import stdlib_docstrings  # noqa: E402
import reference_encode  # noqa: E402

WHITESPACE = set(" \t\n\r")  # the corpus reader turns these into a boundary and U+0120


def generated_text(size):
    """The first `size` bytes' worth of standard-library docstrings, cut at a character."""
    parts, total = [], 0
    for _, text in stdlib_docstrings():
        parts.append(text)
        total += len(text.encode("utf-8"))
        if total >= size:
            break
    return "".join(parts).encode("utf-8")[:size].decode("utf-8", errors="ignore")


def train(text, merges):
    symbols = {chr(ord(c) & 0xFFFF) for c in text if c not in WHITESPACE} | {"\u0120"}
    model = lorvane_api.BPE(len(symbols) + merges)
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "corpus.txt"
        path.write_text(text, encoding="utf-8")
        model.train_fromfile(str(path), 0)  # progress bars on standard output
    print(flush=True)
    return model


def best_time(call, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1_000_000, help="bytes of text for encode")
    parser.add_argument("--slice", type=int, default=20_000, help="bytes of text for the rescan")
    parser.add_argument("--merges", type=int, default=4_500, help="merges to train")
    args = parser.parse_args()

    start = time.perf_counter()
    text = generated_text(args.size)
    print(f"text: {len(text.encode('utf-8')):,} bytes generated in {time.perf_counter() - start:.1f} s",
          flush=True)
    start = time.perf_counter()
    model = train(text, args.merges)
    merges = len(model.merge_rank)
    print(f"model: {len(model.vocab):,} tokens, {merges:,} merges, trained in "
          f"{time.perf_counter() - start:.1f} s", flush=True)
    if merges < 4000:
        sys.exit(f"only {merges} merges learned; use a larger --merges")

    piece = text.encode("utf-8")[: args.slice].decode("utf-8", errors="ignore")
    tables = (model.vocab, model.merge_rank, model.token_to_id)
    full_bytes, piece_bytes = len(text.encode("utf-8")), len(piece.encode("utf-8"))

    full_s, full_ids = best_time(lambda: model.encode(text), 3)
    piece_s, piece_ids = best_time(lambda: model.encode(piece), 5)
    print("rescan on the slice ...", flush=True)
    rescan_s, (rescan_ids, _) = best_time(lambda: reference_encode.encode(piece, *tables), 1)
    if rescan_ids != piece_ids:
        sys.exit("encode and the rescan disagree on the slice")

    rows = [
        ("`BPE.encode` (C++, heap of ranked pairs)", full_bytes, len(full_ids), full_s),
        ("`BPE.encode` (C++, heap of ranked pairs)", piece_bytes, len(piece_ids), piece_s),
        ("plain rescan (Python, tests/reference_encode.py)", piece_bytes, len(rescan_ids), rescan_s),
    ]
    mbps = lambda nbytes, seconds: nbytes / 1e6 / seconds
    lines = [
        f"Encoding throughput, {merges:,} merges, {len(model.vocab):,} tokens; text generated from "
        f"standard-library docstrings. Python {platform.python_version()}, {platform.machine()}.",
        "",
        "| method | input | tokens | time (s) | MB/s |",
        "|---|---:|---:|---:|---:|",
    ]
    for name, nbytes, tokens, seconds in rows:
        lines.append(f"| {name} | {nbytes / 1000:,.0f} KB | {tokens:,} | {seconds:.4f} | "
                     f"{mbps(nbytes, seconds):.4g} |")
    lines += [
        "",
        f"Same {piece_bytes / 1000:,.0f} KB slice: `BPE.encode` is "
        f"{rescan_s / piece_s:,.0f} times as fast as the rescan; "
        f"on the full text it runs at {mbps(full_bytes, full_s):,.2f} MB/s.",
    ]
    table = "\n".join(lines) + "\n"
    print()
    print(table)
    out = ROOT / "bench" / "results" / "encode.md"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(table, encoding="utf-8")
    print(f"written to {out.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
