"""Load cases, loads and load combinations: their records, names, identifiers and enumerations."""

import json
from unittest import mock

import pytest

from tessel.errors import ModelError
from tessel.external import plexum

Type = plexum.LoadCombination.Type


class Thing(plexum.Object):
    """Stands in for a domain or member: only its id is read."""


def functions(interface):
    return json.dumps(interface._instructions._functions)


def state(interface):
    return functions(interface), list(interface._objects)


# ------------------------------------------------------------- load cases

def test_load_cases_without_names_are_named_after_their_identifiers():
    cases = plexum.LoadCaseInterface()
    first, second, third = cases.create(), cases.create(""), cases.create(name="dead")
    assert json.dumps(cases._serialize()) == (
        '{"Functions": [["Add", {"Name": "1", "LoadCaseType": 0}], ["Add", {"Name": "2", "LoadCaseType": 0}], '
        '["Add", {"Name": "dead", "LoadCaseType": 0}]], "Properties": []}')
    assert [(c.id, c.name) for c in cases] == [(1, "1"), (2, "2"), (3, "dead")]
    assert list(cases) == [first, second, third] and cases[1:] == [second, third] and len(cases) == 3
    assert vars(first) == {"_id": 1, "_name": "1"} and type(first) is plexum.LoadCase
    with pytest.raises(AttributeError):
        first.name = "other"


@pytest.mark.parametrize(
    "interface, make, what",
    [
        (plexum.LoadCaseInterface, lambda i, name: i.create(name), "Load case"),
        (plexum.LoadCombinationInterface, lambda i, name: i.create(Type.OTHER, {}, name=name), "Load combination"),
    ],
)
@pytest.mark.parametrize("first, second, taken", [("2", None, "2"), ("2", "", "2"), ("1", "1", "1"), ("é", "é", "é")])
def test_a_taken_name_raises_and_records_nothing(interface, make, what, first, second, taken):
    created = interface()
    make(created, first)
    before = state(created)
    with pytest.raises(ModelError) as error:
        make(created, second)
    assert str(error.value) == f"{what} with name '{taken}' already exists" and state(created) == before


def test_names_are_unique_per_interface_only():
    cases, combinations = plexum.LoadCaseInterface(), plexum.LoadCombinationInterface()
    case = cases.create("G")
    combination = combinations.create(Type.ULS, {case: 1.35}, name="G")
    assert (case.name, combination.name) == ("G", "G")
    assert plexum.LoadCaseInterface().create("G").id == 1


# ------------------------------------------------------ load combinations

@pytest.mark.parametrize(
    "combination_type, value",
    [(Type.OTHER, 0), (Type.SLS_CHAR, 1), (Type.SLS_1, 1), (Type.SLS_QUASI, 3), (Type.ULS_EXCEPTIONAL, 6),
     (Type.ULS_ALL_AB, 11), (Type.ULS_A8, 19)],
)
def test_combination_records_the_type_value_factors_and_load_case_ids(combination_type, value):
    cases = plexum.LoadCaseInterface()
    g, q, w = cases.create(), cases.create(), cases.create()
    combinations = plexum.LoadCombinationInterface()
    combination = combinations.create(combination_type, {w: 1.5, g: 1, q: 0.0}, name="ULS 1")
    assert json.dumps(combinations._instructions._functions) == (
        f'[["Add", {{"Name": "ULS 1", "CombinationType": {value}, "Factors": [1.5, 1, 0.0], '
        '"LoadCaseIds": [3, 1, 2]}]]')
    assert (combination.id, combination.name, type(combination)) == (1, "ULS 1", plexum.LoadCombination)


def test_empty_combination_records_two_empty_lists():
    combinations = plexum.LoadCombinationInterface()
    combinations.create(Type.SLS_2, {})
    combinations.create(Type.SLS_2, {}, name="")
    assert functions(combinations) == (
        '[["Add", {"Name": "1", "CombinationType": 2, "Factors": [], "LoadCaseIds": []}], '
        '["Add", {"Name": "2", "CombinationType": 2, "Factors": [], "LoadCaseIds": []}]]')


# -------------------------------------------------------------------- loads

def linear(load_case, domain, load=(1.0, 2, -3.5), **kwargs):
    points = dict(point_1=(0, 0, 0), point_2=(4.0, 0.0, 0.0), point_3=(0.0, 3.0, 1.5))
    return lambda loads: loads.create_domain_linear(load_case, domain, load, **{"component": plexum.Load.Axis.Z,
                                                                                 **points, **kwargs})


LINEAR_DATA = ('"Component": {component}, "P1": 1.0, "P2": 2, "P3": -3.5, "x1": 0, "y1": 0, "z1": 0, "x2": 4.0, '
               '"y2": 0.0, "z2": 0.0, "x3": 0.0, "y3": 3.0, "z3": 1.5, "WindowLoad": {window}')


@pytest.mark.parametrize(
    "create, record",
    [
        (linear(Thing(2), Thing(5)),
         '["AddDomainLinear", {"Data": {"LoadCaseId": 2, "DomainId": 5, "DistributionType": 0, '
         '"LoadDistributionType": 1, ' + LINEAR_DATA.format(component=2, window=1) + '}}]'),
        (linear(Thing(1), Thing(1), component=plexum.Load.Axis.X, load_on_hole=True,
                distribution_type=plexum.Load.DistributionType.PROJECTED),
         '["AddDomainLinear", {"Data": {"LoadCaseId": 1, "DomainId": 1, "DistributionType": 2, '
         '"LoadDistributionType": 1, ' + LINEAR_DATA.format(component=0, window=0) + '}}]'),
        (linear(Thing(1), Thing(1), component=plexum.Load.Axis.Y, load_on_hole=0),
         '["AddDomainLinear", {"Data": {"LoadCaseId": 1, "DomainId": 1, "DistributionType": 0, '
         '"LoadDistributionType": 1, ' + LINEAR_DATA.format(component=1, window=1) + '}}]'),
        (lambda loads: loads.create_domain_constant(Thing(3), Thing(4), [0, 0.0, -10.0]),
         '["AddDomainConstant", {"Data": {"LoadCaseId": 3, "DomainId": 4, "qx": 0, "qy": 0.0, "qz": -10.0, '
         '"DistributionType": 0, "SystemGLR": 0}}]'),
        (lambda loads: loads.create_domain_constant(
            Thing(3), Thing(4), (1.0, 2.0, 3.0), distribution_type=plexum.Load.SurfaceDistributionType.PROJECTED,
            system=plexum.Load.System.REFERENCE),
         '["AddDomainConstant", {"Data": {"LoadCaseId": 3, "DomainId": 4, "qx": 1.0, "qy": 2.0, "qz": 3.0, '
         '"DistributionType": 1, "SystemGLR": 2}}]'),
        (lambda loads: loads.create_domain_self_weight(Thing(6), Thing(7)),
         '["AddDomainSelfWeight", {"DomainId": 7, "LoadCaseId": 6}]'),
        (lambda loads: loads.create_beam_self_weight(Thing(6), Thing(8)),
         '["AddBeamSelfWeight", {"LineId": 8, "LoadCaseId": 6}]'),
    ],
    ids=["linear", "linear-options", "linear-y", "constant", "constant-options", "domain-self-weight",
         "beam-self-weight"],
)
def test_load_records(create, record):
    loads = plexum.LoadInterface()
    load = create(loads)
    assert functions(loads) == f"[{record}]"
    assert type(load) is plexum.Load and vars(load) == {"_id": 1} and list(loads) == [load]


def test_loads_of_every_kind_share_one_identifier_sequence():
    loads = plexum.LoadInterface()
    case, domain = Thing(1), Thing(1)
    made = [loads.create_beam_self_weight(case, domain), linear(case, domain)(loads),
            loads.create_domain_constant(case, domain, (0, 0, 1)), loads.create_domain_self_weight(case, domain)]
    assert [load.id for load in made] == [1, 2, 3, 4] and list(loads) == made


@pytest.mark.parametrize("component", [plexum.Load.Axis.XX, plexum.Load.Axis.YY, plexum.Load.Axis.ZZ, 0, "X", None])
def test_linear_load_needs_a_translational_component(component):
    loads = plexum.LoadInterface()
    loads.create_domain_self_weight(Thing(1), Thing(1))
    before = state(loads)
    with pytest.raises(ModelError) as error:
        linear(Thing(1), Thing(1), component=component)(loads)
    assert str(error.value) == "'component' must be one of (X, Y, Z)" and state(loads) == before


@pytest.mark.parametrize(
    "operation",
    [
        linear(object(), Thing(1)),
        linear(Thing(1), None),
        linear(Thing(1), Thing(1), load=(1.0, 2.0)),
        linear(Thing(1), Thing(1), point_3=(0, 0)),
        linear(Thing(1), Thing(1), point_1=5),
        linear(Thing(1), Thing(1), distribution_type=0),
        lambda loads: loads.create_domain_constant(Thing(1), Thing(1), (0, 0)),
        lambda loads: loads.create_domain_constant(Thing(1), Thing(1), (0, 0, 1), system=2),
        lambda loads: loads.create_domain_constant(Thing(1), Thing(1), (0, 0, 1), distribution_type="SURFACE"),
        lambda loads: loads.create_domain_self_weight(None, Thing(1)),
        lambda loads: loads.create_beam_self_weight(Thing(1), object()),
    ],
)
def test_load_failures_leave_nothing_behind(operation):
    loads = plexum.LoadInterface()
    loads.create_beam_self_weight(Thing(1), Thing(1))
    before = state(loads)
    with pytest.raises((AttributeError, IndexError, TypeError)):
        operation(loads)
    assert state(loads) == before


@pytest.mark.parametrize(
    "operation",
    [
        lambda combinations, case: combinations.create(1, {case: 1.0}),
        lambda combinations, case: combinations.create(Type.ULS, {case: 1.0, object(): 2.0}),
        lambda combinations, case: combinations.create(Type.ULS, [case]),
        lambda combinations, case: combinations.create(Type.ULS, None),
    ],
)
def test_combination_failures_leave_nothing_behind(operation):
    combinations = plexum.LoadCombinationInterface()
    case = plexum.LoadCaseInterface().create()
    combinations.create(Type.OTHER, {case: 1.0})
    before = state(combinations)
    with pytest.raises((AttributeError, TypeError)):
        operation(combinations, case)
    assert state(combinations) == before


@pytest.mark.parametrize(
    "call",
    [
        lambda loads, cases, combinations: loads.create_domain_linear(Thing(1), Thing(1), (0, 0, 1),
                                                                      plexum.Load.Axis.Z, (0, 0, 0), (1, 0, 0),
                                                                      (0, 1, 0)),
        lambda loads, cases, combinations: loads.create_domain_linear(Thing(1), Thing(1), (0, 0, 1),
                                                                      component=plexum.Load.Axis.Z,
                                                                      point_1=(0, 0, 0), point_2=(1, 0, 0)),
        lambda loads, cases, combinations: loads.create_domain_constant(Thing(1), Thing(1), (0, 0, 1),
                                                                        plexum.Load.SurfaceDistributionType.SURFACE),
        lambda loads, cases, combinations: loads.create_beam_self_weight(Thing(1)),
        lambda loads, cases, combinations: combinations.create(Type.ULS, {}, "name"),
        lambda loads, cases, combinations: cases.create("a", "b"),
    ],
    ids=["linear-positional", "linear-missing-point", "constant-positional", "self-weight-missing", "combination-name-positional",
         "case-too-many"],
)
def test_arguments_follow_the_signatures(call):
    loads, cases, combinations = plexum.LoadInterface(), plexum.LoadCaseInterface(), plexum.LoadCombinationInterface()
    with pytest.raises(TypeError):
        call(loads, cases, combinations)
    assert (len(loads), len(cases), len(combinations)) == (0, 0, 0) and functions(loads) == "[]"


def test_replaced_object_classes_are_honoured():
    class CountedLoad(plexum.Load):
        made = 0

        def __init__(self, id_):
            super().__init__(id_)
            CountedLoad.made += 1

    loads = plexum.LoadInterface()
    with mock.patch.object(plexum, "Load", CountedLoad):
        load = loads.create_beam_self_weight(Thing(1), Thing(1))
    assert type(load) is CountedLoad and CountedLoad.made == 1 and load.id == 1


# ------------------------------------------------------------ enumerations

@pytest.mark.parametrize(
    "enumeration, qualname, members",
    [
        (plexum.LoadCase._Type, "LoadCase._Type", [("STANDARD", 0)]),
        (plexum.Load.DistributionType, "Load.DistributionType", [("GLOBAL", 0), ("LOCAL", 1), ("PROJECTED", 2)]),
        (plexum.Load.SurfaceDistributionType, "Load.SurfaceDistributionType", [("SURFACE", 0), ("PROJECTED", 1)]),
        (plexum.Load.System, "Load.System", [("GLOBAL", 0), ("LOCAL", 1), ("REFERENCE", 2)]),
        (plexum.Load._LoadDistributionType, "Load._LoadDistributionType", [("CONSTANT", 0), ("LINEAR", 1)]),
        (plexum.Load.Axis, "Load.Axis", [("X", 0), ("Y", 1), ("Z", 2), ("XX", 3), ("YY", 4), ("ZZ", 5)]),
        (Type, "LoadCombination.Type",
         [("OTHER", 0), ("SLS_1", 1), ("SLS_2", 2), ("SLS_3", 3), ("ULS_1", 4), ("ULS_2", 5), ("ULS_3", 6)]
         + [(name, value) for value, name in enumerate(
             ["ULS_ALL", "ULS_AB", "ULS_A", "ULS_B", "ULS_ALL_AB"] + [f"ULS_A{i}" for i in range(1, 9)], start=7)]),
    ],
)
def test_enumerations(enumeration, qualname, members):
    import enum

    assert issubclass(enumeration, enum.Enum) and enumeration.__qualname__ == qualname
    assert [(m.name, m.value) for m in enumeration] == members


@pytest.mark.parametrize(
    "alias, member",
    [("SLS_CHAR", "SLS_1"), ("SLS_FREQ", "SLS_2"), ("SLS_QUASI", "SLS_3"), ("ULS", "ULS_1"),
     ("ULS_SEISMIC", "ULS_2"), ("ULS_EXCEPTIONAL", "ULS_3")],
)
def test_combination_type_aliases(alias, member):
    assert Type[alias] is Type[member] and Type[alias].name == member
    assert list(Type.__members__).index(alias) == list(Type.__members__).index(member) + 1
