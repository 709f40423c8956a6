"""Pictures of the model and its results as self-contained SVG, drawn in an axonometric view.

The view looks down at the model from the front right (azimuth 30 degrees,
elevation 30 degrees), Z up. Everything is a list of flat primitives in
picture coordinates, written as SVG by hand (no fonts or scripts fetched) or,
for PNG, painted by matplotlib.
"""

from __future__ import annotations

import html
import io
import math
from dataclasses import dataclass, field

import numpy as np

WIDTH, HEIGHT, MARGIN = 700, 480, 36
# Blue (negative) to white to red (positive).
_COLD, _WARM = np.array([49, 99, 189]), np.array([200, 45, 45])


@dataclass
class Picture:
    title: str
    shapes: list = field(default_factory=list)  # (kind, points (n, 3) model coordinates, style)
    legend: list = field(default_factory=list)  # lines of text under the title

    def polygon(self, points, fill, stroke="none", width=0.5, opacity=1.0):
        self.shapes.append(("polygon", np.asarray(points, float), dict(fill=fill, stroke=stroke, width=width,
                                                                         opacity=opacity)))

    def line(self, points, stroke, width=1.5, dash=None):
        self.shapes.append(("line", np.asarray(points, float), dict(stroke=stroke, width=width, dash=dash)))

    def dot(self, point, fill, radius=2.5):
        self.shapes.append(("dot", np.asarray([point], float), dict(fill=fill, radius=radius)))

    def marker(self, point, kind, fill):
        self.shapes.append((kind, np.asarray([point], float), dict(fill=fill)))

    def text(self, point, label, fill="#333"):
        self.shapes.append(("text", np.asarray([point], float), dict(fill=fill, label=label)))


def project(points: np.ndarray) -> np.ndarray:
    """Axonometric projection: (n, 3) model coordinates to (n, 3) view (x right, y up, depth)."""
    azimuth, elevation = math.radians(30.0), math.radians(30.0)
    ca, sa, ce, se = math.cos(azimuth), math.sin(azimuth), math.cos(elevation), math.sin(elevation)
    x = points[:, 0] * ca - points[:, 1] * sa
    y = (points[:, 0] * sa + points[:, 1] * ca) * se + points[:, 2] * ce
    depth = (points[:, 0] * sa + points[:, 1] * ca) * ce - points[:, 2] * se
    return np.column_stack([x, y, depth])


def _layout(picture: Picture):
    everything = [p for _, p, _ in picture.shapes]
    if not everything:
        return lambda p: p[:, :2], 1.0
    view = project(np.concatenate(everything))
    low, high = view[:, :2].min(axis=0), view[:, :2].max(axis=0)
    span = np.maximum(high - low, 1e-9)
    top = 30 + 16 * len(picture.legend)
    scale = min((WIDTH - 2 * MARGIN) / span[0], (HEIGHT - top - MARGIN) / span[1])
    offset = np.array([(WIDTH - scale * span[0]) / 2, top + (HEIGHT - top - MARGIN - scale * span[1]) / 2])

    def to_picture(points):
        v = project(points)
        return np.column_stack([offset[0] + (v[:, 0] - low[0]) * scale,
                                offset[1] + (high[1] - v[:, 1]) * scale])
    return to_picture, scale


def _order(picture: Picture) -> list:
    """Far shapes first (painter's order); lines, markers and text above the surfaces."""
    rank = {"polygon": 0, "line": 1, "dot": 2, "support": 2, "arrow": 2, "text": 3}
    return sorted(picture.shapes, key=lambda s: (rank[s[0]], -float(np.mean(project(s[1])[:, 2]))))


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
            dash = f' stroke-dasharray="{style["dash"]}"' if style["dash"] else ""
            out.append(f'<polyline points="{coordinates}" fill="none" stroke="{style["stroke"]}" '
                       f'stroke-width="{style["width"]}" stroke-linejoin="round"{dash}/>')
        elif kind == "dot":
            out.append(f'<circle cx="{p[0, 0]:.1f}" cy="{p[0, 1]:.1f}" r="{style["radius"]}" fill="{style["fill"]}"/>')
        elif kind == "support":
            x, y = p[0]
            out.append(f'<polygon points="{x:.1f},{y:.1f} {x - 7:.1f},{y + 11:.1f} {x + 7:.1f},{y + 11:.1f}" '
                       f'fill="{style["fill"]}" stroke="#222" stroke-width="0.8"/>')
        elif kind == "arrow":
            x, y = p[0]
            out.append(f'<line x1="{x:.1f}" y1="{y - 26:.1f}" x2="{x:.1f}" y2="{y - 4:.1f}" stroke="{style["fill"]}" '
                       f'stroke-width="1.6"/><polygon points="{x:.1f},{y:.1f} {x - 4:.1f},{y - 8:.1f} '
                       f'{x + 4:.1f},{y - 8:.1f}" fill="{style["fill"]}"/>')
        elif kind == "text":
            out.append(f'<text x="{p[0, 0] + 4:.1f}" y="{p[0, 1] - 4:.1f}" fill="{style["fill"]}" '
                       f'font-size="10">{html.escape(style["label"])}</text>')
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
            axes.text(p[0, 0] + 4, p[0, 1] - 4, style["label"], fontsize=7, color=style["fill"])
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


def model_picture(model, frame, title: str = "Model") -> Picture:
    """Nodes, beams, domains (their mesh), supports and loads."""
    picture = Picture(title)
    xyz = frame.xyz
    for mesh in frame.meshes:
        for quad in mesh.quads:
            picture.polygon(xyz[quad], fill="#cfe0f3", stroke="#8aa9cc", width=0.4, opacity=0.85)
    for chain in frame.chains:
        nodes = [frame.i[chain.first]] + list(frame.j[chain.first:chain.first + chain.count])
        picture.line(xyz[nodes], stroke="#1f3b5a", width=2.5)
    for line in model.lines:
        if line.beam is None and line.id not in frame.line_nodes:
            picture.line(np.array([line.start.point, line.end.point]), stroke="#999", width=1, dash="4 3")
    for node in model.nodes:
        picture.dot(node.point, fill="#222", radius=2.2)
        picture.text(node.point, str(node.id), fill="#555")
    for support in model.node_supports:
        picture.marker(support.node.point, "support", fill="#e0a030")
    loaded = {load.domain.id for load in model.loads if load.domain is not None}
    for mesh in frame.meshes:
        if mesh.domain.id in loaded:
            centre = mesh.outline.origin
            picture.marker(centre, "arrow", fill="#c03030")
    beams = sum(1 for line in model.lines if line.beam)
    picture.legend.append(f"{len(model.nodes)} nodes, {beams} beams, {len(frame.meshes)} domains "
                          f"({sum(len(m.quads) for m in frame.meshes)} quadrilaterals), "
                          f"{len(model.node_supports)} supports (triangles), surface loads (red arrows)")
    return picture


def deformed_picture(model, solution, column: int, name: str) -> Picture:
    frame = solution.frame
    u = solution.displacements[:, :3, column]
    largest = float(np.max(np.linalg.norm(u, axis=1))) if len(u) else 0.0
    extent = float(np.max(np.ptp(frame.xyz, axis=0))) if len(frame.xyz) else 1.0
    factor = 0.1 * extent / largest if largest > 0 else 0.0
    moved = frame.xyz + factor * u
    picture = Picture(f"Deformed shape: {name}")
    picture.legend.append(f"largest displacement {largest * 1000:.4g} mm, drawn {factor:.4g} times enlarged; "
                          "colour: vertical displacement")
    uz = u[:, 2]
    limit = float(np.max(np.abs(uz))) if len(uz) else 0.0
    for mesh in frame.meshes:
        for quad in mesh.quads:
            picture.polygon(moved[quad], fill=colour(float(np.mean(uz[quad])), limit), stroke="#9ab", width=0.3)
    for chain in frame.chains:
        nodes = [frame.i[chain.first]] + list(frame.j[chain.first:chain.first + chain.count])
        picture.line(frame.xyz[nodes], stroke="#bbb", width=1.2, dash="3 3")
        picture.line(moved[nodes], stroke="#1f3b5a", width=2.2)
    return picture


def moment_picture(model, solution, stations, column: int, name: str) -> Picture:
    """Bending moment My of every beam, drawn along its local z (the tension side of My > 0 is +z)."""
    frame = solution.frame
    elements, positions, forces = stations
    my = forces[:, column, 4]
    largest = float(np.max(np.abs(my))) if len(my) else 0.0
    extent = float(np.max(np.ptp(frame.xyz, axis=0))) if len(frame.xyz) else 1.0
    factor = 0.15 * extent / largest if largest > 0 else 0.0
    picture = Picture(f"Bending moments My of the beams: {name}")
    picture.legend.append(f"largest |My| {largest:.4g} kNm; drawn on the side of local +z for My > 0")
    for mesh in frame.meshes:
        for quad in mesh.quads:
            picture.polygon(frame.xyz[quad], fill="#eef2f6", stroke="none", opacity=0.7)
    row = 0
    for chain in frame.chains:
        rows = range(row, row + 1 + 2 * chain.count)
        row += 1 + 2 * chain.count
        base, tip = [], []
        for r in rows:
            e = elements[r]
            start = frame.xyz[frame.i[e]]
            local = (positions[r] - frame.s0[e]) / max(frame.s1[e] - frame.s0[e], 1e-300) * frame.length[e]
            point = start + frame.axes[e, 0] * local
            base.append(point)
            tip.append(point + frame.axes[e, 2] * my[r] * factor)
        base, tip = np.array(base), np.array(tip)
        for k in range(len(base) - 1):
            value = (my[rows[k]] + my[rows[k + 1]]) / 2
            picture.polygon([base[k], base[k + 1], tip[k + 1], tip[k]], fill=colour(value, largest), opacity=0.9)
        picture.line(base, stroke="#1f3b5a", width=1.8)
        peak = int(np.argmax(np.abs(my[list(rows)])))
        if largest > 0 and abs(my[rows[peak]]) > 0.05 * largest:
            picture.text(tip[peak], f"{my[rows[peak]]:.3g}", fill="#222")
    return picture


def contour_picture(model, solution, column: int, name: str, component: int, label: str, unit: str) -> Picture:
    """One surface result, averaged per quadrilateral over its Gauss points."""
    frame = solution.frame
    values = solution.shell_results[:, :, component, column].mean(axis=1)
    limit = float(np.max(np.abs(values))) if len(values) else 0.0
    picture = Picture(f"{label}: {name}")
    low, high = (float(values.min()), float(values.max())) if len(values) else (0.0, 0.0)
    picture.legend.append(f"from {low:.4g} (blue) to {high:.4g} {unit} (red), in the domains' plane axes")
    for value, quad in zip(values, solution.shells.quads):
        picture.polygon(frame.xyz[quad], fill=colour(float(value), limit), stroke="#ccc", width=0.2)
    for chain in frame.chains:
        nodes = [frame.i[chain.first]] + list(frame.j[chain.first:chain.first + chain.count])
        picture.line(frame.xyz[nodes], stroke="#1f3b5a", width=1.4)
    return picture
