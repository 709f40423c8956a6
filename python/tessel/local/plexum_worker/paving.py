"""Quadrilaterals of one domain from the FE nodes of its loops: a mapped grid, or paved from triangles.

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

Both take the FE nodes of the domain's loops and append the new interior
nodes to `points` (3D); they answer FE node indices, counter-clockwise about
the domain's z axis.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from scipy.spatial import Delaunay

from .errors import MeshError
from .geometry import (BoolArray, FloatArray, IndexArray, IntArray, as_vector, convex, corners, inside,
                       segment_distance, signed_area)
from .model import Vector
from .outline import Outline

SMOOTHING_PASSES = 6
# Loops of FE nodes: per loop, per line of the loop, its FE nodes in loop order.
Loops = Sequence[Sequence[Sequence[int]]]


def mapped(shape: Outline, loop: Sequence[Sequence[int]], xyz: FloatArray, points: list[Vector], fixed: list[int],
           size: float) -> IntArray | None:
    """The structured grid of a four-cornered domain, or None where it has no such grid."""
    ring = [node for nodes in loop for node in nodes[:-1]]
    plane = shape.to_plane(xyz[ring])
    if signed_area(plane) < 0:
        ring, plane = ring[::-1], plane[::-1]
    found = corners(plane)
    if len(found) != 4:
        return None
    n = len(ring)
    sides = [[ring[(found[k] + j) % n] for j in range((found[(k + 1) % 4] - found[k]) % n + 1)] for k in range(4)]
    nu, nv = len(sides[0]) - 1, len(sides[1]) - 1
    if len(sides[2]) - 1 != nu or len(sides[3]) - 1 != nv:
        return None
    grid = np.empty((nv + 1, nu + 1), dtype=np.int64)
    grid[0, :], grid[nv, :] = sides[0], sides[2][::-1]
    grid[:, 0], grid[:, nu] = sides[3][::-1], sides[1]
    inner = _coons(shape, xyz, sides, nu, nv)[1:nv, 1:nu].reshape(-1, 2)
    ids = _grid_nodes(shape, inner, xyz, fixed, size, len(points))
    if ids is None:
        return None
    taken = ids < len(points)
    fresh = inner[~taken]
    grid[1:nv, 1:nu] = ids.reshape(nv - 1, nu - 1)
    quads = np.stack([grid[:-1, :-1], grid[:-1, 1:], grid[1:, 1:], grid[1:, :-1]], axis=-1).reshape(-1, 4)
    planar = np.concatenate([shape.to_plane(xyz), fresh])
    if not convex(planar[quads]):
        return None
    points.extend(map(as_vector, shape.origin + fresh @ shape.axes[:2]))
    return quads


def _coons(shape: Outline, xyz: FloatArray, sides: list[list[int]], nu: int, nv: int) -> FloatArray:
    """Plane coordinates (nv + 1, nu + 1, 2) of the grid, by transfinite interpolation of the four sides."""
    bottom, right = shape.to_plane(xyz[sides[0]]), shape.to_plane(xyz[sides[1]])
    top, left = shape.to_plane(xyz[sides[2][::-1]]), shape.to_plane(xyz[sides[3][::-1]])

    # Parameters from the relative arc length along each side.
    def param(side: FloatArray) -> FloatArray:
        steps = np.linalg.norm(np.diff(side, axis=0), axis=1)
        result: FloatArray = np.concatenate([[0.0], np.cumsum(steps)]) / np.sum(steps)
        return result
    sb, st, sl, sr = param(bottom), param(top), param(left), param(right)
    uv = np.empty((nv + 1, nu + 1, 2))
    i, j = np.arange(1, nu), np.arange(1, nv)
    # Interpolated parameters of the two families of grid lines, (nv - 1, nu - 1, 1).
    v = ((1 - sb[i])[None, :] * sl[j][:, None] + sb[i][None, :] * sr[j][:, None])[..., None]
    u = ((1 - sl[j])[:, None] * sb[i][None, :] + sl[j][:, None] * st[i][None, :])[..., None]
    uv[1:nv, 1:nu] = ((1 - v) * bottom[i][None] + v * top[i][None] + (1 - u) * left[j][:, None]
                      + u * right[j][:, None]
                      - ((1 - u) * (1 - v) * bottom[0] + u * (1 - v) * bottom[nu] + u * v * top[nu]
                         + (1 - u) * v * top[0]))
    return uv


def _grid_nodes(shape: Outline, inner: FloatArray, xyz: FloatArray, fixed: list[int], size: float,
                start: int) -> IntArray | None:
    """FE nodes of the inner grid points: the fixed nodes where they fall on one, new ones from `start`."""
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
    ids[~taken] = np.arange(start, start + int(np.count_nonzero(~taken)))
    return ids


@dataclass
class _Edges:
    """The coarse points of a paved mesh (FE nodes) and its edge pieces, each with the FE node at its middle."""
    coarse: list[int]
    segments: list[tuple[int, int]]
    midpoint: dict[frozenset[int], int]
    fixed: list[int]  # model nodes inside, the last of the coarse points


def _edges(rings: list[list[int]], internal: Sequence[Sequence[int]], fixed: list[int]) -> _Edges:
    # Coarse edge points (even positions along every line) and their midpoints (the odd ones); the
    # internal lines' pieces are edges of the triangulation too.
    coarse: list[int] = []
    segments: list[tuple[int, int]] = []
    midpoint: dict[frozenset[int], int] = {}
    for ring in rings:
        even = ring[0::2]
        coarse += even
        for k in range(len(even)):
            a, b = even[k], even[(k + 1) % len(even)]
            segments.append((a, b))
            midpoint[frozenset((a, b))] = ring[(2 * k + 1) % len(ring)]
    placed = set(coarse)
    for nodes in internal:
        coarse += [node for node in nodes[0::2] if node not in placed]
        placed.update(nodes[0::2])
        for k in range(0, len(nodes) - 2, 2):
            segments.append((nodes[k], nodes[k + 2]))
            midpoint[frozenset((nodes[k], nodes[k + 2]))] = nodes[k + 1]
    fixed = [node for node in fixed if node not in placed]
    return _Edges(coarse + fixed, segments, midpoint, fixed)


class _Area:
    """A domain's area in its plane coordinates: its outer loop less its holes."""

    def __init__(self, polygons: list[FloatArray]) -> None:
        self.polygons = polygons

    def contains(self, p: FloatArray) -> BoolArray:
        result = inside(self.polygons[0], p)
        for hole in self.polygons[1:]:
            result &= ~inside(hole, p)
        return result

    def size(self) -> float:
        return signed_area(self.polygons[0]) - sum(abs(signed_area(h)) for h in self.polygons[1:])


def _lattice(area: _Area, edges: _Edges, coarse_xy: FloatArray, a_xy: FloatArray, b_xy: FloatArray,
             size: float) -> FloatArray:
    """Interior points: a triangular lattice of spacing twice the size, inside and clear of the edges."""
    spacing = 2.0 * size
    low, high = area.polygons[0].min(axis=0), area.polygons[0].max(axis=0)
    rows = np.arange(low[1] + spacing * 0.5, high[1], spacing * math.sqrt(3) / 2)
    lattice = []
    for r, y in enumerate(rows):
        xs = np.arange(low[0] + (spacing / 2 if r % 2 else 0.0), high[0], spacing)
        lattice.append(np.column_stack([xs, np.full(len(xs), y)]))
    candidates: FloatArray = np.concatenate(lattice) if lattice else np.zeros((0, 2))
    if not len(candidates):
        return candidates
    candidates = candidates[area.contains(candidates)]
    if not len(candidates):
        return candidates
    # Clear of the edges, and outside every edge piece's diametral circle, so that the
    # edge pieces are edges of the Delaunay triangulation.
    clear = segment_distance(candidates, a_xy, b_xy) > 0.55 * spacing
    centres, radii = (a_xy + b_xy) / 2, np.linalg.norm(b_xy - a_xy, axis=1) / 2
    gabriel = np.all(np.linalg.norm(candidates[:, None] - centres[None], axis=2) > 1.05 * radii[None], axis=1)
    candidates = candidates[clear & gabriel]
    if edges.fixed:
        gap = np.linalg.norm(candidates[:, None] - coarse_xy[None, len(edges.coarse) - len(edges.fixed):], axis=2)
        candidates = candidates[np.min(gap, axis=1) > 0.55 * spacing]
    return candidates


def _triangles(area: _Area, all_xy: FloatArray, coarse: int, label: str) -> tuple[IntArray, FloatArray]:
    """Delaunay triangles inside the area, counter-clockwise, and the points they use (the coarse ones first)."""
    simplices: IndexArray = Delaunay(all_xy).simplices
    centroids = all_xy[simplices].mean(axis=1)
    simplices = simplices[area.contains(centroids)]
    # Interior points that no kept triangle uses would be loose nodes: drop them.
    used = np.zeros(len(all_xy), dtype=bool)
    used[simplices.ravel()] = True
    used[:coarse] = True
    renumber = np.cumsum(used) - 1
    triangles: IntArray = renumber[simplices]
    all_xy = all_xy[used]
    tri_xy = all_xy[triangles]
    cross = ((tri_xy[:, 1, 0] - tri_xy[:, 0, 0]) * (tri_xy[:, 2, 1] - tri_xy[:, 0, 1])
             - (tri_xy[:, 1, 1] - tri_xy[:, 0, 1]) * (tri_xy[:, 2, 0] - tri_xy[:, 0, 0]))
    triangles = np.where((cross < 0)[:, None], triangles[:, [0, 2, 1]], triangles)
    covered = float(np.sum(np.abs(cross))) / 2
    expected = area.size()
    if abs(covered - expected) > 1e-6 * expected:
        raise MeshError(f"{label} cannot be meshed: the triangulation of its edges does not match its outline "
                        "(a very sharp or narrow corner); give it a smaller mesh size")
    return triangles, all_xy


def _split_triangles(triangles: IntArray, all_xy: FloatArray, vertex_node: IntArray, edges: _Edges,
                     next_node: int, label: str) -> tuple[IntArray, list[FloatArray]]:
    """Three quadrilaterals per triangle through its centroid and edge midpoints; the new midpoints' places.

    New FE nodes: the centroids from `next_node` on, then the midpoints of the
    inner edges; an edge piece's midpoint is its odd edge node.
    """
    quads: list[tuple[int, int, int, int]] = []
    edge_mid: dict[frozenset[int], int] = {}
    inner_mids: list[FloatArray] = []
    centre_nodes = np.arange(next_node, next_node + len(triangles))
    next_node += len(triangles)
    boundary = set(edges.midpoint)
    used_boundary = set()
    for t, tri in enumerate(triangles):
        nodes = vertex_node[tri]
        mids = []
        for k in range(3):
            a, b = int(nodes[k]), int(nodes[(k + 1) % 3])
            key = frozenset((a, b))
            if key in boundary:
                mids.append(edges.midpoint[key])
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
    return np.array(quads, dtype=np.int64), inner_mids


def paved(shape: Outline, loops: Loops, xyz: FloatArray, points: list[Vector], size: float, fixed: list[int],
          internal: Sequence[Sequence[int]] = ()) -> IntArray:
    """The paved mesh of a domain: its loops (outer first, then its holes), the model nodes inside, its internal
    lines."""
    label = f"{shape.domain.record}: domain {shape.domain.id}"
    rings = [[node for part in nodes for node in part[:-1]] for nodes in loops]
    edges = _edges(rings, internal, fixed)
    coarse_xy = shape.to_plane(xyz[edges.coarse])
    a_xy = shape.to_plane(xyz[[a for a, _ in edges.segments]])
    b_xy = shape.to_plane(xyz[[b for _, b in edges.segments]])
    area = _Area([shape.to_plane(xyz[ring]) for ring in rings])
    candidates = _lattice(area, edges, coarse_xy, a_xy, b_xy, size)
    triangles, all_xy = _triangles(area, np.concatenate([coarse_xy, candidates]), len(edges.coarse), label)
    candidates = all_xy[len(edges.coarse):]
    # FE node of every triangulation vertex, then the edge midpoints and centroids.
    start = len(points)
    vertex_node = np.array(edges.coarse + list(range(start, start + len(candidates))), dtype=np.int64)
    quads, inner_mids = _split_triangles(triangles, all_xy, vertex_node, edges, start + len(candidates), label)
    new_xy = [candidates, all_xy[triangles].mean(axis=1)]
    if inner_mids:
        new_xy.append(np.array(inner_mids))
    fresh = np.concatenate(new_xy)
    planar = np.concatenate([shape.to_plane(xyz), fresh])
    _smooth(planar, quads, start)
    points.extend(map(as_vector, shape.origin + planar[start:] @ shape.axes[:2]))
    return quads


def _smooth(planar: FloatArray, quads: IntArray, first_free: int) -> None:
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
        if not convex(moved[quads]):
            return
        planar[:] = moved
