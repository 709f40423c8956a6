"""Tests of the pure-Python host SDK: tessel.core, tessel.api_v1, tessel.errors."""

import gc
import io
import itertools
import os
import tempfile
from unittest import mock

import pytest
import requests
import responses
from requests_toolbelt import MultipartDecoder

import tessel
from tessel import api_v1, core, errors
from tessel.core import File

API_URL = "https://api.example.test/v1/"
ROTATE_URL = API_URL + "oauth2/integrations/cad%2Fone/rotate-access-token/"
FILE_URL = "https://files.example.test/model"


@pytest.fixture
def temp_dir(tmp_path, monkeypatch):
    """Create File temp files in a private directory, so leftovers are visible."""
    directory = tmp_path / "temp"
    directory.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(directory))
    return directory


@pytest.mark.parametrize("binary", [False, True])
def test_file_write_once_then_read(temp_dir, binary):
    f = File()
    assert os.path.dirname(f.source) == str(temp_dir)
    assert os.path.basename(f.source).startswith("tessel-file-")
    opener = f.open_binary if binary else f.open
    content = "grüße\n".encode() if binary else "grüße\n"
    with opener() as stream:
        stream.write(content)
        with pytest.raises(io.UnsupportedOperation, match="still open"):
            f.getvalue_binary()
    with opener() as stream:
        assert stream.read() == content
        with pytest.raises(io.UnsupportedOperation, match="already has content"):
            stream.write(content)
    assert f.getvalue_binary() == "grüße\n".encode()


def test_file_closing_an_unused_write_stream_fills():
    f = File()
    f.open_binary().close()
    with f.open_binary() as stream:
        assert stream.readable() and stream.read() == b""


def test_file_from_data_copy_and_binary_seeking(temp_dir):
    original = File.from_data("0123456789")
    duplicate = original.copy()
    assert duplicate.source != original.source
    assert repr(duplicate) == f"File(source={duplicate.source!r})"
    with duplicate.open_binary() as stream:
        assert stream.seek(-3, os.SEEK_END) == 7 and stream.read() == b"789"
        stream.seek(2)
        buffer = bytearray(4)
        assert stream.readinto(buffer) == 4 and bytes(buffer) == b"2345"
        assert stream.tell() == 6


def test_file_temp_removed_on_collection_but_user_path_kept(temp_dir, tmp_path):
    temp_path = File.from_data(b"x").source
    user_path = tmp_path / "model.bin"
    user_path.write_bytes(b"user data")
    referenced = File.from_path(user_path)
    assert referenced.source == str(user_path)
    assert referenced.getvalue_binary() == b"user data"
    del referenced
    gc.collect()
    assert not os.path.exists(temp_path)
    assert user_path.read_bytes() == b"user data"
    with pytest.raises(FileNotFoundError):
        File.from_path(tmp_path / "missing")


@responses.activate
def test_file_from_url_streams_to_disk(temp_dir):
    body = os.urandom(3 * 1024 * 1024 + 17)
    responses.get(FILE_URL, body=body)
    assert File.from_url(FILE_URL).getvalue_binary() == body


def test_file_from_url_uses_context_at_call_time(monkeypatch):
    context = mock.Mock()
    response = context.session_with_retries_no_read.get.return_value = mock.MagicMock()
    response.iter_content.return_value = [b"ab", b"c"]
    monkeypatch.setattr(core, "_Context", context)
    assert File.from_url(FILE_URL).getvalue_binary() == b"abc"
    context.session_with_retries_no_read.get.assert_called_once_with(
        FILE_URL, stream=True, timeout=(10, 300)
    )
    response.iter_content.assert_called_once_with(chunk_size=1024 * 1024)
    response.__exit__.assert_called_once()


@pytest.mark.parametrize(
    "response_kwargs, exception",
    [
        ({"status": 404, "body": b"gone"}, requests.HTTPError),
        ({"body": requests.ConnectionError("refused")}, requests.ConnectionError),
    ],
)
@responses.activate
def test_file_from_url_failure_leaves_no_temp_file(temp_dir, response_kwargs, exception):
    responses.get(FILE_URL, **response_kwargs)
    with pytest.raises(exception):
        File.from_url(FILE_URL)
    assert list(temp_dir.iterdir()) == []


@pytest.mark.parametrize(
    "minimum, head",
    [
        (1.0, [1.0] * 5 + [2.0] * 5 + [5.0] * 5 + [10.0] * 5 + [30.0]),
        (4, [4.0] * 10 + [5.0] * 5 + [10.0] * 5 + [30.0]),
        (45.0, [45.0]),
    ],
)
def test_wait_time_schedule(minimum, head):
    times = list(itertools.islice(core._get_wait_times_for_stepwise_polling(minimum), 1000))
    assert times[: len(head)] == head
    assert set(times[len(head) :]) == {head[-1]}
    assert all(type(t) is float for t in times)
    with pytest.raises(ValueError):
        next(core._get_wait_times_for_stepwise_polling(-1))


@pytest.mark.parametrize("value", ["https://a.test/api", "https://a.test/api/", None])
def test_api_endpoint(monkeypatch, value):
    if value is None:
        monkeypatch.delenv("TESSEL_API_URL", raising=False)
        with pytest.raises(EnvironmentError, match="TESSEL_API_URL is not set"):
            core._get_api_endpoint()
    else:
        monkeypatch.setenv("TESSEL_API_URL", value)
        assert core._get_api_endpoint() == "https://a.test/api/"


def test_multipart_body_streams_fields_then_file():
    payload = os.urandom(300_000)
    reads = []

    class SpyReader(io.BufferedReader):
        def read(self, size=-1):
            reads.append(size)
            return super().read(size)

    f = File.from_data(payload)
    with SpyReader(io.FileIO(f.source, "r")) as stream:
        encoder = core._MultipartEncoder({"name": "wing", "kind": "stl"}, stream)
        length = len(encoder)
        body = b"".join(iter(lambda: encoder.read(16384), b""))
    assert len(body) == length
    assert reads and all(0 < size <= 16384 for size in reads)
    parts = MultipartDecoder(body, encoder.content_type).parts
    assert [p.headers[b"Content-Disposition"] for p in parts] == [
        b'form-data; name="name"',
        b'form-data; name="kind"',
        b'form-data; name="file"; filename="file"',
    ]
    assert [p.content for p in parts] == [b"wing", b"stl", payload]
    assert parts[2].headers[b"Content-Type"] == b"application/octet-stream"


@pytest.mark.parametrize(
    "session, read, status, forcelist, other",
    [
        ("session_with_retries", 5, 5, {502, 503, 504}, None),
        ("session_with_retries_no_read", 0, 0, set(), 0),
    ],
)
@pytest.mark.parametrize("scheme", ["http://", "https://"])
def test_session_retry_settings(session, read, status, forcelist, other, scheme):
    retry = getattr(core._Context, session).get_adapter(scheme + "h.test").max_retries
    assert (retry.total, retry.connect, retry.read, retry.status, retry.other) == (
        5, 5, read, status, other
    )
    assert set(retry.status_forcelist) == forcelist
    assert retry.allowed_methods is None and retry.backoff_factor == 0.5
    assert retry.raise_on_status is False and retry.respect_retry_after_header


@pytest.fixture
def api_env(monkeypatch):
    """Point the API at a fake URL (without trailing slash) and set a job token."""
    monkeypatch.setenv("TESSEL_API_URL", API_URL.rstrip("/"))
    monkeypatch.setattr(core._Context, "job_token", "job-tok")


@responses.activate
def test_rotate_access_token_success(api_env):
    responses.post(ROTATE_URL, json={"access_token": "new"})
    assert api_v1.API()._oauth2_integration_rotate_access_token("cad/one") == "new"
    request = responses.calls[0].request
    assert request.headers["Authorization"] == "Bearer job-tok"
    assert request.headers["User-Agent"] == f"tessel-external/{tessel.__version__}"
    assert request.req_kwargs["timeout"] == 10


@pytest.mark.parametrize(
    "response_kwargs, exception, message",
    [
        ({"status": 401}, errors.PermissionDeniedError, "'cad/one'.*server says no"),
        ({"status": 403}, errors.PermissionDeniedError, "'cad/one'.*server says no"),
        ({"status": 404}, errors.ResourceNotFoundError, "'cad/one'.*server says no"),
        ({"status": 412}, errors.PreconditionFailedError, "'cad/one'.*server says no"),
        ({"status": 500}, ConnectionError, "500.*'cad/one'.*server says no"),
        ({"status": 200}, ConnectionError, "without an access token"),
        ({"body": requests.ConnectionError("refused")}, ConnectionError, "Could not reach"),
    ],
)
@responses.activate
def test_rotate_access_token_errors(api_env, response_kwargs, exception, message):
    detail = {} if "body" in response_kwargs else {"json": {"detail": "server says no"}}
    responses.post(ROTATE_URL, **response_kwargs, **detail)
    with pytest.raises(exception, match=message) as info:
        api_v1.API()._oauth2_integration_rotate_access_token("cad/one")
    assert isinstance(info.value, errors.TesselError) != (exception is ConnectionError)


def test_rotate_access_token_without_job_token(api_env, monkeypatch):
    monkeypatch.setattr(core._Context, "job_token", None)
    with pytest.raises(EnvironmentError, match="Job token is not initialized"):
        api_v1.API()._oauth2_integration_rotate_access_token("cad/one")


def test_file_is_reachable_from_the_package_as_applications_write_it():
    import tessel
    from tessel.core import File as CoreFile

    assert tessel.File is CoreFile
    with pytest.raises(AttributeError):
        tessel.NoSuchName
