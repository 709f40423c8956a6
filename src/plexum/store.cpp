#include "plexum/store.h"

#include "plexum/objects.h"

#include <stdexcept>
#include <unordered_map>

namespace tessel::plexum {

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

// ------------------------------------------------------- writing as JSON

namespace {

// Writes the record or value starting at `*pos` as json.dumps writes its
// Python form; advances `pos`.
void write_words(bind::JsonWriter& w, const Word*& pos) {
    const Word word = *pos++;
    switch (word & kTagMask) {
        case 0:
            w.value(reinterpret_cast<PyObject*>(word));
            return;
        case kConstantTag:
            w.raw(reinterpret_cast<const Constant*>(word & ~kTagMask)->json_text());
            return;
        default:
            break;
    }
    const Shape& shape = *reinterpret_cast<const Shape*>(word & ~kTagMask);
    if (shape.size() == 0) {
        w.raw("{}");
        return;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        w.raw(shape.json_key(i));
        write_words(w, pos);
    }
    w.raw("}");
}

// Whether every value in the words is of a type the writer handles without
// calling Python code (which could observe the list and release the words
// being written).
bool plain_values(const Words& words) {
    for (Word word : words) {
        if (word & kTagMask) continue;
        PyTypeObject* type = Py_TYPE(reinterpret_cast<PyObject*>(word));
        if (type != &PyUnicode_Type && type != &PyFloat_Type && type != &PyLong_Type && type != &PyBool_Type &&
            word != reinterpret_cast<Word>(Py_None))
            return false;
    }
    return true;
}

// The records waiting for the record list `member` of an instruction list
// that has not been observed; null when none wait.
const Words* waiting_records(nb::handle instructions, Words Store::*member) {
    auto found = stores().find(instructions.ptr());
    if (found == stores().end() || found->second.observed) return nullptr;
    return &(found->second.*member);
}

// Writes a record list: the records already in the Python list, then those
// waiting (the order in which observing the list would join them). False
// when a waiting value would need Python code to be written.
bool write_records(bind::JsonWriter& w, nb::handle list, nb::handle instructions, Words Store::*member) {
    w.raw("[");
    bool first = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i, first = false) {
        if (!first) w.raw(", ");
        nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), i));  // held: Python code may remove it
        w.value(item);
    }
    // Looked up only now: writing the items may have run Python code.
    const Words* waiting = waiting_records(instructions, member);
    if (waiting && !plain_values(*waiting)) return false;
    if (waiting) {
        const Word* pos = waiting->data();
        const Word* end = pos + waiting->size();
        while (pos != end) {
            if (!first) w.raw(", ");
            first = false;
            w.raw("[");
            w.value(reinterpret_cast<PyObject*>(*pos++));  // the name
            w.raw(", ");
            write_words(w, pos);
            w.raw("]");
        }
    }
    w.raw("]");
    return true;
}

}  // namespace

bool write_instruction_list(bind::JsonWriter& w, nb::handle instructions) {
    if (!serialize_guard.holds_for(Py_TYPE(instructions.ptr()))) return false;
    nb::object dict = instance_dict(instructions);
    if (has_own(dict, str<"serialize">())) return false;
    PyObject* functions = PyDict_GetItemWithError(dict.ptr(), str<"_functions">().ptr());
    PyObject* properties = functions ? PyDict_GetItemWithError(dict.ptr(), str<"_properties">().ptr()) : nullptr;
    if (PyErr_Occurred()) throw nb::python_error();
    if (!functions || !properties || !PyList_CheckExact(functions) || !PyList_CheckExact(properties)) return false;
    nb::object keep_functions = nb::borrow(functions), keep_properties = nb::borrow(properties);
    w.raw("{\"Functions\": ");
    if (!write_records(w, keep_functions, instructions, &Store::functions)) return false;
    w.raw(", \"Properties\": ");
    if (!write_records(w, keep_properties, instructions, &Store::properties)) return false;
    w.raw("}");
    return true;
}

}  // namespace tessel::plexum
