"""The example scripts run as a user would run them, each on what the one before wrote."""

import os
import subprocess
import sys

import pytest

from conftest import ROOT


def run_example(name, *args, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run([sys.executable, str(ROOT / "examples" / name), *map(str, args)],
                            capture_output=True, text=True, env=env, timeout=300, cwd=cwd)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_examples_save_encode_and_export(tmp_path):
    out = run_example("save_restore.py", "model.json", cwd=tmp_path)
    assert "restored model has the same tables and ids: True" in out
    (tmp_path / "corpus.txt").write_text("the river town\n\nwoke early\n" * 50, encoding="utf-8")
    out = run_example("encode_dataset.py", "model.json", "data/train", "corpus.txt", cwd=tmp_path)
    assert "150 documents" in out and "first document: the river town" in out
    pytest.importorskip("tokenizers")
    out = run_example("export_tokenizers.py", "model.json", "tokenizer.json", "corpus.txt",
                      cwd=tmp_path)
    assert "tokenizers gives the same ids: True" in out
    assert "decoded with a separator: one<|endoftext|>two" in out
