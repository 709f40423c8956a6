"""Recovery: from the load cases' displacements to every result column's displacements, element end forces and
support forces (the combinations superposed from the load cases, which is exact for a linear model)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .assembly import Assembly, to_local
from .frame import Frame
from .geometry import FloatArray, IntArray
from .loads import Loading
from .shells import ShellMesh


@dataclass
class Solution:
    """Results of every load case and combination ("columns": the model's cases, then its combinations)."""
    frame: Frame
    columns: dict[tuple[str, int], int]  # ("case" | "combination", id) -> column
    displacements: FloatArray  # (FE nodes, 6, columns), global axes
    end_forces: FloatArray  # (elements, columns, 12): forces of the nodes on each element, local axes
    loads: FloatArray  # (elements, columns, 3): distributed load on each element, local axes, kN/m
    support_forces: dict[int, FloatArray]  # support id -> (2, 6, columns): local, global
    shells: ShellMesh | None = None
    applied: FloatArray | None = None  # (columns, 3): total surface and beam load, global kN
    _shell_results: FloatArray | None = None
    _corner_results: FloatArray | None = None

    @property
    def corner_results(self) -> FloatArray:
        """Smoothed results at every quadrilateral's corners (elements, 4, 8, columns), domain plane axes: at each
        node the area-weighted mean of the elements meeting there on one side of any beam or wall inside the
        domain (`ShellMesh.smoothed`)."""
        if self._corner_results is None:
            assert self.shells is not None
            self._corner_results = self.shells.smoothed(self.shell_results, internal_edges(self.frame))
        return self._corner_results

    @property
    def shell_results(self) -> FloatArray:
        """Gauss-point results of every quadrilateral (elements, 4, 8, columns), domain plane axes."""
        if self._shell_results is None:
            assert self.shells is not None
            u = self.displacements.reshape(-1, self.displacements.shape[2])
            self._shell_results = self.shells.element_results(u)
        return self._shell_results


def internal_edges(frame: Frame) -> IntArray:
    """The FE node pairs (k, 2) of the mesh edges along lines inside domains (beams, walls on a slab)."""
    pairs = []
    for mesh in frame.meshes:
        for line in mesh.internal:
            nodes = np.array(frame.line_nodes[line.id][0], dtype=np.int64)
            pairs.append(np.stack([nodes[:-1], nodes[1:]], axis=1))
    return np.concatenate(pairs) if pairs else np.zeros((0, 2), dtype=np.int64)


def recover(assembly: Assembly, loading: Loading, u_cases: FloatArray) -> Solution:
    """The results of every column from the displacements of the load cases (degrees of freedom, cases)."""
    frame = assembly.frame
    weights = loading.weights
    u = u_cases @ weights
    loads_local = np.einsum("eci,cd->edi", loading.local, weights)
    fer_all = np.einsum("eck,cd->edk", loading.fixed_end, weights)
    local = to_local(frame.axes, u[assembly.dofs])  # (ne, 12, columns)
    end_forces = np.swapaxes(assembly.ke @ local, 1, 2) + fer_all
    displacements = u.reshape(len(frame.xyz), 6, len(loading.columns))
    support_forces = {}
    for support_id, support in assembly.supports.items():
        reaction = -support.block @ displacements[support.node]
        support_forces[support_id] = np.stack([support.rotation @ reaction, reaction])
    return Solution(frame, loading.columns, displacements, end_forces, loads_local, support_forces, assembly.shells,
                    weights.T @ loading.applied)
