"""The peers and how each is set up (trainers, encoders, our tables converted for them), and the
measured tasks, each run in a fresh interpreter as `python bench/peers.py TASK.json`, which
writes its result beside the task."""

import array
import codecs
import collections
import gc
import json
import os
import re
import resource
import statistics
import struct
import subprocess
import sys
import time
from pathlib import Path

MARKER = "\u0120"  # our space marker: starts every word that followed whitespace
MB = 1_000_000

# Trainers: library and the threads it runs with (None: the library's default; youtokentome's
# is as many as the machine has cores).
TRAINERS = {"ours": ("lorvane_api", None), "tokenizers": ("tokenizers", None),
            "tokenizers-1t": ("tokenizers", 1), "sentencepiece": ("sentencepiece", None),
            "sentencepiece-1t": ("sentencepiece", 1), "rustbpe": ("rustbpe", None),
            "bpeasy": ("bpeasy", None), "youtokentome": ("youtokentome", None)}
DEFAULT_TRAINERS = ["ours", "tokenizers", "sentencepiece", "rustbpe", "bpeasy", "youtokentome"]
REFERENCE = "tokenizers"  # the per-row ratios of the detailed table are against this trainer
QUALITY_LIBS = {"lorvane_api", "tokenizers", "sentencepiece"}  # these also count holdout tokens
WORD_PATTERN = r" ?[^ ]+| "  # words of normalized text for the byte-level peers
_WS_TO_SPACE = str.maketrans({"\t": " ", "\n": " ", "\r": " "})


def normalize_ws(text: str) -> str:
    """Tab, line feed and carriage return become spaces: each is a word boundary for us."""
    return text.translate(_WS_TO_SPACE)


def line_pieces(text: str) -> list[str]:
    """The batch items for peers: the text cut before every line feed, normalized."""
    return [normalize_ws(p) for p in re.split(r"(?=\n)", text) if p]


def iter_file_chunks(path, block: int = 1 << 16):
    """A UTF-8 file (strictly decoded) in pieces of about `block` bytes, each cut right before a
    whitespace character, so that pre-tokenizing piece by piece gives the whole file's words."""
    decoder = codecs.getincrementaldecoder("utf-8")("strict")
    carry = ""
    with open(path, "rb") as f:
        while data := f.read(block):
            text = carry + decoder.decode(data)
            cut = text.rfind("\n")
            cut = cut if cut > 0 else max(text.rfind(c) for c in "\t\r ")
            carry = text[max(cut, 0):]
            if cut > 0:
                yield text[:cut]
    if text := carry + decoder.decode(b"", final=True):
        yield text


def load_tables(path):
    data = json.loads(Path(path).read_text(encoding="utf-8"))
    return data["vocab"], {int(k): int(r) for k, r in data["merge_rank"]}


def load_ours(path):
    import lorvane_api
    vocab, merge_rank = load_tables(path)
    bpe = lorvane_api.BPE(len(vocab))
    bpe.vocab, bpe.merge_rank = vocab, merge_rank
    bpe.token_to_id = {text: i for i, text in enumerate(vocab)}  # the highest id of a text wins
    return bpe


def tokenizers_encoder(vocab, merge_rank, pre_tokenize: bool):
    """A tokenizers Tokenizer with our tables (converted as `lorvane.export_tokenizers` does).
    With `pre_tokenize` it cuts normalized text before every space and maps the space to the
    marker; without, each input string is one word already carrying the marker."""
    from lorvane.export import tokenizers_tables
    from tokenizers import Tokenizer, models, pre_tokenizers
    token_to_id, merges = tokenizers_tables(vocab, merge_rank)
    tok = Tokenizer(models.BPE(vocab=token_to_id, merges=merges))
    if pre_tokenize:
        tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme="never",
                                                     split=True)
    return tok


def tiktoken_like(module: str, vocab):
    """A tiktoken or tokendagger Encoding of our vocabulary, the marker as a space: first every
    byte and proper prefix of our alphabet's multi-byte characters, so characters are whole
    before our merges apply, then our tokens in id order; and rank_to_id (-1: no token of ours)."""
    token_to_id = {text: i for i, text in enumerate(vocab)}
    as_bytes = [text.replace(MARKER, " ").encode("utf-8") for text in vocab]
    known = set(as_bytes)
    low = [piece for piece in dict.fromkeys([bytes([b]) for b in range(256)] + [
        raw[:k] for text, raw in zip(vocab, as_bytes) if len(text) == 1
        for k in range(2, len(raw))]) if piece not in known]
    ranks = {raw: r for r, raw in enumerate(low)}
    rank_to_id = [-1] * len(low)
    for text, raw in zip(vocab, as_bytes):
        if raw not in ranks:
            ranks[raw] = len(rank_to_id)
            rank_to_id.append(token_to_id[text])
    if module == "tiktoken":
        from tiktoken import Encoding as make
    else:
        from tokendagger import Tokenizer as make
    return make(name="lorvane", pat_str=WORD_PATTERN, mergeable_ranks=ranks,
                special_tokens={}), rank_to_id


def vm_kib(field: str) -> int:
    """A memory figure of this process (VmHWM, unlike ru_maxrss, starts at exec; VmRSS: now)."""
    return next((int(line.split()[1]) for line in open("/proc/self/status")
                 if line.startswith(field + ":")), 0)


def _cpu(*whom) -> float:
    return sum(u.ru_utime + u.ru_stime for u in map(resource.getrusage, whom))


def timed(run, repeats, cpu=lambda: _cpu(resource.RUSAGE_SELF)):
    """Each run's wall and CPU seconds (all threads), and the last run's result."""
    times, cpu_times, out = [], [], None
    for _ in range(repeats):
        c0, t0 = cpu(), time.perf_counter()
        out = run()
        times.append(time.perf_counter() - t0)
        cpu_times.append(cpu() - c0)
    return {"times": times, "cpu_times": cpu_times}, out


def trainer_call(task, out: Path):
    """The training call of `task`'s trainer, and what it leaves to save."""
    lib, threads = TRAINERS[task["trainer"]]
    corpus, vocab_size, held = task["corpus"], task["vocab"], {}
    pieces = map(normalize_ws, iter_file_chunks(corpus))  # read only once training pulls them
    if lib == "lorvane_api":
        import lorvane_api
        held["bpe"] = bpe = lorvane_api.BPE(vocab_size)
        return lambda: bpe.train_fromfile(corpus, 0), held
    if lib == "tokenizers":
        from tokenizers import Regex, Tokenizer, models, normalizers, pre_tokenizers, trainers
        held["tok"] = tok = Tokenizer(models.BPE())
        tok.normalizer = normalizers.Replace(Regex("[\t\n\r]"), " ")
        # Cut before every space, which becomes the marker; a literal U+0120 neither cuts nor
        # differs from the marker, as with us.
        tok.pre_tokenizer = pre_tokenizers.Sequence([
            pre_tokenizers.Split(" ", "merged_with_next"),
            pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme="never", split=False)])
        trainer = trainers.BpeTrainer(vocab_size=vocab_size, min_frequency=0,
                                      show_progress=False, special_tokens=[])
        return lambda: tok.train_from_iterator(iter_file_chunks(corpus), trainer=trainer), held
    if lib == "sentencepiece":
        import sentencepiece as spm
        options = dict(  # BPE set as close to ours as its options allow
            vocab_size=vocab_size, model_type="bpe", character_coverage=1.0, byte_fallback=False,
            input_sentence_size=0, shuffle_input_sentence=False,
            max_sentence_length=1 << (24 if task.get("long_lines") else 20),
            normalization_rule_name="identity", remove_extra_whitespaces=False,
            add_dummy_prefix=True, split_by_whitespace=True, split_by_unicode_script=False,
            split_by_number=False, split_digits=False, max_sentencepiece_length=512, unk_id=0,
            bos_id=-1, eos_id=-1, pad_id=-1, hard_vocab_limit=False, minloglevel=1,
            input=task["sp_corpus"], model_prefix=str(out / "sp"))
        if threads:
            options["num_threads"] = threads
        return lambda: spm.SentencePieceTrainer.train(**options), held
    if lib == "rustbpe":
        import rustbpe
        held["tok"] = tok = rustbpe.Tokenizer()
        # 64 pieces of 64 KiB per refill: its buffer holds 4 MiB of text, not 512 MiB
        return lambda: tok.train_from_iterator(pieces, vocab_size, buffer_size=64,
                                               pattern=WORD_PATTERN), held
    if lib == "bpeasy":
        import bpeasy
        return lambda: held.update(vocab=bpeasy.train_bpe(
            pieces, WORD_PATTERN, 1 << 16, vocab_size, batch_size=64)), held
    import youtokentome  # reads the file itself; its vocab_size counts its 4 special ids
    return lambda: held.update(bpe=youtokentome.BPE.train(
        data=corpus, model=str(out / "yttm.model"), vocab_size=vocab_size)), held


def child_train(task):
    lib, out = TRAINERS[task["trainer"]][0], Path(task["model_dir"])
    rss_before = vm_kib("VmRSS")
    run, held = trainer_call(task, out)
    times = timed(run, 1)[0]
    result = {"wall": times["times"][0], "cpu": times["cpu_times"][0]}
    if lib == "lorvane_api":
        bpe = held.pop("bpe")
        bpe.encode("The model is held in memory.")
        result["model_rss_kib"] = vm_kib("VmRSS") - rss_before  # tables kept after training
        (out / "ours.json").write_text(json.dumps(
            {"vocab": list(bpe.vocab), "merge_rank": sorted(bpe.merge_rank.items())}))
        result.update(model=str(out / "ours.json"), vocab_got=len(bpe.vocab))
        # With the model gone, what the process still holds beyond its start is memory that
        # nothing uses, kept from training.
        del bpe, run
        gc.collect()
        result["kept_after_kib"] = vm_kib("VmRSS") - rss_before
    elif lib == "tokenizers":
        held["tok"].save(str(out / "tokenizer.json"))
        result.update(model=str(out / "tokenizer.json"), vocab_got=held["tok"].get_vocab_size())
    elif lib == "sentencepiece":
        import sentencepiece as spm
        sp = spm.SentencePieceProcessor(model_file=str(out / "sp.model"))
        result.update(model=str(out / "sp.model"), vocab_got=sp.get_piece_size())
    elif lib == "youtokentome":
        result.update(model=str(out / "yttm.model"), vocab_got=held["bpe"].vocab_size())
    else:
        result["vocab_got"] = held["tok"].vocab_size if lib == "rustbpe" else len(held["vocab"])
    return result


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
        tokens = sum(map(len, sp.encode(text.replace("\t", " ").replace("\r", " ").split("\n"))))
    return {"tokens": tokens, "chars": len(text)}


def _count(ids) -> int:
    return sum(map(len, ids)) if ids and isinstance(ids[0], list) else len(ids)


def child_encode(task):
    """One encoder and setup on one text with our tables: "whole" one call, "lines" or "batch"
    a batch call over line pieces, "calls" a Python loop with one call per line."""
    encoder, setup = task["encoder"], task["setup"]
    raw_bytes = Path(task["text"]).read_bytes()
    raw = raw_bytes.decode("utf-8")
    text, items = normalize_ws(raw), [normalize_ws(line) for line in raw.split("\n") if line]
    vocab, merge_rank = load_tables(task["model"])
    if encoder == "ours":
        fn = load_ours(task["model"]).encode
    elif encoder.startswith("tokenizers"):
        tok = tokenizers_encoder(vocab, merge_rank, pre_tokenize=True)
        fn, batch = (lambda s: tok.encode(s).ids), tok.encode_batch_fast
    else:
        enc, _ = tiktoken_like(encoder, vocab)
        fn, batch = enc.encode_ordinary, lambda pieces: enc.encode_ordinary_batch(pieces)
    if setup in ("lines", "batch"):
        pieces = line_pieces(raw)
        run = lambda: [getattr(e, "ids", e) for e in batch(pieces)]  # noqa: E731
    else:
        run = (lambda: [fn(s) for s in items]) if setup == "calls" else (lambda: fn(text))
    result, ids = timed(run, task["repeats"])
    result.update(bytes=len(raw_bytes), tokens=_count(ids))
    if setup == "calls":
        result["calls"] = len(items)
    return result


def child_decode(task):
    """Decoding time of our decode and of tiktoken's on the ids each encoder gives the text."""
    text = normalize_ws(Path(task["text"]).read_text(encoding="utf-8"))
    if task["decoder"] == "ours":
        bpe = load_ours(task["model"])
        ids, decode = bpe.encode(text), bpe.decode
    else:
        enc, _ = tiktoken_like("tiktoken", load_tables(task["model"])[0])
        ids, decode = enc.encode_ordinary(text), enc.decode
    times = timed(lambda: decode(ids), task["repeats"])[0]["times"]
    return {"times": times, "bytes": len(text.encode("utf-8")), "tokens": len(ids),
            "median": statistics.median(times)}


def child_encode_bound(task):
    """The encoding bound of a text: the C++ program's pass over the text as encode gets it,
    one text per line, plus making the list, timed as the copy of a list of as many ids sharing
    one int per id as our encode's lists do; and whether the ids are our encoder's."""
    raw = Path(task["text"]).read_bytes()
    texts = [normalize_ws(t) for t in raw.decode("utf-8").split("\n") if t] if task["lines"] \
        else [normalize_ws(raw.decode("utf-8"))]
    vocab, merge_rank = load_tables(task["model"])
    tables = [struct.pack("<I", len(vocab))]
    for token in (t.encode("utf-8") for t in vocab):
        tables += [struct.pack("<I", len(token)), token]
    tables.append(struct.pack(f"<{1 + 2 * len(merge_rank)}I", len(merge_rank),
                              *(x for pair in merge_rank.items() for x in pair)))
    files = [Path(task["result"]).with_suffix(suffix) for suffix in (".tables", ".txt", ".ids")]
    files[0].write_bytes(b"".join(tables))
    files[1].write_text("\n".join(texts) + "\n", encoding="utf-8")
    out = subprocess.run([task["program"], files[0], files[1], str(task["repeats"]), files[2]],
                         capture_output=True, text=True, check=True).stdout.split()
    ids, pool = array.array("H", files[2].read_bytes()), list(range(65536))
    bpe = load_ours(task["model"])
    return {"times": [float(t) for t in out[1:]], "ids": len(ids), "bytes": len(raw),
            "list_times": timed([pool[i] for i in ids].copy, task["repeats"])[0]["times"],
            "same_ids": ids.tolist() == [i for t in texts for i in bpe.encode(t)]}


def child_crosscheck(task):
    """Our encode against tokenizers' BPE model (and tiktoken) loaded with our tables, word by
    word over the holdout text, and our merge list against the one tokenizers learned."""
    text = Path(task["holdout"]).read_text(encoding="utf-8")
    words = re.findall(WORD_PATTERN, normalize_ws(text))  # as our reader cuts them
    counts = collections.Counter(words)
    vocab, merge_rank = load_tables(task["model"])
    bpe = load_ours(task["model"])
    ours = {w: bpe.encode(w) for w in counts}
    peer = tokenizers_encoder(vocab, merge_rank, pre_tokenize=False)
    theirs = peer.encode_batch_fast([w.replace(" ", MARKER) for w in counts])
    diff = [w for w, e in zip(counts, theirs) if e.ids != ours[w]]
    # tiktoken falls back to bytes for a character outside our alphabet, where we drop it
    alphabet = {t for t in vocab if len(t) == 1}
    unknown = {w for w in counts if not set(w.replace(" ", MARKER)) <= alphabet}
    enc, rank_to_id = tiktoken_like("tiktoken", vocab)
    tik_known = [w for w in counts if w not in unknown
                 and [rank_to_id[r] for r in enc.encode_ordinary(w)] != ours[w]]
    per_word = [i for w in words for i in ours[w]]

    def examples(ws):
        return [{"word": w.replace(" ", MARKER), "count": counts[w], "ours": ours[w],
                 "ours_text": [vocab[i] for i in ours[w]]}
                for w in sorted(ws, key=lambda w: -counts[w])[:5]]

    result = {"words": len(words), "distinct": len(counts),
              "whole_equals_per_word": bpe.encode(normalize_ws(text)) == per_word,
              "tokenizers_examples": examples(diff), "tiktoken_examples": examples(tik_known),
              "merge_list": compare_merge_lists(vocab, merge_rank, task.get("peer_model"))}
    for name, ws in (("tokenizers_diff", diff), ("tiktoken_known_diff", tik_known),
                     ("unknown_char", unknown)):
        result.update({f"{name}_distinct": len(ws), f"{name}_words": sum(counts[w] for w in ws)})
    return result


def compare_merge_lists(vocab, merge_rank, peer_model):
    """Our merges against those tokenizers learned from the same corpus, and the initial symbols
    only one side has."""
    if not peer_model:
        return None
    model = json.loads(Path(peer_model).read_text(encoding="utf-8"))["model"]
    theirs = [tuple(m) if isinstance(m, list) else tuple(m.split(" ", 1)) for m in model["merges"]]
    ours = [(vocab[k >> 16], vocab[k & 0xFFFF]) for k, _ in sorted(merge_rank.items(),
                                                                   key=lambda kv: kv[1])]
    first = next((i for i, (x, y) in enumerate(zip(ours, theirs)) if x != y), None)
    if first is None and len(ours) != len(theirs):
        first = min(len(ours), len(theirs))
    alphabet = set(vocab[: len(vocab) - len(merge_rank)])
    peer_alphabet = {t for t in model["vocab"] if len(t) == 1}
    return {"ours": len(ours), "tokenizers": len(theirs), "first_difference": first,
            "example": [ours[first], theirs[first]]
            if first is not None and first < min(len(ours), len(theirs)) else None,
            "ours_only_symbols": [f"U+{ord(c):04X}" for c in sorted(alphabet - peer_alphabet)],
            "tokenizers_only_symbols": [f"U+{ord(c):04X}"
                                        for c in sorted(peer_alphabet - alphabet)]}


def _forkserver_cpu() -> float:
    """CPU seconds of the forkserver lorvane's pools start their workers from, with the workers
    it reaped (not our children, so RUSAGE_CHILDREN never sees them); 0 before it starts."""
    from multiprocessing import forkserver
    pid = getattr(forkserver._forkserver, "_forkserver_pid", None)
    if not pid:
        return 0.0
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return sum(int(x) for x in fields[11:15]) / os.sysconf("SC_CLK_TCK")  # utime .. cstime


def child_dataset(task):
    """A dataset of one document per line encoded by one setup: "dataset" runs
    `lorvane.encode_dataset` end to end, its pool included; the others get the lines or text read
    (for tiktoken normalized) before timing. CPU time counts every process and thread."""
    import lorvane
    path, encoder, setup, workers = task["text"], task["encoder"], task["setup"], task["workers"]
    model = load_ours(task["model"])
    if setup == "dataset":
        def run():
            s = lorvane.encode_dataset(model, [path], Path(task["out"]) / "dataset",
                                       workers=workers, progress=False)
            return s.ids - max(s.documents - 1, 0), s.documents
    else:
        text = Path(path).read_text(encoding="utf-8")
        lines = text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")
        if encoder == "tiktoken":
            enc, _ = tiktoken_like("tiktoken", load_tables(task["model"])[0])
            text, lines = normalize_ws(text), [normalize_ws(line) for line in lines]
        call = {("ours", "batch"): lambda: lorvane.encode_batch(model, lines, workers=workers),
                ("ours", "whole"): lambda: model.encode(text),
                ("tiktoken", "batch"): lambda: enc.encode_ordinary_batch(lines),
                ("tiktoken", "whole"): lambda: enc.encode_ordinary(text)}[(encoder, setup)]

        def run():
            return _count(call()), len(lines)

    result, (tokens, documents) = timed(run, task["repeats"], lambda: _forkserver_cpu() + _cpu(
        resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))
    return dict(result, bytes=Path(path).stat().st_size, tokens=tokens, documents=documents)


TASKS = {"train": child_train, "quality": child_quality, "encode": child_encode,
         "encode_bound": child_encode_bound, "decode": child_decode,
         "crosscheck": child_crosscheck, "dataset": child_dataset,
         "baseline": lambda task: __import__(task["lib"]) and {}}  # the import's memory alone


if __name__ == "__main__":
    task = json.loads(Path(sys.argv[1]).read_text())
    result = TASKS[task["kind"]](task)
    result["vm_hwm_kib"] = vm_kib("VmHWM")
    Path(task["result"]).write_text(json.dumps(result))
