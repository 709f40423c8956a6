"""The Plexum worker's membrane domains and domain eccentricities against hand results."""

import json

import pytest

from tessel.local.plexum_worker import PlexumWorker
from plexum_records import JobRecords
from tessel.local.workers import ERROR, WorkerFailure

from strips import E, ribbed_strip

RIGID = 1e12
CLAMPED = dict(x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)
PLANE_STRESS, PLANE_STRAIN, PLATE, SHELL = 1, 2, 3, 4
CONSTANT, ONE_WAY, TWO_WAY, TOP_ALIGNED, BOTTOM_ALIGNED = 1, 2, 3, 4, 5


def run(job):
    return PlexumWorker()(json.loads(json.dumps(job.content())))


def failure(job):
    with pytest.raises(WorkerFailure) as raised:
        run(job)
    return raised.value.status, raised.value.message


def strip(surface_type, nu, corners, load, *, size=0.125):
    """A domain on `corners`, its last edge a very stiff beam clamped at both ends, a uniform load."""
    job = JobRecords()
    material = job.concrete(E, nu, 0.0)
    stiff = job.concrete(E * 1000, 0.0, 0.0)
    domain, nodes, lines = job.polygon(corners, material, 0.2, surface_type)
    job.beam(lines[-1], stiff, job.rectangle(1.0, 1.0))
    job.support(nodes[0], lines[-1], **CLAMPED)
    job.support(nodes[-1], lines[-1], **CLAMPED)
    job.mesh([domain], size)
    job.domain_constant(job.load_case(), domain, load)
    job.combination({1: 1.0})
    job.support_forces([1, 2])
    return job, domain, nodes


@pytest.mark.parametrize(("surface_type", "nu", "stiffer"), [
    (PLANE_STRESS, 0.0, 1.0), (PLANE_STRESS, 0.3, 1.0), (PLANE_STRAIN, 0.0, 1.0), (PLANE_STRAIN, 0.3, 1 - 0.3 ** 2),
])
def test_a_membrane_strip_in_tension(surface_type, nu, stiffer):
    # A 10 x 1 m strip, 0.2 m thick, held at x = 0, pulled by qx = 10 kN/m2: N(x) = q b (L - x), stress
    # N / (t b), end displacement q L^2 / (2 E t), with E / (1 - nu^2) in plane strain (no strain across the
    # thickness). Near the held edge the contraction across the strip is prevented: 0.6 % for nu = 0.3.
    length, width, t, q = 10.0, 1.0, 0.2, 10.0
    job, _, nodes = strip(surface_type, nu, [(0, 0, 0), (length, 0, 0), (length, width, 0), (0, width, 0)],
                          (q, 0.0, 0.0))
    x = length / 2 + 0.0625  # an element's centre line
    cut = job.section((x, 0.0, 0.0), (x, width, 0.0), (1.0, 0.0, 0.0))
    job.section_results([cut], [1])
    job.section_results([cut], [1], stresses=True)
    job.displacements([nodes[1], nodes[2]])
    answer = run(job)
    forces = answer["Sections"]["1"]["SurfaceForces"]["LoadCombinations"]["1"]
    stresses = answer["Sections"]["1"]["SurfaceStresses"]["LoadCombinations"]["1"]
    assert forces["Integrals"]["nn"] == pytest.approx(q * width * (length - x), rel=1e-6)
    for point in stresses["Points"]:
        assert point["sn_top"] == pytest.approx(q * (length - x) / t, rel=1e-5)
        assert point["sn_bottom"] == point["sn_top"]
    assert all(p[k] == 0.0 for p in forces["Points"] for k in ("mx", "my", "mxy", "vx", "vy"))
    u = [answer["Displacements"]["Nodes"][str(n)]["LoadCases"]["1"] for n in nodes[1:3]]
    expected = q * length ** 2 / (2 * E * t) * stiffer
    assert [d["x"] for d in u] == pytest.approx([expected] * 2, rel=0.007 if nu else 1e-4)
    assert [d["z"] for d in u] == [0.0, 0.0]
    reactions = answer["Forces"]["NodalSupports"]
    assert sum(r["LoadCases"]["1"]["Global"]["x"] for r in reactions.values()) == pytest.approx(-q * width * length)


def test_a_cantilever_wall_under_its_own_plane_load():
    # A wall in the x-z plane, 4 m long and 1 m high, clamped at x = 0, loaded by 10 kN/m2 downwards:
    # Timoshenko's cantilever, w = p L^4 / (8 E I) + p L^2 / (2 k G A), p = q H, k = 5/6. The bilinear
    # membrane is a little too stiff in bending (0.8 % at eight elements over the height).
    length, height, t, q = 4.0, 1.0, 0.2, 10.0
    job, _, nodes = strip(PLANE_STRESS, 0.0, [(0, 0, 0), (length, 0, 0), (length, 0, height), (0, 0, height)],
                          (0.0, 0.0, -q))
    job.displacements([nodes[1], nodes[2]])
    answer = run(job)
    w = sum(answer["Displacements"]["Nodes"][str(n)]["LoadCases"]["1"]["z"] for n in nodes[1:3]) / 2
    p, inertia, area = q * height, t * height ** 3 / 12, t * height
    assert w == pytest.approx(-(p * length ** 4 / (8 * E * inertia) + p * length ** 2 / (2 * 5 / 6 * E / 2 * area)),
                              rel=0.01)


def test_a_wall_carries_its_weight_to_its_foot():
    # A 3 m high wall of 2500 kg/m3 on a stiff foundation beam: a horizontal cut carries the weight above
    # it, on average sigma = rho g times the height above (the smoothed stresses to 0.03 %: averaged at the
    # nodes, they miss the elements' own variation along the free vertical edges).
    job = JobRecords()
    concrete = job.concrete(E, 0.2, 2500.0)
    stiff = job.concrete(E * 1000, 0.0, 0.0)
    wall, nodes, lines = job.polygon([(0, 0, 0), (4, 0, 0), (4, 0, 3), (0, 0, 3)], concrete, 0.25, PLANE_STRESS)
    job.beam(lines[0], stiff, job.rectangle(1.0, 1.0))
    for node in nodes[:2]:
        job.support(node, lines[0], **CLAMPED)
    job.mesh([wall], 0.25)
    job.domain_self_weight(job.load_case(), wall)
    job.combination({1: 1.0})
    cut = job.section((0, 0, 1.625), (4, 0, 1.625), (0, 0, 1))
    job.section_results([cut], [1], stresses=True)
    job.support_forces([1, 2])
    answer = run(job)
    weight = 2500 * 9.80665 / 1000 * 0.25 * 12
    reactions = answer["Forces"]["NodalSupports"]
    assert sum(r["LoadCases"]["1"]["Global"]["z"] for r in reactions.values()) == pytest.approx(weight, rel=1e-9)
    stresses = answer["Sections"]["1"]["SurfaceStresses"]["LoadCombinations"]["1"]
    assert stresses["Integrals"]["sn_top"] / 4.0 == pytest.approx(-2500 * 9.80665 / 1000 * 1.375, rel=0.01)


@pytest.mark.parametrize(("load", "refused"), [((0.0, 0.0, -1.0), True), ((1.0, 2.0, 0.0), False)])
def test_a_membrane_carries_loads_in_its_plane_only(load, refused):
    job, _, _ = strip(PLANE_STRESS, 0.2, [(0, 0, 0), (4, 0, 0), (4, 2, 0), (0, 2, 0)], load, size=0.5)
    if refused:
        assert failure(job) == (ERROR, 'Loads record 1 "AddDomainConstant": domain 1 is a membrane (surface type '
                                       "1), which carries loads in its plane only, and this load has a component "
                                       "normal to its plane")
    else:
        assert run(job)["Forces"]["NodalSupports"]["1"]["LoadCases"]["1"]["Global"]["z"] == 0.0


@pytest.mark.parametrize("size", [0.5, 0.1])  # a few dozen freedoms to examine, and about 1,700
def test_a_membrane_held_at_one_point_is_a_mechanism(size):
    job = JobRecords()
    material = job.concrete(E, 0.2, 0.0)
    domain, nodes, lines = job.polygon([(0, 0, 0), (4, 0, 0), (4, 2, 0), (0, 2, 0)], material, 0.2, PLANE_STRESS)
    job.beam(lines[0], material, job.rectangle(0.3, 0.3))
    job.support(nodes[0], lines[0], x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID)
    job.mesh([domain], size)
    job.domain_constant(job.load_case(), domain, (1.0, 0.0, 0.0))
    status, message = failure(job)
    assert message.startswith("the model is a mechanism: ")


@pytest.mark.parametrize(("eccentricity", "offset"), [
    ((CONSTANT, {"ecc_1": 0.3}), 0.3),  # the slab on top of the beam
    ((CONSTANT, {"ecc_1": -0.3}), -0.3),
    ((BOTTOM_ALIGNED, {}), 0.05),  # the drawn plane is the slab's bottom face: its middle is 0.05 m higher
    ((TOP_ALIGNED, {}), -0.05),
    # The same offset everywhere, given by reference points off the slab's plane.
    ((ONE_WAY, {"ecc_1": 0.3, "ecc_2": 0.3, "p1": (0, 0, 1), "p2": (1, 2, 1)}), 0.3),
    ((TWO_WAY, {"ecc_1": 0.3, "ecc_2": 0.3, "ecc_3": 0.3, "p1": (0, 0, 0), "p2": (6, 0, 0), "p3": (0, 1, 0)}), 0.3),
])
def test_an_offset_slab_works_with_its_beam_as_a_composite_section(eccentricity, offset):
    # Full composite action of the beam and a 0.5 m wide flange at distance e, nu = 0:
    # EI = E (Ib + Is + Ab As e^2 / (Ab + As)); the beam carries M Ib / I and the axial force N = M zbar Ab / I
    # (zbar = As e / (Ab + As), tension when the slab is above). Shear lag in the flange: 0.4 %.
    width, q, length = 0.5, 10.0, 6.0
    job, middle, rib = ribbed_strip(width, eccentricity)
    answer = run(job)
    a_beam, i_beam, a_slab, i_slab = 0.15, 0.3 * 0.5 ** 3 / 12, width * 0.1, width * 0.1 ** 3 / 12
    inertia = i_beam + i_slab + a_beam * a_slab * offset ** 2 / (a_beam + a_slab)
    w = answer["Displacements"]["Nodes"][str(middle)]["LoadCases"]["1"]["z"]
    assert w == pytest.approx(-5 * q * width * length ** 4 / (384 * E * inertia), rel=0.006)
    stations = answer["Forces"]["Lines"][str(rib)]["LoadCases"]["1"]
    at_middle = min(stations, key=lambda s: abs(s["Position"] - length / 2))
    moment = q * width * length ** 2 / 8
    assert at_middle["My"] == pytest.approx(-moment * i_beam / inertia, rel=0.01)
    assert at_middle["N"] == pytest.approx(moment * a_slab * offset / (a_beam + a_slab) * a_beam / inertia,
                                           rel=0.02)


def test_an_offset_shell_takes_its_in_plane_load_at_its_mid_surface():
    # The strip, 0.25 m above the drawn plane, pulled in x by 10 kN/m2: the clamped supports in the drawn
    # plane take the force and its moment about y, F e.
    e, q = 0.25, 10.0
    job, domain, nodes = strip(SHELL, 0.2, [(0, 0, 0), (4, 0, 0), (4, 1, 0), (0, 1, 0)], (q, 0.0, 0.0), size=0.25)
    job.eccentricity(domain, CONSTANT, ecc_1=e)
    answer = run(job)
    reactions = [r["LoadCases"]["1"]["Global"] for r in answer["Forces"]["NodalSupports"].values()]
    force = q * 4.0
    assert sum(r["x"] for r in reactions) == pytest.approx(-force, rel=1e-9)
    assert sum(r["yy"] for r in reactions) == pytest.approx(-force * e, rel=1e-9)


@pytest.mark.parametrize("eccentricity", [
    dict(kind=ONE_WAY, ecc_1=0.1, ecc_2=0.5, p1=(0, 0, 0), p2=(4, 0, 0)),
    dict(kind=TWO_WAY, ecc_1=0.1, ecc_2=0.5, ecc_3=0.1, p1=(0, 0, 0), p2=(4, 0, 0), p3=(0, 1, 0)),
    dict(kind=TWO_WAY, ecc_1=0.1, ecc_2=0.5, ecc_3=-0.1, p1=(0, 0, 0), p2=(4, 0, 0), p3=(0, 1, 0)),
])
def test_a_shell_with_a_varying_offset_takes_its_load_where_its_mid_surface_is(eccentricity):
    # A 4 x 1 m strip held at x = 0, pulled by 10 kN/m2 along x at its mid-surface, e(x, y) = 0.1 + 0.1 x
    # (+ c y): the supports take the force and the moment of the load about y, -integral of q e dA.
    q = 10.0
    job, domain, _ = strip(SHELL, 0.2, [(0, 0, 0), (4, 0, 0), (4, 1, 0), (0, 1, 0)], (q, 0.0, 0.0), size=0.25)
    job.eccentricity(domain, eccentricity.pop("kind"), **eccentricity)
    answer = run(job)
    reactions = [r["LoadCases"]["1"]["Global"] for r in answer["Forces"]["NodalSupports"].values()]
    slope_y = eccentricity.get("ecc_3", 0.1) - 0.1
    mean_offset = 0.1 + 0.1 * 2.0 + slope_y * 0.5
    assert sum(r["x"] for r in reactions) == pytest.approx(-q * 4.0, rel=1e-9)
    assert sum(r["yy"] for r in reactions) == pytest.approx(-q * 4.0 * mean_offset, rel=1e-9)


@pytest.mark.parametrize(("change", "message"), [
    (lambda job: job.eccentricity(1, ONE_WAY, ecc_1=0.1, ecc_2=0.2, p1=(1, 1, 0), p2=(1, 1, 5)),
     'Domains record 3 "SetExcentricity": the reference points of the eccentricity of domain 1, projected onto '
     "its plane, coincide: they give no direction"),
    (lambda job: job.eccentricity(1, TWO_WAY, ecc_1=0.1, ecc_2=0.2, ecc_3=0.3, p1=(0, 0, 0), p2=(1, 0, 0),
                                  p3=(3, 0, 2)),
     'Domains record 3 "SetExcentricity": the reference points of the eccentricity of domain 1, projected onto '
     "its plane, are on one line: they define no plane"),
    # The last record naming a domain counts.
    (lambda job: (job.eccentricity(1, TOP_ALIGNED), job.eccentricity(1, CONSTANT, ecc_1=0.3)), None),
    (lambda job: job.model["Domains"]["Functions"][0][1]["SurfaceAttr"].update(SurfaceType=PLATE)
     or job.eccentricity(1, CONSTANT, ecc_1=0.3),
     'Domains record 3 "SetExcentricity": domain 1 is a plate: an eccentricity couples bending with in-plane '
     "forces, which only a shell (surface type 4) has; it cannot be computed on plates"),
])
def test_eccentricities_that_cannot_be_computed_are_refused(change, message):
    job, _, _ = ribbed_strip(0.5, None)
    change(job)
    if message is None:
        only, _, _ = ribbed_strip(0.5, (CONSTANT, {"ecc_1": 0.3}))
        assert run(job)["Displacements"] == run(only)["Displacements"]
        return
    assert failure(job) == (ERROR, message)
