"""The Plexum worker end to end on the local platform, with hand-written job content."""

import html
import json

import pytest

from tessel.errors import ExecutionError
from tessel.external.offload_task import OffloadTask, _JobContent, _get_file_body
from tessel.local.__main__ import _queue
from tessel.local.plexum_worker import worker
from plexum_records import JobRecords


class RecordedPlexumJob(OffloadTask):
    """Sends prepared "Model" and "Results" content on the queue "plexum", as the Plexum analysis will."""

    def __init__(self, job: JobRecords, command: str):
        super().__init__(queue_name="plexum", version=1)
        content = job.content(command)
        self.model, self.results, self.command = content["Model"], content["Results"], command

    def _generate_job_content(self):
        return _JobContent(Model=self.model, Results=self.results, command=self.command)


@pytest.fixture
def platform(plexum_platform):
    return plexum_platform


def cantilever(material=1):
    job = JobRecords()
    job.catalogue_material("C25/30")
    job.rectangle(0.3, 0.5)
    job.node(0.0, 0.0, 0.0)
    job.node(3.0, 0.0, 0.0)
    job.beam(job.line(1, 2), material, 1)
    job.support(1, 1, x=1e12, y=1e12, z=1e12, xx=1e12, yy=1e12, zz=1e12)
    job.load_case("dead")
    job.self_weight(1, 1)
    job.combination({1: 1.35})
    job.displacements([2], by_load_case=False)
    return job


def test_analysis_with_model_and_result_files(platform):
    analysis = RecordedPlexumJob(cantilever(), "RunReturnModel")
    analysis.execute(timeout=30)
    content = analysis._get_result_content()
    q, ei = 2500 * 0.15 * 9.80665 / 1000, 31e6 * 0.3 * 0.5 ** 3 / 12
    tip = content["Displacements"]["Nodes"]["2"]["LoadCombinations"]["1"]
    assert tip["z"] == pytest.approx(-1.35 * q * 3.0 ** 4 / (8 * ei), rel=1e-6)
    assert list(content["Displacements"]["Nodes"]["2"]) == ["LoadCombinations"]
    model = json.loads(_get_file_body(content["ModelFile"]).getvalue())
    assert model["Materials"][0]["Name"] == "C25/30" and model["Materials"][0]["E"] == 31e6
    assert "CO 1 '1'" in html.unescape(_get_file_body(content["ResultFile"]).getvalue().decode())
    (job,) = platform.jobs.values()
    assert json.loads(job.content_path.read_bytes())["version"] == 1


def test_a_bad_record_fails_the_job_with_its_message(platform):
    analysis = RecordedPlexumJob(cantilever(material=2), "Run")
    with pytest.raises(ExecutionError) as raised:
        analysis.execute(timeout=30)
    assert str(raised.value) == "Something went wrong during the execution."
    (job,) = platform.jobs.values()
    assert (job.status, job.message) == ("ERROR", 'Lines record 2 "DefineAsBeam": material 2 does not exist')


def test_the_command_line_serves_the_worker():
    name, served = _queue("plexum=tessel.local.plexum_worker:worker")
    assert name == "plexum" and served is worker
