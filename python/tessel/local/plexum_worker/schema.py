"""The Plexum record table: every list of a job, its function and property records, their keys and value kinds.

This table is the one description of the record format on the Python side.
The worker's replay checks every record against it before using it; the
model builder (C++) keeps static record shapes of its own, held to this table
by a test that builds every operation. A record's parameters are an object
whose keys stand in the order given here, each value of its kind; a nested
object is a table of its own.

A record is identified by its list and its name together: "Add" of "Nodes"
is not "Add" of "Lines".
"""

from __future__ import annotations

import math
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any, Union

from . import _records


@dataclass(frozen=True)
class Kind:
    """A value kind: its test and what a value that fails it is not."""
    name: str
    test: Any = field(repr=False, compare=False)  # Callable[[Any], bool]

    def __call__(self, value: Any) -> bool:
        result: bool = self.test(value)
        return result


def _is_integer(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: Any) -> bool:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    if isinstance(value, int):  # JSON integers have no bound; a float has
        return abs(value) <= _LARGEST
    return math.isfinite(value)


_LARGEST = int(sys.float_info.max)


INTEGER = Kind("an integer", _is_integer)
NUMBER = Kind("a finite number", _is_number)
TEXT = Kind("text", lambda value: isinstance(value, str))
INTEGERS = Kind("a list of integers", lambda value: isinstance(value, list) and all(map(_is_integer, value)))
NUMBERS = Kind("a list of finite numbers", lambda value: isinstance(value, list) and all(map(_is_number, value)))

# The parameters of a record, or an object inside them: ordered keys and the kind (or table) of each value.
Shape = Mapping[str, Union[Kind, "Shape"]]


@dataclass(frozen=True)
class RecordList:
    """One list of a job: its function records and its property records (a property's value is an object), and
    the model builder's interface (the `Model` attribute) that serialises to it."""
    interface: str | None
    functions: Mapping[str, Shape]
    properties: Mapping[str, Shape] = field(default_factory=dict)


POINT: Shape = {"x": NUMBER, "y": NUMBER, "z": NUMBER}
XYZ_INTEGERS: Shape = {"x": INTEGER, "y": INTEGER, "z": INTEGER}
SIX_NUMBERS: Shape = {name: NUMBER for name in ("x", "y", "z", "xx", "yy", "zz")}
SIX_INTEGERS: Shape = {name: INTEGER for name in ("x", "y", "z", "xx", "yy", "zz")}

_REFERENCE_DATA: Shape = {
    "Point": {"P": POINT},
    "Vector": {"P1": POINT, "P2": POINT},
    "Axis": {"P1": POINT, "P2": POINT},
    "Plane": {"P1": POINT, "P2": POINT, "P3": POINT},
    "Beta": {"Beta": NUMBER},
}
_MATERIAL: Shape = {
    "NationalDesignName": TEXT, "MaterialDesignName": TEXT, "Name": TEXT, "FillColour": INTEGER,
    "ContourColour": INTEGER, "Ex": NUMBER, "Ey": NUMBER, "Ez": NUMBER, "Nux": NUMBER, "Nuy": NUMBER,
    "Nuz": NUMBER, "Alfax": NUMBER, "Alfay": NUMBER, "Alfaz": NUMBER, "Rho": NUMBER, "Fck": NUMBER,
    "GammaC": NUMBER, "Alfacc": NUMBER, "Fit": NUMBER,
}
_ARC: Shape = {"Center": POINT, "NormalVector": POINT, "Alfa": NUMBER}
_ELLIPSE: Shape = {"Center": POINT, "NormalVector": POINT, "Alfa": NUMBER, "Ratio": NUMBER, "StartAlfa": NUMBER,
                   "EndAlfa": NUMBER}
_SURFACE: Shape = {
    "Thickness": NUMBER, "SurfaceType": INTEGER, "RefZId": INTEGER, "RefXId": INTEGER, "MaterialId": INTEGER,
    "ElasticFoundation": POINT, "NonLinearity": XYZ_INTEGERS, "Resistance": POINT, "Characteristics": INTEGER,
}
_MESH: Shape = {
    "MeshSize": NUMBER, "MeshType": INTEGER, "IsFitToPointLoad": INTEGER, "FitToPointLoadValue": NUMBER,
    "IsFitToLineLoad": INTEGER, "FitToLineLoadValue": NUMBER, "IsFitToSurfaceLoad": INTEGER,
    "FitToSurfaceLoadValue": NUMBER, "MeshGeometryType": INTEGER, "QuadMeshQuality": INTEGER,
}
_ECCENTRICITY: Shape = {
    "ExcentricityType": INTEGER, "exc1": NUMBER, "exc2": NUMBER, "exc3": NUMBER, "P1": POINT, "P2": POINT,
    "P3": POINT, "GroupID": INTEGER,
}
_LINEAR_LOAD: Shape = {
    "LoadCaseId": INTEGER, "DomainId": INTEGER, "DistributionType": INTEGER, "LoadDistributionType": INTEGER,
    "Component": INTEGER, "P1": NUMBER, "P2": NUMBER, "P3": NUMBER,
    **{f"{axis}{k}": NUMBER for k in (1, 2, 3) for axis in "xyz"},
    "WindowLoad": INTEGER,
}
_CONSTANT_LOAD: Shape = {
    "LoadCaseId": INTEGER, "DomainId": INTEGER, "qx": NUMBER, "qy": NUMBER, "qz": NUMBER,
    "DistributionType": INTEGER, "SystemGLR": INTEGER,
}
_SECTION: Shape = {
    "SectionType": INTEGER, "Name": TEXT, "Visible": INTEGER, "P": POINT, "N": POINT, "SegmentEndP": POINT,
    "InAllResultBlocks": INTEGER,
    "ResultBlock": {"AnalysisType": INTEGER, "CombinationType": INTEGER, "EnvelopeUID": INTEGER,
                    "LoadCaseId": INTEGER, "LoadCombinationId": INTEGER, "LoadLevel": INTEGER,
                    "MinMaxType": INTEGER, "ResultType": INTEGER},
    "ForAllResultComponents": INTEGER, "ResultComponent": INTEGER, "DisplayMode": INTEGER, "L": NUMBER,
    "R": NUMBER, "DiagOnBothSide": INTEGER, "DiagInPlane": INTEGER,
}
_SEGMENT_CHAIN: Shape = {"Index": INTEGER, "ChainIndex": INTEGER, "LoadCombinationId": INTEGER,
                         "LoadLevelOrModeShapeOrTimeStep": INTEGER, "AnalysisType": INTEGER}

# The lists of "Model", in the order the model serialises them and the worker replays them.
MODEL: Mapping[str, RecordList] = {
    "References": RecordList("_references", {
        "Add": {"Item": {"ReferenceType": INTEGER, "ReferenceData": _REFERENCE_DATA}}}),
    "Materials": RecordList("_materials", {
        "AddConcrete_EuroCode": _MATERIAL,
        "AddFromCatalog": {"NationalDesignCode": INTEGER, "MaterialName": TEXT}}),
    "Nodes": RecordList("_nodes", {"Add": POINT}),
    "CrossSections": RecordList("_cross_sections", {
        "AddCircle": {"Name": TEXT, "d": NUMBER},
        "AddRectangular": {"Name": TEXT, "b": NUMBER, "h": NUMBER, "Process": INTEGER}}),
    "Lines": RecordList("_lines", {
        "Add": {"StartNode": INTEGER, "EndNode": INTEGER, "GeomType": INTEGER,
                "GeomData": {"CircleArc": _ARC, "EllipseArc": _ELLIPSE}},
        "DefineAsBeam": {"MaterialIndex": INTEGER, "StartCrossSectionIndex": INTEGER, "EndCrossSectionIndex": INTEGER,
                         "StartEccentricity": POINT, "EndEccentricity": POINT, "LineIndex": INTEGER},
        "SplitByN": {"N": INTEGER, "LineIndex": INTEGER}},
        {"Reference": {"ReferenceIndex": INTEGER, "LineIndex": INTEGER}}),
    "Domains": RecordList("_domains", {
        "Add": {"LineIds": INTEGERS, "SurfaceAttr": _SURFACE},
        "GenerateMeshOnSelectedDomains": {"MeshParameters": _MESH, "DomainIds": INTEGERS},
        "SetExcentricity": {"Index": INTEGER, "DomainExcentricity": _ECCENTRICITY}}),
    "NodesSupports": RecordList("_node_supports", {
        "AddNodalBeamRelative": {"Stiffnesses": SIX_NUMBERS, "NonLinearity": SIX_INTEGERS,
                                 "Resistances": SIX_NUMBERS, "NodeId": INTEGER, "BeamId": INTEGER}}),
    "LineSupports": RecordList("_line_supports", {
        "AddBeamElasticFoundation": {"BeamId": INTEGER, "StiffnessesXYZ": POINT, "NonLinearityXYZ": XYZ_INTEGERS,
                                     "ResistancesXYZ": POINT}}),
    "LoadCases": RecordList("_load_cases", {"Add": {"Name": TEXT, "LoadCaseType": INTEGER}}),
    "Loads": RecordList("_loads", {
        "AddDomainLinear": {"Data": _LINEAR_LOAD},
        "AddDomainConstant": {"Data": _CONSTANT_LOAD},
        "AddDomainSelfWeight": {"DomainId": INTEGER, "LoadCaseId": INTEGER},
        "AddBeamSelfWeight": {"LineId": INTEGER, "LoadCaseId": INTEGER}}),
    "LoadCombinations": RecordList("_load_combinations", {
        "Add": {"Name": TEXT, "CombinationType": INTEGER, "Factors": NUMBERS, "LoadCaseIds": INTEGERS}}),
    # Written by the analysis when it ships the model, not by an interface.
    "Calculation": RecordList(None, {"LinearAnalysis": {"UserInteraction": INTEGER}}),
}

# The record lists of the results request ("Results"), beside its id lists "LoadCombinations" and "LoadCases".
RESULTS: Mapping[str, RecordList] = {
    "Forces": RecordList(None, {
        "NodalSupportForceByLoadCaseId": {"NodalSupportId": INTEGER},
        "NodalSupportForceByLoadCombinationId": {"NodalSupportId": INTEGER},
        "LineForcesByLoadCaseId": {"LineId": INTEGER},
        "LineForcesByLoadCombinationId": {"LineId": INTEGER}}),
    "Displacements": RecordList(None, {
        "NodalDisplacementByLoadCaseId": {"NodeId": INTEGER},
        "NodalDisplacementByLoadCombinationId": {"NodeId": INTEGER}}),
    "Sections": RecordList(None, {
        "Add": {"Section": _SECTION},
        "GetSegmentChainSurfaceForcesByLoadCombinationId": _SEGMENT_CHAIN,
        "GetSegmentChainSurfaceStressesByLoadCombinationId": _SEGMENT_CHAIN}),
}
RESULT_ID_LISTS = ("LoadCombinations", "LoadCases")

# The model builder's interface attribute serialised to each list of "Model" but "Calculation".
MODEL_INTERFACES: Mapping[str, str] = {key: table.interface for key, table in MODEL.items() if table.interface}


def _shown(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:20]}... ({len(text)} characters)"


def problem(shape: Shape, params: Any, path: str = "") -> str | None:
    """What is wrong with a record's parameters (or an object inside them), or None.

    The first missing key, value of the wrong kind or unknown key, in the
    table's order, e.g. 'parameter "GeomData.CircleArc.Alfa" is missing'.
    """
    if fits(shape, params):
        return None
    if not isinstance(params, dict):
        return "the parameters are not an object" if not path else f'parameter "{path[:-1]}" is not an object'
    for key, kind in shape.items():
        if key not in params:
            return f'parameter "{path}{key}" is missing'
        value = params[key]
        if isinstance(kind, Kind):
            if not kind(value):
                shown = f": {_shown(value)}" if kind in (INTEGER, NUMBER, TEXT) else ""
                return f'parameter "{path}{key}" is not {kind.name}{shown}'
        else:
            found = problem(kind, value, f"{path}{key}.")
            if found is not None:
                return found
    for key in params:
        if key not in shape:
            return f'unknown parameter "{path}{key}"'
    return None


# Per shape (by identity: the table's shapes live as long as the module), its quick test, compiled.
_FITS: dict[int, tuple[Shape, _records.Shape]] = {}
# The kinds as the quick test numbers them.
_KIND_CODES = {id(INTEGER): 0, id(NUMBER): 1, id(TEXT): 2, id(INTEGERS): 3, id(NUMBERS): 4}


def fits(shape: Shape, params: Any) -> bool:
    """A quick test that parameters fit a shape exactly, for the records that do: `problem` says what is wrong
    with the others. Exact for what json.loads makes (dict, list, str, int, float); anything else (ints beyond
    64 bits, subclasses) fails it and goes the long way."""
    return _compiled(shape).fits(params)


def _compiled(shape: Shape) -> _records.Shape:
    found = _FITS.get(id(shape))
    if found is None or found[0] is not shape:
        entries = [(key, _KIND_CODES[id(kind)] if isinstance(kind, Kind) else _compiled(kind))
                   for key, kind in shape.items()]
        found = _FITS[id(shape)] = (shape, _records.Shape(entries))
    return found[1]
