"""The runs of one benchmark: corpora prepared, then training, speed of light, compression,
encoding, decoding, the cross-check and the encoding of a dataset, each measured in a fresh
process; results kept in one JSON document that the report reads."""

from __future__ import annotations

import datetime
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import corpora
import make_scale_corpus
from child import run_child, run_process
from peers import MB, REFERENCE, TRAINERS, QUALITY_LIBS

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SHORT_LINES = 100_000
SHORT_MIN, SHORT_MAX = 20, 200
CHEAP_BYTES = 10 * MB  # training runs up to this corpus size are repeated, the median kept
GB = 1000 * MB
SCALE_PEER_BYTES = GB  # with --scale-peers, peers train the scale corpus up to this size
PARTS = ("train", "sol", "bound", "quality", "encode", "decode", "crosscheck", "baseline",
         "dataset", "scale", "scale_bound")
# The parts that each value of --only runs; the records of the others are kept from the results
# already there. "dataset" and "scale" have their own run descriptions, "dataset_meta" and
# "scale_meta", beside "meta".
RUNS = {"train": ("train", "sol", "bound", "quality", "crosscheck", "baseline"),
        "encode": ("encode", "decode"), "dataset": ("dataset",),
        "scale": ("scale", "scale_bound")}

_ABS_PATH = re.compile(r"(?<![\w.~])/(?:[\w.+@-]+/)+([\w.+@-]+)")


def scrub(value, root: Path):
    """The value with paths of this machine made relative to the checkout or cut to their
    file name, so that a results file says nothing about where it was made."""
    if isinstance(value, str):
        value = value.replace(str(root) + "/", "")
        return _ABS_PATH.sub(r"\1", value)
    if isinstance(value, list):
        return [scrub(v, root) for v in value]
    if isinstance(value, dict):
        return {k: scrub(v, root) for k, v in value.items()}
    return value


def machine_info() -> dict:
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    mem_kib = 0
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            mem_kib = int(line.split()[1])
    cores = os.cpu_count()
    return {
        "cpu": model,
        "cores": cores,
        "cores_usable": len(os.sched_getaffinity(0)),
        "mem_gib": round(mem_kib / (1 << 20), 1),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "summary": f"{cores} cores ({model}), {mem_kib / (1 << 20):.1f} GiB RAM, Linux "
        f"{platform.release()}, Python {platform.python_version()}",
    }


def versions() -> dict:
    from importlib import metadata

    found = {}
    for lib in ("tokenizers", "sentencepiece", "tiktoken", "rustbpe", "bpeasy", "tokendagger",
                "youtokentome", "matplotlib"):
        try:
            found[lib] = metadata.version(lib)
        except metadata.PackageNotFoundError:
            found[lib] = "missing"
    try:
        head = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(ROOT), "status", "--porcelain", "src"],
                               capture_output=True, text=True).stdout.strip()
        found["lorvane"] = f"{head}{' + uncommitted src changes' if dirty else ''}"
    except OSError:
        found["lorvane"] = "unknown"
    return found


def find_module_path(option):
    """Folder of lorvane_api: the option, else the module this interpreter finds, else the
    one installed in the project's .venv."""
    if option:
        return Path(option).resolve()
    import importlib.util

    spec = importlib.util.find_spec("lorvane_api")
    if spec and spec.origin:
        return Path(spec.origin).resolve().parent
    venv_python = ROOT / ".venv" / "bin" / "python"
    if venv_python.exists():
        out = subprocess.run([str(venv_python), "-c", "import lorvane_api, os; "
                              "print(os.path.dirname(lorvane_api.__file__))"],
                             capture_output=True, text=True)
        if out.returncode == 0:
            return Path(out.stdout.strip())
    sys.exit("lorvane_api not found: run `bash scripts/dev.sh setup` or pass --module-path")


def size_tag(size: float) -> str:
    return f"{size:g}MB"


class Bench:
    def __init__(self, args, module_path):
        self.args = args
        self.module_path = module_path
        self.workdir = Path(args.workdir or tempfile.mkdtemp(prefix="lorvane-bench-"))
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.corpora = Path(args.corpora)
        self.json_path = Path(args.plots) / "results.json"
        self.data = self.kept_results()
        for run in args.parts:
            for part in RUNS[run]:
                self.data[part] = []

    def kept_results(self) -> dict:
        """With --only, the results already in results.json, so that rerunning one part leaves
        the others' records and run description as they were; otherwise nothing."""
        data = {}
        if self.args.only and self.json_path.exists():
            data = json.loads(self.json_path.read_text())
        for part in PARTS:  # after the kept ones, so that their order in the file stays
            data.setdefault(part, [])
        return data

    def log(self, msg):
        print(f"[{datetime.datetime.now():%H:%M:%S}] {msg}", flush=True)

    def save(self):
        self.json_path.parent.mkdir(parents=True, exist_ok=True)
        self.json_path.write_text(json.dumps(scrub(self.data, ROOT), indent=1))

    def child(self, task, name, env=None, timeout=None):
        return run_child(task, self.workdir, name, env or {}, self.module_path,
                         timeout or self.args.timeout)

    def snapshot_module(self):
        """Copies the extension and the `lorvane` package beside it (else the tree's) into the
        work directory, so that a rebuild of the tree during a long run cannot mix two versions
        in one report."""
        found = sorted(self.module_path.glob("lorvane_api*.so"))
        if not found:
            sys.exit(f"no lorvane_api*.so in {self.module_path}")
        target = self.workdir / "module"
        target.mkdir(exist_ok=True)
        copy = target / found[0].name
        shutil.copy2(found[0], copy)
        package = self.module_path / "lorvane"
        shutil.copytree(package if package.is_dir() else ROOT / "src" / "python" / "lorvane",
                        target / "lorvane", dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
        digest = hashlib.sha256(copy.read_bytes()).hexdigest()[:12]
        built = datetime.datetime.fromtimestamp(found[0].stat().st_mtime)
        self.module_path = target
        return f"{found[0].name} (built {built:%Y-%m-%d %H:%M}, sha256 {digest})"

    def prepare(self):
        a = self.args
        needed = ("en.txt", "holdout.txt") + (("multi.txt",) if "cjk" in a.kinds else ()) \
            + (("dataset.txt",) if "dataset" in a.parts else ())
        for name in needed:
            if not (self.corpora / name).exists():
                sys.exit(f"{name} missing in --corpora: make them with "
                         "`python bench/corpora.py DIR` first")
        cdir = self.workdir / "corpora"
        cdir.mkdir(exist_ok=True)
        self.cdir = cdir
        self.holdout = self.corpora / "holdout.txt"
        self.train_corpora = {}  # (kind, size) -> path; size None for one-file kinds
        self.sources = {}
        largest = int(max(a.sizes + a.encode_sizes) * MB)
        for kind in a.kinds:
            src = corpora.kind_source(kind, self.corpora, cdir, largest)
            self.sources[kind] = src
            if kind in ("longrun", "shortrun"):
                self.train_corpora[(kind, None)] = src
                continue
            seen = set()
            for size in a.sizes:
                path = corpora.cut_prefix(src, cdir / f"{kind}-{size_tag(size)}.txt",
                                          int(size * MB))
                if path not in seen:  # a kind smaller than a size gives its whole file once
                    seen.add(path)
                    self.train_corpora[(kind, size)] = path
        self.encode_texts = {}  # (kind, size) -> path
        for kind in (k for k in a.kinds if k in corpora.ENCODE_KINDS):
            for size in a.encode_sizes:
                source = self.sources[kind]
                if kind == "en" and size * MB < self.holdout.stat().st_size:
                    source = self.holdout
                self.encode_texts[(kind, size)] = corpora.cut_prefix(
                    source, cdir / f"text-{kind}-{size_tag(size)}.txt", int(size * MB))
        self.short_text = self.make_short_text(cdir / "short-lines.txt")
        self.dataset_text = self.corpora / "dataset.txt"
        if a.quick and "dataset" in a.parts:  # a smoke run encodes a prefix as large as its texts
            self.dataset_text = corpora.cut_prefix(self.dataset_text, cdir / "dataset-quick.txt",
                                                   int(max(a.encode_sizes) * MB))
        for path in {*self.train_corpora.values(), *self.encode_texts.values(), self.holdout}:
            corpora.warm(path)

    def make_short_text(self, dst: Path) -> Path:
        """The first SHORT_LINES lines of 20 to 200 characters of the held-out text (cycled
        when it has fewer), one per line."""
        lines = [ln for ln in self.holdout.read_text(encoding="utf-8").split("\n")
                 if SHORT_MIN <= len(ln) <= SHORT_MAX]
        count = SHORT_LINES if not self.args.quick else SHORT_LINES // 10
        picked = [lines[i % len(lines)] for i in range(count)]
        dst.write_text("\n".join(picked) + "\n", encoding="utf-8")
        return dst

    def run(self):
        a = self.args
        meta = {
            "machine": machine_info(),
            "command": a.command,
            "started": datetime.datetime.now().isoformat(timespec="seconds"),
            "versions": versions(),
            "module": self.snapshot_module(),
            "kinds": a.kinds,
            "sizes": a.sizes,
            "vocabs": a.vocab,
            "trainers": a.trainers,
            "quick": a.quick,
        }
        if {"train", "encode"} & set(a.parts) or "meta" not in self.data:
            self.data["meta"] = meta
        if "dataset" in a.parts:
            self.data["dataset_meta"] = meta
        if "scale" in a.parts:
            self.data["scale_meta"] = dict(meta, scale_sizes=a.scale_sizes,
                                           scale_vocabs=a.scale_vocab,
                                           scale_peers=a.scale_peers)
        if set(a.parts) <= {"scale"}:  # needs none of the other corpora
            self.scale_all()
            meta["finished"] = datetime.datetime.now().isoformat(timespec="seconds")
            self.save()
            return
        self.prepare()
        meta["corpora"] = [
            {"kind": k, "size": s, "name": p.name, "bytes": p.stat().st_size}
            for (k, s), p in self.train_corpora.items()]
        meta["encode_texts"] = [
            {"kind": k, "size": s, "name": p.name, "bytes": p.stat().st_size}
            for (k, s), p in self.encode_texts.items()]
        meta["short_text"] = {"name": self.short_text.name,
                              "bytes": self.short_text.stat().st_size}
        if "code" in self.sources:
            meta["code_corpus"] = corpora.code_info(self.sources["code"])
        self.save()
        models = {}
        if "train" in a.parts:
            for lib in sorted({TRAINERS[t][0] for t in a.trainers} | {"tiktoken"}):
                rec = self.child({"kind": "baseline", "lib": lib}, f"baseline-{lib}")
                self.data["baseline"].append({"lib": lib, **rec})
            self.speed_of_light_all()
            self.work_bound_all()
            models = self.train_all()
            self.quality_all(models)
            self.crosscheck_all(models)
        if "encode" in a.parts:
            self.encode_all(models)
        if "dataset" in a.parts:
            self.dataset_all(models)
        if "scale" in a.parts:
            self.scale_all()
        meta["finished"] = datetime.datetime.now().isoformat(timespec="seconds")
        self.save()

    def repeats_for(self, nbytes: int) -> int:
        return self.args.runs if nbytes <= CHEAP_BYTES else 1

    def speed_of_light_all(self):
        if not self.args.sol:
            self.log("no speed-of-light program (--sol): its row is left out")
            return
        for (kind, size), corpus in self.train_corpora.items():
            walls, rec = [], None
            for i in range(self.repeats_for(corpus.stat().st_size)):
                name = f"sol-{kind}-{size_tag(size) if size else 'all'}-{i}"
                rec = run_process([self.args.sol, str(corpus)], self.workdir / "logs", name,
                                  dict(os.environ), self.args.timeout)
                if not rec["ok"]:
                    break
                out = (self.workdir / "logs" / rec["stdout"]).read_text().split()
                walls.append(float(out[0]))
                rec["distinct_words"], rec["words"] = int(out[1]), int(out[2])
            rec.update(kind=kind, size=size, bytes=corpus.stat().st_size, walls=walls,
                       wall=statistics.median(walls) if walls else None)
            self.data["sol"].append(rec)
            if walls:
                self.log(f"speed of light {kind} {corpus.name}: {rec['wall']:.3f} s, "
                         f"{rec['distinct_words']:,} distinct words")
        self.save()

    def work_bound_all(self):
        """The work bound of each corpus and vocabulary: the speed of light, then the pairs of
        the distinct words counted and one progress bar drawn per merge, timed in one program
        (its last line of output: seconds, distinct words, their code units, distinct pairs)."""
        if not self.args.bound:
            self.log("no work-bound program (--bound): its row is left out")
            return
        for (kind, size), corpus in self.train_corpora.items():
            for vocab in corpora.kind_vocabs(kind, self.args.vocab):
                walls, rec = [], None
                for i in range(self.repeats_for(corpus.stat().st_size)):
                    name = f"bound-{kind}-{size_tag(size) if size else 'all'}-{vocab}-{i}"
                    rec = run_process([self.args.bound, str(corpus), str(vocab)],
                                      self.workdir / "logs", name, dict(os.environ),
                                      self.args.timeout)
                    if not rec["ok"]:
                        break
                    lines = (self.workdir / "logs" / rec["stdout"]).read_text().splitlines()
                    out = lines[-1].split()
                    walls.append(float(out[0]))
                    rec.update(distinct_words=int(out[1]), distinct_units=int(out[2]),
                               pairs=int(out[3]))
                rec.update(kind=kind, size=size, vocab=vocab, bytes=corpus.stat().st_size,
                           walls=walls, wall=statistics.median(walls) if walls else None)
                self.data["bound"].append(rec)
                if walls:
                    self.log(f"work bound {kind} {corpus.name} vocabulary {vocab:,}: "
                             f"{rec['wall']:.3f} s, {rec['distinct_words']:,} distinct words, "
                             f"{rec['pairs']:,} pairs")
        self.save()

    def train_task(self, trainer, kind, corpus: Path, vocab, name, sp_dir: Path):
        """The child task and environment that train `trainer` on `corpus`; sentencepiece's
        copy of the corpus (tabs as spaces) is made in `sp_dir` on first use."""
        lib, threads = TRAINERS[trainer]
        model_dir = self.workdir / "models" / name
        model_dir.mkdir(parents=True, exist_ok=True)
        task = {"kind": "train", "trainer": trainer, "corpus": str(corpus), "vocab": vocab,
                "model_dir": str(model_dir), "long_lines": kind in ("longrun", "shortrun")}
        if lib == "sentencepiece":
            task["sp_corpus"] = str(corpora.spaces_for_tabs(corpus, sp_dir / f"sp-{corpus.name}"))
        env = {"RAYON_NUM_THREADS": str(threads)} if lib == "tokenizers" and threads else {}
        return task, env

    def train_all(self):
        models = {}
        for (kind, size), corpus in self.train_corpora.items():
            nbytes = corpus.stat().st_size
            for vocab in corpora.kind_vocabs(kind, self.args.vocab):
                for trainer in self.args.trainers:
                    name = f"train-{trainer}-{kind}-{size_tag(size) if size else 'all'}-{vocab}"
                    task, env = self.train_task(trainer, kind, corpus, vocab, name, self.cdir)
                    self.log(f"training {name}")
                    runs = []
                    timeout = self.args.run_timeout if kind in ("longrun", "shortrun") else None
                    for i in range(self.repeats_for(nbytes)):
                        rec = self.child(task, f"{name}-{i}", env, timeout)
                        runs.append(rec)
                        if not rec["ok"]:
                            break
                    walls = [r["result"]["wall"] for r in runs if r["ok"]]
                    rec = runs[-1] if not runs[-1]["ok"] else sorted(
                        runs, key=lambda r: r["result"]["wall"])[len(runs) // 2]
                    rec.update(trainer=trainer, kind=kind, size=size, bytes=nbytes,
                               vocab=vocab, walls=walls)
                    self.data["train"].append(rec)
                    self.save()
                    if rec["ok"]:
                        r = rec["result"]
                        self.log(f"  {r['wall']:.2f} s wall (median of {len(walls)}), "
                                 f"{r['cpu']:.2f} s CPU, {peak_kib(rec) / 1024:.0f} MiB peak")
                        if "model" in r:
                            models[(trainer, kind, size, vocab)] = r["model"]
                    else:
                        self.log(f"  FAILED: {rec['error'][-300:]}")
        return models

    def quality_all(self, models):
        for (trainer, kind, size, vocab), model in models.items():
            if kind != "en" or TRAINERS[trainer][0] not in QUALITY_LIBS:
                continue
            name = f"quality-{trainer}-{size_tag(size)}-{vocab}"
            self.log(name)
            rec = self.child({"kind": "quality", "trainer": trainer, "model": model,
                              "holdout": str(self.holdout)}, name)
            rec.update(trainer=trainer, kind=kind, size=size, vocab=vocab)
            self.data["quality"].append(rec)
            self.save()

    def crosscheck_all(self, models):
        for (trainer, kind, size, vocab), model in models.items():
            if trainer != "ours" or kind != "en":
                continue
            name = f"crosscheck-{size_tag(size)}-{vocab}"
            self.log(name)
            rec = self.child({"kind": "crosscheck", "model": model,
                              "peer_model": models.get((REFERENCE, kind, size, vocab)),
                              "holdout": str(self.holdout)}, name)
            rec.update(kind=kind, size=size, vocab=vocab)
            self.data["crosscheck"].append(rec)
            if rec["ok"]:
                r = rec["result"]
                self.log(f"  tokenizers differs on {r['tokenizers_diff_distinct']} of "
                         f"{r['distinct']} distinct words")
            self.save()

    def model_for(self, models, kind, vocab):
        """Our model of `kind` at `vocab` from the largest corpus trained in this run, else one
        trained now on the largest corpus of that kind."""
        have = [(s, m) for (t, k, s, v), m in models.items() if t == "ours" and k == kind
                and v == vocab]
        if have:
            return max(have, key=lambda sm: sm[0])
        size, corpus = max(((s, p) for (k, s), p in self.train_corpora.items() if k == kind),
                           key=lambda sp: sp[0])
        name = f"model-ours-{kind}-{size_tag(size)}-{vocab}"
        model_dir = self.workdir / "models" / name
        model_dir.mkdir(parents=True, exist_ok=True)
        self.log(f"training {name} for encoding")
        rec = self.child({"kind": "train", "trainer": "ours", "corpus": str(corpus),
                          "vocab": vocab, "model_dir": str(model_dir)}, name)
        return (size, rec["result"]["model"]) if rec["ok"] else (size, None)

    def encode_one(self, encoder, setup, env, kind, size, vocab, model, model_size, text):
        name = f"encode-{encoder}-{setup}-{kind}-{size_tag(size)}-{vocab}"
        self.log(name)
        rec = self.child({"kind": "encode", "encoder": encoder, "setup": setup, "model": model,
                          "text": str(text), "repeats": self.args.repeats}, name, env)
        rec.update(encoder=encoder, setup=setup, kind=kind, size=size, vocab=vocab,
                   model_size=model_size, bytes=text.stat().st_size)
        self.data["encode"].append(rec)
        self.save()

    def encode_all(self, models):
        one = {"RAYON_NUM_THREADS": "1", "TOKENIZERS_PARALLELISM": "false"}
        setups = [("ours", "whole", {}), ("tiktoken", "whole", {}), ("tiktoken", "batch", {}),
                  ("tokendagger", "whole", {}), ("tokenizers-1t", "whole", one),
                  ("tokenizers-1t", "lines", one)]
        short = [("ours", "calls", {}), ("tiktoken", "calls", {}), ("tokendagger", "calls", {}),
                 ("tokenizers-1t", "calls", one)]
        for vocab in self.args.vocab:
            for kind in (k for k in self.args.kinds if k in corpora.ENCODE_KINDS):
                model_size, model = self.model_for(models, kind, vocab)
                if not model:
                    continue
                texts = [(s, p) for (k, s), p in self.encode_texts.items() if k == kind]
                for size, text in texts:
                    for encoder, setup, env in setups:
                        self.encode_one(encoder, setup, env, kind, size, vocab, model,
                                        model_size, text)
                if kind == "en":
                    for encoder, setup, env in short:
                        self.encode_one(encoder, setup, env, "short", 0, vocab, model,
                                        model_size, self.short_text)
                    text = min(texts)[1]
                    for decoder in ("ours", "tiktoken"):
                        name = f"decode-{decoder}-{vocab}"
                        self.log(name)
                        rec = self.child({"kind": "decode", "decoder": decoder, "model": model,
                                          "text": str(text), "repeats": self.args.repeats}, name)
                        rec.update(decoder=decoder, vocab=vocab, text=text.name)
                        self.data["decode"].append(rec)
                        self.save()


    def dataset_all(self, models):
        """The dataset text (one document per line) with each vocabulary's English model: ours
        with `lorvane.encode_dataset` (file to files) and `lorvane.encode_batch` (over the
        lines) in one process and on every usable core, and `model.encode` of the whole text as
        one string; tiktoken with `encode_ordinary_batch` over the lines on its threads and
        `encode_ordinary` of the whole text."""
        text = self.dataset_text
        corpora.warm(text)
        cores = len(os.sched_getaffinity(0))
        setups = dict.fromkeys([("ours", "dataset", 1), ("ours", "dataset", cores),
                                ("ours", "batch", 1), ("ours", "batch", cores),
                                ("ours", "whole", None), ("tiktoken", "batch", None),
                                ("tiktoken", "whole", None)])
        self.data["dataset_meta"]["text"] = {"name": text.name, "bytes": text.stat().st_size}
        for vocab in self.args.vocab:
            model_size, model = self.model_for(models, "en", vocab)
            if not model:
                continue
            for encoder, setup, workers in setups:
                name = f"dataset-{encoder}-{setup}-{workers or 'own'}-{vocab}"
                out = self.workdir / "dataset" / name
                out.mkdir(parents=True, exist_ok=True)
                self.log(name)
                rec = self.child({"kind": "dataset", "encoder": encoder, "setup": setup,
                                  "workers": workers, "model": model, "text": str(text),
                                  "out": str(out), "repeats": self.args.repeats}, name)
                rec.update(encoder=encoder, setup=setup, workers=workers, vocab=vocab,
                           model_size=model_size, bytes=text.stat().st_size)
                self.data["dataset"].append(rec)
                self.save()
                shutil.rmtree(out, ignore_errors=True)  # 50 MB or more of ids per run

    def scale_all(self):
        """The scale rows: the scale corpus (bench/make_scale_corpus.py) written once at the
        largest size, each smaller size cut from it (the generator is prefix-stable), then per
        size and vocabulary the work bound once and our trainer once, each in a fresh process
        (with --scale-peers also the peers, up to SCALE_PEER_BYTES)."""
        a = self.args
        sdir = self.workdir / "scale"
        sdir.mkdir(parents=True, exist_ok=True)
        sizes = sorted(set(a.scale_sizes))
        big = sdir / f"scale-{sizes[-1]:g}GB.txt"
        self.log(f"scale corpus: {int(sizes[-1] * GB):,} bytes in {big.name}")
        # In a process of its own, so that this one, whose size every child's ru_maxrss starts
        # from, never holds the code.
        subprocess.run([sys.executable, str(HERE / "make_scale_corpus.py"), str(big),
                        "--bytes", str(int(sizes[-1] * GB))], check=True, stdout=subprocess.DEVNULL)
        info = make_scale_corpus.corpus_info(big)
        self.log(f"  {info['bytes']:,} bytes, {info['copies']} copies of "
                 f"{info['real_bytes']:,} bytes of distinct code, {info['seconds']:.0f} s")
        self.data["scale_meta"]["corpus"] = info
        self.save()
        for size in sizes:
            corpus = corpora.cut_prefix(big, sdir / f"scale-{size:g}GB.txt", int(size * GB))
            nbytes = corpus.stat().st_size
            tag = f"{size:g}GB"
            for vocab in a.scale_vocab:
                corpora.warm(corpus)
                if a.bound:
                    name = f"scale-bound-{tag}-{vocab}"
                    self.log(name)
                    rec = run_process([a.bound, str(corpus), str(vocab)], self.workdir / "logs",
                                      name, dict(os.environ), a.timeout)
                    if rec["ok"]:
                        out = (self.workdir / "logs" / rec["stdout"]).read_text().splitlines()
                        wall, words, units, pairs = out[-1].split()
                        rec.update(wall=float(wall), distinct_words=int(words),
                                   distinct_units=int(units), pairs=int(pairs))
                        self.log(f"  {rec['wall']:.1f} s, {rec['distinct_words']:,} distinct "
                                 f"words, {rec['distinct_units']:,} units")
                    rec.update(size=size, bytes=nbytes, vocab=vocab)
                    self.data["scale_bound"].append(rec)
                    self.save()
                trainers = ["ours"] + ([t for t in a.trainers if t != "ours"]
                                       if a.scale_peers and nbytes <= SCALE_PEER_BYTES else [])
                for trainer in trainers:
                    name = f"scale-{trainer}-{tag}-{vocab}"
                    task, env = self.train_task(trainer, "scale", corpus, vocab, name, sdir)
                    self.log(f"training {name}")
                    corpora.warm(corpus)
                    rec = self.child(task, name, env)
                    rec.update(trainer=trainer, size=size, bytes=nbytes, vocab=vocab)
                    self.data["scale"].append(rec)
                    self.save()
                    if rec["ok"]:
                        r = rec["result"]
                        self.log(f"  {r['wall']:.1f} s wall, {r['cpu']:.1f} s CPU, "
                                 f"{peak_kib(rec) / 1024:.0f} MiB peak")
                    else:
                        self.log(f"  FAILED: {rec['error'][-300:]}")
        self.data["scale_meta"]["finished"] = datetime.datetime.now().isoformat(
            timespec="seconds")
        self.save()


def peak_kib(rec) -> int:
    """The child's own peak resident memory when it reported it, else wait4's figure."""
    return rec.get("result", {}).get("vm_hwm_kib") or rec["maxrss_kib"]
