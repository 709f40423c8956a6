// tessel.external.grasshopper: Grasshopper definitions run with input data trees.
#pragma once

#include "bind/bind.h"

namespace tessel::grasshopper {

namespace nb = nanobind;
using namespace nb::literals;
using bind::str;
using bind::operator""_p;

// This module's globals, looked up at call time (see bind::ModuleGlobals).
inline bind::ModuleGlobals g;

// Each populates the module with one concern; module.cpp calls them in order.
void populate_globals(nb::module_& m);
void populate_data_tree(nb::module_& m);
void populate_analysis(nb::module_& m);

}  // namespace tessel::grasshopper
