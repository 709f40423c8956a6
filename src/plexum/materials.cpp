// Materials and cross-sections: the properties that beams and domains name by
// identifier. Concrete materials and cross-sections are named by the caller or
// after their identifier, and a name is taken at most once per interface.
#include "plexum/objects.h"
#include "plexum/store.h"

namespace tessel::plexum {
namespace {

ObjectClass material_class{"Material", {"_id", "_name"}};
ObjectClass cross_section_class{"CrossSection", {"_id", "_name"}};

void material_init(nb::handle self, nb::handle id, nb::handle name) { material_class.init(self, {id, name}); }

void cross_section_init(nb::handle self, nb::handle id, nb::handle name) { cross_section_class.init(self, {id, name}); }

// `given`, or `fallback` when `given` is None.
nb::handle or_fallback(nb::handle given, nb::handle fallback) { return given.is_none() ? fallback : given; }

// ------------------------------------------------------- MaterialInterface

nb::object create_concrete_eurocode(nb::handle self, nb::handle e_x, nb::handle e_y, nb::handle e_z, nb::handle nu_x,
                                    nb::handle nu_y, nb::handle nu_z, nb::handle alpha_x, nb::handle alpha_y,
                                    nb::handle alpha_z, nb::handle rho, nb::handle f_ck, nb::handle gamma_c,
                                    nb::handle alpha_cc, nb::handle phi_t, nb::handle material_code,
                                    nb::handle name) {
    static const Shape concrete{"NationalDesignName", "MaterialDesignName", "Name", "FillColour", "ContourColour",
                                "Ex", "Ey", "Ez", "Nux", "Nuy", "Nuz", "Alfax", "Alfay", "Alfaz",
                                "Rho", "Fck", "GammaC", "Alfacc", "Fit"};
    static PyObject* const empty = PyUnicode_InternFromString("");
    nb::object id = next_id(self);
    nb::object name_ = effective_name(name, id);
    check_name_free(self, name_, "Material");
    nb::handle design_name = bind::truthy(material_code) ? material_code : nb::handle(empty);
    nb::handle i0 = int_value(0);
    Record params(concrete);
    params.add(nb::handle(empty)).add(design_name).add(name_).add(i0).add(i0);
    params.add(e_x).add(or_fallback(e_y, e_x)).add(or_fallback(e_z, e_x));
    params.add(nu_x).add(or_fallback(nu_y, nu_x)).add(or_fallback(nu_z, nu_x));
    params.add(alpha_x).add(or_fallback(alpha_y, alpha_x)).add(or_fallback(alpha_z, alpha_x));
    params.add(rho).add(f_ck).add(gamma_c).add(alpha_cc).add(phi_t);
    add_function(self, str<"AddConcrete_EuroCode">(), std::move(params));
    return append_object(self, material_class.create({id, name_}));
}

// Catalogue materials are not name-checked: the same one may be added twice.
nb::object add_from_catalog(nb::handle self, nb::handle name, nb::handle national_design_code) {
    static const Shape catalog{"NationalDesignCode", "MaterialName"};
    nb::object code = value_of(national_design_code);
    Record params(catalog);
    params.add(std::move(code)).add(name);
    add_function(self, str<"AddFromCatalog">(), std::move(params));
    nb::object id = next_id(self);
    return append_object(self, material_class.create({id, name}));
}

// -------------------------------------------------- CrossSectionInterface

// Circular and rectangular sections share one identifier sequence and one
// name space.
nb::object create_circular(nb::handle self, nb::handle diameter, nb::handle name) {
    static const Shape circle{"Name", "d"};
    nb::object id = next_id(self);
    nb::object name_ = effective_name(name, id);
    check_name_free(self, name_, "Cross-section");
    Record params(circle);
    params.add(name_).add(diameter);
    add_function(self, str<"AddCircle">(), std::move(params));
    return append_object(self, cross_section_class.create({id, name_}));
}

nb::object create_rectangular(nb::handle self, nb::handle width, nb::handle height, nb::handle process,
                              nb::handle name) {
    static const Shape rectangle{"Name", "b", "h", "Process"};
    nb::object id = next_id(self);
    nb::object name_ = effective_name(name, id);
    check_name_free(self, name_, "Cross-section");
    nb::object process_value = value_of(process);
    Record params(rectangle);
    params.add(name_).add(width).add(height).add(std::move(process_value));
    add_function(self, str<"AddRectangular">(), std::move(params));
    return append_object(self, cross_section_class.create({id, name_}));
}

constexpr const char* kConcreteDoc =
    "Create a user-defined concrete material according to the Eurocode.\n\n"
    ":param e_x: Young's modulus of elasticity in the local x-direction [kN/m2]\n"
    ":param e_y: Young's modulus of elasticity in the local y-direction [kN/m2] (default: e_x)\n"
    ":param e_z: Young's modulus of elasticity in the local z-direction [kN/m2] (default: e_x)\n"
    ":param nu_x: Poisson's ratio in the local x-direction (0 - 0.5)\n"
    ":param nu_y: Poisson's ratio in the local y-direction (0 - 0.5) (default: nu_x)\n"
    ":param nu_z: Poisson's ratio in the local z-direction (0 - 0.5) (default: nu_x)\n"
    ":param alpha_x: thermal expansion coefficient in the local x-direction [/C] (default: 0.0)\n"
    ":param alpha_y: thermal expansion coefficient in the local y-direction [/C] (default: alpha_x)\n"
    ":param alpha_z: thermal expansion coefficient in the local z-direction [/C] (default: alpha_x)\n"
    ":param rho: density [kg/m3]\n"
    ":param f_ck: characteristic compressive cylinder strength at 28 days [kN/m2]\n"
    ":param gamma_c: safety factor\n"
    ":param alpha_cc: concrete strength-reduction factor for sustained loading\n"
    ":param phi_t: creeping factor (default: 0.0)\n"
    ":param material_code: material code name, as shown in Plexum (default: empty)\n"
    ":param name: material name, as shown in Plexum (default: the identifier)";

}  // namespace

void populate_materials(nb::module_&) {
    nb::object design_code = bind::make_enum(
        g, "Material.DesignCode",
        {{"OTHER", 0},           {"HUNGARIAN_MSZ", 1},      {"EURO_CODE", 2},       {"ROMANIAN_STAS", 4},
         {"DUTCH_NEN", 5},       {"GERMAN_DIN1045_1", 6},   {"SWISS_SIA26X", 7},    {"EURO_CODE_GER", 8},
         {"ITALIAN", 9},         {"EURO_CODE_AUSTRIAN", 10}, {"EURO_CODE_UK", 11},  {"EURO_CODE_NL", 12},
         {"EURO_CODE_FIN", 13},  {"EURO_CODE_RO", 14},      {"EURO_CODE_HU", 15},   {"EURO_CODE_CZ", 16},
         {"EURO_CODE_B", 17},    {"EURO_CODE_PL", 18},      {"EURO_CODE_DK", 19},   {"EURO_CODE_S", 20},
         {"US", 21},             {"CA_NBCC", 22},           {"CA_ONTARIO", 23},     {"CA_BRIDGE", 24},
         {"EURO_CODE_SK", 25}},
        "Enum", "National design code.");
    material_class.made(object_class("Material", kNoDirectInit)
                            .attr("DesignCode", design_code)
                            .def("__init__", &material_init, "id_"_p, "name"_p)
                            .def_property("name", &name_of, "Name of the material.")
                            .build());

    nb::object process = bind::make_enum(g, "CrossSection.Process",
                                         {{"OTHER", 0}, {"ROLLED", 1}, {"WELDED", 2}, {"COLD_FORMED", 3}}, "Enum",
                                         "Manufacturing process.");
    cross_section_class.made(object_class("CrossSection", kNoDirectInit)
                                 .attr("Process", process)
                                 .def("__init__", &cross_section_init, "id_"_p, "name"_p)
                                 .def_property("name", &name_of, "Name of the cross-section.")
                                 .build());

    interface_class("MaterialInterface", "Do not use this __init__ directly, but use :attr:`Model.materials`")
        .def("create_concrete_eurocode", &create_concrete_eurocode, nb::kw_only(), "e_x"_p,
             "e_y"_p = nb::none(), "e_z"_p = nb::none(), "nu_x"_p, "nu_y"_p = nb::none(), "nu_z"_p = nb::none(),
             "alpha_x"_p = 0.0, "alpha_y"_p = nb::none(), "alpha_z"_p = nb::none(), "rho"_p, "f_ck"_p, "gamma_c"_p,
             "alpha_cc"_p, "phi_t"_p = 0.0, "material_code"_p = nb::none(), "name"_p = nb::none(), kConcreteDoc)
        .def("add_from_catalog", &add_from_catalog, "name"_p, "national_design_code"_p,
             "Add a material from the material catalogue of Plexum.\n\n"
             ":param name: name of the material in the catalogue of the national design code, e.g. 'C12/15'\n"
             ":param national_design_code: national design code of the catalogue")
        .build();

    interface_class("CrossSectionInterface",
                    "Do not use this __init__ directly, but use :attr:`Model.cross_sections`")
        .def("create_circular", &create_circular, "diameter"_p, nb::kw_only(), "name"_p = nb::none(),
             "Create a solid circular cross-section.\n\n"
             ":param diameter: diameter [m]\n"
             ":param name: name of the cross-section, as shown in Plexum (default: the identifier)")
        .def("create_rectangular", &create_rectangular, "width"_p, "height"_p, nb::kw_only(),
             "process"_p = process.attr("OTHER"), "name"_p = nb::none(),
             "Create a solid rectangular cross-section.\n\n"
             ":param width: width [m]\n"
             ":param height: height [m]\n"
             ":param process: manufacturing process (default: OTHER)\n"
             ":param name: name of the cross-section, as shown in Plexum (default: the identifier)")
        .build();
}

}  // namespace tessel::plexum
