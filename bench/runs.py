"""The runs of one benchmark, each in a fresh process (a task of peers.py or a C++ program) whose
own time and peak memory wait4 gives, and the JSON document of their results the report reads."""

import datetime
import hashlib
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from importlib import metadata
from pathlib import Path

import corpora
from peers import MB, REFERENCE, TRAINERS, QUALITY_LIBS

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
SHORT_LINES, SHORT_MIN, SHORT_MAX = 100_000, 20, 200
CHEAP_BYTES = 10 * MB  # training runs up to this corpus size are repeated, the median kept
GB = 1000 * MB
SCALE_PEER_BYTES = GB  # with --scale-peers, peers train the scale corpus up to this size
# The parts each value of --only runs; the others' records are kept from results.json. The
# dataset and scale parts have their own run descriptions, "dataset_meta" and "scale_meta".
RUNS = {"train": ("train", "sol", "bound", "quality", "crosscheck", "baseline"),
        "encode": ("encode", "decode", "encode_bound"), "dataset": ("dataset",),
        "scale": ("scale", "scale_bound")}
PARTS = tuple(part for parts in RUNS.values() for part in parts)

_ABS_PATH = re.compile(r"(?<![\w.~])/(?:[\w.+@-]+/)+([\w.+@-]+)")


def scrub(value, root: Path):
    """The value with this machine's paths relative to the checkout or cut to the file name."""
    if isinstance(value, str):
        return _ABS_PATH.sub(r"\1", value.replace(str(root) + "/", ""))
    if isinstance(value, list):
        return [scrub(v, root) for v in value]
    if isinstance(value, dict):
        return {k: scrub(v, root) for k, v in value.items()}
    return value


def machine_info() -> dict:
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "unknown CPU")
    mem = next(int(line.split()[1]) for line in open("/proc/meminfo")
               if line.startswith("MemTotal:")) / (1 << 20)
    return {"cores": os.cpu_count(), "cores_usable": len(os.sched_getaffinity(0)),
            "summary": f"{os.cpu_count()} cores ({cpu}), {mem:.1f} GiB RAM, Linux "
                       f"{platform.release()}, Python {platform.python_version()}"}


def versions() -> dict:
    found = {}
    for lib in ("tokenizers", "sentencepiece", "tiktoken", "rustbpe", "bpeasy", "tokendagger",
                "youtokentome", "matplotlib"):
        try:
            found[lib] = metadata.version(lib)
        except metadata.PackageNotFoundError:
            found[lib] = "missing"

    def git(*args):
        return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True,
                              text=True).stdout.strip()

    dirty = " + uncommitted src changes" if git("status", "--porcelain", "src") else ""
    found["lorvane"] = git("rev-parse", "--short", "HEAD") + dirty
    return found


def find_module_path(option):
    """Folder of lorvane_api: the option, else the project's .venv."""
    found = [Path(option)] if option else [
        so.parent for so in ROOT.glob(".venv/lib/python3*/site-packages/lorvane_api*.so")]
    if not found:
        sys.exit("lorvane_api not found: run `bash scripts/dev.sh setup` or pass --module-path")
    return found[0].resolve()


def run_process(argv, logs: Path, name: str, env: dict, timeout=None) -> dict:
    """Runs `argv`, its output in logs/NAME.stdout and .stderr, killed past `timeout` seconds."""
    logs.mkdir(parents=True, exist_ok=True)
    out_log, err_log = logs / f"{name}.stdout", logs / f"{name}.stderr"
    load_before, timed_out = os.getloadavg()[0], False
    with open(out_log, "wb") as out, open(err_log, "wb") as err:
        t0 = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env)
        while not (reaped := os.wait4(proc.pid, os.WNOHANG))[0]:
            if timeout and time.perf_counter() - t0 > timeout:
                os.kill(proc.pid, signal.SIGKILL)
                reaped, timed_out = os.wait4(proc.pid, 0), True
                break
            time.sleep(0.02)
        wall = time.perf_counter() - t0
    _, status, usage = reaped
    returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
    record = {"ok": returncode == 0 and not timed_out, "returncode": returncode,
              "timed_out": timed_out, "proc_wall": wall,
              "proc_cpu": usage.ru_utime + usage.ru_stime, "maxrss_kib": usage.ru_maxrss,
              "load_before": load_before, "stdout": out_log.name, "stderr": err_log.name}
    if not record["ok"]:
        tail = err_log.read_bytes()[-2000:].decode("utf-8", "replace")
        record["error"] = "timed out" if timed_out else tail
    return record


def run_child(task: dict, workdir: Path, name: str, env_extra: dict, module_path, timeout=None):
    """Runs one task of peers.py in a fresh interpreter; its own result goes under "result"."""
    logs = workdir / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    task = dict(task, result=str(logs / f"{name}.result.json"))
    task_file = logs / f"{name}.task.json"
    task_file.write_text(json.dumps(task))
    Path(task["result"]).unlink(missing_ok=True)
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    if module_path:
        env["PYTHONPATH"] = str(module_path)
    record = run_process([sys.executable, str(HERE / "peers.py"), str(task_file)], logs, name,
                         env | env_extra, timeout)
    if record["ok"]:
        record["result"] = json.loads(Path(task["result"]).read_text())
    return record


def tag(size) -> str:
    return f"{size:g}MB" if size else "all"


def peak_kib(rec) -> int:
    """The child's own peak resident memory when it reported it, else wait4's figure."""
    return rec.get("result", {}).get("vm_hwm_kib") or rec["maxrss_kib"]


class Bench:
    def __init__(self, args, module_path):
        self.args, self.module_path = args, module_path
        self.workdir = Path(args.workdir or tempfile.mkdtemp(prefix="lorvane-bench-"))
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.logs = self.workdir / "logs"
        self.corpora = Path(args.corpora)
        self.json_path = Path(args.plots) / "results.json"
        # With --only, the other parts' records and run descriptions stay as they were.
        self.data = json.loads(self.json_path.read_text()) \
            if args.only and self.json_path.exists() else {}
        for part in PARTS:
            self.data.setdefault(part, [])
        self.data.update({part: [] for run in args.parts for part in RUNS[run]})

    def log(self, msg):
        print(f"[{datetime.datetime.now():%H:%M:%S}] {msg}", flush=True)

    def save(self):
        self.json_path.parent.mkdir(parents=True, exist_ok=True)
        self.json_path.write_text(json.dumps(scrub(self.data, ROOT), indent=1))

    def add(self, part, rec, **fields):
        rec.update(fields)
        self.data[part].append(rec)
        self.save()
        return rec

    def child(self, task, name, env=None, timeout=None):
        return run_child(task, self.workdir, name, env or {}, self.module_path,
                         timeout or self.args.timeout)

    def measure(self, part, name, task, env=None, **fields):
        self.log(name)
        return self.add(part, self.child(task, name, env), **fields)

    def program(self, argv, name, repeats, names):
        """Runs a C++ program `repeats` times; the record of the last run, with the median of
        the seconds its runs printed first on their last line, and the counts after them, also
        by `names`."""
        walls, outs, rec = [], [], None
        for i in range(repeats):
            rec = run_process([str(a) for a in argv], self.logs, f"{name}-{i}", dict(os.environ),
                              self.args.timeout)
            if not rec["ok"]:
                break
            outs.append((self.logs / rec["stdout"]).read_text().splitlines()[-1].split())
            walls.append(float(outs[-1][0]))
        if walls:
            counts = [int(x) for x in outs[-1][1:]]
            rec.update(walls=walls, wall=statistics.median(walls), counts=counts,
                       **dict(zip(names, counts)))
        return rec

    def snapshot_module(self):
        """Copies the extension and the `lorvane` package into the work directory, so that a
        rebuild of the tree during a long run cannot mix two versions in one report."""
        found = sorted(self.module_path.glob("lorvane_api*.so"))
        if not found:
            sys.exit(f"no lorvane_api*.so in {self.module_path}")
        target = self.workdir / "module"
        target.mkdir(exist_ok=True)
        shutil.copy2(found[0], target / found[0].name)
        package = self.module_path / "lorvane"
        shutil.copytree(package if package.is_dir() else ROOT / "src" / "python" / "lorvane",
                        target / "lorvane", dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
        digest = hashlib.sha256(found[0].read_bytes()).hexdigest()[:12]
        built = datetime.datetime.fromtimestamp(found[0].stat().st_mtime)
        self.module_path = target
        return f"{found[0].name} (built {built:%Y-%m-%d %H:%M}, sha256 {digest})"

    def prepare(self):
        a = self.args
        needed = ["en.txt", "holdout.txt"] + ["multi.txt"] * ("cjk" in a.kinds) \
            + ["dataset.txt"] * ("dataset" in a.parts)
        if missing := [n for n in needed if not (self.corpora / n).exists()]:
            sys.exit(f"{', '.join(missing)} missing in --corpora: make them with "
                     "`python bench/corpora.py DIR` first")
        self.cdir = cdir = self.workdir / "corpora"
        cdir.mkdir(exist_ok=True)
        self.holdout = self.corpora / "holdout.txt"
        self.train_corpora, self.sources, self.encode_texts = {}, {}, {}  # (kind, size) -> path
        largest = int(max(a.sizes + a.encode_sizes) * MB)
        for kind in a.kinds:
            src = self.sources[kind] = corpora.kind_source(kind, self.corpora, cdir, largest)
            for size in [None] if kind in corpora.ONE_WORD else a.sizes:
                path = src if size is None else corpora.cut_prefix(
                    src, cdir / f"{kind}-{tag(size)}.txt", int(size * MB))
                if path not in self.train_corpora.values():  # a small kind gives its file once
                    self.train_corpora[(kind, size)] = path
            for size in a.encode_sizes if kind in corpora.ENCODE_KINDS else []:
                source = self.holdout if kind == "en" and size * MB < self.holdout.stat().st_size \
                    else src
                self.encode_texts[(kind, size)] = corpora.cut_prefix(
                    source, cdir / f"text-{kind}-{tag(size)}.txt", int(size * MB))
        lines = [ln for ln in self.holdout.read_text(encoding="utf-8").split("\n")
                 if SHORT_MIN <= len(ln) <= SHORT_MAX]
        picked = [lines[i % len(lines)] for i in range(SHORT_LINES // (10 if a.quick else 1))]
        self.short_text = cdir / "short-lines.txt"
        self.short_text.write_text("\n".join(picked) + "\n", encoding="utf-8")
        self.dataset_text = self.corpora / "dataset.txt"
        if a.quick and "dataset" in a.parts:  # a smoke run encodes a prefix as large as its texts
            self.dataset_text = corpora.cut_prefix(self.dataset_text, cdir / "dataset-quick.txt",
                                                   int(max(a.encode_sizes) * MB))
        for path in {*self.train_corpora.values(), *self.encode_texts.values(), self.holdout}:
            corpora.warm(path)

    def run(self):
        a = self.args
        meta = {"machine": machine_info(), "command": a.command,
                "started": datetime.datetime.now().isoformat(timespec="seconds"),
                "versions": versions(), "module": self.snapshot_module(), "kinds": a.kinds,
                "sizes": a.sizes, "vocabs": a.vocab, "trainers": a.trainers, "quick": a.quick}
        if {"train", "encode"} & set(a.parts) or "meta" not in self.data:
            self.data["meta"] = meta
        if "dataset" in a.parts:
            self.data["dataset_meta"] = meta
        if "scale" in a.parts:
            self.data["scale_meta"] = dict(meta, scale_sizes=a.scale_sizes,
                                           scale_vocabs=a.scale_vocab, scale_peers=a.scale_peers)
        if a.parts != ["scale"]:  # the scale rows need none of the other corpora
            self.prepare()

            def files(paths):
                return [{"kind": k, "size": s, "name": p.name, "bytes": p.stat().st_size}
                        for (k, s), p in paths.items()]

            meta.update(corpora=files(self.train_corpora), encode_texts=files(self.encode_texts),
                        short_text={"name": self.short_text.name,
                                    "bytes": self.short_text.stat().st_size})
            if "code" in self.sources:
                meta["code_corpus"] = corpora.info(self.sources["code"])
            self.save()
        models = {}
        if "train" in a.parts:
            for lib in sorted({TRAINERS[t][0] for t in a.trainers} | {"tiktoken"}):
                self.measure("baseline", f"baseline-{lib}", {"kind": "baseline", "lib": lib},
                             lib=lib)
            self.bounds_all()
            models = self.train_all()
            self.quality_all(models)
        if "encode" in a.parts:
            self.encode_all(models)
        if "dataset" in a.parts:
            self.dataset_all(models)
        if "scale" in a.parts:
            self.scale_all()
        meta["finished"] = datetime.datetime.now().isoformat(timespec="seconds")
        self.save()

    def repeats_for(self, corpus: Path) -> int:
        return self.args.runs if corpus.stat().st_size <= CHEAP_BYTES else 1

    def bounds_all(self):
        """The speed of light of each corpus and its work bound at each vocabulary."""
        a = self.args
        for (kind, size), corpus in self.train_corpora.items():
            n, base = self.repeats_for(corpus), dict(kind=kind, size=size,
                                                     bytes=corpus.stat().st_size)
            if a.sol:
                rec = self.add("sol", self.program([a.sol, corpus], f"sol-{kind}-{tag(size)}", n,
                                                   ("distinct_words", "words")), **base)
                if rec.get("counts"):
                    self.log(f"speed of light {corpus.name}: {rec['wall']:.3f} s")
            for vocab in corpora.kind_vocabs(kind, a.vocab) if a.bound else []:
                self.work_bound("bound", corpus, vocab, f"bound-{kind}-{tag(size)}-{vocab}", n,
                                **base)

    def work_bound(self, part, corpus, vocab, name, repeats, **fields):
        rec = self.program([self.args.bound, corpus, vocab], name, repeats,
                           ("distinct_words", "distinct_units", "pairs"))
        if rec.get("counts"):
            self.log(f"work bound {name}: {rec['wall']:.3f} s, {rec['distinct_words']:,} words")
        self.add(part, rec, vocab=vocab, **fields)

    def train_one(self, part, trainer, corpus, vocab, name, repeats=1, timeout=None, **fields):
        """Trains `trainer` `repeats` times in fresh processes; the record of median wall time
        (of the failed run where one failed) goes to `part`, if any. Returns the model's path."""
        lib, threads = TRAINERS[trainer]
        model_dir = self.workdir / "models" / name
        model_dir.mkdir(parents=True, exist_ok=True)
        task = {"kind": "train", "trainer": trainer, "corpus": str(corpus), "vocab": vocab,
                "model_dir": str(model_dir), "long_lines": fields.get("kind") in corpora.ONE_WORD}
        if lib == "sentencepiece":  # its copy of the corpus, tabs as spaces, made untimed
            task["sp_corpus"] = str(corpora.spaces_for_tabs(corpus, self.workdir
                                                            / f"sp-{corpus.name}"))
        env = {"RAYON_NUM_THREADS": str(threads)} if lib == "tokenizers" and threads else {}
        self.log(f"training {name}")
        runs = []
        for i in range(repeats):
            corpora.warm(corpus)
            runs.append(self.child(task, f"{name}-{i}", env, timeout))
            if not runs[-1]["ok"]:
                break
        walls = [r["result"]["wall"] for r in runs if r["ok"]]
        rec = runs[-1] if not runs[-1]["ok"] else sorted(
            runs, key=lambda r: r["result"]["wall"])[len(runs) // 2]
        if part:
            self.add(part, rec, trainer=trainer, bytes=corpus.stat().st_size, vocab=vocab,
                     walls=walls, **fields)
        if not rec["ok"]:
            self.log(f"  FAILED: {rec['error'][-300:]}")
            return None
        r = rec["result"]
        self.log(f"  {r['wall']:.2f} s wall, {r['cpu']:.2f} s CPU, "
                 f"{peak_kib(rec) / 1024:.0f} MiB peak")
        return r.get("model")

    def train_all(self):
        models = {}
        for (kind, size), corpus in self.train_corpora.items():
            for vocab in corpora.kind_vocabs(kind, self.args.vocab):
                for trainer in self.args.trainers:
                    model = self.train_one(
                        "train", trainer, corpus, vocab,
                        f"train-{trainer}-{kind}-{tag(size)}-{vocab}", self.repeats_for(corpus),
                        self.args.run_timeout if kind in corpora.ONE_WORD else None, kind=kind,
                        size=size)
                    if model:
                        models[(trainer, kind, size, vocab)] = model
        return models

    def quality_all(self, models):
        """Tokens of the held-out text with each English model; our models cross-checked."""
        for (trainer, kind, size, vocab), model in models.items():
            if kind != "en":
                continue
            fields = dict(kind=kind, size=size, vocab=vocab)
            if TRAINERS[trainer][0] in QUALITY_LIBS:
                self.measure("quality", f"quality-{trainer}-{tag(size)}-{vocab}",
                             {"kind": "quality", "trainer": trainer, "model": model,
                              "holdout": str(self.holdout)}, trainer=trainer, **fields)
            if trainer == "ours":
                self.measure("crosscheck", f"crosscheck-{tag(size)}-{vocab}", {
                    "kind": "crosscheck", "model": model, "holdout": str(self.holdout),
                    "peer_model": models.get((REFERENCE, kind, size, vocab))}, **fields)

    def model_for(self, models, kind, vocab):
        """Our model of `kind` at `vocab` from the largest corpus trained in this run, else one
        trained now on the largest corpus of that kind; (size, model path or None)."""
        if have := [(s, m) for (t, k, s, v), m in models.items()
                    if (t, k, v) == ("ours", kind, vocab)]:
            return max(have, key=lambda sm: sm[0])
        size, corpus = max((s, p) for (k, s), p in self.train_corpora.items() if k == kind)
        return size, self.train_one(None, "ours", corpus, vocab,
                                    f"model-ours-{kind}-{tag(size)}-{vocab}", kind=kind)

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
                texts = [(s, p, setups) for (k, s), p in self.encode_texts.items() if k == kind]
                decode_text = min(texts, key=lambda t: t[0])[1]
                if kind == "en":
                    texts.append((0, self.short_text, short))
                for size, text, runs in texts:
                    fields = dict(kind="short" if runs is short else kind, size=size, vocab=vocab)
                    task = {"model": model, "text": str(text), "repeats": self.args.repeats}
                    for encoder, setup, env in runs:
                        name = f"encode-{encoder}-{setup}-{fields['kind']}-{tag(size)}-{vocab}"
                        self.measure("encode", name, dict(task, kind="encode", encoder=encoder,
                                                          setup=setup), env, encoder=encoder,
                                     setup=setup, model_size=model_size,
                                     bytes=text.stat().st_size, **fields)
                    if self.args.encode_bound:
                        rec = self.measure(
                            "encode_bound", f"encode-bound-{fields['kind']}-{tag(size)}-{vocab}",
                            dict(task, kind="encode_bound", program=str(self.args.encode_bound),
                                 lines=runs is short), **fields)
                        if rec["ok"] and not rec["result"]["same_ids"]:
                            self.log("  the bound's ids differ from our encoder's")
                for decoder in ("ours", "tiktoken") if kind == "en" else ():
                    self.measure("decode", f"decode-{decoder}-{vocab}", {
                        "kind": "decode", "decoder": decoder, "model": model,
                        "text": str(decode_text), "repeats": self.args.repeats},
                        decoder=decoder, vocab=vocab, text=decode_text.name)

    def dataset_all(self, models):
        """The dataset text encoded by each setup with each vocabulary's English model."""
        text, cores = self.dataset_text, len(os.sched_getaffinity(0))
        corpora.warm(text)
        setups = dict.fromkeys([("ours", "dataset", 1), ("ours", "dataset", cores),
                                ("ours", "batch", 1), ("ours", "batch", cores),
                                ("ours", "whole", None), ("tiktoken", "batch", None),
                                ("tiktoken", "whole", None)])
        self.data["dataset_meta"]["text"] = {"name": text.name, "bytes": text.stat().st_size}
        for vocab in self.args.vocab:
            model_size, model = self.model_for(models, "en", vocab)
            for encoder, setup, workers in setups if model else []:
                name = f"dataset-{encoder}-{setup}-{workers or 'own'}-{vocab}"
                out = self.workdir / "dataset" / name
                out.mkdir(parents=True, exist_ok=True)
                self.measure("dataset", name, {
                    "kind": "dataset", "encoder": encoder, "setup": setup, "workers": workers,
                    "model": model, "text": str(text), "out": str(out),
                    "repeats": self.args.repeats}, encoder=encoder, setup=setup,
                    workers=workers, vocab=vocab, model_size=model_size, bytes=text.stat().st_size)
                shutil.rmtree(out, ignore_errors=True)  # 50 MB or more of ids per run

    def scale_all(self):
        """The scale corpus written once at the largest size, each smaller size cut from it (the
        generator is prefix-stable); per size and vocabulary the work bound and the trainers."""
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
        self.data["scale_meta"]["corpus"] = corpora.info(big)
        for size in sizes:
            corpus = corpora.cut_prefix(big, sdir / f"scale-{size:g}GB.txt", int(size * GB))
            fields = dict(size=size, bytes=corpus.stat().st_size)
            for vocab in a.scale_vocab:
                corpora.warm(corpus)
                if a.bound:
                    self.work_bound("scale_bound", corpus, vocab, f"scale-bound-{size:g}GB-{vocab}",
                                    1, **fields)
                peers = [t for t in a.trainers if t != "ours"] \
                    if a.scale_peers and fields["bytes"] <= SCALE_PEER_BYTES else []
                for trainer in ["ours"] + peers:
                    self.train_one("scale", trainer, corpus, vocab,
                                   f"scale-{trainer}-{size:g}GB-{vocab}", size=size)
        self.data["scale_meta"]["finished"] = datetime.datetime.now().isoformat(
            timespec="seconds")
