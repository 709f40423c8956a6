// What the platform said, for the notes of the errors whose messages are fixed
// texts: the request, the status and the start of the body.
#include "offload_task/offload_task.h"

namespace tessel::offload_task {
namespace {

// Characters of a response body kept in a note.
constexpr Py_ssize_t kBodyExcerpt = 500;

// The address without its query: signed storage addresses carry their
// credentials there.
nb::str without_query(nb::handle url) {
    nb::str text = bind::text_of(url);
    return nb::str(text.attr("partition")("?")[0]);
}

nb::str body_excerpt(nb::handle response) {
    nb::object body = nb::getattr(response, "content", nb::none());
    nb::object text;
    if (PyBytes_Check(body.ptr()) || PyByteArray_Check(body.ptr()))
        text = body.attr("decode")("utf-8", "replace");
    else if (PyUnicode_Check(body.ptr()))
        text = body;
    else
        return nb::str("(no body)");
    const Py_ssize_t length = nb::len(text);
    if (length == 0) return nb::str("(empty body)");
    if (length <= kBodyExcerpt) return nb::str(text);
    nb::object head = text[nb::slice(nb::int_(0), nb::int_(kBodyExcerpt), nb::none())];
    return nb::str("{}... ({} characters in all)").format(head, length);
}

}  // namespace

nb::str http_evidence(const char* verb, nb::handle url, nb::handle response) {
    return nb::str("{} {} answered HTTP {}: {}")
        .format(verb, without_query(url), nb::getattr(response, "status_code", nb::none()), body_excerpt(response));
}

}  // namespace tessel::offload_task
