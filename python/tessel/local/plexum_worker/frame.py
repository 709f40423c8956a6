"""The discretised frame: finite-element nodes, the beams' elements and their local axes.

The nodes are numbered once: the model nodes and the points of the lines
that the domain meshes use (`mesh.MeshPlan`) first, then the inner points of
the other beams, then each domain's interior nodes as it is meshed. A beam
on a domain's edge or inside it takes the nodes of that line, so beams and
domains share their nodes. Straight beams are split where their "SplitByN"
parts end, arcs into pieces of at most ARC_PIECE_ANGLE, beams on an elastic
foundation finer (see FOUNDATION_STEP).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .errors import AnalysisError
from .geometry import ARC_PIECE_ANGLE, FloatArray, IntArray, arc_points, as_vector, line_length, line_points
from .mesh import DomainMesh, MeshPlan
from .model import Line, Model, Node, Vector

# Element length on an elastic foundation, as a fraction of 1 / lambda
# (lambda = (k / 4EI)^(1/4)): the lumped springs then stay within about 0.2 %
# of the continuous foundation in displacements and moments.
FOUNDATION_STEP = 0.05
MAX_PIECES_PER_PART = 4000
DIRECTIONS = ("x", "y", "z", "xx", "yy", "zz")


@dataclass
class BeamChain:
    """The finite elements of one beam, in order from its start node."""
    line: Line
    first: int  # index of its first element
    count: int


class Frame:
    """The discretised frame: finite-element nodes, elements and their local axes.

    Built from the model and its mesh plan (None: no domain to compute) in
    three steps: the nodes of the lines the meshes use, the beams' elements,
    the domains' meshes.
    """

    def __init__(self, model: Model, plan: MeshPlan | None) -> None:
        self.model = model
        self.plan = plan
        self.points: list[Vector] = []
        self.node_index: dict[int, int] = {}  # model node id -> FE node
        self.inner_nodes: dict[int, tuple[int, float]] = {}  # FE node -> (line id, position)
        self.domain_nodes: list[tuple[int, int, int]] = []  # (first FE node, end, domain id) of domain interiors
        # FE nodes of every domain edge, shared by the domains and the beams on it.
        self.line_nodes: dict[int, tuple[list[int], list[float]]] = {}
        self.chains: list[BeamChain] = []
        self.meshes: list[DomainMesh] = []
        if plan is not None:
            self._edge_nodes(plan)
        starts, ends, s0, s1, refs = self._beam_elements()
        if plan is not None:
            self._domain_meshes(plan)
        self.xyz: FloatArray = np.array(self.points, dtype=float).reshape(-1, 3)
        self.i: IntArray = np.array(starts, dtype=np.int64)
        self.j: IntArray = np.array(ends, dtype=np.int64)
        self.s0: FloatArray = np.array(s0, dtype=float)
        self.s1: FloatArray = np.array(s1, dtype=float)
        axis = self.xyz[self.j] - self.xyz[self.i]
        self.length: FloatArray = np.linalg.norm(axis, axis=1)
        self.axes = local_axes(axis / self.length[:, None], np.array(refs, dtype=float).reshape(-1, 3))
        self.chain_of = {chain.line.id: chain for chain in self.chains}
        self._check_references()

    def _edge_nodes(self, plan: MeshPlan) -> None:
        """The FE nodes of the lines the meshes use, model nodes lying on them included."""
        on_lines = plan.edge_model_nodes()
        for line_id, fractions in plan.fractions.items():
            line = self.model.lines[line_id - 1]
            points, total = line_points(line, fractions), line_length(line)
            indices = [self._model_node(line.start)]
            for k, (point, fraction) in enumerate(zip(points[1:-1], fractions[1:-1]), 1):
                node = on_lines[line_id].get(k)
                indices.append(self._model_node(node) if node is not None
                               else self._inner_node(as_vector(point), line.id, total * fraction))
            indices.append(self._model_node(line.end))
            self.line_nodes[line_id] = (indices, list(total * fractions))

    def _beam_elements(self) -> tuple[list[int], list[int], list[float], list[float], list[Vector]]:
        """Start and end nodes, positions along the beam and z references of every beam element."""
        starts: list[int] = []
        ends: list[int] = []
        s0: list[float] = []
        s1: list[float] = []
        refs: list[Vector] = []
        foundations = self._foundations()
        for line in self.model.lines:
            if line.beam is None:
                continue
            if line.id in self.line_nodes:
                indices, positions = self._edge_beam(line, foundations.get(line.id))
            else:
                stations, positions = self._stations(line, foundations.get(line.id))
                indices = [self._model_node(line.start)]
                for point, position in zip(stations[1:-1], positions[1:-1]):
                    indices.append(self._inner_node(point, line.id, position))
                indices.append(self._model_node(line.end))
            self.chains.append(BeamChain(line, len(starts), len(indices) - 1))
            starts += indices[:-1]
            ends += indices[1:]
            s0 += positions[:-1]
            s1 += positions[1:]
            refs += [line.reference.vector() if line.reference else (math.nan, math.nan, math.nan)] * (len(indices) - 1)
        return starts, ends, s0, s1, refs

    def _domain_meshes(self, plan: MeshPlan) -> None:
        first = len(self.points)
        self.meshes = plan.mesh(self.points, {k: v[0] for k, v in self.line_nodes.items()}, self._model_node)
        # Interior nodes are appended domain by domain.
        for mesh in self.meshes:
            used = np.unique(mesh.quads)
            inner = used[used >= first]
            if inner.size:
                self.domain_nodes.append((int(np.min(inner)), int(np.max(inner)) + 1, mesh.domain.id))

    @property
    def notes(self) -> list[str]:
        """What the result should say about the meshing."""
        notes = list(self.plan.notes) if self.plan else []
        for mesh in self.meshes:
            geometry = self.model.mesh_geometries.get(mesh.domain.id)
            if geometry in (0, 2):
                notes.append(f"{mesh.domain.record}: domain {mesh.domain.id} is meshed with quadrilaterals only "
                             f"({'triangles' if geometry == 0 else 'a mixed mesh'} were asked for)")
        return notes

    def _inner_node(self, point: Vector, line_id: int, position: float) -> int:
        index = len(self.points)
        self.inner_nodes[index] = (line_id, position)
        self.points.append(point)
        return index

    def _edge_beam(self, line: Line, foundation: FloatArray | None) -> tuple[list[int], list[float]]:
        """FE nodes of a beam on a domain edge: the edge's nodes, each piece split further on a foundation."""
        indices, positions = self.line_nodes[line.id]
        if foundation is None:
            return list(indices), list(positions)
        lam = self._foundation_lambda(line, foundation)
        pieces = len(indices) - 1
        total = line_length(line)
        step = max(b - a for a, b in zip(positions, positions[1:]))
        split = max(1, min(MAX_PIECES_PER_PART * line.parts // pieces, math.ceil(step * lam / FOUNDATION_STEP - 1e-9)))
        if split == 1:
            return list(indices), list(positions)
        out_indices, out_positions = [indices[0]], [positions[0]]
        for k in range(pieces):
            sub = np.linspace(positions[k], positions[k + 1], split + 1)[1:-1]
            for point, position in zip(line_points(line, np.concatenate([[0.0], sub / total, [1.0]]))[1:-1], sub):
                out_indices.append(self._inner_node(as_vector(point), line.id, float(position)))
                out_positions.append(float(position))
            out_indices.append(indices[k + 1])
            out_positions.append(positions[k + 1])
        return out_indices, out_positions

    @staticmethod
    def _foundation_lambda(line: Line, foundation: FloatArray) -> float:
        beam = line.beam
        assert beam is not None
        e, section = beam.material.e, beam.cross_section
        lam: float = max((foundation[2] / (4 * e * section.i_y)) ** 0.25,
                         (foundation[1] / (4 * e * section.i_z)) ** 0.25, math.sqrt(foundation[0] / (e * section.area)))
        return lam

    def _model_node(self, node: Node) -> int:
        index = self.node_index.get(node.id)
        if index is None:
            index = self.node_index[node.id] = len(self.points)
            self.points.append(node.point)
        return index

    def _foundations(self) -> dict[int, FloatArray]:
        """Foundation stiffness per beam (kN/m/m in local x, y, z), all its line supports added."""
        result: dict[int, FloatArray] = {}
        for support in self.model.line_supports:
            k = np.array([support.stiffness[name] for name in ("x", "y", "z")])
            result[support.line.id] = result[support.line.id] + k if support.line.id in result else 0.0 + k
        return result

    def _stations(self, line: Line, foundation: FloatArray | None) -> tuple[list[Vector], list[float]]:
        """Points and positions (m from the start, along the line) of the beam's FE nodes."""
        if line.arc is None and foundation is None:  # most beams: evenly split, without numpy's overhead
            a, b = line.start.point, line.end.point
            total, count = math.dist(a, b), line.parts
            inner = [(a[0] + (b[0] - a[0]) * f, a[1] + (b[1] - a[1]) * f, a[2] + (b[2] - a[2]) * f)
                     for f in (k / count for k in range(1, count))]
            return [a, *inner, b], [total * k / count for k in range(count + 1)]
        start, end = np.array(line.start.point), np.array(line.end.point)
        if line.arc is None:
            total, per_part = float(np.linalg.norm(end - start)), 1
        else:
            radius = float(np.linalg.norm(start - np.array(line.arc.center)))
            total = radius * abs(line.arc.alpha)
            per_part = math.ceil(abs(line.arc.alpha) / line.parts / ARC_PIECE_ANGLE - 1e-9)
        if foundation is not None:
            lam = self._foundation_lambda(line, foundation)
            per_part = max(per_part, min(MAX_PIECES_PER_PART,
                                         math.ceil(total / line.parts * lam / FOUNDATION_STEP - 1e-9)))
        count = line.parts * per_part
        fractions = [k / count for k in range(count + 1)]
        positions = [total * f for f in fractions]
        if line.arc is None:
            points = [as_vector(start + (end - start) * f) for f in fractions]
        else:
            points = arc_points(line, fractions)
        points[0], points[-1] = line.start.point, line.end.point
        return points, positions

    def _check_references(self) -> None:
        bad = np.flatnonzero(np.isnan(self.axes[:, 2, 0]))
        if bad.size:
            line = next(chain.line for chain in self.chains if chain.first <= bad[0] < chain.first + chain.count)
            assert line.reference is not None
            raise AnalysisError(f"{line.reference_record}: reference {line.reference.id} is parallel to a piece "
                                f"of line {line.id}: it cannot give its local z there")

    def describe_dof(self, dof: int) -> str:
        node, direction = divmod(dof, 6)
        what = (f"free to move in the global {DIRECTIONS[direction]} direction" if direction < 3
                else f"free to rotate about the global {DIRECTIONS[direction][0]} axis")
        return f"{self.describe_node(node)} is {what}"

    def describe_node(self, node: int) -> str:
        """A FE node as a user knows it: a model node, a point of a beam or line, or a point of a domain."""
        for node_id, index in self.node_index.items():
            if index == node:
                return f"node {node_id}"
        if node in self.inner_nodes:
            line_id, position = self.inner_nodes[node]
            kind = "beam" if self.model.lines[line_id - 1].beam else "line"
            return f"the point of {kind} {line_id} at {position:.6g} m from its start"
        point = ", ".join(f"{c:.6g}" for c in self.points[node])
        domain = next(d for first, end, d in self.domain_nodes if first <= node < end)
        return f"the point ({point}) of domain {domain}"


def local_axes(x: FloatArray, ref: FloatArray) -> FloatArray:
    """Rows x, y, z of each element's local axes.

    Without a reference: y horizontal (global Z cross x) and z = x cross y, so
    z points upwards; a vertical element takes z along global X. With a vector
    reference: z is the part of the reference perpendicular to x. A reference
    parallel to an element gives NaN axes, reported by the caller.
    """
    n = len(x)
    z = np.empty((n, 3))
    default = np.isnan(ref[:, 0])
    horizontal = np.hypot(x[:, 0], x[:, 1]) > 1e-9
    d = default & horizontal
    y_default = np.cross(np.array([0.0, 0.0, 1.0]), x[d])
    y_default /= np.linalg.norm(y_default, axis=1)[:, None]
    z[d] = np.cross(x[d], y_default)
    z[default & ~horizontal] = (1.0, 0.0, 0.0)
    r = ~default
    proj = ref[r] - np.sum(ref[r] * x[r], axis=1)[:, None] * x[r]
    size = np.linalg.norm(proj, axis=1)
    parallel = size <= 1e-9 * np.linalg.norm(ref[r], axis=1)
    proj[parallel] = math.nan
    z[r] = proj / np.where(parallel, 1.0, size)[:, None]
    y = np.cross(z, x)
    return np.stack([x, y, z], axis=1)


