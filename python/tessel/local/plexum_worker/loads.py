"""The load vectors of every load case, and the weights that make the combinations of them.

Beam self-weight (rho A g along -Z, per unit length of the beam: an arc piece
weighs what the arc it stands for weighs) becomes fixed-end forces of the
elements (PyNiteFEA's). Combinations are factored sums of the load cases,
which is exact for a linear model: one solve per load case serves them all.

Surface loads on domains become consistent nodal forces of the quadrilaterals.

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

from dataclasses import dataclass

import numpy as np

from .assembly import Assembly, scatter, to_global, unit_fixed_end_reactions
from .errors import LoadError
from .geometry import FloatArray, IntArray, triangulate
from .mesh import DomainMesh
from .model import GRAVITY, Load, Model
from .shells import SHELL_KIND, ShellMesh, mid_surface_offset


@dataclass
class Loading:
    """The loads of every load case, and how the result columns combine them."""
    columns: dict[tuple[str, int], int]  # ("case" | "combination", id) -> result column
    weights: FloatArray  # (cases, columns): column k is the sum of weights[:, k] times the cases
    local: FloatArray  # (beam elements, cases, 3): distributed load on each element, local axes, kN/m
    fixed_end: FloatArray  # (beam elements, cases, 12): fixed-end forces, local axes
    rhs: FloatArray  # (degrees of freedom, cases)
    applied: FloatArray  # (cases, 3): total surface and beam load, global kN


def apply(assembly: Assembly) -> Loading:
    """The right-hand sides of the load cases and the weights of the result columns."""
    frame = assembly.frame
    model = frame.model
    columns, weights = combination_weights(model)
    cases = len(model.load_cases)
    w_global = beam_loads(assembly)
    w_local = np.einsum("eij,ecj->eci", frame.axes, w_global)
    fer_cases = np.einsum("ecd,edk->eck", w_local, unit_fixed_end_reactions(frame.length))  # (ne, cases, 12), local
    fer_global = to_global(frame.axes, fer_cases.transpose(0, 2, 1))  # (ne, 12, cases)
    rhs = np.zeros((assembly.dof_count, cases))
    scatter(rhs, assembly.dofs, -fer_global)
    applied = np.zeros((cases, 3))
    applied[:, 2] = np.einsum("ec,e->c", w_global[:, :, 2], frame.length)
    if assembly.shells is not None:
        nodal = nodal_loads(model, assembly.shells, len(frame.xyz))  # (nodes, 3, cases)
        rhs += nodal.reshape(-1, cases)
        applied += nodal[:, :3].sum(axis=0).T
    return Loading(columns, weights, w_local, fer_cases, rhs, applied)


def combination_weights(model: Model) -> tuple[dict[tuple[str, int], int], FloatArray]:
    """The result columns (the load cases, then the combinations) and their weights over the load cases."""
    cases = model.load_cases
    combinations = model.load_combinations
    columns = {("case", case.id): k for k, case in enumerate(cases)}
    columns.update({("combination", c.id): len(cases) + k for k, c in enumerate(combinations)})
    weights = np.zeros((len(cases), len(columns)))
    weights[:, :len(cases)] = np.eye(len(cases))
    for k, combination in enumerate(combinations):
        for case, factor in combination.factors:
            weights[case.id - 1, len(cases) + k] += factor
    return columns, weights


def beam_loads(assembly: Assembly) -> FloatArray:
    """(beam elements, cases, 3): the distributed load on each element, global axes, kN/m."""
    frame = assembly.frame
    model = frame.model
    w_global = np.zeros((len(frame.length), len(model.load_cases), 3))
    first: list[int] = []
    count: list[int] = []
    case: list[int] = []
    q: list[float] = []
    for load in model.loads:
        if load.kind != "AddBeamSelfWeight":
            continue  # surface loads: `nodal_loads`
        line = load.line
        assert line is not None and line.beam is not None
        chain = frame.chain_of[line.id]
        first.append(chain.first)
        count.append(chain.count)
        case.append(load.load_case.id - 1)
        q.append(line.beam.material.rho * line.beam.cross_section.area * GRAVITY / 1000.0)
    if first:
        counts = np.array(count, dtype=np.int64)
        starts = np.cumsum(counts) - counts
        elements = np.repeat(np.array(first, dtype=np.int64), counts) + np.arange(int(counts.sum())) - \
            np.repeat(starts, counts)
        # The weight of an arc piece is that of the arc it stands for.
        weight = np.repeat(np.array(q), counts) * (frame.s1[elements] - frame.s0[elements]) / frame.length[elements]
        np.subtract.at(w_global[:, :, 2], (elements, np.repeat(np.array(case, dtype=np.int64), counts)), weight)
    return w_global


def nodal_loads(model: Model, shells: ShellMesh, nodes: int) -> FloatArray:
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
        np.add.at(target[:, 0:3], shells.quads[span], forces)
        np.add.at(target[:, 3:6], shells.quads[span], np.cross(shells.offsets[span], forces))
        if load.kind == "AddDomainLinear" and load.data["WindowLoad"] == 0:
            for ring in mesh.hole_rings:
                ring_nodes, ring_forces = hole_forces(load, mesh, shells.xyz, ring)
                if membrane:
                    _check_in_plane(load, mesh, ring_forces)
                np.add.at(target[:, 0:3], ring_nodes, ring_forces)
                offset = mid_surface_offset(mesh.domain, mesh.outline, shells.xyz[ring_nodes])
                np.add.at(target[:, 3:6], ring_nodes, np.cross(offset[:, None] * mesh.outline.axes[2], ring_forces))
    return result


def _check_in_plane(load: Load, mesh: DomainMesh, q: FloatArray) -> None:
    normal = mesh.outline.axes[2]
    domain = mesh.domain
    across = np.abs(q.reshape(-1, 3) @ normal)
    if across.size and float(np.max(across)) > 1e-9 * max(float(np.max(np.abs(q))), 1e-300):
        raise LoadError(f"{load.record}: domain {domain.id} is a membrane (surface type "
                        f"{domain.surface_type}), which carries loads in its plane only, and this load has a "
                        "component normal to its plane")


def hole_forces(load: Load, mesh: DomainMesh, xyz: FloatArray, ring: list[int]) -> tuple[IntArray, FloatArray]:
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


def load_field(load: Load, mesh: DomainMesh, points: FloatArray) -> FloatArray:
    """The load per unit area (global kN/m2) at points (..., 3) of the domain."""
    axes = mesh.outline.axes
    normal = axes[2]
    out = np.zeros(points.shape)
    domain = mesh.domain
    if load.kind == "AddDomainSelfWeight":
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
                        f"{domain.id}, are on one line: they define no load over it")
    coefficients = np.linalg.solve(matrix, values)
    at = mesh.outline.to_plane(points.reshape(-1, 3))
    value = (coefficients[0] + at @ coefficients[1:]).reshape(points.shape[:-1])
    axis = data["Component"]
    if data["DistributionType"] == 1:
        direction = axes[axis]
    else:
        direction = np.eye(3)[axis] * (abs(normal[axis]) if data["DistributionType"] == 2 else 1.0)
    field: FloatArray = value[..., None] * direction
    return field
