"""Reference points, vectors, axes, planes and angles and their "Add" records."""

import json

import pytest

from tessel.external import plexum

ZERO = {"x": 0.0, "y": 0.0, "z": 0.0}


def data(point=ZERO, vector=(ZERO, ZERO), axis=(ZERO, ZERO), plane=(ZERO, ZERO, ZERO), beta=0.0):
    return {
        "Point": {"P": point},
        "Vector": {"P1": vector[0], "P2": vector[1]},
        "Axis": {"P1": axis[0], "P2": axis[1]},
        "Plane": {"P1": plane[0], "P2": plane[1], "P3": plane[2]},
        "Beta": {"Beta": beta},
    }


def add_record(reference_type, reference_data):
    return ["Add", {"Item": {"ReferenceType": reference_type, "ReferenceData": reference_data}}]


def last_record(references):
    return json.dumps(references._instructions._functions[-1])


def test_point_record_in_full():
    references = plexum.ReferenceInterface()
    references.create_point(1.0, 2.0, 3.0)
    assert json.dumps(references._serialize()) == (
        '{"Functions": [["Add", {"Item": {"ReferenceType": 1, "ReferenceData": {"Point": {"P": {"x": 1.0, "y": 2.0, '
        '"z": 3.0}}, "Vector": {"P1": {"x": 0.0, "y": 0.0, "z": 0.0}, "P2": {"x": 0.0, "y": 0.0, "z": 0.0}}, '
        '"Axis": {"P1": {"x": 0.0, "y": 0.0, "z": 0.0}, "P2": {"x": 0.0, "y": 0.0, "z": 0.0}}, "Plane": {"P1": '
        '{"x": 0.0, "y": 0.0, "z": 0.0}, "P2": {"x": 0.0, "y": 0.0, "z": 0.0}, "P3": {"x": 0.0, "y": 0.0, "z": '
        '0.0}}, "Beta": {"Beta": 0.0}}}}]], "Properties": []}'
    )


@pytest.mark.parametrize(
    "method, args, expected",
    [
        ("create_point", (1, 2, 3), add_record(1, data(point={"x": 1, "y": 2, "z": 3}))),
        ("create_vector", ((0, 0, 0, 9), (0, 0, 1)),
         add_record(2, data(vector=({"x": 0, "y": 0, "z": 0}, {"x": 0, "y": 0, "z": 1})))),
        ("create_axis", ((1.0, 0.0, 0.0), (2.0, 0.0, 0.0)),
         add_record(3, data(axis=({"x": 1.0, "y": 0.0, "z": 0.0}, {"x": 2.0, "y": 0.0, "z": 0.0})))),
        ("create_plane", ((0, 0, 0), (1, 0, 0), [0, 1, 0]),
         add_record(4, data(plane=({"x": 0, "y": 0, "z": 0}, {"x": 1, "y": 0, "z": 0}, {"x": 0, "y": 1, "z": 0})))),
        ("create_angle", (30.0,), add_record(5, data(beta=30.0))),
    ],
)
def test_each_kind_writes_its_own_part(method, args, expected):
    references = plexum.ReferenceInterface()
    reference = getattr(references, method)(*args)
    assert last_record(references) == json.dumps(expected)
    assert reference.id == 1 and list(references) == [reference]
    assert isinstance(reference, plexum.Reference) and reference._type.value == expected[1]["Item"]["ReferenceType"]


def test_identifiers_run_across_kinds_in_creation_order():
    references = plexum.ReferenceInterface()
    made = [references.create_point(0, 0, 0), references.create_vector((0, 0, 0), (0, 0, 1)),
            references.create_angle(1.0)]
    assert [r.id for r in made] == [1, 2, 3] and references[-1] is made[2] and len(references) == 3
    assert [type(r).__name__ for r in references] == ["_ReferencePoint", "_ReferenceVector", "_ReferenceAngle"]


@pytest.mark.parametrize(
    "method, args, error",
    [
        ("create_vector", ((0, 0), (0, 0, 1)), IndexError),
        ("create_axis", ((0, 0, 0), (1,)), IndexError),
        ("create_plane", ((0, 0, 0), (1, 0, 0), (0, 1)), IndexError),
        ("create_vector", (None, (0, 0, 1)), TypeError),
    ],
)
def test_bad_point_leaves_nothing_behind(method, args, error):
    references = plexum.ReferenceInterface()
    references.create_point(0, 0, 0)
    with pytest.raises(error):
        getattr(references, method)(*args)
    assert len(references) == 1 and len(references._instructions._functions) == 1
    assert references.create_angle(0.5).id == 2


def test_reference_objects_hold_their_arguments_unchanged():
    references = plexum.ReferenceInterface()
    p1, p2 = (0, 0, 0), [1, 2, 3]
    vector = references.create_vector(p1, p2)
    assert vars(vector) == {"_id": 1, "point_1": p1, "point_2": p2} and vector.point_2 is p2
    assert vars(references.create_point(1, 2, 3)) == {"_id": 2, "x": 1, "y": 2, "z": 3}
    assert vars(references.create_angle(0.1)) == {"_id": 3, "angle": 0.1}


def test_reference_data_replaces_parts_not_given_by_zero_references():
    point = plexum._ReferencePoint(4, 1.0, 2.0, 3.0)
    block = plexum._ReferenceData(point=point, vector=None, angle=0)
    assert block.point is point and block.vector.id == 0 and block.angle.angle == 0.0
    assert block.serialize() == data(point={"x": 1.0, "y": 2.0, "z": 3.0})
    assert point._serialize() == block.serialize()
    assert plexum._ReferenceAngle(1, 2.5)._serialize() == data(beta=2.5)


def test_reference_types_and_abstract_hooks():
    assert [(m.name, m.value) for m in plexum.Reference._Type] == [
        ("POINT", 1), ("VECTOR", 2), ("AXIS", 3), ("PLANE", 4), ("ANGLE", 5)]
    assert plexum.Reference._Type.__qualname__ == "Reference._Type"
    assert plexum._ReferencePlane._type is plexum.Reference._Type.PLANE

    class Custom(plexum.Reference):
        _type = plexum.Reference._Type.POINT

        def _serialize(self):
            return super()._serialize()

    with pytest.raises(NotImplementedError):
        Custom(1)._serialize()
    with pytest.raises(NotImplementedError):
        plexum.Reference._type.fget(Custom(1))


def test_add_reference_of_a_subclass_is_used():
    class Counting(plexum.ReferenceInterface):
        added = []

        def _add_reference(self, reference):
            self.added.append(reference.id)
            super()._add_reference(reference)

    references = Counting()
    references.create_point(0, 0, 0)
    references.create_angle(1.0)
    assert Counting.added == [1, 2] and len(references._instructions._functions) == 2
