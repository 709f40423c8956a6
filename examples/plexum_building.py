"""Build a two-storey concrete building frame with wind with the Plexum model
builder, run it on the local platform and print what came back.

Two bays of 6 m along X and one of 5 m along Y, two storeys of 3.5 m:
columns fixed at their feet, beams on every grid line, and a 0.2 m slab at
each level on the beams (a rib across its middle). Three load cases:
self-weight; an imposed load of 2 kN/m2 on the first floor; wind along +X,
whose pressure on the 5 m wide facade (0.8 kN/m2) reaches the frame through
the floors (a horizontal load over each floor, for its storey's height of
facade) and lifts the roof (+0.5 kN/m2). Two ultimate combinations, the
imposed or the wind load leading. The result page, written next to this
script, shows the loads in their directions, the sway, the beams' moments
about both axes and the forces along a cut through the first floor.
"""

from io import BytesIO
from pathlib import Path

from tessel.core import File

from tessel.external.plexum import Domain, LoadCombination, Material, Model, PlexumAnalysis
from tessel.local import LocalPlatform
from tessel.local.plexum_worker import PlexumWorker
from tessel.local.plexum_worker.report import page_summary

HERE = Path(__file__).parent
BAY_X, BAY_Y, STOREY, THICKNESS = 6.0, 5.0, 3.5, 0.2
IMPOSED, PRESSURE, UPLIFT = 2.0, 0.8, 0.5  # kN/m2
FIXED = 1e10  # kN/m and kNm/rad: a support that does not give


def build_building() -> Model:
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    column = model.cross_sections.create_rectangular(0.35, 0.35, name="column 350x350")
    beam = model.cross_sections.create_rectangular(0.3, 0.5, name="beam 300x500")
    xs, ys = (0.0, BAY_X, 2 * BAY_X), (0.0, BAY_Y)
    nodes = {(i, j, k): model.nodes.create(x, y, k * STOREY)
             for k in range(3) for j, y in enumerate(ys) for i, x in enumerate(xs)}
    members = []
    for (i, j, k), node in nodes.items():
        if k > 0:
            members.append(model.lines.create(nodes[i, j, k - 1], node).define_as_beam(concrete, column))
    for (i, j, k), node in nodes.items():
        if k == 0:
            model.node_supports.create_relative_to_member(
                node, stiffness_x=FIXED, stiffness_y=FIXED, stiffness_z=FIXED,
                stiffness_xx=FIXED, stiffness_yy=FIXED, stiffness_zz=FIXED)
    dead, imposed, wind = (model.load_cases.create(name) for name in ("self-weight", "imposed", "wind +X"))
    floor_wind = PRESSURE * BAY_Y * STOREY / (2 * BAY_X * BAY_Y)  # kN/m2 over a floor
    for k in (1, 2):
        # The outline runs through the middle of the long sides, so that the middle beam meets it at nodes.
        loop = [nodes[0, 0, k], nodes[1, 0, k], nodes[2, 0, k], nodes[2, 1, k], nodes[1, 1, k], nodes[0, 1, k]]
        edges = [model.lines.create(loop[n], loop[(n + 1) % len(loop)]) for n in range(len(loop))]
        members += [edge.define_as_beam(concrete, beam) for edge in edges]
        members.append(model.lines.create(nodes[1, 0, k], nodes[1, 1, k]).define_as_beam(concrete, beam))
        slab = model.domains.create(edges, surface_type=Domain.SurfaceType.SHELL, thickness=THICKNESS,
                                    material=concrete)
        slab.generate_mesh(Domain.MeshGeometry.QUAD, 0.5)
        model.loads.create_domain_self_weight(dead, slab)
        if k == 1:
            model.loads.create_domain_constant(imposed, slab, (0.0, 0.0, -IMPOSED))
            model.loads.create_domain_constant(wind, slab, (floor_wind, 0.0, 0.0))
        else:
            model.loads.create_domain_constant(wind, slab, (floor_wind / 2, 0.0, 0.0))
            model.loads.create_domain_constant(wind, slab, (0.0, 0.0, UPLIFT))
    for member in members:
        model.loads.create_beam_self_weight(dead, member)
    gravity = model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35, imposed: 1.5},
                                             name="ULS imposed")
    sway = model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35, wind: 1.5, imposed: 1.05},
                                          name="ULS wind")
    cut = model.sections.create((BAY_X / 2, 0.0, STOREY), (BAY_X / 2, BAY_Y, STOREY), (1.0, 0.0, 0.0),
                                name="first floor, x = 3 m")
    model.results.nodal_displacements(by_load_case=False)
    model.results.nodal_support_forces(by_load_case=True)
    model.results.line_forces(members[:6], by_load_case=False)
    model.results.section_surface_forces([cut], [gravity, sway])
    return model


def shown(value: float, digits: int = 2) -> str:
    """A value rounded to `digits` decimals, without a minus sign on zero."""
    return f"{round(value, digits) + 0.0:.{digits}f}"


def content_of(body: BytesIO | File | None) -> bytes:
    if body is None:
        raise SystemExit("the worker returned an empty file")
    return body.getvalue() if isinstance(body, BytesIO) else body.getvalue_binary()


def main() -> None:
    model = build_building()
    with LocalPlatform() as platform, platform.connected():
        PlexumWorker().register(platform)
        analysis = PlexumAnalysis(model, return_results=True)
        analysis.execute(timeout=120)
    page = content_of(analysis.get_result_file())
    for column in page_summary(page):
        largest, support, applied = column["LargestDisplacement"], column["SupportForces"], column["AppliedLoad"]
        print(f"{column['Name']}: largest displacement {shown(1e3 * largest['Value'])} mm "
              f"(ux {shown(1e3 * largest['x'])}, uz {shown(1e3 * largest['z'])}) at {largest['Where']}; supports "
              f"carry FX {shown(support['x'], 1)} kN, FZ {shown(support['z'], 1)} kN against an applied "
              f"{shown(applied['x'], 1)} kN along X, {shown(applied['z'], 1)} kN along Z")
    result_path = HERE / "plexum_building.results.html"
    result_path.write_bytes(page)
    print(f"\nresult file: {result_path}")


if __name__ == "__main__":
    main()
