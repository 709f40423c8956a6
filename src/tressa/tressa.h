// tessel.external.tressa: Tressa scripts run by the host SDK's script analysis.
#pragma once

#include "bind/bind.h"

namespace tessel::tressa {

namespace nb = nanobind;
using namespace nb::literals;

// This module's globals, looked up at call time (see bind::ModuleGlobals).
inline bind::ModuleGlobals g;

void populate_analysis(nb::module_& m);

}  // namespace tessel::tressa
