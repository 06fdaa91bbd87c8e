"""Save a trained tokenizer to JSON and restore it into a new object.

A `BPE` has no file format of its own: its state is the three tables `vocab`, `merge_rank` and
`token_to_id` (plus `vocab_size`, the target of the next training). Save them with any
serializer; restore them by assignment.

    python examples/save_restore.py [model.json]
"""

import json
import pathlib
import sys
import tempfile

import lorvane_api

TEXT = """\
The river town woke early. Before the bells, the bakers lit their ovens and the fishermen
checked their nets on the wet stones of the quay. Gulls argued over the first scraps, and a
thin mist sat on the water until the sun climbed over the eastern hills.

By mid-morning the market square was full. Farmers sold apples, onions and sacks of grain;
a weaver spread blue and yellow cloth across a long table; children ran between the stalls
with bread in their hands. Everyone talked at once, and the noise rose and fell like the tide.

In the afternoon the town grew quiet again. The old ferryman carried travellers across the
river, one small boat at a time, and told each of them the same story about the winter the
water froze and the whole town walked to the other side.

At night the lamps along the quay were lit one by one. The bakers slept, the nets dried, and
the river kept on moving towards the sea, as it had done long before the town was built.
"""

SAMPLE = "The ferryman told the children a story about the river and the market."


def save(model, path):
    state = {
        "vocab_size": model.vocab_size,
        "vocab": model.vocab,
        # JSON object keys are strings: the pair keys are written as decimal text.
        "merge_rank": {str(key): rank for key, rank in model.merge_rank.items()},
        "token_to_id": model.token_to_id,
    }
    path.write_text(json.dumps(state, ensure_ascii=False), encoding="utf-8")


def load(path):
    state = json.loads(path.read_text(encoding="utf-8"))
    model = lorvane_api.BPE(state["vocab_size"])
    model.vocab = state["vocab"]
    model.merge_rank = {int(key): rank for key, rank in state["merge_rank"].items()}
    model.token_to_id = state["token_to_id"]
    return model


def main():
    with tempfile.TemporaryDirectory() as tmp:
        corpus = pathlib.Path(tmp) / "corpus.txt"
        corpus.write_text(TEXT * 20, encoding="utf-8")
        model = lorvane_api.BPE(300)
        model.train_fromfile(str(corpus), 0)  # draws progress bars on standard output
        target = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(tmp) / "model.json"
        save(model, target)
        restored = load(target)
        print(f"saved {len(model.vocab)} tokens and {len(model.merge_rank)} merges to {target.name}"
              f" ({target.stat().st_size} bytes)")

    ids = model.encode(SAMPLE)
    print("ids     :", ids)
    print("decoded :", model.decode(ids))
    same_tables = (restored.vocab, restored.merge_rank, restored.token_to_id) == (
        model.vocab, model.merge_rank, model.token_to_id)
    same_results = restored.encode(SAMPLE) == ids and restored.decode(ids) == model.decode(ids)
    print("restored model has the same tables:", same_tables)
    print("restored model gives the same ids and text:", same_results)
    return 0 if same_tables and same_results else 1


if __name__ == "__main__":
    sys.exit(main())
