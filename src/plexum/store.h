// Where records go: `interface._instructions.add_function(...)` and
// `add_property(...)`, taken directly while the instruction list is this
// module's own, with records waiting in a compact store until anything can
// observe the lists (then they are made into their tuples and dicts, in order).
#pragma once

#include "plexum/records.h"

#include "bind/json.h"

namespace tessel::plexum {

// `interface._instructions.add_function(name, params)`. While the instruction
// list is this module's own `_InstructionList` with its own `add_function`,
// the record is stored directly; otherwise the method found is called with
// the parameters made into their dict.
void add_function(nb::handle interface, nb::handle name, Record&& params);
// The same on a given instruction list (result interfaces hold several).
// Records stored the direct way wait in a compact form until the list is
// first observed (see observe_instructions).
void add_function_to(nb::handle instructions, nb::handle name, Record&& params);
// `interface._instructions.add_property(name, value)`, likewise.
void add_property(nb::handle interface, nb::handle name, Value&& value);
// Turns the records waiting for an instruction list into its tuples and
// dicts; afterwards records go straight into its lists. Called by every
// access that can observe the lists (the `_InstructionList` class does).
// `only_if_waiting`: leave a list that never had a record stored alone.
void observe_instructions(nb::handle instructions, bool only_if_waiting = false);

// Writes `instructions.serialize()` as json.dumps writes it, the waiting
// records straight from the compact store (they keep waiting, so that a later
// observation still makes them). False when the list is not this module's
// own with its own `serialize`, or holds values that only Python code can
// write: what was written is then to be thrown away.
bool write_instruction_list(bind::JsonWriter& w, nb::handle instructions);

// _InstructionList as built, with its add_function, add_property and serialize.
extern const bind::Guard add_function_guard;
extern const bind::Guard add_property_guard;
extern const bind::Guard serialize_guard;

}  // namespace tessel::plexum
