"""Node and line supports: the member search over the line interface's member table, and their records."""

import json

import pytest

from tessel.errors import ModelError
from tessel.external import plexum

NL = plexum.LineSupport.NonLinearity
ZERO6 = {"x": 0.0, "y": 0.0, "z": 0.0, "xx": 0.0, "yy": 0.0, "zz": 0.0}
LINEAR6 = {"x": 0, "y": 0, "z": 0, "xx": 0, "yy": 0, "zz": 0}


class Thing(plexum.Object):
    """Stands in for a material or cross-section: only its id is read."""


@pytest.fixture
def frame():
    """Nodes 1-2-3 joined by two beams in a row, node 4 on a plain line, node 5 free."""
    nodes, lines = plexum.NodeInterface(), plexum.LineInterface()
    n = [nodes.create(float(i), 0.0, 0.0) for i in range(5)]
    first, second = lines.create(n[0], n[1]), lines.create(n[1], n[2])
    lines.create(n[2], n[3])
    b1 = first.define_as_beam(Thing(1), Thing(1))
    b2 = second.define_as_beam(Thing(1), Thing(1))
    return lines, n, (b1, b2)


def nodal(node_id, beam_id, stiffnesses=ZERO6, non_linearity=LINEAR6, resistances=ZERO6):
    return ["AddNodalBeamRelative", {"Stiffnesses": stiffnesses, "NonLinearity": non_linearity,
                                     "Resistances": resistances, "NodeId": node_id, "BeamId": beam_id}]


def functions(interface):
    return json.dumps(interface._instructions._functions)


@pytest.mark.parametrize(
    "index, outcome",
    [
        (0, 1),
        (2, 2),
        (1, "cannot create a nodal support on a node that is part of 2 or more members"),
        (3, "node is not part of a member (line)"),
        (4, "node is not part of a member (line)"),
    ],
)
def test_member_search(frame, index, outcome):
    lines, n, _ = frame
    supports = plexum.NodeSupportInterface(lines)
    if isinstance(outcome, int):
        support = supports.create_relative_to_member(n[index])
        assert functions(supports) == json.dumps([nodal(index + 1, outcome)])
        assert support.id == 1 and list(supports) == [support] and isinstance(support, plexum.NodeSupport)
        assert supports._find_node_member(n[index]) is lines._members[outcome]
    else:
        with pytest.raises(ModelError) as raised:
            supports.create_relative_to_member(n[index])
        assert str(raised.value) == outcome
        assert len(supports) == 0 and supports._instructions._functions == []


def test_search_reads_the_member_table_at_the_call(frame):
    lines, n, (b1, _) = frame
    supports = plexum.NodeSupportInterface(lines)
    with pytest.raises(ModelError, match=r"^node is not part of a member \(line\)$"):
        supports.create_relative_to_member(n[3])
    lines.define_as_beam(lines[2], Thing(1), Thing(1))
    assert supports.create_relative_to_member(n[3])._id == 1
    assert supports._instructions._functions[-1][1]["BeamId"] == 3
    # A redefined line keeps its first place in the table and holds its latest member.
    again = lines[0].define_as_beam(Thing(2), Thing(2))
    assert list(lines._members) == [1, 2, 3] and supports._find_node_member(n[0]) is again is not b1


def test_a_member_from_a_node_to_itself_counts_twice():
    nodes, lines = plexum.NodeInterface(), plexum.LineInterface()
    node = nodes.create(0, 0, 0)
    lines.create(node, node).define_as_beam(Thing(1), Thing(1))
    with pytest.raises(ModelError, match="^cannot create a nodal support on a node that is part of 2 or more members$"):
        plexum.NodeSupportInterface(lines).create_relative_to_member(node)


def test_nodes_are_found_by_identity(frame):
    lines, n, _ = frame
    twin = plexum.Node(3, 2.0, 0.0, 0.0)
    with pytest.raises(ModelError, match=r"^node is not part of a member \(line\)$"):
        plexum.NodeSupportInterface(lines).create_relative_to_member(twin)


@pytest.mark.parametrize(
    "member_type, error",
    [
        (plexum.Member._Type.RIB, None),
        (plexum.Member._Type.BEAM, None),
        (None, "node is not part of a member of one of following types: (beam, rib)"),
        (1, "node is not part of a member of one of following types: (beam, rib)"),
    ],
)
def test_member_types(frame, member_type, error):
    lines, n, _ = frame
    lines._members[2] = plexum.Member(lines[1], member_type)
    supports = plexum.NodeSupportInterface(lines)
    if error is None:
        supports.create_relative_to_member(n[2])
        assert functions(supports) == json.dumps([nodal(3, 2)])
    else:
        with pytest.raises(ModelError) as raised:
            supports.create_relative_to_member(n[2])
        assert str(raised.value) == error and functions(supports) == "[]" and len(supports) == 0


def test_nodal_record_with_every_keyword(frame):
    lines, n, _ = frame
    supports = plexum.NodeSupportInterface(lines)
    supports.create_relative_to_member(n[0], stiffness_x=1e10, stiffness_y=2, stiffness_z=3.0, stiffness_xx=4,
                                       stiffness_yy=5, stiffness_zz=6, resistance_x=7, resistance_y=8,
                                       resistance_z=9, resistance_xx=10, resistance_yy=11, resistance_zz=12.5,
                                       non_linearity_x=NL.TENSION_ONLY, non_linearity_y=NL.COMPRESSION_ONLY,
                                       non_linearity_z=NL.LINEAR, non_linearity_xx=NL.TENSION_ONLY,
                                       non_linearity_yy=NL.LINEAR, non_linearity_zz=NL.COMPRESSION_ONLY)
    second = supports.create_relative_to_member(node=n[2])
    keys = ["x", "y", "z", "xx", "yy", "zz"]
    assert functions(supports) == json.dumps([
        nodal(1, 1, dict(zip(keys, [1e10, 2, 3.0, 4, 5, 6])), dict(zip(keys, [1, 2, 0, 1, 0, 2])),
              dict(zip(keys, [7, 8, 9, 10, 11, 12.5]))),
        nodal(3, 2)])
    assert second.id == 2 and vars(second) == {"_id": 2}


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s, n: s.create_relative_to_member(n[0], 1.0), TypeError),
        (lambda s, n: s.create_relative_to_member(n[0], non_linearity_zz=0), AttributeError),
        (lambda s, n: s.create_relative_to_member(), TypeError),
        (lambda s, n: s.create_relative_to_member(None), ModelError),
    ],
)
def test_nodal_failures_leave_nothing_behind(frame, call, error):
    lines, n, _ = frame
    supports = plexum.NodeSupportInterface(lines)
    with pytest.raises(error):
        call(supports, n)
    assert len(supports) == 0 and supports._serialize() == {"Functions": [], "Properties": []}


def test_member_without_an_id_leaves_nothing_behind(frame):
    lines, n, _ = frame

    class Anonymous:
        _line, _type = lines[0], plexum.Member._Type.BEAM

    lines._members = {1: Anonymous()}
    supports = plexum.NodeSupportInterface(lines)
    with pytest.raises(AttributeError):
        supports.create_relative_to_member(n[0])
    assert len(supports) == 0 and supports._instructions._functions == []


def test_find_node_member_of_a_subclass_is_used(frame):
    lines, n, (b1, _) = frame

    class Pinned(plexum.NodeSupportInterface):
        def _find_node_member(self, node):
            return b1

    supports = Pinned(lines)
    supports.create_relative_to_member(n[4])
    assert functions(supports) == json.dumps([nodal(5, 1)]) and supports._lines is lines


def foundation(beam_id, k=(1000.0, 1000.0, 1000.0), non_linearity=(0, 0, 0), resistances=(0.0, 0.0, 0.0)):
    xyz = lambda v: dict(zip("xyz", v))  # noqa: E731
    return ["AddBeamElasticFoundation", {"BeamId": beam_id, "StiffnessesXYZ": xyz(k),
                                         "NonLinearityXYZ": xyz(non_linearity), "ResistancesXYZ": xyz(resistances)}]


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"non_linearity_z": NL.COMPRESSION_ONLY}, foundation(2, non_linearity=(0, 0, 2))),
        ({"non_linearity_x": NL.TENSION_ONLY, "non_linearity_y": NL.COMPRESSION_ONLY, "resistance_fx": 1,
          "resistance_fy": 2.5, "resistance_fz": 0}, foundation(2, non_linearity=(1, 2, 0), resistances=(1, 2.5, 0))),
    ],
)
def test_line_support_records(frame, kwargs, expected):
    _, _, (_, b2) = frame
    supports = plexum.LineSupportInterface()
    support = supports.create_on_member(b2, 1000.0, 1000.0, 1000.0, **kwargs)
    assert functions(supports) == json.dumps([expected])
    assert support.id == 1 and isinstance(support, plexum.LineSupport) and list(supports) == [support]
    assert supports.create_on_member(b2, k_x=1, k_y=2, k_z=3).id == 2


@pytest.mark.parametrize(
    "member, args, kwargs, error",
    [
        ("rib", (1.0, 1.0, 1.0), {}, ModelError),
        ("beam", (1.0, 1.0, 1.0, NL.LINEAR), {}, TypeError),
        ("beam", (1.0, 1.0), {}, TypeError),
        ("beam", (1.0, 1.0, 1.0), {"non_linearity_y": 1}, AttributeError),
        ("none", (1.0, 1.0, 1.0), {}, AttributeError),
    ],
)
def test_line_support_failures_leave_nothing_behind(frame, member, args, kwargs, error):
    lines, _, (b1, _) = frame
    target = {"rib": plexum.Member(lines[0], plexum.Member._Type.RIB), "beam": b1, "none": None}[member]
    supports = plexum.LineSupportInterface()
    with pytest.raises(error) as raised:
        supports.create_on_member(target, *args, **kwargs)
    if error is ModelError:
        assert str(raised.value) == "member must be of type 'beam'"
    assert len(supports) == 0 and supports._instructions._functions == []


def test_enumeration():
    assert [(m.name, m.value) for m in NL] == [("LINEAR", 0), ("TENSION_ONLY", 1), ("COMPRESSION_ONLY", 2)]
    assert NL.__qualname__ == "LineSupport.NonLinearity" and NL(2) is NL.COMPRESSION_ONLY
