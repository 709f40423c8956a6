"""Linear static analysis of the replayed frame, on PyNiteFEA's beam element.

The element physics is PyNiteFEA's: the local elastic stiffness of its 3D
Euler-Bernoulli frame element (`Member3D.ke`) and its fixed-end reactions of
distributed loads (`FixedEndReactions`). Everything around the element is
ours, vectorised with numpy, because the worker needs what PyNiteFEA's model
does not offer:

* local axes from our own rule and from vector references (PyNiteFEA's axes
  are tied to a Y-up world and a rotation angle);
* supports as 6x6 springs in the member's local axes. PyNiteFEA's springs are
  global and one-directional. The spring block is K = R^T diag(k) R with R the
  member's rotation (the same 3x3 on translations and rotations), added to
  the node's six degrees of freedom: this is the exact stiffness of a linear
  spring set in rotated axes, with no auxiliary members or penalty values;
* elastic foundations as the same local springs, lumped at sub-nodes of the
  beam (k times the tributary length);
* one factorisation for all load cases (scipy's sparse LU; combinations are
  superposed from the load-case solutions, which is exact for a linear model).
  PyNiteFEA's model solves each combination afresh, and its automatic split
  of members at every node lying on them is quadratic in the model size.

Shear deformation is not included in beams (Euler-Bernoulli). Domains
(plates, shells, membranes) are meshed by `mesh` and computed with the
elements of `shells`; the beams on their edges and inside them share their
nodes. Nodes that only membranes use keep only their in-plane translations:
the system solved is B^T K B v = B^T f with u = B v.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla
from Pynite import FEModel3D
from Pynite import FixedEndReactions as fer
from Pynite.Member3D import Member3D

from . import loads as surface_loads
from .mesh import HOLE, DomainMesh, Mesher, line_length, line_points
from .model import GRAVITY, Line, Model
from .replay import ReplayError, rotate
from .shells import OffsetError, ShellMesh

# Largest angle of one straight piece of a circular arc: the chord shortens the
# arc by (angle^2 / 24), 0.01 % here, and the bending error is of the same order.
ARC_PIECE_ANGLE = math.pi / 72.0
# Element length on an elastic foundation, as a fraction of 1 / lambda
# (lambda = (k / 4EI)^(1/4)): the lumped springs then stay within about 0.2 %
# of the continuous foundation in displacements and moments.
FOUNDATION_STEP = 0.05
MAX_PIECES_PER_PART = 4000
# A pivot below this, on the stiffness scaled to a unit diagonal, is a mechanism.
SINGULAR_PIVOT = 1e-11
_DIRECTIONS = ("x", "y", "z", "xx", "yy", "zz")


class AnalysisError(Exception):
    """The analysis cannot be done; the message says why and where."""


@dataclass
class BeamChain:
    """The finite elements of one beam, in order from its start node."""
    line: Line
    first: int  # index of its first element
    count: int


class Frame:
    """The discretised frame: finite-element nodes, elements and their local axes."""

    def __init__(self, model: Model) -> None:
        self.model = model
        self.points: list[tuple] = []
        self.node_index: dict[int, int] = {}  # model node id -> FE node
        self.inner_nodes: dict[int, tuple[int, float]] = {}  # FE node -> (line id, position)
        self.domain_nodes: list[tuple[int, int, int]] = []  # (first FE node, end, domain id) of domain interiors
        computed = [d for d in model.domains if d.surface_type != HOLE]
        self.mesher = Mesher(model) if computed else None
        # FE nodes of every domain edge, shared by the domains and the beams on it.
        self.line_nodes: dict[int, tuple[list[int], list[float]]] = {}
        on_lines = self.mesher.edge_model_nodes() if self.mesher else {}
        for line_id, fractions in (self.mesher.edge_fractions() if self.mesher else {}).items():
            line = model.lines[line_id - 1]
            points, total = line_points(line, fractions), line_length(line)
            indices = [self._model_node(line.start)]
            for k, (point, fraction) in enumerate(zip(points[1:-1], fractions[1:-1]), 1):
                node = on_lines[line_id].get(k)
                indices.append(self._model_node(node) if node is not None
                               else self._inner_node(tuple(point), line.id, total * fraction))
            indices.append(self._model_node(line.end))
            self.line_nodes[line_id] = (indices, list(total * fractions))
        starts, ends, s0, s1, refs, chains = [], [], [], [], [], []
        foundations = self._foundations()
        for line in model.lines:
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
            chains.append(BeamChain(line, len(starts), len(indices) - 1))
            starts += indices[:-1]
            ends += indices[1:]
            s0 += positions[:-1]
            s1 += positions[1:]
            refs += [line.reference.vector() if line.reference else (math.nan,) * 3] * (len(indices) - 1)
        self.chains = chains
        self.meshes: list[DomainMesh] = []
        if self.mesher:
            first = len(self.points)
            self.meshes = self.mesher.mesh(self.points, {k: v[0] for k, v in self.line_nodes.items()},
                                            self._model_node)
            # Interior nodes are appended domain by domain.
            for mesh in self.meshes:
                used = np.unique(mesh.quads)
                inner = used[used >= first]
                if inner.size:
                    self.domain_nodes.append((int(inner.min()), int(inner.max()) + 1, mesh.domain.id))
        self.xyz = np.array(self.points, dtype=float).reshape(-1, 3)
        self.i = np.array(starts, dtype=np.int64)
        self.j = np.array(ends, dtype=np.int64)
        self.s0 = np.array(s0, dtype=float)
        self.s1 = np.array(s1, dtype=float)
        axis = self.xyz[self.j] - self.xyz[self.i]
        self.length = np.linalg.norm(axis, axis=1)
        self.axes = _local_axes(axis / self.length[:, None], np.array(refs, dtype=float).reshape(-1, 3))
        self.chain_of = {chain.line.id: chain for chain in chains}
        self._check_references()

    @property
    def notes(self) -> list[str]:
        """What the result should say about the meshing."""
        notes = list(self.mesher.notes) if self.mesher else []
        for mesh in self.meshes:
            geometry = self.model.mesh_geometries.get(mesh.domain.id)
            if geometry in (0, 2):
                notes.append(f"{mesh.domain.record}: domain {mesh.domain.id} is meshed with quadrilaterals only "
                             f"({'triangles' if geometry == 0 else 'a mixed mesh'} were asked for)")
        return notes

    def _inner_node(self, point: tuple, line_id: int, position: float) -> int:
        index = len(self.points)
        self.inner_nodes[index] = (line_id, position)
        self.points.append(point)
        return index

    def _edge_beam(self, line: Line, foundation: np.ndarray | None) -> tuple[list[int], list[float]]:
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
                out_indices.append(self._inner_node(tuple(point), line.id, float(position)))
                out_positions.append(float(position))
            out_indices.append(indices[k + 1])
            out_positions.append(positions[k + 1])
        return out_indices, out_positions

    @staticmethod
    def _foundation_lambda(line: Line, foundation: np.ndarray) -> float:
        beam = line.beam
        e, section = beam.material.e, beam.cross_section
        return max((foundation[2] / (4 * e * section.i_y)) ** 0.25, (foundation[1] / (4 * e * section.i_z)) ** 0.25,
                   math.sqrt(foundation[0] / (e * section.area)))

    def _model_node(self, node) -> int:
        index = self.node_index.get(node.id)
        if index is None:
            index = self.node_index[node.id] = len(self.points)
            self.points.append(node.point)
        return index

    def _foundations(self) -> dict[int, np.ndarray]:
        """Foundation stiffness per beam (kN/m/m in local x, y, z), all its line supports added."""
        result: dict[int, np.ndarray] = {}
        for support in self.model.line_supports:
            k = np.array([support.stiffness[name] for name in ("x", "y", "z")])
            result[support.line.id] = result.get(support.line.id, 0.0) + k
        return result

    def _stations(self, line: Line, foundation: np.ndarray | None) -> tuple[list, list]:
        """Points and positions (m from the start, along the line) of the beam's FE nodes."""
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
            points = [tuple(start + (end - start) * f) for f in fractions]
        else:
            center = np.array(line.arc.center)
            normal = np.array(line.arc.normal) / np.linalg.norm(line.arc.normal)
            radius_vector = tuple(start - center)
            points = [tuple(center + rotate(radius_vector, tuple(normal), line.arc.alpha * f)) for f in fractions]
        points[0], points[-1] = line.start.point, line.end.point
        return points, positions

    def _check_references(self) -> None:
        bad = np.flatnonzero(np.isnan(self.axes[:, 2, 0]))
        if bad.size:
            line = next(chain.line for chain in self.chains if chain.first <= bad[0] < chain.first + chain.count)
            raise AnalysisError(f"{line.reference_record}: reference {line.reference.id} is parallel to a piece "
                                f"of line {line.id}: it cannot give its local z there")

    def describe_dof(self, dof: int) -> str:
        node, direction = divmod(dof, 6)
        what = (f"free to move in the global {_DIRECTIONS[direction]} direction" if direction < 3
                else f"free to rotate about the global {_DIRECTIONS[direction][0]} axis")
        for node_id, index in self.node_index.items():
            if index == node:
                return f"node {node_id} is {what}"
        if node in self.inner_nodes:
            line_id, position = self.inner_nodes[node]
            kind = "beam" if self.model.lines[line_id - 1].beam else "line"
            return f"the point of {kind} {line_id} at {position:.6g} m from its start is {what}"
        point = ", ".join(f"{c:.6g}" for c in self.points[node])
        domain = next(d for first, end, d in self.domain_nodes if first <= node < end)
        return f"the point ({point}) of domain {domain} is {what}"


def _local_axes(x: np.ndarray, ref: np.ndarray) -> np.ndarray:
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


class _Elements:
    """Local element matrices from PyNiteFEA, one call per distinct element."""

    def __init__(self) -> None:
        self.model = FEModel3D()
        self._stiffness: dict[tuple, np.ndarray] = {}
        self._fer: dict[float, np.ndarray] = {}

    def stiffness(self, material, section, length: float) -> np.ndarray:
        key = (material.id, section.id, length)
        ke = self._stiffness.get(key)
        if ke is None:
            name = str(len(self._stiffness))
            mat, sec = f"m{material.id}", f"s{section.id}"
            if mat not in self.model.materials:
                self.model.add_material(mat, material.e, material.g, material.nu, material.rho)
            if sec not in self.model.sections:
                self.model.add_section(sec, section.area, section.i_y, section.i_z, section.torsion)
            i = self.model.add_node(f"i{name}", 0.0, 0.0, 0.0)
            j = self.model.add_node(f"j{name}", length, 0.0, 0.0)
            member = Member3D(self.model, name, self.model.nodes[i], self.model.nodes[j], mat, sec)
            ke = self._stiffness[key] = np.asarray(member.ke(), dtype=float)
        return ke

    def unit_fixed_end_reactions(self, length: float) -> np.ndarray:
        """(3, 12): the fixed-end reactions of a unit uniform load along local x, y and z."""
        value = self._fer.get(length)
        if value is None:
            value = self._fer[length] = np.stack([
                np.asarray(fer.FER_AxialLinLoad(1.0, 1.0, 0.0, length, length), dtype=float).reshape(12),
                np.asarray(fer.FER_LinLoad(1.0, 1.0, 0.0, length, length, "Fy"), dtype=float).reshape(12),
                np.asarray(fer.FER_LinLoad(1.0, 1.0, 0.0, length, length, "Fz"), dtype=float).reshape(12)])
        return value


@dataclass
class Solution:
    """Results of every load case and combination ("columns": the model's cases, then its combinations)."""
    frame: Frame
    columns: dict[tuple[str, int], int]  # ("case" | "combination", id) -> column
    displacements: np.ndarray  # (FE nodes, 6, columns), global axes
    end_forces: np.ndarray  # (elements, columns, 12): forces of the nodes on each element, local axes
    loads: np.ndarray  # (elements, columns, 3): distributed load on each element, local axes, kN/m
    support_forces: dict[int, np.ndarray]  # support id -> (2, 6, columns): local, global
    shells: ShellMesh | None = None
    applied: np.ndarray | None = None  # (columns, 3): total surface and beam load, global kN
    _shell_results: np.ndarray | None = None

    @property
    def shell_results(self) -> np.ndarray:
        """Gauss-point results of every quadrilateral (elements, 4, 8, columns), domain plane axes."""
        if self._shell_results is None:
            u = self.displacements.reshape(-1, self.displacements.shape[2])
            self._shell_results = self.shells.element_results(u)
        return self._shell_results


def analyse(model: Model) -> Solution:
    try:
        return _analyse(model)
    except (surface_loads.LoadError, OffsetError) as problem:
        raise AnalysisError(str(problem)) from None


def _analyse(model: Model) -> Solution:
    frame = Frame(model)
    if not frame.chains and not frame.meshes:
        raise AnalysisError("the model has no beams or domains to analyse")
    elements = _Elements()
    ne = len(frame.length)
    nodes = len(frame.xyz)
    ndof = 6 * nodes
    ke = np.empty((ne, 12, 12))
    for chain in frame.chains:
        beam = chain.line.beam
        for e in range(chain.first, chain.first + chain.count):
            ke[e] = elements.stiffness(beam.material, beam.cross_section, float(frame.length[e]))
    t = np.zeros((ne, 12, 12))
    for block in range(4):
        t[:, 3 * block:3 * block + 3, 3 * block:3 * block + 3] = frame.axes
    k_global = np.einsum("eji,ejk,ekl->eil", t, ke, t)
    dofs = (6 * np.stack([frame.i, frame.j], axis=1)[:, :, None] + np.arange(6)).reshape(ne, 12)
    rows = [np.broadcast_to(dofs[:, :, None], (ne, 12, 12)).ravel()]
    cols = [np.broadcast_to(dofs[:, None, :], (ne, 12, 12)).ravel()]
    data = [k_global.ravel()]

    support_blocks: dict[int, tuple[int, np.ndarray, np.ndarray]] = {}
    for support in model.node_supports:
        chain = frame.chain_of[support.line.id]
        at_start = support.node is support.line.start
        element = chain.first if at_start else chain.first + chain.count - 1
        rotation = np.zeros((6, 6))
        rotation[:3, :3] = rotation[3:, 3:] = frame.axes[element]
        block = rotation.T @ np.diag([support.stiffness[name] for name in _DIRECTIONS]) @ rotation
        node = frame.node_index[support.node.id]
        support_blocks[support.id] = (node, block, rotation)
        node_dofs = 6 * node + np.arange(6)
        rows.append(np.repeat(node_dofs, 6))
        cols.append(np.tile(node_dofs, 6))
        data.append(block.ravel())
    foundation = np.zeros((ne, 3))
    for support in model.line_supports:
        chain = frame.chain_of[support.line.id]
        foundation[chain.first:chain.first + chain.count] += [support.stiffness[n] for n in ("x", "y", "z")]
    with_foundation = np.flatnonzero(foundation.any(axis=1))
    if with_foundation.size:
        lam = frame.axes[with_foundation]
        half = foundation[with_foundation] * frame.length[with_foundation, None] / 2.0
        block = np.einsum("eji,ej,ejk->eik", lam, half, lam)
        for end in (frame.i, frame.j):
            node_dofs = 6 * end[with_foundation][:, None] + np.arange(3)
            rows.append(np.broadcast_to(node_dofs[:, :, None], block.shape).ravel())
            cols.append(np.broadcast_to(node_dofs[:, None, :], block.shape).ravel())
            data.append(block.ravel())
    shells = ShellMesh(frame.xyz, frame.meshes) if frame.meshes else None
    if shells is not None:
        n = len(shells.quads)
        rows.append(np.broadcast_to(shells.dofs[:, :, None], (n, 24, 24)).ravel())
        cols.append(np.broadcast_to(shells.dofs[:, None, :], (n, 24, 24)).ravel())
        data.append(shells.k_global.ravel())
    stiffness = sp.coo_matrix((np.concatenate(data), (np.concatenate(rows), np.concatenate(cols))),
                              shape=(ndof, ndof)).tocsc()

    # Load cases: global distributed loads per element, then the combinations as factored sums.
    cases = model.load_cases
    combinations = model.load_combinations
    columns = {("case", case.id): k for k, case in enumerate(cases)}
    columns.update({("combination", c.id): len(cases) + k for k, c in enumerate(combinations)})
    weights = np.zeros((len(cases), len(columns)))
    weights[:, :len(cases)] = np.eye(len(cases))
    for k, combination in enumerate(combinations):
        for case, factor in combination.factors:
            weights[case.id - 1, len(cases) + k] += factor
    w_global = np.zeros((ne, len(cases), 3))
    for load in model.loads:
        if load.kind != "AddBeamSelfWeight":
            continue  # surface loads: below
        line = load.line
        chain = frame.chain_of[line.id]
        span = slice(chain.first, chain.first + chain.count)
        q = line.beam.material.rho * line.beam.cross_section.area * GRAVITY / 1000.0
        # The weight of an arc piece is that of the arc it stands for.
        q_elements = q * (frame.s1[span] - frame.s0[span]) / frame.length[span]
        w_global[span, load.load_case.id - 1, 2] -= q_elements
    w_local_cases = np.einsum("eij,ecj->eci", frame.axes, w_global)
    unit_fer = np.stack([elements.unit_fixed_end_reactions(float(length)) for length in frame.length]) \
        if ne else np.zeros((0, 3, 12))
    fer_cases = np.einsum("ecd,edk->eck", w_local_cases, unit_fer)  # (ne, cases, 12), local
    fer_global = np.einsum("eki,eck->eci", t, fer_cases)
    rhs = np.zeros((ndof, len(cases)))
    np.add.at(rhs, dofs, -fer_global.transpose(0, 2, 1))
    applied_cases = np.zeros((len(cases), 3))
    applied_cases[:, 2] = np.einsum("ec,e->c", w_global[:, :, 2], frame.length)
    if shells is not None:
        nodal = surface_loads.nodal_loads(model, shells, nodes)  # (nodes, 3, cases)
        rhs += nodal.reshape(-1, len(cases))
        applied_cases += nodal[:, :3].sum(axis=0).T

    u_cases = _solve(stiffness, rhs, frame, _membrane_basis(frame, shells) if shells is not None else None)
    u = u_cases @ weights
    loads_local = np.einsum("eci,cd->edi", w_local_cases, weights)
    fer_all = np.einsum("eck,cd->edk", fer_cases, weights)
    u_elements = u[dofs]  # (ne, 12, columns)
    local = np.einsum("eij,ejc->eic", t, u_elements)
    end_forces = np.einsum("eij,ejc->eci", ke, local) + fer_all
    displacements = u.reshape(nodes, 6, len(columns))
    support_forces = {}
    for support_id, (node, block, rotation) in support_blocks.items():
        reaction = -block @ displacements[node]
        support_forces[support_id] = np.stack([rotation @ reaction, reaction])
    return Solution(frame, columns, displacements, end_forces, loads_local, support_forces, shells,
                    weights.T @ applied_cases)


def _membrane_basis(frame: Frame, shells: ShellMesh) -> sp.csc_matrix | None:
    """The freedoms of the nodes, as columns over their global degrees of freedom; None: all six everywhere.

    A node that only membrane elements use has no stiffness out of their
    planes and none in rotation: it keeps only its translations in the
    membranes' planes (two in one plane, three where planes meet).
    """
    if not shells.membrane.any():
        return None
    nodes = len(frame.xyz)
    full = np.zeros(nodes, dtype=bool)
    full[frame.i] = full[frame.j] = True
    full[shells.quads[~shells.membrane].ravel()] = True
    planes: dict[int, list[np.ndarray]] = {}
    for e in np.flatnonzero(shells.membrane):
        axes = shells.meshes[shells.domain_of[e]].outline.axes
        for node in shells.quads[e]:
            if not full[node]:
                planes.setdefault(int(node), []).append(axes[:2])
    rows, cols, values = [], [], []
    column = 0
    for node in range(nodes):
        if node not in planes:
            rows += list(range(6 * node, 6 * node + 6))
            cols += list(range(column, column + 6))
            values += [1.0] * 6
            column += 6
            continue
        _, sigma, vt = np.linalg.svd(np.concatenate(planes[node]), full_matrices=False)
        for vector in vt[sigma > 1e-9 * sigma[0]]:
            rows += [6 * node, 6 * node + 1, 6 * node + 2]
            cols += [column] * 3
            values += list(vector)
            column += 1
    return sp.csc_matrix((values, (rows, cols)), shape=(6 * nodes, column))


def _solve(stiffness: sp.csc_matrix, rhs: np.ndarray, frame: Frame,
           basis: sp.csc_matrix | None = None) -> np.ndarray:
    """Solve K u = f for all load cases with one factorisation; a mechanism names a free node.

    With a basis B of the freedoms (u = B v), B^T K B v = B^T f is solved.
    """
    if basis is not None:
        reduced = _solve_full((basis.T @ stiffness @ basis).tocsc(), basis.T @ rhs, frame,
                              lambda k: int(np.argmax(np.abs(basis[:, k].toarray()[:, 0]))))
        return basis @ reduced
    return _solve_full(stiffness, rhs, frame, lambda k: k)


def _solve_full(stiffness: sp.csc_matrix, rhs: np.ndarray, frame: Frame, dof_of) -> np.ndarray:
    diagonal = stiffness.diagonal()
    free = np.flatnonzero(diagonal <= 0.0)
    if free.size:
        raise AnalysisError(f"the model is a mechanism: {frame.describe_dof(dof_of(int(free[0])))}")
    scale = 1.0 / np.sqrt(diagonal)
    scaling = sp.diags(scale)
    scaled = (scaling @ stiffness @ scaling).tocsc()
    try:
        # The stiffness is symmetric and, scaled, has a unit diagonal: symmetric ordering, no pivoting.
        lu = spla.splu(scaled, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0, options={"SymmetricMode": True})
        singular = np.min(np.abs(lu.U.diagonal())) < SINGULAR_PIVOT
    except RuntimeError:
        singular = True
    if singular:
        # The solution of the slightly regularised system is dominated by the mechanism's mode.
        shifted = spla.splu((scaled + SINGULAR_PIVOT * 10 * sp.identity(scaled.shape[0])).tocsc())
        mode = shifted.solve(np.random.default_rng(0).standard_normal(scaled.shape[0]))
        raise AnalysisError(f"the model is a mechanism: {frame.describe_dof(dof_of(int(np.argmax(np.abs(mode)))))}")
    if rhs.shape[1] == 0:
        return np.zeros((len(diagonal), 0))
    return scale[:, None] * lu.solve(scale[:, None] * rhs)


def refuse_unsupported(model: Model) -> None:
    """Refuse, naming the first record, what the analysis cannot compute."""
    if model.unsupported:
        label, reason = model.unsupported[0]
        raise ReplayError(f"{label}: {reason}")
