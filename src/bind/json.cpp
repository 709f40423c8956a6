#include "bind/json.h"

#include "tessel/core/json_text.h"

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace tessel::bind {
namespace {

namespace jt = core::json_text;

// The output: a bytes object written in place and grown with _PyBytes_Resize
// (which can extend large blocks without copying), then cut to its length and
// handed out as is, so the text is never copied.
class BytesBuffer final : public jt::Buffer {
public:
    explicit BytesBuffer(std::size_t reserve) : bytes_(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(reserve)))) {
        reset(PyBytes_AS_STRING(bytes_), reserve);
    }
    ~BytesBuffer() { Py_XDECREF(bytes_); }

    nb::bytes take() {
        if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(size())) < 0) throw nb::python_error();
        PyObject* out = bytes_;
        bytes_ = nullptr;
        return nb::steal<nb::bytes>(out);
    }

private:
    void grow(std::size_t extra) override {
        const std::size_t capacity = next_capacity(extra);
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
            PyErr_NoMemory();
            throw nb::python_error();
        }
        // On failure the object is released and the pointer cleared.
        if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(capacity)) < 0) throw nb::python_error();
        reset(PyBytes_AS_STRING(bytes_), capacity);
    }

    PyObject* bytes_;
};

// One level of container nesting, counted against the interpreter's limit
// with the stdlib encoder's wording.
class NestingLevel {
public:
    NestingLevel() {
        if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw nb::python_error();
    }
    ~NestingLevel() { Py_LeaveRecursiveCall(); }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;
};

// A strong reference for the time a borrowed item is being encoded: a
// fallback may run Python code that removes it from its container.
class Hold {
public:
    explicit Hold(PyObject* o) : o_(o) { Py_INCREF(o_); }
    ~Hold() { Py_DECREF(o_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    PyObject* o_;
};

class Encoder {
public:
    Encoder(jt::Buffer& out, PyObject* dumps) : out_(out), dumps_(dumps) {}

    void value(PyObject* v) {
        PyTypeObject* type = Py_TYPE(v);
        if (type == &PyUnicode_Type)
            string(v);
        else if (type == &PyFloat_Type)
            jt::append_double(out_, PyFloat_AS_DOUBLE(v));
        else if (type == &PyLong_Type)
            integer(v);
        else if (type == &PyDict_Type)
            dict(v);
        else if (type == &PyList_Type || type == &PyTuple_Type)
            sequence(v);
        else if (v == Py_None)
            out_.append("null");
        else if (v == Py_True)
            out_.append("true");
        else if (v == Py_False)
            out_.append("false");
        else
            fallback(v);
    }

private:
    // Containers on the way from the top value to the one being written, for
    // finding cycles. Paths are short, so the first entries are searched in
    // place and deeper ones looked up in a set.
    static constexpr std::size_t kScanned = 32;

    class PathEntry {
    public:
        PathEntry(Encoder& e, PyObject* container) : e_(e) {
            auto& path = e_.path_;
            const std::size_t scanned = path.size() < kScanned ? path.size() : kScanned;
            for (std::size_t i = 0; i < scanned; ++i)
                if (path[i] == container) circular();
            if (path.size() >= kScanned && !e_.deep_path_.insert(container).second) circular();
            path.push_back(container);
        }
        ~PathEntry() {
            auto& path = e_.path_;
            if (path.size() > kScanned) e_.deep_path_.erase(path.back());
            path.pop_back();
        }
        PathEntry(const PathEntry&) = delete;
        PathEntry& operator=(const PathEntry&) = delete;

    private:
        [[noreturn]] static void circular() { raise(PyExc_ValueError, "Circular reference detected"); }
        Encoder& e_;
    };

    void string(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
        check(PyUnicode_READY(s));
#endif
        const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
        const void* data = PyUnicode_DATA(s);
        switch (PyUnicode_KIND(s)) {
            case PyUnicode_1BYTE_KIND:
                jt::append_string(out_, static_cast<const std::uint8_t*>(data), length);
                break;
            case PyUnicode_2BYTE_KIND:
                jt::append_string(out_, static_cast<const std::uint16_t*>(data), length);
                break;
            default:
                jt::append_string(out_, static_cast<const std::uint32_t*>(data), length);
                break;
        }
    }

    void integer(PyObject* v) {
#if PY_VERSION_HEX >= 0x030C0000
        if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
            jt::append_int(out_, PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)));
            return;
        }
#endif
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return fallback(v);
        if (n == -1 && PyErr_Occurred()) throw nb::python_error();
        jt::append_int(out_, n);
    }

    void sequence(PyObject* seq) {
        NestingLevel level;
        const bool is_list = PyList_CheckExact(seq);
        if (Py_SIZE(seq) == 0) return out_.append("[]");
        PathEntry entry(*this, seq);
        out_.put('[');
        // A list's length is read again at each step, as Python code running
        // in a fallback may change it.
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
            if (i) out_.append(", ");
            PyObject* item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
            Hold hold(item);
            value(item);
        }
        out_.put(']');
    }

    void dict(PyObject* d) {
        NestingLevel level;
        if (PyDict_GET_SIZE(d) == 0) return out_.append("{}");
        const std::size_t start = out_.size();
        if (!members(d)) {
            out_.truncate(start);
            fallback(d);
        }
    }

    // Writes the dictionary's members; false as soon as a key is not exactly
    // str: such keys (numbers, str subclasses, keys the stdlib refuses) leave
    // the whole dictionary to the stdlib.
    bool members(PyObject* d) {
        PathEntry entry(*this, d);
        out_.put('{');
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* item;
        for (bool first = true; PyDict_Next(d, &pos, &key, &item); first = false) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (!first) out_.append(", ");
            Hold hold_key(key);
            Hold hold_item(item);
            string(key);
            out_.append(": ");
            value(item);
        }
        out_.put('}');
        return true;
    }

    void fallback(PyObject* v) {
        if (PyObject* self_written = written_by_itself(v)) {
            char* data;
            Py_ssize_t length;
            if (PyBytes_AsStringAndSize(self_written, &data, &length) < 0) {
                Py_DECREF(self_written);
                throw nb::python_error();
            }
            out_.append({data, static_cast<std::size_t>(length)});
            Py_DECREF(self_written);
            return;
        }
        PyObject* text = check(PyObject_CallOneArg(dumps_, v));
        Py_ssize_t length;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
        if (!utf8) {
            Py_DECREF(text);
            throw nb::python_error();
        }
        out_.append({utf8, static_cast<std::size_t>(length)});
        Py_DECREF(text);
    }

    // The bytes of `v.__json_text__()` when its class has that method; null
    // otherwise.
    static PyObject* written_by_itself(PyObject* v) {
        PyObject* method = _PyType_Lookup(Py_TYPE(v), str<"__json_text__">().ptr());
        if (!method) return nullptr;
        return check(PyObject_CallMethodNoArgs(v, str<"__json_text__">().ptr()));
    }

    jt::Buffer& out_;
    PyObject* dumps_;
    std::vector<PyObject*> path_;
    std::unordered_set<PyObject*> deep_path_;
};

}  // namespace

nb::bytes json_dumps_bytes(nb::handle value, nb::handle dumps) {
    BytesBuffer out(4096);
    Encoder(out, dumps.ptr()).value(value.ptr());
    return out.take();
}

struct JsonWriter::State {
    State(nb::handle dumps, std::size_t reserve) : out(reserve), dumps(nb::borrow(dumps)), encoder(out, dumps.ptr()) {}
    BytesBuffer out;
    nb::object dumps;
    Encoder encoder;
};

JsonWriter::JsonWriter(nb::handle dumps, std::size_t reserve) : state_(new State(dumps, reserve)) {}

JsonWriter::~JsonWriter() { delete state_; }

JsonWriter& JsonWriter::raw(std::string_view text) {
    state_->out.append(text);
    return *this;
}

JsonWriter& JsonWriter::value(nb::handle v) {
    state_->encoder.value(v.ptr());
    return *this;
}

nb::bytes JsonWriter::take() { return state_->out.take(); }

}  // namespace tessel::bind
