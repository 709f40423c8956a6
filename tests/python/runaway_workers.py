"""A worker that misbehaves on request, for the tests of worker processes.

Importable by worker processes (a module of its own, with nothing heavy
imported), it writes its pid, and the pid of any process it starts, to the
job's "pids" file, then does what "mode" says.
"""

import os
import subprocess
import sys

HOG = "blocks = []\nwhile True:\n    blocks.append(bytearray(16 << 20))\n"


def misbehave(content):
    pids = [os.getpid()]
    child = None
    if content["mode"] == "allocate-in-child":
        child = subprocess.Popen([sys.executable, "-c", HOG])
        pids.append(child.pid)
    with open(content["pids"], "w") as out:
        out.write(" ".join(map(str, pids)))
    if content["mode"] == "spin":
        while True:
            pass
    if content["mode"] == "allocate":
        exec(HOG)
    if child is not None:
        child.wait()
    return {"pid": os.getpid()}
