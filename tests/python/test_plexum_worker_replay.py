"""The Plexum worker's checks of the records: each problem ends the job with a message naming the record."""

import base64
import json

import pytest

from tessel.local import ERROR, WorkerFailure
from tessel.local.plexum_worker import PlexumWorker
from plexum_records import JobRecords

RIGID = 1e12


def base_job():
    """Two beams in a row (nodes 1-2-3), clamped at node 1, self-weight, one combination."""
    job = JobRecords()
    job.vector((0, 0, 0), (0, 1, 0))
    job.point_reference((1, 2, 3))
    job.concrete(30e6, 0.2, 2500.0)
    job.rectangle(0.3, 0.5)
    for x in (0.0, 4.0, 8.0):
        job.node(x, 0.0, 0.0)
    job.beam(job.line(1, 2), 1, 1)
    job.beam(job.line(2, 3), 1, 1)
    job.support(1, 1, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)
    job.load_case()
    job.self_weight(1, 1)
    job.self_weight(1, 2)
    job.combination({1: 1.35})
    job.displacements([3])
    return job


def failure(content):
    with pytest.raises(WorkerFailure) as raised:
        PlexumWorker()(content)
    return raised.value.status, raised.value.message


def functions(content, key):
    return content["Model"][key]["Functions"]


def test_base_job_runs():
    answer = PlexumWorker()(base_job().content())
    assert answer["Displacements"]["Nodes"]["3"]["LoadCases"]["1"]["z"] < 0


def _set(key, position, name, value):
    def change(content):
        functions(content, key)[position - 1][1][name] = value
    return change


def _append(key, record, results=False):
    def change(content):
        (content["Results"] if results else content["Model"])[key]["Functions"].append(record)
    return change


def _record(key, build, results=False):
    """The record that a `JobRecords` method writes, complete as the builder writes it."""
    job = JobRecords()
    build(job)
    return (job.results if results else job.model)[key]["Functions"][-1]


def _line_property(record):
    def change(content):
        content["Model"]["Lines"]["Properties"].append(["Reference", record])
    return change


def _results_list(key, value):
    def change(content):
        content["Results"][key] = value
    return change


@pytest.mark.parametrize(("change", "message"), [
    (_set("Lines", 2, "MaterialIndex", 3), 'Lines record 2 "DefineAsBeam": material 3 does not exist'),
    (_set("Lines", 1, "EndNode", 9), 'Lines record 1 "Add": node 9 does not exist'),
    (_set("Lines", 4, "StartCrossSectionIndex", 2), 'Lines record 4 "DefineAsBeam": cross-section 2 does not exist'),
    (_set("Lines", 4, "LineIndex", 5), 'Lines record 4 "DefineAsBeam": line 5 does not exist'),
    (_set("Nodes", 2, "z", "high"), 'Nodes record 2 "Add": parameter "z" is not a finite number: \'high\''),
    (_append("Lines", ["SplitByN", {"N": 0, "LineIndex": 1}]), 'Lines record 5 "SplitByN": N must be at least 1, got 0'),
    (_append("Lines", ["Remove", {"LineIndex": 1}]), 'Lines record 5 "Remove": unknown function'),
    (_line_property({"ReferenceIndex": 3, "LineIndex": 1}), 'Lines property 1 "Reference": reference 3 does not exist'),
    (_line_property({"ReferenceIndex": 2, "LineIndex": 1}),
     'Lines property 1 "Reference": reference 2 is a point, not a vector'),
    (_line_property({"ReferenceIndex": 1, "LineIndex": 7}), 'Lines property 1 "Reference": line 7 does not exist'),
    (_set("NodesSupports", 1, "BeamId", 7),
     'NodesSupports record 1 "AddNodalBeamRelative": beam 7 does not exist: there is no line 7'),
    (_set("NodesSupports", 1, "NodeId", 3),
     'NodesSupports record 1 "AddNodalBeamRelative": node 3 is not an end node of beam 1'),
    (_set("Loads", 2, "LoadCaseId", 2), 'Loads record 2 "AddBeamSelfWeight": load case 2 does not exist'),
    (_set("Loads", 1, "LineId", 4), 'Loads record 1 "AddBeamSelfWeight": beam 4 does not exist: there is no line 4'),
    (_set("LoadCombinations", 1, "LoadCaseIds", [3]), 'LoadCombinations record 1 "Add": load case 3 does not exist'),
    (_set("Materials", 1, "Nux", 0.5),
     'Materials record 1 "AddConcrete_EuroCode": Poisson\'s ratio Nux must be at least 0 and below 0.5, got 0.5'),
    (_append("Materials", ["AddFromCatalog", {"NationalDesignCode": 2, "MaterialName": "C100/115"}]),
     'Materials record 2 "AddFromCatalog": material \'C100/115\' is not in the catalogue of design code 2 '
     '(this worker knows the concrete grades C12/15 to C90/105)'),
    (_append("Materials", ["AddFromCatalog", {"NationalDesignCode": 3, "MaterialName": "C20/25"}]),
     'Materials record 2 "AddFromCatalog": design code 3 does not exist'),
    (_append("Domains", _record("Domains", lambda job: job.domain([1, 2, 9], 1, 0.2))),
     'Domains record 1 "Add": line 9 does not exist'),
    (_append("Domains", _record("Domains", lambda job: job.mesh([1], 0.5))),
     'Domains record 1 "GenerateMeshOnSelectedDomains": domain 1 does not exist'),
    (_append("Loads", ["AddDomainSelfWeight", {"DomainId": 1, "LoadCaseId": 1}]),
     'Loads record 3 "AddDomainSelfWeight": domain 1 does not exist'),
    (_append("Displacements", ["NodalDisplacementByLoadCaseId", {"NodeId": 4}], results=True),
     'Displacements record 2 "NodalDisplacementByLoadCaseId": node 4 does not exist'),
    (_append("Forces", ["NodalSupportForceByLoadCombinationId", {"NodalSupportId": 2}], results=True),
     'Forces record 1 "NodalSupportForceByLoadCombinationId": node support 2 does not exist'),
    (_append("Sections", _record("Sections", lambda job: job.section_results([1], [1]), results=True), results=True),
     'Sections record 1 "GetSegmentChainSurfaceForcesByLoadCombinationId": section 1 does not exist'),
    (_results_list("LoadCases", [1, 2]), '"Results" "LoadCases" entry 2: load case 2 does not exist'),
    (_results_list("LoadCombinations", [0]), '"Results" "LoadCombinations" entry 1: load combination 0 does not exist'),
])
def test_a_bad_record_is_named(change, message):
    content = base_job().content()
    change(content)
    assert failure(content) == (ERROR, message)


def test_a_missing_list_or_parameter_is_named():
    content = base_job().content()
    del content["Model"]["Domains"]
    assert failure(content) == (ERROR, '"Model" has no list "Domains"')
    content = base_job().content()
    del functions(content, "Nodes")[0][1]["x"]
    assert failure(content) == (ERROR, 'Nodes record 1 "Add": parameter "x" is missing')
    content = base_job().content()
    functions(content, "Nodes")[0] = "Add"
    assert failure(content) == (ERROR, "Nodes record 1: not a [name, parameters] pair")


@pytest.mark.parametrize(("change", "message"), [
    ({"version": 2}, ("CONTENT_VERSION_NOT_SUPPORTED_ERROR", "Job content version 2 is not supported")),
    ({"command": "Explode"}, (ERROR, "unknown command 'Explode': expected one of Run, RunReturnModel, CreateModel")),
    ({"report_template": "no base64!"}, (ERROR, '"report_template" is not Base64 text')),
])
def test_job_level_problems(change, message):
    assert failure({**base_job().content(), **change}) == message


@pytest.mark.parametrize(("stiffness", "messages"), [
    ({"y": RIGID, "z": RIGID, "xx": RIGID, "yy": RIGID, "zz": RIGID},  # slides along x
     {"node 1 is free to move in the global x direction", "node 2 is free to move in the global x direction"}),
    ({"x": RIGID, "y": RIGID, "z": RIGID, "xx": RIGID, "zz": RIGID},  # turns about Y around node 1
     {"node 1 is free to rotate about the global y axis", "node 2 is free to rotate about the global y axis",
      "node 2 is free to move in the global z direction"}),
])
def test_a_mechanism_names_the_free_node(stiffness, messages):
    job = JobRecords()
    job.concrete(30e6, 0.2, 2500.0)
    job.rectangle(0.3, 0.5)
    job.node(0.0, 0.0, 0.0)
    job.node(4.0, 0.0, 0.0)
    job.beam(job.line(1, 2), 1, 1)
    job.support(1, 1, **stiffness)
    status, text = failure(job.content())
    assert status == ERROR
    assert text.removeprefix("the model is a mechanism: ") in messages


def test_a_mechanism_with_one_free_rotation_names_it():
    # A pinned-pinned beam without torsional restraint spins about its own axis.
    job = JobRecords()
    job.concrete(30e6, 0.2, 2500.0)
    job.rectangle(0.3, 0.5)
    job.node(0.0, 0.0, 0.0)
    job.node(4.0, 0.0, 0.0)
    job.beam(job.line(1, 2), 1, 1)
    job.support(1, 1, x=RIGID, y=RIGID, z=RIGID)
    job.support(2, 1, y=RIGID, z=RIGID)
    status, text = failure(job.content())
    assert text in ("the model is a mechanism: node 1 is free to rotate about the global x axis",
                    "the model is a mechanism: node 2 is free to rotate about the global x axis")


@pytest.mark.parametrize(("change", "message"), [
    (_append("Domains", ["Add", {"LineIds": [1, 2], "SurfaceAttr": {
        "Thickness": 0.2, "SurfaceType": 4, "RefZId": 0, "RefXId": 0, "MaterialId": 1,
        "ElasticFoundation": {"x": 0.0, "y": 0.0, "z": 5000.0}, "NonLinearity": {"x": 0, "y": 0, "z": 0},
        "Resistance": {"x": 0.0, "y": 0.0, "z": 0.0}, "Characteristics": 0}}]),
     'Domains record 1 "Add": elastic foundations of domains ("ElasticFoundation", "NonLinearity", '
     '"Resistance") cannot be computed yet'),
    (_set("NodesSupports", 1, "NonLinearity", {"x": 0, "y": 0, "z": 2, "xx": 0, "yy": 0, "zz": 0}),
     'NodesSupports record 1 "AddNodalBeamRelative": non-linear supports cannot be computed yet'),
    (_set("NodesSupports", 1, "Resistances", {"x": 5.0, "y": 0.0, "z": 0.0, "xx": 0.0, "yy": 0.0, "zz": 0.0}),
     'NodesSupports record 1 "AddNodalBeamRelative": support resistances cannot be computed yet'),
    (_set("Lines", 4, "StartEccentricity", {"x": 0.0, "y": 0.0, "z": 0.1}),
     'Lines record 4 "DefineAsBeam": beam eccentricities cannot be computed yet'),
    (_append("Sections", _record("Sections", lambda job: job.section((0, 0, 0), (0, 1, 0), (1, 0, 0)),
                                 results=True), results=True),
     None),
])
def test_what_cannot_be_computed_is_refused_but_described(change, message):
    content = base_job().content()
    change(content)
    if message is None:  # a section definition alone is harmless
        assert PlexumWorker()(content)["Sections"] == {}
        return
    assert failure(content) == (ERROR, message)
    described = json.loads(base64.b64decode(PlexumWorker()({**content, "command": "CreateModel"})["ModelFile"]))
    record, reason = message.split(": ", 1)
    assert described["NotComputed"] == [{"Record": record, "Reason": reason}]


def test_a_node_outside_every_beam_has_no_displacement():
    job = base_job()
    job.node(20.0, 0.0, 0.0)
    job.displacements([4])
    assert failure(job.content()) == (
        ERROR, 'Displacements record 2 "NodalDisplacementByLoadCaseId": node 4 belongs to no beam or domain, '
               "so it has no displacement")
