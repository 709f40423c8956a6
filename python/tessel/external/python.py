"""Generic script analysis: a Python script run by a worker, with input files
sent along and output files brought back.

The job content is a JSON object with these members (job format version 1):

* "script": the script's bytes as Base64 text, or null when ``script_key``
  selects a script from the worker's configuration;
* "script_key": the key of that local script, or null;
* "input_files": list of {"name": file name, "body": Base64 text};
* "output_filenames": list of the names of the files to bring back;
* "version" and "execution_timeout" (seconds), as the last two members.

The worker answers with {"output_files": [{"name": ..., "body": ...}, ...]}
and reports a failing script as an error whose message says what went wrong.
"""

from __future__ import annotations

import base64
import binascii
import json
from typing import IO, Any, ClassVar, TextIO

from tessel import _jobs
from tessel.core import File

__all__ = ["PythonAnalysis"]

# Bytes of a file Base64-encoded at a time: a multiple of 3, so the pieces
# join without padding in between.
_BASE64_CHUNK = 3**10


class PythonAnalysis:
    """Perform an analysis by running a Python script on a remote server by means of a worker.

    Usage::

        script = File.from_path(Path(__file__).parent / "run.py")
        files = [('input1.txt', file1)]
        analysis = PythonAnalysis(script=script, files=files, output_filenames=["output.txt"])
        analysis.execute(timeout=60)
        output_file = analysis.get_output_file("output.txt")

    The script runs in a fresh directory holding the input files, and must
    write the output files there. It is expected to be blocking: it returns
    only after the work it drives has finished.

    :param script: the script to run (File)
    :param files: input files for the script, as a list of pairs of a file name and a File,
        e.g. ('input1.txt', file1)
    :param output_filenames: names of the output files to bring back, e.g. ["output.txt"]
    :param script_key: selects a script that is defined locally in the worker's configuration
        file, instead of sending one

    Exceptions which can be raised during calculation:

        - ExecutionError: generic error. Error message provides more information
    """

    #: Integration name: the platform queue the jobs go to.
    _integration: ClassVar[str] = "python"

    def __init__(
        self,
        *,
        script: File | None = None,
        files: list[tuple[str, File]] | None = None,
        output_filenames: list[str] | None = None,
        script_key: str | None = None,
    ) -> None:
        """Check and keep the inputs; nothing is read before the job content is written."""
        if (script is None) == (script_key is None):
            raise ValueError("Give either a script or a script_key, not both and not neither")
        if script is not None and not isinstance(script, File):
            raise TypeError(f"script must be a File, not {type(script).__name__}")
        if script_key is not None and not isinstance(script_key, str):
            raise TypeError(f"script_key must be a str, not {type(script_key).__name__}")
        files = list(files or [])
        for entry in files:
            if not (isinstance(entry, tuple) and len(entry) == 2
                    and isinstance(entry[0], str) and isinstance(entry[1], File)):
                raise TypeError(f"each input file must be a pair (file name, File), not {entry!r}")
        names = [name for name, _ in files]
        if len(set(names)) != len(names):
            raise ValueError(f"input file names must be unique, got {names}")
        output_filenames = list(output_filenames or [])
        for name in output_filenames:
            if not isinstance(name, str):
                raise TypeError(f"output file names must be str, not {type(name).__name__}")
        self._queue_name = self._integration
        # Version of the job format the worker reads.
        self._version = 1
        self._result_content: dict[str, Any] | None = None
        self.script = script
        self.files = files
        self.output_filenames = output_filenames
        self.script_key = script_key

    def execute(self, timeout: float = 25) -> None:
        """Run the script on a worker and keep its output files; blocks until the job has ended.

        :param timeout: seconds to wait for the job; sent as its "execution_timeout", after which
            the worker stops the script
        :raises TimeoutError: when the job has not ended within `timeout`
        :raises ConnectionError: when no worker serves the queue, or the platform cannot be reached
        :raises ExecutionError: when the script fails; the message says why
        """
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
            raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
        self._result_content = _jobs.run_job(
            self._queue_name, timeout, lambda: self._get_job_content(timeout), type(self).__name__
        )

    def _get_job_content(self, timeout: float) -> File:
        """The job content as uploaded: the members, then "version" and "execution_timeout"."""
        content = File()
        with content.open(encoding="utf-8") as w:
            w.write("{")
            self._write_job_content(w)
            w.write(f', "version": {self._version}, "execution_timeout": {json.dumps(timeout)}}}')
        return content

    def _write_job_content(self, w: TextIO) -> None:
        """Write the members, file bodies streamed as Base64 in chunks."""
        w.write('"script": ')
        _write_body(w, self.script)
        w.write(f', "script_key": {json.dumps(self.script_key)}, "input_files": [')
        for index, (name, file) in enumerate(self.files):
            w.write(f'{", " if index else ""}{{"name": {json.dumps(name)}, "body": ')
            _write_body(w, file)
            w.write("}")
        w.write(f'], "output_filenames": {json.dumps(self.output_filenames)}')

    def _get_result_content(self) -> dict[str, Any]:
        """The result content of the last successful `execute`."""
        if self._result_content is None:
            raise ValueError("result_content is None, first call .execute() before calling get_output_file()")
        return self._result_content

    def get_output_file(self, name: str) -> File:
        """Return the output file `name`, one of `output_filenames`; call `execute` first.

        :raises ValueError: when `name` was not requested, or the worker did not return it
        """
        if name not in self.output_filenames:
            raise ValueError(
                f"'{name}' is not one of the requested output files {self.output_filenames}"
            )
        content = self._get_result_content()
        for entry in content.get("output_files", []):
            if entry.get("name") == name:
                try:
                    return File.from_data(base64.b64decode(entry["body"], validate=True))
                except (KeyError, TypeError, binascii.Error) as error:
                    raise ValueError(f"The worker returned output file '{name}' without a valid body") from error
        raise ValueError(f"The worker did not return the output file '{name}'")


def _write_body(w: TextIO, file: File | None) -> None:
    """Write a file's bytes as a JSON string of Base64 text, or null."""
    if file is None:
        w.write("null")
        return
    w.write('"')
    with file.open_binary() as stream:
        _write_base64(w, stream)
    w.write('"')


def _write_base64(w: TextIO, stream: IO[bytes]) -> None:
    """Write the Base64 text of `stream`'s content, a chunk at a time."""
    while chunk := stream.read(_BASE64_CHUNK):
        w.write(base64.b64encode(chunk).decode("ascii"))
