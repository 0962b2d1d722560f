#!/usr/bin/python3
"""Asks a process for its trace report, as another program of the same user
would: trace_client.py PID SIZE.

Connects to trace-<PID>.sock in the crash reporter's runtime folder
($XDG_RUNTIME_DIR/tolvex, or /tmp/tolvex-<uid> without a runtime folder),
sends SIZE as a 4-byte little-endian number and writes what comes back to
standard output, byte for byte. Exit status: 0 when an answer came, 2 when the
connection was refused or closed without an answer (the reason on stderr).
"""
import os
import socket
import struct
import sys


def main():
    pid, size = int(sys.argv[1]), int(sys.argv[2])
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    folder = os.path.join(runtime, "tolvex") if runtime else "/tmp/tolvex-%d" % os.geteuid()
    path = os.path.join(folder, "trace-%d.sock" % pid)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(120)
    try:
        sock.connect(path)
    except OSError as e:
        print("refused: cannot connect: %s" % e.strerror, file=sys.stderr)
        return 2
    answer = b""
    try:
        sock.sendall(struct.pack("<I", size))
        while True:
            part = sock.recv(65536)
            if not part:
                break
            answer += part
    except OSError:
        pass  # closed by the other end: no answer
    if not answer:
        print("refused: closed without an answer", file=sys.stderr)
        return 2
    sys.stdout.buffer.write(answer)
    return 0


if __name__ == "__main__":
    sys.exit(main())
