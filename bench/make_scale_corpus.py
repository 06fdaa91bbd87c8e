"""Writes the corpus of the scale rows: source code of any size, whose distinct words keep
growing as those of real text do (about as n^BETA) rather than stopping once the real code is
used up.

    python bench/make_scale_corpus.py OUT [--bytes 10e9]

All the distinct code of corpora.code_documents (about 300 MB) comes first; then copy k = 1, 2,
... repeats the documents in order, varying a share s_k picked by a hash of the path and k: ASCII
identifiers but the keywords get the suffix `_k`, numbers k appended. s_k falls with k so that
the distinct words after copy k are about (k + 1)^BETA times the real code's, those of a share s
of the documents being about s^GAMMA of all. The output is prefix-stable: the file for a size is
the start of the file for any larger size, cut at the same line end as corpora.cut_prefix.
"""

import argparse
import hashlib
import json
import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import corpora  # noqa: E402

BETA = 0.6  # target growth of the distinct words with the size, past the real code
GAMMA = 0.8  # distinct words of a random share s of the code documents: about s^GAMMA of all
VERSION = 1  # of the output; a file written by another version is not reused
WRITE_BUFFER = 1 << 22

# Keywords and literals of Go, Java and Python: kept as they are in a varied document.
KEYWORDS = frozenset(w.encode() for w in """
    break case chan const continue default defer else fallthrough for func go goto if import
    interface map package range return select struct switch type var true false nil iota
    abstract assert boolean byte catch char class do double enum extends final finally float
    implements instanceof int long native new null private protected public short static
    strictfp super synchronized this throw throws transient try void volatile while exports
    module open opens permits provides record requires sealed to transitive uses
    with yield
    False None True and as async await def del elif except from global in is lambda nonlocal
    not or pass raise match self cls
    """.split())
_TOKEN = re.compile(rb"([A-Za-z_][A-Za-z0-9_]*|[0-9][A-Za-z0-9_]*)")


def picked(label: str, k: int) -> bool:
    """Whether copy k (k > 0) varies the document: it varies a share falling with k."""
    share = min(1.0, ((k + 1) ** BETA - k ** BETA) ** (1 / GAMMA))
    digest = hashlib.blake2b(f"{label}\0{k}".encode(), digest_size=8).digest()
    return int.from_bytes(digest, "big") < share * 2 ** 64


class _Renames(dict):
    """Identifier or number -> its form in copy k, made on first use."""

    def __init__(self, k: int):
        super().__init__()
        self.suffix, self.digits = b"_%d" % k, b"%d" % k

    def __missing__(self, word: bytes) -> bytes:
        new = word if word in KEYWORDS else word + (self.digits if word[0] <= 0x39 else self.suffix)
        self[word] = new
        return new


def vary(raw: bytes, renames: _Renames) -> bytes:
    """The document with its identifiers and numbers renamed for one copy: one regex split, then
    a table look-up per identifier."""
    parts = _TOKEN.split(raw)
    parts[1::2] = map(renames.__getitem__, parts[1::2])
    return b"".join(parts)


def write_scale(out: Path, nbytes: int, docs=None) -> dict:
    """Writes the first `nbytes` bytes of the scale corpus, cut back to the last line end, to
    `out` (`docs`: the code documents as (label, bytes) if not corpora's); returns its record."""
    t0 = time.perf_counter()
    docs = list(corpora.code_documents()) if docs is None else docs
    real = sum(len(raw) for _, raw in docs)
    written, k, varied, full = 0, 0, [], False
    with open(out, "wb", buffering=WRITE_BUFFER) as f:
        while not full:
            renames, count = _Renames(k), 0
            for label, raw in docs:
                if k and picked(label, k):
                    raw = vary(raw, renames)
                    count += 1
                full = written + len(raw) >= nbytes
                if written + len(raw) > nbytes:
                    raw = raw[: raw.rfind(b"\n", 0, nbytes - written) + 1]
                f.write(raw)
                written += len(raw)
                if full:
                    break
            varied.append(count)
            k += 1
    return {"version": VERSION, "target": nbytes, "bytes": written, "copies": k,
            "varied_documents": varied, "documents": len(docs), "real_bytes": real,
            "beta": BETA, "seconds": time.perf_counter() - t0}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--bytes", type=float, default=10e9, help="target size (default 10e9)")
    args = parser.parse_args()
    nbytes, info = int(args.bytes), corpora.info(args.out)
    # Written unless the file there is the one this version writes for that size.
    if not (info and args.out.exists() and info.get("version") == VERSION
            and info.get("target") == nbytes and info.get("bytes") == args.out.stat().st_size):
        info = write_scale(args.out, nbytes)
        args.out.with_name(args.out.name + ".json").write_text(json.dumps(info))
    print(f"{info['bytes']:,} bytes in {info['copies']} copies of {info['real_bytes']:,} bytes "
          f"of real code, {info['seconds']:.1f} s")


if __name__ == "__main__":
    main()
