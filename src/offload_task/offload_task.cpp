// OffloadTask: construction, job content and access to the stored result.
#include "offload_task/offload_task.h"

namespace tessel::offload_task {
namespace {

nb::object job_content(nb::handle self) {
    nb::object generated = self.attr("_generate_job_content")();
    if (!bind::isinstance(generated, g("_JobContent")))
        bind::raise(PyExc_TypeError, nb::str("{}._generate_job_content() must return a _JobContent, not {}")
                                         .format(self.type().attr("__qualname__"), generated.type().attr("__qualname__")));
    nb::object content = generated.attr("_serialize")();
    nb::dict result = bind::merged({content});
    result[str<"version">()] = self.attr("_version");
    return result;
}

nb::object get_job_content(nb::handle self, nb::handle timeout) {
    if (!bind::truthy(self.attr("_multipart_job_content"))) {
        nb::dict result = bind::merged({self.attr("_job_content")});
        result[str<"execution_timeout">()] = timeout;
        return result;
    }
    nb::object file = g("File")();
    bind::with_context(file.attr("open")("encoding"_a = "utf-8"), [&](nb::handle w) {
        w.attr("write")("{");
        self.attr("_write_job_content")(w);
        nb::str tail = nb::str(", \"version\": {}, \"execution_timeout\": {}}}").format(self.attr("_version"), timeout);
        w.attr("write")(tail);
    });
    return file;
}

nb::object get_result_content(nb::handle self) {
    nb::object content = self.attr("_result_content");
    if (content.is_none()) {
        nb::object message = g("RESULT_CONTENT_NOT_PRESENT");
        log("error", message);
        bind::raise(PyExc_ValueError, message);
    }
    return content;
}

nb::object get_result(nb::handle self, nb::handle key, nb::handle as_file, nb::handle base64_decode) {
    nb::object content = self.attr("_get_result_content")();
    if (bind::truthy(as_file) && bind::isinstance(content, g("_StreamedDict")))
        return content.attr("get_value_as_file")(key, "base64_decode"_a = base64_decode);
    return g("_get_file_body")(content[key]);
}

}  // namespace

void populate_offload_task(nb::module_&) {
    bind::ClassBuilder cls(g, "OffloadTask",
                           "Base-class of an external analysis.\n\n"
                           ".. warning:: Do not use this class directly in an application!");
    cls.base(g("ABC"))
        .attr("_multipart_job_content", nb::bool_(false))
        .def(
            "__init__",
            [](nb::handle self, nb::handle queue_name, nb::handle version) {
                nb::setattr(self, str<"_queue_name">(), queue_name);
                nb::setattr(self, str<"_result_content">(), nb::none());
                nb::setattr(self, str<"_version">(), version);
            },
            "queue_name"_p, "version"_p,
            ":param queue_name: name of the external integration\n"
            ":param version: Version of the API between SDK <-> worker")
        .def_property("_job_content", &job_content,
                      "The serialised subclass content followed by \"version\" (which replaces a subclass "
                      "\"version\" in place).")
        .def(
            "_generate_job_content", [](nb::handle) -> nb::object { bind::raise(PyExc_NotImplementedError); },
            "The specific job content should be generated in the class inheriting this baseclass.")
        .def(
            "_write_job_content", [](nb::handle, nb::handle) { bind::raise(PyExc_NotImplementedError); }, "w"_p,
            "Write without the opening and closing bracket!")
        .def("_get_job_content", &get_job_content, "timeout"_p,
             "The job content as uploaded: a File written as a stream when _multipart_job_content is set, "
             "else a dictionary; both end with \"version\" and \"execution_timeout\".")
        .def(
            "_handle_execution_error", [](nb::handle, nb::handle) {}, "message"_p,
            "Hook for subclasses: raise an exception for the worker's message of a failed job. "
            "The base does nothing.")
        .def("_get_result_content", &get_result_content,
             "The stored result content; ValueError when execute() has not succeeded yet.")
        .def("_get_result", &get_result, "key"_p, nb::kw_only(), "as_file"_p, "base64_decode"_p = true,
             "The file body under `key`: a File streamed out of a _StreamedDict when `as_file` is set, "
             "else a BytesIO of the Base64-decoded value.");
    add_job_lifecycle(cls);
    add_upload(cls);
    cls.build();
}

}  // namespace tessel::offload_task
