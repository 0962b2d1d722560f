#!/usr/bin/python3
"""Reads an exported list back with readers that know nothing of Tolvex.

usage: export_reader.py html|rtf|csv|uni|txt FILE [SEPARATOR]

Prints one line per table row (the header row first); each cell is "x"
followed by the hexadecimal bytes of its UTF-8 text, cells separated by a
blank, so that any text (line breaks, tabs, non-ASCII) comes through intact.
"""
import csv
import html.parser
import subprocess
import sys


class TableReader(html.parser.HTMLParser):
    """The texts of every th/td cell, row by row."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.rows = []
        self.cell = None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.rows.append([])
        elif tag in ("td", "th"):
            self.cell = []

    def handle_endtag(self, tag):
        if tag in ("td", "th") and self.cell is not None:
            self.rows[-1].append("".join(self.cell))
            self.cell = None

    def handle_data(self, data):
        if self.cell is not None:
            self.cell.append(data)


def read_html(text):
    reader = TableReader()
    reader.feed(text)
    reader.close()
    return reader.rows


def read_lines(text, separator):
    if not text.endswith("\r\n"):
        raise SystemExit("last line not ended by CR LF")
    lines = text[:-2].split("\r\n")
    if any("\n" in line or "\r" in line for line in lines):
        raise SystemExit("line break other than CR LF")
    return [line.split(separator) for line in lines]


def main():
    kind, name = sys.argv[1], sys.argv[2]
    if kind == "html":
        with open(name, encoding="utf-8") as f:
            rows = read_html(f.read())
    elif kind == "rtf":
        out = subprocess.run(["unrtf", "--html", name], check=True,
                             capture_output=True, text=True).stdout
        rows = read_html(out)
    elif kind == "csv":
        with open(name, encoding="utf-8", newline="") as f:
            rows = list(csv.reader(f, delimiter=sys.argv[3], strict=True))
    elif kind == "uni":
        with open(name, "rb") as f:
            rows = read_lines(f.read().decode("utf-16-le"), "\t")
    elif kind == "txt":
        with open(name, "rb") as f:
            rows = read_lines(f.read().decode("utf-8"), "\t")
    else:
        raise SystemExit("unknown kind " + kind)
    for row in rows:
        print(" ".join("x" + cell.encode("utf-8").hex() for cell in row))


main()
