"""The model file (JSON of what the worker understood) and the result file (an HTML page of what it computed)."""

from __future__ import annotations

import html
import json

from .model import COMBINATION_TYPES, Model, ResultsRequest

_AXES = ("x", "y", "z", "xx", "yy", "zz")


def model_file(model: Model, frame=None) -> bytes:
    """The model as JSON text: every object resolved, with the properties the analysis uses."""
    local_axes = {}
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


def _domain(domain, mesh) -> dict:
    kinds = {0: "hole", 1: "membrane (plane stress)", 2: "membrane (plane strain)", 3: "plate", 4: "shell"}
    entry = {"Id": domain.id, "LineIds": domain.line_ids, "Material": domain.material.id,
             "Thickness": domain.thickness, "SurfaceType": domain.surface_type, "Kind": kinds[domain.surface_type],
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


def _line(line, axes) -> dict:
    entry = {"Id": line.id, "StartNode": line.start.id, "EndNode": line.end.id,
             "Geometry": "arc" if line.arc else "straight", "Parts": line.parts, "Record": line.record}
    if line.arc:
        entry["Arc"] = {"Center": line.arc.center, "Normal": line.arc.normal, "Alfa": line.arc.alpha}
    if line.beam:
        entry["Beam"] = {"Material": line.beam.material.id, "CrossSection": line.beam.cross_section.id,
                         "Reference": line.reference.id if line.reference else None, "Record": line.beam.record}
        if axes:
            entry["Beam"]["LocalAxesAtStart"] = axes
    return entry


def _load(load) -> dict:
    entry = {"Id": load.id, "Kind": load.kind, "LoadCase": load.load_case.id, "Record": load.record}
    if load.line is not None:
        beam = load.line.beam
        entry["Beam"] = load.line.id
        entry["q"] = beam.material.rho * beam.cross_section.area * 9.80665 / 1000.0
        entry["Direction"] = "-Z global, kN/m"
    if load.domain is not None:
        entry["Domain"] = load.domain.id
    return entry


def result_file(model: Model, request: ResultsRequest, results: dict, solution=None) -> bytes:
    """The result file: a self-contained HTML page with pictures and tables of the requested results."""
    from . import drawing
    from .results import stations as beam_stations

    cases = {str(c.id): c.name for c in model.load_cases}
    combinations = {str(c.id): c.name for c in model.load_combinations}

    def label(group: str, key: str) -> str:
        return f"LC {key} '{cases[key]}'" if group == "LoadCases" else f"CO {key} '{combinations[key]}'"

    body = [f"<h1>Linear static analysis</h1><p>Units: m, rad, kN, kNm. Global axes X, Y, Z with Z up.</p>",
            "<p>Load cases: " + html.escape(", ".join(f"{i} '{n}'" for i, n in cases.items()) or "none") + "</p>",
            "<p>Load combinations: " + html.escape(", ".join(
                f"{c.id} '{c.name}' = " + " + ".join(f"{f:g} x LC{case.id}" for case, f in c.factors)
                for c in model.load_combinations) or "none") + "</p>"]
    for note in results.get("Notes", []):
        body.append(f'<p class="note">{html.escape(note)}</p>')
    if solution is not None:
        frame = solution.frame
        figures = [drawing.model_picture(model, frame)]
        columns = [(f"LC {c.id} '{c.name}'", solution.columns[("case", c.id)]) for c in model.load_cases]
        columns += [(f"CO {c.id} '{c.name}'", solution.columns[("combination", c.id)])
                    for c in model.load_combinations]
        station_data = beam_stations(solution) if frame.chains else None
        for name, column in columns[:MAX_PICTURED_COLUMNS]:
            figures.append(drawing.deformed_picture(model, solution, column, name))
            if station_data is not None:
                figures.append(drawing.moment_picture(model, solution, station_data, column, name))
            shells = solution.shells
            if shells is not None:
                bending = not shells.membrane.all()
                if bending:
                    figures.append(drawing.contour_picture(model, solution, column, name, 0, "Slab moments mx",
                                                           "kNm/m", False if shells.membrane.any() else None))
                    figures.append(drawing.contour_picture(model, solution, column, name, 1, "Slab moments my",
                                                           "kNm/m", False if shells.membrane.any() else None))
                if shells.membrane.any():
                    figures.append(drawing.contour_picture(model, solution, column, name, 5,
                                                           "Membrane forces nx", "kN/m", True if bending else None))
                    figures.append(drawing.contour_picture(model, solution, column, name, 6,
                                                           "Membrane forces ny", "kN/m", True if bending else None))
        if len(columns) > MAX_PICTURED_COLUMNS:
            body.append(f"<p>Pictures of the first {MAX_PICTURED_COLUMNS} of {len(columns)} load cases and "
                        "combinations.</p>")
        body.append('<div class="figures">')
        for figure in figures:
            body.append(f'<figure>{drawing.svg(figure)}</figure>')
        body.append("</div>")

    nodes = results["Displacements"]["Nodes"]
    if nodes:
        body.append(_table("Nodal displacements (global axes; mm, mrad)",
                           ["node", "case"] + [f"u{a}" if len(a) == 1 else f"r{a[0]}" for a in _AXES],
                           [[node, label(group, key)] + [1e3 * v[a] for a in _AXES]
                            for node, groups in nodes.items() for group, values in groups.items()
                            for key, v in values.items()]))
    supports = results["Forces"]["NodalSupports"]
    if supports:
        body.append(_table("Support forces on the structure (member axes; kN, kNm)",
                           ["support", "case", "Fx", "Fy", "Fz", "Mx", "My", "Mz"],
                           [[support, label(group, key)] + [v["Local"][a] for a in _AXES]
                            for support, groups in supports.items() for group, values in groups.items()
                            for key, v in values.items()]))
    lines = results["Forces"]["Lines"]
    if lines:
        body.append(_table("Beam internal forces (member axes; kN, kNm; N > 0 tension)",
                           ["beam", "case", "position", "N", "Vy", "Vz", "Mx", "My", "Mz"],
                           [[line, label(group, key), s["Position"], s["N"], s["Vy"], s["Vz"], s["Mx"], s["My"],
                             s["Mz"]]
                            for line, groups in lines.items() for group, values in groups.items()
                            for key, stations in values.items() for s in stations]))
    for section, kinds in results["Sections"].items():
        for kind, groups in kinds.items():
            for key, result in groups["LoadCombinations"].items():
                points = result["Points"]
                names = [k for k in points[0] if k not in ("Position", "x", "y", "z", "Domain")] if points else []
                title = (f"Section {section} '{model.section_cuts[int(section) - 1].name}', "
                         f"{'surface forces (kNm/m, kN/m)' if kind == 'SurfaceForces' else 'stresses (kN/m2)'}, "
                         f"{label('LoadCombinations', key)}")
                integrals = result["Integrals"]
                body.append(_table(title + ": integrals along the cut", list(integrals),
                                   [list(integrals.values())]))
                body.append(_table(title, ["position", "domain"] + names,
                                   [[p["Position"], p["Domain"]] + [p[n] for n in names] for p in points]))
    page = _PAGE.format(body="\n".join(body))
    return page.encode("utf-8")


MAX_PICTURED_COLUMNS = 6
_PAGE = """<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Linear static analysis</title>
<style>
body {{ font-family: sans-serif; margin: 24px; color: #222; }}
h1 {{ font-size: 22px; }} h2 {{ font-size: 16px; margin-top: 28px; }}
.note {{ background: #fff6d8; padding: 6px 10px; border-left: 4px solid #e0a030; }}
.figures {{ display: grid; grid-template-columns: repeat(auto-fill, minmax(560px, 1fr)); gap: 16px; }}
figure {{ margin: 0; border: 1px solid #ddd; max-width: 900px; }}
figure svg {{ display: block; width: 100%; height: auto; }}
table {{ border-collapse: collapse; font-size: 12px; }}
td, th {{ border: 1px solid #ddd; padding: 2px 6px; text-align: right; }}
th {{ background: #f0f3f7; }}
</style></head>
<body>
{body}
</body></html>
"""


def _table(title: str, header: list, rows: list) -> str:
    def cell(value) -> str:
        if isinstance(value, float):
            # Three decimals of the table's unit; what rounds to zero shows as 0 (no "-0.000").
            text = f"{value:.3f}"
            return "0" if float(text) == 0 else text
        return html.escape(str(value))
    out = [f"<h2>{html.escape(title)}</h2><table><tr>" + "".join(f"<th>{html.escape(str(h))}</th>" for h in header)
           + "</tr>"]
    out += ["<tr>" + "".join(f"<td>{cell(v)}</td>" for v in row) + "</tr>" for row in rows]
    out.append("</table>")
    return "\n".join(out)

