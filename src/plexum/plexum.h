// tessel.external.plexum: the Plexum model builder.
//
// Every modelling operation appends a record to its interface's instruction
// list and returns a small object carrying an identifier. The concern files
// (one per group of interfaces) write such an operation in a few lines with
// the toolkit of records.h (what a record holds), store.h (where it goes) and
// objects.h (the objects and the arguments read from them):
//
//   nb::object create(nb::handle self, nb::handle x, nb::handle y, nb::handle z) {
//       static const Shape add{"x", "y", "z"};       // interned keys, in record order
//       nb::object id = next_id(self);                // len(self._objects) + 1
//       Record params(add);
//       params.add(x).add(y).add(z);                  // values in key order
//       add_function(self, str<"Add">(), std::move(params));
//       return append_object(self, node_class.create({id, x, y, z}));
//   }
//
// Read every argument (ids, enum values, point items) and run every check
// before add_function: an operation that raises leaves nothing behind.
//
// This header owns what is module-wide: the globals, the populate functions
// module.cpp calls, the module's error and its class conventions.
#pragma once

#include "bind/bind.h"

namespace tessel::plexum {

namespace nb = nanobind;
using namespace nb::literals;
using bind::str;
using bind::operator""_p;

// This module's globals, looked up at call time (see bind::ModuleGlobals).
inline bind::ModuleGlobals g;

// Each populates the module with one concern; module.cpp calls them in order.
void populate_globals(nb::module_& m);
void populate_instructions(nb::module_& m);
void populate_references(nb::module_& m);
void populate_materials(nb::module_& m);
void populate_geometry(nb::module_& m);
void populate_domains(nb::module_& m);
void populate_supports(nb::module_& m);
void populate_loads(nb::module_& m);
void populate_results(nb::module_& m);
void populate_model(nb::module_& m);
void populate_analysis(nb::module_& m);

// The module global `key` (an interned name) as it is now, builtins next;
// NameError like Python when neither has it.
inline nb::object global(nb::handle key) { return g(key); }

// ------------------------------------------------------------------ errors

// Raises the module global ModelError (looked up now) with `message`.
[[noreturn]] void model_error(const char* message);
[[noreturn]] void model_error(nb::handle message);

// ------------------------------------------------------------------ classes

// The text every model-object class and interface gives as its __init__'s
// documentation: applications make them through a Model.
inline constexpr const char* kNoDirectInit =
    "Do not use this __init__ directly, but create the object from :class:`Model`";

// Starts a model-object class: base `Object` (or `base`), the module's
// conventions for names and documentation.
bind::ClassBuilder object_class(const char* name, const char* doc, nb::handle base = nb::handle());
// Starts an interface class: base `_Interface` and the four sequence
// operations on `_objects`.
bind::ClassBuilder interface_class(const char* name, const char* doc);

}  // namespace tessel::plexum
