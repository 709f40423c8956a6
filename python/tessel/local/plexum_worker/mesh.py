"""Domains as planar polygons, and their quadrilateral meshes.

A domain's lines are chained into one closed loop (straight lines, arcs
sampled like the beams on them) and must lie in one plane. Every line on a
domain edge is divided once, into an even number of pieces no longer than
the smallest mesh size of the domains using it and a multiple of its
"SplitByN" parts; those points are the finite-element nodes of the edge,
shared by the domains on both sides and by the beam on the line.

Meshing, in the domain's own plane axes:

* mapped: a domain with four corners, no holes and the same number of edge
  pieces on opposite sides gets a structured grid by transfinite (Coons)
  interpolation of its edges;
* otherwise paved from triangles: the edge points of even index and a
  triangular lattice of interior points (spacing twice the mesh size, kept
  clear of the edges) are triangulated by Delaunay (scipy), triangles outside
  the domain or in its holes are dropped, and every triangle is split into
  three quadrilaterals through its centroid and edge midpoints; the midpoints
  of edge pieces are exactly the odd edge points. A few passes of Laplace
  smoothing move the interior nodes, kept only if every quadrilateral stays
  convex.

Holes (surface type 0) are cut out of the domain they lie in; another domain
may fill a hole, but domains in one plane may not overlap (the overlap would
count twice).

Lines inside a domain and in its plane that carry something (a beam, or the
edge of another domain: a rib, a wall standing on a slab) are internal lines
of that domain: they are divided like edges and their pieces are edges of the
paved mesh, so the domain shares their nodes. Where the mesh cannot hold a
model node that other elements use (a beam ending on an edge between the
edge line's ends, internal lines crossing without a common node, a beam
crossing a domain's edge in its plane) the domain is refused, naming the
record: joining them at arbitrary mesh nodes would be a different structure.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
from scipy.spatial import Delaunay

from .model import Domain, Line, Model, Node
from .replay import ReplayError, rotate

ARC_PIECE_ANGLE = math.pi / 72.0
# Element size of a domain that no "GenerateMeshOnSelectedDomains" record meshed: this fraction of its extent.
DEFAULT_DIVISIONS = 20
CORNER_ANGLE = math.radians(10.0)
SMOOTHING_PASSES = 6
HOLE, MEMBRANE_STRESS, MEMBRANE_STRAIN, PLATE, SHELL = range(5)
SURFACE_TYPES = {HOLE: "hole", MEMBRANE_STRESS: "membrane (plane stress)", MEMBRANE_STRAIN: "membrane (plane strain)",
                 PLATE: "plate", SHELL: "shell"}


class MeshError(ReplayError):
    """A domain that cannot be turned into a mesh; the message names its record."""


@dataclass
class Outline:
    """A domain's closed loop: its lines in order, each with its direction along the loop."""
    domain: Domain
    lines: list[tuple[Line, bool]]  # (line, reversed)
    origin: np.ndarray
    axes: np.ndarray  # rows x, y, z (z the normal) of the domain's plane axes
    polygon: np.ndarray = field(default=None)  # (n, 2) sampled loop in plane coordinates, counter-clockwise
    corner_lines: list[int] | None = None  # positions in `lines` of the lines starting at a corner; None: a corner
    # lies inside a line

    def to_plane(self, points: np.ndarray) -> np.ndarray:
        return (np.asarray(points, dtype=float) - self.origin) @ self.axes[:2].T


@dataclass
class DomainMesh:
    """The quadrilaterals of one domain: FE node indices, counter-clockwise about the domain's z axis."""
    domain: Domain
    outline: Outline
    holes: list[Outline]
    size: float
    default_size: bool
    quads: np.ndarray  # (elements, 4) FE node indices
    method: str  # "mapped" or "paved"
    hole_rings: list[list[int]] = field(default_factory=list)  # FE nodes around each hole, in loop order
    internal: list[Line] = field(default_factory=list)  # internal lines, whose nodes the mesh shares


def line_points(line: Line, fractions: np.ndarray) -> np.ndarray:
    """Points of a line at fractions of its length."""
    start, end = np.array(line.start.point), np.array(line.end.point)
    if line.arc is None:
        points = start + (end - start) * fractions[:, None]
    else:
        center = np.array(line.arc.center)
        normal = tuple(np.array(line.arc.normal) / np.linalg.norm(line.arc.normal))
        radius_vector = tuple(start - center)
        points = np.array([center + rotate(radius_vector, normal, line.arc.alpha * f) for f in fractions])
    points[0], points[-1] = start, end
    return points


def line_length(line: Line) -> float:
    if line.arc is None:
        return math.dist(line.start.point, line.end.point)
    return math.dist(line.start.point, line.arc.center) * abs(line.arc.alpha)


def _division(line: Line, size: float, even: bool, breaks: list[tuple[float, Node]]) -> np.ndarray:
    """Fractions of a line's FE nodes: uniform pieces (see `_divisions`), or, with model nodes lying on the
    line, pieces no longer than size between its parts' ends and those nodes (even in number if asked)."""
    if not breaks:
        return np.linspace(0.0, 1.0, _divisions(line, size, even) + 1)
    stops = sorted({k / line.parts for k in range(line.parts + 1)} | {f for f, _ in breaks})
    length = line_length(line)
    pieces = []
    for a, b in zip(stops, stops[1:]):
        count = math.ceil((b - a) * length / size - 1e-9)
        if line.arc is not None:
            count = max(count, math.ceil((b - a) * abs(line.arc.alpha) / ARC_PIECE_ANGLE - 1e-9))
        pieces.append(max(count, 1))
    if even and sum(pieces) % 2:
        longest = max(range(len(pieces)), key=lambda k: (stops[k + 1] - stops[k]) / pieces[k])
        pieces[longest] += 1
    fractions = [0.0]
    for (a, b), count in zip(zip(stops, stops[1:]), pieces):
        fractions += list(np.linspace(a, b, count + 1)[1:])
    return np.array(fractions)


def _nodes_on(model: Model, line: Line) -> list[tuple[float, Node]]:
    """Model nodes on a line between its ends, by the fraction of its length where they lie."""
    trace = line_points(line, _trace_fractions(line))
    xyz = np.array([n.point for n in model.nodes], dtype=float)
    tolerance = 1e-6 * max(line_length(line), 1.0)
    gap = _segment_distance(xyz, trace[:-1], trace[1:])
    found, taken = [], []
    for k in np.flatnonzero(gap <= tolerance):
        node = model.nodes[k]
        if node is line.start or node is line.end:
            continue
        fraction = _fraction_along(line, np.array(node.point))
        if not 0.0 < fraction < 1.0 or any(abs(fraction - f) * line_length(line) <= tolerance for f in taken):
            continue  # a line end's twin, or a second node at one place: left to itself
        found.append((fraction, node))
        taken.append(fraction)
    return sorted(found, key=lambda item: item[0])


def _fraction_along(line: Line, point: np.ndarray) -> float:
    start, end = np.array(line.start.point), np.array(line.end.point)
    if line.arc is None:
        axis = end - start
        return float(np.dot(point - start, axis) / np.dot(axis, axis))
    center = np.array(line.arc.center)
    normal = np.array(line.arc.normal) / np.linalg.norm(line.arc.normal)
    r0, r1 = start - center, point - center
    angle = math.atan2(float(np.dot(np.cross(r0, r1), normal)), float(np.dot(r0, r1)))
    if angle * line.arc.alpha < 0:
        angle += math.copysign(2 * math.pi, line.arc.alpha)
    return angle / line.arc.alpha


def _divisions(line: Line, size: float, even: bool) -> int:
    """Pieces of a line: a multiple of its parts, none longer than size (nor a too wide arc piece), even if asked."""
    per_part = math.ceil(line_length(line) / line.parts / size - 1e-9)
    if line.arc is not None:
        per_part = max(per_part, math.ceil(abs(line.arc.alpha) / line.parts / ARC_PIECE_ANGLE - 1e-9))
    per_part = max(per_part, 1)
    if even and (per_part * line.parts) % 2:
        per_part += 1
    return per_part * line.parts


def outline(model: Model, domain: Domain) -> Outline:
    """Chain the domain's lines into a closed planar loop; refuse an open or non-planar one."""
    label = domain.record
    lines = [model.lines[i - 1] for i in domain.line_ids]
    if len(lines) < 2 or (len(lines) == 2 and all(line.arc is None for line in lines)):
        raise MeshError(f"{label}: domain {domain.id} needs at least three straight lines or an arc to enclose "
                        "an area")
    if len({line.id for line in lines}) != len(lines):
        raise MeshError(f"{label}: domain {domain.id} names a line twice")
    remaining = lines[1:]
    chain = [(lines[0], False)]
    first, current = lines[0].start, lines[0].end
    while remaining:
        for k, line in enumerate(remaining):
            if line.start is current or line.end is current:
                reverse = line.end is current
                chain.append((line, reverse))
                current = line.start if reverse else line.end
                del remaining[k]
                break
        else:
            raise MeshError(f"{label}: the lines of domain {domain.id} do not form a closed loop: no other line "
                            f"of it starts or ends at node {current.id}")
    if current is not first:
        raise MeshError(f"{label}: the lines of domain {domain.id} do not form a closed loop: it ends at node "
                        f"{current.id}, not at node {first.id} where it starts")
    samples = []
    for line, reverse in chain:
        count = 1 if line.arc is None else max(4, math.ceil(abs(line.arc.alpha) / ARC_PIECE_ANGLE))
        points = line_points(line, np.linspace(0.0, 1.0, count + 1))
        samples.append(points[::-1][:-1] if reverse else points[:-1])
    points = np.concatenate(samples)
    origin = points.mean(axis=0)
    # Newell's normal is exact for a planar polygon and robust for any.
    nxt = np.roll(points, -1, axis=0)
    normal = np.array([np.sum((points[:, 1] - nxt[:, 1]) * (points[:, 2] + nxt[:, 2])),
                       np.sum((points[:, 2] - nxt[:, 2]) * (points[:, 0] + nxt[:, 0])),
                       np.sum((points[:, 0] - nxt[:, 0]) * (points[:, 1] + nxt[:, 1]))])
    extent = float(np.max(np.ptp(points, axis=0)))
    if np.linalg.norm(normal) <= 1e-12 * max(extent, 1e-300) ** 2:
        raise MeshError(f"{label}: domain {domain.id} encloses no area")
    normal /= np.linalg.norm(normal)
    off = np.abs((points - origin) @ normal)
    worst = int(np.argmax(off))
    if off[worst] > 1e-6 * max(extent, 1.0):
        nodes = [node for line, _ in chain for node in (line.start, line.end)]
        node = min(nodes, key=lambda n: float(np.linalg.norm(np.array(n.point) - points[worst])))
        raise MeshError(f"{label}: domain {domain.id} is not planar: its loop leaves the mean plane by "
                        f"{off[worst]:.6g} m (near node {node.id})")
    axes = plane_axes(normal)
    result = Outline(domain, chain, origin, axes)
    polygon = result.to_plane(points)
    starts = np.cumsum([0] + [len(part) for part in samples[:-1]])
    position = {int(start): k for k, start in enumerate(starts)}
    corners = _corners(polygon)
    result.corner_lines = [position[c] for c in corners] if all(c in position for c in corners) else None
    if _signed_area(polygon) < 0:
        polygon = polygon[::-1]
    result.polygon = polygon
    return result


def plane_axes(normal: np.ndarray) -> np.ndarray:
    """The plane axes of a domain: z normal, upwards for every non-vertical plane; x along global X where it can.

    A non-vertical plane: z has a positive global Z part, x is global X (or,
    if X is nearly normal to the plane, global Y) projected onto the plane,
    y = z cross x. A vertical plane (a wall): y is global Z, x is global X
    projected onto the plane (global Y for a wall normal to X), z = x cross y.
    """
    normal = np.asarray(normal, dtype=float)
    if abs(normal[2]) > 1e-9:
        z = normal if normal[2] > 0 else -normal
        x = np.array([1.0, 0.0, 0.0]) - z[0] * z
        if np.linalg.norm(x) < 0.1:
            x = np.array([0.0, 1.0, 0.0]) - z[1] * z
        x /= np.linalg.norm(x)
        return np.array([x, np.cross(z, x), z])
    y = np.array([0.0, 0.0, 1.0])
    x = np.array([1.0, 0.0, 0.0]) - normal[0] * normal
    if np.linalg.norm(x) < 1e-6:
        x = np.array([0.0, 1.0, 0.0])
    x[2] = 0.0
    x /= np.linalg.norm(x)
    return np.array([x, y, np.cross(x, y)])


def _signed_area(polygon: np.ndarray) -> float:
    x, y = polygon[:, 0], polygon[:, 1]
    return 0.5 * float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))


def inside(polygon: np.ndarray, points: np.ndarray) -> np.ndarray:
    """Even-odd test of points (n, 2) against a polygon (m, 2)."""
    x, y = points[:, 0][:, None], points[:, 1][:, None]
    x0, y0 = polygon[:, 0][None, :], polygon[:, 1][None, :]
    x1, y1 = np.roll(polygon[:, 0], -1)[None, :], np.roll(polygon[:, 1], -1)[None, :]
    crosses = (y0 > y) != (y1 > y)
    with np.errstate(divide="ignore", invalid="ignore"):
        at = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
    return np.count_nonzero(crosses & (x < at), axis=1) % 2 == 1


def _segment_distance(points: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Distance of each point (n, 2) to the nearest of the segments a[k]-b[k]."""
    d = b - a
    lengths = np.maximum(np.sum(d * d, axis=1), 1e-300)
    rel = points[:, None, :] - a[None, :, :]
    t = np.clip(np.sum(rel * d[None], axis=2) / lengths[None], 0.0, 1.0)
    nearest = a[None] + t[..., None] * d[None]
    return np.min(np.linalg.norm(points[:, None, :] - nearest, axis=2), axis=1)


class Mesher:
    """Meshes every computed domain of a model onto a shared table of FE nodes."""

    def __init__(self, model: Model) -> None:
        self.model = model
        self.sizes: dict[int, tuple[float, bool]] = {}
        self.notes: list[str] = []
        mesh_records = model.mesh_requests
        self.outlines: dict[int, Outline] = {}
        for domain in model.domains:
            self.outlines[domain.id] = outline(model, domain)
        self.holes: dict[int, list[Outline]] = {d.id: [] for d in model.domains if d.surface_type != HOLE}
        for hole in (d for d in model.domains if d.surface_type == HOLE):
            host = self._host(self.outlines[hole.id])
            if host is None:
                self.notes.append(f"{hole.record}: hole domain {hole.id} lies in no domain and cuts nothing")
            else:
                self.holes[host].append(self.outlines[hole.id])
        self._refuse_overlaps()
        for domain_id in self.holes:
            domain = model.domains[domain_id - 1]
            if domain_id in mesh_records:
                self.sizes[domain_id] = (mesh_records[domain_id], False)
            else:
                extent = float(np.max(np.ptp(self.outlines[domain_id].polygon, axis=0)))
                size = extent / DEFAULT_DIVISIONS
                self.sizes[domain_id] = (size, True)
                self.notes.append(f"{domain.record}: domain {domain.id} was never meshed; it is meshed with the "
                                  f"default element size {size:.4g} m (1/{DEFAULT_DIVISIONS} of its extent)")
        # Lines that carry something: beams and the edges of computed domains.
        self.loop_lines = {d: {line.id for item in [self.outlines[d], *holes] for line, _ in item.lines}
                           for d, holes in self.holes.items()}
        carrying = {line.id for line in model.lines if line.beam is not None}
        for lines in self.loop_lines.values():
            carrying |= lines
        self.internal: dict[int, list[Line]] = {d: self._internal_lines(d, carrying) for d in self.holes}
        # Every line the meshes use: the domains using it, and the model nodes lying on it between its
        # ends (a beam or column ending there, a point asked for), which become nodes of its division.
        users: dict[int, set[int]] = {}
        for domain_id, holes in self.holes.items():
            for line in [line for item in [self.outlines[domain_id], *holes] for line, _ in item.lines] + \
                    self.internal[domain_id]:
                users.setdefault(line.id, set()).add(domain_id)
        self.breaks: dict[int, list[tuple[float, Node]]] = {line_id: _nodes_on(model, model.lines[line_id - 1])
                                                            for line_id in users}
        on_lines = {node.id for found in self.breaks.values() for _, node in found}
        # Model nodes inside a domain (a column under a slab, a point asked for) become nodes of its mesh.
        self.fixed: dict[int, list] = {domain_id: [] for domain_id in self.holes}
        all_xyz = np.array([n.point for n in model.nodes], dtype=float).reshape(-1, 3)
        for domain_id, holes in self.holes.items():
            shape = self.outlines[domain_id]
            ends = {n.id for line_id, domains in users.items() if domain_id in domains
                    for n in (model.lines[line_id - 1].start, model.lines[line_id - 1].end)}
            extent = float(np.max(np.ptp(shape.polygon, axis=0)))
            near = np.abs((all_xyz - shape.origin) @ shape.axes[2]) <= 1e-6 * max(extent, 1.0)
            xy = shape.to_plane(all_xyz)
            within = near & inside(shape.polygon, xy)
            for hole in holes:
                within &= ~inside(hole_polygon(shape, hole), xy)
            # Off the domain's lines: a second node where a line has one is left to itself.
            for line_id, domains in users.items():
                if domain_id in domains and within.any():
                    trace = shape.to_plane(line_points(model.lines[line_id - 1],
                                                       _trace_fractions(model.lines[line_id - 1])))
                    within &= _segment_distance(xy, trace[:-1], trace[1:]) > 1e-6 * max(extent, 1.0)
            self.fixed[domain_id] = [n for k, n in enumerate(model.nodes)
                                     if within[k] and n.id not in ends and n.id not in on_lines]
        # Each line: the smallest mesh size of the domains using it.
        self.edge_sizes = {line_id: min(self.sizes[d][0] for d in domains) for line_id, domains in users.items()}
        # Paved domains need an even number of pieces on every edge line; a domain that could be mapped
        # stays mapped while its opposite sides keep equal numbers of pieces.
        self.paved = {d for d, holes in self.holes.items()
                      if holes or self.internal[d] or self.outlines[d].corner_lines is None
                      or len(self.outlines[d].corner_lines) != 4}
        while True:
            self.fractions = {line_id: _division(model.lines[line_id - 1], size, bool(users[line_id] & self.paved),
                                                 self.breaks[line_id])
                              for line_id, size in self.edge_sizes.items()}
            self.counts = {line_id: len(f) - 1 for line_id, f in self.fractions.items()}
            unequal = {d for d in self.holes if d not in self.paved and not self._balanced(self.outlines[d])}
            if not unequal:
                break
            self.paved |= unequal

    def _refuse_overlaps(self) -> None:
        """Two domains in one plane may share edges, or one may fill a hole of the other, but not overlap."""
        ids = list(self.holes)
        boxes = {d: (np.min(_outline_points(self.outlines[d]), axis=0), np.max(_outline_points(self.outlines[d]),
                                                                               axis=0)) for d in ids}
        for k, first in enumerate(ids):
            a = self.outlines[first]
            extent = float(np.max(np.ptp(a.polygon, axis=0)))
            tolerance = 1e-6 * max(extent, 1.0)
            for second in ids[k + 1:]:
                b = self.outlines[second]
                if np.any(boxes[second][0] > boxes[first][1] + tolerance) or \
                        np.any(boxes[first][0] > boxes[second][1] + tolerance):
                    continue
                if abs(abs(float(np.dot(a.axes[2], b.axes[2]))) - 1.0) > 1e-9 or \
                        abs(float(np.dot(b.origin - a.origin, a.axes[2]))) > tolerance:
                    continue
                if self._covers(first, second, tolerance) or self._covers(second, first, tolerance) or \
                        _crosses(np.vstack([a.polygon, a.polygon[:1]]), a.to_plane(_outline_points(b))):
                    domain = self.model.domains[second - 1]
                    raise MeshError(f"{domain.record}: domain {second} overlaps domain {first} in its plane; "
                                    "the overlap would count twice: cut a hole for it in the other domain, or "
                                    "make the two meet at an edge")

    def _covers(self, host: int, other: int, tolerance: float) -> bool:
        """Does a point of the other domain's loop, or its middle, lie inside the host's area (off its edges)?"""
        shape = self.outlines[host]
        loop = shape.to_plane(_outline_points(self.outlines[other]))
        middles = (loop + np.roll(loop, -1, axis=0)) / 2
        points = np.concatenate([loop, middles, [_interior_point(loop)]])
        within = inside(shape.polygon, points)
        for hole in self.holes[host]:
            within &= ~inside(hole_polygon(shape, hole), points)
        loops = [shape.polygon] + [hole_polygon(shape, hole) for hole in self.holes[host]]
        clear = np.min([_segment_distance(points, q, np.roll(q, -1, axis=0)) for q in loops], axis=0) > tolerance
        return bool(np.any(within & clear))

    def _internal_lines(self, domain_id: int, carrying: set[int]) -> list[Line]:
        """Carrying lines in the domain's plane and inside it (off its loops); refuse those crossing its edge."""
        shape, holes = self.outlines[domain_id], self.holes[domain_id]
        domain = self.model.domains[domain_id - 1]
        extent = float(np.max(np.ptp(shape.polygon, axis=0)))
        tolerance = 1e-6 * max(extent, 1.0)
        loops = [shape.polygon] + [hole_polygon(shape, hole) for hole in holes]
        found = []
        # Lines with both ends in the domain's plane, straight ones overlapping its extent; the others at once.
        lines = [line for line in self.model.lines if line.id in carrying and line.id not in self.loop_lines[domain_id]]
        if not lines:
            return found
        ends = np.array([[line.start.point, line.end.point] for line in lines], dtype=float)
        near = np.all(np.abs((ends - shape.origin) @ shape.axes[2]) <= tolerance, axis=1)
        flat = shape.to_plane(ends.reshape(-1, 3)).reshape(-1, 2, 2)
        low, high = shape.polygon.min(axis=0) - tolerance, shape.polygon.max(axis=0) + tolerance
        arcs = np.array([line.arc is not None for line in lines])
        near &= arcs | (np.all(flat.min(axis=1) <= high, axis=1) & np.all(flat.max(axis=1) >= low, axis=1))
        for line in (line for line, close in zip(lines, near) if close):
            points = line_points(line, _trace_fractions(line))
            if np.max(np.abs((points - shape.origin) @ shape.axes[2])) > tolerance:
                continue
            trace = shape.to_plane(points)
            # Points between the trace's corners as well: a straight line has only its two ends.
            dense = shape.to_plane(line_points(line, np.linspace(0.0, 1.0, 129)))
            on_edge = np.zeros(len(dense), dtype=bool)
            for loop in loops:
                on_edge |= _segment_distance(dense, loop, np.roll(loop, -1, axis=0)) <= tolerance
            within = inside(shape.polygon, dense)
            for hole in loops[1:]:
                within &= ~inside(hole, dense)
            crossing = any(_crosses(trace, loop) for loop in loops)
            if not (within & ~on_edge).any():
                continue
            what = "beam" if line.beam is not None else "line"
            if crossing or (~within & ~on_edge).any():
                raise MeshError(f"{domain.record}: {what} {line.id} lies in the plane of domain {domain_id} and "
                                "crosses its edge; split it where it crosses, at a node of the domain's loop")
            found.append(line)
        # Internal lines meet only at model nodes (their ends, or nodes lying on them).
        nodes_xy = shape.to_plane(np.array([n.point for n in self.model.nodes], dtype=float))
        for k, first in enumerate(found):
            a = shape.to_plane(line_points(first, _trace_fractions(first)))
            for second in found[k + 1:]:
                b = shape.to_plane(line_points(second, _trace_fractions(second)))
                meeting = _meeting_points(a, b, tolerance)
                if any(float(np.min(np.linalg.norm(nodes_xy - m, axis=1))) > tolerance for m in meeting):
                    raise MeshError(f"{domain.record}: lines {first.id} and {second.id} inside domain {domain_id} "
                                    "meet without a common node; split them at a node where they cross")
        return found

    def _balanced(self, shape: Outline) -> bool:
        corners = shape.corner_lines
        pieces = [self.counts[line.id] for line, _ in shape.lines]
        sides = [sum(pieces[corners[k]:corners[k + 1]]) if k < 3 else sum(pieces[corners[3]:]) + sum(
            pieces[:corners[0]]) for k in range(4)]
        return sides[0] == sides[2] and sides[1] == sides[3]

    def _host(self, hole: Outline) -> int | None:
        for domain_id in self.holes:
            other = self.outlines[domain_id]
            if abs(abs(float(np.dot(other.axes[2], hole.axes[2]))) - 1.0) > 1e-9:
                continue
            offset = abs(float(np.dot(hole.origin - other.origin, other.axes[2])))
            extent = float(np.max(np.ptp(other.polygon, axis=0)))
            if offset > 1e-6 * max(extent, 1.0):
                continue
            within = inside(other.polygon, other.to_plane(_outline_points(hole)))
            if within.all():
                return domain_id
            if within.any():
                raise MeshError(f"{hole.domain.record}: hole domain {hole.domain.id} crosses the edge of domain "
                                f"{domain_id}")
        return None

    def edge_fractions(self) -> dict[int, np.ndarray]:
        """Fractions along each domain-edge or internal line of its FE nodes."""
        return dict(self.fractions)

    def edge_model_nodes(self) -> dict[int, dict[int, Node]]:
        """Per line, the positions in its division that are model nodes lying on it."""
        result = {}
        for line_id, found in self.breaks.items():
            fractions = self.fractions[line_id]
            result[line_id] = {int(np.argmin(np.abs(fractions - f))): node for f, node in found}
        return result

    def mesh(self, points: list, line_nodes: dict[int, list[int]], model_node) -> list[DomainMesh]:
        """Mesh every non-hole domain; new interior nodes are appended to `points` (3D).

        `model_node(node)` gives (allocating it if need be) the FE node of a model node.
        """
        meshes = []
        for domain_id, holes in self.holes.items():
            domain = self.model.domains[domain_id - 1]
            shape = self.outlines[domain_id]
            size, default = self.sizes[domain_id]
            loops = [self._loop_nodes(item, line_nodes) for item in [shape, *holes]]
            fixed = [model_node(node) for node in self.fixed[domain_id]]
            internal = [line_nodes[line.id] for line in self.internal[domain_id]]
            xyz = np.array(points, dtype=float)
            quads, method = None, "mapped"
            if domain_id not in self.paved:
                quads = _mapped(shape, loops[0], xyz, points, fixed, size)
            if quads is None:
                method = "paved"
                quads = _paved(shape, holes, loops, xyz, points, size, fixed, internal)
            rings = [[node for part in loop for node in part[:-1]] for loop in loops[1:]]
            meshes.append(DomainMesh(domain, shape, holes, size, default, quads, method, rings,
                                     list(self.internal[domain_id])))
        return meshes

    @staticmethod
    def _loop_nodes(item: Outline, line_nodes: dict[int, list[int]]) -> list[list[int]]:
        """Per line of the loop, its FE nodes in loop order (each list starts at the previous one's end)."""
        return [line_nodes[line.id][::-1] if reverse else line_nodes[line.id] for line, reverse in item.lines]


def _interior_point(polygon: np.ndarray) -> np.ndarray:
    """A point inside a simple polygon: the middle of the longest inside stretch of the line through its centre."""
    y = float(np.mean(polygon[:, 1]))
    y0, y1 = polygon[:, 1], np.roll(polygon[:, 1], -1)
    x0, x1 = polygon[:, 0], np.roll(polygon[:, 0], -1)
    crossing = (y0 > y) != (y1 > y)
    xs = np.sort(x0[crossing] + (y - y0[crossing]) * (x1[crossing] - x0[crossing]) / (y1[crossing] - y0[crossing]))
    if len(xs) < 2:
        return polygon.mean(axis=0)
    pairs = xs.reshape(-1, 2)
    best = int(np.argmax(pairs[:, 1] - pairs[:, 0]))
    return np.array([pairs[best].mean(), y])


def _trace_fractions(line: Line) -> np.ndarray:
    """Fractions of a line's length that trace it with straight pieces (its ends; an arc in small pieces)."""
    if line.arc is None:
        return np.array([0.0, 1.0])
    return np.linspace(0.0, 1.0, max(4, math.ceil(abs(line.arc.alpha) / ARC_PIECE_ANGLE)) + 1)


def _crosses(trace: np.ndarray, loop: np.ndarray) -> bool:
    """Does an open polyline cross a closed loop properly (each through the other's interior)?"""
    p, r = trace[:-1], np.diff(trace, axis=0)
    q, s = loop, np.roll(loop, -1, axis=0) - loop
    denominator = r[:, None, 0] * s[None, :, 1] - r[:, None, 1] * s[None, :, 0]
    qp = q[None, :, :] - p[:, None, :]
    with np.errstate(divide="ignore", invalid="ignore"):
        t = (qp[..., 0] * s[None, :, 1] - qp[..., 1] * s[None, :, 0]) / denominator
        u = (qp[..., 0] * r[:, None, 1] - qp[..., 1] * r[:, None, 0]) / denominator
    margin = 1e-9
    return bool(np.any((np.abs(denominator) > 0) & (t > margin) & (t < 1 - margin) & (u > margin)
                       & (u < 1 - margin)))


def _meeting_points(a: np.ndarray, b: np.ndarray, tolerance: float) -> list[np.ndarray]:
    """Points where two polylines (n, 2) come within tolerance of each other (one per pair of pieces)."""
    found = []
    for k in range(len(a) - 1):
        for m in range(len(b) - 1):
            point = _closest_between(a[k], a[k + 1], b[m], b[m + 1])
            if point is not None and point[1] <= tolerance:
                found.append(point[0])
    return found


def _closest_between(p0, p1, q0, q1):
    """(midpoint of the closest points, their distance) of two segments."""
    best = None
    # Segments in the plane: the closest points are at an intersection or involve an end point.
    r, s = p1 - p0, q1 - q0
    denominator = r[0] * s[1] - r[1] * s[0]
    if abs(denominator) > 1e-300:
        qp = q0 - p0
        t = (qp[0] * s[1] - qp[1] * s[0]) / denominator
        u = (qp[0] * r[1] - qp[1] * r[0]) / denominator
        if 0.0 <= t <= 1.0 and 0.0 <= u <= 1.0:
            return p0 + t * r, 0.0
    for point, (a, b) in ((p0, (q0, q1)), (p1, (q0, q1)), (q0, (p0, p1)), (q1, (p0, p1))):
        d = b - a
        t = min(1.0, max(0.0, float(np.dot(point - a, d) / max(float(np.dot(d, d)), 1e-300))))
        nearest = a + t * d
        gap = float(np.linalg.norm(point - nearest))
        if best is None or gap < best[1]:
            best = ((point + nearest) / 2, gap)
    return best


def _outline_points(item: Outline) -> np.ndarray:
    return item.origin + item.polygon @ item.axes[:2]


def hole_polygon(shape: Outline, hole: Outline) -> np.ndarray:
    """A hole's loop in the plane coordinates of the domain it lies in."""
    return shape.to_plane(_outline_points(hole))


def _corners(plane: np.ndarray) -> list[int]:
    """Indices of the points of a closed loop where it turns by more than CORNER_ANGLE."""
    before = plane - np.roll(plane, 1, axis=0)
    after = np.roll(plane, -1, axis=0) - plane
    angle = np.arctan2(before[:, 0] * after[:, 1] - before[:, 1] * after[:, 0], np.sum(before * after, axis=1))
    return [int(k) for k in np.flatnonzero(np.abs(angle) > CORNER_ANGLE)]


def _mapped(shape: Outline, loop: list[list[int]], xyz: np.ndarray, points: list, fixed: list[int],
            size: float) -> np.ndarray | None:
    ring = [node for nodes in loop for node in nodes[:-1]]
    plane = shape.to_plane(xyz[ring])
    if _signed_area(plane) < 0:
        ring, plane = ring[::-1], plane[::-1]
    corners = _corners(plane)
    if len(corners) != 4:
        return None
    n = len(ring)
    sides = [[ring[(corners[k] + j) % n] for j in range((corners[(k + 1) % 4] - corners[k]) % n + 1)]
             for k in range(4)]
    nu, nv = len(sides[0]) - 1, len(sides[1]) - 1
    if len(sides[2]) - 1 != nu or len(sides[3]) - 1 != nv:
        return None
    bottom, right = shape.to_plane(xyz[sides[0]]), shape.to_plane(xyz[sides[1]])
    top, left = shape.to_plane(xyz[sides[2][::-1]]), shape.to_plane(xyz[sides[3][::-1]])
    # Parameters from the relative arc length along each side.
    def param(side):
        steps = np.linalg.norm(np.diff(side, axis=0), axis=1)
        return np.concatenate([[0.0], np.cumsum(steps)]) / np.sum(steps)
    sb, st, sl, sr = param(bottom), param(top), param(left), param(right)
    grid = np.empty((nv + 1, nu + 1), dtype=np.int64)
    grid[0, :], grid[nv, :] = sides[0], sides[2][::-1]
    grid[:, 0], grid[:, nu] = sides[3][::-1], sides[1]
    uv = np.empty((nv + 1, nu + 1, 2))
    for j in range(1, nv):
        for i in range(1, nu):
            # Interpolated parameters of the two families of grid lines.
            v = (1 - sb[i]) * sl[j] + sb[i] * sr[j]
            u = (1 - sl[j]) * sb[i] + sl[j] * st[i]
            uv[j, i] = ((1 - v) * bottom[i] + v * top[i] + (1 - u) * left[j] + u * right[j]
                        - ((1 - u) * (1 - v) * bottom[0] + u * (1 - v) * bottom[nu]
                           + u * v * top[nu] + (1 - u) * v * top[0]))
    start = len(points)
    inner = uv[1:nv, 1:nu].reshape(-1, 2)
    ids = np.zeros(len(inner), dtype=np.int64)
    taken = np.zeros(len(inner), dtype=bool)
    for node in fixed:  # a model node inside must be a grid node
        if not len(inner):
            return None
        gap = np.linalg.norm(inner - shape.to_plane(xyz[node]), axis=1)
        k = int(np.argmin(gap))
        if gap[k] > 1e-6 * size or taken[k]:
            return None
        ids[k], taken[k] = node, True
    fresh = inner[~taken]
    ids[~taken] = np.arange(start, start + len(fresh))
    grid[1:nv, 1:nu] = ids.reshape(nv - 1, nu - 1)
    quads = np.stack([grid[:-1, :-1], grid[:-1, 1:], grid[1:, 1:], grid[1:, :-1]], axis=-1).reshape(-1, 4)
    planar = np.concatenate([shape.to_plane(xyz), fresh])
    if not _convex(planar[quads]):
        return None
    points.extend(map(tuple, shape.origin + fresh @ shape.axes[:2]))
    return quads


def _convex(quads: np.ndarray) -> bool:
    """Every quadrilateral (n, 4, 2) convex and counter-clockwise."""
    edges = np.roll(quads, -1, axis=1) - quads
    turn = edges[:, :, 0] * np.roll(edges, -1, axis=1)[:, :, 1] - edges[:, :, 1] * np.roll(edges, -1, axis=1)[:, :, 0]
    scale = np.sum(edges * edges, axis=2).max(axis=1)
    return bool(np.all(turn > 1e-6 * scale[:, None]))


def _paved(shape: Outline, holes: list[Outline], loops: list, xyz: np.ndarray, points: list,
           size: float, fixed: list[int], internal: list[list[int]] = ()) -> np.ndarray:
    label = f"{shape.domain.record}: domain {shape.domain.id}"
    rings = []
    for nodes in loops:
        ring = [node for part in nodes for node in part[:-1]]
        rings.append(ring)
    # Coarse edge points (even positions along every line) and their midpoints (the odd ones); the
    # internal lines' pieces are edges of the triangulation too.
    coarse, coarse_segments, midpoint = [], [], {}
    for ring in rings:
        even = ring[0::2]
        coarse += even
        for k in range(len(even)):
            a, b = even[k], even[(k + 1) % len(even)]
            coarse_segments.append((a, b))
            midpoint[frozenset((a, b))] = ring[(2 * k + 1) % len(ring)]
    placed = set(coarse)
    for nodes in internal:
        coarse += [node for node in nodes[0::2] if node not in placed]
        placed.update(nodes[0::2])
        for k in range(0, len(nodes) - 2, 2):
            coarse_segments.append((nodes[k], nodes[k + 2]))
            midpoint[frozenset((nodes[k], nodes[k + 2]))] = nodes[k + 1]
    fixed = [node for node in fixed if node not in placed]
    coarse += fixed
    coarse_xy = shape.to_plane(xyz[coarse])
    a_xy = shape.to_plane(xyz[[a for a, _ in coarse_segments]])
    b_xy = shape.to_plane(xyz[[b for _, b in coarse_segments]])
    polygons = [shape.to_plane(xyz[ring]) for ring in rings]

    def in_domain(p: np.ndarray) -> np.ndarray:
        result = inside(polygons[0], p)
        for hole in polygons[1:]:
            result &= ~inside(hole, p)
        return result

    spacing = 2.0 * size
    low, high = polygons[0].min(axis=0), polygons[0].max(axis=0)
    rows = np.arange(low[1] + spacing * 0.5, high[1], spacing * math.sqrt(3) / 2)
    lattice = []
    for r, y in enumerate(rows):
        xs = np.arange(low[0] + (spacing / 2 if r % 2 else 0.0), high[0], spacing)
        lattice.append(np.column_stack([xs, np.full(len(xs), y)]))
    candidates = np.concatenate(lattice) if lattice else np.zeros((0, 2))
    keep = np.zeros(0, dtype=np.int64)
    if len(candidates):
        candidates = candidates[in_domain(candidates)]
        if len(candidates):
            # Clear of the edges, and outside every edge piece's diametral circle, so that the
            # edge pieces are edges of the Delaunay triangulation.
            clear = _segment_distance(candidates, a_xy, b_xy) > 0.55 * spacing
            centres, radii = (a_xy + b_xy) / 2, np.linalg.norm(b_xy - a_xy, axis=1) / 2
            gabriel = np.all(np.linalg.norm(candidates[:, None] - centres[None], axis=2) > 1.05 * radii[None], axis=1)
            candidates = candidates[clear & gabriel]
            if fixed:
                gap = np.linalg.norm(candidates[:, None] - coarse_xy[None, len(coarse) - len(fixed):], axis=2)
                candidates = candidates[np.min(gap, axis=1) > 0.55 * spacing]
    all_xy = np.concatenate([coarse_xy, candidates])
    triangulation = Delaunay(all_xy)
    triangles = triangulation.simplices
    centroids = all_xy[triangles].mean(axis=1)
    triangles = triangles[in_domain(centroids)]
    # Interior points that no kept triangle uses would be loose nodes: drop them.
    used = np.zeros(len(all_xy), dtype=bool)
    used[triangles.ravel()] = True
    used[:len(coarse)] = True
    renumber = np.cumsum(used) - 1
    triangles, all_xy = renumber[triangles], all_xy[used]
    candidates = all_xy[len(coarse):]
    tri_xy = all_xy[triangles]
    cross = ((tri_xy[:, 1, 0] - tri_xy[:, 0, 0]) * (tri_xy[:, 2, 1] - tri_xy[:, 0, 1])
             - (tri_xy[:, 1, 1] - tri_xy[:, 0, 1]) * (tri_xy[:, 2, 0] - tri_xy[:, 0, 0]))
    triangles = np.where((cross < 0)[:, None], triangles[:, [0, 2, 1]], triangles)
    area = float(np.sum(np.abs(cross))) / 2
    expected = _signed_area(polygons[0]) - sum(abs(_signed_area(h)) for h in polygons[1:])
    if abs(area - expected) > 1e-6 * expected:
        raise MeshError(f"{label} cannot be meshed: the triangulation of its edges does not match its outline "
                        "(a very sharp or narrow corner); give it a smaller mesh size")
    # FE node of every triangulation vertex, then the edge midpoints and centroids.
    start = len(points)
    vertex_node = np.array(coarse + list(range(start, start + len(candidates))), dtype=np.int64)
    new_xy = [candidates]
    next_node = start + len(candidates)
    edge_mid: dict[frozenset, int] = {}
    inner_mids = []
    quads = []
    centre_nodes = np.arange(next_node, next_node + len(triangles))
    next_node += len(triangles)
    new_xy.append(all_xy[triangles].mean(axis=1))
    boundary = set(midpoint)
    used_boundary = set()
    for t, tri in enumerate(triangles):
        nodes = vertex_node[tri]
        mids = []
        for k in range(3):
            a, b = int(nodes[k]), int(nodes[(k + 1) % 3])
            key = frozenset((a, b))
            if key in boundary:
                mids.append(midpoint[key])
                used_boundary.add(key)
                continue
            node = edge_mid.get(key)
            if node is None:
                node = edge_mid[key] = next_node
                next_node += 1
                inner_mids.append((all_xy[tri[k]] + all_xy[tri[(k + 1) % 3]]) / 2)
            mids.append(node)
        c = int(centre_nodes[t])
        quads += [(int(nodes[0]), mids[0], c, mids[2]), (int(nodes[1]), mids[1], c, mids[0]),
                  (int(nodes[2]), mids[2], c, mids[1])]
    if used_boundary != boundary:
        raise MeshError(f"{label} cannot be meshed: an edge piece is missing from its triangulation (a very sharp "
                        "or narrow corner, or an internal line close to an edge or to another line); give it a "
                        "smaller mesh size")
    if inner_mids:
        new_xy.append(np.array(inner_mids))
    quads = np.array(quads, dtype=np.int64)
    fresh = np.concatenate(new_xy) if new_xy else np.zeros((0, 2))
    planar = np.concatenate([shape.to_plane(xyz), fresh])
    _smooth(planar, quads, start)
    points.extend(map(tuple, shape.origin + planar[start:] @ shape.axes[:2]))
    return quads


def _smooth(planar: np.ndarray, quads: np.ndarray, first_free: int) -> None:
    """Laplace smoothing of the nodes from first_free on, pass by pass while every quadrilateral stays convex."""
    count = len(planar)
    edges = np.concatenate([quads[:, [0, 1]], quads[:, [1, 2]], quads[:, [2, 3]], quads[:, [3, 0]]])
    edges = np.concatenate([edges, edges[:, ::-1]])
    local = np.unique(np.concatenate([quads.ravel()]))
    degree = np.bincount(edges[:, 0], minlength=count).astype(float)
    free = np.arange(count) >= first_free
    free &= np.isin(np.arange(count), local)
    for _ in range(SMOOTHING_PASSES):
        total = np.zeros_like(planar)
        np.add.at(total, edges[:, 0], planar[edges[:, 1]])
        moved = planar.copy()
        moved[free] = total[free] / degree[free, None]
        if not _convex(moved[quads]):
            return
        planar[:] = moved
