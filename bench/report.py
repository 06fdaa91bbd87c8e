"""The report of a benchmark run, drawn from its JSON document: bench/RESULTS.md, the plots and
the performance block of README.md. Only the plots need more than the standard library."""

from __future__ import annotations

import collections
import math
import os
import statistics
import textwrap
from pathlib import Path

from peers import MB, REFERENCE, TRAINERS
from runs import GB, ROOT, peak_kib

HERE = Path(__file__).resolve().parent
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
    "shortrun": "the same in runs of 64 `a`, each followed by the next distinct character",
}
SETUP_TEXT = {"whole": "whole text, one call", "lines": "`encode_batch_fast` over line pieces",
              "batch": "`encode_ordinary_batch` over line pieces (threads; for information)",
              "calls": "Python loop, one call per line"}
# The setups of the dataset part in table order; {workers} is the number of processes.
DATASET_SETUPS = {
    ("ours", "dataset"): "`lorvane.encode_dataset`, file to `.bin`/`.idx`, {workers}",
    ("ours", "batch"): "`lorvane.encode_batch` over the lines, {workers}",
    ("ours", "whole"): "`model.encode` of the whole text as one string",
    ("tiktoken", "batch"): "`tiktoken` `encode_ordinary_batch` over the lines, its threads",
    ("tiktoken", "whole"): "`tiktoken` `encode_ordinary` of the whole text",
}


def md_table(head, rows, left=1) -> str:
    """Every table of the report and the README: `head` and each row a list of cells (a short
    row, such as a failed run's, is padded); the first `left` columns left-aligned."""
    rows = [list(r) + [""] * (len(head) - len(r)) for r in rows]
    return "\n".join(["| " + " | ".join(head) + " |",
                      "|" + "---|" * left + "---:|" * (len(head) - left)]
                     + ["| " + " | ".join(r) + " |" for r in rows])


def _f(x, digits=2):
    return "–" if x is None else f"{x:.{digits}f}"


def _n(x):
    return "–" if x is None else f"{x:,}"


def _s(seconds):
    return f"{seconds:.3g} s"


def _ratio(x, ref):
    return None if x is None or not ref else x / ref


def _and(items):
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


def _wrap(text):
    return "\n".join(textwrap.wrap(text, 96))


def size_label(nbytes):
    return f"{nbytes / MB:.3g} MB"


def gb_label(nbytes):
    return f"{nbytes / GB:.3g} GB"


def failure(row):
    """The last line of a failed run's error, cut to fit a table cell."""
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
    """Records of a part that finished, by (kind, size, vocab) or, without a vocab, by kind and
    size."""
    return {_key(r) if "vocab" in r else (r["kind"], r["size"]): r for r in records
            if r.get("wall") is not None}


def memory_figures(t, b) -> dict:
    """Peak RSS per code unit of the distinct words (from the work bound `b` of the same corpus
    and vocabulary), and the RSS our process kept once the model was deleted."""
    r, units = t.get("result", {}), b and b.get("distinct_units")
    return {"words": b and b.get("distinct_words"), "units": units,
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
            **{k: t[k] for k in ("trainer", "kind", "size", "bytes", "vocab", "ok")},
            "error": t.get("error"), "load": t.get("load_before"), "wall": r.get("wall"),
            "cpu": r.get("cpu"), "runs": len(t.get("walls") or [0]), "rss": peak_kib(t) / 1024,
            "model_mib": r["model_rss_kib"] / 1024 if "model_rss_kib" in r else None,
            "vocab_got": r.get("vocab_got"),
            "wall_ratio": _ratio(r.get("wall"), ref and ref["result"]["wall"]),
            "rss_ratio": _ratio(peak_kib(t), ref and peak_kib(ref)),
            "sol_wall": s and s["wall"], "sol_ratio": _ratio(r.get("wall"), s and s["wall"]),
            "bound_wall": b and b["wall"], "bound_ratio": _ratio(r.get("wall"), b and b["wall"]),
            "per_k": per_k(t["trainer"], t),
            "per_k_ratio": _ratio(per_k(t["trainer"], t), per_k(REFERENCE, t)),
            **memory_figures(t, b)})
    return rows


def summary_rows(data):
    """Per corpus and vocabulary, our training against the fastest peer's."""
    rows = train_rows(data)
    out = []
    for ours in (r for r in rows if r["trainer"] == "ours" and r["ok"]):
        peers = [r for r in rows if r["trainer"] != "ours" and r["ok"] and _key(r) == _key(ours)]
        fastest = min(peers, key=lambda r: r["wall"]) if peers else {}
        out.append({**ours, "fastest": fastest.get("trainer"), "fastest_wall": fastest.get("wall"),
                    "peer_ratio": _ratio(ours["wall"], fastest.get("wall"))})
    return out


def encode_rows(data):
    """Median MB/s of each encoder and setup, against tiktoken's plain call on the same text,
    and our time against the encoding bound's (its C++ pass and the making of the list)."""
    rows = []
    for e in data["encode"]:
        row = {k: e[k] for k in ("encoder", "setup", "kind", "size", "vocab", "ok")}
        if e["ok"]:
            r = e["result"]
            wall, cpu = statistics.median(r["times"]), statistics.median(r.get("cpu_times") or [0])
            row.update(bytes=r["bytes"], wall=wall, mbps=r["bytes"] / MB / wall,
                       cpu_mbps=r["bytes"] / MB / cpu if cpu else None, tokens=r["tokens"],
                       us_per_call=1e6 * wall / r["calls"] if r.get("calls") else None,
                       calls=r.get("calls"), runs=len(r["times"]))
        else:
            row["error"] = e.get("error", "")
        rows.append(row)
    ref = {_key(r): r for r in rows
           if r["ok"] and r["encoder"] == "tiktoken" and r["setup"] in ("whole", "calls")}
    bound = {_key(b): b["result"] for b in data.get("encode_bound", []) if b["ok"]}
    for row in rows:
        row["ratio"] = _ratio(row.get("mbps"), ref.get(_key(row), {}).get("mbps"))
        b = bound.get(_key(row)) if row["encoder"] == "ours" else None
        row["bound_wall"] = b and statistics.median(b["times"]) + statistics.median(b["list_times"])
        row["bound_ratio"] = _ratio(row.get("wall"), row["bound_wall"])
    order = {"ours": 0, "tiktoken": 1, "tokendagger": 2, "tokenizers-1t": 3}
    rows.sort(key=lambda r: (r["vocab"], r["kind"] != "short", r["kind"], r["size"],
                             order.get(r["encoder"], 9), r["setup"]))
    return rows


def scale_rows(data):
    """Per vocabulary and size of the scale rows: the work bound, then each trainer, with the
    growth of wall time from the same program's previous size."""
    bound = _done(data.get("scale_bound", []))
    rows = [{"program": "work bound", **{k: b[k] for k in ("size", "bytes", "vocab", "ok")},
             "error": b.get("error"), "wall": b.get("wall"), "cpu": b.get("proc_cpu"),
             "rss": b["maxrss_kib"] / 1024, "words": b.get("distinct_words"),
             "units": b.get("distinct_units"), "kept_mib": None,
             "b_per_unit": _ratio(b["maxrss_kib"] * 1024, b.get("distinct_units"))}
            for b in data.get("scale_bound", [])]
    for t in data.get("scale", []):
        r = t.get("result", {})
        rows.append({"program": t["trainer"], **{k: t[k] for k in ("size", "bytes", "vocab", "ok")},
                     "error": t.get("error"), "wall": r.get("wall"), "cpu": r.get("cpu"),
                     "rss": peak_kib(t) / 1024,
                     **memory_figures(t, bound.get(("scale", t["size"], t["vocab"])))})
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
    """Median MB/s of each setup of the dataset part, each also divided by `model.encode` of the
    whole text at the same vocabulary, by wall and by CPU time."""
    rows = []
    for d in data.get("dataset", []):
        row = {k: d.get(k) for k in ("encoder", "setup", "workers", "vocab", "ok")}
        if d["ok"]:
            r = d["result"]
            wall, cpu = statistics.median(r["times"]), statistics.median(r["cpu_times"])
            row.update(bytes=r["bytes"], mbps=r["bytes"] / MB / wall, wall=wall, cpu=cpu,
                       tokens=r["tokens"], documents=r["documents"], runs=len(r["times"]),
                       load=d.get("load_before"), rss=peak_kib(d) / 1024)
        else:
            row["error"] = d.get("error", "")
        rows.append(row)
    whole = {r["vocab"]: r for r in rows if r["ok"] and r["setup"] == "whole"
             and r["encoder"] == "ours"}
    for row in rows:
        ref = whole.get(row["vocab"], {})
        row["vs_whole"] = _ratio(row.get("mbps"), ref.get("mbps"))
        row["vs_whole_cpu"] = _ratio(ref.get("cpu"), row.get("cpu"))  # same bytes: CPU MB/s
    order = list(DATASET_SETUPS)
    rows.sort(key=lambda r: (r["vocab"], order.index((r["encoder"], r["setup"])),
                             r["workers"] or 0))
    return rows


def _dataset_setup(r):
    workers = "1 process" if r["workers"] == 1 else f"{r['workers']} processes"
    return DATASET_SETUPS[(r["encoder"], r["setup"])].format(workers=workers)


def peers_run(data, part) -> list[str]:
    """The libraries other than ours that have records in `part`, in order."""
    key = "trainer" if part == "train" else "encoder"
    return list(dict.fromkeys(r[key].removesuffix("-1t") for r in data.get(part, [])
                              if r[key] != "ours"))


def load_line(data, machine, parts):
    loads = [r["load_before"] for part in parts for r in data.get(part, []) if "load_before" in r]
    if not loads:
        return "- Load: not recorded"
    line = (f"- Load average (1 min) when runs started: {min(loads):.1f} to {max(loads):.1f} "
            f"on {machine['cores']} cores")
    if max(loads) > 0.5 * machine["cores"]:
        line += (" — other work shared the machine, so wall times and throughputs are "
                 "pessimistic and noisy; CPU times and memory are less affected")
    return line


def run_lines(data, meta, parts, versions):
    """Where, how and with what a part of the results was measured."""
    return [f"- Machine: {meta['machine']['summary']}", f"- Command: `{meta['command']}`",
            f"- Run: {meta['started']} to {meta.get('finished', '(unfinished)')}"
            + (" (quick mode: small inputs)" if meta.get("quick") else ""),
            f"- Versions: lorvane {meta['versions']['lorvane']}"
            + "".join(f", {lib} {meta['versions'].get(lib, 'missing')}" for lib in versions),
            f"- Module: {meta.get('module')}", load_line(data, meta["machine"], parts)]


def write_report(data, out: Path, plots: Path):
    meta, v = data["meta"], data["meta"]["versions"]
    machine = meta["machine"]
    ran = list(dict.fromkeys(peers_run(data, "train") + peers_run(data, "encode")))
    code = meta.get("code_corpus")
    total = f"; {size_label(code['distinct_total_bytes'])} of distinct code in all" if code else ""
    kinds = [KIND_TEXT.get(k, k).format(total=total) for k in meta["kinds"]]
    lines = ["# Lorvane against peer tokenizers", "",
             *run_lines(data, meta, ("train", "sol", "quality", "encode", "decode", "crosscheck"),
                        ran),
             "- Corpora: " + "; ".join(kinds) + ".", "",
             "Rerun the command above, or redraw this file from `results/results.json` with "
             "`--report-only`.", "", "## Summary", "",
             "Training: our wall time (one thread) divided by the fastest peer's (its default "
             "threads), by the *speed of light* (C++: read, decode, split the words as training "
             "does, count the distinct ones) and by the *work bound* (that, then every pair of "
             "the distinct words counted and one progress bar drawn per merge). Medians of "
             "repeated runs up to 10 MB. Targets: ours ÷ fastest peer ≤ 0.333; ours ÷ work bound "
             "≤ 2 at 100 MB and ≤ 3 at 10 MB. † `youtokentome` keeps only a word-start mark of "
             "each whitespace run, so it does less work than the exact trainers (most on code).",
             "",
             md_table(["corpus", "vocab", "ours s", "fastest peer", "peer s",
                       "ours ÷ fastest peer", "speed of light s", "ours ÷ speed of light",
                       "work bound s", "ours ÷ work bound"],
                      [[f"{r['kind']} {size_label(r['bytes'])}", f"{r['vocab']:,}",
                        _f(r["wall"], 3), (r["fastest"] or "–")
                        + (" †" if r["fastest"] == "youtokentome" else ""),
                        _f(r["fastest_wall"], 3), _f(r["peer_ratio"], 3), _f(r["sol_wall"], 3),
                        _f(r["sol_ratio"]), _f(r["bound_wall"], 3), _f(r["bound_ratio"])]
                       for r in summary_rows(data)])]
    lines += memory_summary(data)
    enc = encode_rows(data)
    if main := [r for r in enc if r["ok"] and r["encoder"] == "ours"]:
        lines += ["", "Encoding: our MB/s divided by tiktoken's `encode_ordinary` on the same "
                  "text with the same tables (for short lines: both called once per line from "
                  "Python), and our time divided by the *encoding bound*'s: C++ that decodes the "
                  "text, cuts the words as our encoder does and copies each word's ids from a "
                  "hash table filled beforehand into a 16-bit array, plus `array('H').tolist()` "
                  "of as many ids in Python (short lines: each line a text, one list, no loop).",
                  "", md_table(["text", "vocab", "ours MB/s", "ours ÷ tiktoken", "bound MB/s",
                                "ours ÷ bound"],
                               [[f"{r['kind']} {size_label(r['bytes'])}", f"{r['vocab']:,}",
                                 f"{r['mbps']:.2f}", _f(r["ratio"]),
                                 _f(_ratio(r["bytes"] / MB, r["bound_wall"])),
                                 _f(r["bound_ratio"])] for r in main])]
    rows = train_rows(data)
    lines += [
        "", "## Training", "",
        "Wall and CPU (user+sys, all threads) of the training call alone (reading included, "
        "saving not) in a fresh interpreter; peak RSS is its `VmHWM` (import included, see the "
        "baseline below). *model MiB*: RSS our model holds after training and one encode; "
        "*kept MiB*: RSS kept once the model is deleted, beyond that before the import; *B / "
        "distinct unit*: peak RSS per code unit of the distinct words. *÷ tok*: against "
        "`tokenizers`; *tok/1k*: tokens per 1,000 characters of `holdout.txt` (English only; "
        "the byte-level and `youtokentome` trainers are timed only); *load*: 1-minute load "
        "average at the start.", "",
        md_table(["corpus", "vocab", "trainer", "threads", "runs", "wall s", "CPU s",
                  "peak RSS MiB", "model MiB", "kept MiB", "B / distinct unit", "wall ÷ tok",
                  "RSS ÷ tok", "wall ÷ SoL", "wall ÷ bound", "vocab reached", "tok/1k",
                  "tok/1k ÷ tok", "load"],
                 [[f"{r['kind']} {size_label(r['bytes'])}", f"{r['vocab']:,}", r["trainer"]]
                  + ([failure(r)] if not r["ok"] else [
                      "1 (starts none)" if r["trainer"] == "ours" else
                      "1" if TRAINERS[r["trainer"]][1] else
                      f"default ({_threads(r['trainer'], machine)})",
                      str(r["runs"]), _f(r["wall"], 3), _f(r["cpu"]), f"{r['rss']:.0f}",
                      _f(r["model_mib"], 1), _f(r["kept_mib"], 1), _f(r["b_per_unit"], 1),
                      _f(r["wall_ratio"]), _f(r["rss_ratio"]), _f(r["sol_ratio"]),
                      _f(r["bound_ratio"]), _n(r["vocab_got"]), _f(r["per_k"], 1),
                      _f(r["per_k_ratio"], 4), _f(r["load"], 1)])
                  for r in rows], left=4)]
    if sol := [s for s in data.get("sol", []) if s.get("wall")]:
        lines += ["", "Speed of light (median wall time, distinct / total words): " + "; ".join(
            f"{s['kind']} {size_label(s['bytes'])} {s['wall']:.3f} s, "
            f"{s['distinct_words']:,} / {s['words']:,}" for s in sol) + "."]
    if bound := [b for b in data.get("bound", []) if b.get("wall")]:
        lines += ["", "Work bound (median wall time; distinct words, their code units and "
                  "distinct pairs): " + "; ".join(
                      f"{b['kind']} {size_label(b['bytes'])} vocabulary {b['vocab']:,} "
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
        texts = ", ".join(f"{t['kind']} {size_label(t['bytes'])} `{t['name']}`"
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
                      [f"{r['vocab']:,}", f"{r['kind']} {size_label(r['bytes'])}", r["encoder"],
                       SETUP_TEXT.get(r["setup"], r["setup"]), f"{r['mbps']:.2f}",
                       _f(r["cpu_mbps"]), _f(r["us_per_call"], 1), f"{r['tokens']:,}",
                       _f(r["ratio"]), _f(r["bound_ratio"])] for r in enc], left=4)]
    if dec := [d for d in data.get("decode", []) if d["ok"]]:
        lines += ["", "Decoding (ours puts a space after every token, tiktoken's restores the "
                  "text): " + "; ".join(
                      f"{d['decoder']} at {d['vocab']:,} on `{d['text']}`: "
                      f"{d['result']['bytes'] / MB / d['result']['median']:.1f} MB/s of input "
                      "text" for d in dec) + "."]
    lines += dataset_section(data) + crosscheck_section(data["crosscheck"])
    lines += ["", "#" + (HERE / "peers.md").read_text(encoding="utf-8").rstrip()]
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")


def memory_summary(data):
    """Our trainer's memory on every corpus and scale size, where the results have it."""
    rows = [dict(r, label=f"{r['kind']} {size_label(r['bytes'])}") for r in train_rows(data)
            if r["trainer"] == "ours" and r["ok"]]
    rows += [dict(r, label=f"scale {gb_label(r['bytes'])}") for r in scale_rows(data)
             if r["program"] == "ours" and r["ok"]]
    if not any(r["units"] or r["kept_mib"] is not None for r in rows):
        return []
    return ["", "Memory of our trainer: peak RSS per code unit of the corpus's distinct words, "
            "and RSS kept once the model is deleted. Targets: ≤ 9 bytes per unit at 1 GB and "
            "10 GB, ≤ 16 MiB kept.", "",
            md_table(["corpus", "vocab", "distinct words", "distinct-word units",
                      "peak RSS MiB", "B / unit", "kept MiB"],
                     [[r["label"], f"{r['vocab']:,}", _n(r["words"]), _n(r["units"]),
                       f"{r['rss']:.0f}", _f(r["b_per_unit"], 1), _f(r["kept_mib"], 1)]
                      for r in rows])]


def linearity(rows) -> list[str]:
    """Per vocabulary: how our time and the work bound's grew from 1 GB (else the smallest size)
    to the largest, against the growth of the bytes, and how the distinct words grew."""
    out = []
    for vocab in sorted({r["vocab"] for r in rows}):
        at = {(r["program"], r["size"]): r for r in rows if r["vocab"] == vocab and r["ok"]}
        sizes = sorted({s for _, s in at})
        if len(sizes) < 2:
            continue
        top = sizes[-1]
        base = 1.0 if 1.0 in sizes and top > 1.0 else sizes[0]
        grew = [f"{whose} grew {at[(p, top)]['wall'] / at[(p, base)]['wall']:.2f}×"
                for p, whose in (("ours", "our training time"), ("work bound", "the work bound's"))
                if (p, base) in at and (p, top) in at]
        a, b = at.get(("work bound", base)), at.get(("work bound", top))
        first, last = a or at[("ours", base)], b or at[("ours", top)]
        x = last["bytes"] / first["bytes"]
        text = (f"From {gb_label(first['bytes'])} to {gb_label(last['bytes'])} at vocabulary "
                f"{vocab:,}, " + " and ".join(grew) + f", where linear time would grow {x:.3g}×")
        if a and b and a["words"] and b["words"]:
            words = b["words"] / a["words"]
            text += (f"; the distinct words grew {words:.2f}× "
                     f"(as n^{math.log(words) / math.log(x):.2f})")
        out.append(text + ".")
    return out


def scale_section(data):
    rows, meta = scale_rows(data), data.get("scale_meta")
    if not rows or not meta:
        return []
    info = meta.get("corpus", {})
    sizes = _and([f"{g:g}" for g in sorted({r["size"] for r in rows})])
    lines = [
        "", "## Scale", "", *run_lines(data, meta, ("scale",), []), "",
        f"Training once each on {sizes} GB of code (`bench/make_scale_corpus.py`): all the "
        f"distinct code ({size_label(info['real_bytes'])}), then copies of it with a share of "
        "the documents, falling with k, varied (identifiers suffixed `_k`, numbers with k "
        f"appended): {info['copies']} copies begun for {gb_label(info['bytes'])}, the distinct "
        "words growing about as n^0.6. Each size is a prefix of the largest. Distinct words and "
        "units are the work bound's; *× prev*: wall time against the same program's at the size "
        "before (*bytes × prev*: what linear time would give).", "",
        md_table(["size", "vocab", "program", "wall s", "CPU s", "peak RSS MiB",
                  "distinct words", "distinct-word units", "B / distinct unit", "kept MiB",
                  "s per GB", "× prev", "bytes × prev"],
                 [[gb_label(r["bytes"]), f"{r['vocab']:,}", r["program"]]
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
    text = meta["text"]
    return [
        "", "## Encoding a dataset", "", *run_lines(data, meta, ("dataset",), ["tiktoken"]), "",
        f"`{text['name']}` ({size_label(text['bytes'])} of English manuals not in `en.txt`), one "
        "document per line, with our largest English model. `lorvane.encode_dataset` runs end "
        "to end (its pool, reading, encoding, writing ids and index); the other setups get the "
        "lines or the text read before timing. MB/s: median of "
        f"{max(r.get('runs', 0) for r in rows)} runs; CPU s: every process and thread; peak "
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
    text = (f"first difference at rank {ml['first_difference']:,} "
            f"({ml['ours']:,} vs {ml['tokenizers']:,} merges)")
    return text + (f": ours {ml['example'][0]}, tokenizers {ml['example'][1]}"
                   if ml.get("example") else "")


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
    largest = max(r["size"] for r in rows)
    vocabs = sorted({r["vocab"] for r in rows})
    at = {(r["trainer"], r["vocab"]): r for r in rows if r["size"] == largest}
    small, big = vocabs[0], vocabs[-1]
    trainers = sorted((t for t in dict.fromkeys(r["trainer"] for r in rows)
                       if (t, small) in at and (t, big) in at), key=lambda t: t != "ours")
    peers = trainers[1:]
    machine = data["meta"]["machine"]
    head = [f"{size_label(at[('ours', small)]['bytes'])} of English, vocabulary {small:,}"] + [
        "Lorvane (1 thread)" if t == "ours" else f"`{t}` ({_threads(t, machine)} threads)"
        for t in trainers]
    table = [[what] + [fmt(at[(t, small)][key]) for t in trainers]
             for what, key, fmt in (("training wall time", "wall", _s),
                                    ("training CPU time", "cpu", _s),
                                    ("training peak memory", "rss", lambda m: f"{m:.0f} MiB"))]
    ratios = [r["peer_ratio"] for r in summary_rows(data) if r["peer_ratio"] is not None]
    fastest = collections.Counter(r["fastest"] for r in summary_rows(data)
                                  if r["peer_ratio"] is not None).most_common()
    text = (f"At {big:,} the same corpus took {_s(at[('ours', big)]['wall'])} against "
            + _and([f"{_s(at[(t, big)]['wall'])} for `{t}`" for t in peers])
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
    kinds = [names[k] for k in names if any(r["kind"] == k for r in whole)]
    sizes = sorted({r["size"] for r in whole})
    text += (f" Encoding {size_label(en['bytes'])} of English with the {big:,} model runs at "
             f"{en['mbps']:.1f} MB/s on one thread, {en['ratio']:.2f}x `tiktoken`'s "
             f"`encode_ordinary` with the same tables ({min(r['ratio'] for r in whole):.2f}x to "
             f"{max(r['ratio'] for r in whole):.2f}x over {_and(kinds)} texts of "
             f"{_and([f'{s:g}' for s in sizes])} MB at both vocabulary sizes)")
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
        ("training", peers), ("encoding", peers_run(data, "encode")),
        ("encoding a dataset", peers_run(data, "dataset") if dataset else [])) if names]
    return "\n\n".join([_wrap(f"Peers measured: {'; '.join(ran)}."), md_table(head, table),
                        _wrap(text)] + (dataset_readme(data, dataset) if dataset else []))


def dataset_readme(data, rows) -> list[str]:
    """The dataset part in the README: MB/s by setup and vocabulary, `encode_dataset` in one
    process against `model.encode` of the whole text, and the load the runs started at."""
    cores = data["dataset_meta"]["machine"]["cores"]
    vocabs = sorted({r["vocab"] for r in rows})
    at = {(r["encoder"], r["setup"], r["workers"], r["vocab"]): r for r in rows}
    setups = list(dict.fromkeys((r["encoder"], r["setup"], r["workers"]) for r in rows))
    table = [[_dataset_setup(dict(encoder=e, setup=s, workers=w))]
             + [_f(at.get((e, s, w, v), {}).get("mbps"), 1) for v in vocabs]
             for e, s, w in setups]
    table.append(["`lorvane.encode_dataset` in 1 process ÷ `model.encode` of the whole text, "
                  "by wall (by CPU) time"]
                 + [f"{_f(r.get('vs_whole'))} ({_f(r.get('vs_whole_cpu'))})"
                    for r in (at.get(("ours", "dataset", 1, v), {}) for v in vocabs)])
    loads = {v: [r["load"] for r in rows if r["vocab"] == v] for v in vocabs}
    table.append([f"load average on the {cores} cores when the runs started"]
                 + [f"{min(loads[v]):.1f} to {max(loads[v]):.1f}" for v in vocabs])
    head = [f"{size_label(rows[0]['bytes'])} of English manuals, one document per line, MB/s"]
    out = [md_table(head + [f"vocabulary {v:,}" for v in vocabs], table)]
    if max(max(x) for x in loads.values()) > 0.5 * cores:
        out.append(_wrap("Where other work kept the machine busy, the figures on several "
                         "processes say little about how the work divides over free cores."))
    return out


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
            ax.set_xscale("log")
            ax.set_yscale("log")
            for axis in (ax.xaxis, ax.yaxis):
                axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
            ax.set(xlabel="corpus size (MB)", ylabel=ylabel, title=f"{title}, vocabulary {vocab:,}")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend()
        fig.text(0.01, 0.01, footer, fontsize=7, va="bottom")
        fig.tight_layout(rect=(0, 0.08 + 0.02 * footer.count("\n"), 1, 1))
        fig.savefig(plots / fname, dpi=110)
        plt.close(fig)
