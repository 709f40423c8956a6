// Model: the container that owns the interfaces and gathers their records.
#include "plexum/objects.h"

namespace tessel::plexum {
namespace {

constexpr const char* kModelDoc =
    "Plexum model, built through its interfaces; every operation is recorded for the worker.";

constexpr const char* kInitDoc =
    "Create an empty model.\n"
    "\n"
    "Example::\n"
    "\n"
    "    model = Model()\n"
    "    material = model.materials.add_from_catalog('C12/15', Material.DesignCode.EURO_CODE)\n"
    "    cross_section = model.cross_sections.create_rectangular(0.2, 0.4)\n"
    "    node_1 = model.nodes.create(0.0, 0.0, 0.0)\n"
    "    node_2 = model.nodes.create(5.0, 0.0, 0.0)\n"
    "    line = model.lines.create(node_1, node_2)\n"
    "    beam = line.define_as_beam(material, cross_section)\n"
    "    model.node_supports.create_relative_to_member(node_1, stiffness_x=1e10, stiffness_y=1e10, stiffness_z=1e10)\n"
    "    load_case = model.load_cases.create()\n"
    "    model.loads.create_beam_self_weight(load_case, beam)\n"
    "    model.results.nodal_displacements([node_2])\n"
    "\n"
    "Every interface offers conversion to a list, indexing and slicing, iteration, len() and the\n"
    "containment test, e.g. ``list(model.nodes)``, ``model.nodes[0]``, ``model.nodes[1:3]``,\n"
    "``for node in model.nodes``, ``len(model.nodes)``, ``node in model.nodes``.";

// The interfaces in construction order: attribute, class, property, documentation.
struct InterfaceSlot {
    const char* attribute;
    const char* cls;
    const char* property;  // nullptr: no property
    const char* doc;
};

constexpr InterfaceSlot kSlots[] = {
    {"_references", "ReferenceInterface", "references",
     "Interface for creating reference points, vectors, axes, planes and angles."},
    {"_materials", "MaterialInterface", "materials", "Interface for creating materials."},
    {"_nodes", "NodeInterface", "nodes", "Interface for creating nodes."},
    {"_cross_sections", "CrossSectionInterface", "cross_sections", "Interface for creating cross-sections."},
    {"_lines", "LineInterface", "lines", "Interface for creating lines, beams, etc."},
    {"_domains", "DomainInterface", "domains", "Interface for creating domains."},
    {"_node_supports", "NodeSupportInterface", "node_supports", "Interface for creating node supports."},
    {"_line_supports", "LineSupportInterface", "line_supports", "Interface for creating line supports."},
    {"_load_cases", "LoadCaseInterface", "load_cases", "Interface for creating load cases."},
    {"_loads", "LoadInterface", "loads", "Interface for creating loads."},
    {"_load_combinations", "LoadCombinationInterface", "load_combinations",
     "Interface for creating load combinations."},
    {"_calculations", "_CalculationInterface", nullptr, nullptr},
    {"_sections", "SectionInterface", "sections", "Interface for creating sections, on which results can be obtained."},
    {"_results", "ResultInterface", "results",
     "Interface for requesting results from the worker (only requested results will be returned)."},
};

void model_init(nb::handle self) {
    for (const InterfaceSlot& slot : kSlots) {
        nb::object cls = g(slot.cls);
        nb::object interface;
        if (std::string_view(slot.attribute) == "_node_supports")
            interface = cls(self.attr("_lines"));
        else if (std::string_view(slot.attribute) == "_results")
            interface = cls(self.attr("_nodes"), self.attr("_node_supports"), self.attr("_lines"), self.attr("_sections"));
        else
            interface = cls();
        nb::setattr(self, slot.attribute, interface);
        // Arguments of its operations are checked against this model.
        link_to_model(interface, self);
    }
}

// The serialised model, in the order the worker replays it.
nb::object model_serialize(nb::handle self) {
    static constexpr std::pair<const char*, const char*> kKeys[] = {
        {"References", "_references"},     {"Materials", "_materials"},
        {"Nodes", "_nodes"},               {"CrossSections", "_cross_sections"},
        {"Lines", "_lines"},               {"Domains", "_domains"},
        {"NodesSupports", "_node_supports"}, {"LineSupports", "_line_supports"},
        {"LoadCases", "_load_cases"},      {"Loads", "_loads"},
        {"LoadCombinations", "_load_combinations"}, {"Calculation", "_calculations"},
    };
    self.attr(str<"_calculations">()).attr("create_linear_analysis")();
    nb::dict result;
    for (const auto& [key, attribute] : kKeys) result[key] = self.attr(attribute).attr("_serialize")();
    return result;
}

}  // namespace

void populate_model(nb::module_&) {
    capture_kinds();
    bind::ClassBuilder cls(g, "Model", kModelDoc);
    cls.def("__init__", &model_init, kInitDoc);
    for (const InterfaceSlot& slot : kSlots) {
        if (!slot.property) continue;
        nb::object key = nb::str(slot.attribute);
        cls.def_property(
            slot.property, [key](nb::handle self) { return self.attr(key); }, slot.doc);
    }
    cls.def("_serialize", &model_serialize,
            "The serialised model: one linear analysis is added, then the instruction lists of the interfaces.")
        .build();
}

}  // namespace tessel::plexum
