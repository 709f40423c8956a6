"""Fault injection: make one step of a queue's jobs misbehave on purpose.

A fault belongs to a queue and a step. The HTTP steps ("create", "upload",
"start", "poll", "download") can be delayed, answered with a status code or a
body of their own (a text or bytes body is sent as is, so it need not be
JSON), or have their connection dropped without an answer. The step "worker"
ends the job with a given status and message instead of running the worker::

    platform.faults.add("beams", "poll", status=500, times=1)
    platform.faults.add("beams", "download", body="<html>gateway error</html>")
    platform.faults.add("beams", "upload", drop=True)
    platform.faults.add("beams", "create", delay=0.5)
    platform.faults.add("beams", "worker", status="ERROR", message="Remove files error 2")

Faults of one queue and step apply in the order they were added, one per
request; a fault with ``times`` is used up after that many requests, one
without stays until :meth:`Faults.clear`.
"""

from __future__ import annotations

import threading
from dataclasses import dataclass
from collections.abc import Iterator
from typing import Any

HTTP_STEPS = ("create", "upload", "start", "poll", "download")
STEPS = HTTP_STEPS + ("worker",)


@dataclass
class Fault:
    """One injected fault; ``hits`` counts the requests (or jobs) it has affected."""

    queue: str
    step: str
    status: int | str | None = None
    body: Any = None
    message: str = ""
    delay: float = 0.0
    drop: bool = False
    times: int | None = None
    hits: int = 0

    @property
    def answers(self) -> bool:
        """True when the fault replaces the normal answer (not just delays it)."""
        return self.drop or self.status is not None or self.body is not None


class Faults:
    """The faults of one platform, by queue and step; safe to use from any thread."""

    def __init__(self) -> None:
        """Start with no faults."""
        self._lock = threading.Lock()
        self._faults: list[Fault] = []

    def add(
        self,
        queue: str,
        step: str,
        *,
        status: int | str | None = None,
        body: Any = None,
        message: str = "",
        delay: float = 0.0,
        drop: bool = False,
        times: int | None = None,
    ) -> Fault:
        """Add a fault to ``step`` of the jobs of ``queue`` and return it.

        HTTP steps: ``status`` (an int) answers with that code, ``body`` with
        that body (a dict or list as JSON, text or bytes as they are; status
        200 when only a body is given), ``drop`` closes the connection
        without an answer, ``delay`` (seconds) waits before answering, alone
        or together with the others. Step "worker": ``status`` (a text) and
        ``message`` end the job as a failed worker would; ``delay`` waits
        before that. ``times`` limits the fault to that many uses.
        """
        if step not in STEPS:
            raise ValueError(f"unknown step {step!r}; expected one of {', '.join(STEPS)}")
        if not isinstance(queue, str):
            raise TypeError(f"queue must be str, got {type(queue).__name__}")
        if isinstance(delay, bool) or not isinstance(delay, (int, float)) or delay < 0:
            raise ValueError(f"delay must be a number of seconds >= 0, got {delay!r}")
        if times is not None and (isinstance(times, bool) or not isinstance(times, int) or times < 1):
            raise ValueError(f"times must be a positive int or None, got {times!r}")
        if step == "worker":
            if not isinstance(status, str):
                raise TypeError('the step "worker" needs a job status text, e.g. status="ERROR"')
            if not isinstance(message, str):
                raise TypeError(f"message must be str, got {type(message).__name__}")
            if body is not None or drop:
                raise ValueError('body and drop apply to HTTP steps, not to the step "worker"')
        else:
            if status is not None and (
                isinstance(status, bool) or not isinstance(status, int) or not 100 <= status <= 599
            ):
                raise ValueError(f"status must be an HTTP status code (100-599), got {status!r}")
            if drop and (status is not None or body is not None):
                raise ValueError("a dropped connection has no status or body")
            if message:
                raise ValueError('message applies to the step "worker" only; use body for HTTP steps')
            if status is None and body is None and not drop and not delay:
                raise ValueError("a fault needs status, body, drop or delay")
        fault = Fault(queue, step, status, body, message, float(delay), drop, times)
        with self._lock:
            self._faults.append(fault)
        return fault

    def clear(self, queue: str | None = None) -> None:
        """Remove every fault, or only those of ``queue``."""
        with self._lock:
            self._faults = [f for f in self._faults if queue is not None and f.queue != queue]

    def __iter__(self) -> Iterator[Fault]:
        """Iterate over a snapshot of the faults still in force."""
        with self._lock:
            return iter(list(self._faults))

    def __len__(self) -> int:
        """Number of faults still in force."""
        with self._lock:
            return len(self._faults)

    def take(self, queue: str, step: str) -> Fault | None:
        """Return the fault that applies to this request of ``queue``/``step``, counting it."""
        with self._lock:
            for fault in self._faults:
                if fault.queue == queue and fault.step == step:
                    fault.hits += 1
                    if fault.times is not None and fault.hits >= fault.times:
                        self._faults.remove(fault)
                    return fault
        return None
