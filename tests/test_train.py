"""Training from a file: byte-identical models with the plain reference trainer on random and real
corpora, the console output to the character, every refusal and failure, and retraining."""

import os
import pathlib
import random
import subprocess
import sys
import tempfile
import textwrap
import warnings

import pytest

import lorvane_api
import reference_train as ref
from conftest import ROOT, tables
from console_text import (CANT_READ, ENCODE_UNTRAINED, MIB, MISSING, NOT_REGULAR, TOO_LARGE,
                          reading_bar, too_small, trainer_bar)


def units_of(data):
    """Number of code units the reader produces, without the closing boundary unit."""
    return sum(1 + (ord(c) & 0xFFFF in ref.WHITESPACE) for c in data.decode("utf-8"))


def trained(vocab_size, path):
    model = lorvane_api.BPE(vocab_size)
    assert model.train_fromfile(path, 0) is None
    return model


def model_tables(model):
    return model.vocab, model.merge_rank, model.token_to_id


@pytest.fixture
def pretrained(write_file, capfd):
    """A model trained on a small corpus, to show that a refused or failed run keeps it."""
    model = trained(8, write_file("ab ab abc ca", name="pretrained.txt"))
    capfd.readouterr()
    return model


def test_bar_helpers_match_literal_text():
    assert trainer_bar(57, 100) == "\rBPE Trainer | [" + "=" * 28 + " " * 22 + "]  57% (57/100)"
    assert trainer_bar(29, 100) == "\rBPE Trainer | [" + "=" * 14 + " " * 36 + "]  29% (29/100)"
    assert reading_bar(0, 0, 0) == "\rPre-Tokenizing  | [>" + " " * 49 + "]   0% (0/0 MB) Tokens: 0"


# ------------------------------------------------------------------------------------------------
# Same model as the reference


def random_corpus(rng):
    """Random words over a small alphabet, runs of one letter, and mixed separators; mostly a few
    dozen words, sometimes hundreds. Some units coincide after the 16-bit cut (U+10041 is A,
    U+10020 a space, U+10000 a NUL)."""
    pool = ["a", "b", "c", "d", "A", "é", "ж", "€", "\u0120", "\ufeff", "\U0001F600", "\U00010041"]
    letters = rng.sample(pool, rng.randint(1, 5))
    separators = [" ", " ", " ", "  ", "\n", "\r\n", "\t", "\x00", " \t\n"]
    separators += ["\U00010020", "\U00010000"]
    parts = []
    for _ in range(rng.randint(0, 60) if rng.random() < 0.8 else rng.randint(200, 800)):
        if rng.random() < 0.2:
            word = rng.choice(letters) * rng.randint(2, 9)
        else:
            word = "".join(rng.choice(letters) for _ in range(rng.randint(1, 7)))
        parts.append(word)
        parts.append(rng.choice(separators))
    if parts and rng.random() < 0.5:
        parts.pop()  # no separator at the end
    if rng.random() < 0.2:
        parts.insert(0, rng.choice(separators))
    return "".join(parts).encode("utf-8")


@pytest.mark.parametrize("seed", range(150))
def test_random_corpus_matches_reference(seed, write_file, capfd):
    rng = random.Random(seed)
    data = random_corpus(rng)
    alphabet = len({u for word in ref.pretokenize(data) for u in word})
    vocab_size = rng.choice([alphabet, alphabet + 1, alphabet + rng.randint(2, 40), 65535])
    expected = ref.train(data, vocab_size)
    model = trained(vocab_size, write_file(data))
    assert model_tables(model) == expected
    assert model.vocab_size == vocab_size
    out, err = capfd.readouterr()
    assert err == ""
    # One reading bar, then one trainer bar per merge and the line end.
    merges = len(expected[1])
    n = len(expected[0]) - merges
    assert out == (
        reading_bar(len(data), len(data), units_of(data))
        + "\n"
        + "".join(trainer_bar(n + k, vocab_size) for k in range(1, merges + 1))
        + "\n"
    )


# A few merges, then rare pairs: the trainer first follows only the pairs it expects so few
# merges to reach, and on some of these corpora (seeds 6, 13, 24 and 34) it must count the pairs
# of the half-merged words again midway.
@pytest.mark.parametrize("seed", range(40))
@pytest.mark.parametrize("extra", [5, 10])
def test_few_merges_into_rare_pairs_match_reference(seed, extra, write_file):
    data = random_corpus(random.Random(seed))
    vocab_size = len({u for word in ref.pretokenize(data) for u in word}) + extra
    expected = ref.train(data, vocab_size)
    assert model_tables(trained(vocab_size, write_file(data))) == expected


@pytest.mark.parametrize("seed", range(20))
def test_reference_counting_words_once_agrees_with_counting_every_occurrence(seed):
    data = random_corpus(random.Random(1000 + seed))
    words = ref.pretokenize(data)
    alphabet = len({u for word in words for u in word})
    assert ref.train_weighted(words, alphabet + 30) == ref.train_words(words, alphabet + 30)


@pytest.fixture(scope="module")
def real_text():
    """The first ~300 KB of the standard library's docstrings."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        from corpus import stdlib_docstrings

        chunks, size = [], 0
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for _, text in stdlib_docstrings():
                chunks.append(text.encode("utf-8"))
                size += len(chunks[-1])
                if size > 300_000:
                    break
    finally:
        sys.path.remove(str(ROOT / "examples"))
    return b"".join(chunks)


# A few hundred merges on the whole text; on a smaller slice, merges far into the rare pairs,
# where most choices are between pairs of equal count.
@pytest.mark.parametrize("size, vocab_size", [(300_000, 500), (60_000, 1500)])
def test_real_text_matches_reference(size, vocab_size, real_text, write_file, capfd):
    data = real_text[:size]
    data = data[: data.rfind(b"\n") + 1]  # cut at a line end
    expected = ref.train(data, vocab_size, weighted=True)
    model = trained(vocab_size, write_file(data))
    assert len(model.vocab) == vocab_size
    assert model.vocab == expected[0]
    assert model.merge_rank == expected[1]
    assert model.token_to_id == expected[2]
    assert capfd.readouterr().err == ""


# ------------------------------------------------------------------------------------------------
# Edge cases of the corpus


@pytest.mark.parametrize(
    "data, vocab_size, vocab",
    [
        pytest.param(b"", 10, [], id="empty"),
        pytest.param(b" \t\r\n ", 10, ["\u0120"], id="only-whitespace"),
        pytest.param(b"ab\r\nab", 10, ["a", "b", "\u0120", "ab", "\u0120ab"], id="crlf"),
        pytest.param(b"\xef\xbb\xbfab ab", 5, ["a", "b", "\u0120", "\ufeff", "ab"], id="bom-kept"),
        pytest.param(b"ab\x00ab\x00", 10, ["a", "b", "ab"], id="nul-is-a-boundary"),
        pytest.param("😀😀".encode(), 10, ["\uf600", "\uf600\uf600"], id="u1f600-cut"),
        pytest.param("a\U00010020a".encode(), 10, ["a", "\u0120", "\u0120a"], id="u10020-is-space"),
        pytest.param("ab\U00010000ab".encode(), 10, ["a", "b", "ab"], id="u10000-is-nul"),
        pytest.param(
            b"aaaa aaa", 10, ["a", "\u0120", "aa", "\u0120aa", "aaaa", "\u0120aaa"], id="runs"
        ),
    ],
)
def test_corpus_edge_cases(data, vocab_size, vocab, write_file, capfd):
    model = trained(vocab_size, write_file(data))
    assert model.vocab == vocab
    assert model_tables(model) == ref.train(data, vocab_size)
    assert capfd.readouterr().err == ""


def test_empty_file_draws_zero_percent_and_empties_the_tables(pretrained, write_file, capfd):
    # A completed run replaces all three tables, also with empty ones.
    assert pretrained.train_fromfile(write_file(b""), 0) is None
    out, err = capfd.readouterr()
    assert out == "\rPre-Tokenizing  | [>" + " " * 49 + "]   0% (0/0 MB) Tokens: 0\n\n"
    assert err == ""
    assert model_tables(pretrained) == ([], {}, {})


def test_file_larger_than_a_read_chunk(write_file, capfd):
    # The file is read 4 MiB at a time: words and characters cross the chunk edges.
    rng = random.Random(7)
    words = ["".join(rng.choice("abcé€😀") for _ in range(rng.randint(1, 9))) for _ in range(300)]
    parts, size = [], 0
    while size < 4 * MIB + 300_000:
        parts.append(rng.choice(words) + rng.choice([" ", "\n", "\r\n", "\t", "\x00"]))
        size += len(parts[-1].encode("utf-8"))
    data = "".join(parts).encode("utf-8")
    assert data[4 * MIB] & 0xC0 == 0x80  # the first chunk edge cuts a character
    model = trained(200, write_file(data))
    assert model_tables(model) == ref.train(data, 200, weighted=True)
    out, err = capfd.readouterr()
    assert err == ""
    assert out.count("\rPre-Tokenizing") == 5  # after each of four mebibytes, and at the end


def test_exact_console_output_of_a_tiny_corpus(write_file, capfd):
    model = trained(6, write_file("ab ab"))
    out, err = capfd.readouterr()
    assert out == (
        "\rPre-Tokenizing  | [" + "=" * 50 + "] 100% (0/0 MB) Tokens: 6\n"
        "\rBPE Trainer | [" + "=" * 33 + " " * 17 + "]  66% (4/6)"
        "\rBPE Trainer | [" + "=" * 41 + " " * 9 + "]  83% (5/6)\n"
    )
    assert err == ""
    assert model.vocab == ["a", "b", "\u0120", "ab", "\u0120ab"]


def test_target_equal_to_the_alphabet_draws_no_trainer_bar(write_file, capfd):
    model = trained(3, write_file("ab ab"))
    assert capfd.readouterr().out == reading_bar(5, 5, 6) + "\n\n"
    assert model_tables(model) == (["a", "b", "\u0120"], {}, {"a": 0, "b": 1, "\u0120": 2})


def test_progress_past_one_mebibyte(write_file, capfd):
    data = b"ab " * (MIB // 3 + 10)
    model = trained(5, write_file(data))
    out, _ = capfd.readouterr()
    # The first report comes after the character that completes the first mebibyte.
    assert out.startswith(
        reading_bar(MIB, len(data), MIB // 3 * 4 + 1)
        + reading_bar(len(data), len(data), len(data) // 3 * 4)
        + "\n"
    )
    assert model_tables(model) == ref.train(data, 5, weighted=True)


# ------------------------------------------------------------------------------------------------
# vocab_size


@pytest.mark.parametrize(
    "vocab_size, message",
    [
        (2, too_small(2)),
        (0, too_small(0)),
        (65536, TOO_LARGE),
        (2**31 - 1, TOO_LARGE),
        (-1, TOO_LARGE),
        (-(2**31), TOO_LARGE),
    ],
)
def test_refused_vocab_size_keeps_the_model(vocab_size, message, pretrained, write_file, capfd):
    before = tables(pretrained)
    pretrained.vocab_size = vocab_size
    path = write_file("abc cab")
    assert pretrained.train_fromfile(path, 0) is None
    out, err = capfd.readouterr()
    assert err == message
    assert out == reading_bar(7, 7, units_of(b"abc cab")) + "\n"  # read, then refused
    assert tables(pretrained)[1:] == before[1:]


def test_largest_vocab_size_is_accepted(write_file, capfd):
    data = b"abcab cabab abc\nbca"
    model = trained(65535, write_file(data))
    assert model_tables(model) == ref.train(data, 65535)
    out, err = capfd.readouterr()
    assert err == ""
    assert out.endswith("/65535)\n")


def test_reference_refuses_alike():
    with pytest.raises(ref.Refused, match="inital symbols"):
        ref.train(b"abc", 2)
    with pytest.raises(ref.Refused, match="ui16"):
        ref.train(b"abc", -1)


# ------------------------------------------------------------------------------------------------
# Failures: an exception, and the model as it was


def test_surrogate_range_symbol_raises_invalid_code_point(pretrained, write_file, capfd):
    before = tables(pretrained)
    data = "ab \U0001D800".encode()
    with pytest.raises(RuntimeError, match="^Invalid code point$"):
        pretrained.train_fromfile(write_file(data), 0)
    assert tables(pretrained) == before
    # The reader accepted the file; the trainer failed before drawing anything.
    assert capfd.readouterr().out == reading_bar(len(data), len(data), 5) + "\n"


@pytest.mark.parametrize(
    "data, message",
    [
        (b"ab \xff cd", "Invalid UTF-8"),
        (b"ab \x80", "Invalid UTF-8"),
        (b"\xc0\x80", "Invalid UTF-8"),
        (b"ab\xe2\x82A", "Invalid UTF-8"),
        (b"ab \xed\xa0\x80", "Invalid code point"),
        (b"\xf4\x90\x80\x80", "Invalid code point"),
        (b"ab cd\xe2\x82", "Not enough space"),
    ],
)
def test_malformed_utf8_raises_and_keeps_the_model(data, message, pretrained, write_file, capfd):
    before = tables(pretrained)
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        pretrained.train_fromfile(write_file(data), 0)
    assert tables(pretrained) == before
    assert capfd.readouterr() == ("", "")  # under a mebibyte no bar, and no line end


def test_malformed_after_a_mebibyte_leaves_the_bar_without_line_end(pretrained, write_file, capfd):
    before = tables(pretrained)
    data = b"a" * (MIB + 5) + b"\xff"
    with pytest.raises(RuntimeError, match="^Invalid UTF-8$"):
        pretrained.train_fromfile(write_file(data), 0)
    assert tables(pretrained) == before
    assert capfd.readouterr().out == reading_bar(MIB, len(data), MIB)


def test_short_read_raises(pretrained, capfd):
    # Kernel attribute files report a page of size and deliver a few bytes.
    path = "/sys/kernel/mm/transparent_hugepage/enabled"
    try:
        with open(path, "rb") as f:
            claimed = f.seek(0, os.SEEK_END)
            f.seek(0)
            delivered = len(f.read())
    except OSError:
        pytest.skip(f"{path} is not readable here")
    if claimed <= delivered:
        pytest.skip(f"{path} delivers its full size")
    before = tables(pretrained)
    with pytest.raises(RuntimeError):
        pretrained.train_fromfile(path, 0)
    assert tables(pretrained) == before


# ------------------------------------------------------------------------------------------------
# Refused paths: a message on standard error, None, and the model as it was


@pytest.mark.parametrize(
    "make_path, message",
    [
        (lambda d: str(d / "absent.txt"), MISSING),
        (lambda d: "", MISSING),
        (lambda d: str(d), NOT_REGULAR),
        (lambda d: "/dev/null", NOT_REGULAR),
        # A NUL would cut the path to an existing file: the whole path names no file.
        (lambda d: (d / "real.txt").write_text("a b") and str(d / "real.txt") + "\0more",
         MISSING),
    ],
    ids=["missing", "empty-path", "directory", "device", "nul-in-path"],
)
def test_refused_path(make_path, message, pretrained, tmp_path, capfd):
    before = tables(pretrained)
    assert pretrained.train_fromfile(make_path(tmp_path), 0) is None
    assert capfd.readouterr() == ("", message)
    assert tables(pretrained) == before


def test_missing_path_leaves_an_untrained_model_untrained(tmp_path, capfd):
    model = lorvane_api.BPE(10)
    assert model.train_fromfile(str(tmp_path / "absent.txt"), 0) is None
    assert model.encode("ab") == []
    assert capfd.readouterr().err == (
        MISSING + ENCODE_UNTRAINED
    )


UNREADABLE_CHILD = textwrap.dedent(
    """
    import os, sys
    import lorvane_api
    model = lorvane_api.BPE(10)
    os.setgroups([])
    os.setresgid(65534, 65534, 65534)
    os.setresuid(65534, 65534, 65534)
    result = model.train_fromfile(sys.argv[1], 0)
    print(repr(result), len(model.vocab), file=sys.stderr)
    """
)


def test_unreadable_file(capfd):
    # Root opens any file, so the check runs in a child that gives up root after loading the
    # module (the interpreter itself lies under a directory that other users cannot enter).
    if os.geteuid() != 0:
        pytest.skip("needs root to switch to the unprivileged user")
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        path = pathlib.Path(tmp) / "locked.txt"
        path.write_text("ab ab")
        path.chmod(0o000)
        child = subprocess.run(
            [sys.executable, "-c", UNREADABLE_CHILD, str(path)],
            capture_output=True,
            text=True,
            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
            timeout=60,
        )
    assert child.stdout == ""
    assert child.stderr == CANT_READ + "None 0\n"


# ------------------------------------------------------------------------------------------------
# Retraining and arguments


def test_retraining_replaces_every_table(write_file, capfd):
    first = b"the cat sat on the mat with the hat that the rat ate " * 3
    second = b"xyz zyx xy yx zz"
    model = trained(40, write_file(first, name="first.txt"))
    assert len(model.merge_rank) > 5
    model.vocab_size = 9
    model.train_fromfile(write_file(second, name="second.txt"), 0)
    assert model_tables(model) == ref.train(second, 9)
    # Encoding uses only the new ranks: every id's text is known and the texts spell the input.
    text = "xyz zyx yx"
    ids = model.encode(text)
    assert "".join(model.vocab[i] for i in ids) == text.replace(" ", "\u0120")
    assert capfd.readouterr().err == ""


def test_buffer_size_has_no_effect(write_file, capfd):
    path = write_file("ab ab aab\r\nbba ab")
    results = []
    for buffer_size in (0, 1, 4096, 2**64 - 1):
        model = lorvane_api.BPE(9)
        model.train_fromfile(path, buffer_size)
        results.append((model_tables(model), capfd.readouterr()))
    assert all(r == results[0] for r in results)
    assert results[0][0] == ref.train(pathlib.Path(path).read_bytes(), 9)


def test_arguments(write_file, capfd):
    path = write_file("ab ab")
    model = lorvane_api.BPE(4)
    with pytest.raises(TypeError):
        model.train_fromfile(path, -1)
    with pytest.raises(TypeError):
        model.train_fromfile(path.encode(), 0)
    assert model.vocab == []
    assert model.train_fromfile(filepath=path, buffer_size=0) is None
    assert model.vocab == ["a", "b", "\u0120", "ab"]
