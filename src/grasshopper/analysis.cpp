// GrasshopperAnalysis: the queue, the job content ("algo", "pointer",
// "values") and the solve output of a Grasshopper job.
#include "grasshopper/grasshopper.h"

#include "bind/buffers.h"

namespace tessel::grasshopper {
namespace {

constexpr const char* kClassDoc =
    " ::version(v14.8.0)\n"
    "\n"
    "Perform an analysis using Grasshopper on a remote server by means of a worker.\n"
    "\n"
    "Usage::\n"
    "\n"
    "    analysis = GrasshopperAnalysis(script=script, input_parameters=input_parameters)\n"
    "    analysis.execute(timeout=10)\n"
    "    output = analysis.get_output()\n"
    "\n"
    "Exceptions which can be raised during calculation:\n"
    "\n"
    "    - ExecutionError: generic error. Error message provides more information\n";

constexpr const char* kInitDoc =
    ":param script: Grasshopper script (.gh)\n"
    ":param input_parameters: Key names will be matched with the Hops parameter names in Grasshopper and "
    "substituted accordingly";

constexpr const char* kGetOutputDoc =
    "Get the output of the Grasshopper analysis. Call `execute` first and `get_output` afterward.\n"
    "\n"
    "The output has the form::\n"
    "\n"
    "    {\n"
    "        \"absolutetolerance\": float,\n"
    "        \"angletolerance\": float,\n"
    "        \"modelunits\": str,\n"
    "        \"algo\": str,\n"
    "        \"pointer\": str,\n"
    "        \"cachesolve\": bool,\n"
    "        \"recursionlevel\": int,\n"
    "        \"values\": list of dict,\n"
    "        \"warnings\": list of str,\n"
    "        \"errors\": list of str,\n"
    "    }";

// The class itself, as `super()` in a Python method finds it: from where the
// method was defined, not through the module global.
bind::PerModule<nb::object> analysis_class;

void init(nb::handle self, nb::handle script, nb::handle input_parameters) {
    nb::object parent = nb::steal(bind::check(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PySuper_Type), analysis_class->ptr(), self.ptr(), nullptr)));
    parent.attr("__init__")("queue_name"_a = "grasshopper", "version"_a = 1);
    nb::setattr(self, str<"script">(), script);
    nb::object parameters = bind::truthy(input_parameters) ? nb::borrow(input_parameters) : nb::object(nb::dict());
    nb::setattr(self, str<"_input_trees">(), g("_convert_dict_to_gh_trees")(parameters));
}

nb::object generate_job_content(nb::handle self) {
    nb::object algo = bind::base64_str(self.attr("script").attr("getvalue_binary")());
    nb::list values;
    for (nb::handle tree : self.attr("_input_trees")) values.append(tree.attr("data"));
    return g("_JobContent")("algo"_a = algo, "pointer"_a = nb::none(), "values"_a = values);
}

nb::object get_output(nb::handle self) { return self.attr("_get_result_content")()[str<"output">()]; }

}  // namespace

void populate_analysis(nb::module_&) {
    nb::object cls = bind::ClassBuilder(g, "GrasshopperAnalysis", kClassDoc)
                         .base(g("OffloadTask"))
                         .def("__init__", &init, nb::kw_only(), "script"_p, "input_parameters"_p = nb::none(), kInitDoc)
                         .def("_generate_job_content", &generate_job_content,
                              "The job content: the definition as Base64 text (\"algo\"), no pointer, and the "
                              "input trees (\"values\").")
                         .def("get_output", &get_output, kGetOutputDoc)
                         .build();
    *analysis_class = cls;
}

}  // namespace tessel::grasshopper
