"""A multi-storey frame end to end: built with the model builder, shipped by
PlexumAnalysis to the local platform, computed by the local Plexum worker and
read back, timed from the first modelling call to the results in hand.

The frame is that of bench_plexum_worker.py (a grid of clamped columns and
floor beams, two load cases, one combination, every result requested):
about 1,000 beams, and about 10,000 with ``--large``. Targets: 5 s and 30 s.
"""

from __future__ import annotations

import argparse
import itertools
import time

import tessel.external.offload_task as offload_task
from tessel.external.plexum import LoadCombination, Material, Model, PlexumAnalysis
from tessel.local import LocalPlatform
from tessel.local.plexum_worker import PlexumWorker

RIGID = 1e10


def frame(nx: int, ny: int, storeys: int) -> tuple[Model, int]:
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    column, girder = model.cross_sections.create_rectangular(0.4, 0.4), model.cross_sections.create_rectangular(0.3, 0.6)
    nodes = {(i, j, k): model.nodes.create(6.0 * i, 5.0 * j, 3.5 * k)
             for k in range(storeys + 1) for j in range(ny) for i in range(nx)}
    all_cases, x_cases = model.load_cases.create("self-weight"), model.load_cases.create("X beams")
    beams = []
    for k in range(storeys):
        for j in range(ny):
            for i in range(nx):
                col = model.lines.create(nodes[i, j, k], nodes[i, j, k + 1]).define_as_beam(concrete, column)
                beams.append(col)
                if k == 0:
                    model.node_supports.create_relative_to_member(
                        nodes[i, j, 0], stiffness_x=RIGID, stiffness_y=RIGID, stiffness_z=RIGID,
                        stiffness_xx=RIGID, stiffness_yy=RIGID, stiffness_zz=RIGID)
                if i + 1 < nx:
                    beam = model.lines.create(nodes[i, j, k + 1], nodes[i + 1, j, k + 1]).define_as_beam(concrete, girder)
                    model.loads.create_beam_self_weight(x_cases, beam)
                    beams.append(beam)
                if j + 1 < ny:
                    beams.append(model.lines.create(nodes[i, j, k + 1], nodes[i, j + 1, k + 1])
                                 .define_as_beam(concrete, girder))
    for beam in beams:
        model.loads.create_beam_self_weight(all_cases, beam)
    model.load_combinations.create(LoadCombination.Type.ULS, {all_cases: 1.35, x_cases: 1.5})
    for by_case in (True, False):
        model.results.nodal_displacements(by_load_case=by_case)
        model.results.nodal_support_forces(by_load_case=by_case)
        model.results.line_forces(by_load_case=by_case)
    return model, len(beams)


def run(platform: LocalPlatform, nx: int, ny: int, storeys: int, target: float) -> None:
    started = time.perf_counter()
    model, beams = frame(nx, ny, storeys)
    built = time.perf_counter()
    analysis = PlexumAnalysis(model, return_results=True, return_model=False)
    analysis.execute(timeout=600)
    results = analysis.get_results()
    done = time.perf_counter()
    assert len(results["Forces"]["Lines"]) == beams
    verdict = "met" if done - started <= target else "NOT met"
    print(f"{beams:6d} beams: {done - started:6.2f} s end to end (building {built - started:5.2f} s, "
          f"job {done - built:6.2f} s); target {target:.0f} s {verdict}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="also the frame of about 10,000 beams")
    args = parser.parse_args()
    # Poll every 0.1 s: the figure is the work, not the polling schedule's pauses.
    offload_task._get_wait_times_for_stepwise_polling = lambda minimum_interval: itertools.repeat(0.1)
    with LocalPlatform() as platform, platform.connected():
        PlexumWorker().register(platform)
        run(platform, 8, 6, 8, 5.0)
        if args.large:
            run(platform, 16, 16, 14, 30.0)


if __name__ == "__main__":
    main()
