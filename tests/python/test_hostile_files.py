"""File objects that keep what they are lent or lie about what they did:
memory stays valid and unchanged, pieces already handed out stay as they
were, and a lie is a clear error instead of a hang or an out-of-bounds read."""

import base64
import contextlib
import gc
import io
import os
import subprocess
import sys
import tempfile

import pytest

import tessel.external.offload_task as offload_task

_StreamedDict = offload_task._StreamedDict
DATA = b'{"a": "' + b"y" * 300 + b'", "v": "' + base64.b64encode(bytes(range(256)) * 40).decode().encode() + b'"}'


class Keeper(io.BytesIO):
    """Keeps every buffer it is given, with the bytes it put there."""

    def __init__(self, data=DATA):
        super().__init__(data)
        self.kept = []
        self.lent = []

    def readinto(self, b):
        n = super().readinto(b)
        # A slice outlives the release of the view it was taken from.
        self.kept.append((b[:], bytes(b[:n])))
        self.lent.append(b)
        return n

    lent = ()

    def scribble(self):
        """Writes over everything it kept, as a hostile object could at any time."""
        for view, _ in self.kept:
            view[:] = b"\xa5" * len(view)
        for view in self.lent:
            with contextlib.suppress(ValueError):  # released after the call: refused, never a crash
                view[:] = b"\xa5" * len(view)

    def check_kept(self):
        for view, expected in self.kept:
            assert bytes(view[: len(expected)]) == expected


def streamed(file_object):
    return _StreamedDict(type("F", (), {"open_binary": lambda self: contextlib.nullcontext(file_object)})())


OPERATIONS = {
    "find": lambda f: _StreamedDict._find_word_position(f, b'"v":', buffer_size=7),
    "between": lambda f: list(_StreamedDict._stream_between_strings(f, b'"a": "', b'"', buffer_size=16)),
    "value": lambda f: list(streamed(f).stream_dict_value("a", buffer_size=16)),
    "as_file": lambda f: streamed(f).get_value_as_file("v").open_binary().__enter__().read(),
}


@pytest.mark.parametrize("operation", OPERATIONS)
def test_kept_buffers_stay_valid_and_unchanged(operation):
    keeper = Keeper()
    expected = OPERATIONS[operation](io.BytesIO(DATA))
    assert OPERATIONS[operation](keeper) == expected
    gc.collect()
    assert keeper.kept
    keeper.check_kept()  # what it was lent still holds what it read then
    keeper.scribble()  # and writing there touches nothing of ours
    assert OPERATIONS[operation](io.BytesIO(DATA)) == expected


def test_pieces_handed_out_do_not_change():
    keeper = Keeper()
    stream = _StreamedDict._stream_between_strings(keeper, b'"a": "', b'"', buffer_size=16)
    first = next(stream)
    copy = bytes(first)
    keeper.scribble()
    rest = list(stream)
    keeper.scribble()
    assert type(first) is bytes and first == copy == b"y" * 16
    assert b"".join([first, *rest]) == b"y" * 300


def test_writer_keeps_immutable_copies(monkeypatch):
    """A writer that keeps what it was given gets data no later write changes."""
    kept = []

    class Writer(io.FileIO):
        def write(self, b):
            kept.append(b)
            return super().write(b)

    class KeepingFile:
        def __init__(self):
            fd, self.source = tempfile.mkstemp()
            os.close(fd)

        def open_binary(self):
            return Writer(self.source, "wb")

        @classmethod
        def from_path(cls, path):
            return path

    monkeypatch.setattr(offload_task, "File", KeepingFile)
    payload = os.urandom(300_000)
    encoded = b'{"v": "' + base64.b64encode(payload) + b'"}'
    path = streamed(io.BytesIO(encoded)).get_value_as_file("v")
    try:
        assert all(type(chunk) is bytes for chunk in kept) and len(kept) > 1
        assert b"".join(kept) == payload
        with open(path, "rb") as f:
            assert f.read() == payload
    finally:
        os.remove(path)


class Lying(io.BytesIO):
    def __init__(self, report):
        super().__init__(DATA)
        self.report = report

    def readinto(self, b):
        super().readinto(b)
        return self.report(len(b))


@pytest.mark.parametrize("operation", ["find", "between", "value"])
@pytest.mark.parametrize(
    "report, reported",
    [(lambda n: n + 10, "{n10}"), (lambda n: -1, "-1"), (lambda n: 2**70, str(2**70))],
    ids=["more", "negative", "huge"],
)
def test_readinto_reporting_more_than_given_is_refused(operation, report, reported):
    with pytest.raises(OSError, match=r"readinto\(\) returned invalid length -?\d+ \(should have been between 0 and \d+\)"):
        OPERATIONS[operation](Lying(report))


def test_read_returning_more_than_asked_is_refused():
    class Reader:
        def __init__(self):
            self.f = io.BytesIO(DATA)

        def seek(self, *args):
            return self.f.seek(*args)

        def read(self, n):
            return self.f.read(n) + b"extra"

    with pytest.raises(OSError, match=r"read\(\) returned \d+ bytes when at most \d+ were asked for"):
        _StreamedDict._find_word_position(Reader(), b'"v":')


def test_source_that_reads_past_its_size_is_refused():
    class Endless(io.RawIOBase):
        def readable(self):
            return True

        def seekable(self):
            return True

        def seek(self, offset, whence=0):
            return 10  # claims a 10-byte file, positioned anywhere

        def readinto(self, b):
            b[:] = b"\0" * len(b)
            return len(b)

    with pytest.raises(OSError, match="the file read past its end: it reported a size of 10 bytes"):
        _StreamedDict._find_word_position(Endless(), b"needle")


SNIPPETS = {
    "find": "D._find_word_position(mock.MagicMock(), b'ab')",
    "value": "list(D(mock.MagicMock()).stream_dict_value('v'))",
    "as_file": "D(mock.MagicMock()).get_value_as_file('v')",
}


@pytest.mark.parametrize("snippet", SNIPPETS)
def test_magic_mock_file_fails_instead_of_hanging(snippet):
    code = (
        "from unittest import mock\n"
        "from tessel.external.offload_task import _StreamedDict as D\n"
        f"try:\n    {SNIPPETS[snippet]}\nexcept OSError as e:\n    print('OSError', e)\n"
    )
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout.startswith("OSError "), child.stdout + child.stderr
