"""Corpora of the benchmark: the maker of the real-text files (from Debian documentation
packages), the corpus kinds built from them, and the cuts the runs take.

    python bench/corpora.py OUT_DIR     # en.txt, en-small.txt, holdout.txt, multi.txt, dataset.txt

The maker installs the documentation packages with apt-get (as root) and turns their HTML,
plain text, reStructuredText, POD and man pages into plain text, one document after another in
an order fixed by a hash of the file's path (so that every prefix mixes all sources). The code
corpus is made where a run needs it, in the same order, from the source packages of Go and of
the JDK (installed the same way) and the Python standard library, with no file repeated.
"""

from __future__ import annotations

import gzip
import hashlib
import html.parser
import json
import re
import subprocess
import sys
import sysconfig
import zipfile
from pathlib import Path

MB = 1_000_000
BLOCK = 1 << 20

EN_PACKAGES = ["linux-doc", "python3-doc", "git-doc", "perl-doc", "manpages", "manpages-dev"]
HOLDOUT_PACKAGES = ["postgresql-doc"]  # English from a package en.txt does not use
# More English that en.txt does not use, for encoding a dataset: HTML and plain-text manuals.
DATASET_PACKAGES = ["postgresql-doc", "python-django-doc", "cmake-doc", "sphinx-doc",
                    "ruby3.1-doc", "vim-runtime", "python-scipy-doc", "openjdk-17-doc"]
MULTI_PACKAGES = ["manpages-de", "manpages-fr", "manpages-ru", "manpages-ja", "manpages-zh",
                  "linux-doc"]  # linux-doc: its translations directory
EN_BYTES, SMALL_BYTES, HOLDOUT_BYTES, MULTI_BYTES = 100 * MB, 10 * MB, 5 * MB, 30 * MB
DATASET_BYTES = 100 * MB
CODE_BYTES = 100 * MB
# The code corpus: the Go tree's sources and the JDK's src.zip, with this interpreter's library.
GO_PACKAGE, GO_SRC = "golang-1.19-src", Path("/usr/share/go-1.19/src")
JDK_PACKAGE = "openjdk-17-source"
CODE_PACKAGES = [GO_PACKAGE, JDK_PACKAGE]

# ---------------------------------------------------------------------------------------------
# Plain text from documentation files.
# ---------------------------------------------------------------------------------------------


class _HtmlText(html.parser.HTMLParser):
    BLOCKS = {"p", "div", "br", "li", "tr", "h1", "h2", "h3", "h4", "h5", "h6", "pre", "dt", "dd"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts, self.skip = [], 0

    def handle_starttag(self, tag, attrs):
        if tag in ("script", "style"):
            self.skip += 1
        elif tag in self.BLOCKS:
            self.parts.append("\n")

    def handle_endtag(self, tag):
        if tag in ("script", "style"):
            self.skip = max(0, self.skip - 1)
        elif tag in self.BLOCKS:
            self.parts.append("\n")

    def handle_data(self, data):
        if not self.skip:
            self.parts.append(data)


_MAN_ESCAPE = re.compile(r"\\f(\[[^\]]*\]|\(..|.)|\\\(..|\\\[[^\]]*\]|\\[&|^%]|\\s[-+]?\d")
_POD_CODE = re.compile(r"[A-Z]<+([^<>]*)>+")


def html_text(raw: str) -> str:
    parser = _HtmlText()
    parser.feed(raw)
    return "".join(parser.parts)


def man_text(raw: str) -> str:
    """A man page's words: requests dropped but for the text they set, font escapes removed."""
    lines = []
    for line in raw.splitlines():
        if line.startswith((".\\\"", "'\\\"")):
            continue
        if line.startswith((".", "'")):
            words = line.split(None, 1)
            if len(words) < 2 or words[0][1:] not in ("SH", "SS", "B", "I", "BR", "IR", "RB",
                                                       "BI", "IB", "TP", "IP", "Nm", "Nd"):
                continue
            line = words[1].replace('"', "")
        line = _MAN_ESCAPE.sub("", line).replace("\\-", "-").replace("\\e", "\\")
        lines.append(line)
    return "\n".join(lines)


def pod_text(raw: str) -> str:
    lines = [line for line in raw.splitlines() if not line.startswith("=")]
    return _POD_CODE.sub(r"\1", "\n".join(lines))


def document_text(path: Path) -> str | None:
    """Plain text of one documentation file, or None for a kind we do not read."""
    name = path.name[:-3] if path.name.endswith(".gz") else path.name
    opener = gzip.open if path.name.endswith(".gz") else open
    try:
        with opener(path, "rb") as f:
            raw = f.read().decode("utf-8")
    except (UnicodeDecodeError, OSError, EOFError):
        return None
    if "\0" in raw:
        return None
    if name.endswith((".html", ".htm")):
        text = html_text(raw)
    elif name.endswith((".txt", ".rst")):
        text = raw
    elif name.endswith((".pod", ".pm")):
        text = pod_text(raw)
    elif "/man/" in str(path) and re.search(r"\.\d\w*$", name):
        text = man_text(raw)
    else:
        return None
    text = re.sub(r"\n[ \t]*\n(?:[ \t]*\n)+", "\n\n", text).strip()
    return text + "\n" if text else None


def with_versioned(packages: list[str]) -> list[str]:
    """The packages and, for metapackages such as linux-doc, the versioned package each depends
    on (linux-doc-6.1), which holds the files."""
    out = list(packages)
    for pkg in packages:
        deps = subprocess.run(["dpkg-query", "-W", "-f=${Depends}", pkg], capture_output=True,
                              text=True).stdout
        out += [d for d in re.findall(r"[\w.+-]+", deps) if d.startswith(pkg + "-")]
    return out


def package_files(packages: list[str]) -> list[Path]:
    files = set()
    for pkg in with_versioned(packages):
        out = subprocess.run(["dpkg", "-L", pkg], capture_output=True, text=True).stdout
        files.update(Path(p) for p in out.splitlines() if Path(p).is_file())
    return sorted(files, key=lambda p: hashlib.sha256(str(p).encode()).hexdigest())


def write_documents(paths, out: Path, limit: int, keep=lambda p, text: True) -> int:
    """Writes the text of `paths` one after another to `out` until `limit` bytes."""
    written = 0
    with open(out, "w", encoding="utf-8") as f:
        for path in paths:
            text = document_text(path)
            if not text or not keep(path, text):
                continue
            data = text.encode("utf-8")[: limit - written].decode("utf-8", "ignore")
            f.write(data)
            written += len(data.encode("utf-8"))
            if written >= limit:
                break
    return written


_LATIN = re.compile(r"[A-Za-z]")


def _mostly_non_latin(text: str) -> bool:
    letters = [c for c in text if c.isalpha()]
    return bool(letters) and sum(1 for c in letters if _LATIN.match(c)) < 0.5 * len(letters)


def is_translation(path: Path) -> bool:
    """Translated documentation: kernel doc translations, man pages under a language folder."""
    parts = path.parts
    if "translations" in parts:
        return True
    if "man" in parts:
        i = parts.index("man")
        return i + 1 < len(parts) and not parts[i + 1].startswith("man")
    return False


def apt_install(packages: list[str]) -> None:
    """Installs Debian packages with apt-get (as root), after refreshing the package lists."""
    subprocess.run(["apt-get", "update", "-q"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *packages],
                   check=True, stdout=subprocess.DEVNULL,
                   env={"DEBIAN_FRONTEND": "noninteractive", "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})


def make(out_dir: Path) -> None:
    out_dir.mkdir(parents=True, exist_ok=True)
    packages = sorted({*EN_PACKAGES, *HOLDOUT_PACKAGES, *MULTI_PACKAGES, *DATASET_PACKAGES,
                       *CODE_PACKAGES})
    apt_install(packages)
    english = [p for p in package_files(EN_PACKAGES) if not is_translation(p)]
    en = write_documents(english, out_dir / "en.txt", EN_BYTES)
    cut_prefix(out_dir / "en.txt", out_dir / "en-small.txt", SMALL_BYTES, copy=True)
    holdout = write_documents(package_files(HOLDOUT_PACKAGES), out_dir / "holdout.txt",
                              HOLDOUT_BYTES)
    translated = [p for p in package_files(MULTI_PACKAGES) if is_translation(p)]
    multi = write_documents(translated, out_dir / "multi.txt", MULTI_BYTES,
                            keep=lambda p, text: _mostly_non_latin(text) or "/man/" in str(p))
    # Sphinx manuals ship each page twice, as HTML and as its source text: the HTML is kept.
    dataset = write_documents([p for p in package_files(DATASET_PACKAGES)
                               if "_sources" not in p.parts], out_dir / "dataset.txt",
                              DATASET_BYTES)
    print(f"en.txt {en:,} bytes, holdout.txt {holdout:,} bytes, multi.txt {multi:,} bytes, "
          f"dataset.txt {dataset:,} bytes")


# ---------------------------------------------------------------------------------------------
# Cuts and the corpus kinds.
# ---------------------------------------------------------------------------------------------


def cut_prefix(src: Path, dst: Path, nbytes: int, copy: bool = False) -> Path:
    """Writes the first `nbytes` bytes of `src` cut back to the last line end (kept) to `dst`.
    Returns `src` itself when it is not larger than `nbytes` (unless `copy`)."""
    if src.stat().st_size <= nbytes and not copy:
        return src
    end, done = -1, 0
    with open(src, "rb") as f, open(dst, "wb") as out:
        while done < nbytes:
            block = f.read(min(BLOCK, nbytes - done))
            if not block:
                end = done
                break
            if (cut := block.rfind(b"\n")) >= 0:
                end = done + cut + 1
            out.write(block)
            done += len(block)
        out.truncate(max(end, 0))
    if end < 0:
        raise ValueError(f"{src.name}: no line end in the first {nbytes} bytes")
    return dst


def spaces_for_tabs(src: Path, dst: Path) -> Path:
    """Copy for sentencepiece, which reads lines and knows only the space as a word separator:
    tabs and carriage returns become spaces."""
    if not dst.exists():
        with open(src, "rb") as f, open(dst, "wb") as out:
            while block := f.read(BLOCK):
                out.write(block.replace(b"\t", b" ").replace(b"\r", b" "))
    return dst


def warm(path: Path) -> None:
    """Reads a file once so that it sits in the page cache before anything is timed."""
    with open(path, "rb") as f:
        while f.read(BLOCK):
            pass


# ---------------------------------------------------------------------------------------------
# The code corpus: distinct source files of three languages, none repeated.
# ---------------------------------------------------------------------------------------------


def jdk_src_zip() -> Path | None:
    out = subprocess.run(["dpkg", "-L", JDK_PACKAGE], capture_output=True, text=True).stdout
    return next((Path(p) for p in out.splitlines() if p.endswith("/src.zip")
                 and Path(p).is_file()), None)


def _code_sources(jdk: zipfile.ZipFile):
    """(label, reader) of every candidate file: the Go standard library and commands, the JDK's
    classes (read from its open src.zip `jdk`), and this interpreter's standard library
    (site-packages left out). The label is the file's path from a fixed root ("go/...",
    "jdk/...", "python/..."), so that the order does not depend on where a machine keeps the
    files. Go's testdata folders are left out: they hold test inputs (gofmt's golden pairs,
    files broken on purpose for the parser and type checker, generated tables), which are
    near-copies of one another or not code at all."""
    for path in GO_SRC.rglob("*.go"):
        if "testdata" not in path.relative_to(GO_SRC).parts and path.is_file():
            yield f"go/{path.relative_to(GO_SRC)}", path.read_bytes
    for info in jdk.infolist():
        if info.filename.endswith(".java") and not info.is_dir():
            yield f"jdk/{info.filename}", lambda n=info.filename: jdk.read(n)
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    for path in stdlib.rglob("*.py"):
        if "site-packages" not in path.relative_to(stdlib).parts and path.is_file():
            yield f"python/{path.relative_to(stdlib)}", path.read_bytes


def _path_order(label: str) -> str:
    return hashlib.sha256(label.encode()).hexdigest()


def code_documents():
    """The code files as (label, bytes), in an order fixed by a hash of the label, so that every
    prefix mixes the three languages: each file that is valid UTF-8 without NUL, ending with a
    line feed, and none whose text was already given (the Go tree vendors some packages
    twice)."""
    if not GO_SRC.is_dir() or jdk_src_zip() is None:
        apt_install(CODE_PACKAGES)
    seen = set()
    with zipfile.ZipFile(jdk_src_zip()) as jdk:
        for label, read in sorted(_code_sources(jdk), key=lambda lr: _path_order(lr[0])):
            try:
                raw = read()
                raw.decode("utf-8")
            except (UnicodeDecodeError, OSError):
                continue
            if not raw.strip() or b"\0" in raw:
                continue
            if not raw.endswith(b"\n"):
                raw += b"\n"
            digest = hashlib.blake2b(raw, digest_size=16).digest()
            if digest not in seen:
                seen.add(digest)
                yield label, raw


def make_code(dst: Path, nbytes: int | None = CODE_BYTES) -> Path:
    """Writes the code documents one after another to `dst`, cut at the last line end within
    `nbytes` (all of them for None), with no text repeated; beside it, `dst`.json says how many
    files of each language went in and how many bytes the distinct code has in all."""
    info_path = dst.with_name(dst.name + ".json")
    if dst.exists() and info_path.exists() and json.loads(info_path.read_text())["limit"] == nbytes:
        return dst
    limit = nbytes if nbytes is not None else float("inf")
    written, total, files = 0, 0, {}
    with open(dst, "wb") as out:
        for label, raw in code_documents():
            total += len(raw)
            if written >= limit:
                continue  # still counted in the total
            if written + len(raw) > limit:
                raw = raw[: raw.rfind(b"\n", 0, int(limit - written)) + 1]
                written = limit  # nothing after a cut document
            else:
                written += len(raw)
            out.write(raw)
            lang = label.split("/", 1)[0]
            files[lang] = files.get(lang, 0) + 1
    info = {"limit": nbytes, "bytes": dst.stat().st_size, "distinct_total_bytes": total,
            "files": files}
    info_path.write_text(json.dumps(info))
    return dst


def code_info(dst: Path) -> dict:
    """What make_code recorded beside `dst`."""
    return json.loads(dst.with_name(dst.name + ".json").read_text())


def _is_cjk(c: str) -> bool:
    o = ord(c)
    return (0x3040 <= o <= 0x30FF or 0x3400 <= o <= 0x9FFF or 0xAC00 <= o <= 0xD7AF
            or 0xF900 <= o <= 0xFAFF or 0xFF00 <= o <= 0xFFEF)


def make_cjk(multi: Path, dst: Path) -> Path:
    """Text without spaces: the lines of multi.txt of which at least half the characters are
    Chinese, Japanese or Korean, with all whitespace inside each line removed."""
    if dst.exists() and dst.stat().st_size > 0:
        return dst
    with open(multi, encoding="utf-8") as f, open(dst, "w", encoding="utf-8") as out:
        for line in f:
            packed = "".join(line.split())
            if packed and 2 * sum(map(_is_cjk, packed)) >= len(packed):
                out.write(packed + "\n")
    return dst


RUN_CHARS = 8000  # distinct characters of the pathological word, from U+4E00 on
RUN_AS = 1 << 20  # the "a" of either run corpus
SHORT_RUN = 64  # the twin's "a" come in runs this long
RUN_MERGES = 64  # both run corpora train this many merges past their alphabet


def run_text(kind: str) -> str:
    """One word, no whitespace at all: 8,000 distinct characters, then 2^20 times "a" -- in one
    run (longrun), or in runs of 64 each followed by the next distinct character, cycling
    (shortrun). The twin makes the same first merges with the same counts (a+a 2^19 times, ...)
    but every run is short."""
    chars = "".join(map(chr, range(0x4E00, 0x4E00 + RUN_CHARS)))
    if kind == "longrun":
        return chars + "a" * RUN_AS
    runs = RUN_AS // SHORT_RUN
    return chars + "".join("a" * SHORT_RUN + chars[i % RUN_CHARS] for i in range(runs))


def make_run(dst: Path, kind: str) -> Path:
    """Writes the run corpus `kind` to `dst` unless it already holds exactly that text."""
    data = run_text(kind).encode("utf-8")
    if not dst.exists() or dst.stat().st_size != len(data) or dst.read_bytes() != data:
        dst.write_bytes(data)
    return dst


# Kinds of training corpus: how each is made, and whether it takes the sizes and vocabularies
# of the command line or its own (the run corpora are one file each with a fixed merge count).
KINDS = ["en", "code", "cjk", "longrun", "shortrun"]
ENCODE_KINDS = ["en", "code", "cjk"]


def kind_source(kind: str, corpora: Path, work: Path, nbytes: int = CODE_BYTES) -> Path:
    """The whole corpus of a kind (the code corpus only as large as `nbytes`)."""
    if kind == "en":
        return corpora / "en.txt"
    if kind == "code":
        return make_code(work / "code.txt", nbytes)
    if kind == "cjk":
        return make_cjk(corpora / "multi.txt", work / "cjk.txt")
    if kind in ("longrun", "shortrun"):
        return make_run(work / f"{kind}.txt", kind)
    raise ValueError(kind)


def kind_vocabs(kind: str, vocabs: list[int]) -> list[int]:
    if kind in ("longrun", "shortrun"):
        return [RUN_CHARS + 1 + RUN_MERGES]
    return vocabs


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    make(Path(sys.argv[1]))
