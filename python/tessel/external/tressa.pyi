"""Tressa scripts run on a remote worker next to Tressa."""

from typing import ClassVar

from tessel.external.python import PythonAnalysis

__all__ = ["TressaAnalysis"]

class TressaAnalysis(PythonAnalysis):
    """ ::version(14.17.0)

    Perform an analysis using Tressa on a remote server by means of a worker, which runs a script that
    drives Tressa."""

    _integration: ClassVar[str]
