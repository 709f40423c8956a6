"""Replay of a Plexum job's records into a resolved model, checked as Plexum checks them.

Records are applied list by list in the model's key order and, within a list,
in record order; a record may only name objects made before it. Each record is
first checked against the record table (`schema`): a list, function or
property it does not hold, or parameters with a key missing, unknown or of the
wrong kind, are refused. Each record then goes to its handler, found in the
dispatch tables at the end of this module. Every problem
ends the replay with a `ReplayError` whose message names the list, the record's
position (1-based) and function name, and what is wrong, for example
``Lines record 4 "DefineAsBeam": material 3 does not exist``.

What the records describe correctly but the worker cannot compute (domain
eccentricities of plates and membranes, non-linear supports,
resistances, tapered beams, beam eccentricities, loads in a reference system,
domain reference axes and foundations) is recorded in ``Model.unsupported``;
the analysis refuses it, a model-only job describes it.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import Any, NoReturn, TypeVar

from . import schema, sections
from .errors import ReplayError
from .geometry import add, cross, distance, dot, norm, rotate, scale, sub
from .model import (
    COMBINATION_TYPES, CROSS_SECTION_PROCESSES, ECCENTRICITY_TYPES, NON_LINEARITIES, REFERENCE_TYPES,
    SUPPORT_COMPONENTS, Arc, Beam, CrossSection, Domain, Line, LineSupport, Load, LoadCase, LoadCombination,
    Material, Model, Node, NodeSupport, Reference, Request, ResultsRequest, SectionCut, Vector,
)

# Design codes that exist, and those whose catalogue holds the EN 1992-1-1 concrete grades.
DESIGN_CODES = set(range(26)) - {3}
EUROCODE_FAMILY = {2, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 25}
_Item = TypeVar("_Item")
# The linear member of the load distribution types (0 is constant).
LINEAR = 1
# Coordinates farther out than this (m) leave too few digits for lengths, areas and stiffnesses.
MAX_COORDINATE = 1e9
_MISSING = object()


class _Params:
    """Typed access to one record's parameters, checked against the record table; a bad value names the record.

    Every record reaching a handler fits its shape, so a handler may read a value directly where its kind in the
    table is all it needs (an integer, a finite number as float(), an object of the table's keys).
    """

    def __init__(self, label: str, params: Any, shape: schema.Shape | None = None) -> None:
        self.label = label
        if not isinstance(params, dict):
            self.fail("the parameters are not an object")
        if shape is not None:
            problem = schema.problem(shape, params)
            if problem is not None:
                self.fail(problem)
        self.params: dict[str, Any] = params

    def fail(self, what: str) -> NoReturn:
        raise ReplayError(f"{self.label}: {what}")

    def get(self, key: str, source: dict[str, Any] | None = None, path: str = "") -> Any:
        source = self.params if source is None else source
        if key not in source:
            self.fail(f'parameter "{path}{key}" is missing')
        return source[key]

    def number(self, key: str, source: dict[str, Any] | None = None, path: str = "") -> float:
        value = (self.params if source is None else source).get(key, _MISSING)
        if type(value) is float and value - value == 0.0:  # the common case: a finite float
            return value
        value = self.get(key, source, path)
        if not schema.NUMBER(value):
            self.fail(f'parameter "{path}{key}" is not a finite number: {value!r}')
        return float(value)

    def integer(self, key: str, source: dict[str, Any] | None = None, path: str = "") -> int:
        value = (self.params if source is None else source).get(key, _MISSING)
        if type(value) is int:  # the common case (a bool is not one)
            return value
        value = self.get(key, source, path)
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(f'parameter "{path}{key}" is not an integer: {value!r}')
        return value

    def text(self, key: str) -> str:
        value = self.get(key)
        if not isinstance(value, str):
            self.fail(f'parameter "{key}" is not text: {value!r}')
        return value

    def obj(self, key: str, source: dict[str, Any] | None = None, path: str = "") -> dict[str, Any]:
        value = self.get(key, source, path)
        if not isinstance(value, dict):
            self.fail(f'parameter "{path}{key}" is not an object')
        return value

    def point(self, key: str, source: dict[str, Any] | None = None, path: str = "") -> Vector:
        value = self.obj(key, source, path)
        inner = f"{path}{key}."
        return (self.number("x", value, inner), self.number("y", value, inner), self.number("z", value, inner))

    def id_list(self, key: str) -> list[int]:
        value = self.get(key)
        if not isinstance(value, list) or any(isinstance(v, bool) or not isinstance(v, int) for v in value):
            self.fail(f'parameter "{key}" is not a list of integers')
        return value

    def components(self, key: str, names: tuple[str, ...]) -> dict[str, float]:
        value = self.obj(key)
        return {name: self.number(name, value, f"{key}.") for name in names}

    def choices(self, key: str, names: tuple[str, ...], allowed: dict[int, str]) -> dict[str, int]:
        value = self.obj(key)
        result = {}
        for name in names:
            code = self.integer(name, value, f"{key}.")
            if code not in allowed:
                self.fail(f'"{key}.{name}" {code} is not a known value')
            result[name] = code
        return result


def _records(content: dict[str, Any], where: str, key: str) -> tuple[list[Any], list[Any]]:
    lists = content.get(key)
    if not isinstance(lists, dict):
        raise ReplayError(f'{where} has no list "{key}"')
    functions, properties = lists.get("Functions"), lists.get("Properties")
    if not isinstance(functions, list) or not isinstance(properties, list):
        raise ReplayError(f'{where} list "{key}" does not hold the arrays "Functions" and "Properties"')
    return functions, properties


def _split(record: Any, key: str, position: int, kind: str = "record") -> tuple[str, Any]:
    if not isinstance(record, list) or len(record) != 2 or not isinstance(record[0], str):
        raise ReplayError(f"{key} {kind} {position}: not a [name, parameters] pair")
    return record[0], record[1]


def _checked(key: str, table: schema.RecordList, record: Any, position: int,
             kind: str = "record") -> tuple[str, _Params]:
    """One record of a list, its name known to the record table and its parameters of the table's shape."""
    if type(record) is list and len(record) == 2 and type(record[0]) is str:
        # The common case, a record that fits its shape, tested once without the long way's steps.
        name, params = record
        shape = (table.functions if kind == "record" else table.properties).get(name)
        if shape is not None and schema.fits(shape, params):
            p = _Params.__new__(_Params)
            p.label, p.params = f'{key} {kind} {position} "{name}"', params
            return name, p
    name, params = _split(record, key, position, kind)
    shapes = table.functions if kind == "record" else table.properties
    shape = shapes.get(name)
    label = f'{key} {kind} {position} "{name}"'
    if shape is None:
        raise ReplayError(f"{label}: unknown {'function' if kind == 'record' else 'property'}")
    return name, _Params(label, params, shape)


def _unknown_lists(content: dict[str, Any], where: str, known: Any) -> None:
    for key in content:
        if key not in known:
            raise ReplayError(f'{where} has an unknown list "{key}"')


def _find(items: list[_Item], index: int, what: str, p: _Params) -> _Item:
    """The object that the index-th creating record made (1-based)."""
    if 1 <= index <= len(items):
        return items[index - 1]
    p.fail(f"{what} {index} does not exist")


class Replayer:
    """Builds a `Model` and a `ResultsRequest` from the job content."""

    def __init__(self) -> None:
        self.model = Model()
        self._material_names: set[str] = set()
        self._section_names: set[str] = set()
        self._case_names: set[str] = set()
        self._combination_names: set[str] = set()
        self._cut_names: set[str] = set()

    # -- model -----------------------------------------------------------------------------------------------
    def replay_model(self, content: Any) -> Model:
        if not isinstance(content, dict):
            raise ReplayError('the job content has no object "Model"')
        for key, table in schema.MODEL.items():
            functions, properties = _records(content, '"Model"', key)
            handlers = MODEL_FUNCTIONS[key]
            for position, record in enumerate(functions, 1):
                name, p = _checked(key, table, record, position)
                handlers[name](self, p)
            for position, record in enumerate(properties, 1):
                name, p = _checked(key, table, record, position, "property")
                MODEL_PROPERTIES[key][name](self, p)
            if key == "Domains":
                self._check_eccentricities()
        _unknown_lists(content, '"Model"', schema.MODEL)
        return self.model

    def _check_eccentricities(self) -> None:
        """What the analysis cannot do with each domain's eccentricity (its last record counts)."""
        for domain in self.model.domains:
            data = domain.eccentricity
            if data is None or domain.surface_type == 0:
                continue  # a hole has no mid-surface to move
            label = domain.eccentricity_record
            if domain.surface_type in (1, 2):
                self.model.unsupported.append((label, f"domain {domain.id} is a membrane: it has no bending to "
                                                      "take the moments of an eccentricity, which cannot be "
                                                      "computed on membranes"))
            elif domain.surface_type == 3:
                self.model.unsupported.append((label, f"domain {domain.id} is a plate: an eccentricity couples "
                                                      "bending with in-plane forces, which only a shell (surface "
                                                      "type 4) has; it cannot be computed on plates"))

    # References
    def _reference_add(self, p: _Params) -> None:
        item = p.obj("Item")
        kind = p.integer("ReferenceType", item, "Item.")
        if kind not in REFERENCE_TYPES:
            p.fail(f"reference type {kind} does not exist")
        data = p.obj("ReferenceData", item, "Item.")
        if kind == 2:
            vector = p.obj("Vector", data, "Item.ReferenceData.")
            p.point("P1", vector, "Item.ReferenceData.Vector.")
            p.point("P2", vector, "Item.ReferenceData.Vector.")
        reference = Reference(len(self.model.references) + 1, REFERENCE_TYPES[kind], data, p.label)
        self.model.references.append(reference)


    # Materials
    def _concrete(self, p: _Params) -> None:
        name = p.text("Name")
        if name in self._material_names:
            p.fail(f"a material named '{name}' already exists")
        values: dict[str, Any] = {key: p.number(key) for key in (
            "Ex", "Ey", "Ez", "Nux", "Nuy", "Nuz", "Alfax", "Alfay", "Alfaz", "Rho", "Fck", "GammaC", "Alfacc", "Fit")}
        e, nu = values["Ex"], values["Nux"]
        if e <= 0:
            p.fail(f"Young's modulus Ex must be positive, got {e!r}")
        if not 0.0 <= nu < 0.5:
            p.fail(f"Poisson's ratio Nux must be at least 0 and below 0.5, got {nu!r}")
        if values["Rho"] < 0:
            p.fail(f"density Rho must not be negative, got {values['Rho']!r}")
        values["MaterialDesignName"] = p.text("MaterialDesignName")
        orthotropic = (values["Ey"], values["Ez"], values["Nuy"], values["Nuz"]) != (e, e, nu, nu)
        self._material_names.add(name)
        self.model.materials.append(Material(
            len(self.model.materials) + 1, name, "user", e, e / (2.0 * (1.0 + nu)), nu, values["Rho"],
            values["Fck"], p.label, values=values, orthotropic=orthotropic))

    def _catalogue(self, p: _Params) -> None:
        code = p.integer("NationalDesignCode")
        name = p.text("MaterialName")
        if code not in DESIGN_CODES:
            p.fail(f"design code {code} does not exist")
        if code not in EUROCODE_FAMILY:
            p.fail(f"this worker has no material catalogue for design code {code}")
        catalogue = sections.concrete_catalogue()
        grade = catalogue["grades"].get(name)
        if grade is None:
            p.fail(f"material '{name}' is not in the catalogue of design code {code} "
                   "(this worker knows the concrete grades C12/15 to C90/105)")
        e, nu = grade["Ecm"] * 1e6, catalogue["nu"]
        self._material_names.add(name)
        self.model.materials.append(Material(
            len(self.model.materials) + 1, name, "catalogue", e, e / (2.0 * (1.0 + nu)), nu, catalogue["rho"],
            grade["fck"] * 1e3, p.label, design_code=code,
            values={"Ecm": e, "fck": grade["fck"] * 1e3, "fcm": grade["fcm"] * 1e3, "fctm": grade["fctm"] * 1e3,
                    "nu": nu, "rho": catalogue["rho"], "alpha": catalogue["alpha"]}))


    # Nodes
    def _node_add(self, p: _Params) -> None:
        params = p.params
        point = (float(params["x"]), float(params["y"]), float(params["z"]))
        for name, value in zip("xyz", point):
            if abs(value) > MAX_COORDINATE:
                p.fail(f'coordinate "{name}" {value:.6g} m is beyond {MAX_COORDINATE:.0e} m, farther than this '
                       "worker computes in double precision")
        self.model.nodes.append(Node(len(self.model.nodes) + 1, *point))


    # Cross-sections
    def _section_name(self, p: _Params) -> str:
        name = p.text("Name")
        if name in self._section_names:
            p.fail(f"a cross-section named '{name}' already exists")
        self._section_names.add(name)
        return name

    def _circle(self, p: _Params) -> None:
        name, d = self._section_name(p), p.number("d")
        if d <= 0:
            p.fail(f"the diameter d must be positive, got {d!r}")
        self.model.cross_sections.append(CrossSection(
            len(self.model.cross_sections) + 1, name, "circle", {"d": d}, *sections.circle(d), p.label))

    def _rectangle(self, p: _Params) -> None:
        name, b, h = self._section_name(p), p.number("b"), p.number("h")
        if b <= 0 or h <= 0:
            p.fail(f"the width b and height h must be positive, got {b!r} and {h!r}")
        process = p.integer("Process")
        if process not in CROSS_SECTION_PROCESSES:
            p.fail(f"manufacturing process {process} does not exist")
        self.model.cross_sections.append(CrossSection(
            len(self.model.cross_sections) + 1, name, "rectangle", {"b": b, "h": h}, *sections.rectangle(b, h),
            p.label, process=CROSS_SECTION_PROCESSES[process]))


    # Lines
    def _line_add(self, p: _Params) -> None:
        params = p.params
        start = _find(self.model.nodes, params["StartNode"], "node", p)
        end = _find(self.model.nodes, params["EndNode"], "node", p)
        geom_type = params["GeomType"]
        geom = p.obj("GeomData")
        arc = None
        if geom_type == 1:
            circle = p.obj("CircleArc", geom, "GeomData.")
            arc = Arc(p.point("Center", circle, "GeomData.CircleArc."),
                      p.point("NormalVector", circle, "GeomData.CircleArc."),
                      p.number("Alfa", circle, "GeomData.CircleArc."))
            _check_arc(p, start, end, arc)
        elif geom_type != 0:
            p.fail(f"geometry type {geom_type} is not supported (0 straight line, 1 circular arc)")
        if start is end:
            p.fail(f"the line starts and ends at node {start.id}")
        if arc is None and distance(start.point, end.point) == 0.0:
            p.fail(f"nodes {start.id} and {end.id} are at the same position: the line has no length")
        self.model.lines.append(Line(len(self.model.lines) + 1, start, end, arc, p.label))

    def _define_as_beam(self, p: _Params) -> None:
        params, model = p.params, self.model
        material = _find(model.materials, params["MaterialIndex"], "material", p)
        start_css = _find(model.cross_sections, params["StartCrossSectionIndex"], "cross-section", p)
        end_css = _find(model.cross_sections, params["EndCrossSectionIndex"], "cross-section", p)
        line = _find(model.lines, params["LineIndex"], "line", p)
        if start_css is not end_css:
            self.model.unsupported.append((p.label, "tapered beams (different start and end cross-sections) "
                                                    "cannot be computed yet"))
        if any(params["StartEccentricity"].values()) or any(params["EndEccentricity"].values()):  # not all zero
            self.model.unsupported.append((p.label, "beam eccentricities cannot be computed yet"))
        if material.orthotropic:
            self.model.unsupported.append((p.label, f"material {material.id} is orthotropic (Ey, Ez, Nuy or Nuz "
                                                    "differ from Ex, Nux), which beams cannot use yet"))
        line.beam = Beam(material, start_css, p.label)

    def _split_by_n(self, p: _Params) -> None:
        n = p.integer("N")
        line = _find(self.model.lines, p.integer("LineIndex"), "line", p)
        if n < 1:
            p.fail(f"N must be at least 1, got {n}")
        line.parts *= n
        line.split_record = p.label

    def _line_reference(self, p: _Params) -> None:
        reference = _find(self.model.references, p.integer("ReferenceIndex"), "reference", p)
        line = _find(self.model.lines, p.integer("LineIndex"), "line", p)
        if reference.kind != "vector":
            p.fail(f"reference {reference.id} is a {reference.kind}, not a vector")
        direction = reference.vector()
        if norm(direction) == 0.0:
            p.fail(f"reference {reference.id} is a vector of length zero")
        if line.arc is None:
            axis = sub(line.end.point, line.start.point)
            if norm(cross(axis, direction)) <= 1e-9 * norm(axis) * norm(direction):
                p.fail(f"reference {reference.id} is parallel to line {line.id}: it cannot give its local z")
        line.reference, line.reference_record = reference, p.label


    # Domains
    def _domain_add(self, p: _Params) -> None:
        line_ids = p.id_list("LineIds")
        for line_id in line_ids:
            _find(self.model.lines, line_id, "line", p)
        attributes = p.obj("SurfaceAttr")
        material = _find(self.model.materials, p.integer("MaterialId", attributes, "SurfaceAttr."), "material", p)
        thickness = p.number("Thickness", attributes, "SurfaceAttr.")
        surface_type = p.integer("SurfaceType", attributes, "SurfaceAttr.")
        if not 0 <= surface_type <= 4:
            p.fail(f"surface type {surface_type} does not exist")
        if surface_type != 0 and thickness <= 0:
            p.fail(f"the thickness must be positive, got {thickness!r}")
        references = {key: p.integer(key, attributes, "SurfaceAttr.") for key in ("RefZId", "RefXId")}
        for key, reference_id in references.items():
            if reference_id != 0:
                _find(self.model.references, reference_id, "reference", p)
        foundation = p.point("ElasticFoundation", attributes, "SurfaceAttr.")
        non_linear = p.obj("NonLinearity", attributes, "SurfaceAttr.")
        non_linearity = {key: p.integer(key, non_linear, "SurfaceAttr.NonLinearity.") for key in ("x", "y", "z")}
        resistance = p.point("Resistance", attributes, "SurfaceAttr.")
        characteristics = p.integer("Characteristics", attributes, "SurfaceAttr.")
        domain = Domain(len(self.model.domains) + 1, line_ids, material, thickness, surface_type, p.label)
        self.model.domains.append(domain)
        if surface_type != 0:
            if material.orthotropic:
                self.model.unsupported.append((p.label, f"orthotropic material {material.id} cannot be computed "
                                                        "on domains yet"))
            if any(references.values()):
                self.model.unsupported.append((p.label, "domain reference axes (\"RefZId\", \"RefXId\") cannot be "
                                                        "computed yet: a domain's axes follow its plane"))
            if any(foundation) or any(non_linearity.values()) or any(resistance):
                self.model.unsupported.append((p.label, "elastic foundations of domains (\"ElasticFoundation\", "
                                                        "\"NonLinearity\", \"Resistance\") cannot be computed yet"))
            if characteristics != 0:
                self.model.unsupported.append((p.label, f"domain characteristics {characteristics} are not known "
                                                        "to this worker (only 0)"))

    def _generate_mesh(self, p: _Params) -> None:
        parameters = p.obj("MeshParameters")
        domain_ids = p.id_list("DomainIds")
        for domain_id in domain_ids:
            _find(self.model.domains, domain_id, "domain", p)
        size = p.number("MeshSize", parameters, "MeshParameters.")
        if size <= 0:
            p.fail(f"the mesh size must be positive, got {size!r}")
        geometry = p.integer("MeshGeometryType", parameters, "MeshParameters.")
        if not 0 <= geometry <= 2:
            p.fail(f"mesh geometry type {geometry} does not exist")
        for key, count in (("MeshType", 2), ("IsFitToPointLoad", 2), ("IsFitToLineLoad", 2),
                           ("IsFitToSurfaceLoad", 2)):
            value = p.integer(key, parameters, "MeshParameters.")
            if not 0 <= value < count:
                p.fail(f'"MeshParameters.{key}" {value} is not a known value')
        quality = p.integer("QuadMeshQuality", parameters, "MeshParameters.")
        if not 1 <= quality <= 6:
            p.fail(f'"MeshParameters.QuadMeshQuality" {quality} is not a known value (1 to 6)')
        for domain_id in domain_ids:
            self.model.mesh_requests[domain_id] = size
            self.model.mesh_geometries[domain_id] = geometry
            self.model.mesh_records[domain_id] = p.label

    def _set_eccentricity(self, p: _Params) -> None:
        domain = _find(self.model.domains, p.integer("Index"), "domain", p)
        raw = p.obj("DomainExcentricity")
        kind = p.integer("ExcentricityType", raw, "DomainExcentricity.")
        if kind not in ECCENTRICITY_TYPES:
            p.fail(f"eccentricity type {kind} does not exist")
        data: dict[str, Any] = {"ExcentricityType": kind}
        for key in ("exc1", "exc2", "exc3"):
            data[key] = p.number(key, raw, "DomainExcentricity.")
        for key in ("P1", "P2", "P3"):
            data[key] = p.point(key, raw, "DomainExcentricity.")
        p.integer("GroupID", raw, "DomainExcentricity.")
        # Like every setting, the last record naming the domain counts.
        domain.eccentricity, domain.eccentricity_record = data, p.label


    # Supports
    def _beam(self, p: _Params, key: str) -> Line:
        line_id: int = p.params[key]
        if not 1 <= line_id <= len(self.model.lines):
            p.fail(f"beam {line_id} does not exist: there is no line {line_id}")
        line = self.model.lines[line_id - 1]
        if line.beam is None:
            p.fail(f"line {line_id} is not defined as a beam")
        return line

    def _refuse_non_linear(self, p: _Params, non_linearity: dict[str, int], resistance: dict[str, float]) -> None:
        if any(non_linearity.values()):
            self.model.unsupported.append((p.label, "non-linear supports cannot be computed yet"))
        if any(resistance.values()):
            self.model.unsupported.append((p.label, "support resistances cannot be computed yet"))

    def _node_support(self, p: _Params) -> None:
        stiffness = p.components("Stiffnesses", SUPPORT_COMPONENTS)
        non_linearity = p.choices("NonLinearity", SUPPORT_COMPONENTS, NON_LINEARITIES)
        resistance = p.components("Resistances", SUPPORT_COMPONENTS)
        node = _find(self.model.nodes, p.integer("NodeId"), "node", p)
        line = self._beam(p, "BeamId")
        if node is not line.start and node is not line.end:
            p.fail(f"node {node.id} is not an end node of beam {line.id}")
        for name, value in stiffness.items():
            if value < 0:
                p.fail(f'stiffness "{name}" must not be negative, got {value!r}')
        self._refuse_non_linear(p, non_linearity, resistance)
        self.model.node_supports.append(NodeSupport(len(self.model.node_supports) + 1, node, line, stiffness,
                                                    non_linearity, resistance, p.label))


    def _foundation(self, p: _Params) -> None:
        line = self._beam(p, "BeamId")
        stiffness = p.components("StiffnessesXYZ", ("x", "y", "z"))
        non_linearity = p.choices("NonLinearityXYZ", ("x", "y", "z"), NON_LINEARITIES)
        resistance = p.components("ResistancesXYZ", ("x", "y", "z"))
        for name, value in stiffness.items():
            if value < 0:
                p.fail(f'stiffness "{name}" must not be negative, got {value!r}')
        self._refuse_non_linear(p, non_linearity, resistance)
        self.model.line_supports.append(LineSupport(len(self.model.line_supports) + 1, line, stiffness,
                                                    non_linearity, resistance, p.label))


    # Load cases, loads, combinations
    def _load_case(self, p: _Params) -> None:
        name = p.text("Name")
        kind = p.integer("LoadCaseType")
        if kind != 0:
            p.fail(f"load case type {kind} does not exist")
        if name in self._case_names:
            p.fail(f"a load case named '{name}' already exists")
        self._case_names.add(name)
        self.model.load_cases.append(LoadCase(len(self.model.load_cases) + 1, name, kind, p.label))


    def _new_load(self, p: _Params, kind: str, load_case_id: int, **targets: Any) -> None:
        load_case = _find(self.model.load_cases, load_case_id, "load case", p)
        self.model.loads.append(Load(len(self.model.loads) + 1, kind, load_case, p.label, **targets))

    def _domain_load(self, p: _Params, kind: str, data: dict[str, Any]) -> None:
        domain = _find(self.model.domains, p.integer("DomainId", p.params["Data"], "Data."), "domain", p)
        if domain.surface_type == 0:
            p.fail(f"domain {domain.id} is a hole: it carries no load")
        self._new_load(p, kind, p.integer("LoadCaseId", p.params["Data"], "Data."), domain=domain, data=data)

    def _domain_linear(self, p: _Params) -> None:
        raw = p.obj("Data")
        data = {key: p.number(key, raw, "Data.") for key in ("P1", "P2", "P3", "x1", "y1", "z1", "x2", "y2", "z2",
                                                               "x3", "y3", "z3")}
        for key, allowed in (("DistributionType", 3), ("Component", 3), ("LoadDistributionType", 2),
                             ("WindowLoad", 2)):
            data[key] = p.integer(key, raw, "Data.")
            if not 0 <= data[key] < allowed:
                p.fail(f'"Data.{key}" {data[key]} is not a known value')
        if data["LoadDistributionType"] != LINEAR:
            p.fail(f'"Data.LoadDistributionType" {data["LoadDistributionType"]} is not a linear distribution: a '
                   f"linear surface load has the distribution {LINEAR} (linear)")
        points = [(data[f"x{k}"], data[f"y{k}"], data[f"z{k}"]) for k in (1, 2, 3)]
        if norm(cross(sub(points[1], points[0]), sub(points[2], points[0]))) <= 1e-12 * max(
                norm(sub(points[1], points[0])), norm(sub(points[2], points[0])), 1e-150) ** 2:
            p.fail("the three points of the linear load are on one line: they define no plane")
        self._domain_load(p, "AddDomainLinear", data)

    def _domain_constant(self, p: _Params) -> None:
        raw = p.obj("Data")
        data = {key: p.number(key, raw, "Data.") for key in ("qx", "qy", "qz")}
        for key, allowed in (("DistributionType", 2), ("SystemGLR", 3)):
            data[key] = p.integer(key, raw, "Data.")
            if not 0 <= data[key] < allowed:
                p.fail(f'"Data.{key}" {data[key]} is not a known value')
        self._domain_load(p, "AddDomainConstant", data)
        if data["SystemGLR"] == 2:
            self.model.unsupported.append((p.label, "the load is given in a reference system (\"SystemGLR\" 2), "
                                                    "but no record says which: the load names no reference and "
                                                    "domains have no reference axes here, so its axes are not "
                                                    "defined; give it in global (0) or local (1) axes"))
        elif data["SystemGLR"] == 1 and data["DistributionType"] == 1:
            self.model.unsupported.append((p.label, "a projected surface load in local axes has no meaning: "
                                                    "projected loads are given in global axes"))

    def _domain_self_weight(self, p: _Params) -> None:
        domain = _find(self.model.domains, p.integer("DomainId"), "domain", p)
        if domain.surface_type == 0:
            p.fail(f"domain {domain.id} is a hole: it has no weight")
        self._new_load(p, "AddDomainSelfWeight", p.integer("LoadCaseId"), domain=domain)

    def _beam_self_weight(self, p: _Params) -> None:
        line = self._beam(p, "LineId")
        self._new_load(p, "AddBeamSelfWeight", p.params["LoadCaseId"], line=line)


    def _combination(self, p: _Params) -> None:
        name = p.text("Name")
        kind = p.integer("CombinationType")
        if kind not in COMBINATION_TYPES:
            p.fail(f"combination type {kind} does not exist")
        factors, case_ids = p.get("Factors"), p.id_list("LoadCaseIds")
        if not isinstance(factors, list) or len(factors) != len(case_ids):
            p.fail('"Factors" and "LoadCaseIds" are not lists of the same length')
        pairs = []
        for index, (factor, case_id) in enumerate(zip(factors, case_ids)):
            if not schema.NUMBER(factor):
                p.fail(f"factor {index + 1} is not a finite number: {factor!r}")
            pairs.append((_find(self.model.load_cases, case_id, "load case", p), float(factor)))
        if name in self._combination_names:
            p.fail(f"a load combination named '{name}' already exists")
        self._combination_names.add(name)
        self.model.load_combinations.append(LoadCombination(len(self.model.load_combinations) + 1, name, kind,
                                                            pairs, p.label))


    def _linear_analysis(self, p: _Params) -> None:
        mode = p.integer("UserInteraction")
        if not 0 <= mode <= 4:
            p.fail(f"user interaction {mode} does not exist")
        self.model.analyses.append(p.label)


    # -- results request -------------------------------------------------------------------------------------
    def replay_results(self, content: Any) -> ResultsRequest:
        if not isinstance(content, dict):
            raise ReplayError('the job content has no object "Results"')
        load_cases = self._id_list(content, "LoadCases", self.model.load_cases, "load case")
        combinations = self._id_list(content, "LoadCombinations", self.model.load_combinations, "load combination")
        requests: list[Request] = []
        for key, table in schema.RESULTS.items():
            functions, properties = _records(content, '"Results"', key)
            if properties:
                _checked(key, table, properties[0], 1, "property")
            handlers = RESULT_FUNCTIONS[key]
            for position, record in enumerate(functions, 1):
                name, p = _checked(key, table, record, position)
                request = handlers[name](self, name, p)
                if request is not None:
                    requests.append(request)
        _unknown_lists(content, '"Results"', (*schema.RESULT_ID_LISTS, *schema.RESULTS))
        return ResultsRequest(load_cases, combinations, requests)

    def _id_list(self, content: dict[str, Any], key: str, items: list[_Item], what: str) -> list[_Item]:
        ids = content.get(key)
        if not isinstance(ids, list):
            raise ReplayError(f'"Results" has no list "{key}"')
        resolved = []
        for position, value in enumerate(ids, 1):
            if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= len(items):
                raise ReplayError(f'"Results" "{key}" entry {position}: {what} {value!r} does not exist')
            resolved.append(items[value - 1])
        return resolved

    def _displacement_request(self, name: str, p: _Params) -> Request:
        target = p.params["NodeId"]
        _find(self.model.nodes, target, "node", p)
        return Request("displacement", target, name.endswith("ByLoadCaseId"), p.label)

    def _support_force_request(self, name: str, p: _Params) -> Request:
        target = p.integer("NodalSupportId")
        _find(self.model.node_supports, target, "node support", p)
        return Request("support force", target, name.endswith("ByLoadCaseId"), p.label)

    def _line_forces_request(self, name: str, p: _Params) -> Request:
        line = self._beam(p, "LineId")
        return Request("line forces", line.id, name.endswith("ByLoadCaseId"), p.label)

    def _section_add(self, name: str, p: _Params) -> None:
        section = p.obj("Section")
        cut_name: str = section["Name"]  # text: the record table says so
        if cut_name in self._cut_names:
            p.fail(f"a section named '{cut_name}' already exists")
        self._cut_names.add(cut_name)
        if section["SectionType"] != 1:
            p.fail(f'"Section.SectionType" {section["SectionType"]} is not a known value (1: a segment)')
        self.model.section_cuts.append(SectionCut(len(self.model.section_cuts) + 1, cut_name, section, p.label))

    def _section_request(self, name: str, p: _Params) -> Request:
        cut = _find(self.model.section_cuts, p.integer("Index"), "section", p)
        combination = _find(self.model.load_combinations, p.integer("LoadCombinationId"), "load combination", p)
        chain = p.integer("ChainIndex")
        if chain != 1:
            p.fail(f"section {cut.id} is one straight segment: its only segment chain is 1, not {chain}")
        kind = "section forces" if "Forces" in name else "section stresses"
        return Request(kind, cut.id, False, p.label, combination.id)


_ModelHandler = Callable[[Replayer, _Params], None]
_ResultHandler = Callable[[Replayer, str, _Params], "Request | None"]

# The handler of every record of the record table, by list and name.
MODEL_FUNCTIONS: dict[str, dict[str, _ModelHandler]] = {
    "References": {"Add": Replayer._reference_add},
    "Materials": {"AddConcrete_EuroCode": Replayer._concrete, "AddFromCatalog": Replayer._catalogue},
    "Nodes": {"Add": Replayer._node_add},
    "CrossSections": {"AddCircle": Replayer._circle, "AddRectangular": Replayer._rectangle},
    "Lines": {"Add": Replayer._line_add, "DefineAsBeam": Replayer._define_as_beam, "SplitByN": Replayer._split_by_n},
    "Domains": {"Add": Replayer._domain_add, "GenerateMeshOnSelectedDomains": Replayer._generate_mesh,
                "SetExcentricity": Replayer._set_eccentricity},
    "NodesSupports": {"AddNodalBeamRelative": Replayer._node_support},
    "LineSupports": {"AddBeamElasticFoundation": Replayer._foundation},
    "LoadCases": {"Add": Replayer._load_case},
    "Loads": {"AddDomainLinear": Replayer._domain_linear, "AddDomainConstant": Replayer._domain_constant,
              "AddDomainSelfWeight": Replayer._domain_self_weight, "AddBeamSelfWeight": Replayer._beam_self_weight},
    "LoadCombinations": {"Add": Replayer._combination},
    "Calculation": {"LinearAnalysis": Replayer._linear_analysis},
}
MODEL_PROPERTIES: dict[str, dict[str, _ModelHandler]] = {key: {} for key in schema.MODEL}
MODEL_PROPERTIES["Lines"]["Reference"] = Replayer._line_reference
RESULT_FUNCTIONS: dict[str, dict[str, _ResultHandler]] = {
    "Forces": {"NodalSupportForceByLoadCaseId": Replayer._support_force_request,
               "NodalSupportForceByLoadCombinationId": Replayer._support_force_request,
               "LineForcesByLoadCaseId": Replayer._line_forces_request,
               "LineForcesByLoadCombinationId": Replayer._line_forces_request},
    "Displacements": {"NodalDisplacementByLoadCaseId": Replayer._displacement_request,
                      "NodalDisplacementByLoadCombinationId": Replayer._displacement_request},
    "Sections": {"Add": Replayer._section_add,
                 "GetSegmentChainSurfaceForcesByLoadCombinationId": Replayer._section_request,
                 "GetSegmentChainSurfaceStressesByLoadCombinationId": Replayer._section_request},
}


def refuse_unsupported(model: Model) -> None:
    """Refuse, naming the first record, what the analysis cannot compute."""
    if model.unsupported:
        label, reason = model.unsupported[0]
        raise ReplayError(f"{label}: {reason}")


def _check_arc(p: _Params, start: Node, end: Node, arc: Arc) -> None:
    """The arc must have a plane, a radius, and end at the end node."""
    normal = arc.normal
    if norm(normal) == 0.0:
        p.fail("the arc's normal vector has length zero")
    radius_vector = sub(start.point, arc.center)
    radius = norm(radius_vector)
    if radius == 0.0:
        p.fail(f"the arc's centre is at its start node {start.id}")
    n = scale(normal, 1.0 / norm(normal))
    if abs(dot(radius_vector, n)) > 1e-6 * radius:
        p.fail(f"the start node {start.id} is not in the plane of the arc")
    if arc.alpha == 0.0 or abs(arc.alpha) > 2.0 * math.pi:
        p.fail(f"the arc's angle must be non-zero and at most 2 pi, got {arc.alpha!r}")
    reached = add(arc.center, rotate(radius_vector, n, arc.alpha))
    gap = distance(reached, end.point)
    if gap > 1e-6 * max(radius, 1.0):
        p.fail(f"the arc does not end at node {end.id}: it ends {gap:.6g} m away")
