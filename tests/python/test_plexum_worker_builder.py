"""A slab on beams and columns, built with the model builder, computed on the local platform and drawn."""

import os
import re
import shutil
import subprocess

import pytest

from tessel.external.plexum import Domain, LoadCombination, Material, Model, PlexumAnalysis
from tessel.local import render_model

RIGID = 1e10
G = 9.80665


@pytest.fixture
def platform(plexum_platform):
    return plexum_platform


def build():
    model = Model()
    concrete = model.materials.add_from_catalog("C30/37", Material.DesignCode.EURO_CODE)
    girder = model.cross_sections.create_rectangular(0.3, 0.6)
    column_section = model.cross_sections.create_rectangular(0.4, 0.4)
    top = [model.nodes.create(x, y, 3.0) for x, y in ((0, 0), (8, 0), (8, 6), (0, 6))]
    edges = [model.lines.create(top[k], top[(k + 1) % 4]) for k in range(4)]
    beams = [line.define_as_beam(concrete, girder) for line in edges]
    slab = model.domains.create(edges, surface_type=Domain.SurfaceType.PLATE, thickness=0.2, material=concrete)
    slab.generate_mesh(Domain.MeshGeometry.QUAD, 0.5)
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
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", f"--user-data-dir={folder}/u"]
    dom = subprocess.run([browser, *flags, "--dump-dom", page.as_uri()], capture_output=True, text=True,
                         timeout=120, env=env)
    assert dom.returncode == 0, dom.stderr
    assert dom.stdout.count("<svg") >= 9 and "Deformed shape" in dom.stdout
    shot = folder / "page.png"
    run = subprocess.run([browser, *flags, f"--screenshot={shot}", "--window-size=1600,1200", page.as_uri()],
                         capture_output=True, text=True, timeout=120, env=env)
    assert run.returncode == 0 and shot.stat().st_size > 20000, run.stderr
