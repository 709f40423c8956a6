"""Flat shell elements on PyNiteFEA's quadrilateral, and the surface results rebuilt from local values.

The element physics is PyNiteFEA's `Quad3D` (DKMQ bending with transverse
shear, a plane-stress membrane, a weak drilling spring of 1/1000 of the
smallest bending rotation stiffness): its local stiffness and its
strain-displacement matrices at the four Gauss points, evaluated here with
PyNiteFEA's own formulas for all elements at once in numpy batches (the tests
compare them with PyNiteFEA's element by element). Each element gets its own
local frame (x from its first node to its second, z the domain's normal).
Everything else is ours and vectorised too: transformation to global axes,
consistent nodal loads, the results and their smoothing at shared nodes.

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
import scipy.sparse as sp
import scipy.sparse.csgraph as csgraph

from .errors import OffsetError
from .geometry import FloatArray, IntArray, cross_matrices
from .mesh import DomainMesh
from .model import Domain
from .outline import Outline

GAUSS = 1.0 / 3.0 ** 0.5
# Gauss points in PyNiteFEA's order, in (xi, eta).
GAUSS_POINTS = np.array([(-GAUSS, -GAUSS), (GAUSS, -GAUSS), (GAUSS, GAUSS), (-GAUSS, GAUSS)])
COMPONENTS = ("mx", "my", "mxy", "vx", "vy", "nx", "ny", "nxy")
_BENDING_DOFS = (2, 4, 3, 8, 10, 9, 14, 16, 15, 20, 22, 21)
_MEMBRANE_DOFS = (0, 1, 6, 7, 12, 13, 18, 19)
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


# Transverse shear correction factor of the DKMQ element.
KAPPA = 5.0 / 6.0
# Elements formed at once: bounds the memory of their (elements, 24, 24) matrices.
CHUNK = 1024
# Bilinear shape functions N_a and their derivatives with respect to xi and eta at the Gauss points.
_XI, _ETA = GAUSS_POINTS[:, 0], GAUSS_POINTS[:, 1]
_N = 0.25 * np.stack([(1 - _XI) * (1 - _ETA), (1 + _XI) * (1 - _ETA), (1 + _XI) * (1 + _ETA),
                      (1 - _XI) * (1 + _ETA)], axis=1)
_DN = 0.25 * np.stack([np.stack([-(1 - _ETA), (1 - _ETA), (1 + _ETA), -(1 + _ETA)], axis=1),
                       np.stack([-(1 - _XI), -(1 + _XI), (1 + _XI), (1 - _XI)], axis=1)], axis=1)  # (g, 2, 4)
# Derivatives of the DKMQ's quadratic edge functions P_5 .. P_8 (g, 2, 4).
_DP = np.stack([np.stack([_XI * (_ETA - 1), -0.5 * (_ETA ** 2 - 1), -_XI * (_ETA + 1), 0.5 * (_ETA ** 2 - 1)], axis=1),
                np.stack([0.5 * (_XI ** 2 - 1), -_ETA * (_XI + 1), -0.5 * (_XI ** 2 - 1), _ETA * (_XI - 1)], axis=1)],
               axis=1)
# Interpolation of the shear strains along the edges, N_gamma (g, 2, 4).
_N_GAMMA = np.zeros((4, 2, 4))
_N_GAMMA[:, 0, 0], _N_GAMMA[:, 0, 2] = (1 - _ETA) / 2, (1 + _ETA) / 2
_N_GAMMA[:, 1, 1], _N_GAMMA[:, 1, 3] = (1 + _XI) / 2, (1 - _XI) / 2
_BENDING_INDEX = np.array(_BENDING_DOFS)
_BENDING_SIGN = np.where(_BENDING_INDEX % 6 == 3, -1.0, 1.0)
_MEMBRANE_INDEX = np.array(_MEMBRANE_DOFS)
_DRILLING_INDEX = np.array([5, 11, 17, 23])
# The bilinear extrapolation of Gauss-point values to the corners (corner, Gauss point).
_X, _Y = np.array([-1.0, 1.0, 1.0, -1.0]) / GAUSS, np.array([-1.0, -1.0, 1.0, 1.0]) / GAUSS
_TO_CORNERS = 0.25 * np.stack([(1 - _X) * (1 - _Y), (1 + _X) * (1 - _Y), (1 + _X) * (1 + _Y), (1 - _X) * (1 + _Y)],
                              axis=1)


class _Strains:
    """Strain-displacement matrices of elements at their four Gauss points, element axes.

    bending (n, 4, 3, 12): curvatures from the DKMQ freedoms (w, beta_x, beta_y
    per node); shear (n, 4, 2, 12): transverse shear strains from the same;
    membrane (n, 4, 3, 8): in-plane strains from (u, v) per node; det (n, 4):
    the Jacobian's determinant, the area weight of each Gauss point.
    """

    def __init__(self, xy: FloatArray, thickness: FloatArray, nu: FloatArray) -> None:
        n = len(xy)
        jacobian = _DN @ xy[:, None]  # (n, g, 2, 2): rows d/dxi, d/deta; columns x, y
        self.det = jacobian[..., 0, 0] * jacobian[..., 1, 1] - jacobian[..., 0, 1] * jacobian[..., 1, 0]
        inverse = np.empty_like(jacobian)
        inverse[..., 0, 0], inverse[..., 1, 1] = jacobian[..., 1, 1], jacobian[..., 0, 0]
        inverse[..., 0, 1], inverse[..., 1, 0] = -jacobian[..., 0, 1], -jacobian[..., 1, 0]
        inverse /= self.det[..., None, None]
        dxy = inverse @ _DN  # (n, g, 2, 4): dN_a / dx, dN_a / dy
        edge = np.roll(xy, -1, axis=1) - xy  # edge k runs from node k to node k + 1
        length = np.sqrt(np.sum(edge * edge, axis=2))
        cos, sin = edge[..., 0] / length, edge[..., 1] / length
        phi = 2.0 / (KAPPA * (1.0 - nu[:, None])) * (thickness[:, None] / length) ** 2
        # A_u: the rotation of each edge's middle from the freedoms of its ends.
        a_u = np.zeros((n, 4, 12))
        for k in range(4):
            first, second = 3 * k, 3 * ((k + 1) % 4)
            a_u[:, k, first], a_u[:, k, second] = -1.0 / length[:, k], 1.0 / length[:, k]
            for column in (first, second):
                a_u[:, k, column + 1], a_u[:, k, column + 2] = cos[:, k] / 2.0, sin[:, k] / 2.0
        self.bending = np.zeros((n, 4, 3, 12))
        self.bending[..., 0, 1::3] = dxy[..., 0, :]
        self.bending[..., 1, 2::3] = dxy[..., 1, :]
        self.bending[..., 2, 1::3] = dxy[..., 1, :]
        self.bending[..., 2, 2::3] = dxy[..., 0, :]
        pxy = inverse @ _DP
        delta = np.stack([pxy[:, :, 0] * cos[:, None], pxy[:, :, 1] * sin[:, None],
                          pxy[:, :, 1] * cos[:, None] + pxy[:, :, 0] * sin[:, None]], axis=2)  # (n, g, 3, 4)
        self.bending += delta @ ((-1.5 / (1.0 + phi))[:, :, None] * a_u)[:, None]
        along = length / 2.0 * np.array([1.0, 1.0, -1.0, -1.0]) * phi / (1.0 + phi)
        self.shear = inverse @ (_N_GAMMA @ (along[:, :, None] * a_u)[:, None])
        self.membrane = np.zeros((n, 4, 3, 8))
        self.membrane[..., 0, 0::2] = dxy[..., 0, :]
        self.membrane[..., 1, 1::2] = dxy[..., 1, :]
        self.membrane[..., 2, 0::2] = dxy[..., 1, :]
        self.membrane[..., 2, 1::2] = dxy[..., 0, :]


def _elasticity(e: FloatArray, nu: FloatArray, thickness: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Bending (n, 3, 3), transverse shear (n,) and membrane (n, 3, 3) rigidities per unit width."""
    plane = np.zeros((len(e), 3, 3))
    plane[:, 0, 0] = plane[:, 1, 1] = 1.0
    plane[:, 0, 1] = plane[:, 1, 0] = nu
    plane[:, 2, 2] = (1.0 - nu) / 2.0
    factor = e / (1.0 - nu * nu)
    bending = (factor * thickness ** 3 / 12.0)[:, None, None] * plane
    shear = KAPPA * e * thickness / (2.0 * (1.0 + nu))
    membrane = (factor * thickness)[:, None, None] * plane
    return bending, shear, membrane


def _fields(xy: FloatArray, thickness: FloatArray, e: FloatArray, nu: FloatArray,
            kind: IntArray) -> tuple[_Strains, FloatArray, FloatArray, FloatArray]:
    """The strains and the moments (n, 4, 3, 12), shears (n, 4, 2, 12) and membrane forces (n, 4, 3, 8) per unit
    width they give at the Gauss points, from the DKMQ freedoms (w, beta_x, beta_y per node) and (u, v) per node
    (see `quad_stiffness`)."""
    membrane_e, membrane_nu = e.copy(), nu.copy()
    strain = kind == PLANE_STRAIN
    membrane_e[strain], membrane_nu[strain] = e[strain] / (1.0 - nu[strain] ** 2), nu[strain] / (1.0 - nu[strain])
    shell = (kind == SHELL_KIND).astype(float)[:, None, None, None]
    strains = _Strains(xy, thickness, nu)
    hb, hs, _ = _elasticity(e, nu, thickness)
    _, _, hm = _elasticity(membrane_e, membrane_nu, thickness)
    moments = (hb[:, None] @ strains.bending) * shell
    shears = hs[:, None, None, None] * strains.shear * shell
    forces = hm[:, None] @ strains.membrane
    return strains, moments, shears, forces


def quad_stiffness(xy: FloatArray, thickness: FloatArray, e: FloatArray, nu: FloatArray,
                   kind: IntArray) -> FloatArray:
    """Local stiffness (n, 24, 24) of quadrilaterals.

    xy (n, 4, 2): corners in element axes, the first at the origin and the
    second on the x axis; thickness, Young's modulus, Poisson's ratio and
    kind (SHELL_KIND, PLANE_STRESS or PLANE_STRAIN) per element. Freedoms per
    node: u, v, w, rx, ry, rz of the element axes.
    """
    n = len(xy)
    strains, moments, shears, forces = _fields(xy, thickness, e, nu, kind)
    weight = strains.det[:, :, None, None]
    k_bending = np.swapaxes(strains.bending.reshape(n, 12, 12), 1, 2) @ (weight * moments).reshape(n, 12, 12) + \
        np.swapaxes(strains.shear.reshape(n, 8, 12), 1, 2) @ (weight * shears).reshape(n, 8, 12)
    k_membrane = np.swapaxes(strains.membrane.reshape(n, 12, 8), 1, 2) @ (weight * forces).reshape(n, 12, 8)
    ke = np.zeros((n, 24, 24))
    signs = _BENDING_SIGN[:, None] * _BENDING_SIGN[None, :]
    ke[:, _BENDING_INDEX[:, None], _BENDING_INDEX[None, :]] = k_bending * signs
    rotations = np.abs(np.diagonal(k_bending, axis1=1, axis2=2)[:, [1, 2, 4, 5, 7, 8, 10, 11]])
    ke[:, _DRILLING_INDEX, _DRILLING_INDEX] = (np.min(rotations, axis=1) / 1000.0)[:, None]
    ke[:, _MEMBRANE_INDEX[:, None], _MEMBRANE_INDEX[None, :]] += k_membrane
    return ke


class ShellMesh:
    """All quadrilaterals of the model: nodes, element axes and offsets, properties; matrices formed in chunks."""

    def __init__(self, xyz: FloatArray, meshes: list[DomainMesh]) -> None:
        self.meshes = meshes
        self.xyz = xyz
        self.quads = np.concatenate([m.quads for m in meshes]) if meshes else np.zeros((0, 4), dtype=np.int64)
        self.domain_of = np.concatenate([np.full(len(m.quads), k) for k, m in enumerate(meshes)]) \
            if meshes else np.zeros(0, dtype=np.int64)
        self.first = np.cumsum([0] + [len(m.quads) for m in meshes])
        self.kind_of_mesh = np.array([KIND_OF_SURFACE[m.domain.surface_type] for m in meshes], dtype=np.int64)
        self.kind = self.kind_of_mesh[self.domain_of]
        self.membrane = self.kind != SHELL_KIND  # per element
        self.thickness = np.array([m.domain.thickness for m in meshes], dtype=float)[self.domain_of]
        self.e = np.array([m.domain.material.e for m in meshes], dtype=float)[self.domain_of]
        self.nu = np.array([m.domain.material.nu for m in meshes], dtype=float)[self.domain_of]
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
        # Corners in element axes, as PyNiteFEA's element takes them: the first at the origin, the second on x.
        self.local_xy = np.einsum("eij,ekj->eki", self.axes[:, :2], mid - mid[:, :1])
        self.local_xy[:, 0] = 0.0
        self.local_xy[:, 1, 1] = 0.0
        self.corners = corners
        n = len(self.quads)
        self.dofs = (6 * self.quads[:, :, None] + np.arange(6)).reshape(n, 24)
        # Rotation from each element's axes to its domain's plane axes (in-plane 2x2).
        domain_axes = np.array([m.outline.axes for m in meshes]).reshape(-1, 3, 3)[self.domain_of]
        self.to_domain = np.einsum("eij,ekj->eik", domain_axes[:, :2], self.axes[:, :2])

    def chunks(self) -> list[slice]:
        """The elements in slices of at most CHUNK."""
        return [slice(a, min(a + CHUNK, len(self.quads))) for a in range(0, len(self.quads), CHUNK)]

    def _properties(self, elements: slice) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray, IntArray]:
        return (self.local_xy[elements], self.thickness[elements], self.e[elements], self.nu[elements],
                self.kind[elements])

    def global_stiffness(self, elements: slice) -> FloatArray:
        """The stiffness (elements, 24, 24) of a slice of the elements on the global freedoms of their drawn nodes."""
        k = turned(self.axes[elements], quad_stiffness(*self._properties(elements)))
        linked = np.flatnonzero(np.any(self.offsets[elements] != 0.0, axis=(1, 2)))
        if linked.size:
            # Global displacements of the moved corners from those of the drawn nodes: u + theta x d.
            link = np.tile(np.eye(24), (linked.size, 1, 1))
            d = self.offsets[elements][linked]
            for a in range(4):
                link[:, 6 * a:6 * a + 3, 6 * a + 3:6 * a + 6] = -cross_matrices(d[:, a])
            k[linked] = np.swapaxes(link, 1, 2) @ k[linked] @ link
        stiffness: FloatArray = k
        return stiffness

    @property
    def k_global(self) -> FloatArray:
        """The stiffness (elements, 24, 24) of every element on the global freedoms of its drawn nodes."""
        if not len(self.quads):
            return np.zeros((0, 24, 24))
        return np.concatenate([self.global_stiffness(chunk) for chunk in self.chunks()])

    def local_displacements(self, elements: slice, u: FloatArray) -> FloatArray:
        """Displacements (elements, 24, columns) of the mid-surface corners in element axes, from global ones."""
        d = u[self.dofs[elements]]  # (m, 24, c)
        m, columns = len(d), d.shape[2]
        blocks = d.reshape(m, 4, 2, 3, columns)
        offsets = self.offsets[elements]
        linked = np.flatnonzero(np.any(offsets != 0.0, axis=(1, 2)))
        if linked.size:
            # u + theta x d at each moved corner.
            blocks[linked, :, 0] += np.cross(blocks[linked, :, 1], offsets[linked][..., None], axis=2)
        local: FloatArray = (self.axes[elements][:, None, None] @ blocks).reshape(m, 24, columns)
        return local

    def gauss(self) -> tuple[FloatArray, FloatArray, FloatArray]:
        """Shape functions (4 points, 4 nodes), points (n, 4, 3) and area weights (n, 4) of every element."""
        points = np.einsum("ga,eak->egk", _N, self.corners)
        a1 = np.einsum("ga,eak->egk", _DN[:, 0], self.corners)
        a2 = np.einsum("ga,eak->egk", _DN[:, 1], self.corners)
        weights = np.linalg.norm(np.cross(a1, a2), axis=2)
        return _N.copy(), points, weights

    def element_results(self, u: FloatArray) -> FloatArray:
        """Gauss-point results (elements, 4, 8, columns) in the domains' plane axes, from global displacements."""
        out = np.empty((len(self.quads), 4, 8, u.shape[1]))
        for chunk in self.chunks():
            _, moments, shears, forces = _fields(*self._properties(chunk))
            local = self.local_displacements(chunk, u)[:, None]  # (m, 1, 24, c)
            bending = local[:, :, _BENDING_INDEX] * _BENDING_SIGN[:, None]
            values = np.concatenate([moments @ bending, shears @ bending, forces @ local[:, :, _MEMBRANE_INDEX]],
                                    axis=2)
            out[chunk] = to_domain_axes(values, self.to_domain[chunk])
        return out

    def areas(self) -> FloatArray:
        """The area of every element."""
        _, _, weights = self.gauss()
        area: FloatArray = weights.sum(axis=1)
        return area

    def smoothing_groups(self, breaks: IntArray) -> IntArray:
        """Per element corner (elements, 4), the group of corners whose values are averaged at its node.

        Corners at one node are grouped when their elements belong to one
        domain and are joined around the node through shared edges, except
        edges in `breaks` (node pairs (k, 2): beams and walls inside a domain,
        across which the surface forces jump).
        """
        n, nodes = len(self.quads), len(self.xyz)
        corner = np.arange(4 * n).reshape(n, 4)
        a, b = self.quads, np.roll(self.quads, -1, axis=1)  # edge k of an element runs from node k to k + 1
        edge = (np.minimum(a, b) * nodes + np.maximum(a, b)).ravel()
        key = self.domain_of.repeat(4) * (nodes * nodes) + edge
        order = np.argsort(key, kind="stable")
        shared = np.flatnonzero(key[order][1:] == key[order][:-1])
        one, other = order[shared], order[shared + 1]  # the same edge (4 element + k) in two elements
        if breaks.size:
            cut = np.minimum(breaks[:, 0], breaks[:, 1]) * nodes + np.maximum(breaks[:, 0], breaks[:, 1])
            keep = ~np.isin(edge[one], cut)
            one, other = one[keep], other[keep]
        rows, cols = [], []
        for side in (0, 1):  # the corner of each end of the edge in both elements
            e1, k1 = np.divmod(one, 4)
            e2, k2 = np.divmod(other, 4)
            node = self.quads[e1, (k1 + side) % 4]
            at_other = np.where(self.quads[e2, k2] == node, k2, (k2 + 1) % 4)
            rows.append(corner[e1, (k1 + side) % 4])
            cols.append(corner[e2, at_other])
        graph = sp.coo_matrix((np.ones(2 * len(one)), (np.concatenate(rows), np.concatenate(cols))),
                              shape=(4 * n, 4 * n))
        _, label = csgraph.connected_components(graph, directed=False)
        groups: IntArray = label.reshape(n, 4).astype(np.int64)
        return groups

    def smoothed(self, gauss_values: FloatArray, breaks: IntArray) -> FloatArray:
        """Per element corner (elements, 4, ...), the mean of the values extrapolated to its node by the elements
        of its group (`smoothing_groups`), each weighted by its area.

        Each element's Gauss-point values (elements, 4, ...) are extrapolated
        bilinearly to its corners; at a node the elements then agree, and
        the errors of the element fields, of opposite signs on either side of
        an edge (the parasitic shear of a bilinear element in bending), cancel
        to the order of the change of the field across the element.
        """
        n = len(self.quads)
        corners = (_TO_CORNERS @ gauss_values.reshape(n, 4, -1)).reshape(gauss_values.shape)
        flat = corners.reshape(4 * n, -1)
        groups = self.smoothing_groups(breaks).ravel()
        weights = sp.csr_matrix((np.repeat(self.areas(), 4), (groups, np.arange(4 * n))),
                                shape=(int(np.max(groups, initial=-1)) + 1, 4 * n))
        mean = (weights @ flat) / (weights @ np.ones(4 * n))[:, None]
        smooth: FloatArray = mean[groups].reshape(corners.shape)
        return smooth


def turned(axes: FloatArray, matrices: FloatArray) -> FloatArray:
    """T^T k T (n, 3 j, 3 j) of element matrices k in element axes, T the rotation by the axes (n, 3, 3) (rows
    x, y, z in global axes) on every 3-block: the matrices on global freedoms."""
    n, size, _ = matrices.shape
    right = (matrices.reshape(n, size * size // 3, 3) @ axes).reshape(n, size, size)  # R on every 3-column block
    both = (np.swapaxes(right, 1, 2).reshape(n, size * size // 3, 3) @ axes).reshape(n, size, size)
    result: FloatArray = np.swapaxes(both, 1, 2)
    return result


def to_domain_axes(values: FloatArray, rotation: FloatArray) -> FloatArray:
    """Rotate element-axes results (elements, points, 8, columns) into the domain axes (rotation (elements, 2, 2))."""
    out = np.empty_like(values)
    a, b, c, d = (rotation[:, i, j][:, None, None] for i, j in ((0, 0), (0, 1), (1, 0), (1, 1)))
    for first in (0, 5):  # moment and membrane tensors: R T R^T
        xx, yy, xy = values[:, :, first], values[:, :, first + 1], values[:, :, first + 2]
        out[:, :, first] = a * a * xx + 2.0 * a * b * xy + b * b * yy
        out[:, :, first + 1] = c * c * xx + 2.0 * c * d * xy + d * d * yy
        out[:, :, first + 2] = a * c * xx + (a * d + b * c) * xy + b * d * yy
    vx, vy = values[:, :, 3], values[:, :, 4]
    out[:, :, 3], out[:, :, 4] = a * vx + b * vy, c * vx + d * vy
    return out


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
