"""A plain reference trainer: what `BPE(vocab_size).train_fromfile(path, n)` must produce.

It recounts every adjacent pair of every word before each merge, so it is slow, and it is meant
to be read, not run on large corpora. The rules:

* Pre-tokenizing: the bytes are decoded as strict UTF-8; each code point is cut to its low 16
  bits; tab, line feed, carriage return and space (after the cut) end the word and put the space
  marker U+0120 at the start of the next one; a unit 0x0000 (a NUL, or U+10000, U+20000, ...)
  ends the word. Empty words are dropped.
* Initial ids: the distinct units, ascending.
* Each merge takes the adjacent pair with the highest count over all word occurrences, the
  smaller pair key (left << 16 | right) on ties, and merges it inside every word from left to
  right without overlaps. Training stops when the vocabulary holds `vocab_size` tokens or no
  pair is left.
* `token_to_id` maps each text to its highest id.
"""

from collections import Counter

from console_text import TOO_LARGE, too_small

SPACE_MARKER = 0x0120
WHITESPACE = {0x09, 0x0A, 0x0D, 0x20}


class Refused(Exception):
    """vocab_size was refused; the message is what the trainer writes to standard error."""


def pretokenize(data):
    """The words of a corpus as tuples of 16-bit code units, in text order."""
    words = []
    current = []
    for char in data.decode("utf-8"):  # strict: raises UnicodeDecodeError on malformed input
        unit = ord(char) & 0xFFFF
        if unit in WHITESPACE:
            words.append(current)
            current = [SPACE_MARKER]
        elif unit == 0:
            words.append(current)
            current = []
        else:
            current.append(unit)
    words.append(current)
    return [tuple(word) for word in words if word]


def unit_text(unit):
    """The text of one initial symbol; a unit in the surrogate range has none."""
    if 0xD800 <= unit <= 0xDFFF:
        raise ValueError(f"Invalid code point: U+{unit:04X} has no UTF-8 form")
    return chr(unit)


def check_vocab_size(vocab_size, alphabet_size):
    # The size is compared as an unsigned number: a negative one is never "below the alphabet".
    if 0 <= vocab_size < alphabet_size:
        raise Refused(too_small(vocab_size))
    if not 0 <= vocab_size <= 65535:
        raise Refused(TOO_LARGE)


def merge_word(word, left, right, new_id):
    """`word` with every (left, right) merged into new_id, leftmost first, without overlaps."""
    out = []
    i = 0
    while i < len(word):
        if i + 1 < len(word) and word[i] == left and word[i + 1] == right:
            out.append(new_id)
            i += 2
        else:
            out.append(word[i])
            i += 1
    return tuple(out)


def train_words(words, vocab_size):
    """Trains on a list of words (tuples of code units, repeats allowed).

    Returns (vocab, merge_rank, token_to_id) as the model's attributes show them. Raises Refused
    for a refused vocab_size and ValueError for a surrogate-range symbol.
    """
    alphabet = sorted({unit for word in words for unit in word})
    check_vocab_size(vocab_size, len(alphabet))
    vocab = [unit_text(unit) for unit in alphabet]
    symbol_id = {unit: i for i, unit in enumerate(alphabet)}
    words = [tuple(symbol_id[unit] for unit in word) for word in words]

    merge_rank = {}
    while len(vocab) < vocab_size:
        counts = Counter()
        for word in words:
            for left, right in zip(word, word[1:]):
                counts[(left << 16) | right] += 1
        if not counts:
            break
        key = min(counts, key=lambda k: (-counts[k], k))
        left, right = key >> 16, key & 0xFFFF
        new_id = len(vocab)
        merge_rank[key] = len(merge_rank)
        vocab.append(vocab[left] + vocab[right])
        words = [merge_word(word, left, right, new_id) for word in words]

    token_to_id = {}
    for i, text in enumerate(vocab):
        token_to_id[text] = i
    return vocab, merge_rank, token_to_id


def train_weighted(words, vocab_size):
    """The same result as train_words, counting each distinct word once with its frequency;
    fast enough for a few hundred kilobytes of text."""
    counted = Counter(words)
    alphabet = sorted({unit for word in counted for unit in word})
    check_vocab_size(vocab_size, len(alphabet))
    vocab = [unit_text(unit) for unit in alphabet]
    symbol_id = {unit: i for i, unit in enumerate(alphabet)}
    # A word of one token has no pair and never changes again: leave it out.
    counted = {
        tuple(symbol_id[unit] for unit in word): n for word, n in counted.items() if len(word) > 1
    }

    merge_rank = {}
    while len(vocab) < vocab_size:
        counts = Counter()
        for word, n in counted.items():
            for pair in zip(word, word[1:]):
                counts[pair] += n
        if not counts:
            break
        # (left, right) tuples order as their keys (left << 16 | right) do.
        left, right = min(counts, key=lambda pair: (-counts[pair], pair))
        new_id = len(vocab)
        merge_rank[(left << 16) | right] = len(merge_rank)
        vocab.append(vocab[left] + vocab[right])
        merged = {}
        for word, n in counted.items():
            if left in word:
                word = merge_word(word, left, right, new_id)
            if len(word) > 1:
                merged[word] = n  # merging never makes two distinct words equal
        counted = merged

    token_to_id = {}
    for i, text in enumerate(vocab):
        token_to_id[text] = i
    return vocab, merge_rank, token_to_id


def train(data, vocab_size, weighted=False):
    """Trains on the bytes of a corpus file."""
    words = pretokenize(data)
    return (train_weighted if weighted else train_words)(words, vocab_size)
