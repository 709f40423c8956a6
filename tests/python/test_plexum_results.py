"""Sections, result requests and the linear-analysis step, and a whole model as the Model documentation builds it."""

import enum
import json

import pytest

from tessel.errors import ModelError
from tessel.external import plexum

EMPTY = '{"Functions": [], "Properties": []}'
RESULT_BLOCK = ('{"AnalysisType": 0, "CombinationType": 0, "EnvelopeUID": 0, "LoadCaseId": 1, "LoadCombinationId": 1, '
                '"LoadLevel": 1, "MinMaxType": 2, "ResultType": 1}')


class Thing(plexum.Object):
    """Stands in for a node support or load combination: only its id is read."""


def section_record(name, p, n, end):
    return (f'["Add", {{"Section": {{"SectionType": 1, "Name": "{name}", "Visible": 0, "P": {p}, "N": {n}, '
            f'"SegmentEndP": {end}, "InAllResultBlocks": 1, "ResultBlock": {RESULT_BLOCK}, '
            '"ForAllResultComponents": 1, "ResultComponent": 0, "DisplayMode": 0, "L": 0, "R": 0, '
            '"DiagOnBothSide": 0, "DiagInPlane": 0}}]')


def request(function, section, case, chain=1):
    return (f'["{function}", {{"Index": {section}, "ChainIndex": {chain}, "LoadCombinationId": {case}, '
            '"LoadLevelOrModeShapeOrTimeStep": 1, "AnalysisType": 0}]')


def functions(instructions):
    return json.dumps(instructions._functions)


@pytest.fixture
def results():
    """A result interface over three nodes, two supports, two beams (defined second line first) and no sections."""
    nodes, lines, sections = plexum.NodeInterface(), plexum.LineInterface(), plexum.SectionInterface()
    n1, n2, n3 = nodes.create(0, 0, 0), nodes.create(1.0, 0, 0), nodes.create(2.0, 0, 0)
    first, second = lines.create(n1, n2), lines.create(n2, n3)
    second.define_as_beam(Thing(1), Thing(1))
    first.define_as_beam(Thing(1), Thing(1))
    return plexum.ResultInterface(nodes, [Thing(1), Thing(2)], lines, sections)


# --------------------------------------------------------------- sections

def test_section_records_in_full():
    sections = plexum.SectionInterface()
    first = sections.create((0, 0, 0), (1.0, 2.0, 3.0), (0.0, 0.0, 1.0))
    second = sections.create([0.5, 0, 0], end_point=(0.5, 4, 0), normal_vector=(1, 0, 0), name="cut A")
    assert json.dumps(sections._serialize()) == (
        '{"Functions": ['
        + section_record("1", '{"x": 0, "y": 0, "z": 0}', '{"x": 0.0, "y": 0.0, "z": 1.0}',
                         '{"x": 1.0, "y": 2.0, "z": 3.0}') + ", "
        + section_record("cut A", '{"x": 0.5, "y": 0, "z": 0}', '{"x": 1, "y": 0, "z": 0}',
                         '{"x": 0.5, "y": 4, "z": 0}')
        + '], "Properties": []}')
    assert [(s.id, s.name) for s in sections] == [(1, "1"), (2, "cut A")] and sections[0] is first
    assert vars(second) == {"_id": 2, "_interface": sections, "_name": "cut A"} and type(second) is plexum.Section
    with pytest.raises(AttributeError):
        second.name = "B"


@pytest.mark.parametrize(
    "first, second",
    [("2", None), ("2", ""), ("cut", "cut")],
)
def test_taken_section_name_raises_and_records_nothing(first, second):
    sections = plexum.SectionInterface()
    sections.create((0, 0, 0), (1, 0, 0), (0, 0, 1), name=first)
    before = functions(sections._instructions)
    with pytest.raises(ModelError) as error:
        sections.create((0, 0, 0), (1, 0, 0), (0, 0, 1), name=second)
    assert str(error.value) == f"Section with name '{first}' already exists"
    assert functions(sections._instructions) == before and len(sections) == 1


@pytest.mark.parametrize(
    "points",
    [((0, 0), (1, 0, 0), (0, 0, 1)), ((0, 0, 0), None, (0, 0, 1)), ((0, 0, 0), (1, 0, 0), 7)],
    ids=["short-start", "no-end", "number-normal"],
)
def test_bad_section_points_leave_nothing_behind(points):
    sections = plexum.SectionInterface()
    with pytest.raises((IndexError, TypeError)):
        sections.create(*points)
    assert sections._instructions._functions == [] and len(sections) == 0


def test_section_name_is_keyword_only():
    with pytest.raises(TypeError):
        plexum.SectionInterface().create((0, 0, 0), (1, 0, 0), (0, 0, 1), "cut")


# -------------------------------------------------- node, support, member

REQUESTS = [
    ("nodal_displacements", "_displacement_instructions", "NodalDisplacementByLoadCaseId",
     "NodalDisplacementByLoadCombinationId", "NodeId", [1, 2, 3]),
    ("nodal_support_forces", "_force_instructions", "NodalSupportForceByLoadCaseId",
     "NodalSupportForceByLoadCombinationId", "NodalSupportId", [1, 2]),
    # The members in the order of the member table: the second line was defined first.
    ("line_forces", "_force_instructions", "LineForcesByLoadCaseId", "LineForcesByLoadCombinationId", "LineId",
     [2, 1]),
]


@pytest.mark.parametrize("operation, target, by_case, by_combination, key, ids", REQUESTS)
@pytest.mark.parametrize("by_load_case", [True, False, 1, 0, None])
def test_requests_for_all_targets(results, operation, target, by_case, by_combination, key, ids, by_load_case):
    if by_load_case is None:
        getattr(results, operation)()
        name = by_case
    else:
        getattr(results, operation)(by_load_case=by_load_case)
        name = by_case if by_load_case else by_combination
    assert functions(getattr(results, target)) == json.dumps([[name, {key: i}] for i in ids])
    other = "_force_instructions" if target == "_displacement_instructions" else "_displacement_instructions"
    assert getattr(results, other)._functions == [] and results._sections._instructions._functions == []


@pytest.mark.parametrize("operation, target, by_case, by_combination, key, ids", REQUESTS)
def test_requests_for_given_targets(results, operation, target, by_case, by_combination, key, ids):
    getattr(results, operation)([Thing(7), Thing(7)], by_load_case=False)
    getattr(results, operation)(targets := [])
    getattr(results, operation)((Thing(9),))
    assert functions(getattr(results, target)) == json.dumps(
        [[by_combination, {key: 7}], [by_combination, {key: 7}], [by_case, {key: 9}]])
    assert targets == []


def test_support_and_member_forces_share_the_forces_list_in_call_order(results):
    results.line_forces([Thing(4)])
    results.nodal_support_forces([Thing(2)], by_load_case=False)
    results.line_forces([Thing(5)], by_load_case=False)
    assert functions(results._force_instructions) == (
        '[["LineForcesByLoadCaseId", {"LineId": 4}], ["NodalSupportForceByLoadCombinationId", '
        '{"NodalSupportId": 2}], ["LineForcesByLoadCombinationId", {"LineId": 5}]]')


@pytest.mark.parametrize("operation, target, by_case, by_combination, key, ids", REQUESTS)
def test_a_failing_target_keeps_the_records_before_it(results, operation, target, by_case, by_combination, key, ids):
    with pytest.raises(AttributeError):
        getattr(results, operation)([Thing(3), object(), Thing(4)])
    assert functions(getattr(results, target)) == json.dumps([[by_case, {key: 3}]])
    with pytest.raises(TypeError):
        getattr(results, operation)(5)


def test_all_nodes_are_taken_at_the_moment_of_the_call(results):
    nodes = results._nodes

    class Growing(plexum.Object):
        """A target whose id creates a further node while the records are written."""

        @property
        def id(self):
            nodes.create(9, 9, 9)
            return 99

    nodes._objects.append(Growing(4))
    results.nodal_displacements()
    assert [f[1]["NodeId"] for f in results._displacement_instructions._functions] == [1, 2, 3, 99]
    assert len(nodes) == 5


def test_by_load_case_is_keyword_only(results):
    with pytest.raises(TypeError):
        results.nodal_displacements(None, False)
    assert results._displacement_instructions._functions == []


# ---------------------------------------------------------------- sections

@pytest.mark.parametrize(
    "operation, function",
    [("section_surface_forces", "GetSegmentChainSurfaceForcesByLoadCombinationId"),
     ("section_surface_stresses", "GetSegmentChainSurfaceStressesByLoadCombinationId")],
)
def test_section_requests_are_ordered_case_by_case(results, operation, function):
    sections = results._sections
    sections.create((0, 0, 0), (1, 0, 0), (0, 0, 1))
    getattr(results, operation)(None, [Thing(1)])
    sections.create((0, 1, 0), (1, 1, 0), (0, 0, 1))
    getattr(results, operation)(None, (Thing(3), Thing(4)))
    getattr(results, operation)(sections=[sections[1]], cases=[Thing(5)], chain_index=3)
    getattr(results, operation)(None, [])
    records = [json.dumps(f) for f in sections._instructions._functions]
    assert [r.split('"')[1] for r in records] == ["Add", function, "Add"] + [function] * 5
    assert records[1] == request(function, 1, 1)
    assert records[3:] == [request(function, 1, 3), request(function, 2, 3), request(function, 1, 4),
                           request(function, 2, 4), request(function, 2, 5, chain=3)]
    assert results._force_instructions._functions == [] and results._displacement_instructions._functions == []


def test_a_failing_section_request_keeps_the_records_before_it(results):
    section = results._sections.create((0, 0, 0), (1, 0, 0), (0, 0, 1))
    with pytest.raises(AttributeError):
        results.section_surface_forces(None, [Thing(1), object()])
    with pytest.raises(TypeError):
        results.section_surface_forces([section], 3)
    with pytest.raises(TypeError):
        results.section_surface_stresses([section])
    assert [json.dumps(f) for f in results._sections._instructions._functions[1:]] == [
        request("GetSegmentChainSurfaceForcesByLoadCombinationId", 1, 1)]


# ------------------------------------------------------ serialised requests

def test_serialised_requests():
    nodes, sections = plexum.NodeInterface(), plexum.SectionInterface()
    results = plexum.ResultInterface(nodes, [], plexum.LineInterface(), sections)
    assert json.dumps(results._serialize()) == f'{{"Forces": {EMPTY}, "Displacements": {EMPTY}, "Sections": {EMPTY}}}'
    sections.create((0, 0, 0), (1, 0, 0), (0, 0, 1), name="s")
    results.nodal_displacements([nodes.create(0, 0, 0)])
    results.nodal_support_forces([Thing(2)])
    serialised = results._serialize()
    assert list(serialised) == ["Forces", "Displacements", "Sections"]
    assert serialised["Forces"]["Functions"] is results._force_instructions._functions
    assert json.dumps(serialised["Displacements"]) == (
        '{"Functions": [["NodalDisplacementByLoadCaseId", {"NodeId": 1}]], "Properties": []}')
    assert json.dumps(serialised["Sections"]) == json.dumps(sections._serialize())
    assert list(vars(results)) == ["_nodes", "_node_supports", "_lines", "_sections", "_force_instructions",
                                   "_displacement_instructions"]
    assert plexum.ResultInterface.__bases__ == (object,)


def test_linear_analysis_records():
    calculations = plexum._CalculationInterface()
    assert json.dumps(calculations._serialize()) == EMPTY
    assert calculations.create_linear_analysis() is None
    calculations.create_linear_analysis()
    assert json.dumps(calculations._serialize()) == (
        '{"Functions": [["LinearAnalysis", {"UserInteraction": 1}], ["LinearAnalysis", {"UserInteraction": 1}]], '
        '"Properties": []}')
    assert list(vars(calculations)) == ["instructions"] and plexum._CalculationInterface.__bases__ == (object,)


@pytest.mark.parametrize(
    "enumeration, qualname, members",
    [
        (plexum.Section._Type, "Section._Type", [("PLANE", 0), ("SEGMENT", 1)]),
        (plexum._Calculation.UserInteraction, "_Calculation.UserInteraction",
         [("USER_INTERACTION", 0), ("AUTO_CORRECT", 1), ("NO_AUTO_CORRECT", 2), ("AUTO_CORRECT_NO_SHOW", 3),
          ("NO_AUTO_CORRECT_NO_SHOW", 4)]),
    ],
)
def test_enumerations(enumeration, qualname, members):
    assert issubclass(enumeration, enum.Enum) and enumeration.__qualname__ == qualname
    assert [(m.name, m.value) for m in enumeration] == members


# ------------------------------------------------------------- whole model

def _missing_interfaces():
    needed = [("MaterialInterface", "add_from_catalog"), ("CrossSectionInterface", "create_rectangular"),
              ("NodeSupportInterface", "create_relative_to_member"), ("DomainInterface", None),
              ("LineSupportInterface", None)]
    return [cls for cls, method in needed
            if not hasattr(plexum, cls) or (method and not hasattr(getattr(plexum, cls), method))]


@pytest.mark.skipif(bool(_missing_interfaces()), reason="materials, cross-sections, domains or supports not built")
def test_model_of_the_documentation_serialises_exactly():
    model = plexum.Model()
    material = model.materials.add_from_catalog("C12/15", plexum.Material.DesignCode.EURO_CODE)
    cross_section = model.cross_sections.create_rectangular(0.2, 0.4)
    node_1 = model.nodes.create(0.0, 0.0, 0.0)
    node_2 = model.nodes.create(5.0, 0.0, 0.0)
    line = model.lines.create(node_1, node_2)
    beam = line.define_as_beam(material, cross_section)
    model.node_supports.create_relative_to_member(node_1, stiffness_x=1e10, stiffness_y=1e10, stiffness_z=1e10)
    load_case = model.load_cases.create()
    model.loads.create_beam_self_weight(load_case, beam)
    model.results.nodal_displacements([node_2])

    def lst(*functions):
        return {"Functions": [list(f) for f in functions], "Properties": []}

    zero = {"x": 0.0, "y": 0.0, "z": 0.0}
    six = dict.fromkeys(["x", "y", "z", "xx", "yy", "zz"], 0.0)
    ellipse = {"Center": {"x": 0, "y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 0}, "Alfa": 0.0,
               "Ratio": 0.0, "StartAlfa": 0.0, "EndAlfa": 0.0}
    expected = {
        "References": lst(),
        "Materials": lst(("AddFromCatalog", {"NationalDesignCode": 2, "MaterialName": "C12/15"})),
        "Nodes": lst(("Add", {"x": 0.0, "y": 0.0, "z": 0.0}), ("Add", {"x": 5.0, "y": 0.0, "z": 0.0})),
        "CrossSections": lst(("AddRectangular", {"Name": "1", "b": 0.2, "h": 0.4, "Process": 0})),
        "Lines": lst(
            ("Add", {"StartNode": 1, "EndNode": 2, "GeomType": 0, "GeomData": {
                "CircleArc": {"Center": zero, "NormalVector": zero, "Alfa": 0.0}, "EllipseArc": ellipse}}),
            ("DefineAsBeam", {"MaterialIndex": 1, "StartCrossSectionIndex": 1, "EndCrossSectionIndex": 1,
                              "StartEccentricity": zero, "EndEccentricity": zero, "LineIndex": 1})),
        "Domains": lst(),
        "NodesSupports": lst(("AddNodalBeamRelative", {
            "Stiffnesses": {**six, "x": 1e10, "y": 1e10, "z": 1e10}, "NonLinearity": dict.fromkeys(six, 0),
            "Resistances": six, "NodeId": 1, "BeamId": 1})),
        "LineSupports": lst(),
        "LoadCases": lst(("Add", {"Name": "1", "LoadCaseType": 0})),
        "Loads": lst(("AddBeamSelfWeight", {"LineId": 1, "LoadCaseId": 1})),
        "LoadCombinations": lst(),
        "Calculation": lst(("LinearAnalysis", {"UserInteraction": 1})),
    }
    assert json.dumps(model._serialize()) == json.dumps(expected)
    assert json.dumps(model.results._serialize()) == json.dumps({
        "Forces": lst(), "Displacements": lst(("NodalDisplacementByLoadCaseId", {"NodeId": 2})), "Sections": lst()})
