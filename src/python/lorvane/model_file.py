"""A model as plain values, and as one JSON file.

The file is a JSON object:

    {"format": "lorvane-bpe", "version": 1, "vocab_size": 8000,
     "vocab": ["a", "b", ...],                      # token texts by id
     "merge_rank": [[65538, 0], [131075, 1], ...],  # [pair key, rank], in rank order
     "token_to_id": {"a": 0, "b": 1, ...}}

JSON object keys are texts, so the merges are a list of pairs rather than an object keyed by
pair key. `load` also reads the earlier layout without "format" (merge_rank as an object whose
keys are the pair keys in decimal), which the example scripts of version 0.1.0 wrote.
"""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import secrets
from collections.abc import Collection, Iterable
from typing import Any, TypedDict

import lorvane_api

FORMAT = "lorvane-bpe"
VERSION = 1

_U32 = 0xFFFFFFFF
_I32 = (-(2**31), 2**31 - 1)


class Tables(TypedDict):
    """A model's state as plain Python values: what `tables` gives and `from_tables` takes."""

    vocab_size: int
    vocab: list[str]
    merge_rank: dict[int, int]
    token_to_id: dict[str, int]


class ModelFileError(ValueError):
    """A model file, or tables, that cannot be a model: not JSON, cut short, another format, a
    newer version, or a table of the wrong shape. The message names the file."""


def tables(model: lorvane_api.BPE) -> Tables:
    """The model's four members as plain values (each read copies the member)."""
    return {"vocab_size": model.vocab_size, "vocab": model.vocab,
            "merge_rank": model.merge_rank, "token_to_id": model.token_to_id}


def from_tables(state: Tables | dict[str, Any], *, source: str = "tables") -> lorvane_api.BPE:
    """A new model with the given tables, checked first: raises `ModelFileError` naming `source`
    when a table is missing or of the wrong type, and builds nothing then. `merge_rank` may be a
    mapping or a list of (key, rank) pairs."""
    try:
        return assign_tables(_checked(state, source))
    except TypeError:  # the types were checked: only a text without a UTF-8 form is left
        raise ModelFileError(f"{source}: a token text has no UTF-8 form (a lone surrogate)"
                             ) from None


def assign_tables(state: Tables) -> lorvane_api.BPE:
    """A new model with the tables of `state`, unchecked: for tables read from a model."""
    model = lorvane_api.BPE(state["vocab_size"])
    model.vocab = state["vocab"]
    model.token_to_id = state["token_to_id"]
    model.merge_rank = state["merge_rank"]
    return model


def require_trained(vocab: list[str]) -> None:
    """Refuses a model whose vocabulary is empty: it would encode every text to no ids."""
    if not vocab:
        raise ValueError("the model has no vocabulary: train it or load its tables first")


def part_path(final: pathlib.Path) -> pathlib.Path:
    """A name of its own beside `final`, hidden, for writing a file before renaming it there."""
    return final.with_name(f".{final.name}.{os.getpid()}.{secrets.token_hex(4)}.part")


def save(model: lorvane_api.BPE, path: str | os.PathLike[str]) -> None:
    """Writes the model to `path` as one JSON file. The file is written under a temporary name in
    the same folder and then renamed, so `path` holds either its old content or the whole new
    model, never a part of it."""
    state = tables(model)
    merges = sorted(state["merge_rank"].items(), key=lambda item: (item[1], item[0]))
    document = {"format": FORMAT, "version": VERSION, "vocab_size": state["vocab_size"],
                "vocab": state["vocab"], "merge_rank": merges,
                "token_to_id": state["token_to_id"]}
    write_atomically(path, json.dumps(document, ensure_ascii=False).encode("utf-8"))


def load(path: str | os.PathLike[str]) -> lorvane_api.BPE:
    """The model saved in `path` by `save`. Raises `ModelFileError` for a file that is not a
    complete JSON model of a known version, and `OSError` when it cannot be read."""
    path = pathlib.Path(path)
    data = path.read_bytes()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ModelFileError(f"{path}: not UTF-8 text (byte {error.start}): "
                             "not a Lorvane model file") from None
    try:
        state = json.loads(text)
    except json.JSONDecodeError as error:
        # An error in the last few characters (an escape cut in two) or in a string that never
        # ends means a file cut short.
        cut = (error.pos >= len(text.rstrip()) - 6
               or error.msg.startswith("Unterminated string"))
        raise ModelFileError(f"{path}: " + ("the JSON ends early (a truncated file?)" if cut else
                             f"not JSON at line {error.lineno} column {error.colno}")
                             + ": not a Lorvane model file") from None
    if not isinstance(state, dict):
        raise ModelFileError(f"{path}: not a Lorvane model file (a JSON "
                             f"{type(state).__name__}, not an object)")
    if "format" in state or "version" in state:
        if state.get("format") != FORMAT:
            raise ModelFileError(f"{path}: format {state.get('format')!r}, not {FORMAT!r}")
        version = state.get("version")
        if not isinstance(version, int) or isinstance(version, bool) or version < 1:
            raise ModelFileError(f"{path}: version {version!r} is not a version number")
        if version > VERSION:
            raise ModelFileError(f"{path}: version {version} is newer than this Lorvane reads "
                                 f"({VERSION}); upgrade Lorvane to load it")
    elif isinstance(state.get("merge_rank"), dict):  # the layout before "format" existed
        try:
            state["merge_rank"] = {int(key): rank for key, rank in state["merge_rank"].items()}
        except ValueError:
            raise ModelFileError(f"{path}: merge_rank has a key that is not a pair key") from None
    return from_tables(state, source=str(path))


def write_atomically(path: str | os.PathLike[str], data: bytes) -> None:
    """Writes `data` to `path` through a temporary file in the same folder and a rename. An error
    names `path`, and leaves neither a partial `path` nor the temporary file."""
    path = pathlib.Path(path)
    temporary = part_path(path)
    try:
        with open(temporary, "xb") as f:  # the usual permissions, unlike a mkstemp file
            f.write(data)
        os.replace(temporary, path)
    except BaseException as error:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        if isinstance(error, OSError):
            raise OSError(error.errno, f"cannot write {path}: {error.strerror}") from None
        raise


def _checked(state: Any, source: str) -> Tables:
    """`state` with every table checked for the types the model accepts."""
    if not isinstance(state, dict):
        raise ModelFileError(f"{source}: the tables are a {type(state).__name__}, not a dict")
    missing = [name for name in Tables.__annotations__ if name not in state]
    if missing:
        raise ModelFileError(f"{source}: no {', '.join(missing)}: not a Lorvane model")
    size, vocab = state["vocab_size"], state["vocab"]
    merges, token_to_id = state["merge_rank"], state["token_to_id"]

    def refuse(what: str) -> ModelFileError:
        return ModelFileError(f"{source}: {what}")

    if not _is_int(size) or not _I32[0] <= size <= _I32[1]:
        raise refuse(f"vocab_size {size!r} is not a 32-bit integer")
    if not isinstance(vocab, list | tuple) or not _all_of_type(vocab, str):
        raise refuse("vocab is not a list of texts")
    pairs = merges.items() if isinstance(merges, dict) else merges
    try:
        merge_rank = {key: rank for key, rank in pairs}
    except (TypeError, ValueError):
        raise refuse("merge_rank is neither a mapping nor a list of [key, rank] pairs") from None
    if not (_all_u32(merge_rank.keys()) and _all_u32(merge_rank.values())):
        raise refuse("merge_rank holds a key or rank that is not an integer from 0 to 2**32-1")
    if not isinstance(token_to_id, dict) or not (_all_of_type(token_to_id.keys(), str)
                                                 and _all_u32(token_to_id.values())):
        raise refuse("token_to_id is not a mapping of texts to integers from 0 to 2**32-1")
    return {"vocab_size": size, "vocab": list(vocab), "merge_rank": merge_rank,
            "token_to_id": token_to_id}


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _all_of_type(values: Iterable[Any], kind: type) -> bool:
    """Whether every value is exactly of type `kind` (checked in one pass in C)."""
    return set(map(type, values)) <= {kind}


def _all_u32(values: Collection[int]) -> bool:
    """Whether every value is an int from 0 to 2**32 - 1."""
    return not values or (_all_of_type(values, int) and min(values) >= 0 and max(values) <= _U32)
