"""Tressa and the script analysis end to end on the local platform, with the
local script worker."""

import itertools
import math
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tessel import _jobs
from tessel.core import File
from tessel.errors import ExecutionError
from tessel.external.python import PythonAnalysis
from tessel.external.tressa import TressaAnalysis
from tessel.local.script_worker import ScriptWorker

from test_script_worker import SPAWNER, wait_gone

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
COPY_UPPER = ("import pathlib; p = pathlib.Path; "
              "p('output.txt').write_text(p('input1.txt').read_text().upper())")


@pytest.fixture
def platform(local_platform, monkeypatch):
    # Poll every 0.1 s instead of the schedule's seconds.
    monkeypatch.setattr(_jobs, "_get_wait_times_for_stepwise_polling",
                        lambda minimum_interval: itertools.repeat(0.1))
    ScriptWorker().register(local_platform)
    return local_platform


def run(analysis, timeout=20):
    analysis.execute(timeout=timeout)
    return analysis


@pytest.mark.parametrize("cls", [TressaAnalysis, PythonAnalysis])
def test_script_with_input_and_output_files(platform, cls):
    analysis = run(cls(script=File.from_data(COPY_UPPER), files=[("input1.txt", File.from_data("abc é"))],
                       output_filenames=["output.txt"]))
    assert analysis.get_output_file("output.txt").getvalue_binary() == "ABC É".encode()
    assert [job.queue for job in platform.jobs.values()] == [cls._integration]


def test_local_script_selected_by_key(platform, tmp_path):
    script = tmp_path / "run_tressa.py"
    script.write_text(COPY_UPPER)
    ScriptWorker(local_scripts={"upper": script}, only_local_scripts=True).register(platform)
    analysis = run(TressaAnalysis(script_key="upper", files=[("input1.txt", File.from_data("x"))],
                                  output_filenames=["output.txt"]))
    assert analysis.get_output_file("output.txt").getvalue_binary() == b"X"


@pytest.mark.parametrize(
    ("kwargs", "only_local", "message"),
    [
        ({"script": File.from_data("import sys; sys.stderr.write('Tressa licence not found'); sys.exit(4)")}, False,
         "The script failed with exit code 4: Tressa licence not found"),
        ({"script": File.from_data("pass"), "output_filenames": ["output.txt"]}, False,
         "The script did not write the output file 'output.txt'"),
        ({"script": File.from_data("pass")}, True,
         "This worker runs only local scripts, defined in its configuration file and selected through "
         "script_key; it does not run scripts sent with the job"),
        ({"script": File.from_data("pass"), "files": [("../x", File.from_data("x"))]}, False,
         "Refused input file name '../x': it leaves the job directory"),
        ({"script": File.from_data("pass"), "files": [("/tmp/x", File.from_data("x"))]}, False,
         "Refused input file name '/tmp/x': it leaves the job directory"),
        ({"script_key": "nothing"}, False, "No local script is configured for the script_key 'nothing'"),
    ],
)
def test_failures_reach_the_application(platform, kwargs, only_local, message):
    if only_local:
        ScriptWorker(only_local_scripts=True).register(platform)
    analysis = TressaAnalysis(**kwargs)
    with pytest.raises(ExecutionError) as raised:
        analysis.execute(timeout=20)
    assert str(raised.value) == message
    assert [(job.status, job.message) for job in platform.jobs.values()] == [("ERROR", message)]
    with pytest.raises(ValueError, match="^result_content is None"):
        analysis._get_result_content()


def test_an_endless_timeout_is_refused_by_the_worker(platform):
    with pytest.raises(ExecutionError) as raised:
        TressaAnalysis(script=File.from_data("pass")).execute(timeout=math.inf)
    assert str(raised.value) == "The execution_timeout must be a finite positive number of seconds, not inf"


def test_script_killed_at_the_time_out(platform, tmp_path):
    pids = tmp_path / "pids"
    analysis = TressaAnalysis(script=File.from_data(SPAWNER.format(pids=str(pids), tail="time.sleep(60)")))
    started = time.monotonic()
    with pytest.raises(ExecutionError) as raised:
        analysis.execute(timeout=2)
    assert str(raised.value) == ("The job was stopped: the worker did not finish within the execution_timeout "
                                 "of 2 seconds")
    assert time.monotonic() - started < 5
    # The worker stops the script and the process it started at the same time-out.
    assert wait_gone([int(p) for p in pids.read_text().split()])


def test_example_runs():
    result = subprocess.run([sys.executable, str(EXAMPLES / "tressa_run.py")], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("script sent with the job:\nmembers: 3\ntotal length: 13.70 m\n\n"
                             "local script selected by script_key:\nmembers: 3\ntotal length: 13.70 m\n\n")
