#include "plexum/objects.h"

#include "plexum/records.h"

#include <stdexcept>
#include <unordered_map>

namespace tessel::plexum {

namespace {
nb::object objects_of(nb::handle interface) {
    return nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_objects">().ptr())));
}
}  // namespace

nb::object next_id(nb::handle interface) {
    nb::object objects = objects_of(interface);
    Py_ssize_t n = PyObject_Size(objects.ptr());
    if (n < 0) throw nb::python_error();
    return nb::steal(bind::check(PyLong_FromSsize_t(n + 1)));
}

nb::object append_object(nb::handle interface, nb::object obj) {
    nb::object objects = objects_of(interface);
    if (PyList_CheckExact(objects.ptr()))
        bind::check(PyList_Append(objects.ptr(), obj.ptr()));
    else
        objects.attr("append")(obj);
    return obj;
}

namespace {

// Object's own `__init__` and `id`, per import.
struct ObjectOriginals {
    PyObject* init = nullptr;
};
bind::PerModule<ObjectOriginals> object_originals;
const bind::Guard object_id_guard{nullptr, {"id"}};
const bind::Guard enum_value_guard{nullptr, {"value"}};

// `__init__` as `super(cls, obj).__init__` finds it: in the MRO of obj's
// type, past `cls`.
PyObject* init_past(PyTypeObject* type, PyTypeObject* cls) {
    PyObject* mro = type->tp_mro;
    Py_ssize_t i = 0, n = mro ? PyTuple_GET_SIZE(mro) : 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != reinterpret_cast<PyObject*>(cls)) ++i;
    for (++i; i < n; ++i)
        if (PyObject* v = bind::own_entry(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)),
                                          str<"__init__">().ptr()))
            return v;
    return nullptr;
}

// `self.<key> = value` for the values in [begin, end), through the type's own
// setattr (the keys are interned, as Python's own attribute names are).
void set_attributes(nb::handle self, PyObject* const* keys, const nb::handle* begin, const nb::handle* end) {
    setattrofunc setattro = Py_TYPE(self.ptr())->tp_setattro;
    for (const nb::handle* v = begin; v != end; ++v) bind::check(setattro(self.ptr(), *keys++, v->ptr()));
}

}  // namespace

void object_class_made(nb::handle cls) {
    object_originals->init = Py_NewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), str<"__init__">().ptr()));
    object_id_guard.capture(cls);
    enum_value_guard.capture(global(str<"Enum">()));
}

ObjectClass::ObjectClass(const char* name, std::initializer_list<const char*> attributes)
    : name_(name), names_(attributes), guard_(name, {"__init__", "__new__", "__setattr__"}, {"__init__"}) {}

void ObjectClass::made(nb::handle cls) const {
    if (!global_key_) {
        // Interned once for every import: the names never change.
        auto* self = const_cast<ObjectClass*>(this);
        self->global_key_ = bind::check(PyUnicode_InternFromString(name_));
        for (const char* a : names_) self->keys_.push_back(bind::check(PyUnicode_InternFromString(a)));
    }
    guard_.capture(cls);
}

nb::object ObjectClass::create(std::initializer_list<nb::handle> args, std::initializer_list<nb::handle> values) const {
    if (is_original()) {
        if (values.size() != keys_.size()) throw std::logic_error("attribute values do not match the attributes");
        static PyObject* const no_args = PyTuple_New(0);
        PyTypeObject* type = cls();
        nb::object obj = nb::steal(bind::check(type->tp_new(type, no_args, nullptr)));
        set_attributes(obj, keys_.data(), values.begin(), values.end());
        return obj;
    }
    nb::object cls = global(global_key_);
    std::vector<PyObject*> argv;
    argv.reserve(args.size() + 1);
    argv.push_back(nullptr);
    for (nb::handle a : args) argv.push_back(a.ptr());
    return nb::steal(bind::check(
        PyObject_Vectorcall(cls.ptr(), argv.data() + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

void ObjectClass::init(nb::handle self, std::initializer_list<nb::handle> values) const {
    if (values.size() != keys_.size()) throw std::logic_error("attribute values do not match the attributes");
    PyObject* next = init_past(Py_TYPE(self.ptr()), cls());
    if (next == object_originals->init) {
        set_attributes(self, keys_.data(), values.begin(), values.end());
        return;
    }
    // `super().__init__(id_)` is not Object's own (patched, or a class of the
    // application's in between): call it as Python would.
    nb::object super = nb::steal(bind::check(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PySuper_Type), reinterpret_cast<PyObject*>(cls()), self.ptr(), nullptr)));
    super.attr(str<"__init__">())(*values.begin());
    set_attributes(self, keys_.data() + 1, values.begin() + 1, values.end());
}

// ---------------------------------------------------------- reading values

nb::object id_of(nb::handle obj) {
    // `id` is Object's property, which returns `_id`: read that directly.
    const bool direct = object_id_guard.resolves_on(Py_TYPE(obj.ptr()));
    return nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), direct ? str<"_id">().ptr() : str<"id">().ptr())));
}

nb::object value_of(nb::handle member) {
    const bool direct = enum_value_guard.resolves_on(Py_TYPE(member.ptr()));
    return nb::steal(
        bind::check(PyObject_GetAttr(member.ptr(), direct ? str<"_value_">().ptr() : str<"value">().ptr())));
}

nb::object enum_value(nb::handle cls, nb::handle enum_name, nb::handle member) {
    nb::object e = nb::steal(bind::check(PyObject_GetAttr(cls.ptr(), enum_name.ptr())));
    nb::object m = nb::steal(bind::check(PyObject_GetAttr(e.ptr(), member.ptr())));
    return value_of(m);
}

nb::object effective_name(nb::handle name, nb::handle id) {
    if (bind::truthy(name)) return nb::borrow(name);
    return bind::text_of(id);
}

void check_name_free(nb::handle interface, nb::handle name, const char* what) {
    nb::object objects = objects_of(interface);
    nb::object iterator = nb::steal(bind::check(PyObject_GetIter(objects.ptr())));
    bool taken = false;
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object obj = nb::steal(raw);
        nb::object existing = nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), str<"name">().ptr())));
        if (bind::check(PyObject_RichCompareBool(existing.ptr(), name.ptr(), Py_EQ))) {
            taken = true;
            break;
        }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    if (taken) {
        nb::object message = nb::steal(bind::check(PyUnicode_FromFormat("%s with name '%S' already exists", what, name.ptr())));
        model_error(message);
    }
}

// ------------------------------------------------------ checked arguments

namespace {

// Per kind: the class (module global) and the attribute of a Model holding
// the interface that creates such objects.
struct KindInfo {
    const char* cls;
    const char* attribute;
};
constexpr KindInfo kKinds[] = {
    {"Node", "_nodes"},           {"Line", "_lines"},           {"Member", "_lines"},
    {"Material", "_materials"},   {"CrossSection", "_cross_sections"}, {"Domain", "_domains"},
    {"LoadCase", "_load_cases"},  {"LoadCombination", "_load_combinations"},
    {"NodeSupport", "_node_supports"}, {"Section", "_sections"}, {"Reference", "_references"},
};
constexpr std::size_t kKindCount = std::size(kKinds);

// Interned names of the kinds' classes and model attributes, made once.
struct KindKeys {
    PyObject* cls[kKindCount];
    PyObject* attribute[kKindCount];
    std::vector<PyObject*> all;  // every model-object class an application gets
    KindKeys() {
        for (std::size_t i = 0; i < kKindCount; ++i) {
            cls[i] = bind::check(PyUnicode_InternFromString(kKinds[i].cls));
            attribute[i] = bind::check(PyUnicode_InternFromString(kKinds[i].attribute));
        }
        for (const char* name : {"Node", "Line", "Member", "Material", "CrossSection", "Domain", "LoadCase",
                                 "LoadCombination", "Load", "NodeSupport", "LineSupport", "Section", "Reference"})
            all.push_back(bind::check(PyUnicode_InternFromString(name)));
    }
};
const KindKeys& kind_keys() {
    static const KindKeys keys;
    return keys;
}

// The classes as built, per import. A model object is an instance of one of
// them (a subclass of the application's included): kinds are told apart by
// the class hierarchy, without the module globals (which an application may
// patch) and without `__instancecheck__` (ABCMeta's is slow).
struct KindClasses {
    PyTypeObject* kind[kKindCount] = {};
    PyTypeObject* object = nullptr;
    std::vector<PyTypeObject*> all;  // every model-object class an application gets
};
bind::PerModule<KindClasses> kind_classes;

bool is_of_kind(nb::handle obj, std::size_t kind) { return PyObject_TypeCheck(obj.ptr(), kind_classes->kind[kind]); }

// The object a weak reference points to, or an invalid object when it is gone.
nb::object referent(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) throw nb::python_error();
    return nb::steal(obj);
#else
    PyObject* obj = PyWeakref_GetObject(ref);
    if (!obj) throw nb::python_error();
    return obj == Py_None ? nb::object() : nb::borrow(obj);
#endif
}

// The Model each interface made by a Model belongs to, held weakly; an entry
// leaves with its interface.
struct ModelLink {
    PyObject* model;      // weak reference
    PyObject* interface;  // weak reference whose callback drops the entry
};
std::unordered_map<PyObject*, ModelLink>& model_links() {
    static auto* map = new std::unordered_map<PyObject*, ModelLink>();
    return *map;
}

// The links of the interfaces used last (operations alternate between few):
// entries leave with their link.
struct CachedLink {
    PyObject* interface = nullptr;
    const ModelLink* link = nullptr;  // null: the interface has no model
};
CachedLink link_cache[4];
unsigned next_link_slot = 0;

void forget_cached_link(PyObject* interface) {
    for (CachedLink& c : link_cache)
        if (c.interface == interface) c = CachedLink{};
}

nb::object model_of(nb::handle interface) {
    for (const CachedLink& c : link_cache)
        if (c.interface == interface.ptr()) return c.link ? referent(c.link->model) : nb::object();
    auto found = model_links().find(interface.ptr());
    const ModelLink* link = found == model_links().end() ? nullptr : &found->second;
    // Interfaces without a model are not cached: nothing would drop them.
    if (link) link_cache[next_link_slot++ % std::size(link_cache)] = CachedLink{interface.ptr(), link};
    return link ? referent(link->model) : nb::object();
}

// `obj.<key>` of the module's own model and interfaces (few objects, whose
// attributes live in an instance dict once it is asked for); through getattr
// for anything else.
nb::object attribute_of(nb::handle obj, PyObject* key) {
    if (PyObject** dict = _PyObject_GetDictPtr(obj.ptr()); dict && *dict) {
        if (PyObject* v = PyDict_GetItemWithError(*dict, key)) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), key)));
}

// "Material 2" for a model object (its class name and id when it has one).
nb::object describe(nb::handle obj) {
    nb::object id = nb::steal(PyObject_GetAttr(obj.ptr(), str<"id">().ptr()));
    if (!id.is_valid()) {
        PyErr_Clear();
        return nb::str(Py_TYPE(obj.ptr())->tp_name);
    }
    return nb::steal(bind::check(PyUnicode_FromFormat("%s %S", Py_TYPE(obj.ptr())->tp_name, id.ptr())));
}

// Whether `interface._objects` holds `obj` at the place its `id` names.
bool created_by(nb::handle interface, nb::handle obj, nb::handle id) {
    nb::object objects = attribute_of(interface, str<"_objects">().ptr());
    if (!PyLong_Check(id.ptr())) return false;
    const Py_ssize_t index = PyLong_AsSsize_t(id.ptr()) - 1;
    if (index == -2 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (PyList_CheckExact(objects.ptr()))
        return index >= 0 && index < PyList_GET_SIZE(objects.ptr()) && PyList_GET_ITEM(objects.ptr(), index) == obj.ptr();
    const Py_ssize_t n = PyObject_Size(objects.ptr());
    if (n < 0) throw nb::python_error();
    if (index < 0 || index >= n) return false;
    nb::object found = nb::steal(bind::check(PySequence_GetItem(objects.ptr(), index)));
    return found.ptr() == obj.ptr();
}

}  // namespace

void link_to_model(nb::handle interface, nb::handle model) {
    PyObject* key = interface.ptr();
    nb::object model_ref = nb::steal(bind::check(PyWeakref_NewRef(model.ptr(), nullptr)));
    nb::object callback = nb::cpp_function([key](nb::handle) {
        bind::SavedError saved;
        forget_cached_link(key);
        auto found = model_links().find(key);
        if (found == model_links().end()) return;
        ModelLink link = found->second;
        model_links().erase(found);
        Py_DECREF(link.model);
        Py_DECREF(link.interface);
    });
    nb::object interface_ref = nb::steal(bind::check(PyWeakref_NewRef(key, callback.ptr())));
    forget_cached_link(key);
    auto [it, inserted] = model_links().try_emplace(key, ModelLink{model_ref.ptr(), interface_ref.ptr()});
    if (!inserted) {
        Py_DECREF(it->second.model);
        Py_DECREF(it->second.interface);
        it->second = ModelLink{model_ref.ptr(), interface_ref.ptr()};
    }
    model_ref.release();
    interface_ref.release();
}

void capture_kinds() {
    auto as_type = [](nb::handle name) {
        return reinterpret_cast<PyTypeObject*>(global(name).inc_ref().ptr());  // held by the import
    };
    KindClasses& classes = *kind_classes;
    for (std::size_t kind = 0; kind < kKindCount; ++kind) classes.kind[kind] = as_type(kind_keys().cls[kind]);
    classes.object = as_type(str<"Object">());
    for (PyObject* name : kind_keys().all) classes.all.push_back(as_type(name));
}

namespace {

// The checks of check_argument; returns the id read on the way (invalid for
// a stand-in, whose id is read only when its record is written).
nb::object checked(nb::handle obj, const Expected& expected, nb::handle interface) {
    const auto kind = static_cast<std::size_t>(expected.kind);
    if (!is_of_kind(obj, kind)) {
        // Another kind of model object is a mistake; anything else (a
        // stand-in that carries an id) is taken as it is.
        if (!PyObject_TypeCheck(obj.ptr(), kind_classes->object)) return {};
        for (PyTypeObject* other : kind_classes->all)
            if (PyObject_TypeCheck(obj.ptr(), other)) {
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a %s, not %U", expected.function,
                             expected.argument, kKinds[kind].cls, describe(obj).ptr());
                throw nb::python_error();
            }
        return {};
    }
    nb::object id = id_of(obj);
    nb::object model = model_of(interface);
    if (!model.is_valid()) return id;  // an interface made without a Model
    nb::object owner = attribute_of(model, kind_keys().attribute[kind]);
    // A member belongs where its line does.
    if (expected.kind == Kind::member) {
        // (read through getattr: a model object's attributes stay in its
        // compact instance values, which a dict of its own would replace)
        nb::object line = nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), str<"_line">().ptr())));
        if (created_by(owner, line, id_of(line))) return id;
    } else if (created_by(owner, obj, id)) {
        return id;
    }
    model_error(nb::steal(bind::check(PyUnicode_FromFormat(
        "%s() argument '%s': %U belongs to another model; use the objects created through this model",
        expected.function, expected.argument, describe(obj).ptr()))));
}

}  // namespace

void check_argument(nb::handle obj, const Expected& expected, nb::handle interface) {
    checked(obj, expected, interface);
}

nb::object id_of(nb::handle obj, const Expected& expected, nb::handle interface) {
    nb::object id = checked(obj, expected, interface);
    return id.is_valid() ? id : id_of(obj);
}

namespace {
template <typename Read>
nb::object ids_read(nb::handle objects, Read&& read) {
    nb::object ids = nb::steal(bind::check(PyList_New(0)));
    nb::object iterator = nb::steal(bind::check(PyObject_GetIter(objects.ptr())));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(raw);
        nb::object id = read(item);
        bind::check(PyList_Append(ids.ptr(), id.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return ids;
}
}  // namespace

nb::object ids_of(nb::handle objects) {
    return ids_read(objects, [](nb::handle item) { return id_of(item); });
}

nb::object ids_of(nb::handle objects, const Expected& expected, nb::handle interface) {
    return ids_read(objects, [&](nb::handle item) { return id_of(item, expected, interface); });
}

// ------------------------------------------------------ serialised lists

const bind::Guard interface_serialize_guard{nullptr, {"_serialize"}};
const bind::Guard calculation_serialize_guard{nullptr, {"_serialize"}};

nb::object serialized_instructions(nb::handle interface) {
    PyTypeObject* type = Py_TYPE(interface.ptr());
    nb::handle list_key;
    if (calculation_serialize_guard.holds_for(type))
        list_key = str<"instructions">();
    else if (interface_serialize_guard.resolves_on(type))
        list_key = str<"_instructions">();
    else
        return {};
    if (has_own(instance_dict(interface), str<"_serialize">())) return {};
    return nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), list_key.ptr())));
}

// ------------------------------------------------------------------ helpers

nb::object item(nb::handle seq, Py_ssize_t i) {
    if (PyTuple_CheckExact(seq.ptr()) || PyList_CheckExact(seq.ptr()))
        return nb::steal(bind::check(PySequence_GetItem(seq.ptr(), i)));
    return nb::steal(bind::check(PyObject_GetItem(seq.ptr(), int_value(i).ptr())));
}

nb::object name_of(nb::handle obj) { return nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), str<"_name">().ptr()))); }


nb::object instance_dict(nb::handle obj) {
    return nb::steal(bind::check(PyObject_GenericGetDict(obj.ptr(), nullptr)));
}

bool has_own(nb::handle dict, nb::handle key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v != nullptr;
}

}  // namespace tessel::plexum
