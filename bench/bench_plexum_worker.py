"""The local Plexum worker's phases on frames and slabs, against the limit measured in the same run.

Frames: a grid of columns and floor beams, clamped at the base, about 1,000
beams (``--large``: also 10,000; ``--huge``: also 100,000), two load cases
(all self-weight; the weight of the X beams again) and one combination, every
result requested by load case and by combination. Slabs: a square slab on
edge beams, each edge node on a support, under its self-weight and an imposed
load, with the displacements of every edge node, the support forces and the
surface forces and stresses along two cuts: 2,500 quadrilaterals (``--large``:
also 10,000; ``--huge``: also 40,000).

Each phase is timed on the job content as the platform hands it over
(replay with the size check, mesh, assembly and loads, solve, results
stored as JSON, the result page), with the cycle collector paused as the worker
pauses it for a job. The limit is the same stiffness system assembled
from its COO arrays, scaled, factorised and solved for the load cases by the
solver the worker uses, nothing else. Targets: the job without the page
within 3x the limit, the whole job within 5x. Each job runs in a process of
its own, which reports its memory peaks: after the computing phases and after
the page. The default sizes take the fastest of three runs of each phase
(their times are a few hundredths of a second); ``--only frames`` or
``--only slabs`` picks one kind.
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import multiprocessing
import resource
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import scipy.sparse as sp

from tessel.local.execution import store_result
from tessel.local.plexum_worker import limits, report, results
from tessel.local.plexum_worker.assembly import assemble
from tessel.local.plexum_worker.limits import Limits
from tessel.local.plexum_worker.loads import apply
from tessel.local.plexum_worker.pipeline import cycle_collector_paused, discretise
from tessel.local.plexum_worker.recovery import recover
from tessel.local.plexum_worker.replay import Replayer
from tessel.local.plexum_worker.solve import Factors, solve, solver_name

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


def slab(count: int, size: float) -> dict:
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


def phases(content: dict, peaks: dict[str, int]) -> dict[str, float]:
    """Seconds of each phase of one job, the page apart, and of the limit measured on the same system; the memory
    peaks of the process after the computing phases and after the page go to `peaks`."""
    times: dict[str, float] = {}
    clock = time.perf_counter()

    def lap(name: str) -> None:
        nonlocal clock
        now = time.perf_counter()
        times[name] = now - clock
        clock = now

    replayer = Replayer()
    model = replayer.replay_model(content["Model"])
    request = replayer.replay_results(content["Results"])
    limits.check(model, request, Limits())
    lap("replay")
    frame = discretise(model)
    lap("mesh")
    assembly = assemble(frame)
    loading = apply(assembly)
    lap("assembly")
    displacements = solve(assembly, loading)
    lap("solve")
    solution = recover(assembly, loading, displacements)
    answer = results.collect(solution, request)
    with tempfile.TemporaryDirectory() as directory:
        store_result(Path(directory), answer)  # written as the platform stores a worker's answer
    lap("results")
    peaks["computing"] = max(peaks.get("computing", 0), _peak())
    answer["ResultFile"] = report.result_file(model, answer, solution)
    lap("page")
    peaks["job"] = max(peaks.get("job", 0), _peak())
    times["page MB"] = len(answer["ResultFile"]) / 1e6
    # The limit: the same stiffness from COO arrays, scaled, factorised and solved by the same solver.
    coo = assembly.stiffness.tocoo()
    row, col, data, rhs = coo.row.copy(), coo.col.copy(), coo.data.copy(), loading.rhs.copy()
    clock = time.perf_counter()
    matrix = sp.coo_matrix((data, (row, col)), shape=assembly.stiffness.shape).tocsc()
    scale = 1.0 / np.sqrt(matrix.diagonal())
    factors = Factors((sp.diags(scale) @ matrix @ sp.diags(scale)).tocsc())
    factors.solve(scale[:, None] * rhs)
    lap("limit")
    return times


def measured(label: str, build: Callable[[], dict], repeat: int, small: Callable[[], dict]) -> None:
    """Prints the phases of one job and their ratios to the limit measured in the same run.

    Runs in a process of its own, so that its memory peaks are its own: that of
    the computing phases (everything but the page) and that of the whole job.
    A small job of the same kind runs first, as a worker process serves job
    after job: what a process pays once (first calls into numpy and scipy) is
    not the job's. With `repeat`, each phase and the limit are the fastest of
    that many runs.
    """
    with cycle_collector_paused():
        phases(small(), {})
    content = build()
    gc.collect()
    times: dict[str, float] = {}
    peaks: dict[str, int] = {}
    for _ in range(repeat):
        with cycle_collector_paused():  # as the worker runs a job
            measured_times = phases(content, peaks)
        for key, value in measured_times.items():
            times[key] = min(times.get(key, value), value)
        gc.collect()
    work = sum(times[k] for k in ("replay", "mesh", "assembly", "solve", "results"))
    whole = work + times["page"]
    limit = times["limit"]
    shown = ", ".join(f"{k} {times[k]:.2f} s" for k in ("replay", "mesh", "assembly", "solve", "results", "page"))
    print(f"{label}: {shown}; limit {limit:.2f} s ({solver_name()}); without the page {work:.2f} s = "
          f"{work / limit:.1f}x the limit (target 3x), whole job {whole:.2f} s = {whole / limit:.1f}x (target 5x); "
          f"page {times['page MB']:.1f} MB, {100 * times['page'] / whole:.0f}% of the job; memory peak "
          f"{peaks['computing'] / 2 ** 20:.0f} MiB computing, {peaks['job'] / 2 ** 20:.0f} MiB with the page",
          flush=True)


def _peak() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def run_slab(count: int, size: float, repeat: int) -> None:
    measured(f"slab of {count * count:,} quadrilaterals, 2 load cases, 1 combination, 2 cuts",
             functools.partial(slab, count, size), repeat, functools.partial(slab, 4, 1.0))


def run_frame(nx: int, ny: int, storeys: int, repeat: int) -> None:
    beams = storeys * (nx * ny + (nx - 1) * ny + nx * (ny - 1))
    measured(f"frame of {beams:,} beams, 2 load cases, 1 combination", lambda: frame(nx, ny, storeys)[0], repeat,
             lambda: frame(2, 2, 2)[0])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--large", action="store_true", help="also the frame of about 10,000 beams and the slab "
                                                             "of 10,000 quadrilaterals")
    parser.add_argument("--huge", action="store_true", help="also the frame of about 100,000 beams and the slab "
                                                            "of 40,000 quadrilaterals")
    parser.add_argument("--only", choices=("frames", "slabs"), help="only the frames or only the slabs")
    args = parser.parse_args()
    jobs: list[tuple[Callable[..., None], tuple[Any, ...]]] = []
    sizes = [((5, 5, 15), (50, 0.5), 3)]
    if args.large or args.huge:
        sizes.append(((11, 11, 30), (100, 0.25), 1))
    if args.huge:
        sizes.append(((26, 26, 50), (200, 0.125), 1))
    for frame_size, slab_size, repeat in sizes:
        if args.only != "slabs":
            jobs.append((run_frame, (*frame_size, repeat)))
        if args.only != "frames":
            jobs.append((run_slab, (*slab_size, repeat)))
    context = multiprocessing.get_context("spawn")
    for target, job_args in jobs:
        process = context.Process(target=target, args=job_args)
        process.start()
        process.join()
        if process.exitcode:
            print(f"{target.__name__}{job_args}: the process ended with exit code {process.exitcode}", flush=True)


if __name__ == "__main__":
    main()
