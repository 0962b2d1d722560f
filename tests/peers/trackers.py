#!/usr/bin/python3
"""Fake web servers for the crash reporter's uploads: the plain multipart
upload and three bug trackers (a: FogBugz's XML API, b: Bugzilla's XML-RPC,
c: Mantis's SOAP), on loopback, with or without TLS.

Every request is read with Python's own parsers (email for multipart bodies,
urllib.parse for queries and forms, xmlrpc.client.loads for XML-RPC,
ElementTree for SOAP, whose hrefs must resolve), and reported on stdout as
JSON lines: first {"event": "ready", "port": N}, then per request
{"event": "call", "call": ..., "values": {...}, ...}. Received files are
written into --folder and their paths reported.

  --kind upload|a|b|c
  --tls-cert/--tls-key   serve HTTPS
  --status N             the submitting request (the upload, FogBugz "new",
                         "Bug.create", "mc_issue_add") answered with status N
                         (3xx with a Location)
  --secret TEXT          report whether TEXT appears in a request's URL, or
                         in anything sent over plain HTTP
  --basic USER:PASS      the upload requires HTTP Basic authentication
  --minversion N         FogBugz's <minversion> (default 1)
  --no-p2 / --no-normal  Bugzilla without priority "P2", Mantis without "normal"
  --fault CALL           that call answered with the tracker's error or fault
"""
import argparse
import base64
import email.parser
import email.policy
import json
import os
import ssl
import sys
import threading
import urllib.parse
import xml.etree.ElementTree as ET
import xmlrpc.client
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

args = None
lock = threading.Lock()
counter = [0]

# The token holds a blank: the client must write it as "%20".
ACCOUNT, PASSWORD, TOKEN = 'reporter@example.test', 'secret', 'tok 123'


def emit(**event):
    with lock:
        sys.stdout.write(json.dumps(event, sort_keys=True, ensure_ascii=False) + '\n')
        sys.stdout.flush()


def save(name, data):
    with lock:
        counter[0] += 1
        path = os.path.join(args.folder, 'received-%d-%s' % (counter[0], os.path.basename(name)))
    with open(path, 'wb') as f:
        f.write(data)
    return path


def multipart(content_type, body):
    """The fields (in order) and files of a multipart/form-data body."""
    msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
        b'Content-Type: ' + content_type.encode() + b'\r\n\r\n' + body)
    if not msg.is_multipart():
        raise ValueError('not multipart')
    fields, files = [], []
    for part in msg.iter_parts():
        name = part.get_param('name', header='content-disposition')
        filename = part.get_filename()
        payload = part.get_payload(decode=True)
        if filename is not None:
            files.append({'field': name, 'filename': filename, 'path': save(filename, payload),
                          'type': part.get_content_type()})
        else:
            charset = part.get_content_charset() or 'us-ascii'
            fields.append([name, payload.decode(charset), charset,
                           part.get('content-transfer-encoding', '')])
    return fields, files


# --- FogBugz ----------------------------------------------------------------------

FOGBUGZ_LISTS = {
    'listProjects': ('projects', 'project', [{'sProject': 'Tolvex', 'ixProject': '1'},
                                             {'sProject': 'Second Project', 'ixProject': '2'}]),
    'listAreas': ('areas', 'area', [{'sArea': 'Crash Reports', 'sProject': 'Tolvex'},
                                    {'sArea': 'Not Spam', 'sProject': 'Tolvex'},
                                    {'sArea': 'Misc', 'sProject': 'Second Project'}]),
    'listCategories': ('categories', 'category', [{'sCategory': 'Feature'},
                                                  {'sCategory': 'Bug'}]),
    'listPriorities': ('priorities', 'priority', [{'sPriority': 'Must Fix'}]),
    # Written with an escaped entity: decoded once, it is "Ben &lt;B&gt; Smith".
    'listPeople': ('people', 'person', [{'sFullName': 'Ada Lovelace'},
                                        {'sFullName': 'Ben &amp;lt;B&amp;gt; Smith'}]),
}


def fogbugz_response(inner):
    return ('<?xml version="1.0" encoding="UTF-8"?><response>%s</response>' % inner).encode()


def fogbugz(handler, method, query, body):
    if handler.path == '/api.xml':
        handler.report('GET /api.xml')
        return 200, fogbugz_response(
            '<version>8</version><minversion>%s</minversion><url>api.asp?</url>'
            % args.minversion)
    if not handler.path.startswith('/api.asp'):
        return 404, b'no such page'
    ctype = handler.headers.get('Content-Type', '')
    if method == 'POST' and ctype.startswith('multipart/form-data'):
        fields, files = multipart(ctype, body)
        values = dict((f[0], f[1]) for f in fields)
        call = 'cmd=' + values.get('cmd', '')
        handler.report(call, fields=fields, files=files)
        if values.get('token') != TOKEN:
            return 200, fogbugz_response('<error code="3">Not logged on</error>')
        if args.fault == 'new':
            return 200, fogbugz_response('<error code="9">Case not created</error>')
        return None, fogbugz_response('<case ixBug="42" operations="edit"></case>')
    if method == 'POST':
        params = urllib.parse.parse_qs(body.decode(), keep_blank_values=True)
    else:
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
    values = {k: v[0] for k, v in params.items()}
    cmd = values.get('cmd', '')
    handler.report('%s cmd=%s' % (method, cmd), query=query,
                   values={k: v for k, v in values.items() if k != 'password'})
    if cmd == 'logon':
        if values.get('email') != ACCOUNT or values.get('password') != PASSWORD:
            return 200, fogbugz_response('<error code="1">Incorrect password or username</error>')
        return 200, fogbugz_response('<token><![CDATA[%s]]></token>' % TOKEN)
    if values.get('token') != TOKEN:
        return 200, fogbugz_response('<error code="3">Not logged on</error>')
    if cmd == args.fault:
        return 200, fogbugz_response('<error code="7">%s refused</error>' % cmd)
    if cmd == 'logoff':
        return 200, fogbugz_response('')
    if cmd in FOGBUGZ_LISTS:
        outer, tag, items = FOGBUGZ_LISTS[cmd]
        xml = ''.join('<%s>%s</%s>' % (tag, ''.join('<%s><![CDATA[%s]]></%s>' % (k, v, k)
                                                   if '&' not in v else '<%s>%s</%s>' % (k, v, k)
                                                   for k, v in item.items()), tag)
                      for item in items)
        return 200, fogbugz_response('<%s>%s</%s>' % (outer, xml, outer))
    return 200, fogbugz_response('<error code="0">unknown command</error>')


# --- Bugzilla ---------------------------------------------------------------------

def bugzilla_result(method, params):
    if method == 'Bugzilla.version':
        return {'version': '5.0.4'}
    if method == 'Product.get_enterable_products':
        return {'ids': [1, 2]}
    if method == 'Product.get':
        return {'products': [
            {'id': 1, 'name': 'Tolvex',
             'components': [{'name': 'Scanner'}, {'name': 'Crash Reports'}],
             'versions': [{'name': 'unspecified'}, {'name': '2.4.1'}]},
            {'id': 2, 'name': 'Other', 'components': [{'name': 'General'}],
             'versions': [{'name': '1.0'}]}]}
    if method == 'Bug.fields':
        priorities = ['Highest', 'Normal'] if args.no_p2 else ['P1', 'P2', 'P3']
        return {'fields': [
            {'name': 'priority', 'values': [{'name': p} for p in priorities]},
            {'name': 'bug_severity', 'values': [{'name': s} for s in ['blocker', 'normal']]},
            {'name': 'op_sys', 'values': [{'name': s} for s in ['All', 'Linux', 'Other']]},
            {'name': 'rep_platform', 'values': [{'name': s} for s in ['All', 'PC']]}]}
    if method == 'Bug.create':
        return {'id': 77}
    if method == 'Bug.add_attachment':
        return {'ids': [5]}
    raise xmlrpc.client.Fault(32000, 'unknown method')


def bugzilla(handler, method, query, body):
    if handler.path != '/xmlrpc.cgi' or method != 'POST':
        return 404, b'no such page'
    params, name = xmlrpc.client.loads(body, use_builtin_types=True)
    members = params[0] if params else {}
    values, files = {}, []
    for k, v in members.items():
        if k == 'data':
            files.append({'path': save(members.get('file_name', 'data'), v)})
        elif k != 'Bugzilla_password':
            values[k] = v
    login = members.get('Bugzilla_login') == ACCOUNT and members.get('Bugzilla_password') == PASSWORD
    handler.report(name, values=values, files=files, members=list(members.keys()), login=login)
    status = None if name == 'Bug.create' else 200
    try:
        if 'Bugzilla_login' in members and not login:
            raise xmlrpc.client.Fault(300, 'The username or password you entered is not valid.')
        if name == args.fault:
            raise xmlrpc.client.Fault(51, 'There is no component named "<Crash & Burn>".')
        if name == 'Bug.add_attachment' and members.get('ids') != 77:
            raise xmlrpc.client.Fault(101, 'Bug does not exist.')
        out = xmlrpc.client.dumps((bugzilla_result(name, members),), methodresponse=True)
    except xmlrpc.client.Fault as fault:
        out = xmlrpc.client.dumps(fault, methodresponse=True)
    return status, out.encode()


# --- Mantis -----------------------------------------------------------------------

SOAP_ENV = 'http://schemas.xmlsoap.org/soap/envelope/'


def soap(inner, method):
    return ('<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="%s" '
            'xmlns:xsd="http://www.w3.org/2001/XMLSchema" '
            'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xmlns:ns1="http://futureware.biz/mantisconnect"><SOAP-ENV:Body>'
            '<ns1:%sResponse>%s</ns1:%sResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>'
            % (SOAP_ENV, method, inner, method)).encode()


def soap_fault(text):
    return ('<?xml version="1.0" encoding="UTF-8"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="%s">'
            '<SOAP-ENV:Body><SOAP-ENV:Fault><faultcode>SOAP-ENV:Client</faultcode>'
            '<faultstring>%s</faultstring></SOAP-ENV:Fault></SOAP-ENV:Body>'
            '</SOAP-ENV:Envelope>' % (SOAP_ENV, text)).encode()


def items(entries):
    return '<return>%s</return>' % ''.join(
        '<item><id>%s</id><name>%s</name></item>' % e for e in entries)


def local(tag):
    return tag.rsplit('}', 1)[-1]


def mantis(handler, method, query, body):
    if handler.path != '/api/soap/mantisconnect.php' or method != 'POST':
        return 404, b'no such page'
    root = ET.fromstring(body)
    by_id = {e.get('id'): e for e in root.iter() if e.get('id') is not None}
    unresolved = [e.get('href') for e in root.iter()
                  if e.get('href') is not None and e.get('href')[1:] not in by_id]
    call = root.find('{%s}Body' % SOAP_ENV)[0]
    name = local(call.tag)
    values, files = {}, []

    def value(e):
        if e.get('href') is not None and e.get('href')[1:] in by_id:
            target = by_id[e.get('href')[1:]]
            inner = {local(c.tag): value(c) for c in target}
            return inner.get('id', inner) if local(target.tag) != 'IssueData' else inner
        return e.text or ''
    for child in call:
        tag = local(child.tag)
        if child.get('id') is not None:
            continue  # a referenced object, reached through its href
        if tag == 'content':
            files.append({'path': save('attachment', base64.b64decode(child.text or ''))})
        elif tag != 'password':
            values[tag] = value(child)
    login = (call.findtext('username') == ACCOUNT and call.findtext('password') == PASSWORD)
    handler.report(name, values=values, files=files, unresolved=unresolved, login=login,
                   params=[local(c.tag) for c in call])
    if name != 'mc_version' and not login:
        return 500, soap_fault('Access denied')
    if name == args.fault:
        return 500, soap_fault('Project &lt;1&gt; refused the issue')
    project = call.findtext('project_id')
    if name == 'mc_version':
        return 200, soap('<return xsi:type="xsd:string">1.2.19</return>', name)
    if name == 'mc_projects_get_user_accessible':
        return 200, soap('<return><item><id>1</id><name>Tolvex</name><subprojects>'
                         '<item><id>3</id><name>Tolvex Lab</name><subprojects/></item>'
                         '</subprojects></item><item><id>2</id><name>Other</name>'
                         '<subprojects/></item></return>', name)
    if name == 'mc_enum_access_levels':
        return 200, soap(items([(10, 'viewer'), (25, 'reporter'), (55, 'developer')]), name)
    if name == 'mc_project_get_categories':
        names = ['General', 'Crash Reports'] if project == '1' else ['General']
        return 200, soap('<return>%s</return>' % ''.join('<item>%s</item>' % n for n in names),
                         name)
    if name == 'mc_project_get_versions':
        return 200, soap(items([(4, '2.4.1')] if project == '1' else []), name)
    if name == 'mc_project_get_users':
        if call.findtext('access') != '55':
            return 500, soap_fault('unexpected access level')
        return 200, soap(items([(7, 'ada')] if project == '1' else [(8, 'bob')]), name)
    if name == 'mc_enum_priorities':
        entries = [(10, 'none'), (40, 'high')] if args.no_normal else [(10, 'none'),
                                                                        (30, 'normal')]
        return 200, soap(items(entries), name)
    if name == 'mc_enum_severities':
        return 200, soap(items([(50, 'minor'), (70, 'crash')]), name)
    if name == 'mc_issue_add':
        return None, soap('<return xsi:type="xsd:integer">1234</return>', name)
    if name == 'mc_issue_attachment_add':
        if call.findtext('issue_id') != '1234':
            return 500, soap_fault('Issue does not exist')
        return 200, soap('<return xsi:type="xsd:integer">9</return>', name)
    return 500, soap_fault('unknown method')


# --- The plain upload -------------------------------------------------------------

def upload(handler, method, query, body):
    if args.basic:
        expected = 'Basic ' + base64.b64encode(args.basic.encode()).decode()
        if handler.headers.get('Authorization') != expected:
            handler.report('unauthorized', authorization=handler.headers.get('Authorization'))
            return 401, b'authentication required'
    fields, files = multipart(handler.headers.get('Content-Type', ''), body)
    handler.report('%s %s' % (method, handler.path), fields=fields, files=files,
                   sender=handler.headers.get('From'))
    return None, b'thank you'


class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *a):
        pass

    def report(self, call, **details):
        emit(event='call', call=call, agent=self.headers.get('User-Agent'), **details)

    def handle_any(self, method):
        length = int(self.headers.get('Content-Length', '0'))
        body = self.rfile.read(length) if length else b''
        path, _, query = self.path.partition('?')
        if args.secret:
            secret = args.secret.encode()
            in_url = secret in urllib.parse.unquote_to_bytes(self.path)
            in_clear = not args.tls_cert and (secret in body or secret in bytes(self.headers))
            if in_url or in_clear:
                emit(event='secret', url=in_url, clear=in_clear, path=self.path)
        self.path = path
        try:
            status, out = KINDS[args.kind](self, method, query, body)
        except Exception as error:  # a request our parsers refuse
            emit(event='bad-request', call=self.path, error=repr(error))
            status, out = 400, b'bad request'
        headers = {}
        if status is None:
            status = args.status
        if 300 <= status < 400:
            headers['Location'] = '/elsewhere'
        self.send_response(status)
        for k, v in headers.items():
            self.send_header(k, v)
        if status == 401:
            self.send_header('WWW-Authenticate', 'Basic realm="reports"')
        self.send_header('Content-Type', 'text/xml' if args.kind != 'upload' else 'text/plain')
        self.send_header('Content-Length', str(len(out)))
        self.end_headers()
        self.wfile.write(out)

    def do_GET(self):
        self.handle_any('GET')

    def do_POST(self):
        self.handle_any('POST')


KINDS = {'upload': upload, 'a': fogbugz, 'b': bugzilla, 'c': mantis}


def main():
    global args
    p = argparse.ArgumentParser()
    p.add_argument('--kind', choices=sorted(KINDS), required=True)
    p.add_argument('--folder', default='.')
    p.add_argument('--tls-cert')
    p.add_argument('--tls-key')
    p.add_argument('--status', type=int, default=200)
    p.add_argument('--secret', default='')
    p.add_argument('--basic', default='')
    p.add_argument('--minversion', default='1')
    p.add_argument('--no-p2', action='store_true')
    p.add_argument('--no-normal', action='store_true')
    p.add_argument('--fault', default='')
    args = p.parse_args()
    server = ThreadingHTTPServer(('127.0.0.1', 0), Handler)
    if args.tls_cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    emit(event='ready', port=server.server_address[1])
    server.serve_forever()


if __name__ == '__main__':
    main()
