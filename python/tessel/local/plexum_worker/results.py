"""The requested results, from a solution, in the shape documented on `PlexumWorker`."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from . import cuts
from .errors import AnalysisError
from .recovery import Solution
from .geometry import FloatArray, IntArray
from .model import LoadCase, LoadCombination, Request, ResultsRequest

COMPONENTS = ("x", "y", "z", "xx", "yy", "zz")
FORCE_NAMES = ("N", "Vy", "Vz", "Mx", "My", "Mz")


def stations(solution: Solution) -> tuple[IntArray, FloatArray, FloatArray]:
    """Every beam's stations: element, position along the beam (m) and internal forces (stations, columns, 6).

    Per beam: its start, then the middle and the end of each of its elements,
    so the values at an inner node are those just before it.
    """
    frame = solution.frame
    indices: list[int] = []
    xs: list[float] = []
    for chain in frame.chains:
        indices.append(chain.first)
        xs.append(0.0)
        for e in range(chain.first, chain.first + chain.count):
            indices += [e, e]
            xs += [0.5, 1.0]
    elements = np.array(indices, dtype=np.int64)
    fraction = np.array(xs)
    x = fraction * frame.length[elements]
    positions = frame.s0[elements] + fraction * (frame.s1[elements] - frame.s0[elements])
    f = solution.end_forces[elements]  # (stations, columns, 12)
    w = solution.loads[elements]
    xc = x[:, None]
    forces = np.empty(f.shape[:2] + (6,))
    forces[..., 0] = -(f[..., 0] + w[..., 0] * xc)
    forces[..., 1] = -(f[..., 1] + w[..., 1] * xc)
    forces[..., 2] = -(f[..., 2] + w[..., 2] * xc)
    forces[..., 3] = -f[..., 3]
    forces[..., 4] = -(f[..., 4] + xc * f[..., 2] + w[..., 2] * xc * xc / 2.0)
    forces[..., 5] = -(f[..., 5] - xc * f[..., 1] - w[..., 1] * xc * xc / 2.0)
    return elements, positions + 0.0, forces + 0.0  # no negative zeros in the answer


class _Collector:
    """The answer's members, filled request by request."""

    def __init__(self, solution: Solution, request: ResultsRequest) -> None:
        self.solution = solution
        self.request = request
        self.forces: dict[str, Any] = {"NodalSupports": {}, "Lines": {}}
        self.displacements: dict[str, Any] = {"Nodes": {}}
        self.sections: dict[str, Any] = {}
        self._stations: tuple[IntArray, FloatArray, FloatArray] | None = None
        self._line_rows: dict[int, slice] = {}

    def targets(self, item: Request) -> tuple[str, Sequence[LoadCase | LoadCombination], list[int]]:
        """The group ("LoadCases" or "LoadCombinations") of a request, its cases or combinations, their columns."""
        group = "LoadCases" if item.by_load_case else "LoadCombinations"
        targets: Sequence[LoadCase | LoadCombination] = \
            self.request.load_cases if item.by_load_case else self.request.load_combinations
        columns = [self.solution.columns[("case" if item.by_load_case else "combination", t.id)] for t in targets]
        return group, targets, columns

    def section(self, item: Request) -> None:
        solution = self.solution
        assert item.combination is not None
        cut = solution.frame.model.section_cuts[item.target - 1]
        column = solution.columns[("combination", item.combination)]
        key = "SurfaceForces" if item.kind == "section forces" else "SurfaceStresses"
        entry = self.sections.setdefault(str(item.target), {}).setdefault(key, {"LoadCombinations": {}})
        entry["LoadCombinations"][str(item.combination)] = cuts.section_result(
            solution, cut, item.record, column, item.kind == "section stresses")

    def displacement(self, item: Request) -> None:
        group, targets, columns = self.targets(item)
        node = self.solution.frame.node_index.get(item.target)
        if node is None:
            raise AnalysisError(f"{item.record}: node {item.target} belongs to no beam or domain, so it has no "
                                "displacement")
        values = (self.solution.displacements[node][:, columns].T + 0.0).tolist()
        entry = self.displacements["Nodes"].setdefault(str(item.target), {})
        entry[group] = {str(t.id): dict(zip(COMPONENTS, v)) for t, v in zip(targets, values)}

    def support_force(self, item: Request) -> None:
        group, targets, columns = self.targets(item)
        local, global_ = (self.solution.support_forces[item.target][:, :, columns].transpose(0, 2, 1) + 0.0).tolist()
        entry = self.forces["NodalSupports"].setdefault(str(item.target), {})
        entry[group] = {str(t.id): {"Local": dict(zip(COMPONENTS, lv)), "Global": dict(zip(COMPONENTS, gv))}
                        for t, lv, gv in zip(targets, local, global_)}

    def line_forces(self, item: Request) -> None:
        group, targets, columns = self.targets(item)
        if self._stations is None:
            self._stations = stations(self.solution)
            start = 0
            for chain in self.solution.frame.chains:
                self._line_rows[chain.line.id] = slice(start, start + 1 + 2 * chain.count)
                start += 1 + 2 * chain.count
        rows = self._line_rows[item.target]
        positions = self._stations[1][rows].tolist()
        values = self._stations[2][rows][:, columns, :].transpose(1, 0, 2).tolist()
        entry = self.forces["Lines"].setdefault(str(item.target), {})
        entry[group] = {str(t.id): [{"Position": s, **dict(zip(FORCE_NAMES, v))} for s, v in zip(positions, per)]
                        for t, per in zip(targets, values)}


_KINDS = {"section forces": _Collector.section, "section stresses": _Collector.section,
          "displacement": _Collector.displacement, "support force": _Collector.support_force,
          "line forces": _Collector.line_forces}


def collect(solution: Solution, request: ResultsRequest) -> dict[str, Any]:
    """{"Forces": ..., "Displacements": ..., "Sections": ...} for the requested records."""
    collector = _Collector(solution, request)
    for item in request.requests:
        _KINDS[item.kind](collector, item)
    answer: dict[str, Any] = {"Forces": collector.forces, "Displacements": collector.displacements,
                              "Sections": collector.sections}
    notes = solution.frame.notes
    if notes:
        answer["Notes"] = notes
    return answer
