"""The streamed queues "scia" and "idearcs" and OAuth 2.0 tokens, end to end on
the local platform."""

import base64
import gzip
import json
import os

import pytest

from tessel.core import File
from tessel.errors import PermissionDeniedError, PreconditionFailedError, ResourceNotFoundError
from tessel.external.offload_task import OAuth2Integration, OffloadTask, _JobContent, _StreamedDict

REPORT = os.urandom(200_000) + "é\n".encode()
LOG = ("step %d done\n" * 5000 % tuple(range(5000))).encode()
LOG_GZ = gzip.compress(LOG, mtime=0)


class ResultsAnalysis(OffloadTask):
    def __init__(self, queue):
        super().__init__(queue, 1)

    def _generate_job_content(self):
        return _JobContent(request="results")


def result_content():
    return {
        "status_text": "calculated",
        "ReportFile": base64.b64encode(REPORT).decode(),
        "LogFile": base64.b64encode(LOG_GZ).decode(),
    }


@pytest.fixture(params=["scia", "idearcs"])
def streamed_job(request, local_platform, tmp_path):
    queue = request.param
    if queue == "scia":
        local_platform.register(queue, lambda content: result_content())
    else:
        # A worker with a huge result hands back a JSON file instead of a dict.
        path = tmp_path / "result.json"
        path.write_text(json.dumps(result_content()))
        local_platform.register(queue, lambda content: path)
    task = ResultsAnalysis(queue)
    task.execute(timeout=20)
    return task


def test_streamed_result_is_kept_as_a_file(streamed_job):
    result = streamed_job._get_result_content()
    assert isinstance(result, _StreamedDict)
    assert json.loads(result._file.getvalue_binary()) == result_content()


def test_members_stream_into_files(streamed_job):
    report = streamed_job._get_result("ReportFile", as_file=True)
    assert isinstance(report, File) and report.getvalue_binary() == REPORT
    log = streamed_job._get_result_content().get_value_as_file("LogFile", decompress=True)
    assert log.getvalue_binary() == LOG
    raw = streamed_job._get_result("status_text", as_file=True, base64_decode=False)
    assert raw.getvalue_binary() == b"calculated"


def test_streamed_result_still_reads_as_a_dictionary(streamed_job):
    result = streamed_job._get_result_content()
    assert list(result.keys()) == ["status_text", "ReportFile", "LogFile"]
    assert "LogFile" in result and result["status_text"] == "calculated"
    assert streamed_job._get_result("ReportFile", as_file=False).read() == REPORT


def test_oauth2_tokens_are_rotated_by_the_platform(local_platform):
    local_platform.add_oauth2_integration("my-oauth2-integration")
    integration = OAuth2Integration("my-oauth2-integration")
    first, second = integration.get_access_token(), integration.get_access_token()
    assert isinstance(first, str) and first and first != second


@pytest.mark.parametrize(
    ("configure", "error"),
    [
        (lambda p: None, ResourceNotFoundError),
        (lambda p: p.add_oauth2_integration("crm", assigned=False), PreconditionFailedError),
        (lambda p: p.add_oauth2_integration("crm", logged_in=False), PermissionDeniedError),
    ],
)
def test_oauth2_refusals_pass_through(local_platform, configure, error):
    configure(local_platform)
    with pytest.raises(error):
        OAuth2Integration("crm").get_access_token()
