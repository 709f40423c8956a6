"""Mechanisms, found from what holds the structure rather than from the pivots of its stiffness.

A beam element resists every motion of its two nodes but the six rigid-body
motions, and so does a plate or shell quadrilateral (its drilling spring is a
numerical device, not a support). Nodes joined by such elements therefore
move, at zero strain energy, only as one rigid body ("cluster": six freedoms).
The structure is a mechanism exactly when some motion of its clusters and of
the nodes only membranes use (their in-plane translations) is resisted by no
support, foundation or membrane element.

That question is asked of a small matrix: the restraints' stiffness projected
onto those motions, with every spring weighted 1 in each direction it acts
(rotational springs and rotations scaled by the model's extent) and every
membrane element normalised by its own diagonal. The answer then depends on
which directions are held, not on how stiff the members and springs are, nor
on how they are turned: a 20,000-element chain or a 1e-9 m section is held or
free as its supports say. A free motion is named by a node of the body that
moves and its direction.
"""

from __future__ import annotations

import numpy as np
import scipy.linalg as la
import scipy.sparse as sp
import scipy.sparse.csgraph as csgraph
import scipy.sparse.linalg as spla

from .assembly import Assembly
from .errors import AnalysisError
from .frame import DIRECTIONS, Frame
from .geometry import FloatArray, cross_matrices, spans

# A motion whose restraint, relative to the best held one, is below this is free.
FREE = 1e-10
# Up to this many freedoms the projected restraint is examined densely; above, by a sparse eigenvalue search.
DENSE = 300
LARGEST_ITERATIONS = 50


def check(assembly: Assembly, basis: sp.csc_matrix | None) -> None:
    """Refuse a model that is a mechanism, naming a node and a direction that is free."""
    frame = assembly.frame
    nodes = len(frame.xyz)
    if nodes == 0:
        return
    shells = assembly.shells
    rows: list[np.ndarray] = [frame.i]
    cols: list[np.ndarray] = [frame.j]
    if shells is not None:
        solid = shells.quads[~shells.membrane]
        for a, b in ((0, 1), (1, 2), (2, 3)):
            rows.append(solid[:, a])
            cols.append(solid[:, b])
    rows_all, cols_all = np.concatenate(rows), np.concatenate(cols)
    graph = sp.coo_matrix((np.ones(len(rows_all)), (rows_all, cols_all)), shape=(nodes, nodes))
    _, label = csgraph.connected_components(graph, directed=False)
    in_cluster = np.zeros(nodes, dtype=bool)
    in_cluster[frame.i] = in_cluster[frame.j] = True
    if shells is not None:
        in_cluster[shells.quads[~shells.membrane].ravel()] = True
    extent = float(np.max(spans(frame.xyz))) or 1.0
    phi, owners = _motions(frame.xyz, label, in_cluster, basis, extent)
    restraint = _restraints(assembly, extent)
    reduced = (phi.T @ restraint @ phi).tocsc()
    diagonal = reduced.diagonal()
    loose = np.flatnonzero(diagonal <= 0.0)
    if loose.size:
        _refuse(assembly, phi, owners, int(loose[0]), None)
    mode = _free_mode(reduced, diagonal)
    if mode is not None:
        _refuse(assembly, phi, owners, int(np.argmax(np.abs(mode))), mode)


def _motions(xyz: FloatArray, label: np.ndarray, in_cluster: np.ndarray, basis: sp.csc_matrix | None,
             extent: float) -> tuple[sp.csc_matrix, list[tuple[str, int]]]:
    """The zero-strain motions as columns over the global freedoms, and what each column moves.

    A cluster's columns are its translations along X, Y, Z and its rotations
    (times the extent) about its centroid; a node outside every cluster keeps
    its own freedoms (all six, or those of the membrane basis).
    """
    nodes = len(xyz)
    clusters = np.unique(label[in_cluster])
    centroid = np.zeros((len(clusters), 3))
    counts = np.zeros(len(clusters))
    index = np.searchsorted(clusters, label[in_cluster])
    np.add.at(centroid, index, xyz[in_cluster])
    np.add.at(counts, index, 1.0)
    centroid /= counts[:, None]
    members = np.flatnonzero(in_cluster)
    start = 6 * index  # each member's cluster's first column
    arm = (xyz[members] - centroid[index]) / extent
    # u = t + (w / extent) x (x - c), theta = w / extent.
    block = np.zeros((len(members), 6, 6))
    block[:, :3, :3] = np.eye(3)
    block[:, :3, 3:] = -cross_matrices(arm)
    block[:, 3:, 3:] = np.eye(3) / extent
    r = np.broadcast_to((6 * members)[:, None, None] + np.arange(6)[None, :, None], block.shape).ravel()
    c = np.broadcast_to(start[:, None, None] + np.arange(6)[None, None, :], block.shape).ravel()
    values = [block.ravel()]
    row_parts, col_parts = [r], [c]
    owners: list[tuple[str, int]] = [("cluster", int(members[np.argmax(label[members] == k)])) for k in clusters]
    owners = [item for item in owners for _ in range(6)]
    column = 6 * len(clusters)
    free_nodes = np.flatnonzero(~in_cluster)
    if free_nodes.size:
        full = sp.csc_matrix(sp.identity(6 * nodes)) if basis is None else basis
        picked = full[np.concatenate([6 * free_nodes[:, None] + np.arange(6)]).ravel(), :]
        used = np.flatnonzero(np.asarray(abs(picked).sum(axis=0)).ravel() > 0)
        sub = full[:, used].tocsc()
        sub.sort_indices()
        coo = sub.tocoo()
        row_parts.append(coo.row)
        col_parts.append(coo.col + column)
        values.append(coo.data)
        # Each column is owned by its largest entry's freedom (the first of equals, by row).
        magnitude = np.abs(sub.data)
        order = np.lexsort((np.arange(len(magnitude)), -magnitude, np.repeat(np.arange(len(used)),
                                                                              np.diff(sub.indptr))))
        owners += [("dof", int(row)) for row in sub.indices[order[sub.indptr[:-1]]].tolist()]
        column += len(used)
    phi = sp.csc_matrix((np.concatenate(values), (np.concatenate(row_parts), np.concatenate(col_parts))),
                        shape=(6 * nodes, column))
    return phi, owners


def _restraints(assembly: Assembly, extent: float) -> sp.csc_matrix:
    """Supports, foundations and membrane elements, each weighted by the directions it holds, not its stiffness."""
    frame = assembly.frame
    size = 6 * len(frame.xyz)
    rows: list[np.ndarray] = []
    cols: list[np.ndarray] = []
    data: list[np.ndarray] = []

    def add(dofs: np.ndarray, blocks: FloatArray) -> None:
        rows.append(np.broadcast_to(dofs[:, :, None], blocks.shape).ravel())
        cols.append(np.broadcast_to(dofs[:, None, :], blocks.shape).ravel())
        data.append(blocks.ravel())

    weights = np.array([1.0, 1.0, 1.0, extent ** 2, extent ** 2, extent ** 2])
    supports = list(assembly.supports.values())
    if supports:
        held = np.array([s.stiffness > 0.0 for s in supports]) * weights
        rotation = np.array([s.rotation for s in supports])
        nodes = np.array([s.node for s in supports])
        add(6 * nodes[:, None] + np.arange(6), np.einsum("sji,sj,sjk->sik", rotation, held, rotation))
    foundation = np.zeros((len(frame.length), 3))
    for line_support in frame.model.line_supports:
        chain = frame.chain_of[line_support.line.id]
        held = np.array([line_support.stiffness[n] > 0.0 for n in ("x", "y", "z")], dtype=float)
        foundation[chain.first:chain.first + chain.count] = np.maximum(
            foundation[chain.first:chain.first + chain.count], held)
    elements = np.flatnonzero(foundation.any(axis=1))
    if elements.size:
        lam = frame.axes[elements]
        share = foundation[elements] * (frame.length[elements, None] / (2.0 * extent))
        block = np.einsum("eji,ej,ejk->eik", lam, share, lam)
        for end in (frame.i, frame.j):
            add(6 * end[elements][:, None] + np.arange(3), block)
    shells = assembly.shells
    if shells is not None and shells.membrane.any():
        k = shells.k_global[shells.membrane]
        scale = np.max(np.abs(np.diagonal(k, axis1=1, axis2=2)), axis=1)
        add(shells.dofs[shells.membrane], k / scale[:, None, None])
    if not rows:
        return sp.csc_matrix((size, size))
    return sp.csc_matrix((np.concatenate(data), (np.concatenate(rows), np.concatenate(cols))), shape=(size, size))


def _free_mode(reduced: sp.csc_matrix, diagonal: FloatArray) -> FloatArray | None:
    """A motion that nothing holds (scaled to a unit diagonal, it has an eigenvalue near zero), or None."""
    scale = 1.0 / np.sqrt(diagonal)
    scaled = (sp.diags(scale) @ reduced @ sp.diags(scale)).tocsc()
    size = scaled.shape[0]
    if size <= DENSE:
        values, vectors = la.eigh(scaled.toarray())
        if values[0] > FREE * max(values[-1], 1.0):
            return None
        mode: FloatArray = scale * vectors[:, 0]
        return mode
    start = np.random.default_rng(0).standard_normal(size)
    # The largest eigenvalue, to a few per cent, by power iteration (the threshold needs its size only).
    vector = start / np.linalg.norm(start)
    for _ in range(LARGEST_ITERATIONS):
        vector = scaled @ vector
        vector /= np.linalg.norm(vector)
    largest = float(vector @ (scaled @ vector))
    # The smallest eigenvalue by shift and invert about a point just below zero, where the shifted matrix is
    # positive definite also when the structure is a mechanism.
    shift = FREE * max(largest, 1.0)
    values, vectors = spla.eigsh(scaled, k=1, sigma=-shift, which="LM", v0=start)
    if values[0] > shift:
        return None
    free: FloatArray = scale * vectors[:, 0]
    return free


def _refuse(assembly: Assembly, phi: sp.csc_matrix, owners: list[tuple[str, int]], column: int,
            mode: FloatArray | None) -> None:
    frame = assembly.frame
    kind, where = owners[column]
    if kind == "dof":
        raise AnalysisError(f"the model is a mechanism: {frame.describe_dof(where)}")
    first = column - column % 6
    if mode is None:
        motion = np.zeros(6)
        motion[column - first] = 1.0
    else:
        motion = mode[first:first + 6]
    translation, rotation = motion[:3], motion[3:]
    node = _named_node(frame, phi, first, where)
    if np.linalg.norm(rotation) > np.linalg.norm(translation):
        what = f"free to rotate about {_direction(rotation, 'axis')}"
    else:
        what = f"free to move in {_direction(translation, 'direction')}"
    raise AnalysisError(f"the model is a mechanism: {frame.describe_node(node)} is {what}")


def _named_node(frame: Frame, phi: sp.csc_matrix, first: int, fallback: int) -> int:
    """A model node of the moving body if it has one (the lowest id), else one of its nodes."""
    moved = set((phi[:, first].tocoo().row // 6).tolist())
    model_nodes = sorted((node_id, fe) for node_id, fe in frame.node_index.items() if fe in moved)
    return int(model_nodes[0][1]) if model_nodes else fallback


def _direction(vector: FloatArray, noun: str) -> str:
    unit = vector / np.linalg.norm(vector)
    axis = int(np.argmax(np.abs(unit)))
    if abs(unit[axis]) >= 1.0 - 1e-6:
        return f"the global {DIRECTIONS[axis]} {noun}"
    unit = unit * np.sign(unit[axis])
    return f"the {noun} ({', '.join(f'{value:.4g}' for value in unit + 0.0)})"
