"""Exporting a model as a `tokenizer.json` for the `tokenizers` library.

How Lorvane's encoding maps onto a `tokenizers` pipeline:

- Pre-tokenizer. A space becomes the marker U+0120 and every marker starts a new word (merges
  never end in a marker, so none crosses a word start): `Metaspace` with that replacement, no
  marker before the first word, and splitting on.
- Model. A BPE model with our vocabulary and our merges as text pairs in rank order; like ours,
  it applies the lowest-ranked pair first, the leftmost among equals, and drops characters the
  vocabulary lacks (tab, line feed and carriage return in every trained model).
- Duplicate texts. Two merges can make the same text; our encode looks merged texts up by text
  and so only ever yields the highest id of it. The vocabulary keeps that id, and merges that
  involve an unreachable lower duplicate are left out.
- Separator. The id that `encode_dataset` writes between documents becomes an added token (its
  text `<|endoftext|>` by default), not marked special, so that `decode`, which skips special
  tokens by default, shows where one document ends.

One difference remains: Lorvane cuts a code point above U+FFFF to its low 16 bits and may find
that in the vocabulary, where `tokenizers` looks it up whole and drops it. And a text that holds
the separator's text is split there by `tokenizers`, where Lorvane encodes its characters.
"""

from __future__ import annotations

import os

import lorvane_api

from .dataset import SEPARATOR_TEXT
from .model_file import require_trained, write_atomically

MARKER = "\u0120"


def export_tokenizers(model: lorvane_api.BPE, path: str | os.PathLike[str], *,
                      separator: int | None = None,
                      separator_text: str | None = SEPARATOR_TEXT) -> dict[str, int]:
    """Writes `path`, a `tokenizer.json` that `tokenizers.Tokenizer.from_file` loads and that
    gives `model.encode`'s ids on the same text. The document separator of `encode_dataset`
    (id `separator`, default `len(vocab)`) is exported as the token `separator_text`;
    `separator_text=None` exports none. Needs the `tokenizers` package. Returns counts: tokens,
    distinct tokens, merges exported, merges in the model."""
    from tokenizers import AddedToken, Tokenizer, decoders, models, pre_tokenizers

    vocab, merge_rank = model.vocab, model.merge_rank
    require_trained(vocab)
    token_to_id, merges = tokenizers_tables(vocab, merge_rank)
    with_separator = dict(token_to_id)
    if separator_text is not None:
        separator = len(vocab) if separator is None else separator
        if separator_text in token_to_id:
            raise ValueError(f"the separator text {separator_text!r} is a token of the model "
                             f"already (id {token_to_id[separator_text]})")
        if separator in token_to_id.values() or not 0 <= separator <= 0xFFFF:
            raise ValueError(f"the separator id {separator} is taken or does not fit 16 bits")
        # In the model's vocabulary too, so that `tokenizers` keeps the id rather than numbering
        # the token after the vocabulary's last entry.
        with_separator[separator_text] = separator
    tokenizer = Tokenizer(models.BPE(vocab=with_separator, merges=merges))
    tokenizer.pre_tokenizer = pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme="never",
                                                       split=True)
    tokenizer.decoder = decoders.Metaspace(replacement=MARKER, prepend_scheme="never", split=True)
    if separator_text is not None:
        tokenizer.add_tokens([AddedToken(separator_text, special=False, normalized=False)])
    write_atomically(path, tokenizer.to_str().encode("utf-8"))
    return {"tokens": len(vocab), "distinct_tokens": len(token_to_id),
            "merges": len(merges), "model_merges": len(merge_rank)}


def tokenizers_tables(vocab: list[str],
                      merge_rank: dict[int, int]) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Our tables as a `tokenizers` BPE model takes them: text -> id (the highest id of a text
    that occurs twice) and the merges as (left text, right text) in rank order, keeping only
    merges our encode can apply."""
    token_to_id = {text: i for i, text in enumerate(vocab)}
    merges = []
    for key, _ in sorted(merge_rank.items(), key=lambda item: item[1]):
        left, right = key >> 16, key & 0xFFFF
        if left >= len(vocab) or right >= len(vocab):
            continue
        a, b = vocab[left], vocab[right]
        if token_to_id[a] == left and token_to_id[b] == right and a + b in token_to_id:
            merges.append((a, b))
    return token_to_id, merges
