"""The report of a benchmark run: summary ratios, detailed tables, plots, bench/RESULTS.md and
the performance block of README.md, all drawn from the JSON document of the run. Only the plots
need more than the standard library (matplotlib)."""

from __future__ import annotations

import collections
import math
import os
import re
import statistics
import textwrap
from pathlib import Path

from peers import MB, REFERENCE, TRAINERS
from runs import GB, ROOT, peak_kib

README = ROOT / "README.md"
PERF_BEGIN = ("<!-- perf:begin: written by bench/report.py from bench/results/results.json; "
              "edit those, not this block -->")
PERF_END = "<!-- perf:end -->"

KIND_TEXT = {
    "en": "English technical text (prefixes of `en.txt`)",
    "code": "source code (the `.go` files of Go 1.19's sources, testdata folders left out, "
            "the `.java` files of JDK 17's `src.zip` and the `.py` files of the Python standard "
            "library, each file once in an order fixed by a hash of its path, so that every "
            "prefix mixes the three, cut at the size: nothing is repeated{total})",
    "cjk": "text without spaces (the CJK lines of `multi.txt`, whitespace removed in lines)",
    "longrun": "one word: 8,000 distinct characters, then 2^20 × `a`",
    "shortrun": "one word: 8,000 distinct characters, then 2^20 × `a` in runs of 64, each followed by the next distinct character (comparison row)",
    "short": "100,000 short lines (20–200 characters) of `holdout.txt`, one call per line",
}



# The code corpus of runs made before it was real code only (their meta has no "code_corpus").
OLD_CODE_TEXT = ("source code (the Python standard library's `.py` files in path order, repeated "
                 "up to the size; copy k title-cases every 7th word of a line from position k "
                 "mod 7 and appends k to every number, so each copy adds new words)")
YTTM_NOTE = ("`youtokentome` cuts words at whitespace and keeps only a word-start mark, "
             "dropping every run of spaces, tabs and line ends, so on code, whose indentation is "
             "such runs, it counts fewer and shorter words and does less work than the exact "
             "trainers (marked † where it is the fastest peer).")


def kind_text(kind, meta) -> str:
    if kind != "code":
        return KIND_TEXT.get(kind, kind)
    code = meta.get("code_corpus")
    if not code:
        return OLD_CODE_TEXT
    total = f"; {size_label(code['distinct_total_bytes'])} of distinct code in all"
    return KIND_TEXT["code"].format(total=total)


def failure(row) -> str:
    """The last line of a failed run's error, cut to fit a table cell."""
    lines = (row["error"] or "").strip().splitlines()
    return lines[-1][:120] if lines else ""

def size_label(nbytes: int) -> str:
    return f"{nbytes / MB:.3g} MB"


def _f(x, digits=2):
    return "–" if x is None else f"{x:.{digits}f}"


def _ratio(x, ref):
    return None if x is None or not ref else x / ref


def _thread_count(trainer, machine) -> int:
    lib, threads = TRAINERS[trainer]
    if lib == "lorvane_api" or threads:
        return 1
    return 16 if lib == "sentencepiece" else machine["cores_usable"]


def _threads_label(trainer, machine):
    lib, threads = TRAINERS[trainer]
    if lib == "lorvane_api":
        return "1 (starts none)"
    return "1" if threads else f"default ({_thread_count(trainer, machine)})"


def _key(r):
    return (r["kind"], r["size"], r["vocab"])


def train_rows(data):
    quality = {(q["trainer"], q["size"], q["vocab"]): q for q in data["quality"] if q["ok"]}
    index = {(t["trainer"], *_key(t)): t for t in data["train"]}
    sol = {(s["kind"], s["size"]): s for s in data.get("sol", []) if s.get("wall")}
    bound = bound_index(data.get("bound", []))
    rows = []
    for t in data["train"]:
        ref = index.get((REFERENCE, *_key(t)))
        ref_ok = ref and ref["ok"]
        q = quality.get((t["trainer"], t["size"], t["vocab"])) if t["kind"] == "en" else None
        qref = quality.get((REFERENCE, t["size"], t["vocab"])) if t["kind"] == "en" else None
        per_k = q and 1000 * q["result"]["tokens"] / q["result"]["chars"]
        per_k_ref = qref and 1000 * qref["result"]["tokens"] / qref["result"]["chars"]
        r = t.get("result", {})
        s = sol.get((t["kind"], t["size"]))
        b = bound.get(_key(t))
        rows.append({
            "trainer": t["trainer"], "kind": t["kind"], "size": t["size"], "bytes": t["bytes"],
            "vocab": t["vocab"], "ok": t["ok"], "error": t.get("error"),
            "load": t.get("load_before"), "wall": r.get("wall"), "cpu": r.get("cpu"),
            "runs": len(t.get("walls") or [0]), "rss": peak_kib(t) / 1024,
            "model_mib": r["model_rss_kib"] / 1024 if "model_rss_kib" in r else None,
            "vocab_got": r.get("vocab_got"),
            "wall_ratio": _ratio(r.get("wall"), ref_ok and ref["result"]["wall"]),
            "rss_ratio": _ratio(peak_kib(t), ref_ok and peak_kib(ref)),
            "sol_ratio": _ratio(r.get("wall"), s and s["wall"]),
            "bound_wall": b and b["wall"], "bound_ratio": _ratio(r.get("wall"), b and b["wall"]),
            "per_k": per_k, "per_k_ratio": _ratio(per_k, per_k_ref),
            **memory_figures(t, b),
        })
    return rows


def bound_index(records):
    """The work-bound records that finished, by (kind, size, vocab); the scale records have no
    kind and count as "scale"."""
    return {(b.get("kind", "scale"), b["size"], b["vocab"]): b for b in records
            if b.get("wall") is not None}


def memory_figures(t, b) -> dict:
    """Peak RSS per code unit of the distinct words (units from the work bound of the same
    corpus and vocabulary), and the RSS our process kept once the model was deleted."""
    r = t.get("result", {})
    units = b and b.get("distinct_units")
    return {"words": b and b.get("distinct_words"), "units": units,
            "b_per_unit": _ratio(peak_kib(t) * 1024, units) if t["ok"] else None,
            "kept_mib": r["kept_after_kib"] / 1024 if "kept_after_kib" in r else None}


def summary_rows(data):
    """Per corpus and vocabulary: our training time against the fastest peer's and against the
    speed of light."""
    rows = train_rows(data)
    sol = {(s["kind"], s["size"]): s for s in data.get("sol", []) if s.get("wall")}
    out = []
    for ours in (r for r in rows if r["trainer"] == "ours" and r["ok"]):
        peers = [r for r in rows if r["trainer"] != "ours" and r["ok"]
                 and (r["kind"], r["size"], r["vocab"]) == (ours["kind"], ours["size"],
                                                            ours["vocab"])]
        fastest = min(peers, key=lambda r: r["wall"]) if peers else None
        s = sol.get((ours["kind"], ours["size"]))
        out.append({**ours, "fastest": fastest and fastest["trainer"],
                    "fastest_does_less": bool(fastest) and fastest["trainer"] == "youtokentome",
                    "fastest_wall": fastest and fastest["wall"],
                    "peer_ratio": _ratio(ours["wall"], fastest and fastest["wall"]),
                    "sol_wall": s and s["wall"]})
    return out


def encode_rows(data):
    """Median MB/s of each encoder and setup; ratios of ours against tiktoken's plain call."""
    rows = []
    for e in data["encode"]:
        if not e["ok"]:
            rows.append({**{k: e[k] for k in ("encoder", "setup", "kind", "size", "vocab")},
                         "ok": False, "error": e.get("error", "")})
            continue
        r = e["result"]
        wall = statistics.median(r["times"])
        cpu = statistics.median(r.get("cpu_times") or [0])
        rows.append({**{k: e[k] for k in ("encoder", "setup", "kind", "size", "vocab")},
                     "ok": True, "bytes": r["bytes"], "mbps": r["bytes"] / MB / wall,
                     "cpu_mbps": r["bytes"] / MB / cpu if cpu else None, "tokens": r["tokens"],
                     "us_per_call": 1e6 * wall / r["calls"] if r.get("calls") else None,
                     "calls": r.get("calls"),
                     "runs": len(r["times"]), "model_size": e["model_size"]})
    ref = {(r["kind"], r["size"], r["vocab"]): r for r in rows
           if r["ok"] and r["encoder"] == "tiktoken" and r["setup"] in ("whole", "calls")}
    for row in rows:
        other = ref.get((row["kind"], row["size"], row["vocab"]))
        row["ratio"] = _ratio(row.get("mbps"), other and other["mbps"])
    order = {"ours": 0, "tiktoken": 1, "tokendagger": 2, "tokenizers-1t": 3}
    rows.sort(key=lambda r: (r["vocab"], r["kind"] != "short", r["kind"], r["size"],
                             order.get(r["encoder"], 9), r["setup"]))
    return rows


SETUP_TEXT = {
    "whole": "whole text, one call",
    "lines": "`encode_batch_fast` over line pieces",
    "batch": "`encode_ordinary_batch` over line pieces (threads; for information)",
    "calls": "Python loop, one call per line",
}


def _corpus_label(r):
    return f"{r['kind']} {size_label(r['bytes'])}"


def write_report(data, out: Path, plots: Path):
    meta = data["meta"]
    machine = meta["machine"]
    v = meta["versions"]
    rel_plots = os.path.relpath(plots, out.parent)
    ran = list(dict.fromkeys(peers_run(data, "train") + peers_run(data, "encode")))
    peers_text = ", ".join(f"{lib} {v.get(lib, 'missing')}" for lib in ran)
    yttm = "youtokentome" in ran
    lines = [
        "# Lorvane against peer tokenizers",
        "",
        f"- Machine: {machine['summary']}",
        f"- Command: `{meta['command']}`",
        f"- Run: {meta['started']} to {meta.get('finished', '(unfinished)')}"
        + (" (quick mode: small inputs)" if meta.get("quick") else ""),
        f"- Versions: lorvane {v['lorvane']}, {peers_text}",
        f"- Module: {meta.get('module')}",
        load_line(data, machine),
        "- Corpora: " + "; ".join(kind_text(k, meta) for k in meta["kinds"]) + ".",
    ]
    if yttm:
        lines.append(f"- `youtokentome` {v.get('youtokentome')} trains with its default threads "
                     "(all cores); it drops whitespace runs, so on code it does less work than "
                     "the exact trainers.")
    summary = summary_rows(data)
    with_bound = any(r["bound_wall"] for r in summary)
    lines += [
        "",
        "Rerun the command above, or redraw this file from `results/results.json` with "
        "`--report-only`.",
        "",
        "## Summary",
        "",
        "Training: our wall time divided by the fastest peer's on the same corpus and "
        "vocabulary (each peer at its default threads; ours is single-threaded), and by the "
        "*speed of light*: a C++ program that only reads the file, decodes UTF-8, splits "
        "the words as training does and counts the distinct ones in our word table"
        + (", and by the *work bound*: the speed of light's work, then every adjacent pair of "
           "the distinct words counted and one progress bar drawn per merge, which no exact "
           "trainer can skip" if with_bound else "")
        + ". Medians of repeated runs where a run is cheap (corpora up to 10 MB). Targets: "
        "ours ÷ fastest peer ≤ 0.333" + ("; ours ÷ work bound ≤ 2 at 100 MB and ≤ 3 at 10 MB"
                                         if with_bound else "") + ".",
        "",
        "| corpus | vocab | ours s | fastest peer | peer s | ours ÷ fastest peer | "
        "speed of light s | ours ÷ speed of light |"
        + (" work bound s | ours ÷ work bound |" if with_bound else ""),
        "|---|---|---|---|---|---|---|---|" + ("---|---|" if with_bound else ""),
    ]
    for r in summary:
        lines.append(f"| {_corpus_label(r)} | {r['vocab']:,} | {_f(r['wall'], 3)} | "
                     f"{(r['fastest'] or '–') + (' †' if r['fastest_does_less'] else '')} | "
                     f"{_f(r['fastest_wall'], 3)} | "
                     f"{_f(r['peer_ratio'], 3)} | {_f(r['sol_wall'], 3)} | "
                     f"{_f(r['sol_ratio'], 2)} |"
                     + (f" {_f(r['bound_wall'], 3)} | {_f(r['bound_ratio'], 2)} |"
                        if with_bound else ""))
    if yttm:
        lines += ["", YTTM_NOTE]
    lines += memory_summary(data)
    enc = encode_rows(data)
    main = [r for r in enc if r["ok"] and r["encoder"] == "ours"]
    if main:
        lines += ["", "Encoding: our MB/s divided by tiktoken's `encode_ordinary` on the same "
                  "text with the same tables (for short lines: both called once per line from "
                  "Python).", "",
                  "| text | vocab | ours MB/s | ours ÷ tiktoken |", "|---|---|---|---|"]
        for r in main:
            lines.append(f"| {r['kind']} {size_label(r['bytes'])} | {r['vocab']:,} | "
                         f"{r['mbps']:.2f} | {_f(r['ratio'])} |")
    lines += [
        "",
        "## Training",
        "",
    ]
    rows = train_rows(data)
    byte_level = [t for t in ("rustbpe", "bpeasy") if t in ran]
    with_mem = any(r.get("kept_mib") is not None or r.get("b_per_unit") for r in rows)
    lines += [
        "Wall and CPU (user+sys, all threads) are timed in a fresh child interpreter around "
        "the training call alone (reading the corpus included, saving the model not). Peak RSS "
        "is the child's own high-water mark (`VmHWM`): the whole interpreter, library import "
        "included (see the import baseline below). *model MiB* is the resident memory our "
        "trained model still holds after training and one encode (RSS then minus RSS before "
        "the model was made)."
        + (" *kept MiB* is what the process still holds once the model is deleted and "
           "collected (RSS then minus RSS before the module was imported): memory that nothing "
           "uses, kept from training; *B / distinct unit* is peak RSS in bytes divided by the "
           "code units of the corpus's distinct words (counted by the work bound)."
           if with_mem else "")
        + " Ratios *÷ tok* are against `tokenizers` at its default threads; "
        "*÷ SoL* against the speed of light" + ("; *÷ bound* against the work bound"
                                                 if with_bound else "")
        + "; *tok/1k* is tokens per 1,000 characters of "
        "`holdout.txt` (English corpora only"
        + (f"; {_and([f'`{t}`' for t in byte_level])} "
           f"{'are' if len(byte_level) > 1 else 'is'} timed only, and learn byte-level merges, "
           "so their vocabularies are not ours" if byte_level else "")
        + ("; `youtokentome` is timed only, and skips whitespace runs" if yttm else "")
        + "); *load* is the 1-minute load average when the run started.",
        "",
        "| corpus | vocab | trainer | threads | runs | wall s | CPU s | peak RSS MiB | "
        "model MiB |" + (" kept MiB | B / distinct unit |" if with_mem else "")
        + " wall ÷ tok | RSS ÷ tok | wall ÷ SoL |" + (" wall ÷ bound |" if with_bound else "")
        + " vocab reached | tok/1k | tok/1k ÷ tok | load |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
        + "---|" * (2 * with_mem + with_bound),
    ]
    for r in rows:
        if not r["ok"]:
            lines.append(f"| {_corpus_label(r)} | {r['vocab']:,} | {r['trainer']} | | | "
                         f"failed: {failure(r)} |||||||||||"
                         + "|" * (2 * with_mem + with_bound))
            continue
        mem = f" {_f(r['kept_mib'], 1)} | {_f(r['b_per_unit'], 1)} |" if with_mem else ""
        vs_bound = f" {_f(r['bound_ratio'])} |" if with_bound else ""
        lines.append(
            f"| {_corpus_label(r)} | {r['vocab']:,} | {r['trainer']} | "
            f"{_threads_label(r['trainer'], machine)} | {r['runs']} | {_f(r['wall'], 3)} | "
            f"{_f(r['cpu'])} | {r['rss']:.0f} | {_f(r['model_mib'], 1)} |{mem} "
            f"{_f(r['wall_ratio'])} | {_f(r['rss_ratio'])} | {_f(r['sol_ratio'])} |{vs_bound} "
            f"{r['vocab_got']:,} | {_f(r['per_k'], 1)} | {_f(r['per_k_ratio'], 4)} | "
            f"{_f(r['load'], 1)} |")
    sol = [s for s in data.get("sol", []) if s.get("wall")]
    if sol:
        lines += ["", "Speed of light (median wall time of the program, its distinct and "
                  "total words): " + "; ".join(
                      f"{s['kind']} {size_label(s['bytes'])} {s['wall']:.3f} s, "
                      f"{s['distinct_words']:,} / {s['words']:,}" for s in sol) + "."]
    bound = [b for b in data.get("bound", []) if b.get("wall")]
    if bound:
        lines += ["", "Work bound (median wall time of one program that does the speed of "
                  "light's work, then counts every adjacent pair of the distinct words weighted "
                  "by their counts and draws one flushed progress bar per merge, as training "
                  "does; its distinct words, their code units and distinct pairs): " + "; ".join(
                      f"{b['kind']} {size_label(b['bytes'])} vocabulary {b['vocab']:,} "
                      f"{b['wall']:.3f} s, {b['distinct_words']:,} words, "
                      f"{b['distinct_units']:,} units, {b['pairs']:,} pairs" for b in bound)
                  + "."]
    base = [b for b in data["baseline"] if b["ok"]]
    if base:
        lines += ["", "Import baseline (peak RSS of an interpreter that only imports the "
                  "library): " + ", ".join(f"{b['lib']} {peak_kib(b) / 1024:.0f} MiB"
                                           for b in base) + "."]
    if any(r["kind"] == "en" for r in train_rows(data)):
        lines += ["", f"![training time]({rel_plots}/train_time.png)",
                  f"![training memory]({rel_plots}/train_memory.png)"]
    lines += scale_section(data)
    lines += ["", "## Encoding and decoding", ""]
    if enc:
        texts = ", ".join(f"{t['kind']} {size_label(t['bytes'])} `{t['name']}`"
                          for t in meta["encode_texts"])
        first_ok = next((r for r in enc if r["ok"]), None)
        lines += [
            "Every encoder uses the tables of our model trained on the largest corpus of the "
            f"same kind in this run, so they do the same work. Texts: {texts} (English 1 MB: "
            "the start of `holdout.txt`; the others: the start of the kind's corpus), with tab, "
            "line feed and carriage return turned into spaces before timing. MB/s is input "
            "bytes per second of wall time, median of "
            f"{first_ok['runs'] if first_ok else 0} runs in one process; *CPU MB/s* divides by "
            "the call's CPU time (all threads). `tokenizers` runs on one thread "
            "(`RAYON_NUM_THREADS=1`, `TOKENIZERS_PARALLELISM=false`).",
            "",
            "| vocab | text | encoder | setup | MB/s | CPU MB/s | µs per call | tokens | "
            "÷ tiktoken |",
            "|---|---|---|---|---|---|---|---|---|",
        ]
        for r in enc:
            if not r["ok"]:
                lines.append(f"| {r['vocab']:,} | {r['kind']} | {r['encoder']} | {r['setup']} "
                             f"| failed: {failure(r)} |||||")
                continue
            lines.append(f"| {r['vocab']:,} | {r['kind']} {size_label(r['bytes'])} | "
                         f"{r['encoder']} | {SETUP_TEXT.get(r['setup'], r['setup'])} | "
                         f"{r['mbps']:.2f} | {_f(r['cpu_mbps'])} | "
                         f"{_f(r['us_per_call'], 1)} | {r['tokens']:,} | {_f(r['ratio'])} |")
    dec = [d for d in data.get("decode", []) if d["ok"]]
    if dec:
        lines += ["", "Decoding (for information; ours puts a space after every token and "
                  "shows the marker, tiktoken's restores the text): " + "; ".join(
                      f"{d['decoder']} at {d['vocab']:,} on `{d['text']}`: "
                      f"{d['result']['bytes'] / MB / d['result']['median']:.1f} MB/s of input "
                      "text" for d in dec) + "."]
    lines += dataset_section(data)
    lines += ["", "## Cross-check with tokenizers", ""]
    checks = [c for c in data["crosscheck"]]
    if checks:
        lines += [
            "`tokenizers`' BPE model loaded with our vocabulary and merges (merges in rank "
            "order) encodes every distinct word of `holdout.txt` (cut as our reader cuts, the "
            "leading space as the marker); our `encode` encodes the same word. *whole = words* "
            "says whether our `encode` of the whole normalized text equals the concatenation "
            "of its per-word results. Characters outside our alphabet are dropped by us and by "
            "tokenizers alike; tiktoken, built from the same tables, falls back to bytes for "
            "them, so its differences are counted on words whose characters are all known. Its "
            "algorithm is not merge-list BPE (see the setup notes). The last column compares "
            "our merge list (text pairs in rank order) with the one `tokenizers` learned from "
            "the same corpus in this run.",
            "",
            "| model | words | distinct | tokenizers: differing distinct | differing words | "
            "whole = words | words with chars outside our alphabet (distinct) | tiktoken: "
            "differing distinct, all chars known | differing words | merges vs tokenizers' "
            "training |",
            "|---|---|---|---|---|---|---|---|---|---|",
        ]
        for c in checks:
            if not c["ok"]:
                lines.append(f"| ours {c['size']:g} MB, {c['vocab']} | failed ||||||||| ")
                continue
            r = c["result"]
            lines.append(
                f"| ours {c['size']:g} MB, {c['vocab']:,} | {r['words']:,} | {r['distinct']:,} "
                f"| {r['tokenizers_diff_distinct']} | {r['tokenizers_diff_words']} | "
                f"{'yes' if r['whole_equals_per_word'] else 'NO'} | "
                f"{r['unknown_char_words']:,} ({r['unknown_char_distinct']:,}) | "
                f"{r['tiktoken_known_diff_distinct']} | {r['tiktoken_known_diff_words']} | "
                f"{merge_list_text(r.get('merge_list'))} |")
        symbols = {}
        examples = {}
        for c in checks:
            if not c["ok"]:
                continue
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
                      f"{', '.join(peer_only) or 'none'} (code points above U+FFFF, which we "
                      "cut to 16 bits)."]
        if examples:
            lines += ["", "Differing words:"]
            for (tag, word), (ex, labels) in examples.items():
                lines.append(f"- {tag}: `{word}` ×{ex['count']} ({', '.join(labels)}): ours "
                             f"{ex['ours_text']}")
    lines += ["", setup_notes(ran + peers_run(data, "dataset"))]
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")


def memory_summary(data):
    """The memory table of the Summary: our trainer on every corpus and every scale size, with
    the distinct words and their code units (from the work bound of the same corpus and
    vocabulary), peak RSS, bytes per unit and the RSS kept once the model is gone. Left out
    when the results have neither units nor the kept figure."""
    rows = [dict(r, label=_corpus_label(r)) for r in train_rows(data)
            if r["trainer"] == "ours" and r["ok"]]
    rows += [dict(r, label=f"scale {gb_label(r['bytes'])}") for r in scale_rows(data)
             if r["program"] == "ours" and r["ok"]]
    if not any(r["units"] or r["kept_mib"] is not None for r in rows):
        return []
    lines = ["", "Memory of our trainer: peak RSS (the whole process) in bytes per code unit "
             "of the corpus's distinct words, and the RSS the process keeps after the model is "
             "deleted (beyond what it had before the import). Targets: ≤ 9 bytes per unit at "
             "1 GB and 10 GB, ≤ 16 MiB kept.", "",
             "| corpus | vocab | distinct words | distinct-word units | peak RSS MiB | "
             "B / unit | kept MiB |", "|---|---|---|---|---|---|---|"]
    for r in rows:
        lines.append(f"| {r['label']} | {r['vocab']:,} | {_n(r['words'])} | {_n(r['units'])} | "
                     f"{r['rss']:.0f} | {_f(r['b_per_unit'], 1)} | {_f(r['kept_mib'], 1)} |")
    return lines


def _n(x):
    return "–" if x is None else f"{x:,}"


def gb_label(nbytes: int) -> str:
    return f"{nbytes / GB:.3g} GB"


def scale_rows(data):
    """Per vocabulary and size of the scale rows: the work bound, then each trainer; wall, CPU,
    peak RSS, distinct words and units (the bound's), bytes per unit, seconds per GB, and the
    growth of wall time from the program's previous size."""
    bound = bound_index(data.get("scale_bound", []))
    rows = []
    for b in data.get("scale_bound", []):
        rows.append({"program": "work bound", "size": b["size"], "bytes": b["bytes"],
                     "vocab": b["vocab"], "ok": b["ok"], "error": b.get("error"),
                     "wall": b.get("wall"), "cpu": b.get("proc_cpu"),
                     "rss": b["maxrss_kib"] / 1024, "words": b.get("distinct_words"),
                     "units": b.get("distinct_units"), "kept_mib": None,
                     "b_per_unit": _ratio(b["maxrss_kib"] * 1024, b.get("distinct_units"))})
    for t in data.get("scale", []):
        r = t.get("result", {})
        rows.append({"program": t["trainer"], "size": t["size"], "bytes": t["bytes"],
                     "vocab": t["vocab"], "ok": t["ok"], "error": t.get("error"),
                     "wall": r.get("wall"), "cpu": r.get("cpu"), "rss": peak_kib(t) / 1024,
                     **memory_figures({**t, "kind": "scale"},
                                      bound.get(("scale", t["size"], t["vocab"])))})
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


def linearity(rows) -> list[str]:
    """Per vocabulary: how our time and the work bound's grew from 1 GB (else the smallest size)
    to the largest size, against the growth of the bytes (linear time), and how the distinct
    words grew."""
    out = []
    for vocab in sorted({r["vocab"] for r in rows}):
        at = {(r["program"], r["size"]): r for r in rows if r["vocab"] == vocab and r["ok"]}
        sizes = sorted({s for _, s in at})
        if len(sizes) < 2:
            continue
        top = sizes[-1]
        base = 1.0 if 1.0 in sizes and top > 1.0 else sizes[0]
        grew = []
        for program, whose in (("ours", "our training time"), ("work bound", "the work bound's")):
            a, b = at.get((program, base)), at.get((program, top))
            if a and b:
                grew.append(f"{whose} grew {b['wall'] / a['wall']:.2f}×")
        a, b = at.get(("work bound", base)), at.get(("work bound", top))
        x = (b or at[("ours", top)])["bytes"] / (a or at[("ours", base)])["bytes"]
        text = (f"From {gb_label((a or at[('ours', base)])['bytes'])} to "
                f"{gb_label((b or at[('ours', top)])['bytes'])} at vocabulary {vocab:,}, "
                + " and ".join(grew) + f", where linear time would grow {x:.3g}×")
        if a and b and a["words"] and b["words"]:
            words = b["words"] / a["words"]
            text += (f"; the distinct words grew {words:.2f}× (as n^"
                     f"{math.log(words) / math.log(x):.2f})")
        out.append(text + ".")
    return out


def scale_section(data):
    rows = scale_rows(data)
    meta = data.get("scale_meta")
    if not rows or not meta:
        return []
    v, info = meta["versions"], meta.get("corpus", {})
    sizes = sorted({r["size"] for r in rows})
    lines = [
        "", "## Scale", "",
        f"- Machine: {meta['machine']['summary']}",
        f"- Command: `{meta['command']}`",
        f"- Run: {meta['started']} to {meta.get('finished', '(unfinished)')}",
        f"- Versions: lorvane {v['lorvane']}",
        f"- Module: {meta.get('module')}",
        load_line(data, meta["machine"], ("scale",)),
        "",
        f"Training on source code of {_and([f'{g:g}' for g in sizes])} GB whose distinct "
        "words keep growing as those of real text do (past the real code, about as n^0.6), "
        "each size once, in a "
        "fresh process. The corpus "
        "(`bench/make_scale_corpus.py`) starts with all the distinct code of the code corpus"
        + (f" ({size_label(info['real_bytes'])})" if info.get("real_bytes") else "")
        + ", nothing repeated; only past it, and only in these rows, is text repeated: copy k "
        "repeats the code, with a share of the documents that falls with k varied (every "
        "identifier but the keywords suffixed `_k`, every number with k appended), so that each "
        "copy adds new words at a falling rate"
        + (f" ({info['copies']} {'copy' if info['copies'] == 1 else 'copies'} begun for "
           f"{gb_label(info['bytes'])})"
           if info.get("copies") else "")
        + ". Every size is a prefix of the largest, cut at a line end. Distinct words and "
        "their code units are the work bound's; *B / distinct unit* is peak RSS in bytes per "
        "such unit; *× prev* is the wall time against the same program's at the size before "
        "(*bytes × prev* the growth of the bytes: linear time grows as much).",
        "",
        "| size | vocab | program | wall s | CPU s | peak RSS MiB | distinct words | "
        "distinct-word units | B / distinct unit | kept MiB | s per GB | × prev | "
        "bytes × prev |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        if not r["ok"]:
            lines.append(f"| {gb_label(r['bytes'])} | {r['vocab']:,} | {r['program']} | "
                         f"failed: {failure(r)} |||||||||")
            continue
        lines.append(f"| {gb_label(r['bytes'])} | {r['vocab']:,} | {r['program']} | "
                     f"{_f(r['wall'], 1)} | {_f(r['cpu'], 1)} | {r['rss']:.0f} | "
                     f"{_n(r['words'])} | {_n(r['units'])} | {_f(r['b_per_unit'], 1)} | "
                     f"{_f(r['kept_mib'], 1)} | {_f(r['s_per_gb'], 1)} | {_f(r['growth'])} | "
                     f"{_f(r['bytes_growth'])} |")
    sentences = linearity(rows)
    if sentences:
        lines += ["", "Linearity: " + " ".join(sentences)]
    return lines


# The setups of the dataset part, in the order the tables give them: (encoder, setup) -> label,
# where {workers} is the number of processes.
DATASET_SETUPS = {
    ("ours", "dataset"): "`lorvane.encode_dataset`, file to `.bin`/`.idx`, {workers}",
    ("ours", "batch"): "`lorvane.encode_batch` over the lines, {workers}",
    ("ours", "whole"): "`model.encode` of the whole text as one string",
    ("tiktoken", "batch"): "`tiktoken` `encode_ordinary_batch` over the lines, its threads",
    ("tiktoken", "whole"): "`tiktoken` `encode_ordinary` of the whole text",
}


def _dataset_setup(r):
    workers = "1 process" if r["workers"] == 1 else f"{r['workers']} processes"
    return DATASET_SETUPS[(r["encoder"], r["setup"])].format(workers=workers)


def dataset_rows(data):
    """Median MB/s of each setup of the dataset part, in the order of DATASET_SETUPS, each also
    divided by `model.encode` of the whole text at the same vocabulary, by wall and by CPU
    time (the latter less swayed by other work on a shared machine)."""
    rows = []
    for d in data.get("dataset", []):
        row = {k: d.get(k) for k in ("encoder", "workers", "vocab")}
        row["setup"] = d.get("setup") or ("dataset" if d["encoder"] == "ours" else "batch")
        if d["ok"]:
            r = d["result"]
            wall, cpu = statistics.median(r["times"]), statistics.median(r["cpu_times"])
            row.update(ok=True, bytes=r["bytes"], mbps=r["bytes"] / MB / wall, wall=wall,
                       cpu=cpu, tokens=r["tokens"], documents=r["documents"],
                       runs=len(r["times"]), load=d.get("load_before"), rss=peak_kib(d) / 1024)
        else:
            row.update(ok=False, error=d.get("error", ""))
        rows.append(row)
    whole = {r["vocab"]: r for r in rows
             if r["ok"] and (r["encoder"], r["setup"]) == ("ours", "whole")}
    for row in rows:
        ref = whole.get(row["vocab"], {})
        row["vs_whole"] = _ratio(row.get("mbps"), ref.get("mbps"))
        row["vs_whole_cpu"] = _ratio(ref.get("cpu"), row.get("cpu"))  # same bytes: CPU MB/s
    order = list(DATASET_SETUPS)
    rows.sort(key=lambda r: (r["vocab"], order.index((r["encoder"], r["setup"])),
                             r["workers"] or 0))
    return rows


def dataset_section(data):
    rows = dataset_rows(data)
    meta = data.get("dataset_meta")
    if not rows or not meta:
        return []
    text, v = meta["text"], meta["versions"]
    lines = [
        "", "## Encoding a dataset", "",
        f"- Machine: {meta['machine']['summary']}",
        f"- Command: `{meta['command']}`",
        f"- Run: {meta['started']} to {meta.get('finished', '(unfinished)')}",
        f"- Versions: lorvane {v['lorvane']}, tiktoken {v.get('tiktoken', 'missing')}",
        f"- Module: {meta.get('module')}",
        load_line(data, meta["machine"], ("dataset",)),
        "",
        f"The text `{text['name']}` ({size_label(text['bytes'])}: English manuals from Debian "
        "packages that `en.txt` does not use, in the form of `holdout.txt`) as a dataset of one "
        "document per line, encoded with our English model trained on the largest `en` corpus "
        "of the run. `lorvane.encode_dataset` runs end to end: the process pool it starts, "
        "reading the file, encoding, and writing the ids (`uint16`, the separator between "
        "documents) and the offsets index. `lorvane.encode_batch` and tiktoken's "
        "`encode_ordinary_batch` get the lines as a list of `str`, and the whole-text calls the "
        "text as one `str`, read before timing (for tiktoken, which has the same tables as ours "
        "as the setup notes say, with tab, line feed and carriage return turned into spaces). "
        "MB/s is input bytes per second of wall time, median of "
        f"{max(r.get('runs', 0) for r in rows)} runs; CPU s counts every process and thread; "
        "peak RSS is the measuring process's own "
        "(our workers have theirs); *÷ whole* divides by `model.encode` of the whole text at "
        "the same vocabulary, by wall time and (in brackets) by CPU time; *tokens* leaves out "
        "our separators.",
        "",
        "| vocab | setup | MB/s | wall s | CPU s | peak RSS MiB | ÷ whole | tokens | documents "
        "| load |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        if not r["ok"]:
            lines.append(f"| {r['vocab']:,} | {_dataset_setup(r)} | failed: {failure(r)} "
                         "|||||||")
            continue
        lines.append(f"| {r['vocab']:,} | {_dataset_setup(r)} | {r['mbps']:.2f} | "
                     f"{r['wall']:.2f} | {r['cpu']:.2f} | {r['rss']:.0f} | {_f(r['vs_whole'])} "
                     f"({_f(r['vs_whole_cpu'])}) "
                     f"| {r['tokens']:,} | {r['documents']:,} | {_f(r['load'], 1)} |")
    return lines


# ---------------------------------------------------------------------------------------------
# The performance block of README.md: its figures come from the committed results only, so that
# they cannot go stale; tests/test_readme.py checks that the README holds what these give.


def _and(items):
    return ", ".join(items[:-1]) + " and " + items[-1] if len(items) > 1 else "".join(items)


def _s(seconds):
    return f"{seconds:.3g} s"


def readme_block(data) -> str:
    """The lines between the README's performance markers, from the results `data`."""
    rows = [r for r in train_rows(data) if r["ok"] and r["kind"] == "en"]
    largest = max(r["size"] for r in rows)
    vocabs = sorted({r["vocab"] for r in rows})
    at = {(r["trainer"], r["vocab"]): r for r in rows if r["size"] == largest}
    small, big = vocabs[0], vocabs[-1]
    machine = data["meta"]["machine"]
    trainers = [t for t in dict.fromkeys(r["trainer"] for r in rows)
                if (t, small) in at and (t, big) in at]
    trainers.sort(key=lambda t: t != "ours")
    peers = [t for t in trainers if t != "ours"]
    head = [f"{size_label(at[('ours', small)]['bytes'])} of English, vocabulary {small:,}"] + [
        "Lorvane (1 thread)" if t == "ours" else f"`{t}` ({_thread_count(t, machine)} threads)"
        for t in trainers]
    table = [[what] + [fmt(at[(t, small)][key]) for t in trainers]
             for what, key, fmt in (("training wall time", "wall", _s),
                                    ("training CPU time", "cpu", _s),
                                    ("training peak memory", "rss", lambda m: f"{m:.0f} MiB"))]
    summary = [r for r in summary_rows(data) if r["peer_ratio"] is not None]
    ratios = [r["peer_ratio"] for r in summary]
    fastest = collections.Counter(r["fastest"] for r in summary).most_common()
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
             f"{_and([f'{s:g}' for s in sizes])} MB at both vocabulary sizes); a Python "
             f"loop over {calls['ours']['calls']:,} short lines costs "
             f"{calls['ours']['us_per_call']:.1f} µs per call against `tiktoken`'s "
             f"{calls['tiktoken']['us_per_call']:.1f} µs, and "
             f"decoding runs at {decode['ours']:.0f} MB/s against its {decode['tiktoken']:.1f} "
             "MB/s.")
    dataset = [r for r in dataset_rows(data) if r["ok"]]
    ran = [f"{what} {_and([f'`{t}`' for t in names])}" for what, names in (
        ("training", peers), ("encoding", peers_run(data, "encode")),
        ("encoding a dataset", peers_run(data, "dataset") if dataset else [])) if names]
    paragraphs = ["\n".join(textwrap.wrap(f"Peers measured: {'; '.join(ran)}.", 96)),
                  md_table(head, table), "\n".join(textwrap.wrap(text, 96))]
    if dataset:
        paragraphs += dataset_readme(data, dataset)
    return "\n\n".join(paragraphs)


def peers_run(data, part) -> list[str]:
    """The libraries other than ours that have records in `part` of the results, in order."""
    key = {"train": "trainer", "encode": "encoder", "dataset": "encoder"}[part]
    return list(dict.fromkeys(r[key].removesuffix("-1t") for r in data.get(part, [])
                              if r[key] != "ours"))


def md_table(head, rows) -> str:
    """A Markdown table: `head` and each row a list of cells, the first column left-aligned and
    the others right-aligned."""
    return "\n".join(["| " + " | ".join(head) + " |", "|---|" + "---:|" * (len(head) - 1)]
                     + ["| " + " | ".join(row) + " |" for row in rows])


def dataset_readme(data, rows) -> list[str]:
    """What the README says of the dataset part: MB/s by setup and vocabulary, `encode_dataset`
    in one process divided by `model.encode` of the whole text, and the load the runs started
    at (the machine is shared, and a busy second core hides what several processes gain)."""
    cores = data["dataset_meta"]["machine"]["cores"]
    vocabs = sorted({r["vocab"] for r in rows})
    setups = list(dict.fromkeys((r["encoder"], r["setup"], r["workers"]) for r in rows))
    at = {(r["encoder"], r["setup"], r["workers"], r["vocab"]): r for r in rows}
    head = [f"{size_label(rows[0]['bytes'])} of English manuals, one document per line, MB/s"
            ] + [f"vocabulary {v:,}" for v in vocabs]
    table = [[_dataset_setup(dict(encoder=e, setup=s, workers=w))]
             + [_f(at.get((e, s, w, v), {}).get("mbps"), 1) for v in vocabs]
             for e, s, w in setups]
    one = [at.get(("ours", "dataset", 1, v), {}) for v in vocabs]
    table.append(["`lorvane.encode_dataset` in 1 process ÷ `model.encode` of the whole text, "
                  "by wall (by CPU) time"]
                 + [f"{_f(r.get('vs_whole'))} ({_f(r.get('vs_whole_cpu'))})" for r in one])
    loads = {v: [r["load"] for r in rows if r["vocab"] == v] for v in vocabs}
    table.append([f"load average on the {cores} cores when the runs started"]
                 + [f"{min(loads[v]):.1f} to {max(loads[v]):.1f}" for v in vocabs])
    paragraphs = [md_table(head, table)]
    if max(max(x) for x in loads.values()) > 0.5 * cores:
        paragraphs.append("\n".join(textwrap.wrap(
            "Where other work kept the machine busy, the figures on several processes say "
            "little about how the work divides over free cores.", 96)))
    return paragraphs


def readme_with_block(readme: str, data) -> str:
    """The README text with its performance block rewritten from `data`."""
    begin, end = readme.find(PERF_BEGIN), readme.find(PERF_END)
    if begin < 0 or end < begin:
        raise ValueError("README.md has no performance markers")
    return (readme[: begin + len(PERF_BEGIN)] + "\n" + readme_block(data) + "\n"
            + readme[end:])


def write_readme_block(data, path: Path = README) -> None:
    path.write_text(readme_with_block(path.read_text(encoding="utf-8"), data), encoding="utf-8")


def merge_list_text(ml) -> str:
    if not ml:
        return "–"
    if ml["first_difference"] is None:
        return f"identical ({ml['ours']:,} merges)"
    text = (f"first difference at rank {ml['first_difference']:,} "
            f"({ml['ours']:,} vs {ml['tokenizers']:,} merges)")
    if ml.get("example"):
        text += f": ours {ml['example'][0]}, tokenizers {ml['example'][1]}"
    return text


def load_line(data, machine,
              parts=("train", "sol", "quality", "encode", "decode", "crosscheck")):
    loads = [r["load_before"] for part in parts for r in data.get(part, []) if "load_before" in r]
    if not loads:
        return "- Load: not recorded"
    line = (f"- Load average (1 min) when runs started: {min(loads):.1f} to {max(loads):.1f} "
            f"on {machine['cores']} cores")
    if max(loads) > 0.5 * machine["cores"]:
        line += (" — other work shared the machine during this run, so wall times and "
                 "throughputs are pessimistic and noisy; CPU times and memory are less affected")
    return line


def setup_notes(ran) -> str:
    """SETUP_NOTES without the paragraphs of peers that did not run (a paragraph about peers
    opens with their names in bold)."""
    def keep(paragraph):
        named = re.findall(r"\*\*(\w+)\*\*", paragraph.split("(", 1)[0])
        return not named or any(name in ran for name in named)

    return "\n\n".join(filter(keep, SETUP_NOTES.split("\n\n")))


SETUP_NOTES = """## Setup of the peers, and what differs from our word split

Our reader makes every tab, line feed, carriage return and space a word boundary; the
whitespace character becomes the marker U+0120 at the start of the next word, and code points
are cut to 16 bits.

**tokenizers** (`BpeTrainer(vocab_size=V, min_frequency=0, show_progress=False,
special_tokens=[])`, no alphabet limit, no unknown token): normalizer
`Replace(Regex("[\\t\\n\\r]"), " ")`, pre-tokenizer `Sequence([Split(" ", "merged_with_next"),
Metaspace(replacement="Ġ", prepend_scheme="never", split=False)])`. The corpus is fed through
`train_from_iterator` in pieces of about 64 KiB, each cut right before a whitespace character,
so that a line feed starts the next word as with us (`train(files)` reads line by line and would
leave each line's feed as a word of its own). This gives exactly our words, including a literal
U+0120 in the text (which neither cuts nor differs from the marker, as with us). What differs:
code points above U+FFFF stay whole (we keep their low 16 bits; `en.txt` has 11 of them), a NUL
byte is an ordinary character there (a boundary with us; the corpora have none), and pairs of
equal count could be chosen in another order (we take the smaller pair key, ids in ascending
code-unit order); the cross-check compares both merge lists to show whether that happened.

**sentencepiece** (`model_type=bpe`): `character_coverage=1.0, byte_fallback=False,
input_sentence_size=0, shuffle_input_sentence=False, max_sentence_length=1048576,
normalization_rule_name=identity, remove_extra_whitespaces=False, add_dummy_prefix=True,
split_by_whitespace=True, split_by_unicode_script=False, split_by_number=False,
split_digits=False, max_sentencepiece_length=512, unk_id=0, bos_id=eos_id=pad_id=-1,
hard_vocab_limit=False`; `num_threads` its default (16) or 1. It trains on a copy of the corpus
with tabs (and carriage returns) turned into spaces, made before timing, since it knows only the
space as a separator. What differs: it works per line, so each line (the first one too) starts
with the marker and an empty line yields no word (we make a word of the marker alone); pieces are
at most 512 characters; `<unk>` takes one id of the vocabulary; its BPE is its own (it counts
from sentences, not the exact greedy order). Holdout tokens are counted per line.

For encoding throughput, tokenizers gets our tables (`models.BPE(vocab, merges)`, default
cache) and the single pre-tokenizer `Metaspace(replacement="Ġ", prepend_scheme="never",
split=True)` on the normalized text, which was faster than the two-step one above and cuts the
same words unless the text holds a literal U+0120. Both a whole-text `encode` and
`encode_batch_fast` over line pieces are timed; the faster is reported.

**rustbpe** and **bpeasy** (training only, byte-level BPE): fed the corpus in pieces of about
64 KiB with tab, line feed and carriage return turned into spaces, split by the pattern
`" ?[^ ]+| "` (a space starts a word), `vocab_size` as ours (their count includes the 256
bytes); `bpeasy` with `max_token_length=65536`; both take 64 pieces at a time
(`buffer_size=64`, `batch_size=64`), so that they hold 4 MiB of text at once. Their merges are over bytes, so their
vocabularies differ from ours; only their times and memory are compared.

**youtokentome** (training only): `BPE.train(data=corpus, model=..., vocab_size=...)` on the
file as it is, with its defaults: `n_threads=-1` (as many threads as cores), `coverage=1.0`
(every character a symbol), four special ids counted in `vocab_size`. It cuts words at
whitespace and keeps only a word-start mark for each, dropping every run of spaces, tabs and
line ends, so it counts fewer words and pairs than the exact trainers; on code, whose
indentation is such runs, it does noticeably less work. Only its time and memory are compared.

**tokendagger** (encoding only) takes the same tables as tiktoken below.

**tiktoken** (encoding only; its own encodings cannot be fetched offline, and would not measure
the same vocabulary anyway): an `Encoding` built from our trained vocabulary with
`pat_str=" ?[^ ]+| "` on the normalized text (a space starts a word) and the marker turned back
into a space. tiktoken merges bytes, so all single bytes and the proper prefixes of our
multi-byte characters get the lowest ranks, then our tokens in id order. The conversion is not
exact in general: tiktoken takes a whole word that is a token at once, and merges any two
adjacent pieces whose joined bytes are a token, ranked by that token, whereas our encoder applies
only the learned pairs; the cross-check counts the words where this shows. A literal U+0120 in
the text also differs: turning the marker into a space leaves tiktoken no token for it.
"""


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
        ("rss", "peak resident memory (MiB)", "train_memory.png", "Training peak memory"),
    ):
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
            ax.set_xlabel("corpus size (MB)")
            ax.set_ylabel(ylabel)
            ax.set_title(f"{title}, vocabulary {vocab:,}")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend()
        fig.text(0.01, 0.01, footer, fontsize=7, va="bottom")
        fig.tight_layout(rect=(0, 0.08 + 0.02 * footer.count("\n"), 1, 1))
        fig.savefig(plots / fname, dpi=110)
        plt.close(fig)
