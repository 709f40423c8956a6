// Domains and meshing: surface regions bounded by lines, the finite-element
// mesh asked for on them, and their eccentricity.
#include "plexum/objects.h"
#include "plexum/store.h"

namespace tessel::plexum {
namespace {

ObjectClass domain_class{"Domain", {"_id", "_interface"}};

// The member `name` of the enumeration `Domain.<enum_name>`, looked up now.
nb::object domain_enum_member(nb::handle enum_name, nb::handle name) {
    nb::object e = global(str<"Domain">()).attr(enum_name);
    return e.attr(name);
}

// ---------------------------------------------------------------- Domain

void domain_init(nb::handle self, nb::handle id, nb::handle interface) {
    domain_class.init(self, {id, interface});
}

void domain_generate_mesh(nb::handle self, nb::handle mesh_geometry, nb::handle mesh_size, nb::handle mesh_type,
                          nb::handle fit_to_point_loads, nb::handle fit_to_line_loads,
                          nb::handle fit_to_surface_loads, nb::handle quad_mesh_quality) {
    nb::list domains;
    domains.append(self);
    self.attr(str<"_interface">())
        .attr(str<"generate_mesh_on_domains">())(domains, mesh_geometry, mesh_size, "mesh_type"_a = mesh_type,
                                                 "fit_to_point_loads"_a = fit_to_point_loads,
                                                 "fit_to_line_loads"_a = fit_to_line_loads,
                                                 "fit_to_surface_loads"_a = fit_to_surface_loads,
                                                 "quad_mesh_quality"_a = quad_mesh_quality);
}

void domain_set_eccentricity(nb::handle self, nb::handle eccentricity_type, nb::handle ecc_1, nb::handle p1,
                             nb::handle ecc_2, nb::handle p2, nb::handle ecc_3, nb::handle p3) {
    self.attr(str<"_interface">())
        .attr(str<"set_eccentricity">())(self, eccentricity_type, "ecc_1"_a = ecc_1, "p1"_a = p1, "ecc_2"_a = ecc_2,
                                         "p2"_a = p2, "ecc_3"_a = ecc_3, "p3"_a = p3);
}

// ------------------------------------------------------- DomainInterface

nb::object create_domain(nb::handle self, nb::handle lines, nb::handle surface_type, nb::handle thickness,
                         nb::handle material) {
    static const Shape add{"LineIds", "SurfaceAttr"};
    static const Shape surface{"Thickness",         "SurfaceType",  "RefZId",     "RefXId",         "MaterialId",
                               "ElasticFoundation", "NonLinearity", "Resistance", "Characteristics"};
    nb::object line_ids = ids_of(lines, {Kind::line, "create", "lines"}, self);
    nb::object type = value_of(surface_type);
    nb::object material_id = id_of(material, {Kind::material, "create", "material"}, self);
    nb::handle i0 = int_value(0);

    Record attributes(surface);
    attributes.add(thickness).add(std::move(type)).add(i0).add(i0).add(std::move(material_id));
    attributes.add(zero_point()).add(Record(point_shape()).add(i0).add(i0).add(i0));
    attributes.add(zero_point()).add(i0);
    Record params(add);
    params.add(std::move(line_ids)).add(std::move(attributes));
    add_function(self, str<"Add">(), std::move(params));
    nb::object id = next_id(self);
    return append_object(self, domain_class.create({id, self}));
}

void generate_mesh_on_domains(nb::handle self, nb::handle domains, nb::handle mesh_geometry, nb::handle mesh_size,
                              nb::handle mesh_type, nb::handle fit_to_point_loads, nb::handle fit_to_line_loads,
                              nb::handle fit_to_surface_loads, nb::handle quad_mesh_quality) {
    static const Shape add{"MeshParameters", "DomainIds"};
    static const Shape mesh{"MeshSize",           "MeshType",          "IsFitToPointLoad", "FitToPointLoadValue",
                            "IsFitToLineLoad",    "FitToLineLoadValue", "IsFitToSurfaceLoad",
                            "FitToSurfaceLoadValue", "MeshGeometryType", "QuadMeshQuality"};
    // 1 <= quality first, then quality <= 6, as the comparisons would run in Python.
    if (!bind::check(PyObject_RichCompareBool(int_value(1).ptr(), quad_mesh_quality.ptr(), Py_LE)) ||
        !bind::check(PyObject_RichCompareBool(quad_mesh_quality.ptr(), int_value(6).ptr(), Py_LE)))
        model_error("'quad_mesh_quality' must be in range 1-6");
    nb::object type = value_of(mesh_type);
    Record parameters(mesh);
    parameters.add(mesh_size).add(std::move(type));
    // A given value switches fitting on; only a truthy one is sent as it is.
    for (nb::handle fit : {fit_to_point_loads, fit_to_line_loads, fit_to_surface_loads})
        parameters.add(int_value(fit.is_none() ? 0 : 1)).add(bind::truthy(fit) ? fit : float_zero());
    nb::object geometry = value_of(mesh_geometry);
    parameters.add(std::move(geometry)).add(quad_mesh_quality);
    nb::object domain_ids = ids_of(domains, {Kind::domain, "generate_mesh_on_domains", "domains"}, self);
    Record params(add);
    params.add(std::move(parameters)).add(std::move(domain_ids));
    add_function(self, str<"GenerateMeshOnSelectedDomains">(), std::move(params));
}

// Raises ModelError("'<argument>' must be set for eccentricity_type = <name>").
[[noreturn]] void eccentricity_missing(const char* argument, nb::handle eccentricity_type) {
    nb::object name = eccentricity_type.attr(str<"name">());
    nb::object message = nb::steal(bind::check(
        PyUnicode_FromFormat("'%s' must be set for eccentricity_type = %U", argument, bind::text_of(name).ptr())));
    model_error(message);
}

// Whether `eccentricity_type` equals one of the named members of
// Domain.EccentricityType (the `in` test of a list: identity, then ==).
bool is_one_of(nb::handle eccentricity_type, std::initializer_list<nb::handle> names) {
    for (nb::handle name : names) {
        nb::object member = domain_enum_member(str<"EccentricityType">(), name);
        if (bind::check(PyObject_RichCompareBool(member.ptr(), eccentricity_type.ptr(), Py_EQ))) return true;
    }
    return false;
}

void set_eccentricity(nb::handle self, nb::handle domain, nb::handle eccentricity_type, nb::handle ecc_1,
                      nb::handle p1, nb::handle ecc_2, nb::handle p2, nb::handle ecc_3, nb::handle p3) {
    static const Shape add{"Index", "DomainExcentricity"};
    static const Shape eccentricity{"ExcentricityType", "exc1", "exc2", "exc3", "P1", "P2", "P3", "GroupID"};
    nb::handle constant = str<"CONSTANT">(), one_way = str<"ONE_WAY">(), two_way = str<"TWO_WAY">();
    if (is_one_of(eccentricity_type, {constant, one_way, two_way}) && ecc_1.is_none())
        eccentricity_missing("ecc_1", eccentricity_type);
    if (is_one_of(eccentricity_type, {one_way, two_way})) {
        if (ecc_2.is_none()) eccentricity_missing("ecc_2", eccentricity_type);
        if (p1.is_none()) eccentricity_missing("p1", eccentricity_type);
        if (p2.is_none()) eccentricity_missing("p2", eccentricity_type);
    }
    if (is_one_of(eccentricity_type, {two_way})) {
        if (ecc_3.is_none()) eccentricity_missing("ecc_3", eccentricity_type);
        if (p3.is_none()) eccentricity_missing("p3", eccentricity_type);
    }

    nb::object index = id_of(domain, {Kind::domain, "set_eccentricity", "domain"}, self);
    nb::object type = value_of(eccentricity_type);
    Record block(eccentricity);
    block.add(std::move(type));
    for (nb::handle ecc : {ecc_1, ecc_2, ecc_3}) block.add(bind::truthy(ecc) ? ecc : float_zero());
    for (nb::handle p : {p1, p2, p3}) {
        if (bind::truthy(p))
            block.add(point_value(p));
        else
            block.add(zero_point());
    }
    block.add(int_value(0));
    Record params(add);
    params.add(std::move(index)).add(std::move(block));
    add_function(self, str<"SetExcentricity">(), std::move(params));
}

constexpr const char* kMeshArgumentsDoc =
    ":param mesh_geometry: mesh geometry type\n"
    ":param mesh_size: average size of the elements [m]\n"
    ":param mesh_type: contour division method (default: UNIFORM)\n"
    ":param fit_to_point_loads: fit the mesh to point loads with this value (default: no fitting)\n"
    ":param fit_to_line_loads: fit the mesh to line loads with this value (default: no fitting)\n"
    ":param fit_to_surface_loads: fit the mesh to surface loads with this value (default: no fitting)\n"
    ":param quad_mesh_quality: smoothing quality of the quad mesh, 1 - 6 (default: 2)";

constexpr const char* kEccentricityArgumentsDoc =
    ":param eccentricity_type: type of eccentricity\n"
    ":param ecc_1: eccentricity at reference point 1 [m] (CONSTANT, ONE_WAY, TWO_WAY)\n"
    ":param p1: (x, y, z) of reference point 1 [m] (ONE_WAY, TWO_WAY)\n"
    ":param ecc_2: eccentricity at reference point 2 [m] (ONE_WAY, TWO_WAY)\n"
    ":param p2: (x, y, z) of reference point 2 [m] (ONE_WAY, TWO_WAY)\n"
    ":param ecc_3: eccentricity at reference point 3 [m] (TWO_WAY)\n"
    ":param p3: (x, y, z) of reference point 3 [m] (TWO_WAY)";

std::string joined(const char* head, const char* tail) { return std::string(head) + tail; }

}  // namespace

void populate_domains(nb::module_&) {
    nb::object surface_type = bind::make_enum(
        g, "Domain.SurfaceType",
        {{"HOLE", 0}, {"MEMBRANE_STRESS", 1}, {"MEMBRANE_STRAIN", 2}, {"PLATE", 3}, {"SHELL", 4}}, "Enum",
        "Finite element type.");
    nb::object mesh_type =
        bind::make_enum(g, "Domain.MeshType", {{"ADAPTIVE", 0}, {"UNIFORM", 1}}, "Enum", "Contour division method.");
    nb::object mesh_geometry = bind::make_enum(g, "Domain.MeshGeometry", {{"TRIANGLE", 0}, {"QUAD", 1}, {"MIXED", 2}},
                                               "Enum", "Mesh geometry type.");
    nb::object eccentricity_type = bind::make_enum(
        g, "Domain.EccentricityType",
        {{"CONSTANT", 1}, {"ONE_WAY", 2}, {"TWO_WAY", 3}, {"TOP_ALIGNED", 4}, {"BOTTOM_ALIGNED", 5}}, "Enum",
        "Type of eccentricity.");
    nb::object uniform = mesh_type.attr("UNIFORM");

    static const std::string domain_mesh_doc = joined("Generate a mesh on this domain.\n\n", kMeshArgumentsDoc);
    static const std::string domain_eccentricity_doc =
        joined("Set the eccentricity of this domain.\n\n", kEccentricityArgumentsDoc);
    domain_class.made(object_class("Domain", kNoDirectInit)
                          .attr("SurfaceType", surface_type)
                          .attr("MeshType", mesh_type)
                          .attr("MeshGeometry", mesh_geometry)
                          .attr("EccentricityType", eccentricity_type)
                          .def("__init__", &domain_init, "id_"_p, "interface"_p)
                          .def("generate_mesh", &domain_generate_mesh, "mesh_geometry"_p, "mesh_size"_p,
                               nb::kw_only(), "mesh_type"_p = uniform, "fit_to_point_loads"_p = nb::none(),
                               "fit_to_line_loads"_p = nb::none(), "fit_to_surface_loads"_p = nb::none(),
                               "quad_mesh_quality"_p = 2, domain_mesh_doc.c_str())
                          .def("set_eccentricity", &domain_set_eccentricity, "eccentricity_type"_p, nb::kw_only(),
                               "ecc_1"_p = nb::none(), "p1"_p = nb::none(), "ecc_2"_p = nb::none(),
                               "p2"_p = nb::none(), "ecc_3"_p = nb::none(), "p3"_p = nb::none(),
                               domain_eccentricity_doc.c_str())
                          .build());

    static const std::string mesh_doc =
        joined("Generate a mesh on the given domains.\n\n:param domains: domains to mesh\n", kMeshArgumentsDoc);
    static const std::string eccentricity_doc = joined(
        "Set the eccentricity of a domain.\n\n:param domain: domain to set the eccentricity of\n",
        kEccentricityArgumentsDoc);
    interface_class("DomainInterface", "Do not use this __init__ directly, but use :attr:`Model.domains`")
        .def("create", &create_domain, "lines"_p, nb::kw_only(), "surface_type"_p, "thickness"_p, "material"_p,
             "Create a domain bounded by a closed loop of lines.\n\n"
             ":param lines: lines that form a closed loop\n"
             ":param surface_type: finite element type\n"
             ":param thickness: thickness [m]\n"
             ":param material: material of the domain")
        .def("generate_mesh_on_domains", &generate_mesh_on_domains, "domains"_p, "mesh_geometry"_p, "mesh_size"_p,
             nb::kw_only(), "mesh_type"_p = uniform, "fit_to_point_loads"_p = nb::none(),
             "fit_to_line_loads"_p = nb::none(), "fit_to_surface_loads"_p = nb::none(), "quad_mesh_quality"_p = 2,
             mesh_doc.c_str())
        .def("set_eccentricity", &set_eccentricity, "domain"_p, "eccentricity_type"_p, nb::kw_only(),
             "ecc_1"_p = nb::none(), "p1"_p = nb::none(), "ecc_2"_p = nb::none(), "p2"_p = nb::none(),
             "ecc_3"_p = nb::none(), "p3"_p = nb::none(), eccentricity_doc.c_str())
        .build();
}

}  // namespace tessel::plexum
