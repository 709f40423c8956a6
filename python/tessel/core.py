"""Core building blocks: temp-file backed files and HTTP plumbing.

Everything that talks to the platform goes through the sessions on
:class:`_Context`. Configuration comes from the environment, read each time
it is needed (so a test's ``monkeypatch.setenv`` takes effect at once):

* ``TESSEL_API_URL``: the platform's API base URL;
* ``TESSEL_JOB_TOKEN``: the job token, unless ``_Context.job_token`` has been
  assigned, which then wins.
"""

from __future__ import annotations

import io
import os
import shutil
import tempfile
import weakref
from collections.abc import Callable, Iterator, Mapping
from typing import IO, Any, BinaryIO, TextIO

import requests
from requests.adapters import HTTPAdapter
from requests_toolbelt import MultipartEncoder
from urllib3.util.retry import Retry

from ._version import __version__

__all__ = ["File"]

# Chunk size used when downloading into a File.
_DOWNLOAD_CHUNK_SIZE = 1024 * 1024
# (connect, read) timeout for downloads; read is per chunk, not for the whole body.
_DOWNLOAD_TIMEOUT = (10, 300)

_ALREADY_FILLED = (
    "this File already has content and cannot be written again; "
    "create a new File() to write"
)


def _remove_quietly(path: str) -> None:
    """Delete ``path``, ignoring a file that is already gone or still locked."""
    try:
        os.remove(path)
    except OSError:
        pass


class _WriteFileIO(io.FileIO):
    """Raw write stream that reports back to its File once it is closed."""

    def __init__(self, path: str, on_close: Callable[[], None]) -> None:
        """Open ``path`` for writing; ``on_close`` runs exactly once on close."""
        super().__init__(path, "w")
        self._on_close: Callable[[], None] | None = on_close

    def close(self) -> None:
        """Close the descriptor, then notify the owning File."""
        try:
            super().close()
        finally:
            callback, self._on_close = self._on_close, None
            if callback is not None:
                callback()


class _BinaryReadStream(io.BufferedReader):
    """Read stream of a filled File; write attempts say why they fail."""

    def write(self, data: Any) -> int:
        """Refuse: a filled File cannot be written."""
        raise io.UnsupportedOperation(_ALREADY_FILLED)

    def truncate(self, size: int | None = None) -> int:
        """Refuse: a filled File cannot be modified."""
        raise io.UnsupportedOperation(_ALREADY_FILLED)


class _TextReadStream(io.TextIOWrapper):
    """Text read stream of a filled File; write attempts say why they fail."""

    def write(self, text: str) -> int:
        """Refuse: a filled File cannot be written."""
        raise io.UnsupportedOperation(_ALREADY_FILLED)

    def truncate(self, size: int | None = None) -> int:
        """Refuse: a filled File cannot be modified."""
        raise io.UnsupportedOperation(_ALREADY_FILLED)


class File:
    """File content kept on disk, so that large content never sits in memory.

    A File is either *empty* or *filled*. ``File()`` starts empty, backed by a
    new temporary file; it becomes filled once a write stream opened on it is
    closed (even if nothing was written). Files made by :meth:`from_data`,
    :meth:`from_path`, :meth:`from_url` and :meth:`copy` are filled from the
    start. Empty files open for writing, filled files open for reading; the
    content of a File is written once and never changes afterwards.

    Temporary backing files are deleted when the File is garbage collected
    (or at interpreter exit). A File made by :meth:`from_path` refers to the
    caller's file and never deletes it.
    """

    def __init__(self) -> None:
        """Create an empty File backed by a new temporary file."""
        fd, path = tempfile.mkstemp(prefix="tessel-file-")
        os.close(fd)
        self._path = path
        self._filled = False
        self._writing = False
        self._finalizer: weakref.finalize[[str], File] | None = weakref.finalize(
            self, _remove_quietly, path
        )

    @classmethod
    def from_data(cls, data: bytes | str) -> File:
        """Create a filled File holding ``data`` (a ``str`` is stored as UTF-8)."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        file = cls()
        with file.open_binary() as stream:
            stream.write(data)
        return file

    @classmethod
    def from_path(cls, path: str | os.PathLike[str]) -> File:
        """Create a File referring to the existing file at ``path``, without copying.

        The File is filled and its source is the absolute path. The file at
        ``path`` is never deleted by this object.
        """
        path = os.path.abspath(os.fspath(path))
        if not os.path.exists(path):
            raise FileNotFoundError(2, "No such file", path)
        if os.path.isdir(path):
            raise IsADirectoryError(21, "Is a directory, not a file", path)
        file = cls.__new__(cls)
        file._path = path
        file._filled = True
        file._writing = False
        file._finalizer = None
        return file

    @classmethod
    def from_url(cls, url: str) -> File:
        """Download ``url`` into a new filled File.

        The body is streamed to disk in 1 MiB chunks. A non-2xx response
        raises :class:`requests.HTTPError`; on any failure the partly written
        temporary file is removed.
        """
        file = cls()
        try:
            response = _Context.session_with_retries_no_read.get(
                url, stream=True, timeout=_DOWNLOAD_TIMEOUT
            )
            with response:
                response.raise_for_status()
                with file.open_binary() as stream:
                    for chunk in response.iter_content(chunk_size=_DOWNLOAD_CHUNK_SIZE):
                        stream.write(chunk)
        except BaseException:
            file._discard()
            raise
        return file

    @property
    def source(self) -> str:
        """Path of the file on disk holding the content."""
        return self._path

    def open(self, encoding: str = "utf-8") -> TextIO:
        """Open a text stream: writable while the File is empty, readable once filled."""
        self._require_not_writing()
        if self._filled:
            return _TextReadStream(_BinaryReadStream(io.FileIO(self._path, "r")), encoding=encoding)
        return io.TextIOWrapper(self._open_write_buffer(), encoding=encoding)

    def open_binary(self) -> BinaryIO:
        """Open a binary stream: writable while the File is empty, readable once filled.

        The read stream supports ``read``, ``readinto``, ``seek`` (including
        ``os.SEEK_END``) and ``tell``.
        """
        self._require_not_writing()
        if self._filled:
            return _BinaryReadStream(io.FileIO(self._path, "r"))
        return self._open_write_buffer()

    def copy(self) -> File:
        """Return a new temp-backed, filled File with the same content."""
        self._require_not_writing()
        duplicate = File()
        try:
            shutil.copyfile(self._path, duplicate._path)
        except BaseException:
            duplicate._discard()
            raise
        duplicate._filled = True
        return duplicate

    def getvalue_binary(self) -> bytes:
        """Return the whole content as bytes (reads it all into memory)."""
        self._require_not_writing()
        with open(self._path, "rb") as stream:
            return stream.read()

    def __repr__(self) -> str:
        """Show the class and the backing path."""
        return f"{type(self).__name__}(source={self._path!r})"

    def _open_write_buffer(self) -> io.BufferedWriter:
        """Open the single write stream of an empty File."""
        self._writing = True
        try:
            return io.BufferedWriter(_WriteFileIO(self._path, self._write_closed))
        except BaseException:
            self._writing = False
            raise

    def _write_closed(self) -> None:
        """Mark the File filled once its write stream is closed."""
        self._writing = False
        self._filled = True

    def _require_not_writing(self) -> None:
        """Raise while a write stream is open, as the content is not final yet."""
        if self._writing:
            raise io.UnsupportedOperation(
                "a write stream on this File is still open; close it first"
            )

    def _discard(self) -> None:
        """Delete the temporary backing file now instead of at collection."""
        if self._finalizer is not None:
            self._finalizer()


def _retry_policy(*, resend_after_sent: bool) -> Retry:
    """Build the urllib3 retry policy of a retrying session.

    Connection errors (nothing was sent yet) are always retried. With
    ``resend_after_sent``, read errors and 502/503/504 responses are retried
    too; without it every budget that would repeat an already sent request
    (read, status, other) is zero. ``allowed_methods=None`` lets every
    method retry, POST included, so these budgets alone decide. Exhausted
    status retries hand back the last response instead of raising.
    """
    read = status = 5 if resend_after_sent else 0
    return Retry(
        total=5,
        connect=5,
        read=read,
        status=status,
        other=None if resend_after_sent else 0,
        backoff_factor=0.5,
        status_forcelist=(502, 503, 504) if resend_after_sent else (),
        allowed_methods=None,
        raise_on_status=False,
        respect_retry_after_header=True,
    )


def _session_with(retry: Retry | None) -> requests.Session:
    """Create a session; with ``retry``, mount it for http:// and https://."""
    session = requests.Session()
    if retry is not None:
        adapter = HTTPAdapter(max_retries=retry)
        session.mount("http://", adapter)
        session.mount("https://", adapter)
    return session


#: Environment variable holding the job token.
JOB_TOKEN_VARIABLE = "TESSEL_JOB_TOKEN"
#: Note added to "Job token is not initialized" errors.
JOB_TOKEN_NOTE = (
    f"Set the environment variable {JOB_TOKEN_VARIABLE} to the job token "
    "(or assign tessel.core._Context.job_token)."
)


class _FromEnvironment:
    """Class attribute read from an environment variable at each access.

    Assigning the attribute on the class replaces this descriptor with the
    value, which then wins; restoring the descriptor (as ``monkeypatch`` and
    ``mock.patch`` do) goes back to the environment. An unset or empty
    variable reads as None.
    """

    def __init__(self, variable: str) -> None:
        self.variable = variable

    def __get__(self, instance: object, owner: type | None = None) -> str | None:
        return os.environ.get(self.variable) or None


class _Context:
    """Process-wide job credentials and HTTP sessions.

    * ``job_token``: the job token; ``TESSEL_JOB_TOKEN`` read at each access
      until a value is assigned to the class attribute.

    * ``session``: no retries.
    * ``session_with_retries``: retries connection errors, read errors and
      502/503/504 responses with exponential backoff. Only for requests whose
      body can be sent again.
    * ``session_with_retries_no_read``: retries connection errors only. Bodies
      sent through it may be one-shot streams (uploads), so nothing that
      re-sends a request after it went out may happen: no read retries, no
      status retries, no retries of other errors raised mid-request.
    """

    # Reads as text or None: the descriptor is never seen on the class.
    job_token: str | None = _FromEnvironment(JOB_TOKEN_VARIABLE)  # type: ignore[assignment]
    session: requests.Session = _session_with(None)
    session_with_retries: requests.Session = _session_with(_retry_policy(resend_after_sent=True))
    session_with_retries_no_read: requests.Session = _session_with(
        _retry_policy(resend_after_sent=False)
    )


def _get_api_endpoint() -> str:
    """Return the API base URL from ``TESSEL_API_URL``, always ending in "/"."""
    endpoint = os.environ.get("TESSEL_API_URL")
    if not endpoint:
        raise EnvironmentError(
            "TESSEL_API_URL is not set: point it at the platform's API base URL"
        )
    return endpoint if endpoint.endswith("/") else endpoint + "/"


def _get_requests_authorization_header(token: str) -> dict[str, str]:
    """Return the bearer authorization header for ``token``."""
    return {"Authorization": "Bearer " + token}


def _get_requests_user_agent_header() -> dict[str, str]:
    """Return the User-Agent header identifying this SDK and its version."""
    return {"User-Agent": f"tessel-external/{__version__}"}


# Each polling step is repeated this many times before moving to the next.
_POLL_STEP_REPEATS = 5
# Intervals (seconds) of the polling steps below the ceiling.
_POLL_STEP_FLOORS = (1.0, 2.0, 5.0, 10.0)
_POLL_CEILING = 30.0


def _get_wait_times_for_stepwise_polling(minimum_interval: float = 1.0) -> Iterator[float]:
    """Yield wait times (seconds, as floats) between status polls, forever.

    The schedule runs 5 polls at each of max(m, 1), max(m, 2), max(m, 5) and
    max(m, 10) seconds -- where m is ``minimum_interval`` -- and then stays
    at the ceiling of max(m, 30) seconds. For the default m = 1.0 that is
    5x1, 5x2, 5x5, 5x10, then 30 for good: quick answers for short jobs
    (about 90 s of dense polling) without hammering the API for long ones.
    The times never decrease and are never below ``minimum_interval``.
    """
    minimum = float(minimum_interval)
    if minimum < 0:
        raise ValueError(f"minimum_interval must not be negative, got {minimum_interval!r}")
    for floor in _POLL_STEP_FLOORS:
        for _ in range(_POLL_STEP_REPEATS):
            yield max(minimum, floor)
    ceiling = max(minimum, _POLL_CEILING)
    while True:
        yield ceiling


class _MultipartEncoder(MultipartEncoder):  # type: ignore[misc]  # the library has no type information
    """Streaming multipart/form-data body: form fields, then the part "file".

    The file part is ``("file", stream, "application/octet-stream")`` and is
    read in small pieces while the body is sent. ``stream`` must have a known
    length: a real file object (its remaining size is taken from the file
    system) or an object with ``__len__``/``len``. Use it as ``data=`` of a
    requests call together with ``headers={"Content-Type": encoder.content_type}``.
    """

    def __init__(self, fields: Mapping[str, str], stream: IO[bytes]) -> None:
        """Build the body from the form ``fields`` and the file ``stream``."""
        for name, value in fields.items():
            if name == "file":
                raise ValueError('the form field name "file" is reserved for the uploaded stream')
            if not isinstance(value, (str, bytes)):
                raise TypeError(
                    f"form field {name!r} must be str, got {type(value).__name__}"
                )
        parts: list[tuple[str, Any]] = list(fields.items())
        parts.append(("file", ("file", stream, "application/octet-stream")))
        super().__init__(fields=parts)

    def __len__(self) -> int:
        """Return the total body length in bytes (what requests sends as Content-Length)."""
        length: int = self.len
        return length


class _SerializableObject:
    """Base of objects that are sent to the platform as JSON-compatible dicts."""

    def _serialize(self) -> dict[str, Any]:
        """Return the JSON-compatible representation of this object."""
        raise NotImplementedError(f"{type(self).__name__} does not implement _serialize")
