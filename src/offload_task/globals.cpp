// Names the module uses at run time, bound as module globals so that they are
// looked up (and can be patched) exactly as in a Python module.
#include "offload_task/offload_task.h"

namespace tessel::offload_task {

void populate_globals(nb::module_&) {
    for (const char* module : {"abc", "base64", "codecs", "io", "json", "logging", "os", "time", "zlib"})
        bind::import_module(g, module);
    bind::import_names(g, "abc", {"ABC"});
    bind::import_names(g, "tessel.core",
                       {"File", "_Context", "_get_api_endpoint", "_get_requests_authorization_header",
                        "_get_requests_user_agent_header", "_get_wait_times_for_stepwise_polling",
                        "_MultipartEncoder", "_SerializableObject"});
    bind::import_names(g, "tessel.errors", {"ExecutionError"});
    bind::import_names(g, "tessel.api_v1", {"API"});
    g.set("logger", g("logging").attr("getLogger")(g.module_name()));
    g.set("RESULT_CONTENT_NOT_PRESENT", nb::str(kResultContentNotPresent));
}

}  // namespace tessel::offload_task
