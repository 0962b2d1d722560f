#!/usr/bin/python3
"""Independent reading of address expressions, for the engine's tests.

Follows the rules word for word: blanks are removed first, the text is cut
at "." and each part at ",", keeping a final "," in the last piece. Reads one
expression per line from stdin; for each prints a line
    valid count v0 v1 ... (addresses at the probe indexes, dotted)
The probe indexes are 0, count-1 and (j * 2654435761) % count for j in 1..8.
"""
import re
import sys

DIGITS = re.compile(r"[0-9]+")


def num(text):
    return int(text) if DIGITS.fullmatch(text) else -1


def parse_range(text):
    if "-" in text:
        i = text.index("-")
        low, high = num(text[:i]), num(text[i + 1:])
    else:
        low = high = num(text)
    if high < low:
        high = low
    return (low, high) if 0 <= low <= 255 and 0 <= high <= 255 else None


def parse_part(text):
    pieces = []
    while True:
        i = text.find(",")
        if i < 0 or i == len(text) - 1:
            pieces.append(text)
            break
        pieces.append(text[:i])
        text = text[i + 1:]
    ranges = []
    for p in pieces:
        r = parse_range(p)
        if r:
            ranges.append(r)
    return ranges


def values(ranges):
    out = []
    for low, high in ranges:
        out.extend(range(low, high + 1))
    return out


def valid(text):
    tail = text.rstrip(" \t")
    return (text != "" and text.count(".") == 3 and tail != "" and tail[-1] not in ",-."
            and all(c in "0123456789,-. \t" for c in text))


def main():
    for line in sys.stdin:
        text = line.rstrip("\n")
        squeezed = text.replace(" ", "").replace("\t", "")
        parts = squeezed.split(".")
        lists = [values(parse_part(parts[k])) if k < len(parts) else [] for k in range(4)]
        counts = [len(v) for v in lists]
        count = counts[0] * counts[1] * counts[2] * counts[3]
        row = ["1" if valid(text) else "0", str(count)]
        if count:
            probes = [0, count - 1] + [(j * 2654435761) % count for j in range(1, 9)]
            for index in probes:
                octets = []
                for k in range(3, -1, -1):
                    index, pos = divmod(index, counts[k])
                    octets.append(lists[k][pos])
                row.append(".".join(str(o) for o in reversed(octets)))
        print(" ".join(row))


main()
