"""A default English corpus made at run time from the docstrings of the Python standard library.

Nothing is downloaded and nothing is stored in the repository: the text comes from the modules of
the interpreter that runs this script, so it differs a little between Python versions.
"""

import importlib
import inspect
import pkgutil
import sys
import warnings

# Modules whose import has side effects (a window, a browser, the interpreter's exit).
SKIP = {"antigravity", "this", "idlelib", "tkinter", "turtle", "turtledemo", "test", "lib2to3"}


def _docstrings(module):
    yield inspect.getdoc(module) or ""
    for _, member in inspect.getmembers(module):
        if getattr(member, "__module__", None) != module.__name__:
            continue
        if inspect.isclass(member) or inspect.isfunction(member):
            yield inspect.getdoc(member) or ""
            if inspect.isclass(member):
                for _, method in inspect.getmembers(member, inspect.isfunction):
                    yield inspect.getdoc(method) or ""


def stdlib_docstrings():
    """Yields (module name, text) for each top-level standard-library module, sorted by name."""
    names = sorted(name for name in sys.stdlib_module_names if name not in SKIP and not name.startswith("_"))
    for name in names:
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                module = importlib.import_module(name)
        except Exception:  # platform modules that do not exist here
            continue
        seen = set()
        texts = []
        for doc in _docstrings(module):
            if doc and doc not in seen:
                seen.add(doc)
                texts.append(doc)
        if texts:
            yield name, "\n\n".join(texts) + "\n"
    # The interpreter's own help texts (keywords, statements, operators).
    try:
        from pydoc_data.topics import topics
    except ImportError:
        return
    for topic in sorted(topics):
        yield "pydoc:" + topic, topics[topic] + "\n"


def write_corpus(train_path, sample_path, sample_every=10):
    """Writes the corpus: every `sample_every`-th module goes to the sample, the rest to training.
    Returns (training bytes, sample bytes)."""
    sizes = [0, 0]
    with open(train_path, "w", encoding="utf-8") as train, open(sample_path, "w", encoding="utf-8") as sample:
        for i, (_, text) in enumerate(stdlib_docstrings()):
            out, k = (sample, 1) if i % sample_every == sample_every - 1 else (train, 0)
            out.write(text)
            sizes[k] += len(text.encode("utf-8"))
    return tuple(sizes)


if __name__ == "__main__":
    print(write_corpus(sys.argv[1], sys.argv[2]))
