// _JobContent: the members a subclass of OffloadTask hands over for one job.
#include "offload_task/offload_task.h"

namespace tessel::offload_task {

void populate_job_content(nb::module_&) {
    bind::ClassBuilder(g, "_JobContent", "Container for the input of a Job class instance.")
        .base(g("_SerializableObject"))
        .def(
            "__init__",
            [](nb::handle self, nb::handle dict, nb::kwargs kwargs) {
                // The given dictionary itself is kept (later changes to it are sent);
                // keyword arguments only count when no dictionary is given.
                nb::setattr(self, str<"_data">(), dict.is_none() ? nb::handle(kwargs) : dict);
            },
            "_dict"_p = nb::none(), "kwargs"_a,
            "Make the content from one dictionary (kept as is) or from keyword arguments.")
        .def(
            "_serialize", [](nb::handle self) { return nb::getattr(self, str<"_data">()); },
            "Return the job content's members (the dictionary itself, not a copy).")
        .build();
}

}  // namespace tessel::offload_task
