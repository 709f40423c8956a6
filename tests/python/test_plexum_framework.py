"""Instruction lists, identifiers and the interface base: what every interface of the model builder shares."""

import abc
import copy
import gc
import json
import pickle
import weakref
from unittest import mock

import pytest

from tessel.external import plexum


def records(interface):
    return json.dumps(interface._serialize())


def test_all_lists_the_public_names_in_order():
    assert plexum.__all__ == [
        "PlexumAnalysis", "CircleArc", "CrossSection", "CrossSectionInterface", "Domain", "DomainInterface", "Line",
        "LineInterface", "LineSupport", "LineSupportInterface", "Load", "LoadCase", "LoadCaseInterface",
        "LoadCombination", "LoadCombinationInterface", "LoadInterface", "Material", "MaterialInterface", "Member",
        "Model", "Node", "NodeInterface", "NodeSupport", "NodeSupportInterface", "Object", "Reference",
        "ReferenceInterface", "ResultInterface", "Section", "SectionInterface",
    ]


def test_instruction_list_keeps_pairs_and_dicts_by_reference():
    il = plexum._InstructionList()
    assert il.serialize() == {"Functions": [], "Properties": []}
    params = {"a": 1}
    il.add_function("Add", params)
    il.add_function("Add", {"a": 2})
    il.add_property("Reference", [1, 2])
    serialized = il.serialize()
    assert serialized["Functions"] is il._functions and serialized["Properties"] is il._properties
    assert il._functions[0] == ("Add", params) and il._functions[0][1] is params
    assert type(il._functions[0]) is tuple and len(il._functions) == 2
    assert il._properties == [("Reference", [1, 2])]
    assert il.serialize() == serialized and list(il.serialize()) == ["Functions", "Properties"]
    assert vars(il) == {"_functions": il._functions, "_properties": il._properties}


def test_abstract_bases():
    assert type(plexum.Object) is abc.ABCMeta and plexum.Object.__bases__ == (abc.ABC,)
    assert plexum._Interface.__bases__ == (abc.ABC,)
    assert plexum._Interface.__abstractmethods__ == {"__contains__", "__getitem__", "__iter__", "__len__"}
    with pytest.raises(TypeError):
        plexum._Interface()
    assert plexum.Reference.__bases__ == (plexum.Object, abc.ABC)
    assert plexum.Reference.__abstractmethods__ == {"_type", "_serialize"}
    with pytest.raises(TypeError):
        plexum.Reference(1)
    for name in ["ReferenceInterface", "NodeInterface", "LineInterface"]:
        assert getattr(plexum, name).__bases__ == (plexum._Interface,)

    class Partial(plexum._Interface):
        def __len__(self):
            return super().__len__()

        __contains__ = __getitem__ = __iter__ = __len__

    with pytest.raises(NotImplementedError):
        len(Partial())


def test_object_stores_its_identifier():
    class Thing(plexum.Object):
        pass

    thing = Thing(7)
    assert thing.id == 7 and vars(thing) == {"_id": 7}
    with pytest.raises(AttributeError):
        thing.id = 8


def test_interface_behaves_as_read_only_sequence_of_its_objects():
    nodes = plexum.NodeInterface()
    assert records(nodes) == '{"Functions": [], "Properties": []}'
    created = [nodes.create(float(i), 0.0, 0.0) for i in range(3)]
    assert [n.id for n in created] == [1, 2, 3]
    assert nodes[2] is created[2] and nodes[2].id == 3 and nodes[-1] is created[-1]
    assert nodes[1:10] == created[1:] and type(nodes[1:10]) is list
    assert list(nodes) == created and len(nodes) == 3
    assert created[0] in nodes
    assert plexum.NodeInterface().create(0.0, 0.0, 0.0) not in nodes
    with pytest.raises(IndexError, match="list index out of range"):
        nodes[5]
    with pytest.raises(TypeError, match="list indices must be integers or slices"):
        nodes["a"]


def test_identifiers_are_counted_per_interface():
    nodes, lines = plexum.NodeInterface(), plexum.LineInterface()
    n1, n2 = nodes.create(0, 0, 0), nodes.create(1, 0, 0)
    assert lines.create(n1, n2).id == 1 and nodes.create(2, 0, 0).id == 3


def test_point3d_and_circle_arc_records():
    point = plexum._Point3D.from_tuple((1, 2.0, "3", "ignored"))
    assert (point.x, point.y, point.z) == (1, 2.0, "3")
    assert json.dumps(point.serialize()) == '{"x": 1, "y": 2.0, "z": "3"}'
    with pytest.raises(IndexError):
        plexum._Point3D.from_tuple((1, 2))
    arc = plexum.CircleArc((0, 0, 0), (0, 0, 1), 1.5)
    assert vars(arc) == {"center": (0, 0, 0), "normal_vector": (0, 0, 1), "alpha": 1.5}
    assert json.dumps(arc._serialize()) == (
        '{"Center": {"x": 0, "y": 0, "z": 0}, "NormalVector": {"x": 0, "y": 0, "z": 1}, "Alfa": 1.5}'
    )


@pytest.mark.parametrize("where", ["instance", "class"])
def test_replaced_add_function_is_honoured(where):
    nodes = plexum.NodeInterface()
    calls = []

    def add_function(*args):
        calls.append(args[-2:])

    target = nodes._instructions if where == "instance" else plexum._InstructionList
    with mock.patch.object(target, "add_function", side_effect=add_function):
        node = nodes.create(1, 2, 3)
    assert calls == [("Add", {"x": 1, "y": 2, "z": 3})]
    assert nodes._instructions._functions == [] and list(nodes) == [node]
    nodes.create(4, 5, 6)
    assert nodes._instructions._functions == [("Add", {"x": 4, "y": 5, "z": 6})]


def test_replaced_module_globals_are_honoured():
    class Recording(plexum._InstructionList):
        def add_function(self, name, parameters):
            super().add_function(name.lower(), parameters)

    with mock.patch.object(plexum, "_InstructionList", Recording):
        nodes = plexum.NodeInterface()
    nodes.create(0, 0, 0)
    assert nodes._instructions._functions == [("add", {"x": 0, "y": 0, "z": 0})]

    class TaggedNode(plexum.Node):
        pass

    with mock.patch.object(plexum, "Node", TaggedNode):
        node = nodes.create(1, 1, 1)
    assert type(node) is TaggedNode and (node.id, node.x) == (2, 1)

    serialized = []
    point = mock.Mock(**{"from_tuple.return_value.serialize.side_effect": lambda: serialized.append(1) or {"p": 1}})
    with mock.patch.object(plexum, "_Point3D", point):
        assert plexum.CircleArc((0, 0, 0), (0, 0, 1), 2)._serialize() == {"Center": {"p": 1}, "NormalVector": {"p": 1},
                                                                          "Alfa": 2}
        lines = plexum.LineInterface()
        lines.create(node, node)
    assert lines._instructions._functions[0][1]["GeomData"]["CircleArc"]["Center"] == {"p": 1}


def test_python_subclass_of_an_interface():
    class Nodes(plexum.NodeInterface):
        def __init__(self):
            super().__init__()
            self.created = 0

        def create(self, x, y, z):
            self.created += 1
            return super().create(x, y, z)

    nodes = Nodes()
    node = nodes.create(1.0, 2.0, 3.0)
    assert nodes.created == 1 and list(nodes) == [node] and node.id == 1
    assert records(nodes) == '{"Functions": [["Add", {"x": 1.0, "y": 2.0, "z": 3.0}]], "Properties": []}'


def test_object_attributes_live_in_the_instance_dict():
    nodes = plexum.NodeInterface()
    node = nodes.create(0, 1, 2)
    assert vars(node) == {"_id": 1, "_x": 0, "_y": 1, "_z": 2}
    assert vars(nodes) == {"_instructions": nodes._instructions, "_objects": [node]}
    with pytest.raises(AttributeError):
        node.x = 5


NODE_RECORDS = [("Add", {"x": 1, "y": 0, "z": 0}), ("Add", {"x": 2, "y": 0, "z": 0})]


@pytest.mark.parametrize(
    "observe",
    [
        lambda il: il._functions,
        lambda il: vars(il)["_functions"],
        lambda il: il.__dict__["_functions"],
        lambda il: il.serialize()["Functions"],
        lambda il: copy.copy(il)._functions,
        lambda il: copy.deepcopy(il)._functions,
        lambda il: pickle.loads(pickle.dumps(il))._functions,
    ],
)
def test_every_observation_sees_the_records_in_order(observe):
    nodes = plexum.NodeInterface()
    nodes.create(1, 0, 0)
    nodes.create(2, 0, 0)
    assert observe(nodes._instructions) == NODE_RECORDS


def test_a_list_held_by_the_caller_sees_later_records():
    nodes = plexum.NodeInterface()
    functions = nodes._instructions._functions
    nodes.create(1, 0, 0)
    assert functions == NODE_RECORDS[:1]
    nodes._serialize()
    nodes.create(2, 0, 0)
    assert functions == NODE_RECORDS


def test_records_keep_their_order_across_a_replaced_add_function():
    nodes = plexum.NodeInterface()
    nodes.create(1, 0, 0)
    original = plexum._InstructionList.add_function

    def add_function(self, name, parameters):
        original(self, name, parameters)

    with mock.patch.object(plexum._InstructionList, "add_function", add_function):
        nodes.create(2, 0, 0)
    nodes.create(3, 0, 0)
    assert [f[1]["x"] for f in nodes._instructions._functions] == [1, 2, 3]


def test_reassigned_record_list_is_what_readers_see():
    nodes = plexum.NodeInterface()
    nodes.create(1, 0, 0)
    nodes._instructions._functions = []
    nodes.create(2, 0, 0)
    assert nodes._instructions._functions == NODE_RECORDS[1:]
    del nodes._instructions._functions
    with pytest.raises(AttributeError, match="_functions"):
        nodes._instructions._functions


def test_waiting_records_are_freed_with_their_list():
    class Coordinate:
        pass

    value = Coordinate()
    alive = weakref.ref(value)
    lines = plexum.LineInterface()
    node = plexum.Node(1, 0, 0, 0)
    lines.create(node, node, plexum.CircleArc((value, 0, 0), (0, 0, 1), value))
    del value
    assert alive() is not None
    del lines
    gc.collect()
    assert alive() is None


NODE = plexum.Node(1, 0, 0, 0)


@pytest.mark.parametrize("interface, make", [
    (plexum.NodeInterface, lambda nodes, back: nodes.create(back, 0.0, 0.0)),
    (plexum.LineInterface, lambda lines, back: lines.create(
        NODE, NODE, plexum.CircleArc((back, 0, 0), (0, 0, 1), 1.0))),
], ids=["record value", "nested record value"])
def test_a_record_value_that_refers_back_to_its_interface_is_collected(interface, make):
    """A container placed in a record is seen by the cycle collector, records made or not."""
    owner = interface()
    back = [owner]
    make(owner, back)
    alive = weakref.ref(owner)
    del owner, back
    gc.collect()
    assert alive() is None


def test_records_stay_in_order_when_a_container_value_makes_the_list_observed():
    nodes = plexum.NodeInterface()
    nodes.create(1, 0, 0)
    nodes.create([2], 0, 0)
    nodes.create(3, 0, 0)
    assert nodes._instructions._functions == [("Add", {"x": x, "y": 0, "z": 0}) for x in (1, [2], 3)]
