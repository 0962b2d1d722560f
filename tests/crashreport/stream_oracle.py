"""Settings streams as Python's struct builds and reads them.

  stream_oracle.py write <stream>   writes the case table's stream and prints
                                    one line per setting it must read back as
  stream_oracle.py write-unknown <stream>
                                    the same with a record of an unknown tag
                                    halfway
  stream_oracle.py read <stream>    prints the settings of a stream

A line is "name<TAB>kind<TAB>value" with kind text, int or bool and the value
as hex of its UTF-8 bytes (texts), decimal (int) or 0/1 (bool). Tags 6 and 12
hold Windows-1252; the five codes that code page leaves unassigned stand for
the control characters of the same number, as the system's converter has them.
"""
import struct
import sys

HEAD = b"TPF0\x0aTKelExcept\x09kelExcept"


def cp1252(raw):
    return "".join(bytes([b]).decode("cp1252", errors="ignore") or chr(b) for b in raw)


def read(data):
    """(settings, stop): stop is "end", "unknown XX" or "truncated"."""
    assert data.startswith(HEAD)
    at = len(HEAD)
    out = []

    def take(n):
        nonlocal at
        if at + n > len(data):
            raise EOFError
        piece = data[at:at + n]
        at += n
        return piece

    try:
        while True:
            n = take(1)[0]
            if n == 0:
                return out, "end"
            name = take(n).decode("latin-1")
            tag = take(1)[0]
            if tag in (2, 3, 4):
                fmt = {2: "<b", 3: "<h", 4: "<i"}[tag]
                value = ("int", struct.unpack(fmt, take(struct.calcsize(fmt)))[0])
            elif tag in (8, 9):
                value = ("bool", tag - 8)
            elif tag in (6, 7):
                raw = take(take(1)[0])
                value = ("text", cp1252(raw) if tag == 6 else raw.decode("utf-8", "replace"))
            elif tag in (12, 20):
                raw = take(struct.unpack("<I", take(4))[0])
                value = ("text", cp1252(raw) if tag == 12 else raw.decode("utf-8", "replace"))
            elif tag == 18:
                count = struct.unpack("<I", take(4))[0]
                value = ("text", take(2 * count).decode("utf-16-le", "replace"))
            else:
                return out, "unknown %02x" % tag
            out.append((name, *value))
    except EOFError:
        return out, "truncated"


def line(name, kind, value):
    text = value.encode("utf-8").hex() if kind == "text" else str(value)
    return "%s\t%s\t%s" % (name, kind, text)


def record(name, tag, payload):
    return bytes([len(name)]) + name.encode() + bytes([tag]) + payload


def short(raw):
    return bytes([len(raw)]) + raw


def long(raw):
    return struct.pack("<I", len(raw)) + raw


def wide(text):
    raw = text.encode("utf-16-le")
    return struct.pack("<I", len(raw) // 2) + raw


CP1252_ALL = bytes(range(0x20, 0x7F)) + bytes(range(0x80, 0x100))
WIDE = "Grüße \U0001F600 \u03a9 \U00010348 end"
CASES = [
    ("Int8Low", 2, struct.pack("<b", -128)),
    ("Int8High", 2, struct.pack("<b", 127)),
    ("Int16Low", 3, struct.pack("<h", -32768)),
    ("Int16High", 3, struct.pack("<h", 32767)),
    ("Int32Low", 4, struct.pack("<i", -2**31)),
    ("Int32High", 4, struct.pack("<i", 2**31 - 1)),
    ("False", 8, b""),
    ("True", 9, b""),
    ("ShortEmpty", 6, short(b"")),
    ("Short255", 6, short((CP1252_ALL * 2)[:255])),
    ("Ident", 7, short("Ident_ä".encode())),
    ("LongEmpty", 12, long(b"")),
    ("Long255", 12, long(CP1252_ALL[-255:])),
    ("Long65535", 12, long((CP1252_ALL * 300)[:65535])),
    ("WideEmpty", 18, wide("")),
    ("WideSurrogates", 18, wide(WIDE)),
    ("Wide65535", 18, wide("\u03a9" * 65534 + "!")),
    ("Utf8Empty", 20, long(b"")),
    ("Utf8", 20, long(WIDE.encode())),
    ("Utf8Long", 20, long(("x€" * 30000).encode()[:65535])),
]


def main():
    mode, path = sys.argv[1], sys.argv[2]
    records = [record(n, t, p) for n, t, p in CASES]
    if mode == "write-unknown":
        records.insert(len(records) // 2, record("Unknown", 0x15, b"\1\2\3\4"))
    if mode.startswith("write"):
        stream = HEAD + b"".join(records) + b"\0"
        with open(path, "wb") as f:
            f.write(stream)
    with open(path, "rb") as f:
        settings, stop = read(f.read())
    for s in settings:
        print(line(*s))
    print("stop\t" + stop)


main()
