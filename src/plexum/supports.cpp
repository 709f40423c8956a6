// Supports: nodal supports at the end node of a beam or rib, and elastic
// foundations along a beam, both in the member's local axes.
#include "plexum/objects.h"
#include "plexum/store.h"

#include <vector>

namespace tessel::plexum {
namespace {

ObjectClass node_support_class{"NodeSupport", {"_id"}};
ObjectClass line_support_class{"LineSupport", {"_id"}};

// The member `name` of `Member._Type`, looked up now.
nb::object member_type(nb::handle name) { return global(str<"Member">()).attr(str<"_Type">()).attr(name); }

// ---------------------------------------------------- NodeSupportInterface

void node_support_interface_init(nb::handle self, nb::handle lines) {
    global(str<"_Interface">()).attr("__init__")(self);
    nb::setattr(self, str<"_lines">(), lines);
}

// The values of `mapping` in its order, taken before any attribute is read
// from them (reading may run code).
std::vector<nb::object> values_of(nb::handle mapping) {
    std::vector<nb::object> values;
    if (PyDict_CheckExact(mapping.ptr())) {
        values.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(mapping.ptr())));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) values.push_back(nb::borrow(value));
        return values;
    }
    nb::object iterator = nb::steal(bind::check(PyObject_GetIter(mapping.attr("values")().ptr())));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) values.push_back(nb::steal(raw));
    if (PyErr_Occurred()) throw nb::python_error();
    return values;
}

// The member that has `node` as an end node. Member k owns the positions 2k
// and 2k + 1 of the list of end nodes (start, end); the node must occur in it
// exactly once (a member from a node to itself counts twice).
nb::object find_node_member(nb::handle self, nb::handle node) {
    nb::object members = self.attr(str<"_lines">()).attr(str<"_members">());
    std::vector<nb::object> values = values_of(members);
    std::vector<nb::object> ends;
    ends.reserve(2 * values.size());
    for (const nb::object& member : values) {
        nb::object line = member.attr(str<"_line">());
        ends.push_back(line.attr(str<"_node1">()));
        ends.push_back(line.attr(str<"_node2">()));
    }
    std::size_t count = 0, first = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        // Equality as `list.count` tests it: identity, then the items' ==.
        if (bind::check(PyObject_RichCompareBool(ends[i].ptr(), node.ptr(), Py_EQ))) {
            if (count++ == 0) first = i;
        }
    }
    if (count == 0) model_error("node is not part of a member (line)");
    if (count >= 2) model_error("cannot create a nodal support on a node that is part of 2 or more members");
    return values[first / 2];
}

// {"x", "y", "z", "xx", "yy", "zz"}: the six values as given.
Record six(std::initializer_list<nb::handle> values) {
    static const Shape shape{"x", "y", "z", "xx", "yy", "zz"};
    Record r(shape);
    for (nb::handle v : values) r.add(v);
    return r;
}

nb::object create_relative_to_member(nb::handle self, nb::handle node, nb::handle stiffness_x,
                                     nb::handle stiffness_y, nb::handle stiffness_z, nb::handle stiffness_xx,
                                     nb::handle stiffness_yy, nb::handle stiffness_zz, nb::handle resistance_x,
                                     nb::handle resistance_y, nb::handle resistance_z, nb::handle resistance_xx,
                                     nb::handle resistance_yy, nb::handle resistance_zz, nb::handle non_linearity_x,
                                     nb::handle non_linearity_y, nb::handle non_linearity_z,
                                     nb::handle non_linearity_xx, nb::handle non_linearity_yy,
                                     nb::handle non_linearity_zz) {
    static const Shape add{"Stiffnesses", "NonLinearity", "Resistances", "NodeId", "BeamId"};
    check_argument(node, {Kind::node, "create_relative_to_member", "node"}, self);
    nb::object member = self.attr(str<"_find_node_member">())(node);
    nb::object type = member.attr(str<"_type">());
    if (bind::check(PyObject_RichCompareBool(type.ptr(), member_type(str<"BEAM">()).ptr(), Py_NE)) &&
        bind::check(PyObject_RichCompareBool(type.ptr(), member_type(str<"RIB">()).ptr(), Py_NE)))
        model_error("node is not part of a member of one of following types: (beam, rib)");
    nb::object nx = value_of(non_linearity_x), ny = value_of(non_linearity_y), nz = value_of(non_linearity_z),
               nxx = value_of(non_linearity_xx), nyy = value_of(non_linearity_yy), nzz = value_of(non_linearity_zz);
    nb::object node_id = id_of(node);
    nb::object beam_id = id_of(member);
    Record params(add);
    params.add(six({stiffness_x, stiffness_y, stiffness_z, stiffness_xx, stiffness_yy, stiffness_zz}))
        .add(six({nx, ny, nz, nxx, nyy, nzz}))
        .add(six({resistance_x, resistance_y, resistance_z, resistance_xx, resistance_yy, resistance_zz}))
        .add(std::move(node_id))
        .add(std::move(beam_id));
    add_function(self, str<"AddNodalBeamRelative">(), std::move(params));
    nb::object id = next_id(self);
    return append_object(self, node_support_class.create({id}));
}

// ---------------------------------------------------- LineSupportInterface

nb::object create_on_member(nb::handle self, nb::handle member, nb::handle k_x, nb::handle k_y, nb::handle k_z,
                            nb::handle non_linearity_x, nb::handle non_linearity_y, nb::handle non_linearity_z,
                            nb::handle resistance_fx, nb::handle resistance_fy, nb::handle resistance_fz) {
    static const Shape add{"BeamId", "StiffnessesXYZ", "NonLinearityXYZ", "ResistancesXYZ"};
    check_argument(member, {Kind::member, "create_on_member", "member"}, self);
    nb::object type = member.attr(str<"_type">());
    if (bind::check(PyObject_RichCompareBool(type.ptr(), member_type(str<"BEAM">()).ptr(), Py_NE)))
        model_error("member must be of type 'beam'");
    nb::object beam_id = id_of(member);
    nb::object nx = value_of(non_linearity_x), ny = value_of(non_linearity_y), nz = value_of(non_linearity_z);
    Record params(add);
    params.add(std::move(beam_id))
        .add(Record(point_shape()).add(k_x).add(k_y).add(k_z))
        .add(Record(point_shape()).add(nx).add(ny).add(nz))
        .add(Record(point_shape()).add(resistance_fx).add(resistance_fy).add(resistance_fz));
    add_function(self, str<"AddBeamElasticFoundation">(), std::move(params));
    nb::object id = next_id(self);
    return append_object(self, line_support_class.create({id}));
}

constexpr const char* kNodeSupportDoc =
    "Create a nodal support at the end node of a member (beam or rib), in the local coordinate system of the "
    "member.\n\n"
    ":param node: end node of exactly one member of type beam or rib\n"
    ":param stiffness_x: translational stiffness in the local x-direction [kN/m] (default: 0.0)\n"
    ":param stiffness_y: translational stiffness in the local y-direction [kN/m] (default: 0.0)\n"
    ":param stiffness_z: translational stiffness in the local z-direction [kN/m] (default: 0.0)\n"
    ":param stiffness_xx: rotational stiffness about the local x-axis [kNm/rad] (default: 0.0)\n"
    ":param stiffness_yy: rotational stiffness about the local y-axis [kNm/rad] (default: 0.0)\n"
    ":param stiffness_zz: rotational stiffness about the local z-axis [kNm/rad] (default: 0.0)\n"
    ":param resistance_x: translational resistance in the local x-direction [kN/m] (default: 0.0)\n"
    ":param resistance_y: translational resistance in the local y-direction [kN/m] (default: 0.0)\n"
    ":param resistance_z: translational resistance in the local z-direction [kN/m] (default: 0.0)\n"
    ":param resistance_xx: rotational resistance about the local x-axis [kNm/m] (default: 0.0)\n"
    ":param resistance_yy: rotational resistance about the local y-axis [kNm/m] (default: 0.0)\n"
    ":param resistance_zz: rotational resistance about the local z-axis [kNm/m] (default: 0.0)\n"
    ":param non_linearity_x: non-linear behaviour in the local x-direction (default: LINEAR)\n"
    ":param non_linearity_y: non-linear behaviour in the local y-direction (default: LINEAR)\n"
    ":param non_linearity_z: non-linear behaviour in the local z-direction (default: LINEAR)\n"
    ":param non_linearity_xx: non-linear behaviour about the local x-axis (default: LINEAR)\n"
    ":param non_linearity_yy: non-linear behaviour about the local y-axis (default: LINEAR)\n"
    ":param non_linearity_zz: non-linear behaviour about the local z-axis (default: LINEAR)";

constexpr const char* kLineSupportDoc =
    "Create an elastic foundation along a beam, in the local coordinate system of the member.\n\n"
    ":param member: member of type beam\n"
    ":param k_x: stiffness in the local x-direction [kN/m/m]\n"
    ":param k_y: stiffness in the local y-direction [kN/m/m]\n"
    ":param k_z: stiffness in the local z-direction [kN/m/m]\n"
    ":param non_linearity_x: non-linear behaviour in the local x-direction (default: LINEAR)\n"
    ":param non_linearity_y: non-linear behaviour in the local y-direction (default: LINEAR)\n"
    ":param non_linearity_z: non-linear behaviour in the local z-direction (default: LINEAR)\n"
    ":param resistance_fx: resistance in the local x-direction [kN/m] (default: 0.0)\n"
    ":param resistance_fy: resistance in the local y-direction [kN/m] (default: 0.0)\n"
    ":param resistance_fz: resistance in the local z-direction [kN/m] (default: 0.0)";

}  // namespace

void populate_supports(nb::module_&) {
    node_support_class.made(object_class("NodeSupport", kNoDirectInit).build());

    nb::object non_linearity =
        bind::make_enum(g, "LineSupport.NonLinearity", {{"LINEAR", 0}, {"TENSION_ONLY", 1}, {"COMPRESSION_ONLY", 2}},
                        "Enum", "Type of non-linear behaviour.");
    line_support_class.made(object_class("LineSupport", kNoDirectInit).attr("NonLinearity", non_linearity).build());
    nb::object linear = non_linearity.attr("LINEAR");
    nb::object f0 = nb::borrow(float_zero());

    interface_class("NodeSupportInterface", "Do not use this __init__ directly, but use :attr:`Model.node_supports`")
        .def("__init__", &node_support_interface_init, "lines"_p)
        .def("create_relative_to_member", &create_relative_to_member, "node"_p, nb::kw_only(),
             "stiffness_x"_p = f0, "stiffness_y"_p = f0, "stiffness_z"_p = f0, "stiffness_xx"_p = f0,
             "stiffness_yy"_p = f0, "stiffness_zz"_p = f0, "resistance_x"_p = f0, "resistance_y"_p = f0,
             "resistance_z"_p = f0, "resistance_xx"_p = f0, "resistance_yy"_p = f0, "resistance_zz"_p = f0,
             "non_linearity_x"_p = linear, "non_linearity_y"_p = linear, "non_linearity_z"_p = linear,
             "non_linearity_xx"_p = linear, "non_linearity_yy"_p = linear, "non_linearity_zz"_p = linear,
             kNodeSupportDoc)
        .def("_find_node_member", &find_node_member, "node"_p)
        .build();

    interface_class("LineSupportInterface", "Do not use this __init__ directly, but use :attr:`Model.line_supports`")
        .def("create_on_member", &create_on_member, "member"_p, "k_x"_p, "k_y"_p, "k_z"_p, nb::kw_only(),
             "non_linearity_x"_p = linear, "non_linearity_y"_p = linear, "non_linearity_z"_p = linear,
             "resistance_fx"_p = f0, "resistance_fy"_p = f0, "resistance_fz"_p = f0, kLineSupportDoc)
        .build();
}

}  // namespace tessel::plexum
