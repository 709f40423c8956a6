"""What the pictures show: the model, and per load case and combination its loads, deformed shape, beam
moments, slab contours and section cuts; with the figures the page's summary quotes (`Extremes`).

The pictures are drawn on the canvas of `drawing`. Deformed beams follow
their elements' own shape functions: cubic (Hermite) in the end
displacements and rotations, plus the deflection of a fixed-ended element
under its uniform load, which together are exact for a straight beam
element under a uniform load.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from . import drawing
from .drawing import (Formatted, Occluders, Picture, Polylines, Scale, SurfaceGeometry, draw_beams, plural,
                      viewed)
from .frame import BeamChain, Frame
from .geometry import FloatArray, IntArray, extent
from .loads import load_field
from .mesh import DomainMesh
from .model import GRAVITY, Line, Load, Model
from .recovery import Solution
from .results import stations

MAX_PICTURED_COLUMNS = 6
# Mz is drawn when its largest value is more than this share of the largest My.
MZ_SHOWN = 0.01
CASE_COLOURS = ("#c0392b", "#2471a3", "#1e8449", "#b9770e", "#7d3c98", "#148f77", "#a04000", "#5d6d7e")
CUT_COLOUR = "#8e44ad"
BEAM_COLOUR = "#1f3b5a"
CURVE_POINTS = 9
MANY_ELEMENTS = 2000  # above it, a deformed element is drawn in one colour
_BEAM_ARROWS = 40  # beams a load case's self-weight arrows are drawn on, at most
_SURFACE_ARROWS = 3  # a surface load's arrows per direction of its domain


def result_columns(model: Model, solution: Solution) -> list[tuple[str, int]]:
    """(name, result column) of every load case, then every combination."""
    columns = [(f"LC {c.id} '{c.name}'", solution.columns[("case", c.id)]) for c in model.load_cases]
    columns += [(f"CO {c.id} '{c.name}'", solution.columns[("combination", c.id)]) for c in model.load_combinations]
    return columns


def _extent(points: FloatArray) -> float:
    return extent(points) if len(points) > 1 else 1.0


def beam_nodes(frame: Frame, chain: BeamChain) -> list[int]:
    inner: list[int] = frame.j[chain.first:chain.first + chain.count].tolist()
    return [int(frame.i[chain.first])] + inner


def beam_lines(frame: Frame) -> Polylines:
    """Every beam as the polyline of its FE nodes."""
    counts = np.array([chain.count for chain in frame.chains], np.int64)
    firsts = np.array([chain.first for chain in frame.chains], np.int64)
    # Per beam: the start of its first element, then the end of each of its elements.
    starts = np.concatenate([[0], np.cumsum(counts + 1)])
    nodes = np.empty(int(starts[-1]), np.int64)
    nodes[starts[:-1]] = frame.i[firsts]
    inner = np.ones(len(nodes), bool)
    inner[starts[:-1]] = False
    elements = np.repeat(firsts - (np.cumsum(counts) - counts), counts) + np.arange(int(counts.sum()))
    nodes[inner] = frame.j[elements]
    return Polylines(frame.xyz[nodes], starts)


def _beam_labels(frame: Frame) -> tuple[list[str], FloatArray]:
    """Each beam's label and the point it is written at: the middle of its middle element."""
    middle = np.array([chain.first + chain.count // 2 for chain in frame.chains], dtype=np.int64)
    at = (frame.xyz[frame.i[middle]] + frame.xyz[frame.j[middle]]) / 2 if len(middle) else np.zeros((0, 3))
    return [f"B{chain.line.id}" for chain in frame.chains], at


def _cut_ends(model: Model) -> list[tuple[int, str, FloatArray]]:
    return [(cut.id, cut.name, np.array([[cut.data[p][k] for k in "xyz"] for p in ("P", "SegmentEndP")], float))
            for cut in model.section_cuts]


def _draw_cuts(picture: Picture, model: Model) -> None:
    for cut_id, name, ends in _cut_ends(model):
        picture.line(ends, CUT_COLOUR, 2.0, dash="7 4")
        picture.text(ends[1], f"cut {cut_id} '{name}'", fill=CUT_COLOUR, priority=50, group="cut names")


def _outlines(picture: Picture, meshes: list[DomainMesh]) -> None:
    """The domains' outlines and holes as thin lines: the slab as context, at no cost in a large mesh."""
    for mesh in meshes:
        for loop in [mesh.outline] + mesh.holes:
            points = loop.points()
            picture.line(np.concatenate([points, points[:1]]), "#8aa9cc", 1.0)


def _context(picture: Picture, meshes: list[DomainMesh], geometry: SurfaceGeometry) -> None:
    """The domains behind a picture's results: pale quadrilaterals, or their outlines when there are many."""
    if len(geometry) > drawing.RASTER_QUADS:
        _outlines(picture, meshes)
    elif len(geometry):
        picture.surface(geometry, "#eef2f6", opacity=0.7)


def _domain_points(mesh: DomainMesh, xyz: FloatArray, count: int) -> FloatArray:
    """A few centres of the domain's quadrilaterals spread over it: the nearest to a count x count grid."""
    centres = xyz[mesh.quads].mean(axis=1)
    plane = mesh.outline.to_plane(centres)
    low, high = plane.min(axis=0), plane.max(axis=0)
    grid = np.stack(np.meshgrid(*(np.linspace(lo + (hi - lo) / (2 * count), hi - (hi - lo) / (2 * count), count)
                                  for lo, hi in zip(low, high))), axis=-1).reshape(-1, 2)
    chosen = np.unique(np.argmin(((plane[None] - grid[:, None]) ** 2).sum(axis=2), axis=1))
    found: FloatArray = centres[chosen]
    return found


def _load_text(q: FloatArray, unit: str) -> str:
    """A load vector as its nonzero global components, e.g. "qx +0.8 kN/m2"."""
    parts = [f"q{axis} {value:+.3g}" for axis, value in zip("xyz", q.tolist()) if abs(value) > 1e-9 * np.abs(q).max()]
    return " ".join(parts) + f" {unit}"


@dataclass
class ModelParts:
    """What the pictures of a model draw of it, gathered once for all of them: its nodes' points, its lines
    drawn without a beam, its surface loads (with their meshes) and, per load case, its loads on beams with their
    weight per length (kN/m)."""
    node_points: FloatArray
    bare_lines: list[Line]
    surface_loads: list[tuple[Load, DomainMesh]]
    beam_loads: dict[int, list[tuple[Load, float]]]

    @classmethod
    def of(cls, model: Model, frame: Frame) -> ModelParts:
        meshes = {mesh.domain.id: mesh for mesh in frame.meshes}
        surface: list[tuple[Load, DomainMesh]] = []
        beams: dict[int, list[tuple[Load, float]]] = {}
        for load in model.loads:
            mesh = meshes.get(load.domain.id) if load.domain is not None else None
            if mesh is not None:
                surface.append((load, mesh))
            if load.line is not None and load.line.beam is not None:
                beam = load.line.beam
                weight = beam.material.rho * beam.cross_section.area * GRAVITY / 1000.0
                beams.setdefault(load.load_case.id, []).append((load, weight))
        return cls(np.array([node.point for node in model.nodes], float).reshape(-1, 3),
                   [line for line in model.lines if line.beam is None and line.id not in frame.line_nodes],
                   surface, beams)


def load_arrows(picture: Picture, model: Model, frame: Frame, cases: list[int] | None = None,
                parts: ModelParts | None = None) -> list[str]:
    """Arrows of the loads of the given load cases (None: all) in their direction and scaled by their magnitude,
    coloured by load case; returns the legend's line of the colours."""
    parts = parts if parts is not None else ModelParts.of(model, frame)
    extent = _extent(frame.xyz)
    surface: list[tuple[Load, FloatArray, FloatArray]] = []
    for load, mesh in parts.surface_loads:
        if cases is None or load.load_case.id in cases:
            points = _domain_points(mesh, frame.xyz, _SURFACE_ARROWS)
            surface.append((load, points, load_field(load, mesh, points)))
    beams = {case: loads for case, loads in parts.beam_loads.items() if cases is None or case in cases}
    largest_q = max((float(np.max(np.linalg.norm(q, axis=1))) for _, _, q in surface), default=0.0)
    largest_w = max((w for loads in beams.values() for _, w in loads), default=0.0)
    length = 0.14 * extent
    colours: dict[int, str] = {}
    for load, points, q in surface:
        colour = colours.setdefault(load.load_case.id, CASE_COLOURS[(load.load_case.id - 1) % len(CASE_COLOURS)])
        size = np.linalg.norm(q, axis=1)
        for point, vector, magnitude in zip(points, q, size):
            if magnitude > 0:
                # The arrow ends on the surface, coming from where the load pushes from.
                arrow_length = length * max(magnitude / largest_q, 0.25)
                picture.arrow(point - vector / magnitude * arrow_length, point, colour)
        peak = int(np.argmax(size))
        if size[peak] > 0:
            tail = points[peak] - q[peak] / size[peak] * length * max(size[peak] / largest_q, 0.25)
            picture.text(tail, f"LC{load.load_case.id}: {_load_text(q[peak], 'kN/m2')}", fill=colour,
                         priority=40, group="load labels")
    for case, loads in beams.items():
        colour = colours.setdefault(case, CASE_COLOURS[(case - 1) % len(CASE_COLOURS)])
        step = max(1, math.ceil(len(loads) / _BEAM_ARROWS))
        for load, weight in loads[::step]:
            chain = frame.chain_of.get(load.line.id) if load.line is not None else None
            if chain is None:
                continue
            nodes = beam_nodes(frame, chain)
            middle = frame.xyz[nodes].mean(axis=0)
            arrow_length = 0.6 * length * max(weight / largest_w, 0.25)
            picture.arrow(middle + np.array([0.0, 0.0, arrow_length]), middle, colour, 1.2)
        heaviest = max(loads, key=lambda item: item[1])
        chain = frame.chain_of.get(heaviest[0].line.id) if heaviest[0].line is not None else None
        if chain is not None:
            middle = frame.xyz[beam_nodes(frame, chain)].mean(axis=0)
            picture.text(middle + np.array([0.0, 0.0, 0.6 * length]),
                         f"LC{case}: self-weight {heaviest[1]:.3g} kN/m", fill=colour, priority=30,
                         group="load labels")
    if not colours:
        return []
    shown = "; ".join(f"LC {case} {CASE_NAMES.get(colour, colour)}" for case, colour in sorted(colours.items()))
    note = f"loads: arrows in their direction, length by magnitude ({shown})"
    drawn = sum(len(loads) for loads in beams.values())
    if drawn > _BEAM_ARROWS:
        note += f"; self-weight on 1 in {math.ceil(drawn / _BEAM_ARROWS)} beams"
    return [note]


CASE_NAMES: dict[str, str] = dict(zip(CASE_COLOURS, ("red", "blue", "green", "ochre", "violet", "teal", "brown",
                                                     "grey")))


def model_picture(model: Model, frame: Frame, title: str = "Model", geometry: SurfaceGeometry | None = None,
                  cases: list[int] | None = None, outlines: bool = False, ids: bool = True,
                  beams: Polylines | None = None, parts: ModelParts | None = None) -> Picture:
    """Nodes and beams (with their ids), domains (their mesh; with `outlines` their outlines only when the mesh
    is large), supports, the loads of `cases` (None: all) and the section cuts. `geometry`, `beams` (of
    `beam_lines`) and `parts`: the domains' quadrilaterals, the beams and the model's parts when the caller has
    them already."""
    parts = parts if parts is not None else ModelParts.of(model, frame)
    picture = Picture(title)
    xyz = frame.xyz
    node_points = parts.node_points
    picture.view, view_note = drawing.choose_view(np.concatenate([xyz.reshape(-1, 3), node_points]))
    quads = np.concatenate([mesh.quads for mesh in frame.meshes]) if frame.meshes else np.zeros((0, 4), np.int64)
    outlined = outlines and len(quads) > drawing.RASTER_QUADS
    occluders = (Occluders(np.zeros((0, 4, 3)), picture.view) if outlined else
                 (geometry if geometry is not None else SurfaceGeometry(xyz[quads])).occluders(picture.view))
    if outlined:
        _outlines(picture, frame.meshes)
    elif len(quads):
        fills = np.concatenate([np.tile([227, 217, 240] if mesh.domain.surface_type in (1, 2) else [207, 224, 243],
                                        (len(mesh.quads), 1)) for mesh in frame.meshes])
        picture.surface(geometry if geometry is not None else SurfaceGeometry(xyz[quads]), fills, stroke="#8aa9cc",
                        opacity=0.85)
    draw_beams(picture, occluders, beam_lines(frame) if beams is None else beams, BEAM_COLOUR, 2.5)
    for line in parts.bare_lines:
        picture.line(np.array([line.start.point, line.end.point]), stroke="#999", width=1, dash="4 3")
    if ids:
        labels, at = _beam_labels(frame)
        picture.texts(at, labels, fill="#1a5fb4", priorities=np.full(len(labels), 2.0), group="beam ids")
    behind = occluders.hidden(node_points)
    names = np.array([f"N{node.id}" for node in model.nodes] if ids else [], dtype=object)
    for back in (True, False):
        chosen = behind == back
        picture.dot(node_points[chosen], fill="#222", radius=2.2, behind=back)
        if ids:
            picture.texts(node_points[chosen], names[chosen].tolist(), fill="#555", behind=back,
                          priorities=np.ones(int(chosen.sum())), group="node ids")
    supports = np.array([support.node.point for support in model.node_supports]).reshape(-1, 3)
    supported = occluders.hidden(supports)
    for back in (True, False):
        picture.support(supports[supported == back], fill="#e0a030", behind=back)
    _draw_cuts(picture, model)
    picture.legend.append(_model_legend(model, frame))
    picture.legend.append(("ids: N nodes, B beams (line ids); " if ids else "")
                          + "hidden beams and nodes dashed and pale"
                          + ("; section cuts dashed violet" if model.section_cuts else ""))
    picture.legend += load_arrows(picture, model, frame, cases, parts)
    if view_note:
        picture.legend.append(view_note)
    return picture


def _model_legend(model: Model, frame: Frame) -> str:
    beams = sum(1 for line in model.lines if line.beam)
    membranes = sum(1 for mesh in frame.meshes if mesh.domain.surface_type in (1, 2))
    kinds = f", {membranes} of them {'a membrane' if membranes == 1 else 'membranes'} (violet)" if membranes else ""
    return (f"{plural(len(model.nodes), 'node')}, {plural(beams, 'beam')}, "
            f"{plural(len(frame.meshes), 'domain')}{kinds} "
            f"({plural(sum(len(m.quads) for m in frame.meshes), 'quadrilateral')}), "
            f"{plural(len(model.node_supports), 'support')} (triangles)")


@dataclass
class Largest:
    """The largest displacement of a result column: its size (m), its global components, where it is."""
    value: float
    components: FloatArray
    point: FloatArray
    where: str


class Figures:
    """The pictures of one solution and the figures the page's summary quotes, computed once and shared."""

    def __init__(self, model: Model, solution: Solution) -> None:
        self.model = model
        self.solution = solution
        frame = self.frame = solution.frame
        self.extent = _extent(frame.xyz)
        shells = solution.shells
        self.quads: IntArray = shells.quads if shells is not None else np.zeros((0, 4), np.int64)
        self.slab = SurfaceGeometry(frame.xyz[self.quads])
        self.stations = stations(solution) if frame.chains else None
        self.beams = beam_lines(frame)
        self.parts = ModelParts.of(model, frame)
        self.model_nodes = {index: node_id for node_id, index in frame.node_index.items()}
        self._largest: dict[int, Largest] = {}
        self._curves: tuple[int, tuple[FloatArray, FloatArray]] | None = None
        self._curve_points: FloatArray | None = None
        self._stations_drawn: tuple[FloatArray, IntArray, IntArray, FloatArray, IntArray] | None = None
        # Each element's chain, and its bending stiffness about local y and z (kNm2): its chain's beam's.
        firsts = np.array([chain.first for chain in frame.chains], np.int64)
        counts = np.array([chain.count for chain in frame.chains], np.int64)
        chain_of = np.repeat(np.arange(len(frame.chains)), counts)
        element = np.repeat(firsts, counts) + np.arange(len(chain_of)) - np.repeat(np.cumsum(counts) - counts, counts)
        self._chain_of_element = np.zeros(len(frame.i), np.int64)
        self._chain_of_element[element] = chain_of
        beams = [chain.line.beam for chain in frame.chains]  # a chain is a beam's
        rigidity = np.array([(b.material.e * b.cross_section.i_y, b.material.e * b.cross_section.i_z)
                             for b in beams if b is not None], float).reshape(-1, 2)
        assert len(rigidity) == len(beams)
        self._ei = np.zeros((len(frame.i), 2))
        self._ei[element] = rigidity[chain_of]

    # Figures of a column.

    def curves(self, column: int) -> tuple[FloatArray, FloatArray]:
        """Every beam element's points (elements, CURVE_POINTS, 3) and their displacements there (global, m).

        Those of the last column asked for are kept: its largest displacement and its picture both need them.
        """
        if self._curves is None or self._curves[0] != column:
            self._curves = (column, self._find_curves(column))
        return self._curves[1]

    def _find_curves(self, column: int) -> tuple[FloatArray, FloatArray]:
        frame, u, count = self.frame, self.solution.displacements[:, :, column], CURVE_POINTS
        xi = np.linspace(0.0, 1.0, count)
        length = frame.length[:, None]
        axes = frame.axes  # rows x, y, z in global coordinates
        di, dj = np.einsum("eij,ej->ei", axes, u[frame.i, :3]), np.einsum("eij,ej->ei", axes, u[frame.j, :3])
        ri, rj = np.einsum("eij,ej->ei", axes, u[frame.i, 3:]), np.einsum("eij,ej->ei", axes, u[frame.j, 3:])
        n1, n2 = 1 - 3 * xi ** 2 + 2 * xi ** 3, xi - 2 * xi ** 2 + xi ** 3
        n3, n4 = 3 * xi ** 2 - 2 * xi ** 3, -xi ** 2 + xi ** 3
        axial = di[:, :1] * (1 - xi) + dj[:, :1] * xi
        # v along local y turns with rz, w along local z with -ry.
        v = di[:, 1:2] * n1 + length * ri[:, 2:3] * n2 + dj[:, 1:2] * n3 + length * rj[:, 2:3] * n4
        w = di[:, 2:3] * n1 - length * ri[:, 1:2] * n2 + dj[:, 2:3] * n3 - length * rj[:, 1:2] * n4
        # The fixed-ended element under its uniform load q: q L^4 xi^2 (1 - xi)^2 / 24 EI.
        bubble = length ** 4 * (xi * (1 - xi)) ** 2 / 24.0
        q = self.solution.loads[:, column, :]
        with np.errstate(divide="ignore", invalid="ignore"):
            v = v + np.where(self._ei[:, 1:2] > 0, q[:, 1:2] / self._ei[:, 1:2], 0.0) * bubble
            w = w + np.where(self._ei[:, 0:1] > 0, q[:, 2:3] / self._ei[:, 0:1], 0.0) * bubble
        local = np.stack([axial, v, w], axis=2)  # (elements, count, 3)
        moved: FloatArray = local @ axes
        if self._curve_points is None:  # the same in every column
            self._curve_points = frame.xyz[frame.i][:, None, :] + \
                xi[None, :, None] * (frame.xyz[frame.j] - frame.xyz[frame.i])[:, None]
        return self._curve_points, moved

    def largest(self, column: int) -> Largest:
        """The largest displacement over every computed point: the FE nodes and the beams' curves between them."""
        found = self._largest.get(column)
        if found is None:
            found = self._largest[column] = self._find_largest(column)
        return found

    def _find_largest(self, column: int) -> Largest:
        frame = self.frame
        u = self.solution.displacements[:, :3, column]
        size = np.linalg.norm(u, axis=1)
        node = int(np.argmax(size)) if len(size) else 0
        best = Largest(float(size[node]) if len(size) else 0.0, u[node] if len(u) else np.zeros(3),
                       frame.xyz[node] if len(u) else np.zeros(3), self.describe(node))
        if len(frame.i):
            points, moved = self.curves(column)
            sizes = np.linalg.norm(moved, axis=2)
            e, k = np.unravel_index(int(np.argmax(sizes)), sizes.shape)
            if sizes[e, k] > best.value * (1 + 1e-9):
                chain = frame.chains[int(self._chain_of_element[e])]
                position = frame.s0[e] + (frame.s1[e] - frame.s0[e]) * k / (sizes.shape[1] - 1)
                best = Largest(float(sizes[e, k]), moved[e, k], points[e, k],
                               f"beam {chain.line.id} at {position:.3g} m from its start, {_at(points[e, k])}")
        return best

    def describe(self, node: int) -> str:
        """Where an FE node is, in the model's terms."""
        frame = self.frame
        point = _at(frame.xyz[node])
        if node in self.model_nodes:
            return f"node {self.model_nodes[node]}, {point}"
        if node in frame.inner_nodes:
            line_id, position = frame.inner_nodes[node]
            kind = "beam" if self.model.lines[line_id - 1].beam else "line"
            return f"{kind} {line_id} at {position:.3g} m from its start, {point}"
        for first, end, domain in frame.domain_nodes:
            if first <= node < end:
                return f"domain {domain}, {point}"
        return point

    def moments(self, column: int) -> dict[str, tuple[float, int, float]]:
        """The largest |My| and |Mz| of the beams: (value, beam id, position along it)."""
        out: dict[str, tuple[float, int, float]] = {}
        if self.stations is None:
            return out
        elements, positions, forces = self.stations
        for name, component in (("My", 4), ("Mz", 5)):
            values = forces[:, column, component]
            k = int(np.argmax(np.abs(values)))
            chain = self.frame.chains[int(self._chain_of_element[elements[k]])]
            out[name] = (float(values[k]), chain.line.id, float(positions[k]))
        return out

    # Pictures.

    def loads(self, case: int, name: str) -> Picture:
        """The model, pale, with the loads of one load case."""
        picture = model_picture(self.model, self.frame, f"Loads: {name}", self.slab, [case], outlines=True,
                                ids=False, beams=self.beams, parts=self.parts)
        return picture

    def deformed(self, column: int, name: str) -> Picture:
        frame, solution = self.frame, self.solution
        u = solution.displacements[:, :3, column]
        largest = self.largest(column)
        factor = 0.1 * self.extent / largest.value if largest.value > 0 else 0.0
        moved_nodes = frame.xyz + factor * u
        picture = Picture(f"Deformed shape: {name}")
        scale = Scale(0.0, largest.value * 1000, "mm", "|u|, magnitude of the displacement", sequential=True)
        c = [f"{1000 * v:.3g}" if abs(v) > 1e-6 * largest.value else "0" for v in largest.components.tolist()]
        picture.legend.append(f"coloured by the magnitude of the displacement |u|; largest {largest.value * 1000:.4g} "
                              f"mm (ux {c[0]}, uy {c[1]}, uz {c[2]})")
        picture.legend.append(f"at {largest.where}; drawn {factor:.3g} times enlarged, undeformed dashed grey")
        points, moved = self.curves(column) if len(frame.i) else (np.zeros((0, 2, 3)), np.zeros((0, 2, 3)))
        curves = points + factor * moved
        viewed(picture, np.concatenate([frame.xyz, moved_nodes, curves.reshape(-1, 3)]))
        occluders = Occluders(moved_nodes[self.quads], picture.view)
        size = np.linalg.norm(u, axis=1)
        if len(self.quads):
            picture.surface(moved_nodes[self.quads], scale.rgb(1000 * size[self.quads].mean(axis=1)), stroke="#9ab")
        draw_beams(picture, occluders, self.beams, "#bbb", 1.0,
                   "3 3")
        # Each element's curve in runs of one colour band (the band of each piece's mean displacement); in a
        # large frame, each element in the band of its largest displacement.
        size_at = 1000 * np.linalg.norm(moved, axis=2)  # (elements, points)
        if len(curves) > MANY_ELEMENTS:
            runs, colours = Polylines.of_rows(curves), drawing.hex_colours(scale.rgb(size_at.max(axis=1)))
        else:
            runs, colours = _banded_runs(curves, scale.rgb(((size_at[:, 1:] + size_at[:, :-1]) / 2).reshape(-1)))
        draw_beams(picture, occluders, runs, colours, 2.4)
        if largest.value > 0:
            at = largest.point + factor * largest.components
            picture.dot(at, "#000", 3.0)
            picture.text(at, f"max {largest.value * 1000:.3g} mm", fill="#000", priority=100, group="values")
        picture.scale = scale
        return picture

    def moment(self, column: int, name: str, component: int) -> Picture:
        """Bending moment My (component 4) or Mz (5) of every beam, drawn on its tension side."""
        assert self.stations is not None
        frame = self.frame
        elements, positions, forces = self.stations
        values = forces[:, column, component]
        label = "My" if component == 4 else "Mz"
        largest = float(np.max(np.abs(values))) if len(values) else 0.0
        factor = 0.15 * self.extent / largest if largest > 0 else 0.0
        picture = Picture(f"Bending moments {label} of the beams: {name}")
        side = ("local +z for My > 0 (My > 0 puts the +z fibres in tension)" if component == 4 else
                "local -y for Mz > 0 (Mz > 0 puts the -y fibres in tension)")
        picture.legend.append(f"largest |{label}| {largest:.4g} kNm, drawn on the tension side: {side}")
        picture.legend.append(f"labels: beam id and its largest {label} (kNm)")
        base, starts, pieces, base_corners, line_ids = self._station_points()
        # My is drawn along local z, Mz along local -y: the tension side in both cases.
        direction = frame.axes[elements, 2] if component == 4 else -frame.axes[elements, 1]
        tip = base + direction * (values * factor)[:, None]
        corners = np.concatenate([base_corners, tip[pieces + 1, None], tip[pieces, None]], axis=1)
        scale = Scale(-largest, largest, "kNm", label)
        rgb = scale.rgb((values[pieces] + values[pieces + 1]) / 2)
        _context(picture, frame.meshes, self.slab)
        viewed(picture, np.concatenate([frame.xyz, corners.reshape(-1, 3)]))
        occluders = self.slab.occluders(picture.view)
        hidden = (occluders.hidden(corners.mean(axis=1)) if len(corners) and len(occluders.triangles) else
                  np.zeros(len(corners), bool))
        for behind in (True, False):
            chosen = hidden == behind
            if chosen.any():
                picture.surface(corners[chosen], rgb[chosen], opacity=0.9, behind=behind)
        # The outlines keep small moments visible where their colour is nearly white.
        draw_beams(picture, occluders, Polylines(tip, starts), "#6b7f99", 0.7)
        draw_beams(picture, occluders, Polylines(base, starts), BEAM_COLOUR, 1.8)
        # Each beam's largest value: the first of its stations where |value| is the beam's largest.
        beam = np.repeat(np.arange(len(frame.chains)), np.diff(starts))
        size = np.abs(values)
        at_peak = np.flatnonzero(size == np.maximum.reduceat(size, starts[:-1])[beam]) if len(size) else beam[:0]
        peaks = at_peak[np.flatnonzero(np.diff(np.concatenate([[-1], beam[at_peak]])))]
        peaks = peaks[np.abs(values[peaks]) > 0.05 * largest] if largest > 0 else peaks[:0]
        picture.texts(tip[peaks], Formatted("B{}: {:.3g}", line_ids[beam[peaks]].tolist(), values[peaks].tolist()),
                      fill="#222", priorities=np.abs(values[peaks]), group="beam values")
        picture.scale = scale
        return picture

    def _station_points(self) -> tuple[FloatArray, IntArray, IntArray, FloatArray, IntArray]:
        """The stations' points on the beams (stations, 3), where each beam's start (beams + 1), the stations that
        start a piece between two (every one but each beam's last), each piece's two points on the beam
        (pieces, 2, 3) and each beam's line id: the same in every moment picture."""
        if self._stations_drawn is None:
            assert self.stations is not None
            frame, elements, positions = self.frame, self.stations[0], self.stations[1]
            local = (positions - frame.s0[elements]) / np.maximum(frame.s1[elements] - frame.s0[elements], 1e-300)
            base = frame.xyz[frame.i[elements]] + (frame.xyz[frame.j[elements]] - frame.xyz[frame.i[elements]]) * \
                local[:, None]
            starts = np.cumsum([0] + [1 + 2 * chain.count for chain in frame.chains])
            pieces = np.delete(np.arange(starts[-1]), starts[1:] - 1)
            self._stations_drawn = (base, starts, pieces, np.stack([base[pieces], base[pieces + 1]], axis=1),
                                    np.array([chain.line.id for chain in frame.chains], np.int64))
        return self._stations_drawn

    def mz_shown(self, column: int) -> bool:
        """Is Mz more than negligible next to My in this column?"""
        if self.stations is None:
            return False
        forces = self.stations[2][:, column]
        my, mz = float(np.max(np.abs(forces[:, 4]))), float(np.max(np.abs(forces[:, 5])))
        return mz > MZ_SHOWN * my and mz > 1e-9

    def contour(self, column: int, name: str, component: int, label: str, unit: str, meaning: str,
                membranes: bool | None = None) -> Picture:
        """One surface result per quadrilateral (the mean of its Gauss points), in the domains' plane axes.

        `membranes`: True draws the membrane domains only, False the others, None all of them.
        """
        frame, solution = self.frame, self.solution
        shells = solution.shells
        assert shells is not None
        chosen = np.ones(len(shells.quads), bool) if membranes is None else shells.membrane == membranes
        values = solution.shell_results[:, :, component, column].mean(axis=1)
        shown = values[chosen]
        limit = float(np.max(np.abs(shown))) if len(shown) else 0.0
        low, high = (float(np.min(shown)), float(np.max(shown))) if len(shown) else (0.0, 0.0)
        symbol = label.split(" ")[-1]
        picture = Picture(f"{label}: {name}")
        picture.legend.append(f"{symbol}: {meaning}; from {low:.4g} to {high:.4g} {unit}")
        picture.legend.append("in each domain's plane axes x, y (black arrows)"
                              + ("; section cuts dashed violet" if self.model.section_cuts else ""))
        viewed(picture, frame.xyz)
        scale = Scale(-limit, limit, unit, symbol)
        rgb = np.where(chosen[:, None], scale.rgb(values), np.array([244, 244, 244]))
        picture.surface(self.slab, rgb, stroke="#ccc")
        draw_beams(picture, self.slab.occluders(picture.view), self.beams, BEAM_COLOUR, 1.4)
        for k, mesh in enumerate(shells.meshes):
            if not chosen[shells.first[k]:shells.first[k + 1]].any():
                continue
            origin, axes = mesh.outline.origin, mesh.outline.axes
            length = 0.08 * self.extent
            for axis, text in ((0, "x"), (1, "y")):
                head = origin + axes[axis] * length
                picture.arrow(origin, head, "#111", 1.4)
                picture.text(head, f"{text} (domain {mesh.domain.id})", fill="#111", priority=60, group="axis labels")
        _draw_cuts(picture, self.model)
        picture.scale = scale
        return picture

    def cuts(self, name: str, sections: dict[str, Any], key: str) -> Picture | None:
        """The surface forces along the section cuts with results for this combination (`key`): mn where a cut
        crosses bending domains, nn where it crosses membranes only."""
        drawn: list[tuple[int, str, list[dict[str, Any]], str]] = []
        for cut_id, _, _ in _cut_ends(self.model):
            result = sections.get(str(cut_id), {}).get("SurfaceForces", {}).get("LoadCombinations", {}).get(key)
            if result is None or not result["Points"]:
                continue
            membrane_only = all(self._membrane_domain(p["Domain"]) for p in result["Points"])
            drawn.append((cut_id, self.model.section_cuts[cut_id - 1].name, result["Points"],
                          "nn" if membrane_only else "mn"))
        if not drawn:
            return None
        frame = self.frame
        quantity = sorted({q for *_, q in drawn})
        unit = {"mn": "kNm/m", "nn": "kN/m"}
        picture = Picture(f"Section cuts: {name}")
        meaning = {"mn": "mn (kNm/m), the bending moment per metre of cut about the cut's line (stresses "
                         "across the cut)", "nn": "nn (kN/m), the normal force per metre of cut"}
        picture.legend.append("; ".join(meaning[q] for q in quantity))
        picture.legend.append("drawn along each domain's normal, positive on its +z side")
        largest = max(max(abs(p[q]) for p in points) for _, _, points, q in drawn)
        factor = 0.12 * self.extent / largest if largest > 0 else 0.0
        normals = {mesh.domain.id: mesh.outline.axes[2] for mesh in frame.meshes}
        _context(picture, frame.meshes, self.slab)
        quads: list[FloatArray] = []
        colours: list[IntArray] = []
        scale = Scale(-largest, largest, "/".join(unit[q] for q in quantity), "/".join(quantity))
        for cut_id, cut_name, points, q in drawn:
            base = np.array([[p["x"], p["y"], p["z"]] for p in points])
            values = np.array([p[q] for p in points])
            normal = np.array([normals[p["Domain"]] for p in points])
            tip = base + normal * (values * factor)[:, None]
            position = np.array([p["Position"] for p in points])
            step = float(np.min(np.diff(position))) if len(position) > 1 else 0.0
            domain = np.array([p["Domain"] for p in points])
            joined = (np.diff(position) <= 1.5 * step) & (domain[1:] == domain[:-1])
            k = np.flatnonzero(joined)
            quads.append(np.stack([base[k], base[k + 1], tip[k + 1], tip[k]], axis=1))
            colours.append(scale.rgb((values[k] + values[k + 1]) / 2))
            picture.line(base[[0, -1]], CUT_COLOUR, 1.6, dash="7 4")
            picture.line(tip, "#6b7f99", 0.8)
            for index in {int(np.argmax(values)), int(np.argmin(values))}:
                picture.text(tip[index], f"{q} {values[index]:.3g}", fill="#222", priority=abs(float(values[index])),
                             group="values")
            picture.text(base[-1], f"cut {cut_id} '{cut_name}'", fill=CUT_COLOUR, priority=1e9, group="cut names")
        picture.surface(np.concatenate(quads), np.concatenate(colours), opacity=0.9)
        viewed(picture, np.concatenate([frame.xyz, np.concatenate(quads).reshape(-1, 3)]))
        draw_beams(picture, Occluders(np.zeros((0, 4, 3)), picture.view),
                   self.beams, "#9aa7b5", 1.0)
        picture.scale = scale
        return picture

    def _membrane_domain(self, domain_id: int) -> bool:
        return any(mesh.domain.id == domain_id and mesh.domain.surface_type in (1, 2) for mesh in self.frame.meshes)

    def contours(self, column: int, name: str) -> list[Picture]:
        """Slab moments of the bending domains, membrane forces of the membranes; each kind apart when both exist."""
        shells = self.solution.shells
        if shells is None:
            return []
        bending = not shells.membrane.all()
        membranes = bool(shells.membrane.any())
        chosen = []
        if bending:
            only = False if membranes else None
            chosen.append(self.contour(column, name, 0, "Slab moments mx", "kNm/m",
                                       "moment per metre that bends the slab in its x direction (stresses sx)", only))
            chosen.append(self.contour(column, name, 1, "Slab moments my", "kNm/m",
                                       "moment per metre that bends the slab in its y direction (stresses sy)", only))
        if membranes:
            only = True if bending else None
            chosen.append(self.contour(column, name, 5, "Membrane forces nx", "kN/m",
                                       "normal force per metre along x", only))
            chosen.append(self.contour(column, name, 6, "Membrane forces ny", "kN/m",
                                       "normal force per metre along y", only))
        return chosen

    def of_column(self, column: int, name: str, case: int | None, sections: dict[str, Any],
                  combination: int | None) -> list[Picture]:
        """The pictures of one load case (`case`) or combination (`combination`), in order."""
        chosen = [self.loads(case, name)] if case is not None else []
        chosen.append(self.deformed(column, name))
        if self.stations is not None:
            chosen.append(self.moment(column, name, 4))
            if self.mz_shown(column):
                chosen.append(self.moment(column, name, 5))
        chosen += self.contours(column, name)
        if combination is not None:
            cut = self.cuts(name, sections, str(combination))
            if cut is not None:
                chosen.append(cut)
        return chosen


def _banded_runs(curves: FloatArray, rgb: IntArray) -> tuple[Polylines, list[str]]:
    """Curves (elements, points, 3) in runs of pieces of one colour (rgb: (elements * pieces, 3), piece by piece),
    with the colour of each run."""
    elements, count = curves.shape[:2]
    pieces = count - 1
    if not elements or not pieces:
        return Polylines.of_rows(np.zeros((0, 2, 3))), []
    packed = ((rgb[:, 0] << 16) | (rgb[:, 1] << 8) | rgb[:, 2]).reshape(elements, pieces)
    starts = np.ones((elements, pieces), bool)
    starts[:, 1:] = packed[:, 1:] != packed[:, :-1]
    first = np.flatnonzero(starts)  # the pieces that start a run, element by element
    element, start = np.divmod(first, pieces)
    # A run's last point: where the next run starts in its element, else the element's last point.
    following = np.append(first[1:], elements * pieces)
    end = np.where(following // pieces == element, following % pieces, pieces)
    sizes = end - start + 1
    ends = np.cumsum(sizes)
    index = np.repeat(element * count + start - (ends - sizes), sizes) + np.arange(int(ends[-1]))
    return Polylines(curves.reshape(-1, 3)[index], np.concatenate([[0], ends])), drawing.hex_colours(rgb[first])


def _at(point: FloatArray) -> str:
    return "(" + ", ".join(f"{c:.3g}" for c in np.asarray(point).tolist()) + ") m"


__all__ = ["Figures", "Largest", "MAX_PICTURED_COLUMNS", "load_arrows", "model_picture",
           "result_columns"]
