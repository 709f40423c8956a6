"""Assembly of the global stiffness: beam elements, node supports, elastic foundations, shell elements.

The beam element's physics is PyNiteFEA's: the local elastic stiffness of its
3D Euler-Bernoulli frame element (`Member3D.ke`) and its fixed-end reactions
of distributed loads (`FixedEndReactions`), one call per distinct element.
Everything around the element is ours, vectorised with numpy, because the
worker needs what PyNiteFEA's model does not offer:

* local axes from our own rule and from vector references (`frame`);
* supports as 6x6 springs in the member's local axes. PyNiteFEA's springs are
  global and one-directional. The spring block is K = R^T diag(k) R with R the
  member's rotation (the same 3x3 on translations and rotations), added to
  the node's six degrees of freedom: this is the exact stiffness of a linear
  spring set in rotated axes, with no auxiliary members or penalty values;
* elastic foundations as the same local springs, lumped at the element ends
  (k times half the element length each).

Shear deformation is not included in beams (Euler-Bernoulli). The domains'
quadrilaterals come from `shells`. Degree of freedom 6 n + k is component k
(x, y, z, xx, yy, zz, global axes) of FE node n.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import cast

import numpy as np
import scipy.sparse as sp
from Pynite import FEModel3D
from Pynite import FixedEndReactions as fer
from Pynite.Member3D import Member3D

from .frame import DIRECTIONS, Frame
from .geometry import FloatArray, IntArray
from .model import CrossSection, Material
from .shells import ShellMesh


class BeamElements:
    """Local element matrices from PyNiteFEA, one call per distinct element."""

    def __init__(self) -> None:
        self.model = FEModel3D()
        self._stiffness: dict[tuple[int, int, float], FloatArray] = {}
        self._fer: dict[float, FloatArray] = {}

    def stiffness(self, material: Material, section: CrossSection, length: float) -> FloatArray:
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

    def unit_fixed_end_reactions(self, length: float) -> FloatArray:
        """(3, 12): the fixed-end reactions of a unit uniform load along local x, y and z."""
        value = self._fer.get(length)
        if value is None:
            value = self._fer[length] = np.stack([
                np.asarray(fer.FER_AxialLinLoad(1.0, 1.0, 0.0, length, length), dtype=float).reshape(12),
                np.asarray(fer.FER_LinLoad(1.0, 1.0, 0.0, length, length, "Fy"), dtype=float).reshape(12),
                np.asarray(fer.FER_LinLoad(1.0, 1.0, 0.0, length, length, "Fz"), dtype=float).reshape(12)])
        return value


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
    """The assembled model: element matrices, their degrees of freedom and the global stiffness."""
    frame: Frame
    elements: BeamElements
    ke: FloatArray  # (beam elements, 12, 12), local axes
    t: FloatArray  # (beam elements, 12, 12): global to local
    dofs: IntArray  # (beam elements, 12)
    supports: dict[int, SupportBlock]  # by support id
    shells: ShellMesh | None
    stiffness: sp.csc_matrix = field(repr=False)
    foundation: tuple[IntArray, FloatArray] | None = None  # (translation dofs (n, 3), blocks (n, 3, 3)) per end

    @property
    def dof_count(self) -> int:
        return 6 * len(self.frame.xyz)

    def product(self, u: FloatArray, magnitude: bool = False) -> FloatArray:
        """K u (degrees of freedom, columns), each beam element's forces from its deformation alone.

        The element's rigid-body motion (that of its start node) is taken off
        before its stiffness acts, as the stiffness annihilates it anyway. A
        long chain of short, stiff elements thus gives its forces to round-off
        of the forces themselves, not of the stiffness times the displacement,
        which the sparse product would: the residual that refines the solve
        must be as exact as that.
        """
        size, columns = u.shape
        forces = np.zeros((size, columns))
        # magnitude: the same sums of |stiffness| |displacement|, the scale of their round-off.
        op = np.abs if magnitude else (lambda a: a)
        ne = len(self.ke)
        if ne:
            local = np.einsum("eij,ejc->eic", self.t, u[self.dofs])  # (ne, 12, c)
            deformation = local[:, 6:] - local[:, :6]
            length = self.frame.length[:, None]
            deformation[:, 1] -= local[:, 5] * length  # theta_i x (L, 0, 0)
            deformation[:, 2] += local[:, 4] * length
            element = np.einsum("eij,ejc->eic", op(self.ke[:, :, 6:]), op(deformation))
            _scatter(forces, self.dofs, np.einsum("eji,ejc->eic", op(self.t), element))
        for support in self.supports.values():
            dofs = 6 * support.node + np.arange(6)
            forces[dofs] += op(support.block) @ op(u[dofs])
        if self.foundation is not None:
            dofs, blocks = self.foundation
            _scatter(forces, dofs, np.einsum("eij,ejc->eic", op(blocks), op(u[dofs])))
        if self.shells is not None:
            shells = self.shells
            _scatter(forces, shells.dofs, np.einsum("eij,ejc->eic", op(shells.k_global), op(u[shells.dofs])))
        return forces


def _scatter(target: FloatArray, dofs: IntArray, values: FloatArray) -> None:
    """target[dofs] += values, summed over repeated degrees of freedom; values (n, k, columns)."""
    flat = dofs.ravel()
    for column in range(target.shape[1]):
        target[:, column] += np.bincount(flat, weights=values[:, :, column].ravel(), minlength=len(target))


class _Triplets:
    """The global stiffness as (row, column, value) blocks, summed in the order they were added."""

    def __init__(self) -> None:
        self.rows: list[IntArray] = []
        self.cols: list[IntArray] = []
        self.data: list[FloatArray] = []

    def add(self, dofs: IntArray, blocks: FloatArray) -> None:
        """Blocks (n, k, k) on the degrees of freedom (n, k)."""
        self.rows.append(np.broadcast_to(dofs[:, :, None], blocks.shape).ravel())
        self.cols.append(np.broadcast_to(dofs[:, None, :], blocks.shape).ravel())
        self.data.append(blocks.ravel())

    def matrix(self, size: int) -> sp.csc_matrix:
        coo = sp.coo_matrix((np.concatenate(self.data), (np.concatenate(self.rows), np.concatenate(self.cols))),
                            shape=(size, size))
        return cast(sp.csc_matrix, coo.tocsc())


def assemble(frame: Frame) -> Assembly:
    """The global stiffness of the frame's beams, supports, foundations and the domains' quadrilaterals."""
    elements = BeamElements()
    ne = len(frame.length)
    ke = np.empty((ne, 12, 12))
    for chain in frame.chains:
        beam = chain.line.beam
        assert beam is not None
        for e in range(chain.first, chain.first + chain.count):
            ke[e] = elements.stiffness(beam.material, beam.cross_section, float(frame.length[e]))
    t = np.zeros((ne, 12, 12))
    for block in range(4):
        t[:, 3 * block:3 * block + 3, 3 * block:3 * block + 3] = frame.axes
    dofs = (6 * np.stack([frame.i, frame.j], axis=1)[:, :, None] + np.arange(6)).reshape(ne, 12)
    triplets = _Triplets()
    triplets.add(dofs, np.swapaxes(t, 1, 2) @ ke @ t)
    supports = _supports(frame)
    for support in supports.values():
        triplets.add((6 * support.node + np.arange(6))[None], support.block[None])
    foundation = _foundations(frame, triplets)
    shells = ShellMesh(frame.xyz, frame.meshes) if frame.meshes else None
    if shells is not None:
        triplets.add(shells.dofs, shells.k_global)
    return Assembly(frame, elements, ke, t, dofs, supports, shells, triplets.matrix(6 * len(frame.xyz)), foundation)


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


def _foundations(frame: Frame, triplets: _Triplets) -> tuple[IntArray, FloatArray] | None:
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
    dofs = np.concatenate([6 * end[with_foundation][:, None] + np.arange(3) for end in (frame.i, frame.j)])
    blocks = np.concatenate([block, block])
    triplets.add(dofs, blocks)
    return dofs, blocks
