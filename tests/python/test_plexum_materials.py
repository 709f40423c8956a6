"""Materials and cross-sections: their records, names and identifiers."""

import json
from unittest import mock

import pytest

from tessel.errors import ModelError
from tessel.external import plexum

REQUIRED = {"e_x": 30e6, "nu_x": 0.2, "rho": 2500, "f_ck": 30e3, "gamma_c": 1.5, "alpha_cc": 1.0}


def concrete(name="1", code="", ex=30e6, ey=30e6, ez=30e6, nux=0.2, nuy=0.2, nuz=0.2, ax=0.0, ay=0.0, az=0.0,
             rho=2500, fck=30e3, gc=1.5, acc=1.0, fit=0.0):
    return ["AddConcrete_EuroCode", {
        "NationalDesignName": "", "MaterialDesignName": code, "Name": name, "FillColour": 0, "ContourColour": 0,
        "Ex": ex, "Ey": ey, "Ez": ez, "Nux": nux, "Nuy": nuy, "Nuz": nuz, "Alfax": ax, "Alfay": ay, "Alfaz": az,
        "Rho": rho, "Fck": fck, "GammaC": gc, "Alfacc": acc, "Fit": fit}]


def functions(interface):
    return json.dumps(interface._instructions._functions)


@pytest.mark.parametrize(
    "extra, expected",
    [
        ({}, concrete()),
        ({"e_y": 0.0, "nu_z": 0, "alpha_x": 1e-5}, concrete(ey=0.0, nuz=0, ax=1e-5, ay=1e-5, az=1e-5)),
        ({"e_y": 1, "e_z": 2, "nu_y": 0.1, "nu_z": 0.3, "alpha_x": 1e-5, "alpha_y": 2e-5, "alpha_z": 0.0,
          "phi_t": 2.5, "material_code": "C30/37", "name": "Concrete"},
         concrete(name="Concrete", code="C30/37", ey=1, ez=2, nuy=0.1, nuz=0.3, ax=1e-5, ay=2e-5, az=0.0, fit=2.5)),
        ({"name": "", "material_code": ""}, concrete()),
        ({"name": None, "material_code": None}, concrete()),
    ],
)
def test_concrete_record(extra, expected):
    materials = plexum.MaterialInterface()
    material = materials.create_concrete_eurocode(**REQUIRED, **extra)
    assert functions(materials) == json.dumps([expected])
    assert vars(material) == {"_id": 1, "_name": expected[1]["Name"]} and list(materials) == [material]
    assert isinstance(material, plexum.Material) and material.name == expected[1]["Name"]


def test_catalog_record_and_no_name_check():
    materials = plexum.MaterialInterface()
    a = materials.add_from_catalog("C12/15", plexum.Material.DesignCode.EURO_CODE)
    b = materials.add_from_catalog(name="C12/15", national_design_code=plexum.Material.DesignCode.EURO_CODE_SK)
    assert functions(materials) == ('[["AddFromCatalog", {"NationalDesignCode": 2, "MaterialName": "C12/15"}], '
                                    '["AddFromCatalog", {"NationalDesignCode": 25, "MaterialName": "C12/15"}]]')
    assert (a.id, a.name, b.id, b.name) == (1, "C12/15", 2, "C12/15")


@pytest.mark.parametrize(
    "first, second, message",
    [
        (lambda m: m.create_concrete_eurocode(**REQUIRED, name="2"), lambda m: m.create_concrete_eurocode(**REQUIRED),
         "Material with name '2' already exists"),
        (lambda m: m.add_from_catalog("C12/15", plexum.Material.DesignCode.EURO_CODE),
         lambda m: m.create_concrete_eurocode(**REQUIRED, name="C12/15"), "Material with name 'C12/15' already exists"),
        (lambda m: m.create_concrete_eurocode(**REQUIRED),
         lambda m: m.create_concrete_eurocode(**REQUIRED, name="1"), "Material with name '1' already exists"),
    ],
)
def test_duplicate_material_name_leaves_nothing_behind(first, second, message):
    materials = plexum.MaterialInterface()
    first(materials)
    before = functions(materials)
    with pytest.raises(ModelError) as raised:
        second(materials)
    assert str(raised.value) == message
    assert functions(materials) == before and len(materials) == 1


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda m: m.create_concrete_eurocode(30e6, 0.2, 2500, 30e3, 1.5, 1.0), TypeError),
        (lambda m: m.create_concrete_eurocode(**{k: v for k, v in REQUIRED.items() if k != "alpha_cc"}), TypeError),
        (lambda m: m.add_from_catalog("C12/15"), TypeError),
        (lambda m: m.add_from_catalog("C12/15", 2), AttributeError),
        (lambda m: m.add_from_catalog("C12/15", None), AttributeError),
    ],
)
def test_material_argument_failures_leave_nothing_behind(call, error):
    materials = plexum.MaterialInterface()
    with pytest.raises(error):
        call(materials)
    assert len(materials) == 0 and materials._serialize() == {"Functions": [], "Properties": []}


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda c: c.create_circular(0.3), '["AddCircle", {"Name": "1", "d": 0.3}]'),
        (lambda c: c.create_circular(diameter=1, name="D1"), '["AddCircle", {"Name": "D1", "d": 1}]'),
        (lambda c: c.create_rectangular(0.3, 0.5), '["AddRectangular", {"Name": "1", "b": 0.3, "h": 0.5, "Process": 0}]'),
        (lambda c: c.create_rectangular(0.3, 0.5, process=plexum.CrossSection.Process.WELDED, name=""),
         '["AddRectangular", {"Name": "1", "b": 0.3, "h": 0.5, "Process": 2}]'),
        (lambda c: c.create_rectangular(width=1, height=2, name="R"),
         '["AddRectangular", {"Name": "R", "b": 1, "h": 2, "Process": 0}]'),
    ],
)
def test_cross_section_records(make, expected):
    sections = plexum.CrossSectionInterface()
    section = make(sections)
    assert functions(sections) == f"[{expected}]"
    assert isinstance(section, plexum.CrossSection) and vars(section) == {"_id": 1, "_name": json.loads(expected)[1]["Name"]}


def test_cross_sections_share_identifiers_and_names():
    sections = plexum.CrossSectionInterface()
    circle = sections.create_circular(0.2, name="2")
    with pytest.raises(ModelError, match="^Cross-section with name '2' already exists$"):
        sections.create_rectangular(0.2, 0.4)
    with pytest.raises(ModelError, match="^Cross-section with name '2' already exists$"):
        sections.create_circular(0.5, name="2")
    rectangle = sections.create_rectangular(0.2, 0.4, name="R")
    assert [s.id for s in sections] == [1, 2] and sections[1] is rectangle and circle in sections
    assert [f[0] for f in sections._instructions._functions] == ["AddCircle", "AddRectangular"]
    assert sections.create_circular(0.1).name == "3"


def test_materials_and_cross_sections_have_separate_name_spaces():
    materials, sections = plexum.MaterialInterface(), plexum.CrossSectionInterface()
    assert materials.create_concrete_eurocode(**REQUIRED).name == "1"
    assert sections.create_circular(0.3).name == "1"


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda c: c.create_rectangular(0.3, 0.5, 2), TypeError),
        (lambda c: c.create_rectangular(0.3, 0.5, process=2), AttributeError),
        (lambda c: c.create_circular(0.3, "name"), TypeError),
        (lambda c: c.create_circular(), TypeError),
    ],
)
def test_cross_section_argument_failures_leave_nothing_behind(call, error):
    sections = plexum.CrossSectionInterface()
    with pytest.raises(error):
        call(sections)
    assert len(sections) == 0 and sections._instructions._functions == []


def test_enumerations():
    codes = [(m.name, m.value) for m in plexum.Material.DesignCode]
    assert codes[:4] == [("OTHER", 0), ("HUNGARIAN_MSZ", 1), ("EURO_CODE", 2), ("ROMANIAN_STAS", 4)]
    assert len(codes) == 25 and [v for _, v in codes] == [v for v in range(26) if v != 3]
    assert dict(codes)["EURO_CODE_NL"] == 12 and codes[-1] == ("EURO_CODE_SK", 25)
    with pytest.raises(ValueError):
        plexum.Material.DesignCode(3)
    assert [(m.name, m.value) for m in plexum.CrossSection.Process] == [
        ("OTHER", 0), ("ROLLED", 1), ("WELDED", 2), ("COLD_FORMED", 3)]
    assert plexum.Material.DesignCode.__qualname__ == "Material.DesignCode"
    assert plexum.CrossSection.Process.__qualname__ == "CrossSection.Process"


def test_name_is_read_only_and_objects_are_plain():
    material = plexum.Material(4, "M")
    with pytest.raises(AttributeError):
        material.name = "other"
    assert vars(plexum.CrossSection(2, "C")) == {"_id": 2, "_name": "C"} and material.id == 4


def test_a_replaced_material_class_is_used():
    class Tagged(plexum.Material):
        def __init__(self, id_, name):
            super().__init__(id_, name)
            self.tag = "made"

    materials = plexum.MaterialInterface()
    with mock.patch.object(plexum, "Material", Tagged):
        made = materials.add_from_catalog("S235", plexum.Material.DesignCode.EURO_CODE)
    assert type(made) is Tagged and vars(made) == {"_id": 1, "_name": "S235", "tag": "made"}
