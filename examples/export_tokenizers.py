"""Export a model as a tokenizer.json for the `tokenizers` library and check it gives our ids.

    python examples/export_tokenizers.py model.json tokenizer.json [sample.txt]
"""

import sys

import lorvane


def main(model_path, output, sample_path=None):
    from tokenizers import Tokenizer

    model = lorvane.load(model_path)
    counts = lorvane.export_tokenizers(model, output)  # with <|endoftext|> at id len(vocab)
    print(f"wrote {output}: {counts['distinct_tokens']:,} distinct tokens, "
          f"{counts['merges']:,} merges")
    tokenizer = Tokenizer.from_file(output)
    if sample_path:
        with open(sample_path, encoding="utf-8") as f:
            sample = f.read()
    else:
        sample = "The quick brown fox jumps over the lazy dog."
    same = tokenizer.encode(sample).ids == model.encode(sample)
    print("tokenizers gives the same ids:", same)
    separator = len(model.vocab)
    print("decoded with a separator:", tokenizer.decode(model.encode("one") + [separator] +
                                                        model.encode("two")))
    return 0 if same else 1


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
