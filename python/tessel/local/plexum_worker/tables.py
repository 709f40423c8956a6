"""The result page's tables of the requested results, as HTML, per load case and combination.

A table of more than MAX_ROWS rows shows its first MAX_ROWS and links the
whole of it as gzip-compressed CSV embedded in the page, so that the page
stays small and needs no network. A page embeds at most EMBEDDED_TABLES
bytes of such data (the first tables that fit); a table beyond says that its
rows are in the job's results only.
"""

from __future__ import annotations

import base64
import functools
import html
import re
from collections.abc import Callable
from typing import Any

from . import _tables, compression
from .model import Model

AXES = ("x", "y", "z", "xx", "yy", "zz")
MAX_ROWS = 200
# Room for whole tables in one page (base64 of gzip-compressed CSV, bytes): the page stays within 10 MB.
EMBEDDED_TABLES = 6_000_000
# Columns of a section's points that the table shows apart (position and domain) or not at all.
_POINT_PLACE = ("Position", "x", "y", "z", "Domain")
Column = tuple[str, str]  # ("LoadCases" | "LoadCombinations", id as text)


class Room:
    """What is left of a page's room for whole tables (bytes)."""

    def __init__(self, size: int = EMBEDDED_TABLES) -> None:
        self.size = self.left = size


def result_tables(model: Model, results: dict[str, Any]) -> dict[Column, list[str]]:
    """Per load case and combination: tables of its displacements, support forces, beam forces and sections."""
    out: dict[Column, list[str]] = {}
    room = Room()
    table = functools.partial(_table, room=room)  # every table of the page shares its room

    def add(column: Column, text: str) -> None:
        out.setdefault(column, []).append(text)

    for column, rows in _by_column(results["Displacements"]["Nodes"]).items():
        add(column, table("Nodal displacements (global axes; mm, mrad)",
                          ["node"] + [f"u{a}" if len(a) == 1 else f"r{a[0]}" for a in AXES],
                          [[node] + [1e3 * v[a] for a in AXES] for node, v in rows]))
    for column, rows in _by_column(results["Forces"]["NodalSupports"]).items():
        add(column, table("Support forces on the structure (global axes; kN, kNm)",
                          ["support", "FX", "FY", "FZ", "MX", "MY", "MZ"],
                          [[support] + [v["Global"][a] for a in AXES] for support, v in rows]))
        add(column, table("Support forces on the structure (member axes; kN, kNm)",
                          ["support", "Fx", "Fy", "Fz", "Mx", "My", "Mz"],
                          [[support] + [v["Local"][a] for a in AXES] for support, v in rows]))
    for column, rows in _by_column(results["Forces"]["Lines"]).items():
        add(column, table("Beam internal forces (member axes; kN, kNm; N > 0 tension)",
                          ["beam", "position", "N", "Vy", "Vz", "Mx", "My", "Mz"],
                          _record_rows(rows, ("Position", "N", "Vy", "Vz", "Mx", "My", "Mz"))))
    for section, kinds in results["Sections"].items():
        for kind, groups in kinds.items():
            for key, result in groups["LoadCombinations"].items():
                for text in _section_tables(model, section, kind, result, table):
                    add(("LoadCombinations", key), text)
    return out


def _by_column(entries: dict[str, Any]) -> dict[Column, list[tuple[str, Any]]]:
    """{target: {group: {key: value}}} regrouped as {(group, key): [(target, value), ...]}."""
    fast = _tables.by_column(entries)  # of dicts
    if fast is not None:
        return fast
    out: dict[Column, list[tuple[str, Any]]] = {}
    for target, groups in entries.items():
        for group, values in groups.items():
            for key, value in values.items():
                out.setdefault((group, key), []).append((target, value))
    return out


def _record_rows(entries: list[tuple[str, Any]], keys: tuple[str, ...]) -> list[list[Any]]:
    """A row [target, record[key] for each key] per record of each (target, records)."""
    fast = _tables.record_rows(entries, keys)  # lists of dicts
    if fast is not None:
        return fast
    return [[target, *(record[key] for key in keys)] for target, records in entries for record in records]


def _section_tables(model: Model, section: str, kind: str, result: dict[str, Any],
                    table: Callable[[str, list[Any], list[list[Any]]], str]) -> list[str]:
    points = result["Points"]
    names = [k for k in points[0] if k not in _POINT_PLACE] if points else []
    title = (f"Section {section} '{model.section_cuts[int(section) - 1].name}', "
             f"{'surface forces (kNm/m, kN/m)' if kind == 'SurfaceForces' else 'stresses (kN/m2)'}")
    integrals = result["Integrals"]
    return [table(title + ": integrals along the cut", list(integrals), [list(integrals.values())]),
            table(title, ["position", "domain"] + names,
                  [[p["Position"], p["Domain"]] + [p[n] for n in names] for p in points])]


def _cell(value: Any) -> str:
    if isinstance(value, float):
        # Three decimals of the table's unit; what rounds to zero shows as 0 (no "-0.000").
        text = f"{value:.3f}"
        return "0" if float(text) == 0 else text
    return html.escape(str(value))


def table(title: str, header: list[Any], rows: list[list[Any]]) -> str:
    """A table of its first MAX_ROWS rows, linking all of them if it has more."""
    return _table(title, header, rows, Room())


def _table(title: str, header: list[Any], rows: list[list[Any]], room: Room) -> str:
    out = [f"<h3>{html.escape(title)}</h3>"]
    if len(rows) > MAX_ROWS:
        out.append(f"<p>The first {MAX_ROWS} of {len(rows):,} rows; {download(title, header, rows, room)}</p>")
    out.append("<table><tr>" + "".join(f"<th>{html.escape(str(h))}</th>" for h in header) + "</tr>")
    shown = rows[:MAX_ROWS]
    fast = _tables.html_rows(shown)  # rows of floats, str and int, a line each
    if fast is None:  # rows holding other values, the same way in Python
        out += ["<tr>" + "".join(f"<td>{_cell(v)}</td>" for v in row) + "</tr>" for row in shown]
    elif shown:
        out.append(fast)
    out.append("</table>")
    return "\n".join(out)


def _csv_rows(rows: list[list[Any]]) -> bytes:
    """The rows as UTF-8 CSV: "%.6g" of each float, str() of any other value."""
    fast = _tables.csv_rows(rows)  # rows of floats, str and int
    if fast is not None:
        return fast
    # Rows holding other values (bools, None, subclasses) the same way, in Python.
    body = "".join(",".join(f"{v:.6g}" if isinstance(v, float) else str(v) for v in row) + "\n" for row in rows)
    return body.encode("utf-8")


def download(title: str, header: list[Any], rows: list[list[Any]], room: Room) -> str:
    """A link to the whole table as gzip-compressed CSV, embedded in the page if it has room for it."""
    beyond = (f"all {len(rows):,} rows are in the job's results (this page embeds at most "
              f"{room.size / 1e6:.3g} MB of whole tables)")
    if len(rows) * len(header) > 2 * room.left:  # compressed, a cell takes more than half a byte
        return beyond
    text = (",".join(str(h) for h in header) + "\n").encode("utf-8") + _csv_rows(rows)
    data = base64.b64encode(compression.gzip_file(text, 1)).decode("ascii")
    if len(data) > room.left:
        return beyond
    room.left -= len(data)
    name = re.sub(r"[^a-z0-9]+", "-", title.lower()).strip("-")[:60] + ".csv.gz"
    return (f'<a download="{name}" href="data:application/gzip;base64,{data}">all rows as CSV '
            "(gzip-compressed)</a>")


__all__ = ["EMBEDDED_TABLES", "MAX_ROWS", "Room", "download", "result_tables", "table"]
