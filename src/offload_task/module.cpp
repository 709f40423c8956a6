#include "offload_task/offload_task.h"

NB_MODULE(offload_task, m) {
    using namespace tessel::offload_task;
    m.doc() = "Job framework of the external analyses: the base class that runs a job on the platform, "
              "job content, file bodies in result content, streamed results and OAuth 2.0 tokens.";
    tessel::bind::ActiveModule active(&g.bind(m));
    populate_globals(m);
    populate_job_content(m);
    populate_file_body(m);
    populate_streamed_dict(m);
    populate_oauth2(m);
    populate_offload_task(m);
}
