"""The model as the worker understood it: every object resolved from the records.

Objects keep the label of the record that made them ("Lines record 4
"DefineAsBeam"") so that later checks and refusals can name it. Units are the
job content's: m, kN, kN/m2, kg/m3, rad.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

# Reference types as the records number them.
REFERENCE_TYPES = {1: "point", 2: "vector", 3: "axis", 4: "plane", 5: "angle"}
CROSS_SECTION_PROCESSES = {0: "other", 1: "rolled", 2: "welded", 3: "cold formed"}
NON_LINEARITIES = {0: "linear", 1: "tension only", 2: "compression only"}
SUPPORT_COMPONENTS = ("x", "y", "z", "xx", "yy", "zz")
ECCENTRICITY_TYPES = {1: "CONSTANT", 2: "ONE_WAY", 3: "TWO_WAY", 4: "TOP_ALIGNED", 5: "BOTTOM_ALIGNED"}
COMBINATION_TYPES = {
    0: "OTHER", 1: "SLS_1", 2: "SLS_2", 3: "SLS_3", 4: "ULS_1", 5: "ULS_2", 6: "ULS_3", 7: "ULS_ALL",
    8: "ULS_AB", 9: "ULS_A", 10: "ULS_B", 11: "ULS_ALL_AB", 12: "ULS_A1", 13: "ULS_A2", 14: "ULS_A3",
    15: "ULS_A4", 16: "ULS_A5", 17: "ULS_A6", 18: "ULS_A7", 19: "ULS_A8",
}

Vector = tuple[float, float, float]
GRAVITY = 9.80665  # m/s2


@dataclass
class Reference:
    id: int
    kind: str
    data: dict[str, Any]
    record: str

    def vector(self) -> Vector:
        """The direction of a vector reference: P2 - P1."""
        p1, p2 = self.data["Vector"]["P1"], self.data["Vector"]["P2"]
        return (p2["x"] - p1["x"], p2["y"] - p1["y"], p2["z"] - p1["z"])


@dataclass
class Material:
    id: int
    name: str
    source: str  # "catalogue" or "user"
    e: float  # kN/m2, along the member axis
    g: float  # kN/m2
    nu: float
    rho: float  # kg/m3
    f_ck: float  # kN/m2
    record: str
    design_code: int | None = None
    values: dict[str, Any] = field(default_factory=dict)  # everything the record or the catalogue gave
    orthotropic: bool = False


@dataclass
class CrossSection:
    id: int
    name: str
    shape: str  # "rectangle" or "circle"
    dimensions: dict[str, Any]  # {"b": .., "h": ..} or {"d": ..}, m
    area: float  # m2
    i_y: float  # m4, about local y (bending in the x-z plane)
    i_z: float  # m4, about local z
    torsion: float  # m4, torsion constant
    record: str
    process: str | None = None


@dataclass
class Node:
    id: int
    x: float
    y: float
    z: float

    @property
    def point(self) -> Vector:
        return (self.x, self.y, self.z)


@dataclass
class Arc:
    center: Vector
    normal: Vector
    alpha: float  # rad, counter-clockwise about the normal, from the start node


@dataclass
class Beam:
    material: Material
    cross_section: CrossSection
    record: str


@dataclass
class Line:
    id: int
    start: Node
    end: Node
    arc: Arc | None
    record: str
    parts: int = 1  # after "SplitByN"
    split_record: str | None = None  # the last "SplitByN" record naming it
    beam: Beam | None = None
    reference: Reference | None = None  # local z reference, from the "Reference" property
    reference_record: str | None = None


@dataclass
class Domain:
    id: int
    line_ids: list[int]
    material: Material
    thickness: float
    surface_type: int
    record: str
    # The last "SetExcentricity" record's "DomainExcentricity" naming it, and that record's label.
    eccentricity: dict[str, Any] | None = None
    eccentricity_record: str = ""


@dataclass
class NodeSupport:
    id: int
    node: Node
    line: Line
    stiffness: dict[str, float]  # SUPPORT_COMPONENTS -> kN/m or kNm/rad, member axes
    non_linearity: dict[str, Any]
    resistance: dict[str, Any]
    record: str


@dataclass
class LineSupport:
    id: int
    line: Line
    stiffness: dict[str, float]  # "x", "y", "z" -> kN/m/m, member axes
    non_linearity: dict[str, Any]
    resistance: dict[str, Any]
    record: str


@dataclass
class LoadCase:
    id: int
    name: str
    type: int
    record: str


@dataclass
class Load:
    id: int
    kind: str  # the function name
    load_case: LoadCase
    record: str
    line: Line | None = None
    domain: Domain | None = None
    data: dict[str, Any] = field(default_factory=dict)


@dataclass
class LoadCombination:
    id: int
    name: str
    type: int
    factors: list[tuple[LoadCase, float]]
    record: str


@dataclass
class SectionCut:
    id: int
    name: str
    data: dict[str, Any]
    record: str


@dataclass
class Request:
    """One requested result: what, of which target, by load case or by combination."""
    kind: str  # "displacement", "support force", "line forces", "section forces", "section stresses"
    target: int
    by_load_case: bool
    record: str
    combination: int | None = None  # section requests name one combination


@dataclass
class Model:
    references: list[Reference] = field(default_factory=list)
    materials: list[Material] = field(default_factory=list)
    nodes: list[Node] = field(default_factory=list)
    cross_sections: list[CrossSection] = field(default_factory=list)
    lines: list[Line] = field(default_factory=list)
    domains: list[Domain] = field(default_factory=list)
    node_supports: list[NodeSupport] = field(default_factory=list)
    line_supports: list[LineSupport] = field(default_factory=list)
    load_cases: list[LoadCase] = field(default_factory=list)
    loads: list[Load] = field(default_factory=list)
    load_combinations: list[LoadCombination] = field(default_factory=list)
    analyses: list[str] = field(default_factory=list)  # labels of the "LinearAnalysis" records
    section_cuts: list[SectionCut] = field(default_factory=list)
    # Domain id -> (mesh size in m, requested mesh geometry type) of the last meshing record naming it.
    mesh_requests: dict[int, float] = field(default_factory=dict)
    mesh_geometries: dict[int, int] = field(default_factory=dict)
    mesh_records: dict[int, str] = field(default_factory=dict)  # domain id -> label of that meshing record
    # What the worker cannot compute, (record label, reason), in record order.
    unsupported: list[tuple[str, str]] = field(default_factory=list)


@dataclass
class ResultsRequest:
    load_cases: list[LoadCase]
    load_combinations: list[LoadCombination]
    requests: list[Request]
