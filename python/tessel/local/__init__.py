"""Local job platform: the platform's job API on loopback, with pluggable workers.

``LocalPlatform`` runs a real HTTP server on 127.0.0.1 that creates, uploads,
starts, polls and serves jobs exactly as ``OffloadTask.execute`` expects,
hands each job to the Python worker registered for its queue, and can be told
to misbehave (``platform.faults``). ``python -m tessel.local serve`` runs one
from the command line; the pytest fixture ``local_platform`` gives each test
its own.
"""

try:
    import werkzeug  # noqa: F401  (the HTTP server)
except ModuleNotFoundError as missing:
    raise ModuleNotFoundError(
        "tessel.local needs the optional dependencies of the extra 'local': "
        "pip install 'tessel-external[local]'",
        name=missing.name,
    ) from missing

from .faults import Fault, Faults
from .platform import Job, LocalPlatform, OAuth2IntegrationState
from .workers import ERROR, SUCCESS, TIMEOUT_ERROR, WorkerFailure, echo_worker

__all__ = [
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
]
