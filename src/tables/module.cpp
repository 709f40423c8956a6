// tessel.local.plexum_worker._tables: the rows of the local Plexum worker's
// results. An answer holds a dict per node, support and beam station and per
// load case or combination (10^5 and more at 10^4 beams): they are made here,
// several times faster than dict(zip(keys, row)) row by row. A result page's
// long tables are written as CSV text, about three times faster than by
// Python's formatting, with the same text; rows holding other values are
// left to the caller (None). The rows a page shows are written as HTML
// here the same way.
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

// The rows as CSV, a line each: "%.6g" of each float, str() of each str or
// int; None if a row is not a list or holds anything else.
nb::object csv_rows(nb::handle rows) {
    PyObject* all = rows.ptr();
    if (!PyList_CheckExact(all)) return nb::none();
    std::string out;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(all); ++k) {
        PyObject* row = PyList_GET_ITEM(all, k);
        if (!PyList_CheckExact(row)) return nb::none();
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(row); ++j) {
            if (j > 0) out.push_back(',');
            PyObject* value = PyList_GET_ITEM(row, j);
            if (PyFloat_CheckExact(value))
                tessel::core::csv::append_general(out, PyFloat_AS_DOUBLE(value), kSignificant);
            else if (!append_text(out, value))
                return nb::none();
        }
        out.push_back('\n');
    }
    return nb::bytes(out.data(), out.size());
}

// The rows as HTML table rows, a line each: "%.3f" of each float ("0" for
// what rounds to zero), the escaped str() of each str or int; None if a row
// is not a list or holds anything else.
nb::object html_rows(nb::handle rows) {
    PyObject* all = rows.ptr();
    if (!PyList_CheckExact(all)) return nb::none();
    std::string out;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(all); ++k) {
        PyObject* row = PyList_GET_ITEM(all, k);
        if (!PyList_CheckExact(row)) return nb::none();
        if (k > 0) out.push_back('\n');
        out += "<tr>";
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(row); ++j) {
            PyObject* value = PyList_GET_ITEM(row, j);
            out += "<td>";
            if (PyFloat_CheckExact(value))
                tessel::core::csv::append_fixed_or_zero(out, PyFloat_AS_DOUBLE(value), kDecimals);
            else if (!append_text(out, value, true))
                return nb::none();
            out += "</td>";
        }
        out += "</tr>";
    }
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

}  // namespace

NB_MODULE(_tables, m) {
    m.doc() = "The rows of the local Plexum worker's results: as dicts for its answers, as CSV for its pages.";
    m.def("dict_rows", &dict_rows, nb::arg("keys"), nb::arg("values"),
          "A dict per row of values ((n, k) float64), keyed by the k keys in their order: dict(zip(keys, row))\n"
          "of (values + 0.0).tolist(), row by row.");
    m.def("html_rows", &html_rows, nb::arg("rows"),
          "The rows (a list of lists) as HTML table rows, a line each: \"%.3f\" of each float (\"0\" where that\n"
          "is zero), the HTML-escaped str() of each str or int. None for rows that are not lists or hold anything\n"
          "else.");
    m.def("csv_rows", &csv_rows, nb::arg("rows"),
          "The rows (a list of lists) as UTF-8 CSV, a line each: \"%.6g\" of each float, str() of each str or\n"
          "int. None for rows that are not lists or hold anything else.");
}
