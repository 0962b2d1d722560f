#!/usr/bin/python3
"""Reads a bug-report file as a person's tool would, without our code.

Checks that the file is UTF-8 without a byte-order mark and that every report
is ended by an empty line; splits it at the lines that begin a report
("date/time", blanks, ": "). Prints one line per report:

    <date/time>|<callstack crc>|<count or 1>|<intact>

where intact is 1 when the report's "payload" section (when it has one) holds
exactly the lines "<date/time> <k>" for k = 0, 1, ... of the count its header
field "payload lines" gives, and every header line has the "name: value" form.
Exits 1 with a message on stderr when the file's layout is broken.
"""
import re
import sys

data = open(sys.argv[1], "rb").read()
if data.startswith(b"\xef\xbb\xbf"):
    sys.exit("byte-order mark")
try:
    text = data.decode("utf-8")
except UnicodeDecodeError as e:
    sys.exit("not UTF-8: %s" % e)
if not text:
    sys.exit(0)
if not text.endswith("\r\n\r\n"):
    sys.exit("the last report is not ended by an empty line")
reports = re.split(r"\r\n\r\n(?=date/time +: )", text[:-4])
for report in reports:
    if not report.startswith("date/time"):
        sys.exit("a report that does not begin with date/time: %r" % report[:40])
    header, _, rest = report.partition("\r\n\r\n")
    fields = {}
    intact = True
    for line in header.split("\r\n"):
        m = re.match(r"^(\S.*?) +: (.*)$", line)
        if not m:
            intact = False
            continue
        fields[m.group(1)] = m.group(2)
    date = fields.get("date/time", "")
    sections = {}
    for block in rest.split("\r\n\r\n") if rest else []:
        name, _, body = block.partition("\r\n")
        sections[name.rstrip(":")] = body.split("\r\n")
    if "payload" in sections:
        want = ["%s %d" % (date, k) for k in range(int(fields.get("payload lines", "-1")))]
        intact = intact and sections["payload"] == want
    print("%s|%s|%s|%d" % (date, fields.get("callstack crc", ""), fields.get("count", "1"),
                           1 if intact else 0))
