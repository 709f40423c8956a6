"""Job content: the container, both upload variants byte for byte, the chunked
file copy of streamed content, and file bodies in result content."""

import base64
import binascii
import io
import json
import logging

import pytest

import tessel.external.offload_task as offload_task
from tessel.core import File, _SerializableObject

from conftest import Analysis
from fakes import UPLOAD_URL, FakePlatform

OffloadTask = offload_task.OffloadTask
_JobContent = offload_task._JobContent


# ---------------------------------------------------------------- _JobContent

@pytest.mark.parametrize(
    ("args", "kwargs", "data"),
    [
        (({"a": 1},), {"b": 2}, {"a": 1}),
        ((), {"b": 2}, {"b": 2}),
        ((), {}, {}),
        ((), {"_dict": {"a": 1}, "b": 2}, {"a": 1}),
        ((None,), {"z": 1, "a": 2}, {"z": 1, "a": 2}),
    ],
)
def test_job_content_is_made_from_a_dictionary_or_keywords(args, kwargs, data):
    content = _JobContent(*args, **kwargs)
    assert isinstance(content, _SerializableObject)
    assert content._data == data and list(content._data) == list(data)


def test_job_content_keeps_the_given_dictionary_itself():
    members = {"a": 1}
    content = _JobContent(members)
    members["late"] = True
    assert content._serialize() is members and content._data is members


def test_job_content_does_not_validate_like_python_would_not():
    assert _JobContent(5)._data == 5
    with pytest.raises(TypeError):
        _JobContent({}, {})


# -------------------------------------------------------- the two variants

def test_job_content_property_puts_version_last_or_in_place():
    assert Analysis(content={"a": 1}, version=3)._job_content == {"a": 1, "version": 3}
    replaced = Analysis(content={"version": 99, "b": 2}, version=3)._job_content
    assert list(replaced.items()) == [("version", 3), ("b", 2)]


def test_job_content_property_makes_a_new_dictionary_each_time():
    task = Analysis(content={"a": 1})
    first = task._job_content
    assert first is not task.content and task.content == {"a": 1}
    assert task._job_content == first and task._job_content is not first


@pytest.mark.parametrize(
    ("task", "error"),
    [
        (OffloadTask("q", "1"), NotImplementedError),
        (Analysis(content=5), TypeError),
    ],
)
def test_bad_job_content_fails_like_python(task, error):
    with pytest.raises(error):
        task._job_content


def test_dictionary_variant_appends_execution_timeout():
    content = Analysis(content={"execution_timeout": 1, "a": [1]})._get_job_content(timeout=25)
    assert list(content.items()) == [("execution_timeout", 25), ("a", [1]), ("version", 1)]


class StreamedAnalysis(OffloadTask):
    _multipart_job_content = True

    def __init__(self, members='"a": 1', version=1):
        super().__init__("streamed", version)
        self.members = members

    def _write_job_content(self, w):
        w.write(self.members)


def test_streamed_variant_writes_the_tail_byte_for_byte():
    file = StreamedAnalysis(members='"model": "é"')._get_job_content(timeout=25)
    assert isinstance(file, File)
    assert file.getvalue_binary() == '{"model": "é", "version": 1, "execution_timeout": 25}'.encode("utf-8")


def test_streamed_variant_does_not_check_for_envelope_names():
    file = StreamedAnalysis(members='"version": 7', version=2)._get_job_content(timeout=3)
    assert file.getvalue_binary() == b'{"version": 7, "version": 2, "execution_timeout": 3}'


def test_unoverridden_stream_hook_raises_not_implemented():
    class Forgetful(OffloadTask):
        _multipart_job_content = True

    with pytest.raises(NotImplementedError):
        Forgetful("q", 1)._get_job_content(timeout=1)


@pytest.mark.parametrize(
    "content",
    [
        {"text": "ünïcödé \U0001f600", "n": [1, 2.5, -0.0, 1e16, None, True, False], "nested": {"k": []}},
        {},
    ],
)
def test_dictionary_upload_sends_the_json_dumps_bytes(platform, content):
    Analysis(content=dict(content)).execute(timeout=12)
    expected = json.dumps({**content, "version": 1, "execution_timeout": 12}).encode("utf-8")
    assert platform.uploaded == [expected]


def test_streamed_upload_sends_the_file_as_a_multipart_form(monkeypatch):
    from fakes import patch_platform

    platform = FakePlatform(queue="streamed").succeed_after(0)
    patch_platform(monkeypatch, offload_task, platform)
    StreamedAnalysis(members='"big": "' + "x" * 100_000 + '"').execute(timeout=9)
    upload = next(c for c in platform.calls if c.url == UPLOAD_URL)
    assert upload.session == "session_with_retries_no_read"
    assert set(upload.kwargs) == {"data", "timeout", "headers"} and upload.kwargs["timeout"] == (10, 300)
    assert list(upload.kwargs["headers"]) == ["Content-Type", "User-Agent"]
    assert upload.kwargs["headers"]["Content-Type"].startswith("multipart/form-data; boundary=")
    assert platform.uploaded == [b'{"big": "' + b"x" * 100_000 + b'", "version": 1, "execution_timeout": 9}']


def test_upload_passes_upload_data_unchanged_and_closes_the_stream(monkeypatch):
    seen = {}

    class Encoder:
        content_type = "multipart/form-data; boundary=b"

        def __init__(self, fields, stream):
            seen["fields"], seen["stream"] = fields, stream

    class Session:
        def post(self, url, **kwargs):
            seen["closed_during_post"] = seen["stream"].closed
            seen["headers"] = kwargs["headers"]
            return type("R", (), {"status_code": 204})()

    monkeypatch.setattr(offload_task, "_MultipartEncoder", Encoder)
    monkeypatch.setattr(offload_task._Context, "session_with_retries_no_read", Session())
    monkeypatch.setattr(offload_task, "_get_requests_user_agent_header",
                        lambda: {"User-Agent": "ua", "Content-Type": "user-agent-side"})
    fields = {"token": "t"}
    OffloadTask._upload_job_content(UPLOAD_URL, fields, File.from_data(b"{}"))
    assert seen["fields"] is fields and seen["closed_during_post"] is False and seen["stream"].closed
    # The header function's entries come after Content-Type and win.
    assert seen["headers"] == {"Content-Type": "user-agent-side", "User-Agent": "ua"}


# ------------------------------------------------ chunked copy of a file

def copy(data: bytes, position=0, **kwargs) -> tuple[str, int]:
    source = io.BytesIO(data)
    source.seek(position)
    target = io.StringIO()
    OffloadTask._write_file_content_to_file(target, source, **kwargs)
    return target.getvalue(), source.tell()


@pytest.mark.parametrize("size", [0, 1, 59048, 59049, 59050, 3 * 59049 + 2])
def test_base64_copy_equals_the_encoding_of_the_whole_file(size):
    data = bytes(range(256)) * (size // 256) + bytes(size % 256)
    text, _ = copy(data, base64_encoding=True)
    assert text == base64.b64encode(data).decode()


def test_base64_copy_writes_unpadded_chunks():
    target = io.StringIO()
    writes = []
    target.write = lambda s: writes.append(s) or len(s)
    OffloadTask._write_file_content_to_file(target, io.BytesIO(b"\x01" * 59050), base64_encoding=True)
    assert [len(w) for w in writes] == [78732, 4]


@pytest.mark.parametrize("position", [0, 10, 59049 * 2])
def test_copy_restores_the_read_position(position):
    data = "é".encode() * 59049
    text, after = copy(data, position)
    assert text == "é" * 59049 and after == position


@pytest.mark.parametrize("edge", [59049 - 1, 59049 - 2, 59049 - 3, 2 * 59049 - 1])
def test_copy_keeps_multibyte_characters_that_straddle_a_chunk_edge(edge):
    text = "a" * edge + "\U0001f600€é" + "b" * 10
    assert copy(text.encode("utf-8"))[0] == text


@pytest.mark.parametrize("encoding", ["utf-16", "latin-1"])
def test_copy_decodes_with_the_given_encoding(encoding):
    text = "ümega " * 20_000
    assert copy(text.encode(encoding), encoding=encoding)[0] == text


def test_undecodable_bytes_raise_after_earlier_chunks_were_written():
    data = b"a" * 59049 + b"\xff" + b"b" * 10
    source, target = io.BytesIO(data), io.StringIO()
    with pytest.raises(UnicodeDecodeError):
        OffloadTask._write_file_content_to_file(target, source)
    assert target.getvalue() == "a" * 59049


def test_truncated_character_at_the_end_raises():
    with pytest.raises(UnicodeDecodeError):
        copy("é".encode()[:1])


def test_copy_of_a_text_stream_fails_like_base64_would():
    with pytest.raises(TypeError):
        OffloadTask._write_file_content_to_file(io.StringIO(), io.StringIO("abc"), base64_encoding=True)


# ---------------------------------------------------------------- file bodies

def test_file_body_decodes_base64():
    body = offload_task._get_file_body("YWJj")
    assert isinstance(body, io.BytesIO) and body.tell() == 0 and body.read() == b"abc"
    assert offload_task._get_file_body("YW\nJj", "ascii").read() == b"abc"


def test_empty_file_body_logs_and_gives_none(caplog):
    assert offload_task._get_file_body("") is None
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.ERROR, "result_content is None, first call .execute() before calling get_output()")]


@pytest.mark.parametrize(("value", "error"), [(None, AttributeError), ("YWJ", binascii.Error), (5, AttributeError)])
def test_bad_file_body_fails_with_the_interpreters_error(value, error):
    with pytest.raises(error):
        offload_task._get_file_body(value)


B64 = {ext: base64.b64encode(ext.encode()).decode() for ext in ("pdf", "txt", "body")}


@pytest.mark.parametrize(
    ("content", "extension", "expected", "log"),
    [
        ({"files": [{"extension": "txt", "body": B64["txt"]}, {"extension": "pdf", "body": B64["pdf"]}]},
         "pdf", b"pdf", None),
        ({"files": [{"extension": "pdf", "body": B64["pdf"]}, {"extension": "pdf", "body": B64["txt"]}]},
         "pdf", b"pdf", None),
        ({"files": [{"extension": "txt", "body": B64["txt"]}], "body": B64["body"]}, "pdf", None,
         "No file with extension 'pdf' returned by analysis"),
        ({"body": B64["body"]}, "pdf", b"body", None),
        ({"other": 1}, "pdf", None, "result_content is None, first call .execute() before calling get_output()"),
    ],
)
def test_dseries_file_body(caplog, content, extension, expected, log):
    body = offload_task._get_dseries_file_body(content, extension)
    assert (body.read() if body else None) == expected
    assert [r.getMessage() for r in caplog.records] == ([log] if log else [])


@pytest.mark.parametrize(
    ("files", "error"),
    [([{"body": "x"}], KeyError), ([{"extension": "pdf"}], KeyError), (5, TypeError), (["pdf"], TypeError)],
)
def test_malformed_dseries_files_raise_the_interpreters_error(files, error):
    with pytest.raises(error):
        offload_task._get_dseries_file_body({"files": files}, "pdf")


# ------------------------------------------------------------- result access

def test_result_content_before_execute_logs_and_raises(analysis, caplog):
    with pytest.raises(ValueError) as error:
        analysis._get_result_content()
    assert str(error.value) == offload_task.RESULT_CONTENT_NOT_PRESENT
    assert [r.getMessage() for r in caplog.records] == [offload_task.RESULT_CONTENT_NOT_PRESENT]


@pytest.mark.parametrize("as_file", [False, True])
def test_get_result_decodes_dictionary_members(analysis, as_file):
    analysis._result_content = {"ModelFile": "YWJj"}
    assert analysis._get_result("ModelFile", as_file=as_file, base64_decode=False).read() == b"abc"
    with pytest.raises(KeyError):
        analysis._get_result("ResultFile", as_file=as_file)
    with pytest.raises(TypeError):
        analysis._get_result("ModelFile")


def test_get_result_streams_members_of_a_streamed_dict(analysis, monkeypatch):
    calls = []

    class Streamed(offload_task._StreamedDict):
        def get_value_as_file(self, key, *, base64_decode=True):
            calls.append((key, base64_decode))
            return "file"

    analysis._result_content = Streamed(File.from_data(b"{}"))
    assert analysis._get_result("k", as_file=True, base64_decode=False) == "file"
    assert calls == [("k", False)]
