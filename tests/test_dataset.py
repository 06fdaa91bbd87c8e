"""encode_dataset on threads, processes and a Dask cluster, its failures, and the command."""

import json
import os
import subprocess
import sys
from array import array
from concurrent.futures import ThreadPoolExecutor

import pytest

import lorvane
import lorvane_api

DOCUMENTS = ["the river town woke early", "", "\t\t", "gulls argued over the scraps",
             "a thin mist sat on the water", "  the market square was full  ", "\u20ac\u20ac",
             "the quay\U00010020at noon\U0001000a"] * 30


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    corpus = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    corpus.write_text("\n".join(DOCUMENTS) * 5, encoding="utf-8")
    trained = lorvane_api.BPE(200)
    trained.train_fromfile(str(corpus), 0)
    return trained


def write_inputs(folder, documents, form):
    """The documents in two files, as lines or as JSON Lines (with a line feed in one text)."""
    halves = [documents[:100], documents[100:]]
    paths = [folder / f"part{i}.{form}" for i in range(2)]
    for path, part in zip(paths, halves):
        lines = part if form == "lines" else [json.dumps({"text": d, "n": 1}) for d in part]
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return paths


def read_output(prefix):
    ids, index = array("H"), array("Q")
    ids.frombytes(prefix.with_name(prefix.name + ".bin").read_bytes())
    index.frombytes(prefix.with_name(prefix.name + ".idx").read_bytes())
    return list(ids), list(index)


def expected_output(model, documents, separator):
    ids, offsets = [], []
    for i, text in enumerate(documents):
        ids += [separator] * bool(i)
        offsets.append(len(ids))
        ids += model.encode(text.replace("\n", "")) if text.strip() else []
    return ids, offsets + [len(ids) + 1]


@pytest.mark.parametrize("form", ["lines", "jsonl"])
def test_threaded_executor_into_a_new_folder_leaves_fd_2_alone(model, tmp_path, form, capfd):
    documents = list(DOCUMENTS)
    if form == "jsonl":
        documents[3] = "one document\nover two lines"
    inputs = write_inputs(tmp_path, documents, form)
    expected = expected_output(model, documents, 7)
    before = os.fstat(2)
    capfd.readouterr()
    with ThreadPoolExecutor(4) as pool:
        summary = lorvane.encode_dataset(model, inputs, tmp_path / "new" / "folder" / "d",
                                         field="text" if form == "jsonl" else None, separator=7,
                                         executor=pool, chunk_bytes=300, progress=False)
    after = os.fstat(2)
    assert (before.st_dev, before.st_ino) == (after.st_dev, after.st_ino)
    assert capfd.readouterr().err == ""
    assert read_output(tmp_path / "new" / "folder" / "d") == expected
    assert (summary.documents, summary.ids) == (len(documents), len(expected[0]))


@pytest.mark.parametrize("content, message", [
    (b"the river\n\xff\n", "part1.lines: invalid UTF-8 at byte 10"),
    ("the river\nthe t\U0001DF04own\n".encode(), "part1.lines: byte 15: U\\+1DF04 cannot be"),
    (b'{"text": "a"}\n{"other": "b"}\n', "part1.jsonl: byte 14: no text under 'text'"),
])
def test_failures_name_file_and_offset_and_leave_no_file(model, tmp_path, content, message):
    field = "text" if content.startswith(b"{") else None
    inputs = write_inputs(tmp_path, DOCUMENTS, "jsonl" if field else "lines")
    inputs[1].write_bytes(content)
    out = tmp_path / "out"
    old = {"d.bin": b"old ids", "d.idx": b"old index"}
    out.mkdir()
    for name, data in old.items():
        (out / name).write_bytes(data)
    with pytest.raises(ValueError, match=message):
        lorvane.encode_dataset(model, inputs, out / "d", field=field, workers=1, progress=False)
    assert {p.name: p.read_bytes() for p in out.iterdir()} == old  # the old pair, untouched


def test_index_that_cannot_be_renamed_takes_the_new_ids_with_it(model, tmp_path, monkeypatch):
    inputs = write_inputs(tmp_path, DOCUMENTS, "lines")
    real_replace = os.replace

    def replace(source, target):
        if str(target).endswith(".idx"):
            raise PermissionError(13, "Permission denied")
        real_replace(source, target)

    monkeypatch.setattr(lorvane.dataset.os, "replace", replace)
    with pytest.raises(PermissionError, match="cannot write.*d.bin"):
        lorvane.encode_dataset(model, inputs, tmp_path / "out" / "d", workers=1, progress=False)
    assert list((tmp_path / "out").iterdir()) == []


def test_dask_cluster_of_threaded_workers_writes_the_same_bytes(model, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    inputs = write_inputs(tmp_path, DOCUMENTS * 20, "lines")
    lorvane.encode_dataset(model, inputs, tmp_path / "one" / "d", workers=1, progress=False)
    texts = (DOCUMENTS * 20)[:2000]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client, client.get_executor() as pool:
        lorvane.encode_dataset(model, inputs, tmp_path / "dask" / "d", executor=pool,
                               chunk_bytes=2000, progress=False)
        batch = lorvane.encode_batch(model, texts, executor=pool)
    for suffix in (".bin", ".idx"):
        assert (tmp_path / "dask" / f"d{suffix}").read_bytes() == \
            (tmp_path / "one" / f"d{suffix}").read_bytes()
    assert batch == lorvane.encode_batch(model, texts, workers=1)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="Ray's own programs do not run under a preloaded sanitizer runtime")
def test_ray_executor_writes_the_same_bytes(model, tmp_path):
    ray = pytest.importorskip("ray")
    from lorvane.executors import RayExecutor

    inputs = write_inputs(tmp_path, DOCUMENTS * 20, "lines")
    lorvane.encode_dataset(model, inputs, tmp_path / "one" / "d", workers=1, progress=False)
    try:
        with RayExecutor(num_cpus=2, include_dashboard=False, log_to_driver=False) as pool:
            lorvane.encode_dataset(model, inputs, tmp_path / "ray" / "d", executor=pool,
                                   chunk_bytes=2000, progress=False)
            batch = lorvane.encode_batch(model, DOCUMENTS, executor=pool)
    finally:
        ray.shutdown()
    for suffix in (".bin", ".idx"):
        assert (tmp_path / "ray" / f"d{suffix}").read_bytes() == \
            (tmp_path / "one" / f"d{suffix}").read_bytes()
    assert batch == lorvane.encode_batch(model, DOCUMENTS, workers=1)


def test_command_end_to_end(model, tmp_path):
    def run(*args):
        return subprocess.run([sys.executable, "-m", "lorvane", *map(str, args)], cwd=tmp_path,
                              capture_output=True, text=True, timeout=300)

    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(DOCUMENTS) * 5, encoding="utf-8")
    assert run("train", corpus, "--vocab-size", 200, "--output", "model.json").returncode == 0
    assert lorvane.tables(lorvane.load(tmp_path / "model.json")) == lorvane.tables(model)
    result = run("encode-dataset", "--model", "model.json", "--output", "data/d", "--workers", 2,
                 "--chunk-bytes", 500, corpus)
    assert result.returncode == 0, result.stderr
    separator = len(model.vocab)
    assert read_output(tmp_path / "data" / "d") == expected_output(
        model, corpus.read_text(encoding="utf-8").split("\n"), separator)
    assert run("export", "--model", "model.json", "tok.json").returncode == 0
    assert json.loads(run("info", "model.json").stdout)["tokens"] == len(model.vocab)

    corpus.write_text("fine\nthen \U0001DF04 here\n", encoding="utf-8")
    failures = [run("train", corpus, "--vocab-size", 200, "--output", "m2.json"),
                run("check", corpus),
                run("encode-dataset", "--model", "missing.json", "--output", "x", corpus)]
    assert [r.returncode for r in failures] == [1, 1, 1]
    assert failures[0].stderr.splitlines()[-1].startswith(
        f"lorvane: {corpus}: byte 10 (line 2): U+1DF04 cannot be encoded")
    assert "byte 10 (line 2)" in failures[1].stdout
    assert failures[2].stderr == "lorvane: missing.json: No such file or directory\n"
    assert not (tmp_path / "m2.json").exists() and not (tmp_path / "x.bin").exists()
