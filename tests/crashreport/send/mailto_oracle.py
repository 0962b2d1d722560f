#!/usr/bin/python3
"""Reads a mailto URL (RFC 6068) with urllib and checks it against a spec.

Usage: mailto_oracle.py <file holding the URL> <spec.json>

The spec (every key optional):
  to          [address, ...]: the addresses of the path and of "to=" fields
  subject     the decoded subject
  body        the decoded body
  body_prefix the decoded body is a non-empty prefix of this text
  length      the URL's length in characters
  strict      true: every character not in a "%XX" escape is a letter, a
              digit, "." or "@" (and the URL's own ":", "?", "&", "=", and ","
              between the addresses)
  attach      [{"name": ..., "file": path}, ...]: the "attach=" fields in
              order, each naming an existing file of this name whose bytes
              equal the given file's

Besides: the scheme is mailto, every "%" begins an escape of two hex digits,
and every field decodes as UTF-8. Prints what differs and exits 1 when
anything does.
"""
import json
import os
import re
import sys
from urllib.parse import unquote_to_bytes

url = open(sys.argv[1], encoding="utf-8").read()
spec = json.load(open(sys.argv[2], encoding="utf-8"))
errors = []


def check(what, got, want):
    if got != want:
        errors.append("%s: got %r, want %r" % (what, got, want)[:2000])


def decode(what, raw):
    try:
        return unquote_to_bytes(raw).decode("utf-8")
    except UnicodeDecodeError as e:
        errors.append("%s is not UTF-8: %s" % (what, e))
        return ""


if not url.startswith("mailto:"):
    errors.append("not a mailto URL: %r" % url[:80])
if re.search(r"%(?![0-9A-Fa-f]{2})", url):
    errors.append("a broken escape")
if spec.get("strict"):
    head, _, tail = url.partition("?")
    head, tail = (re.sub(r"%[0-9A-F]{2}", "", t) for t in (head, tail))
    bad = re.findall(r"[^A-Za-z0-9.@:,]", head) + re.findall(r"[^A-Za-z0-9.@=&]", tail)
    if bad:
        errors.append("an unescaped character: %r" % bad[:5])
if "length" in spec:
    check("length", len(url), spec["length"])

path, _, query = url[len("mailto:"):].partition("?")
to = [decode("address", a) for a in path.split(",") if a]
fields = {}
attach = []
for item in query.split("&") if query else []:
    key, _, value = item.partition("=")
    value = decode(key, value)
    if key == "to":
        to += [a for a in value.split(",") if a]
    elif key == "attach":
        attach.append(value)
    else:
        fields[key] = value

if "to" in spec:
    check("to", to, spec["to"])
for key in ("subject", "body"):
    if key in spec:
        check(key, fields.get(key), spec[key])
if "body_prefix" in spec:
    body = fields.get("body", "")
    if not body or not spec["body_prefix"].startswith(body):
        errors.append("the body (%d characters) is no prefix of the text" % len(body))
if "attach" in spec:
    check("attachment count", len(attach), len(spec["attach"]))
    for got, want in zip(attach, spec["attach"]):
        check("attachment name", os.path.basename(got), want["name"])
        if not os.path.isfile(got):
            errors.append("attachment %s does not exist" % got)
        elif open(got, "rb").read() != open(want["file"], "rb").read():
            errors.append("attachment %s differs from %s" % (got, want["file"]))
for e in errors:
    print(e)
sys.exit(1 if errors else 0)
