#!/usr/bin/python3
"""Reads a mail with Python's email package and checks it against a spec.

Usage: mime_oracle.py <message file> <spec.json>

The spec (every key optional):
  to, from, reply_to   [[display name, address], ...] as email.utils reads them
  subject              the decoded subject
  raw_subject          the Subject header's value as it is on the wire
  charset, encoding    of the text part
  body                 the decoded text of the text part (line ends as "\n")
  attachments          [{"name": ..., "type": ..., "file": path}, ...]: each
                       part's decoded file name, content type, and its decoded
                       bytes equal to the file's

Besides: no defects found by the parser, a 7-bit header, CR LF line ends
only, no line over 998 bytes, base64 lines of at most 76 characters, a Date
that parses, a Message-ID of the form <16 hex digits@kelExcept>. Prints what
differs and exits 1 when anything does.
"""
import email
import json
import re
import sys
from email import policy
from email.utils import getaddresses, parsedate_to_datetime

raw = open(sys.argv[1], "rb").read()
spec = json.load(open(sys.argv[2], encoding="utf-8"))
errors = []


def check(what, got, want):
    if got != want:
        errors.append("%s: got %r, want %r" % (what, got, want))


head = raw.split(b"\r\n\r\n", 1)[0]
if any(b > 127 for b in head):
    errors.append("8-bit bytes in the header")
if raw.count(b"\n") != raw.count(b"\r\n") or raw.count(b"\r") != raw.count(b"\r\n"):
    errors.append("a line end other than CR LF")
for line in raw.split(b"\r\n"):
    if len(line) > 998:
        errors.append("a line of %d bytes" % len(line))

msg = email.message_from_bytes(raw, policy=policy.default)
wire = email.message_from_bytes(raw)  # compat32: header values as on the wire
for key, header in (("to", "To"), ("from", "From"), ("reply_to", "Reply-To")):
    if key in spec:
        check(header, [list(a) for a in getaddresses([str(msg[header])])], spec[key])
if "subject" in spec:
    check("Subject", str(msg["Subject"]), spec["subject"])
if "raw_subject" in spec:
    check("raw Subject", wire["Subject"], spec["raw_subject"])
if msg["Bcc"] is not None:
    errors.append("a Bcc header")
try:
    parsedate_to_datetime(str(msg["Date"]))
except Exception as e:  # noqa: BLE001 - any failure to parse is the finding
    errors.append("Date %r: %s" % (msg["Date"], e))
if not re.fullmatch(r"<[0-9a-f]{16}@kelExcept>", str(msg["Message-ID"])):
    errors.append("Message-ID %r" % msg["Message-ID"])
check("MIME-Version", str(msg["MIME-Version"]), "1.0")
check("type", msg.get_content_type(), "multipart/mixed")
if msg.defects:
    errors.append("defects %r" % msg.defects)

parts = list(msg.iter_parts())
text = parts[0] if parts else None
if text is not None:
    check("text type", text.get_content_type(), "text/plain")
    if "charset" in spec:
        check("charset", text.get_content_charset(), spec["charset"])
    if "encoding" in spec:
        check("encoding", text["Content-Transfer-Encoding"], spec["encoding"])
    if "body" in spec:
        check("body", text.get_content().replace("\r\n", "\n"), spec["body"])
for part in parts:
    if part.defects:
        errors.append("part defects %r" % part.defects)
    if part["Content-Transfer-Encoding"] == "base64":
        for line in part.get_payload(decode=False).splitlines():
            if len(line) > 76:
                errors.append("a base64 line of %d characters" % len(line))
                break
want_attachments = spec.get("attachments")
if want_attachments is not None:
    check("attachment count", len(parts) - 1, len(want_attachments))
    for part, want in zip(parts[1:], want_attachments):
        check("file name", part.get_filename(), want["name"])
        check("content type of " + want["name"], part.get_content_type(), want["type"])
        check("disposition", part.get_content_disposition(), "attachment")
        if part.get_payload(decode=True) != open(want["file"], "rb").read():
            errors.append("the bytes of %s differ from its file" % want["name"])
for e in errors:
    print(e)
sys.exit(1 if errors else 0)
