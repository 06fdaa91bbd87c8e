"""Encode text files (one document per line) into a flat file of uint16 ids on every core, and
read a document back.

    python examples/encode_dataset.py model.json data/train corpus.txt [more.txt ...]

The command `lorvane encode-dataset` does the same with more options (JSON Lines, the separator
id, the number of workers). On a cluster, pass an executor: `client.get_executor()` of a Dask
client, or `lorvane.executors.RayExecutor()`.
"""

import sys
from array import array

import lorvane


def main(model_path, output, *inputs):
    model = lorvane.load(model_path)
    summary = lorvane.encode_dataset(model, inputs, output)  # a process pool on every core
    print(f"{summary.documents:,} documents, {summary.ids:,} ids in {summary.seconds:.1f} s "
          f"({summary.bytes / 1e6 / summary.seconds:.1f} MB/s)")

    ids, index = array("H"), array("Q")  # numpy.fromfile(..., dtype="<u2") works as well
    with open(f"{output}.bin", "rb") as f:
        ids.frombytes(f.read())
    with open(f"{output}.idx", "rb") as f:
        index.frombytes(f.read())
    if sys.byteorder == "big":
        ids.byteswap()
        index.byteswap()
    if summary.documents:
        first = ids[index[0]:index[1] - 1].tolist()
        print("first document:", lorvane.restore_text(model, first))
    return 0


if __name__ == "__main__":  # worker processes import this file: the guard keeps them from running it
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
