"""Lorvane: a byte-pair-encoding tokenizer with a C++ core.

`lorvane_api.BPE` is the model: it trains from a corpus file, encodes, decodes, and reads or
replaces its tables. This package holds what comes next:

- `save` / `load`: one JSON model file; `tables` / `from_tables`: the same as plain values that
  any process rebuilds a model from;
- `encode_batch`: many texts on several cores; `encode_dataset`: text or JSON Lines files into a
  flat file of uint16 ids and an offsets index, on one machine or a cluster's executor;
- `export_tokenizers`: a `tokenizer.json` for the `tokenizers` library; `restore_text`: the text
  back from ids;
- `train_from_texts`: training on strings; `find_unencodable`: the characters a model cannot
  train on or encode.

The command `lorvane` (or `python -m lorvane`) runs the same from a shell.
"""

from importlib import metadata as _metadata

from lorvane_api import BPE

from .batch import encode_batch
from .dataset import SEPARATOR_TEXT, encode_dataset
from .export import export_tokenizers
from .model_file import ModelFileError, from_tables, load, save, tables
from .text import Unencodable, find_unencodable, restore_text, train_from_texts

try:
    __version__ = _metadata.version("lorvane_api")
except _metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "BPE",
    "ModelFileError",
    "SEPARATOR_TEXT",
    "Unencodable",
    "encode_batch",
    "encode_dataset",
    "export_tokenizers",
    "find_unencodable",
    "from_tables",
    "load",
    "restore_text",
    "save",
    "tables",
    "train_from_texts",
    "__version__",
]
