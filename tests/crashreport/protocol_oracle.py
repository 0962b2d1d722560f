"""The exception box's frames of the helper link as Python's struct packs them.

  protocol_oracle.py   prints "name hex" per case: the whole frame on the
                       wire, u32 body length, u16 type and the fields,
                       little-endian, texts as u32 length + UTF-8.
"""
import struct

from link_oracle import frame, text, u8, u32

CASES = [
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

for name, data in CASES:
    print(name, data.hex())
