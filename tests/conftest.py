"""Shared fixtures: the module's console output is written to the process's file descriptors, so
tests read it with pytest's `capfd`, never `capsys`."""

import pathlib

import pytest

import lorvane_api


@pytest.fixture
def write_file(tmp_path):
    """write_file(data: bytes | str, name="corpus.txt") -> str path of a new file holding `data`."""

    def write(data, name="corpus.txt"):
        path = tmp_path / name
        path.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return str(path)

    return write


def tables(model):
    """The four members, copied, for checking that a call left the model unchanged."""
    return (model.vocab_size, model.vocab, model.merge_rank, model.token_to_id)


def call_checked(capfd, model, method, argument, expected_err=""):
    """model.<method>(argument), with standard error checked exactly and the model checked
    untouched; returns the result."""
    capfd.readouterr()
    before = tables(model)
    result = getattr(model, method)(argument)
    assert capfd.readouterr().err == expected_err
    assert tables(model) == before
    return result


@pytest.fixture
def tiny_model():
    """A hand-made model: a, b, U+0120, ab and U+0120 ab, with merges (a, b) then (U+0120, ab)."""
    model = lorvane_api.BPE(5)
    model.vocab = ["a", "b", "\u0120", "ab", "\u0120ab"]
    model.token_to_id = {text: i for i, text in enumerate(model.vocab)}
    model.merge_rank = {(0 << 16) | 1: 0, (2 << 16) | 3: 1}
    return model


ROOT = pathlib.Path(__file__).resolve().parent.parent



# Source for a child interpreter: arm_finalizer(act) leaves a cycle whose finalizer calls act(),
# collected at the first poll of the next call that has `*{*()}` among its arguments (the empty
# set schedules a collection, which no check of the interpreter runs before the call starts).
ARM_FINALIZER = """
import gc
class Cycle:
    def __del__(self):
        self.act()
def arm_finalizer(act):
    gc.disable()
    cycle = Cycle()
    cycle.act, cycle.self = act, cycle
    del cycle
    gc.set_threshold(1)
    gc.enable()
"""
