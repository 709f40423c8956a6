"""Build a small concrete frame with the Plexum model builder, run it on the
local platform and print what came back.

A portal frame: two 4 m columns fixed at their feet and a 6 m girder, all in
catalogue concrete C30/37. Its self-weight is one load case, taken in an
ultimate and a characteristic combination. The local Plexum worker replays
the recorded model, computes it and returns the requested displacements and
support forces, the model file and the result file, which are written next
to this script.
"""

from io import BytesIO
from pathlib import Path
from typing import Any

from tessel.core import File

from tessel.external.plexum import CrossSection, LoadCombination, Material, Model, PlexumAnalysis
from tessel.local import LocalPlatform
from tessel.local.plexum_worker import PlexumWorker

HERE = Path(__file__).parent
SPAN, HEIGHT = 6.0, 4.0
FIXED = 1e10  # kN/m and kNm/rad: a support that does not give


def build_frame() -> Model:
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    column = model.cross_sections.create_rectangular(0.3, 0.3, name="column 300x300")
    girder = model.cross_sections.create_rectangular(0.3, 0.6, process=CrossSection.Process.OTHER,
                                                     name="girder 300x600")

    left_foot, right_foot = model.nodes.create(0.0, 0.0, 0.0), model.nodes.create(SPAN, 0.0, 0.0)
    left_top, right_top = model.nodes.create(0.0, 0.0, HEIGHT), model.nodes.create(SPAN, 0.0, HEIGHT)
    # Columns with their local z along the girder, the girder with z up.
    along_x = model.references.create_vector((0.0, 0.0, 0.0), (1.0, 0.0, 0.0))
    beams = [
        model.lines.create(left_foot, left_top).define_as_beam(concrete, column, local_z_reference=along_x),
        model.lines.create(right_foot, right_top).define_as_beam(concrete, column, local_z_reference=along_x),
    ]
    top = model.lines.create(left_top, right_top)
    beams.append(top.define_as_beam(concrete, girder))
    top.split_by_number(4)

    for foot in (left_foot, right_foot):
        model.node_supports.create_relative_to_member(
            foot, stiffness_x=FIXED, stiffness_y=FIXED, stiffness_z=FIXED,
            stiffness_xx=FIXED, stiffness_yy=FIXED, stiffness_zz=FIXED)

    dead = model.load_cases.create("self-weight")
    for beam in beams:
        model.loads.create_beam_self_weight(dead, beam)
    model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35}, name="ULS")
    model.load_combinations.create(LoadCombination.Type.SLS_CHAR, {dead: 1.0}, name="SLS")

    model.results.nodal_displacements()
    model.results.nodal_displacements(by_load_case=False)
    model.results.nodal_support_forces(by_load_case=False)
    return model


def print_results(results: dict[str, Any]) -> None:
    print("\nNodal displacements, combination ULS (mm, mrad)")
    print(f"{'node':>6} {'x':>9} {'y':>9} {'z':>9} {'rot y':>9}")
    for node, entry in results["Displacements"]["Nodes"].items():
        d = entry["LoadCombinations"]["1"]
        print(f"{node:>6} {1e3 * d['x']:9.3f} {1e3 * d['y']:9.3f} {1e3 * d['z']:9.3f} {1e3 * d['yy']:9.3f}")

    print("\nSupport forces on the structure, combination ULS, global axes (kN, kNm)")
    print(f"{'support':>8} {'Fx':>9} {'Fz':>9} {'My':>9}")
    total = 0.0
    for support, entry in results["Forces"]["NodalSupports"].items():
        r = entry["LoadCombinations"]["1"]["Global"]
        total += r["z"]
        print(f"{support:>8} {r['x']:9.2f} {r['z']:9.2f} {r['yy']:9.2f}")
    print(f"{'sum':>8} {'':9} {total:9.2f}")


def content_of(body: BytesIO | File | None) -> bytes:
    if body is None:
        raise SystemExit("the worker returned an empty file")
    return body.getvalue() if isinstance(body, BytesIO) else body.getvalue_binary()


def main() -> None:
    model = build_frame()
    with LocalPlatform() as platform, platform.connected():
        PlexumWorker().register(platform)
        analysis = PlexumAnalysis(model, return_results=True, return_model=True)
        analysis.execute(timeout=60)

    print_results(analysis.get_results())
    model_path, result_path = HERE / "plexum_frame.model.json", HERE / "plexum_frame.results.html"
    model_path.write_bytes(content_of(analysis.get_model_file()))
    result_path.write_bytes(content_of(analysis.get_result_file()))
    print(f"\nmodel file:  {model_path}\nresult file: {result_path}")


if __name__ == "__main__":
    main()
