"""Ways of ending a stream, each run by test_stream_lifecycle.py in a child
process of its own so that a crash fails one case instead of the run.

Usage: python stream_cases.py KIND CASE. Prints "ok" when the case held.
"""

import contextlib
import gc
import io
import sys
import warnings

from tessel.external.offload_task import _StreamedDict

DATA = b'{"v": "' + b"x" * 100 + b'"}'


class CountingFile:
    """A File stand-in whose binary streams count how often they are opened and left."""

    def __init__(self, data=DATA):
        self.data = data
        self.opened = 0
        self.exits = []

    def open_binary(self):
        @contextlib.contextmanager
        def stream():
            self.opened += 1
            try:
                yield io.BytesIO(self.data)
            except BaseException as error:
                self.exits.append(type(error).__name__)
                raise
            else:
                self.exits.append(None)

        return stream()


class Source:
    """A stream of one kind, with what tells whether its cleanup ran."""

    def __init__(self, kind):
        self.kind = kind
        self.file = CountingFile()
        self.sd = _StreamedDict(self.file)

    def stream(self):
        if self.kind == "value":
            return self.sd.stream_dict_value("v", buffer_size=4)
        if self.kind == "missing":
            return self.sd.stream_dict_value("nope", buffer_size=4)
        return _StreamedDict._stream_between_strings(io.BytesIO(DATA), b'"v": "', b'"', buffer_size=8)

    def check_cleaned(self, started=True):
        if self.kind == "value":
            expected = 1 if started else 0
            assert self.file.opened == expected, self.file.opened
            assert len(self.file.exits) == expected, self.file.exits


class Real(Exception):
    pass


@contextlib.contextmanager
def missing_ok(src):
    """The stream of a missing key fails on its first piece: expected for that kind only."""
    try:
        yield
    except ValueError as e:
        assert src.kind == "missing" and str(e) == "Could not find key nope in file", e


def start(src, s):
    with missing_ok(src):
        return next(s)


def raise_in_loop_caught(src):
    s = src.stream()
    try:
        with missing_ok(src):
            for _ in s:
                raise Real("real")
    except Real as e:
        assert e.args == ("real",)
    del s


def raise_in_loop_propagates(src):
    def body():
        for _ in src.stream():
            raise Real("real")

    try:
        body()
    except Real as e:
        assert e.args == ("real",)
        assert e.__context__ is None
    except ValueError:
        assert src.kind == "missing"


def break_out(src):
    with missing_ok(src):
        for _ in src.stream():
            break


def return_from_loop(src):
    def first():
        for piece in src.stream():
            return piece
    with missing_ok(src):
        first()


def delete_started(src):
    s = src.stream()
    try:
        next(s)
    except ValueError:
        assert src.kind == "missing"
    del s


def delete_unstarted(src):
    s = src.stream()
    del s
    src.check_cleaned(started=False)
    return "no-check"


def collect_cycle(src):
    s = src.stream()
    try:
        next(s)
    except ValueError:
        pass
    src.sd.me = s  # the stream holds the dict, the dict holds the stream
    holder = [s]
    holder.append(holder)
    del s, holder
    src.sd_ref = None
    sd = src.sd
    src.sd = None
    del sd
    gc.collect()


def map_raising(src):
    def f(piece):
        raise Real("in map")

    try:
        list(map(f, src.stream()))
    except Real as e:
        assert e.args == ("in map",)
    except ValueError:
        assert src.kind == "missing"


def zip_failing(src):
    def failing():
        yield 1
        raise Real("in zip")

    try:
        list(zip(src.stream(), failing()))
    except Real as e:
        assert e.args == ("in zip",)
    except ValueError:
        assert src.kind == "missing"


def throw_none(src):
    s = src.stream()
    try:
        s.throw(None)
    except TypeError as e:
        assert str(e) == "exceptions must be classes or instances deriving from BaseException, not NoneType", e
    del s
    src.check_cleaned(started=False)
    return "no-check"


def throw_after_start(src):
    s = src.stream()
    try:
        next(s)
    except ValueError:
        assert src.kind == "missing"
        return None
    try:
        s.throw(Real("thrown"))
    except Real as e:
        assert e.args == ("thrown",)
    assert list(s) == []


def throw_class_with_value(src):
    s = src.stream()
    start(src, s)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            s.throw(Real, "as value")
        except Real as e:
            assert e.args == ("as value",)


def throw_instance_with_value(src):
    s = src.stream()
    start(src, s)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            s.throw(ValueError(), 5)
        except TypeError as e:
            assert str(e) == "instance exception may not have a separate value", e
    # Refused before reaching the stream: it still runs.
    if src.kind != "missing":
        assert "".join(p if isinstance(p, str) else p.decode() for p in s) != ""


def throw_generator_exit(src):
    s = src.stream()
    start(src, s)
    try:
        s.throw(GeneratorExit)
    except GeneratorExit:
        pass


def close_twice(src):
    s = src.stream()
    start(src, s)
    s.close()
    s.close()
    assert next(s, "end") == "end"


def send_to_unstarted(src):
    s = src.stream()
    try:
        s.send(1)
    except TypeError as e:
        assert str(e) == "can't send non-None value to a just-started generator"
    with missing_ok(src):
        assert s.send(None)


def reentrant_next(src):
    if src.kind == "value":
        holder = {}

        class Reentrant(io.BytesIO):
            def readinto(self, b):
                next(holder["s"])

        file = CountingFile()
        file.open_binary = lambda: contextlib.nullcontext(Reentrant(DATA))
        holder["s"] = _StreamedDict(file).stream_dict_value("v")
        try:
            next(holder["s"])
        except ValueError as e:
            assert str(e) == "generator already executing", e
        holder.clear()
    return "no-check"


def left_open_at_exit(src):
    s = src.stream()
    start(src, s)
    globals()["kept"] = s  # still open when the interpreter shuts down
    return "no-check"


def run(kind, case):
    src = Source(kind)
    result = globals()[case](src)
    gc.collect()
    if result != "no-check" and src.sd is not None:
        src.check_cleaned(started=True)
    elif result != "no-check" and kind == "value":
        assert src.file.opened == 1 and len(src.file.exits) == 1, (src.file.opened, src.file.exits)
    print("ok")


if __name__ == "__main__":
    run(sys.argv[1], sys.argv[2])
