"""A domain's outline: its lines chained into one closed loop in one plane, with the plane's axes.

Straight lines are taken at their ends, arcs sampled like the beams on them.
The loop must close and lie in one plane; its polygon, in the plane's
coordinates, runs counter-clockwise about the plane's z axis.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np

from .errors import MeshError
from .geometry import (ARC_PIECE_ANGLE, FloatArray, corners, extent, line_points, newell_normal, plane_axes,
                       signed_area)
from .model import Domain, Line, Model

# The lines of a loop in order, each with its direction along the loop (reversed or not).
Chain = list[tuple[Line, bool]]


@dataclass
class Outline:
    """A domain's closed loop: its lines in order, each with its direction along the loop."""
    domain: Domain
    lines: Chain
    origin: FloatArray
    axes: FloatArray  # rows x, y, z (z the normal) of the domain's plane axes
    polygon: FloatArray = field(default_factory=lambda: np.zeros((0, 2)))  # (n, 2) sampled loop in plane
    # coordinates, counter-clockwise
    corner_lines: list[int] | None = None  # positions in `lines` of the lines starting at a corner; None: a corner
    # lies inside a line

    def to_plane(self, points: FloatArray) -> FloatArray:
        result: FloatArray = (np.asarray(points, dtype=float) - self.origin) @ self.axes[:2].T
        return result

    def points(self) -> FloatArray:
        """The loop in space."""
        result: FloatArray = self.origin + self.polygon @ self.axes[:2]
        return result

    def extent(self) -> float:
        return extent(self.polygon)


def outline(model: Model, domain: Domain) -> Outline:
    """Chain the domain's lines into a closed planar loop; refuse an open or non-planar one."""
    chain = _chain(model, domain)
    samples = []
    for line, reverse in chain:
        count = 1 if line.arc is None else max(4, math.ceil(abs(line.arc.alpha) / ARC_PIECE_ANGLE))
        points = line_points(line, np.linspace(0.0, 1.0, count + 1))
        samples.append(points[::-1][:-1] if reverse else points[:-1])
    points = np.concatenate(samples)
    origin = points.mean(axis=0)
    normal = _plane_normal(domain, chain, points, origin)
    result = Outline(domain, chain, origin, plane_axes(normal))
    polygon = result.to_plane(points)
    starts = np.cumsum([0] + [len(part) for part in samples[:-1]])
    position = {int(start): k for k, start in enumerate(starts)}
    found = corners(polygon)
    result.corner_lines = [position[c] for c in found] if all(c in position for c in found) else None
    if signed_area(polygon) < 0:
        polygon = polygon[::-1]
    result.polygon = polygon
    return result


def _chain(model: Model, domain: Domain) -> Chain:
    """The domain's lines in loop order, from its first line's start node."""
    label = domain.record
    lines = [model.lines[i - 1] for i in domain.line_ids]
    if len(lines) < 2 or (len(lines) == 2 and all(line.arc is None for line in lines)):
        raise MeshError(f"{label}: domain {domain.id} needs at least three straight lines or an arc to enclose "
                        "an area")
    if len({line.id for line in lines}) != len(lines):
        raise MeshError(f"{label}: domain {domain.id} names a line twice")
    # The lines at each node, in record order: the loop follows the first one not yet taken.
    at_node: dict[int, list[Line]] = {}
    for line in lines[1:]:
        at_node.setdefault(line.start.id, []).append(line)
        at_node.setdefault(line.end.id, []).append(line)
    taken: set[int] = set()
    chain = [(lines[0], False)]
    first, current = lines[0].start, lines[0].end
    for _ in range(len(lines) - 1):
        found = next((item for item in at_node.get(current.id, ()) if item.id not in taken), None)
        if found is None:
            raise MeshError(f"{label}: the lines of domain {domain.id} do not form a closed loop: no other line "
                            f"of it starts or ends at node {current.id}")
        taken.add(found.id)
        reverse = found.end is current
        chain.append((found, reverse))
        current = found.start if reverse else found.end
    if current is not first:
        raise MeshError(f"{label}: the lines of domain {domain.id} do not form a closed loop: it ends at node "
                        f"{current.id}, not at node {first.id} where it starts")
    return chain


def _plane_normal(domain: Domain, chain: Chain, points: FloatArray, origin: FloatArray) -> FloatArray:
    """The unit normal of the loop's plane; a loop without area or off one plane is refused."""
    label = domain.record
    normal = newell_normal(points)
    size = extent(points)
    if np.linalg.norm(normal) <= 1e-12 * max(size, 1e-300) ** 2:
        raise MeshError(f"{label}: domain {domain.id} encloses no area")
    normal /= np.linalg.norm(normal)
    off = np.abs((points - origin) @ normal)
    worst = int(np.argmax(off))
    if off[worst] > 1e-6 * max(size, 1.0):
        nodes = [node for line, _ in chain for node in (line.start, line.end)]
        node = min(nodes, key=lambda n: float(np.linalg.norm(np.array(n.point) - points[worst])))
        raise MeshError(f"{label}: domain {domain.id} is not planar: its loop leaves the mean plane by "
                        f"{off[worst]:.6g} m (near node {node.id})")
    return normal


def hole_polygon(shape: Outline, hole: Outline) -> FloatArray:
    """A hole's loop in the plane coordinates of the domain it lies in."""
    return shape.to_plane(hole.points())
