"""The helper link's frames as Python's struct packs them.

  link_oracle.py   prints "name hex" per case: the whole frame on the wire,
                   u32 body length, u16 type and the fields, little-endian,
                   texts as u32 length + UTF-8.
"""
import struct


def text(s):
    b = s.encode("utf-8")
    return struct.pack("<I", len(b)) + b


def frame(kind, *fields):
    body = struct.pack("<H", kind) + b"".join(fields)
    return struct.pack("<I", len(body)) + body


u8 = lambda v: struct.pack("<B", v)
u32 = lambda v: struct.pack("<I", v)
i32 = lambda v: struct.pack("<i", v)
i64 = lambda v: struct.pack("<q", v)

CASES = [
    ("hello", frame(1, u32(1), u32(4242), text("/usr/lib/tolvex/tolvex"))),
    ("settings", frame(16, text("TPF0\x0aTKelExcept\x09kelExcept\x00"))),
    ("alert-new", frame(32, u32(7), text("Sending bug report..."), text("KEISEND32"))),
    ("alert-show", frame(33, u32(7), u8(1))),
    ("alert-title", frame(34, u32(7), text("Übertragung läuft – 送信"))),
    ("alert-area", frame(35, u32(7), text("Connecting to server..."), i64(-(1 << 40)))),
    ("alert-clear", frame(36, u32(0xFFFFFFFF))),
    ("alert-set-area", frame(37, u32(7), i32(-3))),
    ("alert-position", frame(38, u32(7), i32(1000))),
    ("alert-close", frame(39, u32(7))),
    ("alert-release", frame(40, u32(7))),
    ("screenshot-request", frame(64, u32(99), u8(1), u32(31337))),
    ("screenshot-taken", frame(65, u32(99), u8(0), u32(0), u32(0),
                               text("screenshot: not available (no X11 display)"))),
    ("empty-text", frame(34, u32(1), text(""))),
    ("save-request", frame(160, u32(5), text("date/time : now\r\n"), u8(1))),
    ("save-done", frame(161, u32(5), u8(1), text("/home/u/bugreport.kbr"))),
    ("print-request", frame(162, u32(6), text("report"))),
    ("print-done", frame(163, u32(6), u8(0))),
    ("send-request", frame(164, u32(8), text("report"), u32(99), u8(0), u8(1), text("TPF0"))),
    ("send-done", frame(165, u32(8), u8(3))),
    ("restart-request", frame(166, u32(9), u32(3), i64(1), i64(-2), i64(1 << 50))),
    ("restart-request-none", frame(166, u32(10), u32(0))),
    ("restart-ready", frame(167, u32(9), u8(1))),
    ("clip-request", frame(168, u32(11), text("date/time : now\r\n"))),
    ("clip-done", frame(169, u32(11), u8(0))),
]

if __name__ == "__main__":
    for name, data in CASES:
        print(name, data.hex())
