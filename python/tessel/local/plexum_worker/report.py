"""The model file (JSON of what the worker understood) and the result file (an HTML page of what it computed).

The page is the template data/result_page.html filled with the analysis'
overview and the model's picture, then per load case and combination a
short summary (the largest displacement and where, the largest beam
moments, the support forces against the applied load), its pictures
(`figures`, drawn on the canvas of `drawing`) and its tables (`tables`).
The summaries are also embedded as JSON data (the element with the id
"summary") for programs that read the page. Painted pictures are drawn on
two threads while the next ones are made (`_drawn`); the page is the same as
when drawn one by one.
"""

from __future__ import annotations

import html
from concurrent.futures import Future, ThreadPoolExecutor
import json
from functools import lru_cache
from importlib import resources
from string import Template
from typing import Any

import numpy as np

from . import drawing
from .figures import MAX_PICTURED_COLUMNS, Figures, model_picture, result_columns
from .frame import Frame
from .mesh import SURFACE_TYPES, DomainMesh
from .model import COMBINATION_TYPES, GRAVITY, Domain, Line, Load, Model
from .recovery import Solution
from .tables import Column, result_tables


def model_file(model: Model, frame: Frame | None = None) -> bytes:
    """The model as JSON text: every object resolved, with the properties the analysis uses."""
    local_axes: dict[int, dict[str, Any]] = {}
    meshes = {m.domain.id: m for m in frame.meshes} if frame is not None else {}
    if frame is not None:
        for chain in frame.chains:
            axes = frame.axes[chain.first].tolist()
            local_axes[chain.line.id] = {"x": axes[0], "y": axes[1], "z": axes[2], "Elements": chain.count}
    document = {
        "Units": {"Length": "m", "Force": "kN", "Modulus": "kN/m2", "Density": "kg/m3", "Angle": "rad"},
        "References": [{"Id": r.id, "Type": r.kind, "Data": r.data, "Record": r.record} for r in model.references],
        "Materials": [{"Id": m.id, "Name": m.name, "Source": m.source, "DesignCode": m.design_code, "E": m.e,
                       "G": m.g, "Nu": m.nu, "Rho": m.rho, "Fck": m.f_ck, "Values": m.values, "Record": m.record}
                      for m in model.materials],
        "Nodes": [{"Id": n.id, "x": n.x, "y": n.y, "z": n.z} for n in model.nodes],
        "CrossSections": [{"Id": c.id, "Name": c.name, "Shape": c.shape, "Dimensions": c.dimensions,
                           "Process": c.process, "A": c.area, "Iy": c.i_y, "Iz": c.i_z, "It": c.torsion,
                           "Record": c.record} for c in model.cross_sections],
        "Lines": [_line(line, local_axes.get(line.id)) for line in model.lines],
        "Domains": [_domain(d, meshes.get(d.id)) for d in model.domains],
        "NodeSupports": [{"Id": s.id, "Node": s.node.id, "Beam": s.line.id, "Axes": "member",
                          "Stiffnesses": s.stiffness, "NonLinearity": s.non_linearity,
                          "Resistances": s.resistance, "Record": s.record} for s in model.node_supports],
        "LineSupports": [{"Id": s.id, "Beam": s.line.id, "Axes": "member", "Stiffnesses": s.stiffness,
                          "NonLinearity": s.non_linearity, "Resistances": s.resistance, "Record": s.record}
                         for s in model.line_supports],
        "LoadCases": [{"Id": c.id, "Name": c.name, "Record": c.record} for c in model.load_cases],
        "Loads": [_load(load) for load in model.loads],
        "LoadCombinations": [{"Id": c.id, "Name": c.name, "Type": COMBINATION_TYPES[c.type],
                              "Factors": [{"LoadCase": case.id, "Factor": factor} for case, factor in c.factors],
                              "Record": c.record} for c in model.load_combinations],
        "Sections": [{"Id": s.id, "Name": s.name, "Record": s.record} for s in model.section_cuts],
        "Calculation": [{"Analysis": "linear", "Record": label} for label in model.analyses],
        "NotComputed": [{"Record": label, "Reason": reason} for label, reason in model.unsupported],
    }
    return (json.dumps(document, indent=1, ensure_ascii=False) + "\n").encode("utf-8")


def _domain(domain: Domain, mesh: DomainMesh | None) -> dict[str, Any]:
    entry: dict[str, Any] = {
        "Id": domain.id, "LineIds": domain.line_ids, "Material": domain.material.id,
        "Thickness": domain.thickness, "SurfaceType": domain.surface_type, "Kind": SURFACE_TYPES[domain.surface_type],
             "Record": domain.record}
    if domain.eccentricity is not None:
        entry["Eccentricity"] = {**domain.eccentricity, "Record": domain.eccentricity_record}
    if mesh is not None:
        entry["Mesh"] = {"Size": mesh.size, "DefaultSize": mesh.default_size, "Method": mesh.method,
                         "Quadrilaterals": int(len(mesh.quads)), "Holes": [h.domain.id for h in mesh.holes],
                         "InternalLines": [line.id for line in mesh.internal],
                         "Axes": {"x": mesh.outline.axes[0].tolist(), "y": mesh.outline.axes[1].tolist(),
                                  "z": mesh.outline.axes[2].tolist()}}
    return entry


def _line(line: Line, axes: dict[str, Any] | None) -> dict[str, Any]:
    entry: dict[str, Any] = {"Id": line.id, "StartNode": line.start.id, "EndNode": line.end.id,
             "Geometry": "arc" if line.arc else "straight", "Parts": line.parts, "Record": line.record}
    if line.arc:
        entry["Arc"] = {"Center": line.arc.center, "Normal": line.arc.normal, "Alfa": line.arc.alpha}
    if line.beam:
        entry["Beam"] = {"Material": line.beam.material.id, "CrossSection": line.beam.cross_section.id,
                         "Reference": line.reference.id if line.reference else None, "Record": line.beam.record}
        if axes:
            entry["Beam"]["LocalAxesAtStart"] = axes
    return entry


def _load(load: Load) -> dict[str, Any]:
    entry: dict[str, Any] = {"Id": load.id, "Kind": load.kind, "LoadCase": load.load_case.id, "Record": load.record}
    if load.line is not None:
        beam = load.line.beam
        assert beam is not None
        entry["Beam"] = load.line.id
        entry["q"] = beam.material.rho * beam.cross_section.area * GRAVITY / 1000.0
        entry["Direction"] = "-Z global, kN/m"
    if load.domain is not None:
        entry["Domain"] = load.domain.id
    return entry


def result_file(model: Model, results: dict[str, Any], solution: Solution | None = None) -> bytes:
    """The result file: a self-contained HTML page with pictures and tables of the requested results."""
    body: list[str | Column] = [*_overview(model, results)]  # a column stands for its tables, made last
    summaries: list[dict[str, Any]] = []
    if solution is None:
        tables = result_tables(model, results)
    else:
        pool = ThreadPoolExecutor(max_workers=2, thread_name_prefix="result-page")
        try:
            drawn: list[tuple[int, list[Future[str]]]] = []  # where in the body, the pictures drawn there
            shown = Figures(model, solution)
            overview = model_picture(model, solution.frame, geometry=shown.slab, beams=shown.beams, parts=shown.parts)
            body.append("")
            drawn.append((len(body) - 1, _drawn(pool, [overview])))
            columns = result_columns(model, solution)
            if len(columns) > MAX_PICTURED_COLUMNS:
                body.append(f"<p>Pictures of the first {MAX_PICTURED_COLUMNS} of {len(columns)} load cases and "
                            "combinations.</p>")
            targets = [("LoadCases", c.id, c.name) for c in model.load_cases]
            targets += [("LoadCombinations", c.id, c.name) for c in model.load_combinations]
            for k, ((name, column), (group, target, _)) in enumerate(zip(columns, targets)):
                summary = _column_summary(model, shown, column, group, target, name)
                summaries.append(summary)
                body.append(f'<section class="column"><h2>{html.escape(name)}</h2>')
                body.append(_summary_list(summary))
                if k < MAX_PICTURED_COLUMNS:
                    pictures = shown.of_column(column, name, target if group == "LoadCases" else None,
                                               results["Sections"], target if group == "LoadCombinations" else None)
                    body.append("")
                    drawn.append((len(body) - 1, _drawn(pool, pictures)))
                body += [(group, str(target)), "</section>"]
            tables = result_tables(model, results)  # while the pool paints the last pictures
            for at, futures in drawn:
                body[at] = '<div class="figures">' + "".join(f"<figure>{f.result()}</figure>" for f in futures) + \
                    "</div>"
        finally:
            pool.shutdown(cancel_futures=True)  # after a failure, the pictures not begun are not drawn
    text: list[str] = []
    for entry in body:
        if isinstance(entry, tuple):
            text += tables.pop(entry, [])
        else:
            text.append(entry)
    for (group, key), rest in tables.items():  # results of columns without a solution to draw
        names = {str(c.id): c.name for c in (model.load_cases if group == "LoadCases" else model.load_combinations)}
        prefix = "LC" if group == "LoadCases" else "CO"
        text.append(f'<section class="column"><h2>{prefix} {key} {html.escape(repr(names.get(key, "")))}</h2>')
        text += rest + ["</section>"]
    data = json.dumps({"Columns": summaries}, ensure_ascii=True).replace("</", "<\\/")
    text.append(f"{_SUMMARY_START}{data}</script>")
    return _page().substitute(body="\n".join(text)).encode("utf-8")


def _drawn(pool: ThreadPoolExecutor, pictures: list[drawing.Picture]) -> list[Future[str]]:
    """The pictures' SVG: painted ones drawn by the pool while the page goes on (most of their drawing,
    painting and deflating, runs without the interpreter's lock), the others written at once."""
    out: list[Future[str]] = []
    for picture in pictures:
        if drawing.painted(picture):
            out.append(pool.submit(drawing.svg, picture))
        else:
            out.append(Future())
            out[-1].set_result(drawing.svg(picture))
    return out


def _overview(model: Model, results: dict[str, Any]) -> list[str]:
    """The page's title, units, load cases, combinations and notes."""
    cases = ", ".join(f"{c.id} '{c.name}'" for c in model.load_cases)
    combinations = ", ".join(f"{c.id} '{c.name}' = " + " + ".join(f"{f:g} x LC{case.id}" for case, f in c.factors)
                             for c in model.load_combinations)
    body = ["<h1>Linear static analysis</h1><p>Units: m, rad, kN, kNm. Global axes X, Y, Z with Z up.</p>",
            "<p>Load cases: " + html.escape(cases or "none") + "</p>",
            "<p>Load combinations: " + html.escape(combinations or "none") + "</p>"]
    body += [f'<p class="note">{html.escape(note)}</p>' for note in results.get("Notes", [])]
    return body


def _column_summary(model: Model, shown: Figures, column: int, group: str, target: int, name: str) -> dict[str, Any]:
    """The figures a reader looks at first, of one load case or combination."""
    solution = shown.solution
    largest = shown.largest(column)
    summary: dict[str, Any] = {
        "Kind": group, "Id": target, "Name": name,
        "LargestDisplacement": {"Value": largest.value, **dict(zip("xyz", largest.components.tolist())),
                                "At": largest.point.tolist(), "Where": largest.where},
        "LargestMoments": {key: {"Value": value, "Beam": beam, "Position": position}
                           for key, (value, beam, position) in shown.moments(column).items()
                           if key == "My" or shown.mz_shown(column)},
    }
    total = np.zeros(3)
    for forces in solution.support_forces.values():
        total += forces[1, :3, column]
    summary["SupportForces"] = dict(zip("xyz", (total + 0.0).tolist()))
    if solution.applied is not None:
        summary["AppliedLoad"] = dict(zip("xyz", (solution.applied[column] + 0.0).tolist()))
    summary["LineSupports"] = bool(model.line_supports)
    return summary


def _vector(values: dict[str, float], scale: float = 1.0, digits: str = ".4g") -> str:
    """(x, y, z) of a vector; what is below a millionth of its largest component shows as 0 (round-off)."""
    largest = max(abs(values[k]) for k in "xyz")
    return "(" + ", ".join(f"{scale * values[k]:{digits}}" if abs(values[k]) > 1e-6 * largest else "0"
                           for k in "xyz") + ")"


def _summary_list(summary: dict[str, Any]) -> str:
    largest = summary["LargestDisplacement"]
    items = [f"largest displacement {1000 * largest['Value']:.4g} mm, (ux, uy, uz) = {_vector(largest, 1000.0)} mm, "
             f"at {largest['Where']}"]
    for key, moment in summary["LargestMoments"].items():
        items.append(f"largest |{key}| of the beams {moment['Value']:.4g} kNm, beam {moment['Beam']} at "
                     f"{moment['Position']:.3g} m from its start")
    support = summary["SupportForces"]
    line = f"node supports carry (FX, FY, FZ) = {_vector(support)} kN"
    if "AppliedLoad" in summary:
        line += f"; the applied load is {_vector(summary['AppliedLoad'])} kN"
        if summary["LineSupports"]:
            line += " (the beams' elastic foundations carry the rest)"
    items.append(line)
    return '<ul class="summary">' + "".join(f"<li>{html.escape(item)}</li>" for item in items) + "</ul>"


def page_summary(page: bytes | str) -> list[dict[str, Any]]:
    """The summaries a result page embeds, one per load case and combination in the page's order.

    Each: {"Kind": "LoadCases" | "LoadCombinations", "Id", "Name", "LargestDisplacement": {"Value" (m), "x", "y",
    "z", "At": [x, y, z], "Where"}, "LargestMoments": {"My", and "Mz" where it is more than negligible:
    {"Value" (kNm), "Beam", "Position" (m)}},
    "SupportForces": {"x", "y", "z"}, "AppliedLoad": {"x", "y", "z"} (kN), "LineSupports"}.
    """
    text = page.decode("utf-8") if isinstance(page, bytes) else page
    start = text.find(_SUMMARY_START)
    if start < 0:
        raise ValueError("the page holds no summary: it was not written by this worker, or has no solution")
    end = text.index("</script>", start)
    columns: list[dict[str, Any]] = json.loads(text[start + len(_SUMMARY_START):end])["Columns"]
    return columns


_SUMMARY_START = '<script type="application/json" id="summary">'


@lru_cache(maxsize=1)
def _page() -> Template:
    """The page template (data/result_page.html): the page around its $body."""
    return Template(resources.files("tessel.local.plexum_worker").joinpath("data/result_page.html").read_text("utf-8"))
