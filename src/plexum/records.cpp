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
    nb::object cls = global(str<"_Point3D">());
    return cls.ptr() == originals.point3d && lookup_on_type(cls, str<"__init__">()) == originals.point3d_init &&
           lookup_on_type(cls, str<"from_tuple">()) == originals.point3d_from_tuple &&
           lookup_on_type(cls, str<"serialize">()) == originals.point3d_serialize;
}

}  // namespace

// ------------------------------------------------------------------ records

Shape::Shape(std::initializer_list<const char*> keys) {
    keys_.reserve(keys.size());
    for (const char* k : keys) keys_.push_back(bind::check(PyUnicode_InternFromString(k)));
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

nb::object Record::make(const Word*& pos) {
    const Word w = *pos++;
    if (!(w & 1)) return nb::borrow(reinterpret_cast<PyObject*>(w));
    const Shape& shape = *reinterpret_cast<const Shape*>(w & ~Word(1));
    nb::object dict = nb::steal(bind::check(_PyDict_NewPresized(static_cast<Py_ssize_t>(shape.size()))));
    for (std::size_t i = 0; i < shape.size(); ++i) {
        nb::object v = make(pos);
        bind::check(PyDict_SetItem(dict.ptr(), shape.key(i), v.ptr()));
    }
    return dict;
}

nb::object Record::make() const {
    check_complete();
    const Word* pos = words_.data();
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
    if (Py_TYPE(arc.ptr()) == reinterpret_cast<PyTypeObject*>(originals.circle_arc) &&
        lookup_on_type(arc.type(), str<"_serialize">()) == originals.circle_arc_serialize) {
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
    nb::object cls = global(str<"CircleArc">());
    if (cls.ptr() == originals.circle_arc && lookup_on_type(cls, str<"__init__">()) == originals.circle_arc_init &&
        lookup_on_type(cls, str<"_serialize">()) == originals.circle_arc_serialize) {
        static const Shape shape{"Center", "NormalVector", "Alfa"};
        Value cv = point_value(center);
        Value nv = point_value(normal_vector);
        Record r(shape);
        r.add(std::move(cv)).add(std::move(nv)).add(alpha);
        return r;
    }
    return circle_arc_value(cls(center, normal_vector, alpha));
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

void release(Words& words) {
    Record::release(words.data(), words.data() + words.size());
    words.clear();
}

Store& store_of(nb::handle instructions) {
    auto [it, inserted] = stores().try_emplace(instructions.ptr());
    if (!inserted) return it->second;
    PyObject* key = instructions.ptr();
    try {
        nb::object callback = nb::cpp_function([key](nb::handle) {
            // Runs while the list is freed: dropping the records may run
            // Python code (a value's __del__), so keep any pending error.
            PyObject* raised = PyErr_GetRaisedException();
            auto found = stores().find(key);
            if (found != stores().end()) {
                Store dropped = std::move(found->second);
                stores().erase(found);
                release(dropped.functions);
                release(dropped.properties);
                Py_XDECREF(dropped.weakref);
            }
            PyErr_SetRaisedException(raised);
        });
        it->second.weakref = bind::check(PyWeakref_NewRef(key, callback.ptr()));
    } catch (...) {
        stores().erase(it);
        throw;
    }
    return it->second;
}

// Pauses the cycle collector while the waiting records become Python objects:
// the collections their allocation would trigger only walk new records.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

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
            nb::object pair = nb::steal(bind::check(PyTuple_Pack(2, name, value.ptr())));
            bind::check(PyList_Append(list, pair.ptr()));
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
    CollectorPause pause;
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

// The `_functions` or `_properties` list of an instruction list that is this
// module's own, unpatched; an invalid handle when the method must be called.
nb::object direct_list(nb::handle instructions, nb::handle method, PyObject* original, nb::handle list_key) {
    if (Py_TYPE(instructions.ptr()) != reinterpret_cast<PyTypeObject*>(originals.instruction_list)) return {};
    if (lookup_on_type(instructions.type(), method) != original) return {};
    nb::object dict = instance_dict(instructions);
    if (has_own(dict, method)) return {};
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

// Stores the record in the waiting store, or appends it to the list once the
// list has been observed.
void store_direct(nb::handle instructions, nb::handle list, bool functions, nb::handle name, Record&& record) {
    Store& store = store_of(instructions);
    if (store.observed) return append_pair(list, name, record.make());
    Words& words = functions ? store.functions : store.properties;
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

}  // namespace

void add_function_to(nb::handle instructions, nb::handle name, Record&& params) {
    nb::object list = direct_list(instructions, str<"add_function">(), originals.add_function, str<"_functions">());
    if (list.is_valid()) return store_direct(instructions, list, true, name, std::move(params));
    instructions.attr(str<"add_function">())(name, params.make());
}

void add_function(nb::handle interface, nb::handle name, Record&& params) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    add_function_to(instructions, name, std::move(params));
}

void add_property(nb::handle interface, nb::handle name, Value&& value) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    nb::object list = direct_list(instructions, str<"add_property">(), originals.add_property, str<"_properties">());
    if (list.is_valid()) {
        Store& store = store_of(instructions);
        if (store.observed) return append_pair(list, name, value.make());
        const std::size_t size = store.properties.size();
        try {
            store.properties.push_back(reinterpret_cast<Word>(name.inc_ref().ptr()));
            value.move_words_to(store.properties);
        } catch (...) {
            Record::release(store.properties.data() + size, store.properties.data() + store.properties.size());
            store.properties.resize(size);
            throw;
        }
        return;
    }
    instructions.attr(str<"add_property">())(name, value.make());
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
}

bool ObjectClass::is_original() const {
    nb::object cls = global(global_key_);
    return cls.ptr() == cls_ && lookup_on_type(cls, str<"__init__">()) == init_;
}

nb::object ObjectClass::create(std::initializer_list<nb::handle> args, std::initializer_list<nb::handle> values) const {
    nb::object cls = global(global_key_);
    if (cls.ptr() == cls_ && lookup_on_type(cls, str<"__init__">()) == init_) {
        static PyObject* const no_args = PyTuple_New(0);
        auto* type = reinterpret_cast<PyTypeObject*>(cls_);
        nb::object obj = nb::steal(bind::check(type->tp_new(type, no_args, nullptr)));
        set_attributes(obj, keys_, values);
        return obj;
    }
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
    auto key = keys.begin();
    for (nb::handle v : values) bind::check(PyObject_SetAttr(self.ptr(), *key++, v.ptr()));
}

// ---------------------------------------------------------- reading values

nb::object id_of(nb::handle obj) {
    bool direct = lookup_on_type(obj.type(), str<"id">()) == originals.object_id;
    return nb::steal(bind::check(PyObject_GetAttr(obj.ptr(), direct ? str<"_id">().ptr() : str<"id">().ptr())));
}

nb::object value_of(nb::handle member) {
    bool direct = lookup_on_type(member.type(), str<"value">()) == originals.enum_value;
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
