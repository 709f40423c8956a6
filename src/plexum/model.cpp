// Model: the container that owns the interfaces and gathers their records.
#include "plexum/model.h"

#include "plexum/objects.h"
#include "plexum/store.h"

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

// The interfaces in construction order: attribute, class, property,
// documentation, and the key of the serialised model (in this order too).
struct InterfaceSlot {
    const char* attribute;
    const char* cls;
    const char* property;  // nullptr: no property
    const char* doc;
    const char* key;       // nullptr: not part of the serialised model
};

constexpr InterfaceSlot kSlots[] = {
    {"_references", "ReferenceInterface", "references",
     "Interface for creating reference points, vectors, axes, planes and angles.", "References"},
    {"_materials", "MaterialInterface", "materials", "Interface for creating materials.", "Materials"},
    {"_nodes", "NodeInterface", "nodes", "Interface for creating nodes.", "Nodes"},
    {"_cross_sections", "CrossSectionInterface", "cross_sections", "Interface for creating cross-sections.",
     "CrossSections"},
    {"_lines", "LineInterface", "lines", "Interface for creating lines, beams, etc.", "Lines"},
    {"_domains", "DomainInterface", "domains", "Interface for creating domains.", "Domains"},
    {"_node_supports", "NodeSupportInterface", "node_supports", "Interface for creating node supports.",
     "NodesSupports"},
    {"_line_supports", "LineSupportInterface", "line_supports", "Interface for creating line supports.",
     "LineSupports"},
    {"_load_cases", "LoadCaseInterface", "load_cases", "Interface for creating load cases.", "LoadCases"},
    {"_loads", "LoadInterface", "loads", "Interface for creating loads.", "Loads"},
    {"_load_combinations", "LoadCombinationInterface", "load_combinations",
     "Interface for creating load combinations.", "LoadCombinations"},
    {"_calculations", "_CalculationInterface", nullptr, nullptr, "Calculation"},
    {"_sections", "SectionInterface", "sections", "Interface for creating sections, on which results can be obtained.",
     nullptr},
    {"_results", "ResultInterface", "results",
     "Interface for requesting results from the worker (only requested results will be returned).", nullptr},
};

// Model._serialize as built, and the marker of a model shipped as JSON text.
const bind::Guard model_serialize_guard{nullptr, {"_serialize"}};

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

// The instruction lists of the interfaces, gathered in the order the worker
// replays them (after the linear analysis was added).
nb::object gathered(nb::handle self) {
    nb::dict result;
    for (const InterfaceSlot& slot : kSlots)
        if (slot.key) result[slot.key] = self.attr(slot.attribute).attr(str<"_serialize">())();
    return result;
}

// The serialised model.
nb::object model_serialize(nb::handle self) {
    self.attr(str<"_calculations">()).attr("create_linear_analysis")();
    return gathered(self);
}

// The JSON text of what `gathered` would give, written straight from the
// records; invalid when an interface is not one whose `_serialize` is the
// module's own (the text is then not written).
nb::object gathered_text(nb::handle self) {
    bind::JsonWriter w(nb::module_::import_("json").attr("dumps"), 1 << 20);
    bool first = true;
    for (const InterfaceSlot& slot : kSlots) {
        if (!slot.key) continue;
        nb::object interface = self.attr(slot.attribute);
        nb::object instructions = serialized_instructions(interface);
        if (!instructions.is_valid()) return {};
        w.raw(first ? "{\"" : ", \"").raw(slot.key).raw("\": ");
        first = false;
        if (!write_instruction_list(w, instructions)) return {};
    }
    w.raw("}");
    return w.take();
}

}  // namespace

nb::object serialized_for_shipping(nb::handle model) {
    if (!model_serialize_guard.holds_for(Py_TYPE(model.ptr())) || has_own(instance_dict(model), str<"_serialize">()))
        return model.attr(str<"_serialize">())();
    model.attr(str<"_calculations">()).attr("create_linear_analysis")();
    nb::object text = gathered_text(model);
    if (!text.is_valid()) return gathered(model);
    return global(str<"_ShippedModel">())(text);
}

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
    model_serialize_guard.capture(
        cls.def("_serialize", &model_serialize,
                "The serialised model: one linear analysis is added, then the instruction lists of the interfaces.")
            .build());

    bind::ClassBuilder(g, "_ShippedModel",
                       "A serialised model on its way to the platform, as the JSON text json.dumps would give it.")
        .def("__init__", [](nb::handle self, nb::handle text) { nb::setattr(self, str<"_text">(), text); }, "text"_p)
        .def("__json_text__", [](nb::handle self) { return self.attr(str<"_text">()); }, "The JSON text (bytes).")
        .build();
}

}  // namespace tessel::plexum
