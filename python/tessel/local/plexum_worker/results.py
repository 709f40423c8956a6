"""The requested results, from a solution, in the shape documented on `PlexumWorker`."""

from __future__ import annotations

import numpy as np

from . import cuts
from .errors import AnalysisError
from .recovery import Solution
from .model import ResultsRequest

COMPONENTS = ("x", "y", "z", "xx", "yy", "zz")
FORCE_NAMES = ("N", "Vy", "Vz", "Mx", "My", "Mz")


def stations(solution: Solution) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Every beam's stations: element, position along the beam (m) and internal forces (stations, columns, 6).

    Per beam: its start, then the middle and the end of each of its elements,
    so the values at an inner node are those just before it.
    """
    frame = solution.frame
    elements, xs = [], []
    for chain in frame.chains:
        elements.append(chain.first)
        xs.append(0.0)
        for e in range(chain.first, chain.first + chain.count):
            elements += [e, e]
            xs += [0.5, 1.0]
    elements = np.array(elements, dtype=np.int64)
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


def collect(solution: Solution, request: ResultsRequest) -> dict:
    """{"Forces": ..., "Displacements": ..., "Sections": ...} for the requested records."""
    frame = solution.frame
    forces: dict = {"NodalSupports": {}, "Lines": {}}
    displacements: dict = {"Nodes": {}}
    line_rows: dict[int, slice] = {}
    station_data = None
    sections: dict = {}
    for item in request.requests:
        if item.kind in ("section forces", "section stresses"):
            cut = solution.frame.model.section_cuts[item.target - 1]
            column = solution.columns[("combination", item.combination)]
            key = "SurfaceForces" if item.kind == "section forces" else "SurfaceStresses"
            entry = sections.setdefault(str(item.target), {}).setdefault(key, {"LoadCombinations": {}})
            entry["LoadCombinations"][str(item.combination)] = cuts.section_result(
                solution, cut, item.record, column, item.kind == "section stresses")
            continue
        group = "LoadCases" if item.by_load_case else "LoadCombinations"
        targets = request.load_cases if item.by_load_case else request.load_combinations
        columns = [solution.columns[("case" if item.by_load_case else "combination", t.id)] for t in targets]
        if item.kind == "displacement":
            node = frame.node_index.get(item.target)
            if node is None:
                raise AnalysisError(f"{item.record}: node {item.target} belongs to no beam or domain, so it has no "
                                    "displacement")
            values = (solution.displacements[node][:, columns].T + 0.0).tolist()
            entry = displacements["Nodes"].setdefault(str(item.target), {})
            entry[group] = {str(t.id): dict(zip(COMPONENTS, v)) for t, v in zip(targets, values)}
        elif item.kind == "support force":
            local, global_ = (solution.support_forces[item.target][:, :, columns].transpose(0, 2, 1) + 0.0).tolist()
            entry = forces["NodalSupports"].setdefault(str(item.target), {})
            entry[group] = {str(t.id): {"Local": dict(zip(COMPONENTS, lv)), "Global": dict(zip(COMPONENTS, gv))}
                            for t, lv, gv in zip(targets, local, global_)}
        elif item.kind == "line forces":
            if station_data is None:
                station_data = stations(solution)
                start = 0
                for chain in frame.chains:
                    line_rows[chain.line.id] = slice(start, start + 1 + 2 * chain.count)
                    start += 1 + 2 * chain.count
            rows = line_rows[item.target]
            positions = station_data[1][rows].tolist()
            values = station_data[2][rows][:, columns, :].transpose(1, 0, 2).tolist()
            entry = forces["Lines"].setdefault(str(item.target), {})
            entry[group] = {str(t.id): [{"Position": s, **dict(zip(FORCE_NAMES, v))} for s, v in zip(positions, per)]
                            for t, per in zip(targets, values)}
    answer = {"Forces": forces, "Displacements": displacements, "Sections": sections}
    notes = solution.frame.notes
    if notes:
        answer["Notes"] = notes
    return answer
