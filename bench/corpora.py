"""Corpora of the benchmark: the real-text files made from Debian documentation packages
(installed with apt-get as root; HTML, text, reStructuredText, POD and man pages as plain text,
in an order fixed by a hash of the path so that every prefix mixes all sources), the corpus
kinds built from them or, for code, from source packages where a run needs it, and the cuts.

    python bench/corpora.py OUT_DIR     # en.txt, en-small.txt, holdout.txt, multi.txt, dataset.txt
"""

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
HOLDOUT_PACKAGES = ["postgresql-doc"]  # English that en.txt does not use
# More such English, HTML and plain-text manuals, for encoding a dataset.
DATASET_PACKAGES = ["postgresql-doc", "python-django-doc", "cmake-doc", "sphinx-doc",
                    "ruby3.1-doc", "vim-runtime", "python-scipy-doc", "openjdk-17-doc"]
MULTI_PACKAGES = ["manpages-de", "manpages-fr", "manpages-ru", "manpages-ja", "manpages-zh",
                  "linux-doc"]  # linux-doc: its translations directory
GO_SRC, JDK_PACKAGE = Path("/usr/share/go-1.19/src"), "openjdk-17-source"
CODE_PACKAGES = ["golang-1.19-src", JDK_PACKAGE]
CODE_BYTES = 100 * MB
KINDS = ["en", "code", "cjk", "longrun", "shortrun"]
ENCODE_KINDS = ["en", "code", "cjk"]
ONE_WORD = ("longrun", "shortrun")
# The one-word corpora: 8,000 distinct characters from U+4E00 on, then 2^20 "a", trained with
# a fixed number of merges past their alphabet.
RUN_CHARS, RUN_AS, SHORT_RUN, RUN_MERGES = 8000, 1 << 20, 64, 64


class _HtmlText(html.parser.HTMLParser):
    BLOCKS = {"p", "div", "br", "li", "tr", "h1", "h2", "h3", "h4", "h5", "h6", "pre", "dt", "dd"}

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.parts, self.skip = [], 0

    def handle_starttag(self, tag, attrs):
        self.skip += tag in ("script", "style")
        if tag in self.BLOCKS:
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
_MAN_TEXT_REQUESTS = {"SH", "SS", "B", "I", "BR", "IR", "RB", "BI", "IB", "TP", "IP", "Nm", "Nd"}


def man_text(raw: str) -> str:
    """A man page's words: requests dropped but for the text they set, font escapes removed."""
    lines = []
    for line in raw.splitlines():
        if line.startswith((".\\\"", "'\\\"")):
            continue
        if line.startswith((".", "'")):
            words = line.split(None, 1)
            if len(words) < 2 or words[0][1:] not in _MAN_TEXT_REQUESTS:
                continue
            line = words[1].replace('"', "")
        lines.append(_MAN_ESCAPE.sub("", line).replace("\\-", "-").replace("\\e", "\\"))
    return "\n".join(lines)


def document_text(path: Path) -> str | None:
    """Plain text of one documentation file, or None for a kind we do not read."""
    name = path.name.removesuffix(".gz")
    try:
        with (gzip.open if path.name.endswith(".gz") else open)(path, "rb") as f:
            raw = f.read().decode("utf-8")
    except (UnicodeDecodeError, OSError, EOFError):
        return None
    if "\0" in raw:
        return None
    if name.endswith((".html", ".htm")):
        parser = _HtmlText()
        parser.feed(raw)
        text = "".join(parser.parts)
    elif name.endswith((".txt", ".rst")):
        text = raw
    elif name.endswith((".pod", ".pm")):
        text = re.sub(r"[A-Z]<+([^<>]*)>+", r"\1",
                      "\n".join(ln for ln in raw.splitlines() if not ln.startswith("=")))
    elif "/man/" in str(path) and re.search(r"\.\d\w*$", name):
        text = man_text(raw)
    else:
        return None
    text = re.sub(r"\n[ \t]*\n(?:[ \t]*\n)+", "\n\n", text).strip()
    return text + "\n" if text else None


def package_files(packages: list[str]) -> list[Path]:
    """The files of the packages and of the versioned packages metapackages such as linux-doc
    depend on (linux-doc-6.1), in the order of a hash of their paths."""
    for pkg in list(packages):
        deps = subprocess.run(["dpkg-query", "-W", "-f=${Depends}", pkg], capture_output=True,
                              text=True).stdout
        packages = packages + [d for d in re.findall(r"[\w.+-]+", deps) if d.startswith(pkg + "-")]
    files = set()
    for pkg in packages:
        out = subprocess.run(["dpkg", "-L", pkg], capture_output=True, text=True).stdout
        files.update(Path(p) for p in out.splitlines() if Path(p).is_file())
    return sorted(files, key=lambda p: _path_order(str(p)))


def write_documents(paths, out: Path, limit: int, keep=lambda p, text: True) -> int:
    """Writes the text of `paths` one after another to `out` until `limit` bytes."""
    written = 0
    with open(out, "w", encoding="utf-8") as f:
        for path in paths:
            text = document_text(path)
            if text and keep(path, text):
                data = text.encode("utf-8")[: limit - written].decode("utf-8", "ignore")
                f.write(data)
                written += len(data.encode("utf-8"))
                if written >= limit:
                    break
    return written


def is_translation(path: Path) -> bool:
    """Translated documentation: kernel doc translations, man pages under a language folder."""
    parts = path.parts
    if "translations" in parts:
        return True
    i = parts.index("man") if "man" in parts else len(parts)
    return i + 1 < len(parts) and not parts[i + 1].startswith("man")


def _mostly_non_latin(text: str) -> bool:
    letters = [c for c in text if c.isalpha()]
    return bool(letters) and sum(1 for c in letters if re.match("[A-Za-z]", c)) < 0.5 * len(letters)


def apt_install(packages: list[str]) -> None:
    subprocess.run(["apt-get", "update", "-q"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *packages],
                   check=True, stdout=subprocess.DEVNULL, env={
                       "DEBIAN_FRONTEND": "noninteractive",
                       "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"})


def make(out_dir: Path) -> None:
    out_dir.mkdir(parents=True, exist_ok=True)
    apt_install(sorted({*EN_PACKAGES, *HOLDOUT_PACKAGES, *MULTI_PACKAGES, *DATASET_PACKAGES,
                        *CODE_PACKAGES}))
    sizes = {"en.txt": write_documents([p for p in package_files(EN_PACKAGES)
                                        if not is_translation(p)], out_dir / "en.txt", 100 * MB)}
    cut_prefix(out_dir / "en.txt", out_dir / "en-small.txt", 10 * MB, copy=True)
    sizes["holdout.txt"] = write_documents(package_files(HOLDOUT_PACKAGES),
                                           out_dir / "holdout.txt", 5 * MB)
    sizes["multi.txt"] = write_documents(
        [p for p in package_files(MULTI_PACKAGES) if is_translation(p)], out_dir / "multi.txt",
        30 * MB, keep=lambda p, text: _mostly_non_latin(text) or "/man/" in str(p))
    # Sphinx manuals ship each page twice, as HTML and as its source text: the HTML is kept.
    sizes["dataset.txt"] = write_documents(
        [p for p in package_files(DATASET_PACKAGES) if "_sources" not in p.parts],
        out_dir / "dataset.txt", 100 * MB)
    print(", ".join(f"{name} {n:,} bytes" for name, n in sizes.items()))


def cut_prefix(src: Path, dst: Path, nbytes: int, copy: bool = False) -> Path:
    """Writes the first `nbytes` bytes of `src` cut back to the last line end (kept) to `dst`.
    Returns `src` itself when it is not larger than `nbytes` (unless `copy`)."""
    if src.stat().st_size <= nbytes and not copy:
        return src
    end, done = -1, 0
    with open(src, "rb") as f, open(dst, "wb") as out:
        while done < nbytes:
            if not (block := f.read(min(BLOCK, nbytes - done))):
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
    """Copy for sentencepiece, which knows only the space as a word separator."""
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


def _path_order(label: str) -> str:
    return hashlib.sha256(label.encode()).hexdigest()


def code_documents():
    """The code files as (label, bytes) in the order of a hash of the label, so that every prefix
    mixes Go's sources (not testdata: test inputs, near-copies), the JDK's src.zip and the Python
    standard library; each valid UTF-8 without NUL, ending with a line feed, none twice."""
    def jdk_zip():
        return next((p for p in package_files([JDK_PACKAGE]) if p.name == "src.zip"), None)

    if not GO_SRC.is_dir() or jdk_zip() is None:
        apt_install(CODE_PACKAGES)
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    seen = set()
    with zipfile.ZipFile(jdk_zip()) as jdk:
        sources = [(f"go/{p.relative_to(GO_SRC)}", p.read_bytes) for p in GO_SRC.rglob("*.go")
                   if "testdata" not in p.relative_to(GO_SRC).parts and p.is_file()]
        sources += [(f"jdk/{i.filename}", lambda n=i.filename: jdk.read(n))
                    for i in jdk.infolist() if i.filename.endswith(".java") and not i.is_dir()]
        sources += [(f"python/{p.relative_to(stdlib)}", p.read_bytes) for p in stdlib.rglob("*.py")
                    if "site-packages" not in p.relative_to(stdlib).parts and p.is_file()]
        for label, read in sorted(sources, key=lambda lr: _path_order(lr[0])):
            try:
                raw = read()
                raw.decode("utf-8")
            except (UnicodeDecodeError, OSError):
                continue
            if not raw.strip() or b"\0" in raw:
                continue
            raw += b"" if raw.endswith(b"\n") else b"\n"
            if (digest := hashlib.blake2b(raw, digest_size=16).digest()) not in seen:
                seen.add(digest)
                yield label, raw


def info(path: Path) -> dict | None:
    """The record written beside the corpus `path` (`path`.json), if there is one."""
    beside = path.with_name(path.name + ".json")
    return json.loads(beside.read_text()) if beside.exists() else None


def make_code(dst: Path, nbytes: int) -> Path:
    """Writes the code documents to `dst`, cut at the last line end within `nbytes`; beside it,
    `dst`.json counts the files of each language and the bytes of all the distinct code."""
    if dst.exists() and (info(dst) or {}).get("limit") == nbytes:
        return dst
    written, total, files = 0, 0, {}
    with open(dst, "wb") as out:
        for label, raw in code_documents():
            total += len(raw)
            if written >= nbytes:
                continue  # still counted in the total
            if written + len(raw) > nbytes:
                raw = raw[: raw.rfind(b"\n", 0, nbytes - written) + 1]
                written = nbytes  # nothing after a cut document
            else:
                written += len(raw)
            out.write(raw)
            lang = label.split("/", 1)[0]
            files[lang] = files.get(lang, 0) + 1
    dst.with_name(dst.name + ".json").write_text(json.dumps(
        {"limit": nbytes, "bytes": dst.stat().st_size, "distinct_total_bytes": total,
         "files": files}))
    return dst


def make_cjk(multi: Path, dst: Path) -> Path:
    """The lines of multi.txt at least half CJK, with all whitespace inside each line removed."""
    def is_cjk(c):
        o = ord(c)
        return (0x3040 <= o <= 0x30FF or 0x3400 <= o <= 0x9FFF or 0xAC00 <= o <= 0xD7AF
                or 0xF900 <= o <= 0xFAFF or 0xFF00 <= o <= 0xFFEF)

    if not dst.exists() or dst.stat().st_size == 0:
        with open(multi, encoding="utf-8") as f, open(dst, "w", encoding="utf-8") as out:
            for line in f:
                packed = "".join(line.split())
                if packed and 2 * sum(map(is_cjk, packed)) >= len(packed):
                    out.write(packed + "\n")
    return dst


def make_run(dst: Path, kind: str) -> Path:
    """One word, no whitespace: the distinct characters, then the "a" in one run (longrun) or in
    runs of SHORT_RUN each followed by the next distinct character, cycling (shortrun: the same
    first merges with the same counts, but every run short)."""
    chars = "".join(map(chr, range(0x4E00, 0x4E00 + RUN_CHARS)))
    text = chars + ("a" * RUN_AS if kind == "longrun" else "".join(
        "a" * SHORT_RUN + chars[i % RUN_CHARS] for i in range(RUN_AS // SHORT_RUN)))
    data = text.encode("utf-8")
    if not dst.exists() or dst.read_bytes() != data:
        dst.write_bytes(data)
    return dst


def kind_source(kind: str, corpora: Path, work: Path, nbytes: int = CODE_BYTES) -> Path:
    """The whole corpus of a kind (the code corpus only as large as `nbytes`)."""
    if kind == "en":
        return corpora / "en.txt"
    if kind == "code":
        return make_code(work / "code.txt", nbytes)
    if kind == "cjk":
        return make_cjk(corpora / "multi.txt", work / "cjk.txt")
    return make_run(work / f"{kind}.txt", kind)


def kind_vocabs(kind: str, vocabs: list[int]) -> list[int]:
    """The vocabulary sizes of a kind: the one-word corpora have their own."""
    return [RUN_CHARS + 1 + RUN_MERGES] if kind in ONE_WORD else vocabs


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    make(Path(sys.argv[1]))
