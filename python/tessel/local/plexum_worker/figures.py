"""Which pictures the result page shows: the model, then per load case and combination (the first
MAX_PICTURED_COLUMNS) the deformed shape, the beams' moments and the domains' moment or membrane-force contours.

The pictures themselves are drawn by `drawing`.
"""

from __future__ import annotations

from . import drawing
from .drawing import Picture
from .model import Model
from .recovery import Solution
from .results import stations

MAX_PICTURED_COLUMNS = 6


def result_columns(model: Model, solution: Solution) -> list[tuple[str, int]]:
    """(name, result column) of every load case, then every combination."""
    columns = [(f"LC {c.id} '{c.name}'", solution.columns[("case", c.id)]) for c in model.load_cases]
    columns += [(f"CO {c.id} '{c.name}'", solution.columns[("combination", c.id)]) for c in model.load_combinations]
    return columns


def figures(model: Model, solution: Solution) -> list[Picture]:
    """The pictures of the result page, in order."""
    frame = solution.frame
    chosen = [drawing.model_picture(model, frame)]
    station_data = stations(solution) if frame.chains else None
    for name, column in result_columns(model, solution)[:MAX_PICTURED_COLUMNS]:
        chosen.append(drawing.deformed_picture(model, solution, column, name))
        if station_data is not None:
            chosen.append(drawing.moment_picture(model, solution, station_data, column, name))
        chosen += _contours(model, solution, column, name)
    return chosen


def _contours(model: Model, solution: Solution, column: int, name: str) -> list[Picture]:
    """Slab moments of the bending domains, membrane forces of the membranes; each kind apart when both exist."""
    shells = solution.shells
    if shells is None:
        return []
    bending = not shells.membrane.all()
    membranes = bool(shells.membrane.any())
    chosen = []
    if bending:
        only = False if membranes else None
        chosen.append(drawing.contour_picture(model, solution, column, name, 0, "Slab moments mx", "kNm/m", only))
        chosen.append(drawing.contour_picture(model, solution, column, name, 1, "Slab moments my", "kNm/m", only))
    if membranes:
        only = True if bending else None
        chosen.append(drawing.contour_picture(model, solution, column, name, 5, "Membrane forces nx", "kN/m", only))
        chosen.append(drawing.contour_picture(model, solution, column, name, 6, "Membrane forces ny", "kN/m", only))
    return chosen
