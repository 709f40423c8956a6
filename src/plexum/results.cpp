// Sections, result requests and the calculation step: what the worker is
// asked to return, and the linear analysis that makes it calculate.
#include "plexum/objects.h"
#include "plexum/store.h"

#include <array>
#include <cmath>
#include <optional>

namespace tessel::plexum {
namespace {

ObjectClass section_class{"Section", {"_id", "_interface", "_name"}};

// ---------------------------------------------------------------- Section

// The three coordinates of a point given as numbers, or nothing when any is
// not a real number (such values are recorded as given, unchecked).
std::optional<std::array<double, 3>> coordinates(nb::handle xyz) {
    std::array<double, 3> c{};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        nb::object v = item(xyz, i);
        if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr())) return std::nullopt;
        c[static_cast<std::size_t>(i)] = PyFloat_AsDouble(v.ptr());
        if (c[static_cast<std::size_t>(i)] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();  // an int too large for a double
            return std::nullopt;
        }
    }
    return c;
}

// A section is a segment in the plane whose normal is `normal_vector`, the
// plane that cuts the domains: a zero normal, one along the segment, or a
// segment of no length leaves that plane undefined, and the worker's results
// would name the wrong components (mn and mt swapped) instead of failing.
void check_section_geometry(nb::handle name, nb::handle start_point, nb::handle end_point, nb::handle normal) {
    auto p = coordinates(start_point), q = coordinates(end_point), n = coordinates(normal);
    if (!p || !q || !n) return;
    const std::array<double, 3> d{(*q)[0] - (*p)[0], (*q)[1] - (*p)[1], (*q)[2] - (*p)[2]};
    const std::array<double, 3> cross{d[1] * (*n)[2] - d[2] * (*n)[1], d[2] * (*n)[0] - d[0] * (*n)[2],
                                      d[0] * (*n)[1] - d[1] * (*n)[0]};
    auto norm = [](const std::array<double, 3>& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); };
    const char* fault = nullptr;
    if (norm(*n) == 0.0)
        fault = "its normal_vector is zero";
    else if (norm(d) == 0.0)
        fault = "its start_point and end_point are the same point";
    else if (norm(cross) <= 1e-9 * norm(d) * norm(*n))
        fault = "its normal_vector lies along the segment from start_point to end_point";
    if (!fault) return;
    model_error(nb::steal(bind::check(PyUnicode_FromFormat(
        "Section '%S' is not defined: %s; normal_vector is the normal of the section's plane, which holds the "
        "segment (for a cut through a slab, a vector in the slab's plane square to the segment)", name.ptr(),
        fault))));
}

void section_init(nb::handle self, nb::handle id, nb::handle interface, nb::handle name) {
    section_class.init(self, {id, interface, name});
}

nb::object create_section(nb::handle self, nb::handle start_point, nb::handle end_point, nb::handle normal_vector,
                          nb::handle name) {
    static const Shape add{"Section"};
    static const Shape section{"SectionType",   "Name",          "Visible",     "P",          "N",
                               "SegmentEndP",   "InAllResultBlocks", "ResultBlock", "ForAllResultComponents",
                               "ResultComponent", "DisplayMode", "L",           "R",          "DiagOnBothSide",
                               "DiagInPlane"};
    static const Shape result_block{"AnalysisType", "CombinationType", "EnvelopeUID", "LoadCaseId",
                                    "LoadCombinationId", "LoadLevel", "MinMaxType", "ResultType"};
    nb::object id = next_id(self);
    nb::object effective = effective_name(name, id);
    check_name_free(self, effective, "Section");
    nb::object type = enum_value(global(str<"Section">()), str<"_Type">(), str<"SEGMENT">());
    check_section_geometry(effective, start_point, end_point, normal_vector);
    Value p = point_value(start_point);
    Value n = point_value(normal_vector);
    Value end = point_value(end_point);
    nb::handle i0 = int_value(0), i1 = int_value(1);
    Record block(result_block);
    block.add(i0).add(i0).add(i0).add(i1).add(i1).add(i1).add(int_value(2)).add(i1);
    Record r(section);
    r.add(std::move(type)).add(effective).add(i0).add(std::move(p)).add(std::move(n)).add(std::move(end));
    r.add(i1).add(std::move(block)).add(i1).add(i0).add(i0).add(i0).add(i0).add(i0).add(i0);
    add_function(self, str<"Add">(), Record(add).add(std::move(r)));
    return append_object(self, section_class.create({id, self, effective}));
}

// -------------------------------------------------------- ResultInterface

void result_interface_init(nb::handle self, nb::handle nodes, nb::handle node_supports, nb::handle lines,
                           nb::handle sections) {
    nb::setattr(self, str<"_nodes">(), nodes);
    nb::setattr(self, str<"_node_supports">(), node_supports);
    nb::setattr(self, str<"_lines">(), lines);
    nb::setattr(self, str<"_sections">(), sections);
    nb::setattr(self, str<"_force_instructions">(), global(str<"_InstructionList">())());
    nb::setattr(self, str<"_displacement_instructions">(), global(str<"_InstructionList">())());
}

// `list(targets)`, taken now, so that objects created while the records are
// written are not requested.
nb::object snapshot(nb::handle targets) { return nb::steal(bind::check(PySequence_List(targets.ptr()))); }

// `list(targets)`, each checked as `expected` before anything is recorded.
nb::object checked_targets(nb::handle self, nb::handle targets, const Expected& expected) {
    nb::object list = snapshot(targets);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i)
        check_argument(nb::borrow(PyList_GET_ITEM(list.ptr(), i)), expected, self);
    return list;
}

// One record {key: target.id} per target, on the list `self.<list_key>`.
// Records already written stay when a later target has no id.
void request_each(nb::handle self, nb::handle list_key, nb::handle function, const Shape& shape,
                  nb::handle targets, const Expected& expected) {
    nb::object checked = checked_targets(self, targets, expected);
    nb::object iterator = nb::steal(bind::check(PyObject_GetIter(checked.ptr())));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object target = nb::steal(raw);
        nb::object id = id_of(target);
        nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(self.ptr(), list_key.ptr())));
        add_function_to(instructions, function, Record(shape).add(std::move(id)));
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

void nodal_displacements(nb::handle self, nb::handle nodes, nb::handle by_load_case) {
    static const Shape shape{"NodeId"};
    nb::object targets = nodes.is_none() ? snapshot(self.attr(str<"_nodes">())) : nb::borrow(nodes);
    nb::handle function = bind::truthy(by_load_case) ? str<"NodalDisplacementByLoadCaseId">()
                                                     : str<"NodalDisplacementByLoadCombinationId">();
    request_each(self, str<"_displacement_instructions">(), function, shape, targets,
                 {Kind::node, "nodal_displacements", "nodes"});
}

void nodal_support_forces(nb::handle self, nb::handle node_supports, nb::handle by_load_case) {
    static const Shape shape{"NodalSupportId"};
    nb::object targets =
        node_supports.is_none() ? snapshot(self.attr(str<"_node_supports">())) : nb::borrow(node_supports);
    nb::handle function = bind::truthy(by_load_case) ? str<"NodalSupportForceByLoadCaseId">()
                                                     : str<"NodalSupportForceByLoadCombinationId">();
    request_each(self, str<"_force_instructions">(), function, shape, targets,
                 {Kind::node_support, "nodal_support_forces", "node_supports"});
}

void line_forces(nb::handle self, nb::handle members, nb::handle by_load_case) {
    static const Shape shape{"LineId"};
    nb::object targets =
        members.is_none() ? snapshot(self.attr(str<"_lines">()).attr(str<"_members">()).attr("values")())
                          : nb::borrow(members);
    nb::handle function =
        bind::truthy(by_load_case) ? str<"LineForcesByLoadCaseId">() : str<"LineForcesByLoadCombinationId">();
    request_each(self, str<"_force_instructions">(), function, shape, targets,
                 {Kind::member, "line_forces", "members"});
}

// Cases outer, sections inner: one record per pair, written as it is read.
void section_requests(nb::handle self, const char* method, nb::handle function, nb::handle sections,
                      nb::handle cases, nb::handle chain_index) {
    static const Shape shape{"Index", "ChainIndex", "LoadCombinationId", "LoadLevelOrModeShapeOrTimeStep",
                             "AnalysisType"};
    // Both taken as lists and checked before anything is recorded: an
    // iterator of sections would otherwise serve the first case only.
    nb::object targets =
        checked_targets(self, sections.is_none() ? self.attr(str<"_sections">()) : nb::borrow(sections),
                        {Kind::section, method, "sections"});
    nb::object checked_cases = checked_targets(self, cases, {Kind::load_combination, method, "cases"});
    nb::object case_iterator = nb::steal(bind::check(PyObject_GetIter(checked_cases.ptr())));
    while (PyObject* raw_case = PyIter_Next(case_iterator.ptr())) {
        nb::object load_combination = nb::steal(raw_case);
        nb::object section_iterator = nb::steal(bind::check(PyObject_GetIter(targets.ptr())));
        while (PyObject* raw_section = PyIter_Next(section_iterator.ptr())) {
            nb::object section = nb::steal(raw_section);
            nb::object section_id = id_of(section);
            nb::object case_id = id_of(load_combination);
            Record r(shape);
            r.add(std::move(section_id)).add(chain_index).add(std::move(case_id)).add(int_value(1)).add(int_value(0));
            add_function(self.attr(str<"_sections">()), function, std::move(r));
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

void section_surface_forces(nb::handle self, nb::handle sections, nb::handle cases, nb::handle chain_index) {
    section_requests(self, "section_surface_forces", str<"GetSegmentChainSurfaceForcesByLoadCombinationId">(),
                     sections, cases, chain_index);
}

void section_surface_stresses(nb::handle self, nb::handle sections, nb::handle cases, nb::handle chain_index) {
    section_requests(self, "section_surface_stresses", str<"GetSegmentChainSurfaceStressesByLoadCombinationId">(),
                     sections, cases, chain_index);
}

nb::object result_interface_serialize(nb::handle self) {
    nb::object forces = self.attr(str<"_force_instructions">()).attr("serialize")();
    nb::object displacements = self.attr(str<"_displacement_instructions">()).attr("serialize")();
    nb::object sections = self.attr(str<"_sections">()).attr(str<"_instructions">()).attr("serialize")();
    nb::dict result;
    result[str<"Forces">()] = forces;
    result[str<"Displacements">()] = displacements;
    result[str<"Sections">()] = sections;
    return result;
}

// ----------------------------------------------------------- calculation

void calculation_interface_init(nb::handle self) {
    nb::setattr(self, str<"instructions">(), global(str<"_InstructionList">())());
}

void create_linear_analysis(nb::handle self) {
    static const Shape shape{"UserInteraction"};
    nb::object interaction = enum_value(global(str<"_Calculation">()), str<"UserInteraction">(), str<"AUTO_CORRECT">());
    nb::object instructions = self.attr(str<"instructions">());
    add_function_to(instructions, str<"LinearAnalysis">(), Record(shape).add(std::move(interaction)));
}

nb::object calculation_interface_serialize(nb::handle self) {
    return self.attr(str<"instructions">()).attr("serialize")();
}

constexpr const char* kDisplacementsDoc =
    "Request the displacements of nodes.\n\n"
    ":param nodes: nodes (None: all nodes of the model)\n"
    ":param by_load_case: True (default): the results in all load cases; False: in all load combinations";
constexpr const char* kSupportForcesDoc =
    "Request the reaction forces of node supports.\n\n"
    ":param node_supports: node supports (None: all node supports of the model)\n"
    ":param by_load_case: True (default): the results in all load cases; False: in all load combinations";
constexpr const char* kLineForcesDoc =
    "Request the internal forces of members.\n\n"
    ":param members: members (None: all members of the model)\n"
    ":param by_load_case: True (default): the results in all load cases; False: in all load combinations";
constexpr const char* kSurfaceForcesDoc =
    "Request the surface forces on sections, per load combination.\n\n"
    ":param sections: sections on which the results are requested (None: all sections)\n"
    ":param cases: load combinations in which the results are requested\n"
    ":param chain_index: index of the segment chain (default: 1)";
constexpr const char* kSurfaceStressesDoc =
    "Request the surface stresses on sections, per load combination.\n\n"
    ":param sections: sections on which the results are requested (None: all sections)\n"
    ":param cases: load combinations in which the results are requested\n"
    ":param chain_index: index of the segment chain (default: 1)";

}  // namespace

void populate_results(nb::module_&) {
    section_class.made(object_class("Section", kNoDirectInit)
                           .attr("_Type", bind::make_enum(g, "Section._Type", {{"PLANE", 0}, {"SEGMENT", 1}}))
                           .def("__init__", &section_init, "id_"_p, "interface"_p, "name"_p)
                           .def_property("name", &name_of, "Name of the section.")
                           .build());

    interface_class("SectionInterface", "Do not use this __init__ directly, but use :attr:`Model.sections`")
        .def("create", &create_section, "start_point"_p, "end_point"_p, "normal_vector"_p, nb::kw_only(),
             "name"_p = nb::none(),
             "Create a section: a straight segment in a plane, on which results can be obtained.\n\n"
             ":param start_point: (x, y, z) of the start point of the segment [m]\n"
             ":param end_point: (x, y, z) of the end point of the segment [m]\n"
             ":param normal_vector: (x, y, z) components of the normal of the plane of the section\n"
             ":param name: name of the section (default: its identifier)")
        .build();

    bind::ClassBuilder(g, "ResultInterface", "Do not use this __init__ directly, but use :attr:`Model.results`")
        .def("__init__", &result_interface_init, "nodes"_p, "node_supports"_p, "lines"_p, "sections"_p)
        .def("nodal_displacements", &nodal_displacements, "nodes"_p = nb::none(), nb::kw_only(),
             "by_load_case"_p = true, kDisplacementsDoc)
        .def("nodal_support_forces", &nodal_support_forces, "node_supports"_p = nb::none(), nb::kw_only(),
             "by_load_case"_p = true, kSupportForcesDoc)
        .def("line_forces", &line_forces, "members"_p = nb::none(), nb::kw_only(), "by_load_case"_p = true,
             kLineForcesDoc)
        .def("section_surface_forces", &section_surface_forces, "sections"_p, "cases"_p, "chain_index"_p = 1,
             kSurfaceForcesDoc)
        .def("section_surface_stresses", &section_surface_stresses, "sections"_p, "cases"_p, "chain_index"_p = 1,
             kSurfaceStressesDoc)
        .def("_serialize", &result_interface_serialize,
             "The result requests: \"Forces\", \"Displacements\" and \"Sections\" (the section definitions and "
             "the section requests), each an instruction list.")
        .build();

    object_class("_Calculation", "Holder of the calculation enumerations; no object of it is created.")
        .attr("UserInteraction", bind::make_enum(g, "_Calculation.UserInteraction",
                                                 {{"USER_INTERACTION", 0}, {"AUTO_CORRECT", 1},
                                                  {"NO_AUTO_CORRECT", 2}, {"AUTO_CORRECT_NO_SHOW", 3},
                                                  {"NO_AUTO_CORRECT_NO_SHOW", 4}}))
        .build();

    calculation_serialize_guard.capture(
    bind::ClassBuilder(g, "_CalculationInterface", "The calculation step of a model: the linear analysis.")
        .def("__init__", &calculation_interface_init)
        .def("create_linear_analysis", &create_linear_analysis, "Append the linear analysis.")
        .def("_serialize", &calculation_interface_serialize, "The serialised instruction list.")
        .build());
}

}  // namespace tessel::plexum
