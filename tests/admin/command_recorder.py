#!/usr/bin/python3
# The program of the command tests: writes what it was started with as JSON
# to the file named by TOLVEX_RECORD_TO (written aside, then renamed, so a
# reader never sees half of it): its arguments, working folder, open
# descriptors, what descriptor 0 is, its session and process ids.
import json
import os
import sys

fds = []
for fd in range(0, 4096):
    try:
        os.fstat(fd)
    except OSError:
        continue
    fds.append(fd)
try:
    stdin = os.readlink("/proc/self/fd/0")
except OSError:
    stdin = ""
record = {
    "argv": sys.argv[1:],
    "cwd": os.getcwd(),
    "fds": fds,
    "stdin": stdin,
    "pid": os.getpid(),
    "sid": os.getsid(0),
}
target = os.environ["TOLVEX_RECORD_TO"]
with open(target + ".part", "w", encoding="utf-8") as out:
    json.dump(record, out)
os.rename(target + ".part", target)
