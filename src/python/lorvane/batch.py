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
call each. Joining also spares a check per text: `encode` reports a text with no known character
on standard error, and a joined text always has one, its breaks. Tried and dropped: joining with
a space, which changes the first word of the next text (a first word has no space marker).

What travels to a worker. A `BPE` cannot be pickled, so a task carries a `ModelRef`: the tables
as one pickled blob (cheap to send and to receive without unpacking) and a key. A worker keeps
the model it rebuilt for the last key it saw, so it rebuilds once per run, not once per task.
"""

from __future__ import annotations

import concurrent.futures
import itertools
import multiprocessing
import os
import operator
import pickle
import secrets
import sys
from array import array
from collections.abc import Iterable, Iterator, Sequence
from typing import NamedTuple

import lorvane_api

from .model_file import Tables, assign_tables, require_trained, tables

# Characters above U+FFFF whose low 16 bits are a line feed, the break in joined texts; removed
# from them by str.translate.
_ASTRAL_LINE_FEEDS = [chr(plane << 16 | 0x0A) for plane in range(1, 17)]
_WITHOUT_ASTRAL_LINE_FEEDS = dict.fromkeys(map(ord, _ASTRAL_LINE_FEEDS))

_UTF32 = "utf-32-le" if sys.byteorder == "little" else "utf-32-be"  # an array("I")'s bytes

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


def uint16_le(ids: list[int]) -> bytearray:
    """`ids`, each from 0 to 65535, as little-endian uint16 bytes.

    Through 8-byte integers, then every eighth byte: `array("Q").fromlist` converts a list of
    ints about three times as fast as `array("H")`, whose conversion checks each value's range
    through the argument parser, and the two strided copies cost less than that difference."""
    wide = array("Q")
    wide.fromlist(ids)
    raw = wide.tobytes()
    low, high = (0, 1) if sys.byteorder == "little" else (7, 6)
    out = bytearray(2 * len(ids))
    out[0::2] = raw[low::8]
    out[1::2] = raw[high::8]
    return out


def trained_tables(model: lorvane_api.BPE) -> Tables:
    """The model's tables; refuses a model with no vocabulary."""
    state = tables(model)
    require_trained(state["vocab"])
    return state


def known_characters(token_to_id: dict[str, int]) -> frozenset[str]:
    """Every character that encoding finds in `token_to_id`: a character is looked up by its
    low 16 bits, and a space as the marker U+0120."""
    units = {ord(key) for key in token_to_id if len(key) == 1 and ord(key) <= 0xFFFF}
    if 0x120 in units:
        units.add(0x20)
    return frozenset(chr(plane << 16 | unit) for unit in units for plane in range(17))


class Encoded(NamedTuple):
    """Documents as ids: `ids`, little-endian uint16 bytes holding each document's ids followed
    by one slot (the break id when joined, else 0); `sizes`, each document's number of ids plus
    one for its slot."""

    ids: bytes
    sizes: array[int]

    def ids_of_each(self) -> list[list[int]]:
        """The ids of each document, without the slots."""
        flat = _ids_list(self.ids)
        ends = list(itertools.accumulate(self.sizes))
        # Slices made by map rather than a comprehension: 40 % less time for short texts.
        return list(map(flat.__getitem__, map(slice, itertools.chain((0,), ends),
                                              map((-1).__add__, ends))))


class Encoder:
    """A model rebuilt from tables in this process, encoding documents in joined batches where
    the tables allow it (see the module's text)."""

    def __init__(self, state: Tables):
        vocab, token_to_id = state["vocab"], state["token_to_id"]
        brk = len(vocab)
        used = {i & 0xFFFF for i in token_to_id.values()}
        right_ids = {key & 0xFFFF for key in state["merge_rank"]}
        self.joined = (brk <= 0xFFFF and "\n" not in token_to_id and brk not in used
                       and brk not in right_ids
                       and not any(key >> 16 == brk for key in state["merge_rank"]))
        if self.joined:
            state = {"vocab_size": state["vocab_size"], "vocab": vocab + ["\n"],
                     "merge_rank": state["merge_rank"], "token_to_id": {**token_to_id, "\n": brk}}
        self.model = assign_tables(state)
        self.brk = brk
        # One call per text: a text none of whose characters can be found yields no id, and
        # `encode` would say so on standard error; such texts are left out.
        self.known = frozenset() if self.joined else known_characters(token_to_id)
        # Ids read as UTF-16 code units are one character each unless a pair of them forms a
        # surrogate pair: the breaks are found that way only when no id can be a surrogate.
        self.ids_as_text = self.joined and max(used | {brk}) < 0xD800
        # A space before each break makes the next document's first word a word of its own
        # ("Ġ\nword"), which the encoder's word cache knows from other documents, where
        # "last\nfirst" of two documents would be new to it: a quarter less time on short
        # lines. The marker's id is then taken out before each break; it stands alone there as
        # long as no merge ends in it, which training never makes.
        marker = token_to_id.get("\u0120")
        self.spacer = (chr(marker & 0xFFFF) if self.ids_as_text and marker is not None
                       and marker & 0xFFFF not in right_ids else "")

    def encode_lines(self, text: str, count: int) -> Encoded:
        """`text` holds `count` documents, each ended by a line feed and holding no other."""
        if not self.joined:
            return self._one_by_one(text.split("\n")[:-1])
        if any(c in text for c in _ASTRAL_LINE_FEEDS):  # each would make a break of its own
            text = text.translate(_WITHOUT_ASTRAL_LINE_FEEDS)
        if self.spacer:
            text = text.replace("\n", " \n")
        ids = self.model.encode(text) if text else []
        if not self.ids_as_text:
            index, end, brk = ids.index, 0, self.brk
            ends = [end := index(brk, end) + 1 for _ in range(count)]
            return Encoded(bytes(uint16_le(ids)),
                           array("Q", map(operator.sub, ends, itertools.chain((0,), ends))))
        # The ids as a str of one character each, then the runs between breaks in one pass in C,
        # each one character longer for its break: the spacer before it, or a character put in.
        wide = array("I")
        wide.fromlist(ids)
        runs = str(memoryview(wide).cast("B"), _UTF32)
        mark = chr(self.brk)
        if self.spacer:
            sizes = array("Q", map(len, runs.split(mark, count)[:count]))
            runs = runs.replace(self.spacer + mark, mark)
        else:
            sizes = array("Q", map(len, runs.replace(mark, "\0" + mark).split(mark, count)[:count]))
        assert len(sizes) == count, "a break id that no line feed made"
        return Encoded(runs.encode("utf-16-le"), sizes)

    def encode_texts(self, texts: Sequence[str]) -> Encoded:
        """The documents `texts`."""
        if not self.joined:
            return self._one_by_one(texts)
        text = "\n".join(texts) + "\n" if texts else ""
        if text.count("\n") != len(texts):  # some texts hold line feeds
            text = "".join(t.replace("\n", "") + "\n" for t in texts)
        return self.encode_lines(text, len(texts))

    def _one_by_one(self, texts: Sequence[str]) -> Encoded:
        ids: list[int] = []
        sizes = array("Q")
        for text in texts:
            if not self.known.isdisjoint(text):
                found = self.model.encode(text)
                ids += found
                sizes.append(len(found) + 1)
            else:
                sizes.append(1)
            ids.append(0)
        return Encoded(bytes(uint16_le(ids)), sizes)

    def encode_one(self, text: str) -> list[int]:
        """The ids of one text, as `model.encode` gives them."""
        return _ids_list(self.encode_texts([text]).ids[:-2])

    def first_failure(self, texts: Sequence[str]) -> tuple[int, Exception]:
        """The index of the first of `texts` that cannot be encoded, and its error; for a batch
        that failed, to say where."""
        for i, text in enumerate(texts):
            try:
                self.encode_one(text)
            except (RuntimeError, TypeError) as error:
                return i, error
        raise AssertionError("no text fails alone although the batch failed")


def _ids_list(raw: bytes) -> list[int]:
    """Little-endian uint16 bytes as a list of ints."""
    packed = array("H")
    packed.frombytes(raw)
    return little_endian(packed).tolist()


def little_endian(values: array[int]) -> array[int]:
    """`values` with their bytes in little-endian order (swapped in place on a big-endian host);
    reading bytes into an array is its own inverse."""
    if sys.byteorder == "big":
        values.byteswap()
    return values


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
    """A task of `encode_batch`: `Encoded` ids and sizes (native uint64) of the texts."""
    encoded = encode_or_locate(encoder_for(ref), texts)
    return encoded.ids, encoded.sizes.tobytes()


def encode_or_locate(encoder: Encoder, texts: Sequence[str]) -> Encoded:
    """`encoder.encode_texts(texts)`; a failure is raised again naming the text at fault."""
    try:
        return encoder.encode_texts(texts)
    except (RuntimeError, TypeError):
        raise _failure_naming_text(encoder, texts) from None


def _failure_naming_text(encoder: Encoder, texts: Sequence[str]) -> Exception:
    """The error of the first text that cannot be encoded, with its index and the character at
    fault where it is one."""
    i, error = encoder.first_failure(texts)
    return type(error)(f"text {i}: {describe_failure(texts[i], error)}")


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
    if set(map(type, texts)) - {str} and not all(isinstance(text, str) for text in texts):
        bad = next(i for i, text in enumerate(texts) if not isinstance(text, str))
        raise TypeError(f"text {bad} is a {type(texts[bad]).__name__}, not a str")
    if executor is None and (workers == 1 or sum(map(len, texts)) < _IN_PROCESS_CHARS):
        return _loop(model, texts)
    state = trained_tables(model)
    ref = ModelRef.of(state)
    batches = list(_batches(texts, _TASK_CHARS))
    if executor is None:
        with process_pool(min(workers or default_workers(), len(batches))) as pool:
            return _gather(pool, ref, batches)
    return _gather(executor, ref, batches)


def _loop(model: lorvane_api.BPE, texts: list[str]) -> list[list[int]]:
    """`[model.encode(t) for t in texts]` in this process, without the message for a text that
    yields no id. In one process the plain loop is the fastest way: its lists share the model's
    int objects, where lists rebuilt from joined ids need a new int per id."""
    require_trained(model.vocab)
    known = known_characters(model.token_to_id)
    encode = model.encode
    try:
        # The first character settles it for nearly every text; the full check is for the rest.
        return [encode(text) if text[:1] in known or not known.isdisjoint(text) else []
                for text in texts]
    except (RuntimeError, TypeError):
        raise _failure_naming_text(Encoder(tables(model)), texts) from None


def _gather(executor: concurrent.futures.Executor, ref: ModelRef,
            batches: list[list[str]]) -> list[list[int]]:
    futures = [executor.submit(encode_task, ref, batch) for batch in batches]
    try:
        result: list[list[int]] = []
        for future in futures:
            ids, size_bytes = future.result()
            sizes = array("Q")
            sizes.frombytes(size_bytes)
            result += Encoded(ids, sizes).ids_of_each()
        return result
    finally:
        for future in futures:
            future.cancel()


def _batches(texts: list[str], chars: int) -> Iterator[list[str]]:
    batch: list[str] = []
    size = 0
    for text in texts:
        batch.append(text)
        size += len(text)
        if size >= chars:
            yield batch
            batch, size = [], 0
    if batch:
        yield batch

