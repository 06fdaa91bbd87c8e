"""Bad input of every kind, on an untrained and on a trained model: wrong types and out-of-range
values at every method and attribute, lone surrogates, bytes for text, vocabulary sizes out of
range, broken tables, and corpus files that are missing, irregular, unreadable or malformed.

Each case checks the exact diagnostic (the module writes to the process's descriptors, so capfd)
or the exception, and that the four members are exactly as before when the input is refused."""

import os
import pickle
import socket
import stat
import sys
import tempfile

import pytest

import lorvane_api
from lorvane_api import BPE
from conftest import tables
import console_text
from console_text import (CANT_READ, DECODE_UNTRAINED, EMPTY, ENCODE_UNTRAINED, MISSING,
                          NOT_REGULAR, TOO_LARGE, too_small)

OVER_RANGE = TOO_LARGE
NOBODY = 65534

CORPUS = "low lower lowest\tnewer newest\nwidest wider\r\nlow low new new ünïcödé 中文 中文\n"


def reading_bar(size, tokens):
    """The reading bar of a file under a mebibyte: drawn once, at the end, then a line end."""
    return console_text.reading_bar(size, size, tokens) + "\n"


@pytest.fixture(params=["untrained", "trained"])
def model(request, tmp_path, capfd):
    """A model with nothing in it, or one trained from a small corpus (then a few merges)."""
    m = BPE(40)
    if request.param == "trained":
        path = tmp_path / "train.txt"
        path.write_text(CORPUS, encoding="utf-8")
        m.train_fromfile(str(path), 0)
        assert m.vocab and m.merge_rank and m.token_to_id
    capfd.readouterr()
    return m


def refused(capfd, model, action, exception=TypeError):
    """`action` raises `exception`, writes nothing and leaves the four members as they were."""
    before = tables(model)
    with pytest.raises(exception):
        action()
    assert tables(model) == before
    assert capfd.readouterr() == ("", "")


# ---------------------------------------------------------------------------------------------
# Wrong types and out-of-range values, at every method and attribute

NOT_INT = [1.0, float("nan"), None, "x", "1.5", b"\xff", [1], {}, object(), 1j]
NOT_TEXT = [b"ab", bytearray(b"ab"), None, 5, ["a"], "\ud800", "a\udfffb", "\udcff"]
NOT_SEQUENCE = ["ab", b"ab", 5, None, {"a"}, {"a": 0}, (t for t in ["a"])]
NOT_MAPPING = [[(1, 2)], "ab", 5, None, {1, 2}]
OUT_OF_INT32 = [2**31, -(2**31) - 1, 2**32, 2**64, -(2**64)]
OUT_OF_UINT16 = [-1, 2**16, 2**32, 2**64]
OUT_OF_UINT32 = [-1, 2**32, 2**64]
OUT_OF_UINT64 = [-1, 2**64, 2**65]


def matrix():
    """(label, action on a model) for every refused call and assignment."""
    cases = []

    def add(label, action):
        cases.append(pytest.param(action, id=label))

    for v in NOT_INT + OUT_OF_INT32:
        add(f"vocab_size={v!r}", lambda m, v=v: setattr(m, "vocab_size", v))
    for v in NOT_TEXT:
        add(f"encode({v!r})", lambda m, v=v: m.encode(v))
        add(f"train_fromfile({v!r})", lambda m, v=v: m.train_fromfile(v, 0))
        add(f"vocab=[ok, {v!r}]", lambda m, v=v: setattr(m, "vocab", ["a", v]))
    for v in NOT_INT + OUT_OF_UINT64:
        add(f"buffer_size={v!r}", lambda m, v=v: m.train_fromfile("/nonexistent/corpus", v))
    for v in NOT_INT + OUT_OF_UINT16:
        add(f"decode([0, {v!r}])", lambda m, v=v: m.decode([0, v]))
    for v in NOT_SEQUENCE:
        add(f"decode({v!r})", lambda m, v=v: m.decode(v))
        add(f"vocab={v!r}", lambda m, v=v: setattr(m, "vocab", v))
    for v in NOT_INT + OUT_OF_UINT32:
        if isinstance(v, (list, dict)):
            continue  # unhashable: cannot be a key
        add(f"merge_rank={{0: 1, {v!r}: 0}}", lambda m, v=v: setattr(m, "merge_rank", {0: 1, v: 0}))
    for v in NOT_INT + OUT_OF_UINT32:
        add(f"merge_rank={{0: 1, 1: {v!r}}}", lambda m, v=v: setattr(m, "merge_rank", {0: 1, 1: v}))
        add(f"token_to_id={{'a': 0, 'b': {v!r}}}", lambda m, v=v: setattr(m, "token_to_id", {"a": 0, "b": v}))
    for v in [b"a", 1, None, "\ud800", "a\udc80"]:
        add(f"token_to_id={{'a': 0, {v!r}: 0}}", lambda m, v=v: setattr(m, "token_to_id", {"a": 0, v: 0}))
    for v in NOT_MAPPING:
        add(f"merge_rank={v!r}", lambda m, v=v: setattr(m, "merge_rank", v))
        add(f"token_to_id={v!r}", lambda m, v=v: setattr(m, "token_to_id", v))
    return cases


@pytest.mark.parametrize("action", matrix())
def test_refused_value(capfd, model, action):
    refused(capfd, model, lambda: action(model))


@pytest.mark.parametrize("value", NOT_INT + OUT_OF_INT32)
def test_constructor_refuses(capfd, value):
    with pytest.raises(TypeError):
        BPE(value)
    assert capfd.readouterr() == ("", "")


class Raising:
    """A value whose conversion raises `error`: as an int, a sequence or a mapping."""

    def __init__(self, error):
        self.error = error

    def fail(self, *args):
        raise self.error

    __index__ = __int__ = __len__ = __getitem__ = items = fail


class RaisingLookup(Raising):
    """A value whose lookup of items raises `error`."""

    items = property(Raising.fail)


CONVERSIONS = {
    "BPE(x)": lambda m, x: BPE(x),
    "vocab_size=x": lambda m, x: setattr(m, "vocab_size", x),
    "buffer_size=x": lambda m, x: m.train_fromfile("/nonexistent/corpus", x),
    "decode(x)": lambda m, x: m.decode(x),
    "decode([0, x])": lambda m, x: m.decode([0, x]),
    "vocab=x": lambda m, x: setattr(m, "vocab", x),
    "merge_rank=x": lambda m, x: setattr(m, "merge_rank", x),
    "token_to_id={'a': x}": lambda m, x: setattr(m, "token_to_id", {"a": x}),
}


# Ctrl-C, exit and running out of memory while a value is converted are not refusals of the value:
# they pass through unchanged. Any other exception refuses it.
@pytest.mark.parametrize("error, raised", [(KeyboardInterrupt, KeyboardInterrupt), (SystemExit, SystemExit),
                                           (MemoryError, MemoryError), (ValueError, TypeError)])
@pytest.mark.parametrize("action", [pytest.param(action, id=label) for label, action in CONVERSIONS.items()])
def test_exception_during_conversion(capfd, model, action, error, raised):
    refused(capfd, model, lambda: action(model, Raising(error("from the value"))), raised)
    if error is not ValueError:  # a lookup that raises another error is reported as unraisable
        refused(capfd, model, lambda: action(model, RaisingLookup(error())), raised)


@pytest.mark.parametrize("name", ["vocab_size", "vocab", "merge_rank", "token_to_id"])
def test_attribute_cannot_be_deleted(capfd, model, name):
    refused(capfd, model, lambda: delattr(model, name), AttributeError)


def test_unknown_attribute_cannot_be_set(capfd, model):
    refused(capfd, model, lambda: setattr(model, "vocabulary", []), AttributeError)


# ---------------------------------------------------------------------------------------------
# Text that converts but that the model cannot take


@pytest.mark.parametrize(
    "text, message",
    [
        ("ab \U0001D800", "Invalid code point"),  # a surrogate unit after the 16-bit cut
        ("\U0002DFFF", "Invalid code point"),
    ],
)
def test_encode_surrogate_after_cut(capfd, model, text, message):
    before = tables(model)
    if not model.vocab:
        assert model.encode(text) == []
        assert capfd.readouterr() == ("", ENCODE_UNTRAINED)
        return
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        model.encode(text)
    assert tables(model) == before
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("text", ["", "\x01\x02\x03", "\U0001F9FF"])
def test_encode_nothing_known(capfd, model, text):
    before = tables(model)
    assert model.encode(text) == []
    assert capfd.readouterr() == ("", EMPTY if model.vocab else ENCODE_UNTRAINED)
    assert tables(model) == before


@pytest.mark.parametrize("ids", [[], [0, 65535], [65535] * 3])
def test_decode_any_16_bit_id(capfd, model, ids):
    before = tables(model)
    text = model.decode(ids)
    if not model.vocab:
        assert text == "" and capfd.readouterr() == ("", DECODE_UNTRAINED)
    else:
        expected = "".join(model.vocab[i] + " " if i < len(model.vocab) else "\ufffd" for i in ids)
        assert text == expected and capfd.readouterr() == ("", "")
    assert tables(model) == before


# Tables assigned from Python that break the model: (vocab, token_to_id, merge_rank, text, error).
BROKEN_TABLES = [
    pytest.param(["a", "b"], {"a": 0, "b": 1}, {1: 0}, "ab", "unordered_map::at", id="merged-text-missing"),
    pytest.param(["a", "b"], {"a": 0, "b": 9}, {9: 0}, "ab", None, id="id-outside-vocab-right"),
    pytest.param(["a", "b"], {"a": 9, "b": 1}, {(9 << 16) | 1: 0}, "ab", None, id="id-outside-vocab-left"),
    pytest.param(["a"], {"a": 0, "\u0120": 70000}, {4464: 0}, "a ", None, id="id-above-16-bits"),
    pytest.param(["a", "b"], {"a": 0, "b": 1}, {1: 0}, "ab " * 9000, "unordered_map::at", id="long-text"),
]


@pytest.mark.parametrize("vocab, token_to_id, merge_rank, text, message", BROKEN_TABLES)
def test_encode_with_broken_tables_raises_index_error(capfd, vocab, token_to_id, merge_rank, text, message):
    model = BPE(3)
    model.vocab, model.token_to_id, model.merge_rank = vocab, token_to_id, merge_rank
    before = tables(model)
    with pytest.raises(IndexError) as raised:
        model.encode(text)
    if message:
        assert str(raised.value) == message
    assert tables(model) == before
    assert capfd.readouterr() == ("", "")


# ---------------------------------------------------------------------------------------------
# vocab_size out of range for training


@pytest.mark.parametrize(
    "vocab_size, message",
    [
        (65536, OVER_RANGE),
        (2**31 - 1, OVER_RANGE),
        (-1, OVER_RANGE),
        (-(2**31), OVER_RANGE),
        (0, too_small(0)),
        (5, too_small(5)),
    ],
)
def test_training_refuses_vocab_size(capfd, model, write_file, vocab_size, message):
    path = write_file(CORPUS, "corpus-size.txt")
    model.vocab_size = vocab_size
    before = tables(model)
    assert model.train_fromfile(path, 0) is None
    units = len(CORPUS) + sum(CORPUS.count(c) for c in " \t\r\n")
    assert capfd.readouterr() == (reading_bar(len(CORPUS.encode()), units), message)
    assert tables(model) == before


# ---------------------------------------------------------------------------------------------
# Corpus files


def special_path(kind, tmp_path):
    """A path of the given kind under tmp_path (made here), or a system path."""
    target = tmp_path / "target.txt"
    target.write_text("ab ab", encoding="utf-8")
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(path))
        sock.close()
    elif kind == "directory":
        path.mkdir()
    elif kind == "dangling-link":
        path.symlink_to(tmp_path / "nowhere")
    elif kind == "link-to-directory":
        path.symlink_to(tmp_path)
    elif kind == "link-loop":
        path.symlink_to(path)
    elif kind == "through-a-file":
        return str(target / "child")
    elif kind == "empty-path":
        return ""
    elif kind == "name-too-long":
        return str(tmp_path / ("x" * 5000))
    elif kind == "character-device":
        return os.devnull
    return str(path)


REFUSED_PATHS = [
    ("missing", MISSING),
    ("empty-path", MISSING),
    ("dangling-link", MISSING),
    ("through-a-file", MISSING),
    ("directory", NOT_REGULAR),
    ("fifo", NOT_REGULAR),
    ("socket", NOT_REGULAR),
    ("link-to-directory", NOT_REGULAR),
    ("character-device", NOT_REGULAR),
]


@pytest.mark.parametrize("kind, message", REFUSED_PATHS)
def test_refused_path(capfd, model, tmp_path, kind, message):
    path = special_path(kind, tmp_path)
    before = tables(model)
    assert model.train_fromfile(path, 0) is None
    assert capfd.readouterr() == ("", message)
    assert tables(model) == before
    if not model.vocab:
        model.encode("ab")
        assert capfd.readouterr().err == ENCODE_UNTRAINED  # still untrained


@pytest.mark.parametrize(
    "kind, message",
    [("link-loop", "Too many levels of symbolic links"), ("name-too-long", "File name too long")],
)
def test_path_that_cannot_be_examined_raises(capfd, model, tmp_path, kind, message):
    path = special_path(kind, tmp_path)
    before = tables(model)
    with pytest.raises(RuntimeError, match=message):
        model.train_fromfile(path, 0)
    assert tables(model) == before
    assert capfd.readouterr() == ("", "")


# Files whose bytes are not UTF-8: (bytes, message). Nothing is drawn for a file this small.
MALFORMED = [
    pytest.param(b"\xffabc def", "Invalid UTF-8", id="invalid-at-start"),
    pytest.param(b"abc \xff def", "Invalid UTF-8", id="invalid-in-middle"),
    pytest.param(b"abc def\xff", "Invalid UTF-8", id="invalid-at-end"),
    pytest.param(b"abc \x80 def", "Invalid UTF-8", id="lone-continuation"),
    pytest.param(b"ab\xc0\x80", "Invalid UTF-8", id="overlong-nul"),
    pytest.param(b"a\xe0\x80\xafb", "Invalid UTF-8", id="overlong-slash"),
    pytest.param(b"a\xe2\x82b", "Invalid UTF-8", id="truncated-3-in-middle"),
    pytest.param(b"\xf0\x9f a", "Invalid UTF-8", id="truncated-4-in-middle"),
    pytest.param(b"abc \xe2\x82", "Not enough space", id="truncated-3-at-end"),
    pytest.param(b"abc \xf0\x9f\x98", "Not enough space", id="truncated-4-at-end"),
    pytest.param(b"\xc3", "Not enough space", id="truncated-2-alone"),
    pytest.param(b"a\xed\xa0\x80b", "Invalid code point", id="encoded-surrogate"),
    pytest.param(b"a\xf4\x90\x80\x80", "Invalid code point", id="above-10ffff"),
]


@pytest.mark.parametrize("data, message", MALFORMED)
def test_malformed_corpus_raises(capfd, model, write_file, data, message):
    path = write_file(data)
    before = tables(model)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        model.train_fromfile(path, 0)
    assert tables(model) == before
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("char", ["\U0001D800", "\U0002DFFF", "\U0010DC00"])
def test_four_byte_char_in_surrogate_range_after_cut(capfd, model, write_file, char):
    # The reader keeps the cut unit; the trainer cannot write it as UTF-8.
    path = write_file(f"ab {char}cd")
    before = tables(model)
    with pytest.raises(RuntimeError, match="^Invalid code point$"):
        model.train_fromfile(path, 0)
    assert tables(model) == before
    assert capfd.readouterr() == (reading_bar(len(f"ab {char}cd".encode()), 7), "")


def test_empty_file_trains_an_empty_model(capfd, model, write_file):
    model.train_fromfile(write_file(b""), 0)
    assert tables(model) == (40, [], {}, {})
    assert capfd.readouterr() == (reading_bar(0, 0) + "\n", "")


@pytest.mark.parametrize("data", [b" ", b" \t\r\n", b"\n" * 100])
def test_whitespace_only_file(capfd, model, write_file, data):
    model.train_fromfile(write_file(data), 0)
    assert tables(model) == (40, ["\u0120"], {}, {"\u0120": 0})
    assert capfd.readouterr() == (reading_bar(len(data), 2 * len(data)) + "\n", "")


def test_link_to_file_trains_as_the_file(capfd, model, tmp_path):
    target = tmp_path / "real.txt"
    target.write_text(CORPUS, encoding="utf-8")
    link = tmp_path / "link.txt"
    link.symlink_to(target)
    direct = BPE(40)
    direct.train_fromfile(str(target), 0)
    expected = capfd.readouterr()
    model.train_fromfile(str(link), 0)
    assert tables(model) == tables(direct)
    assert capfd.readouterr() == expected


def test_file_whose_size_cannot_be_measured(capfd, model):
    # procfs reports size 0 and refuses to seek to the end: the reader's size is negative.
    if not os.path.isfile("/proc/self/status"):
        pytest.skip("no procfs")
    before = tables(model)
    with pytest.raises(ValueError, match=r"^cannot create std::vector larger than max_size\(\)$"):
        model.train_fromfile("/proc/self/status", 0)
    assert tables(model) == before
    assert capfd.readouterr() == ("", "")


def short_file():
    """A sysfs file whose reported size exceeds what a read delivers, or None."""
    for path in ("/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling",
                 "/sys/kernel/kexec_loaded", "/sys/power/state", "/sys/kernel/uevent_seqnum"):
        try:
            with open(path, "rb") as f:
                data = f.read()
            if os.stat(path).st_size > len(data) and data.decode("utf-8", "strict"):
                return path
        except (OSError, UnicodeDecodeError):
            continue
    return None


def test_short_read_raises(capfd, model):
    path = short_file()
    if path is None:
        pytest.skip("no file here delivers fewer bytes than its size")
    before = tables(model)
    with pytest.raises(RuntimeError):
        model.train_fromfile(path, 0)
    assert tables(model) == before
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------------------------
# Files a user without privileges cannot read. CI runs as root, which reads everything: the call
# runs in a forked child that first becomes the user nobody.


def as_unprivileged(action):
    """Runs action() in a child process without root's privileges. Returns (outcome, stdout,
    stderr, tables after) where outcome is ("returned", value) or ("raised", type name, text)."""
    if os.geteuid() == 0 and not hasattr(os, "setresuid"):
        pytest.skip("cannot drop privileges here")
    out = tempfile.TemporaryFile()
    err = tempfile.TemporaryFile()
    read_end, write_end = os.pipe()
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # child: never returns into pytest
        status = 0
        try:
            os.close(read_end)
            if os.geteuid() == 0:
                os.setgroups([])
                os.setresgid(NOBODY, NOBODY, NOBODY)
                os.setresuid(NOBODY, NOBODY, NOBODY)
            os.dup2(out.fileno(), 1)
            os.dup2(err.fileno(), 2)
            try:
                outcome = ("returned", action())
            except Exception as e:  # noqa: BLE001 - the parent compares it
                outcome = ("raised", type(e).__name__, str(e))
            out.seek(0)
            err.seek(0)
            payload = pickle.dumps((outcome, out.read().decode(), err.read().decode()))
            with os.fdopen(write_end, "wb") as pipe:
                pipe.write(payload)
        except BaseException:  # noqa: BLE001
            status = 1
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        payload = pipe.read()
    _, status = os.waitpid(pid, 0)
    assert status == 0 and payload, "the unprivileged child failed"
    return pickle.loads(payload)


@pytest.fixture
def public_dir():
    """A directory every user can enter (pytest's own temporary directories are private)."""
    with tempfile.TemporaryDirectory(prefix="lorvane-") as path:
        os.chmod(path, 0o755)
        yield path


def test_unreadable_file(capfd, model, public_dir):
    path = os.path.join(public_dir, "secret.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(CORPUS)
    os.chmod(path, 0)
    before = tables(model)

    def train():
        model.train_fromfile(path, 0)
        return tables(model)

    outcome, out, err = as_unprivileged(train)
    assert outcome == ("returned", before)
    assert (out, err) == ("", CANT_READ)
    assert capfd.readouterr() == ("", "")


def test_directory_on_the_way_not_searchable(capfd, model, public_dir):
    locked = os.path.join(public_dir, "locked")
    os.mkdir(locked)
    path = os.path.join(locked, "corpus.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(CORPUS)
    os.chmod(locked, stat.S_IRUSR | stat.S_IWUSR)  # no search permission for anyone but root
    before = tables(model)

    def train():
        try:
            model.train_fromfile(path, 0)
        except RuntimeError as e:
            return ("RuntimeError", str(e), tables(model))
        return ("no error", "", tables(model))

    outcome, out, err = as_unprivileged(train)
    kind, message, after = outcome[1]
    assert kind == "RuntimeError" and "Permission denied" in message
    assert after == before
    assert (out, err) == ("", "")
