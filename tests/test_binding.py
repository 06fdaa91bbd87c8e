"""The Python surface of `lorvane_api`: names and order, keyword arguments, value conversions and
refusals, attribute semantics (copy on read, replace whole on assignment) and object behaviour."""

import collections
import copy
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

import lorvane_api
from lorvane_api import BPE
from conftest import tables

from console_text import ENCODE_UNTRAINED, MISSING
METHODS = ["__init__", "train_fromfile", "encode", "decode"]
ATTRIBUTES = ["vocab_size", "vocab", "merge_rank", "token_to_id"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ItemsOnly:
    """Not a dict, not registered as a Mapping: just an items() method."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return list(self.pairs)


class Seq(collections.abc.Sequence):
    def __init__(self, *items):
        self.items_ = items

    def __len__(self):
        return len(self.items_)

    def __getitem__(self, i):
        return self.items_[i]


def refused(capfd, model, action):
    """`action` must raise TypeError, write nothing and leave the four members as they were."""
    capfd.readouterr()
    before = tables(model)
    with pytest.raises(TypeError):
        action()
    assert tables(model) == before
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------------------------------------
# Module and class


def test_module():
    assert lorvane_api.__doc__ == "Lorvane BPE tokenizer API"
    assert [n for n in vars(lorvane_api) if not n.startswith("_")] == ["BPE"]
    assert BPE.__name__ == "BPE" and BPE.__module__ == "lorvane_api"
    assert BPE.__doc__ is None


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=60)


# Subinterpreters of either configuration, before and after the main interpreter imports it. At
# exit, an object that a daemon thread still holds is not reported as leaked.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer build keeps nanobind's report of objects alive at exit")
def test_subinterpreters_refused_and_no_leak_report():
    result = run_python(
        """
        import _interpreters, threading, time
        for main_first in [False, True]:
            if main_first:
                import lorvane_api
            for config in ["legacy", "isolated"]:
                interpreter = _interpreters.create(config)
                print(_interpreters.exec(interpreter, "import lorvane_api").formatted)
                _interpreters.destroy(interpreter)
        threading.Thread(target=lambda model: time.sleep(60), args=(lorvane_api.BPE(3),), daemon=True).start()
        """
    )
    refusal = "ImportError: module lorvane_api does not support loading in subinterpreters\n"
    assert (result.stdout, result.stderr) == (refusal * 4, "")


def test_members_in_binding_order():
    names = [n for n in vars(BPE) if n in METHODS or not n.startswith("_")]
    assert names == METHODS + ATTRIBUTES


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_attributes_are_read_write_properties_without_deleter(name):
    prop = vars(BPE)[name]
    assert isinstance(prop, property)
    assert prop.fget is not None and prop.fset is not None and prop.fdel is None


# ---------------------------------------------------------------------------------------------
# Construction and the signed 32-bit vocab_size


def test_new_model_is_empty():
    model = BPE(1000)
    assert tables(model) == (1000, [], {}, {})
    assert type(model.vocab) is list and type(model.merge_rank) is dict
    assert type(model.token_to_id) is dict and type(model.vocab_size) is int


INT32_ACCEPTED = [
    (1000, 1000),
    (0, 0),
    (-1, -1),
    (-5, -5),
    (70000, 70000),  # stored; only training judges it
    (2**31 - 1, 2**31 - 1),
    (-(2**31), -(2**31)),
    ("1000", 1000),
    (" -42 ", -42),
    (b"12", 12),
    (True, 1),
    (False, 0),
    (Index(7), 7),
    (IntLike(9), 9),
]
INT32_REFUSED = [1000.0, 0.0, FloatSub(3), 2**31, -(2**31) - 1, 2**64, "abc", "10.0", "", None, [1], 1j]


@pytest.mark.parametrize("value, stored", INT32_ACCEPTED)
def test_vocab_size_accepted(value, stored):
    assert BPE(value).vocab_size == stored
    assert BPE(vocab_size=value).vocab_size == stored
    model = BPE(3)
    model.vocab_size = value
    assert model.vocab_size == stored


@pytest.mark.parametrize("value", INT32_REFUSED)
def test_vocab_size_refused(capfd, tiny_model, value):
    with pytest.raises(TypeError):
        BPE(value)
    refused(capfd, tiny_model, lambda: setattr(tiny_model, "vocab_size", value))


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2), {}), ((), {"size": 1}), ((1,), {"vocab_size": 1}), ((), {"vocab_size": 1, "x": 2})],
)
def test_constructor_call_shape_refused(args, kwargs):
    with pytest.raises(TypeError):
        BPE(*args, **kwargs)


# ---------------------------------------------------------------------------------------------
# Methods: keywords, call shapes, text and buffer_size conversions


def test_every_parameter_is_a_keyword(capfd, tiny_model):
    assert tiny_model.encode(text="ab") == [3]
    assert tiny_model.decode(ids=[3]) == "ab "
    assert tiny_model.train_fromfile(filepath="/nonexistent/corpus", buffer_size=0) is None
    assert tiny_model.train_fromfile("/nonexistent/corpus", buffer_size=0) is None
    assert capfd.readouterr().err == MISSING * 2


@pytest.mark.parametrize(
    "call",
    [
        lambda m: m.encode(),
        lambda m: m.encode("a", "b"),
        lambda m: m.encode(txt="a"),
        lambda m: m.encode(None),
        lambda m: m.decode(),
        lambda m: m.decode(None),
        lambda m: m.decode([0], [1]),
        lambda m: m.train_fromfile("/nonexistent/corpus"),
        lambda m: m.train_fromfile(buffer_size=0),
        lambda m: m.train_fromfile("/nonexistent/corpus", 0, 0),
        lambda m: m.train_fromfile(path="/nonexistent/corpus", buffer_size=0),
        lambda m: m.train_fromfile(None, 0),
        lambda m: m.train_fromfile("/nonexistent/corpus", None),
    ],
)
def test_method_call_shape_refused(capfd, tiny_model, call):
    refused(capfd, tiny_model, lambda: call(tiny_model))


@pytest.mark.parametrize("value", [0, 1, 2**64 - 1, "5", b"5", True, Index(3), IntLike(2**63)])
def test_buffer_size_accepted(capfd, tiny_model, value):
    before = tables(tiny_model)
    assert tiny_model.train_fromfile("/nonexistent/corpus", value) is None
    assert capfd.readouterr().err == MISSING
    assert tables(tiny_model) == before


@pytest.mark.parametrize("value", [-1, -(2**63), 2**64, 0.0, 1.5, "x", "-1", Index(-1), [0]])
def test_buffer_size_refused(capfd, tiny_model, value):
    refused(capfd, tiny_model, lambda: tiny_model.train_fromfile("/nonexistent/corpus", value))


@pytest.mark.parametrize("path", [b"/nonexistent/corpus", pathlib.Path("/nonexistent"), "/nonexistent/\udcff", 1])
def test_filepath_must_be_a_str(capfd, tiny_model, path):
    refused(capfd, tiny_model, lambda: tiny_model.train_fromfile(path, 0))


def test_str_subclass_is_a_text(capfd, tiny_model):
    assert tiny_model.encode(StrSub("ab ab")) == [3, 4]
    assert tiny_model.train_fromfile(StrSub("/nonexistent/corpus"), 0) is None
    assert capfd.readouterr().err == MISSING


# ---------------------------------------------------------------------------------------------
# vocab: a sequence of texts


@pytest.mark.parametrize(
    "value, stored",
    [
        (["x", "y"], ["x", "y"]),
        (("x", "y"), ["x", "y"]),
        ([], []),
        (collections.deque(["x", "\u0120"]), ["x", "\u0120"]),
        (collections.UserList(["q"]), ["q"]),
        (Seq("a", "", "\U0001F600"), ["a", "", "\U0001F600"]),
        (StrSub("abc"), ["a", "b", "c"]),  # a str subclass is read as a sequence of characters
        ([StrSub("ab")], ["ab"]),
        (["\x00", "x" * 1000], ["\x00", "x" * 1000]),
    ],
)
def test_vocab_accepted(tiny_model, value, stored):
    tiny_model.vocab = value
    assert tiny_model.vocab == stored


@pytest.mark.parametrize(
    "value",
    [
        "ab",
        b"ab",
        bytearray(b"ab"),
        {"a", "b"},
        {"a": 0},
        {"a": 0}.keys(),
        (t for t in ["a"]),
        iter(["a"]),
        None,
        ["a", b"b"],
        ["a", 1],
        ["a", None],
        ["a", "\ud800"],
        range(3),
    ],
)
def test_vocab_refused(capfd, tiny_model, value):
    refused(capfd, tiny_model, lambda: setattr(tiny_model, "vocab", value))


# ---------------------------------------------------------------------------------------------
# merge_rank and token_to_id: mappings with unsigned 32-bit integers

UINT32_ACCEPTED = [(0, 0), (2**32 - 1, 2**32 - 1), (65538, 65538), ("7", 7), (True, 1), (Index(5), 5), (b"3", 3)]
UINT32_REFUSED = [-1, 2**32, 2**64, 1.0, FloatSub(1), "x", "-1", None, Index(-1), (1,)]


@pytest.mark.parametrize("value, stored", UINT32_ACCEPTED)
def test_uint32_keys_and_values_accepted(tiny_model, value, stored):
    tiny_model.merge_rank = {value: 1}
    assert tiny_model.merge_rank == {stored: 1}
    tiny_model.merge_rank = {1: value}
    assert tiny_model.merge_rank == {1: stored}
    tiny_model.token_to_id = {"t": value}
    assert tiny_model.token_to_id == {"t": stored}


@pytest.mark.parametrize("value", UINT32_REFUSED)
@pytest.mark.parametrize(
    "name, make",
    [
        ("merge_rank", lambda v: {v: 0}),
        ("merge_rank", lambda v: {0: v}),
        ("merge_rank", lambda v: {0: 0, 1: 1, 2: v}),  # a late failure refuses the whole value
        ("token_to_id", lambda v: {"a": 0, "b": v}),
    ],
)
def test_uint32_refused(capfd, tiny_model, name, make, value):
    refused(capfd, tiny_model, lambda: setattr(tiny_model, name, make(value)))


@pytest.mark.parametrize("key", [b"a", 1, None, "\udc80", ("a",)])
def test_token_to_id_keys_must_be_texts(capfd, tiny_model, key):
    refused(capfd, tiny_model, lambda: setattr(tiny_model, "token_to_id", {"ok": 0, key: 1}))


@pytest.mark.parametrize(
    "value, stored",
    [
        ({1: 2}, {1: 2}),
        ({}, {}),
        (collections.OrderedDict([(5, 6), (7, 8)]), {5: 6, 7: 8}),
        (collections.Counter({1: 3}), {1: 3}),
        (types.MappingProxyType({9: 9}), {9: 9}),
        (ItemsOnly([(1, 2), (3, 4)]), {1: 2, 3: 4}),
        (ItemsOnly([(1, 2), (1, 3), ("1", 4)]), {1: 2}),  # a repeated key keeps its first value
    ],
)
def test_mappings_accepted(tiny_model, value, stored):
    tiny_model.merge_rank = value
    assert tiny_model.merge_rank == stored


@pytest.mark.parametrize("value", [[(1, 2)], {(1, 2)}, {1: 2}.items(), None, "12", 12])
@pytest.mark.parametrize("name", ["merge_rank", "token_to_id"])
def test_non_mappings_refused(capfd, tiny_model, name, value):
    refused(capfd, tiny_model, lambda: setattr(tiny_model, name, value))


def test_token_to_id_repeated_key_keeps_first(tiny_model):
    tiny_model.token_to_id = ItemsOnly([("a", 1), ("a", 2), ("b", 3)])
    assert tiny_model.token_to_id == {"a": 1, "b": 3}


# ---------------------------------------------------------------------------------------------
# Copy on read, replace whole on assignment


def test_reads_are_copies(tiny_model):
    before = tables(tiny_model)
    assert tiny_model.vocab is not tiny_model.vocab
    tiny_model.vocab.append("z")
    tiny_model.vocab[0] = "z"
    m = tiny_model.merge_rank
    m[65538] = 0
    tiny_model.token_to_id.clear()
    assert tables(tiny_model) == before
    tiny_model.merge_rank = m
    assert tiny_model.merge_rank == m


def test_assignment_copies_the_value(tiny_model):
    vocab, ranks, ids = ["a", "b"], {1: 0}, {"a": 0}
    tiny_model.vocab, tiny_model.merge_rank, tiny_model.token_to_id = vocab, ranks, ids
    vocab.append("c")
    ranks[2] = 1
    ids["b"] = 1
    assert tables(tiny_model)[1:] == (["a", "b"], {1: 0}, {"a": 0})


@pytest.mark.parametrize(
    "name, first, second",
    [
        ("vocab", ["a", "b", "c"], ("d",)),
        ("merge_rank", {1: 1, 2: 2}, {3: 3}),
        ("token_to_id", {"a": 0, "b": 1}, {"c": 2}),
    ],
)
def test_assignment_replaces_whole(tiny_model, name, first, second):
    setattr(tiny_model, name, first)
    setattr(tiny_model, name, second)
    assert getattr(tiny_model, name) == (list(second) if name == "vocab" else second)


# ---------------------------------------------------------------------------------------------
# Object behaviour


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_attributes_cannot_be_deleted(tiny_model, name):
    before = tables(tiny_model)
    with pytest.raises(AttributeError):
        delattr(tiny_model, name)
    assert tables(tiny_model) == before


@pytest.mark.parametrize("name", ["other", "Vocab", "__dict__", "vocabsize", "encode"])
def test_no_other_attribute_can_be_set(tiny_model, name):
    before = tables(tiny_model)
    with pytest.raises(AttributeError):
        setattr(tiny_model, name, 1)
    assert tables(tiny_model) == before
    assert tiny_model.encode("ab") == [3]


def test_no_dict_no_weakref():
    model = BPE(1)
    assert not hasattr(model, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(model)


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy])
def test_no_pickling_or_copying(tiny_model, action):
    with pytest.raises(TypeError):
        action(tiny_model)


def test_only_object_behaviour():
    a, b = BPE(1), BPE(1)
    assert a == a and a != b  # identity
    assert hash(a) == hash(a)
    assert repr(a).startswith("<lorvane_api.BPE object at 0x")


def test_subclass(capfd, tiny_model):
    class Sub(BPE):
        def __init__(self, n, tag):
            super().__init__(n)
            self.tag = tag

        def roundtrip(self, text):
            return self.decode(self.encode(text))

    sub = Sub(5, "t")
    assert isinstance(sub, BPE) and sub.tag == "t" and sub.vocab_size == 5
    assert sub.encode("ab") == []
    assert capfd.readouterr().err == ENCODE_UNTRAINED
    sub.vocab, sub.merge_rank, sub.token_to_id = tiny_model.vocab, tiny_model.merge_rank, tiny_model.token_to_id
    assert sub.roundtrip("ab ab") == "ab \u0120ab "
    refused(capfd, sub, lambda: setattr(sub, "vocab", "ab"))
    assert BPE.encode(sub, "ab") == [3]


# ---------------------------------------------------------------------------------------------
# Hostile values: refused with TypeError, never a crash. Run in a child interpreter so that a
# crash fails one test instead of ending the whole run.

HOSTILE_PRELUDE = """
import lorvane_api
model = lorvane_api.BPE(1)
model.vocab = ["a"]
class Items:
    def __init__(self, pairs):
        self.pairs = pairs
    def items(self):
        return self.pairs
class Shrinker:
    def __index__(self):
        ids.clear()
        return 0
"""


def run_child(body):
    code = HOSTILE_PRELUDE + textwrap.dedent(body) + textwrap.dedent("""
        try:
            action()
            print("accepted")
        except Exception as err:
            print(type(err).__name__)
        """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)


def setter(name, value):
    return f"action = lambda: setattr(model, {name!r}, {value})"


@pytest.mark.parametrize(
    "body, expected",
    [
        pytest.param(setter("merge_rank", "Items([(1, 2)])"), "accepted", id="pairs"),
        pytest.param(setter("merge_rank", "Items(iter([(1, 2)]))"), "accepted", id="iterator"),
        pytest.param(setter("merge_rank", "Items(None)"), "TypeError", id="items-None"),
        pytest.param(setter("token_to_id", "5"), "TypeError", id="int"),
    ]
    + [
        # Items that are not (key, value) tuples are refused, not read out of bounds.
        pytest.param(setter(name, f"Items({items})"), "TypeError", id=f"{name}-{items}")
        for name, items in [
            ("merge_rank", "[(1,)]"),
            ("merge_rank", "[()]"),
            ("merge_rank", "[[1, 2]]"),
            ("merge_rank", "[1]"),
            ("merge_rank", "'ab'"),
            ("merge_rank", "[None]"),
            ("merge_rank", "[(1, 2, 3)]"),
            ("token_to_id", "[('a',)]"),
            ("token_to_id", "[['a', 1]]"),
            ("token_to_id", "['ab']"),
            ("token_to_id", "[('a', 1, 2)]"),
        ]
    ]
    + [
        pytest.param(
            "ids = [Shrinker()] + [object() for _ in range(200000)]\naction = lambda: model.decode(ids)",
            "TypeError",
            id="shrunk-long",
        ),
    ],
)
def test_hostile_values_without_crash(body, expected):
    result = run_child(body)
    assert (result.returncode, result.stdout, result.stderr) == (0, expected + "\n", "")
