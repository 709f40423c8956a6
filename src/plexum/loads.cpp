// Load cases, loads and load combinations: named load cases, loads on
// domains and beams inside a load case, and typed combinations of load cases
// with their factors.
#include "plexum/objects.h"
#include "plexum/store.h"

namespace tessel::plexum {
namespace {

ObjectClass load_case_class{"LoadCase", {"_id", "_name"}};
ObjectClass load_combination_class{"LoadCombination", {"_id", "_name"}};
ObjectClass load_class{"Load", {"_id"}};

// --------------------------------------------------------------- objects

void load_case_init(nb::handle self, nb::handle id, nb::handle name) { load_case_class.init(self, {id, name}); }

void load_combination_init(nb::handle self, nb::handle id, nb::handle name) {
    load_combination_class.init(self, {id, name});
}

// ------------------------------------------------------ named creations

nb::object create_load_case(nb::handle self, nb::handle name) {
    static const Shape add{"Name", "LoadCaseType"};
    nb::object id = next_id(self);
    nb::object effective = effective_name(name, id);
    check_name_free(self, effective, "Load case");
    nb::object type = enum_value(global(str<"LoadCase">()), str<"_Type">(), str<"STANDARD">());
    Record params(add);
    params.add(effective).add(std::move(type));
    add_function(self, str<"Add">(), std::move(params));
    return append_object(self, load_case_class.create({id, effective}));
}

nb::object create_load_combination(nb::handle self, nb::handle combination_type, nb::handle load_case_factors,
                                   nb::handle name) {
    static const Shape add{"Name", "CombinationType", "Factors", "LoadCaseIds"};
    nb::object id = next_id(self);
    nb::object effective = effective_name(name, id);
    check_name_free(self, effective, "Load combination");
    nb::object type = value_of(combination_type);
    nb::object factors = nb::steal(bind::check(PyMapping_Values(load_case_factors.ptr())));
    nb::object load_cases = nb::steal(bind::check(PyMapping_Keys(load_case_factors.ptr())));
    // Appended one by one: reading an id runs Python code, which must never
    // see a list with empty slots.
    nb::object ids = nb::steal(bind::check(PyList_New(0)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(load_cases.ptr()); ++i) {
        nb::object load_case = nb::borrow(PyList_GET_ITEM(load_cases.ptr(), i));
        nb::object load_case_id = id_of(load_case, {Kind::load_case, "create", "load_case_factors"}, self);
        bind::check(PyList_Append(ids.ptr(), load_case_id.ptr()));
    }
    Record params(add);
    params.add(effective).add(std::move(type)).add(std::move(factors)).add(std::move(ids));
    add_function(self, str<"Add">(), std::move(params));
    return append_object(self, load_combination_class.create({id, effective}));
}

// ------------------------------------------------------------------ loads

nb::object created_load(nb::handle self) {
    nb::object id = next_id(self);
    return append_object(self, load_class.create({id}));
}

nb::object create_domain_linear(nb::handle self, nb::handle load_case, nb::handle domain, nb::handle load,
                                nb::handle component, nb::handle point_1, nb::handle point_2, nb::handle point_3,
                                nb::handle distribution_type, nb::handle load_on_hole) {
    static const Shape wrapper{"Data"};
    static const Shape data{"LoadCaseId", "DomainId", "DistributionType", "LoadDistributionType", "Component",
                            "P1",         "P2",       "P3",               "x1",                   "y1",
                            "z1",         "x2",       "y2",               "z2",                   "x3",
                            "y3",         "z3",       "WindowLoad"};
    nb::object load_cls = global(str<"Load">());
    nb::object axis = load_cls.attr(str<"Axis">());
    // component != X and component != Y and component != Z, short-circuited
    bool planar = false;
    for (nb::handle member : {str<"X">(), str<"Y">(), str<"Z">()}) {
        nb::object allowed = axis.attr(member);
        if (!bind::check(PyObject_RichCompareBool(component.ptr(), allowed.ptr(), Py_NE))) {
            planar = true;
            break;
        }
    }
    if (!planar) model_error("'component' must be one of (X, Y, Z)");

    Record r(data);
    r.add(id_of(load_case, {Kind::load_case, "create_domain_linear", "load_case"}, self))
        .add(id_of(domain, {Kind::domain, "create_domain_linear", "domain"}, self))
        .add(value_of(distribution_type));
    r.add(enum_value(load_cls, str<"_LoadDistributionType">(), str<"LINEAR">())).add(value_of(component));
    for (nb::handle seq : {load, point_1, point_2, point_3})
        for (Py_ssize_t i = 0; i < 3; ++i) r.add(item(seq, i));
    r.add(int_value(bind::truthy(load_on_hole) ? 0 : 1));
    add_function(self, str<"AddDomainLinear">(), Record(wrapper).add(std::move(r)));
    return created_load(self);
}

nb::object create_domain_constant(nb::handle self, nb::handle load_case, nb::handle domain, nb::handle load,
                                  nb::handle distribution_type, nb::handle system) {
    static const Shape wrapper{"Data"};
    static const Shape data{"LoadCaseId", "DomainId", "qx", "qy", "qz", "DistributionType", "SystemGLR"};
    Record r(data);
    r.add(id_of(load_case, {Kind::load_case, "create_domain_constant", "load_case"}, self))
        .add(id_of(domain, {Kind::domain, "create_domain_constant", "domain"}, self));
    for (Py_ssize_t i = 0; i < 3; ++i) r.add(item(load, i));
    r.add(value_of(distribution_type)).add(value_of(system));
    add_function(self, str<"AddDomainConstant">(), Record(wrapper).add(std::move(r)));
    return created_load(self);
}

nb::object create_domain_self_weight(nb::handle self, nb::handle load_case, nb::handle domain) {
    static const Shape shape{"DomainId", "LoadCaseId"};
    Record r(shape);
    r.add(id_of(domain, {Kind::domain, "create_domain_self_weight", "domain"}, self))
        .add(id_of(load_case, {Kind::load_case, "create_domain_self_weight", "load_case"}, self));
    add_function(self, str<"AddDomainSelfWeight">(), std::move(r));
    return created_load(self);
}

nb::object create_beam_self_weight(nb::handle self, nb::handle load_case, nb::handle member) {
    static const Shape shape{"LineId", "LoadCaseId"};
    Record r(shape);
    r.add(id_of(member, {Kind::member, "create_beam_self_weight", "member"}, self))
        .add(id_of(load_case, {Kind::load_case, "create_beam_self_weight", "load_case"}, self));
    add_function(self, str<"AddBeamSelfWeight">(), std::move(r));
    return created_load(self);
}

constexpr const char* kDomainLinearDoc =
    "Create a linearly varying load on a domain.\n\n"
    ":param load_case: load case to which the load belongs\n"
    ":param domain: domain on which the load acts\n"
    ":param load: magnitudes of the surface load at point_1, point_2 and point_3 [kN/m2]\n"
    ":param component: component of the load (X, Y or Z)\n"
    ":param point_1: (x, y, z) of the first point [m]\n"
    ":param point_2: (x, y, z) of the second point [m]\n"
    ":param point_3: (x, y, z) of the third point [m]\n"
    ":param distribution_type: distribution type of the load (default: GLOBAL)\n"
    ":param load_on_hole: False (default): the load is not applied on holes";

constexpr const char* kDomainConstantDoc =
    "Create a uniform load on a domain.\n\n"
    ":param load_case: load case to which the load belongs\n"
    ":param domain: domain on which the load acts\n"
    ":param load: components (x, y, z) of the surface load [kN/m2]\n"
    ":param distribution_type: distribution type of the load (default: SURFACE)\n"
    ":param system: coordinate system of the load (default: GLOBAL)";

}  // namespace

void populate_loads(nb::module_&) {
    load_case_class.made(object_class("LoadCase", kNoDirectInit)
                             .attr("_Type", bind::make_enum(g, "LoadCase._Type", {{"STANDARD", 0}}))
                             .def("__init__", &load_case_init, "id_"_p, "name"_p)
                             .def_property("name", &name_of, "Name of the load case.")
                             .build());

    load_combination_class.made(
        object_class("LoadCombination", kNoDirectInit)
            .attr("Type", bind::make_enum(g, "LoadCombination.Type",
                                          {{"OTHER", 0},      {"SLS_1", 1},       {"SLS_CHAR", 1},
                                           {"SLS_2", 2},      {"SLS_FREQ", 2},    {"SLS_3", 3},
                                           {"SLS_QUASI", 3},  {"ULS_1", 4},       {"ULS", 4},
                                           {"ULS_2", 5},      {"ULS_SEISMIC", 5}, {"ULS_3", 6},
                                           {"ULS_EXCEPTIONAL", 6}, {"ULS_ALL", 7}, {"ULS_AB", 8},
                                           {"ULS_A", 9},      {"ULS_B", 10},      {"ULS_ALL_AB", 11},
                                           {"ULS_A1", 12},    {"ULS_A2", 13},     {"ULS_A3", 14},
                                           {"ULS_A4", 15},    {"ULS_A5", 16},     {"ULS_A6", 17},
                                           {"ULS_A7", 18},    {"ULS_A8", 19}},
                                          "Enum", "Type of a load combination (limit state)."))
            .def("__init__", &load_combination_init, "id_"_p, "name"_p)
            .def_property("name", &name_of, "Name of the load combination.")
            .build());

    nb::object distribution =
        bind::make_enum(g, "Load.DistributionType", {{"GLOBAL", 0}, {"LOCAL", 1}, {"PROJECTED", 2}}, "Enum",
                        "Distribution type of a linearly varying domain load.");
    nb::object surface_distribution =
        bind::make_enum(g, "Load.SurfaceDistributionType", {{"SURFACE", 0}, {"PROJECTED", 1}}, "Enum",
                        "Distribution type of a uniform domain load.");
    nb::object system = bind::make_enum(g, "Load.System", {{"GLOBAL", 0}, {"LOCAL", 1}, {"REFERENCE", 2}}, "Enum",
                                        "Coordinate system of the components of a uniform domain load.");
    load_class.made(
        object_class("Load", kNoDirectInit)
            .attr("DistributionType", distribution)
            .attr("SurfaceDistributionType", surface_distribution)
            .attr("System", system)
            .attr("_LoadDistributionType", bind::make_enum(g, "Load._LoadDistributionType", {{"CONSTANT", 0}, {"LINEAR", 1}}))
            .attr("Axis", bind::make_enum(g, "Load.Axis", {{"X", 0}, {"Y", 1}, {"Z", 2}, {"XX", 3}, {"YY", 4}, {"ZZ", 5}},
                                          "Enum", "Direction of a load component."))
            .build());

    interface_class("LoadCaseInterface", "Do not use this __init__ directly, but use :attr:`Model.load_cases`")
        .def("create", &create_load_case, "name"_p = nb::none(),
             "Create a load case.\n\n:param name: name of the load case (default: its identifier)")
        .build();

    interface_class("LoadInterface", "Do not use this __init__ directly, but use :attr:`Model.loads`")
        .def("create_domain_linear", &create_domain_linear, "load_case"_p, "domain"_p, "load"_p, nb::kw_only(),
             "component"_p, "point_1"_p, "point_2"_p, "point_3"_p,
             "distribution_type"_p = distribution.attr("GLOBAL"), "load_on_hole"_p = false, kDomainLinearDoc)
        .def("create_domain_constant", &create_domain_constant, "load_case"_p, "domain"_p, "load"_p, nb::kw_only(),
             "distribution_type"_p = surface_distribution.attr("SURFACE"), "system"_p = system.attr("GLOBAL"),
             kDomainConstantDoc)
        .def("create_domain_self_weight", &create_domain_self_weight, "load_case"_p, "domain"_p,
             "Create the self-weight of a domain.\n\n"
             ":param load_case: load case to which the load belongs\n:param domain: domain whose self-weight acts")
        .def("create_beam_self_weight", &create_beam_self_weight, "load_case"_p, "member"_p,
             "Create the self-weight of a beam.\n\n"
             ":param load_case: load case to which the load belongs\n:param member: beam whose self-weight acts")
        .build();

    interface_class("LoadCombinationInterface",
                    "Do not use this __init__ directly, but use :attr:`Model.load_combinations`")
        .def("create", &create_load_combination, "combination_type"_p, "load_case_factors"_p, nb::kw_only(),
             "name"_p = nb::none(),
             "Create a load combination.\n\n"
             ":param combination_type: type of the combination\n"
             ":param load_case_factors: factor of each load case in the combination\n"
             ":param name: name of the load combination (default: its identifier)")
        .build();
}

}  // namespace tessel::plexum
