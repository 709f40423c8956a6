// _StreamedDict: result content kept in a File and read either as a
// dictionary (parsed on demand) or streamed: one member found by scanning the
// file and handed out in pieces, or written Base64-decoded (and gunzipped)
// into a new File. The byte work is the core's; this file wires it to the
// Python objects.
#include "offload_task/offload_task.h"

#include "bind/buffers.h"

#include "bind/file_io.h"
#include "bind/generator.h"
#include "tessel/core/base64.h"
#include "tessel/core/gzip.h"
#include "tessel/core/search.h"

#include <nanobind/stl/string.h>

#include <memory>
#include <optional>
#include <string>

namespace tessel::offload_task {
namespace {

namespace search = core::search;

constexpr long kBase64MinDecodeChunk = 4;
constexpr long kBufferSize = 65536;

std::int64_t as_int64(nb::handle value) {
    nb::object index = nb::steal(bind::check(PyNumber_Index(value.ptr())));
    const long long v = PyLong_AsLongLong(index.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// Runs core work, raising its errors as the Python errors they stand for
// (a gzip stream that does not inflate as the zlib module's error).
void run_core(const std::function<void()>& body) {
    try {
        bind::translating_core_errors(body);
    } catch (const core::gzip::GzipError& e) {
        bind::raise(g("zlib").attr("error"), e.what());
    }
}

// The canonical name of a text encoding ("utf-8" for "UTF8", "utf_8", ...).
std::string codec_name(nb::handle encoding) {
    return nb::cast<std::string>(g("codecs").attr("lookup")(encoding).attr("name"));
}

// ------------------------------------------------------------- word search

// The documented search read literally with Python calls, for words that are
// not bytes-like (text streams searched with str words).
nb::object find_word_position_generic(nb::handle file, nb::handle word, nb::handle start, nb::handle buffer_size) {
    nb::object length = nb::int_(nb::len(word));
    if (buffer_size < length) bind::raise(PyExc_ValueError, search::BufferTooSmall().what());
    file.attr("seek")(0, g("io").attr("SEEK_END"));
    nb::object file_size = file.attr("tell")();
    file.attr("seek")(start);
    nb::object overlap = length - nb::int_(1);
    while (true) {
        nb::object t = file.attr("tell")();
        if (overlap <= t && t < file_size) file.attr("seek")(t - overlap);
        nb::object buffer = file.attr("read")(buffer_size);
        if (!bind::truthy(buffer)) return nb::int_(-1);
        nb::object p = buffer.attr("find")(word);
        if (!p.equal(nb::int_(-1))) return file.attr("tell")() - nb::int_(nb::len(buffer)) + p;
    }
}

nb::object find_word_position(nb::handle file, nb::handle word, nb::handle start, nb::handle buffer_size) {
    if (!PyObject_CheckBuffer(word.ptr())) return find_word_position_generic(file, word, start, buffer_size);
    const std::int64_t from = as_int64(start);
    const std::int64_t size = as_int64(buffer_size);
    bind::BufferView w(word);
    bind::PyByteSource source(file);
    std::int64_t position = -1;
    run_core([&] { position = search::find_word_position(source, w.bytes(), from, size); });
    return nb::int_(position);
}

// ------------------------------------------------------ stream between strings

nb::str could_not_find(nb::handle what) { return nb::str("Could not find {} in file.").format(what); }

class BetweenStrings final : public bind::GeneratorBody {
public:
    BetweenStrings(nb::handle cls, nb::handle file, nb::handle from, nb::handle to, nb::handle start,
                   nb::handle buffer_size)
        : cls_(nb::borrow(cls)), file_(nb::borrow(file)), from_(nb::borrow(from)), to_(nb::borrow(to)),
          start_(nb::borrow(start)), buffer_size_(nb::borrow(buffer_size)) {}

    nb::object next() override {
        if (!opened_) open();
        if (!binary_) return next_generic();
        nb::object piece;
        run_core([&] {
            const std::size_t n = reader_->next_size();
            if (n != 0) piece = bind::make_bytes(n, [&](std::span<std::uint8_t> out) { return reader_->read(out); });
        });
        if (!piece.is_valid() || nb::len(piece) == 0) return {};
        return piece;
    }

private:
    nb::object search(nb::handle word, nb::handle start) {
        return cls_.attr("_find_word_position")(file_, word, "start"_a = start, "buffer_size"_a = buffer_size_);
    }

    void open() {
        opened_ = true;
        nb::object begin = search(from_, start_);
        if (begin.equal(nb::int_(-1))) bind::raise(PyExc_ValueError, could_not_find(from_));
        begin = begin + nb::int_(nb::len(from_));
        nb::object end;
        if (bind::truthy(to_)) {
            end = search(to_, begin);
            if (end.equal(nb::int_(-1))) bind::raise(PyExc_ValueError, could_not_find(to_));
        } else {
            file_.attr("seek")(0, g("io").attr("SEEK_END"));
            end = file_.attr("tell")();
        }
        binary_ = PyObject_CheckBuffer(from_.ptr()) != 0;
        if (binary_) {
            source_.emplace(file_);
            reader_.emplace(*source_, as_int64(begin), as_int64(end), as_int64(buffer_size_));
        } else {
            file_.attr("seek")(begin);
            end_ = end;
        }
    }

    // Text streams: pieces read with Python calls; ends when the end is
    // reached or passed, or the stream has nothing more.
    nb::object next_generic() {
        nb::object n = end_ - file_.attr("tell")();
        if (buffer_size_ < n) n = buffer_size_;
        if (n <= nb::int_(0)) return {};
        nb::object piece = file_.attr("read")(n);
        if (!bind::truthy(piece)) return {};
        return piece;
    }

    int traverse(visitproc visit, void* arg) const override {
        for (const nb::object* o : {&cls_, &file_, &from_, &to_, &start_, &buffer_size_, &end_})
            Py_VISIT(o->ptr());
        return 0;
    }

    nb::object cls_, file_, from_, to_, start_, buffer_size_;
    bool opened_ = false;
    bool binary_ = true;
    std::optional<bind::PyByteSource> source_;
    std::optional<search::RangeReader> reader_;
    nb::object end_;
};

nb::object stream_between_strings(nb::handle cls, nb::handle file, nb::handle string_from, nb::handle string_to,
                                  nb::handle start, nb::handle buffer_size) {
    return bind::make_generator(std::make_unique<BetweenStrings>(cls, file, string_from, string_to, start, buffer_size));
}

// ------------------------------------------------------------ one value

// Decodes the pieces of a stream as one text: a character whose bytes are
// split between two pieces is kept whole. UTF-8 is decoded directly; other
// encodings through the codec's incremental decoder.
class TextDecoder {
public:
    explicit TextDecoder(nb::handle encoding) {
        if (codec_name(encoding) != "utf-8") decoder_ = g("codecs").attr("getincrementaldecoder")(encoding)();
    }

    nb::object decode(nb::handle piece) {
        if (decoder_.is_valid()) return decoder_.attr("decode")(piece);
        bind::BufferView view(piece);
        auto bytes = view.bytes();
        std::string joined;
        if (!carry_.empty()) {
            joined = carry_;
            joined.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            bytes = {reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size()};
        }
        Py_ssize_t consumed = 0;
        nb::object text = nb::steal(bind::check(PyUnicode_DecodeUTF8Stateful(
            reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()), "strict", &consumed)));
        carry_.assign(reinterpret_cast<const char*>(bytes.data()) + consumed, bytes.size() - static_cast<std::size_t>(consumed));
        return text;
    }

    // The rest at the end of the stream: a character left incomplete fails.
    nb::object finish() {
        if (decoder_.is_valid()) return decoder_.attr("decode")(nb::bytes(""), "final"_a = true);
        nb::object text = nb::steal(bind::check(
            PyUnicode_DecodeUTF8Stateful(carry_.data(), static_cast<Py_ssize_t>(carry_.size()), "strict", nullptr)));
        carry_.clear();
        return text;
    }

private:
    nb::object decoder_;
    std::string carry_;
};

class DictValue final : public bind::GeneratorBody {
public:
    DictValue(nb::handle self, nb::handle key, nb::handle buffer_size)
        : self_(nb::borrow(self)), key_(nb::borrow(key)), buffer_size_(nb::borrow(buffer_size)) {}

    nb::object next() override {
        if (done_) return {};
        if (!exit_.is_valid()) begin();
        if (done_) return {};  // the manager suppressed a failure while starting
        try {
            while (true) {
                PyObject* item = PyIter_Next(pieces_.ptr());
                if (item == nullptr) {
                    if (PyErr_Occurred()) throw nb::python_error();
                    nb::object rest = decoder_->finish();
                    done_ = true;
                    leave(nb::none(), nb::none(), nb::none());
                    return nb::len(rest) != 0 ? rest : nb::object();
                }
                nb::object text = decoder_->decode(nb::steal(item));
                if (nb::len(text) != 0) return text;
            }
        } catch (nb::python_error& e) {
            done_ = true;
            if (!exit_.is_valid()) throw;
            if (leave(e.type(), e.value(), bind::traceback_of(e))) return {};
            throw;
        } catch (...) {
            // A C++ failure: close the file, then let it pass.
            done_ = true;
            if (exit_.is_valid()) leave(nb::none(), nb::none(), nb::none());
            throw;
        }
    }

    bool stop(nb::handle exc) override {
        if (!exit_.is_valid()) return false;
        done_ = true;
        try {
            if (pieces_.is_valid() && nb::hasattr(pieces_, "close")) pieces_.attr("close")();
        } catch (nb::python_error& e) {
            if (leave(e.type(), e.value(), bind::traceback_of(e))) return true;
            throw;
        }
        return leave(exc.type(), exc, nb::none());
    }

private:
    // Opens the file as `with self._file.open_binary() as r`, finds the
    // member and starts the stream of its value.
    void begin() {
        nb::object encoding = self_.attr("_encoding");
        nb::object key_string = nb::steal(bind::check(PyNumber_Add(nb::str("\"").ptr(), key_.ptr())));
        key_string = nb::steal(bind::check(PyNumber_Add(key_string.ptr(), nb::str("\":").ptr())));
        key_string = key_string.attr("encode")(encoding);
        nb::object quotes = nb::str("\"").attr("encode")(encoding);

        auto [exit, r] = bind::enter_context(self_.attr("_file").attr("open_binary")());
        exit_ = exit;
        try {
            nb::object pos = self_.attr("_find_word_position")(r, key_string);
            if (pos.equal(nb::int_(-1)))
                bind::raise(PyExc_ValueError, nb::str("Could not find key {} in file").format(key_));
            nb::object pieces = self_.attr("_stream_between_strings")(
                r, quotes, quotes, "start"_a = pos + nb::int_(nb::len(key_string)), "buffer_size"_a = buffer_size_);
            pieces_ = nb::steal(bind::check(PyObject_GetIter(pieces.ptr())));
            decoder_.emplace(encoding);
        } catch (nb::python_error& e) {
            done_ = true;
            if (leave(e.type(), e.value(), bind::traceback_of(e))) {
                pieces_ = nb::object();
                return;
            }
            throw;
        }
    }

    int traverse(visitproc visit, void* arg) const override {
        for (const nb::object* o : {&self_, &key_, &buffer_size_, &exit_, &pieces_}) Py_VISIT(o->ptr());
        return 0;
    }

    // Leaves the `with` block; true when the manager suppressed the exception.
    bool leave(nb::handle type, nb::handle value, nb::handle traceback) {
        nb::object exit = std::move(exit_);
        exit_ = nb::object();
        pieces_ = nb::object();
        return bind::truthy(exit(type, value, traceback));
    }

    nb::object self_, key_, buffer_size_;
    nb::object exit_;    // valid while the file is open
    nb::object pieces_;  // the value's byte pieces
    std::optional<TextDecoder> decoder_;
    bool done_ = false;
};

nb::object stream_dict_value(nb::handle self, nb::handle key, nb::handle buffer_size) {
    return bind::make_generator(std::make_unique<DictValue>(self, key, buffer_size));
}

// ---------------------------------------------------------- value as a file

// The characters of a text piece as single bytes: ASCII as is, anything else
// as a byte the Base64 decoder refuses (such a value does not decode).
// `keep` holds the text when the piece had to be made into one.
std::span<const char> ascii_of(nb::handle piece, std::string& scratch, nb::object& keep) {
    PyObject* s = piece.ptr();
    if (!PyUnicode_Check(s)) {
        // What `pending += piece` would make of it; only text can be decoded.
        keep = nb::steal(bind::check(PyNumber_Add(nb::str("").ptr(), s)));
        if (!PyUnicode_Check(keep.ptr())) {
            PyErr_Format(PyExc_TypeError, "can only decode text, not \"%.200s\"", Py_TYPE(keep.ptr())->tp_name);
            throw nb::python_error();
        }
        s = keep.ptr();
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)), static_cast<std::size_t>(n)};
    scratch.resize(static_cast<std::size_t>(n));
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        scratch[static_cast<std::size_t>(i)] = c < 0x80 ? static_cast<char>(c) : '\x80';
    }
    return scratch;
}

// Writes the value under `key`, as streamed by `self.stream_dict_value`, to
// the binary writer `w`: Base64-decoded in the documented chunks and, with
// `inflate`, gunzipped; or else encoded as text.
void write_value(nb::handle self, nb::handle key, nb::handle w, bool base64, bool inflate) {
    bind::PyByteSink sink(w);
    nb::object pieces = nb::steal(bind::check(PyObject_GetIter(self.attr("stream_dict_value")(key).ptr())));
    auto each_piece = [&](const std::function<void(nb::handle)>& use) {
        while (PyObject* item = PyIter_Next(pieces.ptr())) use(nb::steal(item));
        if (PyErr_Occurred()) throw nb::python_error();
    };
    if (!base64) {
        nb::object encoding = self.attr("encoding");
        const bool utf8 = codec_name(encoding) == "utf-8";
        each_piece([&](nb::handle piece) {
            if (utf8 && PyUnicode_Check(piece.ptr())) {
                Py_ssize_t n = 0;
                const char* data = PyUnicode_AsUTF8AndSize(piece.ptr(), &n);
                if (data == nullptr) throw nb::python_error();
                sink.write({reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(n)});
            } else {
                w.attr("write")(piece.attr("encode")(encoding));
            }
        });
        return;
    }
    // _BASE64_MIN_DECODE_CHUNK ** 8, in Python's integers (it is a module
    // global, so it may have been patched).
    nb::object power = nb::steal(bind::check(
        PyNumber_Power(g("_BASE64_MIN_DECODE_CHUNK").ptr(), nb::int_(8).ptr(), Py_None)));
    nb::object index = nb::steal(bind::check(PyNumber_Index(power.ptr())));
    const Py_ssize_t chunk = PyLong_AsSsize_t(index.ptr());
    if (chunk == -1 && PyErr_Occurred()) throw nb::python_error();
    run_core([&] {
        std::optional<core::gzip::GzipInflater> inflater;
        if (inflate) inflater.emplace(sink);
        core::base64::ChunkedDecoder decoder(inflater ? static_cast<core::ByteSink&>(*inflater) : sink,
                                             static_cast<std::size_t>(std::max<Py_ssize_t>(chunk, 1)));
        std::string scratch;
        nb::object keep;
        each_piece([&](nb::handle piece) { decoder.write(ascii_of(piece, scratch, keep)); });
        decoder.finish();
        if (inflater) inflater->finish();
    });
}

// Removes the content of a File that is being dropped, so that a failed
// write leaves nothing behind.
void discard(nb::handle file) {
    try {
        g("os").attr("remove")(file.attr("source"));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

nb::object get_value_as_file(nb::handle self, nb::handle key, nb::handle base64_decode, nb::handle decompress) {
    const bool inflate = bind::truthy(decompress);
    const bool base64 = inflate || bind::truthy(base64_decode);
    nb::object file = g("File")();
    bool failed = false;
    try {
        bind::with_context(file.attr("open_binary")(), [&](nb::handle w) {
            try {
                write_value(self, key, w, base64, inflate);
            } catch (nb::python_error& e) {
                if (!e.matches(PyExc_ValueError)) throw;
                failed = true;
            }
        });
    } catch (...) {
        try {
            discard(file);
        } catch (nb::python_error&) {
            // the original failure is the one to report
        }
        throw;
    }
    if (failed) {
        discard(file);
        log("error", g("RESULT_CONTENT_NOT_PRESENT"));
        return nb::none();
    }
    nb::object result = g("File").attr("from_path")(file.attr("source"));
    // A File made for a path does not own it, while the written File deletes
    // its content when collected: the result keeps the writer alive.
    if (PyObject_SetAttrString(result.ptr(), "_content_owner", file.ptr()) != 0) PyErr_Clear();
    return result;
}

// --------------------------------------------------------- dictionary access

nb::object to_dict(nb::handle self) {
    nb::object result;
    bind::with_context(self.attr("_file").attr("open_binary")(),
                       [&](nb::handle r) { result = g("json").attr("load")(r); });
    return result;
}

nb::object keys(nb::handle self) {
    nb::object cached = self.attr("_keys");
    if (cached.is_none()) {
        cached = self.attr("to_dict")().attr("keys")();
        nb::setattr(self, str<"_keys">(), cached);
    }
    return cached;
}

bool contains(nb::handle self, nb::handle item) {
    return bind::check(PySequence_Contains(self.attr("keys")().ptr(), item.ptr())) != 0;
}

nb::object getitem(nb::handle self, nb::handle item) {
    if (!contains(self, item)) bind::raise(PyExc_KeyError, item);
    return self.attr("to_dict")()[item];
}

nb::object get(nb::handle self, nb::handle key, nb::handle default_) {
    PyObject* value = PyObject_GetItem(self.ptr(), key.ptr());
    if (value != nullptr) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(default_);
}

}  // namespace

void populate_streamed_dict(nb::module_& m) {
    m.attr("_BASE64_MIN_DECODE_CHUNK") = kBase64MinDecodeChunk;

    // The iterator type behind the streamed methods: not a module member, but
    // registered as a collections.abc.Generator.
    bind::init_generator_type(g);

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
            "file"_p, "encoding"_p = "utf-8",
            ":param file: the result content, the encoded text of one JSON object\n"
            ":param encoding: encoding of search strings and streamed values")
        .def_classmethod(
            "from_url",
            [](nb::handle cls, nb::handle url, nb::handle encoding) {
                nb::object file = g("File").attr("from_url")(url).attr("copy")();
                return cls(file, "encoding"_a = encoding);
            },
            "url"_p, "encoding"_p = "utf-8", "Download the result content at `url` into a File and wrap it.")
        .def_classmethod(
            "from_dict",
            [](nb::handle cls, nb::handle d, nb::handle encoding) {
                nb::object data = g("json").attr("dumps")(d).attr("encode")(encoding);
                return cls(g("File").attr("from_data")(data));
            },
            "d"_p, "encoding"_p = "utf-8",
            "Wrap the JSON text of `d`, encoded with `encoding`; the object keeps the default encoding.")
        .def_property(
            "encoding", [](nb::handle self) { return nb::getattr(self, str<"_encoding">()); },
            "Text encoding of search strings and streamed values.")
        .def("keys", &keys, "The top-level keys, read from the file once and then kept.")
        .def("__contains__", &contains, "item"_p)
        .def("__getitem__", &getitem, "item"_p)
        .def("get", &get, "key"_p, "default"_p = nb::none(),
             "The value under `key` as by subscript, or `default` when it is not a key.")
        .def(
            "items", [](nb::handle self) { return self.attr("to_dict")().attr("items")(); },
            "The items of the whole content, parsed from the file.")
        .def("to_dict", &to_dict, "The whole content parsed from the file (again on every call).")
        .def("stream_dict_value", &stream_dict_value, "key"_p, nb::kw_only(), "buffer_size"_p = kBufferSize,
             "Returns the key value as iterator without loading the content in memory.\n\n"
             "Key and value are assumed to be in double quotes, as the JSON standard writes them, so this only "
             "works for a value of type string that contains no double-quote character.\n\n"
             ":param key: the top-level key whose value is streamed\n"
             ":param buffer_size: number of characters that is returned in a single iterator next call")
        .def("get_value_as_file", &get_value_as_file, "key"_p, nb::kw_only(), "base64_decode"_p = true,
             "decompress"_p = false,
             "Return the key value as a file without loading the content in memory.\n\n"
             ":param key: the top-level key whose value is written\n"
             ":param base64_decode: decode the value with base64 before returning it\n"
             ":param decompress: decompress AND base64-decode the value before returning it")
        .def_classmethod("_stream_between_strings", &stream_between_strings, "file"_p, "string_from"_p,
                         "string_to"_p = nb::none(), nb::kw_only(), "start"_p = 0, "buffer_size"_p = kBufferSize,
                         "Stream the content of `file` between the first `string_from` at or after `start` and "
                         "the next `string_to` (or the end of the file), in pieces of `buffer_size`.")
        .def_static("_find_word_position", &find_word_position, "file"_p, "word"_p, nb::kw_only(),
                    "start"_p = 0, "buffer_size"_p = kBufferSize,
                    "Find the position of the (first occurrence of the literal) word within the file.\n\n"
                    "The position is absolute (`start` is not subtracted); -1 when the word is not found.")
        .build();
}

}  // namespace tessel::offload_task
