"""TressaAnalysis: the script analysis of the host SDK under the name "tressa"."""

import subprocess
import sys

from tessel.external.python import PythonAnalysis
import tessel.external.tressa as tressa
from tessel.external.tressa import TressaAnalysis


def test_class_wiring():
    assert tressa.__all__ == ["TressaAnalysis"]
    assert TressaAnalysis.__bases__ == (PythonAnalysis,) and TressaAnalysis.__module__ == "tessel.external.tressa"
    assert TressaAnalysis._integration == "tressa" and PythonAnalysis._integration == "python"
    assert set(vars(TressaAnalysis)) <= {"_integration", "__doc__", "__module__", "__qualname__", "__dict__",
                                         "__weakref__", "_abc_impl", "__abstractmethods__"}
    assert TressaAnalysis.__doc__.startswith(" ::version(14.17.0)\n")
    for text in ("generic error. Error message provides more information", "script_key",
                 "e.g. ('input1.txt', file1)", 'e.g. ["output.txt"]', "configuration file"):
        assert text in TressaAnalysis.__doc__


def test_jobs_go_to_the_tressa_queue():
    analysis = TressaAnalysis(script_key="run")
    assert (analysis._queue_name, analysis._version) == ("tressa", 1)
    assert isinstance(analysis, PythonAnalysis)


def test_module_imports_only_the_script_analysis():
    code = ("import sys; import tessel.external.tressa; "
            "print(sorted(m for m in sys.modules if m.startswith('tessel.external')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "['tessel.external', 'tessel.external.python', 'tessel.external.tressa']"
    assert set(vars(tressa)) >= {"PythonAnalysis"} and "OffloadTask" not in vars(tressa)


def test_script_analyses_are_independent_of_the_job_framework():
    from tessel.external.offload_task import OffloadTask

    assert not issubclass(TressaAnalysis, OffloadTask) and not issubclass(PythonAnalysis, OffloadTask)
    code = ("import sys; import tessel.external.tressa as t; t.TressaAnalysis(script_key='k'); "
            "print('tessel.external.offload_task' not in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "True\n"
