// tessel.local.plexum_worker._tables: the rows of the local Plexum worker's
// results. An answer holds a dict per node, support and beam station and per
// load case or combination (10^5 and more at 10^4 beams): they are made here,
// several times faster than dict(zip(keys, row)) row by row. A result page's
// long tables are written as CSV text, about three times faster than by
// Python's formatting, with the same text; rows holding other values are
// left to the caller (None). The rows a page shows are written as HTML
// here the same way, and a page's tables gather their rows from the answer
// here (regrouped by load case, a row per beam station).
#include "tessel/core/csv.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <string>
#include <string_view>

namespace nb = nanobind;

namespace {

constexpr int kSignificant = 6;

constexpr int kDecimals = 3;

// Appends str(value) of a str or int, escaped for HTML when `escaped`; false
// for anything else, or for text that is not UTF-8 (lone surrogates: the
// caller's own path reports them).
bool append_text(std::string& out, PyObject* value, bool escaped = false) {
    nb::object text;
    if (PyLong_CheckExact(value)) {
        text = nb::steal(PyObject_Str(value));
        if (!text.is_valid()) throw nb::python_error();
        value = text.ptr();
    } else if (!PyUnicode_CheckExact(value)) {
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (escaped)
        tessel::core::csv::append_escaped(out, std::string_view(data, static_cast<std::size_t>(size)));
    else
        out.append(data, static_cast<std::size_t>(size));
    return true;
}

// How rows of cells are written: what stands around and between them.
struct Layout {
    std::string_view row_open, row_close, between_rows, cell_open, cell_close, between_cells;
};

// Writes rows (a list of lists) in a layout, each value by `cell(out, value)`;
// false if a row is not a list or `cell` takes a value for none of its kinds.
template <typename Cell>
bool write_rows(nb::handle rows, const Layout& layout, std::string& out, Cell cell) {
    PyObject* all = rows.ptr();
    if (!PyList_CheckExact(all)) return false;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(all); ++k) {
        PyObject* row = PyList_GET_ITEM(all, k);
        if (!PyList_CheckExact(row)) return false;
        if (k > 0) out += layout.between_rows;
        out += layout.row_open;
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(row); ++j) {
            if (j > 0) out += layout.between_cells;
            out += layout.cell_open;
            if (!cell(out, PyList_GET_ITEM(row, j))) return false;
            out += layout.cell_close;
        }
        out += layout.row_close;
    }
    return true;
}

// The rows as CSV, a line each: "%.6g" of each float, str() of each str or
// int; None if a row is not a list or holds anything else.
nb::object csv_rows(nb::handle rows) {
    std::string out;
    const bool written = write_rows(rows, {"", "\n", "", "", "", ","}, out, [](std::string& text, PyObject* value) {
        if (!PyFloat_CheckExact(value)) return append_text(text, value);
        tessel::core::csv::append_general(text, PyFloat_AS_DOUBLE(value), kSignificant);
        return true;
    });
    if (!written) return nb::none();
    return nb::bytes(out.data(), out.size());
}

// The rows as HTML table rows, a line each: "%.3f" of each float ("0" for
// what rounds to zero), the escaped str() of each str or int; None if a row
// is not a list or holds anything else.
nb::object html_rows(nb::handle rows) {
    std::string out;
    const bool written =
        write_rows(rows, {"<tr>", "</tr>", "\n", "<td>", "</td>", ""}, out, [](std::string& text, PyObject* value) {
            if (!PyFloat_CheckExact(value)) return append_text(text, value, true);
            tessel::core::csv::append_fixed_or_zero(text, PyFloat_AS_DOUBLE(value), kDecimals);
            return true;
        });
    if (!written) return nb::none();
    nb::object text = nb::steal(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"));
    if (!text.is_valid()) throw nb::python_error();
    return text;
}

// One dict per row of values (n, k), its keys the k given, in their order;
// each value a float, -0.0 written as 0.0.
nb::list dict_rows(nb::tuple keys, nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu> values) {
    const std::size_t width = values.shape(1);
    if (keys.size() != width) throw nb::value_error("as many keys as values in a row are needed");
    for (nb::handle key : keys)
        if (!PyUnicode_CheckExact(key.ptr())) throw nb::type_error("the keys must be str");
    nb::list out;
    const double* data = values.data();
    for (std::size_t row = 0; row < values.shape(0); ++row) {
        nb::dict entry;
        for (std::size_t k = 0; k < width; ++k) {
            nb::object value = nb::steal(PyFloat_FromDouble(data[row * width + k] + 0.0));
            if (!value.is_valid()) throw nb::python_error();
            entry[keys[k]] = value;
        }
        out.append(entry);
    }
    return out;
}

// {target: {group: {key: value}}} regrouped as {(group, key): [(target, value), ...]}, in the order met;
// None if any of the mappings is not a dict (a subclass may read otherwise).
nb::object by_column(nb::handle entries) {
    if (!PyDict_CheckExact(entries.ptr())) return nb::none();
    nb::dict out;
    // Hashing a (group, key) may run Python code that changes the dicts: what is in use is held.
    PyObject *target = nullptr, *groups = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(entries.ptr(), &at, &target, &groups)) {
        const nb::object held_target = nb::borrow(target), held_groups = nb::borrow(groups);
        if (!PyDict_CheckExact(groups)) return nb::none();
        PyObject *group = nullptr, *values = nullptr;
        Py_ssize_t at_group = 0;
        while (PyDict_Next(groups, &at_group, &group, &values)) {
            const nb::object held_group = nb::borrow(group), held_values = nb::borrow(values);
            if (!PyDict_CheckExact(values)) return nb::none();
            PyObject *key = nullptr, *value = nullptr;
            Py_ssize_t at_key = 0;
            while (PyDict_Next(values, &at_key, &key, &value)) {
                const nb::object held_value = nb::borrow(value);
                const nb::tuple column = nb::make_tuple(nb::handle(group), nb::handle(key));
                nb::object found = nb::borrow(PyDict_GetItemWithError(out.ptr(), column.ptr()));
                if (!found.is_valid()) {
                    if (PyErr_Occurred()) throw nb::python_error();
                    found = nb::list();
                    out[column] = found;
                }
                nb::borrow<nb::list>(found).append(nb::make_tuple(nb::handle(target), nb::handle(value)));
            }
        }
    }
    return out;
}

// [target, record[key], ...] for each record of each (target, records): the
// rows of a table with a row per record. None unless the entries are pairs
// and their records lists of dicts.
nb::object record_rows(nb::handle entries, nb::tuple keys) {
    if (!PyList_CheckExact(entries.ptr())) return nb::none();
    Py_ssize_t count = 0;
    for (nb::handle entry : nb::borrow<nb::list>(entries)) {
        if (!PyTuple_CheckExact(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 2) return nb::none();
        PyObject* records = PyTuple_GET_ITEM(entry.ptr(), 1);
        if (!PyList_CheckExact(records)) return nb::none();
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(records); ++k)
            if (!PyDict_CheckExact(PyList_GET_ITEM(records, k))) return nb::none();
        count += PyList_GET_SIZE(records);
    }
    const auto width = static_cast<Py_ssize_t>(keys.size());
    nb::object out = nb::steal(PyList_New(count));
    if (!out.is_valid()) throw nb::python_error();
    Py_ssize_t at = 0;
    // A lookup may run Python code (a stored key's __eq__) that changes the lists: each is read by index
    // again at every step, and what is in use is held.
    for (Py_ssize_t e = 0; e < PyList_GET_SIZE(entries.ptr()); ++e) {
        const nb::object entry = nb::borrow(PyList_GET_ITEM(entries.ptr(), e));
        if (!PyTuple_CheckExact(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 2) break;
        PyObject* target = PyTuple_GET_ITEM(entry.ptr(), 0);
        const nb::object records = nb::borrow(PyTuple_GET_ITEM(entry.ptr(), 1));
        if (!PyList_CheckExact(records.ptr())) break;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(records.ptr()) && at < count; ++k) {
            const nb::object record = nb::borrow(PyList_GET_ITEM(records.ptr(), k));
            if (!PyDict_CheckExact(record.ptr())) break;
            nb::object row = nb::steal(PyList_New(1 + width));
            if (!row.is_valid()) throw nb::python_error();
            PyList_SET_ITEM(row.ptr(), 0, Py_NewRef(target));
            for (Py_ssize_t j = 0; j < width; ++j) {
                PyObject* key = PyTuple_GET_ITEM(keys.ptr(), j);
                PyObject* value = PyDict_GetItemWithError(record.ptr(), key);
                if (value == nullptr) {
                    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
                    throw nb::python_error();
                }
                PyList_SET_ITEM(row.ptr(), 1 + j, Py_NewRef(value));
            }
            PyList_SET_ITEM(out.ptr(), at++, row.release().ptr());
        }
    }
    if (at != count) throw nb::value_error("the records changed while their rows were made");
    return out;
}

}  // namespace

NB_MODULE(_tables, m) {
    m.doc() = "The rows of the local Plexum worker's results: as dicts for its answers, as table rows, CSV and HTML\n"
              "for its pages.";
    m.def("dict_rows", &dict_rows, nb::arg("keys"), nb::arg("values"),
          "A dict per row of values ((n, k) float64), keyed by the k keys in their order: dict(zip(keys, row))\n"
          "of (values + 0.0).tolist(), row by row.");
    m.def("html_rows", &html_rows, nb::arg("rows"),
          "The rows (a list of lists) as HTML table rows, a line each: \"%.3f\" of each float (\"0\" where that\n"
          "is zero), the HTML-escaped str() of each str or int. None for rows that are not lists or hold anything\n"
          "else.");
    m.def("by_column", &by_column, nb::arg("entries"),
          "{target: {group: {key: value}}} regrouped as {(group, key): [(target, value), ...]}, each list in the\n"
          "order its entries are met. None if a mapping is not a dict.");
    m.def("record_rows", &record_rows, nb::arg("entries"), nb::arg("keys"),
          "[target, record[key] for each key] for each record of each (target, records) of entries (a list of\n"
          "tuples of lists of dicts), in order; a missing key raises KeyError. None for entries of other types.");
    m.def("csv_rows", &csv_rows, nb::arg("rows"),
          "The rows (a list of lists) as UTF-8 CSV, a line each: \"%.6g\" of each float, str() of each str or\n"
          "int. None for rows that are not lists or hold anything else.");
}
