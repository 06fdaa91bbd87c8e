"""Encoding text files into one flat file of token ids and an offsets index.

Each input holds one document per line: a line of plain text, or, with `field`, a JSON object
whose `field` member is the document's text (JSON Lines; blank lines are skipped). The output is
two files:

- PREFIX.bin: the ids as little-endian uint16, the documents one after another in input order,
  with the separator id (default len(vocab), one past the vocabulary) between each two of them;
- PREFIX.idx: n + 1 little-endian uint64 offsets for n documents: document i is
  ids[idx[i] : idx[i + 1] - 1], and the last offset is len(ids) + 1, as if one more separator
  followed the last document (0 when there is no document).

The inputs are cut into chunks of whole lines (byte ranges), handed to a `concurrent.futures`
executor; a task carries the model's tables, reads its byte range itself and sends back only
ids. The results are written in input order, so the output is the same byte for byte whatever
runs the tasks. Both files are written under temporary names and renamed at the end; a run that
fails leaves neither under its final name.
"""

from __future__ import annotations

import collections
import concurrent.futures
import contextlib
import itertools
import json
import os
import pathlib
import sys
import time
from array import array
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import Any, BinaryIO, NamedTuple

import lorvane_api

from .batch import (Encoder, ModelRef, default_workers, encoder_for, little_endian, process_pool,
                    trained_tables)
from .executors import InProcessExecutor
from .model_file import part_path

CHUNK_BYTES = 4_000_000
SEPARATOR_TEXT = "<|endoftext|>"  # the separator's text when a model is exported
_IN_PROCESS_BYTES = 8_000_000  # below this, worker processes cost more than they save


class Chunk(NamedTuple):
    """Bytes `start` to `end` of a file: whole lines, the last one with its line feed if it has
    one."""

    path: str
    start: int
    end: int


class DatasetSummary(NamedTuple):
    """What `encode_dataset` wrote."""

    documents: int
    ids: int  # separators included
    bytes: int  # of input
    separator: int
    seconds: float


def encode_dataset(model: lorvane_api.BPE, inputs: Iterable[str | os.PathLike[str]],
                   output_prefix: str | os.PathLike[str], *, field: str | None = None,
                   separator: int | None = None, workers: int | None = None,
                   executor: concurrent.futures.Executor | None = None, progress: bool = True,
                   chunk_bytes: int = CHUNK_BYTES,
                   max_pending: int | None = None) -> DatasetSummary:
    """Encodes the documents of `inputs` into OUTPUT_PREFIX.bin and OUTPUT_PREFIX.idx (see the
    module's text), creating the output folder if needed.

    The chunks run on `executor` (any `concurrent.futures.Executor`: a process pool, a Dask
    client's `get_executor()`, `lorvane.executors.RayExecutor()`), whose workers must see the
    inputs at the same paths; otherwise on a pool of `workers` processes (default: every core)
    started for the call, or in this process for `workers=1` or less than 8 MB of input. At most
    `max_pending` chunks are in flight (default twice the workers). `progress` draws a line on
    `sys.stderr`. Nothing here touches the process's file descriptors, so it is safe on a
    threaded worker.

    Raises `ValueError` for input that cannot be encoded (invalid UTF-8, a missing JSON field, a
    character no model can take), naming the file and byte offset, and `OSError` naming the path
    that cannot be read or written.
    """
    state = trained_tables(model)
    separator = len(state["vocab"]) if separator is None else separator
    if not 0 <= separator <= 0xFFFF:
        raise ValueError(f"the separator id {separator} does not fit 16 bits")
    paths = [str(p) for p in inputs]
    sizes = [_input_size(p) for p in paths]
    output = pathlib.Path(output_prefix)
    finals = [output.with_name(output.name + suffix) for suffix in (".bin", ".idx")]
    _make_folder(output.parent)
    ref = ModelRef.of(state)

    own_pool = None
    if executor is None:
        workers = workers or default_workers()
        if workers == 1 or sum(sizes) < _IN_PROCESS_BYTES:
            executor, workers = InProcessExecutor(), 1
        else:
            executor = own_pool = process_pool(workers)
    max_pending = max_pending or 2 * (workers or default_workers())
    bar = _Progress(sum(sizes), progress)

    def submit(chunk: Chunk) -> concurrent.futures.Future[Any]:
        return executor.submit(encode_chunk, ref, chunk, field, separator)

    results = _in_order(submit, chunks_of(paths, chunk_bytes), max_pending)
    parts: list[pathlib.Path] = []
    try:
        with _part_file(finals[0], parts) as ids_file, _part_file(finals[1], parts) as idx_file:
            counts = _write_results(results, separator, ids_file, idx_file, bar)
        _publish(parts, finals)
    except BaseException:
        bar.end_line()
        raise
    finally:
        results.close()  # cancels the chunks not started when writing failed
        for part in parts:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(part)
        if own_pool is not None:
            own_pool.shutdown(wait=True, cancel_futures=True)
    bar.update(*counts, final=True)
    return DatasetSummary(counts[1], counts[2], counts[0], separator,
                          time.perf_counter() - bar.start)


# ---------------------------------------------------------------------------------------------
# One task: a chunk encoded in a worker


def encode_chunk(ref: ModelRef, chunk: Chunk, field: str | None,
                 separator: int) -> tuple[bytes, bytes]:
    """The task: the chunk's ids with the separator between its documents, as little-endian
    uint16 bytes, and each document's number of ids plus one for the separator after it, as
    little-endian uint64 bytes."""
    encoder = encoder_for(ref)
    text = _chunk_text(chunk)
    documents, starts = None, None
    try:
        if field is not None:
            documents, starts = _json_documents(chunk, text, field)
            encoded = encoder.encode_texts(documents)
        else:
            if not text.endswith("\n"):
                text += "\n"  # the file's last line
            encoded = encoder.encode_lines(text, text.count("\n"))
    except (RuntimeError, TypeError):
        if documents is None:
            documents = text.split("\n")[:-1]
        _raise_located(encoder, chunk, documents, starts)
        raise
    ids = encoded.ids[:-2]  # without the slot after the last document
    if not (encoder.joined and separator == encoder.brk) and len(encoded.sizes) > 1:
        patched, slot = bytearray(ids), separator.to_bytes(2, "little")
        for end in itertools.accumulate(encoded.sizes[:-1]):
            patched[2 * end - 2:2 * end] = slot
        ids = bytes(patched)
    return ids, little_endian(encoded.sizes).tobytes()


def _chunk_text(chunk: Chunk) -> str:
    with open(chunk.path, "rb") as f:
        f.seek(chunk.start)
        data = f.read(chunk.end - chunk.start)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ValueError(f"{chunk.path}: invalid UTF-8 at byte {chunk.start + error.start:,}"
                         ) from None


def _json_documents(chunk: Chunk, text: str, field: str) -> tuple[list[str], list[int]]:
    """The `field` texts of the chunk's non-blank JSON lines, and the byte offset of each line."""
    documents, starts = [], []
    offset = chunk.start
    for line in text.split("\n"):
        start, offset = offset, offset + len(line.encode("utf-8")) + 1
        if not line.strip():
            continue
        try:
            value = json.loads(line)
            document = value[field]
        except json.JSONDecodeError as error:
            raise ValueError(f"{chunk.path}: byte {start:,}: not a JSON line ({error.msg})"
                             ) from None
        except (KeyError, TypeError, IndexError):
            raise ValueError(f"{chunk.path}: byte {start:,}: no text under {field!r}") from None
        if not isinstance(document, str):
            raise ValueError(f"{chunk.path}: byte {start:,}: {field!r} holds "
                             f"{type(document).__name__}, not a text")
        documents.append(document)
        starts.append(start)
    return documents, starts


def _raise_located(encoder: Encoder, chunk: Chunk, documents: list[str],
                   starts: list[int] | None) -> None:
    """Raises a `ValueError` naming the file and byte offset of the document that cannot be
    encoded: of the character at fault in a line of text, of the line in JSON Lines."""
    from .text import find_unencodable

    i, error = encoder.first_failure(documents)
    found = find_unencodable(documents[i], limit=1)
    if starts is not None:
        where = f"byte {starts[i]:,}: in the text under the field, "
    else:
        offset = chunk.start + sum(len(d.encode("utf-8")) + 1 for d in documents[:i])
        if found:
            offset += len(documents[i][:found[0].position].encode("utf-8"))
        where = f"byte {offset:,}: "
    raise ValueError(f"{chunk.path}: {where}{found[0].what() if found else error}") from None


# ---------------------------------------------------------------------------------------------
# The run: chunks out to the executor, results written in order


def chunks_of(paths: Iterable[str], chunk_bytes: int = CHUNK_BYTES) -> Iterator[Chunk]:
    """The chunks of the files in order, each about `chunk_bytes` long, cut after a line feed."""
    for path in paths:
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            start = 0
            while start < size:
                f.seek(min(start + chunk_bytes, size) - 1)
                f.readline()  # on to the end of the line holding the chunk's last byte
                end = f.tell()
                yield Chunk(path, start, end)
                start = end


def _in_order(submit: Callable[[Chunk], concurrent.futures.Future[Any]], chunks: Iterable[Chunk],
              max_pending: int) -> Generator[tuple[Chunk, Any], None, None]:
    """(chunk, result) in the order of `chunks`, with up to `max_pending` of them submitted; a
    failed chunk raises its error here, and what has not started is cancelled."""
    pending: collections.deque[tuple[Chunk, concurrent.futures.Future[Any]]] = collections.deque()
    try:
        for chunk in chunks:
            pending.append((chunk, submit(chunk)))
            if len(pending) >= max_pending:
                chunk, future = pending.popleft()
                yield chunk, future.result()
        while pending:
            chunk, future = pending.popleft()
            yield chunk, future.result()
    finally:
        for _, future in pending:
            future.cancel()


def _write_results(results: Iterable[tuple[Chunk, tuple[bytes, bytes]]], separator: int,
                   ids_file: BinaryIO, idx_file: BinaryIO,
                   bar: _Progress) -> tuple[int, int, int]:
    """Writes the chunks' ids, with the separator between the last document of one and the first
    of the next, and the offset of every document; returns (input bytes, documents, ids)."""
    done = documents = 0
    start = 0  # offset of the next document: one past the separator before it
    for chunk, (ids, size_bytes) in results:
        sizes = array("Q")
        sizes.frombytes(size_bytes)
        little_endian(sizes)
        if sizes and documents:
            ids_file.write(separator.to_bytes(2, "little"))
        ids_file.write(ids)
        offsets = array("Q", itertools.accumulate(sizes, initial=start))
        start = offsets.pop()
        idx_file.write(little_endian(offsets).tobytes())
        documents += len(sizes)
        done += chunk.end - chunk.start
        bar.update(done, documents, max(start - 1, 0))
    idx_file.write(little_endian(array("Q", [start])).tobytes())
    return done, documents, max(start - 1, 0)


def _input_size(path: str) -> int:
    """The size of an input file; an error names the path as the caller gave it."""
    try:
        size = os.stat(path).st_size
        with open(path, "rb"):
            pass
    except OSError as error:
        raise type(error)(error.errno, error.strerror, path) from None
    if os.path.isdir(path):
        raise IsADirectoryError(21, "Is a directory", path)
    return size


def _make_folder(folder: pathlib.Path) -> None:
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise type(error)(error.errno, f"cannot create the output folder: {error.strerror}",
                          str(folder)) from None


@contextlib.contextmanager
def _part_file(final: pathlib.Path, made: list[pathlib.Path]) -> Iterator[BinaryIO]:
    """A new file beside `final` under a name of its own, open for writing; its path is added to
    `made`, for renaming or removal. An error names `final`, not the temporary name."""
    path = part_path(final)
    try:
        f = open(path, "xb")  # the usual permissions, unlike a mkstemp file
    except OSError as error:
        raise type(error)(error.errno, f"cannot write: {error.strerror}", str(final)) from None
    made.append(path)
    with f:
        yield f


def _publish(parts: list[pathlib.Path], finals: list[pathlib.Path]) -> None:
    """Renames the written parts to their final names, both or neither: an old index goes first
    (it would not match the new ids), and the new ids go again if the index cannot follow."""
    ids_part, idx_part = parts
    ids_final, idx_final = finals
    try:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(idx_final)
        os.replace(ids_part, ids_final)
        try:
            os.replace(idx_part, idx_final)
        except BaseException:
            os.unlink(ids_final)
            raise
    except OSError as error:
        raise type(error)(error.errno, f"cannot write: {error.strerror}", str(ids_final)
                          ) from None


class _Progress:
    """A line on `sys.stderr`, redrawn at most ten times a second: input done, throughput,
    documents and ids."""

    def __init__(self, total_bytes: int, enabled: bool):
        self.total, self.enabled = total_bytes, enabled
        self.start = self.drawn = time.perf_counter()

    def end_line(self) -> None:
        """Ends a line drawn and not yet ended, so that an error starts on a line of its own."""
        if self.enabled and self.drawn > self.start:
            print(file=sys.stderr, flush=True)

    def update(self, done: int, documents: int, ids: int, final: bool = False) -> None:
        now = time.perf_counter()
        if not self.enabled or (now - self.drawn < 0.1 and not final):
            return
        self.drawn = now
        rate = done / 1e6 / max(now - self.start, 1e-9)
        percent = 100 * done / self.total if self.total else 100
        print(f"\rencoding {percent:5.1f}% {done / 1e6:,.1f}/{self.total / 1e6:,.1f} MB "
              f"{rate:7.1f} MB/s {documents:,} documents {ids:,} ids",
              end="\n" if final else "", file=sys.stderr, flush=True)
