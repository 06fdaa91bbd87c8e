"""Plain-Python oracle for `BPE.encode`: the straightforward rescan that defines the result.

Every pass scans the whole id sequence for the leftmost pair of lowest rank, merges that one
occurrence and starts again from the left. It costs n x m dictionary lookups, which is fine for
tests and for a small benchmark slice, and it is simple enough to be checked by reading it.

The oracle works on plain Python tables as the model's attributes return them:
    vocab        list[str]          id -> text
    merge_rank   dict[int, int]     (left << 16) | right -> rank
    token_to_id  dict[str, int]     text -> id (cut to 16 bits when used)

It returns (ids, diagnostic): the id list and the text the module writes on standard error
("" when it writes nothing). Errors the module raises are raised here with the same type;
a joined text missing from `token_to_id` carries the module's message "unordered_map::at".
"""

NO_RANK = 0xFFFFFFFF  # a pair with this rank is never merged: a strictly lower rank is needed
SPACE_MARKER = 0x0120

from console_text import EMPTY, ENCODE_UNTRAINED as UNTRAINED
MISSING_TEXT = "unordered_map::at"


class VocabIndexError(IndexError):
    """An id that names no entry of `vocab` took part in a merge."""


def code_units(text):
    """Each code point of `text` cut to its low 16 bits."""
    return [ord(ch) & 0xFFFF for ch in text]


def unit_text(unit):
    """The one-character text a code unit is looked up as; surrogate units have no UTF-8 form."""
    if 0xD800 <= unit <= 0xDFFF:
        raise RuntimeError("Invalid code point")
    return chr(unit)


def initial_ids(text, token_to_id):
    ids = []
    for unit in code_units(text):
        if unit == 0x20:
            unit = SPACE_MARKER
        found = token_to_id.get(unit_text(unit))
        if found is not None:
            ids.append(found & 0xFFFF)
    return ids


def merged_id(left, right, vocab, token_to_id):
    if left >= len(vocab) or right >= len(vocab):
        raise VocabIndexError(f"id {max(left, right)} is not below {len(vocab)}")
    joined = vocab[left] + vocab[right]
    if joined not in token_to_id:
        raise IndexError(MISSING_TEXT)
    return token_to_id[joined] & 0xFFFF


def merge_all(ids, vocab, merge_rank, token_to_id):
    """The rescan merge loop, applied to a list of ids in place; returns the list."""
    while len(ids) >= 2:
        best_rank, best_pos = NO_RANK, None
        for i in range(len(ids) - 1):
            rank = merge_rank.get((ids[i] << 16) | ids[i + 1])
            if rank is not None and rank < best_rank:
                best_rank, best_pos = rank, i
        if best_pos is None:
            break
        ids[best_pos] = merged_id(ids[best_pos], ids[best_pos + 1], vocab, token_to_id)
        del ids[best_pos + 1]
    return ids


def encode(text, vocab, merge_rank, token_to_id):
    """(ids, diagnostic) for `text`; raises as the module does."""
    if not vocab:
        return [], UNTRAINED
    if not text:
        return [], EMPTY
    ids = initial_ids(text, token_to_id)
    if not ids:
        return [], EMPTY
    return merge_all(ids, vocab, merge_rank, token_to_id), ""


def encode_model(model, text):
    """The oracle applied to the tables of a `lorvane_api.BPE`."""
    return encode(text, model.vocab, model.merge_rank, model.token_to_id)
