"""PythonAnalysis (the host SDK's script analysis): inputs, job content as
uploaded, output files and errors."""

import base64
import json

import pytest

import tessel.external.offload_task as offload_task
from tessel.core import File
from tessel.errors import ExecutionError
from tessel.external.python import PythonAnalysis

from fakes import FakePlatform, FakeResponse, patch_platform


def content_of(analysis, timeout=30):
    file = analysis._get_job_content(timeout=timeout)
    assert isinstance(file, File)
    return file.getvalue_binary()


def test_job_content_bytes():
    analysis = PythonAnalysis(script=File.from_data(b"print('hi')"),
                              files=[("in 1.txt", File.from_data(b"\x00\x01")), ("é.txt", File.from_data(b""))],
                              output_filenames=["out.txt", "ü.csv"])
    assert content_of(analysis) == (
        '{"script": "cHJpbnQoJ2hpJyk=", "script_key": null, "input_files": '
        '[{"name": "in 1.txt", "body": "AAE="}, {"name": "\\u00e9.txt", "body": ""}], '
        '"output_filenames": ["out.txt", "\\u00fc.csv"], "version": 1, "execution_timeout": 30}').encode()
    assert (analysis._queue_name, analysis._version) == ("python", 1)


def test_job_content_with_a_script_key_and_a_large_file():
    body = bytes(range(256)) * 1000
    analysis = PythonAnalysis(script_key='run "x"', files=[("big.bin", File.from_data(body))])
    assert json.loads(content_of(analysis, timeout=5)) == {
        "script": None, "script_key": 'run "x"', "input_files": [{"name": "big.bin",
                                                                  "body": base64.b64encode(body).decode()}],
        "output_filenames": [], "version": 1, "execution_timeout": 5}


@pytest.mark.parametrize(
    ("kwargs", "error", "text"),
    [
        ({}, ValueError, "Give either a script or a script_key, not both and not neither"),
        ({"script": File.from_data(b""), "script_key": "k"}, ValueError,
         "Give either a script or a script_key, not both and not neither"),
        ({"script": "print(1)"}, TypeError, "script must be a File, not str"),
        ({"script_key": 3}, TypeError, "script_key must be a str, not int"),
        ({"script_key": "k", "files": [("a", b"x")]}, TypeError, "each input file must be a pair (file name, File)"),
        ({"script_key": "k", "files": [("a", File()), ("a", File())]}, ValueError,
         "input file names must be unique"),
        ({"script_key": "k", "output_filenames": [1]}, TypeError, "output file names must be str, not int"),
    ],
)
def test_invalid_inputs(kwargs, error, text):
    with pytest.raises(error) as raised:
        PythonAnalysis(**kwargs)
    assert str(raised.value).startswith(text)


def test_arguments_are_keywords():
    with pytest.raises(TypeError):
        PythonAnalysis(File())


@pytest.fixture
def platform(monkeypatch):
    p = FakePlatform(queue="python").succeed_after(0)
    p.download = FakeResponse(200, {"output_files": [{"name": "out.txt", "body": "YWJj"},
                                                     {"name": "bad.txt", "body": "%%"}]})
    patch_platform(monkeypatch, offload_task, p)
    return p


def test_output_files(platform):
    analysis = PythonAnalysis(script_key="k", output_filenames=["out.txt", "bad.txt", "gone.txt"])
    with pytest.raises(ValueError, match=r"^result_content is None"):
        analysis.get_output_file("out.txt")
    analysis.execute(timeout=3)
    out = analysis.get_output_file("out.txt")
    assert isinstance(out, File) and out.getvalue_binary() == b"abc"
    for name, text in [("other.txt", "'other.txt' is not one of the requested output files "
                                     "['out.txt', 'bad.txt', 'gone.txt']"),
                       ("gone.txt", "The worker did not return the output file 'gone.txt'"),
                       ("bad.txt", "The worker returned output file 'bad.txt' without a valid body")]:
        with pytest.raises(ValueError) as raised:
            analysis.get_output_file(name)
        assert str(raised.value) == text


@pytest.mark.parametrize(
    ("status", "message", "text"),
    [("ERROR", "The script failed with exit code 1: boom", "The script failed with exit code 1: boom"),
     ("ERROR", "", "Something went wrong during the execution."),
     ("ERROR", "Remove files error 2", "Error removing files, please check worker permissions")],
)
def test_worker_failures_carry_the_workers_message(platform, status, message, text):
    platform.polls = [FakeResponse(200, {"status": status, "message": message, "result_url": None})]
    with pytest.raises(ExecutionError) as raised:
        PythonAnalysis(script_key="k").execute()
    assert str(raised.value) == text
