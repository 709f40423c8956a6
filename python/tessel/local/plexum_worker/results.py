"""The requested results, from a solution, in the shape documented on `PlexumWorker`."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _tables, cuts
from .errors import AnalysisError
from .frame import BeamChain
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
    elements, fraction = _station_elements(solution.frame.chains)
    positions, forces = _station_forces(solution, elements, fraction, list(range(len(solution.columns))))
    return elements, positions, forces


def _station_elements(chains: Sequence[BeamChain]) -> tuple[IntArray, FloatArray]:
    """The element and the fraction of its length of each station of the beams."""
    counts = np.array([chain.count for chain in chains], dtype=np.int64)
    firsts = np.array([chain.first for chain in chains], dtype=np.int64)
    per_beam = 1 + 2 * counts
    total = int(per_beam.sum())
    start = np.cumsum(per_beam) - per_beam
    k = np.arange(total) - np.repeat(start, per_beam)  # station within its beam: 0, then 2 per element
    elements = np.repeat(firsts, per_beam) + np.maximum(k - 1, 0) // 2
    fraction = np.where(k == 0, 0.0, np.where(k % 2 == 1, 0.5, 1.0))
    return elements, fraction


def _station_forces(solution: Solution, elements: IntArray, fraction: FloatArray,
                    columns: list[int]) -> tuple[FloatArray, FloatArray]:
    """Positions along the beams (m) and internal forces (stations, columns, 6) at stations of elements."""
    frame = solution.frame
    x = fraction * frame.length[elements]
    positions = frame.s0[elements] + fraction * (frame.s1[elements] - frame.s0[elements])
    f = solution.end_forces[elements][:, columns]  # (stations, columns, 12)
    w = solution.loads[elements][:, columns]
    xc = x[:, None]
    forces = np.empty(f.shape[:2] + (6,))
    forces[..., 0] = -(f[..., 0] + w[..., 0] * xc)
    forces[..., 1] = -(f[..., 1] + w[..., 1] * xc)
    forces[..., 2] = -(f[..., 2] + w[..., 2] * xc)
    forces[..., 3] = -f[..., 3]
    forces[..., 4] = -(f[..., 4] + xc * f[..., 2] + w[..., 2] * xc * xc / 2.0)
    forces[..., 5] = -(f[..., 5] - xc * f[..., 1] - w[..., 1] * xc * xc / 2.0)
    return positions + 0.0, forces + 0.0  # no negative zeros in the answer


class _Collector:
    """The answer's members, filled request by request from values computed once per kind and group."""

    def __init__(self, solution: Solution, request: ResultsRequest) -> None:
        self.solution = solution
        self.request = request
        self.forces: dict[str, Any] = {"NodalSupports": {}, "Lines": {}}
        self.displacements: dict[str, Any] = {"Nodes": {}}
        self.sections: dict[str, Any] = {}
        self._wanted: dict[tuple[str, bool], dict[int, None]] | None = None
        self._samples: dict[int, cuts.Samples] = {}  # by section

    def targets(self, by_load_case: bool) -> tuple[str, Sequence[LoadCase | LoadCombination], list[int]]:
        """The group ("LoadCases" or "LoadCombinations") of requests, its cases or combinations, their columns."""
        group = "LoadCases" if by_load_case else "LoadCombinations"
        targets: Sequence[LoadCase | LoadCombination] = \
            self.request.load_cases if by_load_case else self.request.load_combinations
        columns = [self.solution.columns[("case" if by_load_case else "combination", t.id)] for t in targets]
        return group, targets, columns

    def batch(self, kind: str, by_load_case: bool) -> dict[int, Any]:
        """The entries of every target of a kind of request and group, by target: its values for every case or
        combination of the group, made for all of them at once."""
        if self._wanted is None:  # the targets of every kind and group, in the order asked for
            self._wanted = {}
            for r in self.request.requests:
                self._wanted.setdefault((r.kind, r.by_load_case), {})[r.target] = None
        return _BATCHES[kind](self, by_load_case, list(self._wanted[kind, by_load_case]))

    def section(self, item: Request) -> None:
        solution = self.solution
        assert item.combination is not None
        cut = solution.frame.model.section_cuts[item.target - 1]
        column = solution.columns[("combination", item.combination)]
        key = "SurfaceForces" if item.kind == "section forces" else "SurfaceStresses"
        entry = self.sections.setdefault(str(item.target), {}).setdefault(key, {"LoadCombinations": {}})
        samples = self._samples.get(item.target)
        if samples is None:
            samples = self._samples[item.target] = cuts.sample(solution, cut, item.record)
        entry["LoadCombinations"][str(item.combination)] = cuts.section_result(
            solution, cut, item.record, column, item.kind == "section stresses", samples)

    def displacements_of(self, by_load_case: bool, nodes: list[int]) -> dict[int, Any]:
        _, targets, columns = self.targets(by_load_case)
        index = self.solution.frame.node_index
        known = [n for n in nodes if n in index]
        values = self.solution.displacements[[index[n] for n in known]][:, :, columns].transpose(0, 2, 1)
        rows = _tables.dict_rows(COMPONENTS, np.ascontiguousarray(values).reshape(-1, len(COMPONENTS)))
        names = [str(t.id) for t in targets]
        width = len(names)
        return {n: dict(zip(names, rows[k * width:(k + 1) * width])) for k, n in enumerate(known)}

    def support_forces_of(self, by_load_case: bool, supports: list[int]) -> dict[int, Any]:
        _, targets, columns = self.targets(by_load_case)
        names = [str(t.id) for t in targets]
        result = {}
        for support in supports:
            local, global_ = (self.solution.support_forces[support][:, :, columns].transpose(0, 2, 1) + 0.0).tolist()
            result[support] = {name: {"Local": dict(zip(COMPONENTS, lv)), "Global": dict(zip(COMPONENTS, gv))}
                               for name, lv, gv in zip(names, local, global_)}
        return result

    def line_forces_of(self, by_load_case: bool, lines: list[int]) -> dict[int, Any]:
        _, targets, columns = self.targets(by_load_case)
        solution = self.solution
        frame = solution.frame
        chains = [frame.chain_of[line] for line in lines]
        counts = np.array([1 + 2 * chain.count for chain in chains], dtype=np.int64)
        elements, fraction = _station_elements(chains)
        positions, forces = _station_forces(solution, elements, fraction, columns)
        table = np.concatenate([np.broadcast_to(positions[None, :, None], (len(columns), len(positions), 1)),
                                forces.transpose(1, 0, 2)], axis=2)  # (columns, stations, position and forces)
        keys = ("Position", *FORCE_NAMES)
        every = _tables.dict_rows(keys, np.ascontiguousarray(table).reshape(-1, len(keys)))
        rows = [every[c * len(positions):(c + 1) * len(positions)] for c in range(len(columns))]
        ends = np.cumsum(counts).tolist()
        names = [str(t.id) for t in targets]
        return {line: {name: per[b - count:b] for name, per in zip(names, rows)}
                for line, b, count in zip(lines, ends, counts.tolist())}


_BATCHES = {"displacement": _Collector.displacements_of, "support force": _Collector.support_forces_of,
            "line forces": _Collector.line_forces_of}
_SECTIONS = ("section forces", "section stresses")


def collect(solution: Solution, request: ResultsRequest) -> dict[str, Any]:
    """{"Forces": ..., "Displacements": ..., "Sections": ...} for the requested records."""
    collector = _Collector(solution, request)
    # Where each kind of request puts its target's entry, by target id (as text) and group.
    places = {"displacement": collector.displacements["Nodes"], "support force": collector.forces["NodalSupports"],
              "line forces": collector.forces["Lines"]}
    nodes = solution.frame.node_index
    batches: dict[tuple[str, bool], dict[int, Any]] = {}  # by kind and group, made when first asked for
    for item in request.requests:  # in order: the answer's keys come in the order asked for
        kind, target, by_load_case = item.kind, item.target, item.by_load_case
        if kind in _SECTIONS:
            collector.section(item)
            continue
        if kind == "displacement" and target not in nodes:
            raise AnalysisError(f"{item.record}: node {target} belongs to no beam or domain, so it has no "
                                "displacement")
        found = batches.get((kind, by_load_case))
        if found is None:
            found = batches[kind, by_load_case] = collector.batch(kind, by_load_case)
        places[kind].setdefault(str(target), {})["LoadCases" if by_load_case else "LoadCombinations"] = found[target]
    answer: dict[str, Any] = {"Forces": collector.forces, "Displacements": collector.displacements,
                              "Sections": collector.sections}
    notes = solution.frame.notes
    if notes:
        answer["Notes"] = notes
    return answer
