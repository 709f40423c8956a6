"""Worker processes: each job of a computing worker in a process the platform can end.

A queue served in processes keeps warm worker processes, at most one per job
it runs at once. Each is a fresh interpreter (``sys.executable``, started
with `subprocess`, never a fork of the threaded platform) that imports the
worker once, from its pickled form, and then runs one job after the other,
each with the platform's environment and working directory of the moment the
job starts. Importing happens while the process waits for its first job, so
a job finds a process ready unless it was started right before.

The platform watches each running job from a thread of its own: at the
job's execution_timeout, above the memory limit (the resident memory of the
process and of everything it started) or when the platform stops, it kills
the process together with everything it started (the process leads a process
group of its own from its start) and starts a fresh one in the background.
"""

from __future__ import annotations

import logging
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
import traceback
from collections.abc import Callable
from multiprocessing.connection import Connection, Pipe, wait
from pathlib import Path
from typing import Any

from ._supervisor import descendants
from .execution import Outcome, execute, timeout_message
from .workers import ERROR, TIMEOUT_ERROR, Worker

logger = logging.getLogger("tessel.local")

DEFAULT_MEMORY_LIMIT = 4 * 1024**3

STOPPED_MESSAGE = "The job was stopped: the platform stopped while it ran"

# How often a running job is looked at (its time-out, its process, its memory),
# and every how many looks the processes it started are counted too (a scan of /proc).
_WATCH_INTERVAL = 0.05
_TREE_EVERY = 4
# How often a worker process checks that the platform is still there.
_PARENT_CHECK_INTERVAL = 1.0
_PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
_CHILD_COMMAND = "import sys; from tessel.local.processes import serve_jobs; serve_jobs(int(sys.argv[1]))"


def size_text(size: int) -> str:
    """A byte count as the messages write it: "4 GiB", "256 MiB", "1000 bytes"."""
    for unit, name in ((1024**3, "GiB"), (1024**2, "MiB")):
        if size % unit == 0:
            return f"{size // unit} {name}"
    return f"{size} bytes"


def memory_message(limit: int) -> str:
    """The message of a job stopped above its memory limit."""
    return (
        f"The job was stopped: its worker process used more than the memory limit of {size_text(limit)} "
        "per job. Raise the limit with memory_limit (bytes) of LocalPlatform or register(), or "
        "--memory-limit (MiB) of python -m tessel.local serve"
    )


def check_memory_limit(limit: Any, name: str = "memory_limit") -> None:
    """Refuse anything but a positive int (bytes) or None (no limit)."""
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or limit < 1):
        raise ValueError(f"{name} must be a positive int of bytes or None, got {limit!r}")


# -- inside a worker process ---------------------------------------------------


def serve_jobs(fd: int) -> None:
    """The life of a worker process, talking to the platform over the connection ``fd``.

    The first message holds the platform's ``sys.path``, the pickled worker and
    its content kind; each later one a job to run, answered by ("begin",
    execution_timeout) and ("end", `Outcome`).
    """
    connection = Connection(fd)
    parent = os.getppid()
    threading.Thread(target=_end_with_the_platform, args=(parent,), daemon=True).start()
    try:
        path, pickled, kind = connection.recv()
    except EOFError:
        return
    sys.path[:] = path
    worker: Worker | None = None
    broken = Outcome(ERROR, "")
    try:
        worker = pickle.loads(pickled)
    except BaseException as exc:
        broken = Outcome(ERROR, f"The worker could not be loaded in its worker process: {type(exc).__name__}: {exc}",
                         None, traceback.format_exc())

    def begin(timeout: float | None) -> None:
        connection.send(("begin", timeout))

    while True:
        try:
            content_path, directory, environment, working_directory = connection.recv()
        except EOFError:
            return
        if worker is None:
            outcome = broken
        else:
            os.environ.clear()
            os.environ.update(environment)
            try:
                os.chdir(working_directory)
            except OSError:
                pass
            outcome = execute(worker, kind, Path(content_path), Path(directory), begin)
        connection.send(("end", outcome))


def _end_with_the_platform(parent: int) -> None:
    """Kill this process and what it started once the platform is gone (it died without ending us)."""
    while os.getppid() == parent:
        time.sleep(_PARENT_CHECK_INTERVAL)
    os.killpg(0, signal.SIGKILL)


# -- in the platform -------------------------------------------------------------


def _resident(pid: int) -> int:
    """Resident memory of one process in bytes; 0 once it is gone."""
    try:
        with open(f"/proc/{pid}/statm", "rb") as statm:
            return int(statm.read().split()[1]) * _PAGE_SIZE
    except (OSError, IndexError, ValueError):
        return 0


class _WorkerProcess:
    """One warm worker process and the connection to it."""

    def __init__(self, pickled: bytes, kind: str) -> None:
        self.connection, child_end = Pipe()
        try:
            self.process = subprocess.Popen(
                [sys.executable, "-c", _CHILD_COMMAND, str(child_end.fileno())],
                pass_fds=[child_end.fileno()],
                stdin=subprocess.DEVNULL,
                process_group=0,
            )
        finally:
            child_end.close()
        self.pid = self.process.pid
        self.connection.send((list(sys.path), pickled, kind))
        self._lock = threading.Lock()
        self._ended = False
        self._looks = 0
        self._below = 0

    def alive(self) -> bool:
        """True while the process runs."""
        return not self._ended and self.process.poll() is None

    def memory(self) -> int:
        """Resident memory of the process and of everything it started, in bytes."""
        if self._looks % _TREE_EVERY == 0:
            self._below = sum(_resident(pid) for pid in descendants(self.pid))
        self._looks += 1
        return _resident(self.pid) + self._below

    def end(self) -> int:
        """Kill the process and everything in its group, reap it; its exit code (negative: a signal)."""
        with self._lock:
            if not self._ended:
                self._ended = True
                try:
                    os.killpg(self.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass  # the process and all of its group are gone already
                self.connection.close()
            return self.process.wait()


class _Stopped(Exception):
    """The processes were stopped while a job waited for one."""


class WorkerProcesses:
    """The worker processes of one registered worker.

    ``worker`` is sent to each process (it must be picklable); ``kind`` is
    the registration's content kind; ``memory_limit`` the bytes a job may
    hold resident (None: no limit).
    """

    def __init__(self, worker: Worker, kind: str, memory_limit: int | None) -> None:
        """Check that ``worker`` can travel to a process; nothing starts yet."""
        refused = "a worker run in worker processes must be a module-level function or an object of a module-level class"
        if getattr(worker, "__module__", None) == "__main__":
            raise TypeError(f"{refused}, in a module a worker process can import; {worker!r} is defined in the "
                            "main script")
        try:
            self._pickled = pickle.dumps(worker)
        except Exception as exc:
            raise TypeError(f"{refused}, which pickle can send; not {worker!r}: {exc}") from None
        check_memory_limit(memory_limit)
        self.memory_limit = memory_limit
        self._kind = kind
        self._changed = threading.Condition()
        self._idle: list[_WorkerProcess] = []
        self._busy: set[_WorkerProcess] = set()
        self._starting = 0
        # Retired: no process is kept once its job is done. Stopped: no job runs any more.
        self._retired = False
        self._stopped = False

    @property
    def stopped(self) -> bool:
        """True once `stop` was called: no job runs here any more."""
        return self._stopped

    def warm_up(self) -> None:
        """Start a process in the background unless one is idle or starting already."""
        threading.Thread(target=self._warm, name="tessel-local-warm-up", daemon=True).start()

    def retire(self) -> None:
        """End the idle processes now and the others after their job (the worker was replaced)."""
        with self._changed:
            self._retired = True
            idle, self._idle = self._idle, []
        for process in idle:
            process.end()

    def stop(self) -> None:
        """End every process, running jobs included; jobs still to come end at once."""
        with self._changed:
            self._retired = self._stopped = True
            ending = self._idle + list(self._busy)
            self._idle = []
            self._changed.notify_all()
        for process in ending:
            process.end()

    def run(
        self, content_path: Path, directory: Path, started_at: float, begin: Callable[[float | None], None]
    ) -> Outcome:
        """Run one job in a worker process and watch it until it ends.

        ``begin`` learns the job's execution_timeout; the time-out counts
        from ``started_at`` (a `time.monotonic` reading).
        """
        try:
            process = self._take()
        except _Stopped:
            return Outcome(ERROR, STOPPED_MESSAGE)
        except Exception as exc:
            logger.info("cannot start a worker process", exc_info=True)
            return Outcome(ERROR, f"The worker process could not be started: {type(exc).__name__}: {exc}")
        try:
            process.connection.send((str(content_path), str(directory), dict(os.environ), os.getcwd()))
        except OSError:
            return self._discard(process, self._death(process))
        return self._watch(process, started_at, begin)

    # -- inside -------------------------------------------------------------

    def _watch(self, process: _WorkerProcess, started_at: float, begin: Callable[[float | None], None]) -> Outcome:
        timeout: float | None = None
        while True:
            pause = _WATCH_INTERVAL
            if timeout is not None:
                pause = max(0.0, min(pause, started_at + timeout - time.monotonic()))
            try:
                ready = wait([process.connection], pause)
                if ready:
                    what, value = process.connection.recv()
                    if what == "begin":
                        begin(value)
                        timeout = value if value is not None and value > 0 else None
                        continue
                    self._release(process)
                    outcome: Outcome = value
                    return outcome
            except (EOFError, OSError):  # the process died, or `stop` ended it and closed the connection
                ready = [process.connection]
            if ready or not process.alive():
                return self._discard(process, Outcome(ERROR, STOPPED_MESSAGE) if self._stopped else self._death(process))
            if timeout is not None and time.monotonic() - started_at >= timeout:
                return self._discard(process, Outcome(TIMEOUT_ERROR, timeout_message(timeout)))
            if self.memory_limit is not None and process.memory() > self.memory_limit:
                return self._discard(process, Outcome(ERROR, memory_message(self.memory_limit)))

    def _death(self, process: _WorkerProcess) -> Outcome:
        code = process.end()
        if code < 0:
            how = f"killed by signal {-code} ({signal.Signals(-code).name})"
        else:
            how = f"exit code {code}"
        return Outcome(ERROR, f"The worker process ended without an answer: {how}")

    def _start(self) -> _WorkerProcess:
        return _WorkerProcess(self._pickled, self._kind)

    def _take(self) -> _WorkerProcess:
        """An idle process, or a new one (waiting for one being started when there is)."""
        with self._changed:
            while True:
                if self._stopped:
                    raise _Stopped
                while self._idle:
                    process = self._idle.pop()
                    if process.alive():
                        self._busy.add(process)
                        return process
                    threading.Thread(target=process.end, daemon=True).start()
                if not self._starting:
                    self._starting += 1
                    break
                self._changed.wait()
        try:
            process = self._start()
        finally:
            with self._changed:
                self._starting -= 1
                self._changed.notify_all()
        with self._changed:
            if not self._stopped:
                self._busy.add(process)
                return process
        process.end()
        raise _Stopped

    def _warm(self) -> None:
        with self._changed:
            if self._retired or self._idle or self._starting:
                return
            self._starting += 1
        try:
            process = self._start()
        except Exception:
            logger.info("cannot start a worker process", exc_info=True)
            return
        finally:
            with self._changed:
                self._starting -= 1
                self._changed.notify_all()
        with self._changed:
            if not self._retired:
                self._idle.append(process)
                self._changed.notify_all()
                return
        process.end()

    def _release(self, process: _WorkerProcess) -> None:
        with self._changed:
            self._busy.discard(process)
            if not self._retired:
                self._idle.append(process)
                self._changed.notify_all()
                return
        process.end()

    def _discard(self, process: _WorkerProcess, outcome: Outcome) -> Outcome:
        process.end()
        with self._changed:
            self._busy.discard(process)
            replace = not self._retired and not self._idle
        if replace:
            self.warm_up()
        return outcome
