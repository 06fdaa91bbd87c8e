"""Encoding many texts: in this process or on worker processes, with the same ids as
`model.encode` on each text.

How a batch is encoded. A call on `model.encode` costs about a microsecond and a half beyond its
text, which is most of the time for short documents. So a worker joins the texts of a batch with
a line feed and encodes them in one call, on a copy of the model whose only change is that the
line feed is a token of its own (the "break" id) that no merge involves: merges never cross it,
so each text comes out exactly as `model.encode` gives it alone, and the break ids show where one
text ends. Encoding drops a character the vocabulary lacks, and line feeds are such characters
in every trained model: a line feed inside a text is removed before joining, which is what
encoding does with it anyway. Characters above U+FFFF are looked up by their low 16 bits, so
U+1000A to U+10000A would be taken for the break: those are removed too. When the tables do not
allow this (a vocabulary that has a line feed, or that uses the break id), texts are encoded one
call each. Tried and dropped: joining with a space (it changes the first word of the next text,
which has no space marker) and checking each text for a known character before the call (the
check costs as much as the call).

What travels to a worker. A `BPE` cannot be pickled, so a task carries a `ModelRef`: the tables
as one pickled blob (cheap to send and to receive without unpacking) and a key. A worker keeps
the model it rebuilt for the last key it saw, so it rebuilds once per run, not once per task.
"""

from __future__ import annotations

import concurrent.futures
import itertools
import multiprocessing
import os
import pickle
import re
import secrets
from array import array
from collections.abc import Iterable, Sequence
from typing import NamedTuple

import lorvane_api

from .model_file import Tables, from_tables, tables

# Characters whose low 16 bits are a line feed: the break in joined texts.
_LINE_FEEDS = "\n" + "".join(chr(plane << 16 | 0x0A) for plane in range(1, 17))
_ASTRAL_LINE_FEEDS = re.compile(f"[{_LINE_FEEDS[1:]}]")

# Below this much text a batch is encoded in the calling process: starting worker processes and
# rebuilding the model in each costs more than it saves.
_IN_PROCESS_CHARS = 4_000_000
_TASK_CHARS = 1_000_000  # text per task of encode_batch


class ModelRef(NamedTuple):
    """A model as a task carries it: `key` names the tables, `blob` holds them pickled."""

    key: str
    blob: bytes

    @staticmethod
    def of(state: Tables) -> ModelRef:
        return ModelRef(secrets.token_hex(8), pickle.dumps(state, pickle.HIGHEST_PROTOCOL))


def trained_tables(model: lorvane_api.BPE) -> Tables:
    """The model's tables; refuses a model with no vocabulary."""
    state = tables(model)
    if not state["vocab"]:
        raise ValueError("the model has no vocabulary: train it or load its tables first")
    return state


class Encoder:
    """A model rebuilt from tables in this process, encoding texts in joined batches where the
    tables allow it (see the module's text)."""

    def __init__(self, state: Tables):
        vocab, token_to_id = state["vocab"], state["token_to_id"]
        merge_rank = state["merge_rank"]
        brk = len(vocab)
        used = {i & 0xFFFF for i in token_to_id.values()}
        self.joined = (brk <= 0xFFFF and "\n" not in token_to_id and brk not in used
                       and not any(key >> 16 == brk or key & 0xFFFF == brk for key in merge_rank))
        if self.joined:
            state = dict(state, vocab=vocab + ["\n"], token_to_id=dict(token_to_id, **{"\n": brk}))
        self.model = from_tables(state)
        self.brk = brk

    def encode_joined(self, text: str) -> list[int]:
        """The ids of `text`, a sequence of documents each followed by a line feed (and holding no
        other), with the break id after each document's ids."""
        if _ASTRAL_LINE_FEEDS.search(text):
            text = _ASTRAL_LINE_FEEDS.sub("", text)
        return self.model.encode(text)

    def encode_one(self, text: str) -> list[int]:
        """The ids of one text, as `model.encode` gives them, without its console message for a
        text that yields no id."""
        if not text:
            return []
        if self.joined:
            ids = self.encode_joined(_drop_line_feeds(text) + "\n")
            ids.pop()
            return ids
        return self.model.encode(text)

    def encode_texts(self, texts: Sequence[str]) -> tuple[list[int], list[int]]:
        """(ids of all texts, with the break id after each one's when joined; the number of ids
        of each text)."""
        if not texts:
            return [], []
        if not self.joined:
            encoded = [self.encode_one(text) for text in texts]
            return list(itertools.chain.from_iterable(encoded)), [len(ids) for ids in encoded]
        try:
            ids = self.encode_joined("".join(_drop_line_feeds(t) + "\n" for t in texts))
        except (RuntimeError, TypeError):
            _raise_with_index(self, texts)
            raise
        return ids, break_lengths(ids, self.brk, len(texts))


def break_lengths(ids: list[int], brk: int, count: int) -> list[int]:
    """The number of ids before each of the `count` break ids in `ids`."""
    lengths, start = [], 0
    index = ids.index
    for _ in range(count):
        end = index(brk, start)
        lengths.append(end - start)
        start = end + 1
    return lengths


def _drop_line_feeds(text: str) -> str:
    return text.replace("\n", "") if "\n" in text else text


def _raise_with_index(encoder: Encoder, texts: Sequence[str]) -> None:
    """Encodes the texts one by one to find the one that fails, and raises its error with its
    index."""
    for i, text in enumerate(texts):
        try:
            encoder.encode_one(text)
        except (RuntimeError, TypeError) as error:
            raise type(error)(f"text {i}: {describe_failure(text, error)}") from None


def describe_failure(text: str, error: Exception) -> str:
    """The reason `text` cannot be encoded, naming the first character at fault when it is one
    that no model can take."""
    from .text import find_unencodable

    found = find_unencodable(text)
    if found:
        return f"{found[0].describe()} ({error})"
    return str(error)


# ---------------------------------------------------------------------------------------------
# Workers

# The encoder this process rebuilt last; one entry, replaced when a task brings other tables.
_current: dict[str, Encoder] = {}


def encoder_for(ref: ModelRef) -> Encoder:
    """The encoder for `ref`, rebuilt in this process when its key is new here."""
    encoder = _current.get(ref.key)
    if encoder is None:
        encoder = Encoder(pickle.loads(ref.blob))
        _current.clear()
        _current[ref.key] = encoder
    return encoder


def encode_task(ref: ModelRef, texts: list[str]) -> tuple[bytes, bytes]:
    """A task of `encode_batch`: the texts' ids, without breaks, as native uint16 bytes, and the
    number of ids of each text as native uint64 bytes."""
    encoder = encoder_for(ref)
    ids, lengths = encoder.encode_texts(texts)
    packed = array("H", ids)
    if encoder.joined:
        packed = _without_breaks(packed, lengths)
    return packed.tobytes(), array("Q", lengths).tobytes()


def _without_breaks(ids: array, lengths: list[int]) -> array:
    kept, start = array("H"), 0
    for n in lengths:
        kept.extend(ids[start:start + n])
        start += n + 1
    return kept


def process_pool(workers: int | None = None) -> concurrent.futures.ProcessPoolExecutor:
    """A pool of `workers` processes (default: every core this process may use), started by
    "forkserver": each worker is forked from a server process that has no other thread, so
    neither a lock nor a `BPE` call held by another thread of the caller (a web server's, a Dask
    worker's) is copied into a worker half taken. Unlike "spawn", the interpreter starts once."""
    return concurrent.futures.ProcessPoolExecutor(
        workers or default_workers(), mp_context=multiprocessing.get_context("forkserver"))


def default_workers() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


# ---------------------------------------------------------------------------------------------
# encode_batch


def encode_batch(model: lorvane_api.BPE, texts: Iterable[str], *, workers: int | None = None,
                 executor: concurrent.futures.Executor | None = None) -> list[list[int]]:
    """The ids of each text, in order: equal to `[model.encode(t) for t in texts]`, computed on
    several cores.

    With `executor` (any `concurrent.futures.Executor`: a process pool, a Dask client's
    `get_executor()`, `lorvane.executors.RayExecutor()`), the texts go to it in tasks of about a
    million characters, each carrying the model's tables. Otherwise a pool of `workers` processes
    (default: every core) is started for the call and closed after it; `workers=1`, or less than
    about 4 MB of text, encodes in this process. Starting a pool takes a fraction of a second:
    for many calls, keep one (`lorvane.batch.process_pool()`) and pass it as `executor`.

    Unlike the loop, a text that yields no id prints nothing, and an untrained model is refused
    with `ValueError`. A text that cannot be encoded raises the error `model.encode` raises,
    with the text's index and, where it is one, the character at fault.
    """
    texts = texts if isinstance(texts, list) else list(texts)
    if not all(isinstance(text, str) for text in texts):
        bad = next(i for i, text in enumerate(texts) if not isinstance(text, str))
        raise TypeError(f"text {bad} is a {type(texts[bad]).__name__}, not a str")
    state = trained_tables(model)
    if executor is None and (workers == 1 or sum(map(len, texts)) < _IN_PROCESS_CHARS):
        encoder = Encoder(state)
        return _split(*encoder.encode_texts(texts), joined=encoder.joined)
    ref = ModelRef.of(state)
    batches = list(_batches(texts, _TASK_CHARS))
    if executor is None:
        with process_pool(min(workers or default_workers(), len(batches))) as pool:
            return _gather(pool, ref, batches)
    return _gather(executor, ref, batches)


def _gather(executor, ref: ModelRef, batches: list[list[str]]) -> list[list[int]]:
    futures = [executor.submit(encode_task, ref, batch) for batch in batches]
    try:
        result: list[list[int]] = []
        for future in futures:
            ids_bytes, length_bytes = future.result()
            ids, lengths = array("H"), array("Q")
            ids.frombytes(ids_bytes)
            lengths.frombytes(length_bytes)
            flat, start = ids.tolist(), 0
            for n in lengths:
                result.append(flat[start:start + n])
                start += n
        return result
    finally:
        for future in futures:
            future.cancel()


def _split(ids: list[int], lengths: list[int], *, joined: bool) -> list[list[int]]:
    """The per-text lists of `encode_texts`' result (with break ids when `joined`)."""
    result, start = [], 0
    for n in lengths:
        result.append(ids[start:start + n])
        start += n + joined
    return result


def _batches(texts: list[str], chars: int):
    batch, size = [], 0
    for text in texts:
        batch.append(text)
        size += len(text)
        if size >= chars:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch

