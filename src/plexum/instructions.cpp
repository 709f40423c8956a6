// The parts every interface shares: the instruction list, Object and its
// identifier, the _Interface base with its sequence behaviour, the point
// record (_Point3D) and CircleArc.
#include "plexum/objects.h"
#include "plexum/store.h"

namespace tessel::plexum {
namespace {

// ------------------------------------------------------- _InstructionList

// The record lists live in the instance dict; the class's descriptors for
// them (and for `__dict__` and `__getstate__`) first let the records that
// wait in compact form join them, so every reader sees the complete lists.

void instruction_list_init(nb::handle self) {
    // Run again on a list, it replaces the lists the waiting records belong to.
    observe_instructions(self, true);
    nb::object dict = instance_dict(self);
    bind::check(PyDict_SetItem(dict.ptr(), str<"_functions">().ptr(), nb::list().ptr()));
    bind::check(PyDict_SetItem(dict.ptr(), str<"_properties">().ptr(), nb::list().ptr()));
}

[[noreturn]] void no_attribute(nb::handle self, nb::handle name) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%U'", Py_TYPE(self.ptr())->tp_name,
                 name.ptr());
    throw nb::python_error();
}

// The getter, setter and deleter of the record list `Key` in the instance dict.
template <bind::Literal Key>
nb::object get_record_list(nb::handle self) {
    observe_instructions(self);
    PyObject* v = PyDict_GetItemWithError(instance_dict(self).ptr(), str<Key>().ptr());
    if (!v) {
        if (PyErr_Occurred()) throw nb::python_error();
        no_attribute(self, str<Key>());
    }
    return nb::borrow(v);
}

template <bind::Literal Key>
void set_record_list(nb::handle self, nb::handle value) {
    observe_instructions(self);
    bind::check(PyDict_SetItem(instance_dict(self).ptr(), str<Key>().ptr(), value.ptr()));
}

template <bind::Literal Key>
void delete_record_list(nb::handle self) {
    observe_instructions(self);
    nb::object dict = instance_dict(self);
    if (PyDict_DelItem(dict.ptr(), str<Key>().ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
        PyErr_Clear();
        no_attribute(self, str<Key>());
    }
}

nb::object get_dict(nb::handle self) {
    observe_instructions(self);
    return instance_dict(self);
}

void set_dict(nb::handle self, nb::handle value) {
    observe_instructions(self);
    bind::check(PyObject_GenericSetDict(self.ptr(), value.ptr(), nullptr));
}

// `__class__` as object's own descriptor has it; changing the class first
// lets the waiting records join their lists, so none is lost or reordered
// whatever the class becomes.
nb::object get_class(nb::handle self) { return nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))); }

void set_class(nb::handle self, nb::handle cls) {
    observe_instructions(self);
    static PyObject* const object_class =
        _PyType_Lookup(&PyBaseObject_Type, str<"__class__">().ptr());  // borrowed, lives with `object`
    bind::check(Py_TYPE(object_class)->tp_descr_set(object_class, self.ptr(), cls.ptr()));
}

nb::object instruction_list_getstate(nb::handle self) {
    observe_instructions(self);
    return instance_dict(self);
}

void append_to(nb::handle self, nb::handle list_key, nb::handle name, nb::handle value) {
    nb::object list = self.attr(list_key);
    list.attr("append")(nb::make_tuple(name, value));
}

void instruction_list_add_function(nb::handle self, nb::handle name, nb::handle parameters) {
    append_to(self, str<"_functions">(), name, parameters);
}

void instruction_list_add_property(nb::handle self, nb::handle name, nb::handle value) {
    append_to(self, str<"_properties">(), name, value);
}

nb::object instruction_list_serialize(nb::handle self) {
    nb::dict result;
    result[str<"Functions">()] = self.attr(str<"_functions">());
    result[str<"Properties">()] = self.attr(str<"_properties">());
    return result;
}

// ---------------------------------------------------------------- Object

void object_init(nb::handle self, nb::handle id) { nb::setattr(self, str<"_id">(), id); }

nb::object object_id(nb::handle self) { return self.attr(str<"_id">()); }

// ------------------------------------------------------------- _Interface

void interface_init(nb::handle self) {
    nb::setattr(self, str<"_instructions">(), global(str<"_InstructionList">())());
    nb::setattr(self, str<"_objects">(), nb::list());
}

nb::object interface_serialize(nb::handle self) { return self.attr(str<"_instructions">()).attr("serialize")(); }

[[noreturn]] nb::object not_implemented(nb::handle) { bind::raise(PyExc_NotImplementedError); }
[[noreturn]] nb::object not_implemented_1(nb::handle, nb::handle) { bind::raise(PyExc_NotImplementedError); }

nb::object objects(nb::handle self) { return self.attr(str<"_objects">()); }

bool sequence_contains(nb::handle self, nb::handle o) {
    return bind::check(PySequence_Contains(objects(self).ptr(), o.ptr())) != 0;
}

nb::object sequence_getitem(nb::handle self, nb::handle i) {
    return nb::steal(bind::check(PyObject_GetItem(objects(self).ptr(), i.ptr())));
}

nb::object sequence_iter(nb::handle self) { return nb::steal(bind::check(PyObject_GetIter(objects(self).ptr()))); }

Py_ssize_t sequence_len(nb::handle self) {
    Py_ssize_t n = PyObject_Size(objects(self).ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

// -------------------------------------------------------------- _Point3D

void point_init(nb::handle self, nb::handle x, nb::handle y, nb::handle z) {
    nb::setattr(self, str<"x">(), x);
    nb::setattr(self, str<"y">(), y);
    nb::setattr(self, str<"z">(), z);
}

nb::object point_from_tuple(nb::handle cls, nb::handle xyz) {
    nb::object x = xyz[nb::int_(0)], y = xyz[nb::int_(1)], z = xyz[nb::int_(2)];
    return nb::borrow(cls)(x, y, z);
}

nb::object point_serialize(nb::handle self) {
    nb::dict result;
    result[str<"x">()] = self.attr(str<"x">());
    result[str<"y">()] = self.attr(str<"y">());
    result[str<"z">()] = self.attr(str<"z">());
    return result;
}

// ------------------------------------------------------------- CircleArc

void arc_init(nb::handle self, nb::handle center, nb::handle normal_vector, nb::handle alpha) {
    nb::setattr(self, str<"center">(), center);
    nb::setattr(self, str<"normal_vector">(), normal_vector);
    nb::setattr(self, str<"alpha">(), alpha);
}

nb::object arc_serialize(nb::handle self) {
    nb::object point = global(str<"_Point3D">());
    nb::dict result;
    result[str<"Center">()] = point.attr("from_tuple")(self.attr(str<"center">())).attr("serialize")();
    result[str<"NormalVector">()] = point.attr("from_tuple")(self.attr(str<"normal_vector">())).attr("serialize")();
    result[str<"Alfa">()] = self.attr(str<"alpha">());
    return result;
}


}  // namespace

const bind::Guard add_function_guard{nullptr, {"add_function"}};
const bind::Guard add_property_guard{nullptr, {"add_property"}};
const bind::Guard serialize_guard{nullptr, {"serialize"}};
const bind::Guard point3d_guard{"_Point3D", {"__init__", "from_tuple", "serialize"}};
const bind::Guard circle_arc_guard{"CircleArc", {"__init__", "_serialize"}};

bind::ClassBuilder object_class(const char* name, const char* doc, nb::handle base) {
    bind::ClassBuilder cls(g, name, doc);
    cls.base(base.is_valid() ? nb::object(nb::borrow(base)) : global(str<"Object">()));
    return cls;
}

bind::ClassBuilder interface_class(const char* name, const char* doc) {
    bind::ClassBuilder cls(g, name, doc);
    cls.base(global(str<"_Interface">()))
        .def("__contains__", &sequence_contains, "o"_p, "Whether the object was created by this interface.")
        .def("__getitem__", &sequence_getitem, "i"_p, "The object at index `i` (or a list of objects for a slice).")
        .def("__iter__", &sequence_iter, "The created objects in creation order.")
        .def("__len__", &sequence_len, "The number of created objects.");
    return cls;
}

void populate_instructions(nb::module_&) {
    nb::object instruction_list =
        bind::ClassBuilder(g, "_InstructionList",
                           "The records of one interface: function records (name, parameters) and property "
                           "records (name, value), in the order in which they were added.")
            .def("__init__", &instruction_list_init)
            .def_data_property("_functions", &get_record_list<"_functions">, &set_record_list<"_functions">,
                               &delete_record_list<"_functions">, "Function records (name, parameters), in order.")
            .def_data_property("_properties", &get_record_list<"_properties">, &set_record_list<"_properties">,
                               &delete_record_list<"_properties">, "Property records (name, value), in order.")
            .def_data_property("__dict__", &get_dict, &set_dict)
            .def_data_property("__class__", &get_class, &set_class)
            .def("__getstate__", &instruction_list_getstate)
            .def("add_function", &instruction_list_add_function, "name"_p, "parameters"_p,
                 "Append the function record (name, parameters); the dict is stored, not copied.")
            .def("add_property", &instruction_list_add_property, "name"_p, "value"_p,
                 "Append the property record (name, value).")
            .def("serialize", &instruction_list_serialize,
                 "{\"Functions\": the function records, \"Properties\": the property records} (the live lists).")
            .build();
    add_function_guard.capture(instruction_list);
    add_property_guard.capture(instruction_list);
    serialize_guard.capture(instruction_list);

    object_class_made(bind::ClassBuilder(g, "Object",
                                         "Abstract base class of all Plexum objects.\n\n"
                                         ".. warning:: Do not use this class directly in an application!")
                          .base(g("ABC"))
                          .def("__init__", &object_init, "id_"_p, ":param id_: identifier of the object")
                          .def_property("id", &object_id, "Identifier of the object.")
                          .build());

    interface_serialize_guard.capture(
    bind::ClassBuilder(g, "_Interface", "Abstract base class of the interfaces of a :class:`Model`.")
        .base(g("ABC"))
        .def("__init__", &interface_init)
        .def_abstract("__contains__", &not_implemented_1, "o"_p)
        .def_abstract("__getitem__", &not_implemented_1, "i"_p)
        .def_abstract("__iter__", &not_implemented)
        .def_abstract("__len__", &not_implemented)
        .def("_serialize", &interface_serialize, "The serialised instruction list of this interface.")
        .build());

    point3d_guard.capture(
        bind::ClassBuilder(g, "_Point3D", "A point or vector, written as the record {\"x\", \"y\", \"z\"}.")
            .def("__init__", &point_init, "x"_p, "y"_p, "z"_p)
            .def_classmethod("from_tuple", &point_from_tuple, "xyz"_p,
                             "The point (xyz[0], xyz[1], xyz[2]); further items are ignored.")
            .def("serialize", &point_serialize, "The point record {\"x\": x, \"y\": y, \"z\": z}.")
            .build());

    circle_arc_guard.capture(
        bind::ClassBuilder(g, "CircleArc",
                           "A circular arc between the start and end point of the line it is passed to.")
            .def("__init__", &arc_init, "center"_p, "normal_vector"_p, "alpha"_p,
                 ":param center: (x, y, z) position of the centre of the arc [m]\n"
                 ":param normal_vector: (x, y, z) components of the normal of the plane of the arc\n"
                 ":param alpha: angle of the arc, positive counter-clockwise from the start point [rad]")
            .def("_serialize", &arc_serialize)
            .build());
}

}  // namespace tessel::plexum
