#!/usr/bin/python3
"""Python's email package as the oracle of the crash reporter's mail tests.

  compose OUT ATTACHMENT   writes a multipart message (policy SMTP, CR LF line
                           ends) whose text has lines starting with "." and
                           whose attachment is the file's bytes
  check RECEIVED ATTACHMENT  parses a received message: prints "ok" when its
                           text part and its attachment are those of compose,
                           else what differs
"""
import email
import email.policy
import sys
from email.message import EmailMessage

TEXT = ('A bug report.\n.\n.hidden line\n..two dots\n. blank after a dot\n'
        'the end\n')


def compose(out, attachment):
    m = EmailMessage(policy=email.policy.SMTP)
    m['From'] = 'kelExcept <sender@example.test>'
    m['To'] = 'dev@example.test'
    m['Subject'] = 'bug report'
    m.set_content(TEXT)
    with open(attachment, 'rb') as f:
        m.add_attachment(f.read(), maintype='application', subtype='zip',
                         filename='bugreport.zip')
    with open(out, 'wb') as f:
        f.write(m.as_bytes())


def check(received, attachment):
    with open(received, 'rb') as f:
        m = email.message_from_binary_file(f, policy=email.policy.default)
    parts = list(m.iter_parts())
    if len(parts) != 2:
        return 'parts: %d' % len(parts)
    text = parts[0].get_content().replace('\r\n', '\n')
    if text != TEXT:
        return 'text: %r' % text
    with open(attachment, 'rb') as f:
        if parts[1].get_content() != f.read():
            return 'attachment differs'
    if parts[1].get_filename() != 'bugreport.zip':
        return 'file name: %r' % parts[1].get_filename()
    return 'ok'


if __name__ == '__main__':
    if sys.argv[1] == 'compose':
        compose(sys.argv[2], sys.argv[3])
    else:
        print(check(sys.argv[2], sys.argv[3]))
