"""Meshing of the domains, in named steps: outlines and holes, sizes, internal lines, fixed nodes, divisions.

`plan(model)` works out, before any finite-element node exists, everything
the meshes need; `Frame` then numbers the nodes of the lines and calls
`MeshPlan.mesh` to fill each domain (`paving`).

* Outlines and holes: a domain's lines are chained into one closed loop
  (`outline`). Holes (surface type 0) are cut out of the domain they lie in;
  another domain may fill a hole, but domains in one plane may not overlap
  (the overlap would count twice).
* Sizes: the mesh size of the last "GenerateMeshOnSelectedDomains" record
  naming a domain, else 1/20 of its extent (said in the notes).
* Internal lines: lines inside a domain and in its plane that carry something
  (a beam, or the edge of another domain: a rib, a wall standing on a slab)
  are internal lines of that domain: they are divided like edges and their
  pieces are edges of the paved mesh, so the domain shares their nodes.
* Fixed nodes: model nodes on a domain's lines become nodes of their
  division, model nodes inside it nodes of its mesh.
* Divisions: every line on a domain edge is divided once, into pieces no
  longer than the smallest mesh size of the domains using it and a multiple
  of its "SplitByN" parts (even in number where a domain using it is paved);
  those points are the finite-element nodes of the edge, shared by the
  domains on both sides and by the beam on the line.

Where the mesh cannot hold a model node that other elements use (a beam
ending on an edge between the edge line's ends, internal lines crossing
without a common node, a beam crossing a domain's edge in its plane) the
domain is refused, naming the record: joining them at arbitrary mesh nodes
would be a different structure.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
from scipy.spatial import KDTree

from .errors import MeshError
from .geometry import (ARC_PIECE_ANGLE, BoolArray, FloatArray, IntArray, crosses, fraction_along, inside,
                       interior_point, line_length, line_points, loop_distance, meeting_points, segment_distance,
                       trace_fractions)
from .model import Domain, Line, Model, Node, Vector
from .outline import Outline, hole_polygon, outline
from .paving import mapped, paved

# Element size of a domain that no "GenerateMeshOnSelectedDomains" record meshed: this fraction of its extent.
DEFAULT_DIVISIONS = 20
HOLE, MEMBRANE_STRESS, MEMBRANE_STRAIN, PLATE, SHELL = range(5)
SURFACE_TYPES = {HOLE: "hole", MEMBRANE_STRESS: "membrane (plane stress)", MEMBRANE_STRAIN: "membrane (plane strain)",
                 PLATE: "plate", SHELL: "shell"}


@dataclass
class DomainMesh:
    """The quadrilaterals of one domain: FE node indices, counter-clockwise about the domain's z axis."""
    domain: Domain
    outline: Outline
    holes: list[Outline]
    size: float
    default_size: bool
    quads: IntArray  # (elements, 4) FE node indices
    method: str  # "mapped" or "paved"
    hole_rings: list[list[int]] = field(default_factory=list)  # FE nodes around each hole, in loop order
    internal: list[Line] = field(default_factory=list)  # internal lines, whose nodes the mesh shares


@dataclass
class MeshPlan:
    """Everything the meshes of a model's computed domains need, step by step (see the module's text)."""
    model: Model
    outlines: dict[int, Outline] = field(default_factory=dict)  # every domain, holes too
    holes: dict[int, list[Outline]] = field(default_factory=dict)  # computed domain id -> the holes it has
    notes: list[str] = field(default_factory=list)
    sizes: dict[int, tuple[float, bool]] = field(default_factory=dict)  # domain id -> (size, default size?)
    internal: dict[int, list[Line]] = field(default_factory=dict)
    users: dict[int, set[int]] = field(default_factory=dict)  # line id -> the domains whose mesh uses it
    breaks: dict[int, list[tuple[float, Node]]] = field(default_factory=dict)  # line id -> model nodes on it
    fixed: dict[int, list[Node]] = field(default_factory=dict)  # domain id -> model nodes inside it
    paved: set[int] = field(default_factory=set)
    fractions: dict[int, FloatArray] = field(default_factory=dict)  # line id -> fractions of its FE nodes
    counts: dict[int, int] = field(default_factory=dict)  # line id -> pieces

    def loops(self, domain_id: int) -> list[Outline]:
        """The domain's outline, then its holes'."""
        return [self.outlines[domain_id], *self.holes[domain_id]]

    def edge_model_nodes(self) -> dict[int, dict[int, Node]]:
        """Per line, the positions in its division that are model nodes lying on it."""
        result = {}
        for line_id, found in self.breaks.items():
            fractions = self.fractions[line_id]
            result[line_id] = {int(np.argmin(np.abs(fractions - f))): node for f, node in found}
        return result

    def mesh(self, points: list[Vector], line_nodes: dict[int, list[int]],
             model_node: Callable[[Node], int]) -> list[DomainMesh]:
        """Mesh every non-hole domain; new interior nodes are appended to `points` (3D).

        `model_node(node)` gives (allocating it if need be) the FE node of a model node.
        """
        meshes = []
        for domain_id, holes in self.holes.items():
            shape = self.outlines[domain_id]
            size, default = self.sizes[domain_id]
            loops = [_loop_nodes(item, line_nodes) for item in self.loops(domain_id)]
            fixed = [model_node(node) for node in self.fixed[domain_id]]
            internal = [line_nodes[line.id] for line in self.internal[domain_id]]
            xyz = np.array(points, dtype=float)
            quads, method = None, "mapped"
            if domain_id not in self.paved:
                quads = mapped(shape, loops[0], xyz, points, fixed, size)
            if quads is None:
                method = "paved"
                quads = paved(shape, loops, xyz, points, size, fixed, internal)
            rings = [[node for part in loop for node in part[:-1]] for loop in loops[1:]]
            meshes.append(DomainMesh(shape.domain, shape, holes, size, default, quads, method, rings,
                                     list(self.internal[domain_id])))
        return meshes


def plan(model: Model) -> MeshPlan | None:
    """The mesh plan of a model's domains; None when it has no domain to compute."""
    if not any(d.surface_type != HOLE for d in model.domains):
        return None
    result = MeshPlan(model)
    outlines_and_holes(result)
    sizes(result)
    internal_lines(result)
    fixed_nodes(result)
    divisions(result)
    return result


# -- outlines and holes -----------------------------------------------------------------------------------------
def outlines_and_holes(plan: MeshPlan) -> None:
    """Every domain's outline; each hole given to the domain it lies in; overlapping domains refused."""
    model = plan.model
    for domain in model.domains:
        plan.outlines[domain.id] = outline(model, domain)
    plan.holes = {d.id: [] for d in model.domains if d.surface_type != HOLE}
    for hole in (d for d in model.domains if d.surface_type == HOLE):
        host = _host(plan, plan.outlines[hole.id])
        if host is None:
            plan.notes.append(f"{hole.record}: hole domain {hole.id} lies in no domain and cuts nothing")
        else:
            plan.holes[host].append(plan.outlines[hole.id])
    _refuse_overlaps(plan)


def _coplanar(a: Outline, b: Outline, tolerance: float) -> bool:
    return abs(abs(float(np.dot(a.axes[2], b.axes[2]))) - 1.0) <= 1e-9 and \
        abs(float(np.dot(b.origin - a.origin, a.axes[2]))) <= tolerance


def _host(plan: MeshPlan, hole: Outline) -> int | None:
    for domain_id in plan.holes:
        other = plan.outlines[domain_id]
        if abs(abs(float(np.dot(other.axes[2], hole.axes[2]))) - 1.0) > 1e-9:
            continue
        offset = abs(float(np.dot(hole.origin - other.origin, other.axes[2])))
        if offset > 1e-6 * max(other.extent(), 1.0):
            continue
        within = inside(other.polygon, other.to_plane(hole.points()))
        if within.all():
            return domain_id
        if within.any():
            raise MeshError(f"{hole.domain.record}: hole domain {hole.domain.id} crosses the edge of domain "
                            f"{domain_id}")
    return None


def _refuse_overlaps(plan: MeshPlan) -> None:
    """Two domains in one plane may share edges, or one may fill a hole of the other, but not overlap."""
    ids = list(plan.holes)
    boxes = {d: (np.min(plan.outlines[d].points(), axis=0), np.max(plan.outlines[d].points(), axis=0)) for d in ids}
    for k, first in enumerate(ids):
        a = plan.outlines[first]
        tolerance = 1e-6 * max(a.extent(), 1.0)
        for second in ids[k + 1:]:
            b = plan.outlines[second]
            if np.any(boxes[second][0] > boxes[first][1] + tolerance) or \
                    np.any(boxes[first][0] > boxes[second][1] + tolerance):
                continue
            if not _coplanar(a, b, tolerance):
                continue
            if _covers(plan, first, second, tolerance) or _covers(plan, second, first, tolerance) or \
                    crosses(np.vstack([a.polygon, a.polygon[:1]]), a.to_plane(b.points())):
                domain = plan.model.domains[second - 1]
                raise MeshError(f"{domain.record}: domain {second} overlaps domain {first} in its plane; "
                                "the overlap would count twice: cut a hole for it in the other domain, or "
                                "make the two meet at an edge")


def _covers(plan: MeshPlan, host: int, other: int, tolerance: float) -> bool:
    """Does a point of the other domain's loop, or its middle, lie inside the host's area (off its edges)?"""
    shape = plan.outlines[host]
    loop = shape.to_plane(plan.outlines[other].points())
    middles = (loop + np.roll(loop, -1, axis=0)) / 2
    points = np.concatenate([loop, middles, [interior_point(loop)]])
    within = _within(shape, plan.holes[host], points)
    loops = [shape.polygon] + [hole_polygon(shape, hole) for hole in plan.holes[host]]
    clear = np.min([loop_distance(points, q) for q in loops], axis=0) > tolerance
    return bool(np.any(within & clear))


def _within(shape: Outline, holes: list[Outline], xy: FloatArray) -> BoolArray:
    """Which plane points lie in the domain's area: inside its loop and in none of its holes."""
    within = inside(shape.polygon, xy)
    for hole in holes:
        within &= ~inside(hole_polygon(shape, hole), xy)
    return within


# -- sizes ------------------------------------------------------------------------------------------------------
def sizes(plan: MeshPlan) -> None:
    """Each computed domain's element size: the one its meshing record asked for, else a default (noted)."""
    model = plan.model
    for domain_id in plan.holes:
        domain = model.domains[domain_id - 1]
        if domain_id in model.mesh_requests:
            plan.sizes[domain_id] = (model.mesh_requests[domain_id], False)
        else:
            size = plan.outlines[domain_id].extent() / DEFAULT_DIVISIONS
            plan.sizes[domain_id] = (size, True)
            plan.notes.append(f"{domain.record}: domain {domain.id} was never meshed; it is meshed with the "
                              f"default element size {size:.4g} m (1/{DEFAULT_DIVISIONS} of its extent)")


# -- internal lines ---------------------------------------------------------------------------------------------
def internal_lines(plan: MeshPlan) -> None:
    """The carrying lines inside each domain, and every line's users: the domains whose meshes take its nodes."""
    model = plan.model
    loop_lines = {d: {line.id for item in plan.loops(d) for line, _ in item.lines} for d in plan.holes}
    # Lines that carry something: beams and the edges of computed domains.
    carrying = {line.id for line in model.lines if line.beam is not None}
    for lines in loop_lines.values():
        carrying |= lines
    for domain_id in plan.holes:
        candidates = [line for line in model.lines if line.id in carrying and line.id not in loop_lines[domain_id]]
        plan.internal[domain_id] = _internal(plan, domain_id, candidates)
    for domain_id in plan.holes:
        for line in [line for item in plan.loops(domain_id) for line, _ in item.lines] + plan.internal[domain_id]:
            plan.users.setdefault(line.id, set()).add(domain_id)


def _internal(plan: MeshPlan, domain_id: int, lines: list[Line]) -> list[Line]:
    """Carrying lines in the domain's plane and inside it (off its loops); refuse those crossing its edge."""
    shape, holes = plan.outlines[domain_id], plan.holes[domain_id]
    tolerance = 1e-6 * max(shape.extent(), 1.0)
    found: list[Line] = []
    if not lines:
        return found
    for line in _near(shape, lines, tolerance):
        points = line_points(line, trace_fractions(line))
        if np.max(np.abs((points - shape.origin) @ shape.axes[2])) > tolerance:
            continue
        if _inside_line(plan, domain_id, line, tolerance):
            found.append(line)
    _refuse_meetings(plan, domain_id, found, tolerance)
    return found


def _near(shape: Outline, lines: list[Line], tolerance: float) -> list[Line]:
    """Lines with both ends in the domain's plane, straight ones overlapping its extent; the others at once."""
    ends = np.array([[line.start.point, line.end.point] for line in lines], dtype=float)
    near = np.all(np.abs((ends - shape.origin) @ shape.axes[2]) <= tolerance, axis=1)
    flat = shape.to_plane(ends.reshape(-1, 3)).reshape(-1, 2, 2)
    low, high = shape.polygon.min(axis=0) - tolerance, shape.polygon.max(axis=0) + tolerance
    arcs = np.array([line.arc is not None for line in lines])
    near &= arcs | (np.all(flat.min(axis=1) <= high, axis=1) & np.all(flat.max(axis=1) >= low, axis=1))
    return [line for line, close in zip(lines, near) if close]


def _inside_line(plan: MeshPlan, domain_id: int, line: Line, tolerance: float) -> bool:
    """Does a line in the domain's plane run inside it? One crossing its edge is refused."""
    shape, holes = plan.outlines[domain_id], plan.holes[domain_id]
    loops = [shape.polygon] + [hole_polygon(shape, hole) for hole in holes]
    trace = shape.to_plane(line_points(line, trace_fractions(line)))
    # Points between the trace's corners as well: a straight line has only its two ends.
    dense = shape.to_plane(line_points(line, np.linspace(0.0, 1.0, 129)))
    on_edge = np.zeros(len(dense), dtype=bool)
    for loop in loops:
        on_edge |= loop_distance(dense, loop) <= tolerance
    within = inside(shape.polygon, dense)
    for hole in loops[1:]:
        within &= ~inside(hole, dense)
    crossing = any(crosses(trace, loop) for loop in loops)
    if not (within & ~on_edge).any():
        return False
    if crossing or (~within & ~on_edge).any():
        what = "beam" if line.beam is not None else "line"
        raise MeshError(f"{shape.domain.record}: {what} {line.id} lies in the plane of domain {domain_id} and "
                        "crosses its edge; split it where it crosses, at a node of the domain's loop")
    return True


def _refuse_meetings(plan: MeshPlan, domain_id: int, found: list[Line], tolerance: float) -> None:
    """Internal lines meet only at model nodes (their ends, or nodes lying on them)."""
    shape = plan.outlines[domain_id]
    nodes_xy = shape.to_plane(np.array([n.point for n in plan.model.nodes], dtype=float))
    for k, first in enumerate(found):
        a = shape.to_plane(line_points(first, trace_fractions(first)))
        for second in found[k + 1:]:
            b = shape.to_plane(line_points(second, trace_fractions(second)))
            meeting = meeting_points(a, b, tolerance)
            if any(float(np.min(np.linalg.norm(nodes_xy - m, axis=1))) > tolerance for m in meeting):
                raise MeshError(f"{shape.domain.record}: lines {first.id} and {second.id} inside domain {domain_id} "
                                "meet without a common node; split them at a node where they cross")


# -- fixed nodes ------------------------------------------------------------------------------------------------
def fixed_nodes(plan: MeshPlan) -> None:
    """Model nodes on the lines the meshes use (a beam or column ending there, a point asked for) become nodes
    of their division; model nodes inside a domain (a column under a slab) become nodes of its mesh."""
    model = plan.model
    all_xyz = np.array([n.point for n in model.nodes], dtype=float).reshape(-1, 3)
    used = [model.lines[line_id - 1] for line_id in plan.users]
    traces = {line.id: line_points(line, trace_fractions(line)) for line in used}
    plan.breaks = _nodes_on(model, used, traces, all_xyz)
    on_lines = {node.id for found in plan.breaks.values() for _, node in found}
    for domain_id, holes in plan.holes.items():
        shape = plan.outlines[domain_id]
        lines = [model.lines[line_id - 1] for line_id, domains in plan.users.items() if domain_id in domains]
        ends = {n.id for line in lines for n in (line.start, line.end)}
        tolerance = 1e-6 * max(shape.extent(), 1.0)
        near = np.abs((all_xyz - shape.origin) @ shape.axes[2]) <= tolerance
        xy = shape.to_plane(all_xyz)
        within = near & _within(shape, holes, xy)
        # Off the domain's lines: a second node where a line has one is left to itself.
        candidates = np.flatnonzero(within)
        if candidates.size and lines:
            pieces = [shape.to_plane(traces[line.id]) for line in lines]
            a, b = np.concatenate([t[:-1] for t in pieces]), np.concatenate([t[1:] for t in pieces])
            for chunk in np.array_split(candidates, -(-candidates.size * len(a) // _PAIRS)):
                within[chunk] = segment_distance(xy[chunk], a, b) > tolerance
        plan.fixed[domain_id] = [n for k, n in enumerate(model.nodes)
                                 if within[k] and n.id not in ends and n.id not in on_lines]


# Point and segment pairs measured at once: bounded so that a large model's arrays stay small.
_PAIRS = 1 << 18


def _nodes_on(model: Model, lines: list[Line], traces: dict[int, FloatArray],
              xyz: FloatArray) -> dict[int, list[tuple[float, Node]]]:
    """Per line (traced by `traces`): the model nodes (at xyz) on it between its ends, by the fraction of its
    length where they lie."""
    out: dict[int, list[tuple[float, Node]]] = {line.id: [] for line in lines}
    if not lines or not len(xyz):
        return out
    # Only the nodes within the sphere around a trace's bounding box can lie on it.
    lengths = np.array([line_length(line) for line in lines])
    tolerance = 1e-6 * np.maximum(lengths, 1.0)
    low = np.array([traces[line.id].min(axis=0) for line in lines])
    high = np.array([traces[line.id].max(axis=0) for line in lines])
    centre = (low + high) / 2.0
    radius = np.linalg.norm(high - centre, axis=1) + 2.0 * tolerance
    near = KDTree(xyz).query_ball_point(centre, radius)
    for k, line in enumerate(lines):
        candidates = np.array(sorted(near[k]), dtype=np.int64)
        if not candidates.size:
            continue
        trace = traces[line.id]
        gap = segment_distance(xyz[candidates], trace[:-1], trace[1:])
        found: list[tuple[float, Node]] = []
        taken: list[float] = []
        for index in candidates[gap <= tolerance[k]].tolist():
            node = model.nodes[index]
            if node is line.start or node is line.end:
                continue
            fraction = fraction_along(line, np.array(node.point))
            if not 0.0 < fraction < 1.0 or any(abs(fraction - f) * lengths[k] <= tolerance[k] for f in taken):
                continue  # a line end's twin, or a second node at one place: left to itself
            found.append((fraction, node))
            taken.append(fraction)
        out[line.id] = sorted(found, key=lambda item: item[0])
    return out


# -- divisions --------------------------------------------------------------------------------------------------
def divisions(plan: MeshPlan) -> None:
    """The FE nodes of every line the meshes use, as fractions of its length.

    Paved domains need an even number of pieces on every edge line; a domain
    that could be mapped stays mapped while its opposite sides keep equal
    numbers of pieces.
    """
    model = plan.model
    # Each line: the smallest mesh size of the domains using it.
    edge_sizes = {line_id: min(plan.sizes[d][0] for d in domains) for line_id, domains in plan.users.items()}
    plan.paved = {d for d, holes in plan.holes.items()
                  if holes or plan.internal[d] or plan.outlines[d].corner_lines is None
                  or len(plan.outlines[d].corner_lines or ()) != 4}
    while True:
        plan.fractions = {line_id: _division(model.lines[line_id - 1], size, bool(plan.users[line_id] & plan.paved),
                                             plan.breaks[line_id])
                          for line_id, size in edge_sizes.items()}
        plan.counts = {line_id: len(f) - 1 for line_id, f in plan.fractions.items()}
        unequal = {d for d in plan.holes if d not in plan.paved and not _balanced(plan, plan.outlines[d])}
        if not unequal:
            break
        plan.paved |= unequal


def _balanced(plan: MeshPlan, shape: Outline) -> bool:
    found = shape.corner_lines
    assert found is not None
    pieces = [plan.counts[line.id] for line, _ in shape.lines]
    sides = [sum(pieces[found[k]:found[k + 1]]) if k < 3 else sum(pieces[found[3]:]) + sum(
        pieces[:found[0]]) for k in range(4)]
    return sides[0] == sides[2] and sides[1] == sides[3]


def _division(line: Line, size: float, even: bool, breaks: list[tuple[float, Node]]) -> FloatArray:
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


def _divisions(line: Line, size: float, even: bool) -> int:
    """Pieces of a line: a multiple of its parts, none longer than size (nor a too wide arc piece), even if asked."""
    per_part = math.ceil(line_length(line) / line.parts / size - 1e-9)
    if line.arc is not None:
        per_part = max(per_part, math.ceil(abs(line.arc.alpha) / line.parts / ARC_PIECE_ANGLE - 1e-9))
    per_part = max(per_part, 1)
    if even and (per_part * line.parts) % 2:
        per_part += 1
    return per_part * line.parts


def _loop_nodes(item: Outline, line_nodes: dict[int, list[int]]) -> list[list[int]]:
    """Per line of the loop, its FE nodes in loop order (each list starts at the previous one's end)."""
    return [line_nodes[line.id][::-1] if reverse else line_nodes[line.id] for line, reverse in item.lines]
