"""The binding layer's classes behave as classes written in Python."""

import abc
import enum
from unittest import mock

import pytest

selftest = pytest.importorskip("tessel._bind_selftest", reason="built with TESSEL_BUILD_SELFTEST=ON (make test)")
Shape = selftest.Shape


class Square(Shape):
    label = "square"

    def area(self):
        return self.size ** 2


def test_class_is_a_real_abc_with_module_qualname_and_doc():
    assert type(Shape) is abc.ABCMeta and Shape.__mro__[1:] == (abc.ABC, object)
    assert (Shape.__module__, Shape.__qualname__, Shape.__doc__) == ("tessel._bind_selftest", "Shape", "A shape.")
    assert Shape.describe.__qualname__ == "Shape.describe" and Shape.describe.__module__ == "tessel._bind_selftest"


def test_abstract_members_block_instantiation_until_overridden():
    assert Shape.__abstractmethods__ == frozenset({"area", "label"})
    with pytest.raises(TypeError, match="abstract"):
        Shape()

    class Half(Shape):
        def area(self):
            return 0

    assert Half.__abstractmethods__ == frozenset({"label"})
    with pytest.raises(TypeError):
        Half()


def test_abstract_base_bodies_raise_not_implemented():
    class Calls(Shape):
        def area(self):
            return super().area()

        @property
        def label(self):
            return Shape.label.fget(self)

    with pytest.raises(NotImplementedError):
        Calls().area()
    with pytest.raises(NotImplementedError):
        Calls().label


def test_methods_take_python_like_arguments():
    sq = Square(3)
    assert sq.size == 3 and Square().size == 1.0
    assert sq.describe("> ") == "> square=9"
    assert sq.describe(prefix="", suffix=" m2") == "square=9 m2"
    with pytest.raises(TypeError):
        sq.describe("", " m2")  # suffix is keyword-only
    assert Square.describe(sq, None) == "Nonesquare=9"


def test_read_only_property():
    with pytest.raises(AttributeError):
        Square().size = 2
    assert Shape.size.__doc__ == "The size."


def test_static_and_class_methods_bind_like_python():
    assert Shape.unit() == "m" and Square(2).unit("mm") == "mm" and Shape.unit(None) == "m"
    made = Square.make(4)
    assert type(made) is Square and made.area() == 16


def test_nested_enum_with_aliases():
    Kind = Shape.Kind
    assert issubclass(Kind, enum.Enum) and Kind.__qualname__ == "Shape.Kind"
    assert Kind.__module__ == "tessel._bind_selftest" and Kind.__doc__ == "Kinds."
    assert Kind.CIRCLE is Kind.ROUND and [k.name for k in Kind] == ["ROUND", "SQUARE"]
    assert Kind(2) is Kind.SQUARE and Kind.SQUARE.value == 2
    with pytest.raises(ValueError):
        Kind(3)


def test_globals_are_looked_up_when_the_code_runs(monkeypatch):
    with pytest.raises(NameError, match="name 'hook' is not defined"):
        selftest.hook_result()
    monkeypatch.setattr(selftest, "hook", lambda: "first", raising=False)
    assert selftest.hook_result() == "first"
    monkeypatch.setattr(selftest, "hook", lambda: "patched")
    assert selftest.hook_result() == "patched"


@pytest.mark.parametrize("error", [ValueError, KeyError, type("Custom", (Exception,), {})])
def test_raise_given_type_with_message(error):
    with pytest.raises(error) as raised:
        selftest.fail(error, "why")
    assert type(raised.value) is error and raised.value.args == ("why",)


def test_guard_holds_until_what_it_names_changes_and_again_once_undone(monkeypatch):
    assert selftest.guard_holds() and selftest.guard_holds()  # the second answer is the remembered one
    with monkeypatch.context() as m:
        m.setattr(selftest, "Shape", type("Other", (), {}))
        assert not selftest.guard_holds()
    assert selftest.guard_holds()
    with monkeypatch.context() as m:
        m.setattr(Shape, "describe", lambda self, prefix, *, suffix=None: "patched")
        assert not selftest.guard_holds()
    assert selftest.guard_holds()
    with monkeypatch.context() as m:
        m.setattr(abc.ABCMeta, "__call__", lambda cls, *a, **k: None, raising=False)
        assert not selftest.guard_holds()
    assert selftest.guard_holds()


def test_guard_for_subclasses():
    class Plain(Shape):
        pass

    class Own(Shape):
        def describe(self, prefix, *, suffix=None):
            return "own"

    class Intercepting(Shape):
        def __getattribute__(self, name):
            return object.__getattribute__(self, name)

    assert selftest.guard_holds_for(Shape) and not selftest.guard_holds_for(Plain)
    assert selftest.guard_resolves_on(Plain) and selftest.guard_resolves_on(Plain)
    assert not selftest.guard_resolves_on(Own) and not selftest.guard_resolves_on(Intercepting)
    Plain.describe = Own.describe
    assert not selftest.guard_resolves_on(Plain)


def test_methods_refuse_a_foreign_self_as_descriptors_do():
    with pytest.raises(TypeError, match=r"^descriptor 'describe' for 'Shape' objects doesn't apply to a 'type' object$"):
        Shape.describe(int, "x")
    with pytest.raises(TypeError, match=r"^descriptor 'size' for 'Shape' objects doesn't apply to a 'int' object$"):
        Shape.size.fget(3)
    with pytest.raises(TypeError, match=r"^descriptor 'make' requires a subtype of 'Shape' but received 'int'$"):
        vars(Shape)["make"].__func__(int, 1)


def test_raising_something_that_is_no_exception_is_pythons_type_error():
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        selftest.fail(mock.MagicMock(), "message")
