#!/usr/bin/python3
"""A name server that misbehaves on purpose, for the crash reporter's DNS client.

It answers MX questions on UDP and TCP port 53 of one address. The first label
of the asked name picks what it does (every answer is made by dnspython, the
oracle of a well-formed reply, unless the case is about bytes dnspython would
never write):

  good       four MX records, preferences 20, 10, 5, 30, names compressed
  alias      a CNAME to real.<domain>, whose MX record follows
  wrongid    first a reply with another id naming evil.test, then the right one
  wrongport  first a reply from another port naming evil.test, then the right one
  notreply   first the answer without its QR bit, then the right one
  otherq     first an answer to another question, then the right one
  tc         over UDP an empty reply with TC set; over TCP the four of good
  nx         NXDOMAIN
  servfail   SERVFAIL
  nomx       no records
  nullmx     MX 0 "."
  loop       an MX name whose pointer points at itself
  forward    an MX name whose pointer points forward
  cut        the good reply cut inside its last record
  jumps32    an MX name reached through 32 pointers
  jumps33    the same through 33

Every question it receives is logged as one line "udp <name>" or "tcp <name>".
"""
import argparse
import socket
import struct
import sys
import threading

import dns.flags
import dns.message
import dns.name
import dns.rcode
import dns.rdataclass
import dns.rdatatype
import dns.rrset


def mx_rrset(owner, pairs):
    return dns.rrset.from_text_list(owner, 300, 'IN', 'MX',
                                    ['%d %s' % p for p in pairs])


def reply(query, pairs=(), owner=None):
    r = dns.message.make_response(query)
    if pairs:
        r.answer.append(mx_rrset(owner or query.question[0].name, pairs))
    return r


def good(query):
    d = query.question[0].name.parent()
    return reply(query, [(20, 'mx2.%s' % d), (10, 'mx1.%s' % d), (5, 'mx0.%s' % d), (30, 'mx3.%s' % d)])


def right(query):
    return reply(query, [(10, 'right.test.')])


def pointer_case(query, jumps):
    """The reply with one MX record whose name is 'x' reached through `jumps`
    pointers, each to the one before; the chain sits in the data of a record
    of a type the client does not read. 'self': a name pointing at itself;
    'forward': a name pointing forward."""
    chain = jumps - 1 if isinstance(jumps, int) else 0
    head = reply(query).to_wire()
    qname_end = len(head)
    # Answer count 2: the carrier record and the MX record.
    head = head[:6] + struct.pack('>H', 2) + head[8:]
    owner = b'\xc0\x0c'
    carrier = b'\x01x\x00'  # the name "x." at the start of the carrier's data
    start = qname_end + len(owner) + 10
    pointers = [start]
    for _ in range(chain):
        pointers.append(start + len(carrier))
        carrier += struct.pack('>H', 0xC000 | pointers[-2])
    packet = head + owner + struct.pack('>HHIH', 99, 1, 300, len(carrier)) + carrier
    mx_at = len(packet) + len(owner) + 10 + 2
    if jumps == 'self':
        name = struct.pack('>H', 0xC000 | mx_at)
    elif jumps == 'forward':
        name = struct.pack('>H', 0xC000 | (mx_at + 2))
    else:
        name = struct.pack('>H', 0xC000 | pointers[-1])
    rdata = struct.pack('>H', 10) + name
    return packet + owner + struct.pack('>HHIH', 15, 1, 300, len(rdata)) + rdata


def answers(query, over_tcp):
    """The datagrams (bytes) to send, in order, and for each whether it goes
    from another socket."""
    kind = query.question[0].name.labels[0].decode().lower()
    wire = lambda m: m.to_wire()
    if kind == 'good':
        return [(wire(good(query)), False)]
    if kind == 'alias':
        r = dns.message.make_response(query)
        q = query.question[0].name
        real = dns.name.from_text('real', q.parent())
        r.answer.append(dns.rrset.from_text(q, 300, 'IN', 'CNAME', real.to_text()))
        r.answer.append(mx_rrset(real, [(5, 'mx.' + q.parent().to_text())]))
        return [(wire(r), False)]
    if kind == 'wrongid':
        bad = reply(query, [(1, 'evil.test.')])
        bad.id ^= 0x5A5A
        return [(wire(bad), False), (wire(right(query)), False)]
    if kind == 'wrongport':
        return [(wire(reply(query, [(1, 'evil.test.')])), True), (wire(right(query)), False)]
    if kind == 'notreply':
        bad = reply(query, [(1, 'evil.test.')])
        bad.flags &= ~dns.flags.QR
        return [(wire(bad), False), (wire(right(query)), False)]
    if kind == 'otherq':
        other = dns.message.make_query('other.test.', 'MX')
        other.id = query.id
        return [(wire(reply(other, [(1, 'evil.test.')])), False), (wire(right(query)), False)]
    if kind == 'tc':
        if over_tcp:
            return [(wire(good(query)), False)]
        r = dns.message.make_response(query)
        r.flags |= dns.flags.TC
        return [(wire(r), False)]
    if kind in ('nx', 'servfail'):
        r = dns.message.make_response(query)
        r.set_rcode(dns.rcode.NXDOMAIN if kind == 'nx' else dns.rcode.SERVFAIL)
        return [(wire(r), False)]
    if kind == 'nomx':
        return [(wire(reply(query)), False)]
    if kind == 'nullmx':
        return [(wire(reply(query, [(0, '.')])), False)]
    if kind == 'loop':
        return [(pointer_case(query, 'self'), False)]
    if kind == 'forward':
        return [(pointer_case(query, 'forward'), False)]
    if kind == 'cut':
        return [(wire(good(query))[:-3], False)]
    if kind.startswith('jumps'):
        return [(pointer_case(query, int(kind[5:])), False)]
    return [(wire(dns.message.make_response(query)), False)]


def log(text):
    print(text, flush=True)


def serve_udp(sock, other):
    while True:
        data, peer = sock.recvfrom(65535)
        try:
            query = dns.message.from_wire(data)
        except Exception as e:  # a test's own client sent this: say so
            log('bad query: %s' % e)
            continue
        log('udp %s' % query.question[0].name)
        for packet, from_other in answers(query, False):
            (other if from_other else sock).sendto(packet, peer)


def serve_tcp(listener):
    while True:
        conn, _ = listener.accept()
        with conn:
            head = conn.recv(2, socket.MSG_WAITALL)
            if len(head) < 2:
                continue
            data = conn.recv(struct.unpack('>H', head)[0], socket.MSG_WAITALL)
            query = dns.message.from_wire(data)
            log('tcp %s' % query.question[0].name)
            for packet, _ in answers(query, True):
                conn.sendall(struct.pack('>H', len(packet)) + packet)


def main():
    p = argparse.ArgumentParser()
    p.add_argument('--listen', required=True)
    p.add_argument('--port', type=int, default=53)
    a = p.parse_args()
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((a.listen, a.port))
    other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    other.bind((a.listen, 0))
    tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind((a.listen, a.port))
    tcp.listen(8)
    threading.Thread(target=serve_tcp, args=(tcp,), daemon=True).start()
    serve_udp(udp, other)


if __name__ == '__main__':
    sys.exit(main())
