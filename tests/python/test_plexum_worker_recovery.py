"""The Plexum worker's results at shared points (smoothed at nodes) and its batched element paths."""

import json
import math

import numpy as np
import pytest
from Pynite import FEModel3D
from Pynite import FixedEndReactions as fer
from Pynite.Member3D import Member3D
from Pynite.Quad3D import Quad3D

from tessel.local.plexum_worker import PlexumWorker
from tessel.local.plexum_worker.assembly import assemble, unit_fixed_end_reactions
from tessel.local.plexum_worker.cuts import locate
from tessel.local.plexum_worker.pipeline import discretise
from tessel.local.plexum_worker.replay import Replayer
from plexum_records import JobRecords

from strips import ribbed_strip
from test_plexum_worker_membranes import PLANE_STRESS, strip
from test_plexum_worker_surfaces import navier, plate


def run(job):
    return PlexumWorker()(json.loads(json.dumps(job.content())))


def points(answer, section=1):
    return answer["Sections"][str(section)]["SurfaceForces"]["LoadCombinations"]["1"]["Points"]


def test_a_cut_along_a_mesh_line_of_a_wall_carries_the_forces_of_statics():
    # A cantilever wall 4 m long and 1 m deep, 16 elements through the depth, under q = 10 kN/m2: across x the
    # cut carries V = q H (L - x) and M = q H (L - x)^2 / 2. Along a mesh line (x = 2 m) each element alone is
    # 17 % off in shear (the bilinear element's shear in bending), too high on one side and too low on the
    # other; the cuts a hair to either side read the same as the one on the line.
    length, height, q = 4.0, 1.0, 10.0
    job, _, _ = strip(PLANE_STRESS, 0.0, [(0, 0, 0), (length, 0, 0), (length, 0, height), (0, 0, height)],
                      (0.0, 0.0, -q), size=height / 16)
    places = [length / 2, length / 2 - 1e-7, length / 2 + 1e-7]
    job.section_results([job.section((x, 0.0, 0.0), (x, 0.0, height), (1.0, 0.0, 0.0)) for x in places], [1])
    answer = run(job)
    for section, x in enumerate(places, 1):
        cut = answer["Sections"][str(section)]["SurfaceForces"]["LoadCombinations"]["1"]
        z = np.array([p["z"] for p in cut["Points"]])
        moment = np.array([p["nn"] for p in cut["Points"]]) * (z - height / 2)
        assert cut["Integrals"]["nnt"] == pytest.approx(-q * height * (length - x), rel=0.01)
        assert np.sum((moment[1:] + moment[:-1]) / 2 * np.diff(z)) == \
            pytest.approx(q * height * (length - x) ** 2 / 2, rel=0.002)


def test_plate_moments_at_mesh_nodes_converge_to_the_series():
    # A simply supported 4 x 4 m plate: at the mesh nodes of the line y = a/4 the moments approach Navier's
    # series at the rate of the element (each element alone scatters 2-3 % at any mesh).
    a, t, nu, q = 4.0, 0.1, 0.3, 10.0
    scale = navier(a, a, t, nu, q, a / 2, a / 2)[1]
    errors = []
    for n in (16, 32):
        job, _, _ = plate(a, a, n, n, t, nu, q)
        job.section_results([job.section((0.0, a / 4, 0.0), (a, a / 4, 0.0), (0.0, 1.0, 0.0))], [1])
        nodes = [p for p in points(run(job)) if 0 < p["x"] < a and abs(p["x"] * n / a - round(p["x"] * n / a)) < 1e-9]
        assert len(nodes) == n - 1
        errors.append(max(abs(p[key] + exact) for p in nodes
                          for key, exact in zip(("mx", "my", "mxy"), navier(a, a, t, nu, q, p["x"], p["y"])[1:])))
    assert errors[0] < 0.006 * scale
    assert errors[1] < errors[0] / 2


def test_forces_are_not_averaged_across_a_beam_inside_a_slab():
    # A strip slab hung on a beam along its middle: the slab's shear changes sign across the beam, which takes
    # it. Beside the beam each side keeps its own value; on the beam's line the cut reads their mean.
    width = 2.0
    job, _, _ = ribbed_strip(width, size=0.125)
    job.combination({1: 1.0})
    job.section_results([job.section((3.0, 0.0, 0.0), (3.0, width, 0.0), (0.0, 1.0, 0.0))], [1])
    shear = {round(p["y"], 6): p["vn"] for p in points(run(job))}
    step = 0.125 / 4
    beside, near = shear[1.0 - step], shear[1.0 - 2 * step]
    assert beside > 0.9 * near > 0
    assert shear[1.0 + step] == pytest.approx(-beside, rel=0.05)
    assert abs(shear[1.0]) < 0.02 * beside


def batch_model():
    """A paved slab with a linearly varying eccentricity on edge beams, and a plane-strain wall on one edge."""
    job = JobRecords()
    material = job.concrete(30e6, 0.2, 2500.0)
    corners = [(0, 0, 0), (3, 0, 0), (3.5, 2, 0), (1.5, 3, 0), (-0.5, 1.5, 0)]
    slab, nodes, lines = job.polygon(corners, material, 0.2, 4, beams=job.rectangle(0.3, 0.5))
    job.eccentricity(slab, 2, ecc_1=0.05, ecc_2=0.15, p1=corners[0], p2=corners[1])
    top = [job.node(3, 0, 1.5), job.node(0, 0, 1.5)]
    wall = job.domain([lines[0], job.line(nodes[1], top[0]), job.line(top[0], top[1]), job.line(top[1], nodes[0])],
                      material, 0.25, 2)
    job.support(nodes[0], lines[0], x=1e10, y=1e10, z=1e10, xx=1e10)
    job.mesh([slab, wall], 0.6)
    frame = discretise(Replayer().replay_model(json.loads(json.dumps(job.content()))["Model"]))
    return frame, assemble(frame)


def element_transform(shells, e):
    """Global freedoms of the drawn nodes -> element axes at the moved corners (24, 24)."""
    rotation = np.kron(np.eye(8), shells.axes[e])
    link = np.eye(24)
    for a, (dx, dy, dz) in enumerate(shells.offsets[e]):
        link[6 * a:6 * a + 3, 6 * a + 3:6 * a + 6] = [[0, dz, -dy], [-dz, 0, dx], [dy, -dx, 0]]
    return rotation @ link


def pynite_quad(shells, e, model):
    """PyNiteFEA's quadrilateral on the element's corners in its own axes, with its material (plane strain:
    E / (1 - nu^2), nu / (1 - nu))."""
    mesh = shells.meshes[shells.domain_of[e]]
    e_modulus, nu = mesh.domain.material.e, mesh.domain.material.nu
    if mesh.domain.surface_type == 2:
        e_modulus, nu = e_modulus / (1 - nu ** 2), nu / (1 - nu)
    name = f"m{e}"
    model.add_material(name, e_modulus, e_modulus / (2 * (1 + nu)), nu, 0.0)
    nodes = [model.nodes[model.add_node(f"n{e}_{k}", x, y, 0.0)] for k, (x, y) in enumerate(shells.local_xy[e])]
    return Quad3D(f"q{e}", *nodes, mesh.domain.thickness, name, model), mesh.domain.surface_type != 4


def check_stiffness(frame, assembly):
    shells = assembly.shells
    expected = np.zeros((6 * len(frame.xyz),) * 2)
    model = FEModel3D()
    for k, chain in enumerate(frame.chains):
        beam = chain.line.beam
        model.add_material(f"b{k}", beam.material.e, beam.material.g, beam.material.nu, 0.0)
        model.add_section(f"s{k}", beam.cross_section.area, beam.cross_section.i_y, beam.cross_section.i_z,
                          beam.cross_section.torsion)
        for e in range(chain.first, chain.first + chain.count):
            ends = [model.nodes[model.add_node(f"b{e}_{s}", s * frame.length[e], 0.0, 0.0)] for s in (0, 1)]
            t = np.kron(np.eye(4), frame.axes[e])
            dofs = np.concatenate([6 * frame.i[e] + np.arange(6), 6 * frame.j[e] + np.arange(6)])
            expected[np.ix_(dofs, dofs)] += t.T @ Member3D(model, f"b{e}", *ends, f"b{k}", f"s{k}").ke() @ t
    for support in assembly.supports.values():
        dofs = 6 * support.node + np.arange(6)
        expected[np.ix_(dofs, dofs)] += support.block
    for e in range(len(shells.quads)):
        quad, membrane = pynite_quad(shells, e, model)
        if membrane:
            quad._local_coords()
        local = quad.ke_m() if membrane else quad.ke()
        t = element_transform(shells, e)
        expected[np.ix_(shells.dofs[e], shells.dofs[e])] += t.T @ local @ t
    assert assembly.stiffness.toarray() == pytest.approx(expected, rel=1e-12, abs=1e-12 * np.abs(expected).max())


def check_results(frame, assembly):
    shells = assembly.shells
    u = np.random.default_rng(1).standard_normal((6 * len(frame.xyz), 1)) * 1e-3
    batched = shells.element_results(u)[..., 0]
    model = FEModel3D()
    for e in range(len(shells.quads)):
        quad, membrane = pynite_quad(shells, e, model)
        quad._local_coords()
        d = element_transform(shells, e) @ u[shells.dofs[e], 0]
        for node, values in zip((quad.i_node, quad.j_node, quad.m_node, quad.n_node), d.reshape(4, 6)):
            for name, value in zip(("DX", "DY", "DZ", "RX", "RY", "RZ"), values):
                getattr(node, name)["Combo 1"] = value
        r = shells.to_domain[e]
        for g, (xi, eta) in enumerate(np.array([(-1, -1), (1, -1), (1, 1), (-1, 1)]) / math.sqrt(3)):
            expected = np.zeros(8)
            if not membrane:
                mx, my, mxy = quad.moment(xi, eta)[:, 0]
                expected[0:3] = (r @ [[mx, mxy], [mxy, my]] @ r.T)[[0, 1, 0], [0, 1, 1]]
                expected[3:5] = r @ quad.shear(xi, eta)[:, 0]
            nx, ny, nxy = quad.t * quad.membrane(xi, eta)[:, 0]
            expected[5:8] = (r @ [[nx, nxy], [nxy, ny]] @ r.T)[[0, 1, 0], [0, 1, 1]]
            assert batched[e, g] == pytest.approx(expected, rel=1e-9, abs=1e-9 * np.abs(expected).max())


def check_beam_loads(frame, assembly):
    lengths = frame.length
    expected = np.array([[fer.FER_AxialLinLoad(1.0, 1.0, 0.0, length, length)[:, 0],
                          fer.FER_LinLoad(1.0, 1.0, 0.0, length, length, "Fy")[:, 0],
                          fer.FER_LinLoad(1.0, 1.0, 0.0, length, length, "Fz")[:, 0]] for length in lengths])
    assert unit_fixed_end_reactions(lengths) == pytest.approx(expected, rel=1e-12, abs=1e-12)


def check_location(frame, assembly):
    shells = assembly.shells
    span = slice(shells.first[0], shells.first[1])
    outline = shells.meshes[0].outline
    corners = outline.to_plane(shells.corners[span].reshape(-1, 3)).reshape(-1, 4, 2)
    rng = np.random.default_rng(2)
    samples = np.concatenate([corners.reshape(-1, 2), (corners + np.roll(corners, -1, axis=1)).reshape(-1, 2) / 2,
                              rng.uniform(corners.min(axis=(0, 1)) - 0.5, corners.max(axis=(0, 1)) + 0.5, (500, 2))])
    expected = set()
    for p, point in enumerate(samples):
        for e, quad in enumerate(corners):
            edges = np.roll(quad, -1, axis=0) - quad
            rel = point - quad
            if np.all(edges[:, 0] * rel[:, 1] - edges[:, 1] * rel[:, 0] >= -1e-9 * np.max(np.sum(edges ** 2, 1))):
                expected.add((p, e))
    found = set(zip(*(a.tolist() for a in locate(corners, samples))))
    assert found == expected and len(found) > len(samples) - 500


@pytest.mark.parametrize("check", [check_stiffness, check_results, check_beam_loads, check_location])
def test_the_batched_paths_equal_the_per_element_ones(check):
    frame, assembly = batch_model()
    shells = assembly.shells
    assert frame.meshes[0].method == "paved" and np.any(shells.offsets) and shells.membrane.any()
    check(frame, assembly)
