// Names the module uses at run time, bound as module globals so that they are
// looked up (and can be patched) exactly as in a Python module.
#include "plexum/plexum.h"

#include "bind/guard.h"

namespace tessel::plexum {

void populate_globals(nb::module_&) {
    bind::watch_globals();
    for (const char* module : {"abc", "base64", "enum", "io"}) bind::import_module(g, module);
    bind::import_names(g, "abc", {"ABC"});
    bind::import_names(g, "enum", {"Enum"});
    bind::import_names(g, "io", {"BytesIO"});
    bind::import_names(g, "tessel.core", {"File", "_SerializableObject"});
    bind::import_names(g, "tessel.errors", {"ModelError"});
    bind::import_names(g, "tessel.external.offload_task", {"OffloadTask", "_JobContent", "_get_file_body"});
}

void model_error(const char* message) { bind::raise(global(str<"ModelError">()), nb::str(message)); }
void model_error(nb::handle message) { bind::raise(global(str<"ModelError">()), message); }

}  // namespace tessel::plexum
