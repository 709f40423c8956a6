"""Flat shell elements on PyNiteFEA's quadrilateral, and the surface results rebuilt from local values.

The element physics is PyNiteFEA's `Quad3D` (DKMQ bending with transverse
shear, a plane-stress membrane, a weak drilling spring): its local stiffness
and its strain-displacement matrices at the four Gauss points. Each element
gets its own local frame (x from its first node to its second, z the domain's
normal), and the matrices are computed once per distinct element shape, so a
mapped mesh costs one element. Everything else is ours and vectorised:
transformation to global axes, consistent nodal loads, and the results.

Results are built from the local Gauss-point values with our conventions
(calibrated on exact constant-curvature and constant-strain fields), not from
PyNiteFEA's global conversions. Per unit width, in the domain's plane axes,
z up:

* mx, my, mxy (kNm/m) = integral of sigma_x z, sigma_y z, tau_xy z over the
  thickness: mx > 0 puts the top (+z) fibres in tension, as My > 0 does for a
  beam; a slab sagging under gravity has mx < 0;
* vx, vy (kN/m) = integral of tau_xz, tau_yz: the shear on the face whose
  normal is +x (+y) by the part beyond it, in +z; vx = d mx/dx + d mxy/dy;
* nx, ny, nxy (kN/m) = integral of sigma_x, sigma_y, tau_xy; nx > 0 tension.

Membrane domains (surface types 1 and 2) take only the element's membrane
part (PyNiteFEA's plane-stress quadrilateral, without bending, transverse
shear or drilling spring); plane strain (type 2) is plane stress with
E / (1 - nu^2) and nu / (1 - nu), which gives exactly the plane-strain
relation between in-plane stresses and strains. Their moments and shears are
zero.

A domain's eccentricity moves its mid-surface off the drawn plane by e along
the domain's z axis: e = "exc1" ("CONSTANT"), -t/2 when the drawn plane is
the top face ("TOP_ALIGNED"), +t/2 when it is the bottom face
("BOTTOM_ALIGNED"); linear from "exc1" at P1 to "exc2" at P2 along P1-P2 and
constant across it ("ONE_WAY"), or the plane through the values at P1, P2
and P3 ("TWO_WAY"), the points projected onto the domain. A linear e keeps
the mid-surface plane. Each element is formulated on its moved corners (in
their own plane) and joined to the drawn nodes by rigid links
(u_mid = u + theta x d, theta_mid = theta), so its stiffness and its loads
act on the drawn nodes with the moments of the offset.
"""

from __future__ import annotations

import numpy as np
from Pynite import FEModel3D
from Pynite.Quad3D import Quad3D

from .errors import OffsetError
from .geometry import FloatArray, IntArray, cross_matrices
from .mesh import DomainMesh
from .model import Domain, Material
from .outline import Outline

GAUSS = 1.0 / 3.0 ** 0.5
# Gauss points in PyNiteFEA's order, in (xi, eta).
GAUSS_POINTS = np.array([(-GAUSS, -GAUSS), (GAUSS, -GAUSS), (GAUSS, GAUSS), (-GAUSS, GAUSS)])
COMPONENTS = ("mx", "my", "mxy", "vx", "vy", "nx", "ny", "nxy")
_BENDING_DOFS = (2, 4, 3, 8, 10, 9, 14, 16, 15, 20, 22, 21)
_MEMBRANE_DOFS = (0, 1, 6, 7, 12, 13, 18, 19)


def _selectors() -> tuple[FloatArray, FloatArray]:
    bending = np.zeros((12, 24))
    for row, dof in enumerate(_BENDING_DOFS):
        # The DKMQ derivation's rotation about x is opposite to the right-handed one.
        bending[row, dof] = -1.0 if dof % 6 == 3 else 1.0
    membrane = np.zeros((8, 24))
    membrane[np.arange(8), _MEMBRANE_DOFS] = 1.0
    return bending, membrane


_BENDING, _MEMBRANE = _selectors()
# Element formulations, and the domain surface types that use them.
SHELL_KIND, PLANE_STRESS, PLANE_STRAIN = 0, 1, 2
KIND_OF_SURFACE = {1: PLANE_STRESS, 2: PLANE_STRAIN, 3: SHELL_KIND, 4: SHELL_KIND}
# Eccentricity types.
CONSTANT, ONE_WAY, TWO_WAY, TOP_ALIGNED, BOTTOM_ALIGNED = 1, 2, 3, 4, 5


def mid_surface_offset(domain: Domain, outline: Outline, points: FloatArray) -> FloatArray:
    """Distance (m) of a domain's mid-surface from its drawn plane at points (..., 3), along the domain's z."""
    eccentricity = domain.eccentricity
    shape = np.asarray(points).shape[:-1]
    if eccentricity is None:
        return np.zeros(shape)
    kind = eccentricity["ExcentricityType"]
    if kind == CONSTANT:
        return np.full(shape, float(eccentricity["exc1"]))
    if kind == TOP_ALIGNED:
        return np.full(shape, -domain.thickness / 2.0)
    if kind == BOTTOM_ALIGNED:
        return np.full(shape, domain.thickness / 2.0)
    at = outline.to_plane(np.asarray(points, dtype=float).reshape(-1, 3))
    given = outline.to_plane(np.array([eccentricity[key] for key in ("P1", "P2", "P3")], dtype=float))
    values = np.array([eccentricity[key] for key in ("exc1", "exc2", "exc3")], dtype=float)
    extent = float(np.max(np.ptp(outline.polygon, axis=0)))
    label = f"{domain.eccentricity_record}: the reference points of the eccentricity of domain {domain.id}"
    if kind == ONE_WAY:
        direction = given[1] - given[0]
        if np.linalg.norm(direction) <= 1e-9 * max(extent, 1.0):
            raise OffsetError(f"{label}, projected onto its plane, coincide: they give no direction")
        along = (at - given[0]) @ direction / float(direction @ direction)
        linear: FloatArray = (values[0] + (values[1] - values[0]) * along).reshape(shape)
        return linear
    matrix = np.column_stack([np.ones(3), given])
    if abs(np.linalg.det(matrix)) <= 1e-12 * max(extent, 1.0) ** 2:
        raise OffsetError(f"{label}, projected onto its plane, are on one line: they define no plane")
    coefficients = np.linalg.solve(matrix, values)
    planar: FloatArray = (coefficients[0] + at @ coefficients[1:]).reshape(shape)
    return planar


class ShellLibrary:
    """Local stiffness (24, 24) and result matrices (4 Gauss points, 8 components, 24) per element shape."""

    def __init__(self) -> None:
        self.model = FEModel3D()
        self._cache: dict[bytes, tuple[FloatArray, FloatArray]] = {}

    def matrices(self, local_xy: FloatArray, thickness: float, material: Material,
                 kind: int = SHELL_KIND) -> tuple[FloatArray, FloatArray]:
        """`kind`: SHELL_KIND (plates and shells), PLANE_STRESS or PLANE_STRAIN (membranes)."""
        e, nu = material.e, material.nu
        if kind == PLANE_STRAIN:
            e, nu = e / (1.0 - nu * nu), nu / (1.0 - nu)
        scale = float(np.max(np.abs(local_xy))) or 1.0
        key = np.concatenate([np.round(local_xy.ravel() / scale, 10) + 0.0,
                              [scale, thickness, e, nu, kind]]).tobytes()
        found = self._cache.get(key)
        if found is not None:
            return found
        name = f"m{material.id}k{kind}"
        if name not in self.model.materials:
            self.model.add_material(name, e, e / (2.0 * (1.0 + nu)), nu, material.rho)
        nodes = []
        for k, (x, y) in enumerate(local_xy):
            node_name = f"q{len(self._cache)}_{k}"
            self.model.add_node(node_name, float(x), float(y), 0.0)
            nodes.append(self.model.nodes[node_name])
        quad = Quad3D(f"q{len(self._cache)}", nodes[0], nodes[1], nodes[2], nodes[3], thickness, name, self.model)
        results = np.zeros((4, 8, 24))
        if kind == SHELL_KIND:
            ke = np.asarray(quad.ke(), dtype=float)
            hb, hs = quad.Hb(), quad.Hs()
            for g, (xi, eta) in enumerate(GAUSS_POINTS):
                results[g, 0:3] = hb @ quad.B_b(xi, eta) @ _BENDING
                results[g, 3:5] = hs @ quad.B_s(xi, eta) @ _BENDING
        else:
            quad._local_coords()
            ke = np.asarray(quad.ke_m(), dtype=float)
        cm = quad.Cm()
        for g, (xi, eta) in enumerate(GAUSS_POINTS):
            results[g, 5:8] = thickness * cm @ quad.B_m(xi, eta) @ _MEMBRANE
        self._cache[key] = (ke, results)
        return ke, results

    @property
    def shapes(self) -> int:
        return len(self._cache)


class ShellMesh:
    """All quadrilaterals of the model: nodes, frames, global stiffness blocks and result matrices."""

    def __init__(self, xyz: FloatArray, meshes: list[DomainMesh]) -> None:
        self.meshes = meshes
        self.xyz = xyz
        self.quads = np.concatenate([m.quads for m in meshes]) if meshes else np.zeros((0, 4), dtype=np.int64)
        self.domain_of = np.concatenate([np.full(len(m.quads), k) for k, m in enumerate(meshes)]) \
            if meshes else np.zeros(0, dtype=np.int64)
        self.first = np.cumsum([0] + [len(m.quads) for m in meshes])
        self.kind_of_mesh = np.array([KIND_OF_SURFACE[m.domain.surface_type] for m in meshes], dtype=np.int64)
        self.membrane = self.kind_of_mesh[self.domain_of] != SHELL_KIND  # per element
        corners = xyz[self.quads]  # (n, 4, 3), on the drawn planes
        normals = np.array([m.outline.axes[2] for m in meshes]).reshape(-1, 3)[self.domain_of]
        # Mid-surface offsets (rigid links from the drawn nodes) at every corner, along the domain's normal.
        self.offsets = np.zeros_like(corners)
        for k, m in enumerate(meshes):
            span = slice(self.first[k], self.first[k + 1])
            self.offsets[span] = mid_surface_offset(m.domain, m.outline, corners[span])[..., None] * m.outline.axes[2]
        eccentric = np.array([m.domain.eccentricity is not None for m in meshes], dtype=bool)
        mid = corners + self.offsets
        # Each element in the plane of its moved corners (the drawn plane where the offset is constant).
        plane = np.cross(mid[:, 2] - mid[:, 0], mid[:, 3] - mid[:, 1])
        plane /= np.linalg.norm(plane, axis=1)[:, None]
        plane *= np.sign(np.sum(plane * normals, axis=1))[:, None]
        normals = np.where(eccentric[self.domain_of][:, None], plane, normals)
        x = mid[:, 1] - mid[:, 0]
        x -= np.sum(x * normals, axis=1)[:, None] * normals
        x /= np.linalg.norm(x, axis=1)[:, None]
        self.axes = np.stack([x, np.cross(normals, x), normals], axis=1)  # rows x, y, z per element
        self.local_xy = np.einsum("eij,ekj->eki", self.axes[:, :2], mid - mid[:, :1])
        self.corners = corners
        n = len(self.quads)
        self.ke = np.empty((n, 24, 24))
        self.recovery = np.empty((n, 4, 8, 24))
        library = ShellLibrary()
        for e in range(n):
            k = self.domain_of[e]
            mesh = meshes[k]
            self.ke[e], self.recovery[e] = library.matrices(self.local_xy[e], mesh.domain.thickness,
                                                            mesh.domain.material, int(self.kind_of_mesh[k]))
        self.shapes = library.shapes
        t = np.zeros((n, 24, 24))
        for block in range(8):
            t[:, 3 * block:3 * block + 3, 3 * block:3 * block + 3] = self.axes
        offset = np.flatnonzero(np.any(self.offsets != 0.0, axis=(1, 2)))
        if offset.size:
            # Global displacements of the moved corners from those of the drawn nodes: u + theta x d.
            link = np.tile(np.eye(24), (offset.size, 1, 1))
            d = self.offsets[offset]
            for a in range(4):
                link[:, 6 * a:6 * a + 3, 6 * a + 3:6 * a + 6] = -cross_matrices(d[:, a])
            t[offset] = np.einsum("eij,ejk->eik", t[offset], link)
        self.t = t
        self.k_global = np.swapaxes(t, 1, 2) @ self.ke @ t
        self.dofs = (6 * self.quads[:, :, None] + np.arange(6)).reshape(n, 24)
        # Rotation from each element's axes to its domain's plane axes (in-plane 2x2).
        domain_axes = np.array([m.outline.axes for m in meshes]).reshape(-1, 3, 3)[self.domain_of]
        self.to_domain = np.einsum("eij,ekj->eik", domain_axes[:, :2], self.axes[:, :2])

    def gauss(self) -> tuple[FloatArray, FloatArray, FloatArray]:
        """Shape functions (4 points, 4 nodes), points (n, 4, 3) and area weights (n, 4) of every element."""
        xi, eta = GAUSS_POINTS[:, 0], GAUSS_POINTS[:, 1]
        shape = 0.25 * np.stack([(1 - xi) * (1 - eta), (1 + xi) * (1 - eta), (1 + xi) * (1 + eta),
                                 (1 - xi) * (1 + eta)], axis=1)
        d_xi = 0.25 * np.stack([-(1 - eta), (1 - eta), (1 + eta), -(1 + eta)], axis=1)
        d_eta = 0.25 * np.stack([-(1 - xi), -(1 + xi), (1 + xi), (1 - xi)], axis=1)
        points = np.einsum("ga,eak->egk", shape, self.corners)
        a1 = np.einsum("ga,eak->egk", d_xi, self.corners)
        a2 = np.einsum("ga,eak->egk", d_eta, self.corners)
        weights = np.linalg.norm(np.cross(a1, a2), axis=2)
        return shape, points, weights

    def element_results(self, u: FloatArray) -> FloatArray:
        """Gauss-point results (elements, 4, 8, columns) in the domains' plane axes, from global displacements."""
        local = np.einsum("eij,ejc->eic", self.t, u[self.dofs])
        values = np.einsum("egkj,ejc->egkc", self.recovery, local)
        return to_domain_axes(values, self.to_domain)


def to_domain_axes(values: FloatArray, rotation: FloatArray) -> FloatArray:
    """Rotate element-axes results (elements, points, 8, columns) into the domain axes (rotation (elements, 2, 2))."""
    out = np.empty_like(values)
    r = rotation
    for first in (0, 5):  # moment and membrane tensors: R T R^T
        xx, yy, xy = values[:, :, first], values[:, :, first + 1], values[:, :, first + 2]
        tensor = np.stack([np.stack([xx, xy], axis=2), np.stack([xy, yy], axis=2)], axis=2)  # (e, g, 2, 2, c)
        turned = np.einsum("eij,egjkc,elk->egilc", r, tensor, r)
        out[:, :, first], out[:, :, first + 1], out[:, :, first + 2] = \
            turned[:, :, 0, 0], turned[:, :, 1, 1], turned[:, :, 0, 1]
    out[:, :, 3:5] = np.einsum("eij,egjc->egic", r, values[:, :, 3:5])
    return out


def at_points(gauss_values: FloatArray, xi: FloatArray, eta: FloatArray) -> FloatArray:
    """Values at natural coordinates (xi, eta) of their elements, extrapolated bilinearly from the Gauss points.

    gauss_values: (points, 4, ...), one element's Gauss values per point.
    """
    x, y = xi / GAUSS, eta / GAUSS
    h = 0.25 * np.stack([(1 - x) * (1 - y), (1 + x) * (1 - y), (1 + x) * (1 + y), (1 - x) * (1 + y)], axis=1)
    values: FloatArray = np.einsum("pg,pg...->p...", h, gauss_values)
    return values


def natural_coordinates(corners: FloatArray, points: FloatArray) -> tuple[FloatArray, FloatArray]:
    """(xi, eta) of points (n, 2) in bilinear quadrilaterals (n, 4, 2), by Newton's method."""
    xi = np.zeros(len(points))
    eta = np.zeros(len(points))
    for _ in range(20):
        n = 0.25 * np.stack([(1 - xi) * (1 - eta), (1 + xi) * (1 - eta), (1 + xi) * (1 + eta),
                             (1 - xi) * (1 + eta)], axis=1)
        d_xi = 0.25 * np.stack([-(1 - eta), (1 - eta), (1 + eta), -(1 + eta)], axis=1)
        d_eta = 0.25 * np.stack([-(1 - xi), -(1 + xi), (1 + xi), (1 - xi)], axis=1)
        residual = np.einsum("pa,pak->pk", n, corners) - points
        j = np.stack([np.einsum("pa,pak->pk", d_xi, corners), np.einsum("pa,pak->pk", d_eta, corners)], axis=2)
        step = np.linalg.solve(j, residual[..., None])[..., 0]
        xi, eta = xi - step[:, 0], eta - step[:, 1]
        if np.max(np.abs(step)) < 1e-12:
            break
    return xi, eta
