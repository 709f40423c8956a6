"""The solve: K u = f for every load case with one sparse factorisation; a mechanism is refused, naming a free point.

The stiffness is scaled to a unit diagonal and factorised by scipy's sparse
LU without pivoting (it is symmetric). Nodes that only membranes use keep
only their in-plane translations: the system solved is B^T K B v = B^T f
with u = B v.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

from .assembly import Assembly
from .errors import AnalysisError
from .frame import Frame
from .geometry import FloatArray
from .loads import Loading
from .shells import ShellMesh

# A pivot below this, on the stiffness scaled to a unit diagonal, is a mechanism.
SINGULAR_PIVOT = 1e-11


def solve(assembly: Assembly, loading: Loading) -> FloatArray:
    """The displacements (degrees of freedom, load cases), global axes."""
    shells = assembly.shells
    basis = membrane_basis(assembly.frame, shells) if shells is not None else None
    return _solve(assembly.stiffness, loading.rhs, assembly.frame, basis)


def membrane_basis(frame: Frame, shells: ShellMesh) -> sp.csc_matrix | None:
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


def _solve(stiffness: sp.csc_matrix, rhs: FloatArray, frame: Frame,
           basis: sp.csc_matrix | None = None) -> FloatArray:
    """Solve K u = f for all load cases with one factorisation; a mechanism names a free node.

    With a basis B of the freedoms (u = B v), B^T K B v = B^T f is solved.
    """
    if basis is not None:
        reduced = _solve_full((basis.T @ stiffness @ basis).tocsc(), basis.T @ rhs, frame,
                              lambda k: int(np.argmax(np.abs(basis[:, k].toarray()[:, 0]))))
        u: FloatArray = basis @ reduced
        return u
    return _solve_full(stiffness, rhs, frame, lambda k: k)


def _factorised(scaled: Any) -> Any:
    """The LU factors of the scaled stiffness, or None where it is singular."""
    try:
        # The stiffness is symmetric and, scaled, has a unit diagonal: symmetric ordering, no pivoting.
        lu = spla.splu(scaled, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0, options={"SymmetricMode": True})
    except RuntimeError:
        return None
    return lu if np.min(np.abs(lu.U.diagonal())) >= SINGULAR_PIVOT else None


def _solve_full(stiffness: sp.csc_matrix, rhs: FloatArray, frame: Frame,
                dof_of: Callable[[int], int]) -> FloatArray:
    diagonal = stiffness.diagonal()
    free = np.flatnonzero(diagonal <= 0.0)
    if free.size:
        raise AnalysisError(f"the model is a mechanism: {frame.describe_dof(dof_of(int(free[0])))}")
    scale = 1.0 / np.sqrt(diagonal)
    scaling = sp.diags(scale)
    scaled = (scaling @ stiffness @ scaling).tocsc()
    lu = _factorised(scaled)
    if lu is None:
        # The solution of the slightly regularised system is dominated by the mechanism's mode.
        shifted = spla.splu((scaled + SINGULAR_PIVOT * 10 * sp.identity(scaled.shape[0])).tocsc())
        mode = shifted.solve(np.random.default_rng(0).standard_normal(scaled.shape[0]))
        raise AnalysisError(f"the model is a mechanism: {frame.describe_dof(dof_of(int(np.argmax(np.abs(mode)))))}")
    if rhs.shape[1] == 0:
        return np.zeros((len(diagonal), 0))
    solved: FloatArray = scale[:, None] * lu.solve(scale[:, None] * rhs)
    return solved
