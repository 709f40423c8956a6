"""A model built with the model builder, shipped by PlexumAnalysis and
computed by the local Plexum worker: the records agree with the worker's own
record writer, and the results are the textbook ones."""

import json

import pytest

from tessel.errors import ExecutionError
from tessel.external.plexum import CrossSection, LoadCombination, Material, Model, PlexumAnalysis

pytest.importorskip("Pynite", reason="the local worker needs the 'local' extra")
from tessel.local.plexum_worker import PlexumWorker  # noqa: E402
from plexum_records import JobRecords  # noqa: E402

LENGTH, WIDTH, HEIGHT = 3.0, 0.3, 0.5


def cantilever_model(*, material_name="C25/30"):
    model = Model()
    concrete = model.materials.add_from_catalog(material_name, Material.DesignCode.EURO_CODE)
    section = model.cross_sections.create_rectangular(WIDTH, HEIGHT, process=CrossSection.Process.OTHER)
    fixed, free = model.nodes.create(0.0, 0.0, 0.0), model.nodes.create(LENGTH, 0.0, 0.0)
    beam = model.lines.create(fixed, free).define_as_beam(concrete, section)
    big = 1e12
    support = model.node_supports.create_relative_to_member(
        fixed, stiffness_x=big, stiffness_y=big, stiffness_z=big, stiffness_xx=big, stiffness_yy=big,
        stiffness_zz=big)
    dead = model.load_cases.create("dead")
    model.loads.create_beam_self_weight(dead, beam)
    model.load_combinations.create(LoadCombination.Type.ULS, {dead: 1.35})
    model.results.nodal_displacements([free], by_load_case=False)
    model.results.nodal_displacements([free])
    model.results.nodal_support_forces([support])
    return model


def cantilever_records():
    job = JobRecords()
    job.catalogue_material("C25/30")
    job.rectangle(WIDTH, HEIGHT)
    job.node(0.0, 0.0, 0.0)
    job.node(LENGTH, 0.0, 0.0)
    job.beam(job.line(1, 2), 1, 1)
    big = 1e12
    job.support(1, 1, x=big, y=big, z=big, xx=big, yy=big, zz=big)
    job.load_case("dead")
    job.self_weight(1, 1)
    job.combination({1: 1.35})
    job.displacements([2], by_load_case=False)
    job.displacements([2])
    job.support_forces([1])
    return job


def test_builder_writes_what_the_worker_reads():
    content = PlexumAnalysis(cantilever_model(), return_results=True, return_model=True)._generate_job_content()
    expected = cantilever_records().content("RunReturnModel")
    assert json.dumps(content._data) == json.dumps({key: expected[key] for key in ("Model", "Results", "command")})


@pytest.fixture
def platform(local_platform, short_pauses):
    PlexumWorker().register(local_platform)
    return local_platform


def test_cantilever_under_self_weight(platform):
    analysis = PlexumAnalysis(cantilever_model(), return_results=True, return_model=True)
    analysis.execute(timeout=60)
    results = analysis.get_results()
    assert list(results) == ["Forces", "Displacements", "Sections"]

    q = 2500 * WIDTH * HEIGHT * 9.80665 / 1000  # kN/m
    ei = 31e6 * WIDTH * HEIGHT**3 / 12  # C25/30: Ecm 31 GPa, in kN/m2
    tip = results["Displacements"]["Nodes"]["2"]
    assert tip["LoadCases"]["1"]["z"] == pytest.approx(-q * LENGTH**4 / (8 * ei), rel=1e-4)
    assert tip["LoadCombinations"]["1"]["z"] == pytest.approx(-1.35 * q * LENGTH**4 / (8 * ei), rel=1e-4)
    reaction = results["Forces"]["NodalSupports"]["1"]["LoadCases"]["1"]["Global"]
    assert reaction["z"] == pytest.approx(q * LENGTH, rel=1e-6)
    # The load's moment about the support is +q L^2/2 about y; the support answers it.
    assert reaction["yy"] == pytest.approx(-q * LENGTH**2 / 2, rel=1e-6)

    model_file = json.loads(analysis.get_model_file().getvalue())
    assert model_file["Materials"][0]["Name"] == "C25/30"
    result_file = analysis.get_result_file(as_file=True)
    assert result_file.getvalue_binary()


def test_model_errors_come_back_as_the_workers_message(platform):
    model = cantilever_model(material_name="C99/99")
    with pytest.raises(ExecutionError, match=r"^Something went wrong during the execution\."):
        PlexumAnalysis(model).execute(timeout=60)
    (job,) = platform.jobs.values()
    assert job.status == "ERROR" and "C99/99" in job.message


def test_create_model_returns_only_the_model_file(platform):
    analysis = PlexumAnalysis(cantilever_model(), return_results=False, return_model=True)
    analysis.execute(timeout=60)
    assert analysis.get_results() == {}
    assert json.loads(analysis.get_model_file().getvalue())["Nodes"]
    with pytest.raises(ValueError, match="The result file is not available when return_results = False"):
        analysis.get_result_file()


def test_frame_example_runs_and_writes_its_files(tmp_path):
    import shutil
    import subprocess
    import sys
    from pathlib import Path

    script = tmp_path / "plexum_frame.py"
    shutil.copy(Path(__file__).resolve().parents[2] / "examples" / "plexum_frame.py", script)
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    # Self-weight of two 0.3 x 0.3 x 4 m columns and a 0.3 x 0.6 x 6 m girder, times 1.35.
    weight = 1.35 * 2500 * 9.80665 / 1000 * (2 * 0.09 * 4.0 + 0.18 * 6.0)
    total = next(line for line in run.stdout.splitlines() if line.strip().startswith("sum"))
    assert float(total.split()[-1]) == pytest.approx(weight, abs=0.01)
    assert json.loads((tmp_path / "plexum_frame.model.json").read_text())["Nodes"]
    assert "Support forces" in (tmp_path / "plexum_frame.results.html").read_text()


def test_slab_example_balances_its_loads_and_writes_its_page(tmp_path):
    import re
    import shutil
    import subprocess
    import sys
    from pathlib import Path

    script = tmp_path / "plexum_slab.py"
    shutil.copy(Path(__file__).resolve().parents[2] / "examples" / "plexum_slab.py", script)
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=240)
    assert run.returncode == 0, run.stderr
    for case in ("imposed load", "self-weight"):
        line = next(line for line in run.stdout.splitlines() if line.startswith(case))
        carried, applied = (float(v) for v in re.findall(r"(-?\d+\.\d+) kN", line))
        assert carried == pytest.approx(applied, abs=0.01) and applied > 100
    page = (tmp_path / "plexum_slab.results.html").read_text()
    assert "Slab moments mx" in page and "Deformed shape" in page
