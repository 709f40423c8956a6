"""The job life cycle of OffloadTask.execute against a fake platform wired in
through the module's globals (which also proves that they are looked up late)."""

import json
import logging
from unittest import mock

import pytest
import requests

import tessel.external.offload_task as offload_task
from tessel.errors import ExecutionError

from conftest import Analysis
from fakes import BASE, RESULT_URL, TOKEN, UPLOAD_URL, USER_AGENT, FakePlatform, FakeResponse, patch_platform

HEADERS = {"Authorization": f"Bearer {TOKEN}", "User-Agent": USER_AGENT["User-Agent"]}


def test_whole_life_cycle_sends_every_request_as_documented(platform, analysis):
    platform.succeed_after(2)
    analysis.execute(timeout=30)

    jobs = f"{BASE}jobs/q/"
    requests_made = [(c.session, c.verb, c.url, c.kwargs) for c in platform.calls]
    upload_kwargs = requests_made[1][3]
    assert requests_made == [
        ("session", "POST", jobs, {"json": {}, "headers": HEADERS, "timeout": 10}),
        ("session_with_retries_no_read", "POST", UPLOAD_URL, upload_kwargs),
        ("session_with_retries", "POST", f"{jobs}job-1/start/", {"headers": HEADERS, "timeout": 10}),
        *[("session_with_retries", "GET", f"{jobs}job-1", {"headers": HEADERS, "timeout": 10})] * 3,
        ("session_with_retries_no_read", "GET", RESULT_URL, {"headers": USER_AGENT, "timeout": (10, 300)}),
    ]
    assert upload_kwargs == {"data": {"token": "u-1"}, "timeout": (10, 300), "headers": USER_AGENT,
                             "files": {"file": platform.uploaded[0]}}
    assert platform.uploaded == [json.dumps(
        {"input": [1, 2.5, "é"], "version": 1, "execution_timeout": 30}).encode("utf-8")]
    assert analysis._result_content == {"answer": 42}
    assert analysis._get_result_content() is analysis._result_content
    # 0.5 s after the start, then the default schedule from 1.0 s.
    assert platform.clock.sleeps[0] == 0.5
    assert platform.clock.sleeps[1] == 1.0 and len(platform.clock.sleeps) == 3


def test_polling_logs_each_pause_and_the_success(platform, analysis, caplog):
    platform.succeed_after(2)
    waits = iter([1.0, 2.5, 99.0])
    with mock.patch.object(offload_task, "_get_wait_times_for_stepwise_polling",
                           return_value=waits) as schedule, caplog.at_level(logging.INFO):
        analysis.execute()
    schedule.assert_called_once_with(minimum_interval=1.0)
    assert platform.clock.sleeps == [0.5, 1.0, 2.5]
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("tessel.external.offload_task", logging.INFO,
         "External analysis not yet finished, waiting 1.0 seconds to retry..."),
        ("tessel.external.offload_task", logging.INFO,
         "External analysis not yet finished, waiting 2.5 seconds to retry..."),
        ("tessel.external.offload_task", logging.INFO, "External analysis completed successfully, returning results"),
    ]


def test_first_poll_success_takes_no_pause_from_the_schedule(platform, analysis):
    schedule = mock.Mock(return_value=iter([]))
    with mock.patch.object(offload_task, "_get_wait_times_for_stepwise_polling", schedule):
        analysis.execute()
    assert platform.clock.sleeps == [0.5]


def test_every_execute_makes_a_new_job_and_replaces_the_result(platform, analysis):
    analysis.execute()
    first = analysis._result_content
    platform.succeed_after(0)
    platform.download = FakeResponse(200, {"answer": 43})
    analysis.execute()
    assert [c.url for c in platform.calls].count(platform.jobs_url) == 2
    assert first == {"answer": 42} and analysis._result_content == {"answer": 43}


@pytest.mark.parametrize("queue", ["scia", "idearcs"])
def test_streamed_queues_keep_the_result_as_a_streamed_dict(monkeypatch, queue):
    platform = FakePlatform(queue=queue).succeed_after(0)
    patch_platform(monkeypatch, offload_task, platform)
    streamed = object()
    with mock.patch.object(offload_task._StreamedDict, "from_url", return_value=streamed) as from_url:
        task = Analysis(queue=queue)
        task.execute()
    from_url.assert_called_once_with(RESULT_URL)
    assert task._result_content is streamed
    assert RESULT_URL not in [c.url for c in platform.calls]


def test_queue_names_are_compared_with_case(monkeypatch):
    platform = FakePlatform(queue="SCIA").succeed_after(0)
    patch_platform(monkeypatch, offload_task, platform)
    task = Analysis(queue="SCIA")
    task.execute()
    assert task._result_content == {"answer": 42}


@pytest.mark.parametrize("timeout", [0, -5, 0.0, -0.5, float("nan"), float("inf"), float("-inf")])
def test_timeout_no_job_can_meet_is_refused_before_any_request(platform, analysis, timeout):
    with pytest.raises(ValueError) as error:
        analysis.execute(timeout=timeout)
    assert str(error.value) == f"Analysis.execute(): timeout must be a positive number of seconds, not {timeout!r}"
    assert platform.calls == []


def test_unreachable_platform_keeps_the_session_error_with_a_note(platform, analysis):
    refused = requests.ConnectionError("Connection refused")
    platform.create = refused
    with pytest.raises(requests.ConnectionError) as error:
        analysis.execute(timeout=30)
    assert error.value is refused
    assert error.value.__notes__ == [
        f"No platform answered at {platform.jobs_url}: the address of the job API is taken from the environment "
        "variable TESSEL_API_URL; check that it is set to a running platform."]


def test_patched_execution_error_that_is_no_exception_raises_like_python(platform, analysis):
    platform.polls = [FakeResponse(200, {"status": "ERROR", "message": "boom", "result_url": None})]
    with mock.patch.object(offload_task, "ExecutionError"), pytest.raises(TypeError) as error:
        analysis.execute(timeout=30)
    assert str(error.value) == "exceptions must derive from BaseException"


def test_timeout_exhausted_while_the_job_runs(platform, analysis):
    platform.polls = [FakeResponse(404)] * 100
    with pytest.raises(TimeoutError, match="^Timeout: external analysis has taken longer than 3 seconds(\n|$)"):
        analysis.execute(timeout=3)
    # Tested before each poll; a pause once begun is not shortened: 1 + 1 + 1 >= 3.
    assert platform.clock.sleeps == [0.5, 1.0, 1.0, 1.0]
    assert analysis._result_content is None


def test_a_schedule_that_runs_out_raises_stop_iteration(platform, analysis):
    platform.polls = [FakeResponse(404)] * 3
    with mock.patch.object(offload_task, "_get_wait_times_for_stepwise_polling", return_value=iter([1.0])):
        with pytest.raises(StopIteration):
            analysis.execute()


def test_missing_job_token_fails_before_any_traffic(monkeypatch, analysis):
    platform = FakePlatform()
    patch_platform(monkeypatch, offload_task, platform, token=None)
    with pytest.raises(EnvironmentError, match="^Job token is not initialized(\n|$)"):
        analysis.execute()
    assert platform.calls == []


def _failed_poll(status, message="boom", **extra):
    return FakeResponse(200, {"status": status, "message": message, "result_url": RESULT_URL, **extra})


@pytest.mark.parametrize(
    ("step", "answer", "error", "text"),
    [
        ("create", FakeResponse(404, {"detail": "No worker serves queue 'q'"}), ConnectionError,
         "No worker serves queue 'q'"),
        ("create", FakeResponse(500, {}), ConnectionError, "External program is not accessible"),
        ("create", FakeResponse(201, {}), ConnectionError, "External program is not accessible"),
        ("upload", FakeResponse(200), ValueError, "Sending job to external program has failed."),
        ("poll", FakeResponse(500), ValueError, "Unexpected error"),
        ("poll", FakeResponse(202), ValueError, "Unexpected error"),
        ("poll", _failed_poll("FAILED"), ExecutionError, "Something went wrong during the execution."),
        ("download", FakeResponse(403, {}), ValueError, "Result can not be obtained"),
    ],
)
def test_platform_errors_map_to_documented_exceptions(platform, analysis, step, answer, error, text):
    if step == "poll":
        platform.polls = [answer]
    else:
        setattr(platform, step, answer)
    analysis._result_content = previous = {"kept": True}
    with pytest.raises(error) as raised:
        analysis.execute()
    assert type(raised.value) is error and str(raised.value) == text
    assert analysis._result_content is previous


@pytest.mark.parametrize(
    ("answer", "error"),
    [
        (FakeResponse(200, {"status": "FAILED", "message": "x"}), KeyError),  # no result_url, even on error
        (FakeResponse(200, {"message": "x", "result_url": RESULT_URL}), KeyError),
        (FakeResponse(200, content=b"<html>gateway</html>"), json.JSONDecodeError),
        (FakeResponse(200, content=b"[1, 2]"), TypeError),
        (ConnectionResetError("peer went away"), ConnectionResetError),
    ],
)
def test_malformed_poll_answers_and_session_errors_pass_through(platform, analysis, answer, error):
    platform.polls = [answer]
    with pytest.raises(error):
        analysis.execute()
    assert analysis._result_content is None


def test_result_body_that_is_not_json_passes_the_decoder_error(platform, analysis):
    platform.download = FakeResponse(200, content=b"\xff not json")
    with pytest.raises(UnicodeDecodeError):
        analysis.execute()


def test_error_raised_by_the_upload_hook_is_not_replaced(platform, analysis):
    with mock.patch.object(offload_task.OffloadTask, "_upload_job_content", side_effect=OSError("disk full")):
        with pytest.raises(OSError, match="disk full"):
            analysis.execute()
    assert [c.url for c in platform.calls] == [platform.jobs_url]


def test_hooks_are_called_with_documented_arguments(platform, analysis):
    with mock.patch.object(Analysis, "_get_job_content", return_value={"x": 1}) as get_content, \
            mock.patch.object(Analysis, "_upload_job_content") as upload:
        analysis.execute(timeout=7)
    get_content.assert_called_once_with(timeout=7)
    upload.assert_called_once_with(upload_url=UPLOAD_URL, upload_data={"token": "u-1"}, job_content={"x": 1})


@pytest.mark.parametrize("detail", [None, ["a", "b"], 404])
def test_create_detail_of_any_type_is_the_exception_argument(platform, analysis, detail):
    platform.create = FakeResponse(404, {"detail": detail})
    with pytest.raises(ConnectionError) as raised:
        analysis.execute()
    assert raised.value.args == (detail,)
