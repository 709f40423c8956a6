"""The checked-in type stubs describe exactly what the extension modules define."""

import ast
import importlib
import inspect
from pathlib import Path

import pytest

MODULES = [
    "tessel.external.offload_task",
    "tessel.external.plexum",
    "tessel.external.grasshopper",
    "tessel.external.tressa",
]


def stub_of(module):
    path = Path(module.__file__).with_name(module.__name__.rsplit(".", 1)[1] + ".pyi")
    return ast.parse(path.read_text())


def members(cls) -> set[str]:
    dunder = {n for n in vars(cls) if n.startswith("__") and n.endswith("__") and n != "__init__"}
    return set(vars(cls)) - dunder - {"_abc_impl"}


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_module(name):
    module = importlib.import_module(name)
    stub = stub_of(module)
    stub_names, stub_classes = set(), {}
    for node in stub.body:
        if isinstance(node, ast.ClassDef):
            # Nested classes (enumerations) are class attributes too.
            stub_classes[node.name] = {n.target.id if isinstance(n, ast.AnnAssign) else n.name
                                       for n in node.body
                                       if isinstance(n, (ast.FunctionDef, ast.AnnAssign, ast.ClassDef))}
        elif isinstance(node, ast.FunctionDef):
            stub_names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            stub_names.add(node.target.id)

    own = {n for n, v in vars(module).items()
           if getattr(v, "__module__", None) == name and (inspect.isclass(v) or callable(v))}
    assert own == set(stub_classes) | (stub_names & own)
    for node in stub.body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(module, node.name)
        # Instance attributes are declared in the stub but live on instances.
        assert members(cls) <= stub_classes[node.name], node.name
        for method in (n.name for n in node.body if isinstance(n, ast.FunctionDef)):
            assert hasattr(cls, method), f"{node.name}.{method}"
    for attr in stub_names:
        assert hasattr(module, attr), attr


def test_stubs_and_marker_are_installed():
    import tessel

    assert (Path(tessel.__file__).parent / "py.typed").exists()


@pytest.mark.parametrize("name", MODULES)
def test_documentation_lives_in_the_modules_only(name):
    # One text per documented name: the stubs carry signatures and types, the
    # modules (help(), __doc__) carry every docstring.
    module = importlib.import_module(name)
    stub = stub_of(module)
    documented = [getattr(node, "name", "module") for node in ast.walk(stub)
                  if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(node)]
    assert documented == []
    assert module.__doc__
    for node in stub.body:
        if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            cls = getattr(module, node.name)
            assert cls.__doc__, node.name
            for attr, value in vars(cls).items():
                if attr.startswith("_"):
                    continue
                target = value if isinstance(value, (property, type)) else getattr(value, "__func__", value)
                if callable(target) or isinstance(target, property):
                    assert target.__doc__, f"{node.name}.{attr}"
