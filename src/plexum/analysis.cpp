// PlexumAnalysis: ships a Model to the queue "plexum" with a results request,
// to be built (and calculated) by Plexum, and reads back the results, the
// model file and the result file.
#include "plexum/model.h"
#include "plexum/objects.h"

#include "bind/buffers.h"

namespace tessel::plexum {
namespace {

constexpr const char* kClassDoc =
    "Perform an analysis using Plexum on a remote server by means of a worker.\n"
    "\n"
    "Usage::\n"
    "\n"
    "    model = Model()\n"
    "    ...  # build the model through its interfaces\n"
    "    analysis = PlexumAnalysis(model, return_results=True, return_model=True)\n"
    "    analysis.execute(timeout=60)\n"
    "    results = analysis.get_results()\n"
    "    model_file = analysis.get_model_file()\n"
    "    result_file = analysis.get_result_file()\n"
    "\n"
    "Exceptions which can be raised during calculation:\n"
    "\n"
    "    - ExecutionError: generic error. Error message provides more information\n";

constexpr const char* kInitDoc =
    ":param model: the Plexum model to build (held by reference: changes made to it until the job content is "
    "generated are included)\n"
    ":param return_results: if True, an analysis will be run and the result file is returned\n"
    ":param return_model: if True, the model file is returned\n"
    ":param report_template: optional report template (BytesIO or File) that the worker adds to the Plexum file";

constexpr const char* kBothFalse = "At least one of 'return_results' or 'return_model' should be True.";

// The class itself, as `super()` in a Python method finds it.
bind::PerModule<nb::object> analysis_class;

nb::object super_of(nb::handle self) {
    return nb::steal(bind::check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                               analysis_class->ptr(), self.ptr(), nullptr)));
}

void init(nb::handle self, nb::handle model, nb::handle return_results, nb::handle return_model,
          nb::handle report_template) {
    super_of(self).attr("__init__")("queue_name"_a = "plexum", "version"_a = 1);
    nb::setattr(self, str<"_model">(), model);
    nb::setattr(self, str<"_return_results">(), return_results);
    nb::setattr(self, str<"_return_model">(), return_model);
    nb::setattr(self, str<"_report_template">(), report_template);
}

// The worker's command for the two switches, each tested for truth.
nb::object command_of(nb::handle self) {
    const bool results = bind::truthy(self.attr("_return_results"));
    const bool model = bind::truthy(self.attr("_return_model"));
    if (results) return nb::str(model ? "RunReturnModel" : "Run");
    if (model) return nb::str("CreateModel");
    bind::raise(PyExc_ValueError, kBothFalse);
}

// The job content goes straight from `_generate_job_content` to the upload
// while the analysis is this module's own class and every method on that way
// is the original: nothing else can see it then, so the model may be shipped
// as JSON text written from its records (see serialized_for_shipping).
const bind::Guard shipping_guard{
    nullptr, {"execute", "_generate_job_content", "_get_job_content", "_upload_job_content"}, {"execute"}};

// The analysis whose execute is running on this thread, for the first
// _generate_job_content it calls.
thread_local PyObject* shipping = nullptr;

class Shipping {
public:
    explicit Shipping(nb::handle self) : previous_(shipping) { shipping = self.ptr(); }
    ~Shipping() { shipping = previous_; }
    Shipping(const Shipping&) = delete;
    Shipping& operator=(const Shipping&) = delete;

private:
    PyObject* previous_;
};

// Whether this call of _generate_job_content is the one execute makes on its
// way to the upload, with nothing in between that could look at the content.
bool ships_directly(nb::handle self) {
    if (shipping != self.ptr()) return false;
    shipping = nullptr;  // one job content per execute
    if (!shipping_guard.holds_for(Py_TYPE(self.ptr()))) return false;
    nb::object dict = instance_dict(self);
    for (nb::handle name : {str<"_generate_job_content">(), str<"_get_job_content">(), str<"_upload_job_content">()})
        if (has_own(dict, name)) return false;
    return true;
}

// Refuses the switches before any platform request: otherwise the job would
// be created on the platform first and then left there, never started.
nb::object execute(nb::handle self, nb::handle timeout) {
    command_of(self);
    Shipping shipping_now(self);
    return super_of(self).attr("execute")("timeout"_a = timeout);
}

nb::object generate_job_content(nb::handle self) {
    const bool direct = ships_directly(self);
    nb::object command = command_of(self);
    nb::object model = self.attr("_model");

    nb::dict results;
    results[str<"LoadCombinations">()] = ids_of(model.attr("load_combinations"));
    results[str<"LoadCases">()] = ids_of(model.attr("load_cases"));
    bind::check(PyDict_Update(results.ptr(), model.attr("results").attr("_serialize")().ptr()));

    nb::object template_bytes;
    nb::object report_template = self.attr("_report_template");
    if (bind::truthy(report_template)) {
        template_bytes = bind::isinstance(report_template, g("BytesIO")) ? report_template.attr("getvalue")()
                                                                          : report_template.attr("getvalue_binary")();
    }
    // Serialising appends the linear analysis: after the command was chosen
    // and the request built, before the template is encoded.
    nb::object serialized = direct ? serialized_for_shipping(model) : model.attr("_serialize")();
    if (!template_bytes.is_valid())
        return g("_JobContent")("Model"_a = serialized, "Results"_a = results, "command"_a = command);
    nb::object encoded = g("base64").attr("b64encode")(template_bytes).attr("decode")("utf-8");
    return g("_JobContent")("Model"_a = serialized, "Results"_a = results, "command"_a = command,
                            "report_template"_a = encoded);
}

nb::dict get_results(nb::handle self) {
    nb::dict results;
    nb::object content = self.attr("_get_result_content")();
    for (nb::handle item : content.attr("items")()) {
        nb::object key = item[0];
        if (key.equal(str<"ModelFile">()) || key.equal(str<"ResultFile">())) continue;
        results[key] = item[1];
    }
    return results;
}

nb::object file_member(nb::handle self, const char* flag, const char* message, nb::handle key, nb::handle as_file) {
    if (!bind::truthy(self.attr(flag))) bind::raise(PyExc_ValueError, message);
    nb::object body = g("_get_file_body")(self.attr("_get_result_content")()[key]);
    if (!body.is_none() && bind::truthy(as_file)) return g("File").attr("from_data")(body.attr("getvalue")());
    return body;
}

nb::object get_model_file(nb::handle self, nb::handle as_file) {
    return file_member(self, "_return_model", "The model is not available when return_model = False",
                       str<"ModelFile">(), as_file);
}

nb::object get_result_file(nb::handle self, nb::handle as_file) {
    return file_member(self, "_return_results", "The result file is not available when return_results = False",
                       str<"ResultFile">(), as_file);
}

}  // namespace

void populate_analysis(nb::module_&) {
    nb::object cls =
        bind::ClassBuilder(g, "PlexumAnalysis", kClassDoc)
            .base(g("OffloadTask"))
            .def("__init__", &init, "model"_p, nb::kw_only(), "return_results"_p = true, "return_model"_p = false,
                 "report_template"_p = nb::none(), kInitDoc)
            .def("execute", &execute, "timeout"_p = 25,
                 "Run the analysis on a TESSEL worker (see OffloadTask.execute); refuses both switches False "
                 "before anything is sent.\n\n"
                 ".. note:: This method needs to be mocked in (automated) unit and integration tests.\n\n"
                 ":param timeout: Timeout period in seconds")
            .def("_generate_job_content", &generate_job_content,
                 "The job content: the serialised model (\"Model\"), the results request (\"Results\"), the "
                 "command and, with a template, the report template as Base64 text.")
            .def("get_results", &get_results,
                 "Retrieve the results (only if return_results = True)\n\n"
                 "Call `execute` first. Returns a dictionary with the entries \"Forces\", \"Displacements\" and "
                 "\"Sections\".")
            .def("get_model_file", &get_model_file, nb::kw_only(), "as_file"_p = false,
                 "The model file written by Plexum (only if return_model = True); call `execute` first.\n\n"
                 ":param as_file: Return as BytesIO (default) or File ::version(v13.5.0)")
            .def("get_result_file", &get_result_file, nb::kw_only(), "as_file"_p = false,
                 "The result file written by Plexum (only if return_results = True); call `execute` first.\n\n"
                 ":param as_file: Return as BytesIO (default) or File ::version(v13.5.0)")
            .build();
    *analysis_class = cls;
    shipping_guard.capture(cls);
}

}  // namespace tessel::plexum
