// Self-test module of the binding layer: one class using every feature of the
// class builder, exercised by tests/python/test_bind_layer.py.
#include "bind/bind.h"
#include "bind/guard.h"

namespace {

namespace nb = nanobind;
using namespace tessel::bind;

ModuleGlobals g;

// Shape as built, with its own `describe` and the `__init__` it inherits
// from none (Shape defines it): the one guard type, exercised directly.
const Guard shape_guard{"Shape", {"describe"}, {"__init__"}};

}  // namespace

NB_MODULE(_bind_selftest, m) {
    tessel::bind::ActiveModule active(&g.bind(m));
    watch_globals();
    import_names(g, "abc", {"ABC"});
    m.def("hook_result", []() { return g("hook")(); }, "Call the module global `hook` as it is now.");
    m.def(
        "fail", [](nb::handle type, nb::handle message) { raise(type, message); }, "type"_p, "message"_p);

    ClassBuilder shape(g, "Shape", "A shape.");
    shape.base(g("ABC"))
        .attr("Kind", make_enum(g, "Shape.Kind", {{"ROUND", 1}, {"CIRCLE", 1}, {"SQUARE", 2}}, "Enum", "Kinds."))
        .def(
            "__init__", [](nb::handle self, nb::handle size) { nb::setattr(self, "_size", size); }, "size"_p = 1.0)
        .def_abstract("area", [](nb::handle) -> nb::object { raise(PyExc_NotImplementedError); }, "Area.")
        .def_abstract_property("label", [](nb::handle) -> nb::object { raise(PyExc_NotImplementedError); })
        .def_property("size", [](nb::handle self) { return self.attr("_size"); }, "The size.")
        .def(
            "describe",
            [](nb::handle self, nb::handle prefix, nb::handle suffix) {
                nb::object tail = suffix.is_none() ? nb::object(nb::str("")) : nb::borrow(suffix);
                return nb::str("{}{}={}{}").format(prefix, self.attr("label"), self.attr("area")(), tail);
            },
            "prefix"_p, nb::kw_only(), "suffix"_p = nb::none(), "Describe the shape.")
        .def_static(
            "unit", [](nb::handle name) { return name.is_none() ? nb::object(nb::str("m")) : nb::borrow(name); },
            "name"_p = nb::none())
        .def_classmethod(
            "make", [](nb::handle cls, nb::handle size) { return cls(size); }, "size"_p)
        .build();
    shape_guard.capture(g("Shape"));
    m.def("guard_holds", []() { return shape_guard.holds(); }, "Whether the Shape guard holds.");
    m.def(
        "guard_holds_for", [](nb::handle cls) { return shape_guard.holds_for(reinterpret_cast<PyTypeObject*>(cls.ptr())); },
        "cls"_p, "Whether the guard holds for objects of `cls`.");
    m.def(
        "guard_resolves_on", [](nb::handle cls) { return shape_guard.resolves_on(reinterpret_cast<PyTypeObject*>(cls.ptr())); },
        "cls"_p, "Whether `cls` resolves the guarded attributes to the originals.");
}
