// Fast paths and the originals they depend on.
//
// A fast path may skip the lookups Python code would make only while
// everything those lookups would find is still what the module made: the
// module global naming a class, the class's methods and descriptors, the
// metaclass's call. A Guard names those things once; its first check looks
// them up, and the answer is remembered against what proves it unchanged: a
// class's version tag (CPython gives a class a new, never reused tag whenever
// it or one of its bases changes) and the epoch of the module's globals
// (advanced by a dict watcher on every change of a watched module dict).
// While nothing changed, a check costs a few compares.
#pragma once

#include "bind/module_state.h"

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tessel::bind {

// The entry `name` of the class's own namespace (not its bases), borrowed,
// or null. Static built-in types keep theirs outside `tp_dict` since 3.12.
PyObject* own_entry(PyTypeObject* type, PyObject* name);

// Starts watching the running import's globals (call once in its
// initialisation, before the guards are captured). Without a watcher left in
// the interpreter, checks that depend on globals are made afresh each time.
void watch_globals();

class Guard {
public:
    using Names = std::initializer_list<const char*>;

    // `global`: the module global that must name the class (nullptr: none);
    // `own`: attributes whose lookup on the class must give the originals;
    // `inherited`: attributes looked up past the class itself (in its bases,
    // as `super().<name>` finds them), likewise. Declare guards at namespace
    // scope; each import captures its own originals.
    Guard(const char* global, Names own, Names inherited = {});
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // Remembers `cls` and the originals its attributes resolve to now (call
    // once per import, right after building the class).
    void capture(nb::handle cls) const;
    // The class as built by the running import.
    PyTypeObject* cls() const { return data().cls; }

    // The global still names the class, its attributes resolve to the
    // originals and calling it is type's own call (no patched metaclass).
    bool holds() const;
    // `type` is the class itself (not a subclass) and its attributes resolve
    // to the originals.
    bool holds_for(PyTypeObject* type) const;
    // Any class: the `own` attributes resolve to the originals (inherited
    // descriptors such as Object.id) and it reads attributes the generic way
    // (no `__getattribute__` or `__getattr__` of its own).
    bool resolves_on(PyTypeObject* type) const;

private:
    // A check remembered against the class's version tag and, when it
    // depends on module globals, their epoch.
    struct Remembered {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
        std::uint64_t epoch = 0;
        bool passed = false;
    };
    struct Data {
        PyTypeObject* cls = nullptr;
        std::vector<PyObject*> originals;  // own, then inherited
        Remembered global_check, type_check;
        Remembered any_type[8];  // resolves_on, by the type's address
    };

    Data& data() const { return *data_; }
    // The own attributes (and, with `inherited`, the inherited ones) of
    // `type` resolve to the originals.
    bool attributes_resolve(PyTypeObject* type, const Data& d, bool inherited) const;
    static bool recall(const Remembered& r, PyTypeObject* type, std::uint64_t epoch, bool& passed);
    static void remember(Remembered& r, PyTypeObject* type, std::uint64_t epoch, bool passed);

    const char* global_;
    std::vector<const char*> own_, inherited_;
    PerModule<Data> data_;
    PyObject* global_key_ = nullptr;
    std::vector<PyObject*> own_keys_, inherited_keys_;
};

}  // namespace tessel::bind
