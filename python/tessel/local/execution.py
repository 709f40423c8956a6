"""One job's worker run on the job's files, the same in a platform thread and in a worker process.

The content is read from the uploaded file (parsed, or handed over as a path),
the job's "execution_timeout" is reported before the worker runs, and the
worker's answer is stored next to the content. Everything that can go wrong
becomes an `Outcome`; nothing here knows about jobs' states or HTTP.
"""

from __future__ import annotations

import json
import sys
import os
import traceback
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from . import _json_text
from .workers import (
    ERROR,
    SUCCESS,
    TIMEOUT_ERROR,
    Worker,
    WorkerFailure,
    execution_timeout_in_file,
    execution_timeout_of,
)


@dataclass(frozen=True)
class Outcome:
    """How a job ended: its status and message, its result file on success, a traceback for a crash."""

    status: str
    message: str
    result_path: Path | None = None
    traceback: str | None = None


class InvalidContent(Exception):
    """The uploaded job content cannot be handed to a worker."""


def seconds_text(seconds: float) -> str:
    """Seconds as the messages write them: "5", "2.5"."""
    return str(int(seconds)) if float(seconds).is_integer() else str(seconds)


def timeout_message(seconds: float) -> str:
    """The message of a job stopped at its execution_timeout."""
    return (
        "The job was stopped: the worker did not finish within the execution_timeout of "
        f"{seconds_text(seconds)} seconds"
    )


def load_content(path: Path, kind: str) -> tuple[Any, float | None]:
    """The worker's argument for a content file and the job's execution_timeout.

    ``kind`` "path" hands over the path (the time-out read from the file's
    tail); "dict" parses the file, which must hold a JSON object.
    """
    if kind == "path":
        return path, execution_timeout_in_file(path)
    try:
        with open(path, encoding="utf-8") as stream:
            content = json.load(stream)
    except ValueError as exc:  # JSONDecodeError and UnicodeDecodeError
        raise InvalidContent(f"The job content is not valid JSON: {exc}") from None
    except RecursionError:
        raise InvalidContent("The job content is nested deeper than the platform reads "
                             f"(more than about {sys.getrecursionlimit()} levels of arrays and objects)") from None
    if not isinstance(content, dict):
        raise InvalidContent(f"The job content is not a JSON object but a {type(content).__name__}")
    return content, execution_timeout_of(content)


def store_result(directory: Path, result: Any) -> Path:
    """The result file of a worker's answer: a dict written as JSON, or the JSON file it names."""
    if isinstance(result, dict):
        path = directory / "result.json"
        try:
            text = _json_text.dumps(result)
            with open(path, "wb") as stream:
                stream.write(text)
        except (TypeError, ValueError) as exc:
            raise WorkerFailure(ERROR, f"The worker's result content is not JSON: {exc}") from None
        return path
    if isinstance(result, os.PathLike) and not isinstance(result, (str, bytes)):
        path = Path(os.fspath(result))
        if not path.is_file():
            raise WorkerFailure(ERROR, f"The worker's result file does not exist: {path}")
        return path
    raise WorkerFailure(
        ERROR,
        f"The worker returned {type(result).__name__}; expected a dict or a path to a JSON file",
    )


def execute(
    worker: Worker, kind: str, content_path: Path, directory: Path, begin: Callable[[float | None], None]
) -> Outcome:
    """Run ``worker`` on a job's content; ``begin`` learns the execution_timeout before the worker starts.

    A job whose time-out is zero or negative ends at once, never reaching the worker.
    """
    try:
        content, timeout = load_content(content_path, kind)
        begin(timeout)
        if timeout is not None and timeout <= 0:
            return Outcome(TIMEOUT_ERROR, timeout_message(timeout))
        return Outcome(SUCCESS, "", store_result(directory, worker(content)))
    except WorkerFailure as failure:
        return Outcome(failure.status, failure.message)
    except InvalidContent as invalid:
        return Outcome(ERROR, str(invalid))
    except Exception as exc:
        return Outcome(ERROR, f"The worker failed: {type(exc).__name__}: {exc}", None, traceback.format_exc())
