#include "bind/bind.h"

#include <nanobind/stl/string.h>
#include <structmember.h>

#include <string>

#include <cstring>

namespace tessel::bind {

// ---------------------------------------------------------------- exceptions

// Python's `raise exc`: an exception instance or class is raised, anything
// else is the interpreter's own TypeError (a patched `mock.MagicMock` in
// place of an exception type, say), never a SystemError.
[[noreturn]] void raise_object(nb::handle exc) {
    if (PyExceptionInstance_Check(exc.ptr()))
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    else if (PyExceptionClass_Check(exc.ptr()))
        PyErr_SetNone(exc.ptr());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    throw nb::python_error();
}

void raise(nb::handle exc_type, const char* message) {
    if (PyExceptionClass_Check(exc_type.ptr())) {
        PyErr_SetString(exc_type.ptr(), message);
        throw nb::python_error();
    }
    raise(exc_type, nb::str(message));
}

void raise(nb::handle exc_type, nb::handle message) {
    // Made as `exc_type(message)`: PyErr_SetObject alone would spread a tuple
    // message into arguments and drop a None one.
    raise_object(nb::borrow(exc_type)(message));
}

void raise(nb::handle exc_type) { raise_object(exc_type); }

void raise_with_note(nb::handle exc_type, nb::handle message, nb::handle note) {
    nb::object exc = nb::borrow(exc_type)(message);
    if (PyExceptionInstance_Check(exc.ptr())) exc.attr("add_note")(note);
    raise_object(exc);
}

nb::object traceback_of(const nb::python_error& e) {
    nb::object traceback = e.traceback();
    return traceback.is_valid() ? traceback : nb::none();
}

// ------------------------------------------------------------------- helpers

nb::dict merged(std::initializer_list<nb::handle> mappings) {
    nb::dict result;
    for (nb::handle m : mappings) {
        if (!PyDict_Check(m.ptr()) && !nb::hasattr(m, "keys")) {
            PyErr_Format(PyExc_TypeError, "'%.200s' object is not a mapping", Py_TYPE(m.ptr())->tp_name);
            throw nb::python_error();
        }
        check(PyDict_Update(result.ptr(), m.ptr()));
    }
    return result;
}

nb::object next(nb::handle iterator) {
    if (!PyIter_Check(iterator.ptr())) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not an iterator", Py_TYPE(iterator.ptr())->tp_name);
        throw nb::python_error();
    }
    PyObject* item = PyIter_Next(iterator.ptr());
    if (!item) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        throw nb::python_error();
    }
    return nb::steal(item);
}

// -------------------------------------------------------------- module globals

namespace {
nb::object lookup_global(nb::handle key) {
    PyObject* dict = ModuleState::current().dict();
    if (PyObject* v = PyDict_GetItemWithError(dict, key.ptr())) return nb::borrow(v);
    if (PyErr_Occurred()) throw nb::python_error();
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        if (PyObject* v = PyDict_GetItemWithError(builtins, key.ptr())) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    throw nb::python_error();
}
}  // namespace

nb::object ModuleGlobals::operator()(const char* name) const { return lookup_global(nb::str(name)); }

nb::object ModuleGlobals::operator()(nb::handle name) const { return lookup_global(name); }

void ModuleGlobals::set(const char* name, nb::handle value) const {
    check(PyDict_SetItemString(ModuleState::current().dict(), name, value.ptr()));
}

void import_names(const ModuleGlobals& g, const char* module, std::initializer_list<const char*> names) {
    nb::module_ m = nb::module_::import_(module);
    for (const char* name : names) g.set(name, m.attr(name));
}

void import_module(const ModuleGlobals& g, const char* module) {
    g.set(module, nb::module_::import_(module));
}

// ---------------------------------------------------------- context managers

EnteredContext enter_context(nb::handle manager) {
    nb::handle type = manager.type();
    if (!nb::hasattr(type, "__enter__") || !nb::hasattr(type, "__exit__")) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object exit = manager.attr("__exit__");
    return {exit, manager.attr("__enter__")()};
}

void with_context(nb::handle manager, const std::function<void(nb::handle)>& body) {
    auto [exit, value] = enter_context(manager);
    try {
        body(value);
    } catch (nb::python_error& e) {
        if (truthy(exit(e.type(), e.value(), traceback_of(e)))) return;
        throw;
    } catch (...) {
        // A C++ failure becomes a Python error only later: leave the block
        // (closing what it opened) and let it pass.
        exit(nb::none(), nb::none(), nb::none());
        throw;
    }
    exit(nb::none(), nb::none(), nb::none());
}

// ----------------------------------------------------------------- classes

ClassBuilder::ClassBuilder(const ModuleGlobals& g, const char* name, const char* doc)
    : g_(g), name_(name), qualname_(nb::str(name)), owner_(new Owner{&ModuleState::current(), nullptr}) {
    if (doc) namespace_["__doc__"] = nb::str(doc);
    scope_ = nb::module_::import_("types").attr("SimpleNamespace")("__module__"_a = g.module_name(),
                                                                    "__qualname__"_a = qualname_);
    // nanobind functions keep a borrowed pointer to their scope: it must live
    // as long as they do, i.e. as long as the class.
    scope_.inc_ref();
}

ClassBuilder& ClassBuilder::base(nb::handle cls) {
    bases_.push_back(nb::borrow(cls));
    return *this;
}

ClassBuilder& ClassBuilder::qualname(const char* qualname) {
    qualname_ = nb::str(qualname);
    nb::setattr(scope_, "__qualname__", qualname_);
    return *this;
}

ClassBuilder& ClassBuilder::attr(const char* name, nb::handle value) {
    namespace_[name] = value;
    return *this;
}

nb::object ClassBuilder::property(nb::handle fget, nb::handle fset, nb::handle fdel, const char* doc) {
    nb::handle property_type(reinterpret_cast<PyObject*>(&PyProperty_Type));
    return property_type(fget, fset, fdel, doc ? nb::object(nb::str(doc)) : nb::object(nb::none()));
}

// Marked as abc.abstractmethod marks a function.
nb::object ClassBuilder::abstract(nb::object fn) {
    nb::setattr(fn, "__isabstractmethod__", nb::bool_(true));
    return fn;
}

nb::object ClassBuilder::python_function(nb::object impl, const char* name) const {
    nb::str n(name);
    nb::object qualname = nb::str("{}.{}").format(qualname_, n);
    return bind::python_function(impl, n, qualname, g_.module_name());
}

nb::object ClassBuilder::build() {
    namespace_["__module__"] = g_.module_name();
    namespace_["__qualname__"] = qualname_;
    nb::list bases;
    for (const auto& b : bases_) bases.append(b);
    nb::handle meta = bases_.empty() ? nb::handle(reinterpret_cast<PyObject*>(&PyType_Type)) : bases_.front().type();
    nb::object cls = meta(name_, nb::tuple(bases), namespace_);
    owner_->cls = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());  // methods check against it for good
    if (nb::cast<std::string>(qualname_).find('.') == std::string::npos) g_.set(nb::cast<std::string>(name_).c_str(), cls);
    return cls;
}

// ----------------------------------------------------------- owned functions

const Owner* module_owner() {
    // One owner per import: module functions carry no class to check.
    static PerModule<Owner> owner;
    Owner& o = owner.get();
    o.state = &ModuleState::current();
    return &o;
}

void check_self(const Owner& owner, SelfCheck check, PyObject* self, const char* name) {
    PyTypeObject* cls = owner.cls;
    if (!cls || check == SelfCheck::none) return;
    if (check == SelfCheck::subtype) {
        if (PyType_Check(self) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(self), cls)) return;
        PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a subtype of '%.100s' but received '%.100s'", name,
                     cls->tp_name, PyType_Check(self) ? reinterpret_cast<PyTypeObject*>(self)->tp_name
                                                      : Py_TYPE(self)->tp_name);
        throw nb::python_error();
    }
    if (PyObject_TypeCheck(self, cls)) return;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object", name,
                 cls->tp_name, Py_TYPE(self)->tp_name);
    throw nb::python_error();
}

// ------------------------------------------------------------------ enums

nb::object make_enum(const ModuleGlobals& g, const char* qualname,
                     std::initializer_list<std::pair<const char*, long>> members, const char* enum_base,
                     const char* doc) {
    const char* dot = std::strrchr(qualname, '.');
    nb::list pairs;
    for (const auto& [name, value] : members) pairs.append(nb::make_tuple(nb::str(name), nb::int_(value)));
    nb::object base = nb::module_::import_("enum").attr(enum_base);
    nb::object e = base(nb::str(dot ? dot + 1 : qualname), pairs, "module"_a = g.module_name(),
                        "qualname"_a = nb::str(qualname));
    if (doc) nb::setattr(e, "__doc__", nb::str(doc));
    return e;
}

}  // namespace tessel::bind
