from abc import ABC, abstractmethod
from enum import Enum
from io import BytesIO
from typing import Any, ClassVar, Dict, Iterator, List, Optional, Tuple, Union, overload

from tessel.core import File
from tessel.errors import ModelError
from tessel.external.offload_task import OffloadTask, _JobContent

__all__ = [
    "PlexumAnalysis",
    "CircleArc",
    "CrossSection",
    "CrossSectionInterface",
    "Domain",
    "DomainInterface",
    "Line",
    "LineInterface",
    "LineSupport",
    "LineSupportInterface",
    "Load",
    "LoadCase",
    "LoadCaseInterface",
    "LoadCombination",
    "LoadCombinationInterface",
    "LoadInterface",
    "Material",
    "MaterialInterface",
    "Member",
    "Model",
    "Node",
    "NodeInterface",
    "NodeSupport",
    "NodeSupportInterface",
    "Object",
    "Reference",
    "ReferenceInterface",
    "ResultInterface",
    "Section",
    "SectionInterface",
]

# Instruction list and object identity

class _InstructionList:
    _functions: List[Tuple[str, Dict[str, Any]]]
    _properties: List[Tuple[str, Any]]
    def __init__(self) -> None: ...
    def add_function(self, name: str, parameters: Dict[str, Any]) -> None: ...
    def add_property(self, name: str, value: Any) -> None: ...
    def serialize(self) -> Dict[str, Any]: ...

class Object(ABC):
    _id: int
    def __init__(self, id_: int) -> None: ...
    @property
    def id(self) -> int: ...

class _Interface(ABC):
    _instructions: _InstructionList
    _objects: List[Object]
    def __init__(self) -> None: ...
    @abstractmethod
    def __contains__(self, o: object) -> bool: ...
    @abstractmethod
    def __getitem__(self, i: int) -> Any: ...
    @abstractmethod
    def __iter__(self) -> Iterator[Any]: ...
    @abstractmethod
    def __len__(self) -> int: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _Point3D:
    x: float
    y: float
    z: float
    def __init__(self, x: float, y: float, z: float) -> None: ...
    @classmethod
    def from_tuple(cls, xyz: Tuple[float, float, float]) -> "_Point3D": ...
    def serialize(self) -> Dict[str, Any]: ...

class CircleArc:
    center: Tuple[float, float, float]
    normal_vector: Tuple[float, float, float]
    alpha: float
    def __init__(
        self, center: Tuple[float, float, float], normal_vector: Tuple[float, float, float], alpha: float
    ) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...



# References

class Reference(Object, ABC):
    class _Type(Enum):
        POINT = 1
        VECTOR = 2
        AXIS = 3
        PLANE = 4
        ANGLE = 5

    @property
    @abstractmethod
    def _type(self) -> "Reference._Type": ...
    @abstractmethod
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferencePoint(Reference):
    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    x: float
    y: float
    z: float
    def __init__(self, id_: int, x: float, y: float, z: float) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferenceVector(Reference):
    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    point_1: Tuple[float, float, float]
    point_2: Tuple[float, float, float]
    def __init__(self, id_: int, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferenceAxis(Reference):
    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    point_1: Tuple[float, float, float]
    point_2: Tuple[float, float, float]
    def __init__(self, id_: int, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferencePlane(Reference):
    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    point_1: Tuple[float, float, float]
    point_2: Tuple[float, float, float]
    point_3: Tuple[float, float, float]
    def __init__(
        self,
        id_: int,
        point_1: Tuple[float, float, float],
        point_2: Tuple[float, float, float],
        point_3: Tuple[float, float, float],
    ) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferenceAngle(Reference):
    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    angle: float
    def __init__(self, id_: int, angle: float) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferenceData:
    point: _ReferencePoint
    vector: _ReferenceVector
    axis: _ReferenceAxis
    plane: _ReferencePlane
    angle: _ReferenceAngle
    def __init__(
        self,
        point: Optional[_ReferencePoint] = None,
        vector: Optional[_ReferenceVector] = None,
        axis: Optional[_ReferenceAxis] = None,
        plane: Optional[_ReferencePlane] = None,
        angle: Optional[_ReferenceAngle] = None,
    ) -> None: ...
    def serialize(self) -> Dict[str, Any]: ...

class ReferenceInterface(_Interface):
    def create_point(self, x: float, y: float, z: float) -> Reference: ...
    def create_vector(self, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> Reference: ...
    def create_axis(self, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> Reference: ...
    def create_plane(
        self,
        point_1: Tuple[float, float, float],
        point_2: Tuple[float, float, float],
        point_3: Tuple[float, float, float],
    ) -> Reference: ...
    def create_angle(self, angle: float) -> Reference: ...
    def _add_reference(self, reference: Reference) -> None: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Reference: ...
    def __iter__(self) -> Iterator[Reference]: ...
    def __len__(self) -> int: ...



# Materials and cross-sections

class Material(Object):
    class DesignCode(Enum):
        OTHER = 0
        HUNGARIAN_MSZ = 1
        EURO_CODE = 2
        ROMANIAN_STAS = 4
        DUTCH_NEN = 5
        GERMAN_DIN1045_1 = 6
        SWISS_SIA26X = 7
        EURO_CODE_GER = 8
        ITALIAN = 9
        EURO_CODE_AUSTRIAN = 10
        EURO_CODE_UK = 11
        EURO_CODE_NL = 12
        EURO_CODE_FIN = 13
        EURO_CODE_RO = 14
        EURO_CODE_HU = 15
        EURO_CODE_CZ = 16
        EURO_CODE_B = 17
        EURO_CODE_PL = 18
        EURO_CODE_DK = 19
        EURO_CODE_S = 20
        US = 21
        CA_NBCC = 22
        CA_ONTARIO = 23
        CA_BRIDGE = 24
        EURO_CODE_SK = 25

    _name: str
    def __init__(self, id_: int, name: str) -> None: ...
    @property
    def name(self) -> str: ...

class CrossSection(Object):
    class Process(Enum):
        OTHER = 0
        ROLLED = 1
        WELDED = 2
        COLD_FORMED = 3

    _name: str
    def __init__(self, id_: int, name: str) -> None: ...
    @property
    def name(self) -> str: ...

class MaterialInterface(_Interface):
    def create_concrete_eurocode(
        self,
        *,
        e_x: float,
        e_y: Optional[float] = None,
        e_z: Optional[float] = None,
        nu_x: float,
        nu_y: Optional[float] = None,
        nu_z: Optional[float] = None,
        alpha_x: float = 0.0,
        alpha_y: Optional[float] = None,
        alpha_z: Optional[float] = None,
        rho: float,
        f_ck: float,
        gamma_c: float,
        alpha_cc: float,
        phi_t: float = 0.0,
        material_code: Optional[str] = None,
        name: Optional[str] = None,
    ) -> Material: ...
    def add_from_catalog(self, name: str, national_design_code: Material.DesignCode) -> Material: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Material: ...
    def __iter__(self) -> Iterator[Material]: ...
    def __len__(self) -> int: ...

class CrossSectionInterface(_Interface):
    def create_circular(self, diameter: float, *, name: Optional[str] = None) -> CrossSection: ...
    def create_rectangular(
        self,
        width: float,
        height: float,
        *,
        process: CrossSection.Process = CrossSection.Process.OTHER,
        name: Optional[str] = None,
    ) -> CrossSection: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> CrossSection: ...
    def __iter__(self) -> Iterator[CrossSection]: ...
    def __len__(self) -> int: ...




# Nodes, lines and members

class Node(Object):
    _x: float
    _y: float
    _z: float
    def __init__(self, id_: int, x: float, y: float, z: float) -> None: ...
    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    @property
    def z(self) -> float: ...

class Line(Object):
    class _GeomType(Enum):
        STRAIGHT_LINE = 0
        CIRCLE_ARC = 1

    _interface: "LineInterface"
    _node1: Node
    _node2: Node
    def __init__(self, id_: int, interface: "LineInterface", node1: Node, node2: Node) -> None: ...
    @property
    def start_node(self) -> Node: ...
    @property
    def end_node(self) -> Node: ...
    def define_as_beam(
        self,
        material: "Material",
        css_start: "CrossSection",
        css_end: Optional["CrossSection"] = None,
        *,
        local_z_reference: Optional[Reference] = None,
    ) -> "Member": ...
    def split_by_number(self, n: int) -> None: ...

class Member(Object):
    class _Type(Enum):
        BEAM = 1
        RIB = 2

    _line: Line
    _type: "Member._Type"
    def __init__(self, line: Line, type_: "Member._Type") -> None: ...

class NodeInterface(_Interface):
    def create(self, x: float, y: float, z: float) -> Node: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Node: ...
    def __iter__(self) -> Iterator[Node]: ...
    def __len__(self) -> int: ...

class LineInterface(_Interface):
    _members: Dict[int, Member]
    def __init__(self) -> None: ...
    def create(self, start_node: Node, end_node: Node, circle_arc: Optional[CircleArc] = None) -> Line: ...
    def define_as_beam(
        self,
        line: Line,
        material: "Material",
        css_start: "CrossSection",
        css_end: Optional["CrossSection"] = None,
        *,
        local_z_reference: Optional[Reference] = None,
    ) -> Member: ...
    def split_by_number(self, line: Line, n: int) -> None: ...
    def _set_reference(self, line: Line, reference: Reference) -> None: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Line: ...
    def __iter__(self) -> Iterator[Line]: ...
    def __len__(self) -> int: ...



# Domains and meshing

class Domain(Object):
    class SurfaceType(Enum):
        HOLE = 0
        MEMBRANE_STRESS = 1
        MEMBRANE_STRAIN = 2
        PLATE = 3
        SHELL = 4

    class MeshType(Enum):
        ADAPTIVE = 0
        UNIFORM = 1

    class MeshGeometry(Enum):
        TRIANGLE = 0
        QUAD = 1
        MIXED = 2

    class EccentricityType(Enum):
        CONSTANT = 1
        ONE_WAY = 2
        TWO_WAY = 3
        TOP_ALIGNED = 4
        BOTTOM_ALIGNED = 5

    _interface: "DomainInterface"
    def __init__(self, id_: int, interface: "DomainInterface") -> None: ...
    def generate_mesh(
        self,
        mesh_geometry: "Domain.MeshGeometry",
        mesh_size: float,
        *,
        mesh_type: "Domain.MeshType" = MeshType.UNIFORM,
        fit_to_point_loads: Optional[float] = None,
        fit_to_line_loads: Optional[float] = None,
        fit_to_surface_loads: Optional[float] = None,
        quad_mesh_quality: int = 2,
    ) -> None: ...
    def set_eccentricity(
        self,
        eccentricity_type: "Domain.EccentricityType",
        *,
        ecc_1: Optional[float] = None,
        p1: Optional[Tuple[float, float, float]] = None,
        ecc_2: Optional[float] = None,
        p2: Optional[Tuple[float, float, float]] = None,
        ecc_3: Optional[float] = None,
        p3: Optional[Tuple[float, float, float]] = None,
    ) -> None: ...

class DomainInterface(_Interface):
    def create(
        self, lines: List[Line], *, surface_type: Domain.SurfaceType, thickness: float, material: Material
    ) -> Domain: ...
    def generate_mesh_on_domains(
        self,
        domains: List[Domain],
        mesh_geometry: Domain.MeshGeometry,
        mesh_size: float,
        *,
        mesh_type: Domain.MeshType = Domain.MeshType.UNIFORM,
        fit_to_point_loads: Optional[float] = None,
        fit_to_line_loads: Optional[float] = None,
        fit_to_surface_loads: Optional[float] = None,
        quad_mesh_quality: int = 2,
    ) -> None: ...
    def set_eccentricity(
        self,
        domain: Domain,
        eccentricity_type: Domain.EccentricityType,
        *,
        ecc_1: Optional[float] = None,
        p1: Optional[Tuple[float, float, float]] = None,
        ecc_2: Optional[float] = None,
        p2: Optional[Tuple[float, float, float]] = None,
        ecc_3: Optional[float] = None,
        p3: Optional[Tuple[float, float, float]] = None,
    ) -> None: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Domain: ...
    def __iter__(self) -> Iterator[Domain]: ...
    def __len__(self) -> int: ...




# Supports

class NodeSupport(Object): ...

class LineSupport(Object):
    class NonLinearity(Enum):
        LINEAR = 0
        TENSION_ONLY = 1
        COMPRESSION_ONLY = 2

class NodeSupportInterface(_Interface):
    _lines: LineInterface
    def __init__(self, lines: LineInterface) -> None: ...
    def create_relative_to_member(
        self,
        node: Node,
        *,
        stiffness_x: float = 0.0,
        stiffness_y: float = 0.0,
        stiffness_z: float = 0.0,
        stiffness_xx: float = 0.0,
        stiffness_yy: float = 0.0,
        stiffness_zz: float = 0.0,
        resistance_x: float = 0.0,
        resistance_y: float = 0.0,
        resistance_z: float = 0.0,
        resistance_xx: float = 0.0,
        resistance_yy: float = 0.0,
        resistance_zz: float = 0.0,
        non_linearity_x: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        non_linearity_y: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        non_linearity_z: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        non_linearity_xx: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        non_linearity_yy: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        non_linearity_zz: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
    ) -> NodeSupport: ...
    def _find_node_member(self, node: Node) -> Member: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> NodeSupport: ...
    def __iter__(self) -> Iterator[NodeSupport]: ...
    def __len__(self) -> int: ...

class LineSupportInterface(_Interface):
    def create_on_member(
        self,
        member: Member,
        k_x: float,
        k_y: float,
        k_z: float,
        *,
        non_linearity_x: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        non_linearity_y: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        non_linearity_z: LineSupport.NonLinearity = LineSupport.NonLinearity.LINEAR,
        resistance_fx: float = 0.0,
        resistance_fy: float = 0.0,
        resistance_fz: float = 0.0,
    ) -> LineSupport: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> LineSupport: ...
    def __iter__(self) -> Iterator[LineSupport]: ...
    def __len__(self) -> int: ...




# Load cases, loads and combinations

class LoadCase(Object):
    class _Type(Enum):
        STANDARD = 0

    _name: str
    def __init__(self, id_: int, name: str) -> None: ...
    @property
    def name(self) -> str: ...

class LoadCombination(Object):
    class Type(Enum):
        OTHER = 0
        SLS_1 = 1
        SLS_CHAR = 1
        SLS_2 = 2
        SLS_FREQ = 2
        SLS_3 = 3
        SLS_QUASI = 3
        ULS_1 = 4
        ULS = 4
        ULS_2 = 5
        ULS_SEISMIC = 5
        ULS_3 = 6
        ULS_EXCEPTIONAL = 6
        ULS_ALL = 7
        ULS_AB = 8
        ULS_A = 9
        ULS_B = 10
        ULS_ALL_AB = 11
        ULS_A1 = 12
        ULS_A2 = 13
        ULS_A3 = 14
        ULS_A4 = 15
        ULS_A5 = 16
        ULS_A6 = 17
        ULS_A7 = 18
        ULS_A8 = 19

    _name: str
    def __init__(self, id_: int, name: str) -> None: ...
    @property
    def name(self) -> str: ...

class Load(Object):
    class DistributionType(Enum):
        GLOBAL = 0
        LOCAL = 1
        PROJECTED = 2

    class SurfaceDistributionType(Enum):
        SURFACE = 0
        PROJECTED = 1

    class System(Enum):
        GLOBAL = 0
        LOCAL = 1
        REFERENCE = 2

    class _LoadDistributionType(Enum):
        CONSTANT = 0
        LINEAR = 1

    class Axis(Enum):
        X = 0
        Y = 1
        Z = 2
        XX = 3
        YY = 4
        ZZ = 5

class LoadCaseInterface(_Interface):
    def create(self, name: Optional[str] = None) -> LoadCase: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> LoadCase: ...
    def __iter__(self) -> Iterator[LoadCase]: ...
    def __len__(self) -> int: ...

class LoadInterface(_Interface):
    def create_domain_linear(
        self,
        load_case: LoadCase,
        domain: "Domain",
        load: Tuple[float, float, float],
        *,
        component: Load.Axis,
        point_1: Tuple[float, float, float],
        point_2: Tuple[float, float, float],
        point_3: Tuple[float, float, float],
        distribution_type: Load.DistributionType = Load.DistributionType.GLOBAL,
        load_on_hole: bool = False,
    ) -> Load: ...
    def create_domain_constant(
        self,
        load_case: LoadCase,
        domain: "Domain",
        load: Tuple[float, float, float],
        *,
        distribution_type: Load.SurfaceDistributionType = Load.SurfaceDistributionType.SURFACE,
        system: Load.System = Load.System.GLOBAL,
    ) -> Load: ...
    def create_domain_self_weight(self, load_case: LoadCase, domain: "Domain") -> Load: ...
    def create_beam_self_weight(self, load_case: LoadCase, member: Member) -> Load: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Load: ...
    def __iter__(self) -> Iterator[Load]: ...
    def __len__(self) -> int: ...

class LoadCombinationInterface(_Interface):
    def create(
        self,
        combination_type: LoadCombination.Type,
        load_case_factors: Dict[LoadCase, float],
        *,
        name: Optional[str] = None,
    ) -> LoadCombination: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> LoadCombination: ...
    def __iter__(self) -> Iterator[LoadCombination]: ...
    def __len__(self) -> int: ...




# Sections, results and calculation

class Section(Object):
    class _Type(Enum):
        PLANE = 0
        SEGMENT = 1

    _interface: "SectionInterface"
    _name: str
    def __init__(self, id_: int, interface: "SectionInterface", name: str) -> None: ...
    @property
    def name(self) -> str: ...

class SectionInterface(_Interface):
    def create(
        self,
        start_point: Tuple[float, float, float],
        end_point: Tuple[float, float, float],
        normal_vector: Tuple[float, float, float],
        *,
        name: Optional[str] = None,
    ) -> Section: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Section: ...
    def __iter__(self) -> Iterator[Section]: ...
    def __len__(self) -> int: ...

class ResultInterface:
    _nodes: NodeInterface
    _node_supports: "NodeSupportInterface"
    _lines: LineInterface
    _sections: SectionInterface
    _force_instructions: _InstructionList
    _displacement_instructions: _InstructionList
    def __init__(
        self,
        nodes: NodeInterface,
        node_supports: "NodeSupportInterface",
        lines: LineInterface,
        sections: SectionInterface,
    ) -> None: ...
    def nodal_displacements(self, nodes: Optional[List[Node]] = None, *, by_load_case: bool = True) -> None: ...
    def nodal_support_forces(
        self, node_supports: Optional[List["NodeSupport"]] = None, *, by_load_case: bool = True
    ) -> None: ...
    def line_forces(self, members: Optional[List[Member]] = None, *, by_load_case: bool = True) -> None: ...
    def section_surface_forces(
        self, sections: Optional[List[Section]], cases: List[LoadCombination], chain_index: int = 1
    ) -> None: ...
    def section_surface_stresses(
        self, sections: Optional[List[Section]], cases: List[LoadCombination], chain_index: int = 1
    ) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _Calculation(Object):
    class UserInteraction(Enum):
        USER_INTERACTION = 0
        AUTO_CORRECT = 1
        NO_AUTO_CORRECT = 2
        AUTO_CORRECT_NO_SHOW = 3
        NO_AUTO_CORRECT_NO_SHOW = 4

class _CalculationInterface:
    instructions: _InstructionList
    def __init__(self) -> None: ...
    def create_linear_analysis(self) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...




# Model

class _ShippedModel:
    _text: bytes
    def __init__(self, text: bytes) -> None: ...
    def __json_text__(self) -> bytes: ...

class Model:
    _references: ReferenceInterface
    _materials: "MaterialInterface"
    _nodes: NodeInterface
    _cross_sections: "CrossSectionInterface"
    _lines: LineInterface
    _domains: "DomainInterface"
    _node_supports: "NodeSupportInterface"
    _line_supports: "LineSupportInterface"
    _load_cases: "LoadCaseInterface"
    _loads: "LoadInterface"
    _load_combinations: "LoadCombinationInterface"
    _calculations: "_CalculationInterface"
    _sections: "SectionInterface"
    _results: "ResultInterface"
    def __init__(self) -> None: ...
    @property
    def references(self) -> ReferenceInterface: ...
    @property
    def materials(self) -> "MaterialInterface": ...
    @property
    def nodes(self) -> NodeInterface: ...
    @property
    def cross_sections(self) -> "CrossSectionInterface": ...
    @property
    def lines(self) -> LineInterface: ...
    @property
    def domains(self) -> "DomainInterface": ...
    @property
    def node_supports(self) -> "NodeSupportInterface": ...
    @property
    def line_supports(self) -> "LineSupportInterface": ...
    @property
    def load_cases(self) -> "LoadCaseInterface": ...
    @property
    def loads(self) -> "LoadInterface": ...
    @property
    def load_combinations(self) -> "LoadCombinationInterface": ...
    @property
    def sections(self) -> "SectionInterface": ...
    @property
    def results(self) -> "ResultInterface": ...
    def _serialize(self) -> Dict[str, Any]: ...



# Plexum analysis

class PlexumAnalysis(OffloadTask):
    _model: Model
    _return_results: bool
    _return_model: bool
    _report_template: Optional[Union[BytesIO, File]]
    def __init__(
        self,
        model: Model,
        *,
        return_results: bool = True,
        return_model: bool = False,
        report_template: Optional[Union[BytesIO, File]] = None,
    ) -> None: ...
    def execute(self, timeout: int = 25) -> None: ...
    def _generate_job_content(self) -> _JobContent: ...
    def get_results(self) -> Dict[str, Any]: ...
    def get_model_file(self, *, as_file: bool = False) -> Optional[Union[BytesIO, File]]: ...
    def get_result_file(self, *, as_file: bool = False) -> Optional[Union[BytesIO, File]]: ...
