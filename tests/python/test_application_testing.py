"""What an application's own tests rely on: configuration read from the
environment when a job runs, errors that keep what the platform said, bad
arguments refused before any request, and the clock fixtures."""

import json
import logging
from fractions import Fraction

import pytest
import responses

import tessel.external.offload_task as offload_task
from tessel.core import _Context
from tessel.errors import ExecutionError
from tessel.external.offload_task import OffloadTask, _JobContent
from tessel.external.python import PythonAnalysis
from tessel import File

API = "https://platform.test/api/"
JOBS = API + "jobs/beams/"
UPLOAD = "https://storage.test/upload/7?signature=secret"
RESULT = "https://storage.test/result/7"


class BeamCheck(OffloadTask):
    def __init__(self, span: float = 6.0):
        super().__init__("beams", 1)
        self.span = span

    def _generate_job_content(self) -> _JobContent:
        return _JobContent(span=self.span)


@pytest.fixture
def env(monkeypatch):
    """The configuration an application gets from its environment; the class
    attribute is left to read it."""
    monkeypatch.setenv("TESSEL_API_URL", API)
    monkeypatch.setenv("TESSEL_JOB_TOKEN", "token-from-env")
    return monkeypatch


def platform(rsps, *, create=None, upload=204, polls=(404, 200), status="SUCCESS", message="",
             download=(200, {"moment": 45.0}), queue="beams"):
    """Register the job API's answers for one job on `rsps`."""
    jobs = f"{API}jobs/{queue}/"
    rsps.post(jobs, **(create or {"json": {"id": 7, "upload_url": UPLOAD, "upload_data": {"key": "k"}}}))
    rsps.post(UPLOAD.partition("?")[0], status=upload, body="denied" if upload != 204 else "")
    rsps.post(f"{jobs}7/start/", json={})
    for code in polls:
        body = {"status": status, "message": message, "result_url": RESULT} if code == 200 else {}
        rsps.get(f"{jobs}7", status=code, json=body)
    rsps.get(RESULT, status=download[0], json=download[1])


def notes(info):
    return getattr(info.value, "__notes__", [])


@responses.activate
def test_job_token_and_address_are_read_from_the_environment_when_the_job_runs(env, fake_clock):
    platform(responses)
    analysis = BeamCheck()
    analysis.execute(timeout=30)
    assert analysis._get_result_content() == {"moment": 45.0}
    assert responses.calls[0].request.headers["Authorization"] == "Bearer token-from-env"
    assert json.loads(responses.calls[1].request.body.split(b"\r\n\r\n")[2].split(b"\r\n")[0]) == {
        "span": 6.0, "version": 1, "execution_timeout": 30}
    assert fake_clock.sleeps == [0.5, 1.0]


@responses.activate
def test_an_assigned_job_token_wins_over_the_environment(env, fake_clock):
    env.setattr(_Context, "job_token", "assigned")
    platform(responses)
    BeamCheck().execute()
    assert responses.calls[0].request.headers["Authorization"] == "Bearer assigned"


@pytest.mark.parametrize("run", [lambda: BeamCheck().execute(),
                                 lambda: PythonAnalysis(script=File.from_data(b"")).execute()],
                         ids=["offload_task", "python"])
@responses.activate
def test_missing_job_token_names_the_variable(env, run):
    env.delenv("TESSEL_JOB_TOKEN")
    with pytest.raises(EnvironmentError) as info:
        run()
    assert str(info.value) == "Job token is not initialized"
    assert notes(info) == ["Set the environment variable TESSEL_JOB_TOKEN to the job token "
                           "(or assign tessel.core._Context.job_token)."]
    assert len(responses.calls) == 0


CREATE_401 = {"status": 401, "json": {"detail": "Authentication credentials were not provided or are not valid."}}


@pytest.mark.parametrize(
    ("answers", "error", "text", "note"),
    [
        ({"create": CREATE_401}, ConnectionError, "External program is not accessible",
         'POST https://platform.test/api/jobs/beams/ answered HTTP 401: '
         '{"detail": "Authentication credentials were not provided or are not valid."}'),
        ({"create": {"status": 404, "json": {"detail": "No worker"}}}, ConnectionError, "No worker",
         'POST https://platform.test/api/jobs/beams/ answered HTTP 404: {"detail": "No worker"}'),
        # The upload address's query (a signature) stays out of the note.
        ({"upload": 403}, ValueError, "Sending job to external program has failed.",
         "POST https://storage.test/upload/7 answered HTTP 403: denied"),
        ({"polls": (502,)}, ValueError, "Unexpected error",
         "GET https://platform.test/api/jobs/beams/7 answered HTTP 502: {}"),
        ({"download": (500, "x" * 600)}, ValueError, "Result can not be obtained",
         "GET https://storage.test/result/7 answered HTTP 500: \"" + "x" * 499 + "... (602 characters in all)"),
    ],
    ids=["create-401", "create-404", "upload", "poll", "download"],
)
@pytest.mark.parametrize("kind", ["offload_task", "python"])
@responses.activate
def test_errors_keep_what_the_platform_answered(env, fake_clock, kind, answers, error, text, note):
    queue = "beams" if kind == "offload_task" else "python"
    platform(responses, queue=queue, **answers)
    analysis = BeamCheck() if kind == "offload_task" else PythonAnalysis(script=File.from_data(b"print()"))
    with pytest.raises(error) as info:
        analysis.execute()
    assert str(info.value) == text
    assert notes(info) == [note.replace("/jobs/beams/", f"/jobs/{queue}/")]


@responses.activate
def test_unexplained_failure_keeps_the_workers_message(env, fake_clock):
    platform(responses, status="ERROR", message="Traceback: division by zero")
    with pytest.raises(ExecutionError) as info:
        BeamCheck().execute()
    assert str(info.value) == "Something went wrong during the execution."
    assert notes(info) == ['The job 7 on queue "beams" ended with status "ERROR"; '
                           "the worker said: Traceback: division by zero"]


@responses.activate
def test_time_out_names_the_job_left_running(env, fake_clock):
    platform(responses, polls=[404] * 3)
    with pytest.raises(TimeoutError) as info:
        BeamCheck().execute(timeout=3)
    assert str(info.value) == "Timeout: external analysis has taken longer than 3 seconds"
    assert notes(info) == ['The job 7 on queue "beams" had not ended after 3 polls; it is left to the platform']


@responses.activate
def test_job_id_and_queue_are_logged_at_debug_level_only(env, fake_clock, caplog):
    platform(responses)
    with caplog.at_level(logging.DEBUG, logger="tessel.external.offload_task"):
        BeamCheck().execute()
    lines = [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "tessel.external.offload_task"]
    assert lines == [
        ("DEBUG", 'Created job 7 on queue "beams"'),
        ("DEBUG", 'Uploaded the content of job 7 on queue "beams"'),
        ("DEBUG", 'Started job 7 on queue "beams"'),
        ("INFO", "External analysis not yet finished, waiting 1.0 seconds to retry..."),
        ("DEBUG", 'The job 7 on queue "beams" ended with status "SUCCESS"'),
        ("INFO", "External analysis completed successfully, returning results"),
    ]


@pytest.mark.parametrize("timeout", ["30", None, True, [30], 30j, Fraction(30)])
@responses.activate
def test_timeout_that_is_no_number_is_refused_before_any_request(env, timeout):
    with pytest.raises(TypeError) as info:
        BeamCheck().execute(timeout=timeout)
    assert str(info.value) == f"BeamCheck.execute(): timeout must be a number of seconds, not {type(timeout).__name__}"
    assert len(responses.calls) == 0


@pytest.mark.parametrize("timeout", [30, 30.0, 2**70])
@responses.activate
def test_real_numbers_are_timeouts(env, fake_clock, timeout):
    platform(responses)
    BeamCheck().execute(timeout=timeout)
    assert fake_clock.sleeps == [0.5, 1.0]


class HandsOverADict(BeamCheck):
    def _generate_job_content(self):
        return {"span": self.span}


def test_job_content_that_is_not_a_job_content_is_a_type_error():
    with pytest.raises(TypeError) as info:
        HandsOverADict()._get_job_content(timeout=10)
    assert str(info.value) == "HandsOverADict._generate_job_content() must return a _JobContent, not dict"


def test_short_pauses_run_a_job_on_the_local_platform_without_waiting(local_platform, short_pauses):
    local_platform.register("beams", lambda content: {"moment": 12.5 * content["span"] ** 2 / 8})
    analysis = BeamCheck()
    analysis.execute(timeout=30)
    assert analysis._get_result_content() == {"moment": 56.25}
    assert short_pauses.sleeps[0] == 0.5


def test_clock_fixtures_restore_the_time_module():
    import time

    import tessel._jobs as jobs
    from tessel.testing import fake_clock

    with fake_clock() as clock:
        assert offload_task.time is clock and jobs.time is clock
    assert offload_task.time is time and jobs.time is time


def test_local_platform_without_its_extra_names_the_extra():
    import subprocess
    import sys

    code = "import sys; sys.modules['werkzeug'] = None\nimport tessel.local"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stderr.strip().splitlines()[-1] == (
        "ModuleNotFoundError: tessel.local needs the optional dependencies of the extra 'local': "
        "pip install 'tessel-external[local]'")
