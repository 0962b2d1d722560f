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
  late-owner  the box's owner told after its report began: the helper must
              close
  save        on the X display of DISPLAY: the finished report is sent, and
              when the box has the focus, Return presses its default button
              (the settings make it save); each round is answered "not
              handled"; after the round of the report saved the link ends
  send        the same with the send button; the box's height is printed
              ("height H") when the box appears and at the send's first round;
              a second window captioned as the box ("message") is the send
              telling the user something: Return closes it, and the link ends
              two seconds after that
  upload      the same with the send button, the settings uploading to
              127.0.0.1:$PEER_HTTP_PORT, where this peer answers 200 to a POST
              and prints "upload PATH BYTES"; after the round of the report
              sent the link ends
On X, with PEER_OWNER set (an X window id), the box is begun with that
window as its owner and the beep asked for; "transient W" prints the box's
WM_TRANSIENT_FOR (0: none).
"""
import os
import socket
import struct
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, HTTPServer


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


TITLE = "Tolvex box test"
REPORT_TEXT = ("date/time          : 2026-12-09, 20:00:00\r\n"
               "exception class    : std::runtime_error\r\n"
               "exception message  : boom\r\n\r\n"
               "main thread ($1):\r\n"
               "00007fabed8a3f16 +3e  libc.so.6  wait")


def xdotool(*args):
    r = subprocess.run(["xdotool", *args], capture_output=True, text=True)
    return r.stdout.strip() if r.returncode == 0 else ""


def focused_box(timeout=15):
    """The id of the window with the X focus once it is captioned TITLE."""
    end = time.time() + timeout
    while time.time() < end:
        w = xdotool("getwindowfocus")
        if w and xdotool("getwindowname", w) == TITLE:
            return w
        time.sleep(0.1)
    return ""


def height(window):
    out = subprocess.run(["xwininfo", "-id", window], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if line.strip().startswith("Height:"):
            return int(line.split(":")[1])
    return -1


def transient_for(window):
    out = subprocess.run(["xprop", "-id", window, "WM_TRANSIENT_FOR"], capture_output=True,
                         text=True).stdout
    return int(out.split("#")[1], 0) if "#" in out else 0


def watch_message(box, peer_sock):
    """Waits for a second window captioned TITLE, closes it with Return and
    ends the link two seconds later."""
    end = time.time() + 20
    while time.time() < end:
        w = xdotool("getwindowfocus")
        if w and w != box and xdotool("getwindowname", w) == TITLE:
            print("message")
            sys.stdout.flush()
            xdotool("key", "--window", w, "Return")
            xdotool("key", "Return")
            time.sleep(2)
            peer_sock.shutdown(socket.SHUT_WR)
            return
        time.sleep(0.1)


class Upload(BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        print("upload", self.path, len(body))
        sys.stdout.flush()
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def serve_uploads():
    server = HTTPServer(("127.0.0.1", int(os.environ["PEER_HTTP_PORT"])), Upload)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def main():
    helper, settings_file, scenario = sys.argv[1:4]
    settings = open(settings_file, "rb").read()
    mine, theirs = socket.socketpair()
    on_x = scenario in ("save", "send", "upload")
    if scenario == "upload":
        serve_uploads()
    env = dict(os.environ) if on_x else dict(os.environ, QT_QPA_PLATFORM="offscreen")
    if on_x:
        env["QT_QPA_PLATFORM"] = "xcb"
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
        if on_x and os.environ.get("PEER_OWNER"):
            peer.send(frame(87, u32(report), struct.pack("<Q", int(os.environ["PEER_OWNER"], 0)),
                            u8(1)))
        peer.send(frame(80, u32(report), u8(0), text("std::runtime_error"), text("boom"),
                        u8(1), u8(0), u32(os.getpid()), text("/usr/bin/tolvex"),
                        text("tolvex"), text("/usr/bin/"), u32(1), u8(0), u8(0),
                        text(settings)))
        if scenario == "late-owner":
            peer.send(frame(87, u32(report), struct.pack("<Q", 0), u8(0)))
        if scenario == "rounds":
            peer.send(frame(81, u32(report), text("exception class"), text("std::runtime_error")))
            peer.send(frame(82, u32(report), u8(1), text("main thread ($1)"),
                            text("00007fabed8a3f16 +3e  libc.so.6  wait")))
            peer.send(frame(84, u32(report)))
            peer.send(frame(83, u32(report), text("the report")))
        if on_x:
            peer.send(frame(83, u32(report), text(REPORT_TEXT)))
    box = ""
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
            if on_x:
                box = focused_box()
                print("height", height(box) if box else "no box")
                print("transient", transient_for(box) if box else "no box")
                xdotool("key", "Return")
        elif kind == 97:
            _, request, k, code = struct.unpack("<IIBB", fields)
            print("fire", k, code)
            if scenario == "send" and (k, code) == (1, 0):
                print("height", height(box))
            if scenario == "send" and (k, code) == (1, 3):
                threading.Thread(target=watch_message, args=(box, mine), daemon=True).start()
            peer.send(frame(86, u32(report), u32(request), u8(0)))
            if (scenario, k, code) in (("save", 1, 7), ("upload", 1, 6)):
                mine.shutdown(socket.SHUT_WR)
        elif kind == 98:
            r, v = struct.unpack("<IB", fields)
            print("verdict", v if r == report else "wrong report")
            mine.shutdown(socket.SHUT_WR)
        else:
            print("frame", kind)
        sys.stdout.flush()
    print("exit", proc.wait(timeout=20))


main()
