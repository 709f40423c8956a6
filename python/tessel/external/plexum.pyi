"""Plexum model builder: a model whose interfaces record every modelling operation for a worker
to replay against Plexum."""

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
    """The records of one interface: function records (name, parameters) and property records
    (name, value), in the order in which they were added."""

    _functions: List[Tuple[str, Dict[str, Any]]]
    _properties: List[Tuple[str, Any]]
    def __init__(self) -> None: ...
    def add_function(self, name: str, parameters: Dict[str, Any]) -> None: ...
    def add_property(self, name: str, value: Any) -> None: ...
    def serialize(self) -> Dict[str, Any]: ...

class Object(ABC):
    """Abstract base class of all Plexum objects.

    .. warning:: Do not use this class directly in an application!"""

    _id: int
    def __init__(self, id_: int) -> None: ...
    @property
    def id(self) -> int:
        """Identifier of the object."""

class _Interface(ABC):
    """Abstract base class of the interfaces of a :class:`Model`."""

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
    """A point or vector, written as the record {"x", "y", "z"}."""

    x: float
    y: float
    z: float
    def __init__(self, x: float, y: float, z: float) -> None: ...
    @classmethod
    def from_tuple(cls, xyz: Tuple[float, float, float]) -> "_Point3D": ...
    def serialize(self) -> Dict[str, Any]: ...

class CircleArc:
    """A circular arc between the start and end point of the line it is passed to."""

    center: Tuple[float, float, float]
    normal_vector: Tuple[float, float, float]
    alpha: float
    def __init__(
        self, center: Tuple[float, float, float], normal_vector: Tuple[float, float, float], alpha: float
    ) -> None:
        """:param center: (x, y, z) position of the centre of the arc [m]
        :param normal_vector: (x, y, z) components of the normal of the plane of the arc
        :param alpha: angle of the arc, positive counter-clockwise from the start point [rad]"""
    def _serialize(self) -> Dict[str, Any]: ...



# References

class Reference(Object, ABC):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

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
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    x: float
    y: float
    z: float
    def __init__(self, id_: int, x: float, y: float, z: float) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferenceVector(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    point_1: Tuple[float, float, float]
    point_2: Tuple[float, float, float]
    def __init__(self, id_: int, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferenceAxis(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    point_1: Tuple[float, float, float]
    point_2: Tuple[float, float, float]
    def __init__(self, id_: int, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferencePlane(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

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
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]  # pyright: ignore[reportIncompatibleMethodOverride]  (a class constant at run time)
    angle: float
    def __init__(self, id_: int, angle: float) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class _ReferenceData:
    """The data block written for a reference of any kind."""

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
    """Do not use this __init__ directly, but use :attr:`Model.references`"""

    def create_point(self, x: float, y: float, z: float) -> Reference:
        """Create a reference point.

        :param x: x-coordinate [m]
        :param y: y-coordinate [m]
        :param z: z-coordinate [m]"""
    def create_vector(self, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> Reference:
        """Create a reference vector from point_1 to point_2.

        :param point_1: (x, y, z) of the start point [m]
        :param point_2: (x, y, z) of the end point [m]"""
    def create_axis(self, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> Reference:
        """Create a reference axis through point_1 and point_2.

        :param point_1: (x, y, z) of the first point [m]
        :param point_2: (x, y, z) of the second point [m]"""
    def create_plane(
        self,
        point_1: Tuple[float, float, float],
        point_2: Tuple[float, float, float],
        point_3: Tuple[float, float, float],
    ) -> Reference:
        """Create a reference plane through three points.

        :param point_1: (x, y, z) of the first point [m]
        :param point_2: (x, y, z) of the second point [m]
        :param point_3: (x, y, z) of the third point [m]"""
    def create_angle(self, angle: float) -> Reference:
        """Create a reference angle.

        :param angle: angle [rad]"""
    def _add_reference(self, reference: Reference) -> None: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Reference: ...
    def __iter__(self) -> Iterator[Reference]: ...
    def __len__(self) -> int: ...



# Materials and cross-sections

class Material(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class DesignCode(Enum):
        """National design code."""

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
    def name(self) -> str:
        """Name of the material."""

class CrossSection(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class Process(Enum):
        """Manufacturing process."""

        OTHER = 0
        ROLLED = 1
        WELDED = 2
        COLD_FORMED = 3

    _name: str
    def __init__(self, id_: int, name: str) -> None: ...
    @property
    def name(self) -> str:
        """Name of the cross-section."""

class MaterialInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.materials`"""

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
    ) -> Material:
        """Create a user-defined concrete material according to the Eurocode.

        :param e_x: Young's modulus of elasticity in the local x-direction [kN/m2]
        :param e_y: Young's modulus of elasticity in the local y-direction [kN/m2] (default: e_x)
        :param e_z: Young's modulus of elasticity in the local z-direction [kN/m2] (default: e_x)
        :param nu_x: Poisson's ratio in the local x-direction (0 - 0.5)
        :param nu_y: Poisson's ratio in the local y-direction (0 - 0.5) (default: nu_x)
        :param nu_z: Poisson's ratio in the local z-direction (0 - 0.5) (default: nu_x)
        :param alpha_x: thermal expansion coefficient in the local x-direction [/C] (default: 0.0)
        :param alpha_y: thermal expansion coefficient in the local y-direction [/C] (default: alpha_x)
        :param alpha_z: thermal expansion coefficient in the local z-direction [/C] (default: alpha_x)
        :param rho: density [kg/m3]
        :param f_ck: characteristic compressive cylinder strength at 28 days [kN/m2]
        :param gamma_c: safety factor
        :param alpha_cc: concrete strength-reduction factor for sustained loading
        :param phi_t: creeping factor (default: 0.0)
        :param material_code: material code name, as shown in Plexum (default: empty)
        :param name: material name, as shown in Plexum (default: the identifier)"""
    def add_from_catalog(self, name: str, national_design_code: Material.DesignCode) -> Material:
        """Add a material from the material catalogue of Plexum.

        :param name: name of the material in the catalogue of the national design code, e.g. 'C12/15'
        :param national_design_code: national design code of the catalogue"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Material: ...
    def __iter__(self) -> Iterator[Material]: ...
    def __len__(self) -> int: ...

class CrossSectionInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.cross_sections`"""

    def create_circular(self, diameter: float, *, name: Optional[str] = None) -> CrossSection:
        """Create a solid circular cross-section.

        :param diameter: diameter [m]
        :param name: name of the cross-section, as shown in Plexum (default: the identifier)"""
    def create_rectangular(
        self,
        width: float,
        height: float,
        *,
        process: CrossSection.Process = CrossSection.Process.OTHER,
        name: Optional[str] = None,
    ) -> CrossSection:
        """Create a solid rectangular cross-section.

        :param width: width [m]
        :param height: height [m]
        :param process: manufacturing process (default: OTHER)
        :param name: name of the cross-section, as shown in Plexum (default: the identifier)"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> CrossSection: ...
    def __iter__(self) -> Iterator[CrossSection]: ...
    def __len__(self) -> int: ...




# Nodes, lines and members

class Node(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _x: float
    _y: float
    _z: float
    def __init__(self, id_: int, x: float, y: float, z: float) -> None: ...
    @property
    def x(self) -> float:
        """X-coordinate [m]."""
    @property
    def y(self) -> float:
        """Y-coordinate [m]."""
    @property
    def z(self) -> float:
        """Z-coordinate [m]."""

class Line(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class _GeomType(Enum):
        STRAIGHT_LINE = 0
        CIRCLE_ARC = 1

    _interface: "LineInterface"
    _node1: Node
    _node2: Node
    def __init__(self, id_: int, interface: "LineInterface", node1: Node, node2: Node) -> None: ...
    @property
    def start_node(self) -> Node:
        """Start node."""
    @property
    def end_node(self) -> Node:
        """End node."""
    def define_as_beam(
        self,
        material: "Material",
        css_start: "CrossSection",
        css_end: Optional["CrossSection"] = None,
        *,
        local_z_reference: Optional[Reference] = None,
    ) -> "Member":
        """Define the line as a beam.

        :param material: material of the beam
        :param css_start: cross-section at the start node
        :param css_end: cross-section at the end node (default: css_start)
        :param local_z_reference: vector reference that fixes the local z-axis (default: chosen by Plexum)"""
    def split_by_number(self, n: int) -> None:
        """Split the line into n equal parts.

        :param n: number of parts after the split"""

class Member(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class _Type(Enum):
        BEAM = 1
        RIB = 2

    _line: Line
    _type: "Member._Type"
    def __init__(self, line: Line, type_: "Member._Type") -> None: ...

class NodeInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.nodes`"""

    def create(self, x: float, y: float, z: float) -> Node:
        """Create a node.

        :param x: x-coordinate [m]
        :param y: y-coordinate [m]
        :param z: z-coordinate [m]"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Node: ...
    def __iter__(self) -> Iterator[Node]: ...
    def __len__(self) -> int: ...

class LineInterface(_Interface):
    """Interface for creating lines, beams, etc.

    Do not use this __init__ directly, but use :attr:`Model.lines`"""

    _members: Dict[int, Member]
    def __init__(self) -> None: ...
    def create(self, start_node: Node, end_node: Node, circle_arc: Optional[CircleArc] = None) -> Line:
        """Create a line between two nodes.

        :param start_node: start node
        :param end_node: end node
        :param circle_arc: circular arc between the nodes (default: a straight line)"""
    def define_as_beam(
        self,
        line: Line,
        material: "Material",
        css_start: "CrossSection",
        css_end: Optional["CrossSection"] = None,
        *,
        local_z_reference: Optional[Reference] = None,
    ) -> Member:
        """Define a line as a beam.

        :param line: line to define as a beam
        :param material: material of the beam
        :param css_start: cross-section at the start node
        :param css_end: cross-section at the end node (default: css_start)
        :param local_z_reference: vector reference that fixes the local z-axis (default: chosen by Plexum)"""
    def split_by_number(self, line: Line, n: int) -> None:
        """Split a line into n equal parts.

        :param line: line to split
        :param n: number of parts after the split"""
    def _set_reference(self, line: Line, reference: Reference) -> None: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Line: ...
    def __iter__(self) -> Iterator[Line]: ...
    def __len__(self) -> int: ...



# Domains and meshing

class Domain(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class SurfaceType(Enum):
        """Finite element type."""

        HOLE = 0
        MEMBRANE_STRESS = 1
        MEMBRANE_STRAIN = 2
        PLATE = 3
        SHELL = 4

    class MeshType(Enum):
        """Contour division method."""

        ADAPTIVE = 0
        UNIFORM = 1

    class MeshGeometry(Enum):
        """Mesh geometry type."""

        TRIANGLE = 0
        QUAD = 1
        MIXED = 2

    class EccentricityType(Enum):
        """Type of eccentricity."""

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
    ) -> None:
        """Generate a mesh on this domain.

        :param mesh_geometry: mesh geometry type
        :param mesh_size: average size of the elements [m]
        :param mesh_type: contour division method (default: UNIFORM)
        :param fit_to_point_loads: fit the mesh to point loads with this value (default: no fitting)
        :param fit_to_line_loads: fit the mesh to line loads with this value (default: no fitting)
        :param fit_to_surface_loads: fit the mesh to surface loads with this value (default: no fitting)
        :param quad_mesh_quality: smoothing quality of the quad mesh, 1 - 6 (default: 2)"""
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
    ) -> None:
        """Set the eccentricity of this domain.

        :param eccentricity_type: type of eccentricity
        :param ecc_1: eccentricity at reference point 1 [m] (CONSTANT, ONE_WAY, TWO_WAY)
        :param p1: (x, y, z) of reference point 1 [m] (ONE_WAY, TWO_WAY)
        :param ecc_2: eccentricity at reference point 2 [m] (ONE_WAY, TWO_WAY)
        :param p2: (x, y, z) of reference point 2 [m] (ONE_WAY, TWO_WAY)
        :param ecc_3: eccentricity at reference point 3 [m] (TWO_WAY)
        :param p3: (x, y, z) of reference point 3 [m] (TWO_WAY)"""

class DomainInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.domains`"""

    def create(
        self, lines: List[Line], *, surface_type: Domain.SurfaceType, thickness: float, material: Material
    ) -> Domain:
        """Create a domain bounded by a closed loop of lines.

        :param lines: lines that form a closed loop
        :param surface_type: finite element type
        :param thickness: thickness [m]
        :param material: material of the domain"""
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
    ) -> None:
        """Generate a mesh on the given domains.

        :param domains: domains to mesh
        :param mesh_geometry: mesh geometry type
        :param mesh_size: average size of the elements [m]
        :param mesh_type: contour division method (default: UNIFORM)
        :param fit_to_point_loads: fit the mesh to point loads with this value (default: no fitting)
        :param fit_to_line_loads: fit the mesh to line loads with this value (default: no fitting)
        :param fit_to_surface_loads: fit the mesh to surface loads with this value (default: no fitting)
        :param quad_mesh_quality: smoothing quality of the quad mesh, 1 - 6 (default: 2)"""
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
    ) -> None:
        """Set the eccentricity of a domain.

        :param domain: domain to set the eccentricity of
        :param eccentricity_type: type of eccentricity
        :param ecc_1: eccentricity at reference point 1 [m] (CONSTANT, ONE_WAY, TWO_WAY)
        :param p1: (x, y, z) of reference point 1 [m] (ONE_WAY, TWO_WAY)
        :param ecc_2: eccentricity at reference point 2 [m] (ONE_WAY, TWO_WAY)
        :param p2: (x, y, z) of reference point 2 [m] (ONE_WAY, TWO_WAY)
        :param ecc_3: eccentricity at reference point 3 [m] (TWO_WAY)
        :param p3: (x, y, z) of reference point 3 [m] (TWO_WAY)"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Domain: ...
    def __iter__(self) -> Iterator[Domain]: ...
    def __len__(self) -> int: ...




# Supports

class NodeSupport(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

class LineSupport(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class NonLinearity(Enum):
        """Type of non-linear behaviour."""

        LINEAR = 0
        TENSION_ONLY = 1
        COMPRESSION_ONLY = 2

class NodeSupportInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.node_supports`"""

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
    ) -> NodeSupport:
        """Create a nodal support at the end node of a member (beam or rib), in the local coordinate system of the member.

        :param node: end node of exactly one member of type beam or rib
        :param stiffness_x: translational stiffness in the local x-direction [kN/m] (default: 0.0)
        :param stiffness_y: translational stiffness in the local y-direction [kN/m] (default: 0.0)
        :param stiffness_z: translational stiffness in the local z-direction [kN/m] (default: 0.0)
        :param stiffness_xx: rotational stiffness about the local x-axis [kNm/rad] (default: 0.0)
        :param stiffness_yy: rotational stiffness about the local y-axis [kNm/rad] (default: 0.0)
        :param stiffness_zz: rotational stiffness about the local z-axis [kNm/rad] (default: 0.0)
        :param resistance_x: translational resistance in the local x-direction [kN/m] (default: 0.0)
        :param resistance_y: translational resistance in the local y-direction [kN/m] (default: 0.0)
        :param resistance_z: translational resistance in the local z-direction [kN/m] (default: 0.0)
        :param resistance_xx: rotational resistance about the local x-axis [kNm/m] (default: 0.0)
        :param resistance_yy: rotational resistance about the local y-axis [kNm/m] (default: 0.0)
        :param resistance_zz: rotational resistance about the local z-axis [kNm/m] (default: 0.0)
        :param non_linearity_x: non-linear behaviour in the local x-direction (default: LINEAR)
        :param non_linearity_y: non-linear behaviour in the local y-direction (default: LINEAR)
        :param non_linearity_z: non-linear behaviour in the local z-direction (default: LINEAR)
        :param non_linearity_xx: non-linear behaviour about the local x-axis (default: LINEAR)
        :param non_linearity_yy: non-linear behaviour about the local y-axis (default: LINEAR)
        :param non_linearity_zz: non-linear behaviour about the local z-axis (default: LINEAR)"""
    def _find_node_member(self, node: Node) -> Member: ...
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> NodeSupport: ...
    def __iter__(self) -> Iterator[NodeSupport]: ...
    def __len__(self) -> int: ...

class LineSupportInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.line_supports`"""

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
    ) -> LineSupport:
        """Create an elastic foundation along a beam, in the local coordinate system of the member.

        :param member: member of type beam
        :param k_x: stiffness in the local x-direction [kN/m/m]
        :param k_y: stiffness in the local y-direction [kN/m/m]
        :param k_z: stiffness in the local z-direction [kN/m/m]
        :param non_linearity_x: non-linear behaviour in the local x-direction (default: LINEAR)
        :param non_linearity_y: non-linear behaviour in the local y-direction (default: LINEAR)
        :param non_linearity_z: non-linear behaviour in the local z-direction (default: LINEAR)
        :param resistance_fx: resistance in the local x-direction [kN/m] (default: 0.0)
        :param resistance_fy: resistance in the local y-direction [kN/m] (default: 0.0)
        :param resistance_fz: resistance in the local z-direction [kN/m] (default: 0.0)"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> LineSupport: ...
    def __iter__(self) -> Iterator[LineSupport]: ...
    def __len__(self) -> int: ...




# Load cases, loads and combinations

class LoadCase(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class _Type(Enum):
        STANDARD = 0

    _name: str
    def __init__(self, id_: int, name: str) -> None: ...
    @property
    def name(self) -> str:
        """Name of the load case."""

class LoadCombination(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

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
    def name(self) -> str:
        """Name of the load combination."""

class Load(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

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
    """Do not use this __init__ directly, but use :attr:`Model.load_cases`"""

    def create(self, name: Optional[str] = None) -> LoadCase:
        """Create a load case.

        :param name: name of the load case (default: its identifier)"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> LoadCase: ...
    def __iter__(self) -> Iterator[LoadCase]: ...
    def __len__(self) -> int: ...

class LoadInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.loads`"""

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
    ) -> Load:
        """Create a linearly varying load on a domain.

        :param load_case: load case to which the load belongs
        :param domain: domain on which the load acts
        :param load: magnitudes of the load at point_1, point_2 and point_3 [kN]
        :param component: component of the load (X, Y or Z)
        :param point_1: (x, y, z) of the first point [m]
        :param point_2: (x, y, z) of the second point [m]
        :param point_3: (x, y, z) of the third point [m]
        :param distribution_type: distribution type of the load (default: GLOBAL)
        :param load_on_hole: False (default): the load is not applied on holes"""
    def create_domain_constant(
        self,
        load_case: LoadCase,
        domain: "Domain",
        load: Tuple[float, float, float],
        *,
        distribution_type: Load.SurfaceDistributionType = Load.SurfaceDistributionType.SURFACE,
        system: Load.System = Load.System.GLOBAL,
    ) -> Load:
        """Create a uniform load on a domain.

        :param load_case: load case to which the load belongs
        :param domain: domain on which the load acts
        :param load: components (x, y, z) of the load [kN]
        :param distribution_type: distribution type of the load (default: SURFACE)
        :param system: coordinate system of the load (default: GLOBAL)"""
    def create_domain_self_weight(self, load_case: LoadCase, domain: "Domain") -> Load:
        """Create the self-weight of a domain.

        :param load_case: load case to which the load belongs
        :param domain: domain whose self-weight acts"""
    def create_beam_self_weight(self, load_case: LoadCase, member: Member) -> Load:
        """Create the self-weight of a beam.

        :param load_case: load case to which the load belongs
        :param member: beam whose self-weight acts"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Load: ...
    def __iter__(self) -> Iterator[Load]: ...
    def __len__(self) -> int: ...

class LoadCombinationInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.load_combinations`"""

    def create(
        self,
        combination_type: LoadCombination.Type,
        load_case_factors: Dict[LoadCase, float],
        *,
        name: Optional[str] = None,
    ) -> LoadCombination:
        """Create a load combination.

        :param combination_type: type of the combination
        :param load_case_factors: factor of each load case in the combination
        :param name: name of the load combination (default: its identifier)"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> LoadCombination: ...
    def __iter__(self) -> Iterator[LoadCombination]: ...
    def __len__(self) -> int: ...




# Sections, results and calculation

class Section(Object):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    class _Type(Enum):
        PLANE = 0
        SEGMENT = 1

    _interface: "SectionInterface"
    _name: str
    def __init__(self, id_: int, interface: "SectionInterface", name: str) -> None: ...
    @property
    def name(self) -> str:
        """Name of the section."""

class SectionInterface(_Interface):
    """Do not use this __init__ directly, but use :attr:`Model.sections`"""

    def create(
        self,
        start_point: Tuple[float, float, float],
        end_point: Tuple[float, float, float],
        normal_vector: Tuple[float, float, float],
        *,
        name: Optional[str] = None,
    ) -> Section:
        """Create a section: a straight segment in a plane, on which results can be obtained.

        :param start_point: (x, y, z) of the start point of the segment [m]
        :param end_point: (x, y, z) of the end point of the segment [m]
        :param normal_vector: (x, y, z) components of the normal of the plane of the section
        :param name: name of the section (default: its identifier)"""
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Section: ...
    def __iter__(self) -> Iterator[Section]: ...
    def __len__(self) -> int: ...

class ResultInterface:
    """Do not use this __init__ directly, but use :attr:`Model.results`"""

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
    def nodal_displacements(self, nodes: Optional[List[Node]] = None, *, by_load_case: bool = True) -> None:
        """Request the displacements of nodes.

        :param nodes: nodes (None: all nodes of the model)
        :param by_load_case: True (default): the results in all load cases; False: in all load combinations"""
    def nodal_support_forces(
        self, node_supports: Optional[List["NodeSupport"]] = None, *, by_load_case: bool = True
    ) -> None:
        """Request the reaction forces of node supports.

        :param node_supports: node supports (None: all node supports of the model)
        :param by_load_case: True (default): the results in all load cases; False: in all load combinations"""
    def line_forces(self, members: Optional[List[Member]] = None, *, by_load_case: bool = True) -> None:
        """Request the internal forces of members.

        :param members: members (None: all members of the model)
        :param by_load_case: True (default): the results in all load cases; False: in all load combinations"""
    def section_surface_forces(
        self, sections: Optional[List[Section]], cases: List[LoadCombination], chain_index: int = 1
    ) -> None:
        """Request the surface forces on sections, per load combination.

        :param sections: sections on which the results are requested (None: all sections)
        :param cases: load combinations in which the results are requested
        :param chain_index: index of the segment chain (default: 1)"""
    def section_surface_stresses(
        self, sections: Optional[List[Section]], cases: List[LoadCombination], chain_index: int = 1
    ) -> None:
        """Request the surface stresses on sections, per load combination.

        :param sections: sections on which the results are requested (None: all sections)
        :param cases: load combinations in which the results are requested
        :param chain_index: index of the segment chain (default: 1)"""
    def _serialize(self) -> Dict[str, Any]: ...

class _Calculation(Object):
    """Holder of the calculation enumerations; no object of it is created."""

    class UserInteraction(Enum):
        USER_INTERACTION = 0
        AUTO_CORRECT = 1
        NO_AUTO_CORRECT = 2
        AUTO_CORRECT_NO_SHOW = 3
        NO_AUTO_CORRECT_NO_SHOW = 4

class _CalculationInterface:
    """The calculation step of a model: the linear analysis."""

    instructions: _InstructionList
    def __init__(self) -> None: ...
    def create_linear_analysis(self) -> None:
        """Append the linear analysis."""
    def _serialize(self) -> Dict[str, Any]: ...




# Model

class Model:
    """Plexum model, built through its interfaces; every operation is recorded for the worker."""

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
    def __init__(self) -> None:
        """Create an empty model."""
    @property
    def references(self) -> ReferenceInterface:
        """Interface for creating reference points, vectors, axes, planes and angles."""
    @property
    def materials(self) -> "MaterialInterface":
        """Interface for creating materials."""
    @property
    def nodes(self) -> NodeInterface:
        """Interface for creating nodes."""
    @property
    def cross_sections(self) -> "CrossSectionInterface":
        """Interface for creating cross-sections."""
    @property
    def lines(self) -> LineInterface:
        """Interface for creating lines, beams, etc."""
    @property
    def domains(self) -> "DomainInterface":
        """Interface for creating domains."""
    @property
    def node_supports(self) -> "NodeSupportInterface":
        """Interface for creating node supports."""
    @property
    def line_supports(self) -> "LineSupportInterface":
        """Interface for creating line supports."""
    @property
    def load_cases(self) -> "LoadCaseInterface":
        """Interface for creating load cases."""
    @property
    def loads(self) -> "LoadInterface":
        """Interface for creating loads."""
    @property
    def load_combinations(self) -> "LoadCombinationInterface":
        """Interface for creating load combinations."""
    @property
    def sections(self) -> "SectionInterface":
        """Interface for creating sections, on which results can be obtained."""
    @property
    def results(self) -> "ResultInterface":
        """Interface for requesting results from the worker (only requested results will be returned)."""
    def _serialize(self) -> Dict[str, Any]: ...



# Plexum analysis

class PlexumAnalysis(OffloadTask):
    """Perform an analysis using Plexum on a remote server by means of a worker.

    Usage::

        analysis = PlexumAnalysis(model, return_results=True, return_model=True)
        analysis.execute(timeout=60)
        results = analysis.get_results()
        model_file = analysis.get_model_file()
        result_file = analysis.get_result_file()

    Exceptions which can be raised during calculation:

        - ExecutionError: generic error. Error message provides more information
    """

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
    def get_results(self) -> Dict[str, Any]:
        """Retrieve the results (only if return_results = True)"""
    def get_model_file(self, *, as_file: bool = False) -> Optional[Union[BytesIO, File]]:
        """The model file written by Plexum; as_file: Return as BytesIO (default) or File ::version(v13.5.0)"""
    def get_result_file(self, *, as_file: bool = False) -> Optional[Union[BytesIO, File]]:
        """The result file written by Plexum; as_file: Return as BytesIO (default) or File ::version(v13.5.0)"""
