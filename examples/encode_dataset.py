"""Encode a text dataset into one flat file of token ids, on every core.

    python examples/encode_dataset.py --model model.json --output data/train corpus.txt
    python examples/encode_dataset.py --model model.json --output data/train --field text *.jsonl

Each input file holds one document per line: a line of plain text, or with `--field NAME` a JSON
object whose NAME member is the document's text (JSON Lines; blank lines are skipped). The files
are read in the order given. `--model` reads the JSON that examples/save_restore.py writes.

The output is two files beside each other:

- PREFIX.bin: the ids as little-endian uint16, the documents one after another in input order,
  with the separator id (default len(vocab), one past the vocabulary) between each two of them;
- PREFIX.idx: n + 1 little-endian uint64 offsets for n documents: document i is
  ids[idx[i] : idx[i + 1] - 1], so idx[i + 1] - 1 is where the separator after it sits, and the
  last offset is len(ids) + 1, as if one more separator followed the last document (0 when
  there is no document).

    ids = numpy.fromfile("data/train.bin", dtype="<u2")
    idx = numpy.fromfile("data/train.idx", dtype="<u8")

The work is cut into chunks of whole lines (byte ranges of a file) and handed to any
`concurrent.futures.Executor`: a ProcessPoolExecutor on one machine, or an executor of a
distributed engine across machines (Dask's `Client.get_executor()`), whose workers then need
lorvane_api, this module and the input files at the same paths. A task carries the model's
tables as one JSON text, from which the worker rebuilds the model (a BPE object cannot be
pickled); it reads its byte range itself and sends back only ids. The parent writes the results
in document order, so the output is the same byte for byte whatever the number of workers. Both
files are written under temporary names and renamed when everything is written: a run that fails
(a worker's error is raised again here) leaves no file under the final names.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import contextlib
import itertools
import json
import os
import pathlib
import secrets
import sys
import time
from array import array
from typing import NamedTuple

CHUNK_BYTES = 4_000_000
SEPARATOR_TEXT = "<|endoftext|>"  # the separator's name when exported (export_tokenizers.py)


class Chunk(NamedTuple):
    """Bytes start to end of a file: whole lines, the last one with its line feed if it has one."""

    path: str
    start: int
    end: int


# ---------------------------------------------------------------------------------------------
# The model as plain values


def model_tables(model) -> str:
    """The model's tables as one JSON text: a plain value that any executor ships to a worker."""
    return json.dumps([model.vocab, sorted(model.merge_rank.items()), model.token_to_id],
                      ensure_ascii=False)


def rebuild_model(tables: str):
    """A BPE model with the tables of `model_tables`."""
    import lorvane_api

    vocab, merges, token_to_id = json.loads(tables)
    model = lorvane_api.BPE(len(vocab))
    model.vocab = vocab
    model.merge_rank = dict(merges)
    model.token_to_id = token_to_id
    return model


def load_model(path):
    """The model saved as JSON by examples/save_restore.py."""
    import lorvane_api

    state = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
    model = lorvane_api.BPE(state["vocab_size"])
    model.vocab = state["vocab"]
    model.merge_rank = {int(key): rank for key, rank in state["merge_rank"].items()}
    model.token_to_id = state["token_to_id"]
    return model


# ---------------------------------------------------------------------------------------------
# One task: a chunk encoded in a worker

# The model this process rebuilt, under the tables it came from: every task of a run carries the
# same tables, so a worker rebuilds the model (and its encoding data) once, not once per chunk.
_rebuilt: dict[str, object] = {}


def _model_for(tables: str):
    if tables not in _rebuilt:
        _rebuilt.clear()
        _rebuilt[tables] = rebuild_model(tables)
    return _rebuilt[tables]


@contextlib.contextmanager
def _quiet_stderr():
    """File descriptor 2 sent to /dev/null: encode reports a text with no known character (a
    line of tabs, say) there, and in a dataset such a document simply has no ids."""
    sys.stderr.flush()
    saved, null = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def _documents(chunk: Chunk, field: str | None) -> list[str]:
    """The documents of a chunk: its lines, or the `field` of each non-blank JSON line."""
    with open(chunk.path, "rb") as f:
        f.seek(chunk.start)
        data = f.read(chunk.end - chunk.start)
    try:
        lines = data.decode("utf-8").split("\n")
    except UnicodeDecodeError as error:
        where = chunk.start + error.start
        raise ValueError(f"{chunk.path}: invalid UTF-8 at byte {where}") from None
    if lines[-1] == "":
        lines.pop()  # the line feed that ends the chunk's last line
    if field is None:
        return lines
    documents = []
    for number, line in enumerate(lines):
        if not line.strip():
            continue
        try:
            text = json.loads(line)[field]
        except (ValueError, KeyError, TypeError, IndexError) as error:
            where = chunk.start + len("\n".join(lines[:number]).encode("utf-8")) + (number > 0)
            raise ValueError(f"{chunk.path}: byte {where}: no text under {field!r} "
                             f"({type(error).__name__}: {error})") from None
        if not isinstance(text, str):
            raise ValueError(f"{chunk.path}: {field!r} holds {type(text).__name__}, not a text")
        documents.append(text)
    return documents


def encode_chunk(tables: str, chunk: Chunk, field: str | None, separator: int):
    """The task: (ids of the chunk's documents with the separator between them, as uint16 bytes;
    the number of ids of each document, as uint64 bytes), both little-endian."""
    model = _model_for(tables)
    documents = _documents(chunk, field)
    with _quiet_stderr():
        encoded = [model.encode(text) if text else [] for text in documents]
    ids = array("H")
    for i, document_ids in enumerate(encoded):
        if i:
            ids.append(separator)
        ids.extend(document_ids)
    lengths = array("Q", map(len, encoded))
    return _little_endian(ids).tobytes(), _little_endian(lengths).tobytes()


# ---------------------------------------------------------------------------------------------
# The run: chunks out to the executor, results written in order


def chunks_of(paths, chunk_bytes: int = CHUNK_BYTES):
    """Yields the chunks of the files in order, each about `chunk_bytes` long, cut after a line
    feed."""
    for path in map(str, paths):
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            start = 0
            while start < size:
                f.seek(min(start + chunk_bytes, size) - 1)
                f.readline()  # on to the end of the line holding the chunk's last byte
                end = f.tell()
                yield Chunk(path, start, end)
                start = end


class InProcessExecutor(concurrent.futures.Executor):
    """Runs each task at once in this process: the single-process run, through the same code."""

    def submit(self, fn, /, *args, **kwargs):
        future = concurrent.futures.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future


class Progress:
    """A line on standard error, redrawn at most ten times a second: input done, throughput,
    documents and ids."""

    def __init__(self, total_bytes: int, enabled: bool):
        self.total, self.enabled = total_bytes, enabled
        self.start = self.drawn = time.perf_counter()

    def update(self, done: int, documents: int, ids: int, final: bool = False):
        now = time.perf_counter()
        if not self.enabled or (now - self.drawn < 0.1 and not final):
            return
        self.drawn = now
        rate = done / 1e6 / max(now - self.start, 1e-9)
        percent = 100 * done / self.total if self.total else 100
        print(f"\rencoding {percent:5.1f}% {done / 1e6:,.1f}/{self.total / 1e6:,.1f} MB "
              f"{rate:7.1f} MB/s {documents:,} documents {ids:,} ids",
              end="\n" if final else "", file=sys.stderr, flush=True)


def encode_dataset(executor, tables: str, paths, output, *, field=None, separator=None,
                   chunk_bytes: int = CHUNK_BYTES, max_pending: int | None = None,
                   progress: bool = True) -> dict:
    """Encodes the documents of `paths` into OUTPUT.bin and OUTPUT.idx (see the module's text)
    with the chunks run on `executor`, at most `max_pending` at once (default twice this
    machine's cores; raise it for a cluster with more workers). Returns what was written."""
    vocab_size = len(json.loads(tables)[0])
    if not vocab_size:
        raise ValueError("the model has no vocabulary: train it or load its tables first")
    separator = vocab_size if separator is None else separator
    if not 0 <= separator <= 0xFFFF:
        raise ValueError(f"separator id {separator} does not fit 16 bits")
    paths = [str(p) for p in paths]
    output = pathlib.Path(output)
    finals = [output.with_name(output.name + suffix) for suffix in (".bin", ".idx")]
    bar = Progress(sum(os.path.getsize(p) for p in paths), progress)
    def submit(chunk):
        return executor.submit(encode_chunk, tables, chunk, field, separator)

    results = in_order(submit, chunks_of(paths, chunk_bytes),
                       max_pending or 2 * (os.cpu_count() or 1))
    parts = []
    try:
        with _part_file(finals[0], parts) as ids_file, _part_file(finals[1], parts) as idx_file:
            counts = write_results(results, separator, ids_file, idx_file, bar)
        for part, final in zip(parts, finals):
            os.replace(part, final)
    finally:
        results.close()  # cancels the chunks not started when writing failed
        for part in parts:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(part)
    bar.update(counts["bytes"], counts["documents"], counts["ids"], final=True)
    return dict(counts, separator=separator, seconds=time.perf_counter() - bar.start)


def in_order(submit, chunks, max_pending: int):
    """Yields (chunk, result) in the order of `chunks`, keeping up to `max_pending` of them
    submitted; a failed chunk raises its error here, and what has not started is cancelled."""
    pending = collections.deque()
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


def write_results(results, separator: int, ids_file, idx_file, bar: Progress) -> dict:
    """Writes the chunks' ids, with the separator between the last document of one and the
    first of the next, and the offset of every document; returns the counts."""
    counts = {"bytes": 0, "documents": 0, "ids": 0}
    next_start = 0  # offset of the next document: one past the separator that will precede it
    for chunk, (ids, lengths) in results:
        document_lengths = array("Q")
        document_lengths.frombytes(lengths)
        _little_endian(document_lengths)
        if document_lengths and counts["documents"]:
            ids_file.write(_little_endian(array("H", [separator])).tobytes())
        ids_file.write(ids)
        starts = array("Q", itertools.accumulate((n + 1 for n in document_lengths),
                                                initial=next_start))
        next_start = starts.pop()
        idx_file.write(_little_endian(starts).tobytes())
        counts["documents"] += len(document_lengths)
        counts["ids"] = max(next_start - 1, 0)
        counts["bytes"] += chunk.end - chunk.start
        bar.update(counts["bytes"], counts["documents"], counts["ids"])
    idx_file.write(_little_endian(array("Q", [next_start])).tobytes())
    return counts


def _little_endian(values: array) -> array:
    """`values` with their bytes in little-endian order (swapped in place on a big-endian host)."""
    if sys.byteorder == "big":
        values.byteswap()
    return values


@contextlib.contextmanager
def _part_file(final: pathlib.Path, made: list):
    """A new file beside `final` under a name of its own, open for writing; its path is added to
    `made`, for renaming or removal."""
    path = final.with_name(f".{final.name}.{os.getpid()}.{secrets.token_hex(4)}.part")
    with open(path, "xb") as f:  # the usual permissions, unlike a mkstemp file
        made.append(path)
        yield f


# ---------------------------------------------------------------------------------------------
# Command line


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Encode text files into uint16 token ids and "
                                     "an offsets index, on several processes.")
    parser.add_argument("inputs", nargs="+", help="text files, one document per line")
    parser.add_argument("--model", required=True, help="model saved as JSON (save_restore.py)")
    parser.add_argument("--output", required=True, help="writes OUTPUT.bin and OUTPUT.idx")
    parser.add_argument("--field", help="read JSON Lines, the document text in this field")
    parser.add_argument("--separator", type=int, help="id written between documents "
                        "(default len(vocab), one past the vocabulary)")
    parser.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)),
                        help="worker processes (default: every core this process may use; "
                        "1 encodes in this process)")
    parser.add_argument("--chunk-bytes", type=int, default=CHUNK_BYTES,
                        help=f"input bytes per task (default {CHUNK_BYTES:,})")
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    args = parser.parse_args(argv)

    tables = model_tables(load_model(args.model))
    if args.workers > 1:
        executor = concurrent.futures.ProcessPoolExecutor(args.workers)
    else:
        executor = InProcessExecutor()
    try:
        with executor:
            counts = encode_dataset(executor, tables, args.inputs, args.output, field=args.field,
                                    separator=args.separator, chunk_bytes=args.chunk_bytes,
                                    max_pending=2 * args.workers, progress=not args.quiet)
    except (OSError, ValueError) as error:
        print(f"encode_dataset: {error}", file=sys.stderr)
        return 1
    print(f"wrote {args.output}.bin ({counts['ids']:,} ids) and {args.output}.idx "
          f"({counts['documents']:,} documents); separator id {counts['separator']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
