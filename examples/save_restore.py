"""Train a small tokenizer, save it to one JSON file, load it back and check it encodes the same.

    python examples/save_restore.py [model.json]
"""

import pathlib
import sys
import tempfile

import lorvane

TEXT = """\
The river town woke early. Before the bells, the bakers lit their ovens and the fishermen
checked their nets on the wet stones of the quay. Gulls argued over the first scraps, and a
thin mist sat on the water until the sun climbed over the eastern hills.
By mid-morning the market square was full. Farmers sold apples, onions and sacks of grain;
a weaver spread blue and yellow cloth across a long table; children ran between the stalls.
"""
SAMPLE = "The ferryman told the children a story about the river and the market."


def main():
    with tempfile.TemporaryDirectory() as tmp:
        model = lorvane.BPE(300)
        lorvane.train_from_texts(model, [TEXT] * 20, directory=tmp)  # bars on standard output
        target = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(tmp) / "model.json")
        lorvane.save(model, target)
        restored = lorvane.load(target)
        print(f"\nsaved {len(model.vocab)} tokens and {len(model.merge_rank)} merges to "
              f"{target.name} ({target.stat().st_size:,} bytes)")

    ids = model.encode(SAMPLE)
    print("ids     :", ids)
    print("tokens  :", model.decode(ids))
    print("text    :", lorvane.restore_text(model, ids))
    same = lorvane.tables(restored) == lorvane.tables(model) and restored.encode(SAMPLE) == ids
    print("restored model has the same tables and ids:", same)
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
