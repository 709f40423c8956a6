"""Command line: ``python -m tessel.local serve --port N --queue NAME ...``.

Queues served by MODULE:CALLABLE run each job in a worker process (killed at
the job's time-out or above the memory limit); echo queues answer in a
thread. One line per job tells how it ended. SIGTERM and Ctrl-C stop the
platform, ending the jobs still running.
"""

from __future__ import annotations

import argparse
import importlib
import logging
import signal
import sys
import threading
from collections.abc import Sequence

from .platform import DEFAULT_MAX_UPLOAD_SIZE, DEFAULT_MEMORY_LIMIT, LocalPlatform
from .workers import Worker, echo_worker

_MIB = 1024 * 1024


def _worker(reference: str) -> Worker:
    """Import "module:callable"."""
    module_name, _, attribute = reference.partition(":")
    if not module_name or not attribute:
        raise argparse.ArgumentTypeError(f"expected MODULE:CALLABLE, got {reference!r}")
    try:
        target = importlib.import_module(module_name)
        for name in attribute.split("."):
            target = getattr(target, name)
    except (ImportError, AttributeError) as exc:
        raise argparse.ArgumentTypeError(f"cannot load the worker {reference}: {exc}") from None
    if not callable(target):
        raise argparse.ArgumentTypeError(f"{reference} is not callable")
    return target


def _queue(text: str) -> tuple[str, Worker | None]:
    """Parse NAME or NAME=MODULE:CALLABLE; None stands for the echo worker."""
    name, sep, reference = text.partition("=")
    if not name:
        raise argparse.ArgumentTypeError(f"a queue needs a name, got {text!r}")
    return name, _worker(reference) if sep else None


def _mebibytes(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of MiB (0: no limit), got {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m tessel.local", description=__doc__)
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser(
        "serve",
        help="run a local job platform until interrupted",
        description="Run a local job platform until interrupted (Ctrl-C or SIGTERM). "
        "It prints the API URL and job token to use as TESSEL_API_URL and TESSEL_JOB_TOKEN.",
    )
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    serve.add_argument("--port", type=int, default=0, help="port to listen on (default: a free port)")
    serve.add_argument(
        "--queue",
        action="append",
        type=_queue,
        default=[],
        metavar="NAME[=MODULE:CALLABLE]",
        help="serve a queue; with only a NAME the built-in echo worker answers every job "
        "with its own job content; a MODULE:CALLABLE worker runs each job in a worker process (repeatable)",
    )
    serve.add_argument("--token", help="job token to accept (default: a random one)")
    serve.add_argument("--workers", type=int, default=4, help="jobs each queue runs at once (default 4)")
    serve.add_argument(
        "--memory-limit",
        type=_mebibytes,
        default=DEFAULT_MEMORY_LIMIT // _MIB,
        metavar="MIB",
        help="memory a job of a worker process may use, in MiB; 0: no limit "
        f"(default {DEFAULT_MEMORY_LIMIT // _MIB})",
    )
    serve.add_argument(
        "--max-upload-size",
        type=int,
        default=DEFAULT_MAX_UPLOAD_SIZE,
        metavar="BYTES",
        help=f"largest accepted upload (default {DEFAULT_MAX_UPLOAD_SIZE})",
    )
    serve.add_argument(
        "--oauth2-integration",
        action="append",
        default=[],
        metavar="NAME",
        help="configure an OAuth 2.0 integration, assigned and logged in (repeatable)",
    )
    serve.add_argument("--verbose", action="store_true", help="log every request to stderr")
    return parser


def _print_job_ends() -> None:
    """Print the line the platform logs when a job ends, "tessel.local: job ... ended STATUS after N s"."""
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(logging.Formatter("tessel.local: %(message)s"))
    jobs = logging.getLogger("tessel.local.jobs")
    jobs.addHandler(handler)
    jobs.setLevel(logging.INFO)
    jobs.propagate = False


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG, format="%(asctime)s %(name)s %(message)s")
    if not args.queue:
        print("warning: no --queue given; every job creation will be answered 404", file=sys.stderr)

    platform = LocalPlatform(
        host=args.host,
        port=args.port,
        token=args.token,
        max_workers=args.workers,
        max_upload_size=args.max_upload_size,
        memory_limit=args.memory_limit * _MIB or None,
    )
    for name, worker in args.queue:
        try:
            if worker is None:
                platform.register(name, echo_worker)
            else:
                platform.register(name, worker, isolated=True)
        except TypeError as exc:
            parser.error(f"argument --queue: {exc}")
    for name in args.oauth2_integration:
        platform.add_oauth2_integration(name)
    _print_job_ends()

    stopping = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: stopping.set())
    with platform:
        queues = ", ".join(repr(name) for name, _ in args.queue) or "none"
        print(f"tessel.local: serving queues {queues} at {platform.api_url}", flush=True)
        print(f"TESSEL_API_URL={platform.api_url}", flush=True)
        print(f"TESSEL_JOB_TOKEN={platform.token}", flush=True)
        while not stopping.wait(0.5):
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
