#!/usr/bin/python3
"""A NetBIOS node that answers node-status requests on one address, port 137.

    netbios_responder.py ADDRESS MAC MODE NAME...

MAC is "02:11:22:33:44:55"; MODE is one of
    good       a well-formed answer: the names, the MAC and a statistics block
    short      the answer cut to 56 bytes (the name count is missing)
    toomany    the name count claims more names than the answer holds
    cutmac     the answer ends in the middle of the MAC
    otherid    a well-formed answer under another transaction id
    silent     receives and never answers
Every request received is logged to stdout, one line each.
"""
import socket
import struct
import sys


def encoded_name_end(data):
    # Length-prefixed labels from byte 12 up to the zero byte.
    at = 12
    while at < len(data) and data[at] != 0:
        at += 1 + data[at]
    return at + 1


def answer(request, mac, mode, names):
    txid = struct.unpack("!H", request[:2])[0]
    if mode == "otherid":
        txid ^= 0x0101
    name_end = encoded_name_end(request)
    question_name = request[12:name_end]
    table = b""
    for name in names:
        table += name.encode("ascii")[:15].ljust(15, b" ") + b"\x00" + b"\x04\x00"
    count = len(names) + (5 if mode == "toomany" else 0)
    rdata = bytes([count]) + table + mac + bytes(40)
    reply = struct.pack("!HHHHHH", txid, 0x8400, 0, 1, 0, 0)
    reply += question_name + struct.pack("!HHIH", 0x21, 0x01, 0, len(rdata)) + rdata
    if mode == "short":
        reply = reply[:56]
    elif mode == "cutmac":
        reply = reply[: 57 + 18 * len(names) + 3]
    return reply


def main():
    address, mac_text, mode = sys.argv[1], sys.argv[2], sys.argv[3]
    names = sys.argv[4:]
    mac = bytes(int(part, 16) for part in mac_text.split(":"))
    assert len(mac) == 6
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 137))
    print("listening", address, mode, flush=True)
    while True:
        request, peer = sock.recvfrom(2048)
        print("request", len(request), "from", peer[0], request.hex(), flush=True)
        if mode == "silent" or len(request) < 50:
            continue
        sock.sendto(answer(request, mac, mode, names), peer)


if __name__ == "__main__":
    main()
