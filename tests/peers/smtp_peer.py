#!/usr/bin/python3
"""An SMTP server (aiosmtpd) for the crash reporter's mail tests and benchmark.

Every event goes to stdout as one JSON line: first {"event": "ready", "port": N},
then "ehlo"/"helo" (the greeting name), "auth" (mechanism and login, for every
AUTH the server was asked), "mail", "rcpt" and "data" (the message's bytes as
received, after the server took the dot stuffing away, written to a file whose
name the line gives).

  --tls-cert/--tls-key   the server's certificate: with --implicit-tls the
                         whole session is TLS, otherwise STARTTLS is offered
  --require-starttls     nothing but EHLO, NOOP, QUIT and STARTTLS before TLS
  --auth                 AUTH LOGIN and PLAIN offered, also in clear; the
                         account "user" with the password "secret" is taken
  --auth-mechanisms      which of them are offered (default "LOGIN PLAIN")
  --refuse-ehlo          EHLO answered with 502, so the client must say HELO
  --long-reply BYTES     EHLO answered with one line that long
  --quiet                only the ready line (for the benchmark)
"""
import argparse
import asyncio
import json
import os
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, SMTP

lock = threading.Lock()
quiet = False
implicit_tls = False


def encrypted(session):
    return implicit_tls or session.ssl is not None


def emit(**event):
    if quiet and event.get('event') != 'ready':
        return
    with lock:
        print(json.dumps(event), flush=True)


class Handler:
    def __init__(self, folder, refuse_ehlo, long_reply):
        self.folder = folder
        self.count = 0
        self.refuse_ehlo = refuse_ehlo
        self.long_reply = long_reply

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        emit(event='ehlo', name=hostname, tls=encrypted(session))
        session.host_name = hostname
        if self.refuse_ehlo:
            return ['502 EHLO not accepted here']
        if self.long_reply:
            return ['250 ' + 'x' * self.long_reply]
        return responses

    async def handle_HELO(self, server, session, envelope, hostname):
        emit(event='helo', name=hostname)
        session.host_name = hostname
        return '250 {}'.format(server.hostname)

    async def handle_MAIL(self, server, session, envelope, address, options):
        emit(event='mail', address=address, tls=encrypted(session))
        envelope.mail_from = address
        return '250 OK'

    async def handle_RCPT(self, server, session, envelope, address, options):
        emit(event='rcpt', address=address)
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        path = os.path.join(self.folder, 'message-%d.eml' % self.count) if self.folder else ''
        if path:
            with open(path, 'wb') as f:
                f.write(envelope.original_content)
        emit(event='data', file=path, size=len(envelope.original_content),
             rcpt=envelope.rcpt_tos, tls=encrypted(session))
        return '250 Message accepted'


def authenticator(server, session, envelope, mechanism, auth_data):
    login = auth_data.login.decode() if auth_data.login else ''
    ok = login == 'user' and auth_data.password == b'secret'
    emit(event='auth', mechanism=mechanism, login=login, tls=encrypted(session), ok=ok)
    return AuthResult(success=ok, handled=False)


def main():
    global quiet, implicit_tls
    p = argparse.ArgumentParser()
    p.add_argument('--listen', default='127.0.0.1')
    p.add_argument('--port', type=int, default=0)
    p.add_argument('--folder', default='')
    p.add_argument('--tls-cert')
    p.add_argument('--tls-key')
    p.add_argument('--implicit-tls', action='store_true')
    p.add_argument('--require-starttls', action='store_true')
    p.add_argument('--auth', action='store_true')
    p.add_argument('--auth-mechanisms', default='LOGIN PLAIN')
    p.add_argument('--refuse-ehlo', action='store_true')
    p.add_argument('--long-reply', type=int, default=0)
    p.add_argument('--quiet', action='store_true')
    a = p.parse_args()
    quiet = a.quiet
    implicit_tls = a.implicit_tls

    context = None
    if a.tls_cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(a.tls_cert, a.tls_key)
    kwargs = dict(server_hostname='peer.test', data_size_limit=64 * 1024 * 1024,
                  ident='tolvex test peer')
    if context and not a.implicit_tls:
        kwargs.update(tls_context=context, require_starttls=a.require_starttls)
    if a.auth:
        offered = a.auth_mechanisms.split()
        kwargs.update(authenticator=authenticator, auth_require_tls=False,
                      auth_exclude_mechanism=[m for m in ('LOGIN', 'PLAIN') if m not in offered])
    handler = Handler(a.folder, a.refuse_ehlo, a.long_reply)

    class Server(Controller):
        def factory(self):
            return SMTP(self.handler, **self.SMTP_kwargs)

    import socket
    # Pick the port first, so the ready line can name it.
    port = a.port
    if port == 0:
        s = socket.socket(socket.AF_INET6 if ':' in a.listen else socket.AF_INET)
        s.bind((a.listen, 0))
        port = s.getsockname()[1]
        s.close()
    controller = Server(handler, hostname=a.listen, port=port,
                        ssl_context=context if a.implicit_tls else None, **kwargs)
    controller.start()
    emit(event='ready', port=port)
    try:
        threading.Event().wait()
    finally:
        controller.stop()


if __name__ == '__main__':
    sys.exit(main())
