"""The lorvane package: model files, batch encoding against the plain loop, text helpers, export."""

import json
import pathlib
import random
from concurrent.futures import ThreadPoolExecutor

import pytest

import lorvane
import lorvane_api
from lorvane.batch import process_pool

WORDS = ["the", "river", "town", "woke", "early", "gulls", "argued", "over", "scraps", "mist"]


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    corpus = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    rng = random.Random(7)
    corpus.write_text("\n".join(" ".join(rng.choices(WORDS, k=12)) for _ in range(400)) + " ab\u00e9",
                      encoding="utf-8")
    trained = lorvane_api.BPE(120)
    trained.train_fromfile(str(corpus), 0)
    return trained


def random_texts(rng, count):
    """Texts with what the joined batches must get right: line feeds inside a text, characters
    above U+FFFF whose low 16 bits are a line feed or a space, characters no model knows, texts
    with no known character, and empty texts."""
    pieces = WORDS + ["a", " ", "  ", "\n", "\t", "\r\n", "\U0001000a", "\U00010020", "\u20ac", "x",
                      "\U0001F600", "\u0120", "é"]
    return [("".join(rng.choices(pieces, k=rng.randrange(0, 9)))) for _ in range(count)]


def test_model_file_round_trip_and_refusals(model, tmp_path, capfd):
    path = tmp_path / "model.json"
    lorvane.save(model, path)
    loaded = lorvane.load(path)
    assert lorvane.tables(loaded) == lorvane.tables(model)
    text = "the river woke over the town\U00010020mist"
    assert loaded.encode(text) == model.encode(text)
    state = json.loads(path.read_text(encoding="utf-8"))
    assert (state["format"], state["version"]) == ("lorvane-bpe", 1)
    assert [rank for _, rank in state["merge_rank"]] == list(range(len(model.merge_rank)))

    # The layout that the example scripts wrote before the format had a name loads too.
    legacy = dict(state, merge_rank={str(k): r for k, r in state["merge_rank"]})
    del legacy["format"], legacy["version"]
    path.write_text(json.dumps(legacy), encoding="utf-8")
    assert lorvane.tables(lorvane.load(path)) == lorvane.tables(model)

    refusals = {
        "ends early": json.dumps(state)[:200],
        "not JSON at line 1": "vocab = []",
        "format 'other'": json.dumps(dict(state, format="other")),
        "version 2 is newer": json.dumps(dict(state, version=2)),
        "no token_to_id": json.dumps({k: v for k, v in state.items() if k != "token_to_id"}),
        "merge_rank holds a key or rank": json.dumps(dict(state, merge_rank=[[-1, 0]])),
        "vocab is not a list of texts": json.dumps(dict(state, vocab=[1, 2])),
        "lone surrogate": json.dumps(dict(state, vocab=["\ud800"])),
    }
    for expected, content in refusals.items():
        path.write_text(content, encoding="utf-8")
        with pytest.raises(lorvane.ModelFileError, match=expected) as error:
            lorvane.load(path)
        assert str(path) in str(error.value)

    # A save that cannot be written names the path and leaves no temporary file behind.
    with pytest.raises(OSError, match="cannot write .*missing"):
        lorvane.save(model, tmp_path / "missing" / "model.json")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["model.json"]
    assert capfd.readouterr().err == ""


def with_line_feed(state):  # texts are then encoded one call each, not joined
    state["token_to_id"]["\n"] = state["token_to_id"]["a"]


def with_merge_ending_in_marker(state):  # joined, without a space before each break
    ids = state["token_to_id"]
    state["vocab"].append("a\u0120")
    ids["a\u0120"] = len(state["vocab"]) - 1
    state["merge_rank"][ids["a"] << 16 | ids["\u0120"]] = 1_000_000


def with_surrogate_ids(state):  # joined, the breaks found in the list of ids
    state["vocab"] += [f"<{i}>" for i in range(0xD800 - len(state["vocab"]) + 8)]


@pytest.mark.parametrize("change", [None, with_line_feed, with_merge_ending_in_marker,
                                    with_surrogate_ids])
def test_encode_batch_equals_the_loop(model, change, capfd):
    if change:
        state = lorvane.tables(model)
        change(state)
        model = lorvane.from_tables(state)
    rng = random.Random(11)
    texts = random_texts(rng, 3000)
    capfd.readouterr()
    expected = [model.encode(text) if text else [] for text in texts]
    capfd.readouterr()
    assert lorvane.encode_batch(model, texts, workers=1) == expected
    with ThreadPoolExecutor(3) as pool:  # the tasks, as a distributed executor runs them
        assert lorvane.encode_batch(model, iter(texts), executor=pool) == expected
    assert capfd.readouterr().err == ""  # no "[error] empty" for texts without a known character


def test_encode_batch_on_worker_processes_and_its_refusals(model):
    texts = random_texts(random.Random(3), 500)
    with process_pool(2) as pool:
        assert lorvane.encode_batch(model, texts, executor=pool) == [
            model.encode(text) if text else [] for text in texts]
    with pytest.raises(ValueError, match="no vocabulary"):
        lorvane.encode_batch(lorvane_api.BPE(10), ["a"])
    with pytest.raises(RuntimeError, match="text 2: index 1 .*U\\+1DF04 cannot be encoded"):
        lorvane.encode_batch(model, ["the", "", "t\U0001DF04he"], workers=1)


def test_find_unencodable_in_texts_and_across_file_blocks(tmp_path, monkeypatch):
    text = "ab\n\U0001DF04c\ud800\U0010DFFF\U0001E000"
    found = lorvane.find_unencodable(text)
    assert [(u.position, u.line, u.code_point) for u in found] == [
        (3, 2, 0x1DF04), (5, 2, 0xD800), (6, 2, 0x10DFFF)]
    monkeypatch.setattr(lorvane.text, "_READ_BYTES", 3)  # characters cut between blocks
    path = tmp_path / "corpus.txt"
    path.write_bytes(text.encode("utf-8", "surrogatepass"))
    in_file = lorvane.find_unencodable(path, limit=2)
    assert [(u.position, u.line, u.code_point) for u in in_file] == [
        (3, 2, 0x1DF04), (8, 2, 0xD800)]
    path.write_bytes(b"abc\n\xff")
    with pytest.raises(ValueError, match="invalid UTF-8 at byte 4"):
        lorvane.find_unencodable(path)


def test_train_from_texts_and_restore_text(tmp_path):
    texts = [" ".join(random.Random(i).choices(WORDS, k=8)) for i in range(200)]
    from_texts, from_file = lorvane_api.BPE(90), lorvane_api.BPE(90)
    lorvane.train_from_texts(from_texts, iter(texts), directory=tmp_path)
    (tmp_path / "corpus.txt").write_text("".join(t + "\n" for t in texts), encoding="utf-8")
    from_file.train_fromfile(str(tmp_path / "corpus.txt"), 0)
    assert lorvane.tables(from_texts) == lorvane.tables(from_file)
    assert list(tmp_path.iterdir()) == [tmp_path / "corpus.txt"]  # the temporary file is gone

    separator = len(from_texts.vocab)
    ids = from_texts.encode(texts[0]) + [separator] + from_texts.encode(texts[1]) + [65535]
    assert lorvane.restore_text(from_texts, ids) == f"{texts[0]}\n{texts[1]}\ufffd"
    with pytest.raises(ValueError, match="on line 3 of the texts"):
        lorvane.train_from_texts(from_texts, ["a", "b", "c\U0001DF04"], directory=tmp_path)


def test_exported_tokenizer_gives_our_ids_and_keeps_the_separator(model, tmp_path):
    Tokenizer = pytest.importorskip("tokenizers").Tokenizer
    lorvane.export_tokenizers(model, tmp_path / "tokenizer.json")
    tokenizer = Tokenizer.from_file(str(tmp_path / "tokenizer.json"))
    texts = random_texts(random.Random(5), 300) + [" the", "in\nto", "a  b\t\tc\r\n d"]
    texts = [t for t in texts if "\U0001000a" not in t and "\U00010020" not in t
             and "\U0001F600" not in t]  # characters above U+FFFF: the one known difference
    assert [e.ids for e in tokenizer.encode_batch(texts)] == [model.encode(t) for t in texts]
    separator = len(model.vocab)
    ids = model.encode("the river") + [separator] + model.encode("the town")
    assert tokenizer.decode(ids) == "the river<|endoftext|>the town"
