"""Domains: their "Add" records, mesh generation and eccentricity."""

import enum
import json

import pytest

from tessel.errors import ModelError
from tessel.external import plexum

Domain = plexum.Domain
ZERO = {"x": 0.0, "y": 0.0, "z": 0.0}


class Thing(plexum.Object):
    """Stands in for a line or material: only its id is read."""


def functions(interface):
    return json.dumps(interface._instructions._functions)


def surface(thickness=0.2, surface_type=3, material=7):
    return {"Thickness": thickness, "SurfaceType": surface_type, "RefZId": 0, "RefXId": 0, "MaterialId": material,
            "ElasticFoundation": ZERO, "NonLinearity": {"x": 0, "y": 0, "z": 0}, "Resistance": ZERO,
            "Characteristics": 0}


def mesh(size=0.5, mesh_type=1, point=(0, 0.0), line=(0, 0.0), area=(0, 0.0), geometry=1, quality=2, ids=(1,)):
    return ["GenerateMeshOnSelectedDomains", {"MeshParameters": {
        "MeshSize": size, "MeshType": mesh_type, "IsFitToPointLoad": point[0], "FitToPointLoadValue": point[1],
        "IsFitToLineLoad": line[0], "FitToLineLoadValue": line[1], "IsFitToSurfaceLoad": area[0],
        "FitToSurfaceLoadValue": area[1], "MeshGeometryType": geometry, "QuadMeshQuality": quality},
        "DomainIds": list(ids)}]


def eccentricity(index, kind, exc=(0.0, 0.0, 0.0), points=(ZERO, ZERO, ZERO)):
    return ["SetExcentricity", {"Index": index, "DomainExcentricity": {
        "ExcentricityType": kind, "exc1": exc[0], "exc2": exc[1], "exc3": exc[2],
        "P1": points[0], "P2": points[1], "P3": points[2], "GroupID": 0}}]


@pytest.fixture
def domains():
    return plexum.DomainInterface()


@pytest.fixture
def domain(domains):
    return domains.create([Thing(1), Thing(2), Thing(3)], surface_type=Domain.SurfaceType.PLATE, thickness=0.2,
                          material=Thing(7))


def test_create_records_the_domain(domains, domain):
    second = domains.create((t for t in [Thing(4), Thing(2)]), surface_type=Domain.SurfaceType.HOLE, thickness=1,
                            material=Thing(1))
    assert functions(domains) == json.dumps([["Add", {"LineIds": [1, 2, 3], "SurfaceAttr": surface()}],
                                             ["Add", {"LineIds": [4, 2], "SurfaceAttr": surface(1, 0, 1)}]])
    assert (domain.id, second.id) == (1, 2) and list(domains) == [domain, second] and len(domains) == 2
    assert isinstance(domain, Domain) and vars(second) == {"_id": 2, "_interface": domains}


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda d: d.create([Thing(1), None], surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=Thing(1)),
         AttributeError),
        (lambda d: d.create([Thing(1)], surface_type=3, thickness=0.2, material=Thing(1)), AttributeError),
        (lambda d: d.create([Thing(1)], surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=None),
         AttributeError),
        (lambda d: d.create(5, surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=Thing(1)), TypeError),
        (lambda d: d.create([Thing(1)], Domain.SurfaceType.PLATE, 0.2, Thing(1)), TypeError),
        (lambda d: d.create([Thing(1)], surface_type=Domain.SurfaceType.PLATE, thickness=0.2), TypeError),
        (lambda d: d.generate_mesh_on_domains([d[0]], 1, 0.5), AttributeError),
        (lambda d: d.generate_mesh_on_domains([d[0]], Domain.MeshGeometry.QUAD, 0.5, mesh_type=0), AttributeError),
        (lambda d: d.generate_mesh_on_domains([None], Domain.MeshGeometry.QUAD, 0.5), AttributeError),
        (lambda d: d.generate_mesh_on_domains([d[0]], Domain.MeshGeometry.QUAD, 0.5, quad_mesh_quality=None),
         TypeError),
        (lambda d: d.generate_mesh_on_domains([d[0]], Domain.MeshGeometry.QUAD, 0.5, Domain.MeshType.UNIFORM),
         TypeError),
        (lambda d: d.set_eccentricity(d[0], 1), AttributeError),
        (lambda d: d.set_eccentricity(None, Domain.EccentricityType.TOP_ALIGNED), AttributeError),
        (lambda d: d.set_eccentricity(d[0], Domain.EccentricityType.CONSTANT, ecc_1=0.1, p1=(0, 0)), IndexError),
        (lambda d: d.set_eccentricity(d[0], Domain.EccentricityType.CONSTANT, 0.1), TypeError),
        (lambda d: d[0].set_eccentricity(Domain.EccentricityType.TOP_ALIGNED, p3=5), TypeError),
    ],
)
def test_failures_leave_nothing_behind(domains, domain, call, error):
    before = functions(domains)
    with pytest.raises(error):
        call(domains)
    assert functions(domains) == before and list(domains) == [domain]


def test_mesh_defaults(domains, domain):
    domains.generate_mesh_on_domains([domain], Domain.MeshGeometry.QUAD, 0.5)
    assert json.dumps(domains._serialize()) == json.dumps({
        "Functions": [["Add", {"LineIds": [1, 2, 3], "SurfaceAttr": surface()}], mesh()], "Properties": []})


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"fit_to_line_loads": 0.5}, mesh(line=(1, 0.5))),
        ({"fit_to_point_loads": 0, "fit_to_surface_loads": 0.0}, mesh(point=(1, 0.0), area=(1, 0.0))),
        ({"fit_to_point_loads": 2, "fit_to_surface_loads": 0.25, "mesh_type": Domain.MeshType.ADAPTIVE,
          "quad_mesh_quality": 6}, mesh(mesh_type=0, point=(1, 2), area=(1, 0.25), quality=6)),
        ({"quad_mesh_quality": 1}, mesh(quality=1)),
    ],
)
def test_mesh_parameters(domains, domain, kwargs, expected):
    domains.generate_mesh_on_domains([domain], Domain.MeshGeometry.QUAD, 0.5, **kwargs)
    assert json.dumps(domains._instructions._functions[-1]) == json.dumps(expected)


def test_mesh_on_several_domains_in_the_order_given(domains, domain):
    other = domains.create([Thing(4)], surface_type=Domain.SurfaceType.SHELL, thickness=0.1, material=Thing(1))
    domains.generate_mesh_on_domains([other, domain, other], Domain.MeshGeometry.MIXED, 1)
    assert json.dumps(domains._instructions._functions[-1]) == json.dumps(mesh(size=1, geometry=2, ids=(2, 1, 2)))


@pytest.mark.parametrize("quality", [0, 7, -1, 6.5])
def test_quad_mesh_quality_out_of_range(domains, domain, quality):
    before = functions(domains)
    with pytest.raises(ModelError) as raised:
        domain.generate_mesh(Domain.MeshGeometry.QUAD, 0.5, quad_mesh_quality=quality)
    assert str(raised.value) == "'quad_mesh_quality' must be in range 1-6" and functions(domains) == before


def test_domain_methods_forward_to_their_interface():
    calls = []

    class Recording(plexum.DomainInterface):
        def generate_mesh_on_domains(self, *args, **kwargs):
            calls.append(("mesh", args, kwargs))
            super().generate_mesh_on_domains(*args, **kwargs)

        def set_eccentricity(self, *args, **kwargs):
            calls.append(("eccentricity", args, kwargs))
            super().set_eccentricity(*args, **kwargs)

    domains = Recording()
    domains.create([Thing(1)], surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=Thing(1))
    domain = domains.create([Thing(1)], surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=Thing(1))
    domain.generate_mesh(Domain.MeshGeometry.TRIANGLE, 0.3, fit_to_point_loads=0.1)
    domain.set_eccentricity(Domain.EccentricityType.CONSTANT, ecc_1=0.05)
    assert calls == [
        ("mesh", ([domain], Domain.MeshGeometry.TRIANGLE, 0.3),
         {"mesh_type": Domain.MeshType.UNIFORM, "fit_to_point_loads": 0.1, "fit_to_line_loads": None,
          "fit_to_surface_loads": None, "quad_mesh_quality": 2}),
        ("eccentricity", (domain, Domain.EccentricityType.CONSTANT),
         {"ecc_1": 0.05, "p1": None, "ecc_2": None, "p2": None, "ecc_3": None, "p3": None}),
    ]
    assert json.dumps(domains._instructions._functions[2:]) == json.dumps(
        [mesh(size=0.3, geometry=0, point=(1, 0.1), ids=(2,)), eccentricity(2, 1, exc=(0.05, 0.0, 0.0))])


E = Domain.EccentricityType
FULL = {"ecc_1": 0.1, "p1": (0, 0, 0), "ecc_2": 0.2, "p2": (1, 0, 0), "ecc_3": 0.3, "p3": (0, 1, 0)}


def without(*names):
    return {k: v for k, v in FULL.items() if k not in names}


@pytest.mark.parametrize(
    "kind, kwargs, missing",
    [
        (E.CONSTANT, {}, "ecc_1"),
        (E.ONE_WAY, without("ecc_1", "ecc_2"), "ecc_1"),
        (E.ONE_WAY, without("ecc_2"), "ecc_2"),
        (E.ONE_WAY, without("p1", "p2"), "p1"),
        (E.ONE_WAY, without("p2"), "p2"),
        (E.TWO_WAY, without("p1", "ecc_3", "p3"), "p1"),
        (E.TWO_WAY, without("ecc_3", "p3"), "ecc_3"),
        (E.TWO_WAY, without("p3"), "p3"),
        (E.TWO_WAY, without("ecc_1"), "ecc_1"),
    ],
)
def test_missing_eccentricity_arguments(domains, domain, kind, kwargs, missing):
    before = functions(domains)
    with pytest.raises(ModelError) as raised:
        domains.set_eccentricity(domain, kind, **kwargs)
    assert str(raised.value) == f"'{missing}' must be set for eccentricity_type = {kind.name}"
    assert functions(domains) == before


P = [{"x": 0, "y": 0, "z": 0}, {"x": 1, "y": 0, "z": 0}, {"x": 0, "y": 1, "z": 0}]


@pytest.mark.parametrize(
    "kind, kwargs, expected",
    [
        (E.CONSTANT, {"ecc_1": 0.2}, eccentricity(1, 1, exc=(0.2, 0.0, 0.0))),
        (E.CONSTANT, {"ecc_1": 0}, eccentricity(1, 1)),
        (E.ONE_WAY, without("ecc_3", "p3"), eccentricity(1, 2, exc=(0.1, 0.2, 0.0), points=(P[0], P[1], ZERO))),
        (E.TWO_WAY, FULL, eccentricity(1, 3, exc=(0.1, 0.2, 0.3), points=P)),
        (E.TWO_WAY, dict(FULL, p2=[1.5, 2, 3, 4]),
         eccentricity(1, 3, exc=(0.1, 0.2, 0.3), points=(P[0], {"x": 1.5, "y": 2, "z": 3}, P[2]))),
        (E.TOP_ALIGNED, {}, eccentricity(1, 4)),
        (E.BOTTOM_ALIGNED, {"ecc_2": 0.5, "p3": ()}, eccentricity(1, 5, exc=(0.0, 0.5, 0.0))),
    ],
)
def test_eccentricity_records(domains, domain, kind, kwargs, expected):
    domains.set_eccentricity(domain, kind, **kwargs)
    assert json.dumps(domains._instructions._functions[-1]) == json.dumps(expected)


def test_enumerations():
    assert [(m.name, m.value) for m in Domain.SurfaceType] == [
        ("HOLE", 0), ("MEMBRANE_STRESS", 1), ("MEMBRANE_STRAIN", 2), ("PLATE", 3), ("SHELL", 4)]
    assert [(m.name, m.value) for m in Domain.MeshType] == [("ADAPTIVE", 0), ("UNIFORM", 1)]
    assert [(m.name, m.value) for m in Domain.MeshGeometry] == [("TRIANGLE", 0), ("QUAD", 1), ("MIXED", 2)]
    assert [(m.name, m.value) for m in E] == [
        ("CONSTANT", 1), ("ONE_WAY", 2), ("TWO_WAY", 3), ("TOP_ALIGNED", 4), ("BOTTOM_ALIGNED", 5)]
    with pytest.raises(ValueError):
        E(0)
    assert E.__qualname__ == "Domain.EccentricityType" and issubclass(E, enum.Enum)
