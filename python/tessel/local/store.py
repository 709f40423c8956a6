"""The job store: queues and their workers, jobs and their states, OAuth 2.0 integrations.

The job API's server calls the public methods here and nothing else; each
refusal is a `PlatformError` that carries the answer to give. Nothing here
knows HTTP: addresses are built by the server from the keys a job holds.

A job moves CREATED -> UPLOADED (content taken) -> QUEUED (started) ->
RUNNING -> ENDED (status, message and maybe a result). Every job gets a
directory of its own under the store's directory, named after its generated
id; the upload and result keys are generated secrets too. Nothing a client
sends is ever used as a path.

Each queue runs up to ``max_workers`` jobs at once, each in a thread of its
own, so a job that never ends holds a slot of its own queue only. A worker
registered as a callable runs in that thread; one registered ``isolated``
runs in a worker process (`tessel.local.processes`), which is killed at the
job's time-out or above its memory limit. A line on the logger
"tessel.local.jobs" tells how each job ended.
"""

from __future__ import annotations

import collections
import logging
import os
import secrets
import threading
import time
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass
from pathlib import Path

from . import errors
from .execution import Outcome, execute, timeout_message
from .faults import Faults
from .processes import WorkerProcesses, check_memory_limit
from .workers import CONTENT_KINDS, ERROR, SUCCESS, TIMEOUT_ERROR, Worker

logger = logging.getLogger("tessel.local")
jobs_logger = logging.getLogger("tessel.local.jobs")

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
class Answer:
    """What a poll of an ended job tells: its status and message, and whether it has a result."""

    status: str | None
    message: str | None
    has_result: bool


@dataclass(frozen=True)
class _Registration:
    worker: Worker
    content: str
    processes: WorkerProcesses | None  # None: the worker runs in the job's thread


class _Slots:
    """The running jobs of one queue: at most ``size`` at once, each in a daemon thread.

    Daemon threads: a worker thread that never returns cannot keep the
    interpreter from exiting.
    """

    def __init__(self, size: int, run: Callable[[Job], None]) -> None:
        self._size = size
        self._run = run
        self._lock = threading.Lock()
        self._waiting: collections.deque[Job] = collections.deque()
        self._threads = 0

    def submit(self, job: Job) -> None:
        with self._lock:
            self._waiting.append(job)
            if self._threads >= self._size:
                return
            self._threads += 1
        threading.Thread(target=self._drain, name=f"tessel-local-job-{job.queue}", daemon=True).start()

    def drop_waiting(self) -> None:
        with self._lock:
            self._waiting.clear()

    def _drain(self) -> None:
        while True:
            with self._lock:
                if not self._waiting:
                    self._threads -= 1
                    return
                job = self._waiting.popleft()
            try:
                self._run(job)
            except Exception:
                logger.exception("job %s of queue %r could not be run", job.id, job.queue)


class JobStore:
    """Jobs, queues and integrations of one platform, safe to use from any thread.

    ``token``: the job token requests must carry. ``max_workers``: jobs each
    queue runs at once. ``max_upload_size``: largest upload body in bytes.
    ``memory_limit``: bytes a job of a worker process may hold resident
    (None: no limit), unless its registration says otherwise.
    """

    def __init__(self, token: str, *, max_workers: int, max_upload_size: int, memory_limit: int | None) -> None:
        """Configure the store; jobs can be created once it is opened."""
        check_memory_limit(memory_limit)
        self.token = token
        self.max_upload_size = max_upload_size
        self.faults = Faults()
        self._max_workers = max_workers
        self._memory_limit = memory_limit
        self._lock = threading.Lock()
        self._queues: dict[str, _Registration] = {}
        self._jobs: dict[str, Job] = {}
        self._by_upload_key: dict[str, Job] = {}
        self._by_result_key: dict[str, Job] = {}
        self._integrations: dict[str, OAuth2IntegrationState] = {}
        self._slots: dict[str, _Slots] = {}
        # Every set of worker processes made, the replaced ones too: `close` ends them all.
        self._processes: list[WorkerProcesses] = []
        self._directory: Path | None = None

    # -- life cycle -------------------------------------------------------------

    def open(self, directory: Path) -> None:
        """Take jobs, keeping their files under ``directory``; worker processes start warming up."""
        with self._lock:
            self._directory = directory
            for queue, registration in self._queues.items():
                if registration.processes is not None and registration.processes.stopped:
                    # Started again after a stop: fresh processes for the same worker.
                    processes = WorkerProcesses(registration.worker, registration.content,
                                                registration.processes.memory_limit)
                    self._queues[queue] = _Registration(registration.worker, registration.content, processes)
                    self._processes.append(processes)
            warming = [r.processes for r in self._queues.values() if r.processes is not None]
        for processes in warming:
            processes.warm_up()

    def close(self) -> None:
        """Drop every job: queued jobs never run, running worker processes are killed.

        Workers still running in threads are not waited for (a thread cannot
        be stopped); their results are discarded.
        """
        with self._lock:
            self._directory = None
            slots, self._slots = list(self._slots.values()), {}
            processes, self._processes = self._processes, []
            self._jobs.clear()
            self._by_upload_key.clear()
            self._by_result_key.clear()
        for queue_slots in slots:
            queue_slots.drop_waiting()
        for worker_processes in processes:
            worker_processes.stop()

    @property
    def directory(self) -> Path | None:
        """The directory of the jobs' files while the store is open."""
        return self._directory

    # -- configuration ------------------------------------------------------------

    def register(
        self, queue: str, worker: Worker, *, content: str = "dict", isolated: bool = False,
        memory_limit: int | None = None,
    ) -> None:
        """Serve ``queue`` with ``worker``, replacing its worker if it has one.

        ``isolated``: each job in a worker process, with ``memory_limit``
        (None: the store's).
        """
        if not isinstance(queue, str):
            raise TypeError(f"queue must be str, got {type(queue).__name__}")
        if not callable(worker):
            raise TypeError(f"worker must be callable, got {type(worker).__name__}")
        if content not in CONTENT_KINDS:
            raise ValueError(f"content must be one of {CONTENT_KINDS}, got {content!r}")
        processes = None
        if isolated:
            limit = self._memory_limit if memory_limit is None else memory_limit
            processes = WorkerProcesses(worker, content, limit)
        elif memory_limit is not None:
            raise ValueError("memory_limit applies to workers run in worker processes: register with isolated=True")
        with self._lock:
            replaced = self._queues.get(queue)
            self._queues[queue] = _Registration(worker, content, processes)
            if processes is not None:
                self._processes.append(processes)
            running = self._directory is not None
        self._retire(replaced)
        if processes is not None and running:
            processes.warm_up()

    def unregister(self, queue: str) -> None:
        """Stop serving ``queue``."""
        with self._lock:
            replaced = self._queues.pop(queue, None)
        self._retire(replaced)

    @staticmethod
    def _retire(registration: _Registration | None) -> None:
        """Jobs running with a replaced worker finish; its idle processes end."""
        if registration is not None and registration.processes is not None:
            registration.processes.retire()

    @property
    def queues(self) -> list[str]:
        """Names of the queues that have a worker."""
        with self._lock:
            return list(self._queues)

    def add_oauth2_integration(self, name: str, *, assigned: bool, logged_in: bool) -> OAuth2IntegrationState:
        """Configure the OAuth 2.0 integration ``name`` and return its state."""
        if not isinstance(name, str):
            raise TypeError(f"name must be str, got {type(name).__name__}")
        state = OAuth2IntegrationState(name, bool(assigned), bool(logged_in))
        with self._lock:
            self._integrations[name] = state
        return state

    def jobs(self) -> dict[str, Job]:
        """Snapshot of the jobs by id, in the order they were created."""
        with self._lock:
            for job in self._jobs.values():
                self._expire_if_overdue(job)
            return dict(self._jobs)

    # -- the job API ------------------------------------------------------------

    def accepts(self, token: str) -> bool:
        """True when ``token`` is the job token."""
        return secrets.compare_digest(token.encode(), self.token.encode())

    def create_job(self, queue: str) -> Job:
        """Create a job on ``queue``."""
        with self._lock:
            if queue not in self._queues:
                raise errors.NotFound(f"No worker is connected to queue '{queue}'")
            assert self._directory is not None  # requests are served only while the store is open
            job_id = secrets.token_urlsafe(16)
            directory = self._directory / job_id
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

    def job(self, queue: str, job_id: str) -> Job:
        """The job ``job_id`` of ``queue``."""
        with self._lock:
            job = self._jobs.get(job_id)
        if job is None or job.queue != queue:
            raise errors.NotFound("Job not found.")
        return job

    def job_by_upload_key(self, key: str) -> Job:
        """The job whose content is uploaded with ``key``."""
        with self._lock:
            job = self._by_upload_key.get(key)
        if job is None:
            raise errors.NotFound("Unknown upload URL.")
        return job

    def job_by_result_key(self, key: str) -> Job:
        """The job whose result is downloaded with ``key``."""
        with self._lock:
            job = self._by_result_key.get(key)
        if job is None:
            raise errors.NotFound("Unknown result URL.")
        return job

    def accept_upload(self, job: Job, fields: Mapping[str, str], files: Iterable[tuple[str, Path]]) -> None:
        """Check an upload's form fields and file parts and take its one file as the job content.

        ``files`` are the (form name, path on disk) of the file parts; the
        accepted file is moved into the job's directory.
        """
        for name, expected in job.upload_data.items():
            value = fields.get(name)
            if value is None:
                raise errors.BadRequest(f"Missing form field '{name}'.")
            if not secrets.compare_digest(value.encode(), expected.encode()):
                raise errors.Forbidden(f"Wrong value of form field '{name}'.")
        parts = list(files)
        if len(parts) != 1 or parts[0][0] != "file":
            raise errors.BadRequest("The upload must carry exactly one file part, named 'file'.")
        with self._lock:
            if job.state != CREATED:
                raise errors.Forbidden("The upload token of this job has already been used.")
            content_path = job.directory / "content.json"
            os.replace(parts[0][1], content_path)
            job.content_path = content_path
            job.state = UPLOADED

    def start_job(self, job: Job) -> None:
        """Queue an uploaded job for its worker; a job already started stays as it is."""
        with self._lock:
            if job.state == CREATED:
                raise errors.Conflict("The job content has not been uploaded yet.")
            if job.state == UPLOADED:
                job.state = QUEUED
                slots = self._slots.get(job.queue)
                if slots is None:
                    slots = self._slots[job.queue] = _Slots(self._max_workers, self._run_job)
                slots.submit(job)

    def poll(self, job: Job) -> Answer:
        """How ``job`` ended; `errors.NotFound` while it waits or runs."""
        with self._lock:
            self._expire_if_overdue(job)
            if not job.ended:
                raise errors.NotFound("The job has not finished yet.")
            return Answer(job.status, job.message, job.result_path is not None)

    def rotate_access_token(self, name: str) -> str:
        """A fresh access token of the integration ``name``."""
        with self._lock:
            state = self._integrations.get(name)
            if state is None:
                raise errors.NotFound("integration not found")
            if not state.assigned:
                raise errors.PreconditionFailed("integration not assigned to this app")
            if not state.logged_in:
                raise errors.Unauthorized("needs login from user")
            state.access_token = secrets.token_urlsafe(32)
            state.rotations += 1
            return state.access_token

    # -- running jobs -------------------------------------------------------------

    def _run_job(self, job: Job) -> None:
        """Run one job and record how it ended."""
        with self._lock:
            if job.state != QUEUED or job.id not in self._jobs:
                return
            job.state = RUNNING
            job.started_at = time.monotonic()
            registration = self._queues.get(job.queue)
        self._end(job, self._outcome(job, registration))

    def _outcome(self, job: Job, registration: _Registration | None) -> Outcome:
        fault = self.faults.take(job.queue, "worker")
        if fault is not None:
            time.sleep(fault.delay)
            return Outcome(str(fault.status), fault.message)  # a text: checked by Faults.add
        if registration is None:
            return Outcome(ERROR, f"No worker is connected to queue '{job.queue}'")
        assert job.content_path is not None and job.started_at is not None  # set before a job runs

        def begin(timeout: float | None) -> None:
            job.execution_timeout = timeout

        if registration.processes is not None:
            return registration.processes.run(job.content_path, job.directory, job.started_at, begin)
        return execute(registration.worker, registration.content, job.content_path, job.directory, begin)

    def _expire_if_overdue(self, job: Job) -> None:
        """End a running job whose execution_timeout has passed (lock held)."""
        if (
            job.state == RUNNING
            and job.execution_timeout is not None
            and job.started_at is not None
            and time.monotonic() - job.started_at >= job.execution_timeout
        ):
            job.state, job.status, job.message = ENDED, TIMEOUT_ERROR, timeout_message(job.execution_timeout)
            self._log_end(job)

    @staticmethod
    def _log_end(job: Job) -> None:
        seconds = time.monotonic() - job.started_at if job.started_at is not None else 0.0
        jobs_logger.info("job %s of queue %r ended %s after %.2f s", job.id, job.queue, job.status, seconds)

    def _end(self, job: Job, outcome: Outcome) -> None:
        if outcome.traceback is not None:
            logger.info("worker of queue %r failed on job %s:\n%s", job.queue, job.id, outcome.traceback)
        with self._lock:
            job.traceback = outcome.traceback
            self._expire_if_overdue(job)
            if job.ended:
                return  # timed out meanwhile: the late result is dropped
            job.state, job.status, job.message = ENDED, outcome.status, outcome.message
            job.result_path = outcome.result_path if outcome.status == SUCCESS else None
            self._log_end(job)
