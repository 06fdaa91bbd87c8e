"""Decoding: token texts each followed by one space, U+FFFD for ids outside `vocab`, the untrained
diagnostic, and the conversions of the `ids` argument."""

import collections
import random

import pytest

import lorvane_api
from conftest import call_checked, tables

from console_text import DECODE_UNTRAINED as UNTRAINED
FFFD = "\ufffd"


def decode_checked(capfd, model, ids, expected_err=""):
    return call_checked(capfd, model, "decode", ids, expected_err)


@pytest.mark.parametrize(
    "ids, expected",
    [
        ([3, 4], "ab \u0120ab "),
        ([0, 9, 1], "a " + FFFD + "b "),
        ([], ""),
        ([2], "\u0120 "),  # the marker stays the marker
        ([4], "\u0120ab "),  # largest valid id
        ([5], FFFD),  # equal to len(vocab): out of range
        ([5, 65535], FFFD + FFFD),  # nothing between two replacements
        ([65535, 0, 65535], FFFD + "a " + FFFD),
        ([1, 1, 1], "b b b "),
    ],
)
def test_decode(capfd, tiny_model, ids, expected):
    assert decode_checked(capfd, tiny_model, ids) == expected


def test_decode_of_encode_keeps_the_marker(capfd, tiny_model):
    text = decode_checked(capfd, tiny_model, tiny_model.encode("ab ab"))
    assert text == "ab \u0120ab " and text != "ab ab"


@pytest.mark.parametrize(
    "token",
    ["", "\x00", "\t\n", "\u4e2d\u6587", "\U0001F600", "\uffff", "\u0120\u0120", "x" * 10000],
)
def test_any_token_text_comes_back_whole(capfd, token):
    model = lorvane_api.BPE(2)
    model.vocab = ["a", token]
    assert decode_checked(capfd, model, [1, 0, 1]) == token + " a " + token + " "


def test_decode_reads_only_vocab(capfd):
    model = lorvane_api.BPE(0)
    model.vocab = ["x", "y"]  # no token_to_id, no merge_rank
    assert decode_checked(capfd, model, [1, 0]) == "y x "


def test_large_vocab_boundary(capfd):
    model = lorvane_api.BPE(65535)
    model.vocab = [str(i) for i in range(65535)]  # ids 0..65534
    assert decode_checked(capfd, model, [65534, 0, 65535]) == "65534 0 " + FFFD


@pytest.mark.parametrize("ids", [[], [0], [0, 1, 2], [65535]])
def test_untrained(capfd, ids):
    assert decode_checked(capfd, lorvane_api.BPE(10), ids, UNTRAINED) == ""


def test_emptied_vocab_is_untrained(capfd, tiny_model):
    tiny_model.vocab = []
    assert decode_checked(capfd, tiny_model, [0, 1], UNTRAINED) == ""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "ids, expected",
    [
        ((3, 4), "ab \u0120ab "),
        (range(3), "a b \u0120 "),
        (collections.deque([1, 0]), "b a "),
        (["3", "0"], "ab a "),  # texts spelling whole numbers
        ([b"1"], "b "),
        (["65535"], FFFD),
        ([True, False], "b a "),
        ([Index(4)], "\u0120ab "),
        (bytearray(b"\x00\x01"), "a b "),
        (memoryview(b"\x03"), "ab "),
    ],
)
def test_accepted_ids(capfd, tiny_model, ids, expected):
    assert decode_checked(capfd, tiny_model, ids) == expected


@pytest.mark.parametrize(
    "ids",
    [
        [65536],
        [-1],
        [0, 2**64],
        [1.0],
        [0, 1, 2.5],
        ["x"],
        ["1.0"],
        [None],
        [[1]],
        "01",  # str is refused as a whole, not read character by character
        b"\x00\x01",
        {0, 1},
        {0: 1},
        (i for i in range(2)),
        None,
        5,
    ],
)
def test_refused_ids(capfd, tiny_model, ids):
    capfd.readouterr()
    before = tables(tiny_model)
    with pytest.raises(TypeError):
        tiny_model.decode(ids)
    assert capfd.readouterr().err == ""
    assert tables(tiny_model) == before


def test_refused_even_when_untrained(capfd):
    # The argument is converted before the model is asked: no diagnostic.
    with pytest.raises(TypeError):
        lorvane_api.BPE(1).decode([-1])
    assert capfd.readouterr().err == ""


def test_decode_keyword(tiny_model):
    assert tiny_model.decode(ids=[0]) == "a "
    with pytest.raises(TypeError):
        tiny_model.decode(tokens=[0])
    with pytest.raises(TypeError):
        tiny_model.decode()


class IntSub(int):  # int() of it gives another value
    def __int__(self):
        return 2

    __index__ = __int__


# Exact lists and tuples of exact ints are read directly; every other item, met anywhere in the
# sequence, must convert (or be refused) as the standard conversion does.
@pytest.mark.parametrize("form", [list, tuple])
@pytest.mark.parametrize(
    "ids, expected",
    [
        ([IntSub(0)], "\u0120 "),
        ([0] * 1000 + [IntSub(70000)], "a " * 1000 + "\u0120 "),
        ([1, True], "b b "),
        ([0, 65535], "a " + FFFD),
        ([0] * 1000 + [65536], TypeError),
        ([0, -1], TypeError),
        ([2**30], TypeError),  # the smallest int not stored in one digit
    ],
)
def test_plain_ids_read_as_converted(capfd, tiny_model, form, ids, expected):
    if expected is TypeError:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            tiny_model.decode(form(ids))
    else:
        assert decode_checked(capfd, tiny_model, form(ids)) == expected


@pytest.mark.parametrize("seed", range(3))
def test_texts_of_every_width_join_in_the_narrowest_str(capfd, seed):
    # Each result must equal the joined texts and be stored as narrowly as they allow (an ASCII
    # text must also be marked ASCII, which equality does not compare).
    rng = random.Random(seed)
    alphabet = ["a", "\x7f", "\xe9", "\xff", "\u0100", "\ufffd", "\uffff", "\U0001F600", "\U0010FFFF"]
    model = lorvane_api.BPE(0)
    model.vocab = ["".join(rng.choices(alphabet[: rng.randint(1, 9)], k=rng.randint(0, 3))) for _ in range(20)]
    for _ in range(200):
        ids = rng.choices(range(22), k=rng.randint(0, 5))
        text = decode_checked(capfd, model, ids)
        assert text == "".join(model.vocab[i] + " " if i < 20 else FFFD for i in ids)
        assert text.isascii() == all(i < 20 and model.vocab[i].isascii() for i in ids)
