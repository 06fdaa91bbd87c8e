"""Checks of the benchmark harness: that the peers see our words, that our tables survive the
conversion for tokenizers and tiktoken, and that a child's figures are the child's.

    PYTHONPATH=build/dev .venv-bench/bin/python -m pytest bench/test_compare.py
"""

import json
import random

import pytest

import compare
from compare import MARKER

TEXTS = [
    "ab cd\tef\r\ngh  ij \u0120kl\n",
    " leading space and trailing tab\t",
    "\n\nempty lines\n\n\nbetween\n",
    "caf\u00e9 \u20ac5 na\u00efve\tx\u0120y",
    "no-whitespace-at-all",
    "   ",
]


@pytest.mark.parametrize("text", TEXTS)
def test_peer_pre_tokenizer_cuts_our_words(text):
    from tokenizers import Regex, normalizers

    normalizer = normalizers.Replace(Regex("[\t\n\r]"), " ")
    peer = compare.word_pre_tokenizer().pre_tokenize_str(normalizer.normalize_str(text))
    assert [w for w, _ in peer] == [w.replace(" ", MARKER) for w in compare.split_words(text)]


@pytest.mark.parametrize("text", TEXTS)
def test_split_words_keeps_every_character(text):
    words = compare.split_words(text)
    assert "".join(words) == compare.normalize_ws(text)
    assert all(w == " " or " " not in w[1:] for w in words)
    assert "".join(compare.line_pieces(text)) == compare.normalize_ws(text)


@pytest.mark.parametrize("block", [1, 2, 5, 64, 1 << 16])
def test_file_chunks_cut_only_before_whitespace(tmp_path, block):
    text = "".join(TEXTS) + "x" * 300 + "\u00e9\u20ac" * 50 + "\nend"
    path = tmp_path / "c.txt"
    path.write_bytes(text.encode("utf-8"))
    chunks = list(compare.iter_file_chunks(path, block))
    assert "".join(chunks) == text
    assert all(c[0] in "\t\n\r " for c in chunks[1:])
    words = [w for c in chunks for w in compare.split_words(c)]
    assert words == compare.split_words(text)


@pytest.mark.parametrize("nbytes", [1, 5, 6, 7, 30, 10_000])
def test_cut_prefix_ends_at_a_line_end(tmp_path, nbytes):
    data = b"abcde\nfg\n\nhij klm\nno"
    src, dst = tmp_path / "src.txt", tmp_path / "dst.txt"
    src.write_bytes(data)
    if nbytes >= len(data):
        assert compare.cut_prefix(src, dst, nbytes) == src
        return
    if b"\n" not in data[:nbytes]:
        with pytest.raises(ValueError):
            compare.cut_prefix(src, dst, nbytes)
        return
    out = compare.cut_prefix(src, dst, nbytes).read_bytes()
    assert data.startswith(out) and out.endswith(b"\n")
    assert b"\n" not in data[len(out):nbytes]


def _word_corpus(seed=7, words=4000):
    rng = random.Random(seed)
    stems = ["the", "token", "pair", "merge", "caf\u00e9", "na\u00efve", "\u20acuro", "aaa", "x"]
    out = []
    for _ in range(words):
        w = rng.choice(stems) + rng.choice(["", "s", "ed", "ing", "\u00e9"])
        out.append(w + rng.choice([" ", " ", " ", "\n", "\t", "  "]))
    return "".join(out)


@pytest.fixture
def ours_model(tmp_path):
    lorvane_api = pytest.importorskip("lorvane_api")
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(_word_corpus(), encoding="utf-8")
    bpe = lorvane_api.BPE(120)
    bpe.train_fromfile(str(corpus), 0)
    path = tmp_path / "ours.json"
    compare.save_ours(bpe, path)
    return path


def test_tokenizers_model_with_our_tables_encodes_like_us(tmp_path, ours_model):
    holdout = tmp_path / "holdout.txt"
    holdout.write_text(_word_corpus(seed=11) + " \u00df unseen\u0120word", encoding="utf-8")
    result = compare.child_crosscheck({"model": str(ours_model), "holdout": str(holdout)})
    assert result["merges"] > 50
    assert result["tokenizers_diff_distinct"] == 0
    assert result["whole_equals_per_word"]
    assert result["unknown_char_distinct"] >= 1


def test_merges_through_a_shadowed_duplicate_are_left_out():
    lorvane_api = pytest.importorskip("lorvane_api")
    # "abc" is made twice (ids 5 and 6); our encode only ever yields id 6, so the merge that
    # starts from id 5 can never fire and must not reach tokenizers as ("abc", "ab").
    vocab = ["a", "b", "c", "ab", "bc", "abc", "abc", "abcab"]
    merge_rank = {(0 << 16) | 1: 0, (1 << 16) | 2: 1, (3 << 16) | 2: 2, (0 << 16) | 4: 3,
                  (5 << 16) | 3: 4}
    _, merges = compare.tokenizers_tables(vocab, merge_rank)
    assert merges == [("a", "b"), ("b", "c"), ("ab", "c"), ("a", "bc")]
    bpe = lorvane_api.BPE(len(vocab))
    bpe.vocab, bpe.merge_rank = vocab, merge_rank
    bpe.token_to_id = {t: i for i, t in enumerate(vocab)}
    peer = compare.tokenizers_encoder(vocab, merge_rank, pre_tokenize=False)
    for word in ["abcab", "abc", "bcab", "cabca"]:
        assert peer.encode(word).ids == bpe.encode(word), word


def test_tiktoken_tables_make_known_characters_whole(ours_model):
    vocab, _ = compare.load_ours_tables(ours_model)
    ranks, rank_to_id = compare.tiktoken_tables(vocab)
    assert all(bytes([b]) in ranks for b in range(256))
    assert sorted(ranks.values()) == list(range(len(ranks)))
    enc, rank_to_id = compare.tiktoken_encoder(vocab)
    for word in compare.split_words(_word_corpus(seed=3, words=300)):
        ranks_out = enc.encode_ordinary(word)
        assert enc.decode_bytes(ranks_out) == word.encode("utf-8")
        ids = [rank_to_id[r] for r in ranks_out]
        assert -1 not in ids
        assert "".join(vocab[i] for i in ids) == word.replace(" ", MARKER)


def test_child_figures_are_the_childs(tmp_path):
    rec = compare.run_child({"kind": "alloc", "mib": 120}, tmp_path, "alloc", {}, None)
    assert rec["ok"], rec.get("error")
    assert rec["result"]["vm_hwm_kib"] >= 120 * 1024
    assert rec["maxrss_kib"] >= 120 * 1024
    assert rec["parent_vm_hwm_kib"] < 120 * 1024


def test_child_over_time_is_killed(tmp_path):
    rec = compare.run_child({"kind": "alloc", "mib": 1, "sleep": 60}, tmp_path, "slow", {}, None,
                            timeout=1)
    assert rec["timed_out"] and not rec["ok"]
    assert rec["proc_wall"] < 30


def _train_rec(trainer, size, vocab, wall, rss_mib, ok=True):
    rec = {"trainer": trainer, "size": size, "bytes": int(size * 1e6), "vocab": vocab, "ok": ok,
           "maxrss_kib": rss_mib * 1024, "load_before": 0.5}
    if ok:
        rec["result"] = {"wall": wall, "cpu": wall, "vm_hwm_kib": rss_mib * 1024,
                         "vocab_got": vocab}
    else:
        rec["error"] = "Traceback ...\nMemoryError"
    return rec


def _encode_rec(encoder, setup, seconds, size=1, vocab=8000):
    return {"encoder": encoder, "setup": setup, "size": size, "vocab": vocab, "model_size": 100,
            "ok": True, "load_before": 0.5,
            "result": {"times": [seconds * 2, seconds], "cpu_times": [seconds, seconds],
                       "bytes": 1_000_000, "tokens": 300_000}}


@pytest.fixture
def results():
    return {
        "meta": {"machine": {"summary": "2 cores", "cores": 2, "cores_usable": 2},
                 "command": "python bench/compare.py", "started": "t0", "finished": "t1",
                 "versions": {"lorvane": "abc", "lorvane_module": "m", "tokenizers": "x",
                              "sentencepiece": "y", "tiktoken": "z"},
                 "module": "m", "trainers": ["ours", "tokenizers", "sentencepiece"],
                 "corpora": {"100": {"bytes": 100_000_000}},
                 "encode_texts": {"1": {"path": "/t/text-1MB.txt", "bytes": 1_000_000}}},
        "train": [_train_rec("ours", 100, 32000, 20.0, 500),
                  _train_rec("tokenizers", 100, 32000, 50.0, 1000),
                  _train_rec("sentencepiece", 100, 32000, 0, 0, ok=False)],
        "quality": [
            {"trainer": t, "size": 100, "vocab": 32000, "ok": True,
             "result": {"tokens": n, "chars": 1_000_000}}
            for t, n in (("ours", 302_000), ("tokenizers", 300_000))],
        "encode": [_encode_rec("ours", "whole", 0.1), _encode_rec("tiktoken", "whole", 0.05),
                   _encode_rec("tokenizers-1t", "whole", 1.0),
                   _encode_rec("tokenizers-1t", "lines", 0.5)],
        "crosscheck": [{"size": 100, "vocab": 32000, "ok": False, "error": "boom"}],
        "baseline": [],
    }


def test_training_ratios_are_against_the_reference_of_the_same_run(results):
    rows = {r["trainer"]: r for r in compare.train_rows(results)}
    assert rows["ours"]["wall_ratio"] == pytest.approx(0.4)
    assert rows["ours"]["rss_ratio"] == pytest.approx(0.5)
    assert rows["ours"]["per_k_ratio"] == pytest.approx(302 / 300)
    assert not rows["sentencepiece"]["ok"]


def test_encoding_keeps_the_faster_peer_setup(results):
    rows = {r["encoder"]: r for r in compare.encode_rows(results)}
    assert rows["tokenizers-1t"]["setup"] == "lines"
    assert rows["tokenizers-1t"]["others"] == [("whole", pytest.approx(1.0))]
    assert rows["ours"]["ratio"] == pytest.approx(5.0)
    assert rows["tiktoken"]["mbps"] == pytest.approx(20.0)


def test_targets_are_judged(results):
    lines = "\n".join(compare.targets(results))
    assert "≤ 0.5 × tokenizers (default threads): 0.400 — met" in lines
    assert "Peak memory ≤ tokenizers: 0.500 — met" in lines
    assert "+0.67 % — NOT met" in lines
    assert "Encoding ≥ tokenizers-1t, 1 MB at 8,000: 5.00× (CPU time 5.00×) — met" in lines
    assert "Encoding ≥ tiktoken, 1 MB at 8,000: 0.50× (CPU time 0.50×) — NOT met" in lines


def test_report_and_plots_survive_failed_runs(tmp_path, results):
    out = tmp_path / "RESULTS.md"
    compare.write_plots(results, tmp_path)
    compare.write_report(results, out, tmp_path)
    text = out.read_text(encoding="utf-8")
    assert "failed: ['MemoryError']" in text
    assert "python bench/compare.py" in text
    assert (tmp_path / "train_time.png").stat().st_size > 0
    assert (tmp_path / "train_memory.png").stat().st_size > 0


def test_quick_run_end_to_end(tmp_path):
    pytest.importorskip("lorvane_api")
    corpora = tmp_path / "corpora"
    corpora.mkdir()
    (corpora / "en.txt").write_text(_word_corpus(words=20000), encoding="utf-8")
    (corpora / "holdout.txt").write_text(_word_corpus(seed=5, words=3000), encoding="utf-8")
    out, plots = tmp_path / "RESULTS.md", tmp_path / "results"
    assert compare.main(["compare.py", "--quick", "--vocab", "150", "--repeats", "1",
                         "--corpora", str(corpora), "--workdir", str(tmp_path / "work"),
                         "--out", str(out), "--plots", str(plots)]) == 0
    data = json.loads((plots / "results.json").read_text())
    assert all(r["ok"] for part in ("train", "quality", "encode", "crosscheck")
               for r in data[part]), "a child failed"
    assert len(data["train"]) == len(compare.TRAINERS)
    check = data["crosscheck"][0]["result"]
    assert check["tokenizers_diff_distinct"] == 0
    assert check["merge_list"]["first_difference"] is None
    assert "identical (" in out.read_text(encoding="utf-8")
