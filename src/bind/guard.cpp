#include "bind/guard.h"

#include "bind/bind.h"

namespace tessel::bind {
namespace {

// 0 while no module dict is watched: nothing that depends on globals is
// remembered then. Any change of a watched dict advances it.
std::uint64_t epoch = 0;

#if PY_VERSION_HEX >= 0x030C0000
int on_globals_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    // Runs before the change is made; nothing reads the globals in between.
    if (epoch != 0) ++epoch;
    return 0;
}
#endif

// The type's version tag as it is now, assigned if need be; 0 when it has
// none (a check made then is not remembered).
unsigned int type_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#else
    _PyType_Lookup(type, str<"__init__">().ptr());  // assigns a tag if it can
#endif
    return type->tp_version_tag;
}

PyObject* lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// `name` as found in the bases of `type` (its MRO past the type itself).
PyObject* lookup_past(PyTypeObject* type, PyObject* name) {
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(mro); ++i)
        if (PyObject* v = own_entry(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)), name)) return v;
    return nullptr;
}

}  // namespace

PyObject* own_entry(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
    // A new reference to the namespace, which the type keeps alive.
    PyObject* dict = PyType_GetDict(type);
    PyObject* v = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
    Py_XDECREF(dict);
#else
    PyObject* v = PyDict_GetItemWithError(type->tp_dict, name);
#endif
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

void watch_globals() {
#if PY_VERSION_HEX >= 0x030C0000
    // One watcher for every import of the module (the interpreter has few).
    static int watcher = -2;
    if (watcher == -2) {
        watcher = PyDict_AddWatcher(&on_globals_event);
        if (watcher < 0) PyErr_Clear();
    }
    if (watcher < 0) return;
    if (PyDict_Watch(watcher, ModuleState::current().dict()) < 0) {
        PyErr_Clear();
        return;
    }
    if (epoch == 0) epoch = 1;
#endif
}

Guard::Guard(const char* global, Names own, Names inherited) : global_(global), own_(own), inherited_(inherited) {}

void Guard::capture(nb::handle cls) const {
    auto* self = const_cast<Guard*>(this);
    if (own_keys_.size() != own_.size() || inherited_keys_.size() != inherited_.size()) {
        // Interned once for every import: the keys never change.
        if (global_) self->global_key_ = check(PyUnicode_InternFromString(global_));
        for (const char* n : own_) self->own_keys_.push_back(check(PyUnicode_InternFromString(n)));
        for (const char* n : inherited_) self->inherited_keys_.push_back(check(PyUnicode_InternFromString(n)));
    }
    Data& d = data();
    d = Data{};
    d.cls = reinterpret_cast<PyTypeObject*>(cls.inc_ref().ptr());
    for (PyObject* k : own_keys_) d.originals.push_back(Py_XNewRef(lookup(d.cls, k)));
    for (PyObject* k : inherited_keys_) d.originals.push_back(Py_XNewRef(lookup_past(d.cls, k)));
}

bool Guard::attributes_resolve(PyTypeObject* type, const Data& d, bool inherited) const {
    auto original = d.originals.begin();
    for (PyObject* k : own_keys_)
        if (lookup(type, k) != *original++) return false;
    if (!inherited) return true;
    for (PyObject* k : inherited_keys_)
        if (lookup_past(type, k) != *original++) return false;
    return true;
}

bool Guard::recall(const Remembered& r, PyTypeObject* type, std::uint64_t now, bool& passed) {
    if (r.type != type || r.tag == 0 || type->tp_version_tag != r.tag || r.epoch != now) return false;
    passed = r.passed;
    return true;
}

void Guard::remember(Remembered& r, PyTypeObject* type, std::uint64_t now, bool passed) {
    r = Remembered{type, type_tag(type), now, passed};
}

bool Guard::holds() const {
    Data& d = data();
    // Calling the class runs its metaclass's call: a patched one is Python
    // code that no remembered answer can stand for.
    if (Py_TYPE(d.cls)->tp_call != PyType_Type.tp_call) return false;
    // Without a global to check, the class's tag alone proves the answer;
    // with one, only while the globals are watched (epoch 0: never recalled).
    const std::uint64_t now = global_key_ ? epoch : 0;
    const bool rememberable = !global_key_ || epoch != 0;
    bool passed;
    if (rememberable && recall(d.global_check, d.cls, now, passed)) return passed;
    passed = (!global_key_ || ModuleGlobals()(nb::handle(global_key_)).ptr() == reinterpret_cast<PyObject*>(d.cls)) &&
             attributes_resolve(d.cls, d, true);
    if (rememberable) remember(d.global_check, d.cls, now, passed);
    return passed;
}

bool Guard::holds_for(PyTypeObject* type) const {
    Data& d = data();
    if (type != d.cls) return false;
    bool passed;
    if (recall(d.type_check, type, 0, passed)) return passed;
    passed = attributes_resolve(type, d, true);
    remember(d.type_check, type, 0, passed);
    return passed;
}

bool Guard::resolves_on(PyTypeObject* type) const {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    Data& d = data();
    Remembered& r = d.any_type[(reinterpret_cast<std::uintptr_t>(type) >> 4) % std::size(d.any_type)];
    bool passed;
    if (recall(r, type, 0, passed)) return passed;
    passed = attributes_resolve(type, d, false);
    remember(r, type, 0, passed);
    return passed;
}

}  // namespace tessel::bind
