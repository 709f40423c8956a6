"""The local platform's HTTP job API as seen on the wire, its OAuth 2.0 endpoint,
fault configuration, context wiring and command line."""

import json
import os
import signal
import socket
import subprocess
import sys
import time

import pytest
import requests

import tessel.core as core
from tessel.api_v1 import API
from tessel.errors import PermissionDeniedError, PreconditionFailedError, ResourceNotFoundError
from tessel.external.offload_task import OffloadTask, _JobContent
from tessel.local import LocalPlatform, echo_worker


def auth(platform):
    return {"Authorization": f"Bearer {platform.token}"}


def create(platform, queue="echo"):
    answer = requests.post(f"{platform.api_url}jobs/{queue}/", json={}, headers=auth(platform), timeout=10)
    assert answer.status_code == 200, answer.text
    return answer.json()


def upload(job, content=b'{"a": 1}', fields=None, files=None):
    return requests.post(job["upload_url"], data=job["upload_data"] if fields is None else fields,
                         files={"file": content} if files is None else files, timeout=10)


def wait_for_end(platform, queue, job_id):
    for _ in range(200):
        answer = requests.get(f"{platform.api_url}jobs/{queue}/{job_id}", headers=auth(platform), timeout=10)
        if answer.status_code != 404:
            return answer
        time.sleep(0.01)
    raise AssertionError("job did not end")


@pytest.fixture
def platform(local_platform):
    local_platform.register("echo", echo_worker)
    return local_platform


def test_a_job_through_every_endpoint(platform):
    job = create(platform)
    assert sorted(job) == ["id", "upload_data", "upload_url"]
    assert sorted(job["upload_data"]) == ["job", "upload_token"]

    assert upload(job).status_code == 204
    start = requests.post(f"{platform.api_url}jobs/echo/{job['id']}/start/", headers=auth(platform), timeout=10)
    ended = wait_for_end(platform, "echo", job["id"])
    result = requests.get(ended.json()["result_url"], timeout=10)

    assert start.status_code == 200
    assert ended.json() == {"status": "SUCCESS", "message": "", "result_url": ended.json()["result_url"]}
    assert (result.status_code, result.headers["Content-Type"], result.content) == (
        200, "application/json", b'{"a": 1}')


@pytest.mark.parametrize(
    ("verb", "path"),
    [("POST", "jobs/echo/"), ("POST", "jobs/echo/x/start/"), ("GET", "jobs/echo/x"),
     ("POST", "oauth2/integrations/x/rotate-access-token/")],
)
@pytest.mark.parametrize("header", [None, "Bearer wrong", "Token {token}", "Bearer"])
def test_endpoints_need_the_job_token(platform, verb, path, header):
    headers = {} if header is None else {"Authorization": header.format(token=platform.token)}

    answer = requests.request(verb, platform.api_url + path, headers=headers, timeout=10)

    assert (answer.status_code, answer.json(), answer.headers["WWW-Authenticate"]) == (
        401, {"detail": "Authentication credentials were not provided or are not valid."}, "Bearer")


@pytest.mark.parametrize(
    ("queue", "detail"),
    [("beams", "No worker is connected to queue 'beams'"),
     ("Echo", "No worker is connected to queue 'Echo'"),
     ("..%2F..%2Fetc", "No worker is connected to queue '../../etc'")],
)
def test_create_on_a_queue_without_worker(platform, queue, detail):
    answer = requests.post(f"{platform.api_url}jobs/{queue}/", json={}, headers=auth(platform), timeout=10)

    assert (answer.status_code, answer.json()) == (404, {"detail": detail})
    assert list(platform.directory.iterdir()) == []


def test_queue_names_are_decoded_per_segment(platform):
    platform.register("a/b c", echo_worker)

    answer = requests.post(f"{platform.api_url}jobs/a%2Fb%20c/", json={}, headers=auth(platform), timeout=10)

    assert answer.status_code == 200
    assert [job.queue for job in platform.jobs.values()] == ["a/b c"]


@pytest.mark.parametrize(
    ("fields", "files", "status", "detail"),
    [
        ({"upload_token": "t"}, None, 400, "Missing form field 'job'."),
        ("job-only", None, 400, "Missing form field 'upload_token'."),
        ("wrong-token", None, 403, "Wrong value of form field 'upload_token'."),
        (None, "no-file", 400, "The upload must carry exactly one file part, named 'file'."),
        (None, {"content": b"{}"}, 400, "The upload must carry exactly one file part, named 'file'."),
        (None, {"file": b"{}", "other": b"{}"}, 400, "The upload must carry exactly one file part, named 'file'."),
    ],
)
def test_upload_form_is_checked(platform, fields, files, status, detail):
    job = create(platform)
    if fields == "job-only":
        fields = {"job": job["id"]}
    elif fields == "wrong-token":
        fields = {**job["upload_data"], "upload_token": "guess"}
    if files == "no-file":  # a multipart body of form fields only
        fields = fields if fields is not None else job["upload_data"]
        answer = requests.post(job["upload_url"], files=[(k, (None, v)) for k, v in fields.items()], timeout=10)
    else:
        answer = upload(job, fields=fields, files=files)

    assert (answer.status_code, answer.json()) == (status, {"detail": detail})
    assert [p.name for p in (platform.directory / job["id"]).iterdir()] == []
    assert platform.jobs[job["id"]].state == "CREATED"


def test_upload_token_is_used_once(platform):
    job = create(platform)
    assert upload(job).status_code == 204

    again = upload(job, content=b'{"b": 2}')

    assert (again.status_code, again.json()) == (403, {"detail": "The upload token of this job has already been used."})
    assert platform.jobs[job["id"]].content_path.read_bytes() == b'{"a": 1}'


NOT_A_FORM = "The upload is not a valid multipart/form-data body: "


@pytest.mark.parametrize(
    ("body", "content_type", "detail"),
    [
        (b'{"a": 1}', "application/json", "The upload must be a multipart/form-data body."),
        (b'{"a": 1}', "multipart/form-data", "The upload must be a multipart/form-data body."),
        (b"--x\r\nbroken", "multipart/form-data; boundary=x", NOT_A_FORM),
        (b'--x\r\nContent-Disposition: form-data; name="file"; filename="f"\r\n\r\n{"a": 1',
         "multipart/form-data; boundary=x", NOT_A_FORM),
    ],
    ids=["json", "no-boundary", "broken", "truncated-file-part"],
)
def test_upload_that_is_not_a_form(platform, body, content_type, detail):
    job = create(platform)

    answer = requests.post(job["upload_url"], data=body, headers={"Content-Type": content_type}, timeout=10)

    assert answer.status_code == 400
    assert answer.json()["detail"].startswith(detail)
    assert list((platform.directory / job["id"]).iterdir()) == []


def test_upload_above_the_size_limit_is_refused():
    with LocalPlatform(max_upload_size=10_000) as platform:
        platform.register("echo", echo_worker)
        job = create(platform)
        small, big = upload(job, content=b"{}" + b" " * 9_000), upload(create(platform), content=b" " * 20_000)

        assert small.status_code == 204
        assert (big.status_code, big.json()) == (
            413, {"detail": "The upload exceeds the size limit of 10000 bytes."})


def test_unknown_addresses(platform):
    job = create(platform)
    assert upload(job).status_code == 204
    requests.post(f"{platform.api_url}jobs/echo/{job['id']}/start/", headers=auth(platform), timeout=10)
    result_url = wait_for_end(platform, "echo", job["id"]).json()["result_url"]

    answers = {
        "upload": requests.post(job["upload_url"] + "x", files={"file": b"{}"}, timeout=10),
        "result": requests.get(result_url + "x", timeout=10),
        "poll other queue": requests.get(f"{platform.api_url}jobs/other/{job['id']}", headers=auth(platform),
                                         timeout=10),
        "start unknown": requests.post(f"{platform.api_url}jobs/echo/nope/start/", headers=auth(platform),
                                       timeout=10),
        "route": requests.get(f"{platform.url}etc/passwd", timeout=10),
    }
    assert {name: (a.status_code, a.json()) for name, a in answers.items()} == {
        "upload": (404, {"detail": "Unknown upload URL."}),
        "result": (404, {"detail": "Unknown result URL."}),
        "poll other queue": (404, {"detail": "Job not found."}),
        "start unknown": (404, {"detail": "Job not found."}),
        "route": (404, {"detail": "Not found."}),
    }


def raw_request(platform, verb: bytes, target: bytes):
    """Send a request line as raw bytes (no client would), return (status, JSON body)."""
    with socket.create_connection(("127.0.0.1", platform.port), timeout=10) as connection:
        connection.sendall(verb + b" " + target + b" HTTP/1.1\r\nHost: local\r\nContent-Length: 0\r\n"
                           b"Authorization: Bearer " + platform.token.encode() + b"\r\nConnection: close\r\n\r\n")
        answer = b""
        while chunk := connection.recv(65536):
            answer += chunk
    head, body = answer.split(b"\r\n\r\n", 1)
    return int(head.split()[1]), json.loads(body)


@pytest.mark.parametrize(
    ("verb", "target"),
    [(b"POST", b"/api/jobs/\xff\xfe/"), (b"POST", b"/api/jobs/\xc3\xa9/"), (b"GET", b"/\xff"),
     (b"GET", b"/storage/results/\xe9"), (b"POST", b"/storage/uploads/k\x80?x=1")],
)
def test_request_targets_with_raw_non_ascii_bytes_name_nothing(platform, verb, target):
    assert raw_request(platform, verb, target) == (404, {"detail": "Not found."})
    assert platform.jobs == {}


@pytest.mark.parametrize(
    ("extra_fields", "status", "detail"),
    [
        ({f"x{n}": "1" for n in range(29)}, 204, None),       # 32 parts: 2 fields of the job, 29 more, the file
        ({f"x{n}": "1" for n in range(30)}, 413, "The upload has more than 32 form parts."),
        ({f"x{n}": "1" for n in range(500)}, 413, "The upload has more than 32 form parts."),
        ({"x": "y" * (2 * 1024 * 1024 + 1)}, 413, "A form field of the upload exceeds 2097152 bytes."),
    ],
    ids=["32-parts", "33-parts", "502-parts", "big-field"],
)
def test_upload_form_limits(platform, extra_fields, status, detail):
    job = create(platform)

    answer = upload(job, fields={**job["upload_data"], **extra_fields})

    assert (answer.status_code, answer.json() if detail else None) == (status, {"detail": detail} if detail else None)
    assert platform.jobs[job["id"]].state == ("UPLOADED" if status == 204 else "CREATED")
    assert [p.name for p in (platform.directory / job["id"]).iterdir()] == (["content.json"] if status == 204 else [])


def test_start_before_upload_and_start_twice(platform):
    job = create(platform)
    start_url = f"{platform.api_url}jobs/echo/{job['id']}/start/"

    early = requests.post(start_url, headers=auth(platform), timeout=10)
    upload(job)
    first = requests.post(start_url, headers=auth(platform), timeout=10)
    second = requests.post(start_url, headers=auth(platform), timeout=10)

    assert (early.status_code, early.json()) == (409, {"detail": "The job content has not been uploaded yet."})
    assert [first.status_code, second.status_code] == [200, 200]
    assert wait_for_end(platform, "echo", job["id"]).json()["status"] == "SUCCESS"


def test_faults_apply_per_queue_in_order_and_count_down(platform):
    platform.register("other", echo_worker)
    first = platform.faults.add("echo", "create", status=500, times=2)
    second = platform.faults.add("echo", "create", status=502, times=1)
    lasting = platform.faults.add("other", "create", status=503)

    def codes(queue, count):
        return [requests.post(f"{platform.api_url}jobs/{queue}/", json={}, headers=auth(platform),
                              timeout=10).status_code for _ in range(count)]

    assert (codes("echo", 4), codes("other", 2)) == ([500, 500, 502, 200], [503, 503])
    assert (first.hits, second.hits, lasting.hits, list(platform.faults)) == (2, 1, 2, [lasting])
    platform.faults.clear()
    assert codes("other", 1) == [200]


def test_fault_answer_bodies(platform):
    platform.faults.add("echo", "create", status=500, times=1)
    platform.faults.add("echo", "create", body="<html>oops</html>", times=1)
    platform.faults.add("echo", "create", status=418, body={"detail": "teapot"}, times=1)
    url = f"{platform.api_url}jobs/echo/"

    answers = [requests.post(url, json={}, headers=auth(platform), timeout=10) for _ in range(3)]

    assert [(a.status_code, a.headers["Content-Type"], a.text) for a in answers] == [
        (500, "application/json", '{"detail": "Injected fault: create answered 500."}'),
        (200, "text/plain; charset=utf-8", "<html>oops</html>"),
        (418, "application/json", '{"detail": "teapot"}'),
    ]


@pytest.mark.parametrize(
    ("step", "kwargs", "error"),
    [
        ("rotate", {"status": 500}, ValueError),
        ("poll", {}, ValueError),
        ("poll", {"status": "500"}, ValueError),
        ("poll", {"drop": True, "status": 500}, ValueError),
        ("poll", {"status": 500, "times": 0}, ValueError),
        ("worker", {"status": 500}, TypeError),
    ],
)
def test_invalid_faults_are_refused(platform, step, kwargs, error):
    with pytest.raises(error):
        platform.faults.add("echo", step, **kwargs)
    assert len(platform.faults) == 0


@pytest.mark.parametrize(
    ("name", "assigned", "logged_in", "error", "text"),
    [
        ("missing", True, True, ResourceNotFoundError,
         "OAuth2 integration 'missing' was not found: integration not found"),
        ("crm", False, True, PreconditionFailedError,
         "The access token of integration 'crm' cannot be rotated: integration not assigned to this app"),
        ("crm", True, False, PermissionDeniedError,
         "Not allowed to rotate the access token of integration 'crm': needs login from user"),
    ],
)
def test_token_rotation_refusals(local_platform, name, assigned, logged_in, error, text):
    local_platform.add_oauth2_integration("crm", assigned=assigned, logged_in=logged_in)

    with pytest.raises(error) as raised:
        API()._oauth2_integration_rotate_access_token(name)

    assert str(raised.value) == text


@pytest.mark.parametrize("name", ["crm", "team/crm tools", ""])
def test_each_rotation_gives_a_fresh_token(local_platform, name):
    state = local_platform.add_oauth2_integration(name)

    tokens = [API()._oauth2_integration_rotate_access_token(name) for _ in range(3)]

    assert len(set(tokens)) == 3
    assert (state.access_token, state.rotations) == (tokens[-1], 3)


def test_rotation_with_a_wrong_job_token(local_platform, monkeypatch):
    local_platform.add_oauth2_integration("crm")
    monkeypatch.setattr(core._Context, "job_token", "stale")

    with pytest.raises(PermissionDeniedError, match="^Not allowed to rotate the access token of integration 'crm': "
                                                    "Authentication credentials were not provided or are not valid.$"):
        API()._oauth2_integration_rotate_access_token("crm")


def test_fixture_points_the_sdk_at_the_platform(local_platform):
    assert (core._Context.job_token, core._get_api_endpoint()) == (local_platform.token, local_platform.api_url)


@pytest.mark.parametrize("url", [None, "https://elsewhere.test/api/"])
def test_connected_restores_the_context(monkeypatch, url):
    monkeypatch.setattr(core._Context, "job_token", "outer")
    if url is None:
        monkeypatch.delenv("TESSEL_API_URL", raising=False)
    else:
        monkeypatch.setenv("TESSEL_API_URL", url)

    with LocalPlatform(token="inner") as platform:
        with pytest.raises(RuntimeError), platform.connected():
            assert (core._Context.job_token, os.environ["TESSEL_API_URL"]) == ("inner", platform.api_url)
            raise RuntimeError

    assert (core._Context.job_token, os.environ.get("TESSEL_API_URL")) == ("outer", url)


class Echo(OffloadTask):
    def __init__(self):
        super().__init__("demo", 4)

    def _generate_job_content(self):
        return _JobContent(text="über", values=[1, 2])


def test_command_line_serves_echo_queues(monkeypatch):
    server = subprocess.Popen(
        [sys.executable, "-m", "tessel.local", "serve", "--port", "0", "--queue", "demo", "--token", "cli-token",
         "--queue", "copy=tessel.local.workers:echo_worker"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        banner = server.stdout.readline()
        url = server.stdout.readline().strip().removeprefix("TESSEL_API_URL=")
        token = server.stdout.readline().strip()
        monkeypatch.setattr(core._Context, "job_token", "cli-token")
        monkeypatch.setenv("TESSEL_API_URL", url)
        analysis = Echo()
        analysis.execute(timeout=10)
    finally:
        server.send_signal(signal.SIGTERM)
        _, stderr = server.communicate(timeout=10)

    assert banner == f"tessel.local: serving queues 'demo', 'copy' at {url}\n"
    assert token == "TESSEL_JOB_TOKEN=cli-token"
    assert analysis._get_result_content() == {"text": "über", "values": [1, 2], "version": 4,
                                              "execution_timeout": 10}
    assert (server.returncode, stderr) == (0, "")


@pytest.mark.parametrize(
    ("queue", "error"),
    [
        ("q=tessel.local", "expected MODULE:CALLABLE, got 'tessel.local'"),
        ("q=tessel.no_such_module:run", "cannot load the worker tessel.no_such_module:run: "
                                        "No module named 'tessel.no_such_module'"),
        ("q=tessel.local:SUCCESS", "tessel.local:SUCCESS is not callable"),
    ],
)
def test_command_line_refuses_bad_queues(capsys, queue, error):
    from tessel.local.__main__ import main

    with pytest.raises(SystemExit) as exited:
        main(["serve", "--queue", queue])

    assert exited.value.code == 2
    assert capsys.readouterr().err.endswith(f"argument --queue: {error}\n")
