"""The system's fixed console texts, written once for all Python tests: the diagnostics byte for
byte (spelling included) and the two progress bars as they must be drawn."""

import struct

MIB = 1048576

ENCODE_UNTRAINED = "[BPE::encode] model isnt trained yet !\n"
DECODE_UNTRAINED = "[BPE::decode] model isn't trained yet!\n"
EMPTY = "[error] empty \n"
MISSING = "File does not exist!\n"
NOT_REGULAR = "Not a regular file!\n"
CANT_READ = "[tokenizer trainer] : cant read the file !! \n"
TOO_LARGE = "[trainer] : vocab_size exceeds ui16 range (65535).\n"


def too_small(vocab_size):
    return (f"[trainer] : inital symbols are filled requried ({vocab_size}) size.\n"
            " so you should increase the vocab size !!\n")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def fill(done, total):
    """Cells and percent as the bars compute them: single precision, a zero total as nothing."""
    fraction = 0.0 if total == 0 else f32(f32(done) / f32(total))
    return int(f32(fraction * 50)), int(f32(fraction * 100))


def trainer_bar(current, total):
    cells, percent = fill(current, total)
    filled = min(max(cells, 0), 50)
    bar = "=" * filled + " " * (50 - filled)
    return f"\rBPE Trainer | [{bar}] {percent:3d}% ({current}/{total})"


def reading_bar(done, total, tokens):
    cells, percent = fill(done, total)
    bar = "".join("=" if i < cells else ">" if i == cells else " " for i in range(50))
    mebibytes = f"{done // MIB}/{total // MIB} MB"
    return f"\rPre-Tokenizing  | [{bar}] {percent:3d}% ({mebibytes}) Tokens: {tokens}"
