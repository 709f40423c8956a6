"""The dictionary upload's JSON encoder against `json.dumps(obj).encode()`:
byte for byte on random values of every kind it writes itself or leaves to
the stdlib, on float edges, and with the stdlib's errors."""

import enum
import json
import random
import struct
import sys
from collections import OrderedDict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessel.external.offload_task as offload_task

from conftest import Analysis


class _Response:
    status_code = 204


class _Session:
    def __init__(self):
        self.files = []

    def post(self, url, **kwargs):
        self.files.append(kwargs["files"]["file"])
        return _Response()


@pytest.fixture(scope="module")
def encode():
    """The bytes the dictionary upload sends for a job content (the session is
    patched only during each call, so other tests see the real globals)."""
    session = _Session()

    class Context:
        session_with_retries_no_read = session

    def run(content):
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(offload_task, "_Context", Context)
            mp.setattr(offload_task, "_get_requests_user_agent_header", dict)
            offload_task.OffloadTask._upload_job_content("https://storage.test/u", {}, content)
        return session.files.pop()

    return run


def stdlib(content) -> bytes:
    return json.dumps(content).encode("utf-8")


def outcome(fn, content):
    """What encoding gives: the bytes, or the exception's type and text."""
    try:
        return fn(content)
    except (ValueError, TypeError, RecursionError) as e:
        return type(e), str(e)


# ------------------------------------------------------- values of every kind

class Colour(enum.IntEnum):
    RED = 1
    BLUE = -7


class Ratio(float):
    def __repr__(self):
        return "Ratio()"


class Tag(str):
    def __str__(self):
        return "tag"


class Count(int):
    def __repr__(self):
        return "Count()"


class Members(dict):
    pass


class Items(list):
    pass


class Opaque:
    pass


def _float_of_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


EDGE_FLOATS = [0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1e16, 1e-05,
               1e-4, 9999999999999998.0, 1e15, 1234567890123456.7, 0.1, 1 / 3, 1.5, 0.25, -3.0, 2.0**53,
               2.0**53 - 1, 2.0**53 + 2, 1.7976931348623157e308, -1.7976931348623157e308, 1e22, 1e23, 1e100,
               123456789012345680.0, 0.30000000000000004, float("nan"), float("inf"), float("-inf")]

texts = st.text(st.characters(exclude_categories=()), max_size=40) | st.text(max_size=3000)
leaves = (
    st.none() | st.booleans() | st.integers(-2**63, 2**63 - 1) | st.integers(-10**40, 10**40)
    | st.floats() | st.sampled_from(EDGE_FLOATS) | st.builds(_float_of_bits, st.integers(0, 2**64 - 1)) | texts
)
fallback_leaves = (
    st.sampled_from(list(Colour)) | st.builds(Ratio, st.floats()) | st.builds(Tag, texts)
    | st.builds(Count, st.integers()) | st.just(True) | st.just(Opaque())
)
keys = texts | st.builds(Tag, texts) | st.integers(-5, 5) | st.floats() | st.sampled_from([True, False, None, Colour.RED])


def containers(children):
    return (
        st.lists(children, max_size=6) | st.tuples(children, children) | st.just(()) | st.just([]) | st.just({})
        | st.dictionaries(texts, children, max_size=6) | st.dictionaries(keys, children, max_size=4)
        | st.builds(Members, st.dictionaries(texts, children, max_size=3))
        | st.builds(Items, st.lists(children, max_size=3))
        | st.builds(OrderedDict, st.dictionaries(texts, children, max_size=3))
    )


values = st.recursive(leaves | fallback_leaves, containers, max_leaves=40)


@settings(max_examples=600, deadline=None)
@given(st.dictionaries(texts, values, max_size=5))
def test_random_job_content_encodes_as_the_stdlib_does(encode, content):
    assert outcome(encode, content) == outcome(stdlib, content)


@settings(max_examples=300, deadline=None)
@given(st.dictionaries(texts, st.recursive(leaves, containers, max_leaves=60), max_size=5))
def test_random_values_without_unknown_types_give_the_same_bytes(encode, content):
    data = encode(content)
    assert type(data) is bytes and data == stdlib(content)


# --------------------------------------------------------------------- floats

def test_float_edges_are_written_as_their_repr(encode):
    content = {"edges": EDGE_FLOATS, "negated": [-x for x in EDGE_FLOATS]}
    assert encode(content) == stdlib(content)


def test_random_doubles_of_every_magnitude_are_written_as_their_repr(encode):
    rnd = random.Random(6)
    doubles = [_float_of_bits(rnd.getrandbits(64)) for _ in range(200_000)]
    doubles += [rnd.uniform(-1e3, 1e3) for _ in range(50_000)]
    doubles += [float(rnd.randrange(2**53, 2**70)) for _ in range(50_000)]
    content = {"doubles": doubles}
    assert encode(content) == stdlib(content)


def _binary_fractions():
    """n / 2**j around the largest n whose exact expansion is still the
    shortest text, and values whose shortest texts tie (q.25, q.75)."""
    out = []
    for j in range(1, 15):
        limit = 5 * 2**53 // 5**j
        for n in range(max(1, limit - 9), limit + 10):
            out.append(n / 2**j)
    for n in range(2**52 + 1, 2**52 + 40, 2):
        out += [n / 4, (n + 2**52) / 4, n / 8, n / 2]
    for n in (2**53 - 3, 2**53 - 1, 2**53 + 1, 2**54 + 3):
        out += [float(n), n / 2, n / 8192, n / 16384]
    return out


def test_binary_fractions_and_halfway_texts_match_repr(encode):
    content = {"values": _binary_fractions()}
    assert encode(content) == stdlib(content)


# -------------------------------------------------------------------- strings

@pytest.mark.parametrize(
    "text",
    [
        "",
        'quote " backslash \\ slash / controls \b\f\n\r\t\x00\x01\x1f\x7f',
        "Latin-1 é ÿ \x80",
        "BMP \u0100 \u20ac \uffff",
        "astral \U0001f600 \U00010000 \U0010ffff",
        "lone surrogates \ud800 \udfff \udbff\ud800 x\udc00",
        "é" * 100_000 + "\U0001f600",
        "x" * 1_000_000,
    ],
    ids=["empty", "escapes", "latin1", "bmp", "astral", "surrogates", "long-mixed", "long-ascii"],
)
def test_strings_are_escaped_like_ensure_ascii(encode, text):
    content = {text: text, "in": [text, (text,)]}
    assert encode(content) == stdlib(content)


# ------------------------------------------------------------------ fallbacks

@pytest.mark.parametrize(
    "value",
    [
        Colour.BLUE,
        {Colour.RED: Colour.BLUE},
        Tag("a\u00e9"),
        {Tag("k"): 1},
        Ratio(2.5),
        Count(12),
        Members(a=[1, Members(b=2.5)]),
        OrderedDict([("z", 1), ("a", (2, 3))]),
        Items([1, "x"]),
        {1: "a", 2.5: "b", True: "c", None: "d", "e": 5},
        {"a": 1, 2: "numeric key after a text key"},
        10**30,
        -(2**63) - 1,
        2**64,
        [2**63 - 1, -(2**63)],
        True,
    ],
    ids=repr,
)
def test_values_left_to_the_stdlib_are_written_as_it_writes_them(encode, value):
    content = {"before": [1.5, "é"], "value": value, "after": {"x": 0.0}}
    assert encode(content) == stdlib(content)


def _circular_list():
    a = [1]
    a.append({"a": a})
    return a


def _circular_dict():
    d = {"x": 1}
    d["self"] = (d,)
    return d


def _circular_through_a_subclass():
    d = {}
    d["sub"] = Members(back=d)
    return d


def _nested(depth, make):
    v = None
    for _ in range(depth):
        v = make(v)
    return v


@pytest.mark.parametrize(
    "value",
    [
        _circular_list(),
        _circular_dict(),
        _circular_through_a_subclass(),
        Opaque(),
        [1, {"deep": {b"bytes"}}],
        {(1, 2): 3},
        {"a": 1, (1, 2): 3},
        {"big": 10**5000},
        float("nan"),
        _nested(100_000, lambda v: [v]),
        _nested(100_000, lambda v: {"k": v}),
        _nested(100_000, lambda v: (v, 1)),
    ],
    ids=["circular-list", "circular-dict", "circular-subclass", "unknown-type", "nested-set", "tuple-key",
         "tuple-key-after-text", "int-too-long", "nan", "deep-lists", "deep-dicts", "deep-tuples"],
)
def test_failures_and_their_texts_are_the_stdlibs(encode, value):
    content = {"value": value}
    assert outcome(encode, content) == outcome(stdlib, content)


def test_circular_reference_is_a_value_error_with_the_stdlib_text(encode):
    with pytest.raises(ValueError, match="^Circular reference detected$"):
        encode({"a": _circular_list()})


def test_deep_nesting_raises_recursion_error_and_the_interpreter_goes_on(encode):
    with pytest.raises(RecursionError, match="while encoding a JSON object"):
        encode({"a": _nested(10 * sys.getrecursionlimit(), lambda v: [v])})
    assert encode({"a": _nested(200, lambda v: [v])}) == stdlib({"a": _nested(200, lambda v: [v])})


def test_same_container_twice_side_by_side_is_not_circular(encode):
    shared = {"x": [1.5]}
    content = {"a": [shared, shared, (shared,)], "b": shared}
    assert encode(content) == stdlib(content)


def test_deep_but_wide_paths_still_find_cycles(encode):
    # Deeper than the part of the path that is searched in place.
    root = []
    v = root
    for _ in range(100):
        child = []
        v.append([1, child])
        v = child
    v.append(root)
    assert outcome(encode, {"r": root}) == (ValueError, "Circular reference detected")
    v.pop()
    assert encode({"r": root}) == stdlib({"r": root})


class _Shrinking(dict):
    """A dictionary subclass whose items() empties the list holding it."""

    def __init__(self, owner):
        super().__init__(k=1)
        self.owner = owner

    def items(self):
        self.owner.clear()
        return super().items()


def test_python_code_run_by_a_fallback_may_change_the_containers(encode):
    def content():
        owner = [1.5, "x"]
        owner += [_Shrinking(owner), {"never": "reached"}, 3]
        return {"owner": owner}

    assert encode(content()) == stdlib(content())


# ----------------------------------------------------------- the upload path

def test_model_like_job_reaches_the_worker_as_the_stdlib_bytes(local_platform):
    records = [("Add", {"x": float(i) * 0.37, "y": 0.0, "z": i, "Name": f"N{i}é"}) for i in range(5000)]
    records += [("SetExcentricity", {"Member": 3, "Values": [1e-05, -2.5, 1e16], "Flag": True, "Ref": None}),
                ("AddLoad", {"Case": Colour.RED, "Text": "\U0001f600\ud800", "Value": 2**70})]
    content = {"command": "RunReturnModel", "model": {"Nodes": records, "Empty": [], "Props": {}}}
    received = []
    local_platform.register("plexum", lambda path: received.append(path.read_bytes()) or {}, content="path")
    Analysis(queue="plexum", content=content, version=1).execute(timeout=30)
    assert received == [stdlib({**content, "version": 1, "execution_timeout": 30})]
