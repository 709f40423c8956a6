"""Surface forces and stresses along a section segment through the domains.

The segment from "P" to "SegmentEndP" is sampled at points no farther apart
than a quarter of the finest mesh size it crosses (at least 41 points); each
point inside a domain takes the values of the quadrilateral containing it,
interpolated from its Gauss points. The cut face's normal n is the section
plane's normal "N" projected onto the domain's plane, and t = z cross n runs
along the cut, so (n, t, z) is right-handed.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .errors import AnalysisError
from .geometry import FloatArray, IntArray
from .model import SectionCut
from .geometry import loop_distance, inside
from .outline import hole_polygon
from .recovery import Solution
from .shells import COMPONENTS, at_points, natural_coordinates

MIN_POINTS = 41
CUT_FORCES = ("mn", "mt", "mnt", "vn", "nn", "nt", "nnt")
STRESSES = ("sx_top", "sy_top", "txy_top", "sx_bottom", "sy_bottom", "txy_bottom", "txz", "tyz",
            "sn_top", "snt_top", "sn_bottom", "snt_bottom", "tnz")


def sample(solution: Solution, cut: SectionCut, label: str) -> list[dict[str, Any]]:
    """The sampled points: position, point, domain, element and (xi, eta), the cut's axes in the domain."""
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
    found: list[dict[str, Any] | None] = [None] * count
    for k, mesh in enumerate(shells.meshes):
        shape = mesh.outline
        extent = float(np.max(np.ptp(shape.polygon, axis=0)))
        near = np.abs((points - shape.origin) @ shape.axes[2]) <= 1e-6 * max(extent, 1.0)
        xy = shape.to_plane(points)
        tolerance = 1e-9 * max(extent, 1.0)
        within = near & _inside_or_on(shape.polygon, xy, tolerance)
        for hole in mesh.holes:
            polygon = hole_polygon(shape, hole)
            within &= ~inside(polygon, xy) | (loop_distance(xy, polygon) <= tolerance)
        candidates = np.flatnonzero(within & np.array([f is None for f in found]))
        if not candidates.size:
            continue
        n = plane_normal - np.dot(plane_normal, shape.axes[2]) * shape.axes[2]
        if np.linalg.norm(n) <= 1e-9 * np.linalg.norm(plane_normal):
            raise AnalysisError(f"{label}: the plane of section {cut.id} is the plane of domain {mesh.domain.id}: "
                                "it cuts nothing")
        n = shape.to_plane(shape.origin + n / np.linalg.norm(n))
        span = slice(shells.first[k], shells.first[k + 1])
        corners = shape.to_plane(shells.corners[span].reshape(-1, 3)).reshape(-1, 4, 2)
        for p in candidates:
            element = _locate(corners, xy[p])
            if element is None:
                continue
            xi, eta = natural_coordinates(corners[element][None], xy[p][None])
            found[p] = {"Position": float(fractions[p] * length), "Point": points[p], "Domain": mesh.domain.id,
                        "Element": int(shells.first[k] + element), "xi": float(xi[0]), "eta": float(eta[0]),
                        "n": n, "Thickness": mesh.domain.thickness}
    kept = [f for f in found if f is not None]
    if not kept:
        raise AnalysisError(f"{label}: section {cut.id} crosses no domain")
    return kept


def _inside_or_on(polygon: np.ndarray, points: np.ndarray, tolerance: float) -> np.ndarray:
    on = loop_distance(points, polygon) <= tolerance
    return inside(polygon, points) | on


def _locate(corners: np.ndarray, point: np.ndarray) -> int | None:
    """The first convex quadrilateral (counter-clockwise) containing the point, edges included."""
    edges = np.roll(corners, -1, axis=1) - corners
    rel = point[None, None, :] - corners
    cross = edges[:, :, 0] * rel[:, :, 1] - edges[:, :, 1] * rel[:, :, 0]
    scale = np.sum(edges * edges, axis=2).max(axis=1)
    hits = np.flatnonzero(np.all(cross >= -1e-9 * scale[:, None], axis=1))
    return int(hits[0]) if hits.size else None


def surface_values(solution: Solution, samples: list[dict[str, Any]], column: int) -> np.ndarray:
    """(points, 8): mx .. nxy of the domain axes at the sampled points, one result column."""
    results = solution.shell_results
    elements = np.array([s["Element"] for s in samples])
    xi = np.array([s["xi"] for s in samples])
    eta = np.array([s["eta"] for s in samples])
    return at_points(results[elements][..., column], xi, eta)


def section_result(solution: Solution, cut: SectionCut, label: str, column: int, stresses: bool) -> dict[str, Any]:
    """{"Points": [...], "Integrals": {...}} of one section in one result column."""
    samples = sample(solution, cut, label)
    values = surface_values(solution, samples, column)
    rows = []
    for s, v in zip(samples, values):
        forces = dict(zip(COMPONENTS, v.tolist()))
        n = s["n"]
        t = np.array([-n[1], n[0]])
        m = np.array([[forces["mx"], forces["mxy"]], [forces["mxy"], forces["my"]]])
        f = np.array([[forces["nx"], forces["nxy"]], [forces["nxy"], forces["ny"]]])
        shear = np.array([forces["vx"], forces["vy"]])
        cut_values = {"mn": n @ m @ n, "mt": t @ m @ t, "mnt": n @ m @ t, "vn": shear @ n, "nn": n @ f @ n,
                      "nt": t @ f @ t, "nnt": n @ f @ t}
        row = {"Position": s["Position"], "x": float(s["Point"][0]), "y": float(s["Point"][1]),
               "z": float(s["Point"][2]), "Domain": s["Domain"]}
        if stresses:
            h = s["Thickness"]
            membrane, bending = 1.0 / h, 6.0 / h ** 2
            values_out = {
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
            values_out = {**forces, **cut_values}
        row.update({key: float(value) + 0.0 for key, value in values_out.items()})
        rows.append(row)
    names = STRESSES if stresses else COMPONENTS + CUT_FORCES
    integrals = {"Length": _covered(rows)}
    for name in names:
        integrals[name] = _integral(rows, name)
    return {"Points": rows, "Integrals": integrals}


def _runs(rows: list[dict[str, Any]]) -> list[list[dict[str, Any]]]:
    """Consecutive points of one domain, without gaps (holes, outside)."""
    runs: list[list[dict[str, Any]]] = []
    step = 0.0  # one point: no step, a run of its own
    if len(rows) > 1:
        step = min(b["Position"] - a["Position"] for a, b in zip(rows, rows[1:]))
    for row in rows:
        if runs and runs[-1][-1]["Domain"] == row["Domain"] and \
                row["Position"] - runs[-1][-1]["Position"] <= 1.5 * step:
            runs[-1].append(row)
        else:
            runs.append([row])
    return runs


def _covered(rows: list[dict[str, Any]]) -> float:
    return float(sum(run[-1]["Position"] - run[0]["Position"] for run in _runs(rows)))


def _integral(rows: list[dict[str, Any]], name: str) -> float:
    """Trapezoidal integral along the cut over the stretches inside domains."""
    total = 0.0
    for run in _runs(rows):
        s = np.array([r["Position"] for r in run])
        v = np.array([r[name] for r in run])
        total += float(np.sum((v[1:] + v[:-1]) * np.diff(s)) / 2.0)
    return total + 0.0
