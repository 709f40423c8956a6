"""A slab on beams and columns, built with the model builder, computed on the local platform and drawn."""

import base64
import gzip
import html
import io
import json
import math
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from tessel.external.plexum import Domain, LoadCombination, Material, Model, PlexumAnalysis
from tessel.local import render_model
from tessel.local.plexum_worker.report import page_summary
from tessel.local.plexum_worker.tables import _cell

RIGID = 1e10
G = 9.80665


@pytest.fixture
def platform(plexum_platform):
    return plexum_platform


def build(mesh=0.5):
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    girder = model.cross_sections.create_rectangular(0.3, 0.6)
    column_section = model.cross_sections.create_rectangular(0.4, 0.4)
    top = [model.nodes.create(x, y, 3.0) for x, y in ((0, 0), (8, 0), (8, 6), (0, 6))]
    edges = [model.lines.create(top[k], top[(k + 1) % 4]) for k in range(4)]
    beams = [line.define_as_beam(concrete, girder) for line in edges]
    slab = model.domains.create(edges, surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=concrete)
    slab.generate_mesh(Domain.MeshGeometry.QUAD, mesh)
    feet, columns = [], []
    for node in top:
        foot = model.nodes.create(node.x, node.y, 0.0)
        feet.append(foot)
        columns.append(model.lines.create(foot, node).define_as_beam(concrete, column_section))
        model.node_supports.create_relative_to_member(foot, stiffness_x=RIGID, stiffness_y=RIGID,
                                                      stiffness_z=RIGID, stiffness_xx=RIGID, stiffness_yy=RIGID,
                                                      stiffness_zz=RIGID)
    centre = model.nodes.create(4.0, 3.0, 3.0)
    dead, imposed = model.load_cases.create("dead"), model.load_cases.create("imposed")
    model.loads.create_domain_self_weight(dead, slab)
    for member in beams + columns:
        model.loads.create_beam_self_weight(dead, member)
    model.loads.create_domain_constant(imposed, slab, (0.0, 0.0, -3.0))
    uls = model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35, imposed: 1.5}, name="ULS")
    cut = model.sections.create((0.0, 3.0, 3.0), (8.0, 3.0, 3.0), (0.0, 1.0, 0.0), name="middle")
    model.results.nodal_displacements([centre], by_load_case=False)
    model.results.nodal_support_forces(by_load_case=True)
    model.results.line_forces([beams[0]], by_load_case=False)
    model.results.section_surface_forces([cut], [uls])
    model.results.section_surface_stresses([cut], [uls])
    return model


def test_slab_and_frame_built_with_the_model_builder(platform, tmp_path):
    model = build()
    analysis = PlexumAnalysis(model, return_model=True)
    analysis.execute(timeout=60)
    results = analysis.get_results()
    weight = 2500 * G / 1000 * (48 * 0.2 + 28 * 0.18 + 12 * 0.16)
    totals = {case: sum(s["LoadCases"][case]["Global"]["z"] for s in results["Forces"]["NodalSupports"].values())
              for case in ("1", "2")}
    assert totals == pytest.approx({"1": weight, "2": 3.0 * 48})
    centre = results["Displacements"]["Nodes"]["9"]["LoadCombinations"]["1"]
    assert centre["z"] < 0
    cut = results["Sections"]["1"]["SurfaceForces"]["LoadCombinations"]["1"]
    assert cut["Integrals"]["Length"] == pytest.approx(8.0)
    # Across the cut at mid-width the slab sags all along; along it, it sags
    # in the middle and hogs over the edge beams.
    assert max(p["mn"] for p in cut["Points"]) < 0
    assert min(p["mt"] for p in cut["Points"]) < 0 < max(p["mt"] for p in cut["Points"])
    page = analysis.get_result_file().getvalue().decode()
    assert page.startswith("<!DOCTYPE html>") and page.count("<svg") >= 9
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", page)  # nothing fetched from the network
    (tmp_path / "result.html").write_text(page)
    check_in_browser(tmp_path / "result.html", tmp_path)


def test_render_model_draws_without_touching_the_model(tmp_path):
    model = build()
    before = [interface._serialize() for interface in (model.nodes, model.lines, model.domains, model.loads)]
    picture = render_model(model)
    assert picture.startswith(b'<svg xmlns="http://www.w3.org/2000/svg"')
    assert picture.count(b"<polygon") >= 192  # 16 x 12 quadrilaterals and the supports
    assert render_model(model, "png").startswith(b"\x89PNG")
    assert render_model(model, tmp_path / "model.svg") == tmp_path / "model.svg"
    assert (tmp_path / "model.svg").read_bytes() == picture
    after = [interface._serialize() for interface in (model.nodes, model.lines, model.domains, model.loads)]
    assert after == before
    assert model._calculations._serialize()["Functions"] == []
    with pytest.raises(ValueError, match="give a path ending in .svg or .png"):
        render_model(model, tmp_path / "model.gif")


def check_in_browser(page, folder):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium is not installed")
    # The browser is not ours to instrument: without a sanitizer runtime preloaded into it.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", f"--user-data-dir={folder}/u"]
    dom = subprocess.run([browser, *flags, "--dump-dom", page.as_uri()], capture_output=True, text=True,
                         timeout=120, env=env)
    assert dom.returncode == 0, dom.stderr
    assert dom.stdout.count("<svg") >= 9 and "Deformed shape" in dom.stdout
    assert dom.stdout.count('<g class="triad">') == dom.stdout.count("<svg")
    shot = folder / "page.png"
    run = subprocess.run([browser, *flags, f"--screenshot={shot}", "--window-size=1600,1200", page.as_uri()],
                         capture_output=True, text=True, timeout=120, env=env)
    assert run.returncode == 0 and shot.stat().st_size > 20000, run.stderr


def test_pictures_drawn_on_threads_give_the_same_page_and_their_failures_fail_the_job(monkeypatch):
    from concurrent.futures import Future

    from tessel.local.plexum_worker import PlexumWorker, drawing, report

    content = json.loads(json.dumps(PlexumAnalysis(build(0.15))._generate_job_content()._data)) | {"version": 1}
    threaded = PlexumWorker()(content)["ResultFile"]

    def one_by_one(pool, pictures):
        drawn = [Future() for _ in pictures]
        for future, picture in zip(drawn, pictures):
            future.set_result(drawing.svg(picture))
        return drawn

    monkeypatch.setattr(report, "_drawn", one_by_one)
    page = base64.b64decode(threaded).decode()
    assert PlexumWorker()(content)["ResultFile"] == threaded and page.count('<image class="painted"') >= 5
    # A picture that fails on a thread fails the job.
    monkeypatch.undo()
    monkeypatch.setattr(drawing, "_raster_layer", lambda picture, fitted: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        PlexumWorker()(content)


# What the pictures and the page say, checked in their SVG and HTML (not pixel by pixel).

def slab_with(loads):
    """The slab of `build` with one load case per surface load (qx, qy, qz), on a 4 x 3 m shell."""
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    top = [model.nodes.create(x, y, 3.0) for x, y in ((0, 0), (4, 0), (4, 3), (0, 3))]
    edges = [model.lines.create(top[k], top[(k + 1) % 4]) for k in range(4)]
    for line in edges:
        line.define_as_beam(concrete, model.cross_sections.create_rectangular(0.3, 0.5))
    slab = model.domains.create(edges, surface_type=Domain.SurfaceType.SHELL, thickness=0.2, material=concrete)
    slab.generate_mesh(Domain.MeshGeometry.QUAD, 1.0)
    for node in top:
        foot = model.nodes.create(node.x, node.y, 0.0)
        model.lines.create(foot, node).define_as_beam(concrete, model.cross_sections.create_rectangular(0.3, 0.3))
        model.node_supports.create_relative_to_member(foot, stiffness_x=RIGID, stiffness_y=RIGID, stiffness_z=RIGID,
                                                      stiffness_xx=RIGID, stiffness_yy=RIGID, stiffness_zz=RIGID)
    for load in loads:
        model.loads.create_domain_constant(model.load_cases.create(), slab, load)
    return model


ARROW = re.compile(r'<g class="arrow" data-tail="([-\d.]+),([-\d.]+)" data-head="([-\d.]+),([-\d.]+)"')


@pytest.mark.parametrize("load, right, up", [
    ((2.0, 0.0, 0.0), True, True),     # wind along +X: seen from the front right, to the right and a little up
    ((0.0, 0.0, 0.5), None, True),     # uplift: straight up
    ((0.0, 0.0, -3.0), None, False),   # gravity: straight down
    ((-2.0, 0.0, 0.0), False, False),
])
def test_surface_loads_are_drawn_in_their_direction(load, right, up):
    picture = render_model(slab_with([load])).decode()
    arrows = [tuple(map(float, m)) for m in ARROW.findall(picture)]
    assert len(arrows) >= 4
    for x0, y0, x1, y1 in arrows:
        assert (y1 < y0) == up  # the picture's y runs down
        assert abs(x1 - x0) < 0.5 if right is None else (x1 > x0) == right
    magnitude = next(v for v in load if v)
    assert f"LC1: q{'xyz'[load.index(magnitude)]} {magnitude:+.3g} kN/m2" in picture


def test_arrows_are_scaled_by_magnitude_and_coloured_by_load_case():
    picture = render_model(slab_with([(0.0, 0.0, -4.0), (0.0, 0.0, -1.0)])).decode()
    lengths = {}
    for match in re.finditer(r'<g class="arrow" data-tail="([-\d.]+),([-\d.]+)" data-head="([-\d.]+),([-\d.]+)">'
                             r'<line [^>]*stroke="(#\w+)"', picture):
        x0, y0, x1, y1 = map(float, match.groups()[:4])
        lengths.setdefault(match.group(5), set()).add(round(math.hypot(x1 - x0, y1 - y0)))
    assert len(lengths) == 2
    longer, shorter = sorted(lengths.values(), key=max, reverse=True)
    assert max(longer) == pytest.approx(4 * max(shorter), rel=0.05)
    assert "LC 1 red; LC 2 blue" in picture


def text_boxes(svg):
    """(left, bottom, label) of the placed labels (font size 10) of an SVG picture."""
    return [(float(x), float(y), html.unescape(label)) for x, y, label in
            re.findall(r'<text x="([-\d.]+)" y="([-\d.]+)" fill="#\w+" font-size="10"[^>]*>([^<]+)</text>', svg)]


def overlapping(boxes):
    width = 5.8  # per character, as the labels are placed
    return [(a[2], b[2]) for k, a in enumerate(boxes) for b in boxes[k + 1:]
            if a[0] < b[0] + width * len(b[2]) and b[0] < a[0] + width * len(a[2]) and abs(a[1] - b[1]) < 11]


def test_the_model_picture_names_nodes_beams_and_cuts_without_overlap_and_shows_the_axes():
    picture = render_model(build()).decode()
    labels = [label for _, _, label in text_boxes(picture)]
    assert {f"N{k}" for k in range(1, 10)} <= set(labels) and {f"B{k}" for k in range(1, 9)} <= set(labels)
    assert "cut 1 'middle'" in labels and 'stroke="#8e44ad"' in picture
    assert overlapping(text_boxes(picture)) == []
    assert re.findall(r'data-axis="(\w)"', picture) == ["X", "Y", "Z"]


def test_a_beam_deflects_along_its_shape_functions_and_the_summary_finds_the_largest_point(platform):
    # One element, simply supported, under its weight: the curve's middle is 5 q L^4 / 384 EI, where the
    # straight chord between its nodes does not move at all.
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    a, b = model.nodes.create(0.0, 0.0, 0.0), model.nodes.create(6.0, 0.0, 0.0)
    beam = model.lines.create(a, b).define_as_beam(concrete, model.cross_sections.create_rectangular(0.3, 0.6))
    for node, x in ((a, RIGID), (b, 0.0)):
        model.node_supports.create_relative_to_member(node, stiffness_x=x, stiffness_y=RIGID, stiffness_z=RIGID,
                                                      stiffness_xx=RIGID, stiffness_yy=0.0, stiffness_zz=RIGID)
    model.loads.create_beam_self_weight(model.load_cases.create("dead"), beam)
    model.results.nodal_displacements()
    analysis = PlexumAnalysis(model, return_model=True)
    analysis.execute(timeout=60)
    page = analysis.get_result_file().getvalue()
    described = json.loads(analysis.get_model_file().getvalue())
    e = described["Materials"][0]["E"]
    q = 2500 * G / 1000 * 0.3 * 0.6
    [summary] = page_summary(page)
    largest = summary["LargestDisplacement"]
    assert largest["Value"] == pytest.approx(5 * q * 6.0 ** 4 / (384 * e * 0.3 * 0.6 ** 3 / 12), rel=1e-5)
    assert largest["z"] == pytest.approx(-largest["Value"]) and largest["Where"].startswith("beam 1 at 3 m ")
    text = page.decode()
    assert "Bending moments My" in text and "Bending moments Mz" not in text  # no Mz in a plane frame


def test_the_page_orders_each_case_summary_pictures_tables_and_names_what_it_draws(platform, tmp_path):
    model = build()
    analysis = PlexumAnalysis(model)
    analysis.execute(timeout=60)
    results, page = analysis.get_results(), html.unescape(analysis.get_result_file().getvalue().decode())
    sections = page.split('<section class="column">')[1:]
    assert [s[s.index("<h2>") + 4:s.index("</h2>")] for s in sections] == ["LC 1 'dead'", "LC 2 'imposed'",
                                                                           "CO 1 'ULS'"]
    for section in sections:
        assert section.index('<ul class="summary">') < section.index("<figure>") < section.index("<h3>")
    summary = page_summary(analysis.get_result_file().getvalue())
    supports = results["Forces"]["NodalSupports"]
    assert summary[1]["SupportForces"]["z"] == pytest.approx(sum(s["LoadCases"]["2"]["Global"]["z"]
                                                                 for s in supports.values()))
    assert summary[1]["AppliedLoad"] == pytest.approx({"x": 0.0, "y": 0.0, "z": -3.0 * 48})
    combination = sections[2]
    assert "Bending moments Mz of the beams: CO 1 'ULS'" in combination  # the columns bend both ways
    assert "Section cuts: CO 1 'ULS'" in combination and "mn (kNm/m)" in combination
    assert "Slab moments mx: CO 1 'ULS'" in combination and "x (domain 1)" in combination  # the domain's axes
    assert "Support forces on the structure (global axes; kN, kNm)" in sections[1]
    fz = f"{supports['1']['LoadCases']['2']['Global']['z']:.3f}"
    assert f"<tr><td>1</td><td>{_cell(supports['1']['LoadCases']['2']['Global']['x'])}</td>" in sections[1]
    assert fz in sections[1]
    assert page.count('<g class="triad">') == page.count("<svg") >= 12
    for svg in re.findall(r"<svg.*?</svg>", page, re.S):
        assert overlapping(text_boxes(svg)) == []


def test_many_quadrilaterals_are_painted_once_and_shared_between_pictures():
    from tessel.local.plexum_worker import drawing

    # 200 x 200 quadrilaterals, and a square above their middle that hides part of them.
    x, y = np.meshgrid(np.arange(200.0), np.arange(200.0))
    base = np.stack([x, y, np.zeros_like(x)], axis=-1).reshape(-1, 3)
    grid = np.stack([base, base + (1, 0, 0), base + (1, 1, 0), base + (0, 1, 0)], axis=1)
    cover = np.array([[[80, 80, 5], [120, 80, 5], [120, 120, 5], [80, 120, 5]]], float)
    shared = drawing.SurfaceGeometry(np.concatenate([grid, cover]))
    pictures = []
    for colour in ("#ff0000", "#00ff00"):
        picture = drawing.Picture("grid")
        picture.surface(shared, colour)
        pictures.append(drawing.svg(picture))
    assert all(p.count('<image class="painted"') == 1 and p.count("<polygon") == 3 and len(p) < 200_000
               for p in pictures)  # the triad's three arrow heads
    assert len(shared._rasters) == 1  # one rasterisation for both pictures
    from matplotlib.image import imread

    data = re.search(r'href="data:image/png;base64,([^"]+)"', pictures[1]).group(1)
    pixels = imread(io.BytesIO(base64.b64decode(data)), format="png")[..., :3]  # a palette is read as RGBA
    assert pixels.shape == (round(480 * drawing.SUPERSAMPLE), round(700 * drawing.SUPERSAMPLE), 3)
    index = next(iter(shared._rasters.values()))
    fitted = drawing.fit(picture)
    row, column = (fitted(np.array([[100.0, 100.0, 0.0]]))[0] * drawing.SUPERSAMPLE).astype(int)[::-1]
    assert index[row, column] == len(grid)  # the cover, nearer than the grid under it
    row, column = (fitted(np.array([[10.5, 10.5, 0.0]]))[0] * drawing.SUPERSAMPLE).astype(int)[::-1]
    assert index[row, column] == 10 * 200 + 10
    assert pixels[row, column].tolist() == [0.0, 1.0, 0.0] and pixels[0, 0].tolist() == [1.0, 1.0, 1.0]



@pytest.mark.parametrize("view", [(30.0, 30.0), (90.0, 0.0), (0.0, 0.0), (-37.5, 61.0)])
def test_points_are_fitted_to_the_pixels_their_view_gives(view):
    from tessel.local.plexum_worker import drawing

    points = np.random.default_rng(8).normal(0.0, 50.0, (300, 3))
    points[3], points[7, 2], points[9, 0] = np.nan, np.inf, -1e300
    fitted = drawing.Fit(view, np.array([-80.0, -60.0]), np.array([90.0, 70.0]), 3.7, np.array([36.0, 110.0]))
    with np.errstate(invalid="ignore", over="ignore"):
        seen = drawing.project(points, view)  # the view's coordinates, then scaled and shifted
        expected = np.column_stack([36.0 + (seen[:, 0] + 80.0) * 3.7, 110.0 + (70.0 - seen[:, 1]) * 3.7])
        assert np.array_equal(fitted(points), expected, equal_nan=True)
        assert np.array_equal(fitted(points[::2].tolist()), expected[::2], equal_nan=True)


@pytest.mark.parametrize("isal", [True, False])
def test_page_data_deflated_by_isal_or_zlib_reads_back_the_same(monkeypatch, isal):
    from matplotlib.image import imread
    from tessel.local.plexum_worker import _painter, compression, drawing

    if not isal:
        monkeypatch.setattr(compression, "_isal_zlib", None)
        monkeypatch.setattr(compression, "_igzip", None)
    elif compression._isal_zlib is None:
        pytest.skip("ISA-L is not installed")
    rng = np.random.default_rng(3)
    for colours in (5, 300):  # a palette, and RGB
        image = rng.choice(rng.integers(0, 1 << 24, colours), (61, 83)).astype(np.uint32)
        pixels = imread(io.BytesIO(_painter.png(image, drawing.PNG_LEVEL, drawing._deflate)), format="png")
        channels = np.stack([image >> 16, (image >> 8) & 255, image & 255], axis=-1)
        assert np.array_equal(np.round(pixels[..., :3] * 255), channels)
    text = "".join(f"{k},{k / 7:.6g}\n" for k in range(5000)).encode()
    assert gzip.decompress(compression.gzip_file(text, 1)) == text


@pytest.mark.parametrize("count", [100, 5000])
def test_many_dots_of_a_painted_picture_are_painted_with_it(count):
    from matplotlib.image import imread
    from tessel.local.plexum_worker import drawing

    points = np.stack([np.arange(count) % 100 * 3.0, np.arange(count) // 100 * 3.0, np.zeros(count)], axis=1)
    picture = drawing.Picture("dots")
    picture.line(np.stack([points[:, 0], points[:, 1], np.full(count, 1.0)], axis=1)[np.arange(50_000) % count],
                 "#888")  # too many points to write: the picture is painted
    picture.dot(points, "#ff0000", radius=2.0)
    picture.dot(points[:1], "#0000ff", radius=3.0)  # one dot: written
    text = drawing.svg(picture)
    assert text.count("<circle") == (1 if count > drawing.RASTER_DOTS else 1 + count)
    data = re.search(r'href="data:image/png;base64,([^"]+)"', text).group(1)
    pixels = imread(io.BytesIO(base64.b64decode(data)), format="png")[..., :3]  # a palette is read as RGBA
    column, row = (drawing.fit(picture)(points[-1:])[0] * drawing.SUPERSAMPLE).astype(int)
    red = pixels[row, column].tolist() == [1.0, 0.0, 0.0]
    assert red == (count > drawing.RASTER_DOTS)

def test_a_long_table_shows_its_first_rows_and_links_all_of_them_compressed():
    from tessel.local.plexum_worker.tables import MAX_ROWS, table

    rows = [[k, k / 3] for k in range(MAX_ROWS + 50)]
    text = table("Beam forces", ["beam", "N"], rows)
    assert text.count("<tr>") == MAX_ROWS + 1 and f"The first {MAX_ROWS} of {MAX_ROWS + 50} rows" in text
    data = re.search(r'download="beam-forces.csv.gz" href="data:application/gzip;base64,([^"]+)"', text).group(1)
    lines = gzip.decompress(base64.b64decode(data)).decode().splitlines()
    assert lines[0] == "beam,N" and lines[1:] == [f"{k},{k / 3:.6g}" for k in range(MAX_ROWS + 50)]



_HALFWAY = ((np.random.default_rng(6).integers(10 ** 5, 10 ** 6, 180) + 0.5)
            * 10.0 ** np.concatenate([np.arange(-16, 44), np.arange(-300, 300, 5)]))


@pytest.mark.parametrize("rows, fast", [
    # Numbers of every size and kind a table meets, as "%.6g" and "%.3f" write them (halfway cases among them);
    # ids as str (with characters HTML escapes) and int.
    ([["7", v, 3] for v in [0.0, -0.0, 1e-5, 1e-4, 123456.5, 1234567.0, 0.1 + 0.2, 5e-324, 1.7976931348623157e308,
                            float("inf"), -float("inf"), float("nan"), -float("nan"), 2.5e-7, 999999.5, -1.5e16,
                            -0.0004, 0.0005, 0.0625, -2.0625, 1.0005]]
     + [["\u00e9\u4e2d<&'\">", v, 10 ** 30] for v in np.random.default_rng(5).lognormal(0, 12, 500).tolist()]
     # Halfway cases of six digits and their neighbours, from round-off (1e-300) to 1e300.
     + [["n", v, 0] for v in np.concatenate([np.nextafter(_HALFWAY, 0), _HALFWAY,
                                             np.nextafter(_HALFWAY, 1e300)]).tolist()],
     True),
    ([["1", 1.0], ["2", 2]], True),           # each value as it is, whatever the row above holds
    ([["a", 1.0], ["b", 2.0, "x"], [3.0]], True),  # rows of any length, each on its line
    ([["1", 1.0, True], ["2", None]], False),  # other values: by Python
])
def test_table_rows_are_written_as_python_formats_them(rows, fast):
    from tessel.local.plexum_worker import _tables, tables

    expected = "".join(",".join(f"{v:.6g}" if isinstance(v, float) else str(v) for v in row) + "\n" for row in rows)
    assert (_tables.csv_rows(rows) is not None) == fast
    assert tables._csv_rows(rows).decode() == expected
    cells = [[("0" if float(f"{v:.3f}") == 0 else f"{v:.3f}") if isinstance(v, float) else html.escape(str(v))
              for v in row] for row in rows]
    shown = tables.table("t", ["a"], rows).split("</tr>\n", 1)[1].removesuffix("\n</table>")
    assert (_tables.html_rows(rows) is not None) == fast
    assert shown == "\n".join("<tr>" + "".join(f"<td>{c}</td>" for c in row) + "</tr>"
                               for row in cells[:tables.MAX_ROWS])


def test_answer_entries_regroup_into_table_rows_as_python_does():
    from collections import OrderedDict

    from tessel.local.plexum_worker import _tables, tables

    entries = {"7": {"LoadCases": {"1": [{"a": 1.0, "b": 2}], "2": [{"b": 3, "a": -0.0}, {"a": 4.0, "b": "x"}]}},
               "3": {"LoadCombinations": {"1": []}, "LoadCases": {"2": [{"a": 5.0, "b": None}]}}}
    expected = {("LoadCases", "1"): [("7", entries["7"]["LoadCases"]["1"])],
                ("LoadCases", "2"): [("7", entries["7"]["LoadCases"]["2"]), ("3", entries["3"]["LoadCases"]["2"])],
                ("LoadCombinations", "1"): [("3", [])]}
    for given in (entries, OrderedDict(entries)):  # a dict subclass: by Python
        regrouped = tables._by_column(given)
        assert regrouped == expected and list(regrouped) == list(expected)
    assert _tables.by_column(OrderedDict(entries)) is None
    rows = tables._record_rows(expected[("LoadCases", "2")], ("a", "b"))
    assert rows == [["7", -0.0, 3], ["7", 4.0, "x"], ["3", 5.0, None]]
    assert _tables.record_rows([("7", (entries["7"]["LoadCases"]["1"][0],))], ("a",)) is None  # a tuple: by Python
    with pytest.raises(KeyError, match="c"):
        _tables.record_rows(expected[("LoadCases", "1")], ("a", "c"))


def test_answer_rows_are_the_dicts_python_makes_and_malformed_ones_are_refused():
    from tessel.local.plexum_worker import _tables

    values = np.array([[1.5, -0.0, np.nan], [np.inf, -1e-300, 3.0]])
    rows = _tables.dict_rows(("a", "b", "c"), values)
    # Compared as text: key order, -0.0 written as 0.0, NaN (never equal to itself).
    assert json.dumps(rows) == json.dumps([dict(zip("abc", v)) for v in (values + 0.0).tolist()])
    with pytest.raises(ValueError):
        _tables.dict_rows(("a", "b"), values)
    with pytest.raises(TypeError):
        _tables.dict_rows(("a", "b", 3), values)


def test_the_whole_tables_a_page_embeds_stay_within_its_room():
    from tessel.local.plexum_worker.tables import Room, download

    rows = [[k, k / 3, -k / 7] for k in range(20_000)]
    room = Room(300_000)
    first, second = download("A", ["beam", "N", "V"], rows, room), download("B", ["beam", "N", "V"], rows, room)
    assert first.startswith('<a download="a.csv.gz"') and 0 < room.left < 300_000 - len(first) + 200
    assert second == "all 20,000 rows are in the job's results (this page embeds at most 0.3 MB of whole tables)"
    # A table far beyond the room is turned away before it is formatted.
    assert download("C", ["beam"], [[k] for k in range(10 ** 6)], Room(1000)).startswith("all 1,000,000 rows")

def _covering(corners, point):
    """Brute force: the index of the nearest quadrilateral (two triangles) over a 2D point, or -1; corners
    (n, 4, 3) with x, y on the picture and z the depth."""
    best, depth = -1, np.inf
    for k, quad in enumerate(corners):
        for a, b, c in ((0, 1, 2), (0, 2, 3)):
            (ax, ay, az), (bx, by, bz), (cx, cy, cz) = quad[a], quad[b], quad[c]
            d = (bx - ax) * (cy - ay) - (by - ay) * (cx - ax)
            if abs(d) < 1e-12:
                continue
            u = ((bx - point[0]) * (cy - point[1]) - (by - point[1]) * (cx - point[0])) / d
            w = ((cx - point[0]) * (ay - point[1]) - (cy - point[1]) * (ax - point[0])) / d
            if min(u, w, 1 - u - w) > 1e-6 and u * az + w * bz + (1 - u - w) * cz < depth:
                best, depth = k, u * az + w * bz + (1 - u - w) * cz
    return best


@pytest.mark.parametrize(("call", "error"), [
    # An index naming a quadrilateral without a colour would read past the colours.
    (lambda p, image, index: p.paint_quads(image, index, np.zeros((2, 3), np.uint8), -1, 1.0), ValueError),
    (lambda p, image, index: p.paint_quads(image, index[:2], np.zeros((9, 3), np.uint8), -1, 1.0), ValueError),
    (lambda p, image, index: p.nearest_quads(np.zeros((3, 4, 2)), np.zeros((2, 4)), index), ValueError),
    (lambda p, image, index: p.paint_lines(image[:, ::2], np.zeros((2, 2)), 0, 1.0, 1.5, False, False), TypeError),
    (lambda p, image, index: p.png(image.reshape(-1), 3), TypeError),
    (lambda p, image, index: p.TriangleGrid(np.zeros((2, 3, 2)), 1e-6), ValueError),
    (lambda p, image, index: p.TriangleGrid(np.zeros((2, 3, 3)), 1e-6).hidden(np.zeros((4, 3)), np.zeros(3, bool)),
     ValueError),
])
def test_painter_refuses_arrays_that_do_not_fit(call, error):
    from tessel.local.plexum_worker import _painter

    image, index = np.zeros((4, 6), np.uint32), np.full((4, 6), 5, np.int32)
    with pytest.raises(error):
        call(_painter, image, index)
    assert not image.any()


def test_path_data_is_written_as_python_formats_it():
    from tessel.local.plexum_worker import _painter

    rng = np.random.default_rng(3)
    # Halves (exact ones: quarters) and near-halves of every size a picture meets, both signs, their neighbours,
    # and what lies beyond any picture.
    halves = (rng.integers(-10 ** 6, 10 ** 6, 300) + 0.5) / 10
    points = np.concatenate([rng.uniform(-2000, 2000, (500, 2)), np.round(rng.uniform(-50, 50, (500, 2)), 2),
                             np.arange(-600, 600).reshape(-1, 2) / 4,
                             np.stack([np.nextafter(halves, -np.inf), np.nextafter(halves, np.inf)], axis=1),
                             np.array([[0.05, -0.05], [0.25, 1e-9], [-0.0, 1049.95], [1e8, -99999999.95],
                                       [1e300, np.nan], [-np.inf, 5e-324]])])
    starts = rng.random(len(points)) < 0.2
    expected = "".join(("M" if start else " ") + "%.1f,%.1f" % tuple(point) for point, start in
                       zip(points.tolist(), starts.tolist()))
    assert _painter.path_data(points, starts.view(np.uint8)) == expected


def test_polylines_path_leaves_out_what_adds_nothing():
    from tessel.local.plexum_worker import drawing

    rng = np.random.default_rng(4)
    # Runs of 1 to 6 points, steps from a tenth of a pixel to a hundred, broken by rows of NaN (x or both).
    pixels = np.cumsum(rng.choice([0.1, 0.49, 0.5, 3.0, 100.0], (400, 2)), axis=0)
    pixels[rng.random(400) < 0.25, 0] = np.nan
    pixels[[0, 1, 50], 1] = np.nan  # a y that is not finite is written as it is
    finite = np.isfinite(pixels[:, 0])
    first = finite & ~np.concatenate([[False], finite[:-1]])
    last = finite & ~np.concatenate([finite[1:], [False]])
    step = np.concatenate([[np.inf], np.hypot(*np.diff(pixels, axis=0).T)])
    with np.errstate(invalid="ignore"):
        keep = finite & ~(first & last) & (first | last | (step >= 0.5))
    expected = "".join(("M" if start else " ") + "%.1f,%.1f" % tuple(point)
                       for point, start in zip(pixels[keep].tolist(), first[keep].tolist()))
    assert drawing._path(pixels) == expected and drawing._path(np.zeros((0, 2))) == ""


def test_rasterised_and_occluded_points_agree_with_brute_force():
    from tessel.local.plexum_worker import drawing

    rng = np.random.default_rng(7)
    # Random overlapping quadrilaterals (convex: a random square turned and stretched) in front of each other.
    centres = rng.uniform(0, 10, (60, 3))
    angle = rng.uniform(0, np.pi, 60)
    square = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]], float)
    corners = np.zeros((60, 4, 3))
    for k in range(60):
        turn = np.array([[np.cos(angle[k]), -np.sin(angle[k])], [np.sin(angle[k]), np.cos(angle[k])]])
        corners[k, :, :2] = centres[k, :2] + square @ turn.T * rng.uniform(0.3, 2.0, 2)
        corners[k, :, 2] = centres[k, 2] + rng.uniform(-0.2, 0.2, 4) * [1, 1, -1, -1]
    view = (0.0, 90.0)  # from above: x right, y up, depth -z
    picture = drawing.Picture("quads", view=view)
    picture.surface(corners, "#808080")
    fitted = drawing.fit(picture)
    index = drawing._rasterise(corners, view, fitted)
    seen = np.concatenate([fitted(corners.reshape(-1, 3)), -corners.reshape(-1, 3)[:, 2:]], axis=1).reshape(-1, 4, 3)
    occluders = drawing.Occluders(corners, view)
    for row, column in rng.integers(0, index.shape, (300, 2)):
        pixel = ((column + 0.5) / drawing.SUPERSAMPLE, (row + 0.5) / drawing.SUPERSAMPLE)
        assert index[row, column] == _covering(seen * [1, -1, 1], (pixel[0], -pixel[1]))
    points = rng.uniform(0, 10, (300, 3))
    hidden = occluders.hidden(points)
    flat = np.concatenate([corners[:, :, :2], -corners[:, :, 2:]], axis=2)
    for point, behind in zip(points, hidden):
        front = _covering(flat, point[:2])
        in_front = front >= 0 and -_depth_at(corners[front], point[:2]) < -point[2] - 1e-6
        assert behind == in_front


def _depth_at(quad, xy):
    for a, b, c in ((0, 1, 2), (0, 2, 3)):
        m = np.array([[quad[b, 0] - quad[a, 0], quad[c, 0] - quad[a, 0]], [quad[b, 1] - quad[a, 1],
                                                                           quad[c, 1] - quad[a, 1]]])
        s, t = np.linalg.solve(m, np.asarray(xy) - quad[a, :2])
        if s >= -1e-9 and t >= -1e-9 and s + t <= 1 + 1e-9:
            return quad[a, 2] + s * (quad[b, 2] - quad[a, 2]) + t * (quad[c, 2] - quad[a, 2])
    raise AssertionError("the point is not over the quadrilateral")


def test_a_load_case_picture_shows_its_own_loads_and_labels_left_out_are_counted(platform):
    model = slab_with([(0.0, 0.0, -3.0), (1.0, 0.0, 0.0)])
    model.results.nodal_displacements(by_load_case=True)
    analysis = PlexumAnalysis(model)
    analysis.execute(timeout=60)
    svgs = re.findall(r"<svg.*?</svg>", html.unescape(analysis.get_result_file().getvalue().decode()), re.S)
    for case, colour, label in ((1, "#c0392b", "LC1: qz -3 kN/m2"), (2, "#2471a3", "LC2: qx +1 kN/m2")):
        [svg] = [svg for svg in svgs if f">Loads: LC {case} '{case}'</text>" in svg]
        arrows = re.findall(r'<g class="arrow"[^>]*><line [^>]*stroke="(#\w+)"', svg)
        assert arrows and set(arrows) == {colour} and [t for t in re.findall(r">(LC\d: [^<]+)<", svg)] == [label]
    from tessel.local.plexum_worker import drawing

    crowded = drawing.Picture("crowded")
    crowded.texts(np.zeros((50, 3)), [f"label {k}" for k in range(50)], group="labels")
    crowded.line([[0, 0, 0], [1, 0, 0]], "#000")
    shown = len(text_boxes(drawing.svg(crowded)))
    assert 1 <= shown < 50 and f"left out, no room: {50 - shown} of 50 labels" in drawing.svg(crowded)
