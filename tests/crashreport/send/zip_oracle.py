#!/usr/bin/python3
"""Checks a zip archive with Python's zipfile and Info-ZIP's unzip -t.

Usage: zip_oracle.py <archive> <name>=<file> ...

The archive holds exactly these names, in this order, each with the bytes of
its file; zipfile's CRC test and unzip -t find nothing wrong. Prints what
differs and exits 1 when anything does.
"""
import subprocess
import sys
import zipfile

errors = []
archive = sys.argv[1]
want = [a.split("=", 1) for a in sys.argv[2:]]
with zipfile.ZipFile(archive) as z:
    bad = z.testzip()
    if bad is not None:
        errors.append("bad CRC in %s" % bad)
    names = z.namelist()
    if names != [n for n, _ in want]:
        errors.append("names %r, want %r" % (names, [n for n, _ in want]))
    for name, path in want:
        if name in names and z.read(name) != open(path, "rb").read():
            errors.append("%s differs from %s" % (name, path))
test = subprocess.run(["unzip", "-t", archive], capture_output=True, text=True)
if test.returncode != 0:
    errors.append("unzip -t: %s" % test.stdout)
for e in errors:
    print(e)
sys.exit(1 if errors else 0)
