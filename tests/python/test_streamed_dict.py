"""_StreamedDict: dictionary access, the windowed word search, streaming
between strings and of one value, and values written into files (Base64,
gzip), each compared with the plain-Python way of the same work."""

import base64
import binascii
import collections.abc
import gc
import gzip
import io
import json
import logging
import os
import tempfile
import zlib
from unittest import mock

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessel.external.offload_task as offload_task
from tessel.core import File

_StreamedDict = offload_task._StreamedDict
find_word = _StreamedDict._find_word_position
NOT_PRESENT = offload_task.RESULT_CONTENT_NOT_PRESENT
BUFFER_ERROR = "The buffer size must be equal or larger than the string being searched for."


# ------------------------------------------------------------ references

def literal_find(file, word, start=0, buffer_size=65536):
    """The documented window search, read literally."""
    if buffer_size < len(word):
        raise ValueError(BUFFER_ERROR)
    file.seek(0, io.SEEK_END)
    file_size = file.tell()
    file.seek(start)
    overlap = len(word) - 1
    while True:
        t = file.tell()
        if overlap <= t < file_size:
            file.seek(t - overlap)
        buffer = file.read(buffer_size)
        if not buffer:
            return -1
        p = buffer.find(word)
        if p != -1:
            return file.tell() - len(buffer) + p


def reference_value(text, *, decompress=False):
    """The documented decoding of a value into file bytes, in plain Python:
    65536-character chunks, then 16384, ..., 4, each Base64-decoded on its
    own (and fed to a gzip decompressor); None where that raises ValueError.
    A gzip stream that does not reach its end fails like corrupt data."""
    decompressor = zlib.decompressobj(16 + zlib.MAX_WBITS)
    out, fed = [], False
    pending, size = text, 4 ** 8
    try:
        def put(chunk):
            nonlocal fed
            data = base64.b64decode(chunk)
            fed = fed or bool(data)
            out.append(decompressor.decompress(data) if decompress else data)

        while size >= 4:
            while len(pending) >= size:
                put(pending[:size])
                pending = pending[size:]
            size //= 4
        if pending:
            raise ValueError("Value could not be decoded with base64 properly")
    except ValueError:
        return None
    if decompress and fed and not decompressor.eof:
        raise zlib.error("Error -5 while decompressing data: incomplete or truncated stream")
    return b"".join(out)


# ---------------------------------------------------------------- helpers

class CountingFile(File):
    """A File that keeps every stream it opened, to count reads and check closing."""

    def __init__(self):
        super().__init__()
        self.streams = []

    @classmethod
    def holding(cls, data: bytes) -> "CountingFile":
        f = cls()
        with f.open_binary() as w:
            w.write(data)
        f.streams.clear()
        return f

    def open_binary(self):
        stream = super().open_binary()
        self.streams.append(stream)
        return stream


def streamed(data: bytes, encoding="utf-8") -> _StreamedDict:
    return _StreamedDict(CountingFile.holding(data), encoding)


def with_value(value: str, key="v") -> _StreamedDict:
    return streamed(('{"other": "x", "' + key + '": "' + value + '", "last": 1}').encode())


@pytest.fixture
def temp_dir(tmp_path, monkeypatch):
    """Files made by File() land here, so leftovers are visible."""
    directory = tmp_path / "temp"
    directory.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(directory))
    return directory


def leftovers(directory, before):
    gc.collect()
    return sorted(set(os.listdir(directory)) - before)


# ------------------------------------------------------- dictionary access

def test_construction_reads_nothing_and_keeps_the_encoding():
    file = CountingFile.holding(b"not json at all")
    sd = _StreamedDict(file, encoding="latin-1")
    assert (sd._file, sd._encoding, sd._keys, sd.encoding) == (file, "latin-1", None, "latin-1")
    assert _StreamedDict(file).encoding == "utf-8"
    assert file.streams == []


def test_from_url_wraps_a_copy_of_the_download(monkeypatch):
    downloaded = mock.Mock()
    fake_file = mock.Mock()
    fake_file.from_url.return_value = downloaded
    monkeypatch.setattr(offload_task, "File", fake_file)
    sd = _StreamedDict.from_url("https://storage.test/r", encoding="utf-16")
    fake_file.from_url.assert_called_once_with("https://storage.test/r")
    assert sd._file is downloaded.copy.return_value and sd.encoding == "utf-16"


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "latin-1"])
def test_from_dict_serialises_with_the_encoding_but_keeps_utf8(encoding):
    d = {"a": "é", "b": [1, 2.5, None]}
    sd = _StreamedDict.from_dict(d, encoding=encoding)
    assert sd.encoding == "utf-8"
    assert sd._file.getvalue_binary() == json.dumps(d).encode(encoding)
    assert sd.to_dict() == d


def test_keys_are_read_once_while_other_access_parses_again():
    sd = streamed(b'{"a": 1, "b": {"c": [2]}}')
    keys = sd.keys()
    assert list(keys) == ["a", "b"] and sd.keys() is keys and sd._keys is keys
    assert ("a" in sd, "c" in sd, sd["b"], sd.get("a"), sd.get("zz"), sd.get("zz", 5)) == (
        True, False, {"c": [2]}, 1, None, 5)
    assert len(sd._file.streams) == 3  # keys once, then a parse per subscript with a key
    assert list(sd.items()) == [("a", 1), ("b", {"c": [2]})]
    assert sd.to_dict() == {"a": 1, "b": {"c": [2]}} and sd.to_dict() is not sd.to_dict()
    assert len(sd._file.streams) == 7
    assert all(s.closed for s in sd._file.streams)


def test_subscript_of_a_missing_key_raises_key_error_with_the_key():
    sd = streamed(b'{"a": {"nested": 1}}')
    with pytest.raises(KeyError) as excinfo:
        sd["nested"]
    assert excinfo.value.args == ("nested",)
    with pytest.raises(TypeError):
        [] in sd


def test_to_dict_detects_the_encoding_from_the_bytes_and_reports_bad_json():
    assert streamed(json.dumps({"k": "ü"}).encode("utf-16")).to_dict() == {"k": "ü"}
    with pytest.raises(json.JSONDecodeError):
        streamed(b'{"a": ').to_dict()


# ---------------------------------------------------------------- word search

@pytest.mark.parametrize(
    ("data", "word", "start", "buffer_size", "expected"),
    [
        (b"0123456789abc", b"89a", 10, 65536, 8),   # first window begins 2 before start
        (b"0123456789abc", b"789", 10, 65536, -1),
        (b"xxxxxxxxxxxxxxxabcdefxxxx", b"abcdef", 0, 6, 15),  # straddles 6-byte windows
        (b"abc", b"", 0, 5, 1),                     # an empty word steps forward one byte
    ],
)
def test_find_word_position_gives_absolute_positions(data, word, start, buffer_size, expected):
    assert find_word(io.BytesIO(data), word, start=start, buffer_size=buffer_size) == expected
    assert literal_find(io.BytesIO(data), word, start, buffer_size) == expected


def test_find_word_position_refuses_a_buffer_shorter_than_the_word():
    with pytest.raises(ValueError) as excinfo:
        find_word(io.BytesIO(b"xxabcdef"), b"abcdef", buffer_size=4)
    assert str(excinfo.value) == BUFFER_ERROR


@settings(max_examples=300, deadline=None)
@given(
    data=st.binary(max_size=120).map(lambda b: bytes(c % 3 + 97 for c in b)),
    word=st.binary(max_size=5).map(lambda b: bytes(c % 3 + 97 for c in b)),
    start=st.integers(0, 130),
    extra=st.integers(0, 8),
)
def test_find_word_position_agrees_with_the_literal_windows(data, word, start, extra):
    buffer_size = len(word) + extra
    assert find_word(io.BytesIO(data), word, start=start, buffer_size=buffer_size) == literal_find(
        io.BytesIO(data), word, start, buffer_size)


def test_find_word_position_takes_any_bytes_like_word_and_text_streams():
    data = b"...\"key\": 1"
    for word in (b'"key":', bytearray(b'"key":'), memoryview(b'"key":')):
        assert find_word(io.BytesIO(data), word) == 3
    assert find_word(io.StringIO("..ü.key"), "key", buffer_size=3) == literal_find(io.StringIO("..ü.key"), "key", 0, 3)
    with pytest.raises(TypeError):
        find_word(io.BytesIO(data), 5)


def test_find_word_position_reports_file_errors_unchanged():
    closed = io.BytesIO(b"abc")
    closed.close()
    with pytest.raises(ValueError, match="closed file"):
        find_word(closed, b"a")


# ------------------------------------------------------ streaming between

class RecordingBytesIO(io.BytesIO):
    def __init__(self, data):
        super().__init__(data)
        self.calls = []

    def seek(self, *args):
        self.calls.append("seek")
        return super().seek(*args)

    def readinto(self, b):
        self.calls.append("readinto")
        return super().readinto(b)


def between(data, *args, **kwargs):
    return list(_StreamedDict._stream_between_strings(io.BytesIO(data), *args, **kwargs))


def test_stream_between_strings_is_lazy_and_yields_buffer_sized_pieces():
    file = RecordingBytesIO(b"head<0123456789>tail")
    pieces = _StreamedDict._stream_between_strings(file, b"<", b">", buffer_size=4)
    assert isinstance(pieces, collections.abc.Generator) and file.calls == []
    assert list(pieces) == [b"0123", b"4567", b"89"]
    assert between(b"a<bc", b"<") == [b"bc"]  # no closing string: to the end of the file


@pytest.mark.parametrize(
    ("string_from", "string_to", "message"),
    [(b"[", b">", "Could not find b'[' in file."), (b"<", b"]", "Could not find b']' in file.")],
)
def test_stream_between_strings_names_the_missing_string(string_from, string_to, message):
    pieces = _StreamedDict._stream_between_strings(io.BytesIO(b"<abc>"), string_from, string_to)
    with pytest.raises(ValueError) as excinfo:
        next(pieces)
    assert str(excinfo.value) == message
    assert list(pieces) == []  # a failed generator is finished


def test_stream_between_strings_ends_when_the_end_precedes_the_start():
    # "bab" is found 1 byte before the end of "abab", by the step-back.
    assert between(b"ababab", b"abab", b"bab") == []


def test_stream_between_strings_on_a_text_stream():
    pieces = _StreamedDict._stream_between_strings(io.StringIO("x«éé»y"), "«", "»", buffer_size=1)
    assert "".join(pieces) == "éé"


# ------------------------------------------------------------ one value

def test_stream_dict_value_is_lazy_and_finds_the_member():
    sd = with_value("0123456789")
    pieces = sd.stream_dict_value("v", buffer_size=4)
    assert sd._file.streams == []
    assert list(pieces) == ["0123", "4567", "89"]
    assert [s.closed for s in sd._file.streams] == [True]


@pytest.mark.parametrize("buffer_size", [1, 2, 3, 5])
def test_stream_dict_value_keeps_characters_split_between_pieces(buffer_size):
    value = "é€𝄞a" * 5
    assert "".join(with_value(value).stream_dict_value("v", buffer_size=buffer_size)) == value


def test_stream_dict_value_in_another_encoding():
    data = json.dumps({"k": "x"}, ensure_ascii=False).replace('"x"', '"ßü€"').encode("utf-16-le")
    assert "".join(_StreamedDict(File.from_data(data), "utf-16-le").stream_dict_value("k", buffer_size=3)) == "ßü€"


@pytest.mark.parametrize(
    ("content", "key", "error", "message"),
    [
        (b'{"a": "x"}', "b", ValueError, "Could not find key b in file"),
        (b'{"a": 12345}', "a", ValueError, "Could not find b'\"' in file."),
        (b'{"a": "unterminated', "a", ValueError, "Could not find b'\"' in file."),
        (b'{"a": "ab\xff"}', "a", UnicodeDecodeError, None),
        (b'{"a": "ab\xc3"}', "a", UnicodeDecodeError, None),  # a character cut off by the closing quote
        (b'{"a": "x"}', 5, TypeError, 'can only concatenate str (not "int") to str'),
    ],
)
def test_stream_dict_value_failures_come_on_the_first_piece(content, key, error, message):
    sd = streamed(content)
    pieces = sd.stream_dict_value(key)
    with pytest.raises(error) as excinfo:
        list(pieces)
    if message is not None:
        assert str(excinfo.value) == message
    assert all(s.closed for s in sd._file.streams)


def test_stream_dict_value_takes_the_first_occurrence_and_empty_values():
    sd = streamed(b'{"a": {"b": "inner"}, "b": "outer"}')
    assert list(sd.stream_dict_value("b")) == ["inner"]  # the first '"b":' in the file wins
    assert list(with_value("").stream_dict_value("v")) == []


def test_closing_a_started_stream_closes_the_file():
    sd = with_value("x" * 100)
    pieces = sd.stream_dict_value("v", buffer_size=10)
    pieces.close()
    assert sd._file.streams == []  # never started: nothing opened
    pieces = sd.stream_dict_value("v", buffer_size=10)
    assert next(pieces) == "x" * 10
    pieces.close()
    assert sd._file.streams[0].closed and list(pieces) == []
    pieces = sd.stream_dict_value("v", buffer_size=10)
    next(pieces)
    with pytest.raises(KeyError):
        pieces.throw(KeyError("stop"))
    assert sd._file.streams[1].closed
    with pytest.raises(TypeError, match="just-started"):
        sd.stream_dict_value("v").send(1)
    pieces = sd.stream_dict_value("v", buffer_size=10)
    next(pieces)
    del pieces
    gc.collect()
    assert len(sd._file.streams) == 3 and sd._file.streams[2].closed


def test_stream_dict_value_uses_the_class_methods_as_looked_up_at_run_time():
    sd = with_value("abc")
    with mock.patch.object(_StreamedDict, "_find_word_position", return_value=-1) as patched:
        with pytest.raises(ValueError, match="Could not find key v in file"):
            next(sd.stream_dict_value("v"))
    assert patched.call_count == 1


# --------------------------------------------------------- value as a file

def value_file(value, **kwargs):
    result = with_value(value).get_value_as_file("v", **kwargs)
    return None if result is None else result.getvalue_binary()


base64_text = st.text(
    alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=" + " -_!\x7f",
    max_size=400,
)


@settings(max_examples=400, deadline=None)
@given(base64_text)
def test_get_value_as_file_decodes_like_the_stdlib_chunk_by_chunk(text):
    assert value_file(text) == reference_value(text)


@pytest.mark.parametrize(
    ("size", "decodes"),
    [(65536, True), (65540, True), (65538, False), (65536 * 3 + 16384 * 3 + 4096 * 3 + 4 * 3, True)],
)
def test_get_value_as_file_with_values_around_the_chunk_sizes(size, decodes):
    raw = os.urandom(size // 4 * 3)
    text = base64.b64encode(raw).decode() + "QQ"[: size % 4]
    assert len(text) == size
    assert value_file(text) == (raw if decodes else None) == reference_value(text)


def test_padding_inside_the_value_delimits_its_chunks():
    # 8 characters are decoded as two chunks of 4.
    assert value_file("QQ==QUJD") == b"AABC" == reference_value("QQ==QUJD")
    assert binascii.a2b_base64("QQ==QUJD") == b"A"


@pytest.mark.parametrize(
    ("value", "kwargs", "expected"),
    [
        ("", {}, b""),
        ("", {"decompress": True}, b""),
        ("aGk=", {"base64_decode": False}, b"aGk="),
        ("grüße", {"base64_decode": False}, "grüße".encode()),
        ("aGk=", {"base64_decode": False, "decompress": False}, b"aGk="),
        (base64.b64encode(gzip.compress(b"hi" * 1000)).decode(), {"base64_decode": False, "decompress": True},
         b"hi" * 1000),
    ],
)
def test_get_value_as_file_modes(value, kwargs, expected):
    assert value_file(value, **kwargs) == expected


@pytest.mark.parametrize(
    "value",
    ["QQ", "QUJDQ", "abc\u00e9", "=" * 3 + "é", "A" * 65537],
)
def test_values_that_do_not_decode_give_none_and_the_log_line(value, caplog, temp_dir):
    sd = with_value(value)
    before = set(os.listdir(temp_dir))
    with caplog.at_level(logging.ERROR, logger="tessel.external.offload_task"):
        assert sd.get_value_as_file("v") is None
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("tessel.external.offload_task", logging.ERROR, NOT_PRESENT)]
    assert leftovers(temp_dir, before) == []


@pytest.mark.parametrize(
    "content",
    [b'{"a": "QUJD"}', b'{"v": QUJD}', b'{"v": "QUJD', b'{"v": "QU\xffJD"}'],
    ids=["missing key", "no opening quote", "no closing quote", "invalid utf-8"],
)
def test_unreadable_members_give_none_through_the_patched_logger(content):
    with mock.patch.object(offload_task, "logger") as logger:
        assert streamed(content).get_value_as_file("v") is None
    logger.error.assert_called_once_with(NOT_PRESENT)


compressible = b"".join(b"%d;%d.5\n" % (i, i * 7 % 1000) for i in range(30000))


@pytest.mark.parametrize(
    ("payload", "message"),
    [
        (b"plain bytes, not gzip", "Error -3 while decompressing data: incorrect header check"),
        (gzip.compress(compressible)[:-9], "Error -5 while decompressing data: incomplete or truncated stream"),
        (gzip.compress(compressible)[:-4] + b"\0\0\0\0", "Error -3 while decompressing data: incorrect length check"),
    ],
    ids=["not gzip", "no trailer", "corrupt trailer"],
)
def test_gzip_data_that_does_not_inflate_raises_the_decompressors_error(payload, message, temp_dir):
    text = base64.b64encode(payload).decode()
    sd = with_value(text)
    before = set(os.listdir(temp_dir))
    with pytest.raises(zlib.error) as excinfo:
        sd.get_value_as_file("v", decompress=True)
    assert str(excinfo.value) == message
    with pytest.raises(zlib.error, match=message[:8]):
        reference_value(text, decompress=True)
    assert leftovers(temp_dir, before) == []


def test_gzip_member_is_inflated_and_trailing_data_ignored_like_the_decompressor():
    payload = gzip.compress(compressible) + gzip.compress(b"second member")
    text = base64.b64encode(payload).decode()
    assert value_file(text, decompress=True) == compressible == reference_value(text, decompress=True)


def test_returned_file_outlives_the_written_one(temp_dir):
    sd = with_value(base64.b64encode(b"payload").decode())
    result = sd.get_value_as_file("v")
    gc.collect()
    assert isinstance(result, File) and os.path.dirname(result.source) == str(temp_dir)
    assert result.getvalue_binary() == b"payload"


def test_get_value_as_file_streams_through_stream_dict_value_as_looked_up():
    sd = with_value("unused")
    with mock.patch.object(_StreamedDict, "stream_dict_value", return_value=iter(["aGVs", "bG8=", ""])) as patched:
        assert sd.get_value_as_file("v").getvalue_binary() == b"hello"
    patched.assert_called_once_with("v")


def test_hostile_members_end_without_holding_the_file(temp_dir):
    big = 8 << 20
    cases = [
        (b'{"v": ' + b"7" * big + b"}", None),                 # long value without quotes
        (b'{"v": "' + b"A" * big, None),                       # no closing quote
        (b'{"w": "' + b"A" * big + b'"}', None),               # the key never appears
        (b'{"v": "' + b"A" * (big - 2) + b'!"}', None),       # a remainder that is no group
    ]
    for content, expected in cases:
        assert streamed(content).get_value_as_file("v") is expected
    with pytest.raises(zlib.error, match="incorrect header check"):
        streamed(b'{"v": "' + b"A" * big + b'"}').get_value_as_file("v", decompress=True)


# ------------------------------------------- patched globals and odd pieces

def test_a_patched_chunk_constant_that_is_not_an_int_fails_like_python(temp_dir, monkeypatch):
    monkeypatch.setattr(offload_task, "_BASE64_MIN_DECODE_CHUNK", 4.0)
    before = set(os.listdir(temp_dir))
    with pytest.raises(TypeError):
        with_value("QUJD").get_value_as_file("v")
    assert leftovers(temp_dir, before) == []


def test_pieces_that_add_to_text_are_decoded_and_others_refused():
    class Piece:
        def __radd__(self, other):
            return other + "QUJD"

    class Odd(_StreamedDict):
        def __init__(self, piece):
            super().__init__(File.from_data(b"{}"))
            self.piece = piece

        def stream_dict_value(self, key, *, buffer_size=65536):
            yield self.piece

    assert Odd(Piece()).get_value_as_file("v").getvalue_binary() == b"ABC"
    with pytest.raises(TypeError):
        Odd(5).get_value_as_file("v")


def test_a_started_stream_in_a_reference_cycle_is_collected():
    import weakref

    s = with_value("abcdef")
    s.stream = s.stream_dict_value("v", buffer_size=2)
    assert next(s.stream) == "ab"
    alive = weakref.ref(s)
    del s
    gc.collect()
    assert alive() is None
