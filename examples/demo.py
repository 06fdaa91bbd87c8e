"""Trains a tokenizer on a corpus generated from this machine's Python documentation and shows it."""

import os
import pathlib
import sys
import time

import lorvane_api

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from corpus import write_corpus  # noqa: E402

VOCAB_SIZE = 4000
SENTENCE = "The tokenizer splits a sentence into tokens and joins them again."


def main():
    out = pathlib.Path(os.environ.get("LORVANE_DEMO_DIR", pathlib.Path(__file__).parent.parent / "build" / "demo"))
    out.mkdir(parents=True, exist_ok=True)
    train_path, sample_path = out / "corpus.txt", out / "sample.txt"
    train_bytes, sample_bytes = write_corpus(train_path, sample_path)
    print(f"corpus: {train_bytes / 1e6:.2f} MB of standard-library docstrings for training, "
          f"{sample_bytes / 1e6:.2f} MB held out", flush=True)

    model = lorvane_api.BPE(VOCAB_SIZE)
    start = time.perf_counter()
    model.train_fromfile(str(train_path), 0)
    seconds = time.perf_counter() - start

    sample = sample_path.read_text(encoding="utf-8")
    tokens = len(model.encode(sample))
    ids = model.encode(SENTENCE)
    print(f"vocabulary size reached: {len(model.vocab)} (target {VOCAB_SIZE})")
    print(f"merges learned:          {len(model.merge_rank)}")
    print(f"training time:           {seconds:.2f} s")
    print(f"tokens per 1,000 chars:  {1000 * tokens / len(sample):.1f} on the held-out sample")
    print(f"sentence:                {SENTENCE}")
    print(f"encoded ({len(ids)} ids):      {ids}")
    print(f"decoded:                 {model.decode(ids)}")


if __name__ == "__main__":
    main()
