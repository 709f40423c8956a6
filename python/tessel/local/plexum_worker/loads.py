"""Surface loads on domains as consistent nodal forces of the quadrilaterals.

Every load is a force per unit area q(x) (kN/m2) in global axes at each Gauss
point; node a of an element receives the integral of N_a q over the element
(2 x 2 Gauss points, exact for bilinear q on a flat element), on its
translations only, as PyNiteFEA's own surface pressure does.

* "AddDomainSelfWeight": rho t g along -Z per unit of true area.
* "AddDomainConstant": (qx, qy, qz) in global axes ("SystemGLR" 0) or in the
  domain's plane axes (1). "DistributionType" 0 is per unit of true area; 1
  (projected) is per unit of the area projected onto the plane normal to each
  component's axis, so component i is scaled by |n_i|.
* "AddDomainLinear": the values P1, P2, P3 at three points define a linear
  field (the plane through them, projected onto the domain); it acts along
  the global axis "Component" (distribution 0), the domain's axis (1), or the
  global axis per projected area (2). With "WindowLoad" 0 it also acts on
  the holes of the domain, carried by the hole's edge: the hole is spanned by
  linear triangles between its edge nodes (a load path only, no stiffness)
  whose consistent nodal forces go to those nodes. Linear shape functions
  reproduce constant and linear fields, so these forces have exactly the
  resultant and the moment of the load over the hole. "WindowLoad" 1 leaves
  the holes unloaded.

Membrane domains carry loads in their plane only: a load with a component
normal to a membrane is refused. On a domain whose mid-surface is offset
(eccentricity) the forces act at the mid-surface: the drawn nodes also get
their moments d x f.
"""

from __future__ import annotations

import numpy as np
from scipy.spatial import Delaunay, QhullError

from .mesh import _signed_area, inside
from .model import GRAVITY
from .shells import SHELL_KIND, mid_surface_offset


class LoadError(Exception):
    """A surface load that cannot be applied; the message names its record."""


def nodal_loads(model, shells, nodes: int) -> np.ndarray:
    """(FE nodes, 6, load cases): global nodal forces and moments of all surface loads."""
    result = np.zeros((nodes, 6, len(model.load_cases)))
    shape, points, weights = shells.gauss()
    index = {mesh.domain.id: k for k, mesh in enumerate(shells.meshes)}
    for load in model.loads:
        if load.domain is None:
            continue
        k = index[load.domain.id]
        mesh = shells.meshes[k]
        span = slice(shells.first[k], shells.first[k + 1])
        q = load_field(load, mesh, points[span])  # (elements, 4 Gauss points, 3)
        membrane = shells.kind_of_mesh[k] != SHELL_KIND
        if membrane:
            _check_in_plane(load, mesh, q)
        forces = np.einsum("ga,eg,egk->eak", shape, weights[span], q)
        target = result[:, :, load.load_case.id - 1]
        np.add.at(target, (shells.quads[span], slice(0, 3)), forces)
        np.add.at(target, (shells.quads[span], slice(3, 6)), np.cross(shells.offsets[span], forces))
        if load.kind == "AddDomainLinear" and load.data["WindowLoad"] == 0:
            for ring in mesh.hole_rings:
                ring_nodes, ring_forces = hole_forces(load, mesh, shells.xyz, ring)
                if membrane:
                    _check_in_plane(load, mesh, ring_forces)
                np.add.at(target, (ring_nodes, slice(0, 3)), ring_forces)
                offset = mid_surface_offset(mesh.domain, mesh.outline, shells.xyz[ring_nodes])
                np.add.at(target, (ring_nodes, slice(3, 6)),
                          np.cross(offset[:, None] * mesh.outline.axes[2], ring_forces))
    return result


def _check_in_plane(load, mesh, q: np.ndarray) -> None:
    normal = mesh.outline.axes[2]
    across = np.abs(q.reshape(-1, 3) @ normal)
    if across.size and float(np.max(across)) > 1e-9 * max(float(np.max(np.abs(q))), 1e-300):
        raise LoadError(f"{load.record}: domain {load.domain.id} is a membrane (surface type "
                        f"{load.domain.surface_type}), which carries loads in its plane only, and this load has a "
                        "component normal to its plane")


def hole_forces(load, mesh, xyz: np.ndarray, ring: list[int]) -> tuple[np.ndarray, np.ndarray]:
    """The edge nodes of a hole and the global forces (n, 3) on them of the load over the hole."""
    ring_nodes = np.array(ring, dtype=np.int64)
    corners = xyz[ring_nodes]
    triangles = triangulate(mesh.outline.to_plane(corners))
    vertices = corners[triangles]  # (t, 3, 3)
    areas = np.linalg.norm(np.cross(vertices[:, 1] - vertices[:, 0], vertices[:, 2] - vertices[:, 0]), axis=1) / 2
    # Edge midpoints, exact for a linear shape function times a linear load: midpoint m lies between
    # vertices m and m + 1, where N_a is shape[m, a].
    midpoints = (vertices + np.roll(vertices, -1, axis=1)) / 2
    q = load_field(load, mesh, midpoints)  # (t, 3, 3)
    shape = np.array([[0.5, 0.5, 0.0], [0.0, 0.5, 0.5], [0.5, 0.0, 0.5]])
    forces = np.einsum("ma,t,tmk->tak", shape, areas / 3.0, q)
    out = np.zeros((len(ring_nodes), 3))
    np.add.at(out, triangles, forces)
    return ring_nodes, out


def triangulate(polygon: np.ndarray) -> np.ndarray:
    """Triangles (t, 3) of indices into a simple polygon (n, 2) that cover it exactly.

    The Delaunay triangles inside the polygon where they cover it (every
    convex hole, most others), otherwise ear clipping.
    """
    area = abs(_signed_area(polygon))
    try:
        triangles = Delaunay(polygon).simplices
    except QhullError:
        triangles = np.zeros((0, 3), dtype=np.int64)
    triangles = triangles[inside(polygon, polygon[triangles].mean(axis=1))] if len(triangles) else triangles
    tri = polygon[triangles]
    covered = np.sum(np.abs((tri[:, 1, 0] - tri[:, 0, 0]) * (tri[:, 2, 1] - tri[:, 0, 1])
                            - (tri[:, 1, 1] - tri[:, 0, 1]) * (tri[:, 2, 0] - tri[:, 0, 0]))) / 2
    if len(triangles) and abs(covered - area) <= 1e-9 * area:
        return triangles
    return _ear_clipping(polygon)


def _ear_clipping(polygon: np.ndarray) -> np.ndarray:
    order = list(range(len(polygon)))
    if _signed_area(polygon) < 0:
        order.reverse()
    triangles = []
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


def _in_triangle(points: np.ndarray, a, b, c) -> np.ndarray:
    def side(p, q):
        return (q[0] - p[0]) * (points[:, 1] - p[1]) - (q[1] - p[1]) * (points[:, 0] - p[0])
    return (side(a, b) >= 0) & (side(b, c) >= 0) & (side(c, a) >= 0)


def load_field(load, mesh, points: np.ndarray) -> np.ndarray:
    """The load per unit area (global kN/m2) at points (..., 3) of the domain."""
    axes = mesh.outline.axes
    normal = axes[2]
    out = np.zeros(points.shape)
    if load.kind == "AddDomainSelfWeight":
        domain = load.domain
        out[..., 2] = -domain.material.rho * domain.thickness * GRAVITY / 1000.0
        return out
    data = load.data
    if load.kind == "AddDomainConstant":
        q = np.array([data["qx"], data["qy"], data["qz"]], dtype=float)
        if data["SystemGLR"] == 1:
            q = q @ axes
        elif data["DistributionType"] == 1:
            q = q * np.abs(normal)
        out[...] = q
        return out
    # Linear: the plane through the three points, evaluated in the domain's plane coordinates.
    corners = np.array([[data[f"x{k}"], data[f"y{k}"], data[f"z{k}"]] for k in (1, 2, 3)])
    values = np.array([data["P1"], data["P2"], data["P3"]], dtype=float)
    plane = mesh.outline.to_plane(corners)
    matrix = np.column_stack([np.ones(3), plane])
    if abs(np.linalg.det(matrix)) <= 1e-12 * max(float(np.max(np.abs(plane))), 1e-150) ** 2:
        raise LoadError(f"{load.record}: the three points of the linear load, projected onto domain "
                        f"{load.domain.id}, are on one line: they define no load over it")
    coefficients = np.linalg.solve(matrix, values)
    at = mesh.outline.to_plane(points.reshape(-1, 3))
    value = (coefficients[0] + at @ coefficients[1:]).reshape(points.shape[:-1])
    axis = data["Component"]
    if data["DistributionType"] == 1:
        direction = axes[axis]
    else:
        direction = np.eye(3)[axis] * (abs(normal[axis]) if data["DistributionType"] == 2 else 1.0)
    return value[..., None] * direction
