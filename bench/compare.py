#!/usr/bin/env python3
"""Benchmark of Lorvane against the usual peers: training time, CPU, peak memory, compression on
unseen text, encoding throughput, and an exactness cross-check of our tables in a peer's encoder.

    PYTHONPATH=build/dev .venv-bench/bin/python bench/compare.py            # full run
    PYTHONPATH=build/dev .venv-bench/bin/python bench/compare.py --quick    # 1 MB smoke run,
                                                        # report in bench/out/quick/
    .venv-bench/bin/python bench/compare.py --report-only                   # redraw from JSON

Set-up: a venv from Python 3.13 with bench/requirements.txt (see there); the module comes from
PYTHONPATH or --module-path and is copied into the work directory at the start, so a rebuild
during a run cannot mix versions.

Every trainer and every encoder runs in a fresh interpreter (a child of this script), so that
its time, CPU time and peak resident memory belong to that run alone. Results go to
bench/RESULTS.md, bench/results/results.json and bench/results/*.png. The harness's own checks:
PYTHONPATH=build/dev .venv-bench/bin/python -m pytest bench/test_compare.py
"""

from __future__ import annotations

import argparse
import codecs
import collections
import datetime
import hashlib
import json
import os
import platform
import re
import resource
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
MARKER = "\u0120"  # our space marker: starts every word that followed whitespace
MB = 1_000_000
MIB = 1 << 20

# Trainers: library and the thread setting it runs with (None: the library's default).
TRAINERS = {
    "ours": ("lorvane_api", None),
    "tokenizers": ("tokenizers", None),
    "tokenizers-1t": ("tokenizers", 1),
    "sentencepiece": ("sentencepiece", None),
    "sentencepiece-1t": ("sentencepiece", 1),
}
REFERENCE = "tokenizers"  # ratios are taken against this trainer of the same run

# ---------------------------------------------------------------------------------------------
# Text helpers: the word split of our corpus reader, reproduced on Python strings.
# ---------------------------------------------------------------------------------------------

_WS_TO_SPACE = str.maketrans({"\t": " ", "\n": " ", "\r": " "})
_WORD = re.compile(r" ?[^ ]+| ")


def normalize_ws(text: str) -> str:
    """Tab, line feed and carriage return become spaces: the form in which training sees text
    (each of the four is a boundary followed by the marker)."""
    return text.translate(_WS_TO_SPACE)


def split_words(text: str) -> list[str]:
    """Words of a text as the trainer cuts them: every whitespace character starts a new word,
    which keeps it (as a space) in front. Returns the words with plain spaces; our encode maps
    the leading space to the marker itself."""
    return _WORD.findall(normalize_ws(text))


def line_pieces(text: str) -> list[str]:
    """The text cut right before every line feed, normalized. Each cut is a word boundary, so
    the pieces hold exactly the words of the whole text; they are the batch items for peers."""
    return [normalize_ws(p) for p in re.split(r"(?=\n)", text) if p]


def _last_boundary(text: str) -> int:
    cut = text.rfind("\n")
    if cut > 0:
        return cut
    return max(text.rfind(c) for c in "\t\r ")


def iter_file_chunks(path, block: int = 1 << 16):
    """Reads a UTF-8 file (strictly) and yields pieces of about `block` bytes, each cut right
    before a whitespace character, so that pre-tokenizing the pieces one by one gives the same
    words as pre-tokenizing the whole file."""
    decoder = codecs.getincrementaldecoder("utf-8")("strict")
    carry = ""
    with open(path, "rb") as f:
        while True:
            data = f.read(block)
            text = carry + decoder.decode(data, final=not data)
            if not data:
                if text:
                    yield text
                return
            cut = _last_boundary(text)
            if cut <= 0:
                carry = text
                continue
            yield text[:cut]
            carry = text[cut:]


# The parent copies files in blocks and never holds a corpus: a child's peak RSS as wait4
# reports it can include the memory of the process that started it.
BLOCK = 1 << 20


def cut_prefix(src: Path, dst: Path, nbytes: int) -> Path:
    """Writes the first `nbytes` bytes of `src` cut back to the last line end (kept) to `dst`.
    Returns `src` itself when it is not larger than `nbytes`."""
    if src.stat().st_size <= nbytes:
        return src
    end, done = -1, 0
    with open(src, "rb") as f, open(dst, "wb") as out:
        while done < nbytes:
            block = f.read(min(BLOCK, nbytes - done))
            if (cut := block.rfind(b"\n")) >= 0:
                end = done + cut + 1
            out.write(block)
            done += len(block)
        out.truncate(max(end, 0))
    if end < 0:
        raise ValueError(f"{src}: no line end in the first {nbytes} bytes")
    return dst


def spaces_for_tabs(src: Path, dst: Path) -> Path:
    """Copy for sentencepiece, which reads lines and knows only the space as a word separator:
    tabs and carriage returns become spaces."""
    if not dst.exists():
        with open(src, "rb") as f, open(dst, "wb") as out:
            while block := f.read(BLOCK):
                out.write(block.replace(b"\t", b" ").replace(b"\r", b" "))
    return dst


def warm(path: Path) -> None:
    """Reads a file once so that it sits in the page cache before anything is timed."""
    with open(path, "rb") as f:
        while f.read(BLOCK):
            pass


def vm_hwm_kib() -> int:
    """Peak resident memory of this process's own address space since exec (VmHWM). Unlike
    ru_maxrss it carries nothing over from the process that started it."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


# ---------------------------------------------------------------------------------------------
# Models: our tables saved as JSON, and their conversion for tokenizers and tiktoken.
# ---------------------------------------------------------------------------------------------


def save_ours(bpe, path) -> None:
    Path(path).write_text(
        json.dumps({"vocab": list(bpe.vocab), "merge_rank": sorted(bpe.merge_rank.items())}),
        encoding="utf-8",
    )


def load_ours_tables(path):
    data = json.loads(Path(path).read_text(encoding="utf-8"))
    return data["vocab"], {int(k): int(r) for k, r in data["merge_rank"]}


def load_ours(path):
    import lorvane_api

    vocab, merge_rank = load_ours_tables(path)
    bpe = lorvane_api.BPE(len(vocab))
    bpe.vocab = vocab
    bpe.merge_rank = merge_rank
    bpe.token_to_id = {text: i for i, text in enumerate(vocab)}  # the highest id of a text wins
    return bpe


def tokenizers_tables(vocab: list[str], merge_rank: dict[int, int]):
    """Our tables as tokenizers' BPE model wants them: a text -> id dict and the merges as text
    pairs in rank order. When two merges made the same text, our encode only ever produces the
    highest id of that text (it looks merged texts up in token_to_id); merges whose left or
    right id is an unreachable lower duplicate can never fire in our encode and are left out,
    since by text they would alias the reachable pair."""
    token_to_id = {text: i for i, text in enumerate(vocab)}
    merges = []
    for key, _rank in sorted(merge_rank.items(), key=lambda kv: kv[1]):
        left, right = key >> 16, key & 0xFFFF
        if left >= len(vocab) or right >= len(vocab):
            continue
        a, b = vocab[left], vocab[right]
        if token_to_id[a] == left and token_to_id[b] == right and a + b in token_to_id:
            merges.append((a, b))
    return token_to_id, merges


def tokenizers_encoder(vocab, merge_rank, pre_tokenize: bool):
    """A tokenizers Tokenizer carrying our tables. With `pre_tokenize` it cuts normalized text
    (spaces only) before every space and maps the space to the marker, in one Metaspace step
    (the fastest setup found; unlike training's pre-tokenizer it also cuts at a literal U+0120,
    which only matters for text holding one); without, each input string is one word and must
    already carry the marker."""
    from tokenizers import Tokenizer, models, pre_tokenizers

    token_to_id, merges = tokenizers_tables(vocab, merge_rank)
    tok = Tokenizer(models.BPE(vocab=token_to_id, merges=merges))
    if pre_tokenize:
        tok.pre_tokenizer = pre_tokenizers.Metaspace(
            replacement=MARKER, prepend_scheme="never", split=True)
    return tok


def word_pre_tokenizer():
    """Cuts before every space and turns the space into the marker. Metaspace with split=False
    only replaces, so a literal U+0120 in the text neither cuts nor differs from the marker."""
    from tokenizers import pre_tokenizers

    return pre_tokenizers.Sequence(
        [
            pre_tokenizers.Split(" ", "merged_with_next"),
            pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme="never", split=False),
        ]
    )


TIKTOKEN_PATTERN = r" ?[^ ]+| "  # our words on normalized text: a space starts a word


def tiktoken_tables(vocab: list[str]):
    """mergeable_ranks (bytes -> rank) for tiktoken from our vocabulary, with the marker turned
    back into a space so that tiktoken reads plain text.

    tiktoken merges bytes: every single byte and every proper prefix of each multi-byte
    character of our alphabet get the lowest ranks, so characters are whole before any of our
    merges can apply; then our tokens follow in id order (initial symbols, then merges in rank
    order), each text once at its first id. Returns (ranks, rank_to_id) where rank_to_id maps a
    rank to the id our encode gives that text (-1 for byte pieces that are no token of ours)."""
    token_to_id = {text: i for i, text in enumerate(vocab)}
    as_bytes = [text.replace(MARKER, " ").encode("utf-8") for text in vocab]
    known = set(as_bytes)
    low: list[bytes] = [bytes([b]) for b in range(256) if bytes([b]) not in known]
    seen_low = set(low)
    for text, raw in zip(vocab, as_bytes):
        if len(text) == 1:
            for k in range(2, len(raw)):
                if raw[:k] not in seen_low and raw[:k] not in known:
                    seen_low.add(raw[:k])
                    low.append(raw[:k])
    ranks: dict[bytes, int] = {raw: r for r, raw in enumerate(low)}
    rank_to_id = [-1] * len(low)
    for text, raw in zip(vocab, as_bytes):
        if raw not in ranks:
            ranks[raw] = len(rank_to_id)
            rank_to_id.append(token_to_id[text])
    return ranks, rank_to_id


def tiktoken_encoder(vocab):
    import tiktoken

    ranks, rank_to_id = tiktoken_tables(vocab)
    enc = tiktoken.Encoding(
        name="lorvane", pat_str=TIKTOKEN_PATTERN, mergeable_ranks=ranks, special_tokens={}
    )
    return enc, rank_to_id


# ---------------------------------------------------------------------------------------------
# Children: one fresh interpreter per measured run.
# ---------------------------------------------------------------------------------------------


def _cpu_seconds(usage) -> float:
    return usage.ru_utime + usage.ru_stime


def child_train(task):
    name, corpus, vocab_size = task["trainer"], task["corpus"], task["vocab"]
    lib, threads = TRAINERS[name]
    out = Path(task["model_dir"])
    if lib == "lorvane_api":
        import lorvane_api

        bpe = lorvane_api.BPE(vocab_size)
        run = lambda: bpe.train_fromfile(corpus, 0)  # noqa: E731
    elif lib == "tokenizers":
        from tokenizers import Regex, Tokenizer, models, normalizers, trainers

        tok = Tokenizer(models.BPE())
        tok.normalizer = normalizers.Replace(Regex("[\t\n\r]"), " ")
        tok.pre_tokenizer = word_pre_tokenizer()
        trainer = trainers.BpeTrainer(
            vocab_size=vocab_size, min_frequency=0, show_progress=False, special_tokens=[]
        )
        def run():
            tok.train_from_iterator(iter_file_chunks(corpus), trainer=trainer)
    else:
        import sentencepiece as spm

        options = dict(sentencepiece_options(vocab_size), input=task["sp_corpus"],
                       model_prefix=str(out / "sp"))
        if threads:
            options["num_threads"] = threads
        run = lambda: spm.SentencePieceTrainer.train(**options)  # noqa: E731

    usage0 = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    run()
    wall = time.perf_counter() - t0
    usage1 = resource.getrusage(resource.RUSAGE_SELF)
    result = {
        "wall": wall,
        "cpu": _cpu_seconds(usage1) - _cpu_seconds(usage0),
        "maxrss_after_train_kib": usage1.ru_maxrss,
    }
    if lib == "lorvane_api":
        save_ours(bpe, out / "ours.json")
        result.update(model=str(out / "ours.json"), vocab_got=len(bpe.vocab))
    elif lib == "tokenizers":
        tok.save(str(out / "tokenizer.json"))
        result.update(model=str(out / "tokenizer.json"), vocab_got=tok.get_vocab_size())
    else:
        import sentencepiece as spm

        sp = spm.SentencePieceProcessor(model_file=str(out / "sp.model"))
        result.update(model=str(out / "sp.model"), vocab_got=sp.get_piece_size())
    return result


def sentencepiece_options(vocab_size: int) -> dict:
    """SentencePiece BPE set as close to our trainer as its options allow."""
    return dict(
        vocab_size=vocab_size,
        model_type="bpe",
        character_coverage=1.0,  # every character of the corpus is a symbol, as with us
        byte_fallback=False,
        input_sentence_size=0,  # all lines, no sampling
        shuffle_input_sentence=False,
        max_sentence_length=1 << 20,  # bytes; no line of the corpora is dropped
        normalization_rule_name="identity",  # no NFKC
        remove_extra_whitespaces=False,  # every space counts
        add_dummy_prefix=True,  # a line starts with the marker, as after our line feed
        split_by_whitespace=True,
        split_by_unicode_script=False,
        split_by_number=False,
        split_digits=False,
        max_sentencepiece_length=512,  # its maximum; ours has no limit
        unk_id=0,  # required; takes one id of vocab_size
        bos_id=-1,
        eos_id=-1,
        pad_id=-1,
        hard_vocab_limit=False,  # small corpora may have fewer pairs than the target
        minloglevel=1,
    )


def child_quality(task):
    """Tokens for the holdout text with one trained model."""
    text = Path(task["holdout"]).read_text(encoding="utf-8")
    lib = TRAINERS[task["trainer"]][0]
    if lib == "lorvane_api":
        tokens = len(load_ours(task["model"]).encode(normalize_ws(text)))
    elif lib == "tokenizers":
        from tokenizers import Tokenizer

        tok = Tokenizer.from_file(task["model"])
        tokens = sum(len(e.ids) for e in tok.encode_batch_fast(line_pieces(text)))
    else:
        import sentencepiece as spm

        sp = spm.SentencePieceProcessor(model_file=task["model"])
        lines = text.replace("\t", " ").replace("\r", " ").split("\n")
        tokens = sum(len(ids) for ids in sp.encode(lines))
    return {"tokens": tokens, "chars": len(text)}


def child_encode(task):
    """Encoding throughput of one encoder on one text, with our tables; best of `repeats`."""
    raw = Path(task["text"]).read_bytes()
    text = normalize_ws(raw.decode("utf-8"))
    vocab, merge_rank = load_ours_tables(task["model"])
    encoder = task["encoder"]
    if encoder == "ours":
        bpe = load_ours(task["model"])
        run = lambda: bpe.encode(text)  # noqa: E731
    elif encoder.startswith("tokenizers"):
        tok = tokenizers_encoder(vocab, merge_rank, pre_tokenize=True)
        if task["setup"] == "whole":
            run = lambda: tok.encode(text).ids  # noqa: E731
        else:
            pieces = line_pieces(raw.decode("utf-8"))
            run = lambda: [e.ids for e in tok.encode_batch_fast(pieces)]  # noqa: E731
    elif encoder == "tiktoken":
        enc, _ = tiktoken_encoder(vocab)
        run = lambda: enc.encode_ordinary(text)  # noqa: E731
    else:
        raise ValueError(encoder)
    times, cpu_times, tokens = [], [], 0
    for _ in range(task["repeats"]):
        c0, t0 = time.process_time(), time.perf_counter()
        ids = run()
        times.append(time.perf_counter() - t0)
        cpu_times.append(time.process_time() - c0)
        tokens = sum(map(len, ids)) if ids and isinstance(ids[0], list) else len(ids)
    return {"times": times, "cpu_times": cpu_times, "bytes": len(raw), "tokens": tokens}


def child_crosscheck(task):
    """Our encode against tokenizers' BPE model (and tiktoken) loaded with our tables, word by
    word over the holdout text."""
    text = Path(task["holdout"]).read_text(encoding="utf-8")
    words = split_words(text)
    counts = collections.Counter(words)
    distinct = list(counts)
    vocab, merge_rank = load_ours_tables(task["model"])
    bpe = load_ours(task["model"])
    ours = {w: bpe.encode(w) for w in distinct}

    peer = tokenizers_encoder(vocab, merge_rank, pre_tokenize=False)
    theirs = [e.ids for e in peer.encode_batch_fast([w.replace(" ", MARKER) for w in distinct])]
    diff = [w for w, ids in zip(distinct, theirs) if ids != ours[w]]

    # tiktoken falls back to bytes for a character outside our alphabet, where we drop it
    alphabet = {t for t in vocab if len(t) == 1}
    unknown = {w for w in distinct if not set(w.replace(" ", MARKER)) <= alphabet}
    enc, rank_to_id = tiktoken_encoder(vocab)
    tik_diff = [
        w for w in distinct if [rank_to_id[r] for r in enc.encode_ordinary(w)] != ours[w]
    ]
    tik_known = [w for w in tik_diff if w not in unknown]

    whole = bpe.encode(normalize_ws(text))
    per_word = [i for w in words for i in ours[w]]
    merge_list = compare_merge_lists(vocab, merge_rank, task.get("peer_model"))

    def examples(ws):
        return [
            {"word": w.replace(" ", MARKER), "count": counts[w], "ours": ours[w],
             "ours_text": [vocab[i] for i in ours[w]]}
            for w in sorted(ws, key=lambda w: -counts[w])[:5]
        ]

    return {
        "words": len(words),
        "distinct": len(distinct),
        "tokenizers_diff_distinct": len(diff),
        "tokenizers_diff_words": sum(counts[w] for w in diff),
        "tokenizers_examples": examples(diff),
        "tiktoken_diff_distinct": len(tik_diff),
        "tiktoken_diff_words": sum(counts[w] for w in tik_diff),
        "tiktoken_known_diff_distinct": len(tik_known),
        "tiktoken_known_diff_words": sum(counts[w] for w in tik_known),
        "tiktoken_examples": examples(tik_known),
        "unknown_char_distinct": len(unknown),
        "unknown_char_words": sum(counts[w] for w in unknown),
        "whole_equals_per_word": whole == per_word,
        "whole_tokens": len(whole),
        "per_word_tokens": len(per_word),
        "merges": len(merge_rank),
        "merges_kept_for_tokenizers": len(tokenizers_tables(vocab, merge_rank)[1]),
        "merge_list": merge_list,
    }


def compare_merge_lists(vocab, merge_rank, peer_model):
    """Our merges (as text pairs, in rank order) against those tokenizers learned from the same
    corpus, and the initial symbols that only one side has."""
    if not peer_model:
        return None
    model = json.loads(Path(peer_model).read_text(encoding="utf-8"))["model"]
    theirs = [tuple(m) if isinstance(m, list) else tuple(m.split(" ", 1)) for m in model["merges"]]
    ours = [(vocab[k >> 16], vocab[k & 0xFFFF])
            for k, _ in sorted(merge_rank.items(), key=lambda kv: kv[1])]
    first = next((i for i, (x, y) in enumerate(zip(ours, theirs)) if x != y), None)
    if first is None and len(ours) != len(theirs):
        first = min(len(ours), len(theirs))
    alphabet = set(vocab[: len(vocab) - len(merge_rank)])
    peer_alphabet = {t for t in model["vocab"] if len(t) == 1}

    def names(chars):
        return [f"U+{ord(c):04X}" for c in sorted(chars)]

    return {
        "ours": len(ours),
        "tokenizers": len(theirs),
        "first_difference": first,
        "example": first is not None and first < min(len(ours), len(theirs))
        and [ours[first], theirs[first]] or None,
        "ours_only_symbols": names(alphabet - peer_alphabet),
        "tokenizers_only_symbols": names(peer_alphabet - alphabet),
    }


def child_baseline(task):
    """Import only: the resident memory an interpreter with that library costs before work."""
    __import__(task["lib"])
    return {}


def child_alloc(task):
    """Holds `mib` MiB for a moment; lets the tests check what the parent measures."""
    block = bytearray(task["mib"] * MIB)
    for i in range(0, len(block), 4096):
        block[i] = 1
    time.sleep(task.get("sleep", 0))
    return {"held": len(block)}


CHILDREN = {
    "train": child_train,
    "quality": child_quality,
    "encode": child_encode,
    "crosscheck": child_crosscheck,
    "baseline": child_baseline,
    "alloc": child_alloc,
}


def child_main(task_file: str) -> int:
    task = json.loads(Path(task_file).read_text())
    result = CHILDREN[task["kind"]](task)
    result["vm_hwm_kib"] = vm_hwm_kib()
    Path(task["result"]).write_text(json.dumps(result))
    return 0


def run_child(task: dict, workdir: Path, name: str, env_extra: dict, module_path, timeout=None):
    """Runs one task in a fresh interpreter and measures it with wait4: wall time of the whole
    process, its user+sys CPU time and its peak resident memory. The task's own result (timed
    around the measured call only) is merged in under "result"."""
    logs = workdir / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    task = dict(task, result=str(logs / f"{name}.result.json"))
    task_file = logs / f"{name}.task.json"
    task_file.write_text(json.dumps(task))
    Path(task["result"]).unlink(missing_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS",)}
    if module_path:
        env["PYTHONPATH"] = str(module_path)
    env.update(env_extra)
    out_log, err_log = logs / f"{name}.stdout", logs / f"{name}.stderr"
    timed_out = False
    load_before = os.getloadavg()[0]
    with open(out_log, "wb") as out, open(err_log, "wb") as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(
            [sys.executable, str(Path(__file__).resolve()), "--child", str(task_file)],
            stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
        )
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if timeout and time.perf_counter() - t0 > timeout:
                os.kill(proc.pid, signal.SIGKILL)
                pid, status, usage = os.wait4(proc.pid, 0)
                timed_out = True
                break
            time.sleep(0.02)
        wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    record = {
        "ok": proc.returncode == 0 and not timed_out,
        "returncode": proc.returncode,
        "timed_out": timed_out,
        "proc_wall": wall,
        "proc_cpu": _cpu_seconds(usage),
        "maxrss_kib": usage.ru_maxrss,
        "load_before": load_before,
        "parent_vm_hwm_kib": vm_hwm_kib(),
        "stdout": str(out_log),
        "stderr": str(err_log),
    }
    if record["ok"]:
        record["result"] = json.loads(Path(task["result"]).read_text())
    else:
        tail = err_log.read_bytes()[-2000:].decode("utf-8", "replace")
        record["error"] = "timed out" if timed_out else tail
    return record


# ---------------------------------------------------------------------------------------------
# Parent: corpora, runs, report.
# ---------------------------------------------------------------------------------------------


def machine_info() -> dict:
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    mem_kib = 0
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            mem_kib = int(line.split()[1])
    cores = os.cpu_count()
    return {
        "cpu": model,
        "cores": cores,
        "cores_usable": len(os.sched_getaffinity(0)),
        "mem_gib": round(mem_kib / (1 << 20), 1),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "summary": f"{cores} cores ({model}), {mem_kib / (1 << 20):.1f} GiB RAM, Linux "
        f"{platform.release()}, Python {platform.python_version()}",
    }


def versions(module_path) -> dict:
    from importlib import metadata

    found = {}
    for lib in ("tokenizers", "sentencepiece", "tiktoken", "matplotlib"):
        try:
            found[lib] = metadata.version(lib)
        except metadata.PackageNotFoundError:
            found[lib] = "missing"
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "src"],
                               capture_output=True, text=True).stdout.strip()
        found["lorvane"] = f"{head}{' + uncommitted src changes' if dirty else ''}"
    except OSError:
        found["lorvane"] = "unknown"
    found["lorvane_module"] = str(module_path)
    return found


def find_module_path(option):
    if option:
        return Path(option).resolve()
    import importlib.util

    spec = importlib.util.find_spec("lorvane_api")
    if spec and spec.origin:
        return Path(spec.origin).resolve().parent
    default = ROOT / "build" / "dev"
    if default.exists():
        return default
    sys.exit("lorvane_api not found: set PYTHONPATH or pass --module-path")


def display_command(argv, module_option) -> str:
    def rel(p):
        try:
            return str(Path(p).resolve().relative_to(ROOT))
        except ValueError:
            return str(p)

    env = ""
    if not module_option and os.environ.get("PYTHONPATH"):
        env = f"PYTHONPATH={os.environ['PYTHONPATH']} "
    python = sys.executable
    if Path(python).is_relative_to(ROOT):
        python = str(Path(python).relative_to(ROOT))
    return f"cd {ROOT} && {env}{shlex.join([python, rel(argv[0]), *argv[1:]])}"


def size_label(nbytes: int) -> str:
    return f"{nbytes / MB:.3g} MB"


class Bench:
    def __init__(self, args, module_path):
        self.args = args
        self.module_path = module_path
        self.workdir = Path(args.workdir or tempfile.mkdtemp(prefix="lorvane-bench-"))
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.corpora = Path(args.corpora)
        self.json_path = Path(args.plots) / "results.json"
        self.data = {"train": [], "quality": [], "encode": [], "crosscheck": [], "baseline": []}

    def log(self, msg):
        print(f"[{datetime.datetime.now():%H:%M:%S}] {msg}", flush=True)

    def save(self):
        self.json_path.parent.mkdir(parents=True, exist_ok=True)
        self.json_path.write_text(json.dumps(self.data, indent=1))

    def child(self, task, name, env=None, timeout=None):
        return run_child(task, self.workdir, name, env or {}, self.module_path,
                         timeout or self.args.timeout)

    def snapshot_module(self):
        """Copies the extension into the work directory, so that a rebuild of the tree during a
        long run cannot mix two versions in one report."""
        found = sorted(self.module_path.glob("lorvane_api*.so"))
        if not found:
            sys.exit(f"no lorvane_api*.so in {self.module_path}")
        target = self.workdir / "module"
        target.mkdir(exist_ok=True)
        copy = target / found[0].name
        shutil.copy2(found[0], copy)
        digest = hashlib.sha256(copy.read_bytes()).hexdigest()[:12]
        built = datetime.datetime.fromtimestamp(found[0].stat().st_mtime)
        self.module_path = target
        return f"{found[0]} (built {built:%Y-%m-%d %H:%M}, sha256 {digest})"

    def prepare(self):
        src = self.corpora / "en.txt"
        holdout = self.corpora / "holdout.txt"
        for path in (src, holdout):
            if not path.exists():
                sys.exit(f"{path} missing: build the corpora with make-corpora.sh first")
        cdir = self.workdir / "corpora"
        cdir.mkdir(exist_ok=True)
        self.train_corpora = {}
        for size in self.args.sizes:
            path = cut_prefix(src, cdir / f"en-{size:g}MB.txt", int(size * MB))
            self.train_corpora[size] = path
        self.holdout = holdout
        self.encode_texts = {}
        for size in self.args.encode_sizes:
            source = holdout if size * MB < holdout.stat().st_size else src
            self.encode_texts[size] = cut_prefix(source, cdir / f"text-{size:g}MB.txt",
                                                 int(size * MB))
        for path in {*self.train_corpora.values(), *self.encode_texts.values(), holdout}:
            warm(path)

    def run(self):
        a = self.args
        self.data["meta"] = {
            "machine": machine_info(),
            "command": a.command,
            "started": datetime.datetime.now().isoformat(timespec="seconds"),
            "versions": versions(self.module_path),
            "module": self.snapshot_module(),
            "sizes": a.sizes,
            "vocabs": a.vocab,
            "trainers": a.trainers,
            "workdir": str(self.workdir),
        }
        self.prepare()
        self.data["meta"]["corpora"] = {
            f"{s:g}": {"path": str(p), "bytes": p.stat().st_size}
            for s, p in self.train_corpora.items()
        }
        self.data["meta"]["encode_texts"] = {
            f"{s:g}": {"path": str(p), "bytes": p.stat().st_size}
            for s, p in self.encode_texts.items()
        }
        self.save()
        for lib in sorted({TRAINERS[t][0] for t in a.trainers} | {"tiktoken"}):
            rec = self.child({"kind": "baseline", "lib": lib}, f"baseline-{lib}")
            self.data["baseline"].append({"lib": lib, **rec})
        models = self.train_all()
        self.quality_all(models)
        self.encode_all(models)
        self.crosscheck_all(models)
        self.data["meta"]["finished"] = datetime.datetime.now().isoformat(timespec="seconds")
        self.save()

    def train_all(self):
        models = {}
        for size, corpus in self.train_corpora.items():
            sp_corpus = None
            for vocab in self.args.vocab:
                for trainer in self.args.trainers:
                    lib, threads = TRAINERS[trainer]
                    name = f"train-{trainer}-{size:g}MB-{vocab}"
                    model_dir = self.workdir / "models" / name
                    model_dir.mkdir(parents=True, exist_ok=True)
                    task = {"kind": "train", "trainer": trainer, "corpus": str(corpus),
                            "vocab": vocab, "model_dir": str(model_dir)}
                    if lib == "sentencepiece":
                        sp_corpus = sp_corpus or spaces_for_tabs(
                            corpus, self.workdir / "corpora" / f"sp-{corpus.name}")
                        task["sp_corpus"] = str(sp_corpus)
                    env = {"RAYON_NUM_THREADS": str(threads)} if lib == "tokenizers" and threads \
                        else {}
                    self.log(f"training {name}")
                    rec = self.child(task, name, env)
                    rec.update(trainer=trainer, size=size, bytes=corpus.stat().st_size,
                               vocab=vocab)
                    self.data["train"].append(rec)
                    self.save()
                    if rec["ok"]:
                        r = rec["result"]
                        self.log(f"  {r['wall']:.2f} s wall, {r['cpu']:.2f} s CPU, "
                                 f"{peak_kib(rec) / 1024:.0f} MiB peak")
                        models[(trainer, size, vocab)] = r["model"]
                    else:
                        self.log(f"  FAILED: {rec['error'][-300:]}")
        return models

    def quality_all(self, models):
        for (trainer, size, vocab), model in models.items():
            name = f"quality-{trainer}-{size:g}MB-{vocab}"
            self.log(name)
            rec = self.child({"kind": "quality", "trainer": trainer, "model": model,
                              "holdout": str(self.holdout)}, name)
            rec.update(trainer=trainer, size=size, vocab=vocab)
            self.data["quality"].append(rec)
            self.save()

    def encode_all(self, models):
        largest = max(self.args.sizes)
        setups = [("ours", "whole", {}), ("tokenizers-1t", "whole", {"RAYON_NUM_THREADS": "1"}),
                  ("tokenizers-1t", "lines", {"RAYON_NUM_THREADS": "1"}),
                  ("tiktoken", "whole", {}), ("tokenizers", "lines", {})]
        for vocab in self.args.vocab:
            model = models.get(("ours", largest, vocab))
            if not model:
                continue
            for size, text in self.encode_texts.items():
                for encoder, setup, env in setups:
                    name = f"encode-{encoder}-{setup}-{size:g}MB-{vocab}"
                    self.log(name)
                    rec = self.child({"kind": "encode", "encoder": encoder, "setup": setup,
                                      "model": model, "text": str(text),
                                      "repeats": self.args.repeats}, name, env)
                    rec.update(encoder=encoder, setup=setup, size=size, vocab=vocab,
                               model_size=largest)
                    self.data["encode"].append(rec)
                    self.save()

    def crosscheck_all(self, models):
        for (trainer, size, vocab), model in models.items():
            if trainer != "ours":
                continue
            name = f"crosscheck-{size:g}MB-{vocab}"
            self.log(name)
            rec = self.child({"kind": "crosscheck", "model": model,
                              "peer_model": models.get((REFERENCE, size, vocab)),
                              "holdout": str(self.holdout)}, name)
            rec.update(size=size, vocab=vocab)
            self.data["crosscheck"].append(rec)
            if rec["ok"]:
                r = rec["result"]
                self.log(f"  tokenizers differs on {r['tokenizers_diff_distinct']} of "
                         f"{r['distinct']} distinct words")
            self.save()


# ---------------------------------------------------------------------------------------------
# Report.
# ---------------------------------------------------------------------------------------------


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


def peak_kib(rec) -> int:
    """The child's own peak resident memory when it reported it, else wait4's figure."""
    return rec.get("result", {}).get("vm_hwm_kib") or rec["maxrss_kib"]


def _f(x, digits=2):
    return "–" if x is None else f"{x:.{digits}f}"


def _ratio(x, ref):
    return None if x is None or not ref else x / ref


def _threads_label(trainer, machine):
    lib, threads = TRAINERS[trainer]
    if lib == "lorvane_api":
        return "1 (starts none)"
    if threads:
        return "1"
    return f"default ({machine['cores_usable']})" if lib == "tokenizers" else "default (16)"


def train_rows(data):
    quality = {(q["trainer"], q["size"], q["vocab"]): q for q in data["quality"] if q["ok"]}
    rows = []
    index = {(t["trainer"], t["size"], t["vocab"]): t for t in data["train"]}
    for t in data["train"]:
        key = (t["trainer"], t["size"], t["vocab"])
        ref = index.get((REFERENCE, t["size"], t["vocab"]))
        ref_ok = ref and ref["ok"]
        q = quality.get(key)
        qref = quality.get((REFERENCE, t["size"], t["vocab"]))
        per_k = q and 1000 * q["result"]["tokens"] / q["result"]["chars"]
        per_k_ref = qref and 1000 * qref["result"]["tokens"] / qref["result"]["chars"]
        r = t.get("result", {})
        rows.append({
            "trainer": t["trainer"], "size": t["size"], "bytes": t["bytes"], "vocab": t["vocab"],
            "ok": t["ok"], "error": t.get("error"), "load": t.get("load_before"),
            "wall": r.get("wall"), "cpu": r.get("cpu"), "rss": peak_kib(t) / 1024,
            "wait4_rss": t["maxrss_kib"] / 1024,
            "vocab_got": r.get("vocab_got"),
            "wall_ratio": _ratio(r.get("wall"), ref_ok and ref["result"]["wall"]),
            "rss_ratio": _ratio(peak_kib(t), ref_ok and peak_kib(ref)),
            "per_k": per_k, "per_k_ratio": _ratio(per_k, per_k_ref),
        })
    return rows


def encode_rows(data):
    best = {}
    for e in data["encode"]:
        if not e["ok"]:
            continue
        r = e["result"]
        mbps = r["bytes"] / MB / min(r["times"])
        cpu = min(r.get("cpu_times") or [0])
        label = e["encoder"]
        row = {"encoder": label, "setup": e["setup"], "size": e["size"], "vocab": e["vocab"],
               "mbps": mbps, "first_mbps": r["bytes"] / MB / r["times"][0],
               "cpu_mbps": r["bytes"] / MB / cpu if cpu else None,
               "tokens": r["tokens"], "bytes": r["bytes"], "model_size": e["model_size"],
               "runs": len(r["times"]), "others": []}
        key = (label, e["size"], e["vocab"])
        if key in best:  # keep the faster setup of a peer, remember the other
            keep, other = (row, best[key]) if row["mbps"] > best[key]["mbps"] else (best[key], row)
            keep["others"].append((other["setup"], other["mbps"]))
            best[key] = keep
        else:
            best[key] = row
    rows = list(best.values())
    for row in rows:
        ref = best.get(("tokenizers-1t", row["size"], row["vocab"]))
        row["ratio"] = _ratio(row["mbps"], ref and ref["mbps"])
        row["cpu_ratio"] = _ratio(row["cpu_mbps"], ref and ref["cpu_mbps"])
    order = {"ours": 0, "tokenizers-1t": 1, "tiktoken": 2, "tokenizers": 3}
    rows.sort(key=lambda r: (r["vocab"], r["size"], order.get(r["encoder"], 9)))
    return rows


SETUP_TEXT = {
    "whole": "whole text, one call",
    "lines": "batch of line pieces (encode_batch_fast)",
}


def write_report(data, out: Path, plots: Path):
    meta = data["meta"]
    machine = meta["machine"]
    v = meta["versions"]
    rel_plots = os.path.relpath(plots, out.parent)
    lines = [
        "# Lorvane against tokenizers, sentencepiece and tiktoken",
        "",
        f"- Machine: {machine['summary']}",
        f"- Command: `{meta['command']}`",
        f"- Run: {meta['started']} to {meta.get('finished', '(unfinished)')}",
        f"- Versions: lorvane {v['lorvane']} (module from `{v['lorvane_module']}`), tokenizers "
        f"{v['tokenizers']}, sentencepiece {v['sentencepiece']}, tiktoken {v['tiktoken']}",
        f"- Module: {meta.get('module', v['lorvane_module'])}",
        load_line(data, machine),
        f"- Training corpora: prefixes of `en.txt` cut at line ends: "
        + ", ".join(f"{k} MB = {c['bytes']:,} bytes" for k, c in meta["corpora"].items())
        + "; compression on `holdout.txt`.",
        "",
        "Figures are preliminary while the core is being optimised; rerun the command above "
        "(with `--report-only` to redraw this file from `results/results.json`).",
        "",
        "## Training",
        "",
        "Wall and CPU (user+sys, all threads) are timed in the child around the training call "
        "alone (reading the corpus included, saving the model not). Peak RSS is the child's "
        "own high-water mark (`VmHWM`, read as it ends): the whole fresh interpreter, library "
        "import included (see the import baseline below). `ru_maxrss` from `wait4` is kept in "
        "`results/results.json`; it equals `VmHWM` unless the starting process was larger, as "
        "Linux carries the parent's resident size into a vforked child's figure. Ratios are "
        "against `tokenizers` at its default threads "
        "on the same corpus and vocabulary; *tok/1k* is tokens per 1,000 characters of "
        "`holdout.txt`; *load* is the 1-minute load average when the run started.",
        "",
        "| corpus | vocab | trainer | threads | wall s | CPU s | peak RSS MiB | wall ÷ tok | "
        "RSS ÷ tok | vocab reached | tok/1k | tok/1k ÷ tok | load |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in train_rows(data):
        if not r["ok"]:
            lines.append(f"| {size_label(r['bytes'])} | {r['vocab']} | {r['trainer']} | | "
                         f"failed: {(r['error'] or '').strip().splitlines()[-1:]} ||||||||")
            continue
        lines.append(
            f"| {size_label(r['bytes'])} | {r['vocab']:,} | {r['trainer']} | "
            f"{_threads_label(r['trainer'], machine)} | {_f(r['wall'])} | {_f(r['cpu'])} | "
            f"{r['rss']:.0f} | {_f(r['wall_ratio'])} | {_f(r['rss_ratio'])} | "
            f"{r['vocab_got']:,} | {_f(r['per_k'], 1)} | {_f(r['per_k_ratio'], 4)} | "
            f"{_f(r['load'], 1)} |"
        )
    base = [b for b in data["baseline"] if b["ok"]]
    if base:
        lines += ["", "Import baseline (peak RSS of an interpreter that only imports the "
                  "library): " + ", ".join(f"{b['lib']} {peak_kib(b) / 1024:.0f} MiB"
                                           for b in base) + "."]
    lines += [
        "",
        f"![training time]({rel_plots}/train_time.png)",
        f"![training memory]({rel_plots}/train_memory.png)",
        "",
        "## Encoding throughput",
        "",
    ]
    enc = encode_rows(data)
    if enc:
        texts = ", ".join(f"{k} MB = `{Path(c['path']).name}` ({c['bytes']:,} bytes)"
                          for k, c in meta["encode_texts"].items())
        lines += [
            "All encoders use the tables of our model trained on the "
            f"{size_label(enc[0]['model_size'] * MB)} "
            f"corpus, so they do the same work. Texts: {texts} (1 MB: the start of "
            "`holdout.txt`; larger: the start of `en.txt`), with tab, line feed and carriage "
            "return turned into spaces before timing (the form training sees; our `encode` "
            "drops a line feed as an unknown character otherwise). MB/s is input bytes per "
            f"second of wall time, best of {enc[0]['runs']} runs in one process; *first* is the "
            "first run; *CPU MB/s* divides by the process's CPU time of the call instead (all "
            "threads), which other load on the machine disturbs far less. Ratios are against "
            "`tokenizers` on one thread (`RAYON_NUM_THREADS=1`), whose faster setup is shown; "
            "`tokenizers` at default threads is for information.",
            "",
            "| vocab | text | encoder | setup | MB/s | first MB/s | CPU MB/s | tokens | "
            "÷ tokenizers 1t | CPU ÷ tokenizers 1t |",
            "|---|---|---|---|---|---|---|---|---|---|",
        ]
        for r in enc:
            setup = SETUP_TEXT.get(r["setup"], r["setup"])
            if r["encoder"] == "ours":
                setup = "`encode(text)`"
            elif r["encoder"] == "tiktoken":
                setup = "`encode_ordinary(text)`"
            if r["others"]:
                setup += "; " + ", ".join(f"{s}: {m:.2f} MB/s" for s, m in r["others"])
            lines.append(f"| {r['vocab']:,} | {size_label(r['bytes'])} | {r['encoder']} | "
                         f"{setup} | {r['mbps']:.2f} | {r['first_mbps']:.2f} | "
                         f"{_f(r['cpu_mbps'])} | {r['tokens']:,} | {_f(r['ratio'])} | "
                         f"{_f(r['cpu_ratio'])} |")
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
                lines.append(f"| ours {c['size']:g} MB, {c['vocab']} | failed ||||||| ")
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
    lines += ["", "## Targets", ""] + targets(data) + ["", SETUP_NOTES]
    out.write_text("\n".join(lines) + "\n", encoding="utf-8")


def load_line(data, machine):
    loads = [r["load_before"] for part in ("train", "quality", "encode", "crosscheck")
             for r in data[part] if "load_before" in r]
    if not loads:
        return "- Load: not recorded"
    line = (f"- Load average (1 min) when runs started: {min(loads):.1f} to {max(loads):.1f} "
            f"on {machine['cores']} cores")
    if max(loads) > 0.5 * machine["cores"]:
        line += (" — other work shared the machine during this run, so wall times and "
                 "throughputs are pessimistic and noisy; CPU times and memory are less affected")
    return line


def targets(data):
    rows = train_rows(data)
    if not rows:
        return ["No training results."]
    largest = max(r["size"] for r in rows)
    vocab = 32000 if any(r["vocab"] == 32000 for r in rows) else max(r["vocab"] for r in rows)
    pick = {r["trainer"]: r for r in rows if r["size"] == largest and r["vocab"] == vocab}
    ours, tok = pick.get("ours"), pick.get(REFERENCE)
    out = [f"Judged on the {size_label(ours['bytes'] if ours else 0)} corpus at {vocab:,}."]
    if ours and tok and ours["ok"] and tok["ok"]:
        out.append(f"- Training wall time ≤ 0.5 × tokenizers (default threads): "
                   f"{ours['wall_ratio']:.3f} — "
                   f"{'met' if ours['wall_ratio'] <= 0.5 else 'NOT met'}")
        out.append(f"- Peak memory ≤ tokenizers: {ours['rss_ratio']:.3f} — "
                   f"{'met' if ours['rss_ratio'] <= 1 else 'NOT met'}")
    for r in rows:
        if r["trainer"] == "ours" and r["per_k_ratio"] is not None:
            dev = abs(r["per_k_ratio"] - 1)
            out.append(f"- Compression within 0.5 % of tokenizers, {size_label(r['bytes'])} at "
                       f"{r['vocab']:,}: {100 * (r['per_k_ratio'] - 1):+.2f} % — "
                       f"{'met' if dev <= 0.005 else 'NOT met'}")
    enc = encode_rows(data)
    for r in enc:
        if r["encoder"] != "ours":
            continue
        for peer in ("tokenizers-1t", "tiktoken"):
            other = next((e for e in enc if e["encoder"] == peer and e["size"] == r["size"]
                          and e["vocab"] == r["vocab"]), None)
            if other:
                ratio = r["mbps"] / other["mbps"]
                cpu = _ratio(r["cpu_mbps"], other["cpu_mbps"])
                verdict = "met" if ratio >= 1 else (
                    "NOT met by wall time, met by CPU time" if cpu and cpu >= 1 else "NOT met")
                out.append(f"- Encoding ≥ {peer}, {size_label(r['bytes'])} at {r['vocab']:,}: "
                           f"{ratio:.2f}× (CPU time {_f(cpu)}×) — {verdict}")
    out.append("- Scale (2 GB corpus within 24 GiB): not measured by this harness.")
    return out


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

    rows = [r for r in train_rows(data) if r["ok"]]
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


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--child", help=argparse.SUPPRESS)
    p.add_argument("--sizes", default="1,10,100",
                   help="training corpus sizes in MB, prefixes of en.txt (default 1,10,100)")
    p.add_argument("--vocab", default="8000,32000", help="vocabulary sizes (default 8000,32000)")
    p.add_argument("--quick", action="store_true", help="smoke run: 1 MB corpus and text only")
    p.add_argument("--corpora", default=str(HERE / "corpora"), help="directory of en.txt etc.")
    p.add_argument("--out", help="Markdown report (default bench/RESULTS.md; with --quick "
                   "bench/out/quick/RESULTS.md, so a smoke run leaves the real results alone)")
    p.add_argument("--plots", help="directory for PNGs and JSON (default bench/results; with "
                   "--quick bench/out/quick/results)")
    p.add_argument("--module-path", help="directory holding lorvane_api (default: PYTHONPATH, "
                   "then build/dev)")
    p.add_argument("--trainers", default=",".join(TRAINERS),
                   help=f"subset of {','.join(TRAINERS)}")
    p.add_argument("--encode-sizes", default="1,10", help="encoding texts in MB (default 1,10)")
    p.add_argument("--repeats", type=int, default=3, help="encoding runs per encoder (best kept)")
    p.add_argument("--timeout", type=float, default=4 * 3600, help="seconds per child run")
    p.add_argument("--workdir", help="keep corpora cuts, models and logs here (default: a "
                   "temporary directory, removed after a run without failures)")
    p.add_argument("--report-only", action="store_true",
                   help="rewrite the report and plots from results.json, run nothing")
    args = p.parse_args(argv[1:])
    if args.child:
        return args
    home = HERE / "out" / "quick" if args.quick else HERE
    args.out = args.out or str(home / "RESULTS.md")
    args.plots = args.plots or str(home / "results")
    if args.quick:
        args.sizes, args.encode_sizes = "1", "1"
    args.sizes = [float(s) for s in args.sizes.split(",")]
    args.encode_sizes = [float(s) for s in args.encode_sizes.split(",")]
    args.vocab = [int(v) for v in args.vocab.split(",")]
    args.trainers = args.trainers.split(",")
    unknown = set(args.trainers) - set(TRAINERS)
    if unknown:
        p.error(f"unknown trainers: {', '.join(sorted(unknown))}")
    return args


def main(argv=None):
    argv = argv or sys.argv
    args = parse_args(argv)
    if args.child:
        return child_main(args.child)
    out, plots = Path(args.out), Path(args.plots)
    plots.mkdir(parents=True, exist_ok=True)
    if args.report_only:
        data = json.loads((plots / "results.json").read_text())
    else:
        module_path = find_module_path(args.module_path)
        args.command = display_command(argv, args.module_path)
        bench = Bench(args, module_path)
        bench.log(f"work directory {bench.workdir}")
        bench.run()
        data = bench.data
        failed = [r for part in ("train", "quality", "encode", "crosscheck", "baseline")
                  for r in data[part] if not r["ok"]]
        if args.workdir is None and not failed:
            shutil.rmtree(bench.workdir, ignore_errors=True)
        elif failed:
            bench.log(f"{len(failed)} runs failed; logs kept in {bench.workdir}/logs")
    write_plots(data, plots)
    write_report(data, out, plots)
    print(f"wrote {out} and {plots}/*.png", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
