"""Everyday mistakes are refused before anything is recorded: a model object
of the wrong kind, one created through another Model, a section that cuts
no defined plane. Stand-ins that only carry an id keep working."""

import json
from types import SimpleNamespace

import pytest

from tessel.errors import ModelError
from tessel.external import plexum
from tessel.external.plexum import Domain, LoadCombination, Material, Model


def build(model=None):
    """A small model with one object of every kind that operations take."""
    m = model or Model()
    o = SimpleNamespace(model=m)
    o.material = m.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    o.section = m.cross_sections.create_rectangular(0.2, 0.4)
    o.a, o.b = m.nodes.create(0.0, 0.0, 0.0), m.nodes.create(4.0, 0.0, 0.0)
    o.c = m.nodes.create(4.0, 3.0, 0.0)
    o.line = m.lines.create(o.a, o.b)
    o.edges = [o.line, m.lines.create(o.b, o.c), m.lines.create(o.c, o.a)]
    o.beam = o.line.define_as_beam(o.material, o.section)
    o.support = m.node_supports.create_relative_to_member(o.a, stiffness_z=1e10)
    o.domain = m.domains.create(o.edges, surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=o.material)
    o.case = m.load_cases.create("dead")
    o.combination = m.load_combinations.create(LoadCombination.Type.ULS, {o.case: 1.35})
    o.cut = m.sections.create((0.0, 1.0, 0.0), (4.0, 1.0, 0.0), (0.0, 1.0, 0.0))
    return o


INTERFACES = ["references", "materials", "nodes", "cross_sections", "lines", "domains", "node_supports",
              "line_supports", "load_cases", "loads", "load_combinations", "sections"]


def everything(model):
    """Every record and object of the model (without serialising it, which adds a record)."""
    interfaces = [getattr(model, name) for name in INTERFACES]
    return json.dumps([[i._serialize() for i in interfaces], [len(i) for i in interfaces],
                       model.results._serialize(), sorted(model.lines._members)])


# (operation, argument the mistake goes into, call with `o` the model's objects and `x` the wrong object)
OPERATIONS = [
    ("define_as_beam", "material", "material", lambda o, x: o.line.define_as_beam(x, o.section)),
    ("define_as_beam", "css_start", "section", lambda o, x: o.line.define_as_beam(o.material, x)),
    ("define_as_beam", "css_end", "section", lambda o, x: o.line.define_as_beam(o.material, o.section, x)),
    ("define_as_beam", "line", "line", lambda o, x: o.model.lines.define_as_beam(x, o.material, o.section)),
    ("create", "start_node", "a", lambda o, x: o.model.lines.create(x, o.b)),
    ("create", "end_node", "a", lambda o, x: o.model.lines.create(o.a, x)),
    ("split_by_number", "line", "line", lambda o, x: o.model.lines.split_by_number(x, 3)),
    ("create", "lines", "line", lambda o, x: o.model.domains.create(
        [x, *o.edges[1:]], surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=o.material)),
    ("create", "material", "material", lambda o, x: o.model.domains.create(
        o.edges, surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=x)),
    ("generate_mesh_on_domains", "domains", "domain", lambda o, x: o.model.domains.generate_mesh_on_domains(
        [x], Domain.MeshGeometry.QUAD, 0.5)),
    ("create_relative_to_member", "node", "a", lambda o, x: o.model.node_supports.create_relative_to_member(x)),
    ("create_on_member", "member", "beam", lambda o, x: o.model.line_supports.create_on_member(x, 1.0, 1.0, 1.0)),
    ("create", "load_case_factors", "case", lambda o, x: o.model.load_combinations.create(
        LoadCombination.Type.ULS, {x: 1.0})),
    ("create_beam_self_weight", "member", "beam", lambda o, x: o.model.loads.create_beam_self_weight(o.case, x)),
    ("create_beam_self_weight", "load_case", "case", lambda o, x: o.model.loads.create_beam_self_weight(x, o.beam)),
    ("create_domain_self_weight", "domain", "domain", lambda o, x: o.model.loads.create_domain_self_weight(
        o.case, x)),
    ("create_domain_constant", "load_case", "case", lambda o, x: o.model.loads.create_domain_constant(
        x, o.domain, (0.0, 0.0, -2.5))),
    ("nodal_displacements", "nodes", "b", lambda o, x: o.model.results.nodal_displacements([o.b, x])),
    ("nodal_support_forces", "node_supports", "support", lambda o, x: o.model.results.nodal_support_forces([x])),
    ("line_forces", "members", "beam", lambda o, x: o.model.results.line_forces([x])),
    ("section_surface_forces", "sections", "cut", lambda o, x: o.model.results.section_surface_forces(
        [x], [o.combination])),
    ("section_surface_forces", "cases", "combination", lambda o, x: o.model.results.section_surface_forces(
        [o.cut], [x])),
]
KINDS = {"material": "Material", "section": "CrossSection", "line": "Line", "a": "Node", "b": "Node",
         "domain": "Domain", "beam": "Member", "case": "LoadCase", "support": "NodeSupport", "cut": "Section",
         "combination": "LoadCombination"}
# For each kind, an object of another kind given in its place.
WRONG = {"material": "section", "section": "material", "line": "a", "a": "case", "b": "line", "domain": "material",
         "beam": "line", "case": "a", "support": "a", "cut": "domain", "combination": "case"}


@pytest.mark.parametrize(("function", "argument", "kind", "call"), OPERATIONS,
                         ids=[f"{f}-{a}" for f, a, _, _ in OPERATIONS])
def test_an_object_of_the_wrong_kind_is_a_type_error_before_anything_is_recorded(function, argument, kind, call):
    o = build()
    wrong = getattr(o, WRONG[kind])
    before = everything(o.model)
    with pytest.raises(TypeError) as error:
        call(o, wrong)
    assert str(error.value) == (f"{function}() argument '{argument}' must be a {KINDS[kind]}, "
                                f"not {type(wrong).__name__} {wrong.id}")
    assert everything(o.model) == before


@pytest.mark.parametrize(("function", "argument", "kind", "call"), OPERATIONS,
                         ids=[f"{f}-{a}" for f, a, _, _ in OPERATIONS])
def test_an_object_of_another_model_is_a_model_error_before_anything_is_recorded(function, argument, kind, call):
    o, other = build(), build()
    foreign = getattr(other, kind)
    before = everything(o.model)
    with pytest.raises(ModelError) as error:
        call(o, foreign)
    assert str(error.value) == (f"{function}() argument '{argument}': {type(foreign).__name__} {foreign.id} "
                                "belongs to another model; use the objects created through this model")
    assert everything(o.model) == before


def test_swapped_material_and_section_would_compute_another_beam():
    o = build()
    with pytest.raises(TypeError, match="argument 'material' must be a Material, not CrossSection 1"):
        o.model.lines.define_as_beam(o.line, o.section, o.material)


class Stub(plexum.Object):
    """An Object of no model kind: a stand-in, read for its id only."""


@pytest.mark.parametrize("stand_in", [SimpleNamespace(id=7), Stub(7)], ids=["duck", "object-subclass"])
def test_stand_ins_that_carry_an_id_keep_working(stand_in):
    o = build()
    o.model.lines.define_as_beam(stand_in, stand_in, stand_in, local_z_reference=None)
    o.model.loads.create_beam_self_weight(stand_in, stand_in)
    o.model.results.line_forces([stand_in])
    assert o.model.lines._instructions._functions[-1][1]["LineIndex"] == 7
    assert o.model.loads._instructions._functions[-1][1] == {"LineId": 7, "LoadCaseId": 7}


def test_objects_of_interfaces_made_without_a_model_are_not_checked_for_ownership():
    nodes, lines = plexum.NodeInterface(), plexum.LineInterface()
    other = build()
    lines.create(nodes.create(0, 0, 0), other.b)
    assert lines._instructions._functions[0][1]["EndNode"] == 2


@pytest.mark.parametrize(("start", "end", "normal", "fault"), [
    ((0, 0, 0), (4, 0, 0), (0, 0, 0), "its normal_vector is zero"),
    ((0, 0, 0), (4, 0, 0), (2.0, 0.0, 0.0), "its normal_vector lies along the segment from start_point to end_point"),
    ((1, 2, 0), (1, 2, 3), (0.0, 0.0, -1.0), "its normal_vector lies along the segment from start_point to end_point"),
    ((1, 1, 0), (1, 1, 0), (0, 0, 1), "its start_point and end_point are the same point"),
])
def test_a_section_that_defines_no_plane_is_refused(start, end, normal, fault):
    sections = Model().sections
    with pytest.raises(ModelError) as error:
        sections.create(start, end, normal, name="cut")
    assert str(error.value) == (f"Section 'cut' is not defined: {fault}; normal_vector is the normal of the "
                                "section's plane, which holds the segment (for a cut through a slab, a vector in "
                                "the slab's plane square to the segment)")
    assert sections._instructions._functions == [] and len(sections) == 0


def test_sections_with_a_normal_off_the_segment_or_values_that_are_no_numbers_are_recorded():
    sections = Model().sections
    sections.create((0, 0, 0), (4, 0, 0), (0.0, 1.0, 1.0))
    sections.create(("a", 0, 0), (4, 0, 0), (1, 0, 0))
    assert len(sections) == 2
