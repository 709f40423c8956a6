"""Helpers for testing analyses without waiting for the polling pauses.

``execute`` sleeps 0.5 s after starting a job and then between polls, and
bounds the polling by the wall clock. Both go through the ``time`` module as
a global of the module that runs the job (``tessel.external.offload_task``
for every ``OffloadTask``, ``tessel._jobs`` for ``PythonAnalysis`` and
``TressaAnalysis``), so a test replaces that global:

* :func:`fake_clock` (fixture ``fake_clock``): no real time passes; sleeping
  advances a fake wall clock. For tests whose HTTP answers are mocked (for
  instance with ``responses``): they run instantly, and a time-out is reached
  after the polls that fit into it.
* :func:`short_pauses` (fixture ``short_pauses``): the real clock, with every
  pause cut to a few milliseconds. For tests against the local platform
  (fixture ``local_platform``), whose workers run in real time.

Both fixtures come with the pytest plugin of this package; nothing else is
needed than ``pip install tessel-external``.
"""

from __future__ import annotations

import importlib
import time as _time
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from typing import Protocol
from unittest import mock

__all__ = ["FakeClock", "ShortPauses", "fake_clock", "short_pauses", "JOB_MODULES"]

#: The modules whose ``time`` global paces a job.
JOB_MODULES = ("tessel.external.offload_task", "tessel._jobs")


class Clock(Protocol):
    """What the job modules use of ``time``."""

    def time(self) -> float: ...

    def sleep(self, seconds: float) -> None: ...


class FakeClock:
    """Stands in for the ``time`` module: sleeping advances the wall clock.

    ``now`` is the current fake time; ``sleeps`` lists every pause asked for,
    in order (the 0.5 s after the start, then one per poll that found the
    job still running).
    """

    def __init__(self, start: float = 1000.0) -> None:
        self.now = start
        self.sleeps: list[float] = []

    def time(self) -> float:
        """The fake wall clock, in seconds."""
        return self.now

    def sleep(self, seconds: float) -> None:
        """Record the pause and move the clock on by it, at once."""
        self.sleeps.append(seconds)
        self.now += seconds


class ShortPauses:
    """The real clock, with every pause cut to at most ``longest`` seconds.

    ``sleeps`` lists the pauses asked for, as with :class:`FakeClock`.
    """

    def __init__(self, longest: float = 0.005) -> None:
        self.longest = longest
        self.sleeps: list[float] = []

    def time(self) -> float:
        """The real wall clock, in seconds."""
        return _time.time()

    def sleep(self, seconds: float) -> None:
        """Record the pause and sleep for at most ``longest`` seconds."""
        self.sleeps.append(seconds)
        _time.sleep(min(seconds, self.longest))


@contextmanager
def _clock_in_job_modules(clock: Clock) -> Iterator[None]:
    with ExitStack() as stack:
        for name in JOB_MODULES:
            stack.enter_context(mock.patch.object(importlib.import_module(name), "time", clock))
        yield


@contextmanager
def fake_clock(start: float = 1000.0) -> Iterator[FakeClock]:
    """Run the block with a :class:`FakeClock` as the job modules' ``time``."""
    clock = FakeClock(start)
    with _clock_in_job_modules(clock):
        yield clock


@contextmanager
def short_pauses(longest: float = 0.005) -> Iterator[ShortPauses]:
    """Run the block with pauses cut to ``longest`` seconds (:class:`ShortPauses`)."""
    clock = ShortPauses(longest)
    with _clock_in_job_modules(clock):
        yield clock
