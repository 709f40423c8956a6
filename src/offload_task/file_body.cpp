// File bodies in result content: Base64 text back to bytes, and the D-Series
// members "files" and "body".
#include "offload_task/offload_task.h"

namespace tessel::offload_task {
namespace {

nb::object get_file_body(nb::handle file_content, nb::handle encoding) {
    if (file_content.equal(nb::str(""))) {
        log("error", g("RESULT_CONTENT_NOT_PRESENT"));
        return nb::none();
    }
    nb::object raw = g("base64").attr("b64decode")(file_content.attr("encode")(encoding));
    return g("io").attr("BytesIO")(raw);
}

nb::object get_dseries_file_body(nb::handle result_content, nb::handle extension) {
    if (bind::check(PySequence_Contains(result_content.ptr(), str<"files">().ptr()))) {
        for (nb::handle file : result_content[str<"files">()]) {
            if (file[str<"extension">()].equal(extension)) return g("_get_file_body")(file[str<"body">()]);
        }
        nb::str message = nb::str("No file with extension '{}' returned by analysis").format(extension);
        log("error", message);
        return nb::none();
    }
    if (bind::check(PySequence_Contains(result_content.ptr(), str<"body">().ptr())))
        return g("_get_file_body")(result_content[str<"body">()]);
    log("error", g("RESULT_CONTENT_NOT_PRESENT"));
    return nb::none();
}

}  // namespace

void populate_file_body(nb::module_& m) {
    bind::def_function(g, "_get_file_body", &get_file_body, "file_content"_p, "encoding"_p = "utf-8",
          "Method checks the null value of the file content and returns the corresponding file body.\n\n"
          "The null value is the empty text: it is logged and None is returned. Otherwise the text is "
          "encoded with `encoding`, Base64-decoded and returned as a BytesIO positioned at 0.");
    bind::def_function(g, "_get_dseries_file_body", &get_dseries_file_body, "result_content"_p, "extension"_p,
          "Return the file body of D-Series result content: the first entry of \"files\" whose "
          "\"extension\" matches, else the \"body\" member; None (after an error log line) when there "
          "is neither.");

    const char* cannot_complete =
        "Cannot complete D-series analysis, please check program on external calculation server";
    const std::pair<const char*, const char*> rows[] = {
        {"Something went wrong in killing D-series after it got stuck", cannot_complete},
        {"An error occured when running D-series", cannot_complete},
        {"Dseries got stuck after access violation error", cannot_complete},
        {"D-Series did not start properly. Check correctness of input file and installation",
         "Cannot start program, please check external calculation server and input file"},
        {"D-Series output file was removed unexpectedly",
         "Unable to read output file, please check external program and worker installation"},
        {"D-Series application is stuck", cannot_complete},
    };
    nb::dict table;
    for (const auto& [message, text] : rows) table[message] = nb::make_tuple(nb::str(text), g("ExecutionError"));
    m.attr("_dseries_exception_map") = table;
}

}  // namespace tessel::offload_task
