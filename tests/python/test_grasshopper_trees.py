"""Data trees: conversion of the input dictionary, branch keys, text forms and
errors, checked against a plain-Python rendition of the same rules."""

import gc
import json
import re
import weakref
from collections import OrderedDict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessel.external.grasshopper as grasshopper
from tessel.external.grasshopper import _convert_dict_to_gh_trees, _DataTree, _index_of_branch


def inner_trees(d):
    return [(t.data["ParamName"], t.data["InnerTree"]) for t in _convert_dict_to_gh_trees(d)]


# ------------------------------------------------------------- reference

def reference_index_of_branch(branch_input):
    return [int(i) for i in re.findall(r"\d+", branch_input)]


def reference_convert(d):
    """The documented rules written plainly, as the module must behave."""
    trees = []
    for key, value in d.items():
        inner = {}

        def append(path, items):
            branch_key = ""
            for element in path:
                branch_key = str(element) if branch_key == "" else branch_key + ";" + str(element)
            inner[branch_key] = [{"data": item} for item in items]

        if isinstance(value, dict):
            for k, v in value.items():
                if isinstance(v[0], dict):
                    append(reference_index_of_branch(k), [item["data"] for item in v])
                else:
                    append(reference_index_of_branch(k), [str(item) for item in v])
        elif isinstance(value, bool):
            append(["{0}"], [value])
        elif isinstance(value, list):
            append(["{0}"], value)
        else:
            append(["{0}"], [str(value)])
        trees.append({"ParamName": key, "InnerTree": inner})
    return trees


# ------------------------------------------------------------- documented cases

def test_documented_example_gives_five_trees_in_order():
    d = {"my_int": 1, "my_bool": True, "my_string": "test", "my_list": [1, 2, 3],
         "my_dict": {"{0;0;0}": [1], "{0;1;1}": [1, 2, 3]}}
    assert json.dumps([t.data for t in _convert_dict_to_gh_trees(d)]) == (
        '[{"ParamName": "my_int", "InnerTree": {"{0}": [{"data": "1"}]}}, '
        '{"ParamName": "my_bool", "InnerTree": {"{0}": [{"data": true}]}}, '
        '{"ParamName": "my_string", "InnerTree": {"{0}": [{"data": "test"}]}}, '
        '{"ParamName": "my_list", "InnerTree": {"{0}": [{"data": 1}, {"data": 2}, {"data": 3}]}}, '
        '{"ParamName": "my_dict", "InnerTree": {"0;0;0": [{"data": "1"}], '
        '"0;1;1": [{"data": "1"}, {"data": "2"}, {"data": "3"}]}}]'
    )


@pytest.mark.parametrize(
    ("value", "inner"),
    [
        (2.5, {"{0}": [{"data": "2.5"}]}),
        (1.0, {"{0}": [{"data": "1.0"}]}),
        (1e16, {"{0}": [{"data": "1e+16"}]}),
        (1e-7, {"{0}": [{"data": "1e-07"}]}),
        (None, {"{0}": [{"data": "None"}]}),
        ((1, 2), {"{0}": [{"data": "(1, 2)"}]}),
        (False, {"{0}": [{"data": False}]}),
        ("", {"{0}": [{"data": ""}]}),
        ([], {"{0}": []}),
        ([True, None, 2.5, [1], {"k": 1}], {"{0}": [{"data": True}, {"data": None}, {"data": 2.5},
                                                     {"data": [1]}, {"data": {"k": 1}}]}),
        ({"{0}": [{"data": 5, "type": "x"}]}, {"0": [{"data": 5}]}),
        ({"{0}": [True, None, 2.5, (1, 2)]}, {"0": [{"data": "True"}, {"data": "None"}, {"data": "2.5"},
                                                   {"data": "(1, 2)"}]}),
        ({"{0}": "ab"}, {"0": [{"data": "a"}, {"data": "b"}]}),
        ({"{1}": (3, 4)}, {"1": [{"data": "3"}, {"data": "4"}]}),
        ({"{0;1}": [1], "{2}": [2], "{00;1}": [3]}, {"0;1": [{"data": "3"}], "2": [{"data": "2"}]}),
        ({"no digits": [1]}, {"": [{"data": "1"}]}),
        ({}, {}),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_value_becomes_inner_tree(value, inner):
    assert inner_trees({"p": value}) == [("p", inner)]


def test_branch_replaced_keeps_first_position_and_items_pass_unchanged():
    item = {"nested": [1]}
    (_, inner), = inner_trees({"p": {"{0;1}": [1], "{2}": [2], "{0;01}": [{"data": item}]}})
    assert list(inner) == ["0;1", "2"] and inner["0;1"][0]["data"] is item


def test_empty_dict_and_mapping_subclasses():
    assert _convert_dict_to_gh_trees({}) == []

    class Items(dict):
        def items(self):
            return [("only", 1)]

    assert inner_trees(OrderedDict([("b", 1), ("a", 2)])) == [("b", {"{0}": [{"data": "1"}]}),
                                                              ("a", {"{0}": [{"data": "2"}]})]
    class Branches(dict):
        def items(self):
            return [("{3}", ["z"])]

    assert inner_trees(Items(ignored=5)) == [("only", {"{0}": [{"data": "1"}]})]
    assert inner_trees({"p": Branches(x=0)}) == [("p", {"3": [{"data": "z"}]})]


@pytest.mark.parametrize(
    ("branch_input", "path"),
    [("{0;1;1}", [0, 1, 1]), ("{-2}", [2]), ("{007}", [7]), ("abc", []), ("", []),
     ("{1 ; x2y33}", [1, 2, 33]), ("٣;٤٥", [3, 45]), ("9" * 30, [int("9" * 30)])],
)
def test_index_of_branch(branch_input, path):
    assert _index_of_branch(branch_input) == path == reference_index_of_branch(branch_input)


@pytest.mark.parametrize(
    ("path", "key"),
    [(["{0}"], "{0}"), ([0, 1, 1], "0;1;1"), ([], ""), (("", 3, 4), "3;4"), ([1, "", 2], "1;;2"),
     ((x for x in [5, 6]), "5;6")],
)
def test_append_branch_key_of_path(path, key):
    tree = _DataTree("p")
    tree.append(path, iter(["a"]))
    assert tree.data == {"ParamName": "p", "InnerTree": {key: [{"data": "a"}]}}


# ------------------------------------------------------------- errors

@pytest.mark.parametrize(
    ("d", "error", "text"),
    [
        ({"p": {5: [1]}}, TypeError, "expected string or bytes-like object, got 'int'"),
        ({"p": {b"{0}": [1]}}, TypeError, "cannot use a string pattern on a bytes-like object"),
        ({"p": {"{0}": []}}, IndexError, "list index out of range"),
        ({"p": {"{0}": 3}}, TypeError, "'int' object is not subscriptable"),
        ({"p": {"{0}": [{"data": 1}, 2]}}, TypeError, "'int' object is not subscriptable"),
        ({"p": {"{0}": [{"data": 1}, {"type": 2}]}}, KeyError, "'data'"),
        ({"p": {"{0}": [{"data": 1}, "ab"]}}, TypeError, "string indices must be integers, not 'str'"),
        ({"p": {"1" * 5000: [1]}}, ValueError, "Exceeds the limit (4300 digits)"),
        (None, AttributeError, "'NoneType' object has no attribute 'items'"),
        ([("p", 1)], AttributeError, "'list' object has no attribute 'items'"),
    ],
)
def test_errors_are_the_interpreters(d, error, text):
    with pytest.raises(error) as raised:
        _convert_dict_to_gh_trees(d)
    with pytest.raises(error) as expected:
        reference_convert(d)
    assert str(raised.value) == str(expected.value) and text in str(raised.value)


def test_empty_branch_fails_before_its_key_is_read():
    with pytest.raises(IndexError):
        _convert_dict_to_gh_trees({"p": {5: []}})


def test_dictionary_changed_during_conversion():
    d = {"a": 1, "b": 2}

    class Grows:
        def __str__(self):
            d["c"] = 3
            return "x"

    d["a"] = Grows()
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        _convert_dict_to_gh_trees(d)


@pytest.mark.parametrize(
    ("pair", "error", "text"),
    [(1, TypeError, "cannot unpack non-iterable int object"),
     ((1,), ValueError, "not enough values to unpack (expected 2, got 1)"),
     ([1, 2, 3], ValueError, "too many values to unpack (expected 2)")],
)
def test_mapping_whose_items_do_not_unpack(pair, error, text):
    class Odd:
        def items(self):
            return [pair]

    with pytest.raises(error, match=f"^{re.escape(text)}$"):
        _convert_dict_to_gh_trees(Odd())


# ------------------------------------------------------------- late binding

def test_patched_data_tree_and_index_of_branch_are_used(monkeypatch):
    calls = []

    class Tree(_DataTree):
        def append(self, path, items):
            calls.append((list(path), list(items)))
            super().append(path, items)

    monkeypatch.setattr(grasshopper, "_DataTree", Tree)
    monkeypatch.setattr(grasshopper, "_index_of_branch", lambda k: [len(k)])
    trees = _convert_dict_to_gh_trees({"a": 2, "b": {"xyz": [{"data": 1}], "q": ["s"]}, "c": [1]})
    assert all(type(t) is Tree for t in trees)
    assert calls == [(["{0}"], ["2"]), ([3], [1]), ([1], ["s"]), (["{0}"], [1])]
    assert trees[1].data["InnerTree"] == {"3": [{"data": 1}], "1": [{"data": "s"}]}


def test_patched_append_method_is_used(monkeypatch):
    seen = []
    monkeypatch.setattr(_DataTree, "append", lambda self, path, items: seen.append((path, items)))
    _convert_dict_to_gh_trees({"a": True, "b": {"{4;5}": [1]}})
    assert seen == [(["{0}"], [True]), ([4, 5], ["1"])]


def test_results_are_tracked_by_the_cycle_collector():
    trees = _convert_dict_to_gh_trees({"a": [1], "b": {"{0}": [[1]]}, "c": 1})
    assert all(gc.is_tracked(t) and gc.is_tracked(t.data) and gc.is_tracked(t.data["InnerTree"])
               for t in trees)
    assert all(gc.is_tracked(b) for t in trees for b in t.data["InnerTree"].values())
    assert gc.is_tracked(trees)
    # A cycle through a tree is collected.
    trees[0].data["self"] = trees[0]
    gone = weakref.ref(trees[0])
    del trees
    gc.collect()
    assert gone() is None


# ------------------------------------------------------------- property

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True), st.text(max_size=5),
    st.tuples(st.integers(), st.floats()),
)
records = st.fixed_dictionaries({"data": scalars}, optional={"type": st.text(max_size=3)})
branch_keys = st.one_of(st.text(max_size=8), st.lists(st.integers(0, 10**20), max_size=4).map(
    lambda p: "{" + ";".join(map(str, p)) + "}"))
branches = st.dictionaries(branch_keys, st.one_of(st.lists(scalars, min_size=1, max_size=4),
                                                  st.lists(records, min_size=1, max_size=4)), max_size=4)
inputs = st.dictionaries(st.text(max_size=6), st.one_of(scalars, st.lists(scalars, max_size=4), branches),
                         max_size=6)


@settings(max_examples=300, deadline=None)
@given(inputs)
def test_conversion_matches_the_plain_rules(d):
    assert [t.data for t in _convert_dict_to_gh_trees(d)] == reference_convert(d)


@settings(max_examples=300, deadline=None)
@given(st.text())
def test_index_of_branch_matches_the_regular_expression(text):
    assert _index_of_branch(text) == reference_index_of_branch(text)


@pytest.mark.parametrize("enabled", [True, False])
def test_the_collector_state_is_restored_also_after_a_failure(enabled):
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        _convert_dict_to_gh_trees({"a": [1], "b": 2.5})
        assert gc.isenabled() is enabled
        with pytest.raises(IndexError):
            _convert_dict_to_gh_trees({"a": {"{0}": []}})
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()
