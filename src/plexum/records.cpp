// The toolkit of plexum.h: records, instruction-list appends, identifiers,
// object creation and the values operations read from their arguments.
#include "plexum/plexum.h"

#include <unordered_map>

namespace tessel::plexum {

namespace {
nb::object instance_dict(nb::handle obj);
bool has_own(nb::handle dict, nb::handle key);
}  // namespace

nb::object item(nb::handle seq, Py_ssize_t i) {
    if (PyTuple_CheckExact(seq.ptr()) || PyList_CheckExact(seq.ptr()))
        return nb::steal(bind::check(PySequence_GetItem(seq.ptr(), i)));
    return nb::steal(bind::check(PyObject_GetItem(seq.ptr(), int_value(i).ptr())));
}

nb::object name_of(nb::handle obj) { return nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), str<"_name">().ptr()))); }

// ------------------------------------------------------------------ records

Shape::Shape(std::initializer_list<const char*> keys) {
    keys_.reserve(keys.size());
    for (const char* k : keys) keys_.push_back(bind::check(PyUnicode_InternFromString(k)));
    template_ = bind::check(PyDict_New());
    for (PyObject* k : keys_) bind::check(PyDict_SetItem(template_, k, Py_None));
}

const Shape& point_shape() {
    static const Shape shape{"x", "y", "z"};
    return shape;
}

void Record::check_complete() const {
    if (count_ != shape_->size())
        throw std::logic_error("record made with " + std::to_string(count_) + " values for " +
                               std::to_string(shape_->size()) + " keys");
}

void Record::grow() {
    const std::size_t capacity = capacity_ * 2;
    auto* data = static_cast<Word*>(PyMem_RawMalloc(capacity * sizeof(Word)));
    if (!data) throw std::bad_alloc();
    std::copy_n(data_, size_, data);
    if (data_ != inline_) PyMem_RawFree(data_);
    data_ = data;
    capacity_ = capacity;
}

void Record::take(Record& other) noexcept {
    if (other.data_ == other.inline_) {
        std::copy_n(other.inline_, other.size_, inline_);
        data_ = inline_;
        capacity_ = kInline;
    } else {
        data_ = other.data_;
        capacity_ = other.capacity_;
        other.data_ = other.inline_;
        other.capacity_ = kInline;
    }
    size_ = other.size_;
    other.size_ = 0;
}

nb::object Record::make(const Word*& pos) {
    const Word w = *pos++;
    switch (w & kTagMask) {
        case 0:
            return nb::borrow(reinterpret_cast<PyObject*>(w));
        case kConstantTag:
            return reinterpret_cast<const Constant*>(w & ~kTagMask)->make();
        default:
            break;
    }
    const Shape& shape = *reinterpret_cast<const Shape*>(w & ~kTagMask);
    // A copy of the key template takes over its key table: the values then
    // replace the Nones without growing or rehashing anything.
    nb::object dict = nb::steal(bind::check(PyDict_Copy(shape.key_template())));
    for (std::size_t i = 0; i < shape.size(); ++i) {
        nb::object v = make(pos);
        bind::check(PyDict_SetItem(dict.ptr(), shape.key(i), v.ptr()));
    }
    return dict;
}

Constant::Tree Constant::describe(PyObject* dict) {
    Tree tree{dict, {}};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (PyDict_CheckExact(value)) tree.nested.emplace_back(key, describe(value));
    return tree;
}

// A new copy of a tree of dicts: the dicts new, every other value shared.
nb::object Constant::copy(const Tree& tree) {
    nb::object copy = nb::steal(bind::check(PyDict_Copy(tree.dict)));
    for (const auto& [key, nested] : tree.nested) {
        nb::object value = Constant::copy(nested);
        bind::check(PyDict_SetItem(copy.ptr(), key, value.ptr()));
    }
    return copy;
}

Constant::Constant(Record&& record) : tree_(describe(record.make().release().ptr())) {}

nb::object Constant::make() const { return copy(tree_); }

const Constant& zero_point() {
    static const Constant zero(Record(point_shape()).add(float_zero()).add(float_zero()).add(float_zero()));
    return zero;
}

nb::object Record::make() const {
    check_complete();
    const Word* pos = data_;
    return make(pos);
}

Value point_value(nb::handle xyz) {
    if (!point3d_guard.holds())
        return global(str<"_Point3D">()).attr("from_tuple")(xyz).attr("serialize")();
    nb::object x = item(xyz, 0), y = item(xyz, 1), z = item(xyz, 2);
    Record r(point_shape());
    r.add(std::move(x)).add(std::move(y)).add(std::move(z));
    return r;
}

Value point_value(nb::handle x, nb::handle y, nb::handle z) {
    if (!point3d_guard.holds()) return global(str<"_Point3D">())(x, y, z).attr("serialize")();
    Record r(point_shape());
    r.add(x).add(y).add(z);
    return r;
}

Value circle_arc_value(nb::handle arc) {
    if (circle_arc_guard.holds_for(Py_TYPE(arc.ptr()))) {
        nb::object dict = instance_dict(arc);
        PyObject* center = PyDict_GetItemWithError(dict.ptr(), str<"center">().ptr());
        PyObject* normal = center ? PyDict_GetItemWithError(dict.ptr(), str<"normal_vector">().ptr()) : nullptr;
        PyObject* alpha = normal ? PyDict_GetItemWithError(dict.ptr(), str<"alpha">().ptr()) : nullptr;
        if (PyErr_Occurred()) throw nb::python_error();
        if (alpha && !has_own(dict, str<"_serialize">())) {
            static const Shape shape{"Center", "NormalVector", "Alfa"};
            // Keep the attributes alive while the points are read: reading
            // an item may run code that rebinds them.
            nb::object c = nb::borrow(center), n = nb::borrow(normal), a = nb::borrow(alpha);
            Value cv = point_value(c);
            Value nv = point_value(n);
            Record r(shape);
            r.add(std::move(cv)).add(std::move(nv)).add(std::move(a));
            return r;
        }
    }
    return arc.attr("_serialize")();
}

Value circle_arc_value(nb::handle center, nb::handle normal_vector, nb::handle alpha) {
    if (circle_arc_guard.holds()) {
        static const Shape shape{"Center", "NormalVector", "Alfa"};
        Value cv = point_value(center);
        Value nv = point_value(normal_vector);
        Record r(shape);
        r.add(std::move(cv)).add(std::move(nv)).add(alpha);
        return r;
    }
    return circle_arc_value(global(str<"CircleArc">())(center, normal_vector, alpha));
}

Value zero_circle_arc_value() {
    if (circle_arc_guard.holds() && point3d_guard.holds()) {
        static const Shape shape{"Center", "NormalVector", "Alfa"};
        static const Constant zero(Record(shape).add(zero_point()).add(zero_point()).add(float_zero()));
        return zero;
    }
    nb::handle f0 = float_zero();
    nb::object origin = nb::make_tuple(f0, f0, f0);
    return circle_arc_value(origin, origin, f0);
}

// -------------------------------------------------------- instruction lists
//
// Records appended the direct way wait in a compact store, one per
// instruction list, until anything can observe the lists: reading, setting
// or deleting `_functions` / `_properties`, `__dict__` (vars()), pickling and
// copying (`__getstate__`), and everything built on them (`serialize()`,
// `_serialize()`). The first observation turns the waiting records into the
// exact tuples and dicts, appended to the lists in order, and from then on
// the lists are the one source of truth: later records go straight into them.

namespace {

// Allocations that tracemalloc sees, like the Python objects they replace.
template <typename T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() = default;
    template <typename U>
    RawAllocator(const RawAllocator<U>&) {}
    T* allocate(std::size_t n) {
        if (void* p = PyMem_RawMalloc(n * sizeof(T))) return static_cast<T*>(p);
        throw std::bad_alloc();
    }
    void deallocate(T* p, std::size_t) { PyMem_RawFree(p); }
    bool operator==(const RawAllocator&) const { return true; }
};

using Words = std::vector<Word, RawAllocator<Word>>;

struct Store {
    Words functions, properties;  // per record: the name, then the record's words
    bool observed = false;
    PyObject* weakref = nullptr;  // its callback drops the store with the list
};

// Keyed by the instruction list; an entry lives as long as its list.
std::unordered_map<PyObject*, Store>& stores() {
    static auto* map = new std::unordered_map<PyObject*, Store>();
    return *map;
}

// The stores of the lists used last (an interface's operations alternate
// between few lists). Entries are dropped with their store.
struct CachedStore {
    PyObject* key = nullptr;
    Store* store = nullptr;
};
CachedStore store_cache[4];
unsigned next_cache_slot = 0;

void forget_cached(PyObject* key) {
    for (CachedStore& c : store_cache)
        if (c.key == key) c = CachedStore{};
}

// Drops the records and gives their memory back.
void release(Words& words) {
    Record::release(words.data(), words.data() + words.size());
    Words().swap(words);
}

Store& store_of(nb::handle instructions) {
    PyObject* key = instructions.ptr();
    for (const CachedStore& c : store_cache)
        if (c.key == key) return *c.store;
    auto [it, inserted] = stores().try_emplace(key);
    if (inserted) {
        try {
            nb::object callback = nb::cpp_function([key](nb::handle) {
                // Runs while the list is freed: dropping the records may run
                // Python code (a value's __del__), so keep any pending error.
                bind::SavedError saved;
                forget_cached(key);
                auto found = stores().find(key);
                if (found != stores().end()) {
                    Store dropped = std::move(found->second);
                    stores().erase(found);
                    release(dropped.functions);
                    release(dropped.properties);
                    Py_XDECREF(dropped.weakref);
                }
            });
            it->second.weakref = bind::check(PyWeakref_NewRef(key, callback.ptr()));
        } catch (...) {
            stores().erase(it);
            throw;
        }
    }
    // Elements of an unordered_map keep their address until erased.
    store_cache[next_cache_slot++ % std::size(store_cache)] = CachedStore{key, &it->second};
    return it->second;
}



// Appends the waiting records of `words` to the list `key` of the list's
// dict. Records appended before a failure leave the store.
void materialise(nb::handle instructions, Words& words, nb::handle key) {
    if (words.empty()) return;
    nb::object dict = instance_dict(instructions);
    PyObject* list = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!list && PyErr_Occurred()) throw nb::python_error();
    if (!list || !PyList_CheckExact(list)) throw std::logic_error("instruction list without its record list");
    nb::object keep = nb::borrow(list);
    const Word* begin = words.data();
    const Word* pos = begin;
    const Word* end = begin + words.size();
    try {
        while (pos != end) {
            PyObject* name = reinterpret_cast<PyObject*>(*pos++);
            nb::object value = Record::make(pos);
            PyObject* pair = bind::check(PyTuple_New(2));
            PyTuple_SET_ITEM(pair, 0, Py_NewRef(name));
            PyTuple_SET_ITEM(pair, 1, value.release().ptr());
            const int appended = PyList_Append(list, pair);
            Py_DECREF(pair);
            bind::check(appended);
            begin = pos;
        }
    } catch (...) {
        const std::size_t done = static_cast<std::size_t>(begin - words.data());
        Record::release(words.data(), begin);
        words.erase(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(done));
        throw;
    }
    release(words);
}

}  // namespace

void observe_instructions(nb::handle instructions, bool only_if_waiting) {
    // Records wait only for lists of the class as built, but they must join
    // their list whatever its class has become since.
    if (stores().find(instructions.ptr()) == stores().end()) {
        if (only_if_waiting || Py_TYPE(instructions.ptr()) != add_function_guard.cls()) return;
    }
    Store& store = store_of(instructions);
    if (store.observed) return;
    bind::CollectorPause pause;
    materialise(instructions, store.functions, str<"_functions">());
    materialise(instructions, store.properties, str<"_properties">());
    store.observed = true;
}

namespace {

// The instance's own attribute dict (made on first use), as a new reference.
nb::object instance_dict(nb::handle obj) {
    return nb::steal(bind::check(PyObject_GenericGetDict(obj.ptr(), nullptr)));
}

bool has_own(nb::handle dict, nb::handle key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v != nullptr;
}

// Whether the instruction list takes records the direct way for the method
// `guard` stands for: it is this module's own class with its own method, not
// shadowed on the instance. Sets `dict` to the list's attribute dict.
bool takes_direct(nb::handle instructions, const bind::Guard& guard, nb::handle method, nb::object& dict) {
    if (!guard.holds_for(Py_TYPE(instructions.ptr()))) return false;
    dict = instance_dict(instructions);
    return !has_own(dict, method);
}

// The record list `list_key` of an observed list's dict; invalid when the
// list is gone or replaced by another kind of object (the method is then
// called, as Python would).
nb::object record_list(nb::handle dict, nb::handle list_key) {
    PyObject* list = PyDict_GetItemWithError(dict.ptr(), list_key.ptr());
    if (!list) {
        if (PyErr_Occurred()) throw nb::python_error();
        return {};
    }
    if (!PyList_CheckExact(list)) return {};
    return nb::borrow(list);
}

void append_pair(nb::handle list, nb::handle name, nb::handle value) {
    nb::object pair = nb::steal(bind::check(PyTuple_Pack(2, name.ptr(), value.ptr())));
    bind::check(PyList_Append(list.ptr(), pair.ptr()));
}

// Appends the record's name and words to a store's waiting records.
template <typename Recorded>
void store_words(Words& words, nb::handle name, Recorded&& record) {
    const std::size_t size = words.size();
    try {
        words.push_back(reinterpret_cast<Word>(name.inc_ref().ptr()));
        record.move_words_to(words);
    } catch (...) {
        Record::release(words.data() + size, words.data() + words.size());
        words.resize(size);
        throw;
    }
}

// `instructions.<method>(name, value)` for one of the two record lists:
// stored compactly while the list waits, appended to the list once it is
// observed, and the method called whenever anything is not the original.
template <bind::Literal Method, bind::Literal ListKey, typename Recorded>
void append_record(nb::handle instructions, const bind::Guard& guard, Words Store::*words, nb::handle name,
                   Recorded&& value) {
    nb::object dict;
    if (takes_direct(instructions, guard, str<Method>(), dict)) {
        Store& store = store_of(instructions);
        // The lists exist while records wait: only their descriptors can
        // replace or delete them, and those observe the list first.
        if (!store.observed && (!(store.*words).empty() || record_list(dict, str<ListKey>()).is_valid())) {
            if (!value.holds_containers()) return store_words(store.*words, name, std::forward<Recorded>(value));
            // The collector must see what the record holds: from now on the
            // list's records are Python objects.
            observe_instructions(instructions);
        }
        nb::object list = record_list(dict, str<ListKey>());
        if (store.observed && list.is_valid()) return append_pair(list, name, value.make());
    }
    instructions.attr(str<Method>())(name, value.make());
}

}  // namespace

void add_function_to(nb::handle instructions, nb::handle name, Record&& params) {
    append_record<"add_function", "_functions">(instructions, add_function_guard, &Store::functions, name,
                                                std::move(params));
}

void add_function(nb::handle interface, nb::handle name, Record&& params) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    add_function_to(instructions, name, std::move(params));
}

void add_property(nb::handle interface, nb::handle name, Value&& value) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    append_record<"add_property", "_properties">(instructions, add_property_guard, &Store::properties, name,
                                                 std::move(value));
}

// --------------------------------------------------------- objects and ids

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
    for (++i; i < n; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (PyObject* v = PyDict_GetItemWithError(base->tp_dict, str<"__init__">().ptr())) return v;
        if (PyErr_Occurred()) throw nb::python_error();
    }
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

nb::object model_of(nb::handle interface) {
    auto found = model_links().find(interface.ptr());
    return found == model_links().end() ? nb::object() : referent(found->second.model);
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

// Whether `interface._objects` holds `obj` at the place its id names.
bool created_by(nb::handle interface, nb::handle obj) {
    nb::object objects = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_objects">().ptr())));
    nb::object id = id_of(obj);
    if (!PyLong_Check(id.ptr())) return false;
    const Py_ssize_t index = PyLong_AsSsize_t(id.ptr()) - 1;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
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
        auto found = model_links().find(key);
        if (found == model_links().end()) return;
        ModelLink link = found->second;
        model_links().erase(found);
        Py_DECREF(link.model);
        Py_DECREF(link.interface);
    });
    nb::object interface_ref = nb::steal(bind::check(PyWeakref_NewRef(key, callback.ptr())));
    auto [it, inserted] = model_links().try_emplace(key, ModelLink{model_ref.ptr(), interface_ref.ptr()});
    if (!inserted) {
        Py_DECREF(it->second.model);
        Py_DECREF(it->second.interface);
        it->second = ModelLink{model_ref.ptr(), interface_ref.ptr()};
    }
    model_ref.release();
    interface_ref.release();
}

void check_argument(nb::handle obj, const Expected& expected, nb::handle interface) {
    const auto kind = static_cast<std::size_t>(expected.kind);
    if (!bind::isinstance(obj, global(kind_keys().cls[kind]))) {
        // Another kind of model object is a mistake; anything else (a
        // stand-in that carries an id) is taken as it is.
        if (!bind::isinstance(obj, global(str<"Object">()))) return;
        for (PyObject* other : kind_keys().all)
            if (bind::isinstance(obj, global(other))) {
                PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a %s, not %U", expected.function,
                             expected.argument, kKinds[kind].cls, describe(obj).ptr());
                throw nb::python_error();
            }
        return;
    }
    nb::object model = model_of(interface);
    if (!model.is_valid()) return;  // an interface made without a Model
    nb::object owner = nb::steal(bind::check(PyObject_GetAttr(model.ptr(), kind_keys().attribute[kind])));
    // A member belongs where its line does.
    nb::object created = expected.kind == Kind::member
                             ? nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), str<"_line">().ptr())))
                             : nb::borrow(obj);
    if (created_by(owner, created)) return;
    model_error(nb::steal(bind::check(PyUnicode_FromFormat(
        "%s() argument '%s': %U belongs to another model; use the objects created through this model",
        expected.function, expected.argument, describe(obj).ptr()))));
}

// ------------------------------------------------------------------ errors

void model_error(const char* message) { bind::raise(global(str<"ModelError">()), nb::str(message)); }
void model_error(nb::handle message) { bind::raise(global(str<"ModelError">()), message); }

// -------------------------------------------------------------- constants

nb::handle float_zero() {
    static PyObject* const zero = PyFloat_FromDouble(0.0);
    return zero;
}

nb::handle int_value(long v) {
    // The interpreter keeps these for its whole life, so a borrowed handle
    // stays valid; any other value would need a reference of its own.
    if (v < 0 || v > 256) throw std::logic_error("int_value is for small ints only");
    PyObject* i = bind::check(PyLong_FromLong(v));
    Py_DECREF(i);
    return i;
}

}  // namespace tessel::plexum
