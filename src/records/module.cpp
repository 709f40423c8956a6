// tessel.local.plexum_worker._records: the quick test that a record's
// parameters fit their shape in the record table. Replay tests every record
// (10^4 and more in a large model); here a record of 5 to 20 values takes
// a fraction of a microsecond. The test is exact for what json.loads makes
// (dict, list, str, int, float) and says no to anything else, so that the
// table's own checks in Python judge it and say what is wrong.
#include <nanobind/nanobind.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace nb = nanobind;

namespace {

// Value kinds, numbered as the record table passes them.
enum class Kind : std::int64_t { kInteger = 0, kNumber = 1, kText = 2, kIntegers = 3, kNumbers = 4 };

bool is_integer(PyObject* value) { return PyLong_CheckExact(value); }

// A finite float, or an int a float holds (one that fits 64 bits; larger ones are left to the table's checks).
bool is_number(PyObject* value) {
    if (PyFloat_CheckExact(value)) return std::isfinite(PyFloat_AS_DOUBLE(value));
    if (!PyLong_CheckExact(value)) return false;
    int overflow = 0;
    const long long ignored = PyLong_AsLongLongAndOverflow(value, &overflow);
    (void)ignored;
    return overflow == 0;
}

template <bool (*Test)(PyObject*)>
bool is_list_of(PyObject* value) {
    if (!PyList_CheckExact(value)) return false;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(value); ++k)
        if (!Test(PyList_GET_ITEM(value, k))) return false;
    return true;
}

class Shape {
public:
    // entries: (key, kind code or nested shape), in the table's order.
    explicit Shape(nb::list entries) {
        for (nb::handle entry : entries) {
            nb::tuple pair = nb::cast<nb::tuple>(entry);
            if (pair.size() != 2 || !PyUnicode_CheckExact(pair[0].ptr()))
                throw nb::type_error("entries must be (str key, kind) pairs");
            nb::str key = nb::borrow<nb::str>(pair[0]);
            if (nb::isinstance<Shape>(pair[1])) {
                entries_.push_back({key, nb::cast<const Shape*>(pair[1]), Kind::kInteger, nb::borrow(pair[1])});
                continue;
            }
            const auto code = nb::cast<std::int64_t>(pair[1]);
            if (code < 0 || code > static_cast<std::int64_t>(Kind::kNumbers)) throw nb::value_error("unknown kind");
            entries_.push_back({key, nullptr, static_cast<Kind>(code), nb::object()});
        }
    }

    // Are the parameters an object of exactly these keys, each value of its kind?
    bool fits(nb::handle params) const {
        PyObject* dict = params.ptr();
        if (!PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(entries_.size())) return false;
        for (const Entry& entry : entries_) {
            PyObject* value = PyDict_GetItemWithError(dict, entry.key.ptr());  // borrowed
            if (value == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                return false;
            }
            if (entry.nested != nullptr ? !entry.nested->fits(value) : !of_kind(entry.kind, value)) return false;
        }
        return true;
    }

private:
    struct Entry {
        nb::str key;
        const Shape* nested;  // kept alive by `owner`
        Kind kind;
        nb::object owner;
    };

    static bool of_kind(Kind kind, PyObject* value) {
        switch (kind) {
            case Kind::kInteger: return is_integer(value);
            case Kind::kNumber: return is_number(value);
            case Kind::kText: return PyUnicode_CheckExact(value);
            case Kind::kIntegers: return is_list_of<is_integer>(value);
            case Kind::kNumbers: return is_list_of<is_number>(value);
        }
        return false;
    }

    std::vector<Entry> entries_;
};

}  // namespace

NB_MODULE(_records, m) {
    m.doc() = "The quick test that a record's parameters fit their shape in the Plexum record table.";
    nb::class_<Shape>(m, "Shape", "The keys of a record's parameters, in order, and the kind of each value.")
        .def(nb::init<nb::list>(), nb::arg("entries"),
             "entries: (key, kind) in order; a kind is 0 integer, 1 finite number, 2 text, 3 list of integers,\n"
             "4 list of finite numbers, or the Shape of an object.")
        .def("fits", &Shape::fits, nb::arg("params").none(),
             "Are params a dict of exactly these keys, each value of its kind? Exact for what json.loads makes;\n"
             "False for anything else (ints beyond 64 bits, subclasses), which the record table's checks judge.");
}
