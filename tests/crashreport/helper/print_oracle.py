#!/usr/bin/python3
"""Reads a printed report (PDF) with poppler's pdfinfo, pdftotext and pdffonts.

Usage: print_oracle.py <file.pdf> <spec.json>

The spec: "pages" (the lines we meant to print on each page), "title" (the
document's name), "font" (part of the embedded font's name), "left", "top",
"right", "bottom" (the margins in millimetres). Checks:
  - pdftotext -layout of each page, trailing blanks and the empty lines at a
    page's end dropped, gives the lines (their leading blanks compared too,
    relative to the page's leftmost text; a run of blanks inside a line as
    one, since -layout only approximates their widths);
  - pdfinfo's page count is the number of pages meant, its Title the name;
  - every word's box (pdftotext -bbox) lies inside the margins (0.5 mm
    allowed);
  - the font is embedded and named as said.
Prints what differs and exits 1 when anything does.
"""
import json
import re
import subprocess
import sys

pdf, spec = sys.argv[1], json.load(open(sys.argv[2], encoding="utf-8"))
errors = []


def run(*args):
    return subprocess.run(args, capture_output=True, text=True, check=True).stdout


info = run("pdfinfo", pdf)
pages = int(re.search(r"^Pages:\s+(\d+)", info, re.M).group(1))
title = re.search(r"^Title:\s+(.*)$", info, re.M)
if (title.group(1) if title else None) != spec["title"]:
    errors.append("title %r, want %r" % (title and title.group(1), spec["title"]))
size = re.search(r"^Page size:\s+([\d.]+) x ([\d.]+) pts", info, re.M)
width_pt, height_pt = float(size.group(1)), float(size.group(2))

text = run("pdftotext", "-layout", pdf, "-")
page_texts = text.split("\f")
if page_texts and page_texts[-1].strip() == "":
    page_texts.pop()
if len(page_texts) != pages:
    errors.append("%d pages of text, pdfinfo says %d" % (len(page_texts), pages))


def inner(line):
    body = line.lstrip(" ")
    return line[: len(line) - len(body)] + re.sub(r" +", " ", body)


if len(page_texts) != len(spec["pages"]):
    errors.append("%d pages of text, %d meant" % (len(page_texts), len(spec["pages"])))
for number, (page, want) in enumerate(zip(page_texts, spec["pages"]), 1):
    lines = [l.rstrip() for l in page.split("\n")]
    while lines and lines[-1] == "":
        lines.pop()
    while lines and lines[0] == "":
        lines.pop(0)
    indent = min((len(l) - len(l.lstrip(" ")) for l in lines if l), default=0)
    got = [inner(l[indent:]) for l in lines]
    want = [inner(l.rstrip()) for l in want]
    while want and want[-1] == "":
        want.pop()
    if got != want:
        for i, (g, w) in enumerate(zip(got, want)):
            if g != w:
                errors.append("page %d line %d: got %r, want %r" % (number, i, g, w))
                break
        errors.append("page %d: %d lines printed, %d meant" % (number, len(got), len(want)))

mm = 72 / 25.4
bbox = run("pdftotext", "-bbox", pdf, "-")
for m in re.finditer(r'<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)', bbox):
    x0, y0, x1, y1 = (float(m.group(i)) for i in range(1, 5))
    if (x0 < (spec["left"] - 0.5) * mm or x1 > width_pt - (spec["right"] - 0.5) * mm
            or y0 < (spec["top"] - 0.5) * mm or y1 > height_pt - (spec["bottom"] - 0.5) * mm):
        errors.append("word %r at %.1f,%.1f-%.1f,%.1f pt outside the margins"
                      % (m.group(5), x0, y0, x1, y1))
        break

fonts = run("pdffonts", pdf).splitlines()[2:]
if not any(spec["font"] in f and " yes " in f for f in fonts):
    errors.append("fonts %r" % fonts)
for e in errors:
    print(e)
sys.exit(1 if errors else 0)
