"""Stand-in worker of the "grasshopper" queue for the local platform.

No Grasshopper runs here and no definition is solved: the worker only checks
the job content that `GrasshopperAnalysis` sends and answers in the shape of
the real worker's output, so that an application can run end to end locally.
"""

from __future__ import annotations

import base64
import binascii
import re
from typing import Any

from tessel.local import WorkerFailure

__all__ = ["GrasshopperWorker"]

SUPPORTED_VERSION = 1
# Branch keys as the data trees write them: the single branch, or a path.
_BRANCH_KEY = re.compile(r"\{0\}|\d+(?:;\d+)*")


class GrasshopperWorker:
    """Stand-in for the Grasshopper worker. No Grasshopper runs here and nothing is solved.

    It checks the job content ("algo" must be non-empty Base64 text, "values"
    a list of well-formed data trees) and answers with the documented output
    shape under "output": the input trees echoed as "values", every problem
    found listed in "errors", the tolerances and units given here. Content of
    an unsupported job format version ends the job with the status
    "CONTENT_VERSION_NOT_SUPPORTED_ERROR".

    :param model_units: "modelunits" of the answer
    :param absolute_tolerance: "absolutetolerance" of the answer
    :param angle_tolerance: "angletolerance" of the answer
    """

    queue = "grasshopper"

    def __init__(self, *, model_units: str = "Meters", absolute_tolerance: float = 0.001,
                 angle_tolerance: float = 1.0) -> None:
        self.model_units = model_units
        self.absolute_tolerance = absolute_tolerance
        self.angle_tolerance = angle_tolerance

    def register(self, platform: Any) -> None:
        """Serve the queue "grasshopper" of `platform`, each job in a worker process."""
        platform.register(self.queue, self, content="dict", isolated=True)

    def __call__(self, content: dict[str, Any]) -> dict[str, Any]:
        """Check the job content; return {"output": ...} in the documented shape."""
        version = content.get("version")
        if version != SUPPORTED_VERSION:
            raise WorkerFailure("CONTENT_VERSION_NOT_SUPPORTED_ERROR",
                                f"Job content version {version!r} is not supported")
        errors: list[str] = []
        algo = content.get("algo")
        _check_algo(algo, errors)
        if "pointer" not in content:
            errors.append('The job content has no "pointer"')
        values = content.get("values")
        trees = []
        if not isinstance(values, list):
            errors.append('"values" is not a list of data trees')
        else:
            for index, tree in enumerate(values):
                problem = _tree_problem(tree)
                if problem:
                    errors.append(f"Data tree {index}: {problem}")
                else:
                    trees.append(tree)
        return {
            "output": {
                "absolutetolerance": self.absolute_tolerance,
                "angletolerance": self.angle_tolerance,
                "modelunits": self.model_units,
                "algo": algo if isinstance(algo, str) else "",
                "pointer": "",
                "cachesolve": False,
                "recursionlevel": 0,
                "values": trees,
                "warnings": [],
                "errors": errors,
            }
        }


def _check_algo(algo: Any, errors: list[str]) -> None:
    if not isinstance(algo, str):
        errors.append('"algo" is not Base64 text')
        return
    try:
        definition = base64.b64decode(algo, validate=True)
    except binascii.Error:
        errors.append('"algo" is not valid Base64')
        return
    if not definition:
        errors.append('"algo" holds no definition: the script is empty')


def _tree_problem(tree: Any) -> str | None:
    """What is wrong with one data tree, or None."""
    if not isinstance(tree, dict) or list(tree) != ["ParamName", "InnerTree"]:
        return 'not an object with "ParamName" and "InnerTree"'
    name, inner = tree["ParamName"], tree["InnerTree"]
    if not isinstance(name, str):
        return '"ParamName" is not text'
    if not isinstance(inner, dict):
        return f'"InnerTree" of {name!r} is not an object'
    for key, branch in inner.items():
        if not _BRANCH_KEY.fullmatch(key):
            return f"branch key {key!r} of {name!r} is not a path"
        if not isinstance(branch, list) or not all(
                isinstance(item, dict) and list(item) == ["data"] for item in branch):
            return f'branch {key!r} of {name!r} is not a list of {{"data": ...}} records'
    return None
