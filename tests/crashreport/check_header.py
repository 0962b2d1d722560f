#!/usr/bin/python3
"""Checks a bug report against the system it was made on.

check_header.py PROGRAM [ARG...] runs the program, which prints one bug report
on its standard output, and compares the report's header with what this
system says: the computer name (uname), the operating system (/etc/os-release
and the kernel release), the processors (nproc and /proc/cpuinfo), the memory
(/proc/meminfo), the process id (the child this script started), the
executable and its command line, and the version (the program's version note,
read with objcopy). It also checks the layout: CR LF between lines, header
names padded to the longest name plus one, then ": ", values on one line;
sections after an empty line, titled with a colon, no trailing blanks, empty
lines written as ".".

Prints one line per failed check; exit status 0 when every check passed.
"""
import os
import pwd
import re
import struct
import subprocess
import sys
import time

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def os_release_name():
    fields = {}
    with open("/etc/os-release") as f:
        for line in f:
            if "=" in line:
                key, value = line.rstrip("\n").split("=", 1)
                fields[key] = value.strip('"')
    return fields.get("PRETTY_NAME", "")


def version_note(program):
    """FileVersion of the program's version note (owner "Tolvex", type 1)."""
    raw = subprocess.run(["objcopy", "-O", "binary", "--only-section=.note.tolvex.version",
                          program, "/dev/stdout"], capture_output=True).stdout
    if len(raw) < 12:
        return ""
    namesz, descsz, kind = struct.unpack_from("<III", raw)
    desc_at = 12 + (namesz + 3) // 4 * 4
    desc = raw[desc_at:desc_at + descsz].decode("utf-8", "replace")
    for line in desc.split("\n"):
        if line.startswith("FileVersion="):
            return line.split("=", 1)[1].strip("\0")
    return ""


def command_line(args):
    return " ".join('"%s"' % a if (a == "" or " " in a or "\t" in a) else a for a in args)


def main():
    args = sys.argv[1:]
    started = time.time()
    child = subprocess.Popen(args, stdout=subprocess.PIPE)
    out, _ = child.communicate(timeout=120)
    check(child.returncode == 0, "the program ended with status %d" % child.returncode)
    text = out.decode("utf-8")

    # --- Layout -------------------------------------------------------------
    check("\n" not in text.replace("\r\n", ""), "a line ends in LF alone")
    check("\r" not in text.replace("\r\n", ""), "a line ends in CR alone")
    check(not text.endswith("\r\n"), "a line break after the last line")
    blocks = text.split("\r\n\r\n")
    header = blocks[0].split("\r\n")
    names = []
    fields = {}
    for line in header:
        m = re.match(r"^(\S(?:.*?\S)?) +: (.*)$", line)
        check(m is not None, "not a header line: %r" % line)
        if m:
            names.append(m.group(1))
            fields[m.group(1)] = m.group(2)
    longest = max((len(n) for n in names), default=0)
    for line, name in zip(header, names):
        check(line.index(": ") == longest + 1,
              "%r is not padded to the longest name + 1" % line)
        check("  " not in line[longest + 3:], "a double blank in the value of %r" % name)
    for block in blocks[1:]:
        lines = block.split("\r\n")
        check(":" in lines[0], "a section title without a colon: %r" % lines[0])
        for line in lines[1:]:
            check(line != "", "an empty section line in %r" % lines[0])
            check(line == line.rstrip(" "), "a trailing blank in %r" % line)

    # --- Values ---------------------------------------------------------------
    uname = os.uname()
    check(fields.get("computer name") == uname.nodename,
          "computer name %r, uname says %r" % (fields.get("computer name"), uname.nodename))
    system = fields.get("operating system", "")
    check(system.startswith(os_release_name()) and system.endswith(" build " + uname.release),
          "operating system %r (os-release %r, kernel %r)" % (system, os_release_name(),
                                                              uname.release))
    user = pwd.getpwuid(os.geteuid()).pw_name + (" <admin>" if os.geteuid() == 0 else "")
    check(fields.get("user name") == user, "user name %r, expected %r" % (fields.get("user name"),
                                                                        user))
    nproc = int(subprocess.run(["nproc"], capture_output=True, text=True).stdout)
    model = ""
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    if nproc == 1:
        check(fields.get("processor") == model and "processors" not in fields,
              "processor %r, expected %r" % (fields.get("processor"), model))
    else:
        check(fields.get("processors") == "%dx %s" % (nproc, model) and "processor" not in fields,
              "processors %r, expected %dx %s" % (fields.get("processors"), nproc, model))
    with open("/proc/meminfo") as f:
        total_kb = int(re.search(r"^MemTotal:\s+(\d+) kB", f.read(), re.M).group(1))
    total_mb = (total_kb * 1024 + 0x80000) // 0x100000
    m = re.match(r"^(\d+)/(\d+) MB \(free/total\)$", fields.get("physical memory", ""))
    check(m is not None and int(m.group(2)) == total_mb and int(m.group(1)) <= total_mb,
          "physical memory %r, MemTotal is %d MB" % (fields.get("physical memory"), total_mb))
    check(fields.get("process id") == "$%x" % child.pid,
          "process id %r, the child was %d" % (fields.get("process id"), child.pid))
    check(fields.get("executable") == os.path.basename(args[0]),
          "executable %r" % fields.get("executable"))
    check(fields.get("command line") == command_line(args),
          "command line %r, expected %r" % (fields.get("command line"), command_line(args)))
    expected_version = version_note(args[0])
    if expected_version:
        check(fields.get("version") == expected_version,
              "version %r, the note says %r" % (fields.get("version"), expected_version))
    m = re.match(r"^(\d{4})-(\d\d)-(\d\d), (\d\d):(\d\d):(\d\d), (\d{1,3})ms$",
                 fields.get("date/time", ""))
    check(m is not None, "date/time %r" % fields.get("date/time"))
    if m:
        stamp = time.mktime(tuple(int(m.group(i)) for i in range(1, 7)) + (0, 0, -1))
        check(started - 2 <= stamp <= time.time() + 2, "date/time %r is not now" % m.group(0))
    # A time span ends in a blank; under a second the program's is milliseconds.
    span = r"^(\d+ milliseconds|(\d+ (day|hour|minute|second)s? ){1,2})$"
    for name in ("program up time", "system up time"):
        check(re.match(span, fields.get(name, "")) is not None, "%s %r" % (name, fields.get(name)))
    check(re.match(r"^\$[0-9a-f]{8}, \$[0-9a-f]{8}, \$[0-9a-f]{8}$",
                   fields.get("callstack crc", "")) is not None,
          "callstack crc %r" % fields.get("callstack crc"))
    check(re.match(r"^(\d+ Bytes|\d+[.,]\d\d [KMG]B)$", fields.get("free disk space", "")) is not None,
          "free disk space %r" % fields.get("free disk space"))
    for name in ("exception class", "exception message", "compiled with", "exception number"):
        check(fields.get(name, "") != "", "no %s" % name)

    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
