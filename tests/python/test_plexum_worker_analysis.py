"""The Plexum worker's frame analysis against closed forms (Euler-Bernoulli beams)."""

import base64
import html
import json
import math

import pytest

from tessel.local.plexum_worker import PlexumWorker
from plexum_records import JobRecords
from tessel.local.plexum_worker.sections import circle, rectangle, rectangle_torsion

RIGID = 1e12
G = 9.80665
E = 30e6  # kN/m2
RHO = 2500.0


def run(job, command="Run"):
    return PlexumWorker()(json.loads(json.dumps(job.content(command))))


def displacement(answer, node, case="1", group="LoadCases"):
    return answer["Displacements"]["Nodes"][str(node)][group][case]


def support(answer, support_id, case="1", group="LoadCases", axes="Global"):
    return answer["Forces"]["NodalSupports"][str(support_id)][group][case][axes]


def stations(answer, beam, case="1", group="LoadCases"):
    return answer["Forces"]["Lines"][str(beam)][group][case]


def fixed(job, node, beam):
    return job.support(node, beam, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)


@pytest.mark.parametrize(("b", "h", "beta"), [(1.0, 1.0, 0.1406), (2.0, 1.0, 0.2287), (1.0, 4.0, 0.2808),
                                              (10.0, 1.0, 0.3123), (1000.0, 1.0, 0.3331)])
def test_rectangle_torsion_constant_matches_the_tabulated_coefficients(b, h, beta):
    assert rectangle_torsion(b, h) == pytest.approx(beta * max(b, h) * min(b, h) ** 3, rel=5e-4)


def test_section_properties():
    assert rectangle(0.3, 0.5)[:3] == pytest.approx((0.15, 0.3 * 0.5 ** 3 / 12, 0.5 * 0.3 ** 3 / 12))
    assert circle(0.4) == pytest.approx((math.pi * 0.04, math.pi * 0.4 ** 4 / 64, math.pi * 0.4 ** 4 / 64,
                                         math.pi * 0.4 ** 4 / 32))


def test_cantilever_under_self_weight_with_catalogue_concrete():
    job = JobRecords()
    material = job.catalogue_material("C30/37")  # Ecm 33 GPa, 2500 kg/m3
    section = job.rectangle(0.3, 0.5)
    n1, n2 = job.node(0.0, 0.0, 0.0), job.node(6.0, 0.0, 0.0)
    beam = job.beam(job.line(n1, n2), material, section)
    fixed(job, n1, beam)
    job.self_weight(job.load_case(), beam)
    job.displacements([n2])
    job.support_forces([1])
    job.line_forces([beam])
    answer = run(job)
    q, ei, length = RHO * 0.15 * G / 1000, 33e6 * 0.3 * 0.5 ** 3 / 12, 6.0
    tip = displacement(answer, n2)
    assert tip["z"] == pytest.approx(-q * length ** 4 / (8 * ei), rel=1e-6)
    assert tip["yy"] == pytest.approx(q * length ** 3 / (6 * ei), rel=1e-6)
    assert [tip[k] for k in ("x", "y", "xx", "zz")] == [0.0] * 4
    assert support(answer, 1) == pytest.approx({"x": 0.0, "y": 0.0, "z": q * length, "xx": 0.0,
                                                "yy": -q * length ** 2 / 2, "zz": 0.0}, abs=1e-9)
    root, middle, end = stations(answer, beam)
    assert (root["Position"], middle["Position"], end["Position"]) == (0.0, 3.0, 6.0)
    assert root["Vz"] == pytest.approx(-q * length) and root["My"] == pytest.approx(q * length ** 2 / 2)
    assert middle["My"] == pytest.approx(q * 3.0 ** 2 / 2)
    assert end["My"] == pytest.approx(0.0, abs=1e-9) and end["Vz"] == pytest.approx(0.0, abs=1e-9)


def simple_beam(job, length, parts=1):
    material, section = job.concrete(E, 0.2, RHO), job.rectangle(0.3, 0.5)
    n1, n2 = job.node(0.0, 0.0, 0.0), job.node(length, 0.0, 0.0)
    beam = job.beam(job.line(n1, n2), material, section)
    if parts > 1:
        job.split(beam, parts)
    job.support(n1, beam, x=RIGID, y=RIGID, z=RIGID, xx=RIGID)
    job.support(n2, beam, y=RIGID, z=RIGID)
    return beam


def test_simply_supported_beam_split_in_four():
    job = JobRecords()
    beam = simple_beam(job, 8.0, parts=4)
    job.self_weight(job.load_case(), beam)
    job.support_forces([1, 2])
    job.line_forces([beam])
    answer = run(job)
    q, length = RHO * 0.15 * G / 1000, 8.0
    assert support(answer, 1)["z"] == pytest.approx(q * length / 2) == support(answer, 2)["z"]
    found = stations(answer, beam)
    assert [s["Position"] for s in found] == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]
    for s in found:
        x = s["Position"]
        assert s["My"] == pytest.approx(-q * x * (length - x) / 2, abs=1e-9)
        assert s["Vz"] == pytest.approx(-q * (length / 2 - x), abs=1e-9)


def test_simply_supported_beam_midspan_deflection():
    job = JobRecords()
    material, section = job.concrete(E, 0.2, RHO), job.circle(0.4)
    n1, n2, n3 = job.node(0.0, 0.0, 0.0), job.node(5.0, 0.0, 0.0), job.node(10.0, 0.0, 0.0)
    b1, b2 = job.beam(job.line(n1, n2), material, section), job.beam(job.line(n2, n3), material, section)
    job.support(n1, b1, x=RIGID, y=RIGID, z=RIGID, xx=RIGID)
    job.support(n3, b2, y=RIGID, z=RIGID)
    case = job.load_case()
    job.self_weight(case, b1)
    job.self_weight(case, b2)
    job.displacements([n2])
    answer = run(job)
    area, inertia = math.pi * 0.04, math.pi * 0.4 ** 4 / 64
    q = RHO * area * G / 1000
    assert displacement(answer, n2)["z"] == pytest.approx(-5 * q * 10.0 ** 4 / (384 * E * inertia), rel=1e-6)


def test_two_span_continuous_beam():
    # The middle support sits under a short stiff stub, since a support needs a node of one member only.
    job = JobRecords()
    material, section, stub_section = job.concrete(E, 0.2, RHO), job.rectangle(0.3, 0.5), job.rectangle(2.0, 2.0)
    n1, n2, n3 = job.node(0.0, 0.0, 0.0), job.node(6.0, 0.0, 0.0), job.node(12.0, 0.0, 0.0)
    n4 = job.node(6.0, 0.0, -0.001)
    b1, b2 = job.beam(job.line(n1, n2), material, section), job.beam(job.line(n2, n3), material, section)
    stub = job.beam(job.line(n4, n2), material, stub_section)
    job.support(n1, b1, x=RIGID, y=RIGID, z=RIGID, xx=RIGID)
    job.support(n4, stub, x=RIGID, y=RIGID, z=RIGID)
    job.support(n3, b2, y=RIGID, z=RIGID)
    case = job.load_case()
    job.self_weight(case, b1)
    job.self_weight(case, b2)
    job.support_forces([1, 2, 3])
    job.line_forces([b1])
    answer = run(job)
    q, span = RHO * 0.15 * G / 1000, 6.0
    assert support(answer, 1)["z"] == pytest.approx(3 * q * span / 8, rel=1e-4)
    assert support(answer, 2)["z"] == pytest.approx(10 * q * span / 8, rel=1e-4)
    assert support(answer, 3)["z"] == pytest.approx(3 * q * span / 8, rel=1e-4)
    assert stations(answer, b1)[-1]["My"] == pytest.approx(q * span ** 2 / 8, rel=1e-4)  # hogging: +z in tension


def test_portal_frame_with_pinned_feet():
    job = JobRecords()
    material = job.concrete(E, 0.2, RHO)
    column, girder = job.rectangle(0.4, 0.4), job.rectangle(0.3, 0.6)
    height, span = 4.0, 8.0
    a, b = job.node(0.0, 0.0, 0.0), job.node(0.0, 0.0, height)
    c, d = job.node(span, 0.0, height), job.node(span, 0.0, 0.0)
    left, top, right = (job.beam(job.line(a, b), material, column), job.beam(job.line(b, c), material, girder),
                        job.beam(job.line(d, c), material, column))
    for node, beam in ((a, left), (d, right)):  # vertical members: local y is -Y, so "yy" is the in-plane hinge
        job.support(node, beam, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, zz=RIGID)
    job.self_weight(job.load_case(), top)
    job.support_forces([1, 2])
    job.line_forces([top])
    answer = run(job)
    q = RHO * 0.18 * G / 1000
    k = (0.3 * 0.6 ** 3 / 0.4 ** 4) * (height / span)
    horizontal = q * span ** 2 / (4 * height * (3 + 2 * k))
    assert support(answer, 1)["x"] == pytest.approx(horizontal, rel=5e-3)
    assert support(answer, 2)["x"] == pytest.approx(-horizontal, rel=5e-3)
    assert support(answer, 1)["z"] == pytest.approx(q * span / 2, rel=1e-9)
    corner, *_, far_corner = stations(answer, top)
    assert corner["My"] == pytest.approx(horizontal * height, rel=5e-3)
    assert corner["N"] == pytest.approx(-horizontal, rel=5e-3)


def test_beam_on_elastic_foundation_hinged_at_one_end():
    # Hetenyi: a long beam, hinged at x = 0, under its weight q on a Winkler foundation k:
    # w = -q/k (1 - exp(-lx) cos lx), My = -q/(2 l^2) exp(-lx) sin lx, end reaction q/(2 l).
    job = JobRecords()
    material, section = job.concrete(E, 0.2, RHO), job.rectangle(0.4, 0.6)
    k = 20000.0
    ei = E * 0.4 * 0.6 ** 3 / 12
    lam = (k / (4 * ei)) ** 0.25
    x1, length = 1.5 / lam, 12.0 / lam
    n1, n2, n3 = job.node(0.0, 0.0, 0.0), job.node(x1, 0.0, 0.0), job.node(length, 0.0, 0.0)
    b1, b2 = job.beam(job.line(n1, n2), material, section), job.beam(job.line(n2, n3), material, section)
    job.support(n1, b1, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, zz=RIGID)
    case = job.load_case()
    for beam in (b1, b2):
        job.foundation(beam, 0.0, 0.0, k)
        job.self_weight(case, beam)
    job.displacements([n2, n3])
    job.support_forces([1])
    job.line_forces([b1])
    answer = run(job)
    q = RHO * 0.24 * G / 1000
    assert support(answer, 1)["z"] == pytest.approx(q / (2 * lam), rel=5e-3)
    assert displacement(answer, n2)["z"] == pytest.approx(-q / k * (1 - math.exp(-1.5) * math.cos(1.5)), rel=5e-3)
    assert displacement(answer, n3)["z"] == pytest.approx(-q / k, rel=5e-3)
    peak = q / (2 * lam ** 2) * math.exp(-math.pi / 4) * math.sin(math.pi / 4)
    for s in stations(answer, b1):
        x = s["Position"]
        assert s["My"] == pytest.approx(-q / (2 * lam ** 2) * math.exp(-lam * x) * math.sin(lam * x),
                                        abs=5e-3 * peak)


@pytest.mark.parametrize(("reference", "inertia", "local_y"), [
    (None, 0.2 * 0.6 ** 3 / 12, "z"),  # default: local z up, the height h carries the weight
    (((0.0, 0.0, 0.0), (0.0, 1.0, 0.0)), 0.6 * 0.2 ** 3 / 12, "y"),  # local z along Y: the weak axis
])
def test_vector_reference_turns_the_section(reference, inertia, local_y):
    job = JobRecords()
    material, section = job.concrete(E, 0.2, RHO), job.rectangle(0.2, 0.6)
    n1, n2 = job.node(0.0, 0.0, 0.0), job.node(5.0, 0.0, 0.0)
    line = job.line(n1, n2)
    beam = job.beam(line, material, section, reference=job.vector(*reference) if reference else None)
    fixed(job, n1, beam)
    job.self_weight(job.load_case(), beam)
    job.displacements([n2])
    job.support_forces([1])
    answer = run(job)
    q = RHO * 0.12 * G / 1000
    assert displacement(answer, n2)["z"] == pytest.approx(-q * 5.0 ** 4 / (8 * E * inertia), rel=1e-6)
    local = support(answer, 1, axes="Local")
    # With local z along Y, local y = z x x points down: the upward support force is -y.
    assert local[local_y] == pytest.approx(q * 5.0 if local_y == "z" else -q * 5.0)


def test_quarter_circle_arc_cantilever_carries_its_weight():
    job = JobRecords()
    material, section = job.concrete(E, 0.2, RHO), job.circle(0.3)
    radius = 4.0
    n1, n2 = job.node(radius, 0.0, 0.0), job.node(0.0, radius, 0.0)
    beam = job.beam(job.line(n1, n2, ((0.0, 0.0, 0.0), (0.0, 0.0, 1.0), math.pi / 2)), material, section)
    fixed(job, n1, beam)
    job.self_weight(job.load_case(), beam)
    job.support_forces([1])
    job.line_forces([beam])
    answer = run(job)
    weight = RHO * math.pi * 0.15 ** 2 * G / 1000 * radius * math.pi / 2
    centroid = (2 * radius / math.pi, 2 * radius / math.pi)
    reaction = support(answer, 1)
    assert reaction["z"] == pytest.approx(weight, rel=1e-9)
    assert reaction["xx"] == pytest.approx(weight * centroid[1], rel=1e-3)
    assert reaction["yy"] == pytest.approx(-weight * (centroid[0] - radius), rel=1e-3)
    assert stations(answer, beam)[-1]["Position"] == pytest.approx(radius * math.pi / 2)


def test_combination_is_the_factored_sum_of_its_load_cases():
    job = JobRecords()
    material = job.concrete(E, 0.2, RHO)
    column, girder = job.rectangle(0.4, 0.4), job.rectangle(0.3, 0.6)
    a, b, c, d = job.node(0, 0, 0), job.node(0, 0, 3.5), job.node(6, 1, 3.5), job.node(6, 1, 0)
    left, top, right = (job.beam(job.line(a, b), material, column), job.beam(job.line(b, c), material, girder),
                        job.beam(job.line(d, c), material, column))
    fixed(job, a, left)
    fixed(job, d, right)
    case_1, case_2 = job.load_case("all"), job.load_case("girder")
    for beam in (left, top, right):
        job.self_weight(case_1, beam)
    job.self_weight(case_2, top)
    job.combination({case_1: 1.35, case_2: 1.5})
    for by_case in (True, False):
        job.displacements([b, c], by_load_case=by_case)
        job.support_forces([1, 2], by_load_case=by_case)
        job.line_forces([top], by_load_case=by_case)
    answer = run(job)

    def flat(value, path=()):
        if isinstance(value, dict):
            return [item for key in value for item in flat(value[key], path + (key,))]
        if isinstance(value, list):
            return [item for index, v in enumerate(value) for item in flat(v, path + (index,))]
        return [(path, value)]

    groups = [answer["Displacements"]["Nodes"][str(n)] for n in (b, c)]
    groups += [answer["Forces"]["NodalSupports"][s] for s in ("1", "2")] + [answer["Forces"]["Lines"][str(top)]]
    for group in groups:
        case_1, case_2 = flat(group["LoadCases"]["1"]), flat(group["LoadCases"]["2"])
        combined = flat(group["LoadCombinations"]["1"])
        assert [path for path, _ in combined] == [path for path, _ in case_1] == [path for path, _ in case_2]
        for (path, value), (_, v1), (_, v2) in zip(combined, case_1, case_2):
            expected = v1 if path[-1] == "Position" else 1.35 * v1 + 1.5 * v2
            assert value == pytest.approx(expected, rel=1e-12, abs=1e-9), path
    assert displacement(answer, c, "1")["y"] != 0.0  # the skewed frame moves sideways


def test_files_and_commands():
    job = JobRecords()
    beam = simple_beam(job, 4.0)
    job.self_weight(job.load_case("dead"), beam)
    job.line_forces([beam])
    run_answer = run(job, "Run")
    assert list(run_answer) == ["Forces", "Displacements", "Sections", "ResultFile"]
    text = html.unescape(base64.b64decode(run_answer["ResultFile"]).decode())
    assert "Beam internal forces" in text and "LC 1 'dead'" in text
    both = run(job, "RunReturnModel")
    assert list(both) == ["Forces", "Displacements", "Sections", "ResultFile", "ModelFile"]
    described = json.loads(base64.b64decode(both["ModelFile"]))
    assert described["Lines"][0]["Beam"]["LocalAxesAtStart"] == {"x": [1.0, 0.0, 0.0], "y": [0.0, 1.0, 0.0],
                                                                 "z": [0.0, 0.0, 1.0], "Elements": 1}
    only_model = run(job, "CreateModel")
    assert list(only_model) == ["ModelFile"]
    model = json.loads(base64.b64decode(only_model["ModelFile"]))
    assert model["CrossSections"][0]["A"] == pytest.approx(0.15)
    assert model["Loads"] == [{"Id": 1, "Kind": "AddBeamSelfWeight", "LoadCase": 1,
                               "Record": 'Loads record 1 "AddBeamSelfWeight"', "Beam": 1,
                               "q": RHO * 0.15 * G / 1000, "Direction": "-Z global, kN/m"}]
