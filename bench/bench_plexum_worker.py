"""Time of the local Plexum worker on multi-storey frames.

A grid of columns and floor beams, clamped at the base: about 1,000 beams and
about 10,000 beams (``--large``), two load cases (all self-weight; the
weight of the X beams again) and one combination, every result requested by
load case and by combination. The worker is called directly on the job
content (JSON-decoded, as the platform hands it over), so the figure is the
worker's own: replay, analysis, results and files. Targets: 5 s and 30 s.

A slab of 2,500 quadrilaterals (``slab``): a 25 x 25 m slab meshed at 0.5 m
on 0.5 m edge beams, each edge node on a support, under its self-weight and
an imposed load, with the displacements of every edge node, the support
forces and the surface forces and stresses along two cuts. Target: 10 s.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

from tessel.local.plexum_worker import PlexumWorker

# The job records of the worker's tests, written directly.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
from plexum_records import JobRecords  # noqa: E402

RIGID = 1e10


def frame(nx: int, ny: int, storeys: int) -> tuple[dict, int]:
    job = JobRecords()
    material = job.catalogue_material("C30/37")
    column, girder = job.rectangle(0.4, 0.4), job.rectangle(0.3, 0.6)
    nodes = {}
    for k in range(storeys + 1):
        for j in range(ny):
            for i in range(nx):
                nodes[i, j, k] = job.node(6.0 * i, 5.0 * j, 3.5 * k)
    all_cases, x_cases = job.load_case("self-weight"), job.load_case("X beams")
    beams = []
    for k in range(storeys):
        for j in range(ny):
            for i in range(nx):
                line = job.beam(job.line(nodes[i, j, k], nodes[i, j, k + 1]), material, column)
                beams.append(line)
                if k == 0:
                    job.support(nodes[i, j, 0], line, x=RIGID, y=RIGID, z=RIGID, xx=RIGID, yy=RIGID, zz=RIGID)
                if i + 1 < nx:
                    beam = job.beam(job.line(nodes[i, j, k + 1], nodes[i + 1, j, k + 1]), material, girder)
                    job.self_weight(x_cases, beam)
                    beams.append(beam)
                if j + 1 < ny:
                    beams.append(job.beam(job.line(nodes[i, j, k + 1], nodes[i, j + 1, k + 1]), material, girder))
    for beam in beams:
        job.self_weight(all_cases, beam)
    job.combination({all_cases: 1.35, x_cases: 1.5})
    supports = range(1, nx * ny + 1)
    for by_case in (True, False):
        job.displacements(list(nodes.values()), by_load_case=by_case)
        job.support_forces(supports, by_load_case=by_case)
        job.line_forces(beams, by_load_case=by_case)
    return json.loads(json.dumps(job.content("Run"))), len(beams)


def slab(count: int = 50, size: float = 0.5) -> dict:
    job = JobRecords()
    material = job.catalogue_material("C30/37")
    beam = job.rectangle(0.3, 0.5)
    length = count * size
    points = ([(size * i, 0.0, 0.0) for i in range(count)] + [(length, size * i, 0.0) for i in range(count)]
              + [(length - size * i, length, 0.0) for i in range(count)]
              + [(0.0, length - size * i, 0.0) for i in range(count)])
    nodes = [job.node(*p) for p in points]
    lines = [job.beam(job.line(nodes[k], nodes[(k + 1) % len(nodes)]), material, beam) for k in range(len(nodes))]
    for node, line in zip(nodes, lines):
        job.support(node, line, x=RIGID, y=RIGID, z=RIGID)
    domain = job.domain(lines, material, 0.25)
    job.mesh([domain], size)
    dead, imposed = job.load_case("dead"), job.load_case("imposed")
    job.domain_self_weight(dead, domain)
    job.domain_constant(imposed, domain, (0.0, 0.0, -5.0))
    job.combination({dead: 1.35, imposed: 1.5})
    cuts = [job.section((0.0, length / 2, 0.0), (length, length / 2, 0.0), (1.0, 0.0, 0.0)),
            job.section((0.0, 0.0, 0.0), (length, length, 0.0), (1.0, -1.0, 0.0))]
    job.section_results(cuts, [1])
    job.section_results(cuts, [1], stresses=True)
    job.displacements(nodes)
    job.support_forces(range(1, len(nodes) + 1))
    return json.loads(json.dumps(job.content("Run")))


def timed(label: str, content: dict, target: float) -> None:
    """Runs the worker on the job content and prints its time against the target."""
    started = time.perf_counter()
    answer = PlexumWorker()(content)
    elapsed = time.perf_counter() - started
    size = len(json.dumps(answer))
    print(f"{label}: {elapsed:6.2f} s (target {target:.0f} s, {'met' if elapsed <= target else 'MISSED'}); "
          f"result content {size / 1e6:.1f} MB")


def run_slab(target: float = 10.0) -> None:
    timed("slab of 2,500 quadrilaterals, 2 load cases, 1 combination, 2 cuts", slab(), target)


def run(nx: int, ny: int, storeys: int, target: float) -> None:
    content, beams = frame(nx, ny, storeys)
    timed(f"{beams:6d} beams, 2 load cases, 1 combination", content, target)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--large", action="store_true", help="also run the frame of about 10,000 beams")
    args = parser.parse_args()
    run(5, 5, 15, 5.0)
    run_slab()
    if args.large:
        run(11, 11, 30, 30.0)


if __name__ == "__main__":
    main()
