"""Worker of the "plexum" queue for the local platform: replays the model records and computes frames and domains.

Needs the optional extra ``tessel-external[local]`` (PyNiteFEA, numpy, scipy).
Register it with ``PlexumWorker().register(platform)``, or serve it with
``python -m tessel.local serve --queue plexum=tessel.local.plexum_worker:worker``.
"""

from __future__ import annotations

import base64
import binascii
import json
import logging
import os
import time
from typing import Any

from tessel.local.workers import ERROR, WorkerFailure

from . import drawing, limits, report, results
from .errors import AnalysisError, ReplayError
from .pipeline import analyse, cycle_collector_paused, discretise
from .replay import Replayer, refuse_unsupported
from .limits import Limits
from .schema import MODEL_INTERFACES

__all__ = ["PlexumWorker", "render_model", "worker"]

logger = logging.getLogger("tessel.local.plexum")

SUPPORTED_VERSION = 1
COMMANDS = ("Run", "RunReturnModel", "CreateModel")


class PlexumWorker:
    """Replays a Plexum job's records and computes a linear static analysis of its frame and domains.

    The records are checked as Plexum checks them: a record that names a
    missing object, an unknown function, a wrong parameter, or a model that is
    a mechanism ends the job with the status "ERROR" and a message naming the
    list, the record's position and what is wrong, e.g.
    ``Lines record 4 "DefineAsBeam": material 3 does not exist`` or
    ``the model is a mechanism: node 2 is free to move in the global x direction``.
    An unsupported job version ends it with "CONTENT_VERSION_NOT_SUPPORTED_ERROR".

    Computed: beams (straight and arcs) with node supports and elastic
    foundations; plates and shells (flat shell quadrilaterals) and membranes
    (plane stress and plane strain, in-plane loads) with holes, the beams on
    their edges and inside them (ribs), walls standing on slabs; shell
    eccentricities (constant, aligned to a face, varying linearly); beam and
    domain self-weight, constant and linear surface loads, linear loads on
    holes; section cuts. What the worker cannot compute is refused the same
    way, naming the record: tapered beams, beam eccentricities, orthotropic
    materials, non-linear supports, resistances, eccentricities of plates and
    membranes, loads normal to a membrane, loads in a reference system (no
    record names the reference), domain reference axes and foundations, lines
    crossing a domain's edge in its plane or each other without a node,
    domains overlapping in one plane.
    "CreateModel" describes such models without refusing.

    Commands: "Run" answers the results and "ResultFile"; "RunReturnModel"
    adds "ModelFile"; "CreateModel" answers only "ModelFile" and computes
    nothing. The files are Base64 text: the model file is JSON (every object
    resolved, with the section and material values used and each domain's
    mesh), the result file a self-contained HTML page with pictures and
    tables of the requested results.

    Units: m, rad, kN, kNm. Global axes X, Y, Z with Z up; self-weight
    (rho A g, g = 9.80665 m/s2) acts along -Z. A beam's local x runs from its
    start node to its end node; local z is the part of its vector reference
    perpendicular to x, or without one: y horizontal (Z cross x) and z = x
    cross y (upwards); a vertical beam takes z along global X. Rectangles have
    their width b along local y and their height h along local z. Supports and
    foundations act in the beam's local axes.

    Results, one entry per requested target, found by id (as text) and by the
    load case or combination id (as text)::

        "Displacements": {"Nodes": {"<node>": {"LoadCases": {"<case>": D}, "LoadCombinations": {"<comb>": D}}}}
        "Forces": {"NodalSupports": {"<support>": {"LoadCases": {"<case>": {"Local": R, "Global": R}}, ...}},
                   "Lines": {"<beam>": {"LoadCases": {"<case>": [S, ...]}, "LoadCombinations": {...}}}}
        "Sections": {"<section>": {"SurfaceForces": {"LoadCombinations": {"<comb>": C}},
                                   "SurfaceStresses": {"LoadCombinations": {"<comb>": C}}}}
        "Notes": ["..."]  (only when there is something to say, e.g. a domain meshed with the default size)

    "LoadCases" holds every load case of the request's "LoadCases" list and
    appears when a ...ByLoadCaseId record asked for the target;
    "LoadCombinations" likewise for ...ByLoadCombinationId. D: {"x", "y", "z"}
    displacements (m) and {"xx", "yy", "zz"} rotations (rad) in global axes.
    R: the force of the support on the structure, {"x", "y", "z"} (kN) and
    {"xx", "yy", "zz"} (kNm), in the member's axes ("Local") and in global
    axes ("Global"). S: one station {"Position", "N", "Vy", "Vz", "Mx", "My",
    "Mz"} at "Position" metres from the beam's start along the beam; stations
    are the start, then the middle and the end of each finite element of the
    beam (so an inner node shows the values just before it). They are the
    forces and moments on the cross-section face whose outward normal is +x,
    by the part of the beam beyond it, in local axes: N > 0 is tension,
    My > 0 puts the +z fibres in tension, Mz > 0 the -y fibres; a beam with
    z up sagging under its weight has My < 0 at midspan. C: {"Points": [...],
    "Integrals": {...}}, the section's points inside domains with the surface
    forces (per metre, in the domain's plane axes and on the cut) or stresses
    there, and their integrals along it; the README lists the components.
    """

    queue = "plexum"

    def __init__(self, *, max_elements: int = Limits.max_elements, max_nodes: int = Limits.max_nodes,
                 max_load_cases: int = Limits.max_load_cases, max_section_points: int = Limits.max_section_points,
                 max_domain_lines: int = Limits.max_domain_lines) -> None:
        """The limits of one job's size, estimated from its records before any work (see `limits.Limits`)."""
        self.limits = Limits(max_elements, max_nodes, max_load_cases, max_section_points, max_domain_lines)

    def register(self, platform: Any) -> None:
        """Serve the queue "plexum" of `platform`, each job in a worker process."""
        platform.register(self.queue, self, content="dict", isolated=True)

    def __call__(self, content: dict[str, Any]) -> dict[str, Any]:
        """Run one job: the job content in, the result content out."""
        version = content.get("version")
        if version != SUPPORTED_VERSION or isinstance(version, bool):
            raise WorkerFailure("CONTENT_VERSION_NOT_SUPPORTED_ERROR",
                                f"Job content version {version!r} is not supported")
        try:
            with cycle_collector_paused():
                return self._run(content)
        except (ReplayError, AnalysisError) as problem:
            raise WorkerFailure(ERROR, str(problem)) from None
        except RecursionError:
            raise WorkerFailure(ERROR, "the job content is nested too deeply to be read as Plexum records") from None

    def _run(self, content: dict[str, Any]) -> dict[str, Any]:
        command = content.get("command")
        if command not in COMMANDS:
            raise ReplayError(f"unknown command {command!r}: expected one of {', '.join(COMMANDS)}")
        template = content.get("report_template")
        if template is not None:
            try:
                if not isinstance(template, str):
                    raise ValueError
                base64.b64decode(template, validate=True)
            except (ValueError, binascii.Error):
                raise ReplayError('"report_template" is not Base64 text') from None
        started = time.perf_counter()
        replayer = Replayer()
        model = replayer.replay_model(content.get("Model"))
        request = replayer.replay_results(content.get("Results"))
        logger.info("replay: %d nodes, %d lines, %d domains, %d load cases, %d combinations (%.2f s)",
                    len(model.nodes), len(model.lines), len(model.domains), len(model.load_cases),
                    len(model.load_combinations), time.perf_counter() - started)
        if command == "CreateModel":
            return {"ModelFile": _base64(report.model_file(model))}
        if not model.analyses:
            raise ReplayError(f'the command "{command}" needs a "LinearAnalysis" record in "Calculation"')
        refuse_unsupported(model)
        limits.check(model, request, self.limits)
        solution = analyse(model)
        started = time.perf_counter()
        answer = results.collect(solution, request)
        logger.info("results: %d requests (%.2f s)", len(request.requests), time.perf_counter() - started)
        started = time.perf_counter()
        answer["ResultFile"] = _base64(report.result_file(model, answer, solution))
        logger.info("page: %.1f MB (%.2f s)", len(answer["ResultFile"]) * 3 / 4 / 1e6, time.perf_counter() - started)
        if command == "RunReturnModel":
            answer["ModelFile"] = _base64(report.model_file(model, solution.frame))
        return answer


def render_model(model: Any, path_or_format: Any = "svg") -> Any:
    """Draw a model builder `Model` as the worker understands it: nodes and beams with their ids, meshed domains,
    supports, the loads of every load case in their direction and the section cuts, with the global axes.

    `path_or_format` "svg" or "png" returns the picture's bytes; a path (str
    or os.PathLike) ending in .svg or .png writes the picture there and
    returns the path. The model is read through its interfaces' records and
    left unchanged (serialising the `Model` itself would append a
    "LinearAnalysis" record). A record the worker would refuse raises
    `ValueError` with the worker's message.
    """
    # As the job content travels: JSON text (the records hold tuples).
    content = json.loads(json.dumps({key: getattr(model, attribute)._serialize()
                                     for key, attribute in MODEL_INTERFACES.items()}))
    content["Calculation"] = {"Functions": [], "Properties": []}
    # The section cuts, without the results asked of them.
    cuts = [record for record in json.loads(json.dumps(model._sections._serialize()["Functions"]))
            if record[0] == "Add"]
    empty: dict[str, list[Any]] = {"Functions": [], "Properties": []}
    request = {"LoadCases": [], "LoadCombinations": [], "Forces": empty, "Displacements": empty,
               "Sections": {"Functions": cuts, "Properties": []}}
    try:
        replayer = Replayer()
        resolved = replayer.replay_model(content)
        replayer.replay_results(request)
        frame = discretise(resolved)
    except (ReplayError, AnalysisError) as problem:
        raise ValueError(str(problem)) from None
    from .figures import model_picture
    picture = model_picture(resolved, frame, "Model")
    if path_or_format in ("svg", "png"):
        return drawing.svg(picture).encode("utf-8") if path_or_format == "svg" else drawing.png(picture)
    path = os.fspath(path_or_format)
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in (".svg", ".png"):
        raise ValueError(f"cannot tell the picture format of {path!r}: give a path ending in .svg or .png, "
                         'or the format "svg" or "png"')
    data = drawing.svg(picture).encode("utf-8") if suffix == ".svg" else drawing.png(picture)
    with open(path, "wb") as target:
        target.write(data)
    return path_or_format


def _base64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


worker = PlexumWorker()
