// References: points, vectors, axes, planes and angles that other model
// elements name by identifier (a beam's local z axis is a vector reference).
#include "plexum/objects.h"
#include "plexum/store.h"

namespace tessel::plexum {
namespace {

ObjectClass point_class{"_ReferencePoint", {"_id", "x", "y", "z"}};
ObjectClass vector_class{"_ReferenceVector", {"_id", "point_1", "point_2"}};
ObjectClass axis_class{"_ReferenceAxis", {"_id", "point_1", "point_2"}};
ObjectClass plane_class{"_ReferencePlane", {"_id", "point_1", "point_2", "point_3"}};
ObjectClass angle_class{"_ReferenceAngle", {"_id", "angle"}};

// ------------------------------------------------------------ the kinds

void point_init(nb::handle self, nb::handle id, nb::handle x, nb::handle y, nb::handle z) {
    point_class.init(self, {id, x, y, z});
}
void vector_init(nb::handle self, nb::handle id, nb::handle p1, nb::handle p2) { vector_class.init(self, {id, p1, p2}); }
void axis_init(nb::handle self, nb::handle id, nb::handle p1, nb::handle p2) { axis_class.init(self, {id, p1, p2}); }
void plane_init(nb::handle self, nb::handle id, nb::handle p1, nb::handle p2, nb::handle p3) {
    plane_class.init(self, {id, p1, p2, p3});
}
void angle_init(nb::handle self, nb::handle id, nb::handle angle) { angle_class.init(self, {id, angle}); }

// `_ReferenceData(<kind>=self).serialize()`
template <const char* Kind>
nb::object serialize_as(nb::handle self) {
    return global(str<"_ReferenceData">())(nb::arg(Kind) = self).attr("serialize")();
}
constexpr char kPoint[] = "point", kVector[] = "vector", kAxis[] = "axis", kPlane[] = "plane", kAngle[] = "angle";

[[noreturn]] nb::object not_implemented(nb::handle) { bind::raise(PyExc_NotImplementedError); }

// -------------------------------------------------------- _ReferenceData

// `given` when it is truthy, else `make()`.
template <typename Make>
nb::object or_zero(nb::handle given, Make&& make) {
    return bind::truthy(given) ? nb::borrow(given) : make();
}

void data_init(nb::handle self, nb::handle point, nb::handle vector, nb::handle axis, nb::handle plane,
               nb::handle angle) {
    nb::handle zero = float_zero(), id = int_value(0);
    nb::setattr(self, str<"point">(), or_zero(point, [&] { return global(str<"_ReferencePoint">())(id, zero, zero, zero); }));
    nb::setattr(self, str<"vector">(), or_zero(vector, [&] { return global(str<"_ReferenceVector">())(id, origin(), origin()); }));
    nb::setattr(self, str<"axis">(), or_zero(axis, [&] { return global(str<"_ReferenceAxis">())(id, origin(), origin()); }));
    nb::setattr(self, str<"plane">(),
                or_zero(plane, [&] { return global(str<"_ReferencePlane">())(id, origin(), origin(), origin()); }));
    nb::setattr(self, str<"angle">(), or_zero(angle, [&] { return global(str<"_ReferenceAngle">())(id, zero); }));
}

nb::object data_serialize(nb::handle self) {
    static const Shape data{"Point", "Vector", "Axis", "Plane", "Beta"};
    static const Shape p{"P"}, p12{"P1", "P2"}, p123{"P1", "P2", "P3"}, beta{"Beta"};
    nb::object point = self.attr(str<"point">()), vector = self.attr(str<"vector">()), axis = self.attr(str<"axis">()),
               plane = self.attr(str<"plane">()), angle = self.attr(str<"angle">());
    // x, y and z read in this order, as Python evaluates arguments.
    nb::object x = point.attr(str<"x">()), y = point.attr(str<"y">()), z = point.attr(str<"z">());
    Record r(data);
    r.add(Record(p).add(point_value(x, y, z)));
    r.add(Record(p12).add(point_value(vector.attr(str<"point_1">()))).add(point_value(vector.attr(str<"point_2">()))));
    r.add(Record(p12).add(point_value(axis.attr(str<"point_1">()))).add(point_value(axis.attr(str<"point_2">()))));
    r.add(Record(p123)
              .add(point_value(plane.attr(str<"point_1">())))
              .add(point_value(plane.attr(str<"point_2">())))
              .add(point_value(plane.attr(str<"point_3">()))));
    r.add(Record(beta).add(nb::object(angle.attr(str<"angle">()))));
    return r.make();
}

// ---------------------------------------------------- ReferenceInterface

void add_reference(nb::handle self, nb::handle reference) {
    static const Shape params{"Item"}, item{"ReferenceType", "ReferenceData"};
    nb::object type = value_of(reference.attr(str<"_type">()));
    nb::object data = reference.attr(str<"_serialize">())();
    Record r(params);
    r.add(Record(item).add(std::move(type)).add(std::move(data)));
    add_function(self, str<"Add">(), std::move(r));
    append_object(self, nb::borrow(reference));
}

// The steps of every create_...: next id, the reference, _add_reference.
nb::object created(nb::handle self, nb::object reference) {
    self.attr(str<"_add_reference">())(reference);
    return reference;
}

nb::object create_point(nb::handle self, nb::handle x, nb::handle y, nb::handle z) {
    nb::object id = next_id(self);
    return created(self, point_class.create({id, x, y, z}));
}
nb::object create_vector(nb::handle self, nb::handle p1, nb::handle p2) {
    nb::object id = next_id(self);
    return created(self, vector_class.create({id, p1, p2}));
}
nb::object create_axis(nb::handle self, nb::handle p1, nb::handle p2) {
    nb::object id = next_id(self);
    return created(self, axis_class.create({id, p1, p2}));
}
nb::object create_plane(nb::handle self, nb::handle p1, nb::handle p2, nb::handle p3) {
    nb::object id = next_id(self);
    return created(self, plane_class.create({id, p1, p2, p3}));
}
nb::object create_angle(nb::handle self, nb::handle angle) {
    nb::object id = next_id(self);
    return created(self, angle_class.create({id, angle}));
}

}  // namespace

void populate_references(nb::module_&) {
    nb::object type = bind::make_enum(g, "Reference._Type",
                                      {{"POINT", 1}, {"VECTOR", 2}, {"AXIS", 3}, {"PLANE", 4}, {"ANGLE", 5}});
    nb::object reference = object_class("Reference", kNoDirectInit)
                               .base(g("ABC"))
                               .attr("_Type", type)
                               .def_abstract_property("_type", &not_implemented)
                               .def_abstract("_serialize", &not_implemented)
                               .build();

    point_class.made(object_class("_ReferencePoint", kNoDirectInit, reference)
                         .attr("_type", type.attr("POINT"))
                         .def("__init__", &point_init, "id_"_p, "x"_p, "y"_p, "z"_p)
                         .def("_serialize", &serialize_as<kPoint>)
                         .build());
    vector_class.made(object_class("_ReferenceVector", kNoDirectInit, reference)
                          .attr("_type", type.attr("VECTOR"))
                          .def("__init__", &vector_init, "id_"_p, "point_1"_p, "point_2"_p)
                          .def("_serialize", &serialize_as<kVector>)
                          .build());
    axis_class.made(object_class("_ReferenceAxis", kNoDirectInit, reference)
                        .attr("_type", type.attr("AXIS"))
                        .def("__init__", &axis_init, "id_"_p, "point_1"_p, "point_2"_p)
                        .def("_serialize", &serialize_as<kAxis>)
                        .build());
    plane_class.made(object_class("_ReferencePlane", kNoDirectInit, reference)
                         .attr("_type", type.attr("PLANE"))
                         .def("__init__", &plane_init, "id_"_p, "point_1"_p, "point_2"_p, "point_3"_p)
                         .def("_serialize", &serialize_as<kPlane>)
                         .build());
    angle_class.made(object_class("_ReferenceAngle", kNoDirectInit, reference)
                         .attr("_type", type.attr("ANGLE"))
                         .def("__init__", &angle_init, "id_"_p, "angle"_p)
                         .def("_serialize", &serialize_as<kAngle>)
                         .build());

    bind::ClassBuilder(g, "_ReferenceData", "The data block written for a reference of any kind.")
        .def("__init__", &data_init, "point"_p = nb::none(), "vector"_p = nb::none(), "axis"_p = nb::none(),
             "plane"_p = nb::none(), "angle"_p = nb::none())
        .def("serialize", &data_serialize)
        .build();

    interface_class("ReferenceInterface", "Do not use this __init__ directly, but use :attr:`Model.references`")
        .def("create_point", &create_point, "x"_p, "y"_p, "z"_p,
             "Create a reference point.\n\n"
             ":param x: x-coordinate [m]\n:param y: y-coordinate [m]\n:param z: z-coordinate [m]")
        .def("create_vector", &create_vector, "point_1"_p, "point_2"_p,
             "Create a reference vector from point_1 to point_2.\n\n"
             ":param point_1: (x, y, z) of the start point [m]\n:param point_2: (x, y, z) of the end point [m]")
        .def("create_axis", &create_axis, "point_1"_p, "point_2"_p,
             "Create a reference axis through point_1 and point_2.\n\n"
             ":param point_1: (x, y, z) of the first point [m]\n:param point_2: (x, y, z) of the second point [m]")
        .def("create_plane", &create_plane, "point_1"_p, "point_2"_p, "point_3"_p,
             "Create a reference plane through three points.\n\n"
             ":param point_1: (x, y, z) of the first point [m]\n:param point_2: (x, y, z) of the second point [m]\n"
             ":param point_3: (x, y, z) of the third point [m]")
        .def("create_angle", &create_angle, "angle"_p,
             "Create a reference angle.\n\n:param angle: angle [rad]")
        .def("_add_reference", &add_reference, "reference"_p)
        .build();
}

}  // namespace tessel::plexum
