"""Command line: ``python -m tessel.local serve --port N --queue NAME ...``."""

from __future__ import annotations

import argparse
import importlib
import logging
import signal
import sys
import threading
from collections.abc import Sequence

from .platform import DEFAULT_MAX_UPLOAD_SIZE, LocalPlatform
from .workers import Worker, echo_worker


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


def _queue(text: str) -> tuple[str, Worker]:
    """Parse NAME or NAME=MODULE:CALLABLE."""
    name, sep, reference = text.partition("=")
    if not name:
        raise argparse.ArgumentTypeError(f"a queue needs a name, got {text!r}")
    return name, _worker(reference) if sep else echo_worker


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
        "with its own job content (repeatable)",
    )
    serve.add_argument("--token", help="job token to accept (default: a random one)")
    serve.add_argument("--workers", type=int, default=4, help="size of the worker pool (default 4)")
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


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG, format="%(asctime)s %(name)s %(message)s")
    if not args.queue:
        print("warning: no --queue given; every job creation will be answered 404", file=sys.stderr)

    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    platform = LocalPlatform(
        host=args.host,
        port=args.port,
        token=args.token,
        max_workers=args.workers,
        max_upload_size=args.max_upload_size,
    )
    for name, worker in args.queue:
        platform.register(name, worker)
    for name in args.oauth2_integration:
        platform.add_oauth2_integration(name)
    with platform:
        queues = ", ".join(repr(name) for name, _ in args.queue) or "none"
        print(f"tessel.local: serving queues {queues} at {platform.api_url}", flush=True)
        print(f"TESSEL_API_URL={platform.api_url}", flush=True)
        print(f"TESSEL_JOB_TOKEN={platform.token}", flush=True)
        try:
            while not stopping.wait(0.5):
                pass
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
