"""The model file (JSON of what the worker understood) and the result file (an HTML page of what it computed).

The page is the template data/result_page.html filled with a summary, the
pictures `figures` chooses (drawn by `drawing`) and the tables of `tables`.
"""

from __future__ import annotations

import html
import json
from functools import lru_cache
from importlib import resources
from string import Template
from typing import Any

from . import drawing
from .figures import MAX_PICTURED_COLUMNS, figures, result_columns
from .frame import Frame
from .mesh import SURFACE_TYPES, DomainMesh
from .model import COMBINATION_TYPES, GRAVITY, Domain, Line, Load, Model
from .recovery import Solution
from .tables import result_tables


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
    body = _summary(model, results)
    if solution is not None:
        columns = len(result_columns(model, solution))
        pictures = figures(model, solution)
        if columns > MAX_PICTURED_COLUMNS:
            body.append(f"<p>Pictures of the first {MAX_PICTURED_COLUMNS} of {columns} load cases and "
                        "combinations.</p>")
        body.append('<div class="figures">')
        body += [f"<figure>{drawing.svg(picture)}</figure>" for picture in pictures]
        body.append("</div>")
    body += result_tables(model, results)
    return _page().substitute(body="\n".join(body)).encode("utf-8")


def _summary(model: Model, results: dict[str, Any]) -> list[str]:
    """The page's title, units, load cases, combinations and notes."""
    cases = ", ".join(f"{c.id} '{c.name}'" for c in model.load_cases)
    combinations = ", ".join(f"{c.id} '{c.name}' = " + " + ".join(f"{f:g} x LC{case.id}" for case, f in c.factors)
                             for c in model.load_combinations)
    body = ["<h1>Linear static analysis</h1><p>Units: m, rad, kN, kNm. Global axes X, Y, Z with Z up.</p>",
            "<p>Load cases: " + html.escape(cases or "none") + "</p>",
            "<p>Load combinations: " + html.escape(combinations or "none") + "</p>"]
    body += [f'<p class="note">{html.escape(note)}</p>' for note in results.get("Notes", [])]
    return body


@lru_cache(maxsize=1)
def _page() -> Template:
    """The page template (data/result_page.html): the page around its $body."""
    return Template(resources.files("tessel.local.plexum_worker").joinpath("data/result_page.html").read_text("utf-8"))
