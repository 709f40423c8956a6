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
            with open(path, "w", encoding="utf-8") as stream:
                _write_json(stream, result)
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


# Members of an object that one json.dumps writes at a time.
_MEMBERS_AT_ONCE = 256


def _write_json(stream: Any, value: Any, levels: int = 3) -> None:
    """Writes exactly the text of `json.dumps(value)`, in pieces.

    One `json.dumps` of a large answer holds its whole text twice at once (the
    text and its encoding), and `json.dump` writes token by token, two to three
    times slower. Here an object's members that are objects are written one by
    one down to `levels`, the other members a few hundred at a time.
    """
    if not (levels and isinstance(value, dict) and value):
        stream.write(json.dumps(value))
        return
    stream.write("{")
    written = False
    batch: dict[Any, Any] = {}

    def write_batch() -> None:
        nonlocal written
        if batch:
            stream.write((", " if written else "") + json.dumps(batch)[1:-1])
            batch.clear()
            written = True

    for key, item in value.items():
        if levels > 1 and isinstance(item, dict) and item:
            write_batch()
            # The key as json writes it, then ": ".
            stream.write((", " if written else "") + json.dumps({key: 0})[1:-2])
            _write_json(stream, item, levels - 1)
            written = True
        else:
            batch[key] = item
            if len(batch) == _MEMBERS_AT_ONCE:
                write_batch()
    write_batch()
    stream.write("}")


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
