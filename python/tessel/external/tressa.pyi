from typing import ClassVar

from tessel.external.python import PythonAnalysis

__all__ = ["TressaAnalysis"]

class TressaAnalysis(PythonAnalysis):
    _integration: ClassVar[str]
