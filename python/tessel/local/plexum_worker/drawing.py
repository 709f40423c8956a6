"""The canvas of the pictures: primitives in model coordinates, written as self-contained SVG or painted as PNG.

A picture is seen in a parallel view, by default axonometric from the front
right (azimuth 30 degrees, elevation 30 degrees), Z up; what lies in one
vertical plane is seen square to it (`choose_view`). Its primitives are kept
in model coordinates and fitted to the picture when it is written:

* surfaces: batches of quadrilaterals, one colour each, painted far to near.
  A batch of more than RASTER_QUADS quadrilaterals is painted into one
  embedded PNG (a z-buffer at SUPERSAMPLE times the picture's resolution,
  with what the surfaces hide, painted by the C++ `_painter`), and so are
  more than RASTER_POINTS points of lines and, in a painted picture, marks
  of more than RASTER_DOTS dots, so a page's size does not grow with the
  mesh; a `SurfaceGeometry` shared by several pictures keeps its
  rasterisation (which quadrilateral each pixel shows) and its occluders
  for every picture fitted, or seen, the same way.
* lines: polylines, written as one SVG path per style;
* dots, support markers, arrows (tail to head in model coordinates) and
  texts. Texts are placed where they overlap no other text; those without
  room are left out and counted in the picture's footnote.

What a surface hides is drawn before it (dashed and pale, or not at
all through opaque result colours). Every picture carries the global axis
triad; pictures coloured by a value carry a colour scale with its unit.
No fonts or scripts are fetched: the SVG is written by hand, and the PNG
(for `render_model`) painted by matplotlib.
"""

from __future__ import annotations

import base64
import html
import io
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, overload

import numpy as np

from . import _painter, compression
from .geometry import BoolArray, FloatArray, IntArray, spans

WIDTH, HEIGHT, MARGIN = 700, 480, 36
RASTER_QUADS = 2000
RASTER_POINTS = 40_000
RASTER_DOTS = 1000  # dots of one mark, above which a painted picture paints them too
SUPERSAMPLE = 1.5
PNG_LEVEL = 3  # zlib level of painted layers without ISA-L: small pages at little cost
# Views as (azimuth, elevation) in degrees.
View = tuple[float, float]
AXONOMETRIC: View = (30.0, 30.0)
_ELEVATIONS = {1: ((0.0, 0.0), "seen in elevation from -Y"), 0: ((-90.0, 0.0), "seen in elevation from +X")}
SCALE_HEIGHT = 34
SCALE_STEPS = 20
# Blue (negative) to white to red (positive); a sequential scale for magnitudes (dark blue to yellow).
_COLD, _WARM = np.array([49, 99, 189]), np.array([200, 45, 45])
_SEQUENTIAL = np.array([[48, 18, 120], [40, 90, 160], [30, 150, 140], [110, 195, 90], [240, 225, 50]], float)
_TRIAD = (("X", "#c0392b"), ("Y", "#27864a"), ("Z", "#2f5fb3"))
MAX_TRIED_LABELS = 400  # of a group, the highest priorities first
_CHAR_WIDTH, _TEXT_HEIGHT = 5.8, 11.0  # of the labels' 10 px sans-serif, for placing them

Points = Any  # anything numpy takes as points (n, 3): an array, a list of points


@dataclass
class Scale:
    """A colour scale from `low` to `high`: diverging around zero, or sequential (magnitudes)."""
    low: float
    high: float
    unit: str
    caption: str
    sequential: bool = False

    def rgb(self, values: Points) -> IntArray:
        """(n, 3) colours of values, in the scale's SCALE_STEPS bands (as its boxes show them)."""
        values = np.asarray(values, float).reshape(-1)
        span = self.high - self.low
        if span <= 0:
            fraction = np.full(len(values), 0.0 if self.sequential else 0.5)
        else:
            band = np.clip(np.floor((values - self.low) / span * SCALE_STEPS), 0, SCALE_STEPS - 1)
            fraction = (band + 0.5) / SCALE_STEPS
        return _ramp(fraction, self.sequential)

    def colour(self, value: float) -> str:
        return _hex(self.rgb([value])[0])


def _ramp(fraction: FloatArray, sequential: bool) -> IntArray:
    """Colours of fractions in [0, 1] of a scale."""
    if sequential:
        stops = np.linspace(0.0, 1.0, len(_SEQUENTIAL))
        rgb = np.stack([np.interp(fraction, stops, _SEQUENTIAL[:, k]) for k in range(3)], axis=1)
    else:
        f = 2.0 * fraction - 1.0
        base = np.where(f[:, None] > 0, _WARM, _COLD)
        rgb = 255.0 + (base - 255.0) * np.abs(f)[:, None]
    out: IntArray = np.round(rgb).astype(np.int64)
    return out


def _hex(rgb: Any) -> str:
    return "#%02x%02x%02x" % tuple(int(c) for c in rgb)


def hex_colours(rgb: IntArray) -> list[str]:
    """"#rrggbb" of each of the colours (n, 3), each distinct colour formatted once."""
    packed = (rgb[:, 0] << 16) | (rgb[:, 1] << 8) | rgb[:, 2]
    distinct, which = np.unique(packed, return_inverse=True)
    texts = [f"#{int(c):06x}" for c in distinct.tolist()]
    return [texts[k] for k in which.reshape(-1).tolist()]


def _packed(colour: str) -> int:
    """ "#rrggbb" or "#rgb" as 0xRRGGBB."""
    r, g, b = _rgb(colour)
    return (r << 16) | (g << 8) | b


def _rgb(colour: str) -> tuple[int, int, int]:
    """The channels of "#rrggbb" or "#rgb"."""
    digits = colour[1:] if len(colour) == 7 else "".join(c + c for c in colour[1:])
    return int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16)


class SurfaceGeometry:
    """Quadrilaterals (n, 4, 3) that several pictures draw, with the rasterisations and occluders made of them so
    far."""

    def __init__(self, corners: Points) -> None:
        self.corners: FloatArray = np.asarray(corners, float).reshape(-1, 4, 3)
        self._rasters: dict[tuple[Any, ...], Any] = {}
        self._occluders: dict[View, Occluders] = {}
        self._bounds: dict[View, FloatArray | None] = {}

    def bounds(self, view: View) -> FloatArray | None:
        """The box of the quadrilaterals as seen in a view (as `_bounds`)."""
        if view not in self._bounds:
            self._bounds[view] = _bounds(self.corners.reshape(-1, 3), view)
        return self._bounds[view]

    def occluders(self, view: View) -> Occluders:
        """The quadrilaterals as seen in a view, as occluders."""
        found = self._occluders.get(view)
        if found is None:
            found = self._occluders[view] = Occluders(self.corners, view)
        return found

    def __len__(self) -> int:
        return len(self.corners)

    def raster(self, view: View, fit: Fit) -> Any:
        """Which quadrilateral each pixel shows (-1: none), at SUPERSAMPLE resolution (int32 rows, columns)."""
        key = (view, round(fit.scale, 9), *np.round(fit.offset, 6).tolist(), *np.round(fit.low, 9).tolist(),
               *np.round(fit.high, 9).tolist())
        found = self._rasters.get(key)
        if found is None:
            found = self._rasters[key] = _rasterise(self.corners, view, fit)
        return found


@dataclass
class Polylines:
    """Polylines one after the other: their points (n, 3), and where each starts (m + 1 offsets, the last n)."""
    points: FloatArray
    starts: IntArray

    @classmethod
    def of_rows(cls, points: FloatArray) -> Polylines:
        """Polylines of as many points each (m, k, 3)."""
        return cls(points.reshape(-1, 3), np.arange(len(points) + 1) * points.shape[1])

    def __len__(self) -> int:
        return len(self.starts) - 1

    @property
    def sizes(self) -> IntArray:
        return np.diff(self.starts)

    def chosen(self, mask: BoolArray) -> Polylines:
        """Those of the polylines where mask (m,) is set, in their order."""
        sizes = self.sizes[mask]
        ends = np.cumsum(sizes)
        index = np.repeat(self.starts[:-1][mask] - (ends - sizes), sizes) + np.arange(int(ends[-1]) if len(ends) else 0)
        return Polylines(self.points[index], np.concatenate([[0], ends]))


@dataclass
class Surface:
    geometry: SurfaceGeometry
    rgb: IntArray  # (n, 3) colour per quadrilateral
    stroke: str  # "none": no edges
    opacity: float
    behind: bool


@dataclass
class Line:
    points: FloatArray
    stroke: str
    width: float
    dash: str | None
    behind: bool


@dataclass
class Mark:
    """Dots, supports or texts at points (n, 3), or one arrow (points: tail, head)."""
    kind: str  # "dot", "support", "arrow", "text"
    points: FloatArray
    fill: str
    behind: bool = False
    labels: Sequence[str] = field(default_factory=list)  # texts: one per point, read only where tried
    size: float = 2.5  # a dot's radius, an arrow's width
    priorities: FloatArray | None = None  # texts: the higher placed first
    group: str = ""  # texts: what the footnote counts when some are left out


class Formatted(Sequence[str]):
    """Labels made when read: the k-th is `template.format(*(column[k] for column in columns))`."""

    def __init__(self, template: str, *columns: Sequence[Any]) -> None:
        self.template, self.columns = template, columns
        self._format = template.format

    def __len__(self) -> int:
        return len(self.columns[0])

    @overload
    def __getitem__(self, k: int) -> str: ...

    @overload
    def __getitem__(self, k: slice) -> list[str]: ...

    def __getitem__(self, k: int | slice) -> str | list[str]:
        if isinstance(k, slice):
            return [self[j] for j in range(*k.indices(len(self)))]
        return self._format(*[column[k] for column in self.columns])


@dataclass
class Picture:
    title: str
    legend: list[str] = field(default_factory=list)  # lines of text under the title
    scale: Scale | None = None
    view: View = AXONOMETRIC
    surfaces: list[Surface] = field(default_factory=list)
    lines: list[Line] = field(default_factory=list)
    marks: list[Mark] = field(default_factory=list)

    def surface(self, geometry: SurfaceGeometry | Points, rgb: Any, stroke: str = "none", opacity: float = 1.0,
                behind: bool = False) -> None:
        """Quadrilaterals (a shared geometry, or corners (n, 4, 3)), coloured per quadrilateral (n, 3) or all
        alike ("#rrggbb")."""
        if not isinstance(geometry, SurfaceGeometry):
            geometry = SurfaceGeometry(geometry)
        if isinstance(rgb, str):
            rgb = np.tile(np.array(_rgb(rgb)), (len(geometry), 1))
        if len(geometry):
            self.surfaces.append(Surface(geometry, np.asarray(rgb, np.int64).reshape(-1, 3), stroke, opacity,
                                         behind))

    def line(self, points: Points, stroke: str, width: float = 1.5, dash: str | None = None,
             behind: bool = False) -> None:
        self.lines.append(Line(np.asarray(points, float).reshape(-1, 3), stroke, width, dash, behind))

    def lines_of(self, polylines: Polylines, stroke: str, width: float = 1.5, dash: str | None = None,
                 behind: bool = False) -> None:
        """Many polylines of one style as one line, broken by rows of NaN between them."""
        if not len(polylines):
            return
        sizes = polylines.sizes
        points = np.full((len(polylines.points) + len(sizes) - 1, 3), np.nan)
        # Each polyline one row further down than the one before: a row of NaN between two.
        points[np.arange(len(polylines.points)) + np.repeat(np.arange(len(sizes)), sizes)] = polylines.points
        self.lines.append(Line(points, stroke, width, dash, behind))

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

    def dot(self, points: Points, fill: str, radius: float = 2.5, behind: bool = False) -> None:
        """Dots at a point (3,) or at points (n, 3)."""
        self.marks.append(Mark("dot", np.asarray(points, float).reshape(-1, 3), fill, behind, size=radius))

    def support(self, points: Points, fill: str, behind: bool = False) -> None:
        self.marks.append(Mark("support", np.asarray(points, float).reshape(-1, 3), fill, behind))

    def arrow(self, tail: Points, head: Points, fill: str, width: float = 1.6) -> None:
        """An arrow from tail to head (model coordinates), drawn above everything."""
        self.marks.append(Mark("arrow", np.array([tail, head], float).reshape(2, 3), fill, size=width))

    def text(self, point: Points, label: str, fill: str = "#333", behind: bool = False, priority: float = 0.0,
             group: str = "labels") -> None:
        self.texts(point, [label], fill, behind, [priority], group)

    def texts(self, points: Points, labels: Sequence[str], fill: str = "#333", behind: bool = False,
              priorities: Points = None, group: str = "labels") -> None:
        """Labels at points (n, 3), placed in the order of their priorities (all 0 when None).

        A picture has room for a few hundred labels: `labels` may be a sequence that makes each label when
        it is read (`Formatted`), so that those never tried are never made.
        """
        points = np.asarray(points, float).reshape(-1, 3)
        rank = np.zeros(len(points)) if priorities is None else np.asarray(priorities, float).reshape(-1)
        kept = list(labels) if isinstance(labels, list) else labels
        self.marks.append(Mark("text", points, fill, behind, kept, 0.0, rank, group))

    def bounds(self) -> FloatArray:
        """The box of everything the picture draws as seen (smallest x, y, largest x, y in view coordinates); points
        whose x is not finite (the breaks between lines) are left out."""
        parts = [s.geometry.bounds(self.view) for s in self.surfaces]  # kept by shared geometries
        rest = [line.points for line in self.lines] + [mark.points for mark in self.marks]
        if rest:
            parts.append(_bounds(np.concatenate(rest), self.view))
        found = [b for b in parts if b is not None]
        return _combined(found) if found else np.zeros(4)  # nothing drawn: the origin


class Occluders:
    """The quadrilaterals of a picture as seen: which points lie behind one of them.

    The triangles (two per quadrilateral) are binned on a grid over the view
    by the painter, so a point is tested against the few triangles of its cell.
    """

    def __init__(self, corners: FloatArray, view: View = AXONOMETRIC) -> None:
        self.view = view
        corners = np.asarray(corners, float).reshape(-1, 4, 3)
        seen = project(corners.reshape(-1, 3), view).reshape(-1, 4, 3)
        # Each quadrilateral as two triangles (0, 1, 2) and (0, 2, 3) in view coordinates.
        self.triangles = np.concatenate([seen[:, [0, 1, 2]], seen[:, [0, 2, 3]]])
        extent = float(np.max(spans(seen.reshape(-1, 3)))) if len(seen) else 1.0
        self.tolerance = 1e-6 * max(extent, 1.0)
        self._grid = _painter.TriangleGrid(self.triangles, self.tolerance)

    def hidden(self, points: Points) -> BoolArray:
        """Per point (n, 3): does a quadrilateral cover it, in front of it where the point is seen?"""
        points = np.asarray(points, float).reshape(-1, 3)
        out = np.zeros(len(points), dtype=bool)
        if len(self.triangles) and len(points):
            self._grid.hidden(project(points, self.view), out)
        return out


def draw_beams(picture: Picture, occluders: Occluders, polylines: Polylines, stroke: str | Sequence[str],
               width: float, dash: str | None = None, pieces: int = 6) -> None:
    """Polylines (one stroke, or one per polyline), each split into its runs in front of and behind the surfaces.

    Each piece of a polyline is tested at `pieces` points, so that its hidden runs start and end near where they do.
    """
    strokes = [stroke] * len(polylines) if isinstance(stroke, str) else list(stroke)
    if not len(occluders.triangles) or not len(polylines):
        _batched(picture, polylines, strokes, width, dash)
        return
    sizes, points = polylines.sizes, polylines.points
    # Every polyline sampled: its pieces divided into `pieces`, then its last point.
    counts = np.maximum(pieces * (sizes - 1) + 1, 1)
    first = np.cumsum(sizes) - sizes
    line = np.repeat(np.arange(len(sizes)), counts)
    k = np.arange(len(line)) - np.repeat(np.cumsum(counts) - counts, counts)
    piece, step = np.minimum(k // pieces, np.maximum(sizes[line] - 2, 0)), k - np.minimum(k // pieces, np.maximum(
        sizes[line] - 2, 0)) * pieces
    start = first[line] + piece
    end = np.minimum(start + 1, first[line] + sizes[line] - 1)
    sampled = points[start] + (points[end] - points[start]) * (step / pieces)[:, None]
    hidden = occluders.hidden(sampled)
    bounds = np.concatenate([[0], np.cumsum(counts)])
    any_hidden = np.add.reduceat(hidden.astype(np.int64), bounds[:-1]) > 0
    _batched(picture, polylines.chosen(~any_hidden), [c for c, h in zip(strokes, any_hidden) if not h], width, dash)
    for n in np.flatnonzero(any_hidden).tolist():
        picture.polyline(sampled[bounds[n]:bounds[n + 1]], hidden[bounds[n]:bounds[n + 1]], strokes[n], width, dash)


def _batched(picture: Picture, polylines: Polylines, strokes: list[str], width: float, dash: str | None) -> None:
    """Polylines as one line per stroke, the strokes in the order they first come."""
    distinct = list(dict.fromkeys(strokes))
    if len(distinct) == 1:
        picture.lines_of(polylines, distinct[0], width, dash)
        return
    code = {colour: k for k, colour in enumerate(distinct)}
    which = np.array([code[colour] for colour in strokes], np.int64)
    for k, colour in enumerate(distinct):
        picture.lines_of(polylines.chosen(which == k), colour, width, dash)


def _turns(view: View) -> tuple[float, float, float, float]:
    """The cosine and sine of a view's azimuth and elevation."""
    azimuth, elevation = math.radians(view[0]), math.radians(view[1])
    return math.cos(azimuth), math.sin(azimuth), math.cos(elevation), math.sin(elevation)


def project(points: FloatArray, view: View = AXONOMETRIC) -> FloatArray:
    """Parallel projection: (n, 3) model coordinates to (n, 3) view (x right, y up, depth away)."""
    points = np.asarray(points, float).reshape(-1, 3)
    ca, sa, ce, se = _turns(view)
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
    spread = spans(points)
    extent = float(np.max(spread))
    for axis, (view, text) in _ELEVATIONS.items():
        if extent > 0 and spread[axis] <= 1e-9 * extent:
            return view, text
    return AXONOMETRIC, None


def viewed(picture: Picture, points: Points) -> None:
    """Sets the picture's view for what it draws (points), saying so when it is an elevation."""
    picture.view, text = choose_view(points)
    if text:
        picture.legend.append(text)


@dataclass
class Fit:
    """How a picture's view coordinates map to its pixels."""
    view: View
    low: FloatArray
    high: FloatArray
    scale: float
    offset: FloatArray

    def __call__(self, points: Points) -> FloatArray:
        """The pixels (n, 2) of points (n, 3): the view's x, y (`project`) scaled and shifted, in one pass."""
        points = np.ascontiguousarray(np.asarray(points, float).reshape(-1, 3))
        pixels = np.empty((len(points), 2))
        _painter.to_pixels(points, *_turns(self.view), float(self.low[0]), float(self.high[1]), float(self.scale),
                           float(self.offset[0]), float(self.offset[1]), pixels)
        return pixels


def _bounds(points: FloatArray, view: View) -> FloatArray | None:
    """Smallest x, y and largest x, y of points (n, 3) as seen in a view, those whose x is not finite left out; None
    when none is left."""
    seen = project(points[np.isfinite(points[:, 0])], view)
    if not len(seen):
        return None
    x, y = np.ascontiguousarray(seen[:, 0]), np.ascontiguousarray(seen[:, 1])
    return np.array([np.min(x), np.min(y), np.max(x), np.max(y)])


def _combined(boxes: list[FloatArray]) -> FloatArray:
    """The box around boxes (as `_bounds`); NaN spreads, as through np.min and np.max."""
    stacked = np.array(boxes)
    return np.concatenate([np.min(stacked[:, :2], axis=0), np.max(stacked[:, 2:], axis=0)])


def fit(picture: Picture) -> Fit:
    box = picture.bounds()
    low, high = box[:2], box[2:]
    span = np.maximum(high - low, 1e-9)
    # Room for the title and legend lines, and for the labels above the topmost points.
    top = 30 + 16 * len(picture.legend) + 14
    bottom = MARGIN + (SCALE_HEIGHT if picture.scale else 0)
    scale = float(min((WIDTH - 2 * MARGIN) / span[0], (HEIGHT - top - bottom) / span[1]))
    offset = np.array([(WIDTH - scale * span[0]) / 2, top + (HEIGHT - top - bottom - scale * span[1]) / 2])
    return Fit(picture.view, low, high, scale, offset)


# Rasterised surfaces.

def _rasterise(corners: FloatArray, view: View, fitted: Fit) -> Any:
    """(HEIGHT * s, WIDTH * s) index of the nearest quadrilateral at each pixel centre (-1: none).

    A z-buffer over the quadrilaterals' two triangles each, in the painter.
    """
    s = SUPERSAMPLE
    index = np.empty((round(HEIGHT * s), round(WIDTH * s)), np.int32)
    flat = corners.reshape(-1, 3)
    xy = fitted(flat) * s
    depth = np.ascontiguousarray(project(flat, view)[:, 2])
    _painter.nearest_quads(xy, depth, index)
    return index


def _paint_surface(image: Any, surface: Surface, view: View, fitted: Fit) -> None:
    """The surface over the image: its colours, its edges where the quadrilaterals are large enough to show them."""
    index = surface.geometry.raster(view, fitted)
    rgb = np.ascontiguousarray(np.broadcast_to(surface.rgb, (len(surface.geometry), 3)), np.uint8)
    stroke = _packed(surface.stroke) if surface.stroke != "none" else -1
    _painter.paint_quads(image, index, rgb, stroke, surface.opacity * (0.45 if surface.behind else 1.0))


def _paint_lines(image: Any, lines: list[Line], fitted: Fit) -> None:
    """Lines over the image, a square brush as wide as the line stamped at every pixel along it."""
    gap = np.full((1, 3), np.nan)
    for (stroke, width, dash, behind), members in _line_groups(lines).items():
        # The members one after the other, a row of NaN between two: no segment joins them.
        pixels = fitted(np.concatenate([part for m in members for part in (m.points, gap)])) * SUPERSAMPLE
        _painter.paint_lines(image, pixels, _packed(stroke), width, SUPERSAMPLE, bool(dash), behind)


def _paint_dots(image: Any, mark: Mark, fitted: Fit) -> None:
    """Dots over the image, each a disc as large as the dot drawn."""
    centres = fitted(mark.points) * SUPERSAMPLE
    _painter.paint_dots(image, centres, _packed(mark.fill), mark.size * SUPERSAMPLE, mark.behind)


def _raster_layer(picture: Picture, fitted: Fit) -> bytes:
    """The surfaces, lines and many dots of a picture painted into one PNG: what is behind, then the rest."""
    image = np.full((round(HEIGHT * SUPERSAMPLE), round(WIDTH * SUPERSAMPLE)), 0xFFFFFF, np.uint32)
    for behind in (True, False):
        for surface in picture.surfaces:
            if surface.behind == behind:
                _paint_surface(image, surface, picture.view, fitted)
        if behind or _many_lines(picture):
            _paint_lines(image, [line for line in picture.lines if line.behind == behind], fitted)
        for mark in _many_dots(picture):
            if mark.behind == behind:
                _paint_dots(image, mark, fitted)
    return _painter.png(image, PNG_LEVEL, _deflate)


def _deflate(rows: bytes) -> bytes:
    return compression.zlib_stream(rows, PNG_LEVEL)


def _many_dots(picture: Picture) -> list[Mark]:
    """The dots a picture paints when it is painted."""
    return [m for m in picture.marks if m.kind == "dot" and len(m.points) > RASTER_DOTS]


def _many_lines(picture: Picture) -> bool:
    return sum(len(line.points) for line in picture.lines) > RASTER_POINTS


def painted(picture: Picture) -> bool:
    """Are the picture's surfaces and lines painted as one PNG (too many to write one by one)?"""
    return (sum(len(s.geometry) for s in picture.surfaces) > RASTER_QUADS or _many_lines(picture)
            or bool(_many_dots(picture)))


# Labels.

def _place_texts(picture: Picture, fitted: Fit) -> tuple[list[tuple[Mark, str, float, float]],
                                                         dict[str, tuple[int, int]]]:
    """(texts, label, x, y) of the labels that have room, and per group (placed, all)."""
    cell = 6.0
    columns, rows = int(WIDTH // cell) + 1, int(HEIGHT // cell) + 1
    taken = np.zeros((rows, columns), bool)
    taken[:int((30 + 16 * len(picture.legend)) // cell), :int(WIDTH * 0.75 // cell)] = True  # title and legend
    taken[int((HEIGHT - 62) // cell):, :int(86 // cell)] = True  # the triad
    marks = [m for m in picture.marks if m.kind == "text"]
    counts: dict[str, list[int]] = {}
    for m in marks:
        counts.setdefault(m.group, [0, 0])[1] += len(m.labels)
    if not marks:
        return [], {}
    owner = np.concatenate([np.full(len(m.labels), k) for k, m in enumerate(marks)])
    index = np.concatenate([np.arange(len(m.labels)) for m in marks])
    priority = np.concatenate([m.priorities if m.priorities is not None else np.zeros(len(m.labels))
                               for m in marks])
    # A picture has room for a few hundred labels at most: each group's highest priorities are tried.
    order = np.argsort(-priority, kind="stable")
    groups = {group: k for k, group in enumerate(counts)}
    group = np.array([groups[m.group] for m in marks])[owner[order]]
    # Each label's rank in its group's order: its place among the group's labels sorted stably by group.
    by_group = np.argsort(group, kind="stable")
    sizes = np.bincount(group, minlength=len(groups))
    rank = np.empty(len(order), np.int64)
    rank[by_group] = np.arange(len(order)) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    chosen = order[rank < MAX_TRIED_LABELS].tolist()
    owners, places = owner.tolist(), index.tolist()
    at = fitted(np.array([marks[owners[k]].points[places[k]] for k in chosen]).reshape(-1, 3))
    labels = [marks[owners[k]].labels[places[k]] for k in chosen]
    widths = _CHAR_WIDTH * np.array([len(label) for label in labels], float) + 2
    left, base = np.empty(len(chosen)), np.empty(len(chosen))
    _painter.place_labels(at, widths, cell, _TEXT_HEIGHT, taken.view(np.uint8), left, base)
    placed: list[tuple[Mark, str, float, float]] = []
    for k, label, x, y in zip(chosen, labels, left.tolist(), base.tolist()):
        if not math.isnan(x):
            mark = marks[owners[k]]
            counts[mark.group][0] += 1
            placed.append((mark, label, x, y))
    return placed, {group: (c[0], c[1]) for group, c in counts.items()}


def footnote(counts: dict[str, tuple[int, int]]) -> str:
    """What the labels without room leave out."""
    missing = [f"{total - shown:,} of {total:,} {group}" for group, (shown, total) in counts.items() if shown < total]
    return "left out, no room: " + "; ".join(missing) if missing else ""


# SVG.

def _coordinates(points: FloatArray) -> str:
    return " ".join(f"{x:.1f},{y:.1f}" for x, y in points.tolist())


def _path(pixels: FloatArray) -> str:
    """One SVG path of polylines in pixels (n, 2), broken by rows of NaN, leaving out points closer than half a
    pixel to the one before (but the ends) and runs of a single point."""
    return _painter.polyline_path(np.ascontiguousarray(pixels, dtype=float))


def _pieces(points: FloatArray) -> list[FloatArray]:
    """A line's runs between its breaks (rows of NaN)."""
    breaks = np.flatnonzero(np.isnan(points[:, 0]))
    return [q[np.isfinite(q[:, 0])] for q in np.split(points, breaks) if np.isfinite(q[:, 0]).sum() > 1]


def _line_groups(lines: list[Line]) -> dict[tuple[str, float, str | None, bool], list[Line]]:
    groups: dict[tuple[str, float, str | None, bool], list[Line]] = {}
    for line in lines:
        groups.setdefault((line.stroke, line.width, line.dash, line.behind), []).append(line)
    return groups


def _svg_lines(lines: list[Line], fitted: Fit) -> list[str]:
    out = []
    for (stroke, width, dash, behind), members in _line_groups(lines).items():
        # The members one after the other, a row of NaN between two.
        gap = np.full((1, 3), np.nan)
        pixels = fitted(np.concatenate([part for m in members for part in (m.points, gap)]))
        dash = dash or ("4 3" if behind else None)
        extra = (f' stroke-dasharray="{dash}"' if dash else "") + (' stroke-opacity="0.45"' if behind else "")
        out.append(f'<path d="{_path(pixels)}" fill="none" stroke="{stroke}" stroke-width="{width}" '
                   f'stroke-linejoin="round"{extra}/>')
    return out


def _svg_surface(surface: Surface, view: View, fitted: Fit) -> list[str]:
    geometry = surface.geometry
    corners = fitted(geometry.corners.reshape(-1, 3)).reshape(-1, 4, 2)
    order = np.argsort(-project(geometry.corners.reshape(-1, 3), view)[:, 2].reshape(-1, 4).mean(axis=1),
                       kind="stable")
    stroke = f' stroke="{surface.stroke}" stroke-width="0.4"' if surface.stroke != "none" else ""
    opacity = f' fill-opacity="{surface.opacity:g}"' if surface.opacity < 1 else ""
    faded = ' opacity="0.45"' if surface.behind else ""
    fills = hex_colours(surface.rgb[order])
    return [f'<polygon points="{points}" fill="{fill}"{stroke}{opacity}{faded}/>'
            for points, fill in zip(_polygon_points(corners[order]), fills)]


def _polygon_points(corners: FloatArray) -> list[str]:
    """The SVG points of each polygon (n, k, 2 in pixels), "x,y x,y ..." with one decimal."""
    if not np.isfinite(corners).all():
        return [_coordinates(polygon) for polygon in corners]
    count, k = corners.shape[:2]
    starts = np.zeros((count, k), np.uint8)
    starts[:, 0] = 1
    return _painter.path_data(np.ascontiguousarray(corners.reshape(-1, 2)), starts.reshape(-1)).split("M")[1:]


def _svg_mark(mark: Mark, fitted: Fit) -> str:
    p = fitted(mark.points).tolist()
    faded = ' opacity="0.45"' if mark.behind else ""
    if mark.kind == "dot":
        return "".join(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="{mark.size}" fill="{mark.fill}"{faded}/>'
                       for x, y in p)
    if mark.kind == "support":
        return "".join(f'<polygon points="{x:.1f},{y:.1f} {x - 7:.1f},{y + 11:.1f} {x + 7:.1f},{y + 11:.1f}" '
                       f'fill="{mark.fill}" stroke="#222" stroke-width="0.8"{faded}/>' for x, y in p)
    return _svg_arrow(np.array(p[0]), np.array(p[1]), mark.fill, mark.size, 'class="arrow"')


def _svg_arrow(tail: FloatArray, head: FloatArray, fill: str, width: float, attributes: str = "") -> str:
    """An arrow tail -> head in pixels; one seen end-on (shorter than 3 px) is a circle with a dot or a cross."""
    direction = head - tail
    length = float(np.hypot(*direction))
    group = f'<g {attributes} data-tail="{tail[0]:.1f},{tail[1]:.1f}" data-head="{head[0]:.1f},{head[1]:.1f}">'
    if length < 3.0:
        x, y = head
        return (group + f'<circle cx="{x:.1f}" cy="{y:.1f}" r="5" fill="none" stroke="{fill}" stroke-width="1.2"/>'
                f'<circle cx="{x:.1f}" cy="{y:.1f}" r="1.5" fill="{fill}"/></g>')
    unit = direction / length
    normal = np.array([-unit[1], unit[0]])
    tip = min(8.0, 0.6 * length)
    base = head - unit * tip
    left, right = base + normal * tip * 0.45, base - normal * tip * 0.45
    return (group + f'<line x1="{tail[0]:.1f}" y1="{tail[1]:.1f}" x2="{base[0]:.1f}" y2="{base[1]:.1f}" '
            f'stroke="{fill}" stroke-width="{width}"/><polygon points="{head[0]:.1f},{head[1]:.1f} '
            f'{left[0]:.1f},{left[1]:.1f} {right[0]:.1f},{right[1]:.1f}" fill="{fill}"/></g>')


def _triad(view: View) -> list[tuple[str, str, FloatArray, bool]]:
    """(axis, colour, direction on the picture (2,), pointing at the viewer) of the global axes."""
    seen = project(np.eye(3), view)
    return [(name, colour, np.array([v[0], -v[1]]), bool(v[2] < 0)) for (name, colour), v in zip(_TRIAD, seen)]


def _svg_triad(view: View) -> list[str]:
    origin = np.array([44.0, HEIGHT - 30.0])
    out = ['<g class="triad">']
    for name, colour, direction, towards in _triad(view):
        length = float(np.hypot(*direction))
        if length < 0.2:
            x, y = origin
            symbol = (f'<circle cx="{x:.1f}" cy="{y:.1f}" r="1.6" fill="{colour}"/>' if towards else
                      f'<path d="M{x - 3:.1f},{y - 3:.1f}L{x + 3:.1f},{y + 3:.1f}M{x - 3:.1f},{y + 3:.1f}'
                      f'L{x + 3:.1f},{y - 3:.1f}" stroke="{colour}" stroke-width="1.2"/>')
            out.append(f'<circle cx="{x:.1f}" cy="{y:.1f}" r="5.5" fill="none" stroke="{colour}" '
                       f'stroke-width="1.2"/>{symbol}<text x="{x + 8:.1f}" y="{y + 14:.1f}" fill="{colour}" '
                       f'font-size="11" font-weight="bold">{name}</text>')
            continue
        head = origin + direction * 26
        out.append(_svg_arrow(origin, head, colour, 1.6, f'data-axis="{name}"'))
        label = origin + direction * 36
        out.append(f'<text x="{label[0] - 4:.1f}" y="{label[1] + 4:.1f}" fill="{colour}" font-size="11" '
                   f'font-weight="bold">{name}</text>')
    out.append("</g>")
    return out


def _scale_boxes(scale: Scale) -> tuple[list[tuple[float, float, float, str]], list[tuple[float, float, str]],
                                        str, tuple[float, float]]:
    """The colour scale: (x, y, width, colour) boxes, its tick labels (x, y, text) and its caption."""
    width, left, y = 240.0, WIDTH - MARGIN - 240.0, HEIGHT - SCALE_HEIGHT + 2.0
    fractions = (np.arange(SCALE_STEPS) + 0.5) / SCALE_STEPS
    boxes = [(left + k * width / SCALE_STEPS, y, width / SCALE_STEPS + 0.3, _hex(rgb))
             for k, rgb in enumerate(_ramp(fractions, scale.sequential))]
    ticks = [(left, y + 22, f"{scale.low:.3g}"), (left + width, y + 22, f"{scale.high:.3g}")]
    if scale.low < 0 < scale.high:
        ticks.insert(1, (left + width * -scale.low / (scale.high - scale.low), y + 22, "0"))
    return boxes, ticks, f"{scale.caption} ({scale.unit})", (left - 8, y + 9)


def svg(picture: Picture) -> str:
    fitted = fit(picture)
    view = picture.view
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {WIDTH} {HEIGHT}" width="{WIDTH}" '
           f'height="{HEIGHT}" font-family="sans-serif" font-size="12">',
           f'<rect width="{WIDTH}" height="{HEIGHT}" fill="#fff"/>']
    header = [f'<text x="12" y="20" font-size="15" font-weight="bold">{html.escape(picture.title)}</text>']
    for k, line in enumerate(picture.legend):
        header.append(f'<text x="12" y="{38 + 16 * k}" fill="#444">{html.escape(line)}</text>')
    placed, counts = _place_texts(picture, fitted)
    if painted(picture):
        # The painted layer is opaque: everything else is written over it.
        data = base64.b64encode(_raster_layer(picture, fitted)).decode("ascii")
        out.append(f'<image class="painted" x="0" y="0" width="{WIDTH}" height="{HEIGHT}" '
                   f'preserveAspectRatio="none" href="data:image/png;base64,{data}"/>')
        out += header
        if not _many_lines(picture):
            out += _svg_lines([line for line in picture.lines if not line.behind], fitted)
        dots = {id(m) for m in _many_dots(picture)}
        out += [_svg_mark(m, fitted) for m in picture.marks if m.kind in ("dot", "support") and id(m) not in dots]
    else:
        out += header
        for behind in (True, False):
            for surface in picture.surfaces:
                if surface.behind == behind:
                    out += _svg_surface(surface, view, fitted)
            out += _svg_lines([line for line in picture.lines if line.behind == behind], fitted)
            out += [_svg_mark(m, fitted) for m in picture.marks
                    if m.kind in ("dot", "support") and m.behind == behind]
    out += [_svg_mark(m, fitted) for m in picture.marks if m.kind == "arrow"]
    for mark, label, x, y in placed:
        faded = ' fill-opacity="0.45"' if mark.behind else ""
        # A white outline under each label keeps it readable over the drawing.
        out.append(f'<text x="{x:.1f}" y="{y:.1f}" fill="{mark.fill}" font-size="10"{faded} stroke="#fff" '
                   f'stroke-width="2.5" stroke-opacity="0.8" paint-order="stroke">{html.escape(label)}</text>')
    out += _svg_triad(view)
    note = footnote(counts)
    if note:
        out.append(f'<text x="96" y="{HEIGHT - 8}" font-size="10" fill="#666">{html.escape(note)}</text>')
    if picture.scale:
        boxes, ticks, caption, (cx, cy) = _scale_boxes(picture.scale)
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
    from matplotlib.collections import LineCollection, PolyCollection
    from matplotlib.patches import Rectangle

    fitted = fit(picture)
    figure = pyplot.figure(figsize=(WIDTH / 100, HEIGHT / 100), dpi=100)
    axes = figure.add_axes((0, 0, 1, 1))
    axes.set_xlim(0, WIDTH)
    axes.set_ylim(HEIGHT, 0)
    axes.axis("off")
    axes.text(12, 20, picture.title, fontsize=11, fontweight="bold")
    for k, line in enumerate(picture.legend):
        axes.text(12, 38 + 16 * k, line, fontsize=8, color="#444")
    placed, counts = _place_texts(picture, fitted)
    for behind in (True, False):
        for surface in picture.surfaces:
            if surface.behind != behind:
                continue
            corners = fitted(surface.geometry.corners.reshape(-1, 3)).reshape(-1, 4, 2)
            order = np.argsort(-project(surface.geometry.corners.reshape(-1, 3), picture.view)[:, 2]
                               .reshape(-1, 4).mean(axis=1), kind="stable")
            axes.add_collection(PolyCollection(
                list(corners[order]), facecolors=surface.rgb[order] / 255.0,
                edgecolors="none" if surface.stroke == "none" else surface.stroke, linewidths=0.3,
                alpha=surface.opacity * (0.45 if behind else 1.0)))
        for (stroke, width, dash, _), members in _line_groups([x for x in picture.lines if x.behind == behind]).items():
            runs = [q for m in members for q in _pieces(fitted(m.points))]
            axes.add_collection(LineCollection(runs, colors=stroke,
                                               linewidths=width * 0.75, alpha=0.45 if behind else 1.0,
                                               linestyles="--" if dash or behind else "-"))
        for mark in picture.marks:
            if mark.kind in ("dot", "support") and mark.behind == behind:
                p = fitted(mark.points)
                axes.plot(p[:, 0], p[:, 1] + (6 if mark.kind == "support" else 0), linestyle="none",
                          marker="o" if mark.kind == "dot" else "^", color=mark.fill,
                          markersize=3 if mark.kind == "dot" else 7, alpha=0.45 if behind else 1.0)
    for mark in picture.marks:
        if mark.kind == "arrow":
            tail, head = fitted(mark.points)
            axes.annotate("", xy=tuple(head), xytext=tuple(tail),
                          arrowprops=dict(arrowstyle="-|>", color=mark.fill, linewidth=1.2))
    for mark, label, x, y in placed:
        axes.text(x, y, label, fontsize=7, color=mark.fill, alpha=0.45 if mark.behind else 1.0)
    origin = np.array([44.0, HEIGHT - 30.0])
    for name, colour, direction, _ in _triad(picture.view):
        if float(np.hypot(*direction)) >= 0.2:
            axes.annotate("", xy=tuple(origin + direction * 26), xytext=tuple(origin),
                          arrowprops=dict(arrowstyle="-|>", color=colour, linewidth=1.2))
        at = origin + direction * 36
        axes.text(at[0] - 4, at[1] + 4, name, fontsize=8, color=colour, fontweight="bold")
    note = footnote(counts)
    if note:
        axes.text(96, HEIGHT - 8, note, fontsize=7, color="#666")
    if picture.scale:
        boxes, ticks, caption, (cx, cy) = _scale_boxes(picture.scale)
        for x, y, w, fill in boxes:
            axes.add_patch(Rectangle((x, y), w, 12, facecolor=fill, edgecolor="none"))
        for x, y, label in ticks:
            axes.text(x, y, label, fontsize=7, color="#333", ha="center")
        axes.text(cx, cy, caption, fontsize=8, color="#333", ha="right", va="center")
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    pyplot.close(figure)
    return buffer.getvalue()


def plural(count: int, word: str) -> str:
    return f"{count:,} {word}" if count == 1 else f"{count:,} {word}s"


__all__ = ["AXONOMETRIC", "Fit", "Formatted", "Occluders", "Picture", "Polylines", "Scale", "SurfaceGeometry",
           "choose_view", "draw_beams", "fit", "footnote", "hex_colours", "painted", "plural", "png", "project", "svg",
           "viewed"]
