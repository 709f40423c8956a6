"""Model: its fourteen interfaces, their sharing, and the serialised model."""

import contextlib
import json
from unittest import mock

import pytest

from tessel.external import plexum

ORDER = [
    ("_references", "ReferenceInterface", "references"),
    ("_materials", "MaterialInterface", "materials"),
    ("_nodes", "NodeInterface", "nodes"),
    ("_cross_sections", "CrossSectionInterface", "cross_sections"),
    ("_lines", "LineInterface", "lines"),
    ("_domains", "DomainInterface", "domains"),
    ("_node_supports", "NodeSupportInterface", "node_supports"),
    ("_line_supports", "LineSupportInterface", "line_supports"),
    ("_load_cases", "LoadCaseInterface", "load_cases"),
    ("_loads", "LoadInterface", "loads"),
    ("_load_combinations", "LoadCombinationInterface", "load_combinations"),
    ("_calculations", "_CalculationInterface", None),
    ("_sections", "SectionInterface", "sections"),
    ("_results", "ResultInterface", "results"),
]
EMPTY = {"Functions": [], "Properties": []}
LINEAR_ANALYSIS = ("LinearAnalysis", {"UserInteraction": 1})


def stand_in(name):
    """A minimal class for an interface that this build does not define yet."""
    if name == "_CalculationInterface":
        class Calculation:
            def __init__(self):
                self.instructions = plexum._InstructionList()

            def create_linear_analysis(self):
                self.instructions.add_function(*LINEAR_ANALYSIS)

            def _serialize(self):
                return self.instructions.serialize()
        return Calculation
    if name == "ResultInterface":
        class Results:
            def __init__(self, nodes, node_supports, lines, sections):
                self._nodes, self._node_supports, self._lines, self._sections = nodes, node_supports, lines, sections
        return Results

    class Interface(plexum.NodeInterface):
        def __init__(self, *lines):
            super().__init__()
            if lines:
                (self._lines,) = lines
    return Interface


@pytest.fixture(autouse=True)
def interfaces():
    """Stands in for interface classes this build does not define yet, so that Model's wiring is tested alone."""
    missing = {name: stand_in(name) for _, name, _ in ORDER if not hasattr(plexum, name)}
    with mock.patch.multiple(plexum, **missing, create=True) if missing else contextlib.nullcontext():
        yield


def test_interfaces_are_created_once_in_order_and_shared():
    model = plexum.Model()
    assert list(vars(model)) == [attribute for attribute, _, _ in ORDER]
    for attribute, cls, prop in ORDER:
        assert type(getattr(model, attribute)) is getattr(plexum, cls)
        if prop:
            assert getattr(model, prop) is getattr(model, attribute)
            with pytest.raises(AttributeError):
                setattr(model, prop, None)
    assert model._node_supports._lines is model._lines
    results = model._results
    assert (results._nodes, results._node_supports, results._lines, results._sections) == (
        model._nodes, model._node_supports, model._lines, model._sections)
    assert not hasattr(model, "calculations") and plexum.Model.__bases__ == (object,)
    assert plexum.Model.nodes.__doc__ == "Interface for creating nodes."


def test_new_model_serialises_twelve_lists_and_one_linear_analysis():
    model = plexum.Model()
    serialized = model._serialize()
    assert list(serialized) == ["References", "Materials", "Nodes", "CrossSections", "Lines", "Domains",
                                "NodesSupports", "LineSupports", "LoadCases", "Loads", "LoadCombinations",
                                "Calculation"]
    assert all(serialized[key] == EMPTY for key in list(serialized)[:-1])
    assert serialized["Calculation"] == {"Functions": [LINEAR_ANALYSIS], "Properties": []}
    again = model._serialize()
    assert again["Calculation"]["Functions"] == [LINEAR_ANALYSIS, LINEAR_ANALYSIS]
    assert again["Nodes"] == EMPTY


def test_serialised_model_carries_the_records_of_each_interface():
    model = plexum.Model()
    n1, n2 = model.nodes.create(0, 0, 0), model.nodes.create(3.0, 0.0, 0.0)
    vector = model.references.create_vector((0, 0, 0), (0, 0, 1))
    line = model.lines.create(n1, n2)
    model.lines.split_by_number(line, 2)
    serialized = json.loads(json.dumps(model._serialize()))
    assert serialized["Nodes"]["Functions"] == [["Add", {"x": 0, "y": 0, "z": 0}],
                                                ["Add", {"x": 3.0, "y": 0.0, "z": 0.0}]]
    assert [f[0] for f in serialized["Lines"]["Functions"]] == ["Add", "SplitByN"]
    assert serialized["References"]["Functions"][0][1]["Item"]["ReferenceType"] == 2 and vector.id == 1
    model.nodes.create(6.0, 0.0, 0.0)
    assert len(model._serialize()["Nodes"]["Functions"]) == 3


def test_objects_of_one_model_are_not_in_another():
    first, second = plexum.Model(), plexum.Model()
    node = first.nodes.create(0.0, 0.0, 0.0)
    twin = second.nodes.create(0.0, 0.0, 0.0)
    assert node in first.nodes and node not in second.nodes and twin not in first.nodes
    assert first.nodes is not second.nodes and first._lines._members is not second._lines._members
