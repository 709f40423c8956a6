// Upload of the job content, and the chunked file copy that streamed job
// content uses to embed files.
#include "offload_task/offload_task.h"

#include "bind/json.h"

#include "bind/buffers.h"

namespace tessel::offload_task {
namespace {

// 3**10: a multiple of 3, so every chunk but the last Base64-encodes without
// padding and the pieces concatenate to the encoding of the whole file.
constexpr Py_ssize_t kCopyChunk = 59049;

void upload_job_content(nb::handle upload_url, nb::handle upload_data, nb::handle job_content) {
    nb::object headers = g("_get_requests_user_agent_header")();
    nb::object timeout = transfer_timeout();
    nb::object response;
    if (bind::isinstance(job_content, g("File"))) {
        bind::with_context(job_content.attr("open_binary")(), [&](nb::handle r) {
            nb::object m = g("_MultipartEncoder")(upload_data, r);
            nb::dict content_type;
            content_type["Content-Type"] = m.attr("content_type");
            response = g("_Context").attr("session_with_retries_no_read").attr("post")(
                upload_url, "data"_a = m, "timeout"_a = timeout, "headers"_a = bind::merged({content_type, headers}));
        });
    } else {
        nb::bytes file_content = bind::json_dumps_bytes(job_content, g("json").attr("dumps"));
        nb::dict files;
        files["file"] = file_content;
        response = g("_Context").attr("session_with_retries_no_read").attr("post")(
            upload_url, "data"_a = upload_data, "timeout"_a = timeout, "headers"_a = headers, "files"_a = files);
    }
    if (!response.attr("status_code").equal(nb::int_(204)))
        bind::raise_with_note(PyExc_ValueError, nb::str("Sending job to external program has failed."),
                              http_evidence("POST", upload_url, response));
}

void write_file_content_to_file(nb::handle file_to, nb::handle file_from, nb::handle encoding,
                                nb::handle base64_encoding) {
    nb::object position = file_from.attr("tell")();
    file_from.attr("seek")(0);
    // An incremental decoder keeps a multi-byte character that straddles two
    // chunks whole instead of failing on either half.
    nb::object decoder = g("codecs").attr("getincrementaldecoder")(encoding)();
    const bool encode = bind::truthy(base64_encoding);
    nb::object write = file_to.attr("write");
    nb::object read = file_from.attr("read");
    while (true) {
        nb::object chunk = read(kCopyChunk);
        if (!bind::truthy(chunk)) break;
        if (encode) chunk = bind::base64_bytes(chunk);
        nb::object text = decoder.attr("decode")(chunk);
        if (bind::truthy(text)) write(text);
    }
    nb::object rest = decoder.attr("decode")(nb::bytes(""), "final"_a = true);
    if (bind::truthy(rest)) write(rest);
    file_from.attr("seek")(position);
}

}  // namespace

void add_upload(bind::ClassBuilder& cls) {
    cls.def_static("_upload_job_content", &upload_job_content, "upload_url"_p, "upload_data"_p, "job_content"_p,
                   "Upload the job content to the place the platform named: a File is streamed as a multipart "
                   "form, a dictionary is sent as the JSON form file \"file\".")
        .def_static("_write_file_content_to_file", &write_file_content_to_file, "file_to"_p, "file_from"_p,
                    nb::kw_only(), "encoding"_p = "utf-8", "base64_encoding"_p = false,
                    "Write the content of file_from to file_to in chunks.\n\n"
                    ":param file_to: text stream to write to\n"
                    ":param file_from: binary stream to read from\n"
                    ":param encoding: encoding of bytes -> str\n"
                    ":param base64_encoding: base64 encode the content");
}

}  // namespace tessel::offload_task
