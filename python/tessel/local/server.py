"""HTTP face of the local platform: a threaded Werkzeug server and the job API over a job store.

Routes (the API base URL is ROOT + "api/"):

    POST api/jobs/<queue>/                          create a job
    POST storage/uploads/<upload key>               upload its content (multipart form)
    POST api/jobs/<queue>/<id>/start/               start it
    GET  api/jobs/<queue>/<id>                      poll it (404 until it has ended)
    GET  storage/results/<result key>               download its result (no auth)
    POST api/oauth2/integrations/<name>/rotate-access-token/

Path segments are matched on the raw request target and percent-decoded one
by one, so a name holding an encoded "/" stays one segment; a target with raw
bytes outside ASCII matches no route.

The endpoints call the job store's public methods only. A refusal, the
store's or the server's own, is raised as a `PlatformError`, which carries
its whole answer; `_JobApi.__call__` turns any of them into the response.
"""

from __future__ import annotations

import io
import json
import logging
import os
import secrets
import socket
import time
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, Callable
from urllib.parse import unquote_to_bytes, urlsplit

from werkzeug.datastructures import FileStorage, MultiDict
from werkzeug.exceptions import BadRequest, RequestEntityTooLarge
from werkzeug.http import parse_options_header
from werkzeug.sansio.multipart import Data, Epilogue, Field, File, MultipartDecoder, NeedData
from werkzeug.serving import ThreadedWSGIServer, WSGIRequestHandler
from werkzeug.wrappers import Response
from werkzeug.wsgi import get_content_length, get_input_stream, wrap_file

from . import errors
from .errors import PlatformError
from .faults import Fault
from .store import Job, JobStore

if TYPE_CHECKING:
    from _typeshed.wsgi import WSGIEnvironment

logger = logging.getLogger("tessel.local")

# Read and write big bodies in pieces of this size.
_BUFFER_SIZE = 1024 * 1024
# Werkzeug's multipart decoder also applies the form-field limit to each
# piece it is fed, so the limit must exceed the piece size.
_MAX_FORM_FIELD_SIZE = 2 * _BUFFER_SIZE
_MAX_FORM_PARTS = 32

_NOT_AUTHENTICATED = "Authentication credentials were not provided or are not valid."


class _QuietRequestHandler(WSGIRequestHandler):
    """Request handler that logs to the "tessel.local" logger at debug level only."""

    def log_request(self, code: int | str = "-", size: int | str = "-") -> None:
        """Log the request line and answer code, without terminal colours."""
        logger.debug('%s "%s" %s', self.address_string(), self.requestline, code)

    def log(self, type: str, message: str, *args: Any) -> None:
        """Send Werkzeug's error lines to the debug log."""
        logger.debug("%s %s", self.address_string(), message % args if args else message)


class _Server(ThreadedWSGIServer):
    """Threaded Werkzeug server whose own log lines stay at debug level."""

    @property
    def url(self) -> str:
        """Root URL of the server, ending in "/"."""
        host = str(self.server_address[0])
        if ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{self.server_port}/"

    def log(self, type: str, message: str, *args: Any) -> None:
        """Send server errors to the debug log instead of stderr."""
        logger.debug(message, *args)

    def handle_error(self, request: Any, client_address: Any) -> None:
        """Log errors outside a request (the base class prints them)."""
        logger.debug("error while serving %s", client_address, exc_info=True)


def make_server(store: JobStore, host: str, port: int) -> _Server:
    """Bind a server of the job API over ``store`` on ``host``:``port`` (0 = a free port)."""
    api = _JobApi(store)
    server = _Server(host, port, api, handler=_QuietRequestHandler)
    api.root_url = server.url
    return server


def _json(body: Any, status: int = 200, headers: dict[str, str] | None = None) -> Response:
    return Response(json.dumps(body), status, headers or {}, mimetype="application/json")


def _error_response(error: PlatformError) -> Response:
    return _json(error.body, error.status, error.headers)


def _segments(environ: WSGIEnvironment) -> list[str] | None:
    """The request path as decoded segments, without the empty one of a trailing "/".

    None for a request target that is not ASCII: such a target names nothing here.
    """
    raw = environ.get("REQUEST_URI")
    if raw is None:
        target = environ.get("PATH_INFO", "/").encode("latin-1")
    else:
        # Werkzeug passes the request target UTF-8-encoded, then read as Latin-1.
        try:
            target = raw.encode("latin-1").decode("utf-8").encode("latin-1")
        except UnicodeError:
            target = raw.encode("latin-1")
        if not target.isascii():
            return None
        target = urlsplit(target).path
    parts = target.split(b"/")[1:]
    if parts and parts[-1] == b"":
        parts.pop()
    return [unquote_to_bytes(part).decode("utf-8", "replace") for part in parts]


class _TooManyParts(Exception):
    """The upload has more form parts than the platform reads."""


def _parse_form(
    stream: IO[bytes], boundary: bytes, new_file: Callable[[], IO[bytes]]
) -> tuple[MultiDict[str, str], MultiDict[str, FileStorage]]:
    """Parse a multipart/form-data body: text fields in memory, file parts streamed to ``new_file()``.

    Raises `_TooManyParts` beyond `_MAX_FORM_PARTS` parts, `RequestEntityTooLarge`
    for a field beyond `_MAX_FORM_FIELD_SIZE` bytes and `ValueError` for a body
    that is not a whole form.
    """
    decoder = MultipartDecoder(boundary, max_form_memory_size=_MAX_FORM_FIELD_SIZE)
    fields: MultiDict[str, str] = MultiDict()
    files: MultiDict[str, FileStorage] = MultiDict()
    parts = 0
    part: Field | File | None = None
    sink: Any = None
    while True:
        chunk = stream.read(_BUFFER_SIZE)
        decoder.receive_data(chunk or None)
        event = decoder.next_event()
        while not isinstance(event, (NeedData, Epilogue)):
            if isinstance(event, (Field, File)):
                parts += 1
                if parts > _MAX_FORM_PARTS:
                    raise _TooManyParts
                part, sink = event, new_file() if isinstance(event, File) else io.BytesIO()
            elif isinstance(event, Data):
                if part is None:
                    raise ValueError("form data before the first part")
                if isinstance(part, Field) and sink.tell() + len(event.data) > _MAX_FORM_FIELD_SIZE:
                    raise RequestEntityTooLarge
                sink.write(event.data)
                if not event.more_data:
                    if isinstance(part, Field):
                        fields.add(part.name, sink.getvalue().decode("utf-8", "replace"))
                    else:
                        sink.seek(0)
                        files.add(part.name, FileStorage(sink, part.filename, part.name, headers=part.headers))
            event = decoder.next_event()
        if not chunk:
            return fields, files


class _Dropped(ConnectionAbortedError):
    """Raised after closing a connection on purpose; Werkzeug treats it as a dropped connection."""


class _JobApi:
    """The WSGI application of the local platform."""

    def __init__(self, store: JobStore) -> None:
        """Serve the jobs of ``store``; ``root_url`` is set once the server is bound."""
        self.store = store
        self.root_url = ""

    def __call__(self, environ: WSGIEnvironment, start_response: Any) -> Any:
        """Route one request and answer it."""
        try:
            response = self.dispatch(environ)
        except PlatformError as error:
            response = _error_response(error)
        return response(environ, start_response)

    def dispatch(self, environ: WSGIEnvironment) -> Response:
        """Find the endpoint of the request and run it."""
        method = environ["REQUEST_METHOD"]
        path = _segments(environ)
        route = None if path is None else self._route(path)
        if route is None:
            raise errors.NotFound("Not found.")
        allowed, endpoint, args = route
        if method != allowed:
            raise errors.MethodNotAllowed(f"Method {method} not allowed.", {"Allow": allowed})
        response: Response = endpoint(environ, *args)
        return response

    def _route(self, path: list[str]) -> tuple[str, Any, tuple[str, ...]] | None:
        match path:
            case ["api", "jobs", queue]:
                return "POST", self.create, (queue,)
            case ["api", "jobs", queue, job_id, "start"]:
                return "POST", self.start, (queue, job_id)
            case ["api", "jobs", queue, job_id]:
                return "GET", self.poll, (queue, job_id)
            case ["api", "oauth2", "integrations", name, "rotate-access-token"]:
                return "POST", self.rotate_access_token, (name,)
            case ["storage", "uploads", key]:
                return "POST", self.upload, (key,)
            case ["storage", "results", key]:
                return "GET", self.download, (key,)
        return None

    # -- faults ---------------------------------------------------------------

    def _fault(self, environ: WSGIEnvironment, queue: str, step: str) -> Response | None:
        """Apply the fault of ``queue``/``step`` if there is one; a Response replaces the answer."""
        fault = self.store.faults.take(queue, step)
        if fault is None:
            return None
        if fault.delay:
            time.sleep(fault.delay)
        if fault.drop:
            connection: socket.socket = environ["werkzeug.socket"]
            try:
                connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            raise _Dropped(f"connection dropped by a fault on {step} of queue {queue!r}")
        if not fault.answers:
            return None
        return _fault_response(fault)

    # -- endpoints ------------------------------------------------------------

    def _authorize(self, environ: WSGIEnvironment) -> None:
        """Refuse a request that does not carry the job token as "Bearer <token>"."""
        scheme, _, credentials = (environ.get("HTTP_AUTHORIZATION") or "").partition(" ")
        if scheme.lower() != "bearer" or not self.store.accepts(credentials.strip()):
            raise errors.Unauthorized(_NOT_AUTHENTICATED, {"WWW-Authenticate": "Bearer"})

    def _refusal(self, environ: WSGIEnvironment, queue: str, step: str) -> Response | None:
        """The answer of an injected fault, which replaces the endpoint's own; then the token is checked."""
        faulty = self._fault(environ, queue, step)
        if faulty is None:
            self._authorize(environ)
        return faulty

    def create(self, environ: WSGIEnvironment, queue: str) -> Response:
        """Create a job on ``queue``: its id and where and how to upload its content."""
        refused = self._refusal(environ, queue, "create")
        if refused is not None:
            return refused
        job = self.store.create_job(queue)
        upload_url = f"{self.root_url}storage/uploads/{job.upload_key}"
        return _json({"id": job.id, "upload_url": upload_url, "upload_data": job.upload_data})

    def start(self, environ: WSGIEnvironment, queue: str, job_id: str) -> Response:
        """Hand an uploaded job to its worker (again: nothing happens)."""
        refused = self._refusal(environ, queue, "start")
        if refused is not None:
            return refused
        job = self.store.job(queue, job_id)
        self.store.start_job(job)
        return _json({"id": job.id})

    def poll(self, environ: WSGIEnvironment, queue: str, job_id: str) -> Response:
        """404 while the job waits or runs; 200 with status, message and result_url once ended."""
        refused = self._refusal(environ, queue, "poll")
        if refused is not None:
            return refused
        job = self.store.job(queue, job_id)
        answer = self.store.poll(job)
        result_url = f"{self.root_url}storage/results/{job.result_key}" if answer.has_result else None
        return _json({"status": answer.status, "message": answer.message, "result_url": result_url})

    def rotate_access_token(self, environ: WSGIEnvironment, name: str) -> Response:
        """Rotate and return the access token of the OAuth 2.0 integration ``name``."""
        self._authorize(environ)
        return _json({"access_token": self.store.rotate_access_token(name)})

    def upload(self, environ: WSGIEnvironment, key: str) -> Response:
        """Take the job content from a multipart form, streaming its file part to disk."""
        job = self.store.job_by_upload_key(key)
        faulty = self._fault(environ, job.queue, "upload")
        if faulty is not None:
            return faulty
        mimetype, options = parse_options_header(environ.get("CONTENT_TYPE"))
        boundary = options.get("boundary", "").encode("latin-1")
        if mimetype != "multipart/form-data" or not boundary:
            raise errors.BadRequest("The upload must be a multipart/form-data body.")

        streams: list[IO[bytes]] = []

        def to_job_directory() -> IO[bytes]:
            stream = open(job.directory / f"upload-{secrets.token_hex(8)}.part", "wb+")
            streams.append(stream)
            return stream

        limit = self.store.max_upload_size
        try:
            stream = get_input_stream(environ, max_content_length=limit)
            form, files = _parse_form(stream, boundary, to_job_directory)
            for part in streams:
                part.close()
            parts = [(name, Path(str(file.stream.name))) for name, file in files.items(multi=True)]
            self.store.accept_upload(job, form, parts)
            return Response(status=204)
        except _TooManyParts:
            raise errors.PayloadTooLarge(f"The upload has more than {_MAX_FORM_PARTS} form parts.") from None
        except RequestEntityTooLarge:
            declared = get_content_length(environ)
            if declared is None or declared > limit:
                detail = f"The upload exceeds the size limit of {limit} bytes."
            else:
                detail = f"A form field of the upload exceeds {_MAX_FORM_FIELD_SIZE} bytes."
            raise errors.PayloadTooLarge(detail) from None
        except (ValueError, BadRequest) as exc:
            raise errors.BadRequest(f"The upload is not a valid multipart/form-data body: {exc}") from None
        finally:
            for part in streams:
                part.close()
                Path(part.name).unlink(missing_ok=True)

    def download(self, environ: WSGIEnvironment, key: str) -> Response:
        """Stream the result content of an ended job from disk."""
        job: Job = self.store.job_by_result_key(key)
        faulty = self._fault(environ, job.queue, "download")
        if faulty is not None:
            return faulty
        path = job.result_path
        try:
            stream = open(path, "rb") if path is not None else None
        except OSError:
            stream = None
        if stream is None:
            raise errors.NotFound("The job has no result content.")
        size = os.fstat(stream.fileno()).st_size
        return Response(
            wrap_file(environ, stream, buffer_size=_BUFFER_SIZE),
            200,
            {"Content-Length": str(size)},
            mimetype="application/json",
            direct_passthrough=True,
        )


def _fault_response(fault: Fault) -> Response:
    """The answer an injected fault gives instead of the real one."""
    # HTTP steps carry an int status (checked by Faults.add).
    status = int(fault.status) if fault.status is not None else 200
    body = fault.body
    if body is None:
        if status >= 400:
            body = {"detail": f"Injected fault: {fault.step} answered {status}."}
        elif status in (204, 304):
            return Response(status=status)
        else:
            body = {}
    if isinstance(body, (dict, list)):
        return Response(json.dumps(body), status, mimetype="application/json")
    return Response(body, status, mimetype="text/plain")
