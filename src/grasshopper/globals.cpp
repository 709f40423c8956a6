// Names the module uses at run time, bound as module globals so that they are
// looked up (and can be patched) exactly as in a Python module.
#include "grasshopper/grasshopper.h"

namespace tessel::grasshopper {

void populate_globals(nb::module_&) {
    bind::import_module(g, "re");
    bind::import_names(g, "tessel.external.offload_task", {"OffloadTask", "_JobContent"});
}

}  // namespace tessel::grasshopper
