"""The local job platform: a job store and its HTTP face, composed and run on loopback.

The store (`tessel.local.store`) keeps queues, jobs and their workers; the
server (`tessel.local.server`) answers the job API over it. `LocalPlatform`
owns both, their life cycle and the configuration a user sets.
"""

from __future__ import annotations

import logging
import os
import secrets
import shutil
import tempfile
import threading
from collections.abc import Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from .faults import Faults
from .processes import DEFAULT_MEMORY_LIMIT
from .server import make_server
from .store import Job, JobStore, OAuth2IntegrationState
from .workers import Worker

__all__ = ["DEFAULT_MAX_UPLOAD_SIZE", "DEFAULT_MEMORY_LIMIT", "Job", "LocalPlatform", "OAuth2IntegrationState"]

logger = logging.getLogger("tessel.local")

DEFAULT_MAX_UPLOAD_SIZE = 8 * 1024**3


class LocalPlatform:
    """A job platform on loopback that speaks the job API of ``OffloadTask``.

    Use it as a context manager (or call :meth:`start` and :meth:`stop`)::

        with LocalPlatform() as platform:
            platform.register("beams", lambda content: {"ok": True})
            with platform.connected():      # job token and API URL point here
                analysis.execute(timeout=30)

    ``host``/``port``: where the server listens (port 0 picks a free one).
    ``token``: the job token accepted as "Authorization: Bearer <token>"
    (random when not given). ``max_workers``: jobs each queue runs at once.
    ``max_upload_size``: largest upload body in bytes (413 above it).
    ``memory_limit``: bytes a job of a worker registered ``isolated`` may
    hold resident, itself and the processes it starts (default 4 GiB; None:
    no limit); above it the job is stopped with an error.
    """

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        token: str | None = None,
        max_workers: int = 4,
        max_upload_size: int = DEFAULT_MAX_UPLOAD_SIZE,
        memory_limit: int | None = DEFAULT_MEMORY_LIMIT,
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
        self._store = JobStore(token or secrets.token_urlsafe(24), max_workers=max_workers,
                               max_upload_size=max_upload_size, memory_limit=memory_limit)
        self._server: Any = None
        self._thread: threading.Thread | None = None

    # -- life cycle ---------------------------------------------------------

    def start(self) -> LocalPlatform:
        """Start the server in a background thread; returns the platform."""
        if self._server is not None:
            raise RuntimeError("the platform is already running")
        directory = Path(tempfile.mkdtemp(prefix="tessel-local-"))
        self._store.open(directory)
        try:
            self._server = make_server(self._store, self._host, self._port)
        except BaseException:
            self._store.close()
            shutil.rmtree(directory, ignore_errors=True)
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
        """Stop the server, drop queued jobs, end running worker processes and remove every job file.

        Workers still running in threads are not waited for (a thread cannot
        be stopped); their results are discarded.
        """
        server, self._server = self._server, None
        if server is None:
            return
        server.shutdown()
        server.server_close()
        if self._thread is not None:
            self._thread.join()
        directory = self._store.directory
        self._store.close()
        if directory is not None:
            shutil.rmtree(directory, ignore_errors=True)
        self._thread = None

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
        url: str = self._server.url
        return url

    @property
    def api_url(self) -> str:
        """Base URL of the job API, ending in "/" (what ``_get_api_endpoint()`` returns)."""
        return self.url + "api/"

    @property
    def token(self) -> str:
        """The job token the platform accepts."""
        return self._store.token

    @property
    def directory(self) -> Path:
        """The temporary directory holding the jobs' files while the platform runs."""
        self._require_running()
        directory = self._store.directory
        assert directory is not None  # open while the server runs
        return directory

    @property
    def faults(self) -> Faults:
        """The faults injected into this platform's jobs (see `tessel.local.faults`)."""
        return self._store.faults

    @property
    def max_upload_size(self) -> int:
        """Largest upload body in bytes (413 above it)."""
        return self._store.max_upload_size

    @max_upload_size.setter
    def max_upload_size(self, size: int) -> None:
        self._store.max_upload_size = size

    def register(
        self, queue: str, worker: Worker, *, content: str = "dict", isolated: bool = False,
        memory_limit: int | None = None,
    ) -> None:
        """Serve ``queue`` with ``worker``; registering a queue again replaces its worker.

        ``content="dict"`` hands the worker the parsed job content;
        ``content="path"`` hands it a :class:`pathlib.Path` to the uploaded
        JSON file (for big content, which then is not parsed by the platform).

        ``isolated=True`` runs each job in a worker process of its own, which
        is killed at the job's execution_timeout or when it holds more than
        ``memory_limit`` bytes (default: the platform's), so a runaway job
        never outlives its time-out. The worker must be picklable (a
        module-level function, or an object of a module-level class); it is
        sent to warm processes once, and each job sees the platform's
        environment and working directory of the moment it starts. Without
        it, the worker is called in a thread of the platform (any callable).
        """
        self._store.register(queue, worker, content=content, isolated=isolated, memory_limit=memory_limit)

    def unregister(self, queue: str) -> None:
        """Stop serving ``queue`` (its jobs still queued then end with an error)."""
        self._store.unregister(queue)

    @property
    def queues(self) -> list[str]:
        """Names of the queues that have a worker."""
        return self._store.queues

    def add_oauth2_integration(
        self, name: str, *, assigned: bool = True, logged_in: bool = True
    ) -> OAuth2IntegrationState:
        """Configure the OAuth 2.0 integration ``name`` and return its state.

        ``assigned`` False answers token rotations with 412, ``logged_in``
        False with 401; both can be changed later on the returned state.
        """
        return self._store.add_oauth2_integration(name, assigned=assigned, logged_in=logged_in)

    @property
    def jobs(self) -> Mapping[str, Job]:
        """Snapshot of the jobs by id, in the order they were created."""
        return self._store.jobs()

    def _require_running(self) -> None:
        if self._server is None:
            raise RuntimeError("the platform is not running; use it as a context manager or call start()")
