"""The record table of the worker: every builder operation's record matches it, and replay refuses what does not."""

import json
import math

import pytest

from tessel.external.plexum import (
    CircleArc, CrossSection, Domain, Load, LoadCombination, Material, Model, PlexumAnalysis,
)
from tessel.local import ERROR, WorkerFailure
from tessel.local.plexum_worker import PlexumWorker
from tessel.local.plexum_worker.replay import MODEL_FUNCTIONS, MODEL_PROPERTIES, RESULT_FUNCTIONS
from tessel.local.plexum_worker.schema import (
    INTEGER, INTEGERS, MODEL, MODEL_INTERFACES, NUMBER, NUMBERS, RESULTS, TEXT, Kind, problem,
)


def _model_with_every_operation():
    """A model on which every operation of the builder was called once (twice where an option writes another
    record shape), with every results request."""
    model = Model()
    references = model.references
    vector = references.create_vector((0, 0, 0), (0, 0, 1))
    references.create_point(1.0, 2.0, 3.0)
    references.create_axis((0, 0, 0), (1, 0, 0))
    references.create_plane((0, 0, 0), (1, 0, 0), (0, 1, 0))
    references.create_angle(0.5)
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    model.materials.create_concrete_eurocode(e_x=3e7, nu_x=0.2, rho=2500.0, f_ck=30e3, gamma_c=1.5, alpha_cc=1.0,
                                             material_code="C", name="user")
    section = model.cross_sections.create_rectangular(0.3, 0.6, process=CrossSection.Process.ROLLED)
    model.cross_sections.create_circular(0.4)
    a, b, c = model.nodes.create(0, 0, 0), model.nodes.create(6.0, 0.0, 0.0), model.nodes.create(6.0, 6.0, 0.0)
    first = model.lines.create(a, b)
    arc = model.lines.create(b, c, CircleArc((6.0, 3.0, 0.0), (0.0, 0.0, 1.0), math.pi))
    model.lines.create(c, a)
    beam = first.define_as_beam(concrete, section, local_z_reference=vector)
    first.split_by_number(2)
    domain = model.domains.create([first, arc, model.lines[2]], surface_type=Domain.SurfaceType.SHELL,
                                  thickness=0.2, material=concrete)
    domain.generate_mesh(list(Domain.MeshGeometry)[0], 0.5, fit_to_point_loads=0.1)
    domain.set_eccentricity(Domain.EccentricityType.TWO_WAY, ecc_1=0.1, p1=(0, 0, 0), ecc_2=0.2, p2=(1, 0, 0),
                            ecc_3=0.3, p3=(0, 1, 0))
    support = model.node_supports.create_relative_to_member(a, stiffness_x=1.0, resistance_zz=2.0)
    model.line_supports.create_on_member(beam, 1.0, 2.0, 3.0)
    dead = model.load_cases.create("dead")
    model.loads.create_beam_self_weight(dead, beam)
    model.loads.create_domain_self_weight(dead, domain)
    model.loads.create_domain_constant(dead, domain, (0.0, 0.0, -1.0))
    model.loads.create_domain_linear(dead, domain, (1.0, 2.0, 3.0), component=list(Load.Axis)[2],
                                     point_1=(0, 0, 0), point_2=(1, 0, 0), point_3=(0, 1, 0), load_on_hole=True)
    combination = model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35})
    cut = model.sections.create((0, 0, 0), (1, 0, 0), (0, 1, 0))
    for by_load_case in (True, False):
        model.results.nodal_displacements([a], by_load_case=by_load_case)
        model.results.nodal_support_forces([support], by_load_case=by_load_case)
        model.results.line_forces([beam], by_load_case=by_load_case)
    model.results.section_surface_forces([cut], [combination])
    model.results.section_surface_stresses([cut], [combination])
    return model


def _builder_records(model):
    """(list, kind, name, parameters) of every record of the job content the builder sends."""
    content = json.loads(json.dumps(PlexumAnalysis(model, return_results=True)._generate_job_content()._data))
    found = []
    for part, table in (("Model", MODEL), ("Results", RESULTS)):
        for key in table:
            for kind in ("Functions", "Properties"):
                found += [(key, kind, name, params) for name, params in content[part][key][kind]]
    return content, found


MODEL_BUILT = _model_with_every_operation()
CONTENT, RECORDS = _builder_records(MODEL_BUILT)


def _keys_and_kinds(shape, params, path=""):
    """The record's keys in order, each with the table's kind (or the nested table's keys) as a flat list."""
    out = []
    for (key, kind), actual in zip(shape.items(), params):
        assert actual == key, f"key {path}{actual} where the table has {path}{key}"
        if isinstance(kind, Kind):
            assert kind(params[key]), f"{path}{key} = {params[key]!r} is not {kind.name}"
        else:
            out += _keys_and_kinds(kind, params[key], f"{path}{key}.")
        out.append(path + key)
    assert len(params) == len(shape), f"{path}: keys {list(params)}, the table has {list(shape)}"
    return out


def test_the_builder_writes_every_record_of_the_table():
    written = {(key, kind, name) for key, kind, name, _ in RECORDS}
    tabled = {(key, "Functions", name) for table in (MODEL, RESULTS) for key, entry in table.items()
              for name in entry.functions}
    tabled |= {(key, "Properties", name) for key, entry in MODEL.items() for name in entry.properties}
    assert written == tabled
    assert list(CONTENT["Model"]) == list(MODEL)
    assert list(CONTENT["Results"]) == ["LoadCombinations", "LoadCases", *RESULTS]


@pytest.mark.parametrize(("key", "kind", "name", "params"), RECORDS,
                         ids=[f"{key}-{name}-{k}" for k, (key, _, name, _) in enumerate(RECORDS)])
def test_a_builder_record_has_the_table_s_keys_in_order_and_kinds(key, kind, name, params):
    table = (MODEL.get(key) or RESULTS[key])
    shape = (table.functions if kind == "Functions" else table.properties)[name]
    _keys_and_kinds(shape, params)
    assert problem(shape, params) is None


def test_every_record_of_the_table_has_a_replay_handler():
    assert {key: set(entry.functions) for key, entry in MODEL.items()} == \
        {key: set(handlers) for key, handlers in MODEL_FUNCTIONS.items()}
    assert {key: set(entry.properties) for key, entry in MODEL.items()} == \
        {key: set(handlers) for key, handlers in MODEL_PROPERTIES.items()}
    assert {key: set(entry.functions) for key, entry in RESULTS.items()} == \
        {key: set(handlers) for key, handlers in RESULT_FUNCTIONS.items()}
    assert set(MODEL_INTERFACES) == set(MODEL) - {"Calculation"}
    for key, attribute in MODEL_INTERFACES.items():  # each interface serialises to its list
        assert json.loads(json.dumps(getattr(MODEL_BUILT, attribute)._serialize())) == CONTENT["Model"][key]


def _content():
    return json.loads(json.dumps(CONTENT)) | {"version": 1, "command": "CreateModel"}


def _params(content, key, name):
    part = "Model" if key in MODEL else "Results"
    return next(params for record_name, params in content[part][key]["Functions"] if record_name == name)


def _drop(key, name, path):
    def change(content):
        *inner, last = path.split(".")
        target = _params(content, key, name)
        for step in inner:
            target = target[step]
        del target[last]
    return change


def _add(key, name, extra):
    def change(content):
        _params(content, key, name)["Extra"] = extra
    return change


def _set(key, name, path, value):
    def change(content):
        *inner, last = path.split(".")
        target = _params(content, key, name)
        for step in inner:
            target = target[step]
        target[last] = value
    return change


def _extra_list(part):
    def change(content):
        content[part]["Surprises"] = {"Functions": [], "Properties": []}
    return change


@pytest.mark.parametrize(("change", "message"), [
    (_drop("Lines", "Add", "GeomData.EllipseArc.Ratio"),
     'Lines record 1 "Add": parameter "GeomData.EllipseArc.Ratio" is missing'),
    (_drop("Sections", "Add", "Section.ResultBlock"),
     'Sections record 1 "Add": parameter "Section.ResultBlock" is missing'),
    (_add("Materials", "AddFromCatalog", 1), 'Materials record 1 "AddFromCatalog": unknown parameter "Extra"'),
    (_add("Forces", "LineForcesByLoadCaseId", 1),
     'Forces record 2 "LineForcesByLoadCaseId": unknown parameter "Extra"'),
    (_set("Domains", "Add", "SurfaceAttr.NonLinearity.z", 0.5),
     'Domains record 1 "Add": parameter "SurfaceAttr.NonLinearity.z" is not an integer: 0.5'),
    (_set("Domains", "Add", "LineIds", [1, "2"]),
     'Domains record 1 "Add": parameter "LineIds" is not a list of integers'),
    (_set("LoadCombinations", "Add", "Factors", [True]),
     'LoadCombinations record 1 "Add": parameter "Factors" is not a list of finite numbers'),
    (_set("CrossSections", "AddCircle", "Name", 2),
     'CrossSections record 2 "AddCircle": parameter "Name" is not text: 2'),
    (_set("Loads", "AddDomainLinear", "Data", [1]),
     'Loads record 4 "AddDomainLinear": parameter "Data" is not an object'),
    (_extra_list("Model"), '"Model" has an unknown list "Surprises"'),
    (_extra_list("Results"), '"Results" has an unknown list "Surprises"'),
])
def test_replay_refuses_a_record_off_the_table(change, message):
    content = _content()
    PlexumWorker()(content)  # as built, the content is accepted
    change(content)
    with pytest.raises(WorkerFailure) as raised:
        PlexumWorker()(content)
    assert (raised.value.status, raised.value.message) == (ERROR, message)


@pytest.mark.parametrize(("kind", "good", "bad"), [
    (INTEGER, [0, -3], [1.0, True, "1", None]),
    (NUMBER, [0, 1.5, -2], [float("nan"), float("inf"), False, "1.0", None]),
    (TEXT, ["", "C30/37"], [1, None, b"x"]),
])
def test_value_kinds(kind, good, bad):
    assert all(kind(value) for value in good)
    assert not any(kind(value) for value in bad)


class _Text(str):
    pass


_SHAPE = {"n": INTEGER, "x": NUMBER, "name": TEXT, "ids": INTEGERS, "values": NUMBERS, "at": {"x": NUMBER}}
_GOOD = {"n": 1, "x": 2.5, "name": "a", "ids": [1, 2], "values": [1.0, 2], "at": {"x": 0.0}}


@pytest.mark.parametrize("change", [
    {}, {"x": 3}, {"x": 2 ** 70}, {"ids": []},                                   # fit the table
    {"n": True}, {"n": 1.0}, {"x": math.nan}, {"x": -math.inf}, {"x": 10 ** 400}, {"name": _Text("a")},
    {"ids": [1, True]}, {"values": [1.0, math.inf]}, {"values": (1.0,)}, {"at": {"x": "0"}}, {"at": {}},
    {"at": None}, {"n": None},
    {"extra": 1},
])
def test_the_quick_test_of_a_record_never_passes_what_the_table_refuses(change):
    from tessel.local.plexum_worker.schema import fits

    params = {**_GOOD, **change}
    found = problem(_SHAPE, params)
    # The quick test is exact for what json.loads makes: it passes those and refuses every record with a
    # problem; what it cannot judge (an int beyond 64 bits, a subclass) goes to the table's checks.
    assert not (fits(_SHAPE, params) and found is not None)
    assert fits(_SHAPE, params) == (found is None and change in ({}, {"x": 3}, {"ids": []}))
