"""The example scripts run as a user would run them."""

import json
import os
import subprocess
import sys

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
