"""Nodes, lines and beam members: their records, identifiers and the member table."""

import json
from unittest import mock

import pytest

from tessel.errors import ModelError
from tessel.external import plexum

STRAIGHT_ARC = '{"Center": {"x": 0.0, "y": 0.0, "z": 0.0}, "NormalVector": {"x": 0.0, "y": 0.0, "z": 0.0}, "Alfa": 0.0}'
ELLIPSE = ('{"Center": {"x": 0, "y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 0}, "Alfa": 0.0, "Ratio": 0.0, '
           '"StartAlfa": 0.0, "EndAlfa": 0.0}')
ZERO = '{"x": 0.0, "y": 0.0, "z": 0.0}'


class Thing(plexum.Object):
    """Stands in for a material or cross-section: only its id is read."""


@pytest.fixture
def geometry():
    nodes, lines = plexum.NodeInterface(), plexum.LineInterface()
    n1, n2, n3 = nodes.create(0, 0, 0), nodes.create(1.0, 0.0, 0.0), nodes.create(2.0, 0.0, 0.0)
    return nodes, lines, (n1, n2, n3)


def functions(interface):
    return json.dumps(interface._instructions._functions)


def beam_record(material, css_start, css_end, line):
    return (f'["DefineAsBeam", {{"MaterialIndex": {material}, "StartCrossSectionIndex": {css_start}, '
            f'"EndCrossSectionIndex": {css_end}, "StartEccentricity": {ZERO}, "EndEccentricity": {ZERO}, '
            f'"LineIndex": {line}}}]')


def test_nodes_record_their_coordinates_unchanged(geometry):
    nodes, _, (n1, n2, _) = geometry
    assert (n1.id, n2.id) == (1, 2) and (n2.x, n2.y, n2.z) == (1.0, 0.0, 0.0)
    assert functions(nodes) == ('[["Add", {"x": 0, "y": 0, "z": 0}], ["Add", {"x": 1.0, "y": 0.0, "z": 0.0}], '
                                '["Add", {"x": 2.0, "y": 0.0, "z": 0.0}]]')


def test_straight_and_arc_line_records(geometry):
    _, lines, (n1, n2, n3) = geometry
    straight = lines.create(n1, n2)
    arc = lines.create(n2, n3, plexum.CircleArc((1.5, 0, 0), (0, 0, 1), -3.14))
    assert json.dumps(lines._serialize()) == (
        '{"Functions": ['
        f'["Add", {{"StartNode": 1, "EndNode": 2, "GeomType": 0, "GeomData": {{"CircleArc": {STRAIGHT_ARC}, '
        f'"EllipseArc": {ELLIPSE}}}}}], '
        '["Add", {"StartNode": 2, "EndNode": 3, "GeomType": 1, "GeomData": {"CircleArc": {"Center": {"x": 1.5, '
        '"y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 1}, "Alfa": -3.14}, '
        f'"EllipseArc": {ELLIPSE}}}}}]'
        '], "Properties": []}'
    )
    assert (straight.id, arc.id) == (1, 2) and list(lines) == [straight, arc]
    assert arc.start_node is n2 and arc.end_node is n3
    assert vars(arc) == {"_id": 2, "_interface": lines, "_node1": n2, "_node2": n3}


def test_line_accepts_same_node_and_nodes_of_another_interface(geometry):
    _, lines, (n1, _, _) = geometry
    foreign = plexum.NodeInterface().create(5, 5, 5)
    lines.create(n1, n1)
    lines.create(foreign, n1)
    assert [f[1]["StartNode"] for f in lines._instructions._functions] == [1, 1]


def test_beam_definition_and_member_table(geometry):
    _, lines, (n1, n2, n3) = geometry
    first, second = lines.create(n1, n2), lines.create(n2, n3)
    material, css_a, css_b = Thing(3), Thing(5), Thing(6)
    m2 = lines.define_as_beam(second, material, css_a)
    m1 = first.define_as_beam(material, css_a, css_b)
    assert [json.dumps(f) for f in lines._instructions._functions[2:]] == [
        beam_record(3, 5, 5, 2), beam_record(3, 5, 6, 1)]
    assert (m1.id, m2.id) == (1, 2) and isinstance(m1, plexum.Member)
    assert vars(m1) == {"_id": 1, "_line": first, "_type": plexum.Member._Type.BEAM}
    assert lines._members == {2: m2, 1: m1} and list(lines) == [first, second]
    again = lines.define_as_beam(second, material, css_b)
    assert lines._members == {2: again, 1: m1} and list(lines._members) == [2, 1]
    assert sum(f[0] == "DefineAsBeam" for f in lines._instructions._functions) == 3


def test_line_method_and_interface_method_record_the_same(geometry):
    _, lines, (n1, n2, _) = geometry
    other = plexum.LineInterface()
    reference = plexum.ReferenceInterface().create_vector((0, 0, 0), (0, 0, 1))
    a, b = lines.create(n1, n2), other.create(n1, n2)
    a.define_as_beam(Thing(1), Thing(2), Thing(3), local_z_reference=reference)
    other.define_as_beam(b, Thing(1), Thing(2), Thing(3), local_z_reference=reference)
    a.split_by_number(4)
    other.split_by_number(b, 4)
    assert json.dumps(lines._serialize()) == json.dumps(other._serialize())


def test_vector_reference_writes_the_property_before_the_beam(geometry):
    _, _, (n1, n2, _) = geometry
    order = []

    class Recording(plexum._InstructionList):
        def add_function(self, name, parameters):
            order.append(name)
            super().add_function(name, parameters)

        def add_property(self, name, value):
            order.append(name)
            super().add_property(name, value)

    with mock.patch.object(plexum, "_InstructionList", Recording):
        lines = plexum.LineInterface()
    line = lines.create(n1, n2)
    references = plexum.ReferenceInterface()
    references.create_point(0, 0, 0)
    vector = references.create_vector((0, 0, 0), (0, 1, 0))
    line.define_as_beam(Thing(1), Thing(1), local_z_reference=vector)
    assert order == ["Add", "Reference", "DefineAsBeam"]
    assert json.dumps(lines._instructions._properties) == '[["Reference", {"ReferenceIndex": 2, "LineIndex": 1}]]'


@pytest.mark.parametrize("kind", ["point", "axis", "plane", "angle", "other"])
def test_non_vector_reference_raises_and_records_nothing(geometry, kind):
    _, lines, (n1, n2, _) = geometry
    references = plexum.ReferenceInterface()
    reference = {
        "point": lambda: references.create_point(0, 0, 1),
        "axis": lambda: references.create_axis((0, 0, 0), (0, 0, 1)),
        "plane": lambda: references.create_plane((0, 0, 0), (0, 0, 1), (1, 0, 0)),
        "angle": lambda: references.create_angle(1.0),
        "other": lambda: Thing(1),
    }[kind]()
    line = lines.create(n1, n2)
    before = functions(lines)
    with pytest.raises(ModelError, match="^reference must be of type 'vector'$"):
        line.define_as_beam(Thing(1), Thing(1), local_z_reference=reference)
    assert functions(lines) == before and lines._instructions._properties == [] and lines._members == {}


@pytest.mark.parametrize(
    "operation",
    [
        lambda lines, n: lines.create(n, None),
        lambda lines, n: lines.create(None, n),
        lambda lines, n: lines.create(n, n, plexum.CircleArc((0, 0), (0, 0, 1), 1.0)),
        lambda lines, n: lines.create(n, n, plexum.CircleArc((0, 0, 0), 5, 1.0)),
        lambda lines, n: lines.define_as_beam(lines[0], object(), Thing(1)),
        lambda lines, n: lines.define_as_beam(lines[0], Thing(1), Thing(1), object()),
        lambda lines, n: lines.define_as_beam(None, Thing(1), Thing(1)),
        lambda lines, n: lines.split_by_number(None, 2),
    ],
)
def test_failures_leave_nothing_behind(geometry, operation):
    _, lines, (n1, n2, _) = geometry
    lines.create(n1, n2)
    before = functions(lines)
    with pytest.raises((AttributeError, IndexError, TypeError)):
        operation(lines, n1)
    assert functions(lines) == before and len(lines) == 1 and lines._members == {}


def test_split_by_number_records_and_creates_nothing(geometry):
    _, lines, (n1, n2, n3) = geometry
    line = lines.create(n1, n2)
    lines.split_by_number(line, 3)
    assert json.dumps(lines._instructions._functions[-1]) == '["SplitByN", {"N": 3, "LineIndex": 1}]'
    assert len(lines) == 1 and lines.create(n2, n3).id == 2


def test_arguments_follow_the_signatures(geometry):
    _, lines, (n1, n2, _) = geometry
    line = lines.create(start_node=n1, end_node=n2, circle_arc=None)
    with pytest.raises(TypeError):
        lines.define_as_beam(line, Thing(1), Thing(1), None, None)
    with pytest.raises(TypeError):
        line.define_as_beam(Thing(1), Thing(1), None, None)
    with pytest.raises(TypeError):
        plexum.NodeInterface().create(1.0, 2.0)
    assert len(lines._instructions._functions) == 1


def test_enumerations():
    assert [(m.name, m.value) for m in plexum.Line._GeomType] == [("STRAIGHT_LINE", 0), ("CIRCLE_ARC", 1)]
    assert [(m.name, m.value) for m in plexum.Member._Type] == [("BEAM", 1), ("RIB", 2)]
    assert plexum.Member._Type.__qualname__ == "Member._Type"


def test_member_takes_the_identifier_of_its_line(geometry):
    _, lines, (n1, n2, _) = geometry
    line = lines.create(n1, n2)
    rib = plexum.Member(line, plexum.Member._Type.RIB)
    assert rib.id == line.id == 1 and rib._type is plexum.Member._Type.RIB and rib not in lines


def test_define_as_beam_of_an_interface_subclass_is_used_by_the_line(geometry):
    _, _, (n1, n2, _) = geometry

    class Lines(plexum.LineInterface):
        def define_as_beam(self, line, material, css_start, css_end=None, *, local_z_reference=None):
            self.seen = (line.id, css_end, local_z_reference)
            return super().define_as_beam(line, material, css_start, css_end, local_z_reference=local_z_reference)

    lines = Lines()
    member = lines.create(n1, n2).define_as_beam(Thing(1), Thing(2))
    assert lines.seen == (1, None, None) and lines._members == {1: member}


def test_constant_blocks_are_fresh_dicts_in_every_record(geometry):
    """Changing one record's zero blocks leaves the other records, and later ones, as they were."""
    _, lines, (n1, n2, n3) = geometry
    material = Thing(1)
    for start, end in ((n1, n2), (n2, n3)):  # kept compactly until observed below
        lines.create(start, end).define_as_beam(material, material)
    records = lines._instructions._functions
    first_line, first_beam = records[0][1], records[1][1]
    first_line["GeomData"]["CircleArc"]["Center"]["x"] = 9.0
    first_line["GeomData"]["EllipseArc"]["NormalVector"]["z"] = 9
    first_beam["StartEccentricity"]["y"] = 9.0
    lines.create(n3, n1).define_as_beam(material, material)  # made straight into the list
    assert len(records) == 6
    for name, params in records[2:]:
        if name == "Add":
            assert json.dumps(params["GeomData"]) == f'{{"CircleArc": {STRAIGHT_ARC}, "EllipseArc": {ELLIPSE}}}'
        else:
            assert json.dumps([params["StartEccentricity"], params["EndEccentricity"]]) == f"[{ZERO}, {ZERO}]"
            assert params["StartEccentricity"] is not params["EndEccentricity"]
