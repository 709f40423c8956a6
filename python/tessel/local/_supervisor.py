"""Run one command so that nothing it starts outlives it (Linux).

Usage: python _supervisor.py STATUS_FILE PARENT_PID COMMAND [ARG ...]

The supervisor makes itself a child subreaper (prctl PR_SET_CHILD_SUBREAPER):
a process the command starts stays a descendant of the supervisor even when
its own parent exits or it leaves the session (setsid, double fork), so it
can always be found under /proc. When the command ends, the supervisor writes
its exit status to STATUS_FILE (the text of a `Popen.returncode`: negative for
a signal), then kills and reaps every descendant still there. SIGTERM, also
sent when the parent PARENT_PID dies (PR_SET_PDEATHSIG), kills the command
and all its descendants the same way, without a status.

This file is run by path and uses only the standard library.
"""

from __future__ import annotations

import ctypes
import os
import signal
import subprocess
import sys
import time

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36


def _prctl(option: int, value: int) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(option, value, 0, 0, 0) != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"prctl({option}): {os.strerror(error)}")


def descendants(root: int) -> list[int]:
    """The pids of every process below `root`, zombies included, read from /proc."""
    children: dict[int, list[int]] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as stat:
                # "pid (comm) state ppid ...": comm may hold spaces and parentheses.
                ppid = int(stat.read().rsplit(b")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue  # ended while we looked
        children.setdefault(ppid, []).append(int(entry))
    found, pending = [], [root]
    while pending:
        below = children.get(pending.pop(), [])
        found += below
        pending += below
    return found


def _kill_descendants() -> None:
    """Kill and reap everything below this process, until nothing is left.

    Each round kills what it finds; a process forked meanwhile is found in the
    next one, and orphans come to this subreaper, which reaps them.
    """
    while pids := descendants(os.getpid()):
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        while True:
            try:
                reaped, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if reaped == 0:
                time.sleep(0.005)
                break


def _terminated(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


def main(argv: list[str]) -> int:
    status_file, parent, command = argv[1], int(argv[2]), argv[3:]
    _prctl(PR_SET_CHILD_SUBREAPER, 1)
    signal.signal(signal.SIGTERM, _terminated)
    _prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != parent:
        return 1  # the parent is already gone
    try:
        try:
            child = subprocess.Popen(command)
        except OSError as error:
            print(f"cannot start {command[0]}: {error.strerror}", file=sys.stderr)
            return 1
        code = child.wait()
        with open(status_file, "w", encoding="ascii") as status:
            status.write(str(code))
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        _kill_descendants()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
