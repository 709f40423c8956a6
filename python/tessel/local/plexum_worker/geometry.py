"""Geometry shared by every stage: vectors and rotations, lines of the model, polygons in a plane, distances.

Points and vectors of the records are tuples (x, y, z); many points at once
are numpy arrays (n, 3) in space or (n, 2) in a domain's plane coordinates.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.spatial import Delaunay, QhullError

from .errors import LoadError
from .model import Line, Vector

FloatArray = NDArray[np.float64]
IntArray = NDArray[np.int64]
BoolArray = NDArray[np.bool_]
# Indices as numpy makes them: int64, or a library's C int (scipy's Delaunay triangles).
IndexArray = NDArray[np.integer[Any]]

# Largest angle of one straight piece of a circular arc: the chord shortens the
# arc by (angle^2 / 24), 0.01 % here, and the bending error is of the same order.
ARC_PIECE_ANGLE = math.pi / 72.0
# A loop turns at a corner by more than this.
CORNER_ANGLE = math.radians(10.0)


# -- vectors ----------------------------------------------------------------------------------------------------
def sub(a: Vector, b: Vector) -> Vector:
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def add(a: Vector, b: Vector) -> Vector:
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def scale(a: Vector, f: float) -> Vector:
    return (a[0] * f, a[1] * f, a[2] * f)


def dot(a: Vector, b: Vector) -> float:
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def cross(a: Vector, b: Vector) -> Vector:
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def norm(a: Vector) -> float:
    return math.sqrt(dot(a, a))


def distance(a: Vector, b: Vector) -> float:
    return norm(sub(a, b))


def rotate(v: Vector, axis: Vector, angle: float) -> Vector:
    """Rodrigues' rotation of v about the unit vector axis by angle (counter-clockwise)."""
    c, s = math.cos(angle), math.sin(angle)
    k_cross_v = cross(axis, v)
    k_dot_v = dot(axis, v)
    return (v[0] * c + k_cross_v[0] * s + axis[0] * k_dot_v * (1.0 - c),
            v[1] * c + k_cross_v[1] * s + axis[1] * k_dot_v * (1.0 - c),
            v[2] * c + k_cross_v[2] * s + axis[2] * k_dot_v * (1.0 - c))


def as_vector(values: Any) -> Vector:
    """Three numbers (a numpy row, a list) as a point tuple."""
    return (values[0], values[1], values[2])


def cross_matrices(d: FloatArray) -> FloatArray:
    """[d]x for each row of d (n, 3): [d]x @ v = d x v."""
    out = np.zeros(d.shape[:-1] + (3, 3))
    out[..., 0, 1], out[..., 0, 2], out[..., 1, 2] = -d[..., 2], d[..., 1], -d[..., 0]
    out[..., 1, 0], out[..., 2, 0], out[..., 2, 1] = d[..., 2], -d[..., 1], d[..., 0]
    return out


# -- lines of the model -----------------------------------------------------------------------------------------
def arc_points(line: Line, fractions: Any) -> list[Vector]:
    """Points of an arc line at fractions of its angle, the start node's radius turned about the unit normal."""
    assert line.arc is not None
    start = np.array(line.start.point)
    center = np.array(line.arc.center)
    normal = as_vector(np.array(line.arc.normal) / np.linalg.norm(line.arc.normal))
    radius_vector = as_vector(start - center)
    return [as_vector(center + rotate(radius_vector, normal, line.arc.alpha * f)) for f in fractions]


def line_points(line: Line, fractions: FloatArray) -> FloatArray:
    """Points of a line at fractions of its length."""
    start, end = np.array(line.start.point), np.array(line.end.point)
    if line.arc is None:
        points: FloatArray = start + (end - start) * fractions[:, None]
    else:
        points = np.array(arc_points(line, fractions))
    points[0], points[-1] = start, end
    return points


def line_length(line: Line) -> float:
    if line.arc is None:
        return math.dist(line.start.point, line.end.point)
    return math.dist(line.start.point, line.arc.center) * abs(line.arc.alpha)


def trace_fractions(line: Line) -> FloatArray:
    """Fractions of a line's length that trace it with straight pieces (its ends; an arc in small pieces)."""
    if line.arc is None:
        return np.array([0.0, 1.0])
    return np.linspace(0.0, 1.0, max(4, math.ceil(abs(line.arc.alpha) / ARC_PIECE_ANGLE)) + 1)


def fraction_along(line: Line, point: FloatArray) -> float:
    """Where a point on a line lies, as a fraction of its length."""
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


# -- planes and polygons ----------------------------------------------------------------------------------------
def plane_axes(normal: FloatArray) -> FloatArray:
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
        return np.array([x, np.cross(z, x), z], dtype=float)
    y = np.array([0.0, 0.0, 1.0])
    x = np.array([1.0, 0.0, 0.0]) - normal[0] * normal
    if np.linalg.norm(x) < 1e-6:
        x = np.array([0.0, 1.0, 0.0])
    x[2] = 0.0
    x /= np.linalg.norm(x)
    return np.array([x, y, np.cross(x, y)])


def newell_normal(points: FloatArray) -> FloatArray:
    """The (unnormalised) normal of a closed polygon (n, 3): exact for a planar polygon and robust for any."""
    nxt = np.roll(points, -1, axis=0)
    return np.array([np.sum((points[:, 1] - nxt[:, 1]) * (points[:, 2] + nxt[:, 2])),
                     np.sum((points[:, 2] - nxt[:, 2]) * (points[:, 0] + nxt[:, 0])),
                     np.sum((points[:, 0] - nxt[:, 0]) * (points[:, 1] + nxt[:, 1]))])


def signed_area(polygon: FloatArray) -> float:
    """Area of a polygon (n, 2), positive when counter-clockwise."""
    x, y = polygon[:, 0], polygon[:, 1]
    return 0.5 * float(np.sum(x * np.roll(y, -1) - np.roll(x, -1) * y))


def spans(points: FloatArray) -> FloatArray:
    """The sides of the bounding box of points (n, k): their largest less their smallest coordinate.

    As np.ptp(points, axis=0), reduced coordinate by coordinate: numpy's reduction over the points of a
    (n, 3) array is slow, about twenty times so at 10^5 points.
    """
    out: FloatArray = np.ptp(np.ascontiguousarray(np.asarray(points, float).T), axis=1)
    return out


def extent(points: FloatArray) -> float:
    """The largest side of the bounding box of points (n, k)."""
    return float(np.max(spans(points)))


def inside(polygon: FloatArray, points: FloatArray) -> BoolArray:
    """Even-odd test of points (n, 2) against a polygon (m, 2)."""
    x, y = points[:, 0][:, None], points[:, 1][:, None]
    x0, y0 = polygon[:, 0][None, :], polygon[:, 1][None, :]
    x1, y1 = np.roll(polygon[:, 0], -1)[None, :], np.roll(polygon[:, 1], -1)[None, :]
    crosses = (y0 > y) != (y1 > y)
    with np.errstate(divide="ignore", invalid="ignore"):
        at = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
    result: BoolArray = np.count_nonzero(crosses & (x < at), axis=1) % 2 == 1
    return result


def segment_distance(points: FloatArray, a: FloatArray, b: FloatArray) -> FloatArray:
    """Distance of each point (n, 2) to the nearest of the segments a[k]-b[k]."""
    d = b - a
    lengths = np.maximum(np.sum(d * d, axis=1), 1e-300)
    rel = points[:, None, :] - a[None, :, :]
    t = np.clip(np.sum(rel * d[None], axis=2) / lengths[None], 0.0, 1.0)
    nearest = a[None] + t[..., None] * d[None]
    result: FloatArray = np.min(np.linalg.norm(points[:, None, :] - nearest, axis=2), axis=1)
    return result


def loop_distance(points: FloatArray, loop: FloatArray) -> FloatArray:
    """Distance of each point (n, 2) to a closed loop (m, 2)."""
    return segment_distance(points, loop, np.roll(loop, -1, axis=0))


def interior_point(polygon: FloatArray) -> FloatArray:
    """A point inside a simple polygon: the middle of the longest inside stretch of the line through its centre."""
    y = float(np.mean(polygon[:, 1]))
    y0, y1 = polygon[:, 1], np.roll(polygon[:, 1], -1)
    x0, x1 = polygon[:, 0], np.roll(polygon[:, 0], -1)
    crossing = (y0 > y) != (y1 > y)
    xs = np.sort(x0[crossing] + (y - y0[crossing]) * (x1[crossing] - x0[crossing]) / (y1[crossing] - y0[crossing]))
    if len(xs) < 2:
        middle: FloatArray = polygon.mean(axis=0)
        return middle
    pairs = xs.reshape(-1, 2)
    best = int(np.argmax(pairs[:, 1] - pairs[:, 0]))
    return np.array([float(pairs[best].mean()), y])


def corners(plane: FloatArray) -> list[int]:
    """Indices of the points of a closed loop where it turns by more than CORNER_ANGLE."""
    before = plane - np.roll(plane, 1, axis=0)
    after = np.roll(plane, -1, axis=0) - plane
    angle = np.arctan2(before[:, 0] * after[:, 1] - before[:, 1] * after[:, 0], np.sum(before * after, axis=1))
    return [int(k) for k in np.flatnonzero(np.abs(angle) > CORNER_ANGLE)]


def convex(quads: FloatArray) -> bool:
    """Every quadrilateral (n, 4, 2) convex and counter-clockwise."""
    edges = np.roll(quads, -1, axis=1) - quads
    turn = edges[:, :, 0] * np.roll(edges, -1, axis=1)[:, :, 1] - edges[:, :, 1] * np.roll(edges, -1, axis=1)[:, :, 0]
    size = np.sum(edges * edges, axis=2).max(axis=1)
    return bool(np.all(turn > 1e-6 * size[:, None]))


def crosses(trace: FloatArray, loop: FloatArray) -> bool:
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


def meeting_points(a: FloatArray, b: FloatArray, tolerance: float) -> list[FloatArray]:
    """Points where two polylines (n, 2) come within tolerance of each other (one per pair of pieces)."""
    found = []
    for k in range(len(a) - 1):
        for m in range(len(b) - 1):
            point, gap = closest_between(a[k], a[k + 1], b[m], b[m + 1])
            if gap <= tolerance:
                found.append(point)
    return found


def closest_between(p0: FloatArray, p1: FloatArray, q0: FloatArray, q1: FloatArray) -> tuple[FloatArray, float]:
    """(midpoint of the closest points, their distance) of two segments."""
    # Segments in the plane: the closest points are at an intersection or involve an end point.
    r, s = p1 - p0, q1 - q0
    denominator = r[0] * s[1] - r[1] * s[0]
    if abs(denominator) > 1e-300:
        qp = q0 - p0
        t = (qp[0] * s[1] - qp[1] * s[0]) / denominator
        u = (qp[0] * r[1] - qp[1] * r[0]) / denominator
        if 0.0 <= t <= 1.0 and 0.0 <= u <= 1.0:
            return p0 + t * r, 0.0
    best: tuple[FloatArray, float] | None = None
    for point, (a, b) in ((p0, (q0, q1)), (p1, (q0, q1)), (q0, (p0, p1)), (q1, (p0, p1))):
        d = b - a
        t = min(1.0, max(0.0, float(np.dot(point - a, d) / max(float(np.dot(d, d)), 1e-300))))
        nearest = a + t * d
        gap = float(np.linalg.norm(point - nearest))
        if best is None or gap < best[1]:
            best = ((point + nearest) / 2, gap)
    assert best is not None
    return best


# -- triangles --------------------------------------------------------------------------------------------------
def triangulate(polygon: FloatArray) -> IndexArray:
    """Triangles (t, 3) of indices into a simple polygon (n, 2) that cover it exactly.

    The Delaunay triangles inside the polygon where they cover it (every
    convex hole, most others), otherwise ear clipping.
    """
    area = abs(signed_area(polygon))
    try:
        triangles: IndexArray = Delaunay(polygon).simplices
    except QhullError:
        triangles = np.zeros((0, 3), dtype=np.int64)
    triangles = triangles[inside(polygon, polygon[triangles].mean(axis=1))] if len(triangles) else triangles
    tri = polygon[triangles]
    covered = np.sum(np.abs((tri[:, 1, 0] - tri[:, 0, 0]) * (tri[:, 2, 1] - tri[:, 0, 1])
                            - (tri[:, 1, 1] - tri[:, 0, 1]) * (tri[:, 2, 0] - tri[:, 0, 0]))) / 2
    if len(triangles) and abs(covered - area) <= 1e-9 * area:
        return triangles
    return _ear_clipping(polygon)


def _ear_clipping(polygon: FloatArray) -> IntArray:
    order = list(range(len(polygon)))
    if signed_area(polygon) < 0:
        order.reverse()
    triangles: list[tuple[int, ...]] = []
    while len(order) > 3:
        for k in range(len(order)):
            a, b, c = order[k - 1], order[k], order[(k + 1) % len(order)]
            pa, pb, pc = polygon[a], polygon[b], polygon[c]
            if (pb[0] - pa[0]) * (pc[1] - pa[1]) - (pb[1] - pa[1]) * (pc[0] - pa[0]) <= 0:
                continue  # a reflex or straight corner
            others = polygon[[i for i in order if i not in (a, b, c)]]
            if np.any(_in_triangle(others, pa, pb, pc)):
                continue
            triangles.append((a, b, c))
            del order[k]
            break
        else:
            raise LoadError("the edge of a hole crosses itself: it cannot be split into triangles")
    triangles.append(tuple(order))
    return np.array(triangles, dtype=np.int64)


def _in_triangle(points: FloatArray, a: FloatArray, b: FloatArray, c: FloatArray) -> BoolArray:
    def side(p: FloatArray, q: FloatArray) -> FloatArray:
        result: FloatArray = (q[0] - p[0]) * (points[:, 1] - p[1]) - (q[1] - p[1]) * (points[:, 0] - p[0])
        return result
    return (side(a, b) >= 0) & (side(b, c) >= 0) & (side(c, a) >= 0)
