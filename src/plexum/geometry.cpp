// Nodes, lines and members: the geometry of the model, and beams defined on
// lines with a material, cross-sections and an optional local z reference.
#include "plexum/objects.h"
#include "plexum/store.h"

namespace tessel::plexum {
namespace {

ObjectClass node_class{"Node", {"_id", "_x", "_y", "_z"}};
ObjectClass line_class{"Line", {"_id", "_interface", "_node1", "_node2"}};
ObjectClass member_class{"Member", {"_id", "_line", "_type"}};

// The enumerations the records take their values from, while the classes
// still hold the ones built (otherwise they are looked up, as Python would).
const bind::Guard line_geom_type{"Line", {"_GeomType"}};
const bind::Guard member_types{"Member", {"_Type"}};
bind::PerModule<nb::object> beam_type;  // Member._Type.BEAM as built

// LineInterface.define_as_beam as built: Line.define_as_beam calls it directly.
const bind::Guard line_interface_define_as_beam{nullptr, {"define_as_beam"}};

Expected node_argument(const char* function, const char* argument) { return {Kind::node, function, argument}; }

// ------------------------------------------------------------------ Node

void node_init(nb::handle self, nb::handle id, nb::handle x, nb::handle y, nb::handle z) {
    node_class.init(self, {id, x, y, z});
}

nb::object create_node(nb::handle self, nb::handle x, nb::handle y, nb::handle z) {
    static const Shape add{"x", "y", "z"};
    Record params(add);
    params.add(x).add(y).add(z);
    add_function(self, str<"Add">(), std::move(params));
    nb::object id = next_id(self);
    return append_object(self, node_class.create({id, x, y, z}));
}

// ------------------------------------------------------------------ Line

void line_init(nb::handle self, nb::handle id, nb::handle interface, nb::handle node1, nb::handle node2) {
    line_class.init(self, {id, interface, node1, node2});
}

void line_interface_init(nb::handle self) {
    global(str<"_Interface">()).attr("__init__")(self);
    nb::setattr(self, str<"_members">(), nb::dict());
}

// The constant elliptic-arc block of every line record.
const Constant& ellipse_arc() {
    static const Shape ellipse{"Center", "NormalVector", "Alfa", "Ratio", "StartAlfa", "EndAlfa"};
    static const Constant constant = [] {
        nb::handle i0 = int_value(0), f0 = float_zero();
        Record r(ellipse);
        r.add(Record(point_shape()).add(i0).add(i0).add(i0))
            .add(Record(point_shape()).add(i0).add(i0).add(i0))
            .add(f0)
            .add(f0)
            .add(f0)
            .add(f0);
        return Constant(std::move(r));
    }();
    return constant;
}

// `Line._GeomType.<member>.value`.
nb::object geom_type(bool arc) {
    if (line_geom_type.holds()) return nb::borrow(int_value(arc ? 1 : 0));
    return enum_value(global(str<"Line">()), str<"_GeomType">(), arc ? str<"CIRCLE_ARC">() : str<"STRAIGHT_LINE">());
}

nb::object create_line(nb::handle self, nb::handle start_node, nb::handle end_node, nb::handle circle_arc) {
    static const Shape add{"StartNode", "EndNode", "GeomType", "GeomData"};
    static const Shape geom_data{"CircleArc", "EllipseArc"};
    const bool arc_given = bind::truthy(circle_arc);
    nb::object start = id_of(start_node, node_argument("create", "start_node"), self);
    nb::object end = id_of(end_node, node_argument("create", "end_node"), self);
    nb::object type = geom_type(arc_given);
    Value arc = arc_given ? circle_arc_value(circle_arc) : zero_circle_arc_value();
    Record params(add);
    params.add(std::move(start)).add(std::move(end)).add(std::move(type)).add(
        Record(geom_data).add(std::move(arc)).add(ellipse_arc()));
    add_function(self, str<"Add">(), std::move(params));
    nb::object id = next_id(self);
    return append_object(self, line_class.create({id, self, start_node, end_node}));
}

nb::object define_as_beam(nb::handle self, nb::handle line, nb::handle material, nb::handle css_start,
                          nb::handle css_end, nb::handle local_z_reference) {
    static const Shape beam{"MaterialIndex",   "StartCrossSectionIndex", "EndCrossSectionIndex",
                            "StartEccentricity", "EndEccentricity",      "LineIndex"};
    nb::object material_id = id_of(material, {Kind::material, "define_as_beam", "material"}, self);
    nb::object start_id = id_of(css_start, {Kind::cross_section, "define_as_beam", "css_start"}, self);
    nb::object end_id =
        bind::truthy(css_end) ? id_of(css_end, {Kind::cross_section, "define_as_beam", "css_end"}, self) : start_id;
    nb::object line_id = id_of(line, {Kind::line, "define_as_beam", "line"}, self);
    Record params(beam);
    params.add(std::move(material_id)).add(std::move(start_id)).add(std::move(end_id));
    params.add(zero_point()).add(zero_point()).add(line_id);
    if (bind::truthy(local_z_reference)) self.attr(str<"_set_reference">())(line, local_z_reference);
    add_function(self, str<"DefineAsBeam">(), std::move(params));

    // Member(line, Member._Type.BEAM)
    nb::object type = member_types.holds() ? *beam_type : global(str<"Member">()).attr("_Type").attr("BEAM");
    nb::object member = member_class.create({line, type}, {line_id, line, type});
    nb::object members = nb::steal(bind::check(PyObject_GetAttr(self.ptr(), str<"_members">().ptr())));
    nb::object key = id_of(line);
    bind::check(PyObject_SetItem(members.ptr(), key.ptr(), member.ptr()));
    return member;
}

void set_reference(nb::handle self, nb::handle line, nb::handle reference) {
    static const Shape shape{"ReferenceIndex", "LineIndex"};
    if (!bind::isinstance(reference, global(str<"_ReferenceVector">())))
        model_error("reference must be of type 'vector'");
    nb::object reference_id = id_of(reference, {Kind::reference, "_set_reference", "reference"}, self);
    nb::object line_id = id_of(line, {Kind::line, "_set_reference", "line"}, self);
    Record value(shape);
    value.add(std::move(reference_id)).add(std::move(line_id));
    add_property(self, str<"Reference">(), std::move(value));
}

void split_by_number(nb::handle self, nb::handle line, nb::handle n) {
    static const Shape shape{"N", "LineIndex"};
    nb::object line_id = id_of(line, {Kind::line, "split_by_number", "line"}, self);
    Record params(shape);
    params.add(n).add(std::move(line_id));
    add_function(self, str<"SplitByN">(), std::move(params));
}

// Line.define_as_beam: the interface's define_as_beam, called directly while
// that is still the module's own.
nb::object line_define_as_beam(nb::handle self, nb::handle material, nb::handle css_start, nb::handle css_end,
                               nb::handle local_z_reference) {
    nb::object interface = self.attr(str<"_interface">());
    if (line_interface_define_as_beam.holds_for(Py_TYPE(interface.ptr()))) {
        if (!has_own(instance_dict(interface), str<"define_as_beam">()))
            return define_as_beam(interface, self, material, css_start, css_end, local_z_reference);
    }
    return interface.attr(str<"define_as_beam">())(self, material, css_start, css_end,
                                                   "local_z_reference"_a = local_z_reference);
}

void line_split_by_number(nb::handle self, nb::handle n) {
    self.attr(str<"_interface">()).attr(str<"split_by_number">())(self, n);
}

// ---------------------------------------------------------------- Member

void member_init(nb::handle self, nb::handle line, nb::handle type) {
    nb::object id = id_of(line);
    member_class.init(self, {id, line, type});
}

constexpr const char* kDefineAsBeamDoc =
    "Define the line as a beam.\n\n"
    ":param material: material of the beam\n"
    ":param css_start: cross-section at the start node\n"
    ":param css_end: cross-section at the end node (default: css_start)\n"
    ":param local_z_reference: vector reference that fixes the local z-axis (default: chosen by Plexum)";

constexpr const char* kInterfaceDefineAsBeamDoc =
    "Define a line as a beam.\n\n"
    ":param line: line to define as a beam\n"
    ":param material: material of the beam\n"
    ":param css_start: cross-section at the start node\n"
    ":param css_end: cross-section at the end node (default: css_start)\n"
    ":param local_z_reference: vector reference that fixes the local z-axis (default: chosen by Plexum)";

}  // namespace

void populate_geometry(nb::module_&) {
    node_class.made(object_class("Node", kNoDirectInit)
                        .def("__init__", &node_init, "id_"_p, "x"_p, "y"_p, "z"_p)
                        .def_property("x", [](nb::handle self) { return self.attr(str<"_x">()); }, "X-coordinate [m].")
                        .def_property("y", [](nb::handle self) { return self.attr(str<"_y">()); }, "Y-coordinate [m].")
                        .def_property("z", [](nb::handle self) { return self.attr(str<"_z">()); }, "Z-coordinate [m].")
                        .build());

    nb::object line =
        object_class("Line", kNoDirectInit)
            .attr("_GeomType", bind::make_enum(g, "Line._GeomType", {{"STRAIGHT_LINE", 0}, {"CIRCLE_ARC", 1}}))
            .def("__init__", &line_init, "id_"_p, "interface"_p, "node1"_p, "node2"_p)
            .def_property("start_node", [](nb::handle self) { return self.attr(str<"_node1">()); }, "Start node.")
            .def_property("end_node", [](nb::handle self) { return self.attr(str<"_node2">()); }, "End node.")
            .def("define_as_beam", &line_define_as_beam, "material"_p, "css_start"_p, "css_end"_p = nb::none(),
                 nb::kw_only(), "local_z_reference"_p = nb::none(), kDefineAsBeamDoc)
            .def("split_by_number", &line_split_by_number, "n"_p,
                 "Split the line into n equal parts.\n\n:param n: number of parts after the split")
            .build();
    line_class.made(line);
    line_geom_type.capture(line);

    nb::object member_type = bind::make_enum(g, "Member._Type", {{"BEAM", 1}, {"RIB", 2}});
    *beam_type = member_type.attr("BEAM");
    nb::object member = object_class("Member", kNoDirectInit)
                            .attr("_Type", member_type)
                            .def("__init__", &member_init, "line"_p, "type_"_p)
                            .build();
    member_class.made(member);
    member_types.capture(member);

    interface_class("NodeInterface", "Do not use this __init__ directly, but use :attr:`Model.nodes`")
        .def("create", &create_node, "x"_p, "y"_p, "z"_p,
             "Create a node.\n\n:param x: x-coordinate [m]\n:param y: y-coordinate [m]\n:param z: z-coordinate [m]")
        .build();

    nb::object lines =
        interface_class("LineInterface",
                        "Interface for creating lines, beams, etc.\n\n"
                        "Do not use this __init__ directly, but use :attr:`Model.lines`")
            .def("__init__", &line_interface_init)
            .def("create", &create_line, "start_node"_p, "end_node"_p, "circle_arc"_p = nb::none(),
                 "Create a line between two nodes.\n\n"
                 ":param start_node: start node\n:param end_node: end node\n"
                 ":param circle_arc: circular arc between the nodes (default: a straight line)")
            .def("define_as_beam", &define_as_beam, "line"_p, "material"_p, "css_start"_p, "css_end"_p = nb::none(),
                 nb::kw_only(), "local_z_reference"_p = nb::none(),
                 kInterfaceDefineAsBeamDoc)
            .def("split_by_number", &split_by_number, "line"_p, "n"_p,
                 "Split a line into n equal parts.\n\n:param line: line to split\n"
                 ":param n: number of parts after the split")
            .def("_set_reference", &set_reference, "line"_p, "reference"_p)
            .build();
    line_interface_define_as_beam.capture(lines);
}

}  // namespace tessel::plexum
