"""The direct ways remember their checks (class version tags, the epoch of the
module globals): a change made after they have been taken must be honoured
at once, and undoing it must bring the original records back."""

import abc
import enum
import json
from unittest import mock

import pytest

from tessel.external import plexum


class Handle(plexum.Object):
    pass


class Geometry:
    """The node and line interfaces of a model."""

    def __init__(self):
        self.nodes, self.lines = plexum.NodeInterface(), plexum.LineInterface()


def warm(model):
    """Take every direct way once, so that its checks are remembered."""
    a = model.nodes.create(0.0, 0.0, 0.0)
    b = model.nodes.create(1.0, 0.0, 0.0)
    line = model.lines.create(a, b)
    line.define_as_beam(Handle(1), Handle(2))
    return a, b


def last_function(interface):
    return json.dumps(interface._instructions._functions[-1])


STRAIGHT_LINE = (
    '["Add", {"StartNode": 1, "EndNode": 2, "GeomType": 0, "GeomData": {"CircleArc": '
    '{"Center": {"x": 0.0, "y": 0.0, "z": 0.0}, "NormalVector": {"x": 0.0, "y": 0.0, "z": 0.0}, "Alfa": 0.0}, '
    '"EllipseArc": {"Center": {"x": 0, "y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 0}, '
    '"Alfa": 0.0, "Ratio": 0.0, "StartAlfa": 0.0, "EndAlfa": 0.0}}}]'
)


def test_replaced_object_class_global_after_use():
    model = Geometry()
    a, b = warm(model)

    class TaggedLine(plexum.Line):
        pass

    with mock.patch.object(plexum, "Line", TaggedLine):
        assert type(model.lines.create(a, b)) is TaggedLine
    assert type(model.lines.create(a, b)) is plexum.Line


def test_init_set_on_the_class_after_use_is_called():
    # (`__new__` is not patched here: CPython cannot fully undo that patch.)
    model = Geometry()
    warm(model)
    calls = []
    original = plexum.Node.__init__

    def init(self, *args):
        calls.append(args)
        original(self, *args)

    with mock.patch.object(plexum.Node, "__init__", init):
        node = model.nodes.create(5.0, 6.0, 7.0)
    assert calls == [(3, 5.0, 6.0, 7.0)]
    assert (node.id, node.x, node.y, node.z) == (3, 5.0, 6.0, 7.0)
    model.nodes.create(8.0, 9.0, 10.0)
    assert len(calls) == 1


def test_setattr_of_a_model_class_is_honoured_by_the_direct_way():
    model = Geometry()
    warm(model)
    seen = []

    def setattr_(self, name, value):
        seen.append(name)
        object.__setattr__(self, name, value)

    with mock.patch.object(plexum.Node, "__setattr__", setattr_, create=True):
        model.nodes.create(1, 2, 3)
    assert seen == ["_id", "_x", "_y", "_z"]


def test_id_property_replaced_on_a_class_after_use():
    model = Geometry()
    a, b = warm(model)
    with mock.patch.object(plexum.Node, "id", property(lambda self: self._id * 100)):
        model.lines.create(a, b)
    assert json.loads(last_function(model.lines))[1]["StartNode"] == 100
    model.lines.create(a, b)
    assert json.loads(last_function(model.lines))[1]["StartNode"] == 1


@pytest.mark.parametrize(
    "target, method",
    [("_Point3D", "serialize"), ("_Point3D", "from_tuple"), ("CircleArc", "_serialize")],
)
def test_point_and_arc_methods_replaced_after_use(target, method):
    model = Geometry()
    a, b = warm(model)
    cls = getattr(plexum, target)
    if method == "from_tuple":
        replacement = classmethod(lambda c, xyz: c(-1, -1, -1))
    else:
        replacement = lambda self: {"patched": True}  # noqa: E731
    with mock.patch.object(cls, method, replacement):
        model.lines.create(a, b)
    arc = json.loads(last_function(model.lines))[1]["GeomData"]["CircleArc"]
    if method == "from_tuple":
        assert arc["Center"] == {"x": -1, "y": -1, "z": -1}
    elif target == "_Point3D":
        assert arc["Center"] == {"patched": True}
    else:
        assert arc == {"patched": True}
    model.lines.create(a, b)
    assert last_function(model.lines) == STRAIGHT_LINE


@pytest.mark.parametrize("global_name", ["_Point3D", "CircleArc"])
def test_point_and_arc_globals_replaced_after_use(global_name):
    model = Geometry()
    a, b = warm(model)
    original = getattr(plexum, global_name)

    class Patched(original):
        def serialize(self):
            return "point"

        def _serialize(self):
            return "arc"

    with mock.patch.object(plexum, global_name, Patched):
        model.lines.create(a, b)
    arc = json.loads(last_function(model.lines))[1]["GeomData"]["CircleArc"]
    assert arc == ("arc" if global_name == "CircleArc" else {"Center": "point", "NormalVector": "point", "Alfa": 0.0})
    model.lines.create(a, b)
    assert last_function(model.lines) == STRAIGHT_LINE


def test_add_function_replaced_on_the_class_after_records_wait():
    model = Geometry()
    warm(model)
    calls = []
    original = plexum._InstructionList.add_function

    def add_function(self, name, parameters):
        calls.append(name)
        original(self, name, parameters)

    with mock.patch.object(plexum._InstructionList, "add_function", add_function):
        model.nodes.create(1, 2, 3)
    assert calls == ["Add"]
    model.nodes.create(4, 5, 6)
    assert [json.dumps(r) for r in model.nodes._instructions._functions[-2:]] == [
        '["Add", {"x": 1, "y": 2, "z": 3}]',
        '["Add", {"x": 4, "y": 5, "z": 6}]',
    ]


def test_define_as_beam_replaced_on_the_interface_class_after_use():
    model = Geometry()
    a, b = warm(model)
    line = model.lines.create(a, b)
    with mock.patch.object(plexum.LineInterface, "define_as_beam", return_value="patched") as patched:
        assert line.define_as_beam(Handle(1), Handle(2)) == "patched"
    patched.assert_called_once()
    assert type(line.define_as_beam(Handle(1), Handle(2))) is plexum.Member


def test_records_of_interleaved_instruction_lists_stay_apart():
    # More lists in use than the direct way keeps at hand: each keeps its own.
    models = [Geometry() for _ in range(6)]
    for round_ in range(3):
        for i, model in enumerate(models):
            model.nodes.create(i, round_, 0)
    for i, model in enumerate(models):
        assert [json.dumps(r) for r in model.nodes._instructions._functions] == [
            f'["Add", {{"x": {i}, "y": {r}, "z": 0}}]' for r in range(3)
        ]


def test_constant_sub_records_are_new_dicts_every_time():
    model = Geometry()
    a, b = warm(model)
    model.lines.create(a, b)
    lines = model.lines._instructions._functions
    first, second = lines[0][1]["GeomData"], lines[-1][1]["GeomData"]
    assert first is not second
    for key in ("CircleArc", "EllipseArc"):
        assert first[key] is not second[key]
        assert first[key]["Center"] is not second[key]["Center"]
    first["EllipseArc"]["Center"]["x"] = 99
    assert second["EllipseArc"]["Center"]["x"] == 0
    beam = model.lines._instructions._functions[1][1]
    assert beam["StartEccentricity"] is not beam["EndEccentricity"]


def test_patched_member_type_enumeration_is_recorded_and_compared_consistently():
    model = plexum.Model()
    material = model.materials.add_from_catalog("C30/37", plexum.Material.DesignCode.EURO_CODE)
    section = model.cross_sections.create_rectangular(0.2, 0.4)
    a, b = model.nodes.create(0, 0, 0), model.nodes.create(4, 0, 0)
    model.lines.create(a, b).define_as_beam(material, section)  # takes the direct way once

    Types = enum.Enum("_Type", [("BEAM", 11), ("RIB", 12)])
    with mock.patch.object(plexum.Member, "_Type", Types):
        member = model.lines.create(a, b).define_as_beam(material, section)
        assert member._type is Types.BEAM
        model.line_supports.create_on_member(member, 1.0, 1.0, 1.0)  # no spurious "must be of type 'beam'"
    assert model.lines.create(a, b).define_as_beam(material, section)._type is plexum.Member._Type.BEAM


def test_patched_line_geometry_enumeration_gives_the_record_its_values():
    model = Geometry()
    a, b = warm(model)
    Types = enum.Enum("_GeomType", [("STRAIGHT_LINE", 10), ("CIRCLE_ARC", 11)])
    with mock.patch.object(plexum.Line, "_GeomType", Types):
        model.lines.create(a, b)
        model.lines.create(a, b, plexum.CircleArc((0, 0, 0), (0, 0, 1), 1.0))
    assert [r[1]["GeomType"] for r in model.lines._instructions._functions[-2:]] == [10, 11]


def test_patched_object_init_runs_for_every_model_object():
    model = Geometry()
    a, b = warm(model)
    calls = []
    original = plexum.Object.__init__

    def init(self, id_):
        calls.append((type(self).__name__, id_))
        original(self, id_)

    material, section = Handle(1), Handle(2)
    with mock.patch.object(plexum.Object, "__init__", init):
        node = model.nodes.create(5.0, 6.0, 7.0)
        line = model.lines.create(a, b)
        member = line.define_as_beam(material, section)
    assert calls == [("Node", 3), ("Line", 2), ("Member", 2)]
    assert (node.id, node.x, line.id, member.id) == (3, 5.0, 2, 2)


def test_patched_metaclass_call_makes_the_objects():
    model = Geometry()
    warm(model)
    made = []
    original = abc.ABCMeta.__call__

    def call(cls, *args, **kwargs):
        made.append(cls.__name__)
        return original(cls, *args, **kwargs)

    with mock.patch.object(abc.ABCMeta, "__call__", call, create=True):
        model.nodes.create(1.0, 2.0, 3.0)
    assert made == ["Node"]


@pytest.mark.parametrize("override", ["getattribute", "getattr-of-id", "class-attribute"])
def test_a_subclass_that_answers_id_its_own_way_is_read_through_id(override):
    model = Geometry()
    a, b = warm(model)

    class Tagged(plexum.Node):
        if override == "getattribute":
            def __getattribute__(self, name):
                return 70 if name == "id" else object.__getattribute__(self, name)
        elif override == "getattr-of-id":
            id = property(lambda self: 70)
        else:
            id = 70

    node = Tagged(9, 0.0, 0.0, 0.0)
    model.lines.create(node, b)
    assert json.loads(last_function(model.lines))[1]["StartNode"] == 70


def test_waiting_records_survive_changes_of_the_instruction_list_class():
    model = Geometry()
    instructions = model.nodes._instructions
    model.nodes.create(1, 0, 0)  # waits in compact form

    class Logged(plexum._InstructionList):
        _functions = None  # hides the records the base class keeps

    instructions.__class__ = Logged
    assert instructions.__dict__["_functions"] == [("Add", {"x": 1, "y": 0, "z": 0})]
    instructions.__class__ = plexum._InstructionList
    model.nodes.create(2, 0, 0)
    instructions.__class__ = Logged
    instructions.__class__ = plexum._InstructionList
    model.nodes.create(3, 0, 0)
    assert [r[1]["x"] for r in model.nodes._instructions._functions] == [1, 2, 3]


def test_reference_points_are_read_x_then_y_then_z():
    read = []

    class Point:
        def __getattr__(self, name):
            read.append(name)
            return 0.0

    plexum._ReferenceData(point=Point()).serialize()
    assert read == ["x", "y", "z"]
