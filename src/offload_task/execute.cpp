// The job life cycle on the platform's job API: create, upload, start, poll
// until the worker reports an end state or the time-out passes, fetch.
#include "offload_task/offload_task.h"

#include <cmath>

namespace tessel::offload_task {
namespace {

constexpr double kStartPause = 0.5;
constexpr double kMinimumPollInterval = 1.0;
constexpr int kApiTimeout = 10;

nb::object context() { return g("_Context"); }
nb::object session(const char* name) { return context().attr(name); }

bool is_status(nb::handle response, int code) { return response.attr("status_code").equal(nb::int_(code)); }

// BASE + "jobs/" + QUEUE + "/" [+ JOB + suffix], every part in its text form.
nb::str jobs_url(nb::handle self) {
    return nb::str("{}jobs/{}/").format(g("_get_api_endpoint")(), self.attr("_queue_name"));
}
nb::str job_url(nb::handle self, nb::handle job_id, const char* suffix) {
    return nb::str("{}{}{}").format(jobs_url(self), job_id, suffix);
}

// "job ID on queue "QUEUE"", for log lines and notes.
nb::str job_name(nb::handle self, nb::handle job_id) {
    return nb::str("job {} on queue \"{}\"").format(job_id, self.attr("_queue_name"));
}

void debug(nb::handle self, nb::handle job_id, const char* what) {
    log("debug", nb::str(what).format(job_name(self, job_id)));
}

// A timeout is a positive number of seconds that travels as a JSON number:
// an int or a float. Anything else would fail only after the job had been
// created and started, leaving it on the platform: a wrong type, or a value
// no job can meet (0, negative, NaN, infinity) that ended in a TimeoutError
// naming that value.
void check_timeout(nb::handle self, nb::handle timeout) {
    PyObject* t = timeout.ptr();
    if (!(PyLong_Check(t) || PyFloat_Check(t)) || PyBool_Check(t))
        bind::raise(PyExc_TypeError,
                    nb::str("{}.execute(): timeout must be a number of seconds, not {}")
                        .format(self.type().attr("__qualname__"), timeout.type().attr("__qualname__")));
    bool positive;
    if (PyFloat_Check(t)) {
        const double v = PyFloat_AS_DOUBLE(t);
        positive = std::isfinite(v) && v > 0.0;
    } else {
        positive = bind::check(PyObject_RichCompareBool(t, nb::int_(0).ptr(), Py_GT)) != 0;
    }
    if (!positive)
        bind::raise(PyExc_ValueError,
                    nb::str("{}.execute(): timeout must be a positive number of seconds, not {!r}")
                        .format(self.type().attr("__qualname__"), timeout));
}

// The create request, the first to reach the platform: when nothing answers,
// the session's own error passes on with a note saying where it looked.
nb::object create_job(nb::handle url, nb::handle headers) {
    try {
        return session("session").attr("post")(url, "json"_a = nb::dict(), "headers"_a = headers,
                                               "timeout"_a = kApiTimeout);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        nb::object note = nb::str("No platform answered at {}: the address of the job API is taken from the "
                                  "environment variable TESSEL_API_URL; check that it is set to a running platform.")
                              .format(url);
        e.value().attr("add_note")(note);
        throw;
    }
}

nb::object ended_job_result(nb::handle self, nb::handle job_id, nb::handle answer) {
    nb::object status = answer[str<"status">()];
    nb::object message = answer[str<"message">()];
    nb::object result_url = answer[str<"result_url">()];
    log("debug", nb::str("The {} ended with status \"{}\"").format(job_name(self, job_id), status));

    if (status.not_equal(nb::str("SUCCESS"))) {
        self.attr("_handle_generic_error")(message, status);
        self.attr("_handle_execution_error")(message);
        bind::raise_with_note(g("ExecutionError"), nb::str("Something went wrong during the execution."),
                              nb::str("The {} ended with status \"{}\"; the worker said: {}")
                                  .format(job_name(self, job_id), status, message));
    }
    nb::object queue = self.attr("_queue_name");
    if (queue.equal(nb::str("scia")) || queue.equal(nb::str("idearcs")))
        return g("_StreamedDict").attr("from_url")(result_url);

    nb::object response = session("session_with_retries_no_read")
                              .attr("get")(result_url, "headers"_a = g("_get_requests_user_agent_header")(),
                                           "timeout"_a = transfer_timeout());
    if (!is_status(response, 200))
        bind::raise_with_note(PyExc_ValueError, nb::str("Result can not be obtained"),
                              http_evidence("GET", result_url, response));
    return g("json").attr("loads")(response.attr("content").attr("decode")("utf-8"));
}

void execute(nb::handle self, nb::handle timeout) {
    nb::object token = context().attr("job_token");
    if (token.is_none())
        bind::raise_with_note(PyExc_OSError, nb::str("Job token is not initialized"),
                              nb::str("Set the environment variable TESSEL_JOB_TOKEN to the job token "
                                      "(or assign tessel.core._Context.job_token)."));
    check_timeout(self, timeout);
    nb::dict headers = bind::merged(
        {g("_get_requests_authorization_header")(token), g("_get_requests_user_agent_header")()});

    nb::str create_url = jobs_url(self);
    nb::object created = create_job(create_url, headers);
    if (is_status(created, 404))
        bind::raise_with_note(PyExc_ConnectionError, created.attr("json")()[str<"detail">()],
                              http_evidence("POST", create_url, created));
    if (!is_status(created, 200))
        bind::raise_with_note(PyExc_ConnectionError, nb::str("External program is not accessible"),
                              http_evidence("POST", create_url, created));
    nb::object job = created.attr("json")();
    nb::object job_id = job[str<"id">()];
    nb::object upload_url = job[str<"upload_url">()];
    nb::object upload_data = job[str<"upload_data">()];
    debug(self, job_id, "Created {}");

    nb::object content = self.attr("_get_job_content")("timeout"_a = timeout);
    self.attr("_upload_job_content")("upload_url"_a = upload_url, "upload_data"_a = upload_data,
                                     "job_content"_a = content);
    debug(self, job_id, "Uploaded the content of {}");

    session("session_with_retries")
        .attr("post")(job_url(self, job_id, "/start/"), "headers"_a = headers, "timeout"_a = kApiTimeout);
    debug(self, job_id, "Started {}");
    g("time").attr("sleep")(kStartPause);

    nb::object wait_times = g("_get_wait_times_for_stepwise_polling")("minimum_interval"_a = kMinimumPollInterval);
    nb::object start_time = g("time").attr("time")();
    nb::object result = nb::none();
    nb::str poll_url = job_url(self, job_id, "");
    std::size_t polls = 0;
    while ((g("time").attr("time")() - start_time) < timeout) {
        nb::object answer = session("session_with_retries")
                                .attr("get")(poll_url, "headers"_a = headers, "timeout"_a = kApiTimeout);
        ++polls;
        if (is_status(answer, 200)) {
            result = ended_job_result(self, job_id, answer.attr("json")());
            break;
        }
        if (!is_status(answer, 404))
            bind::raise_with_note(PyExc_ValueError, nb::str("Unexpected error"),
                                  http_evidence("GET", poll_url, answer));
        nb::object wait_time = bind::next(wait_times);
        log("info", nb::str("External analysis not yet finished, waiting {} seconds to retry...").format(wait_time));
        g("time").attr("sleep")(wait_time);
    }
    if (result.is_none()) {
        nb::str note = nb::str("The {} had not ended after {} polls; it is left to the platform")
                           .format(job_name(self, job_id), polls);
        log("debug", note);
        bind::raise_with_note(PyExc_TimeoutError,
                              nb::str("Timeout: external analysis has taken longer than {} seconds").format(timeout),
                              note);
    }
    log("info", nb::str("External analysis completed successfully, returning results"));
    nb::setattr(self, str<"_result_content">(), result);
}

void handle_generic_error(nb::handle self, nb::handle message, nb::handle status) {
    nb::object error = g("ExecutionError");
    nb::object removing = nb::make_tuple("Error removing files, please check worker permissions", error);
    nb::dict by_message;
    by_message["Error creating directory"] =
        nb::make_tuple("Error creating directory, please check worker permissions", error);
    by_message["Remove files error 1"] = removing;
    by_message["Remove files error 2"] = removing;
    by_message["Remove files error 3"] = removing;

    nb::dict by_status;
    by_status["CONTENT_VERSION_NOT_SUPPORTED_ERROR"] = nb::make_tuple(
        nb::str("Current worker version does not support the feature you are requesting on '{}'. "
                "Please contact TESSEL to receive the latest worker.")
            .format(self.attr("__class__").attr("__name__")),
        error);

    // A key missing from a table counts as a row with no exception type.
    nb::object no_row = nb::make_tuple("", nb::none());
    for (auto [table, key] : {std::pair{by_message, message}, std::pair{by_status, status}}) {
        nb::object row = table.attr("get")(key, no_row);
        nb::object exc_type = row[1];
        if (!exc_type.is_none()) bind::raise(exc_type, row[0]);
    }
}

}  // namespace

void add_job_lifecycle(bind::ClassBuilder& cls) {
    cls.def("execute", &execute, "timeout"_p = 25,
            "Run method to start an external analysis using a TESSEL worker.\n\n"
            ".. note:: This method needs to be mocked in (automated) unit and integration tests.\n\n"
            ":param timeout: Timeout period in seconds\n\n"
            ":raises TimeoutError: when timeout is exceeded\n"
            ":raises ConnectionError: if no worker installed or connected\n"
            ":raises ExecutionError: if the external program cannot execute with the provided inputs")
        .def("_handle_generic_error", &handle_generic_error, "message"_p, "status"_p,
             "Error mapping applicable for all workers.");
}

}  // namespace tessel::offload_task
