"""The local job platform: job store, worker pool and the life of each job.

Every job gets a directory of its own under the platform's temporary
directory, named after its generated id; the upload and result addresses are
generated secrets too. Nothing a client sends is ever used as a path.
"""

from __future__ import annotations

import json
import logging
import os
import secrets
import shutil
import tempfile
import threading
import time
import traceback
from collections.abc import Iterator, Mapping
from concurrent.futures import ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .faults import Faults
from .workers import (
    CONTENT_KINDS,
    ERROR,
    SUCCESS,
    TIMEOUT_ERROR,
    Worker,
    WorkerFailure,
    execution_timeout_in_file,
    execution_timeout_of,
)

logger = logging.getLogger("tessel.local")

DEFAULT_MAX_UPLOAD_SIZE = 8 * 1024**3

# Job states; "ENDED" jobs carry a status, a message and maybe a result.
CREATED, UPLOADED, QUEUED, RUNNING, ENDED = "CREATED", "UPLOADED", "QUEUED", "RUNNING", "ENDED"


@dataclass(eq=False)
class Job:
    """One job as the platform keeps it (read it, do not change it)."""

    id: str
    queue: str
    directory: Path
    upload_key: str
    upload_data: dict[str, str]
    result_key: str
    state: str = CREATED
    status: str | None = None
    message: str | None = None
    content_path: Path | None = None
    result_path: Path | None = None
    execution_timeout: float | None = None
    started_at: float | None = None
    traceback: str | None = None

    @property
    def ended(self) -> bool:
        """True once the job has a final status."""
        return self.state == ENDED


@dataclass
class OAuth2IntegrationState:
    """A named OAuth 2.0 integration configured on the platform."""

    name: str
    assigned: bool = True
    logged_in: bool = True
    access_token: str | None = None
    rotations: int = 0


@dataclass(frozen=True)
class _Registration:
    worker: Worker
    content: str


class _InvalidContent(Exception):
    """The uploaded job content cannot be handed to a worker."""


def _seconds_text(seconds: float) -> str:
    return str(int(seconds)) if float(seconds).is_integer() else str(seconds)


@dataclass
class _Answer:
    """Outcome of a platform operation, turned into an HTTP answer by the server."""

    status: int
    body: Any = None
    headers: dict[str, str] = field(default_factory=dict)


class LocalPlatform:
    """A job platform on loopback that speaks the job API of ``OffloadTask``.

    Use it as a context manager (or call :meth:`start` and :meth:`stop`)::

        with LocalPlatform() as platform:
            platform.register("beams", lambda content: {"ok": True})
            with platform.connected():      # job token and API URL point here
                analysis.execute(timeout=30)

    ``host``/``port``: where the server listens (port 0 picks a free one).
    ``token``: the job token accepted as "Authorization: Bearer <token>"
    (random when not given). ``max_workers``: size of the worker pool.
    ``max_upload_size``: largest upload body in bytes (413 above it).
    """

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        token: str | None = None,
        max_workers: int = 4,
        max_upload_size: int = DEFAULT_MAX_UPLOAD_SIZE,
    ) -> None:
        """Configure the platform; nothing listens until :meth:`start`."""
        if isinstance(max_workers, bool) or not isinstance(max_workers, int) or max_workers < 1:
            raise ValueError(f"max_workers must be a positive int, got {max_workers!r}")
        if isinstance(max_upload_size, bool) or not isinstance(max_upload_size, int) or max_upload_size < 0:
            raise ValueError(f"max_upload_size must be an int >= 0, got {max_upload_size!r}")
        if token is not None and (not isinstance(token, str) or not token):
            raise ValueError("token must be a non-empty str")
        self._host = host
        self._port = port
        self._token = token or secrets.token_urlsafe(24)
        self._max_workers = max_workers
        self.max_upload_size = max_upload_size
        self.faults = Faults()
        self._lock = threading.Lock()
        self._queues: dict[str, _Registration] = {}
        self._jobs: dict[str, Job] = {}
        self._by_upload_key: dict[str, Job] = {}
        self._by_result_key: dict[str, Job] = {}
        self._integrations: dict[str, OAuth2IntegrationState] = {}
        self._server: Any = None
        self._thread: threading.Thread | None = None
        self._pool: ThreadPoolExecutor | None = None
        self._directory: Path | None = None

    # -- life cycle ---------------------------------------------------------

    def start(self) -> LocalPlatform:
        """Start the server in a background thread; returns the platform."""
        from .server import make_server

        if self._server is not None:
            raise RuntimeError("the platform is already running")
        self._directory = Path(tempfile.mkdtemp(prefix="tessel-local-"))
        self._pool = ThreadPoolExecutor(self._max_workers, thread_name_prefix="tessel-local-worker")
        try:
            self._server = make_server(self, self._host, self._port)
        except BaseException:
            self._pool.shutdown(wait=False)
            shutil.rmtree(self._directory, ignore_errors=True)
            self._pool = self._directory = None
            raise
        self._thread = threading.Thread(
            target=self._server.serve_forever,
            kwargs={"poll_interval": 0.05},
            name=f"tessel-local-server-{self.port}",
            daemon=True,
        )
        self._thread.start()
        logger.info("local platform listening at %s", self.api_url)
        return self

    def stop(self) -> None:
        """Stop the server, drop queued jobs and remove every job file.

        Workers still running are not waited for (a thread cannot be
        stopped); their results are discarded.
        """
        server, self._server = self._server, None
        if server is None:
            return
        server.shutdown()
        server.server_close()
        if self._thread is not None:
            self._thread.join()
        if self._pool is not None:
            self._pool.shutdown(wait=False, cancel_futures=True)
        if self._directory is not None:
            shutil.rmtree(self._directory, ignore_errors=True)
        with self._lock:
            self._jobs.clear()
            self._by_upload_key.clear()
            self._by_result_key.clear()
        self._thread = self._pool = self._directory = None

    def __enter__(self) -> LocalPlatform:
        """Start the platform."""
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        """Stop the platform."""
        self.stop()

    @contextmanager
    def connected(self) -> Iterator[LocalPlatform]:
        """Point ``tessel.core._Context.job_token`` and ``TESSEL_API_URL`` here for the block."""
        from tessel import core

        # The class's own entry: the value, or the descriptor that reads the environment.
        saved_token = vars(core._Context).get("job_token")
        saved_url = os.environ.get("TESSEL_API_URL")
        core._Context.job_token = self.token
        os.environ["TESSEL_API_URL"] = self.api_url
        try:
            yield self
        finally:
            setattr(core._Context, "job_token", saved_token)
            if saved_url is None:
                os.environ.pop("TESSEL_API_URL", None)
            else:
                os.environ["TESSEL_API_URL"] = saved_url

    # -- configuration ------------------------------------------------------

    @property
    def port(self) -> int:
        """The port the server listens on."""
        self._require_running()
        port: int = self._server.server_port
        return port

    @property
    def url(self) -> str:
        """Root URL of the server, ending in "/"."""
        self._require_running()
        host = self._server.server_address[0]
        if ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{self.port}/"

    @property
    def api_url(self) -> str:
        """Base URL of the job API, ending in "/" (what ``_get_api_endpoint()`` returns)."""
        return self.url + "api/"

    @property
    def token(self) -> str:
        """The job token the platform accepts."""
        return self._token

    @property
    def directory(self) -> Path:
        """The temporary directory holding the jobs' files while the platform runs."""
        return self._running_directory()

    def register(self, queue: str, worker: Worker, *, content: str = "dict") -> None:
        """Serve ``queue`` with ``worker``; registering a queue again replaces its worker.

        ``content="dict"`` hands the worker the parsed job content;
        ``content="path"`` hands it a :class:`pathlib.Path` to the uploaded
        JSON file (for big content, which then is not parsed by the platform).
        """
        if not isinstance(queue, str):
            raise TypeError(f"queue must be str, got {type(queue).__name__}")
        if not callable(worker):
            raise TypeError(f"worker must be callable, got {type(worker).__name__}")
        if content not in CONTENT_KINDS:
            raise ValueError(f"content must be one of {CONTENT_KINDS}, got {content!r}")
        with self._lock:
            self._queues[queue] = _Registration(worker, content)

    def unregister(self, queue: str) -> None:
        """Stop serving ``queue`` (its jobs still queued then end with an error)."""
        with self._lock:
            self._queues.pop(queue, None)

    @property
    def queues(self) -> list[str]:
        """Names of the queues that have a worker."""
        with self._lock:
            return list(self._queues)

    def add_oauth2_integration(
        self, name: str, *, assigned: bool = True, logged_in: bool = True
    ) -> OAuth2IntegrationState:
        """Configure the OAuth 2.0 integration ``name`` and return its state.

        ``assigned`` False answers token rotations with 412, ``logged_in``
        False with 401; both can be changed later on the returned state.
        """
        if not isinstance(name, str):
            raise TypeError(f"name must be str, got {type(name).__name__}")
        state = OAuth2IntegrationState(name, bool(assigned), bool(logged_in))
        with self._lock:
            self._integrations[name] = state
        return state

    @property
    def jobs(self) -> Mapping[str, Job]:
        """Snapshot of the jobs by id, in the order they were created."""
        with self._lock:
            for job in self._jobs.values():
                self._expire_if_overdue(job)
            return dict(self._jobs)

    def _require_running(self) -> None:
        if self._server is None:
            raise RuntimeError("the platform is not running; use it as a context manager or call start()")

    def _running_directory(self) -> Path:
        self._require_running()
        assert self._directory is not None  # set by start() before the server exists
        return self._directory

    def _running_pool(self) -> ThreadPoolExecutor:
        self._require_running()
        assert self._pool is not None  # set by start() before the server exists
        return self._pool

    # -- operations behind the HTTP endpoints ---------------------------------

    def _authorized(self, authorization: str | None) -> bool:
        scheme, _, credentials = (authorization or "").partition(" ")
        return scheme.lower() == "bearer" and secrets.compare_digest(
            credentials.strip().encode(), self._token.encode()
        )

    def _create_job(self, queue: str) -> Job | None:
        """Create a job on ``queue``; None when no worker serves it."""
        with self._lock:
            if queue not in self._queues:
                return None
            job_id = secrets.token_urlsafe(16)
            directory = self._running_directory() / job_id
            directory.mkdir()
            job = Job(
                id=job_id,
                queue=queue,
                directory=directory,
                upload_key=secrets.token_urlsafe(24),
                upload_data={"job": job_id, "upload_token": secrets.token_urlsafe(24)},
                result_key=secrets.token_urlsafe(24),
            )
            self._jobs[job_id] = job
            self._by_upload_key[job.upload_key] = job
            self._by_result_key[job.result_key] = job
        return job

    def _upload_url(self, job: Job) -> str:
        return f"{self.url}storage/uploads/{job.upload_key}"

    def _result_url(self, job: Job) -> str:
        return f"{self.url}storage/results/{job.result_key}"

    def _job(self, queue: str, job_id: str) -> Job | None:
        with self._lock:
            job = self._jobs.get(job_id)
        return job if job is not None and job.queue == queue else None

    def _job_by_upload_key(self, key: str) -> Job | None:
        with self._lock:
            return self._by_upload_key.get(key)

    def _job_by_result_key(self, key: str) -> Job | None:
        with self._lock:
            return self._by_result_key.get(key)

    def _accept_upload(self, job: Job, form: Any, files: Any) -> _Answer:
        """Check the upload's form fields and file part and take its file as job content."""
        for name, expected in job.upload_data.items():
            value = form.get(name)
            if value is None:
                return _Answer(400, {"detail": f"Missing form field '{name}'."})
            if not secrets.compare_digest(value.encode(), expected.encode()):
                return _Answer(403, {"detail": f"Wrong value of form field '{name}'."})
        parts = list(files.items(multi=True))
        if len(parts) != 1 or parts[0][0] != "file":
            return _Answer(400, {"detail": "The upload must carry exactly one file part, named 'file'."})
        part_path = Path(parts[0][1].stream.name)
        with self._lock:
            if job.state != CREATED:
                return _Answer(403, {"detail": "The upload token of this job has already been used."})
            content_path = job.directory / "content.json"
            os.replace(part_path, content_path)
            job.content_path = content_path
            job.state = UPLOADED
        return _Answer(204)

    def _start_job(self, job: Job) -> _Answer:
        with self._lock:
            if job.state == CREATED:
                return _Answer(409, {"detail": "The job content has not been uploaded yet."})
            if job.state == UPLOADED:
                job.state = QUEUED
                self._running_pool().submit(self._run_job, job)
        return _Answer(200, {"id": job.id})

    def _poll(self, job: Job) -> _Answer:
        with self._lock:
            self._expire_if_overdue(job)
            if not job.ended:
                return _Answer(404, {"detail": "The job has not finished yet."})
            result_url = self._result_url(job) if job.result_path is not None else None
            return _Answer(200, {"status": job.status, "message": job.message, "result_url": result_url})

    def _rotate_access_token(self, name: str) -> _Answer:
        with self._lock:
            state = self._integrations.get(name)
            if state is None:
                return _Answer(404, {"detail": "integration not found"})
            if not state.assigned:
                return _Answer(412, {"detail": "integration not assigned to this app"})
            if not state.logged_in:
                return _Answer(401, {"detail": "needs login from user"})
            state.access_token = secrets.token_urlsafe(32)
            state.rotations += 1
            return _Answer(200, {"access_token": state.access_token})

    # -- running jobs ---------------------------------------------------------

    def _run_job(self, job: Job) -> None:
        """Run one job in a pool thread and record how it ended."""
        with self._lock:
            if job.state != QUEUED:
                return
            job.state = RUNNING
            job.started_at = time.monotonic()
            registration = self._queues.get(job.queue)
        result_path: Path | None = None
        try:
            fault = self.faults.take(job.queue, "worker")
            if fault is not None:
                time.sleep(fault.delay)
                raise WorkerFailure(str(fault.status), fault.message)  # a text: checked by Faults.add
            if registration is None:
                raise WorkerFailure(ERROR, f"No worker is connected to queue '{job.queue}'")
            content = self._load_content(job, registration.content)
            if job.execution_timeout is not None and job.execution_timeout <= 0:
                self._end(job, TIMEOUT_ERROR, self._timeout_message(job), None)
                return
            result = registration.worker(content)
            result_path = self._store_result(job, result)
            status, message = SUCCESS, ""
        except WorkerFailure as failure:
            status, message = failure.status, failure.message
        except _InvalidContent as invalid:
            status, message = ERROR, str(invalid)
        except Exception as exc:
            job.traceback = traceback.format_exc()
            logger.info("worker of queue %r failed on job %s", job.queue, job.id, exc_info=True)
            status, message = ERROR, f"The worker failed: {type(exc).__name__}: {exc}"
        self._end(job, status, message, result_path)

    def _load_content(self, job: Job, kind: str) -> Any:
        path = job.content_path
        assert path is not None  # jobs run only once their content is uploaded
        if kind == "path":
            job.execution_timeout = execution_timeout_in_file(path)
            return path
        try:
            with open(path, encoding="utf-8") as stream:
                content = json.load(stream)
        except ValueError as exc:  # JSONDecodeError and UnicodeDecodeError
            raise _InvalidContent(f"The job content is not valid JSON: {exc}") from None
        if not isinstance(content, dict):
            raise _InvalidContent(f"The job content is not a JSON object but a {type(content).__name__}")
        job.execution_timeout = execution_timeout_of(content)
        return content

    def _store_result(self, job: Job, result: Any) -> Path:
        if isinstance(result, dict):
            path = job.directory / "result.json"
            try:
                with open(path, "w", encoding="utf-8") as stream:
                    json.dump(result, stream)
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

    def _timeout_message(self, job: Job) -> str:
        return (
            "The job was stopped: the worker did not finish within the execution_timeout of "
            f"{_seconds_text(job.execution_timeout or 0)} seconds"
        )

    def _expire_if_overdue(self, job: Job) -> None:
        """End a running job whose execution_timeout has passed (lock held)."""
        if (
            job.state == RUNNING
            and job.execution_timeout is not None
            and job.started_at is not None
            and time.monotonic() - job.started_at >= job.execution_timeout
        ):
            job.state, job.status, job.message = ENDED, TIMEOUT_ERROR, self._timeout_message(job)

    def _end(self, job: Job, status: str, message: str, result_path: Path | None) -> None:
        with self._lock:
            self._expire_if_overdue(job)
            if job.ended:
                return  # timed out meanwhile: the late result is dropped
            job.state, job.status, job.message = ENDED, status, message
            job.result_path = result_path if status == SUCCESS else None
