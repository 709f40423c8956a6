"""Plexum model builder: a model whose interfaces record every modelling operation for a worker
to replay against Plexum."""

from abc import ABC
from enum import Enum
from io import BytesIO
from typing import Any, ClassVar, Dict, Iterator, List, Optional, Tuple, Union, overload

from tessel.core import File
from tessel.errors import ModelError
from tessel.external.offload_task import OffloadTask, _JobContent

__all__: List[str]

# Instruction list and object identity

class _InstructionList:
    """The records of one interface: function records (name, parameters) and property records
    (name, value), in the order in which they were added."""

    _functions: List[Tuple[str, dict]]
    _properties: List[Tuple[str, Any]]
    def __init__(self) -> None: ...
    def add_function(self, name: str, parameters: dict) -> None: ...
    def add_property(self, name: str, value: Any) -> None: ...
    def serialize(self) -> dict: ...

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
    def __contains__(self, o: object) -> bool: ...
    def __getitem__(self, i: int) -> Any: ...
    def __iter__(self) -> Iterator[Any]: ...
    def __len__(self) -> int: ...
    def _serialize(self) -> dict: ...

class _Point3D:
    """A point or vector, written as the record {"x", "y", "z"}."""

    x: float
    y: float
    z: float
    def __init__(self, x: float, y: float, z: float) -> None: ...
    @classmethod
    def from_tuple(cls, xyz: Tuple[float, float, float]) -> "_Point3D": ...
    def serialize(self) -> dict: ...

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
    def _serialize(self) -> dict: ...



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
    def _type(self) -> "Reference._Type": ...
    def _serialize(self) -> dict: ...

class _ReferencePoint(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]
    x: float
    y: float
    z: float
    def __init__(self, id_: int, x: float, y: float, z: float) -> None: ...
    def _serialize(self) -> dict: ...

class _ReferenceVector(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]
    point_1: Tuple[float, float, float]
    point_2: Tuple[float, float, float]
    def __init__(self, id_: int, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> None: ...
    def _serialize(self) -> dict: ...

class _ReferenceAxis(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]
    point_1: Tuple[float, float, float]
    point_2: Tuple[float, float, float]
    def __init__(self, id_: int, point_1: Tuple[float, float, float], point_2: Tuple[float, float, float]) -> None: ...
    def _serialize(self) -> dict: ...

class _ReferencePlane(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]
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
    def _serialize(self) -> dict: ...

class _ReferenceAngle(Reference):
    """Do not use this __init__ directly, but create the object from :class:`Model`"""

    _type: ClassVar[Reference._Type]
    angle: float
    def __init__(self, id_: int, angle: float) -> None: ...
    def _serialize(self) -> dict: ...

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
    def serialize(self) -> dict: ...

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




# Supports




# Load cases, loads and combinations




# Sections, results and calculation




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
    def _serialize(self) -> dict: ...



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
