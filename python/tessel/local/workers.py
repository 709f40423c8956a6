"""What a worker is, how it reports a failure, and the built-in echo worker.

A worker is a callable ``worker(content)`` registered for a queue. ``content``
is the parsed job content (a dict) for workers registered with
``content="dict"``, or a :class:`pathlib.Path` to the uploaded JSON file for
``content="path"``. It returns the result content: a dict (sent as JSON) or
an :class:`os.PathLike` to a JSON file (streamed from disk as it is). It
raises :class:`WorkerFailure` to end the job with a status and message of its
own; any other exception ends the job with the status "ERROR".
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Any, Callable

Worker = Callable[[Any], Any]

CONTENT_KINDS = ("dict", "path")

# Job statuses the platform itself sets; workers may report any other text.
SUCCESS = "SUCCESS"
ERROR = "ERROR"
TIMEOUT_ERROR = "TIMEOUT_ERROR"

# The envelope the job framework writes at the end of every job content:
# ..., "version": 1, "execution_timeout": 25}
_TAIL_TIMEOUT = re.compile(rb'"execution_timeout"\s*:\s*(-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?)\s*\}\s*$')
_TAIL_BYTES = 4096


class WorkerFailure(Exception):
    """Raised by a worker to end its job with ``status`` and ``message``."""

    def __init__(self, status: str, message: str) -> None:
        """Fail the job with the job status ``status`` (e.g. "ERROR") and ``message``."""
        if not isinstance(status, str):
            raise TypeError(f"status must be str, got {type(status).__name__}")
        if not isinstance(message, str):
            raise TypeError(f"message must be str, got {type(message).__name__}")
        super().__init__(status, message)
        self.status = status
        self.message = message

    def __str__(self) -> str:
        """Return "STATUS: message"."""
        return f"{self.status}: {self.message}"


def echo_worker(content: dict[str, Any]) -> dict[str, Any]:
    """Return the job content it received as the result content."""
    return dict(content)


def execution_timeout_of(content: Any) -> float | None:
    """Return the job's "execution_timeout" in seconds, or None when it has none.

    Booleans and non-numbers count as none.
    """
    if not isinstance(content, dict):
        return None
    value = content.get("execution_timeout")
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    return float(value)


def execution_timeout_in_file(path: Path) -> float | None:
    """Read "execution_timeout" from the envelope at the end of a job content file.

    Only the last few KiB are read, so this stays cheap for huge content; a
    file that does not end in the envelope has no time-out.
    """
    with open(path, "rb") as stream:
        stream.seek(0, 2)
        size = stream.tell()
        stream.seek(max(0, size - _TAIL_BYTES))
        tail = stream.read()
    match = _TAIL_TIMEOUT.search(tail)
    return float(match.group(1)) if match else None
