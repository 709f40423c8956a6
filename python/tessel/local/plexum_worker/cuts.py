"""Surface forces and stresses along a section segment through the domains.

The segment from "P" to "SegmentEndP" is sampled at points no farther apart
than a quarter of the finest mesh size it crosses (at least 41 points); each
point inside a domain takes the smoothed surface results of the
quadrilaterals containing it (`Solution.corner_results`: the values at each
node averaged over the elements meeting there, interpolated bilinearly
inside each element). A point on an edge or at a node shared by elements
takes the mean of all of them: the same value where the smoothed field is
continuous, the mean of both sides on a beam or wall inside the domain,
across which the surface forces jump. The cut face's normal n is the section
plane's normal "N" projected onto the domain's plane, and t = z cross n runs
along the cut, so (n, t, z) is right-handed.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from .errors import AnalysisError
from .geometry import BoolArray, FloatArray, IntArray, inside, loop_distance
from .model import SectionCut
from .outline import hole_polygon
from .recovery import Solution
from .shells import COMPONENTS, natural_coordinates

MIN_POINTS = 41
CUT_FORCES = ("mn", "mt", "mnt", "vn", "nn", "nt", "nnt")
STRESSES = ("sx_top", "sy_top", "txy_top", "sx_bottom", "sy_bottom", "txy_bottom", "txz", "tyz",
            "sn_top", "snt_top", "sn_bottom", "snt_bottom", "tnz")
# Points tested against a domain's outline at once: bounds the (points, outline segments) arrays.
BATCH = 2048
# Candidate (point, element) pairs tested at once.
PAIRS = 1 << 20


@dataclass
class Samples:
    """The sampled points inside domains, in order along the cut, and the elements containing each."""
    position: FloatArray  # (points,): m from "P"
    point: FloatArray  # (points, 3)
    domain: IntArray  # (points,): domain id
    normal: FloatArray  # (points, 2): the cut face's normal in the domain's plane axes
    thickness: FloatArray  # (points,)
    owner: IntArray  # (hits,): the point of each (point, element) pair
    element: IntArray  # (hits,)
    xi: FloatArray  # (hits,)
    eta: FloatArray  # (hits,)


def sample(solution: Solution, cut: SectionCut, label: str) -> Samples:
    """The sampled points inside domains and, for each, every element containing it with its (xi, eta)."""
    shells = solution.shells
    start = np.array([cut.data["P"][k] for k in "xyz"], dtype=float)
    end = np.array([cut.data["SegmentEndP"][k] for k in "xyz"], dtype=float)
    plane_normal = np.array([cut.data["N"][k] for k in "xyz"], dtype=float)
    length = float(np.linalg.norm(end - start))
    if length == 0.0:
        raise AnalysisError(f"{label}: section {cut.id} is a segment of length zero")
    if shells is None:
        raise AnalysisError(f"{label}: section {cut.id} needs domains, and the model has none")
    finest = min(mesh.size for mesh in shells.meshes)
    count = max(MIN_POINTS, math.ceil(length / (finest / 4)) + 1)
    fractions = np.linspace(0.0, 1.0, count)
    points = start + fractions[:, None] * (end - start)
    taken = np.zeros(count, dtype=bool)
    domain = np.zeros(count, dtype=np.int64)
    normal = np.zeros((count, 2))
    thickness = np.zeros(count)
    owners: list[IntArray] = []
    elements: list[IntArray] = []
    xis: list[FloatArray] = []
    etas: list[FloatArray] = []
    for k, mesh in enumerate(shells.meshes):
        shape = mesh.outline
        extent = float(np.max(np.ptp(shape.polygon, axis=0)))
        near = np.abs((points - shape.origin) @ shape.axes[2]) <= 1e-6 * max(extent, 1.0)
        candidates = np.flatnonzero(near & ~taken)
        if not candidates.size:
            continue
        xy = shape.to_plane(points[candidates])
        tolerance = 1e-9 * max(extent, 1.0)
        within = _inside_or_on(shape.polygon, xy, tolerance)
        for hole in mesh.holes:
            polygon = hole_polygon(shape, hole)
            within &= ~_inside_or_on(polygon, xy, -tolerance)
        candidates, xy = candidates[within], xy[within]
        if not candidates.size:
            continue
        n = plane_normal - np.dot(plane_normal, shape.axes[2]) * shape.axes[2]
        if np.linalg.norm(n) <= 1e-9 * np.linalg.norm(plane_normal):
            raise AnalysisError(f"{label}: the plane of section {cut.id} is the plane of domain {mesh.domain.id}: "
                                "it cuts nothing")
        span = slice(shells.first[k], shells.first[k + 1])
        corners = shape.to_plane(shells.corners[span].reshape(-1, 3)).reshape(-1, 4, 2)
        at, element = locate(corners, xy)
        found = np.unique(at)
        if not found.size:
            continue
        xi, eta = natural_coordinates(corners[element], xy[at])
        points_found = candidates[found]
        taken[points_found] = True
        domain[points_found] = mesh.domain.id
        normal[points_found] = shape.to_plane(shape.origin + n / np.linalg.norm(n))
        thickness[points_found] = mesh.domain.thickness
        owners.append(candidates[at])
        elements.append(shells.first[k] + element)
        xis.append(xi)
        etas.append(eta)
    if not taken.any():
        raise AnalysisError(f"{label}: section {cut.id} crosses no domain")
    kept = np.flatnonzero(taken)
    renumber = np.full(count, -1, dtype=np.int64)
    renumber[kept] = np.arange(len(kept))
    return Samples(fractions[kept] * length, points[kept], domain[kept], normal[kept], thickness[kept],
                   renumber[np.concatenate(owners)], np.concatenate(elements), np.concatenate(xis),
                   np.concatenate(etas))


def _inside_or_on(polygon: FloatArray, points: FloatArray, tolerance: float) -> BoolArray:
    """Points inside a polygon or within `tolerance` of its edges (a negative tolerance: strictly inside)."""
    result = np.zeros(len(points), dtype=bool)
    for first in range(0, len(points), BATCH):
        batch = points[first:first + BATCH]
        within = inside(polygon, batch)
        # The distance decides only for the points on the side the tolerance reaches into.
        unsure = ~within if tolerance >= 0 else within
        near = np.zeros(len(batch), dtype=bool)
        near[unsure] = loop_distance(batch[unsure], polygon) <= abs(tolerance)
        result[first:first + BATCH] = within | near if tolerance >= 0 else within & ~near
    return result


def locate(corners: FloatArray, points: FloatArray) -> tuple[IntArray, IntArray]:
    """Every (point, element) pair of points (p, 2) in convex counter-clockwise quadrilaterals (m, 4, 2), edges
    included, found through a grid of cells about the size of the elements.

    Each element is listed in the cells its bounding box touches; a point is
    tested only against the elements of its cell. Returns the point and the
    element of each pair, ordered by point.
    """
    edges = np.roll(corners, -1, axis=1) - corners
    scale = np.sum(edges * edges, axis=2).max(axis=1)
    slack = 1e-9 * np.sqrt(scale)
    low = corners.min(axis=1) - slack[:, None]
    high = corners.max(axis=1) + slack[:, None]
    origin = low.min(axis=0)
    span = float(np.max(high.max(axis=0) - origin)) or 1.0
    size = max(float(np.median(np.max(high - low, axis=1))), span / 4096.0)
    while True:  # cells of the typical element's size, coarser if a few large elements would fill too many
        first = np.floor((low - origin) / size).astype(np.int64)
        last = np.floor((high - origin) / size).astype(np.int64)
        counts = (last - first + 1).prod(axis=1)
        if counts.sum() <= 16 * len(corners):
            break
        size *= 2.0
    columns = int(np.max(last[:, 1])) + 1
    owner = np.repeat(np.arange(len(corners)), counts)
    k = np.arange(int(counts.sum())) - np.repeat(np.cumsum(counts) - counts, counts)
    wide = (last - first + 1)[owner, 1]
    cells = (first[owner, 0] + k // wide) * columns + first[owner, 1] + k % wide
    order = np.argsort(cells, kind="stable")
    cells, owner = cells[order], owner[order]
    where = np.floor((points - origin) / size).astype(np.int64)
    valid = np.all(where >= 0, axis=1) & (where[:, 1] < columns)
    key = where[:, 0] * columns + where[:, 1]
    begin = np.where(valid, np.searchsorted(cells, key, side="left"), 0)
    stop = np.where(valid, np.searchsorted(cells, key, side="right"), 0)
    found_points: list[IntArray] = []
    found_elements: list[IntArray] = []
    many = np.cumsum(stop - begin)
    batch_start = 0
    while batch_start < len(points):
        # Points in batches whose candidate pairs stay within PAIRS.
        before = many[batch_start - 1] if batch_start else 0
        batch_stop = max(batch_start + 1, int(np.searchsorted(many, before + PAIRS, side="right")))
        b, s = begin[batch_start:batch_stop], stop[batch_start:batch_stop]
        number = s - b
        point = np.repeat(np.arange(batch_start, batch_stop), number)
        offset = np.arange(int(number.sum())) - np.repeat(np.cumsum(number) - number, number)
        element = owner[np.repeat(b, number) + offset]
        rel = points[point][:, None, :] - corners[element]
        cross = edges[element, :, 0] * rel[:, :, 1] - edges[element, :, 1] * rel[:, :, 0]
        hit = np.all(cross >= -1e-9 * scale[element][:, None], axis=1)
        found_points.append(point[hit])
        found_elements.append(element[hit])
        batch_start = batch_stop
    return np.concatenate(found_points), np.concatenate(found_elements)


def surface_values(solution: Solution, samples: Samples, column: int) -> FloatArray:
    """(points, 8): mx .. nxy of the domain axes at the sampled points, one result column."""
    corners = solution.corner_results[samples.element, :, :, column]  # (hits, 4, 8)
    xi, eta = samples.xi, samples.eta
    shape = 0.25 * np.stack([(1 - xi) * (1 - eta), (1 + xi) * (1 - eta), (1 + xi) * (1 + eta),
                             (1 - xi) * (1 + eta)], axis=1)
    values = np.einsum("ha,hak->hk", shape, corners)
    total = np.zeros((len(samples.position), values.shape[1]))
    np.add.at(total, samples.owner, values)
    mean: FloatArray = total / np.bincount(samples.owner, minlength=len(total))[:, None]
    return mean


def section_result(solution: Solution, cut: SectionCut, label: str, column: int, stresses: bool,
                   samples: Samples | None = None) -> dict[str, Any]:
    """{"Points": [...], "Integrals": {...}} of one section in one result column (`samples`: the cut's, if
    already taken)."""
    if samples is None:
        samples = sample(solution, cut, label)
    forces = dict(zip(COMPONENTS, surface_values(solution, samples, column).T))
    n = samples.normal
    nx, ny = n[:, 0], n[:, 1]
    tx, ty = -ny, nx

    def normal_part(xx: FloatArray, yy: FloatArray, xy: FloatArray, a: tuple[FloatArray, FloatArray],
                    b: tuple[FloatArray, FloatArray]) -> FloatArray:
        """a . T . b for the symmetric tensor T = [[xx, xy], [xy, yy]]."""
        value: FloatArray = a[0] * (xx * b[0] + xy * b[1]) + a[1] * (xy * b[0] + yy * b[1])
        return value

    m, f = (forces["mx"], forces["my"], forces["mxy"]), (forces["nx"], forces["ny"], forces["nxy"])
    cut_values = {"mn": normal_part(*m, (nx, ny), (nx, ny)), "mt": normal_part(*m, (tx, ty), (tx, ty)),
                  "mnt": normal_part(*m, (nx, ny), (tx, ty)), "vn": forces["vx"] * nx + forces["vy"] * ny,
                  "nn": normal_part(*f, (nx, ny), (nx, ny)), "nt": normal_part(*f, (tx, ty), (tx, ty)),
                  "nnt": normal_part(*f, (nx, ny), (tx, ty))}
    if stresses:
        h = samples.thickness
        membrane, bending = 1.0 / h, 6.0 / h ** 2
        values = {
            "sx_top": forces["nx"] * membrane + forces["mx"] * bending,
            "sy_top": forces["ny"] * membrane + forces["my"] * bending,
            "txy_top": forces["nxy"] * membrane + forces["mxy"] * bending,
            "sx_bottom": forces["nx"] * membrane - forces["mx"] * bending,
            "sy_bottom": forces["ny"] * membrane - forces["my"] * bending,
            "txy_bottom": forces["nxy"] * membrane - forces["mxy"] * bending,
            "txz": 1.5 * forces["vx"] / h, "tyz": 1.5 * forces["vy"] / h,
            "sn_top": cut_values["nn"] * membrane + cut_values["mn"] * bending,
            "snt_top": cut_values["nnt"] * membrane + cut_values["mnt"] * bending,
            "sn_bottom": cut_values["nn"] * membrane - cut_values["mn"] * bending,
            "snt_bottom": cut_values["nnt"] * membrane - cut_values["mnt"] * bending,
            "tnz": 1.5 * cut_values["vn"] / h,
        }
    else:
        values = {**forces, **cut_values}
    names = list(values)
    columns = [(samples.position + 0.0).tolist(), (samples.point[:, 0] + 0.0).tolist(),
               (samples.point[:, 1] + 0.0).tolist(), (samples.point[:, 2] + 0.0).tolist(), samples.domain.tolist()]
    columns += [(values[name] + 0.0).tolist() for name in names]
    keys = ["Position", "x", "y", "z", "Domain", *names]
    rows = [dict(zip(keys, row)) for row in zip(*columns)]
    runs = _runs(samples.position, samples.domain)
    integrals = {"Length": float(sum(samples.position[b - 1] - samples.position[a] for a, b in runs)) + 0.0}
    for name in (STRESSES if stresses else COMPONENTS + CUT_FORCES):
        integrals[name] = _integral(samples.position, values[name], runs)
    return {"Points": rows, "Integrals": integrals}


def _runs(position: FloatArray, domain: IntArray) -> list[tuple[int, int]]:
    """Stretches [a, b) of consecutive points of one domain, without gaps (holes, outside)."""
    if len(position) < 2:
        return [(0, len(position))]
    step = float(np.min(np.diff(position)))
    apart = (np.diff(position) > 1.5 * step) | (domain[1:] != domain[:-1])
    edges = [0, *(np.flatnonzero(apart) + 1).tolist(), len(position)]
    return list(zip(edges[:-1], edges[1:]))


def _integral(position: FloatArray, values: FloatArray, runs: list[tuple[int, int]]) -> float:
    """Trapezoidal integral along the cut over the stretches inside domains."""
    total = 0.0
    for a, b in runs:
        s, v = position[a:b], values[a:b]
        total += float(np.sum((v[1:] + v[:-1]) * np.diff(s)) / 2.0)
    return total + 0.0
