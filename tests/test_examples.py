"""The example scripts run as a user would run them."""

import array
import json
import os
import subprocess
import sys

import pytest

import lorvane_api
from conftest import ROOT


def run_example(name, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, str(ROOT / "examples" / name), *args],
                          capture_output=True, text=True, env=env, timeout=300)


def test_save_restore(tmp_path):
    target = tmp_path / "model.json"
    result = run_example("save_restore.py", str(target))
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    assert "restored model gives the same ids and text: True" in result.stdout
    state = json.loads(target.read_text(encoding="utf-8"))
    assert sorted(state) == ["merge_rank", "token_to_id", "vocab", "vocab_size"]
    assert len(state["token_to_id"]) <= len(state["vocab"]) <= state["vocab_size"]
    assert sorted(state["merge_rank"].values()) == list(range(len(state["merge_rank"])))


@pytest.mark.parametrize("form", ["lines", "jsonl"])
def test_encode_dataset(tmp_path, form):
    documents = ["the river town woke early", "", "\t\t", "gulls argued over the scraps",
                 "a thin mist sat on the water", "  the market square was full  "] * 40
    if form == "jsonl":
        documents[3] = "one document\nover two lines"  # a line feed inside the text
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(documents) * 5, encoding="utf-8")
    model = lorvane_api.BPE(200)
    model.train_fromfile(str(corpus), 0)
    saved = tmp_path / "model.json"  # as examples/save_restore.py saves a model
    saved.write_text(json.dumps({"vocab_size": 200, "vocab": model.vocab,
                                 "merge_rank": {str(k): r for k, r in model.merge_rank.items()},
                                 "token_to_id": model.token_to_id}))
    halves = [documents[:100], documents[100:]]  # two input files, read in the order given
    inputs = [tmp_path / f"part{i}.{form}" for i in range(2)]
    for path, part in zip(inputs, halves):
        lines = part if form == "lines" else [json.dumps({"text": d, "n": 1}) for d in part]
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    field = ["--field", "text"] if form == "jsonl" else []

    def encode(workers, out):
        out.mkdir()
        return run_example("encode_dataset.py", "--model", str(saved), "--output", str(out / "d"),
                           "--workers", str(workers), "--chunk-bytes", "300", *field,
                           *map(str, inputs))

    for workers in (1, 2):
        result = encode(workers, tmp_path / f"out{workers}")
        assert result.returncode == 0, result.stderr
    one, two = (tmp_path / "out1" / "d", tmp_path / "out2" / "d")
    for suffix in (".bin", ".idx"):
        assert (two.parent / f"d{suffix}").read_bytes() == (one.parent / f"d{suffix}").read_bytes()
    separator = len(model.vocab)
    expected, offsets = [], []
    for i, text in enumerate(documents):
        expected += [separator] * bool(i)
        offsets.append(len(expected))
        expected += model.encode(text) if text else []
    ids, index = array.array("H"), array.array("Q")
    ids.frombytes((one.parent / "d.bin").read_bytes())
    index.frombytes((one.parent / "d.idx").read_bytes())
    assert list(ids) == expected
    assert list(index) == offsets + [len(expected) + 1]

    # A chunk that fails in a worker fails the run, and nothing is left under the output names.
    with open(inputs[1], "ab") as f:
        f.write(b"\xff\n" if form == "lines" else b'{"text": "\xff"}\n')
    result = encode(2, tmp_path / "failed")
    assert result.returncode != 0
    assert "invalid UTF-8" in result.stderr
    assert list((tmp_path / "failed").iterdir()) == []
