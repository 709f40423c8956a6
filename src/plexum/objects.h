// Model objects and identifiers: creating the objects as their classes
// would, the next identifier, and reading the arguments operations take
// (ids checked for kind and model, enumeration values, names, items).
#pragma once

#include "plexum/plexum.h"

#include "bind/guard.h"

#include <initializer_list>
#include <vector>

namespace tessel::plexum {

// `len(interface._objects) + 1`: the identifier of the next object.
nb::object next_id(nb::handle interface);
// `interface._objects.append(obj)`; returns obj.
nb::object append_object(nb::handle interface, nb::object obj);

// A model-object class of this module, instantiated as Python would:
// `cls(*args)` with `cls` the module global as it is now. While that global
// is still the class this module made, with its own `__init__`, `__new__`,
// `__setattr__`, Object's `__init__` and type's own call, the instance is
// made directly and given the attributes that `__init__` sets.
class ObjectClass {
public:
    // `name`: the module global (and class name); `attributes`: the instance
    // attributes its `__init__` sets, in the order it sets them, `_id` first.
    ObjectClass(const char* name, std::initializer_list<const char*> attributes);
    // Remembers the class as built (once per import, right after building it).
    void made(nb::handle cls) const;
    PyTypeObject* cls() const { return guard_.cls(); }
    // Whether create takes the direct way.
    bool is_original() const { return guard_.holds(); }

    // `cls(*args)`; the direct way sets `attributes` to `values` in order.
    nb::object create(std::initializer_list<nb::handle> args, std::initializer_list<nb::handle> values) const;
    // When the constructor's arguments are the attributes' values.
    nb::object create(std::initializer_list<nb::handle> args) const { return create(args, args); }

    // The body of the class's `__init__`: `super().__init__(values[0])` (to
    // Object's, which sets `_id`), then the other attributes in order.
    void init(nb::handle self, std::initializer_list<nb::handle> values) const;

private:
    const char* name_;
    std::vector<const char*> names_;
    PyObject* global_key_ = nullptr;  // interned once, for every import
    std::vector<PyObject*> keys_;
    bind::Guard guard_;
};

// Remembers Object as built (its `__init__` and `id`), once per import.
void object_class_made(nb::handle cls);

// ---------------------------------------------------------- reading values

// `obj.id`; reads `_id` directly while `id` is still Object's property.
nb::object id_of(nb::handle obj);

// The kinds of model object that operations take as arguments.
enum class Kind {
    node, line, member, material, cross_section, domain, load_case, load_combination, node_support, section,
    reference
};
// An argument that must be a model object of one kind.
struct Expected {
    Kind kind;
    const char* function;  // the operation, for messages
    const char* argument;  // its parameter
};
// Checks an argument that stands for a `kind` object, before anything is
// recorded: an object of this module's Object classes of another kind raises
// TypeError; one created through another Model than the one `interface`
// belongs to raises ModelError. Anything that is no model object at all is
// taken as it is (a stand-in that carries an `id`).
void check_argument(nb::handle obj, const Expected& expected, nb::handle interface);
// `obj.id` of an argument checked as check_argument does (read once).
nb::object id_of(nb::handle obj, const Expected& expected, nb::handle interface);
// `[o.id for o in objects]`, as a new list, each item checked as `expected`
// first when given.
nb::object ids_of(nb::handle objects);
nb::object ids_of(nb::handle objects, const Expected& expected, nb::handle interface);
// Remembers the classes of the kinds as built (once per import, after all).
void capture_kinds();
// Remembers that `interface` is an interface of `model` (Model's __init__
// links all fourteen), so that arguments can be checked against the model.
void link_to_model(nb::handle interface, nb::handle model);

// `member.value` of an enumeration member; reads `_value_` directly while
// `value` is still Enum's own.
nb::object value_of(nb::handle member);
// The integer value of member `member` of enumeration `Class.Enum`, read from
// the class each call (`Line._GeomType.CIRCLE_ARC.value`).
nb::object enum_value(nb::handle cls, nb::handle enum_name, nb::handle member);

// `seq[i]` (a small i), with the item's own index, type and key errors.
nb::object item(nb::handle seq, Py_ssize_t i);
// `obj._name`: what the `name` properties return.
nb::object name_of(nb::handle obj);

// `name` if it is truthy, else the decimal text of `id`.
nb::object effective_name(nb::handle name, nb::handle id);
// Raises ModelError("<what> with name '<name>' already exists") when an
// object of `interface._objects` has that `name` (compared with ==).
void check_name_free(nb::handle interface, nb::handle name, const char* what);

// The instruction list whose `serialize()` `interface._serialize()` returns,
// while that `_serialize` is the module's own (_Interface's, or
// _CalculationInterface's); invalid otherwise.
nb::object serialized_instructions(nb::handle interface);
// The two `_serialize` methods as built.
extern const bind::Guard interface_serialize_guard;
extern const bind::Guard calculation_serialize_guard;

// The instance's own attribute dict (made on first use).
nb::object instance_dict(nb::handle obj);
// Whether `dict` has `key`.
bool has_own(nb::handle dict, nb::handle key);

}  // namespace tessel::plexum
