"""The peers and how each is set up: trainers, encoders, our tables converted for them, and the
measured tasks that bench/child.py runs in a fresh interpreter (one task per process)."""

from __future__ import annotations

import codecs
import collections
import gc
import json
import os
import re
import resource
import statistics
import time
from pathlib import Path

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
    "rustbpe": ("rustbpe", None),
    "bpeasy": ("bpeasy", None),
    # n_threads left at its default (-1): as many threads as the machine has cores. It cuts words
    # at whitespace and keeps no whitespace run beyond the word-start mark, so on indented text
    # such as code it counts fewer and shorter words than the exact trainers do.
    "youtokentome": ("youtokentome", None),
}
DEFAULT_TRAINERS = ["ours", "tokenizers", "sentencepiece", "rustbpe", "bpeasy", "youtokentome"]
REFERENCE = "tokenizers"  # the per-row ratios of the detailed table are against this trainer
# Peers that give tokens per 1,000 characters of the held-out text (the others train only).
QUALITY_LIBS = {"lorvane_api", "tokenizers", "sentencepiece"}
# Word pattern for the byte-level peers on normalized text: a space starts a word.
WORD_PATTERN = r" ?[^ ]+| "

# Text helpers: the word split of our corpus reader, reproduced on Python strings.

_WS_TO_SPACE = str.maketrans({"\t": " ", "\n": " ", "\r": " "})
_WORD = re.compile(WORD_PATTERN)


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


# Models: our tables saved as JSON, and their conversion for the peers' encoders.


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


def tokenizers_tables(vocab, merge_rank):
    """Our tables converted for tokenizers: the conversion `lorvane.export_tokenizers` ships
    (imported here, in a child, where the package is on the path)."""
    from lorvane.export import tokenizers_tables as convert

    return convert(vocab, merge_rank)


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


TIKTOKEN_PATTERN = WORD_PATTERN


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


def tiktoken_like(module: str, vocab):
    """An Encoding of tiktoken or of tokendagger (which takes the same tables) built from our
    vocabulary."""
    ranks, rank_to_id = tiktoken_tables(vocab)
    if module == "tiktoken":
        import tiktoken

        enc = tiktoken.Encoding(name="lorvane", pat_str=TIKTOKEN_PATTERN,
                                mergeable_ranks=ranks, special_tokens={})
    else:
        import tokendagger

        enc = tokendagger.Tokenizer(name="lorvane", pat_str=TIKTOKEN_PATTERN,
                                    mergeable_ranks=ranks, special_tokens={})
    return enc, rank_to_id


def tiktoken_encoder(vocab):
    return tiktoken_like("tiktoken", vocab)


# Measured tasks.


def _cpu_seconds(usage) -> float:
    return usage.ru_utime + usage.ru_stime


def vm_kib(field: str) -> int:
    """A memory figure of this process from /proc/self/status (VmHWM: peak resident since exec,
    carrying nothing over from the parent unlike ru_maxrss; VmRSS: resident now)."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def normalized_chunks(path):
    return (normalize_ws(chunk) for chunk in iter_file_chunks(path))


def child_train(task):
    name, corpus, vocab_size = task["trainer"], task["corpus"], task["vocab"]
    lib, threads = TRAINERS[name]
    out = Path(task["model_dir"])
    rss_before = vm_kib("VmRSS")
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
    elif lib == "sentencepiece":
        import sentencepiece as spm

        options = dict(sentencepiece_options(vocab_size), input=task["sp_corpus"],
                       model_prefix=str(out / "sp"))
        if task.get("long_lines"):
            options["max_sentence_length"] = 1 << 24
        if threads:
            options["num_threads"] = threads
        run = lambda: spm.SentencePieceTrainer.train(**options)  # noqa: E731
    elif lib == "rustbpe":
        import rustbpe

        tok = rustbpe.Tokenizer()
        # 64 pieces of 64 KiB per refill, so that its buffer holds 4 MiB of text, not 512 MiB
        run = lambda: tok.train_from_iterator(  # noqa: E731
            normalized_chunks(corpus), vocab_size, buffer_size=64, pattern=WORD_PATTERN)
    elif lib == "bpeasy":
        import bpeasy

        holder = {}

        def run():
            holder["vocab"] = bpeasy.train_bpe(normalized_chunks(corpus), WORD_PATTERN, 1 << 16,
                                               vocab_size, batch_size=64)
    elif lib == "youtokentome":
        import youtokentome

        holder = {}

        def run():  # reads the file itself; its vocab_size includes its 4 special ids
            holder["bpe"] = youtokentome.BPE.train(data=corpus, model=str(out / "yttm.model"),
                                                   vocab_size=vocab_size)
    else:
        raise ValueError(name)

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
        rss_after_train = vm_kib("VmRSS")
        bpe.encode("The model is held in memory.")
        result["model_rss_kib"] = vm_kib("VmRSS") - rss_before  # tables kept after training
        save_ours(bpe, out / "ours.json")
        result.update(model=str(out / "ours.json"), vocab_got=len(bpe.vocab),
                      rss_after_save_kib=vm_kib("VmRSS"))
        # With the model gone, what the process still holds beyond its start is memory that
        # nothing uses (heap kept from training); what went with the model were its tables.
        del bpe
        gc.collect()
        rss_after_delete = vm_kib("VmRSS")
        result.update(rss_before_kib=rss_before, rss_after_train_kib=rss_after_train,
                      rss_after_delete_kib=rss_after_delete,
                      kept_after_kib=rss_after_delete - rss_before,
                      tables_kib=rss_after_train - rss_after_delete)
    elif lib == "tokenizers":
        tok.save(str(out / "tokenizer.json"))
        result.update(model=str(out / "tokenizer.json"), vocab_got=tok.get_vocab_size())
    elif lib == "sentencepiece":
        sp = spm.SentencePieceProcessor(model_file=str(out / "sp.model"))
        result.update(model=str(out / "sp.model"), vocab_got=sp.get_piece_size())
    elif lib == "rustbpe":
        result.update(vocab_got=tok.vocab_size)
    elif lib == "youtokentome":
        result.update(model=str(out / "yttm.model"), vocab_got=holder["bpe"].vocab_size())
    else:
        result.update(vocab_got=len(holder["vocab"]))
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


def encode_call(encoder: str, setup: str, model: str, raw: str):
    """The call timed for one encoder on the text `raw` (a whole text, or one line per item for
    the setup "calls": a plain Python loop with one call per line)."""
    vocab, merge_rank = load_ours_tables(model)
    if setup == "calls":
        items = [normalize_ws(line) for line in raw.split("\n") if line]
    text = normalize_ws(raw)
    if encoder == "ours":
        fn = load_ours(model).encode
    elif encoder.startswith("tokenizers"):
        tok = tokenizers_encoder(vocab, merge_rank, pre_tokenize=True)
        if setup == "lines":
            pieces = line_pieces(raw)
            return lambda: [e.ids for e in tok.encode_batch_fast(pieces)]
        fn = lambda s: tok.encode(s).ids  # noqa: E731
    elif encoder in ("tiktoken", "tokendagger"):
        enc, _ = tiktoken_like(encoder, vocab)
        if setup == "batch":
            pieces = line_pieces(raw)
            return lambda: enc.encode_ordinary_batch(pieces)
        fn = enc.encode_ordinary
    else:
        raise ValueError(encoder)
    if setup == "calls":
        return lambda: [fn(s) for s in items]
    return lambda: fn(text)


def _count(ids) -> int:
    return sum(map(len, ids)) if ids and isinstance(ids[0], list) else len(ids)


def child_encode(task):
    """Encoding time of one encoder on one text with our tables: every run's wall and CPU time
    (the report takes the median)."""
    raw_bytes = Path(task["text"]).read_bytes()
    run = encode_call(task["encoder"], task["setup"], task["model"], raw_bytes.decode("utf-8"))
    times, cpu_times, tokens = [], [], 0
    for _ in range(task["repeats"]):
        c0, t0 = time.process_time(), time.perf_counter()
        ids = run()
        times.append(time.perf_counter() - t0)
        cpu_times.append(time.process_time() - c0)
        tokens = _count(ids)
    result = {"times": times, "cpu_times": cpu_times, "bytes": len(raw_bytes), "tokens": tokens}
    if task["setup"] == "calls":
        result["calls"] = sum(1 for line in raw_bytes.split(b"\n") if line)
    return result


def child_decode(task):
    """Decoding time of our decode and of tiktoken's on the ids each encoder gives the text."""
    text = normalize_ws(Path(task["text"]).read_text(encoding="utf-8"))
    if task["decoder"] == "ours":
        bpe = load_ours(task["model"])
        ids = bpe.encode(text)
        run = lambda: bpe.decode(ids)  # noqa: E731
    else:
        enc, _ = tiktoken_encoder(load_ours_tables(task["model"])[0])
        ids = enc.encode_ordinary(text)
        run = lambda: enc.decode(ids)  # noqa: E731
    times = []
    for _ in range(task["repeats"]):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return {"times": times, "bytes": len(text.encode("utf-8")), "tokens": len(ids),
            "median": statistics.median(times)}




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


def _forkserver_cpu() -> float:
    """CPU seconds of the forkserver that lorvane's pools start their workers from, with the
    workers it has reaped (which getrusage's RUSAGE_CHILDREN never sees: they are not our
    children); 0 before one is started."""
    from multiprocessing import forkserver

    pid = getattr(forkserver._forkserver, "_forkserver_pid", None)
    if not pid:
        return 0.0
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return sum(int(x) for x in fields[11:15]) / os.sysconf("SC_CLK_TCK")  # utime .. cstime


def child_dataset(task):
    """Encoding a dataset of one document per line by one setup, every run's wall and CPU time.
    Ours: "dataset" is `lorvane.encode_dataset` from the file to its id and index files on
    `workers` processes (the pool it starts is timed too), "batch" `lorvane.encode_batch` over
    the lines on `workers` processes, "whole" `model.encode` of the whole text as one string.
    tiktoken, with the same tables: "batch" `encode_ordinary_batch` over the lines with its
    default threads, "whole" `encode_ordinary` of the whole text. Lines and text are read (and
    for tiktoken normalized) before timing."""
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
        lines = text.split("\n")
        if lines[-1] == "":
            lines.pop()
        if encoder == "tiktoken":
            enc, _ = tiktoken_encoder(load_ours_tables(task["model"])[0])
            text, lines = normalize_ws(text), [normalize_ws(line) for line in lines]
        call = {("ours", "batch"): lambda: lorvane.encode_batch(model, lines, workers=workers),
                ("ours", "whole"): lambda: model.encode(text),
                ("tiktoken", "batch"): lambda: enc.encode_ordinary_batch(lines),
                ("tiktoken", "whole"): lambda: enc.encode_ordinary(text)}[(encoder, setup)]

        def run():
            return _count(call()), len(lines)

    def cpu_now():  # this process, its reaped children and the pools' workers
        return _forkserver_cpu() + sum(_cpu_seconds(resource.getrusage(who))
                                       for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN))

    times, cpu_times = [], []
    for _ in range(task["repeats"]):
        c0, t0 = cpu_now(), time.perf_counter()
        tokens, documents = run()
        times.append(time.perf_counter() - t0)
        cpu_times.append(cpu_now() - c0)
    return {"times": times, "cpu_times": cpu_times, "bytes": Path(path).stat().st_size,
            "tokens": tokens, "documents": documents}


def child_baseline(task):
    """Import only: the resident memory an interpreter with that library costs before work."""
    __import__(task["lib"])
    return {}


TASKS = {
    "train": child_train,
    "quality": child_quality,
    "encode": child_encode,
    "decode": child_decode,
    "crosscheck": child_crosscheck,
    "baseline": child_baseline,
    "dataset": child_dataset,
}
