"""The Plexum worker's domains: meshing, surface loads and section results against plate theory."""

import base64
import json
import math

import numpy as np
import pytest

from tessel.local.plexum_worker import PlexumWorker
from tessel.local.plexum_worker.geometry import inside
from tessel.local.plexum_worker.outline import hole_polygon
from tessel.local.plexum_worker.pipeline import discretise
from plexum_records import JobRecords
from tessel.local.plexum_worker.replay import Replayer
from tessel.local.workers import ERROR, WorkerFailure

from strips import ribbed_strip

RIGID = 1e12
E, G = 30e6, 9.80665


def run(job, command="Run"):
    return PlexumWorker()(json.loads(json.dumps(job.content(command))))


def failure(job):
    with pytest.raises(WorkerFailure) as raised:
        run(job)
    return raised.value.status, raised.value.message


def navier(a, b, t, nu, q, x, y, terms=151):
    """Kirchhoff plate simply supported on a x b under uniform q: w (down), mx, my (sagging > 0), mxy."""
    d = E * t ** 3 / (12 * (1 - nu ** 2))
    w = mx = my = mxy = 0.0
    for m in range(1, terms + 1, 2):
        for n in range(1, terms + 1, 2):
            am, bn = m * math.pi / a, n * math.pi / b
            c = 16 * q / (math.pi ** 2 * d * m * n * (am ** 2 + bn ** 2) ** 2)
            s = math.sin(am * x) * math.sin(bn * y)
            w += c * s
            mx += d * c * (am ** 2 + nu * bn ** 2) * s
            my += d * c * (bn ** 2 + nu * am ** 2) * s
            mxy += -d * (1 - nu) * c * am * bn * math.cos(am * x) * math.cos(bn * y)
    return w, mx, my, mxy


def plate(a, b, n_a, n_b, t, nu, q, *, clamped=False, angle=0.0):
    """A plate on point supports at every edge node, its edges tiny beams; one mesh node per edge piece.

    Simply supported: translations and the rotation about the in-plane normal of each edge held ("hard"
    support, which a plate with transverse shear needs to match Kirchhoff's theory); clamped: all.
    """
    job = JobRecords()
    material = job.concrete(E, nu, 0.0)
    tiny = job.rectangle(0.001, 0.001)
    corners = [(0, 0), (a, 0), (a, b), (0, b)]
    counts = [n_a, n_b, n_a, n_b]
    c, s = math.cos(angle), math.sin(angle)
    points = []
    for k in range(4):
        (x0, y0), (x1, y1) = corners[k], corners[(k + 1) % 4]
        for i in range(counts[k]):
            x, y = x0 + (x1 - x0) * i / counts[k], y0 + (y1 - y0) * i / counts[k]
            points.append((c * x - s * y, s * x + c * y, 0.0))
    nodes = [job.node(*p) for p in points]
    lines = [job.line(nodes[k], nodes[(k + 1) % len(nodes)]) for k in range(len(nodes))]
    rotations = dict(xx=RIGID, yy=RIGID, zz=RIGID) if clamped else dict(yy=RIGID, zz=RIGID)
    for node, line in zip(nodes, lines):
        job.beam(line, material, tiny)
        job.support(node, line, x=RIGID, y=RIGID, z=RIGID, **rotations)
    domain = job.domain(lines, material, t)
    job.mesh([domain], a / n_a)
    job.domain_constant(job.load_case(), domain, (0.0, 0.0, -q))
    job.combination({1: 1.0})
    return job, domain, len(nodes)


def test_simply_supported_plate_matches_navier():
    a, t, nu, q = 4.0, 0.1, 0.3, 10.0
    job, domain, supports = plate(a, a, 40, 40, t, nu, q)
    centre = job.node(a / 2, a / 2, 0.0)
    job.displacements([centre])
    job.support_forces(range(1, supports + 1))
    cut = job.section((0.0, a / 2, 0.0), (a, a / 2, 0.0), (1.0, 0.0, 0.0))
    job.section_results([cut], [1])
    answer = run(job)
    w, mx, my, _ = navier(a, a, t, nu, q, a / 2, a / 2)
    assert answer["Displacements"]["Nodes"][str(centre)]["LoadCases"]["1"]["z"] == pytest.approx(-w, rel=0.01)
    points = answer["Sections"]["1"]["SurfaceForces"]["LoadCombinations"]["1"]["Points"]
    middle = min(points, key=lambda p: abs(p["Position"] - a / 2))
    # Sagging puts the top fibres in compression: negative moments.
    assert (middle["mx"], middle["my"], middle["mn"]) == pytest.approx((-mx, -my, -mx), rel=0.01)
    assert points[0]["vn"] < 0 < points[-1]["vn"]  # the cut face sees the supports' reactions
    total = sum(v["LoadCases"]["1"]["Global"]["z"] for v in answer["Forces"]["NodalSupports"].values())
    assert total == pytest.approx(q * a * a, rel=1e-9)
    assert "Notes" not in answer


def test_clamped_plate_matches_the_classical_coefficients():
    # Timoshenko's clamped square plate (nu = 0.3): w = 0.00126 q a^4 / D, centre moment 0.0231 q a^2,
    # moment at the middle of an edge -0.0513 q a^2.
    a, t, nu, q = 4.0, 0.04, 0.3, 10.0
    job, domain, _ = plate(a, a, 40, 40, t, nu, q, clamped=True)
    centre = job.node(a / 2, a / 2, 0.0)
    job.displacements([centre])
    cut = job.section((0.0, a / 2, 0.0), (a, a / 2, 0.0), (1.0, 0.0, 0.0))
    job.section_results([cut], [1])
    answer = run(job)
    d = E * t ** 3 / (12 * (1 - nu ** 2))
    w = answer["Displacements"]["Nodes"][str(centre)]["LoadCases"]["1"]["z"]
    assert w == pytest.approx(-0.00126 * q * a ** 4 / d, rel=0.01)
    points = answer["Sections"]["1"]["SurfaceForces"]["LoadCombinations"]["1"]["Points"]
    middle = min(points, key=lambda p: abs(p["Position"] - a / 2))
    assert middle["mx"] == pytest.approx(-0.0231 * q * a ** 2, rel=0.02)
    assert points[0]["mx"] == pytest.approx(0.0513 * q * a ** 2, rel=0.03)  # hogging at the clamped edge


@pytest.mark.parametrize("angle", [0.0, math.radians(30.0)])
def test_rectangular_plate_on_any_bearing_and_a_diagonal_cut(angle):
    # A 3 x 6 m plate, its mesh turned by `angle` about Z: the results are rotated into global axes, so a
    # cut along the plate's own axis and a diagonal cut through the twisting region agree with the series.
    a, b, t, nu, q = 3.0, 6.0, 0.05, 0.3, 10.0
    job, _, _ = plate(a, b, 24, 48, t, nu, q, angle=angle)
    c, s = math.cos(angle), math.sin(angle)
    turn = lambda x, y: (c * x - s * y, s * x + c * y, 0.0)  # noqa: E731
    along = job.section(turn(0.0, b / 2), turn(a, b / 2), turn(1.0, 0.0))
    diagonal = job.section(turn(0.0, 0.0), turn(a, a), turn(1.0, -1.0))
    job.section_results([along, diagonal], [1])
    answer = run(job)
    _, mx, my, _ = navier(a, b, t, nu, q, a / 2, b / 2)
    points = answer["Sections"][str(along)]["SurfaceForces"]["LoadCombinations"]["1"]["Points"]
    middle = min(points, key=lambda p: abs(p["Position"] - a / 2))
    assert (middle["mn"], middle["mt"], middle["mnt"]) == pytest.approx((-mx, -my, 0.0), rel=0.01, abs=0.02)
    # Global components: the tensor of the plate's axes turned by the angle.
    expected_xx = -(mx * c * c + my * s * s)
    assert middle["mx"] == pytest.approx(expected_xx, rel=0.01)
    assert middle["mxy"] == pytest.approx(-(mx - my) * c * s, rel=0.01, abs=0.02)
    # Along the diagonal from (0, 0) to (a, a), where twisting dominates near the corner, the face whose
    # normal is (1, -1)/sqrt(2) has mn = (mx + my)/2 - mxy and mnt = (mx - my)/2. The series' convention
    # (z down, sagging positive) is ours (z up, top tension positive) with all three signs flipped.
    diagonal_result = answer["Sections"][str(diagonal)]["SurfaceForces"]["LoadCombinations"]["1"]
    samples = np.linspace(0.0, a, 61)
    series = np.array([navier(a, b, t, nu, q, x, x, terms=61)[1:] for x in samples])
    mn = -((series[:, 0] + series[:, 1]) / 2 - series[:, 2])
    mnt = -(series[:, 0] - series[:, 1]) / 2
    length = a * math.sqrt(2)
    step = length / 60
    assert diagonal_result["Integrals"]["Length"] == pytest.approx(length)
    assert diagonal_result["Integrals"]["mn"] == pytest.approx(np.sum((mn[1:] + mn[:-1]) / 2) * step, rel=0.02)
    assert diagonal_result["Integrals"]["mnt"] == pytest.approx(np.sum((mnt[1:] + mnt[:-1]) / 2) * step, rel=0.02)
    near_corner = min(diagonal_result["Points"], key=lambda p: abs(p["Position"] - length / 8))
    expected = navier(a, b, t, nu, q, a / 8, a / 8)
    assert near_corner["mn"] == pytest.approx(-((expected[1] + expected[2]) / 2 - expected[3]), rel=0.05)


def inclined_slab_with_hole():
    """A 6 x 4 m slab tilted 20 degrees about X with a 1.5 x 1 m hole, on edge beams with four corner columns."""
    job = JobRecords()
    material = job.concrete(E, 0.2, 2500.0)
    beam_section = job.rectangle(0.3, 0.5)
    tilt = math.radians(20.0)

    def lift(x, y):
        return (x, y * math.cos(tilt), y * math.sin(tilt))

    domain, corners, edges = job.polygon([lift(0, 0), lift(6, 0), lift(6, 4), lift(0, 4)], material, 0.2,
                                         beams=beam_section)
    hole, _, _ = job.polygon([lift(2, 1), lift(3.5, 1), lift(3.5, 2), lift(2, 2)], material, 0.0, surface_type=0)
    job.mesh([domain], 0.25)
    for corner in corners:
        x, y, z = job.model["Nodes"]["Functions"][corner - 1][1].values()
        foot = job.node(x, y, z - 3.0)
        column = job.beam(job.line(foot, corner), material, beam_section)
        job.support(foot, column, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)
    return job, domain, edges, tilt


def test_equilibrium_of_an_inclined_slab_with_a_hole():
    job, domain, edges, tilt = inclined_slab_with_hole()
    weight, projected, linear, combined = (job.load_case(name) for name in ("weight", "snow", "wind", "all"))
    job.domain_self_weight(weight, domain)
    job.domain_constant(projected, domain, (0.0, 0.0, -2.0), projected=True)
    job.domain_constant(projected, domain, (0.0, 0.0, -1.0), system=1)  # normal to the slab, per true area
    job.domain_linear(linear, domain, (1.0, 1.0, 4.0), [(0, 0, 0), (6, 0, 0), (0, 4 * math.cos(tilt), 4 * math.sin(tilt))],
                      component=1)
    job.combination({weight: 1.35, projected: 1.5})
    job.support_forces([1, 2, 3, 4])
    job.support_forces([1, 2, 3, 4], by_load_case=False)
    answer = run(job)
    net = 24.0 - 1.5
    # The linear load grows from 1 at y = 0 to 4 at y = 4 (slab coordinates): its integral over the slab
    # without the hole is the area times the value at the region's centroid.
    centroid_y = (24.0 * 2.0 - 1.5 * 1.5) / net
    expected = {
        str(weight): (0.0, 0.0, -2500 * 0.2 * G / 1000 * net),
        str(projected): (0.0, 1.0 * math.sin(tilt) * net, -2.0 * net * math.cos(tilt) - 1.0 * math.cos(tilt) * net),
        str(linear): (0.0, (1.0 + 3.0 * centroid_y / 4.0) * net, 0.0),
    }
    supports = answer["Forces"]["NodalSupports"]
    for case, load in expected.items():
        total = np.sum([[supports[s]["LoadCases"][case]["Global"][k] for k in "xyz"] for s in "1234"], axis=0)
        assert total == pytest.approx(-np.array(load), abs=1e-6 * 1000)
    # The beams' and columns' weight is not applied: only the combination's cases.
    combination = np.sum([[supports[s]["LoadCombinations"]["1"]["Global"][k] for k in "xyz"] for s in "1234"], axis=0)
    assert combination == pytest.approx(-(1.35 * np.array(expected[str(weight)]) + 1.5 * np.array(expected[str(projected)])),
                                        abs=1e-3)


def test_the_hole_is_cut_out_and_the_edges_are_shared():
    job, domain, edges, _ = inclined_slab_with_hole()
    replayer = Replayer()
    model = replayer.replay_model(json.loads(json.dumps(job.content()))["Model"])
    frame = discretise(model)
    (mesh,) = frame.meshes
    assert mesh.method == "paved" and len(mesh.holes) == 1
    corners = frame.xyz[mesh.quads]
    edge1, edge2 = corners[:, 1] - corners[:, 0], corners[:, 3] - corners[:, 0]
    edge3, edge4 = corners[:, 1] - corners[:, 2], corners[:, 3] - corners[:, 2]
    area = 0.5 * (np.linalg.norm(np.cross(edge1, edge2), axis=1) + np.linalg.norm(np.cross(edge3, edge4), axis=1))
    assert np.sum(area) == pytest.approx(24.0 - 1.5, rel=1e-9)
    normal = mesh.outline.axes[2]
    assert np.all(np.einsum("ek,k->e", np.cross(edge1, edge2), normal) > 0)  # counter-clockwise about z
    used = set(np.unique(mesh.quads).tolist())
    for line in edges:
        chain = frame.chain_of[line]
        beam_nodes = set(frame.i[chain.first:chain.first + chain.count]) | {frame.j[chain.first + chain.count - 1]}
        assert beam_nodes <= used and len(beam_nodes) == chain.count + 1
    # Hole edges carry nodes of the mesh, and no quadrilateral lies in the hole.
    centroids = mesh.outline.to_plane(corners.mean(axis=1))
    assert not inside(hole_polygon(mesh.outline, mesh.holes[0]), centroids).any()
    assert inside(hole_polygon(mesh.outline, mesh.holes[0]), np.array([[-0.25, -0.5]])).all()


def test_a_slab_on_edge_beams_and_columns_works_with_them():
    job = JobRecords()
    concrete = job.catalogue_material("C30/37")
    girder, column_section = job.rectangle(0.3, 0.6), job.rectangle(0.4, 0.4)
    domain, corners, edges = job.polygon([(0, 0, 3), (8, 0, 3), (8, 6, 3), (0, 6, 3)], concrete, 0.2,
                                         beams=girder)
    middle = job.node(4.0, 3.0, 3.0)
    job.mesh([domain], 0.5)
    columns = []
    for corner, (x, y) in zip(corners, [(0, 0), (8, 0), (8, 6), (0, 6)]):
        foot = job.node(x, y, 0.0)
        column = job.beam(job.line(foot, corner), concrete, column_section)
        columns.append(column)
        job.support(foot, column, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)
    case = job.load_case("dead")
    job.domain_self_weight(case, domain)
    for line in edges + columns:
        job.self_weight(case, line)
    job.support_forces([1, 2, 3, 4])
    job.displacements([middle])
    job.line_forces([edges[0]])
    answer = run(job)
    supports = [answer["Forces"]["NodalSupports"][str(s)]["LoadCases"]["1"]["Global"] for s in (1, 2, 3, 4)]
    assert sum(s["z"] for s in supports) == pytest.approx(2500 * G / 1000 * (48 * 0.2 + 28 * 0.18 + 4 * 3 * 0.16),
                                                          rel=1e-9)
    assert [s["z"] for s in supports] == pytest.approx([supports[0]["z"]] * 4, rel=1e-6)  # symmetry
    beam = answer["Forces"]["Lines"][str(edges[0])]["LoadCases"]["1"]
    at_middle = min(beam, key=lambda s: abs(s["Position"] - 4.0))
    assert at_middle["My"] < 0  # the edge beam sags under the slab, carrying part of it
    assert beam[0]["My"] > 0  # and is held by the columns: hogging at its ends
    centre = answer["Displacements"]["Nodes"][str(middle)]["LoadCases"]["1"]["z"]
    assert centre < 0


def simple_slab(**change):
    job = JobRecords()
    material = job.concrete(E, 0.2, 2500.0)
    section = job.rectangle(0.3, 0.3)
    domain, nodes, lines = job.polygon([(0, 0, 0), (4, 0, 0), (4, 4, 0), (0, 4, 0)], material, 0.2,
                                       beams=section)
    for node, line in zip(nodes, lines):
        job.support(node, line, x=RIGID, y=RIGID, z=RIGID)
    job.domain_self_weight(job.load_case(), domain)
    job.combination({1: 1.0})
    return job, domain, nodes, lines


def test_a_domain_never_meshed_is_meshed_with_the_default_size():
    job, _, nodes, _ = simple_slab()
    job.displacements([nodes[0]])
    answer = run(job)
    assert answer["Notes"] == ['Domains record 1 "Add": domain 1 was never meshed; it is meshed with the default '
                               "element size 0.2 m (1/20 of its extent)"]


@pytest.mark.parametrize(("change", "message"), [
    (lambda job: job.domain([1, 2, 3], 1, 0.2),
     'Domains record 3 "Add": the lines of domain 2 do not form a closed loop: it ends at node 4, not at node 1 '
     "where it starts"),
    (lambda job: job.model["Domains"]["Functions"][0][1].update(LineIds=[1, 3, 2, 4]), None),  # in any order
    (lambda job: job.domain([1, 3, 2, 4], 1, 0.2, surface_type=4),
     'Domains record 3 "Add": domain 2 overlaps domain 1 in its plane; the overlap would count twice: cut a '
     "hole for it in the other domain, or make the two meet at an edge"),
    (lambda job: job.model["Nodes"]["Functions"][2][1].update(z=0.5),
     'Domains record 1 "Add": domain 1 is not planar: its loop leaves the mean plane by 0.124515 m (near node 1)'),
    (lambda job: job.polygon([(1, 1, 0), (5, 1, 0), (5, 2, 0), (1, 2, 0)], 1, 0.0, surface_type=0),
     'Domains record 3 "Add": hole domain 2 crosses the edge of domain 1'),
    (lambda job: job.domain_linear(1, 1, (1.0, 2.0, 3.0), [(0, 0, 0), (1, 0, 5), (2, 0, 1)]),
     'Loads record 2 "AddDomainLinear": the three points of the linear load, projected onto domain 1, are on '
     "one line: they define no load over it"),
    (lambda job: job.section_results([job.section((0, 0, 0), (4, 4, 0), (0, 0, 1))], [1]),
     'Sections record 2 "GetSegmentChainSurfaceForcesByLoadCombinationId": the plane of section 1 is the plane '
     "of domain 1: it cuts nothing"),
    (lambda job: job.section_results([job.section((5, 0, 0), (6, 4, 0), (1, 0, 0))], [1]),
     'Sections record 2 "GetSegmentChainSurfaceForcesByLoadCombinationId": section 1 crosses no domain'),
    (lambda job: job.domain_constant(1, 1, (0.0, 0.0, 1.0), system=2),
     'Loads record 2 "AddDomainConstant": the load is given in a reference system ("SystemGLR" 2), but no '
     "record says which: the load names no reference and domains have no reference axes here, so its axes are "
     "not defined; give it in global (0) or local (1) axes"),
])
def test_domain_problems_name_the_record(change, message):
    job, domain, _, _ = simple_slab()
    job.mesh([domain], 0.5)
    change(job)
    if message is None:
        assert run(job)["Sections"] == {}
        return
    assert failure(job) == (ERROR, message)


def test_section_stresses_follow_from_the_forces():
    job, domain, _, _ = simple_slab()
    job.mesh([domain], 0.25)
    cut = job.section((0.0, 1.0, 0.0), (4.0, 1.0, 0.0), (1.0, 0.0, 0.0))
    job.section_results([cut], [1])
    job.section_results([cut], [1], stresses=True)
    answer = run(job)
    forces = answer["Sections"]["1"]["SurfaceForces"]["LoadCombinations"]["1"]
    stresses = answer["Sections"]["1"]["SurfaceStresses"]["LoadCombinations"]["1"]
    t = 0.2
    for f, s in zip(forces["Points"], stresses["Points"]):
        assert s["Position"] == f["Position"]
        assert s["sx_top"] == pytest.approx(f["nx"] / t + 6 * f["mx"] / t ** 2)
        assert s["sn_bottom"] == pytest.approx(f["nn"] / t - 6 * f["mn"] / t ** 2)
    assert forces["Integrals"]["Length"] == pytest.approx(4.0)
    trapezoid = sum((a["mn"] + b["mn"]) / 2 * (b["Position"] - a["Position"])
                    for a, b in zip(forces["Points"], forces["Points"][1:]))
    assert forces["Integrals"]["mn"] == pytest.approx(trapezoid)


HOLES = {
    "rectangle": [(2.0, 1.0, 0.0), (3.5, 1.0, 0.0), (3.5, 2.0, 0.0), (2.0, 2.0, 0.0)],
    "L-shape": [(2.0, 1.0, 0.0), (4.0, 1.0, 0.0), (4.0, 1.5, 0.0), (2.5, 1.5, 0.0), (2.5, 3.0, 0.0),
                (2.0, 3.0, 0.0)],
}


def polygon_integrals(points):
    """Integrals of 1, x, y, x^2, xy, y^2 over a counter-clockwise polygon (Green's theorem)."""
    p = np.array(points, dtype=float)
    x0, y0 = p[:, 0], p[:, 1]
    x1, y1 = np.roll(x0, -1), np.roll(y0, -1)
    c = x0 * y1 - x1 * y0
    return (np.sum(c) / 2, np.sum(c * (x0 + x1)) / 6, np.sum(c * (y0 + y1)) / 6,
            np.sum(c * (x0 ** 2 + x0 * x1 + x1 ** 2)) / 12,
            np.sum(c * (x0 * y1 + 2 * x0 * y0 + 2 * x1 * y1 + x1 * y0)) / 24,
            np.sum(c * (y0 ** 2 + y0 * y1 + y1 ** 2)) / 12)


@pytest.mark.parametrize("hole", HOLES.values(), ids=HOLES)
@pytest.mark.parametrize("on_holes", [True, False])
def test_a_load_on_holes_is_carried_by_the_edges_of_the_holes(hole, on_holes):
    # q = -(1 + x + 2y) kN/m2 on a 6 x 4 m slab on four corner supports. On the holes too, the supports
    # take the load over the whole rectangle, with its moments about both axes; off the holes, only the
    # load over the slab's own area.
    job = JobRecords()
    material = job.concrete(E, 0.2, 0.0)
    corners = [(0, 0, 0), (6, 0, 0), (6, 4, 0), (0, 4, 0)]
    domain, nodes, lines = job.polygon(corners, material, 0.2, beams=job.rectangle(0.3, 0.5))
    job.polygon(hole, material, 0.0, surface_type=0)
    job.mesh([domain], 0.25)
    for node, line in zip(nodes, lines):
        job.support(node, line, x=RIGID, y=RIGID, z=RIGID)
    job.domain_linear(job.load_case(), domain, (-1.0, -7.0, -9.0), [(0, 0, 0), (6, 0, 0), (0, 4, 0)],
                      on_holes=on_holes)
    job.support_forces([1, 2, 3, 4])
    answer = run(job)
    reactions = [answer["Forces"]["NodalSupports"][str(k)]["LoadCases"]["1"]["Global"]["z"] for k in (1, 2, 3, 4)]
    # Integrals of q, x q and y q over the rectangle, less those over the hole when it is not loaded.
    def moments(polygon):
        a, x, y, xx, xy, yy = polygon_integrals(polygon)
        return np.array([a + x + 2 * y, x + xx + 2 * xy, y + xy + 2 * yy])
    load = moments([c[:2] for c in corners]) - (0.0 if on_holes else moments([p[:2] for p in hole]))
    taken = (sum(reactions), sum(r * c[0] for r, c in zip(reactions, corners)),
             sum(r * c[1] for r, c in zip(reactions, corners)))
    assert taken == pytest.approx(load, rel=1e-9)
    if on_holes:
        assert load == pytest.approx((192.0, 648.0, 448.0), rel=1e-12)


@pytest.mark.parametrize("polygon", [
    [(0, 0), (4, 0), (4, 1), (1, 1), (1, 3), (4, 3), (4, 4), (0, 4)],  # a C: Delaunay crosses the gap
    [(0, 0), (1, 0), (2, 0), (2, 1), (2, 2), (1, 2), (0, 2), (0, 1)],  # straight corners
    [(0, 0), (3, 0), (3, 3), (2, 1), (1, 3), (0, 3)],
])
def test_a_hole_is_covered_exactly_by_its_triangles(polygon):
    from tessel.local.plexum_worker.geometry import signed_area, triangulate
    points = np.array(polygon, dtype=float)
    triangles = triangulate(points)
    corners = points[triangles]
    areas = ((corners[:, 1, 0] - corners[:, 0, 0]) * (corners[:, 2, 1] - corners[:, 0, 1])
             - (corners[:, 1, 1] - corners[:, 0, 1]) * (corners[:, 2, 0] - corners[:, 0, 0])) / 2
    assert np.all(np.abs(areas) > 0)
    assert np.sum(np.abs(areas)) == pytest.approx(abs(signed_area(points)), rel=1e-12)
    assert inside(points, corners.mean(axis=1)).all()


def ribbed_strip_results(length, width, thickness):
    """The strip on its middle beam under 10 kN/m2: mid-span deflection, beam forces there, support sum."""
    job, middle, rib = ribbed_strip(width, length=length, thickness=thickness)
    answer = run(job)
    w = answer["Displacements"]["Nodes"][str(middle)]["LoadCases"]["1"]["z"]
    stations = answer["Forces"]["Lines"][str(rib)]["LoadCases"]["1"]
    at_middle = min(stations, key=lambda s: abs(s["Position"] - length / 2))
    support = sum(v["LoadCases"]["1"]["Global"]["z"] for v in answer["Forces"]["NodalSupports"].values())
    return w, at_middle, support


def test_a_beam_inside_a_slab_bends_with_it():
    # The beam runs through the slab from edge node to edge node, and the node at its middle lies on it.
    length, width, t, q = 6.0, 1.0, 0.1, 10.0
    w, at_middle, support = ribbed_strip_results(length, width, t)
    i_beam, i_slab = 0.3 * 0.5 ** 3 / 12, width * t ** 3 / 12
    assert w == pytest.approx(-5 * q * width * length ** 4 / (384 * E * (i_beam + i_slab)), rel=2e-3)
    # The beam takes its share of the moment q b L^2 / 8.
    assert at_middle["My"] == pytest.approx(-q * width * length ** 2 / 8 * i_beam / (i_beam + i_slab), rel=2e-3)
    assert support == pytest.approx(q * width * length, rel=1e-9)


def slab_with_rib(rib):
    """A 4 x 4 m slab on edge beams with corner supports, self-weight; `rib(job, material, section)` adds lines."""
    job = JobRecords()
    material = job.concrete(E, 0.2, 2500.0)
    section = job.rectangle(0.3, 0.3)
    domain, nodes, lines = job.polygon([(0, 0, 0), (4, 0, 0), (4, 4, 0), (0, 4, 0)], material, 0.2, beams=section)
    for node, line in zip(nodes, lines):
        job.support(node, line, x=RIGID, y=RIGID, z=RIGID)
    centre = job.node(2.0, 2.0, 0.0)
    added = rib(job, material, job.rectangle(0.3, 0.6))
    job.mesh([domain], 0.25)
    job.domain_self_weight(job.load_case(), domain)
    job.support_forces([1, 2, 3, 4])
    job.displacements([centre])
    return job, centre, added


def _beam(job, material, section, start, end, arc=None):
    return job.beam(job.line(job.node(*start), job.node(*end), arc), material, section)


RIBS = {
    "none": lambda job, m, s: [],
    "across": lambda job, m, s: [_beam(job, m, s, (0, 2, 0), (4, 2, 0))],
    "inside": lambda job, m, s: [_beam(job, m, s, (1, 2, 0), (3, 2, 0))],
    # The second beam starts at the centre node, on the first.
    "T-joint": lambda job, m, s: [_beam(job, m, s, (1, 2, 0), (3, 2, 0)),
                                  job.beam(job.line(5, job.node(2, 3.5, 0)), m, s)],
    "cross at a node": lambda job, m, s: [_beam(job, m, s, (1, 2, 0), (3, 2, 0)),
                                          _beam(job, m, s, (2, 1, 0), (2, 3, 0))],
    "arc": lambda job, m, s: [_beam(job, m, s, (1, 2, 0), (3, 2, 0), ((2, 2, 0), (0, 0, 1), math.pi))],
}


@pytest.mark.parametrize("rib", RIBS.values(), ids=RIBS)
def test_beams_inside_a_slab_share_its_nodes(rib):
    job, centre, ribs = slab_with_rib(rib)
    answer = run(job)
    supports = answer["Forces"]["NodalSupports"]
    assert sum(s["LoadCases"]["1"]["Global"]["z"] for s in supports.values()) == pytest.approx(
        2500 * 0.2 * 16 * G / 1000, rel=1e-9)
    model = Replayer().replay_model(json.loads(json.dumps(job.content()))["Model"])
    frame = discretise(model)
    (mesh,) = frame.meshes
    used = set(np.unique(mesh.quads).tolist())
    for line in ribs:
        chain = frame.chain_of[line]
        assert set(frame.i[chain.first:chain.first + chain.count]) <= used and chain.count >= 6
    w = answer["Displacements"]["Nodes"][str(centre)]["LoadCases"]["1"]["z"]
    if ribs:
        without, _, _ = slab_with_rib(RIBS["none"])
        assert abs(w) < 0.97 * abs(run(without)["Displacements"]["Nodes"][str(centre)]["LoadCases"]["1"]["z"])


@pytest.mark.parametrize(("rib", "message"), [
    (lambda job, m, s: [_beam(job, m, s, (1, 2, 0), (3, 2, 0)), _beam(job, m, s, (2, 1, 0), (2, 3, 0))],
     'Domains record 1 "Add": lines 5 and 6 inside domain 1 meet without a common node; split them at a node '
     "where they cross"),
    (lambda job, m, s: [_beam(job, m, s, (1, 2, 0), (5, 2, 0))],
     'Domains record 1 "Add": beam 5 lies in the plane of domain 1 and crosses its edge; split it where it '
     "crosses, at a node of the domain's loop"),
    (lambda job, m, s: [_beam(job, m, s, (-1, 2, 0), (5, 2, 0))],
     'Domains record 1 "Add": beam 5 lies in the plane of domain 1 and crosses its edge; split it where it '
     "crosses, at a node of the domain's loop"),
])
def test_beams_inside_a_slab_that_the_mesh_cannot_follow_are_refused(rib, message):
    job, _, _ = slab_with_rib(lambda job, m, s: rib(job, m, s))
    # slab_with_rib makes the centre node before the ribs: it lies on both crossing lines in the first case.
    if "meet" in message:
        job.model["Nodes"]["Functions"][4][1].update(x=0.5, y=0.5)
    assert failure(job) == (ERROR, message)


def test_a_wall_standing_on_a_slab_shares_the_nodes_of_its_foot():
    job, _, _ = slab_with_rib(RIBS["none"])
    material = 1
    foot = [job.node(1, 1, 0), job.node(3, 1, 0)]
    top = [job.node(3, 1, 2), job.node(1, 1, 2)]
    points = foot + top
    wall = job.domain([job.line(points[k], points[(k + 1) % 4]) for k in range(4)], material, 0.2, 4)
    job.mesh([wall], 0.25)
    job.domain_self_weight(1, wall)
    answer = run(job)
    supports = answer["Forces"]["NodalSupports"]
    assert sum(s["LoadCases"]["1"]["Global"]["z"] for s in supports.values()) == pytest.approx(
        2500 * 0.2 * (16 + 4) * G / 1000, rel=1e-9)
    frame = discretise(Replayer().replay_model(json.loads(json.dumps(job.content()))["Model"]))
    slab, wall_mesh = frame.meshes
    bottom = {int(n) for n in np.unique(wall_mesh.quads) if abs(frame.xyz[n, 2]) < 1e-9}
    assert len(bottom) == 9 and bottom <= set(np.unique(slab.quads).tolist())


def test_the_pictures_hide_what_the_slab_covers_and_carry_a_colour_scale():
    from tessel.local.plexum_worker.drawing import Occluders
    from tessel.local.plexum_worker.figures import model_picture

    square = np.array([[[0, 0, 3], [4, 0, 3], [4, 4, 3], [0, 4, 3]]], dtype=float)
    # Seen from the front right and above: a point just under the slab and one far behind it are hidden;
    # one above it, its corner, one in front of it and its edge are not.
    points = np.array([[3, 3, 2.5], [6, 6, 0], [2, 2, 4], [4, 4, 3], [-3, -3, 3], [2, 0, 3]], dtype=float)
    assert Occluders(square).hidden(points).tolist() == [True, True, False, False, False, False]
    # The slab on columns: the column under the far corner is drawn before the slab, dashed and pale.
    job = JobRecords()
    material = job.concrete(E, 0.2, 2500.0)
    slab, corners, _ = job.polygon([(0, 0, 3), (4, 0, 3), (4, 4, 3), (0, 4, 3)], material, 0.2,
                                   beams=job.rectangle(0.3, 0.3))
    for corner, (x, y) in zip(corners, [(0, 0), (4, 0), (4, 4), (0, 4)]):
        foot = job.node(x, y, 0)
        column = job.beam(job.line(foot, corner), material, job.rectangle(0.3, 0.3))
        job.support(foot, column, **{k: RIGID for k in ("x", "y", "z", "xx", "yy", "zz")})
    job.mesh([slab], 0.5)
    job.domain_self_weight(job.load_case(), slab)
    model = Replayer().replay_model(json.loads(json.dumps(job.content()))["Model"])
    picture = model_picture(model, discretise(model))
    behind = [line.points for line in picture.lines if line.behind]
    assert len(behind) == 1 and np.allclose(behind[0][:, :2], [4, 4]) and 0 < behind[0][:, 2].min() < 3
    page = run(job)
    content = base64.b64decode(page["ResultFile"]).decode() if "ResultFile" in page else ""
    assert "|u|, magnitude of the displacement (mm)" in content and "mx (kNm/m)" in content and "My (kNm)" in content


@pytest.mark.parametrize("filled", [True, False])
def test_a_domain_may_fill_a_hole_of_another_but_not_overlap_it(filled):
    # A 1 x 1 m region 0.3 m thick in the 0.2 m slab: on the hole's own lines it fills the hole; drawn
    # over the slab without a hole it would be counted twice.
    job, _, _ = slab_with_rib(RIBS["none"])
    square = [(0.5, 0.5, 0), (1.5, 0.5, 0), (1.5, 1.5, 0), (0.5, 1.5, 0)]
    if filled:
        _, _, lines = job.polygon(square, 1, 0.0, surface_type=0)
        thick = job.domain(lines, 1, 0.3)
    else:
        thick, _, _ = job.polygon(square, 1, 0.3)
    job.mesh([thick], 0.25)
    job.domain_self_weight(1, thick)
    if not filled:
        assert failure(job) == (ERROR, 'Domains record 3 "Add": domain 2 overlaps domain 1 in its plane; the '
                                       "overlap would count twice: cut a hole for it in the other domain, or make "
                                       "the two meet at an edge")
        return
    supports = run(job)["Forces"]["NodalSupports"]
    assert sum(s["LoadCases"]["1"]["Global"]["z"] for s in supports.values()) == pytest.approx(
        2500 * G / 1000 * (0.2 * 15 + 0.3 * 1), rel=1e-9)


@pytest.mark.parametrize("points, expected", [
    ([(0, 0, 0), (6, 0, 0), (6, 0, 4), (0, 0, 4)], "seen in elevation from -Y"),   # a frame in X-Z
    ([(2, 0, 0), (2, 5, 0), (2, 5, 3)], "seen in elevation from +X"),              # a wall in Y-Z
    ([(0, 0, 3), (8, 0, 3), (8, 6, 3)], None),                                     # a slab: seen from above
    ([(0, 0, 0), (1, 1, 1), (2, 0, 1)], None),
    ([(1, 2, 3)], None),
])
def test_what_lies_in_a_vertical_plane_is_drawn_in_elevation(points, expected):
    from tessel.local.plexum_worker import drawing

    view, note = drawing.choose_view(np.array(points, float))
    assert note == expected
    projected = drawing.project(np.array(points, float), view)
    if expected:
        # Square to the plane: lengths in it are drawn true, and nothing lies in front of anything else.
        in_plane = np.array(points, float)[:, [0 if "-Y" in expected else 1, 2]]
        assert projected[:, :2] == pytest.approx(in_plane)
        assert np.ptp(projected[:, 2]) == pytest.approx(0.0)
    else:
        assert view == drawing.AXONOMETRIC
