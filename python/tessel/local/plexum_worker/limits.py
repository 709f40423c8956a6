"""The size of a job, estimated from its records before any meshing or solving, against configurable limits.

Every estimate is cheap (linear in the records) and names the record that
asks for the work: a mesh size over a domain's area, a "SplitByN" or an
elastic foundation multiplying a beam's elements, a section's length over
its sampling step, the number of load cases and combinations, model nodes,
and the lines of one domain's loop. What exceeds a limit is refused with the
estimate and the `PlexumWorker` argument that raises the limit.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

from .errors import ReplayError
from .frame import FOUNDATION_STEP, MAX_PIECES_PER_PART
from .geometry import ARC_PIECE_ANGLE, line_length, signed_area
from .mesh import DEFAULT_DIVISIONS, HOLE
from .model import Line, Model, ResultsRequest
from .outline import outline


@dataclass(frozen=True)
class Limits:
    """What one job may ask for; each is an argument of `PlexumWorker`.

    The defaults let a frame of 10^5 beams and a slab of 40,000
    quadrilaterals through (well inside the platform's default memory limit
    of 4 GiB) and stop, within seconds, what would take minutes and gigabytes.
    """
    max_elements: int = 200_000  # beam elements and quadrilaterals together
    max_nodes: int = 200_000  # model nodes
    max_load_cases: int = 1_000  # load cases and combinations together: one result column each
    max_section_points: int = 100_000  # sample points of one section
    max_domain_lines: int = 2_000  # lines of one domain's loop and its holes'


def _limit(value: float) -> str:
    return f"{value:.1e}"


def check(model: Model, request: ResultsRequest, limits: Limits) -> None:
    """Refuse, naming the record and the estimate, a job larger than the limits."""
    if len(model.nodes) > limits.max_nodes:
        raise ReplayError(f'"Model" has {len(model.nodes)} nodes; the limit is {_limit(limits.max_nodes)} '
                          "(PlexumWorker(max_nodes=...))")
    columns = len(model.load_cases) + len(model.load_combinations)
    if columns > limits.max_load_cases:
        raise ReplayError(f'"Model" has {len(model.load_cases)} load cases and {len(model.load_combinations)} '
                          f"load combinations, {columns} result columns; the limit is "
                          f"{_limit(limits.max_load_cases)} (PlexumWorker(max_load_cases=...))")
    total = 0.0
    for line in model.lines:
        if line.beam is None:
            continue
        count = _beam_elements(model, line)
        total += count
        if count > limits.max_elements:
            raise ReplayError(f"{line.split_record or line.beam.record}: beam {line.id} in {line.parts} part(s) "
                              f"gives about {count:.1e} elements; the limit is {_limit(limits.max_elements)} "
                              "(PlexumWorker(max_elements=...))")
    finest = math.inf
    for domain in model.domains:
        if len(domain.line_ids) > limits.max_domain_lines:
            raise ReplayError(f"{domain.record}: domain {domain.id} has {len(domain.line_ids)} lines; the limit is "
                              f"{_limit(limits.max_domain_lines)} (PlexumWorker(max_domain_lines=...))")
    for domain in model.domains:
        if domain.surface_type == HOLE:
            continue
        shape = outline(model, domain)
        area = abs(signed_area(shape.polygon))
        size = model.mesh_requests.get(domain.id, shape.extent() / DEFAULT_DIVISIONS)
        finest = min(finest, size)
        count = area / size ** 2 + sum(line_length(line) for line, _ in shape.lines) / size
        total += count
        if count > limits.max_elements:
            record = model.mesh_records.get(domain.id, domain.record)
            raise ReplayError(f"{record}: a mesh size of {size:.6g} m on domain {domain.id} ({area:.6g} m2) gives "
                              f"about {count:.1e} elements; the limit is {_limit(limits.max_elements)} "
                              "(PlexumWorker(max_elements=...))")
    if total > limits.max_elements:
        raise ReplayError(f'"Model" gives about {total:.1e} elements in all (beams and domains); the limit is '
                          f"{_limit(limits.max_elements)} (PlexumWorker(max_elements=...))")
    for cut in model.section_cuts:
        start = np.array([cut.data["P"][k] for k in "xyz"], dtype=float)
        end = np.array([cut.data["SegmentEndP"][k] for k in "xyz"], dtype=float)
        length = float(np.linalg.norm(end - start))
        if not math.isfinite(finest) or not any(item.target == cut.id for item in request.requests
                                                if item.kind.startswith("section")):
            continue
        points = length / (finest / 4)
        if points > limits.max_section_points:
            raise ReplayError(f"{cut.record}: section {cut.id} is {length:.6g} m long and is sampled every "
                              f"{finest / 4:.6g} m, about {points:.1e} points; the limit is "
                              f"{_limit(limits.max_section_points)} (PlexumWorker(max_section_points=...))")


def _beam_elements(model: Model, line: Line) -> float:
    """The elements `Frame` will give a beam: its parts, arcs in pieces, finer on an elastic foundation."""
    total = line_length(line)
    per_part = 1.0
    if line.arc is not None:
        per_part = math.ceil(abs(line.arc.alpha) / line.parts / ARC_PIECE_ANGLE - 1e-9)
    foundation = [0.0, 0.0, 0.0]
    for support in model.line_supports:
        if support.line is line:
            foundation = [a + support.stiffness[n] for a, n in zip(foundation, ("x", "y", "z"))]
    if any(foundation):
        beam = line.beam
        assert beam is not None
        e, section = beam.material.e, beam.cross_section
        lam = max((foundation[2] / (4 * e * section.i_y)) ** 0.25, (foundation[1] / (4 * e * section.i_z)) ** 0.25,
                  math.sqrt(foundation[0] / (e * section.area)))
        per_part = max(per_part, min(MAX_PIECES_PER_PART, math.ceil(total / line.parts * lam / FOUNDATION_STEP)))
    return float(line.parts) * per_part
