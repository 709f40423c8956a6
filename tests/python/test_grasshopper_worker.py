"""The local Grasshopper stand-in worker, called directly with job content."""

import pytest

from tessel.local import WorkerFailure
from tessel.local.grasshopper_worker import GrasshopperWorker

TREE = {"ParamName": "a", "InnerTree": {"{0}": [{"data": 1}], "0;1": [{"data": "x"}]}}


def output(**content):
    job = {"algo": "Z2g=", "pointer": None, "values": [TREE], "version": 1, "execution_timeout": 5}
    job.update(content)
    return GrasshopperWorker()(job)["output"]


def test_answer_has_the_documented_shape():
    assert GrasshopperWorker(model_units="Millimeters", absolute_tolerance=0.1, angle_tolerance=0.5)(
        {"algo": "Z2g=", "pointer": None, "values": [TREE], "version": 1}) == {"output": {
            "absolutetolerance": 0.1, "angletolerance": 0.5, "modelunits": "Millimeters", "algo": "Z2g=",
            "pointer": "", "cachesolve": False, "recursionlevel": 0, "values": [TREE], "warnings": [],
            "errors": []}}
    assert "No Grasshopper runs here" in GrasshopperWorker.__doc__


@pytest.mark.parametrize(
    ("content", "errors"),
    [
        ({"algo": "%%"}, ['"algo" is not valid Base64']),
        ({"algo": ""}, ['"algo" holds no definition: the script is empty']),
        ({"algo": None}, ['"algo" is not Base64 text']),
        ({"values": {}}, ['"values" is not a list of data trees']),
        ({"values": [TREE, {"ParamName": "b"}]}, ['Data tree 1: not an object with "ParamName" and "InnerTree"']),
        ({"values": [{"ParamName": 1, "InnerTree": {}}]}, ['Data tree 0: "ParamName" is not text']),
        ({"values": [{"ParamName": "b", "InnerTree": []}]}, ["Data tree 0: \"InnerTree\" of 'b' is not an object"]),
        ({"values": [{"ParamName": "b", "InnerTree": {"": [{"data": 1}]}}]},
         ["Data tree 0: branch key '' of 'b' is not a path"]),
        ({"values": [{"ParamName": "b", "InnerTree": {"{0;1}": []}}]},
         ["Data tree 0: branch key '{0;1}' of 'b' is not a path"]),
        ({"values": [{"ParamName": "b", "InnerTree": {"1": [{"data": 1, "x": 2}]}}]},
         ["Data tree 0: branch '1' of 'b' is not a list of {\"data\": ...} records"]),
    ],
)
def test_problems_are_reported_in_errors(content, errors):
    out = output(**content)
    assert out["errors"] == errors
    # Well-formed trees are echoed, the others left out.
    expected = content.get("values", [TREE])
    assert out["values"] == ([TREE] if isinstance(expected, list) and TREE in expected else [])


def test_missing_pointer_and_unsupported_version():
    job = {"algo": "Z2g=", "values": [], "version": 1}
    assert GrasshopperWorker()(job)["output"]["errors"] == ['The job content has no "pointer"']
    with pytest.raises(WorkerFailure) as raised:
        GrasshopperWorker()({**job, "version": 2})
    assert (raised.value.status, raised.value.message) == ("CONTENT_VERSION_NOT_SUPPORTED_ERROR",
                                                           "Job content version 2 is not supported")
