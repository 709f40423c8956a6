// Data trees: the application's input dictionary turned into the per-parameter
// trees (branch path -> item records) that the Grasshopper worker reads.
#include "grasshopper/grasshopper.h"

#include <string>
#include <string_view>
#include <vector>

namespace tessel::grasshopper {
namespace {

// The path of the single branch that holds a lone value or a flat list.
nb::handle single_branch_marker() { return str<"{0}">(); }

// The module's own _DataTree, its methods and _index_of_branch, kept to see
// whether the module globals still refer to them (the conversion then skips
// the Python-level calls) or were replaced (it then calls what is there now).
struct Originals {
    nb::handle data_tree, init, append, index_of_branch;
};
Originals originals;

// Python's `isinstance(value, cls)` for the built-in `cls`, without the
// `__class__` lookup for values of the common built-in types.
bool is_instance(nb::handle value, PyTypeObject* cls) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (type == cls || PyType_IsSubtype(type, cls)) return true;
    if (type == &PyLong_Type || type == &PyFloat_Type || type == &PyUnicode_Type || type == &PyBool_Type ||
        type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type || value.is_none())
        return false;
    return bind::isinstance(value, nb::handle(reinterpret_cast<PyObject*>(cls)));
}

// Calls `visit(item)` for each item of `items`, as `for item in items` does:
// lists are walked by index and re-measured each step, since `visit` may run
// Python code that changes them.
template <typename Visit>
void for_each_item(nb::handle items, Visit&& visit) {
    if (PyList_CheckExact(items.ptr())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) visit(nb::borrow(PyList_GET_ITEM(items.ptr(), i)));
        return;
    }
    if (PyTuple_CheckExact(items.ptr())) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.ptr()); ++i) visit(nb::borrow(PyTuple_GET_ITEM(items.ptr(), i)));
        return;
    }
    nb::object iterator = nb::steal(bind::check(PyObject_GetIter(items.ptr())));
    while (PyObject* item = PyIter_Next(iterator.ptr())) visit(nb::steal(item));
    if (PyErr_Occurred()) throw nb::python_error();
}

// Calls `visit(key, value)` for each entry of `mapping`, as
// `for key, value in mapping.items()` does.
template <typename Visit>
void for_each_entry(nb::handle mapping, Visit&& visit) {
    if (PyDict_CheckExact(mapping.ptr())) {
        const Py_ssize_t size = PyDict_GET_SIZE(mapping.ptr());
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            visit(nb::borrow(key), nb::borrow(value));
            if (PyDict_GET_SIZE(mapping.ptr()) != size) bind::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        }
        return;
    }
    for_each_item(mapping.attr("items")(), [&](nb::handle pair) {
        if (PyTuple_CheckExact(pair.ptr()) && PyTuple_GET_SIZE(pair.ptr()) == 2) {
            visit(nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0)), nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1)));
            return;
        }
        // Anything else unpacks (and fails) as `key, value = pair` would.
        PyObject* iterator = PyObject_GetIter(pair.ptr());
        if (!iterator) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair.ptr())->tp_name);
            throw nb::python_error();
        }
        nb::object it = nb::steal(iterator);
        nb::object parts[2];
        for (int i = 0; i < 2; ++i) {
            PyObject* part = PyIter_Next(iterator);
            if (!part) {
                if (PyErr_Occurred()) throw nb::python_error();
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
                throw nb::python_error();
            }
            parts[i] = nb::steal(part);
        }
        if (PyObject* extra = PyIter_Next(iterator)) {
            Py_DECREF(extra);
            bind::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        }
        if (PyErr_Occurred()) throw nb::python_error();
        visit(parts[0], parts[1]);
    });
}

// {"data": item}
nb::object record(nb::handle item) {
    nb::object r = nb::steal(bind::check(PyDict_New()));
    bind::check(PyDict_SetItem(r.ptr(), str<"data">().ptr(), item.ptr()));
    return r;
}


// A new list of records, one per item. `convert` maps each item first.
template <typename Convert>
nb::object records(nb::handle items, Convert&& convert) {
    nb::object list = nb::steal(bind::check(PyList_New(0)));
    for_each_item(items, [&](nb::handle item) { bind::check(PyList_Append(list.ptr(), record(convert(item)).ptr())); });
    return list;
}

nb::handle unchanged(nb::handle item) { return item; }

nb::handle empty_args() {
    static PyObject* const args = PyTuple_New(0);
    return args;
}

// The branch key of a path: the elements' text forms joined with ";". An
// element is joined only once the key is not empty any more, so leading
// elements that write as the empty text leave no separator behind.
nb::object branch_key(nb::handle path) {
    nb::object key = nb::str("");
    for_each_item(path, [&](nb::handle element) {
        nb::str text = bind::text_of(element);
        if (PyUnicode_GET_LENGTH(key.ptr()) == 0) {
            key = std::move(text);
        } else {
            nb::object joined = nb::steal(bind::check(PyUnicode_Concat(key.ptr(), str<";">().ptr())));
            key = nb::steal(bind::check(PyUnicode_Concat(joined.ptr(), text.ptr())));
        }
    });
    return key;
}

// Python's int() of a run of decimal digits (already ASCII), with its limit
// on the number of digits.
nb::object integer_of(const std::string& digits) {
    if (digits.size() <= 18) return nb::steal(bind::check(PyLong_FromLongLong(std::stoll(digits))));
    return nb::steal(bind::check(PyLong_FromString(digits.c_str(), nullptr, 10)));
}

// Calls `on_run(digits)` for each maximal run of decimal digits in `text`,
// left to right, the digits written in ASCII: the runs `\d+` finds in text,
// which takes decimal digits of any script.
template <typename OnRun>
void for_each_digit_run(nb::handle text, OnRun&& on_run) {
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    std::string digits;
    for (Py_ssize_t i = 0; i <= length; ++i) {
        const Py_UCS4 ch = i < length ? PyUnicode_READ(kind, data, i) : 0;
        if (i < length && Py_UNICODE_ISDECIMAL(ch)) {
            digits.push_back(static_cast<char>('0' + Py_UNICODE_TODECIMAL(ch)));
        } else if (!digits.empty()) {
            on_run(digits);
            digits.clear();
        }
    }
}

// `[int(run) for run in re.findall(r"\d+", branch_input)]`. Text is scanned
// here; anything else goes to the regular expression engine, which refuses
// it with its own error.
nb::list index_of_branch(nb::handle branch_input) {
    nb::list result;
    if (!PyUnicode_Check(branch_input.ptr())) {
        nb::object runs = g("re").attr("findall")(str<"\\d+">(), branch_input);
        for (nb::handle run : runs) result.append(nb::steal(bind::check(PyNumber_Long(run.ptr()))));
        return result;
    }
    for_each_digit_run(branch_input, [&](const std::string& digits) { result.append(integer_of(digits)); });
    return result;
}

// The branch key of `_index_of_branch(branch_input)` without making the
// integers: each run in decimal without its leading zeros, joined with ";".
// Runs too long for a machine integer take the way through int and str, with
// their digit limit.
nb::object branch_key_of_text(nb::handle branch_input) {
    std::string key;
    for_each_digit_run(branch_input, [&](const std::string& digits) {
        if (!key.empty()) key.push_back(';');
        if (digits.size() <= 18) {
            const std::size_t first = digits.find_first_not_of('0');
            key.append(first == std::string::npos ? std::string_view("0") : std::string_view(digits).substr(first));
        } else {
            nb::str text = bind::text_of(integer_of(digits));
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
            if (!utf8) throw nb::python_error();
            key.append(utf8, static_cast<std::size_t>(size));
        }
    });
    return nb::steal(bind::check(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))));
}

nb::object inner_tree(nb::handle tree) { return tree.attr("data")[str<"InnerTree">()]; }

void init_data_tree(nb::handle self, nb::handle name) {
    nb::dict data;
    data[str<"ParamName">()] = name;
    data[str<"InnerTree">()] = nb::dict();
    nb::setattr(self, str<"data">(), data);
}

void append(nb::handle self, nb::handle path, nb::handle items) {
    nb::object key = branch_key(path);
    nb::object branch = records(items, unchanged);
    inner_tree(self)[key] = branch;
}

nb::list single_branch() {
    nb::list path;
    path.append(single_branch_marker());
    return path;
}

// Fills the trees of one conversion. While the module's own _DataTree and
// _index_of_branch are in place, branches go straight into each tree's
// "InnerTree" dictionary, with no paths or item lists made on the way; once
// either was replaced (patched, or the global rebound), the conversion calls
// whatever is there now, as Python code would.
class TreeMaker {
public:
    TreeMaker() : cls_(g("_DataTree")), index_of_branch_(g("_index_of_branch")) {
        nb::handle dict = reinterpret_cast<PyTypeObject*>(cls_.ptr())->tp_dict;
        direct_tree_ = cls_.is(originals.data_tree) && is_entry(dict, "__init__", originals.init) &&
                       is_entry(dict, "append", originals.append);
        direct_index_ = index_of_branch_.is(originals.index_of_branch);
    }

    // The result list.
    nb::object make_list() {
        nb::object list = nb::steal(bind::check(PyList_New(0)));
        return list;
    }

    // _DataTree(name)
    nb::object make(nb::handle name) {
        if (!direct_tree_) return cls_(name);
        // tp_new rather than tp_alloc: it also sets up the instance's inline
        // attribute storage, which keeps the attribute write below cheap.
        auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
        nb::object tree = nb::steal(bind::check(type->tp_new(type, empty_args().ptr(), nullptr)));
        inner_ = nb::steal(bind::check(PyDict_New()));
        data_ = nb::steal(bind::check(PyDict_New()));
        bind::check(PyDict_SetItem(data_.ptr(), str<"ParamName">().ptr(), name.ptr()));
        bind::check(PyDict_SetItem(data_.ptr(), str<"InnerTree">().ptr(), inner_.ptr()));
        bind::check(PyObject_SetAttr(tree.ptr(), str<"data">().ptr(), data_.ptr()));
        return tree;
    }

    // tree.append(["{0}"], [item])
    void append_single(nb::handle tree, nb::handle item) {
        nb::object items = nb::steal(bind::check(PyList_New(0)));
        if (direct_tree_) {
            bind::check(PyList_Append(items.ptr(), record(item).ptr()));
            return store(single_branch_marker(), items);
        }
        bind::check(PyList_Append(items.ptr(), item.ptr()));
        tree.attr("append")(single_branch(), items);
    }

    // tree.append(["{0}"], items)
    void append_list(nb::handle tree, nb::handle items) {
        if (direct_tree_) return store(single_branch_marker(), records(items, unchanged));
        tree.attr("append")(single_branch(), items);
    }

    // tree.append(_index_of_branch(branch_input), [convert(item) for item in items])
    template <typename Convert>
    void append_branch(nb::handle tree, nb::handle branch_input, nb::handle items, Convert&& convert) {
        if (direct_tree_ && direct_index_ && PyUnicode_Check(branch_input.ptr())) {
            nb::object key = branch_key_of_text(branch_input);
            return store(key, records(items, convert));
        }
        nb::object path = direct_index_ ? nb::object(index_of_branch(branch_input)) : index_of_branch_(branch_input);
        if (direct_tree_) {
            nb::object key = branch_key(path);
            return store(key, records(items, convert));
        }
        nb::list converted;
        for_each_item(items, [&](nb::handle item) { converted.append(convert(item)); });
        tree.attr("append")(path, converted);
    }

private:
    static bool is_entry(nb::handle dict, const char* name, nb::handle expected) {
        return PyDict_GetItemString(dict.ptr(), name) == expected.ptr();
    }

    void store(nb::handle key, nb::handle branch) { bind::check(PyDict_SetItem(inner_.ptr(), key.ptr(), branch.ptr())); }

    nb::object cls_, index_of_branch_, inner_, data_;
    bool direct_tree_ = false, direct_index_ = false;
};

nb::object data_of(nb::handle record) {
    return nb::steal(bind::check(PyObject_GetItem(record.ptr(), str<"data">().ptr())));
}

nb::object convert_dict_to_gh_trees(nb::handle d) {
    bind::CollectorPause pause;
    TreeMaker maker;
    nb::object trees = maker.make_list();
    for_each_entry(d, [&](nb::handle key, nb::handle value) {
        nb::object tree = maker.make(key);
        if (is_instance(value, &PyDict_Type)) {
            for_each_entry(value, [&](nb::handle branch, nb::handle items) {
                nb::object first = nb::steal(bind::check(PyObject_GetItem(items.ptr(), nb::int_(0).ptr())));
                if (is_instance(first, &PyDict_Type))
                    maker.append_branch(tree, branch, items, data_of);
                else
                    maker.append_branch(tree, branch, items, bind::text_of);
            });
        } else if (is_instance(value, &PyBool_Type)) {
            maker.append_single(tree, value);
        } else if (is_instance(value, &PyList_Type)) {
            maker.append_list(tree, value);
        } else {
            maker.append_single(tree, bind::text_of(value));
        }
        bind::check(PyList_Append(trees.ptr(), tree.ptr()));
    });
    return trees;
}

}  // namespace

void populate_data_tree(nb::module_& m) {
    nb::object cls =
        bind::ClassBuilder(g, "_DataTree", "One input parameter of a Grasshopper definition as a data tree.")
            .def("__init__", &init_data_tree, "name"_p,
                 ":param name: Hops parameter name")
            .def("append", &append, "path"_p, "items"_p, "Append a path to this tree")
            .build();
    bind::def_function(g, "_index_of_branch", &index_of_branch, "branch_input"_p, "Translate a branch index to a list of integers");
    bind::def_function(g, "_convert_dict_to_gh_trees", &convert_dict_to_gh_trees, "d"_p,
          "This function takes a dict as input and converts it to a list of Grasshopper Datatree\n\n"
          ":param d: dict where the key values match Hops parameter names in Grasshopper");

    // Held for the life of the process, like the module that owns them.
    nb::handle dict = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    originals.data_tree = cls.inc_ref();
    originals.init = nb::handle(PyDict_GetItemString(dict.ptr(), "__init__")).inc_ref();
    originals.append = nb::handle(PyDict_GetItemString(dict.ptr(), "append")).inc_ref();
    originals.index_of_branch = m.attr("_index_of_branch").inc_ref();
}

}  // namespace tessel::grasshopper
