"""GrasshopperAnalysis end to end on the local platform, with the stand-in worker."""

import itertools
import json
import subprocess
import sys
from pathlib import Path

import pytest

import tessel.external.offload_task as offload_task
from tessel.core import File
from tessel.errors import ExecutionError
from tessel.external.grasshopper import GrasshopperAnalysis
from tessel.local.grasshopper_worker import GrasshopperWorker

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def platform(local_platform, monkeypatch):
    monkeypatch.setattr(offload_task, "_get_wait_times_for_stepwise_polling",
                        lambda minimum_interval: itertools.repeat(0.1))
    GrasshopperWorker().register(local_platform)
    return local_platform


def test_definition_runs_with_input_trees(platform):
    analysis = GrasshopperAnalysis(script=File.from_data(b"gh definition"),
                                   input_parameters={"my_int": 1, "my_bool": True, "my_list": [1, 2.5],
                                                     "my_dict": {"{0;1}": ["é"]}})
    analysis.execute(timeout=10)
    output = analysis.get_output()
    assert output == {
        "absolutetolerance": 0.001, "angletolerance": 1.0, "modelunits": "Meters", "algo": "Z2ggZGVmaW5pdGlvbg==",
        "pointer": "", "cachesolve": False, "recursionlevel": 0, "warnings": [], "errors": [],
        "values": [{"ParamName": "my_int", "InnerTree": {"{0}": [{"data": "1"}]}},
                   {"ParamName": "my_bool", "InnerTree": {"{0}": [{"data": True}]}},
                   {"ParamName": "my_list", "InnerTree": {"{0}": [{"data": 1}, {"data": 2.5}]}},
                   {"ParamName": "my_dict", "InnerTree": {"0;1": [{"data": "é"}]}}]}
    assert analysis.get_output() is output
    (job,) = platform.jobs.values()
    assert json.loads(job.content_path.read_bytes())["execution_timeout"] == 10


def test_problems_come_back_in_errors(platform):
    analysis = GrasshopperAnalysis(script=File.from_data(b""), input_parameters={"p": {"x": [1]}})
    analysis.execute(timeout=10)
    assert analysis.get_output()["errors"] == ['"algo" holds no definition: the script is empty',
                                               "Data tree 0: branch key '' of 'p' is not a path"]


def test_unsupported_version_is_reported(platform, monkeypatch):
    analysis = GrasshopperAnalysis(script=File.from_data(b"gh"))
    analysis._version = 2
    with pytest.raises(ExecutionError) as raised:
        analysis.execute(timeout=10)
    assert str(raised.value) == ("Current worker version does not support the feature you are requesting on "
                                 "'GrasshopperAnalysis'. Please contact TESSEL to receive the latest worker.")


def test_example_runs():
    result = subprocess.run([sys.executable, str(EXAMPLES / "grasshopper_run.py")], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "5 data trees came back, errors: []"
    assert json.loads(lines[-1]) == {"ParamName": "grid", "InnerTree": {"0;0": [{"data": "0"}, {"data": "3.75"}],
                                                                        "0;1": [{"data": "7.5"}]}}
