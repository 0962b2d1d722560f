"""Speaks the report's frames to the real crash report helper, as the program
would, with Python's socket and struct.

  helper_peer.py HELPER SETTINGS-FILE SCENARIO

starts HELPER with one end of a socket pair as descriptor 3 (offscreen),
greets it, and runs SCENARIO; prints one line per frame the helper sends
("hello", "display W H BITS", "fire KIND CODE", "verdict V") and at the end
"exit CODE" with the helper's exit status.

  countdown   a report whose settings close the box after a second: the box
              shows, the countdown runs out, the helper answers the verdict
  rounds      the same, with its fields and sections; each handler round the
              helper asks for is answered "not handled"
  stray       a field for a report never begun: the helper must close
"""
import os
import socket
import struct
import subprocess
import sys


def text(s):
    b = s if isinstance(s, bytes) else s.encode("utf-8")
    return struct.pack("<I", len(b)) + b


def frame(kind, *fields):
    body = struct.pack("<H", kind) + b"".join(fields)
    return struct.pack("<I", len(body)) + body


u8 = lambda v: struct.pack("<B", v)
u32 = lambda v: struct.pack("<I", v)


class Peer:
    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def read(self):
        """The next frame (type, fields) or None at the end of the stream."""
        while True:
            if len(self.buf) >= 4:
                (n,) = struct.unpack_from("<I", self.buf)
                if len(self.buf) >= 4 + n:
                    body = self.buf[4:4 + n]
                    self.buf = self.buf[4 + n:]
                    return struct.unpack_from("<H", body)[0], body[2:]
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                return None
            self.buf += chunk


def main():
    helper, settings_file, scenario = sys.argv[1:4]
    settings = open(settings_file, "rb").read()
    mine, theirs = socket.socketpair()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    # Python's descriptors are not inherited; the one made descriptor 3 in
    # the child is (dup2 clears close-on-exec).
    proc = subprocess.Popen([helper], close_fds=False, env=env,
                            preexec_fn=lambda: os.dup2(theirs.fileno(), 3))
    theirs.close()
    mine.settimeout(20)
    peer = Peer(mine)
    peer.send(frame(1, u32(1), u32(os.getpid()), text("/usr/bin/tolvex")))
    report = 7
    if scenario == "stray":
        peer.send(frame(81, u32(99), text("exception class"), text("x")))
    else:
        peer.send(frame(80, u32(report), u8(0), text("std::runtime_error"), text("boom"),
                        u8(1), u8(0), u32(os.getpid()), text("/usr/bin/tolvex"),
                        text("tolvex"), text("/usr/bin/"), u32(1), u8(0), u8(0),
                        text(settings)))
        if scenario == "rounds":
            peer.send(frame(81, u32(report), text("exception class"), text("std::runtime_error")))
            peer.send(frame(82, u32(report), u8(1), text("main thread ($1)"),
                            text("00007fabed8a3f16 +3e  libc.so.6  wait")))
            peer.send(frame(84, u32(report)))
            peer.send(frame(83, u32(report), text("the report")))
    while True:
        f = peer.read()
        if f is None:
            break
        kind, fields = f
        if kind == 1:
            print("hello")
        elif kind == 96:
            _, w, h, bits = struct.unpack("<IIII", fields)
            print("display", w, h, bits)
        elif kind == 97:
            _, request, k, code = struct.unpack("<IIBB", fields)
            print("fire", k, code)
            peer.send(frame(86, u32(report), u32(request), u8(0)))
        elif kind == 98:
            r, v = struct.unpack("<IB", fields)
            print("verdict", v if r == report else "wrong report")
            mine.shutdown(socket.SHUT_WR)
        else:
            print("frame", kind)
        sys.stdout.flush()
    print("exit", proc.wait(timeout=20))


main()
