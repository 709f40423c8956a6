"""The Plexum worker at its edges: job sizes refused before any work, records it does not understand refused by
name, numbers that cannot be trusted refused, and solves that stay right where the old ones drifted."""

import json
import math

import pytest

from tessel.local import ERROR, WorkerFailure
from tessel.local.plexum_worker import PlexumWorker
from plexum_records import JobRecords
from test_plexum_worker_replay import _append, _set, base_job, failure

RIGID = 1e12
G = 9.80665


def slab(size):
    job = JobRecords()
    material = job.concrete(30e6, 0.2, 2500.0)
    domain, nodes, lines = job.polygon([(0, 0, 0), (10, 0, 0), (10, 8, 0), (0, 8, 0)], material, 0.2, beams=None)
    job.mesh([domain], size)
    return job


def _split(n):
    def change(content):
        content["Model"]["Lines"]["Functions"].append(["SplitByN", {"N": n, "LineIndex": 1}])
    return change


def _load_cases(count):
    def change(content):
        content["Model"]["LoadCases"]["Functions"] += [["Add", {"Name": f"case {k}", "LoadCaseType": 0}]
                                                        for k in range(count)]
    return change


@pytest.mark.parametrize(("change", "message"), [
    (_split(10 ** 6), 'Lines record 5 "SplitByN": beam 1 in 1000000 part(s) gives about 1.0e+06 elements; the '
                      "limit is 2.0e+05 (PlexumWorker(max_elements=...))"),
    (_load_cases(10 ** 5), '"Model" has 100001 load cases and 1 load combinations, 100002 result columns; the limit '
                           "is 1.0e+03 (PlexumWorker(max_load_cases=...))"),
    (_append("Nodes", ["Add", {"x": 10 ** 400, "y": 0.0, "z": 0.0}]),
     'Nodes record 4 "Add": parameter "x" is not a finite number: 10000000000000000000... (401 characters)'),
    (_set("Nodes", 2, "x", 1e308), 'Nodes record 2 "Add": coordinate "x" 1e+308 m is beyond 1e+09 m, farther than '
                                   "this worker computes in double precision"),
    (lambda content: content["Model"].update(Walls={"Functions": [["Add", {}]], "Properties": []}),
     '"Model" has an unknown list "Walls"'),
    (lambda content: (_set("Materials", 1, "Rho", 1e300)(content), _set("LoadCombinations", 1, "Factors", [1e300])(content)),
     'LoadCombinations record 1 "Add": the results of load combination 1 are not finite numbers: its loads or '
     "factors are too large for double precision"),
])
def test_what_is_too_large_or_unknown_is_refused_by_name(change, message):
    content = base_job().content()
    change(content)
    assert failure(content) == (ERROR, message)


def test_a_mesh_too_fine_is_refused_before_meshing():
    job = slab(1e-6)
    job.load_case()
    assert failure(job.content()) == (
        ERROR, 'Domains record 2 "GenerateMeshOnSelectedDomains": a mesh size of 1e-06 m on domain 1 (80 m2) gives '
               "about 8.0e+13 elements; the limit is 2.0e+05 (PlexumWorker(max_elements=...))")
    job = slab(0.5)
    job.load_case()
    with pytest.raises(WorkerFailure, match=r"limit is 1\.0e\+02 \(PlexumWorker\(max_elements=\.\.\.\)\)"):
        PlexumWorker(max_elements=100)(job.content())


@pytest.mark.parametrize(("key", "position", "name", "value", "message"), [
    ("Results", None, "Envelopes", {"Functions": [], "Properties": []}, '"Results" has an unknown list "Envelopes"'),
    ("Loads", 1, "Data", None, '"Data.LoadDistributionType" 0 is not a linear distribution: a linear surface load '
                               "has the distribution 1 (linear)"),
])
def test_records_not_understood_are_refused(key, position, name, value, message):
    job = slab(1.0)
    case = job.load_case()
    job.domain_linear(case, 1, (1.0, 2.0, 3.0), ((0, 0, 0), (1, 0, 0), (0, 1, 0)))
    content = job.content()
    if key == "Results":
        content["Results"][name] = value
        assert failure(content) == (ERROR, message)
        return
    content["Model"]["Loads"]["Functions"][position - 1][1]["Data"]["LoadDistributionType"] = 0
    assert failure(content) == (ERROR, f'Loads record 1 "AddDomainLinear": {message}')


def cantilever(parts):
    job = JobRecords()
    material, section = job.concrete(30e6, 0.2, 2500.0), job.rectangle(0.3, 0.5)
    root, tip = job.node(0.0, 0.0, 0.0), job.node(6.0, 0.0, 0.0)
    beam = job.beam(job.line(root, tip), material, section)
    job.split(beam, parts)
    job.support(root, beam, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)
    job.self_weight(job.load_case(), beam)
    job.displacements([tip])
    job.support_forces([1])
    return job


def test_a_chain_of_5000_elements_keeps_its_digits_and_its_balance():
    answer = PlexumWorker()(json.loads(json.dumps(cantilever(5000).content())))
    q, ei, length = 2500.0 * 0.15 * G / 1000, 30e6 * 0.3 * 0.5 ** 3 / 12, 6.0
    tip = answer["Displacements"]["Nodes"]["2"]["LoadCases"]["1"]
    assert tip["z"] == pytest.approx(-q * length ** 4 / (8 * ei), rel=1e-6)
    reaction = answer["Forces"]["NodalSupports"]["1"]["LoadCases"]["1"]["Global"]
    assert reaction["z"] == pytest.approx(q * length, rel=1e-9)
    assert reaction["yy"] == pytest.approx(-q * length ** 2 / 2, rel=1e-9)


@pytest.mark.parametrize("turn", [0.0, math.radians(30.0)])
def test_a_beam_on_a_three_way_foundation_turned_by_its_reference_is_computed(turn):
    # Free ends, uniform weight, uniform springs: the beam settles without bending, by q/k along each of its
    # axes, so the vertical settlement is q (cos^2 / k_z + sin^2 / k_y) however it is turned.
    job = JobRecords()
    reference = job.vector((0, 0, 0), (0, -math.sin(turn), math.cos(turn)))
    material, section = job.concrete(30e6, 0.2, 2500.0), job.rectangle(0.3, 0.5)
    a, middle, b = job.node(0.0, 0.0, 0.0), job.node(5.0, 0.0, 0.0), job.node(10.0, 0.0, 0.0)
    first = job.beam(job.line(a, middle), material, section, reference=reference)
    second = job.beam(job.line(middle, b), material, section, reference=reference)
    k_y, k_z = 2000.0, 5000.0
    for beam in (first, second):
        job.foundation(beam, 1000.0, k_y, k_z)
    job.support(a, first, xx=RIGID)  # torsion: a foundation on the axis cannot hold it
    case = job.load_case()
    job.self_weight(case, first)
    job.self_weight(case, second)
    job.displacements([middle])
    answer = PlexumWorker()(json.loads(json.dumps(job.content())))
    q = 2500.0 * 0.15 * G / 1000
    settled = answer["Displacements"]["Nodes"]["2"]["LoadCases"]["1"]
    expected = q * (math.cos(turn) ** 2 / k_z + math.sin(turn) ** 2 / k_y)
    assert settled["z"] == pytest.approx(-expected, rel=1e-3)


def test_a_free_direction_is_named_whatever_the_stiffnesses():
    # Held along x only by a support turned 30 degrees about z: the beam is free across that support, and
    # the message says along which direction, however stiff or slender the beam.
    job = JobRecords()
    reference = job.vector((0, 0, 0), (0, 0, 1))
    material, section = job.concrete(30e6, 0.2, 2500.0), job.rectangle(1e-4, 1e-4)
    a, b = job.node(0.0, 0.0, 0.0), job.node(math.cos(math.radians(30)), math.sin(math.radians(30)), 0.0)
    beam = job.beam(job.line(a, b), material, section, reference=reference)
    job.split(beam, 1000)
    job.support(a, beam, x=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)
    job.self_weight(job.load_case(), beam)
    assert failure(job.content()) == (ERROR, "the model is a mechanism: node 1 is free to move in the direction "
                                             "(-0.5, 0.866, 0)")


def test_the_phases_are_logged(caplog):
    with caplog.at_level("INFO", logger="tessel.local"):
        PlexumWorker()(json.loads(json.dumps(cantilever(4).content())))
    phases = [record.getMessage().split(":")[0] for record in caplog.records if record.name == "tessel.local.plexum"]
    assert phases == ["replay", "mesh", "assembly and loads", "solve", "solve", "recovery", "results", "page"]
    assert "mesh: 4 elements (4 beam elements, 0 quadrilaterals), 5 nodes" in caplog.text
    assert "solve: 30 unknowns, 1 load cases" in caplog.text
