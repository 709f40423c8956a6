"""Assembly of the global stiffness: beam elements, node supports, elastic foundations, shell elements.

The beam element's physics is PyNiteFEA's: the local elastic stiffness of its
3D Euler-Bernoulli frame element (`Member3D.ke`, no end releases) and its
fixed-end reactions of uniform loads (`FixedEndReactions`), evaluated here
with the same closed forms for all elements at once (the tests compare them
with PyNiteFEA's element by element). Everything around the element is ours,
vectorised with numpy, because the worker needs what PyNiteFEA's model does
not offer:

* local axes from our own rule and from vector references (`frame`);
* supports as 6x6 springs in the member's local axes. PyNiteFEA's springs are
  global and one-directional. The spring block is K = R^T diag(k) R with R the
  member's rotation (the same 3x3 on translations and rotations), added to
  the node's six degrees of freedom: this is the exact stiffness of a linear
  spring set in rotated axes, with no auxiliary members or penalty values;
* elastic foundations as the same local springs, lumped at the element ends
  (k times half the element length each).

The global matrix is summed from 6x6 blocks between FE nodes (block sparse),
so a shell element adds 16 blocks rather than 576 numbers with their own
indices. Shear deformation is not included in beams (Euler-Bernoulli). The
domains' quadrilaterals come from `shells`. Degree of freedom 6 n + k is
component k (x, y, z, xx, yy, zz, global axes) of FE node n.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import cast

import numpy as np
import scipy.sparse as sp

from .frame import DIRECTIONS, Frame
from .geometry import FloatArray, IntArray
from .shells import ShellMesh, turned


def beam_stiffness(e: FloatArray, g: FloatArray, area: FloatArray, i_y: FloatArray, i_z: FloatArray,
                   torsion: FloatArray, length: FloatArray) -> FloatArray:
    """Local elastic stiffness (n, 12, 12) of 3D Euler-Bernoulli beam elements (PyNiteFEA's `Member3D.ke`)."""
    n = len(length)
    ke = np.zeros((n, 12, 12))
    axial, twist = area * e / length, g * torsion / length
    for first, k in ((0, axial), (3, twist)):
        ke[:, first, first] = ke[:, first + 6, first + 6] = k
        ke[:, first, first + 6] = ke[:, first + 6, first] = -k
    # Bending about local z (displacements v, rotations rz) and about local y (w, ry, of opposite sign).
    for v, r, inertia, sign in ((1, 5, i_z, 1.0), (2, 4, i_y, -1.0)):
        a, b = 12 * e * inertia / length ** 3, sign * 6 * e * inertia / length ** 2
        c, d = 4 * e * inertia / length, 2 * e * inertia / length
        ke[:, v, v] = ke[:, v + 6, v + 6] = a
        ke[:, v, v + 6] = ke[:, v + 6, v] = -a
        ke[:, v, r] = ke[:, r, v] = ke[:, v, r + 6] = ke[:, r + 6, v] = b
        ke[:, v + 6, r] = ke[:, r, v + 6] = ke[:, v + 6, r + 6] = ke[:, r + 6, v + 6] = -b
        ke[:, r, r] = ke[:, r + 6, r + 6] = c
        ke[:, r, r + 6] = ke[:, r + 6, r] = d
    return ke


def unit_fixed_end_reactions(length: FloatArray) -> FloatArray:
    """(n, 3, 12): the fixed-end reactions of a unit uniform load along local x, y and z over whole elements."""
    half, moment = -length / 2.0, length ** 2 / 12.0
    out = np.zeros((len(length), 3, 12))
    out[:, 0, 0] = out[:, 0, 6] = half
    out[:, 1, 1] = out[:, 1, 7] = half
    out[:, 1, 5], out[:, 1, 11] = -moment, moment
    out[:, 2, 2] = out[:, 2, 8] = half
    out[:, 2, 4], out[:, 2, 10] = moment, -moment
    return out


def to_local(axes: FloatArray, vectors: FloatArray) -> FloatArray:
    """Element vectors (n, 3 k, columns) in global axes turned into the elements' axes (rows of axes (n, 3, 3))."""
    n, size, columns = vectors.shape
    local: FloatArray = axes[:, None] @ vectors.reshape(n, size // 3, 3, columns)
    return local.reshape(n, size, columns)


def to_global(axes: FloatArray, vectors: FloatArray) -> FloatArray:
    """The inverse of `to_local`."""
    n, size, columns = vectors.shape
    turned: FloatArray = np.swapaxes(axes, 1, 2)[:, None] @ vectors.reshape(n, size // 3, 3, columns)
    return turned.reshape(n, size, columns)


@dataclass
class SupportBlock:
    """A node support's spring: its FE node, its 6x6 global stiffness, the member's rotation (6x6) and the six
    stiffnesses in member axes."""
    node: int
    block: FloatArray
    rotation: FloatArray
    stiffness: FloatArray


@dataclass
class Assembly:
    """The assembled model: beam element matrices, their degrees of freedom and the global stiffness."""
    frame: Frame
    ke: FloatArray  # (beam elements, 12, 12), local axes
    dofs: IntArray  # (beam elements, 12)
    supports: dict[int, SupportBlock]  # by support id
    shells: ShellMesh | None
    beams: sp.csc_matrix = field(repr=False)  # the beams' part of the global stiffness
    rest: sp.csc_matrix = field(repr=False)  # the stiffness of everything but the beams
    foundation: tuple[IntArray, FloatArray] | None = None  # (translation dofs (n, 3), blocks (n, 3, 3)) per end

    @property
    def dof_count(self) -> int:
        return 6 * len(self.frame.xyz)

    @property
    def stiffness(self) -> sp.csc_matrix:
        """The global stiffness (symmetric), a new matrix on every call that its caller may change."""
        total = self.rest + self.beams
        return cast(sp.csc_matrix, total.tocsc())

    def product(self, u: FloatArray, magnitude: bool = False) -> FloatArray:
        """K u (degrees of freedom, columns), each beam element's forces from its deformation alone.

        The element's rigid-body motion (that of its start node) is taken off
        before its stiffness acts, as the stiffness annihilates it anyway. A
        long chain of short, stiff elements thus gives its forces to round-off
        of the forces themselves, not of the stiffness times the displacement,
        which the sparse product would: the residual that refines the solve
        must be as exact as that. Supports, foundations and shells act through
        their assembled matrix.
        """
        size, columns = u.shape
        # magnitude: the same sums of |stiffness| |displacement|, the scale of their round-off.
        forces: FloatArray = absolute_product(self.rest, np.abs(u)) if magnitude else self.rest @ u
        ne = len(self.ke)
        if ne:
            axes = self.frame.axes
            local = to_local(axes, u[self.dofs])  # (ne, 12, c)
            deformation = local[:, 6:] - local[:, :6]
            length = self.frame.length[:, None]
            deformation[:, 1] -= local[:, 5] * length  # theta_i x (L, 0, 0)
            deformation[:, 2] += local[:, 4] * length
            if magnitude:
                element = to_global(np.abs(axes), np.abs(self.ke[:, :, 6:]) @ np.abs(deformation))
            else:
                element = to_global(axes, self.ke[:, :, 6:] @ deformation)
            scatter(forces, self.dofs, element)
        return forces


def absolute_product(matrix: sp.csc_matrix, v: FloatArray) -> FloatArray:
    """|matrix| v, a slice of columns at a time (no copy of the whole matrix)."""
    rows, columns = cast(tuple[int, int], matrix.shape)
    out = np.zeros((rows, v.shape[1]))
    pointers = matrix.indptr
    step = max(1, columns * (1 << 20) // max(matrix.nnz, 1))  # about a million values per slice
    for first in range(0, columns, step):
        last = min(first + step, columns)
        part = sp.csc_matrix((np.abs(matrix.data[pointers[first]:pointers[last]]),
                              matrix.indices[pointers[first]:pointers[last]],
                              pointers[first:last + 1] - pointers[first]), shape=(rows, last - first))
        out += part @ v[first:last]
    return out


def scatter(target: FloatArray, dofs: IntArray, values: FloatArray) -> None:
    """target[dofs] += values, summed over repeated degrees of freedom; values (n, k, columns)."""
    flat = dofs.ravel()
    for column in range(target.shape[1]):
        target[:, column] += np.bincount(flat, weights=values[:, :, column].ravel(), minlength=len(target))


class _Blocks:
    """A symmetric sparse matrix over FE nodes as 6x6 blocks, the blocks that meet at one pair of nodes summed.

    Once summed, the block at (a, b) and the transpose of the one at (b, a)
    are averaged, which makes the matrix exactly symmetric (the matrices added
    are symmetric but for round-off): its rows, made at once from the blocks,
    are its columns.
    """

    def __init__(self, nodes: int) -> None:
        self.nodes = nodes
        self.keys: list[IntArray] = []
        self.blocks: list[FloatArray] = []

    def add(self, nodes: IntArray, matrices: FloatArray) -> None:
        """Matrices (n, 6 k, 6 k) on the freedoms of k FE nodes each (n, k)."""
        n, k = nodes.shape
        blocks = matrices.reshape(n, k, 6, k, 6).transpose(0, 1, 3, 2, 4).reshape(-1, 6, 6)
        keys = (nodes[:, :, None] * self.nodes + nodes[:, None, :]).ravel()
        keys, blocks = _summed(keys, blocks)  # at once, so that the blocks kept stay few
        self.keys.append(keys)
        self.blocks.append(blocks)

    def matrix(self) -> sp.csc_matrix:
        size = 6 * self.nodes
        if not self.keys:
            return sp.csc_matrix((size, size))
        keys, blocks = _summed(np.concatenate(self.keys), np.concatenate(self.blocks))
        self.keys, self.blocks = [], []
        rows, cols = np.divmod(keys, self.nodes)
        mirror = np.searchsorted(keys, cols * self.nodes + rows)  # every block has its mirror: the parts are symmetric
        blocks = (blocks + np.swapaxes(blocks[mirror], 1, 2)) / 2.0
        pointers = np.searchsorted(rows, np.arange(self.nodes + 1))
        rows_first = sp.bsr_matrix((blocks, cols, pointers), shape=(size, size)).tocsr()
        return sp.csc_matrix((rows_first.data, rows_first.indices, rows_first.indptr), shape=(size, size))


def _summed(keys: IntArray, blocks: FloatArray) -> tuple[IntArray, FloatArray]:
    """The distinct keys in order, each with the sum of its blocks (in the order they came)."""
    order = np.argsort(keys, kind="stable")
    keys = keys[order]
    new = np.concatenate([[True], keys[1:] != keys[:-1]])
    group = np.cumsum(new) - 1
    count = int(group[-1]) + 1 if len(group) else 0
    adding = sp.csr_matrix((np.ones(len(keys)), (group, order)), shape=(count, len(keys)))
    summed: FloatArray = (adding @ blocks.reshape(len(keys), 36)).reshape(count, 6, 6)
    return keys[new], summed


def beam_properties(frame: Frame) -> FloatArray:
    """E, G, area, I_y, I_z and torsion constant (rows) of every beam element."""
    values = np.zeros((6, len(frame.length)))
    for chain in frame.chains:
        beam = chain.line.beam
        assert beam is not None
        material, section = beam.material, beam.cross_section
        values[:, chain.first:chain.first + chain.count] = np.array(
            [material.e, material.g, section.area, section.i_y, section.i_z, section.torsion])[:, None]
    return values


def assemble(frame: Frame) -> Assembly:
    """The global stiffness of the frame's beams, supports, foundations and the domains' quadrilaterals."""
    nodes = len(frame.xyz)
    ne = len(frame.length)
    e, g, area, i_y, i_z, torsion = beam_properties(frame)
    ke = beam_stiffness(e, g, area, i_y, i_z, torsion, frame.length)
    ends = np.stack([frame.i, frame.j], axis=1)
    dofs = (6 * ends[:, :, None] + np.arange(6)).reshape(ne, 12)
    beams, rest = _Blocks(nodes), _Blocks(nodes)
    beams.add(ends, turned(frame.axes, ke))
    supports = _supports(frame)
    if supports:
        rest.add(np.array([[s.node] for s in supports.values()]), np.array([s.block for s in supports.values()]))
    foundation = _foundations(frame, rest)
    shells = ShellMesh(frame.xyz, frame.meshes) if frame.meshes else None
    if shells is not None:
        for chunk in shells.chunks():
            rest.add(shells.quads[chunk], shells.global_stiffness(chunk))
    return Assembly(frame, ke, dofs, supports, shells, beams.matrix(), rest.matrix(), foundation)


def _supports(frame: Frame) -> dict[int, SupportBlock]:
    """Each node support as springs in the axes of its beam's element at the node."""
    result = {}
    for support in frame.model.node_supports:
        chain = frame.chain_of[support.line.id]
        at_start = support.node is support.line.start
        element = chain.first if at_start else chain.first + chain.count - 1
        rotation = np.zeros((6, 6))
        rotation[:3, :3] = rotation[3:, 3:] = frame.axes[element]
        stiffness = np.array([support.stiffness[name] for name in DIRECTIONS])
        block = rotation.T @ np.diag(stiffness) @ rotation
        result[support.id] = SupportBlock(frame.node_index[support.node.id], block, rotation, stiffness)
    return result


def _foundations(frame: Frame, blocks: _Blocks) -> tuple[IntArray, FloatArray] | None:
    """Elastic foundations: local springs per element, half at each end; their dofs and blocks."""
    foundation = np.zeros((len(frame.length), 3))
    for support in frame.model.line_supports:
        chain = frame.chain_of[support.line.id]
        foundation[chain.first:chain.first + chain.count] += [support.stiffness[n] for n in ("x", "y", "z")]
    with_foundation = np.flatnonzero(foundation.any(axis=1))
    if not with_foundation.size:
        return None
    lam = frame.axes[with_foundation]
    half = foundation[with_foundation] * frame.length[with_foundation, None] / 2.0
    block = np.einsum("eji,ej,ejk->eik", lam, half, lam)
    ends = np.concatenate([frame.i[with_foundation], frame.j[with_foundation]])
    springs = np.zeros((len(ends), 6, 6))
    springs[:, :3, :3] = np.concatenate([block, block])
    blocks.add(ends[:, None], springs)
    return 6 * ends[:, None] + np.arange(3), springs[:, :3, :3]
