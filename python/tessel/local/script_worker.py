"""Local worker of the script integrations ("python" and "tressa").

It runs the script of a job the way a worker next to the outside program
would: the input files are written into a fresh temporary directory, the
script runs there with this interpreter (``sys.executable``) in a session of
its own, and the requested output files are sent back as Base64 text. A
script that fails (non-zero exit, a missing output file) ends the job with the
status "ERROR" and a message that carries the tail of its standard error; a
script still running at the job's "execution_timeout" (a finite positive
number of seconds, else the job is refused) is killed together with
everything it started (status "TIMEOUT_ERROR"). Processes the script leaves
running when it ends are killed as well. A supervisor process (``_supervisor.py``,
a child subreaper) keeps every one of them in reach, even those that left the
script's session or lost their parent.

The job content is the one `tessel.external.python.PythonAnalysis` writes:
"script" (Base64) or "script_key", "input_files" ([{"name", "body"}]) and
"output_filenames". The result content is
{"output_files": [{"name": ..., "body": ...}, ...]}.

Usage with the local platform::

    worker = ScriptWorker(local_scripts={"tressa-run": "/opt/scripts/run.py"})
    worker.register(platform)          # serves the queues "python" and "tressa"
"""

from __future__ import annotations

import base64
import binascii
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
from collections.abc import Iterable, Mapping
from pathlib import Path, PurePosixPath, PureWindowsPath
from typing import Any

from tessel.local import ERROR, TIMEOUT_ERROR, WorkerFailure

__all__ = ["ScriptWorker"]

# Bytes of the script's standard error quoted in a failure message.
STDERR_TAIL_BYTES = 2000
# Runs each script as a child subreaper that kills whatever the script left behind.
_SUPERVISOR = Path(__file__).with_name("_supervisor.py")


class ScriptWorker:
    """Runs the scripts of "python" and "tressa" jobs; a callable worker for `LocalPlatform`.

    :param local_scripts: scripts defined on the worker, by key: the jobs select
        them through `script_key` (a path, relative paths taken from the
        current directory)
    :param only_local_scripts: refuse scripts sent with the job, for security:
        only `local_scripts` run
    :param python: interpreter that runs the scripts (default: ``sys.executable``)
    """

    #: The queues this worker serves.
    queues = ("python", "tressa")

    def __init__(
        self,
        *,
        local_scripts: Mapping[str, str | os.PathLike[str]] | None = None,
        only_local_scripts: bool = False,
        python: str | None = None,
    ) -> None:
        self.local_scripts = {key: Path(path).absolute() for key, path in (local_scripts or {}).items()}
        self.only_local_scripts = only_local_scripts
        self.python = python or sys.executable

    @classmethod
    def from_config_file(cls, path: str | os.PathLike[str], **options: Any) -> ScriptWorker:
        """Make a worker from its JSON configuration file.

        The file holds {"local_scripts": {key: path}, "only_local_scripts": bool};
        relative script paths are taken from the file's directory.
        """
        path = Path(path)
        config = json.loads(path.read_text(encoding="utf-8"))
        scripts = {key: path.parent / script for key, script in config.get("local_scripts", {}).items()}
        return cls(local_scripts=scripts, only_local_scripts=bool(config.get("only_local_scripts", False)),
                   **options)

    def register(self, platform: Any, queues: Iterable[str] | None = None) -> None:
        """Serve the given queues (default: "python" and "tressa") of `platform`, each job in a worker process."""
        for queue in queues or self.queues:
            platform.register(queue, self, content="dict", isolated=True)

    def __call__(self, content: dict[str, Any]) -> dict[str, Any]:
        """Run the job's script; return the requested output files or raise `WorkerFailure`."""
        inputs = _input_files(content.get("input_files", []))
        outputs = _output_names(content.get("output_filenames", []))
        timeout = _execution_timeout(content)
        root = Path(tempfile.mkdtemp(prefix="tessel-script-job-"))
        try:
            work = root / "work"
            work.mkdir()
            # The script lives outside the work directory, so that no input
            # file can take its place.
            script = self._script(content, root)
            for name, body in inputs:
                target = work / name
                try:
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(body)
                except OSError as error:
                    raise WorkerFailure(ERROR, f"Could not write the input file {name!r}: {error.strerror}") from None
            stderr = self._run(script, work, root, timeout)
            return {"output_files": [_output_file(work, name, stderr) for name in outputs]}
        finally:
            shutil.rmtree(root, ignore_errors=True)

    def _script(self, content: dict[str, Any], root: Path) -> Path:
        """The script to run: the configured one for "script_key", else the one sent."""
        key, sent = content.get("script_key"), content.get("script")
        if key is not None and sent is not None:
            raise WorkerFailure(ERROR, "The job holds both a script and a script_key; give only one")
        if key is not None:
            script = self.local_scripts.get(key) if isinstance(key, str) else None
            if script is None:
                raise WorkerFailure(ERROR, f"No local script is configured for the script_key {key!r}")
            return script
        if sent is None:
            raise WorkerFailure(ERROR, "The job holds neither a script nor a script_key")
        if self.only_local_scripts:
            raise WorkerFailure(
                ERROR,
                "This worker runs only local scripts, defined in its configuration file and selected "
                "through script_key; it does not run scripts sent with the job",
            )
        path = root / "script.py"
        path.write_bytes(_decoded(sent, "the script"))
        return path

    def _run(self, script: Path, work: Path, root: Path, timeout: float) -> str:
        """Run the script in `work`; return the tail of its standard error, raise on failure."""
        env = {k: v for k, v in os.environ.items() if k != "TESSEL_JOB_TOKEN"}
        status = root / "status"
        supervised = [sys.executable, "-I", str(_SUPERVISOR), str(status), str(os.getpid()), self.python, str(script)]
        with open(root / "stdout", "wb") as out, open(root / "stderr", "w+b") as err:
            process = subprocess.Popen(
                supervised, cwd=work, stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                start_new_session=True,
            )
            try:
                process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                _stop(process)
                raise WorkerFailure(
                    TIMEOUT_ERROR,
                    f"The script did not finish within the execution time-out of {timeout:g} seconds "
                    "and was stopped",
                ) from None
            except BaseException:
                _stop(process)
                raise
            stderr = _tail(err)
        try:
            code = int(status.read_text(encoding="ascii"))
        except (OSError, ValueError):
            raise WorkerFailure(ERROR, f"The script could not be run{stderr}") from None
        if code != 0:
            how = f"exit code {code}" if code > 0 else f"signal {-code}"
            raise WorkerFailure(ERROR, f"The script failed with {how}{stderr}")
        return stderr


def _stop(supervisor: subprocess.Popen[bytes]) -> None:
    """Have the supervisor kill the script and everything it started, and wait for that."""
    supervisor.terminate()
    supervisor.wait()


def _execution_timeout(content: dict[str, Any]) -> float:
    """The job's "execution_timeout" in seconds; refuse anything but a finite positive number."""
    if "execution_timeout" not in content:
        raise WorkerFailure(ERROR, "The job holds no execution_timeout")
    value = content["execution_timeout"]
    refused = "The execution_timeout must be a finite positive number of seconds, not {}"
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise WorkerFailure(ERROR, refused.format(f"{value!r:.100}"))
    try:
        seconds = float(value)
    except OverflowError:
        raise WorkerFailure(ERROR, refused.format("an integer this large")) from None
    if not 0 < seconds < math.inf:
        raise WorkerFailure(ERROR, refused.format(value))
    return seconds


def _tail(err: Any) -> str:
    """": " and the end of the standard error in `err`, or nothing when it is empty."""
    size = err.seek(0, os.SEEK_END)
    err.seek(max(0, size - STDERR_TAIL_BYTES))
    text: str = err.read().decode("utf-8", errors="replace").strip()
    if not text:
        return ""
    return (": ..." if size > STDERR_TAIL_BYTES else ": ") + text


def _decoded(body: Any, what: str) -> bytes:
    if not isinstance(body, str):
        raise WorkerFailure(ERROR, f"The body of {what} is not Base64 text")
    try:
        return base64.b64decode(body, validate=True)
    except binascii.Error:
        raise WorkerFailure(ERROR, f"The body of {what} is not valid Base64") from None


def _checked_name(name: Any, what: str) -> str:
    """`name` when it is a relative path that stays inside the job directory."""
    if not isinstance(name, str) or not name or "\0" in name:
        raise WorkerFailure(ERROR, f"Refused {what} name {name!r}: not a file name")
    posix, windows = PurePosixPath(name), PureWindowsPath(name)
    if (posix.is_absolute() or windows.is_absolute() or windows.drive or windows.root
            or ".." in posix.parts or ".." in windows.parts or posix.name in ("", ".")):
        raise WorkerFailure(ERROR, f"Refused {what} name {name!r}: it leaves the job directory")
    return name


def _input_files(entries: Any) -> list[tuple[str, bytes]]:
    if not isinstance(entries, list):
        raise WorkerFailure(ERROR, "The input files are not a list")
    files = []
    for entry in entries:
        if not isinstance(entry, dict) or "name" not in entry or "body" not in entry:
            raise WorkerFailure(ERROR, f"An input file is not a record with name and body: {entry!r:.200}")
        name = _checked_name(entry["name"], "input file")
        files.append((name, _decoded(entry["body"], f"input file {name!r}")))
    return files


def _output_names(names: Any) -> list[str]:
    if not isinstance(names, list):
        raise WorkerFailure(ERROR, "The output file names are not a list")
    return [_checked_name(name, "output file") for name in names]


def _output_file(work: Path, name: str, stderr: str) -> dict[str, str]:
    path = work / name
    # A link the script made must not lead the worker out of the directory.
    if not path.resolve().is_relative_to(work.resolve()):
        raise WorkerFailure(ERROR, f"Refused output file {name!r}: it leads out of the job directory")
    if not path.is_file():
        raise WorkerFailure(ERROR, f"The script did not write the output file {name!r}{stderr}")
    return {"name": name, "body": base64.b64encode(path.read_bytes()).decode("ascii")}
