"""The report of a benchmark run, drawn from its JSON document: bench/RESULTS.md, the plots and
the performance block of README.md. Only the plots need more than the standard library."""

import collections
import math
import os
import statistics
import textwrap
from pathlib import Path

from peers import MB, REFERENCE, TRAINERS
from runs import GB, HERE, ROOT, peak_kib

README = ROOT / "README.md"
PERF_BEGIN = ("<!-- perf:begin: written by bench/report.py from bench/results/results.json; "
              "edit those, not this block -->")
PERF_END = "<!-- perf:end -->"
KIND_TEXT = {
    "en": "English technical text (prefixes of `en.txt`)",
    "code": "source code (the `.go` files of Go 1.19's sources, testdata folders left out, "
            "the `.java` files of JDK 17's `src.zip` and the `.py` files of the Python standard "
            "library, each file once in an order fixed by a hash of its path, cut at the size: "
            "nothing is repeated{total})",
    "cjk": "text without spaces (the CJK lines of `multi.txt`, whitespace removed in lines)",
    "longrun": "one word: 8,000 distinct characters, then 2^20 × `a`",
    "shortrun": "the same in runs of 64 `a`, each followed by the next distinct character"}
SETUP_TEXT = {"whole": "whole text, one call", "lines": "`encode_batch_fast` over line pieces",
              "batch": "`encode_ordinary_batch` over line pieces (threads; for information)",
              "calls": "Python loop, one call per line"}
# The setups of the dataset part in table order; {workers} is the number of processes.
DATASET_SETUPS = {
    ("ours", "dataset"): "`lorvane.encode_dataset`, file to `.bin`/`.idx`, {workers}",
    ("ours", "batch"): "`lorvane.encode_batch` over the lines, {workers}",
    ("ours", "whole"): "`model.encode` of the whole text as one string",
    ("tiktoken", "batch"): "`tiktoken` `encode_ordinary_batch` over the lines, its threads",
    ("tiktoken", "whole"): "`tiktoken` `encode_ordinary` of the whole text"}


def md_table(head, rows, left=1) -> str:
    """A Markdown table, short rows padded, the first `left` columns left-aligned."""
    rows = [list(r) + [""] * (len(head) - len(r)) for r in rows]
    return "\n".join(["| " + " | ".join(head) + " |",
                      "|" + "---|" * left + "---:|" * (len(head) - left)]
                     + ["| " + " | ".join(r) + " |" for r in rows])


def _f(x, digits=2):
    return "–" if x is None else f"{x:.{digits}f}"


def _n(x):
    return "–" if x is None else f"{x:,}"


def _ratio(x, ref):
    return None if x is None or not ref else x / ref


def _and(items):
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


def _mb(nbytes):
    return f"{nbytes / MB:.3g} MB"


def _gb(nbytes):
    return f"{nbytes / GB:.3g} GB"


def failure(row):
    lines = (row.get("error") or "").strip().splitlines()
    return f"failed: {lines[-1][:120] if lines else ''}"


def _threads(trainer, machine) -> int:
    lib, threads = TRAINERS[trainer]
    if lib == "lorvane_api" or threads:
        return 1
    return 16 if lib == "sentencepiece" else machine["cores_usable"]


def _key(r):
    return (r.get("kind", "scale"), r["size"], r["vocab"])


def _done(records):
    """Finished records by (kind, size, vocab), or by (kind, size) where they have no vocab."""
    return {_key(r) if "vocab" in r else (r["kind"], r["size"]): r for r in records
            if r.get("wall") is not None}


def _timed(rec, *fields):
    """The row of a timed task: `fields` of the record, median wall and CPU time, MB/s."""
    row = {k: rec.get(k) for k in ("ok", "error", "vocab", *fields)}
    if rec["ok"]:
        r = rec["result"]
        wall, cpu = statistics.median(r["times"]), statistics.median(r.get("cpu_times") or [0])
        row.update(bytes=r["bytes"], wall=wall, cpu=cpu, mbps=r["bytes"] / MB / wall,
                   tokens=r["tokens"], runs=len(r["times"]), load=rec.get("load_before"))
    return row


def trainer_row(t, b) -> dict:
    """A training's figures, its peak RSS per code unit of the distinct words (from the work
    bound `b` of the same corpus and vocabulary) and the RSS kept once our model was deleted."""
    r, units = t.get("result", {}), b and b.get("distinct_units")
    return {**{k: t.get(k) for k in ("trainer", "kind", "size", "bytes", "vocab", "ok", "error")},
            "wall": r.get("wall"), "cpu": r.get("cpu"), "rss": peak_kib(t) / 1024,
            "words": b and b.get("distinct_words"), "units": units,
            "b_per_unit": _ratio(peak_kib(t) * 1024, units) if t["ok"] else None,
            "kept_mib": r["kept_after_kib"] / 1024 if "kept_after_kib" in r else None}


def train_rows(data):
    quality = {(q["trainer"], q["size"], q["vocab"]): q["result"] for q in data["quality"]
               if q["ok"]}
    index = {(t["trainer"], *_key(t)): t for t in data["train"]}
    sol, bound = _done(data.get("sol", [])), _done(data.get("bound", []))

    def per_k(trainer, t):
        q = quality.get((trainer, t["size"], t["vocab"])) if t["kind"] == "en" else None
        return 1000 * q["tokens"] / q["chars"] if q else None

    rows = []
    for t in data["train"]:
        ref, r = index.get((REFERENCE, *_key(t))), t.get("result", {})
        ref = ref if ref and ref["ok"] else None
        s, b = sol.get((t["kind"], t["size"])), bound.get(_key(t))
        rows.append({
            **trainer_row(t, b), "load": t.get("load_before"), "runs": len(t.get("walls") or [0]),
            "model_mib": r["model_rss_kib"] / 1024 if "model_rss_kib" in r else None,
            "vocab_got": r.get("vocab_got"),
            "wall_ratio": _ratio(r.get("wall"), ref and ref["result"]["wall"]),
            "rss_ratio": _ratio(peak_kib(t), ref and peak_kib(ref)),
            "sol_wall": s and s["wall"], "sol_ratio": _ratio(r.get("wall"), s and s["wall"]),
            "bound_wall": b and b["wall"], "bound_ratio": _ratio(r.get("wall"), b and b["wall"]),
            "per_k": per_k(t["trainer"], t),
            "per_k_ratio": _ratio(per_k(t["trainer"], t), per_k(REFERENCE, t))})
    return rows


def summary_rows(data):
    """Per corpus and vocabulary, our training against the fastest peer's."""
    rows, out = train_rows(data), []
    for ours in (r for r in rows if r["trainer"] == "ours" and r["ok"]):
        peers = [r for r in rows if r["trainer"] != "ours" and r["ok"] and _key(r) == _key(ours)]
        fastest = min(peers, key=lambda r: r["wall"]) if peers else {}
        out.append({**ours, "fastest": fastest.get("trainer"), "fastest_wall": fastest.get("wall"),
                    "peer_ratio": _ratio(ours["wall"], fastest.get("wall"))})
    return out


def encode_rows(data):
    """Each encoder and setup against tiktoken's plain call, ours also against the bound."""
    rows = [_timed(e, "encoder", "setup", "kind", "size") for e in data["encode"]]
    for row, e in zip(rows, data["encode"]):
        if calls := e["ok"] and e["result"].get("calls"):
            row.update(calls=calls, us_per_call=1e6 * row["wall"] / calls)
    ref = {_key(r): r for r in rows
           if r["ok"] and r["encoder"] == "tiktoken" and r["setup"] in ("whole", "calls")}
    bound = {_key(b): b["result"] for b in data.get("encode_bound", []) if b["ok"]}
    for row in rows:
        row["ratio"] = _ratio(row.get("mbps"), ref.get(_key(row), {}).get("mbps"))
        b = bound.get(_key(row)) if row["encoder"] == "ours" else None
        row["bound_wall"] = b and statistics.median(b["times"]) + statistics.median(b["list_times"])
        row["bound_ratio"] = _ratio(row.get("wall"), row["bound_wall"])
    order = {"ours": 0, "tiktoken": 1, "tokendagger": 2, "tokenizers-1t": 3}
    return sorted(rows, key=lambda r: (r["vocab"], r["kind"] != "short", r["kind"], r["size"],
                                       order.get(r["encoder"], 9), r["setup"]))


def scale_rows(data):
    """The work bound, then each trainer, per vocabulary and size, with the growth of wall time
    from the same program's previous size."""
    bound = _done(data.get("scale_bound", []))
    rows = [{"program": "work bound", **{k: b[k] for k in ("size", "bytes", "vocab", "ok")},
             "error": b.get("error"), "wall": b.get("wall"), "cpu": b.get("proc_cpu"),
             "rss": b["maxrss_kib"] / 1024, "words": b.get("distinct_words"),
             "units": b.get("distinct_units"), "kept_mib": None,
             "b_per_unit": _ratio(b["maxrss_kib"] * 1024, b.get("distinct_units"))}
            for b in data.get("scale_bound", [])]
    rows += [{"program": t["trainer"],
              **trainer_row(t, bound.get(("scale", t["size"], t["vocab"])))}
             for t in data.get("scale", [])]
    rows.sort(key=lambda r: (r["vocab"], r["size"], r["program"] != "work bound",
                             r["program"] != "ours", r["program"]))
    last = {}
    for r in rows:
        prev = last.get((r["program"], r["vocab"]))
        r["s_per_gb"] = _ratio(r["wall"], r["bytes"] / GB)
        r["growth"] = _ratio(r["wall"], prev and prev["wall"])
        r["bytes_growth"] = _ratio(r["bytes"], prev and prev["bytes"])
        if r["ok"]:
            last[(r["program"], r["vocab"])] = r
    return rows


def dataset_rows(data):
    """Each dataset setup, also against `model.encode` of the whole text, by wall and CPU time."""
    rows = [dict(_timed(d, "encoder", "setup", "workers"), documents=d.get("result", {}).get(
        "documents"), rss=peak_kib(d) / 1024) for d in data.get("dataset", [])]
    whole = {r["vocab"]: r for r in rows if r["ok"] and (r["encoder"], r["setup"]) == (
        "ours", "whole")}
    for row in rows:
        ref = whole.get(row["vocab"], {})
        row["vs_whole"] = _ratio(row.get("mbps"), ref.get("mbps"))
        row["vs_whole_cpu"] = _ratio(ref.get("cpu"), row.get("cpu"))  # same bytes: CPU MB/s
    order = list(DATASET_SETUPS)
    return sorted(rows, key=lambda r: (r["vocab"], order.index((r["encoder"], r["setup"])),
                                       r["workers"] or 0))


def _dataset_setup(r):
    workers = "1 process" if r["workers"] == 1 else f"{r['workers']} processes"
    return DATASET_SETUPS[(r["encoder"], r["setup"])].format(workers=workers)


def peers_run(data, part) -> list[str]:
    """The libraries other than ours that have records in `part`, in order."""
    key = "trainer" if part == "train" else "encoder"
    return list(dict.fromkeys(r[key].removesuffix("-1t") for r in data.get(part, [])
                              if r[key] != "ours"))


def run_lines(data, meta, parts, versions):
    """Where, how and with what a part of the results was measured, and the load meanwhile."""
    loads = [r["load_before"] for part in parts for r in data.get(part, []) if "load_before" in r]
    cores = meta["machine"]["cores"]
    load = "- Load: not recorded" if not loads else (
        f"- Load average (1 min) when runs started: {min(loads):.1f} to {max(loads):.1f} on "
        f"{cores} cores" + (" — other work shared the machine, so wall times and throughputs "
                            "are pessimistic and noisy; CPU times and memory are less affected"
                            if max(loads) > 0.5 * cores else ""))
    return [f"- Machine: {meta['machine']['summary']}", f"- Command: `{meta['command']}`",
            f"- Run: {meta['started']} to {meta.get('finished', '(unfinished)')}"
            + (" (quick mode: small inputs)" if meta.get("quick") else ""),
            f"- Versions: lorvane {meta['versions']['lorvane']}"
            + "".join(f", {lib} {meta['versions'].get(lib, 'missing')}" for lib in versions),
            f"- Module: {meta.get('module')}", load]


def write_report(data, out: Path, plots: Path):
    meta, rows, enc = data["meta"], train_rows(data), encode_rows(data)
    ran = list(dict.fromkeys(peers_run(data, "train") + peers_run(data, "encode")))
    code = meta.get("code_corpus")
    total = f"; {_mb(code['distinct_total_bytes'])} of distinct code in all" if code else ""
    lines = [
        "# Lorvane against peer tokenizers", "",
        *run_lines(data, meta, ("train", "sol", "quality", "encode", "decode", "crosscheck"), ran),
        "- Corpora: " + "; ".join(KIND_TEXT[k].format(total=total) for k in meta["kinds"]) + ".",
        "", "Rerun the command above, or redraw this file from `results/results.json` with "
        "`--report-only`.", "", "## Summary", "",
        "Training: our wall time (one thread) divided by the fastest peer's (its default "
        "threads), by the *speed of light* (C++: read, decode, split the words as training does, "
        "count the distinct ones) and by the *work bound* (that, then every pair of the distinct "
        "words counted and one progress bar drawn per merge). Medians of repeated runs up to "
        "10 MB. Targets: ours ÷ fastest peer ≤ 0.333; ours ÷ work bound ≤ 2 at 100 MB and ≤ 3 "
        "at 10 MB. † `youtokentome` keeps only a word-start mark of each whitespace run, so it "
        "does less work than the exact trainers (most on code).", "",
        md_table(["corpus", "vocab", "ours s", "fastest peer", "peer s", "ours ÷ fastest peer",
                  "speed of light s", "ours ÷ speed of light", "work bound s",
                  "ours ÷ work bound"],
                 [[f"{r['kind']} {_mb(r['bytes'])}", f"{r['vocab']:,}", _f(r["wall"], 3),
                   (r["fastest"] or "–") + (" †" if r["fastest"] == "youtokentome" else ""),
                   _f(r["fastest_wall"], 3), _f(r["peer_ratio"], 3), _f(r["sol_wall"], 3),
                   _f(r["sol_ratio"]), _f(r["bound_wall"], 3), _f(r["bound_ratio"])]
                  for r in summary_rows(data)])]
    if main := [r for r in enc if r["ok"] and r["encoder"] == "ours"]:
        lines += ["", "Encoding: our MB/s divided by tiktoken's `encode_ordinary` on the same "
                  "text with the same tables (for short lines: both called once per line from "
                  "Python), and our time divided by the *encoding bound*'s: C++ that decodes the "
                  "text, cuts the words as our encoder does and copies each word's ids from a "
                  "hash table filled beforehand into a 16-bit array, plus the copy in Python of a "
                  "list of as many ids that shares one int per id, as our `encode`'s lists do "
                  "(short lines: each line a text, one list, no loop).",
                  "", md_table(["text", "vocab", "ours MB/s", "ours ÷ tiktoken", "bound MB/s",
                                "ours ÷ bound"],
                               [[f"{r['kind']} {_mb(r['bytes'])}", f"{r['vocab']:,}",
                                 f"{r['mbps']:.2f}", _f(r["ratio"]),
                                 _f(_ratio(r["bytes"] / MB, r["bound_wall"])),
                                 _f(r["bound_ratio"])] for r in main])]
    lines += [
        "", "## Training", "",
        "Wall and CPU (user+sys, all threads) of the training call alone (reading included, "
        "saving not) in a fresh interpreter; peak RSS is its `VmHWM` (import included, see the "
        "baseline below). *model MiB*: RSS our model holds after training and one encode; *kept "
        "MiB*: RSS kept once the model is deleted, beyond that before the import; *B / distinct "
        "unit*: peak RSS per code unit of the distinct words. *÷ tok*: against `tokenizers`; "
        "*tok/1k*: tokens per 1,000 characters of `holdout.txt` (English only; the byte-level "
        "and `youtokentome` trainers are timed only); *load*: 1-minute load average at the "
        "start. Memory targets for ours: ≤ 9 B / distinct unit at 1 GB and 10 GB (see Scale), "
        "≤ 16 MiB kept.", "",
        md_table(["corpus", "vocab", "trainer", "threads", "runs", "wall s", "CPU s",
                  "peak RSS MiB", "model MiB", "kept MiB", "B / distinct unit", "wall ÷ tok",
                  "RSS ÷ tok", "wall ÷ SoL", "wall ÷ bound", "vocab reached", "tok/1k",
                  "tok/1k ÷ tok", "load"],
                 [[f"{r['kind']} {_mb(r['bytes'])}", f"{r['vocab']:,}", r["trainer"]]
                  + ([failure(r)] if not r["ok"] else [
                      "1 (starts none)" if r["trainer"] == "ours" else "1"
                      if TRAINERS[r["trainer"]][1] else
                      f"default ({_threads(r['trainer'], meta['machine'])})",
                      str(r["runs"]), _f(r["wall"], 3), _f(r["cpu"]), f"{r['rss']:.0f}",
                      _f(r["model_mib"], 1), _f(r["kept_mib"], 1), _f(r["b_per_unit"], 1),
                      _f(r["wall_ratio"]), _f(r["rss_ratio"]), _f(r["sol_ratio"]),
                      _f(r["bound_ratio"]), _n(r["vocab_got"]), _f(r["per_k"], 1),
                      _f(r["per_k_ratio"], 4), _f(r["load"], 1)]) for r in rows], left=4)]
    if sol := [s for s in data.get("sol", []) if s.get("wall")]:
        lines += ["", "Speed of light (median wall time, distinct / total words): " + "; ".join(
            f"{s['kind']} {_mb(s['bytes'])} {s['wall']:.3f} s, {s['distinct_words']:,} / "
            f"{s['words']:,}" for s in sol) + "."]
    if bound := [b for b in data.get("bound", []) if b.get("wall")]:
        lines += ["", "Work bound (median wall time; distinct words, their code units and "
                  "distinct pairs): " + "; ".join(
                      f"{b['kind']} {_mb(b['bytes'])} vocabulary {b['vocab']:,} "
                      f"{b['wall']:.3f} s, {b['distinct_words']:,} words, "
                      f"{b['distinct_units']:,} units, {b['pairs']:,} pairs" for b in bound)
                  + "."]
    if base := [b for b in data["baseline"] if b["ok"]]:
        lines += ["", "Import baseline (peak RSS after the import alone): " + ", ".join(
            f"{b['lib']} {peak_kib(b) / 1024:.0f} MiB" for b in base) + "."]
    if any(r["kind"] == "en" for r in rows):
        rel = os.path.relpath(plots, out.parent)
        lines += ["", f"![training time]({rel}/train_time.png)",
                  f"![training memory]({rel}/train_memory.png)"]
    lines += scale_section(data) + ["", "## Encoding and decoding", ""]
    if enc:
        texts = ", ".join(f"{t['kind']} {_mb(t['bytes'])} `{t['name']}`"
                          for t in meta["encode_texts"])
        lines += [
            "Every encoder has the tables of our model trained on the largest corpus of the "
            f"kind. Texts: {texts} (English 1 MB from `holdout.txt`, the others from the kind's "
            "corpus), whitespace turned into spaces before timing. MB/s: input bytes per second "
            f"of wall time, median of {next((r['runs'] for r in enc if r['ok']), 0)} runs; *CPU "
            "MB/s* per CPU second (all threads); `tokenizers` on one thread.", "",
            md_table(["vocab", "text", "encoder", "setup", "MB/s", "CPU MB/s", "µs per call",
                      "tokens", "÷ tiktoken", "÷ bound"],
                     [[f"{r['vocab']:,}", r["kind"], r["encoder"], r["setup"], failure(r)]
                      if not r["ok"] else
                      [f"{r['vocab']:,}", f"{r['kind']} {_mb(r['bytes'])}", r["encoder"],
                       SETUP_TEXT.get(r["setup"], r["setup"]), f"{r['mbps']:.2f}",
                       _f(_ratio(r["bytes"] / MB, r["cpu"])), _f(r.get("us_per_call"), 1),
                       f"{r['tokens']:,}", _f(r["ratio"]), _f(r["bound_ratio"])]
                      for r in enc], left=4)]
    if dec := [d for d in data.get("decode", []) if d["ok"]]:
        lines += ["", "Decoding (ours puts a space after every token, tiktoken's restores the "
                  "text): " + "; ".join(
                      f"{d['decoder']} at {d['vocab']:,} on `{d['text']}`: "
                      f"{d['result']['bytes'] / MB / d['result']['median']:.1f} MB/s of input "
                      "text" for d in dec) + "."]
    lines += dataset_section(data) + crosscheck_section(data["crosscheck"])
    lines += ["", "#" + (HERE / "peers.md").read_text(encoding="utf-8").rstrip()]
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")


def linearity(rows) -> list[str]:
    """Per vocabulary: how our time and the work bound's grew from 1 GB (else the smallest size)
    to the largest, against the growth of the bytes, and how the distinct words grew."""
    out = []
    for vocab in sorted({r["vocab"] for r in rows}):
        at = {(r["program"], r["size"]): r for r in rows if r["vocab"] == vocab and r["ok"]}
        sizes = sorted({s for p, s in at if p == "work bound"})
        if len(sizes) < 2:
            continue
        top = sizes[-1]
        base = 1.0 if 1.0 in sizes and top > 1.0 else sizes[0]
        a, b = at[("work bound", base)], at[("work bound", top)]
        x, words = b["bytes"] / a["bytes"], b["words"] / a["words"]
        grew = [f"{whose} grew {at[(p, top)]['wall'] / at[(p, base)]['wall']:.2f}×"
                for p, whose in (("ours", "our training time"), ("work bound", "the work bound's"))
                if (p, base) in at and (p, top) in at]
        out.append(f"From {_gb(a['bytes'])} to {_gb(b['bytes'])} at vocabulary {vocab:,}, "
                   f"{' and '.join(grew)}, where linear time would grow {x:.3g}×; the distinct "
                   f"words grew {words:.2f}× (as n^{math.log(words) / math.log(x):.2f}).")
    return out


def scale_section(data):
    rows, meta = scale_rows(data), data.get("scale_meta")
    if not rows or not meta:
        return []
    info = meta["corpus"]
    lines = [
        "", "## Scale", "", *run_lines(data, meta, ("scale",), []), "",
        f"Training once each on {_and([f'{r:g}' for r in sorted({r['size'] for r in rows})])} "
        f"GB of code (`bench/make_scale_corpus.py`): all the distinct code "
        f"({_mb(info['real_bytes'])}), then copies of it with a share of the documents, falling "
        "with k, varied (identifiers suffixed `_k`, numbers with k appended): "
        f"{info['copies']} copies begun for {_gb(info['bytes'])}, the distinct words growing "
        "about as n^0.6. Each size is a prefix of the largest. Distinct words and units are the "
        "work bound's; *× prev*: wall time against the same program's at the size before "
        "(*bytes × prev*: what linear time would give).", "",
        md_table(["size", "vocab", "program", "wall s", "CPU s", "peak RSS MiB",
                  "distinct words", "distinct-word units", "B / distinct unit", "kept MiB",
                  "s per GB", "× prev", "bytes × prev"],
                 [[_gb(r["bytes"]), f"{r['vocab']:,}", r["program"]]
                  + ([failure(r)] if not r["ok"] else [
                      _f(r["wall"], 1), _f(r["cpu"], 1), f"{r['rss']:.0f}", _n(r["words"]),
                      _n(r["units"]), _f(r["b_per_unit"], 1), _f(r["kept_mib"], 1),
                      _f(r["s_per_gb"], 1), _f(r["growth"]), _f(r["bytes_growth"])])
                  for r in rows], left=3)]
    if sentences := linearity(rows):
        lines += ["", "Linearity: " + " ".join(sentences)]
    return lines


def dataset_section(data):
    rows, meta = dataset_rows(data), data.get("dataset_meta")
    if not rows or not meta:
        return []
    return [
        "", "## Encoding a dataset", "", *run_lines(data, meta, ("dataset",), ["tiktoken"]), "",
        f"`{meta['text']['name']}` ({_mb(meta['text']['bytes'])} of English manuals not in "
        "`en.txt`), one document per line, with our largest English model. "
        "`lorvane.encode_dataset` runs end to end (its pool, reading, encoding, writing ids and "
        "index); the other setups get the lines or the text read before timing. MB/s: median of "
        f"{max(r.get('runs') or 0 for r in rows)} runs; CPU s: every process and thread; peak "
        "RSS: the measuring process's; *÷ whole*: against `model.encode` of the whole text, by "
        "wall (CPU) time; *tokens* without our separators.", "",
        md_table(["vocab", "setup", "MB/s", "wall s", "CPU s", "peak RSS MiB", "÷ whole",
                  "tokens", "documents", "load"],
                 [[f"{r['vocab']:,}", _dataset_setup(r)] + ([failure(r)] if not r["ok"] else [
                     f"{r['mbps']:.2f}", f"{r['wall']:.2f}", f"{r['cpu']:.2f}",
                     f"{r['rss']:.0f}", f"{_f(r['vs_whole'])} ({_f(r['vs_whole_cpu'])})",
                     f"{r['tokens']:,}", f"{r['documents']:,}", _f(r["load"], 1)])
                  for r in rows], left=2)]


def merge_list_text(ml) -> str:
    if not ml:
        return "–"
    if ml["first_difference"] is None:
        return f"identical ({ml['ours']:,} merges)"
    return (f"first difference at rank {ml['first_difference']:,} ({ml['ours']:,} vs "
            f"{ml['tokenizers']:,} merges)" + (f": ours {ml['example'][0]}, tokenizers "
                                               f"{ml['example'][1]}" if ml.get("example") else ""))


def crosscheck_section(checks):
    lines = ["", "## Cross-check with tokenizers", ""]
    if not checks:
        return lines
    lines += [
        "Every distinct word of `holdout.txt` encoded by our `encode` and by `tokenizers` (and "
        "tiktoken, counted on words whose characters we know) with our tables; *whole = words*: "
        "our `encode` of the whole text equals the concatenation of its words'. The last column "
        "compares our merge list with the one `tokenizers` learned from the same corpus.", "",
        md_table(["model", "words", "distinct", "tokenizers: differing distinct",
                  "differing words", "whole = words",
                  "words with chars outside our alphabet (distinct)",
                  "tiktoken: differing distinct, all chars known", "differing words",
                  "merges vs tokenizers' training"],
                 [[f"ours {c['size']:g} MB, {c['vocab']:,}"] + (["failed"] if not c["ok"] else [
                     f"{r['words']:,}", f"{r['distinct']:,}", str(r["tokenizers_diff_distinct"]),
                     str(r["tokenizers_diff_words"]), "yes" if r["whole_equals_per_word"] else "NO",
                     f"{r['unknown_char_words']:,} ({r['unknown_char_distinct']:,})",
                     str(r["tiktoken_known_diff_distinct"]), str(r["tiktoken_known_diff_words"]),
                     merge_list_text(r.get("merge_list"))])
                  for c in checks for r in [c.get("result", {})]])]
    symbols, examples = {}, {}
    for c in (c for c in checks if c["ok"]):
        r, label = c["result"], f"{c['size']:g} MB/{c['vocab']:,}"
        ml = r.get("merge_list")
        if ml and (ml["ours_only_symbols"] or ml["tokenizers_only_symbols"]):
            key = (tuple(ml["ours_only_symbols"]), tuple(ml["tokenizers_only_symbols"]))
            symbols.setdefault(key, []).append(label)
        for tag in ("tokenizers", "tiktoken"):
            for ex in r[f"{tag}_examples"][:3]:
                examples.setdefault((tag, ex["word"]), (ex, []))[1].append(label)
    for (ours_only, peer_only), labels in symbols.items():
        lines += ["", f"Initial symbols that differ ({', '.join(labels)}): ours only "
                  f"{', '.join(ours_only) or 'none'}; tokenizers only "
                  f"{', '.join(peer_only) or 'none'} (we cut code points to 16 bits)."]
    if examples:
        lines += ["", "Differing words:"] + [
            f"- {tag}: `{word}` ×{ex['count']} ({', '.join(labels)}): ours {ex['ours_text']}"
            for (tag, word), (ex, labels) in examples.items()]
    return lines


def readme_block(data) -> str:
    """The lines between the README's performance markers, from the results `data`."""
    rows = [r for r in train_rows(data) if r["ok"] and r["kind"] == "en"]
    largest, vocabs = max(r["size"] for r in rows), sorted({r["vocab"] for r in rows})
    at = {(r["trainer"], r["vocab"]): r for r in rows if r["size"] == largest}
    small, big = vocabs[0], vocabs[-1]
    trainers = sorted((t for t in dict.fromkeys(r["trainer"] for r in rows)
                       if (t, small) in at and (t, big) in at), key=lambda t: t != "ours")
    head = [f"{_mb(at[('ours', small)]['bytes'])} of English, vocabulary {small:,}"] + [
        "Lorvane (1 thread)" if t == "ours" else
        f"`{t}` ({_threads(t, data['meta']['machine'])} threads)" for t in trainers]
    table = [[what] + [fmt(at[(t, small)][key]) for t in trainers]
             for what, key, fmt in (("training wall time", "wall", lambda s: f"{s:.3g} s"),
                                    ("training CPU time", "cpu", lambda s: f"{s:.3g} s"),
                                    ("training peak memory", "rss", lambda m: f"{m:.0f} MiB"))]
    summary = [r for r in summary_rows(data) if r["peer_ratio"] is not None]
    ratios = [r["peer_ratio"] for r in summary]
    fastest = collections.Counter(r["fastest"] for r in summary).most_common()
    text = (f"At {big:,} the same corpus took {at[('ours', big)]['wall']:.3g} s against "
            + _and([f"{at[(t, big)]['wall']:.3g} s for `{t}`" for t in trainers[1:]])
            + f"; on each of the run's {len(ratios)} pairs of corpus and vocabulary size, "
            f"Lorvane on one thread took {min(ratios):.3f}x to {max(ratios):.3f}x the time of "
            "the fastest peer at its default threads, which was "
            + _and([f"`{t}` on {n}" for t, n in fastest]) + " of them.")
    if any(t == "youtokentome" for t, _ in fastest):
        text += (" `youtokentome` drops every run of whitespace and keeps only a word-start "
                 "mark, so it does less work than the exact trainers.")
    enc = [r for r in encode_rows(data) if r["ok"]]
    whole = [r for r in enc if r["encoder"] == "ours" and r["setup"] == "whole"]
    en = max((r for r in whole if r["kind"] == "en" and r["vocab"] == big),
             key=lambda r: r["bytes"])
    calls = {r["encoder"]: r for r in enc if r["kind"] == "short" and r["vocab"] == big}
    decode = {d["decoder"]: d["result"]["bytes"] / MB / d["result"]["median"]
              for d in data.get("decode", []) if d["ok"] and d["vocab"] == big}
    names = {"en": "English", "code": "code", "cjk": "CJK"}
    text += (f" Encoding {_mb(en['bytes'])} of English with the {big:,} model runs at "
             f"{en['mbps']:.1f} MB/s on one thread, {en['ratio']:.2f}x `tiktoken`'s "
             f"`encode_ordinary` with the same tables ({min(r['ratio'] for r in whole):.2f}x to "
             f"{max(r['ratio'] for r in whole):.2f}x over "
             f"{_and([names[k] for k in names if any(r['kind'] == k for r in whole)])} texts of "
             f"{_and([f'{s:g}' for s in sorted({r['size'] for r in whole})])} MB at both "
             "vocabulary sizes)")
    if bounded := [r["bound_ratio"] for r in whole if r["bound_ratio"]]:
        text += (f", and takes {en['bound_ratio']:.2f}x the time of an encoding bound that only "
                 "cuts the words, copies each one's ids from a table filled beforehand and makes "
                 f"the list ({min(bounded):.2f}x to {max(bounded):.2f}x over those texts)")
    text += (f"; a Python loop over {calls['ours']['calls']:,} short lines costs "
             f"{calls['ours']['us_per_call']:.1f} µs per call against `tiktoken`'s "
             f"{calls['tiktoken']['us_per_call']:.1f} µs, and decoding runs at "
             f"{decode['ours']:.0f} MB/s against its {decode['tiktoken']:.1f} MB/s.")
    dataset = [r for r in dataset_rows(data) if r["ok"]]
    ran = [f"{what} {_and([f'`{t}`' for t in names])}" for what, names in (
        ("training", trainers[1:]), ("encoding", peers_run(data, "encode")),
        ("encoding a dataset", peers_run(data, "dataset") if dataset else [])) if names]
    blocks = [f"Peers measured: {'; '.join(ran)}.", md_table(head, table), text]
    if dataset:
        cores = data["dataset_meta"]["machine"]["cores"]
        vocabs = sorted({r["vocab"] for r in dataset})
        at = {(r["encoder"], r["setup"], r["workers"], r["vocab"]): r for r in dataset}
        table = [[_dataset_setup(dict(encoder=e, setup=s, workers=w))]
                 + [_f(at.get((e, s, w, v), {}).get("mbps"), 1) for v in vocabs]
                 for e, s, w in dict.fromkeys((e, s, w) for e, s, w, _ in at)]
        table.append(["`lorvane.encode_dataset` in 1 process ÷ `model.encode` of the whole text, "
                      "by wall (by CPU) time"]
                     + [f"{_f(r.get('vs_whole'))} ({_f(r.get('vs_whole_cpu'))})"
                        for r in (at.get(("ours", "dataset", 1, v), {}) for v in vocabs)])
        loads = {v: [r["load"] for r in dataset if r["vocab"] == v] for v in vocabs}
        table.append([f"load average on the {cores} cores when the runs started"]
                     + [f"{min(loads[v]):.1f} to {max(loads[v]):.1f}" for v in vocabs])
        blocks.append(md_table([f"{_mb(dataset[0]['bytes'])} of English manuals, one document "
                                "per line, MB/s"] + [f"vocabulary {v:,}" for v in vocabs], table))
        if max(max(x) for x in loads.values()) > 0.5 * cores:
            blocks.append("Where other work kept the machine busy, the figures on several "
                          "processes say little about how the work divides over free cores.")
    return "\n\n".join(b if b.startswith("|") else "\n".join(textwrap.wrap(b, 96))
                       for b in blocks)


def readme_with_block(readme: str, data) -> str:
    """The README text with its performance block rewritten from `data`."""
    begin, end = readme.find(PERF_BEGIN), readme.find(PERF_END)
    if begin < 0 or end < begin:
        raise ValueError("README.md has no performance markers")
    return readme[: begin + len(PERF_BEGIN)] + "\n" + readme_block(data) + "\n" + readme[end:]


def write_plots(data, plots: Path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter
    rows = [r for r in train_rows(data) if r["ok"] and r["kind"] == "en"]
    if not rows:
        return
    meta = data["meta"]
    vocabs = sorted({r["vocab"] for r in rows})
    footer = "\n".join(textwrap.wrap(f"Machine: {meta['machine']['summary']}. Command: "
                                     f"{meta['command']}", 130))
    for key, ylabel, fname, title in (
            ("wall", "training wall time (s)", "train_time.png", "Training time"),
            ("rss", "peak resident memory (MiB)", "train_memory.png", "Training peak memory")):
        fig, axes = plt.subplots(1, len(vocabs), figsize=(6 * len(vocabs), 5), squeeze=False)
        for ax, vocab in zip(axes[0], vocabs):
            for trainer in meta["trainers"]:
                pts = sorted((r["bytes"] / MB, r[key]) for r in rows
                             if r["trainer"] == trainer and r["vocab"] == vocab)
                if pts:
                    ax.plot(*zip(*pts), marker="o", label=trainer)
            ax.set(xscale="log", yscale="log")
            for axis in (ax.xaxis, ax.yaxis):
                axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
            ax.set(xlabel="corpus size (MB)", ylabel=ylabel, title=f"{title}, vocabulary {vocab:,}")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend()
        fig.text(0.01, 0.01, footer, fontsize=7, va="bottom")
        fig.tight_layout(rect=(0, 0.08 + 0.02 * footer.count("\n"), 1, 1))
        fig.savefig(plots / fname, dpi=110)
        plt.close(fig)
