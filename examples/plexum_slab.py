"""Build a concrete slab on edge beams and columns with the Plexum model
builder, run it on the local platform and check what came back.

An 8 m x 6 m slab, 0.2 m thick, with a 1.5 m x 1 m opening, stands 3 m high
on four columns and edge beams, all in catalogue concrete C30/37; a rib runs
across the middle. Self-weight and an imposed load of 3 kN/m2 (also over the
opening, as a covered shaft would carry it) are two load cases, taken in an
ultimate combination. The local Plexum worker meshes the slab, computes it
and returns the displacements, support forces, beam forces and the slab's
forces along a cut, with the result page, which is written next to this
script. The largest displacement is read from the page's summary: it is the
largest over every point computed (the slab's own nodes and the beams'
deflected shapes), not only over the model's nodes.
"""

from io import BytesIO
from pathlib import Path
from typing import Any

from tessel.core import File

from tessel.external.plexum import Domain, Load, LoadCombination, Material, Model, PlexumAnalysis
from tessel.local import LocalPlatform
from tessel.local.plexum_worker import PlexumWorker
from tessel.local.plexum_worker.report import page_summary

HERE = Path(__file__).parent
LENGTH, WIDTH, HEIGHT, THICKNESS = 8.0, 6.0, 3.0, 0.2
OPENING = ((5.5, 4.0), (7.0, 4.0), (7.0, 5.0), (5.5, 5.0))
IMPOSED = 3.0  # kN/m2
FIXED = 1e10  # kN/m and kNm/rad: a support that does not give


def build_slab() -> Model:
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    girder = model.cross_sections.create_rectangular(0.3, 0.6, name="edge beam 300x600")
    rib = model.cross_sections.create_rectangular(0.25, 0.5, name="rib 250x500")
    column = model.cross_sections.create_rectangular(0.4, 0.4, name="column 400x400")

    corners = [model.nodes.create(x, y, HEIGHT) for x, y in ((0, 0), (LENGTH, 0), (LENGTH, WIDTH), (0, WIDTH))]
    rib_ends = model.nodes.create(LENGTH / 2, 0.0, HEIGHT), model.nodes.create(LENGTH / 2, WIDTH, HEIGHT)
    # The edges run through the rib's ends, so that the rib meets the edge beams at nodes.
    outline = [corners[0], rib_ends[0], corners[1], corners[2], rib_ends[1], corners[3]]
    edges = [model.lines.create(outline[k], outline[(k + 1) % len(outline)]) for k in range(len(outline))]
    beams = [edge.define_as_beam(concrete, girder) for edge in edges]
    beams.append(model.lines.create(*rib_ends).define_as_beam(concrete, rib))

    slab = model.domains.create(edges, surface_type=Domain.SurfaceType.SHELL, thickness=THICKNESS,
                                material=concrete)
    opening_nodes = [model.nodes.create(x, y, HEIGHT) for x, y in OPENING]
    opening_edges = [model.lines.create(opening_nodes[k], opening_nodes[(k + 1) % 4]) for k in range(4)]
    model.domains.create(opening_edges, surface_type=Domain.SurfaceType.HOLE, thickness=THICKNESS,
                         material=concrete)
    slab.generate_mesh(Domain.MeshGeometry.QUAD, 0.25)

    for corner in corners:
        foot = model.nodes.create(corner.x, corner.y, 0.0)
        beams.append(model.lines.create(foot, corner).define_as_beam(concrete, column))
        model.node_supports.create_relative_to_member(
            foot, stiffness_x=FIXED, stiffness_y=FIXED, stiffness_z=FIXED,
            stiffness_xx=FIXED, stiffness_yy=FIXED, stiffness_zz=FIXED)

    dead, imposed = model.load_cases.create("self-weight"), model.load_cases.create("imposed")
    model.loads.create_domain_self_weight(dead, slab)
    for beam in beams:
        model.loads.create_beam_self_weight(dead, beam)
    # A uniform load given by three points, applied over the opening too.
    model.loads.create_domain_linear(
        imposed, slab, (-IMPOSED, -IMPOSED, -IMPOSED), component=Load.Axis.Z, point_1=(0.0, 0.0, HEIGHT),
        point_2=(LENGTH, 0.0, HEIGHT), point_3=(0.0, WIDTH, HEIGHT), load_on_hole=True)
    uls = model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35, imposed: 1.5}, name="ULS")

    cut = model.sections.create((0.0, WIDTH / 4, HEIGHT), (LENGTH, WIDTH / 4, HEIGHT), (0.0, 1.0, 0.0),
                                name="y = 1.5 m")
    model.results.nodal_displacements(by_load_case=False)
    model.results.nodal_support_forces(by_load_case=True)
    model.results.line_forces(beams[-5:-4], by_load_case=False)
    model.results.section_surface_forces([cut], [uls])
    return model


def check_results(results: dict[str, Any]) -> None:
    supports = results["Forces"]["NodalSupports"].values()
    imposed = sum(s["LoadCases"]["2"]["Global"]["z"] for s in supports)
    print(f"imposed load: supports carry {imposed:.2f} kN, the slab with its opening "
          f"{IMPOSED * LENGTH * WIDTH:.2f} kN")
    dead = sum(s["LoadCases"]["1"]["Global"]["z"] for s in supports)
    # Concrete at 2500 kg/m3: the slab less its opening, the edge beams, the rib and the columns.
    volume = ((LENGTH * WIDTH - 1.5 * 1.0) * THICKNESS + 2 * (LENGTH + WIDTH) * 0.3 * 0.6 + WIDTH * 0.25 * 0.5
              + 4 * HEIGHT * 0.4 * 0.4)
    print(f"self-weight: supports carry {dead:.2f} kN, the concrete weighs {2500 * 9.80665e-3 * volume:.2f} kN")

    cut = results["Sections"]["1"]["SurfaceForces"]["LoadCombinations"]["1"]
    moments = [point["mn"] for point in cut["Points"]]
    # mn is the moment on the cut face per metre of cut: it bends the slab across the cut (about the cut's
    # line); the cut runs along X, so mn is the slab moment my there.
    print(f"cut y = 1.5 m, ULS: {len(moments)} points over {cut['Integrals']['Length']:.2f} m, moment per metre "
          f"mn (bending across the cut, about its line: my here) from {min(moments):.2f} to {max(moments):.2f} "
          "kNm/m")


def print_largest(page: bytes) -> None:
    """The largest displacement over every computed point (the slab's and the beams' too), from the page."""
    for column in page_summary(page):
        largest = column["LargestDisplacement"]
        print(f"largest displacement, {column['Name']}: {1e3 * largest['Value']:.2f} mm "
              f"(uz {1e3 * largest['z']:.2f} mm) at {largest['Where']}")


def content_of(body: BytesIO | File | None) -> bytes:
    if body is None:
        raise SystemExit("the worker returned an empty file")
    return body.getvalue() if isinstance(body, BytesIO) else body.getvalue_binary()


def main() -> None:
    model = build_slab()
    with LocalPlatform() as platform, platform.connected():
        PlexumWorker().register(platform)
        analysis = PlexumAnalysis(model, return_results=True, return_model=True)
        analysis.execute(timeout=120)

    check_results(analysis.get_results())
    page = content_of(analysis.get_result_file())
    print_largest(page)
    model_path, result_path = HERE / "plexum_slab.model.json", HERE / "plexum_slab.results.html"
    model_path.write_bytes(content_of(analysis.get_model_file()))
    result_path.write_bytes(page)
    print(f"\nmodel file:  {model_path}\nresult file: {result_path}")


if __name__ == "__main__":
    main()
