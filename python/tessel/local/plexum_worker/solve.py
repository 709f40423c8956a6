"""The solve: K u = f for every load case with one sparse factorisation, refined against the assembled matrix.

Before any factorisation a model that is a mechanism is refused, naming a
free node and direction (`mechanisms`). The stiffness is then symmetric
positive definite: it is scaled to a unit diagonal and factorised once by
Cholesky (CHOLMOD, through scikit-sparse, where SuiteSparse is installed) or
else by scipy's SuperLU with a symmetric minimum-degree ordering and no
pivoting, the pure-PyPI fallback. Each solve is refined against the assembled
model (conjugate gradients preconditioned by the factors: one more solve with
the same factors per step, no second factorisation) until the loads and the
reactions balance to round-off; a solve whose balance stays off (above 1e-9
of the loads), or that gives a number that is not finite, is refused.

Nodes that only membranes use keep only their in-plane translations: the
system solved is B^T K B v = B^T f with u = B v.
"""

from __future__ import annotations

import logging
from collections.abc import Callable
from typing import Any, cast

import numpy as np
import scipy.sparse as sp
import scipy.sparse.linalg as spla

from . import mechanisms
from .assembly import Assembly
from .errors import AnalysisError
from .frame import Frame
from .geometry import FloatArray
from .loads import Loading
from .shells import ShellMesh

try:  # CHOLMOD needs SuiteSparse, a system library: without it, SuperLU.
    from sksparse.cholmod import CholmodError, cholesky as _cholmod
except ImportError:  # pragma: no cover - depends on the machine
    _cholmod = None
    CholmodError = RuntimeError

logger = logging.getLogger("tessel.local.plexum")

# The refinement stops once loads and reactions balance to this fraction of the loads, per load case; a solve
# that ends above ACCEPTED is refused.
RESIDUAL = 1e-13
ACCEPTED = 1e-9
REFINEMENTS = 40


def solver_name() -> str:
    """The sparse direct solver this machine uses."""
    return "CHOLMOD" if _cholmod is not None else "SuperLU"


def solve(assembly: Assembly, loading: Loading) -> FloatArray:
    """The displacements (degrees of freedom, load cases), global axes."""
    shells = assembly.shells
    basis = membrane_basis(assembly.frame, shells) if shells is not None else None
    mechanisms.check(assembly, basis)
    stiffness, rhs = assembly.stiffness, loading.rhs
    product: Callable[..., FloatArray] = assembly.product
    xyz = assembly.frame.xyz
    expand: Callable[[FloatArray], FloatArray] = lambda v: v
    if basis is not None:
        reduction = basis
        stiffness, rhs = cast(sp.csc_matrix, (reduction.T @ stiffness @ reduction).tocsc()), reduction.T @ rhs

        def reduced_product(v: FloatArray, magnitude: bool = False) -> FloatArray:
            if magnitude:
                scale: FloatArray = abs(reduction).T @ assembly.product(abs(reduction) @ np.abs(v), True)
                return scale
            reduced: FloatArray = reduction.T @ assembly.product(reduction @ v)
            return reduced

        def expand_reduced(v: FloatArray) -> FloatArray:
            full: FloatArray = reduction @ v
            return full
        product, expand = reduced_product, expand_reduced
    unknowns, cases = len(rhs), rhs.shape[1]
    logger.info("solve: %d unknowns, %d load cases, %s", unknowns, cases, solver_name())
    return expand(solve_system(stiffness, rhs, product, lambda r: resultant(xyz, expand(r)), assembly.frame))


def resultant(xyz: FloatArray, forces: FloatArray) -> FloatArray:
    """(columns, 6): the resultant force and its moment about the nodes' centroid of nodal forces (dofs, columns)."""
    nodal = forces.reshape(len(xyz), 6, -1)
    arm = xyz - xyz.mean(axis=0)
    # Sum over nodes of arm x force: p[j, k] = sum of arm_j force_k, each moment component two of them.
    p = np.tensordot(arm, nodal[:, :3], axes=(0, 0))  # (3, 3, columns)
    moment = np.stack([p[1, 2] - p[2, 1], p[2, 0] - p[0, 2], p[0, 1] - p[1, 0]])
    total: FloatArray = np.concatenate([nodal[:, :3].sum(axis=0), nodal[:, 3:].sum(axis=0) + moment]).T
    return total


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


class Factors:
    """The factors of a symmetric positive definite matrix scaled to a unit diagonal: CHOLMOD or SuperLU."""

    def __init__(self, scaled: sp.csc_matrix) -> None:
        self.factor: Any
        if _cholmod is not None:
            try:
                self.factor = _cholmod(scaled)
            except CholmodError:
                raise _unsolvable() from None
            self.solve = self.factor.solve_A
        else:
            try:
                self.factor = spla.splu(scaled, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0,
                                        options={"SymmetricMode": True})
            except RuntimeError:
                raise _unsolvable() from None
            self.solve = self.factor.solve


def solve_system(stiffness: sp.csc_matrix, rhs: FloatArray, product: Callable[..., FloatArray],
                 balance: Callable[[FloatArray], FloatArray], frame: Frame | None = None) -> FloatArray:
    """K u = f for all columns of f with one factorisation, refined until the loads and reactions balance.

    `stiffness` (K, CSC) is scaled in place: pass a matrix of your own.

    `product(u)` is K u as exactly as the model allows, `product(u, True)`
    the same sums of magnitudes (the scale of its round-off); `balance(r)` the
    resultant (columns, 6) of out-of-balance forces r. The refinement is the
    conjugate gradient method preconditioned by the factors: each step costs
    one solve with them and one product, and it converges where plain
    refinement would stall (a factorisation that lost digits to a long chain
    of stiff elements). The out-of-balance force at a node cannot fall below
    the round-off of the stiffness times the displacements, but their
    resultant, the balance of the loads and the reactions, can: the solve
    stops once it is 1e-13 of the loads, or within the round-off of the
    forces summed in it (no step can then tell better from worse), or when it
    no longer improves, and is refused when it stays above 1e-9 of the loads and above a hundred times
    the round-off that the displacements' own digits leave.
    """
    diagonal = stiffness.diagonal()
    free = np.flatnonzero(diagonal <= 0.0)
    if free.size:
        where = frame.describe_dof(int(free[0])) if frame is not None else f"degree of freedom {free[0]}"
        raise AnalysisError(f"the model is a mechanism: {where}")
    if rhs.shape[1] == 0:
        return np.zeros((len(diagonal), 0))
    scale = 1.0 / np.sqrt(diagonal)
    # Scaled to a unit diagonal in place: the matrix is the caller's own copy, and the largest one held.
    stiffness.data *= scale[stiffness.indices]
    stiffness.data *= np.repeat(scale, np.diff(stiffness.indptr))
    factors = Factors(stiffness)

    def precondition(r: FloatArray) -> FloatArray:
        z: FloatArray = scale[:, None] * np.asarray(factors.solve(scale[:, None] * r), dtype=float).reshape(r.shape)
        return z

    applied = np.abs(balance(np.abs(rhs))).max(axis=1)  # a measure of the loads per column

    def imbalance(r: FloatArray) -> FloatArray:
        worst = np.abs(balance(r)).max(axis=1)
        with np.errstate(invalid="ignore", divide="ignore"):
            error = np.where(applied > 0, worst / np.where(applied > 0, applied, 1.0), np.where(worst > 0, np.inf, 0.0))
        return np.where(np.isfinite(error), error, np.inf)

    u = precondition(rhs)
    residual = rhs - product(u)
    error = imbalance(residual)
    # The balance cannot be computed closer than the round-off of the forces summed in it.
    with np.errstate(invalid="ignore", divide="ignore"):
        floor = np.finfo(float).eps * np.sum(product(u, True), axis=0) / applied
    target = np.maximum(RESIDUAL, np.where(np.isfinite(floor), floor, 0.0))
    best_u, best_error = u.copy(), error.copy()
    stalled = 0
    if np.any((best_error > target) & np.isfinite(error)):
        direction = precondition(residual)
        rz = np.sum(residual * direction, axis=0)
        for _ in range(REFINEMENTS):
            active = (best_error > target) & np.isfinite(error)
            if not active.any() or stalled >= 3:
                break
            curvature = np.sum(direction * product(direction), axis=0)
            with np.errstate(invalid="ignore", divide="ignore"):
                alpha = np.where(active & (curvature > 0), rz / np.where(curvature > 0, curvature, 1.0), 0.0)
            u = u + alpha * direction
            residual = rhs - product(u)
            error = imbalance(residual)
            better = error < best_error
            best_u[:, better], best_error[better] = u[:, better], error[better]
            stalled = 0 if better.any() else stalled + 1
            z = precondition(residual)
            rz_new = np.sum(residual * z, axis=0)
            with np.errstate(invalid="ignore", divide="ignore"):
                beta = np.where(rz != 0, rz_new / np.where(rz != 0, rz, 1.0), 0.0)
            direction = z + beta * direction
            rz = rz_new
    logger.debug("solve: loads and reactions balance to %.3g", float(np.max(best_error, initial=0.0)))
    if not np.all(np.isfinite(best_u)):
        raise _unsolvable()
    if np.any(best_error > ACCEPTED):
        with np.errstate(invalid="ignore", divide="ignore"):
            floor = 100 * np.finfo(float).eps * np.sum(product(best_u, True), axis=0) / applied
        if np.any((best_error > ACCEPTED) & (best_error > floor)):
            raise _unsolvable()
    return best_u


def _unsolvable() -> AnalysisError:
    return AnalysisError("the stiffness cannot be solved to round-off accuracy in double precision: its members' "
                         "stiffnesses differ too much (a very short or very stiff member next to much softer "
                         "ones, or coordinates or properties near the limits of floating point)")
