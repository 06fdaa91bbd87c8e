"""The `lorvane` command: train, encode a dataset, export, inspect.

    lorvane train corpus.txt --vocab-size 8000 --output model.json
    lorvane encode-dataset --model model.json --output data/train corpus.txt
    lorvane export --model model.json tokenizer.json
    lorvane info model.json
    lorvane check corpus.txt

An error ends the command with one line on standard error and exit code 1; Ctrl-C with one line
and exit code 130.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import sys
import time
from collections.abc import Sequence

import lorvane_api

from . import __version__
from .batch import default_workers
from .dataset import CHUNK_BYTES, SEPARATOR_TEXT, encode_dataset
from .export import export_tokenizers
from .model_file import ModelFileError, load, save
from .text import find_unencodable


class CommandError(Exception):
    """A failure the command reports in one line."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        print("lorvane: interrupted", file=sys.stderr)
        return 130
    except (CommandError, ModelFileError, ValueError, RuntimeError) as error:
        print(f"lorvane: {error}", file=sys.stderr)
    except OSError as error:
        print(f"lorvane: {_os_error(error)}", file=sys.stderr)
    except ImportError as error:
        print(f"lorvane: {error.name or error} is needed for this command "
              f"(pip install {error.name or 'it'})", file=sys.stderr)
    return 1


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="lorvane", description="Lorvane BPE tokenizer.")
    parser.add_argument("--version", action="version", version=f"lorvane {__version__}")
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    train = commands.add_parser("train", help="train a model on a UTF-8 text file")
    train.add_argument("corpus", help="UTF-8 text file")
    train.add_argument("--vocab-size", type=int, required=True,
                       help="target vocabulary size (at most 65535)")
    train.add_argument("--output", required=True, help="model file to write (JSON)")
    train.set_defaults(run=_train)

    dataset = commands.add_parser("encode-dataset", help="encode text or JSON Lines files into "
                                  "PREFIX.bin (uint16 ids) and PREFIX.idx (uint64 offsets)")
    dataset.add_argument("inputs", nargs="+", help="files of one document per line")
    dataset.add_argument("--model", required=True, help="model file (from `lorvane train`)")
    dataset.add_argument("--output", required=True, help="writes OUTPUT.bin and OUTPUT.idx")
    dataset.add_argument("--field", help="read JSON Lines, the document's text in this field")
    dataset.add_argument("--separator", type=int,
                         help="id written between documents (default len(vocab))")
    dataset.add_argument("--workers", type=int, default=default_workers(),
                         help="worker processes (default: every core; 1 encodes in this one)")
    dataset.add_argument("--chunk-bytes", type=int, default=CHUNK_BYTES,
                         help=f"input bytes per task (default {CHUNK_BYTES:,})")
    dataset.add_argument("--quiet", action="store_true", help="no progress line")
    dataset.set_defaults(run=_encode_dataset)

    export = commands.add_parser("export", help="write a tokenizer.json for `tokenizers`")
    export.add_argument("output", help="tokenizer.json to write")
    export.add_argument("--model", required=True, help="model file (from `lorvane train`)")
    export.add_argument("--separator", type=int,
                        help="id of the document separator (default len(vocab))")
    export.add_argument("--separator-text", default=SEPARATOR_TEXT,
                        help=f"its token's text (default {SEPARATOR_TEXT})")
    export.add_argument("--no-separator", action="store_true", help="export no separator")
    export.set_defaults(run=_export)

    info = commands.add_parser("info", help="describe a model file")
    info.add_argument("model", help="model file")
    info.set_defaults(run=_info)

    check = commands.add_parser("check", help="list the characters of a corpus that no model "
                                "can train on or encode")
    check.add_argument("corpus", help="UTF-8 text file")
    check.add_argument("--limit", type=int, default=20, help="list at most this many")
    check.set_defaults(run=_check)
    return parser


def _train(args: argparse.Namespace) -> int:
    if not os.path.isfile(args.corpus):
        raise CommandError(f"{args.corpus}: no such file")
    if not 1 <= args.vocab_size <= 0xFFFF:
        raise CommandError(f"--vocab-size {args.vocab_size} is not from 1 to 65535")
    model = lorvane_api.BPE(args.vocab_size)
    start = time.perf_counter()
    try:
        model.train_fromfile(args.corpus, 0)  # draws its progress bars on standard output
    except RuntimeError as error:
        found = find_unencodable(pathlib.Path(args.corpus), limit=1) \
            if "Invalid code point" in str(error) else []
        if found:
            raise CommandError(f"{args.corpus}: {found[0].describe()}; `lorvane check "
                               f"{args.corpus}` lists them all") from None
        raise CommandError(f"{args.corpus}: {error}") from None
    if not model.vocab:
        raise CommandError(f"{args.corpus}: nothing learned (see the message above)")
    save(model, args.output)
    print(f"{args.output}: {len(model.vocab):,} tokens, {len(model.merge_rank):,} merges, "
          f"trained in {time.perf_counter() - start:.1f} s")
    return 0


def _encode_dataset(args: argparse.Namespace) -> int:
    model = load(args.model)
    summary = encode_dataset(model, args.inputs, args.output, field=args.field,
                             separator=args.separator, workers=args.workers,
                             chunk_bytes=args.chunk_bytes, progress=not args.quiet)
    print(f"wrote {args.output}.bin ({summary.ids:,} ids) and {args.output}.idx "
          f"({summary.documents:,} documents); separator id {summary.separator}")
    return 0


def _export(args: argparse.Namespace) -> int:
    model = load(args.model)
    text = None if args.no_separator else args.separator_text
    counts = export_tokenizers(model, args.output, separator=args.separator, separator_text=text)
    print(f"wrote {args.output}: {counts['distinct_tokens']:,} distinct tokens of "
          f"{counts['tokens']:,}, {counts['merges']:,} of {counts['model_merges']:,} merges"
          + ("" if text is None else f"; separator {text}"))
    return 0


def _info(args: argparse.Namespace) -> int:
    model = load(args.model)
    vocab, merges = model.vocab, model.merge_rank
    longest = sorted(vocab, key=len, reverse=True)[:5]
    print(json.dumps({"file": args.model, "vocab_size": model.vocab_size, "tokens": len(vocab),
                      "distinct_tokens": len(set(vocab)), "merges": len(merges),
                      "longest_tokens": longest}, ensure_ascii=False, indent=2))
    return 0


def _check(args: argparse.Namespace) -> int:
    found = find_unencodable(pathlib.Path(args.corpus), limit=args.limit)
    for item in found:
        print(f"{args.corpus}: {item.describe()}")
    if not found:
        print(f"{args.corpus}: every character can be encoded")
    return 1 if found else 0


def _os_error(error: OSError) -> str:
    """One line: the path the user gave, then what went wrong."""
    if error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    return str(error)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
