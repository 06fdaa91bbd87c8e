"""The tokenizer.json written by examples/export_tokenizers.py gives our ids in `tokenizers`."""

import importlib.util
import subprocess
import sys

import pytest

import lorvane_api
from conftest import ROOT

Tokenizer = pytest.importorskip("tokenizers").Tokenizer


def load_example(name):
    found = importlib.util.spec_from_file_location(name, ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_exported_tokenizer_gives_our_ids_on_held_out_text(tmp_path, capfd):
    train, sample = tmp_path / "train.txt", tmp_path / "sample.txt"
    # The corpus maker imports the whole standard library: keep that out of the test process.
    subprocess.run([sys.executable, str(ROOT / "examples" / "corpus.py"), str(train), str(sample)],
                   check=True, capture_output=True, timeout=300)
    model = lorvane_api.BPE(4000)
    model.train_fromfile(str(train), 0)
    saved, exported = tmp_path / "model.json", tmp_path / "tokenizer.json"
    load_example("save_restore").save(model, saved)

    assert load_example("export_tokenizers").main(["--model", str(saved), str(exported)]) == 0
    assert capfd.readouterr().err == ""
    tokenizer = Tokenizer.from_file(str(exported))
    text = sample.read_text(encoding="utf-8")
    assert tokenizer.encode(text).ids == model.encode(text)
    # A leading space, runs of whitespace, a literal marker and characters outside the alphabet.
    edges = [" the", "in\nto", "a  b\t\tc\r\n d", "x\u0120y", "\u20ac", "ab\u20accd", "\U0001F600abc"]
    assert [e.ids for e in tokenizer.encode_batch(edges)] == [model.encode(t) for t in edges]
