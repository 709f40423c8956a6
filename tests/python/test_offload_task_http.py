"""execute through the host SDK's real requests sessions, answered by `responses`."""

import json

import pytest
import responses
from requests_toolbelt.multipart.decoder import MultipartDecoder

import tessel
import tessel.external.offload_task as offload_task
from tessel import core

from conftest import Analysis
from fakes import FakeClock

API = "http://platform.test/api/"
UPLOAD = "http://storage.test/upload/7"
RESULT = "http://storage.test/result/7"


@pytest.fixture
def http(monkeypatch):
    monkeypatch.setenv("TESSEL_API_URL", API.rstrip("/"))
    monkeypatch.setattr(core._Context, "job_token", "secret")
    monkeypatch.setattr(offload_task, "time", FakeClock())
    with responses.RequestsMock(assert_all_requests_are_fired=True) as rsps:
        yield rsps


def _job_api(rsps, queue, result_body):
    rsps.post(f"{API}jobs/{queue}/", json={"id": 7, "upload_url": UPLOAD, "upload_data": {"key": "k-7"}})
    rsps.post(UPLOAD, status=204)
    rsps.post(f"{API}jobs/{queue}/7/start/", status=200)
    rsps.get(f"{API}jobs/{queue}/7", status=404)
    rsps.get(f"{API}jobs/{queue}/7", json={"status": "SUCCESS", "message": "", "result_url": RESULT})
    rsps.get(RESULT, body=result_body)


def _file_part(request) -> bytes:
    body = request.body if isinstance(request.body, bytes) else request.body.read()
    parts = MultipartDecoder(body, request.headers["Content-Type"]).parts
    fields = {p.headers[b"Content-Disposition"].split(b'name="')[1].split(b'"')[0]: p.content for p in parts}
    assert fields[b"key"] == b"k-7"
    return fields[b"file"]


def test_dictionary_job_over_http(http):
    _job_api(http, "q", json.dumps({"answer": [1, 2]}))
    task = Analysis(content={"x": "ä"})
    task.execute(timeout=20)

    assert task._result_content == {"answer": [1, 2]}
    create, upload, start, pending, done, download = http.calls
    user_agent = f"tessel-external/{tessel.__version__}"
    for call in (create, start, pending, done):
        assert call.request.headers["Authorization"] == "Bearer secret"
        assert call.request.headers["User-Agent"] == user_agent
    assert json.loads(create.request.body) == {}
    assert "Authorization" not in upload.request.headers and "Authorization" not in download.request.headers
    assert _file_part(upload.request) == json.dumps({"x": "ä", "version": 1, "execution_timeout": 20}).encode()


def test_streamed_queue_downloads_into_a_file(http):
    _job_api(http, "scia", '{"ResultFile": "YWJj"}')
    task = Analysis(queue="scia")
    task.execute()
    result = task._result_content
    assert isinstance(result, offload_task._StreamedDict)
    assert result._file.getvalue_binary() == b'{"ResultFile": "YWJj"}' and result.encoding == "utf-8"


def test_worker_without_queue_reports_the_platforms_detail(http):
    http.post(f"{API}jobs/q/", status=404, json={"detail": "No worker is connected for queue 'q'"})
    with pytest.raises(ConnectionError, match="^No worker is connected for queue 'q'(\n|$)"):
        Analysis().execute()
