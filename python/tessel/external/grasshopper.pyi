"""Grasshopper definitions run on a remote worker, with input values sent as data trees."""

from typing import Any, Dict, List, Optional, Sequence

from tessel.core import File
from tessel.external.offload_task import OffloadTask, _JobContent

__all__ = ["GrasshopperAnalysis"]

class _DataTree:
    """One input parameter of a Grasshopper definition as a data tree."""

    data: Dict[str, Any]
    def __init__(self, name: str) -> None: ...
    def append(self, path: Sequence[Any], items: Sequence[Any]) -> None: ...

def _index_of_branch(branch_input: str) -> List[int]: ...
def _convert_dict_to_gh_trees(d: Dict[str, Any]) -> List[_DataTree]: ...

class GrasshopperAnalysis(OffloadTask):
    """ ::version(v14.8.0)

    Perform an analysis using Grasshopper on a remote server by means of a worker."""

    script: File
    _input_trees: List[_DataTree]
    def __init__(self, *, script: File, input_parameters: Optional[Dict[str, Any]] = None) -> None: ...
    def _generate_job_content(self) -> _JobContent: ...
    def get_output(self) -> Dict[str, Any]: ...
