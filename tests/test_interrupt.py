"""Ctrl-C during a long call: a child interpreter trains or encodes, the test sends it SIGINT
while the call runs, and the child must raise KeyboardInterrupt promptly with its model as it was
before the call."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import ARM_FINALIZER

CHILD = textwrap.dedent(
    """
    import ctypes, random, sys, lorvane_api
    rng = random.Random(7)
    letters = [chr(c) for c in range(0x3B1, 0x3B1 + 40)] + list("abcdefghijklmnopqrstuvwxyz")
    words = ["".join(rng.choices(letters, k=rng.randint(3, 12))) for _ in range(200_000)]
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        for _ in range(3 if sys.argv[1] == "train" else 1):
            f.write(" ".join(rng.sample(words, len(words))) + "\\n")
    if sys.argv[1] == "train":
        model = lorvane_api.BPE(65000)
        call = lambda: model.train_fromfile(sys.argv[2], 0)
    else:
        model = lorvane_api.BPE(3000)
        model.train_fromfile(sys.argv[2], 0)
        text = " ".join(rng.choices(words, k=12_000_000))
        # The interpreter makes a str's UTF-8 form once, in one call no signal can cut short, and
        # keeps it: made here, it is not part of the call, whatever this build's speed.
        utf8_form = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
        utf8_form.argtypes, utf8_form.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_void_p
        utf8_form(text, None)
        call = lambda: model.encode(text)
    before = (model.vocab, model.merge_rank, model.token_to_id)
    print("START", flush=True)
    try:
        call()
        print("RETURNED", flush=True)
    except KeyboardInterrupt:
        print("INTERRUPTED", (model.vocab, model.merge_rank, model.token_to_id) == before, flush=True)
    """
)


# The encode case's child has its 100 MB argument in UTF-8 before the call, so that the signal
# lands in the core's own work and not in the interpreter's conversion.
@pytest.mark.parametrize("operation, wait_for, delay",
                         [("train", b"BPE Trainer", 0.2), ("encode", b"START", 0.5)])
def test_sigint_stops_the_call_and_leaves_the_model(tmp_path, operation, wait_for, delay):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, operation, str(tmp_path / "corpus.txt")],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    seen = b""
    while wait_for not in seen:  # the call is under way once this appears
        chunk = child.stdout.read1(65536)
        assert chunk, f"child ended early: {child.stderr.read().decode()}"
        seen += chunk
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    sent = time.monotonic()
    out = b""
    while b"INTERRUPTED" not in out and b"RETURNED" not in out:
        chunk = child.stdout.read1(65536)
        if not chunk:
            break
        out += chunk
    latency = time.monotonic() - sent  # measured before the child's exit, which may be slow
    rest, err = child.communicate(timeout=60)
    out += rest
    assert b"RETURNED" not in seen + out, "the call finished before the signal: make it longer"
    assert b"INTERRUPTED True" in out, err.decode()
    assert latency < 2.0  # about 0.1 s on an idle machine; the margin is for a loaded one


# The main thread waits for the claim of a training in another thread, which runs in C++ (the
# interpreter lock held between polls) after a pause in a finalizer that lets the main thread in.
WAITING_CHILD = ARM_FINALIZER + textwrap.dedent(
    """
    import os, random, sys, threading, time
    import lorvane_api
    letters = bytes(32 if b < 28 else 97 + b % 26 for b in range(256))
    with open(sys.argv[1], "wb") as f:
        f.write(random.Random(7).randbytes(6_000_000).translate(letters))  # trains for seconds
    model = lorvane_api.BPE(65000)
    inside = threading.Event()
    marks = os.fdopen(os.dup(1), "w")
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the training's progress

    def holder():
        arm_finalizer(lambda: inside.set() or time.sleep(0.1))
        model.train_fromfile(sys.argv[1], 0, *{*()})

    threading.Thread(target=holder, daemon=True).start()
    inside.wait(60)
    print("WAITING", file=marks, flush=True)
    try:
        model.encode("ab")
    except KeyboardInterrupt:
        print("INTERRUPTED", model.vocab == [], file=marks, flush=True)
    os._exit(0)
    """
)


def test_sigint_ends_a_wait_for_another_threads_call(tmp_path):
    child = subprocess.Popen([sys.executable, "-c", WAITING_CHILD, str(tmp_path / "corpus.txt")],
                             stdout=subprocess.PIPE)
    try:
        assert child.stdout.readline() == b"WAITING\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = child.stdout.readline()
        latency = time.monotonic() - sent
    finally:
        child.kill()
        child.communicate()
    assert line == b"INTERRUPTED True\n"  # the model as it was: the training had not ended
    assert latency < 2.0  # under 0.1 s on an idle machine; the margin is for a loaded one
