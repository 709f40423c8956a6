"""Pictures of the model and its results as self-contained SVG, drawn in an axonometric view.

The view looks down at the model from the front right (azimuth 30 degrees,
elevation 30 degrees), Z up. What lies in one vertical plane (a plane frame,
a wall) is drawn in elevation instead, seen square to that plane. Everything is a list of flat primitives in
picture coordinates, written as SVG by hand (no fonts or scripts fetched) or,
for PNG, painted by matplotlib. Surfaces are painted far to near; beams,
nodes and supports that a surface hides (a column under a slab, seen from
above) are painted before the surfaces, so they show faintly through the
translucent slab of the model picture and not at all through result colours.
Pictures coloured by a value carry a colour scale with its unit.
"""

from __future__ import annotations

import html
import io
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .frame import BeamChain, Frame
from .geometry import BoolArray, FloatArray, IntArray
from .model import Model
from .recovery import Solution

WIDTH, HEIGHT, MARGIN = 700, 480, 36
# Views as (azimuth, elevation) in degrees.
View = tuple[float, float]
AXONOMETRIC: View = (30.0, 30.0)
_ELEVATIONS = {1: ((0.0, 0.0), "seen in elevation from -Y"), 0: ((-90.0, 0.0), "seen in elevation from +X")}
# Blue (negative) to white to red (positive).
_COLD, _WARM = np.array([49, 99, 189]), np.array([200, 45, 45])


# One primitive of a picture: its kind, its points (n, 3) in model coordinates and its style.
Shape = tuple[str, FloatArray, dict[str, Any]]
Points = Any  # anything numpy takes as points (n, 3): an array, a list of points


@dataclass
class Picture:
    title: str
    shapes: list[Shape] = field(default_factory=list)
    legend: list[str] = field(default_factory=list)  # lines of text under the title
    # (limit, unit, text): the colour scale from -limit (blue) to +limit (red)
    scale: tuple[float, str, str] | None = None
    view: View = AXONOMETRIC

    def polygon(self, points: Points, fill: str, stroke: str = "none", width: float = 0.5, opacity: float = 1.0,
                behind: bool = False) -> None:
        self.shapes.append(("polygon", np.asarray(points, float), dict(fill=fill, stroke=stroke, width=width,
                                                                         opacity=opacity, behind=behind)))

    def line(self, points: Points, stroke: str, width: float = 1.5, dash: str | None = None,
             behind: bool = False) -> None:
        self.shapes.append(("line", np.asarray(points, float), dict(stroke=stroke, width=width, dash=dash,
                                                                      behind=behind)))

    def dot(self, point: Points, fill: str, radius: float = 2.5, behind: bool = False) -> None:
        self.shapes.append(("dot", np.asarray([point], float), dict(fill=fill, radius=radius, behind=behind)))

    def marker(self, point: Points, kind: str, fill: str, behind: bool = False) -> None:
        self.shapes.append((kind, np.asarray([point], float), dict(fill=fill, behind=behind)))

    def text(self, point: Points, label: str, fill: str = "#333", behind: bool = False) -> None:
        self.shapes.append(("text", np.asarray([point], float), dict(fill=fill, label=label, behind=behind)))

    def polyline(self, points: Points, hidden: BoolArray, stroke: str, width: float, dash: str | None = None) -> None:
        """A line split into runs in front of and behind the surfaces (`hidden` per point)."""
        points = np.asarray(points, float)
        start = 0
        for k in range(1, len(points) + 1):
            if k == len(points) or hidden[k] != hidden[start]:
                run = points[start:min(k + 1, len(points))]
                if len(run) > 1:
                    self.line(run, stroke, width, dash, behind=bool(hidden[start]))
                start = k


class Occluders:
    """The quadrilaterals of a picture as seen: which points lie behind one of them.

    The triangles (two per quadrilateral) are binned on a grid over the view,
    so a point is tested against the few triangles of its cell.
    """

    def __init__(self, corners: FloatArray, view: View = AXONOMETRIC) -> None:
        self.view = view
        seen = project(corners.reshape(-1, 3), view).reshape(-1, 4, 3) if len(corners) else np.zeros((0, 4, 3))
        # Each quadrilateral as two triangles (0, 1, 2) and (0, 2, 3) in view coordinates.
        self.triangles = np.concatenate([seen[:, [0, 1, 2]], seen[:, [0, 2, 3]]])
        extent = float(np.max(np.ptp(seen.reshape(-1, 3), axis=0))) if len(seen) else 1.0
        self.tolerance = 1e-6 * max(extent, 1.0)
        if not len(self.triangles):
            return
        low, high = self.triangles[:, :, :2].min(axis=1), self.triangles[:, :, :2].max(axis=1)
        self.origin = low.min(axis=0) - self.tolerance
        span = np.maximum(high.max(axis=0) + self.tolerance - self.origin, 1e-300)
        self.cells = max(1, int(math.sqrt(len(self.triangles))))
        self.cell = span / self.cells
        first = np.clip(((low - self.tolerance - self.origin) / self.cell).astype(int), 0, self.cells - 1)
        last = np.clip(((high + self.tolerance - self.origin) / self.cell).astype(int), 0, self.cells - 1)
        members: list[list[int]] = [[] for _ in range(self.cells * self.cells)]
        for t, ((i0, j0), (i1, j1)) in enumerate(zip(first.tolist(), last.tolist())):
            for i in range(i0, i1 + 1):
                for j in range(j0, j1 + 1):
                    members[i * self.cells + j].append(t)
        counts = np.array([len(m) for m in members])
        self.starts = np.concatenate([[0], np.cumsum(counts)])
        self.members = np.array([t for m in members for t in m], dtype=np.int64)

    def hidden(self, points: Points) -> BoolArray:
        """Per point (n, 3): does a quadrilateral cover it, in front of it where the point is seen?"""
        points = np.asarray(points, float).reshape(-1, 3)
        out = np.zeros(len(points), dtype=bool)
        if not len(self.triangles) or not len(points):
            return out
        view = project(points, self.view)
        tol = self.tolerance
        index = np.floor((view[:, :2] - self.origin) / self.cell).astype(int)
        inside_grid = np.all((index >= 0) & (index < self.cells), axis=1)
        cell = np.where(inside_grid, index[:, 0] * self.cells + index[:, 1], 0)
        counts = np.where(inside_grid, self.starts[cell + 1] - self.starts[cell], 0)
        p = np.repeat(np.arange(len(points)), counts)
        offsets = np.arange(len(p)) - np.repeat(np.cumsum(counts) - counts, counts)
        t = self.members[np.repeat(self.starts[cell], counts) + offsets]
        a, b, c = (self.triangles[t, k] for k in range(3))
        d = (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0])
        flat = np.abs(d) <= tol * tol
        d = np.where(flat, 1.0, d)
        q = view[p]
        u = ((b[:, 0] - q[:, 0]) * (c[:, 1] - q[:, 1]) - (b[:, 1] - q[:, 1]) * (c[:, 0] - q[:, 0])) / d
        w = ((c[:, 0] - q[:, 0]) * (a[:, 1] - q[:, 1]) - (c[:, 1] - q[:, 1]) * (a[:, 0] - q[:, 0])) / d
        z = 1.0 - u - w
        edge = 1e-9
        within = ~flat & (u > -edge) & (w > -edge) & (z > -edge)
        # A point on a surface (a beam on its edge) is at its depth, so not behind it.
        depth = u * a[:, 2] + w * b[:, 2] + z * c[:, 2]
        out[p[within & (q[:, 2] > depth + tol)]] = True
        return out


def _draw_beams(picture: Picture, occluders: Occluders, polylines: Sequence[FloatArray], stroke: str, width: float,
                dash: str | None = None) -> None:
    """Beams as polylines, each split into its runs in front of and behind the surfaces (one visibility pass)."""
    if not polylines:
        return
    if not len(occluders.triangles):
        for points in polylines:
            picture.line(points, stroke, width, dash)
        return
    sampled = [_sampled(points) for points in polylines]
    hidden = occluders.hidden(np.concatenate(sampled))
    start = 0
    for points in sampled:
        picture.polyline(points, hidden[start:start + len(points)], stroke, width, dash)
        start += len(points)


def _sampled(points: FloatArray, pieces: int = 6) -> FloatArray:
    """A polyline with each piece divided further, so that its hidden runs start and end near where they do."""
    points = np.asarray(points, float)
    if len(points) < 2:
        return points
    steps = np.linspace(0.0, 1.0, pieces + 1)[:-1]
    parts = [a + (b - a) * steps[:, None] for a, b in zip(points[:-1], points[1:])]
    return np.concatenate(parts + [points[-1:]])


def project(points: FloatArray, view: View = AXONOMETRIC) -> FloatArray:
    """Parallel projection: (n, 3) model coordinates to (n, 3) view (x right, y up, depth away)."""
    azimuth, elevation = math.radians(view[0]), math.radians(view[1])
    ca, sa, ce, se = math.cos(azimuth), math.sin(azimuth), math.cos(elevation), math.sin(elevation)
    x = points[:, 0] * ca - points[:, 1] * sa
    y = (points[:, 0] * sa + points[:, 1] * ca) * se + points[:, 2] * ce
    depth = (points[:, 0] * sa + points[:, 1] * ca) * ce - points[:, 2] * se
    return np.column_stack([x, y, depth])


def choose_view(points: Points) -> tuple[View, str | None]:
    """The view for points (n, 3): in elevation when they lie in a plane X or Y = constant, with its
    description, else the axonometric one (and None)."""
    points = np.asarray(points, float).reshape(-1, 3)
    if len(points) < 2:
        return AXONOMETRIC, None
    spread = np.ptp(points, axis=0)
    extent = float(np.max(spread))
    for axis, (view, text) in _ELEVATIONS.items():
        if extent > 0 and spread[axis] <= 1e-9 * extent:
            return view, text
    return AXONOMETRIC, None


def _viewed(picture: Picture, points: FloatArray) -> None:
    """Sets the picture's view for what it draws (points), saying so when it is an elevation."""
    picture.view, text = choose_view(points)
    if text:
        picture.legend.append(text)


def _layout(picture: Picture) -> tuple[Callable[[FloatArray], FloatArray], float]:
    everything = [p for _, p, _ in picture.shapes]
    if not everything:
        return lambda p: p[:, :2], 1.0
    view = project(np.concatenate(everything), picture.view)
    low, high = view[:, :2].min(axis=0), view[:, :2].max(axis=0)
    span = np.maximum(high - low, 1e-9)
    # Room for the title and legend lines, and for the labels above the topmost points.
    top = 30 + 16 * len(picture.legend) + 14
    bottom = MARGIN + (SCALE_HEIGHT if picture.scale else 0)
    scale = min((WIDTH - 2 * MARGIN) / span[0], (HEIGHT - top - bottom) / span[1])
    offset = np.array([(WIDTH - scale * span[0]) / 2, top + (HEIGHT - top - bottom - scale * span[1]) / 2])

    def to_picture(points: FloatArray) -> FloatArray:
        v = project(points, picture.view)
        return np.column_stack([offset[0] + (v[:, 0] - low[0]) * scale,
                                offset[1] + (high[1] - v[:, 1]) * scale])
    return to_picture, scale


def _order(picture: Picture) -> list[Shape]:
    """Far shapes first (painter's order); lines, markers and text above the surfaces, hidden ones below."""
    rank = {"polygon": 0, "line": 1, "dot": 2, "support": 2, "arrow": 2, "text": 3}

    def key(shape: Shape) -> tuple[int, float]:
        kind, points, style = shape
        return (rank[kind] - (4 if style.get("behind") else 0),
                -float(np.mean(project(points, picture.view)[:, 2])))
    return sorted(picture.shapes, key=key)


SCALE_HEIGHT = 34
_SCALE_STEPS = 40


def _scale_boxes(picture: Picture) -> tuple[list[tuple[float, float, float, str]], list[tuple[float, float, str]],
                                             str, tuple[float, float]]:
    """The colour scale: (x, y, width, colour) boxes, its tick labels (x, y, text) and its caption."""
    assert picture.scale is not None
    limit, unit, caption = picture.scale
    width, left, y = 240.0, WIDTH - MARGIN - 240.0, HEIGHT - SCALE_HEIGHT + 2.0
    boxes = []
    for k in range(_SCALE_STEPS):
        value = -limit + (k + 0.5) * 2 * limit / _SCALE_STEPS
        boxes.append((left + k * width / _SCALE_STEPS, y, width / _SCALE_STEPS + 0.3, colour(value, limit)))
    ticks = [(left, y + 22, f"{-limit:.3g}"), (left + width / 2, y + 22, "0"), (left + width, y + 22, f"{limit:.3g}")]
    return boxes, ticks, f"{caption} ({unit})", (left - 8, y + 9)


def svg(picture: Picture) -> str:
    to_picture, _ = _layout(picture)
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {WIDTH} {HEIGHT}" width="{WIDTH}" '
           f'height="{HEIGHT}" font-family="sans-serif" font-size="12">',
           f'<rect width="{WIDTH}" height="{HEIGHT}" fill="#fff"/>',
           f'<text x="12" y="20" font-size="15" font-weight="bold">{html.escape(picture.title)}</text>']
    for k, line in enumerate(picture.legend):
        out.append(f'<text x="12" y="{38 + 16 * k}" fill="#444">{html.escape(line)}</text>')
    for kind, points, style in _order(picture):
        p = to_picture(points)
        coordinates = " ".join(f"{x:.1f},{y:.1f}" for x, y in p)
        if kind == "polygon":
            out.append(f'<polygon points="{coordinates}" fill="{style["fill"]}" stroke="{style["stroke"]}" '
                       f'stroke-width="{style["width"]}" fill-opacity="{style["opacity"]}"/>')
        elif kind == "line":
            dash = style["dash"] or ("4 3" if style.get("behind") else None)
            extra = (f' stroke-dasharray="{dash}"' if dash else "") + \
                (' stroke-opacity="0.45"' if style.get("behind") else "")
            out.append(f'<polyline points="{coordinates}" fill="none" stroke="{style["stroke"]}" '
                       f'stroke-width="{style["width"]}" stroke-linejoin="round"{extra}/>')
        elif kind == "dot":
            opacity = ' fill-opacity="0.45"' if style.get("behind") else ""
            out.append(f'<circle cx="{p[0, 0]:.1f}" cy="{p[0, 1]:.1f}" r="{style["radius"]}" fill="{style["fill"]}"'
                       f'{opacity}/>')
        elif kind == "support":
            x, y = p[0]
            opacity = ' fill-opacity="0.45" stroke-opacity="0.45"' if style.get("behind") else ""
            out.append(f'<polygon points="{x:.1f},{y:.1f} {x - 7:.1f},{y + 11:.1f} {x + 7:.1f},{y + 11:.1f}" '
                       f'fill="{style["fill"]}" stroke="#222" stroke-width="0.8"{opacity}/>')
        elif kind == "arrow":
            x, y = p[0]
            out.append(f'<line x1="{x:.1f}" y1="{y - 26:.1f}" x2="{x:.1f}" y2="{y - 4:.1f}" stroke="{style["fill"]}" '
                       f'stroke-width="1.6"/><polygon points="{x:.1f},{y:.1f} {x - 4:.1f},{y - 8:.1f} '
                       f'{x + 4:.1f},{y - 8:.1f}" fill="{style["fill"]}"/>')
        elif kind == "text":
            opacity = ' fill-opacity="0.45"' if style.get("behind") else ""
            out.append(f'<text x="{p[0, 0] + 4:.1f}" y="{p[0, 1] - 4:.1f}" fill="{style["fill"]}" '
                       f'font-size="10"{opacity}>{html.escape(style["label"])}</text>')
    if picture.scale:
        boxes, ticks, caption, (cx, cy) = _scale_boxes(picture)
        for x, y, w, fill in boxes:
            out.append(f'<rect x="{x:.1f}" y="{y:.1f}" width="{w:.1f}" height="12" fill="{fill}"/>')
        out.append(f'<rect x="{boxes[0][0]:.1f}" y="{boxes[0][1]:.1f}" width="240" height="12" fill="none" '
                   'stroke="#888" stroke-width="0.6"/>')
        for x, y, label in ticks:
            out.append(f'<text x="{x:.1f}" y="{y:.1f}" text-anchor="middle" font-size="10" fill="#333">'
                       f'{html.escape(label)}</text>')
        out.append(f'<text x="{cx:.1f}" y="{cy:.1f}" text-anchor="end" font-size="11" fill="#333">'
                   f'{html.escape(caption)}</text>')
    out.append("</svg>")
    return "\n".join(out)


def png(picture: Picture) -> bytes:
    """The same picture painted by matplotlib."""
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot
    from matplotlib.patches import Polygon as Patch

    to_picture, _ = _layout(picture)
    figure = pyplot.figure(figsize=(WIDTH / 100, HEIGHT / 100), dpi=100)
    axes = figure.add_axes((0, 0, 1, 1))
    axes.set_xlim(0, WIDTH)
    axes.set_ylim(HEIGHT, 0)
    axes.axis("off")
    axes.text(12, 20, picture.title, fontsize=11, fontweight="bold")
    for k, line in enumerate(picture.legend):
        axes.text(12, 38 + 16 * k, line, fontsize=8, color="#444")
    for kind, points, style in _order(picture):
        p = to_picture(points)
        if kind == "polygon":
            axes.add_patch(Patch(p, closed=True, facecolor=style["fill"], alpha=style["opacity"],
                                 edgecolor=None if style["stroke"] == "none" else style["stroke"],
                                 linewidth=style["width"] * 0.7))
        elif kind == "line":
            axes.plot(p[:, 0], p[:, 1], color=style["stroke"], linewidth=style["width"] * 0.75,
                      linestyle="--" if style["dash"] else "-")
        elif kind in ("dot", "support", "arrow"):
            marker = {"dot": "o", "support": "^", "arrow": "v"}[kind]
            axes.plot(p[0, 0], p[0, 1] + (6 if kind == "support" else 0), marker=marker, color=style["fill"],
                      markersize=3 if kind == "dot" else 7)
        elif kind == "text":
            axes.text(p[0, 0] + 4, p[0, 1] - 4, style["label"], fontsize=7, color=style["fill"],
                      alpha=0.45 if style.get("behind") else 1.0)
    if picture.scale:
        from matplotlib.patches import Rectangle
        boxes, ticks, caption, (cx, cy) = _scale_boxes(picture)
        for x, y, w, fill in boxes:
            axes.add_patch(Rectangle((x, y), w, 12, facecolor=fill, edgecolor="none"))
        for x, y, label in ticks:
            axes.text(x, y, label, fontsize=7, color="#333", ha="center")
        axes.text(cx, cy, caption, fontsize=8, color="#333", ha="right", va="center")
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    pyplot.close(figure)
    return buffer.getvalue()


def colour(value: float, limit: float) -> str:
    """Diverging colour of a value in [-limit, limit]."""
    f = 0.0 if limit <= 0 else max(-1.0, min(1.0, value / limit))
    base = _WARM if f > 0 else _COLD
    rgb = np.array([255, 255, 255]) + (base - 255) * abs(f)
    return "#%02x%02x%02x" % tuple(int(round(c)) for c in rgb)


def _beam_nodes(frame: Frame, chain: BeamChain) -> list[int]:
    return [frame.i[chain.first]] + list(frame.j[chain.first:chain.first + chain.count])


def _plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def model_picture(model: Model, frame: Frame, title: str = "Model") -> Picture:
    """Nodes, beams, domains (their mesh), supports and loads."""
    picture = Picture(title)
    xyz = frame.xyz
    picture.view, view_note = choose_view(np.concatenate([xyz.reshape(-1, 3)] + [
        np.array(node.point).reshape(-1, 3) for node in model.nodes]))
    quads = np.concatenate([mesh.quads for mesh in frame.meshes]) if frame.meshes else np.zeros((0, 4), int)
    occluders = Occluders(xyz[quads], picture.view)
    for mesh in frame.meshes:
        fill = "#e3d9f0" if mesh.domain.surface_type in (1, 2) else "#cfe0f3"
        for quad in mesh.quads:
            picture.polygon(xyz[quad], fill=fill, stroke="#8aa9cc", width=0.4, opacity=0.85)
    _draw_beams(picture, occluders, [xyz[_beam_nodes(frame, chain)] for chain in frame.chains], "#1f3b5a", 2.5)
    for line in model.lines:
        if line.beam is None and line.id not in frame.line_nodes:
            picture.line(np.array([line.start.point, line.end.point]), stroke="#999", width=1, dash="4 3")
    _nodes_and_supports(picture, model, occluders)
    loaded = {load.domain.id for load in model.loads if load.domain is not None}
    for mesh in frame.meshes:
        if mesh.domain.id in loaded:
            centre = mesh.outline.origin
            picture.marker(centre, "arrow", fill="#c03030")
    picture.legend.append(_model_legend(model, frame))
    picture.legend.append("surface loads: red arrows; hidden beams and nodes: dashed and pale")
    if view_note:
        picture.legend.append(view_note)
    return picture


def _nodes_and_supports(picture: Picture, model: Model, occluders: Occluders) -> None:
    """The model's nodes with their ids, and its node supports; pale where a surface hides them."""
    node_points = np.array([node.point for node in model.nodes]).reshape(-1, 3)
    behind = occluders.hidden(node_points)
    for node, back in zip(model.nodes, behind):
        picture.dot(node.point, fill="#222", radius=2.2, behind=bool(back))
        picture.text(node.point, str(node.id), fill="#555", behind=bool(back))
    supported = occluders.hidden(np.array([support.node.point for support in model.node_supports]).reshape(-1, 3))
    for support, back in zip(model.node_supports, supported):
        picture.marker(support.node.point, "support", fill="#e0a030", behind=bool(back))


def _model_legend(model: Model, frame: Frame) -> str:
    beams = sum(1 for line in model.lines if line.beam)
    membranes = sum(1 for mesh in frame.meshes if mesh.domain.surface_type in (1, 2))
    kinds = f", {membranes} of them {'a membrane' if membranes == 1 else 'membranes'} (violet)" if membranes else ""
    return (f"{_plural(len(model.nodes), 'node')}, {_plural(beams, 'beam')}, "
            f"{_plural(len(frame.meshes), 'domain')}{kinds} "
            f"({_plural(sum(len(m.quads) for m in frame.meshes), 'quadrilateral')}), "
            f"{_plural(len(model.node_supports), 'support')} (triangles)")


def deformed_picture(model: Model, solution: Solution, column: int, name: str) -> Picture:
    frame = solution.frame
    u = solution.displacements[:, :3, column]
    largest = float(np.max(np.linalg.norm(u, axis=1))) if len(u) else 0.0
    extent = float(np.max(np.ptp(frame.xyz, axis=0))) if len(frame.xyz) else 1.0
    factor = 0.1 * extent / largest if largest > 0 else 0.0
    moved = frame.xyz + factor * u
    picture = Picture(f"Deformed shape: {name}")
    picture.legend.append(f"largest displacement {largest * 1000:.4g} mm, drawn {factor:.4g} times enlarged; "
                          "undeformed beams dashed grey")
    _viewed(picture, np.concatenate([frame.xyz, moved]))
    uz = u[:, 2]
    limit = float(np.max(np.abs(uz))) if len(uz) else 0.0
    quads = solution.shells.quads if solution.shells is not None else np.zeros((0, 4), int)
    occluders = Occluders(moved[quads], picture.view)
    for mesh in frame.meshes:
        for quad in mesh.quads:
            picture.polygon(moved[quad], fill=colour(float(np.mean(uz[quad])), limit), stroke="#9ab", width=0.3)
    beams = [_beam_nodes(frame, chain) for chain in frame.chains]
    _draw_beams(picture, occluders, [frame.xyz[nodes] for nodes in beams], "#bbb", 1.2, "3 3")
    _draw_beams(picture, occluders, [moved[nodes] for nodes in beams], "#1f3b5a", 2.2)
    if frame.meshes:
        picture.scale = (limit * 1000, "mm", "vertical displacement uz")
    return picture


def moment_picture(model: Model, solution: Solution, stations: tuple[IntArray, FloatArray, FloatArray], column: int,
                   name: str) -> Picture:
    """Bending moment My of every beam, drawn along its local z (the tension side of My > 0 is +z)."""
    frame = solution.frame
    elements, positions, forces = stations
    my = forces[:, column, 4]
    largest = float(np.max(np.abs(my))) if len(my) else 0.0
    extent = float(np.max(np.ptp(frame.xyz, axis=0))) if len(frame.xyz) else 1.0
    factor = 0.15 * extent / largest if largest > 0 else 0.0
    picture = Picture(f"Bending moments My of the beams: {name}")
    picture.legend.append(f"largest |My| {largest:.4g} kNm, drawn on the side of local +z for My > 0: the "
                          "tension side")
    picture.legend.append("labels: the largest value of each beam (kNm)")
    quads = solution.shells.quads if solution.shells is not None else np.zeros((0, 4), int)
    for quad in quads:
        picture.polygon(frame.xyz[quad], fill="#eef2f6", stroke="none", opacity=0.7)
    row = 0
    labelled: list[tuple[FloatArray, float]] = []
    diagrams: list[tuple[list[FloatArray], str]] = []
    lines: list[FloatArray] = []
    outlines: list[FloatArray] = []
    for chain in frame.chains:
        rows = range(row, row + 1 + 2 * chain.count)
        row += 1 + 2 * chain.count
        base_points: list[FloatArray] = []
        tip_points: list[FloatArray] = []
        for r in rows:
            e = elements[r]
            start = frame.xyz[frame.i[e]]
            local = (positions[r] - frame.s0[e]) / max(frame.s1[e] - frame.s0[e], 1e-300) * frame.length[e]
            point = start + frame.axes[e, 0] * local
            base_points.append(point)
            tip_points.append(point + frame.axes[e, 2] * my[r] * factor)
        base, tip = np.array(base_points), np.array(tip_points)
        for k in range(len(base) - 1):
            value = (my[rows[k]] + my[rows[k + 1]]) / 2
            diagrams.append(([base[k], base[k + 1], tip[k + 1], tip[k]], colour(value, largest)))
        lines.append(base)
        outlines.append(tip)
        peak = int(np.argmax(np.abs(my[list(rows)])))
        if largest > 0 and abs(my[rows[peak]]) > 0.05 * largest:
            labelled.append((tip[peak], my[rows[peak]]))
    # In elevation only when the diagrams lie in the model's plane too.
    _viewed(picture, np.concatenate([frame.xyz.reshape(-1, 3)] + [np.array(c).reshape(-1, 3) for c, _ in diagrams]))
    occluders = Occluders(frame.xyz[quads], picture.view)
    behind = occluders.hidden(np.array([np.mean(corners, axis=0) for corners, _ in diagrams]).reshape(-1, 3))
    for (corners, fill), back in zip(diagrams, behind):
        picture.polygon(corners, fill=fill, opacity=0.9, behind=bool(back))
    # The diagrams' outlines keep small moments visible where their colour is nearly white.
    _draw_beams(picture, occluders, outlines, "#6b7f99", 0.7)
    _draw_beams(picture, occluders, lines, "#1f3b5a", 1.8)
    # One label per place: beams meeting at a joint often share their largest value there.
    labelled.sort(key=lambda item: -abs(item[1]))
    views = project(np.array([point for point, _ in labelled]).reshape(-1, 3), picture.view)[:, :2]
    placed = np.zeros(len(labelled), dtype=bool)
    for k, (point, value) in enumerate(labelled):
        if np.any(np.linalg.norm(views[placed] - views[k], axis=1) < 0.04 * extent):
            continue
        placed[k] = True
        picture.text(point, f"{value:.3g}", fill="#222")
    picture.scale = (largest, "kNm", "My")
    return picture


def contour_picture(model: Model, solution: Solution, column: int, name: str, component: int, label: str, unit: str,
                    membranes: bool | None = None) -> Picture:
    """One surface result, averaged per quadrilateral over its Gauss points.

    `membranes`: True draws the membrane domains only, False the others, None all of them.
    """
    frame = solution.frame
    shells = solution.shells
    assert shells is not None
    chosen: BoolArray = np.ones(len(shells.quads), dtype=np.bool_) if membranes is None \
        else shells.membrane == membranes
    values = solution.shell_results[chosen, :, component, column].mean(axis=1)
    limit = float(np.max(np.abs(values))) if len(values) else 0.0
    picture = Picture(f"{label}: {name}")
    low, high = (float(np.min(values)), float(np.max(values))) if len(values) else (0.0, 0.0)
    picture.legend.append(f"from {low:.4g} to {high:.4g} {unit}, in the domains' plane axes")
    _viewed(picture, frame.xyz)
    quads = shells.quads[chosen]
    for value, quad in zip(values, quads):
        picture.polygon(frame.xyz[quad], fill=colour(float(value), limit), stroke="#ccc", width=0.2)
    for other in shells.quads[~chosen]:
        picture.polygon(frame.xyz[other], fill="#f4f4f4", stroke="#e4e4e4", width=0.2)
    _draw_beams(picture, Occluders(frame.xyz[shells.quads], picture.view),
                [frame.xyz[_beam_nodes(frame, chain)] for chain in frame.chains], "#1f3b5a", 1.4)
    picture.scale = (limit, unit, label.split(" ")[-1])
    return picture
