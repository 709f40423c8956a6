"""Workers run in worker processes: killed at the job's time-out or above the
memory limit, never holding up another queue; `serve` stops at once."""

import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests

import runaway_workers
from tessel.local import LocalPlatform, echo_worker

from test_script_worker import wait_gone

TESTS = Path(__file__).resolve().parent


def submit(api_url, token, queue, content):
    """Create, upload and start a job over HTTP; returns its id."""
    headers = {"Authorization": f"Bearer {token}"}
    job = requests.post(f"{api_url}jobs/{queue}/", headers=headers, timeout=10).json()
    requests.post(job["upload_url"], data=job["upload_data"], files={"file": json.dumps(content).encode()},
                  timeout=10)
    requests.post(f"{api_url}jobs/{queue}/{job['id']}/start/", headers=headers, timeout=10)
    return job["id"]


def ended(api_url, token, queue, job_id, seconds=20):
    """The poll answer once the job has ended: (status, message)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        answer = requests.get(f"{api_url}jobs/{queue}/{job_id}", headers={"Authorization": f"Bearer {token}"},
                              timeout=10)
        if answer.status_code == 200:
            return answer.json()["status"], answer.json()["message"]
        time.sleep(0.02)
    raise AssertionError(f"job {job_id} did not end")


def pids_of(path, count=1, seconds=20):
    """The pids a running worker wrote, once it has written them."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if path.exists() and len(text := path.read_text().split()) == count:
            return [int(pid) for pid in text]
        time.sleep(0.02)
    raise AssertionError("the worker never started")


def test_a_runaway_job_is_killed_at_its_time_out_while_other_queues_are_served(tmp_path):
    with LocalPlatform(max_workers=1) as platform:
        platform.register("runaway", runaway_workers.misbehave, isolated=True)
        platform.register("echo", echo_worker)
        api, token = platform.api_url, platform.token
        runaway = submit(api, token, "runaway", {"mode": "spin", "pids": str(tmp_path / "spin"),
                                                 "execution_timeout": 3})
        (spinning,) = pids_of(tmp_path / "spin")

        # One slot per queue, and the runaway holds the only one of its queue.
        echo = submit(api, token, "echo", {"a": 1})
        assert ended(api, token, "echo", echo, seconds=2) == ("SUCCESS", "")
        assert platform.jobs[runaway].state == "RUNNING"

        assert ended(api, token, "runaway", runaway) == (
            "TIMEOUT_ERROR", "The job was stopped: the worker did not finish within the execution_timeout of 3 seconds")
        assert wait_gone([spinning])
        # The queue goes on in a fresh process.
        after = submit(api, token, "runaway", {"mode": "answer", "pids": str(tmp_path / "after")})
        assert ended(api, token, "runaway", after) == ("SUCCESS", "")
        assert pids_of(tmp_path / "after") != [spinning]


@pytest.mark.parametrize(("mode", "processes"), [("allocate", 1), ("allocate-in-child", 2)])
def test_a_job_above_the_memory_limit_is_stopped_with_its_limit_named(tmp_path, mode, processes):
    with LocalPlatform(memory_limit=1 << 30) as platform:
        platform.register("hog", runaway_workers.misbehave, isolated=True, memory_limit=256 << 20)
        job = submit(platform.api_url, platform.token, "hog",
                     {"mode": mode, "pids": str(tmp_path / "pids"), "execution_timeout": 60})
        pids = pids_of(tmp_path / "pids", processes)

        assert ended(platform.api_url, platform.token, "hog", job) == (
            "ERROR", "The job was stopped: its worker process used more than the memory limit of 256 MiB per job. "
                     "Raise the limit with memory_limit (bytes) of LocalPlatform or register(), or --memory-limit "
                     "(MiB) of python -m tessel.local serve")
        assert wait_gone(pids)


@pytest.mark.parametrize(
    ("worker", "options", "error", "message"),
    [
        (lambda content: content, {"isolated": True}, TypeError,
         "a worker run in worker processes must be a module-level function or an object of a module-level "
         "class, which pickle can send; not <function <lambda> at 0x…>: Can't pickle <function <lambda> at 0x…>: "
         "attribute lookup <lambda> on test_local_processes failed"),
        (echo_worker, {"memory_limit": 1 << 30}, ValueError,
         "memory_limit applies to workers run in worker processes: register with isolated=True"),
        (echo_worker, {"isolated": True, "memory_limit": 0}, ValueError,
         "memory_limit must be a positive int of bytes or None, got 0"),
    ],
    ids=["lambda", "limit-in-thread", "zero-limit"],
)
def test_registrations_refused(local_platform, worker, options, error, message):
    with pytest.raises(error) as raised:
        local_platform.register("q", worker, **options)
    assert re.sub(r"0x[0-9a-f]+", "0x…", str(raised.value)) == message
    assert local_platform.queues == []


def test_serve_reports_each_job_and_stops_on_sigterm_with_a_job_running(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
    server = subprocess.Popen(
        [sys.executable, "-m", "tessel.local", "serve", "--queue", "demo", "--token", "t",
         "--queue", "runaway=runaway_workers:misbehave"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        server.stdout.readline()
        api = server.stdout.readline().strip().removeprefix("TESSEL_API_URL=")
        server.stdout.readline()
        echo = submit(api, "t", "demo", {"a": 1})
        assert ended(api, "t", "demo", echo) == ("SUCCESS", "")
        runaway = submit(api, "t", "runaway", {"mode": "spin", "pids": str(tmp_path / "spin"),
                                               "execution_timeout": 60})
        spinning = pids_of(tmp_path / "spin")

        server.send_signal(signal.SIGTERM)
        server.wait(timeout=2)
    finally:
        server.kill()
        out, err = server.communicate()

    assert re.sub(r"after \d+\.\d\d s", "after … s", out) == (
        f"tessel.local: job {echo} of queue 'demo' ended SUCCESS after … s\n"
        f"tessel.local: job {runaway} of queue 'runaway' ended ERROR after … s\n")
    assert (server.returncode, err) == (0, "")
    assert wait_gone(spinning)
