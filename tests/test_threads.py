"""One trained model shared by many Python threads: concurrent encode and decode calls (and
attribute reads) give exactly the results of serial calls and leave the model unchanged."""

import random
import subprocess
import sys
import textwrap
import threading

import pytest

from lorvane_api import BPE
from conftest import ARM_FINALIZER, tables

THREADS = 8
ROUNDS = 3


def words(rng, count):
    letters = "abcdefghijklmnopqrstuvwxyzéü中文"
    return [
        "".join(rng.choice(letters[: rng.randint(3, len(letters))]) for _ in range(rng.randint(1, 9)))
        for _ in range(count)
    ]


@pytest.fixture(scope="module")
def shared(tmp_path_factory):
    rng = random.Random(20240611)
    lexicon = words(rng, 2000)
    corpus = " ".join(rng.choice(lexicon[: rng.randint(1, len(lexicon))]) for _ in range(60000))
    path = tmp_path_factory.mktemp("threads") / "corpus.txt"
    path.write_text(corpus, encoding="utf-8")
    model = BPE(1500)
    model.train_fromfile(str(path), 0)
    assert len(model.vocab) == 1500
    # Texts of many lengths, long ones too (past the length where encoding splits into words),
    # with characters the model does not know; id lists with ids past the vocabulary.
    texts = [" ".join(rng.choice(lexicon) for _ in range(rng.randint(1, 40))) + "\U0001F9EA" for _ in range(150)]
    texts += [" ".join(rng.choice(lexicon) for _ in range(4000)) for _ in range(3)]
    id_lists = [[rng.randrange(0, 1600) for _ in range(rng.randint(0, 200))] for _ in range(100)]
    return model, texts, id_lists


def test_concurrent_calls_match_serial(shared, capfd):
    model, texts, id_lists = shared
    before = tables(model)
    encoded = [model.encode(t) for t in texts]
    decoded = [model.decode(ids) for ids in encoded]
    decoded_raw = [model.decode(ids) for ids in id_lists]
    assert all(encoded) and all(decoded)

    jobs = [("encode", i) for i in range(len(texts))] + [("decode", i) for i in range(len(texts))]
    jobs += [("raw", i) for i in range(len(id_lists))] + [("vocab", 0), ("token_to_id", 0)]
    mismatches = []
    errors = []
    start = threading.Barrier(THREADS)

    def worker(seed):
        rng = random.Random(seed)
        try:
            start.wait()
            for _ in range(ROUNDS):
                order = jobs[:]
                rng.shuffle(order)
                for kind, i in order:
                    if kind == "encode":
                        ok = model.encode(texts[i]) == encoded[i]
                    elif kind == "decode":
                        ok = model.decode(encoded[i]) == decoded[i]
                    elif kind == "raw":
                        ok = model.decode(id_lists[i]) == decoded_raw[i]
                    elif kind == "vocab":
                        ok = model.vocab == before[1]
                    else:
                        ok = model.token_to_id == before[3]
                    if not ok:
                        mismatches.append((seed, kind, i))
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(repr(e))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)

    assert errors == []
    assert mismatches == []
    assert tables(model) == before
    assert capfd.readouterr().err == ""


# A thread's encode holds the claim, paused in a finalizer at its first poll, when the process
# forks: from the main thread (the child lacks the holder) or from the finalizer (the holder is
# the child's one thread, and its encode goes on there).
FORK_CHILD = ARM_FINALIZER + textwrap.dedent(
    """
    import os, signal, sys, threading, warnings
    import lorvane_api
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads alive
    model = lorvane_api.BPE(5)
    model.vocab = ["a", "b", "\\u0120", "ab", "\\u0120ab"]
    model.token_to_id = {text: i for i, text in enumerate(model.vocab)}
    model.merge_rank = {(0 << 16) | 1: 0, (2 << 16) | 3: 1}
    parent, inside, go = os.getpid(), threading.Event(), threading.Event()

    def call():
        try:
            return model.encode("ab ab")
        except RuntimeError as error:
            return str(error).split(":")[0]

    def fork():
        pid = os.fork()
        if pid == 0:
            signal.alarm(10)  # a child that hangs ends
            print("child:", call(), flush=True)
            return 0
        print("child ended:", os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), flush=True)
        return pid

    def pause():
        inside.set()
        if sys.argv[1] == "main":
            go.wait(10)
        else:
            fork()  # in the child, the encode goes on

    def worker():
        arm_finalizer(pause)
        ids = model.encode("ab " * 300_000, *{*()})
        print("encoded:", len(ids), call(), flush=True)
        if os.getpid() != parent:
            os._exit(0)

    thread = threading.Thread(target=worker)
    thread.start()
    inside.wait(10)
    if sys.argv[1] == "main":
        if fork() == 0:
            os._exit(0)
        go.set()
    thread.join()
    """
)


@pytest.mark.parametrize("forker, child", [("main", ["child: [3, 4]"]),
                                           ("holder", ["child: reentrant call", "encoded: 300001 [3, 4]"])])
def test_fork_while_a_thread_holds_the_claim(forker, child):
    result = subprocess.run([sys.executable, "-c", FORK_CHILD, forker], capture_output=True, text=True,
                            timeout=60)
    expected = child + ["child ended: 0", "encoded: 300001 [3, 4]"]
    assert (result.stdout.splitlines(), result.stderr) == (expected, "")
