// Binding layer shared by the extension modules.
//
// The modules expose ordinary Python classes (made by calling the metaclass, so
// `abc.ABC`, subclassing in Python and `mock.patch` behave as for Python code)
// whose methods are C++ functions. This header holds the few helpers every
// module needs for that: a class builder, late-bound module globals, interned
// strings, context managers and raising Python exceptions.
#pragma once

#include <nanobind/nanobind.h>

#include "bind/module_state.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tessel::bind {

namespace nb = nanobind;
using namespace nb::literals;

// ---------------------------------------------------------------- parameters

// A parameter declaration that, like a Python parameter, accepts None:
// `"timeout"_p = 25`. (nanobind's `_a` refuses None unless marked; keep `_a`
// for keyword arguments of calls.)
inline auto operator""_p(const char* name, std::size_t) { return nb::arg(name).none(); }

// ---------------------------------------------------------------- exceptions

// Raises `exc_type(message)` in Python: sets the error and throws the carrier
// that nanobind turns back into the pending Python exception. As Python's
// `raise`, something that is no exception gives the interpreter's TypeError.
[[noreturn]] void raise(nb::handle exc_type, const char* message);
[[noreturn]] void raise(nb::handle exc_type, nb::handle message);
// Python's `raise exc`: an exception class (instantiated without
// arguments, like `raise NotImplementedError`) or instance.
[[noreturn]] void raise(nb::handle exc);
// Raises `exc_type(message)` carrying `note` (`add_note`): the evidence behind
// a fixed message shows in the traceback without changing the message.
[[noreturn]] void raise_with_note(nb::handle exc_type, nb::handle message, nb::handle note);

// Keeps the exception in flight, if any, aside for its own lifetime and
// restores it afterwards: for Python code run from a destructor or finaliser,
// which must neither see nor replace the caller's pending exception.
class SavedError {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedError() : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exc_); }
#else
    SavedError() { PyErr_Fetch(&type_, &exc_, &traceback_); }
    ~SavedError() { PyErr_Restore(type_, exc_, traceback_); }
#endif
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

// Pauses the cycle collector for its lifetime, as `gc.disable()` would, and
// restores its state afterwards: for C++ code that allocates many containers
// at once, whose allocation would trigger collections that only traverse
// objects that cannot be garbage yet.
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

// The traceback of a caught Python error, None when it has none (errors
// raised by C++ code called from C++ carry no frames).
nb::object traceback_of(const nb::python_error& e);

// Throws if a C-API call reported an error (returned nullptr or -1).
inline PyObject* check(PyObject* result) {
    if (!result) throw nb::python_error();
    return result;
}
inline int check(int result) {
    if (result < 0) throw nb::python_error();
    return result;
}

// ------------------------------------------------------------------- strings

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// An interned Python string made once per process: for dictionary keys and
// attribute names used on hot paths. Never freed (no destructor runs after
// the interpreter has finalised).
template <Literal L>
nb::handle str() {
    static PyObject* const s = PyUnicode_InternFromString(L.text);
    return s;
}

// Python's `str(value)`.
inline nb::str text_of(nb::handle value) { return nb::steal<nb::str>(check(PyObject_Str(value.ptr()))); }

// Python's truth test, `bool(value)`.
inline bool truthy(nb::handle value) { return check(PyObject_IsTrue(value.ptr())) != 0; }

// Python's `isinstance(value, cls)`.
inline bool isinstance(nb::handle value, nb::handle cls) {
    return check(PyObject_IsInstance(value.ptr(), cls.ptr())) != 0;
}

// Python's `{**a, **b, ...}`: a new dictionary merging the mappings in order.
nb::dict merged(std::initializer_list<nb::handle> mappings);

// Python's `next(iterator)`, StopIteration included.
nb::object next(nb::handle iterator);

// -------------------------------------------------------------- module globals

// The globals of the running import of an extension module (see
// ModuleState), looked up when the C++ runs, as Python looks up a module's
// names: `mock.patch("pkg.mod.name")` is seen at once. Falls back to the
// builtins and raises NameError like Python when unset.
class ModuleGlobals {
public:
    // Starts a new import of the module: call first in its initialisation,
    // and keep the returned state active while it runs.
    ModuleState& bind(nb::module_ module) const { return ModuleState::create(std::move(module)); }
    nb::object operator()(const char* name) const;
    // The same for an interned name (no string is made).
    nb::object operator()(nb::handle name) const;
    void set(const char* name, nb::handle value) const;
    nb::handle module() const { return ModuleState::current().module(); }
    // The module's `__name__`, for `__module__` of its classes.
    nb::object module_name() const { return (*this)("__name__"); }
};

// `from <module> import <name>` for each name, bound as module globals.
void import_names(const ModuleGlobals& g, const char* module, std::initializer_list<const char*> names);
// `import <module>`, bound as a module global.
void import_module(const ModuleGlobals& g, const char* module);

// ---------------------------------------------------------- context managers

// The first half of Python's `with`: checks the protocol, calls `__enter__`
// and returns the bound `__exit__` with the entered value, for code that
// keeps the block open across calls (generators).
struct EnteredContext {
    nb::object exit;
    nb::object value;
};
EnteredContext enter_context(nb::handle manager);

// Python's `with manager as value: body(value)`: `__exit__` sees the exception
// raised by the body and may suppress it, as in Python.
void with_context(nb::handle manager, const std::function<void(nb::handle)>& body);

// --------------------------------------------------------------- functions

// A Python function around the C++ function `impl`, with the parameters
// `impl` declares (names, defaults, keyword-only markers): `inspect`,
// `help()`, `mock.create_autospec` and the interpreter's own argument errors
// see it as the Python function it stands for. Its body only calls `impl`.
nb::object python_function(nb::handle impl, nb::handle name, nb::handle qualname, nb::handle module);

// ------------------------------------------------------- owned functions
//
// Every C++ function a module exposes runs with its own import's state
// active (see ModuleState). A method also checks its `self` as the
// interpreter's method descriptors do: a method of a C type reached with a
// foreign object (`Class.__dict__["m"](SomeClass)`) raises TypeError instead
// of treating that object as an instance.

// Who a function belongs to: the import that made it and, for methods, the
// class (set once the class is built). Made once per class and never freed:
// the functions may run as long as the class lives.
struct Owner {
    ModuleState* state = nullptr;
    PyTypeObject* cls = nullptr;
};

// How a function's first argument is checked against its owner's class.
enum class SelfCheck { none, instance, subtype };

// Raises TypeError unless `self` fits `owner.cls` for `check` (`name`: the
// function's or attribute's name, for the message).
void check_self(const Owner& owner, SelfCheck check, PyObject* self, const char* name);

namespace detail {

template <typename F>
struct call_signature : call_signature<decltype(&F::operator())> {};
template <typename R, typename... A>
struct call_signature<R (*)(A...)> {
    using type = R(A...);
};
template <typename C, typename R, typename... A>
struct call_signature<R (C::*)(A...) const> {
    using type = R(A...);
};
template <typename C, typename R, typename... A>
struct call_signature<R (C::*)(A...)> {
    using type = R(A...);
};

template <typename F>
struct arguments_of : arguments_of<typename call_signature<F>::type> {};
template <typename R, typename... A>
struct arguments_of<R(A...)> {
    using type = std::tuple<A...>;
};

template <typename First, typename... Rest>
First& first_of(First& first, Rest&...) {
    return first;
}

template <SelfCheck Check, typename Signature>
struct Owned;

// Runs `f` with its import's state active, the first argument checked by
// `Check` (none for module functions and static methods).
template <SelfCheck Check, typename R, typename... A>
struct Owned<Check, R(A...)> {
    template <typename F>
    static auto wrap(F f, const Owner* owner, const char* name) {
        return [f, owner, name](A... args) -> R {
            ActiveModule active(owner->state);
            if constexpr (Check != SelfCheck::none && sizeof...(A) > 0)
                check_self(*owner, Check, nb::handle(first_of(args...)).ptr(), name);
            return f(std::forward<A>(args)...);
        };
    }
};

}  // namespace detail

// `f` run as a function of `owner`, its first argument checked by `Check`.
template <SelfCheck Check, typename Func>
auto owned(Func&& f, const Owner* owner, const char* name) {
    using F = std::decay_t<Func>;
    return detail::Owned<Check, typename detail::call_signature<F>::type>::wrap(F(std::forward<Func>(f)), owner,
                                                                                name);
}

// The owner of the module-level functions of the running import.
const Owner* module_owner();

// A module-level function: `def name(...)` bound as the module global `name`.
template <typename Func, typename... Extra>
void def_function(const ModuleGlobals& g, const char* name, Func&& f, const Extra&... extra) {
    nb::object impl =
        nb::cpp_function(owned<SelfCheck::none>(std::forward<Func>(f), module_owner(), name), nb::name(name), extra...);
    g.set(name, python_function(impl, nb::str(name), nb::str(name), g.module_name()));
}

// ----------------------------------------------------------------- classes

// Builds a real Python class: the namespace is filled with C++ functions and
// then the metaclass is called with (name, bases, namespace).
class ClassBuilder {
public:
    ClassBuilder(const ModuleGlobals& g, const char* name, const char* doc);

    ClassBuilder& base(nb::handle cls);
    // For nested classes: the dotted path inside the module, e.g. "Material.DesignCode".
    ClassBuilder& qualname(const char* qualname);

    // Instance method; the C++ function's first parameter receives self.
    // Name the other parameters with nb::arg (do not name self).
    template <typename Func, typename... Extra>
    ClassBuilder& def(const char* name, Func&& f, const Extra&... extra) {
        return attr(name, method(name, owned<SelfCheck::instance>(std::forward<Func>(f), owner_, name), extra...));
    }

    // Abstract instance method: the class cannot be instantiated until a
    // subclass overrides it.
    template <typename Func, typename... Extra>
    ClassBuilder& def_abstract(const char* name, Func&& f, const Extra&... extra) {
        return attr(name,
                    abstract(method(name, owned<SelfCheck::instance>(std::forward<Func>(f), owner_, name), extra...)));
    }

    template <typename Func, typename... Extra>
    ClassBuilder& def_static(const char* name, Func&& f, const Extra&... extra) {
        auto fn = python_function(nb::cpp_function(owned<SelfCheck::none>(std::forward<Func>(f), owner_, name),
                                                   nb::name(name), nb::scope(scope_), extra...),
                                  name);
        return attr(name, nb::steal(check(PyStaticMethod_New(fn.ptr()))));
    }

    // Class method; the C++ function's first parameter receives the class
    // (name only the others with nb::arg).
    template <typename Func, typename... Extra>
    ClassBuilder& def_classmethod(const char* name, Func&& f, const Extra&... extra) {
        auto fn = python_function(nb::cpp_function(owned<SelfCheck::subtype>(std::forward<Func>(f), owner_, name),
                                                   nb::name(name), nb::scope(scope_), nb::arg("cls"), extra...),
                                  name);
        return attr(name, nb::steal(check(PyClassMethod_New(fn.ptr()))));
    }

    // Read-only property over a getter taking self.
    template <typename Func>
    ClassBuilder& def_property(const char* name, Func&& fget, const char* doc = nullptr) {
        return attr(name, property(accessor(name, std::forward<Func>(fget)), nb::none(), nb::none(), doc));
    }

    template <typename Func>
    ClassBuilder& def_abstract_property(const char* name, Func&& fget, const char* doc = nullptr) {
        return attr(name, property(abstract(accessor(name, std::forward<Func>(fget))), nb::none(), nb::none(), doc));
    }

    // Data property with a getter (self), a setter (self, value) and a
    // deleter (self).
    template <typename Get, typename Set, typename Del>
    ClassBuilder& def_data_property(const char* name, Get&& fget, Set&& fset, Del&& fdel, const char* doc = nullptr) {
        return attr(name, property(accessor(name, std::forward<Get>(fget)), accessor(name, std::forward<Set>(fset)),
                                   accessor(name, std::forward<Del>(fdel)), doc));
    }
    // The same without a deleter (`del obj.name` then raises AttributeError).
    template <typename Get, typename Set>
    ClassBuilder& def_data_property(const char* name, Get&& fget, Set&& fset, const char* doc = nullptr) {
        return attr(name, property(accessor(name, std::forward<Get>(fget)), accessor(name, std::forward<Set>(fset)),
                                   nb::none(), doc));
    }

    // Any other class attribute (constants, nested classes, enums).
    ClassBuilder& attr(const char* name, nb::handle value);

    // Creates the class; top-level classes are also bound as module globals.
    nb::object build();

private:
    static nb::object property(nb::handle fget, nb::handle fset, nb::handle fdel, const char* doc);
    static nb::object abstract(nb::object fn);
    // The Python function around `impl` for the class's namespace.
    nb::object python_function(nb::object impl, const char* name) const;

    template <typename Wrapped, typename... Extra>
    nb::object method(const char* name, Wrapped&& f, const Extra&... extra) const {
        return python_function(
            nb::cpp_function(std::forward<Wrapped>(f), nb::name(name), nb::scope(scope_), nb::is_method(), extra...),
            name);
    }
    // A property's getter, setter or deleter, with its self checked. Made
    // without the stand-in scope: the three share a name, which nanobind
    // would chain into one overloaded function there.
    template <typename Func>
    nb::object accessor(const char* name, Func&& f) const {
        auto checked = owned<SelfCheck::instance>(std::forward<Func>(f), owner_, name);
        if constexpr (std::tuple_size_v<typename detail::arguments_of<decltype(checked)>::type> == 2)
            return python_function(
                nb::cpp_function(std::move(checked), nb::name(name), nb::is_method(), nb::arg("value").none()), name);
        else
            return python_function(nb::cpp_function(std::move(checked), nb::name(name), nb::is_method()), name);
    }

    const ModuleGlobals& g_;
    nb::str name_;
    nb::object qualname_;
    std::vector<nb::object> bases_;
    nb::dict namespace_;
    // Stand-in scope for the functions while the class does not exist yet: it
    // gives them `__module__` and `__qualname__` ("Class.method") and holds no
    // attribute a method could be chained to as an overload.
    nb::object scope_;
    Owner* owner_;
};

// ------------------------------------------------------------------ enums

// An `enum.Enum` (or another enum base such as "IntEnum") made with Python's
// functional API. Members with a value already used become aliases of the
// first name, as in a Python class body.
nb::object make_enum(const ModuleGlobals& g, const char* qualname,
                     std::initializer_list<std::pair<const char*, long>> members,
                     const char* enum_base = "Enum", const char* doc = nullptr);

}  // namespace tessel::bind
