"""Every function of the extension modules has its real Python signature:
`inspect` reads it, it matches the checked-in stub, autospec enforces it and
the interpreter's own argument errors come from it."""

import ast
import importlib
import inspect
from pathlib import Path
from unittest import mock

import pytest

import tessel.external.offload_task as offload_task

MODULES = ["tessel.external.offload_task", "tessel.external.grasshopper", "tessel.external.tressa",
           "tessel.external.plexum"]
KINDS = {"posonly": inspect.Parameter.POSITIONAL_ONLY, "arg": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "vararg": inspect.Parameter.VAR_POSITIONAL, "kwonly": inspect.Parameter.KEYWORD_ONLY,
         "kwarg": inspect.Parameter.VAR_KEYWORD}


def stub_parameters(node: ast.FunctionDef):
    """(name, kind, has default) of each parameter a stub declares."""
    a = node.args
    positional = [*a.posonlyargs, *a.args]
    first_default = len(positional) - len(a.defaults)
    params = [(p.arg, "posonly" if p in a.posonlyargs else "arg", i >= first_default)
              for i, p in enumerate(positional)]
    if a.vararg:
        params.append((a.vararg.arg, "vararg", False))
    params += [(p.arg, "kwonly", d is not None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, "kwarg", False))
    return [(name, KINDS[kind], has_default) for name, kind, has_default in params]


def runtime_parameters(fn):
    return [(p.name, p.kind, p.default is not p.empty) for p in inspect.signature(fn).parameters.values()]


def unwrap(entry):
    if isinstance(entry, (staticmethod, classmethod)):
        return entry.__func__
    if isinstance(entry, property):
        return entry.fget
    return entry


def stubbed_functions():
    """(module, qualified name, stub node, runtime function) of every function the stubs declare."""
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        tree = ast.parse(Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi").read_text())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                yield name, node.name, node, getattr(module, node.name)
            if isinstance(node, ast.ClassDef) and isinstance(getattr(module, node.name, None), type):
                cls = getattr(module, node.name)
                for item in node.body:
                    if isinstance(item, ast.FunctionDef) and item.name in vars(cls):
                        yield name, f"{node.name}.{item.name}", item, unwrap(vars(cls)[item.name])


FUNCTIONS = list(stubbed_functions())


@pytest.mark.parametrize(("module", "qualname", "stub", "fn"), FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_signature_is_python_and_matches_the_stub(module, qualname, stub, fn):
    assert inspect.isfunction(fn), qualname
    assert (fn.__module__, fn.__qualname__) == (module, qualname)
    assert runtime_parameters(fn) == stub_parameters(stub)


def test_defaults_are_the_documented_objects():
    sig = inspect.signature(offload_task._StreamedDict.stream_dict_value)
    assert str(sig) == "(self, key, *, buffer_size=65536)"
    assert str(inspect.signature(offload_task.OffloadTask.execute)) == "(self, timeout=25)"
    assert inspect.getdoc(offload_task.OffloadTask.execute).startswith(
        "Run method to start an external analysis using a TESSEL worker.")
    assert inspect.signature(offload_task.OffloadTask).parameters.keys() == {"queue_name", "version"}


class Analysis(offload_task.OffloadTask):
    def __init__(self):
        super().__init__("q", 1)

    def _generate_job_content(self):
        return offload_task._JobContent({})


def test_autospec_enforces_the_signature():
    with mock.patch.object(offload_task.OffloadTask, "execute", autospec=True) as execute:
        analysis = Analysis()
        analysis.execute(timeout=3)
        execute.assert_called_once_with(analysis, timeout=3)
        with pytest.raises(TypeError):
            analysis.execute(timeuot=3)


@pytest.mark.parametrize(("call", "message"), [
    (lambda: Analysis().execute(1, 2), r"^OffloadTask\.execute\(\) takes from 1 to 2 positional arguments but 3 "
                                       r"were given$"),
    (lambda: offload_task._StreamedDict(None).stream_dict_value("k", 4),
     r"^_StreamedDict\.stream_dict_value\(\) takes 2 positional arguments but 3 were given$"),
    (lambda: offload_task._get_file_body(), r"^_get_file_body\(\) missing 1 required positional argument: "
                                            r"'file_content'$"),
])
def test_argument_errors_are_the_interpreters(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_help_shows_the_signature():
    text = inspect.signature(offload_task._StreamedDict.get_value_as_file)
    assert str(text) == "(self, key, *, base64_decode=True, decompress=False)"
    assert offload_task._StreamedDict.get_value_as_file.__doc__.startswith(
        "Return the key value as a file without loading the content in memory.")


def generated_functions():
    """Every Python function the modules generate around a C++ one (methods, property accessors, module functions)."""
    for name in ("offload_task", "plexum", "grasshopper", "tressa"):
        module = importlib.import_module(f"tessel.external.{name}")
        owners = [module] + [v for v in vars(module).values() if isinstance(v, type) and v.__module__ == module.__name__]
        for owner in owners:
            for attr, value in vars(owner).items():
                candidates = [value.fget, value.fset, value.fdel] if isinstance(value, property) else [
                    getattr(value, "__func__", value)]
                for fn in candidates:
                    if inspect.isfunction(fn) and "__impl" in fn.__globals__:
                        yield f"{name}.{getattr(owner, '__qualname__', '')}.{attr}", fn


GENERATED = list(generated_functions())


@pytest.mark.parametrize(("label", "fn"), GENERATED, ids=[g[0] for g in GENERATED])
def test_generated_signature_reads_the_native_one_in_full(label, fn):
    # The wrapper's parameters are read from nanobind's signature text: every
    # name, its order, the keyword-only marker and each default object must
    # come through, so that a change of that text cannot go unnoticed.
    (text, _, defaults), = fn.__globals__["__impl"].__nb_signature__
    parameters = list(inspect.signature(fn).parameters.values())
    inside = text[text.index("(") + 1:text.rindex(")")]
    position = 0
    for p in parameters:
        position = inside.index(p.name, position) + len(p.name)
    assert ("*" in inside.replace("**", "")) == any(p.kind is p.KEYWORD_ONLY for p in parameters), label
    given = [p.default for p in parameters if p.default is not p.empty]
    assert len(given) == len(defaults or ()) and all(a is b for a, b in zip(given, defaults or ())), label
