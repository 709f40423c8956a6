"""A model shipped by execute is written straight from its records, byte for
byte what json.dumps gives for the records as Python objects, and leaves the
model as serialising it would. Anything that could see the job content on
its way (a patched or overridden hook, a subclass) takes the ordinary way."""

import json
import math
from unittest import mock

import pytest

import tessel.external.offload_task as offload_task
from tessel.external import plexum
from tessel.external.plexum import CircleArc, Domain, LoadCombination, Material, Model, PlexumAnalysis

from fakes import FakePlatform, patch_platform


def build(observe_nodes_midway=False):
    m = Model()
    concrete = m.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    section = m.cross_sections.create_rectangular(0.3, 0.6, name="Rëchteck")
    nodes = [m.nodes.create(0, 0, 0), m.nodes.create(4.0, 0.0, -0.0), m.nodes.create(4.0, 3, 1e300),
             m.nodes.create(math.inf, -math.inf, 2**70)]
    if observe_nodes_midway:
        assert len(m.nodes._instructions._functions) == 4  # made Python objects before shipping
    nodes.append(m.nodes.create(0.1, 1 / 3, None))
    edges = [m.lines.create(nodes[0], nodes[1]), m.lines.create(nodes[1], nodes[2], CircleArc((2, 0, 0), (0, 0, 1), 0.5)),
             m.lines.create(nodes[2], nodes[0])]
    beam = edges[0].define_as_beam(concrete, section, local_z_reference=m.references.create_vector((0, 0, 0), (0, 0, 1)))
    m.lines.split_by_number(edges[0], 3)
    slab = m.domains.create(edges, surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=concrete)
    m.domains.generate_mesh_on_domains([slab], Domain.MeshGeometry.QUAD, 0.5)
    m.node_supports.create_relative_to_member(nodes[0], stiffness_z=1e10)
    dead = m.load_cases.create("dead")
    m.loads.create_beam_self_weight(dead, beam)
    m.loads.create_domain_constant(dead, slab, (0.0, 0.0, -2.5))
    m.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35})
    m.sections.create((0.0, 1.0, 0.0), (4.0, 1.0, 0.0), (0.0, 1.0, 0.0))
    m.results.nodal_displacements([nodes[1]])
    return m


@pytest.fixture
def platform(monkeypatch):
    p = FakePlatform(queue="plexum").succeed_after(0)
    patch_platform(monkeypatch, offload_task, p)
    return p


def expected_upload(model_builder, **kwargs):
    """The bytes the ordinary way sends: json.dumps of the job content as Python objects."""
    analysis = PlexumAnalysis(model_builder(**kwargs))
    return json.dumps(analysis._get_job_content(timeout=30)).encode("utf-8"), analysis._model


@pytest.mark.parametrize("observe_nodes_midway", [False, True])
def test_execute_ships_the_records_byte_for_byte_and_leaves_the_model_as_serialising_would(
        platform, observe_nodes_midway):
    expected, reference = expected_upload(build, observe_nodes_midway=observe_nodes_midway)
    model = build(observe_nodes_midway)
    with mock.patch.object(plexum, "_ShippedModel", wraps=plexum._ShippedModel) as shipped:
        PlexumAnalysis(model).execute(timeout=30)
    assert shipped.call_count == 1
    assert platform.uploaded == [expected]
    # The records were left where they waited: looking now makes exactly what was sent.
    assert json.dumps(model._serialize()) == json.dumps(reference._serialize())
    sent = json.loads(expected)["Model"]
    assert len(model._calculations._serialize()["Functions"]) == len(sent["Calculation"]["Functions"]) + 1


class Spy(PlexumAnalysis):
    pass


@pytest.mark.parametrize("how", ["instance", "class", "subclass", "generate"])
def test_anything_that_could_see_the_content_takes_the_ordinary_way(platform, how):
    expected, _ = expected_upload(build)
    model = build()
    seen = []
    analysis = (Spy if how == "subclass" else PlexumAnalysis)(model)
    original_upload = offload_task.OffloadTask._upload_job_content

    def upload(upload_url, upload_data, job_content):
        seen.append(job_content["Model"])
        return original_upload(upload_url, upload_data, job_content)

    patches = {
        "instance": mock.patch.object(analysis, "_upload_job_content", upload),
        "class": mock.patch.object(offload_task.OffloadTask, "_upload_job_content", staticmethod(upload)),
        "subclass": mock.patch.object(Spy, "_upload_job_content", staticmethod(upload), create=True),
        "generate": mock.patch.object(PlexumAnalysis, "_generate_job_content",
                                      autospec=True, side_effect=PlexumAnalysis._generate_job_content),
    }
    with patches[how], mock.patch.object(plexum, "_ShippedModel", wraps=plexum._ShippedModel) as shipped:
        analysis.execute(timeout=30)
    assert shipped.call_count == 0
    assert platform.uploaded == [expected]
    if seen:
        assert isinstance(seen[0], dict) and seen[0]["Nodes"]["Functions"][0] == ("Add", {"x": 0, "y": 0, "z": 0})


def test_generating_the_content_outside_execute_gives_python_objects():
    analysis = PlexumAnalysis(build())
    content = analysis._get_job_content(timeout=30)
    assert isinstance(content["Model"], dict) and isinstance(content["Model"]["Nodes"]["Functions"], list)
