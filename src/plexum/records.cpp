// The toolkit of plexum.h: records, instruction-list appends, identifiers,
// object creation and the values operations read from their arguments.
#include "plexum/plexum.h"

#include <unordered_map>

namespace tessel::plexum {

// ------------------------------------------------------------ module globals

nb::object global(nb::handle key) {
    PyObject* dict = PyModule_GetDict(g.module().ptr());
    if (PyObject* v = PyDict_GetItemWithError(dict, key.ptr())) return nb::borrow(v);
    if (PyErr_Occurred()) throw nb::python_error();
    if (PyObject* builtins = PyEval_GetBuiltins()) {
        if (PyObject* v = PyDict_GetItemWithError(builtins, key.ptr())) return nb::borrow(v);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    throw nb::python_error();
}

PyObject* lookup_on_type(nb::handle type, nb::handle name) {
    return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(type.ptr()), name.ptr());
}

// ------------------------------------------------------- fast-path checks

unsigned int type_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#else
    _PyType_Lookup(type, str<"__init__">().ptr());  // assigns a tag if it can
#endif
    return type->tp_version_tag;
}

namespace {
std::uint64_t epoch = 0;  // 0: the globals are not watched

#if PY_VERSION_HEX >= 0x030C0000
int on_globals_event(PyDict_WatchEvent event, PyObject*, PyObject*, PyObject*) {
    // Runs before the change is made; nothing reads the globals in between.
    if (event == PyDict_EVENT_DEALLOCATED)
        epoch = 0;
    else if (epoch != 0)
        ++epoch;
    return 0;
}
#endif
}  // namespace

std::uint64_t globals_epoch() { return epoch; }

void watch_globals() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* dict = PyModule_GetDict(g.module().ptr());
    int id = PyDict_AddWatcher(&on_globals_event);
    if (id < 0) {
        PyErr_Clear();  // no watcher left: every check is made afresh
        return;
    }
    if (PyDict_Watch(id, dict) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(id);
        PyErr_Clear();
        return;
    }
    epoch = 1;
#endif
}

namespace {

nb::object instance_dict(nb::handle obj);
bool has_own(nb::handle dict, nb::handle key);

// `seq[i]` for i = 0, 1, 2, with the item's own errors.
nb::object item(nb::handle seq, Py_ssize_t i) {
    if (PyTuple_CheckExact(seq.ptr()) || PyList_CheckExact(seq.ptr()))
        return nb::steal(bind::check(PySequence_GetItem(seq.ptr(), i)));
    return nb::steal(bind::check(PyObject_GetItem(seq.ptr(), int_value(i).ptr())));
}

// Whether `_Point3D` is still the module's own class with its own methods.
bool point3d_is_original() {
    static RememberedCheck check;
    auto* type = reinterpret_cast<PyTypeObject*>(originals.point3d);
    const std::uint64_t now = globals_epoch();
    if (check.holds(type, now)) return check.passed;
    nb::object cls = global(str<"_Point3D">());
    const bool original =
        cls.ptr() == originals.point3d && lookup_on_type(cls, str<"__init__">()) == originals.point3d_init &&
        lookup_on_type(cls, str<"from_tuple">()) == originals.point3d_from_tuple &&
        lookup_on_type(cls, str<"serialize">()) == originals.point3d_serialize;
    check.remember(type, original, now);
    return original;
}

// Whether `CircleArc` is still the module's own class with its own methods.
bool circle_arc_is_original() {
    static RememberedCheck check;
    auto* type = reinterpret_cast<PyTypeObject*>(originals.circle_arc);
    const std::uint64_t now = globals_epoch();
    if (check.holds(type, now)) return check.passed;
    nb::object cls = global(str<"CircleArc">());
    const bool original = cls.ptr() == originals.circle_arc &&
                          lookup_on_type(cls, str<"__init__">()) == originals.circle_arc_init &&
                          lookup_on_type(cls, str<"_serialize">()) == originals.circle_arc_serialize;
    check.remember(type, original, now);
    return original;
}

}  // namespace

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
    if (!point3d_is_original())
        return global(str<"_Point3D">()).attr("from_tuple")(xyz).attr("serialize")();
    nb::object x = item(xyz, 0), y = item(xyz, 1), z = item(xyz, 2);
    Record r(point_shape());
    r.add(std::move(x)).add(std::move(y)).add(std::move(z));
    return r;
}

Value point_value(nb::handle x, nb::handle y, nb::handle z) {
    if (!point3d_is_original()) return global(str<"_Point3D">())(x, y, z).attr("serialize")();
    Record r(point_shape());
    r.add(x).add(y).add(z);
    return r;
}

Value circle_arc_value(nb::handle arc) {
    static RememberedCheck own_serialize;
    auto* type = reinterpret_cast<PyTypeObject*>(originals.circle_arc);
    if (Py_TYPE(arc.ptr()) == type && !own_serialize.holds(type))
        own_serialize.remember(type, lookup_on_type(arc.type(), str<"_serialize">()) == originals.circle_arc_serialize);
    if (Py_TYPE(arc.ptr()) == type && own_serialize.passed) {
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
    if (circle_arc_is_original()) {
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
    if (circle_arc_is_original() && point3d_is_original()) {
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


nb::object instance_dict(nb::handle obj);

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
    if (Py_TYPE(instructions.ptr()) != reinterpret_cast<PyTypeObject*>(originals.instruction_list)) return;
    if (only_if_waiting && stores().find(instructions.ptr()) == stores().end()) return;
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

// Whether the instruction list takes records the direct way for `method`:
// it is this module's own class with its own method, not shadowed on the
// instance. Sets `dict` to the list's attribute dict.
bool takes_direct(nb::handle instructions, nb::handle method, PyObject* original, RememberedCheck& check,
                  nb::object& dict) {
    PyTypeObject* type = Py_TYPE(instructions.ptr());
    if (type != reinterpret_cast<PyTypeObject*>(originals.instruction_list)) return false;
    if (!check.holds(type)) check.remember(type, lookup_on_type(nb::handle(reinterpret_cast<PyObject*>(type)), method) == original);
    if (!check.passed) return false;
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

RememberedCheck add_function_check, add_property_check;

// `instructions.<method>(name, value)` for one of the two record lists:
// stored compactly while the list waits, appended to the list once it is
// observed, and the method called whenever anything is not the original.
template <bind::Literal Method, bind::Literal ListKey, typename Recorded>
void append_record(nb::handle instructions, PyObject* original, RememberedCheck& check, Words Store::*words,
                   nb::handle name, Recorded&& value) {
    nb::object dict;
    if (takes_direct(instructions, str<Method>(), original, check, dict)) {
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
    append_record<"add_function", "_functions">(instructions, originals.add_function, add_function_check,
                                                &Store::functions, name, std::move(params));
}

void add_function(nb::handle interface, nb::handle name, Record&& params) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    add_function_to(instructions, name, std::move(params));
}

void add_property(nb::handle interface, nb::handle name, Value&& value) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    append_record<"add_property", "_properties">(instructions, originals.add_property, add_property_check,
                                                 &Store::properties, name, std::move(value));
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

ObjectClass::ObjectClass(const char* name, std::initializer_list<const char*> attributes)
    : name_(name), attribute_names_(attributes) {}

void ObjectClass::made(nb::handle cls) {
    global_key_ = bind::check(PyUnicode_InternFromString(name_));
    for (const char* a : attribute_names_) keys_.push_back(bind::check(PyUnicode_InternFromString(a)));
    cls_ = cls.inc_ref().ptr();
    init_ = lookup_on_type(cls, str<"__init__">());
    Py_XINCREF(init_);
    new_ = lookup_on_type(cls, str<"__new__">());
    Py_XINCREF(new_);
}

bool ObjectClass::is_original() const {
    auto* type = reinterpret_cast<PyTypeObject*>(cls_);
    const std::uint64_t now = globals_epoch();
    if (check_.holds(type, now)) return check_.passed;
    nb::object cls = global(global_key_);
    const bool original = cls.ptr() == cls_ && lookup_on_type(cls, str<"__init__">()) == init_ &&
                          lookup_on_type(cls, str<"__new__">()) == new_;
    check_.remember(type, original, now);
    return original;
}

nb::object ObjectClass::create(std::initializer_list<nb::handle> args, std::initializer_list<nb::handle> values) const {
    if (is_original()) {
        static PyObject* const no_args = PyTuple_New(0);
        auto* type = reinterpret_cast<PyTypeObject*>(cls_);
        nb::object obj = nb::steal(bind::check(type->tp_new(type, no_args, nullptr)));
        set_attributes(obj, keys_, values);
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

void ObjectClass::set_attributes(nb::handle self, const std::vector<PyObject*>& keys,
                                 std::initializer_list<nb::handle> values) {
    if (values.size() != keys.size()) throw std::logic_error("attribute values do not match the attributes");
    // The keys are interned strings: the type's own setattr takes them as
    // `self.<key> = value` does.
    setattrofunc setattro = Py_TYPE(self.ptr())->tp_setattro;
    auto key = keys.begin();
    for (nb::handle v : values) bind::check(setattro(self.ptr(), *key++, v.ptr()));
}

// ---------------------------------------------------------- reading values

namespace {

// Per type, whether an attribute is still the original descriptor: a few
// remembered checks, found by the type's address.
template <std::size_t N>
class DescriptorChecks {
public:
    bool is_original(PyTypeObject* type, nb::handle name, PyObject* original) {
        RememberedCheck& check = checks_[(reinterpret_cast<std::uintptr_t>(type) >> 4) % N];
        if (check.holds(type)) return check.passed;
        const bool passed = _PyType_Lookup(type, name.ptr()) == original;
        check.remember(type, passed);
        return passed;
    }

private:
    RememberedCheck checks_[N];
};

DescriptorChecks<16> id_checks;
DescriptorChecks<8> value_checks;

}  // namespace

nb::object id_of(nb::handle obj) {
    const bool direct = id_checks.is_original(Py_TYPE(obj.ptr()), str<"id">(), originals.object_id);
    return nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), direct ? str<"_id">().ptr() : str<"id">().ptr())));
}

nb::object value_of(nb::handle member) {
    const bool direct = value_checks.is_original(Py_TYPE(member.ptr()), str<"value">(), originals.enum_value);
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

// ------------------------------------------------------------------ errors

void model_error(const char* message) { bind::raise(global(str<"ModelError">()), nb::str(message)); }
void model_error(nb::handle message) { bind::raise(global(str<"ModelError">()), message); }

// -------------------------------------------------------------- constants

nb::handle float_zero() {
    static PyObject* const zero = PyFloat_FromDouble(0.0);
    return zero;
}

nb::handle int_value(long v) {
    // Small ints (-5 to 256) are immortal: no reference needs keeping. Any
    // other value keeps the one taken here for the life of the process.
    PyObject* i = bind::check(PyLong_FromLong(v));
    if (v >= -5 && v <= 256) Py_DECREF(i);
    return i;
}

}  // namespace tessel::plexum
