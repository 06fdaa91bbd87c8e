"""Text in and out of a model: training on strings, restoring text from ids, and finding the
characters a model cannot take."""

from __future__ import annotations

import codecs
import os
import pathlib
import re
import tempfile
from collections.abc import Iterable, Iterator, Sequence
from typing import BinaryIO, NamedTuple

import lorvane_api

MARKER = "\u0120"  # the space marker: training and encoding write it for whitespace

# A model works on the low 16 bits of each code point and writes them back as UTF-8. Where those
# bits are a surrogate (U+D800 to U+DFFF) there is no such UTF-8, and training or encoding fails
# with "Invalid code point": the surrogates themselves (a corpus file holding their encoded
# form, or a str holding a lone one) and U+1D800 to U+1DFFF, U+2D800 to U+2DFFF, and so on.
_UNENCODABLE = re.compile("[\ud800-\udfff" + "".join(
    f"{chr(plane << 16 | 0xD800)}-{chr(plane << 16 | 0xDFFF)}" for plane in range(1, 17)) + "]")
_READ_BYTES = 1 << 24


class Unencodable(NamedTuple):
    """A character that no model can train on or encode: where it is (`position`: the byte
    offset in a file, the index in a str; `line`: 1-based) and what it is."""

    position: int
    line: int
    code_point: int
    in_file: bool

    def what(self) -> str:
        """Why the character cannot be encoded."""
        if self.code_point <= 0xFFFF:
            return f"U+{self.code_point:04X} is a surrogate code point, which has no UTF-8 form"
        return (f"U+{self.code_point:04X} cannot be encoded: a model keeps the low 16 bits of a "
                f"character, and U+{self.code_point & 0xFFFF:04X} is a surrogate code point")

    def describe(self) -> str:
        """Where the character is, and why it cannot be encoded."""
        place = "byte" if self.in_file else "index"
        return f"{place} {self.position:,} (line {self.line}): {self.what()}"


def find_unencodable(source: str | os.PathLike[str], *,
                     limit: int | None = None) -> list[Unencodable]:
    """The characters that make training or encoding fail with "Invalid code point", in order
    (at most `limit` of them). `source` is a text (a `str`) or a file (a `pathlib.Path` or other
    path object; a `str` is always taken as text). A file is read in blocks, so it may be larger
    than memory; one that is not UTF-8 raises `ValueError` naming the byte, as training would
    fail there with "Invalid UTF-8".

        lorvane.find_unencodable(pathlib.Path("corpus.txt"), limit=10)
    """
    if isinstance(source, str):
        return _scan([source], limit, in_file=False)
    path = pathlib.Path(source)
    with open(path, "rb") as f:
        return _scan(_decoded_blocks(f, path), limit, in_file=True)


def _decoded_blocks(f: BinaryIO, path: pathlib.Path) -> Iterator[str]:
    """The file's text, block by block, with encoded surrogates decoded (not refused), so that
    they are found like the other unencodable characters."""
    decoder = codecs.getincrementaldecoder("utf-8")("surrogatepass")
    offset = 0
    while True:
        block = f.read(_READ_BYTES)
        pending = len(decoder.getstate()[0])  # bytes of a character cut by the last block
        try:
            text = decoder.decode(block, final=not block)
        except UnicodeDecodeError as error:
            where = offset - pending + error.start
            raise ValueError(f"{path}: invalid UTF-8 at byte {where:,}") from None
        offset += len(block)
        if text:
            yield text
        if not block:
            return


def _scan(blocks: Iterable[str], limit: int | None, *, in_file: bool) -> list[Unencodable]:
    found: list[Unencodable] = []
    position, line = 0, 1  # of the start of the current block
    for text in blocks:
        done, done_position, done_line = 0, position, line  # the last place measured
        for match in _UNENCODABLE.finditer(text):
            gap = text[done:match.start()]
            done_position += len(gap.encode("utf-8", "surrogatepass")) if in_file else len(gap)
            done_line += gap.count("\n")
            done = match.start()
            found.append(Unencodable(done_position, done_line, ord(match.group()), in_file))
            if limit is not None and len(found) >= limit:
                return found
        rest = text[done:]
        position = done_position + (len(rest.encode("utf-8", "surrogatepass")) if in_file
                                    else len(rest))
        line = done_line + rest.count("\n")
    return found


def restore_text(model: lorvane_api.BPE, ids: Sequence[int], *, separator: int | None = None,
                 separator_text: str = "\n") -> str:
    """The text that `ids` stand for: the tokens' texts joined, with the space marker turned back
    into a space, and `separator_text` for each separator id (`separator`, default `len(vocab)`,
    as `encode_dataset` writes between documents). An id outside the vocabulary gives U+FFFD, as
    in `decode`. What encoding dropped (tabs, line feeds, characters the vocabulary lacks) does
    not come back, and a literal U+0120 in the text comes back as a space."""
    vocab = model.vocab
    separator = len(vocab) if separator is None else separator
    if ids and not (0 <= min(ids) and max(ids) <= 0xFFFF):
        raise ValueError("a token id is outside 0 to 65535")
    pieces = [text.replace(MARKER, " ") for text in vocab]
    pieces += ["\ufffd"] * (0x10000 - len(pieces))
    if 0 <= separator <= 0xFFFF:
        pieces[separator] = separator_text
    return "".join(map(pieces.__getitem__, ids))


def train_from_texts(model: lorvane_api.BPE, texts: Iterable[str], *,
                     directory: str | os.PathLike[str] | None = None) -> None:
    """Trains `model` on the texts as `train_fromfile` trains on a file holding them, one per
    line: they are written to a temporary file (in `directory`, default the system's temporary
    folder), which is removed afterwards. The line feed after each text is a word boundary, so no
    merge spans two texts. Texts go to disk one at a time: an iterator of any length works."""
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt", dir=directory,
                                     delete_on_close=False) as f:
        for i, text in enumerate(texts):
            if not isinstance(text, str):
                raise TypeError(f"text {i} is a {type(text).__name__}, not a str")
            try:
                f.write(text)
            except UnicodeEncodeError:
                found = find_unencodable(text, limit=1)
                raise ValueError(f"text {i}: " + (found[0].describe() if found else
                                                  "it has no UTF-8 form")) from None
            f.write("\n")
        f.close()
        try:
            model.train_fromfile(f.name, 0)
        except RuntimeError as error:
            found = find_unencodable(pathlib.Path(f.name), limit=1)
            if not found:
                raise
            raise ValueError(f"{error}: on line {found[0].line} of the texts (one text per "
                             f"line), {found[0].what()}") from None
