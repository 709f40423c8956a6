"""Local job platform: the platform's job API on loopback, with pluggable workers.

``LocalPlatform`` runs a real HTTP server on 127.0.0.1 that creates, uploads,
starts, polls and serves jobs exactly as ``OffloadTask.execute`` expects,
hands each job to the Python worker registered for its queue (in a thread,
or with ``isolated=True`` in a worker process it ends at the job's time-out
or above a memory limit), and can be told to misbehave (``platform.faults``).
``python -m tessel.local serve`` runs one from the command line; the pytest
fixture ``local_platform`` gives each test its own.

Modules: ``store`` (queues, jobs and their states, OAuth 2.0 integrations;
no HTTP), ``server`` (the job API over the store), ``platform``
(``LocalPlatform``, composing the two), ``execution`` (one job's worker run
on its files), ``processes`` (worker processes), ``errors`` (refusals that
carry their answer), ``faults``, ``workers``.
"""

try:
    import werkzeug  # noqa: F401  (the HTTP server)
except ModuleNotFoundError as missing:
    raise ModuleNotFoundError(
        "tessel.local needs the optional dependencies of the extra 'local': "
        "pip install 'tessel-external[local]'",
        name=missing.name,
    ) from missing

from typing import Any

from .faults import Fault, Faults
from .platform import DEFAULT_MEMORY_LIMIT, LocalPlatform
from .store import Job, OAuth2IntegrationState
from .workers import ERROR, SUCCESS, TIMEOUT_ERROR, WorkerFailure, echo_worker



def render_model(model: Any, path_or_format: Any = "svg") -> Any:
    """Draw a `tessel.external.plexum.Model` before shipping it (needs the ``local`` extra).

    See `tessel.local.plexum_worker.render_model`.
    """
    from .plexum_worker import render_model as render

    return render(model, path_or_format)


__all__ = [
    "render_model",
    "LocalPlatform",
    "WorkerFailure",
    "Job",
    "Fault",
    "Faults",
    "OAuth2IntegrationState",
    "echo_worker",
    "SUCCESS",
    "ERROR",
    "TIMEOUT_ERROR",
    "DEFAULT_MEMORY_LIMIT",
]
