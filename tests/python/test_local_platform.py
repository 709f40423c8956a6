"""OffloadTask.execute end to end against the local platform over loopback HTTP."""

import hashlib
import json
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest
import requests

import tessel.external.offload_task as offload_task
from tessel.errors import ExecutionError
from tessel.local import LocalPlatform, WorkerFailure
from tessel.local.execution import store_result


class Analysis(offload_task.OffloadTask):
    """A dictionary-content analysis that records the worker messages it is told about."""

    def __init__(self, queue="beams", version=1, content=None):
        super().__init__(queue, version)
        self.content = {"input": [1, 2.5, "é"]} if content is None else content
        self.messages = []

    def _generate_job_content(self):
        return offload_task._JobContent(self.content)

    def _handle_execution_error(self, message):
        self.messages.append(message)


class StreamedAnalysis(Analysis):
    """The same analysis writing its content as a stream."""

    _multipart_job_content = True

    def __init__(self, members, queue="beams", version=1):
        super().__init__(queue, version)
        self.members = members

    def _write_job_content(self, w):
        w.write(self.members)


class Recorder:
    """A worker that keeps what it was handed and answers with a fixed result."""

    def __init__(self, result=None):
        self.received = []
        self.result = {"moment": 45.0} if result is None else result

    def __call__(self, content):
        self.received.append(content.read_bytes() if isinstance(content, Path) else content)
        return self.result


PENDING_RELEASE = threading.Event()


@pytest.fixture
def release_slow_workers():
    """Slow workers wait for this event; it is set when the test ends so none outlives it."""
    PENDING_RELEASE.clear()
    yield PENDING_RELEASE
    PENDING_RELEASE.set()


def slow_worker(content):
    PENDING_RELEASE.wait(30)
    return {"late": True}


@pytest.mark.parametrize(
    ("analysis", "timeout", "expected"),
    [
        (Analysis(version=3), 7, {"input": [1, 2.5, "é"], "version": 3, "execution_timeout": 7}),
        (Analysis(content={"execution_timeout": 1, "a": None, "version": 9}), 12,
         {"execution_timeout": 12, "a": None, "version": 1}),
        (StreamedAnalysis('"a": 1, "b": "é"', version=2), 25,
         {"a": 1, "b": "é", "version": 2, "execution_timeout": 25}),
    ],
    ids=["dict", "dict-envelope-names", "streamed"],
)
def test_worker_receives_the_job_content_as_sent(local_platform, analysis, timeout, expected):
    parsed, raw = Recorder(), Recorder()
    local_platform.register("beams", parsed)
    local_platform.register("beams-raw", raw, content="path")

    analysis.execute(timeout=timeout)
    analysis._queue_name = "beams-raw"
    analysis.execute(timeout=timeout)

    assert parsed.received == [expected]
    if isinstance(analysis, StreamedAnalysis):
        assert raw.received == [('{' + analysis.members + f', "version": {analysis._version}, '
                                 f'"execution_timeout": {timeout}}}').encode()]
    else:
        assert raw.received == [json.dumps(expected).encode()]
    assert analysis._get_result_content() == {"moment": 45.0}


def test_result_content_from_a_file_is_streamed_back(local_platform, tmp_path):
    result_file = tmp_path / "result.json"
    result = {"values": list(range(1000)), "text": "ü"}
    result_file.write_text(json.dumps(result, ensure_ascii=False), encoding="utf-8")
    local_platform.register("beams", lambda content: result_file)

    analysis = Analysis()
    analysis.execute(timeout=10)

    assert analysis._get_result_content() == result


def failing_worker(status, message):
    def worker(content):
        raise WorkerFailure(status, message)
    return worker


UNMAPPED = "Something went wrong during the execution."


@pytest.mark.parametrize("via", ["worker", "fault"])
@pytest.mark.parametrize(
    ("status", "message", "text", "hook_called"),
    [
        ("ERROR", "Error creating directory",
         "Error creating directory, please check worker permissions", False),
        ("CONTENT_VERSION_NOT_SUPPORTED_ERROR", "Remove files error 2",
         "Error removing files, please check worker permissions", False),
        ("CONTENT_VERSION_NOT_SUPPORTED_ERROR", "feature X",
         "Current worker version does not support the feature you are requesting on 'Analysis'. "
         "Please contact TESSEL to receive the latest worker.", False),
        ("ERROR", "disk full", UNMAPPED, True),
    ],
)
def test_worker_failures_go_through_the_error_tables(local_platform, via, status, message, text, hook_called):
    if via == "worker":
        local_platform.register("beams", failing_worker(status, message))
    else:
        local_platform.register("beams", Recorder())
        local_platform.faults.add("beams", "worker", status=status, message=message, times=1)
    analysis = Analysis()

    with pytest.raises(ExecutionError) as raised:
        analysis.execute(timeout=10)

    assert str(raised.value) == text
    assert analysis.messages == ([message] if hook_called else [])
    assert analysis._result_content is None


def test_worker_exception_ends_the_job_with_an_error(local_platform):
    def broken(content):
        raise KeyError("span")

    local_platform.register("beams", broken)
    analysis = Analysis()

    with pytest.raises(ExecutionError, match=f"^{UNMAPPED}(\n|$)"):
        analysis.execute(timeout=10)

    assert analysis.messages == ["The worker failed: KeyError: 'span'"]
    (job,) = local_platform.jobs.values()
    assert (job.status, "KeyError: 'span'" in job.traceback) == ("ERROR", True)


@pytest.mark.parametrize(("body", "message"), [
    ('"a": }', "The job content is not valid JSON: Expecting value: line 1 column 7 (char 6)"),
    ('"a": ' + "[" * 100_000 + "]" * 100_000, "The job content is nested deeper than the platform reads"),
])
def test_job_content_that_is_not_json_ends_the_job_with_an_error(local_platform, body, message):
    worker = Recorder()
    local_platform.register("beams", worker)
    analysis = StreamedAnalysis(body)

    with pytest.raises(ExecutionError, match=f"^{UNMAPPED}(\n|$)"):
        analysis.execute(timeout=10)

    assert analysis.messages[0].startswith(message)
    assert worker.received == []


def _cyclic():
    answer = {"Forces": {}}
    answer["Forces"]["again"] = answer
    return answer


@pytest.mark.parametrize(
    ("result", "message"),
    [
        (None, "The worker returned NoneType; expected a dict or a path to a JSON file"),
        ([1, 2], "The worker returned list; expected a dict or a path to a JSON file"),
        (Path("/nonexistent/result.json"), "The worker's result file does not exist: /nonexistent/result.json"),
        ({"x": {1, 2}}, "The worker's result content is not JSON: Object of type set is not JSON serializable"),
        (_cyclic(), "The worker's result content is not JSON: Circular reference detected"),
    ],
)
def test_unusable_worker_results_end_the_job_with_an_error(local_platform, result, message):
    local_platform.register("beams", lambda content: result)
    analysis = Analysis()

    with pytest.raises(ExecutionError, match=f"^{UNMAPPED}(\n|$)"):
        analysis.execute(timeout=10)

    assert analysis.messages == [message]


@pytest.mark.parametrize("result", [
    {},
    {"a": {}, "b": []},
    {"Forces": {"Beams": {1: {"LoadCases": {"1": [0.1, -2e-308, 1e300]}}, 2.5: {True: None, None: "é\u2028"}}}},
    {"x": {"y": {"z": {"w": {"v": {"u": [1, {"t": 2}]}}}}}, "s": "</script>", "n": 10 ** 30},
    {"Forces": {"Beams": {i: {"x": i / 7} if i % 3 else [i] for i in range(600)}, "n": 1}},
    {"x": [float("nan"), float("inf"), -float("inf"), -0.0, 5e-324, 0.1 + 0.2, 1e16, 123456789012345680.0]},
])
def test_a_dict_answer_is_stored_as_json_dumps_writes_it(tmp_path, result):
    # Written by the platform's own encoder, the file holds exactly the text of one json.dumps.
    assert store_result(tmp_path, result).read_text(encoding="utf-8") == json.dumps(result)


@pytest.mark.parametrize("value", [None, [None, {"a": None}], 1.5, "x"])
def test_the_platform_encoder_writes_any_json_value_as_json_dumps(value):
    from tessel.local import _json_text

    assert _json_text.dumps(value) == json.dumps(value).encode()


@pytest.mark.parametrize(
    ("queue", "step", "fault", "error", "text"),
    [
        ("missing", None, None, ConnectionError, "No worker is connected to queue 'missing'"),
        ("beams", "create", {"status": 404, "body": {"detail": "queue is paused"}},
         ConnectionError, "queue is paused"),
        ("beams", "create", {"status": 500}, ConnectionError, "External program is not accessible"),
        ("beams", "upload", {"status": 500}, ValueError, "Sending job to external program has failed."),
        ("beams", "upload", {"status": 200}, ValueError, "Sending job to external program has failed."),
        ("beams", "upload", {"drop": True}, requests.ConnectionError, None),
        ("beams", "poll", {"status": 500}, ValueError, "Unexpected error"),
        ("beams", "poll", {"status": 401}, ValueError, "Unexpected error"),
        ("beams", "poll", {"body": "<html>maintenance</html>"}, requests.JSONDecodeError, None),
        ("beams", "download", {"status": 500}, ValueError, "Result can not be obtained"),
        ("beams", "download", {"status": 403}, ValueError, "Result can not be obtained"),
        ("beams", "download", {"body": "<html>maintenance</html>"}, json.JSONDecodeError, None),
    ],
    ids=lambda value: "-".join(f"{k}={v}" for k, v in value.items()) if isinstance(value, dict) else None,
)
def test_platform_errors(local_platform, queue, step, fault, error, text):
    worker = Recorder()
    local_platform.register("beams", worker)
    if fault is not None:
        local_platform.faults.add("beams", step, **fault)
    analysis = Analysis(queue=queue)

    with pytest.raises(error) as raised:
        analysis.execute(timeout=10)

    if text is not None:
        assert str(raised.value) == text
    assert analysis._result_content is None
    assert len(worker.received) == (0 if step in (None, "create", "upload") else 1)


@pytest.mark.parametrize(
    ("step", "fault"),
    [
        ("poll", {"drop": True, "times": 1}),          # the retrying session sends it again
        ("poll", {"status": 503, "times": 1}),
        ("start", {"drop": True, "times": 1}),
        ("create", {"delay": 0.2}),
        ("download", {"delay": 0.2}),
    ],
)
def test_faults_the_client_rides_out(local_platform, step, fault):
    local_platform.register("beams", Recorder())
    injected = local_platform.faults.add("beams", step, **fault)
    analysis = Analysis()

    analysis.execute(timeout=15)

    assert analysis._get_result_content() == {"moment": 45.0}
    assert injected.hits == 1


def test_wrong_job_token_is_refused(local_platform, monkeypatch):
    monkeypatch.setattr(offload_task._Context, "job_token", "not-the-token")
    local_platform.register("beams", Recorder())

    with pytest.raises(ConnectionError, match="^External program is not accessible(\n|$)"):
        Analysis().execute(timeout=10)

    assert local_platform.jobs == {}


def test_client_time_out_with_a_slow_worker(local_platform, release_slow_workers):
    local_platform.register("beams", slow_worker)
    analysis = Analysis()

    with pytest.raises(TimeoutError, match="^Timeout: external analysis has taken longer than 1 seconds(\n|$)"):
        analysis.execute(timeout=1)

    # By now the platform has stopped the job too, on the same time-out.
    (job,) = local_platform.jobs.values()
    assert (job.status, job.execution_timeout) == ("TIMEOUT_ERROR", 1.0)


def test_platform_enforces_the_execution_timeout(local_platform, release_slow_workers):
    class ShortBudget(Analysis):
        def _get_job_content(self, timeout):
            return super()._get_job_content(timeout=1)

    local_platform.register("beams", slow_worker)
    analysis = ShortBudget()

    with pytest.raises(ExecutionError, match=f"^{UNMAPPED}(\n|$)"):
        analysis.execute(timeout=10)

    message = ("The job was stopped: the worker did not finish within the execution_timeout of 1 seconds")
    assert analysis.messages == [message]
    (job,) = local_platform.jobs.values()
    assert (job.status, job.message, job.result_path) == ("TIMEOUT_ERROR", message, None)


class SaysZeroSeconds(Analysis):
    """Sends an execution_timeout of 0, which this SDK refuses itself but another client may send."""

    def _get_job_content(self, timeout):
        return {**super()._get_job_content(timeout=timeout), "execution_timeout": 0}


def test_a_zero_timeout_job_never_reaches_the_worker(local_platform):
    worker = Recorder()
    local_platform.register("beams", worker)

    with pytest.raises(ExecutionError):
        SaysZeroSeconds().execute(timeout=10)

    (job_id,) = local_platform.jobs
    answer = requests.get(f"{local_platform.api_url}jobs/beams/{job_id}",
                          headers={"Authorization": f"Bearer {local_platform.token}"}, timeout=10)
    assert (answer.status_code, answer.json()) == (200, {
        "status": "TIMEOUT_ERROR",
        "message": "The job was stopped: the worker did not finish within the execution_timeout of 0 seconds",
        "result_url": None})
    assert worker.received == []


def test_several_jobs_at_once_from_threads():
    def square(content):
        time.sleep(0.2)
        return {"square": content["n"] ** 2}

    analyses = [Analysis(content={"n": n}) for n in range(8)]
    errors = []

    def run(analysis):
        try:
            analysis.execute(timeout=20)
        except Exception as exc:  # reported below
            errors.append(exc)

    with LocalPlatform(max_workers=3) as platform, platform.connected():
        platform.register("beams", square)
        threads = [threading.Thread(target=run, args=(a,)) for a in analyses]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        statuses = sorted(job.status for job in platform.jobs.values())

    assert errors == []
    assert [a._get_result_content() for a in analyses] == [{"square": n * n} for n in range(8)]
    assert statuses == ["SUCCESS"] * 8


def test_job_files_live_until_the_platform_stops():
    with LocalPlatform() as platform, platform.connected():
        platform.register("beams", Recorder())
        Analysis().execute(timeout=10)
        (job,) = platform.jobs.values()
        directory = platform.directory
        assert sorted(p.name for p in job.directory.iterdir()) == ["content.json", "result.json"]
        assert job.directory.parent == directory
    assert not directory.exists()


BIG_CLIENT = textwrap.dedent("""
    import json, re, sys
    import tessel.external.offload_task as offload_task

    def vm(name):
        with open("/proc/self/status") as status:
            return int(re.search(name + r":\\s+(\\d+) kB", status.read()).group(1)) * 1024

    class Big(offload_task.OffloadTask):
        _multipart_job_content = True

        def __init__(self):
            super().__init__("bulk", 1)

        def _write_job_content(self, w):
            w.write('"blob": "')
            piece = "x" * (1 << 20)
            for _ in range(int(sys.argv[1])):
                w.write(piece)
            w.write('"')

    analysis = Big()
    before = vm("VmRSS")
    analysis.execute(timeout=120)
    print(json.dumps({"growth": vm("VmHWM") - before, "result": analysis._get_result_content()}))
""")


def _peak_rss_reset():
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")


def _vm(name):
    with open("/proc/self/status") as status:
        return int(re.search(name + r":\s+(\d+) kB", status.read()).group(1)) * 1024


@pytest.mark.skipif(bool(os.environ.get("TESSEL_SANITIZE")),
                    reason="memory figures mean nothing under AddressSanitizer (quarantine, plain malloc)")
def test_large_streamed_job_content_is_uploaded_with_flat_memory(local_platform):
    mebibytes = 210

    def digest(path):
        sha = hashlib.sha256()
        with open(path, "rb") as stream:
            while chunk := stream.read(1 << 20):
                sha.update(chunk)
        return {"size": path.stat().st_size, "sha256": sha.hexdigest()}

    local_platform.register("bulk", digest, content="path")
    expected = hashlib.sha256(b'{"blob": "')
    for _ in range(mebibytes):
        expected.update(b"x" * (1 << 20))
    expected.update(b'", "version": 1, "execution_timeout": 120}')
    size = (mebibytes << 20) + len('{"blob": "') + len('", "version": 1, "execution_timeout": 120}')

    _peak_rss_reset()
    server_before = _vm("VmRSS")
    env = dict(os.environ, TESSEL_JOB_TOKEN=local_platform.token)
    run = subprocess.run([sys.executable, "-c", BIG_CLIENT, str(mebibytes)], env=env,
                         capture_output=True, text=True, timeout=120)
    server_growth = _vm("VmHWM") - server_before

    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout)
    assert report["result"] == {"size": size, "sha256": expected.hexdigest()}
    assert report["growth"] < 40 << 20, report
    assert server_growth < 40 << 20
