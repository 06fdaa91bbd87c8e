"""Export a Lorvane model as a `tokenizer.json` for the `tokenizers` library.

The exported tokenizer gives the same ids as `BPE.encode` on the same text:

    python examples/export_tokenizers.py --model model.json tokenizer.json
    python examples/export_tokenizers.py --corpus corpus.txt --vocab-size 8000 tokenizer.json
    python examples/export_tokenizers.py --model model.json --separator tokenizer.json

`--model` reads the JSON that examples/save_restore.py writes; `--corpus` trains a new model on a
UTF-8 file first. Load the result with `tokenizers.Tokenizer.from_file("tokenizer.json")`.
`--separator` adds the document separator of examples/encode_dataset.py as a special token,
`<|endoftext|>` (or `--separator-text`) at the id `--separator-id` (default len(vocab), the id
that encode_dataset.py writes by default), so that the exported tokenizer decodes a dataset's
ids and splits that text off as one token when it encodes.

How Lorvane's encoding maps onto the pieces of a `tokenizers` pipeline:

- Pre-tokenizer. A space becomes the marker U+0120, and every marker starts a new word: merges
  never end in a marker, so none crosses a word start. `Metaspace` with that replacement, no
  prepended marker (the first word of a text has none) and splitting on, does the same.
- Model. A BPE model with our vocabulary (text -> id) and our merges as text pairs in rank
  order; like ours, it applies the lowest-ranked pair first, the leftmost one among equals.
  Characters the vocabulary lacks are dropped by both and their neighbours become adjacent.
  Tab, line feed and carriage return are such characters in every trained model (training turns
  them into word starts), so "in\\nto" is one word "into" in both.
- Duplicate texts. Two merges can make the same text; our encode looks merged texts up by text
  and so only ever yields the highest id of it. The vocabulary keeps that id, and merges that
  involve a lower, unreachable duplicate are left out.

One difference remains: Lorvane cuts a code point above U+FFFF to its low 16 bits and may find
that in the vocabulary, where `tokenizers` looks it up whole and, not finding it, drops it.
"""

import argparse
import json
import pathlib
import sys

MARKER = "\u0120"
SEPARATOR = "<|endoftext|>"


def load_tables(path):
    """(vocab, merge_rank) from a model saved as JSON by examples/save_restore.py."""
    state = json.loads(pathlib.Path(path).read_text(encoding="utf-8"))
    return state["vocab"], {int(key): rank for key, rank in state["merge_rank"].items()}


def train_tables(corpus, vocab_size):
    """(vocab, merge_rank) of a model trained on `corpus` (draws progress bars on stdout)."""
    import lorvane_api

    model = lorvane_api.BPE(vocab_size)
    model.train_fromfile(str(corpus), 0)
    return model.vocab, model.merge_rank


def tokenizers_tables(vocab, merge_rank):
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


def build_tokenizer(token_to_id, merges, separator=None):
    """A `tokenizers.Tokenizer` for the tables of `tokenizers_tables`, encoding like the Lorvane
    model they came from. Its decoder turns the marker back into a space, so `decode` restores
    the text (Lorvane's own `decode` shows token boundaries instead). `separator`, a pair (text,
    id), adds that special token; it goes into the model's vocabulary too, so that `tokenizers`
    keeps the id rather than numbering the token after the vocabulary's last entry."""
    from tokenizers import AddedToken, Tokenizer, decoders, models, pre_tokenizers

    vocab = dict(token_to_id)
    if separator:
        text, token_id = separator
        if text in vocab:
            raise ValueError(f"{text!r} is a token of the model already (id {vocab[text]})")
        if token_id in vocab.values() or not 0 <= token_id <= 0xFFFF:
            raise ValueError(f"the separator id {token_id} is taken or does not fit 16 bits")
        vocab[text] = token_id
    tokenizer = Tokenizer(models.BPE(vocab=vocab, merges=merges))
    tokenizer.pre_tokenizer = pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme="never", split=True)
    tokenizer.decoder = decoders.Metaspace(replacement=MARKER, prepend_scheme="never", split=True)
    if separator:
        tokenizer.add_special_tokens([AddedToken(separator[0], special=True)])
    return tokenizer


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a tokenizer.json for `tokenizers` from a Lorvane model.")
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--model", help="model saved as JSON (vocab, merge_rank, token_to_id, vocab_size)")
    source.add_argument("--corpus", help="UTF-8 text file to train a new model on")
    parser.add_argument("--vocab-size", type=int, default=8000, help="target vocabulary size with --corpus")
    parser.add_argument("--separator", action="store_true",
                        help="add the document separator of encode_dataset.py as a special token")
    parser.add_argument("--separator-text", default=SEPARATOR,
                        help=f"its text (default {SEPARATOR})")
    parser.add_argument("--separator-id", type=int, help="its id (default len(vocab))")
    parser.add_argument("output", help="path of the tokenizer.json to write")
    args = parser.parse_args(argv)

    vocab, merge_rank = load_tables(args.model) if args.model else train_tables(args.corpus, args.vocab_size)
    if not vocab:
        print("the model has no vocabulary (training refused its input?)", file=sys.stderr)
        return 1
    token_to_id, merges = tokenizers_tables(vocab, merge_rank)
    separator = None
    if args.separator:
        token_id = len(vocab) if args.separator_id is None else args.separator_id
        separator = (args.separator_text, token_id)
    try:
        tokenizer = build_tokenizer(token_to_id, merges, separator)
    except ValueError as error:
        print(error, file=sys.stderr)
        return 1
    tokenizer.save(args.output)
    print(f"wrote {args.output}: {len(token_to_id)} distinct tokens of {len(vocab)},"
          f" {len(merges)} of {len(merge_rank)} merges"
          + (f"; separator {separator[0]} at id {separator[1]}" if separator else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
