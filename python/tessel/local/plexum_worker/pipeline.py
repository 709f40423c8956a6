"""The analysis as a pipeline of stages, each taking the previous one's output.

replay (records -> `Model`) -> mesh plan -> frame (FE nodes and elements) ->
assembly (global stiffness) -> loads (load vectors, combination weights) ->
solve (displacements of the load cases) -> recovery (`Solution`) -> results
and report. Geometry serves every stage.
"""

from __future__ import annotations

import contextlib
import gc
import logging
import time
from collections.abc import Iterator

import numpy as np

from . import mesh
from .assembly import assemble
from .errors import AnalysisError
from .frame import Frame
from .loads import apply
from .model import Model
from .recovery import Solution, recover
from .solve import solve

logger = logging.getLogger("tessel.local.plexum")


@contextlib.contextmanager
def cycle_collector_paused() -> Iterator[None]:
    """The cycle collector off while a job runs, back as it was after.

    A job makes hundreds of thousands of small containers (its records, the
    model, the result records) that form no reference cycles; the collector's
    passes over them, again and again while they are made, cost a tenth to a
    fifth of a job. What little it would find is collected after the job.
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def discretise(model: Model) -> Frame:
    """The model's finite-element nodes, beam elements and domain meshes."""
    return Frame(model, mesh.plan(model))


def analyse(model: Model) -> Solution:
    """A linear static analysis of every load case and combination of the model."""
    started = time.perf_counter()
    frame = discretise(model)
    quads = sum(len(m.quads) for m in frame.meshes)
    logger.info("mesh: %d elements (%d beam elements, %d quadrilaterals), %d nodes (%.2f s)", len(frame.length) + quads,
                len(frame.length), quads, len(frame.xyz), time.perf_counter() - started)
    if not frame.chains and not frame.meshes:
        raise AnalysisError("the model has no beams or domains to analyse")
    started = time.perf_counter()
    assembly = assemble(frame)
    loading = apply(assembly)
    logger.info("assembly and loads: %d load cases, %d combinations (%.2f s)", len(model.load_cases),
                len(model.load_combinations), time.perf_counter() - started)
    _refuse_infinite_loads(model, loading.rhs)
    started = time.perf_counter()
    displacements = solve(assembly, loading)
    logger.info("solve: done (%.2f s)", time.perf_counter() - started)
    started = time.perf_counter()
    with np.errstate(over="ignore", invalid="ignore"):  # results that overflow are refused right after, by name
        solution = recover(assembly, loading, displacements)
    _refuse_infinite_results(model, solution)
    logger.info("recovery: %.2f s", time.perf_counter() - started)
    return solution


def _refuse_infinite_loads(model: Model, rhs: np.ndarray) -> None:
    for k in np.flatnonzero(~np.isfinite(rhs).all(axis=0)):
        case = model.load_cases[int(k)]
        raise AnalysisError(f"{case.record}: the loads of load case {case.id} are not finite numbers: a density, "
                            "thickness or load value is too large for double precision")


def _refuse_infinite_results(model: Model, solution: Solution) -> None:
    """A displacement or a force that overflowed ends the job, naming the load case or combination."""
    finite = np.isfinite(solution.displacements).all(axis=(0, 1)) & np.isfinite(solution.end_forces).all(axis=(0, 2))
    for (kind, identifier), column in solution.columns.items():
        if not finite[column]:
            item = model.load_cases[identifier - 1] if kind == "case" else model.load_combinations[identifier - 1]
            what = "load case" if kind == "case" else "load combination"
            raise AnalysisError(f"{item.record}: the results of {what} {identifier} are not finite numbers: its "
                                "loads or factors are too large for double precision")
