"""Runs every road through lorvane_api many times, for a leak checker to watch.

    python tests/leak_check.py exercise [--rounds N]
        Trains, encodes, decodes, reads and assigns the tables, and triggers every refusal and
        every exception path, N times over. Run it under valgrind memcheck (scripts/reliability.sh
        does); a leak then shows as a loss record whose allocation stack passes through the
        module, and a leak per round shows as lost bytes that grow with N.

    python tests/leak_check.py rss [--trainings N] [--max-growth-mb M]
        Trains one model N times on the same corpus in this process and fails when the resident
        set grows by more than M MiB after the first few runs.

    python tests/leak_check.py valgrind-report SHORT_LOG LONG_LOG
        Reads the memcheck logs of a short and a long `exercise` run and fails on a definite leak
        or a memory error whose stack passes through the module, or when the long run lost more
        bytes than the short one (CPython's own leaks at exit are not ours: they are the same in
        both runs and have no frame in the module).

Console output of the module goes to /dev/null while exercising.
"""

import argparse
import contextlib
import os
import re
import resource
import sys
import tempfile

SYLLABLES = ["ka", "to", "ri", "en", "an", "the", "ing", "qu", "é", "ü", "中", "文", "ß", "\U0001F600",
             "s", "t", "a", "o", "er", "ion", "ly", "x", "zz", "aa"]


def lexicon(size, seed):
    """`size` made-up words of one to five syllables."""
    state = seed
    words = []
    for _ in range(size):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        count = 1 + state % 5
        word = ""
        for _ in range(count):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            word += SYLLABLES[(state >> 8) % len(SYLLABLES)]
        words.append(word)
    return words


def corpus_text(words, seed=1, distinct=3000):
    """Deterministic text of `words` words drawn unevenly from a made-up lexicon, separated by all
    four whitespace kinds."""
    vocabulary = lexicon(distinct, seed)
    state = seed
    out = []
    for i in range(words):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        # Scaling by a second draw favours the front of the lexicon, as text favours common words.
        pick = (state % distinct) * (state >> 12 & 0xFF) // 256
        out.append(vocabulary[pick])
        out.append(" \t\n\r"[state >> 20 & 3] if i % 7 == 6 else " ")
    return "".join(out)


@contextlib.contextmanager
def quiet():
    """Sends the process's standard output and error (the module writes to the descriptors) to
    /dev/null."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = os.dup(1), os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)


def expect(exception, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exception:
        return
    raise AssertionError(f"{call!r}{args} did not raise {exception.__name__}")


def exercise_round(api, files):
    BPE = api.BPE

    # Construction, good and refused.
    for value in (0, -5, 70000, "1000", True):
        BPE(value)
    for value in (2**31, 1.0, None, "x", [1]):
        expect(TypeError, BPE, value)

    # Training: success, retraining, every refusal and every exception.
    model = BPE(300)
    model.train_fromfile(files["corpus"], 0)
    model.train_fromfile(files["corpus2"], 1 << 20)  # retrain: all three tables replaced
    trained = (model.vocab, model.merge_rank, model.token_to_id)
    for path in (files["missing"], files["dir"], files["fifo"], "", files["dangling"]):
        model.train_fromfile(path, 0)
    for path in (files["bad_utf8"], files["truncated"], files["surrogate_plane1"], files["loop"]):
        expect(RuntimeError, model.train_fromfile, path, 0)
    expect(RuntimeError, model.train_fromfile, os.path.join(files["dir"], "x" * 5000), 0)
    expect(ValueError, model.train_fromfile, "/proc/self/status", 0)  # size cannot be measured
    if files["short"]:
        expect(RuntimeError, model.train_fromfile, files["short"], 0)  # fewer bytes than its size
    for size in (1, 65536, -1, 2**31 - 1):
        other = BPE(size)
        other.train_fromfile(files["corpus"], 0)
    BPE(10).train_fromfile(files["empty"], 0)
    BPE(10).train_fromfile(files["spaces"], 0)
    BPE(300).train_fromfile(files["link"], 0)
    for args in ((b"x", 0), (files["corpus"], -1), (files["corpus"], 2**64), ("\udcff", 0), (None, 0)):
        expect(TypeError, model.train_fromfile, *args)
    assert (model.vocab, model.merge_rank, model.token_to_id) == trained

    # Encoding: results, diagnostics, malformed input, broken tables, long texts.
    text = corpus_text(400, seed=7)
    for sample in (text, "", "\x01\x02", "a", "a \U00010020b", text * 50):
        model.encode(sample)
    BPE(5).encode("abc")
    expect(RuntimeError, model.encode, "ab \U0001D800")
    for value in (b"abc", None, 5, ["a"], "\ud800"):
        expect(TypeError, model.encode, value)
    broken = BPE(5)
    broken.vocab = ["a", "b"]
    broken.token_to_id = {"a": 0, "b": 1, "c": 7}
    broken.merge_rank = {(0 << 16) | 1: 0}
    expect(IndexError, broken.encode, "ab")  # "ab" missing from token_to_id
    expect(IndexError, broken.encode, "ab " * 6000)  # long text: the word-by-word road gives up
    broken.merge_rank = {(7 << 16) | 0: 0}
    expect(IndexError, broken.encode, "ca")  # id 7 outside vocab

    # Decoding.
    ids = model.encode(text)
    model.decode(ids)
    model.decode([0, 1, 65535, len(model.vocab)])
    BPE(5).decode([1, 2])
    for value in ([-1], [65536], [1.0], "ab", b"\x00", [0, None], 5):
        expect(TypeError, model.decode, value)

    # Attributes: read, assign, refused assignments half way through a conversion.
    copy = BPE(0)
    copy.vocab, copy.merge_rank, copy.token_to_id = model.vocab, model.merge_rank, model.token_to_id
    copy.vocab_size = model.vocab_size
    assert copy.encode(text) == ids
    for name, value in (("vocab", ["a", "b", 1]), ("vocab", "abc"), ("vocab", ["a", "\ud800"]),
                        ("merge_rank", {1: 2, 3: -1}), ("merge_rank", {2**32: 0}),
                        ("token_to_id", {"a": 1, "b": 2**32}), ("token_to_id", {"\ud800": 1}),
                        ("token_to_id", [("a", 1)]), ("vocab_size", 2**31)):
        expect(TypeError, setattr, copy, name, value)
    for name in ("vocab", "merge_rank", "token_to_id", "vocab_size"):
        expect(AttributeError, delattr, copy, name)
    expect(AttributeError, setattr, copy, "other", 1)
    copy.vocab = []
    copy.encode("abc")
    copy.decode([0])

    class Sub(BPE):
        pass

    sub = Sub(300)
    sub.train_fromfile(files["corpus"], 0)
    sub.decode(sub.encode(text))


def make_files(root):
    files = {}

    def write(name, data):
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(data)
        files[name] = path

    write("corpus", corpus_text(3000).encode())
    write("corpus2", corpus_text(2000, seed=5).encode())
    write("empty", b"")
    write("spaces", b" \t\r\n  ")
    write("bad_utf8", b"abc \xff def")
    write("truncated", b"abc \xe2\x82")
    write("surrogate_plane1", "ab \U0001D800 cd".encode())
    files["missing"] = os.path.join(root, "missing")
    files["dir"] = root
    files["fifo"] = os.path.join(root, "fifo")
    os.mkfifo(files["fifo"])
    files["dangling"] = os.path.join(root, "dangling")
    os.symlink(files["missing"], files["dangling"])
    files["link"] = os.path.join(root, "link")
    os.symlink(files["corpus"], files["link"])
    files["loop"] = os.path.join(root, "loop")
    os.symlink(files["loop"], files["loop"])
    files["short"] = None
    for path in ("/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling"):
        try:
            with open(path, "rb") as f:
                if os.stat(path).st_size > len(f.read()):
                    files["short"] = path
                    break
        except OSError:
            continue
    return files


def exercise(rounds):
    import lorvane_api

    with tempfile.TemporaryDirectory() as root:
        files = make_files(root)
        with quiet():
            for _ in range(rounds):
                exercise_round(lorvane_api, files)
    print(f"leak_check: {rounds} rounds of every path done")


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def rss(trainings, max_growth_mb, words):
    import lorvane_api

    with tempfile.TemporaryDirectory() as root:
        path = os.path.join(root, "corpus.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(corpus_text(words, seed=3, distinct=words // 8))
        text = corpus_text(20000, seed=11)
        sizes = []
        with quiet():
            for _ in range(trainings):
                model = lorvane_api.BPE(8000)
                model.train_fromfile(path, 0)
                model.decode(model.encode(text))
                del model
                sizes.append(rss_mib())
    warm = min(3, trainings - 1)
    growth = max(sizes[warm:]) - sizes[warm]
    print(f"leak_check: resident set over {trainings} trainings (MiB): "
          + " ".join(f"{s:.1f}" for s in sizes))
    print(f"leak_check: growth after the first {warm + 1}: {growth:.1f} MiB (limit {max_growth_mb} MiB)")
    if growth > max_growth_mb:
        sys.exit("leak_check: resident memory grows with repeated training")


RECORD_START = re.compile(r"^==\d+== (?P<head>.*(definitely lost in loss record|Invalid (read|write|free)|"
                          r"Mismatched free|Conditional jump|Use of uninitialised|Syscall param|"
                          r"Source and destination overlap).*)$")


def definitely_lost_bytes(log):
    with open(log, errors="replace") as f:
        for line in f:
            match = re.search(r"definitely lost: ([\d,]+) bytes", line)
            if match:
                return int(match.group(1).replace(",", ""))
    return 0


def valgrind_report(short_log, long_log, slack=4096):
    """Returns 1 on a definite leak or a memory error with one of our frames, or on lost bytes
    that grow with the number of rounds."""
    ours = []
    totals = []
    for log in (short_log, long_log):
        with open(log, errors="replace") as f:
            lines = f.read().splitlines()
        i = 0
        while i < len(lines):
            match = RECORD_START.match(lines[i])
            if not match:
                if "definitely lost:" in lines[i]:
                    totals.append(f"{os.path.basename(log)}: {lines[i].split('== ', 1)[-1].strip()}")
                i += 1
                continue
            block = [lines[i]]
            i += 1
            while i < len(lines) and re.match(r"^==\d+==\s+(at|by) ", lines[i]):
                block.append(lines[i])
                i += 1
            if any("lorvane" in frame for frame in block[1:]):
                ours.append("\n".join(block))
    for line in totals:
        print(f"leak_check: {line}")
    short, long = definitely_lost_bytes(short_log), definitely_lost_bytes(long_log)
    failed = False
    if long > short + slack:
        print(f"leak_check: the long run lost {long - short} bytes more than the short one")
        failed = True
    if ours:
        print(f"leak_check: {len(ours)} definite leak(s) or memory error(s) in lorvane_api:")
        for block in ours:
            print(block)
        failed = True
    if not failed:
        print("leak_check: no definite leak and no memory error with a frame in lorvane_api, "
              "and no growth with the number of rounds")
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("exercise")
    p.add_argument("--rounds", type=int, default=20)
    p = sub.add_parser("rss")
    p.add_argument("--trainings", type=int, default=20)
    p.add_argument("--max-growth-mb", type=float, default=4.0)
    p.add_argument("--words", type=int, default=300000)
    p = sub.add_parser("valgrind-report")
    p.add_argument("short_log")
    p.add_argument("long_log")
    args = parser.parse_args()
    if args.command == "exercise":
        exercise(args.rounds)
    elif args.command == "rss":
        rss(args.trainings, args.max_growth_mb, args.words)
    else:
        sys.exit(valgrind_report(args.short_log, args.long_log))


if __name__ == "__main__":
    main()
