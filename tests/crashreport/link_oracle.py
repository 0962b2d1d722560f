"""The helper link's frames (the exception box's among them) as Python's struct packs them.

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
    ("report-begin", frame(80, u32(5), u8(2), text("std::runtime_error"),
                           text("Zugriff verweigert.\r\nNächste Zeile"), u8(1), u8(3),
                           u32(0x4ab7), text("/usr/bin/tolvex"), text("tolvex --portable"),
                           text("/usr/bin/"), u32(12), u8(0), u8(1),
                           text("TPF0\x00settings"))),
    ("report-field", frame(81, u32(5), text("callstack crc"), text("$42d22d5b, $2acd9baa"))),
    ("report-section", frame(82, u32(5), u8(1), text("main thread ($4ab7)"),
                             text("00007fabed8a3f16 +3e  libc.so.6\r\n>> created by x"))),
    ("report-complete", frame(83, u32(5), text("date/time : 2026\r\n\r\nmodules:\r\n."))),
    ("show-details", frame(84, u32(0xFFFFFFFF))),
    ("close-box", frame(85, u32(5))),
    ("handlers-answer", frame(86, u32(5), u32(77), u8(1))),
    ("box-owner", frame(87, u32(5), struct.pack("<Q", 0x0460000B), u8(1))),
    ("display-mode", frame(96, u32(5), u32(1920), u32(1080), u32(24))),
    ("fire-handlers", frame(97, u32(5), u32(77), u8(1), u8(13))),
    ("verdict", frame(98, u32(5), u8(1))),
    ("assistant-output", frame(128, u32(5), text("contact name"), u8(0), text("Jörg"))),
    ("setting-changed", frame(129, u32(5), text("MailFrom"), text("a@example.org"))),
    ("attach-screenshot", frame(130, u32(5), u8(0))),
]

if __name__ == "__main__":
    for name, data in CASES:
        print(name, data.hex())
