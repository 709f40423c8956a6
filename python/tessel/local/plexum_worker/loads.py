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
  global axis per projected area (2).
"""

from __future__ import annotations

import numpy as np

from .model import GRAVITY


class LoadError(Exception):
    """A surface load that cannot be applied; the message names its record."""


def nodal_loads(model, shells, nodes: int) -> np.ndarray:
    """(FE nodes, 3, load cases): global nodal forces of all surface loads."""
    result = np.zeros((nodes, 3, len(model.load_cases)))
    shape, points, weights = shells.gauss()
    index = {mesh.domain.id: k for k, mesh in enumerate(shells.meshes)}
    for load in model.loads:
        if load.domain is None:
            continue
        k = index[load.domain.id]
        mesh = shells.meshes[k]
        span = slice(shells.first[k], shells.first[k + 1])
        q = load_field(load, mesh, points[span])  # (elements, 4 Gauss points, 3)
        forces = np.einsum("ga,eg,egk->eak", shape, weights[span], q)
        np.add.at(result[:, :, load.load_case.id - 1], shells.quads[span], forces)
    return result


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
