"""PythonAnalysis (the host SDK's script analysis): inputs, job content as
uploaded, its own job life cycle against a fake platform, output files and
errors."""

import base64
import json
from unittest import mock

import pytest

from tessel import _jobs
from tessel.core import File
from tessel.errors import ExecutionError
from tessel.external.python import PythonAnalysis

from fakes import BASE, RESULT_URL, TOKEN, UPLOAD_URL, USER_AGENT, FakePlatform, FakeResponse, patch_platform

HEADERS = {"Authorization": f"Bearer {TOKEN}", "User-Agent": USER_AGENT["User-Agent"]}


def content_of(analysis, timeout=30):
    file = analysis._get_job_content(timeout=timeout)
    assert isinstance(file, File)
    return file.getvalue_binary()


def test_job_content_bytes():
    analysis = PythonAnalysis(script=File.from_data(b"print('hi')"),
                              files=[("in 1.txt", File.from_data(b"\x00\x01")), ("é.txt", File.from_data(b""))],
                              output_filenames=["out.txt", "ü.csv"])
    assert content_of(analysis) == (
        '{"script": "cHJpbnQoJ2hpJyk=", "script_key": null, "input_files": '
        '[{"name": "in 1.txt", "body": "AAE="}, {"name": "\\u00e9.txt", "body": ""}], '
        '"output_filenames": ["out.txt", "\\u00fc.csv"], "version": 1, "execution_timeout": 30}').encode()
    assert (analysis._queue_name, analysis._version) == ("python", 1)


def test_job_content_with_a_script_key_and_a_large_file():
    body = bytes(range(256)) * 1000
    analysis = PythonAnalysis(script_key='run "x"', files=[("big.bin", File.from_data(body))])
    assert json.loads(content_of(analysis, timeout=5)) == {
        "script": None, "script_key": 'run "x"', "input_files": [{"name": "big.bin",
                                                                  "body": base64.b64encode(body).decode()}],
        "output_filenames": [], "version": 1, "execution_timeout": 5}


@pytest.mark.parametrize(
    ("kwargs", "error", "text"),
    [
        ({}, ValueError, "Give either a script or a script_key, not both and not neither"),
        ({"script": File.from_data(b""), "script_key": "k"}, ValueError,
         "Give either a script or a script_key, not both and not neither"),
        ({"script": "print(1)"}, TypeError, "script must be a File, not str"),
        ({"script_key": 3}, TypeError, "script_key must be a str, not int"),
        ({"script_key": "k", "files": [("a", b"x")]}, TypeError, "each input file must be a pair (file name, File)"),
        ({"script_key": "k", "files": [("a", File()), ("a", File())]}, ValueError,
         "input file names must be unique"),
        ({"script_key": "k", "output_filenames": [1]}, TypeError, "output file names must be str, not int"),
    ],
)
def test_invalid_inputs(kwargs, error, text):
    with pytest.raises(error) as raised:
        PythonAnalysis(**kwargs)
    assert str(raised.value).startswith(text)


def test_arguments_are_keywords():
    with pytest.raises(TypeError):
        PythonAnalysis(File())


@pytest.fixture
def platform(monkeypatch):
    p = FakePlatform(queue="python").succeed_after(0)
    p.download = FakeResponse(200, {"output_files": [{"name": "out.txt", "body": "YWJj"},
                                                     {"name": "bad.txt", "body": "%%"}]})
    p.clock = patch_platform(monkeypatch, _jobs, p)
    return p


def test_output_files(platform):
    analysis = PythonAnalysis(script_key="k", output_filenames=["out.txt", "bad.txt", "gone.txt"])
    with pytest.raises(ValueError, match=r"^result_content is None"):
        analysis.get_output_file("out.txt")
    analysis.execute(timeout=3)
    out = analysis.get_output_file("out.txt")
    assert isinstance(out, File) and out.getvalue_binary() == b"abc"
    for name, text in [("other.txt", "'other.txt' is not one of the requested output files "
                                     "['out.txt', 'bad.txt', 'gone.txt']"),
                       ("gone.txt", "The worker did not return the output file 'gone.txt'"),
                       ("bad.txt", "The worker returned output file 'bad.txt' without a valid body")]:
        with pytest.raises(ValueError) as raised:
            analysis.get_output_file(name)
        assert str(raised.value) == text


@pytest.mark.parametrize(
    ("status", "message", "text"),
    [("ERROR", "The script failed with exit code 1: boom", "The script failed with exit code 1: boom"),
     ("ERROR", "", "Something went wrong during the execution."),
     ("ERROR", "Remove files error 2", "Error removing files, please check worker permissions")],
)
def test_worker_failures_carry_the_workers_message(platform, status, message, text):
    platform.polls = [FakeResponse(200, {"status": status, "message": message, "result_url": None})]
    with pytest.raises(ExecutionError) as raised:
        PythonAnalysis(script_key="k").execute()
    assert str(raised.value) == text


def test_life_cycle_sends_every_request_on_its_session(platform):
    platform.succeed_after(2)
    analysis = PythonAnalysis(script=File.from_data(b"pass"), output_filenames=["out.txt"])
    analysis.execute(timeout=30)

    jobs = f"{BASE}jobs/python/"
    made = [(c.session, c.verb, c.url, c.kwargs) for c in platform.calls]
    upload = made[1][3]
    assert made == [
        ("session", "POST", jobs, {"json": {}, "headers": HEADERS, "timeout": 10}),
        ("session_with_retries_no_read", "POST", UPLOAD_URL, upload),
        ("session_with_retries", "POST", f"{jobs}job-1/start/", {"headers": HEADERS, "timeout": 10}),
        *[("session_with_retries", "GET", f"{jobs}job-1", {"headers": HEADERS, "timeout": 10})] * 3,
        ("session_with_retries_no_read", "GET", RESULT_URL, {"headers": USER_AGENT, "timeout": (10, 300)}),
    ]
    assert (upload["timeout"], upload["headers"]) == (
        (10, 300), {"Content-Type": upload["data"].content_type, **USER_AGENT})
    assert platform.uploaded == [b'{"script": "cGFzcw==", "script_key": null, "input_files": [], '
                                 b'"output_filenames": ["out.txt"], "version": 1, "execution_timeout": 30}']
    # 0.5 s after the start, then the host SDK's schedule from 1.0 s.
    assert platform.clock.sleeps == [0.5, 1.0, 1.0]
    assert analysis.get_output_file("out.txt").getvalue_binary() == b"abc"


def test_polling_follows_the_schedule_until_the_time_out(platform):
    platform.polls = [FakeResponse(404)] * 100
    analysis = PythonAnalysis(script_key="k")
    with mock.patch.object(_jobs, "_get_wait_times_for_stepwise_polling",
                           return_value=iter([1.0, 2.5, 99.0])) as schedule:
        with pytest.raises(TimeoutError) as raised:
            analysis.execute(timeout=3)
    schedule.assert_called_once_with(minimum_interval=1.0)
    assert str(raised.value) == "Timeout: external analysis has taken longer than 3 seconds"
    # Checked before each poll; a pause once begun is not cut short.
    assert platform.clock.sleeps == [0.5, 1.0, 2.5]
    assert analysis._result_content is None


def test_every_execute_makes_a_new_job_and_keeps_the_last_result(platform):
    analysis = PythonAnalysis(script_key="k", output_filenames=["out.txt"])
    analysis.execute()
    platform.succeed_after(0)
    platform.download = FakeResponse(200, {"output_files": [{"name": "out.txt", "body": "eHl6"}]})
    analysis.execute()
    assert [c.url for c in platform.calls].count(platform.jobs_url) == 2
    assert analysis.get_output_file("out.txt").getvalue_binary() == b"xyz"
    platform.succeed_after(0)
    platform.download = FakeResponse(500)
    with pytest.raises(ValueError, match="^Result can not be obtained(\n|$)"):
        analysis.execute()
    assert analysis.get_output_file("out.txt").getvalue_binary() == b"xyz"


@pytest.mark.parametrize(
    ("step", "answer", "error", "text"),
    [
        ("create", FakeResponse(404, {"detail": "No worker is connected to queue 'python'"}), ConnectionError,
         "No worker is connected to queue 'python'"),
        ("create", FakeResponse(500, {}), ConnectionError, "External program is not accessible"),
        ("upload", FakeResponse(200, {}), ValueError, "Sending job to external program has failed."),
        ("polls", [FakeResponse(401, {})], ValueError, "Unexpected error"),
        ("download", FakeResponse(403, {}), ValueError, "Result can not be obtained"),
    ],
)
def test_platform_failures(platform, step, answer, error, text):
    setattr(platform, step, answer)
    with pytest.raises(error) as raised:
        PythonAnalysis(script_key="k").execute()
    assert type(raised.value) is error and str(raised.value) == text


def test_no_traffic_without_a_job_token_or_with_a_timeout_that_is_no_number(monkeypatch, platform):
    with pytest.raises(TypeError, match="^timeout must be a number of seconds, not str$"):
        PythonAnalysis(script_key="k").execute(timeout="30")
    patch_platform(monkeypatch, _jobs, platform, token=None)
    with pytest.raises(EnvironmentError, match="^Job token is not initialized(\n|$)"):
        PythonAnalysis(script_key="k").execute()
    assert platform.calls == []


def test_a_worker_too_old_for_the_job_format_is_named(platform):
    platform.polls = [FakeResponse(200, {"status": "CONTENT_VERSION_NOT_SUPPORTED_ERROR", "message": "v2",
                                         "result_url": None})]
    with pytest.raises(ExecutionError) as raised:
        PythonAnalysis(script_key="k").execute()
    assert str(raised.value) == ("Current worker version does not support the feature you are requesting on "
                                 "'PythonAnalysis'. Please contact TESSEL to receive the latest worker.")
