// The state of one import of an extension module.
//
// A module can be imported more than once in a process (`del sys.modules[...]`
// and import again; `mock.patch.dict(sys.modules)`). Each import gets a state
// of its own: its module object and every value its code keeps per import
// (classes as built, originals for the fast paths). Functions made by the
// class builder make their own import's state the current one while they
// run, so objects made before a re-import keep working with their own
// classes and globals. Code that runs outside such a function (module
// initialisation, callbacks) sees the newest import.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <memory>
#include <vector>

namespace tessel::bind {

namespace nb = nanobind;

class ModuleState {
public:
    // A new state for the module being initialised; it becomes the newest.
    // States live as long as the process: functions of an import may run as
    // long as any of its objects does.
    static ModuleState& create(nb::module_ module);
    // The state of the import whose code is running.
    static ModuleState& current() { return active_ ? *active_ : *newest_; }

    nb::handle module() const { return module_; }
    PyObject* dict() const { return dict_; }

    // The value of a PerModule<T> declaration for this import (made on first
    // use when declared after the import began, as function-local ones are).
    void* slot(std::size_t index) {
        if (index >= slots_.size()) make_slots();
        return slots_[index].get();
    }

    // Declares one value per import (see PerModule); returns its index.
    using Make = void* (*)();
    using Destroy = void (*)(void*);
    static std::size_t declare(Make make, Destroy destroy);

private:
    friend class ActiveModule;
    explicit ModuleState(nb::module_ module);
    void make_slots();

    PyObject* module_;
    PyObject* dict_;
    std::vector<std::unique_ptr<void, Destroy>> slots_;

    static inline thread_local ModuleState* active_ = nullptr;
    static inline ModuleState* newest_ = nullptr;
};

// Makes `state` the current one for its lifetime (per thread: another thread
// may run another import's code while this one waits for the interpreter).
class ActiveModule {
public:
    explicit ActiveModule(ModuleState* state) noexcept : previous_(ModuleState::active_) {
        ModuleState::active_ = state;
    }
    ~ActiveModule() { ModuleState::active_ = previous_; }
    ActiveModule(const ActiveModule&) = delete;
    ActiveModule& operator=(const ActiveModule&) = delete;

private:
    ModuleState* previous_;
};

// A value that each import of the module has its own copy of, declared at
// namespace scope: `PerModule<Originals> originals;`, used as `originals->x`.
template <typename T>
class PerModule {
public:
    PerModule()
        : index_(ModuleState::declare([]() -> void* { return new T(); },
                                      [](void* p) { delete static_cast<T*>(p); })) {}
    PerModule(const PerModule&) = delete;
    PerModule& operator=(const PerModule&) = delete;

    T& get() const { return *static_cast<T*>(ModuleState::current().slot(index_)); }
    T& operator*() const { return get(); }
    T* operator->() const { return &get(); }

private:
    std::size_t index_;
};

}  // namespace tessel::bind
