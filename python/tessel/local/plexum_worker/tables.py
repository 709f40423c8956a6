"""The result page's tables of the requested results, as HTML: one table per kind of result and per section."""

from __future__ import annotations

import html
from collections.abc import Callable
from typing import Any

from .model import Model

AXES = ("x", "y", "z", "xx", "yy", "zz")
# Columns of a section's points that the table shows apart (position and domain) or not at all.
_POINT_PLACE = ("Position", "x", "y", "z", "Domain")


def result_tables(model: Model, results: dict[str, Any]) -> list[str]:
    """Tables of the displacements, support forces, beam forces and sections in the results."""
    cases = {str(c.id): c.name for c in model.load_cases}
    combinations = {str(c.id): c.name for c in model.load_combinations}

    def label(group: str, key: str) -> str:
        return f"LC {key} '{cases[key]}'" if group == "LoadCases" else f"CO {key} '{combinations[key]}'"

    out = []
    nodes = results["Displacements"]["Nodes"]
    if nodes:
        out.append(table("Nodal displacements (global axes; mm, mrad)",
                         ["node", "case"] + [f"u{a}" if len(a) == 1 else f"r{a[0]}" for a in AXES],
                         [[node, label(group, key)] + [1e3 * v[a] for a in AXES]
                          for node, groups in nodes.items() for group, values in groups.items()
                          for key, v in values.items()]))
    supports = results["Forces"]["NodalSupports"]
    if supports:
        out.append(table("Support forces on the structure (member axes; kN, kNm)",
                         ["support", "case", "Fx", "Fy", "Fz", "Mx", "My", "Mz"],
                         [[support, label(group, key)] + [v["Local"][a] for a in AXES]
                          for support, groups in supports.items() for group, values in groups.items()
                          for key, v in values.items()]))
    lines = results["Forces"]["Lines"]
    if lines:
        out.append(table("Beam internal forces (member axes; kN, kNm; N > 0 tension)",
                         ["beam", "case", "position", "N", "Vy", "Vz", "Mx", "My", "Mz"],
                         [[line, label(group, key), s["Position"], s["N"], s["Vy"], s["Vz"], s["Mx"], s["My"],
                           s["Mz"]]
                          for line, groups in lines.items() for group, values in groups.items()
                          for key, stations in values.items() for s in stations]))
    out += _section_tables(model, results["Sections"], label)
    return out


def _section_tables(model: Model, sections: dict[str, Any], label: Callable[[str, str], str]) -> list[str]:
    out = []
    for section, kinds in sections.items():
        for kind, groups in kinds.items():
            for key, result in groups["LoadCombinations"].items():
                points = result["Points"]
                names = [k for k in points[0] if k not in _POINT_PLACE] if points else []
                title = (f"Section {section} '{model.section_cuts[int(section) - 1].name}', "
                         f"{'surface forces (kNm/m, kN/m)' if kind == 'SurfaceForces' else 'stresses (kN/m2)'}, "
                         f"{label('LoadCombinations', key)}")
                integrals = result["Integrals"]
                out.append(table(title + ": integrals along the cut", list(integrals), [list(integrals.values())]))
                out.append(table(title, ["position", "domain"] + names,
                                 [[p["Position"], p["Domain"]] + [p[n] for n in names] for p in points]))
    return out


def _cell(value: Any) -> str:
    if isinstance(value, float):
        # Three decimals of the table's unit; what rounds to zero shows as 0 (no "-0.000").
        text = f"{value:.3f}"
        return "0" if float(text) == 0 else text
    return html.escape(str(value))


def table(title: str, header: list[Any], rows: list[list[Any]]) -> str:
    out = [f"<h2>{html.escape(title)}</h2><table><tr>" + "".join(f"<th>{html.escape(str(h))}</th>" for h in header)
           + "</tr>"]
    out += ["<tr>" + "".join(f"<td>{_cell(v)}</td>" for v in row) + "</tr>" for row in rows]
    out.append("</table>")
    return "\n".join(out)
