// _StreamedDict: result content kept in a File instead of parsed whole.
// The streamed reading itself is added with the byte-search core; here is the
// part the job life cycle needs (construction from the result URL).
#include "offload_task/offload_task.h"

namespace tessel::offload_task {

void populate_streamed_dict(nb::module_&) {
    bind::ClassBuilder(g, "_StreamedDict",
                       "Helper class that can be used in OffloadTask.execute to save the _result_content, so that "
                       "it can be handled\nboth as a dict (backward compatibility), or streamed, to cope with large "
                       "files.")
        .def(
            "__init__",
            [](nb::handle self, nb::handle file, nb::handle encoding) {
                nb::setattr(self, str<"_file">(), file);
                nb::setattr(self, str<"_encoding">(), encoding);
                nb::setattr(self, str<"_keys">(), nb::none());
            },
            "file"_p, "encoding"_p = "utf-8")
        .def_classmethod(
            "from_url",
            [](nb::handle cls, nb::handle url, nb::handle encoding) {
                nb::object file = g("File").attr("from_url")(url).attr("copy")();
                return cls(file, "encoding"_a = encoding);
            },
            "url"_p, "encoding"_p = "utf-8", "Download the result content at `url` into a File and wrap it.")
        .def_property(
            "encoding", [](nb::handle self) { return nb::getattr(self, str<"_encoding">()); },
            "Text encoding of search strings and streamed values.")
        .build();
}

}  // namespace tessel::offload_task
