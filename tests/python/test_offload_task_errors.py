"""Mapping of a failed job's worker message and status onto exceptions."""

import pytest

import tessel.external.offload_task as offload_task
from tessel.errors import ExecutionError

from conftest import Analysis
from fakes import RESULT_URL, FakeResponse

PERMISSIONS = "Error removing files, please check worker permissions"
VERSION = ("Current worker version does not support the feature you are requesting on '{}'. "
           "Please contact TESSEL to receive the latest worker.")


@pytest.mark.parametrize(
    ("message", "status", "text"),
    [
        ("Error creating directory", "ERROR", "Error creating directory, please check worker permissions"),
        ("Remove files error 1", "ERROR", PERMISSIONS),
        ("Remove files error 2", "ERROR", PERMISSIONS),
        ("Remove files error 3", "ERROR", PERMISSIONS),
        # The message table is consulted before the status table.
        ("Remove files error 2", "CONTENT_VERSION_NOT_SUPPORTED_ERROR", PERMISSIONS),
        ("anything", "CONTENT_VERSION_NOT_SUPPORTED_ERROR", VERSION.format("Analysis")),
    ],
)
def test_generic_error_tables(analysis, message, status, text):
    with pytest.raises(ExecutionError) as error:
        analysis._handle_generic_error(message, status)
    assert str(error.value) == text


@pytest.mark.parametrize(("message", "status"), [("Remove files error 4", "ERROR"), ("", ""), (None, None)])
def test_generic_error_is_silent_outside_its_tables(analysis, message, status):
    assert analysis._handle_generic_error(message, status) is None


def test_generic_error_with_an_unhashable_message_fails_like_a_dict_lookup(analysis):
    with pytest.raises(TypeError):
        analysis._handle_generic_error(["a"], "ERROR")


def test_version_error_names_the_concrete_class():
    class GrasshopperAnalysis(Analysis):
        pass

    with pytest.raises(ExecutionError, match="on 'GrasshopperAnalysis'"):
        GrasshopperAnalysis()._handle_generic_error("", "CONTENT_VERSION_NOT_SUPPORTED_ERROR")


class DSeriesAnalysis(Analysis):
    """An integration that maps its worker's messages with the D-Series table."""

    seen = None

    def _handle_execution_error(self, message):
        DSeriesAnalysis.seen = message
        text, error = offload_task._dseries_exception_map.get(message, ("", None))
        if error:
            raise error(text)


@pytest.mark.parametrize(
    ("message", "status", "text"),
    [
        ("D-Series application is stuck", "ERROR",
         "Cannot complete D-series analysis, please check program on external calculation server"),
        ("D-Series did not start properly. Check correctness of input file and installation", "ERROR",
         "Cannot start program, please check external calculation server and input file"),
        ("Error creating directory", "ERROR", "Error creating directory, please check worker permissions"),
        ("unknown", "ERROR", "Something went wrong during the execution."),
    ],
)
def test_failed_job_runs_generic_mapping_then_the_subclass_hook(platform, message, status, text):
    platform.polls = [FakeResponse(200, {"status": status, "message": message, "result_url": RESULT_URL})]
    DSeriesAnalysis.seen = None
    task = DSeriesAnalysis()
    with pytest.raises(ExecutionError) as error:
        task.execute()
    assert str(error.value) == text
    generic_won = message == "Error creating directory"
    assert DSeriesAnalysis.seen == (None if generic_won else message)
    assert task._result_content is None


def test_dseries_table_rows_in_order():
    cannot_complete = "Cannot complete D-series analysis, please check program on external calculation server"
    assert list(offload_task._dseries_exception_map.items()) == [
        ("Something went wrong in killing D-series after it got stuck", (cannot_complete, ExecutionError)),
        ("An error occured when running D-series", (cannot_complete, ExecutionError)),
        ("Dseries got stuck after access violation error", (cannot_complete, ExecutionError)),
        ("D-Series did not start properly. Check correctness of input file and installation",
         ("Cannot start program, please check external calculation server and input file", ExecutionError)),
        ("D-Series output file was removed unexpectedly",
         ("Unable to read output file, please check external program and worker installation", ExecutionError)),
        ("D-Series application is stuck", (cannot_complete, ExecutionError)),
    ]
