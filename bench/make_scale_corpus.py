"""Writes a large corpus for the scale benchmark: en.txt repeated with variations until the
target size. Copy k keeps the text of copy 0 but title-cases every word whose position in its
line is k modulo 7 and appends k to every number, so later copies add new words the way more
text of the same kind would, rather than repeating the first copy exactly."""

import argparse

from corpora import vary


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("source")
    parser.add_argument("out")
    parser.add_argument("--bytes", type=float, default=2e9, help="target size (default 2e9)")
    args = parser.parse_args()
    target = int(args.bytes)
    lines = open(args.source, encoding="utf-8").read().splitlines(keepends=True)
    written = 0
    with open(args.out, "w", encoding="utf-8") as out:
        k = 0
        while written < target:
            for line in lines:
                text = vary(line, k)
                out.write(text)
                written += len(text.encode("utf-8"))
                if written >= target:
                    break
            k += 1
    print(f"{written} bytes in {k} copies")


if __name__ == "__main__":
    main()
