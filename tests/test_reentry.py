"""Python code that runs inside a call and calls back into the same object: a signal handler or a
garbage-collection finalizer at one of the core's polls, or the caller's own code while an
argument is converted. A nested call made while another call runs on the object is refused with
RuntimeError and changes nothing; one made while an argument is still being converted runs as
usual. Either way nothing crashes, and afterwards the object encodes and decodes exactly as a
fresh object with the same tables."""

import array
import gc
import random
import signal
import subprocess
import sys
import textwrap

import pytest

from lorvane_api import BPE
from conftest import tables

# What the nested Python code does to the object `m`; `other` is a model with other tables.
NESTED = {
    "vocab": lambda m, other: setattr(m, "vocab", other.vocab),
    "merge_rank": lambda m, other: setattr(m, "merge_rank", other.merge_rank),
    "token_to_id": lambda m, other: setattr(m, "token_to_id", other.token_to_id),
    "train": lambda m, other: m.train_fromfile(other.corpus, 0),
    "encode": lambda m, other: m.encode("ab ab " * 50 + "x" * 200),
    "decode": lambda m, other: m.decode([1, 2, 3]),
}


class Other:
    """The tables of a second model, and the corpus it was trained on."""

    def __init__(self, model, corpus):
        self.vocab, self.merge_rank, self.token_to_id = model.vocab, model.merge_rank, model.token_to_id
        self.corpus = corpus


@pytest.fixture(scope="module")
def setting(tmp_path_factory):
    rng = random.Random(19)
    lexicon = ["".join(rng.choices("abcdefghij", k=rng.randint(1, 9))) for _ in range(3000)]
    corpus = tmp_path_factory.mktemp("reentry") / "corpus.txt"
    corpus.write_text(" ".join(rng.choices(lexicon, k=400_000)), encoding="utf-8")
    other_corpus = tmp_path_factory.mktemp("reentry") / "other.txt"
    other_corpus.write_text(" ".join(rng.choices(lexicon[:50], k=5000)) + " xy1z", encoding="utf-8")
    model = BPE(600)
    model.train_fromfile(str(corpus), 0)
    other = BPE(80)
    other.train_fromfile(str(other_corpus), 0)
    text = " ".join(rng.choices(lexicon, k=600_000)) + " " + "ab" * 5000  # a long word too
    return str(corpus), tables(model), Other(other, str(other_corpus)), text


def restored(state):
    model = BPE(state[0])
    model.vocab, model.merge_rank, model.token_to_id = state[1], state[2], state[3]
    return model


def outcome(call, *arguments):
    try:
        return call(*arguments)
    except Exception as error:  # tables mixed from two models may contradict each other
        return type(error), str(error)


def assert_like_fresh(model):
    fresh = restored(tables(model))
    for text in ["x1y", "abc abd " * 300, "ab" * 3000]:
        assert outcome(model.encode, text) == outcome(fresh.encode, text)
    ids = list(range(0, len(model.vocab) + 5, 3))
    assert outcome(model.decode, ids) == outcome(fresh.decode, ids)


def outer_calls(corpus, text):
    """The long calls during which the core polls, by name: (function of the model, arguments)."""
    return {
        "encode": (lambda m: m.encode, [text]),
        # Not a list: a list's ids are read before the call claims the object.
        "decode": (lambda m: m.decode, [array.array("H", [i % 500 for i in range(3_000_000)])]),
        "train": (lambda m: m.train_fromfile, [corpus, 0]),
    }


@pytest.mark.parametrize("outer", ["encode", "decode", "train"])
@pytest.mark.parametrize("nested", list(NESTED))
@pytest.mark.parametrize("route", ["signal", "finalizer"])
def test_nested_call_at_a_poll_is_refused(setting, capfd, route, nested, outer):
    corpus, state, other, text = setting
    model = restored(state)
    model.encode("ab ab")  # the kept encoding and decoding data exist
    model.decode([1, 2])
    call, arguments = outer_calls(corpus, text)[outer]
    refusals = []

    def act():
        try:
            NESTED[nested](model, other)
        except RuntimeError as error:
            refusals.append(str(error))
            raise

    if route == "signal":
        # The handler acts on every tick until a tick falls inside the call and is refused; the
        # refusal then passes out of the poll and ends the call.
        def handler(signum, frame):
            if not refusals:
                act()

        previous = signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
        try:
            with pytest.raises(RuntimeError, match="reentrant call"):
                call(model)(*arguments)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    else:
        # A cycle whose finalizer acts, collected at the call's first poll: the empty set made
        # among the arguments (sets, unlike lists, come from no free list) schedules a
        # collection, and no check of the interpreter runs it before the call starts.
        class Cycle:
            def __del__(self):
                try:
                    act()
                except RuntimeError:
                    pass

        bound = call(model)
        thresholds = gc.get_threshold()
        gc.disable()  # the cycle stays in the youngest generation until the call
        cycle = Cycle()
        cycle.self = cycle
        del cycle
        gc.set_threshold(1)
        gc.enable()
        try:
            bound(*arguments, *{*()})
        finally:
            gc.set_threshold(*thresholds)
    assert refusals and refusals[0].startswith("reentrant call: ")
    capfd.readouterr()
    assert_like_fresh(model)


class Items:
    """A mapping whose items() first runs `act`."""

    def __init__(self, pairs, act):
        self.pairs, self.act = pairs, act

    def items(self):
        self.act()
        return list(self.pairs.items())


class Index:
    """An id whose conversion first runs `act`."""

    def __init__(self, value, act):
        self.value, self.act = value, act

    def __index__(self):
        self.act()
        return self.value


@pytest.mark.parametrize("outer", ["assign", "decode"])
@pytest.mark.parametrize("nested", list(NESTED))
def test_nested_call_during_conversion_runs(setting, capfd, nested, outer):
    corpus, state, other, text = setting
    model = restored(state)
    model.encode("ab ab")
    model.decode([1, 2])
    act = lambda: NESTED[nested](model, other)  # noqa: E731
    if outer == "assign":
        model.merge_rank = Items({}, act)  # the nested call runs on the old tables, then no ranks
        assert model.merge_rank == {}
    else:
        model.decode([1, Index(2, act), 3])
    capfd.readouterr()
    assert_like_fresh(model)


# A signal handler replaces the ids of the list being decoded, in place and at the same length,
# again and again: the result is the text of the list at some moment, never a mix. SIGINT comes
# from another process, SIGALRM from a timer.
CHANGED_IDS_CHILD = textwrap.dedent(
    """
    import os, signal, subprocess, sys
    import lorvane_api
    model = lorvane_api.BPE(300)
    model.vocab = [chr(0x61 + i % 26) * (1 + i // 26) for i in range(300)]
    lists = [[i * step % 300 for i in range(1_000_000)] for step in (7, 11)]
    ids, changes = list(lists[0]), []

    def handler(signum, frame):
        changes.append(signum)
        ids[:] = lists[len(changes) % 2]

    signal.signal(getattr(signal, sys.argv[1]), handler)
    if sys.argv[1] == "SIGALRM":
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
    else:
        sender = subprocess.Popen(["sh", "-c", f"while kill -INT {os.getpid()}; do sleep 0.002; done"])
    results = set()
    while len(changes) < 20:  # most of them land in a decode, which takes most of the time
        results.add(model.decode(ids))
    signal.setitimer(signal.ITIMER_REAL, 0)
    if sys.argv[1] == "SIGINT":
        sender.kill()
        sender.wait()
    print(len(results) > 0, results <= {model.decode(ids) for ids in lists})
    """
)


@pytest.mark.parametrize("signal_name", ["SIGALRM", "SIGINT"])
def test_decode_never_mixes_a_list_changed_by_a_signal_handler(signal_name):
    result = subprocess.run([sys.executable, "-c", CHANGED_IDS_CHILD, signal_name], capture_output=True,
                            text=True, timeout=120)
    assert (result.stdout, result.stderr) == ("True True\n", "")
