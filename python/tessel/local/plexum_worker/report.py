"""The model file and the result file: readable text of what the worker understood and computed."""

from __future__ import annotations

import json

from .model import COMBINATION_TYPES, Model, ResultsRequest

_AXES = ("x", "y", "z", "xx", "yy", "zz")


def model_file(model: Model, frame=None) -> bytes:
    """The model as JSON text: every object resolved, with the properties the analysis uses."""
    local_axes = {}
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
        "Domains": [{"Id": d.id, "LineIds": d.line_ids, "Material": d.material.id, "Thickness": d.thickness,
                     "SurfaceType": d.surface_type, "Computed": False, "Record": d.record} for d in model.domains],
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


def result_file(model: Model, request: ResultsRequest, results: dict) -> bytes:
    """The requested results as plain-text tables."""
    out = ["Linear static analysis", "Units: m, rad, kN, kNm", ""]
    cases = {str(c.id): c.name for c in model.load_cases}
    combinations = {str(c.id): c.name for c in model.load_combinations}
    out.append("Load cases: " + (", ".join(f"{i} '{n}'" for i, n in cases.items()) or "none"))
    out.append("Load combinations: " + (", ".join(
        f"{c.id} '{c.name}' = " + " + ".join(f"{f:g} x LC{case.id}" for case, f in c.factors)
        for c in model.load_combinations) or "none"))

    def label(group: str, key: str) -> str:
        return f"LC {key} '{cases[key]}'" if group == "LoadCases" else f"CO {key} '{combinations[key]}'"

    nodes = results["Displacements"]["Nodes"]
    if nodes:
        out += ["", "Nodal displacements (global axes; m, rad)",
                _row(["node", "case"] + [f"u{a}" if len(a) == 1 else f"r{a[0]}" for a in _AXES])]
        for node, groups in nodes.items():
            for group, values in groups.items():
                for key, v in values.items():
                    out.append(_row([node, label(group, key)] + [v[a] for a in _AXES]))
    supports = results["Forces"]["NodalSupports"]
    if supports:
        out += ["", "Support forces on the structure (member axes; kN, kNm)",
                _row(["support", "case", "Fx", "Fy", "Fz", "Mx", "My", "Mz"])]
        for support, groups in supports.items():
            for group, values in groups.items():
                for key, v in values.items():
                    out.append(_row([support, label(group, key)] + [v["Local"][a] for a in _AXES]))
    lines = results["Forces"]["Lines"]
    if lines:
        out += ["", "Beam internal forces (member axes; kN, kNm; N > 0 tension)",
                _row(["beam", "case", "position", "N", "Vy", "Vz", "Mx", "My", "Mz"])]
        for line, groups in lines.items():
            for group, values in groups.items():
                for key, stations in values.items():
                    for s in stations:
                        out.append(_row([line, label(group, key), s["Position"], s["N"], s["Vy"], s["Vz"],
                                         s["Mx"], s["My"], s["Mz"]]))
    return ("\n".join(out) + "\n").encode("utf-8")


def _row(cells: list) -> str:
    return " ".join(f"{c: >13.6g}" if isinstance(c, float) else f"{c!s: >13}" for c in cells).rstrip()
