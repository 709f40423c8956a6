"""Inputs that once crashed the interpreter, each run by test_module_crashes.py
in a child process of its own so that a crash fails one case, not the run.

Usage: python module_cases.py CASE. Prints "ok" when the case held.
"""

import gc
import importlib
import inspect
import sys
from unittest import mock

MODULES = ["tessel.external.offload_task", "tessel.external.plexum", "tessel.external.grasshopper",
           "tessel.external.tressa"]


def young_lists_walked_while_ids_are_read():
    """Python code that runs while C++ fills a list must never see empty slots."""
    from tessel.external import plexum

    class Case:
        def __init__(self, i):
            self.i = i

        @property
        def id(self):
            for o in gc.get_objects(generation=0):
                if isinstance(o, (list, tuple)):
                    list(o)
            return self.i

    model = plexum.Model()
    model.load_combinations.create(plexum.LoadCombination.Type.ULS, {Case(i): 1.0 for i in range(1, 20)})
    ids = model.load_combinations._instructions._functions[0][1]["LoadCaseIds"]
    assert ids == list(range(1, 20)), ids


def _foreign_calls(cls):
    """Every C++ function of `cls` (methods and property accessors) called with `stranger` as self."""
    for name, value in vars(cls).items():
        if isinstance(value, property):
            calls = [(value.fget, ()), (value.fset, ({},)), (value.fdel, ())]
        elif isinstance(value, classmethod):
            calls = [(value.__func__, None)]
        elif inspect.isfunction(value):
            calls = [(value, None)]
        else:
            continue
        for fn, args in calls:
            if fn is None or not fn.__code__.co_filename.startswith("<tessel."):
                continue
            kwargs = {}
            if args is None:
                required = [p for p in list(inspect.signature(fn).parameters.values())[1:] if p.default is p.empty]
                args = tuple(None for p in required if p.kind is p.POSITIONAL_OR_KEYWORD)
                kwargs = {p.name: None for p in required if p.kind is p.KEYWORD_ONLY}
            yield f"{cls.__qualname__}.{name}", fn, args, kwargs


def foreign_self_is_refused():
    """A C++ method reached with a class as self raises TypeError as a descriptor does."""

    class Stranger:
        pass

    class Untouched:
        pass

    checked = 0
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        classes = [v for v in vars(module).values() if isinstance(v, type) and v.__module__ == module_name]
        for cls in classes:
            for label, fn, args, kwargs in _foreign_calls(cls):
                try:
                    fn(Stranger, *args, **kwargs)
                except TypeError as error:
                    assert "doesn't apply to a 'type' object" in str(error) or "requires a subtype" in str(
                        error), f"{label}: {error}"
                else:
                    raise AssertionError(f"{label} accepted a class as self")
                checked += 1
    # The class whose dict would have been written into is intact.
    assert set(vars(Stranger)) == set(vars(Untouched)), vars(Stranger)
    Stranger()
    assert checked > 100, checked


def patched_exception_types_raise_type_error():
    """A patched non-exception in place of ModelError or ExecutionError: Python's own TypeError."""
    from tessel.external import offload_task, plexum

    model = plexum.Model()
    model.load_cases.create("a")
    with mock.patch.object(plexum, "ModelError"):
        try:
            model.load_cases.create("a")
        except TypeError as error:
            assert str(error) == "exceptions must derive from BaseException", error
        else:
            raise AssertionError("no error")
    task = offload_task.OffloadTask.__new__(offload_task.OffloadTask)
    with mock.patch.object(offload_task, "ExecutionError"):
        try:
            offload_task.OffloadTask._handle_execution_error(task, "anything")
            task._handle_generic_error("boom", "WORKER_ERROR")
        except TypeError as error:
            assert str(error) == "exceptions must derive from BaseException", error


def second_import_keeps_old_models():
    """A second import leaves models made before it working, with every record."""
    from tessel.external import plexum as first

    old = first.Model()
    a = old.nodes.create(0.0, 0.0, 0.0)
    with mock.patch.dict(sys.modules):
        del sys.modules["tessel.external.plexum"]
        second = importlib.import_module("tessel.external.plexum")
        assert second is not first
        new = second.Model()
        c = new.nodes.create(5.0, 0.0, 0.0)
        b = old.nodes.create(1.0, 0.0, 0.0)
        old.lines.create(a, b)
        new.lines.create(c, new.nodes.create(6.0, 0.0, 0.0))
        assert type(b) is first.Node and type(c) is second.Node
    for module in (first, second):
        m = module.Model()
        m.nodes.create(0, 0, 0)
        assert len(m.nodes._instructions._functions) == 1
    assert [f[1] for f in old.nodes._instructions._functions] == [{"x": 0.0, "y": 0.0, "z": 0.0},
                                                                   {"x": 1.0, "y": 0.0, "z": 0.0}]
    assert old.lines._instructions._functions[0][1]["EndNode"] == 2
    assert len(new.nodes._instructions._functions) == 2 and len(new.lines) == 1


CASES = {f.__name__: f for f in [young_lists_walked_while_ids_are_read, foreign_self_is_refused,
                                 patched_exception_types_raise_type_error, second_import_keeps_old_models]}

if __name__ == "__main__":
    CASES[sys.argv[1]]()
    print("ok")
