// tessel.external.plexum: the Plexum model builder.
//
// Every modelling operation appends a record to its interface's instruction
// list and returns a small object carrying an identifier. This header is the
// toolkit each concern file uses to write such an operation in a few lines:
//
//   nb::object create(nb::handle self, nb::handle x, nb::handle y, nb::handle z) {
//       static const Shape add{"x", "y", "z"};       // interned keys, in record order
//       nb::object id = next_id(self);                // len(self._objects) + 1
//       Record params(add);
//       params.add(x).add(y).add(z);                  // values in key order
//       add_function(self, str<"Add">(), std::move(params));
//       return append_object(self, node_class.create({id, x, y, z}));
//   }
//
// Read every argument (ids, enum values, point items) and run every check
// before add_function: an operation that raises leaves nothing behind.
//
// Records are described, not built: a Record is a key shape plus values, and
// add_function decides how it is stored. The Python form (a dict per record,
// keys in shape order, values as given) is what every reader sees.
#pragma once

#include "bind/bind.h"
#include "bind/guard.h"

#include <initializer_list>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace tessel::plexum {

namespace nb = nanobind;
using namespace nb::literals;
using bind::str;
using bind::operator""_p;

// This module's globals, looked up at call time (see bind::ModuleGlobals).
inline bind::ModuleGlobals g;

// Each populates the module with one concern; module.cpp calls them in order.
void populate_globals(nb::module_& m);
void populate_instructions(nb::module_& m);
void populate_references(nb::module_& m);
void populate_materials(nb::module_& m);
void populate_geometry(nb::module_& m);
void populate_domains(nb::module_& m);
void populate_supports(nb::module_& m);
void populate_loads(nb::module_& m);
void populate_results(nb::module_& m);
void populate_model(nb::module_& m);
void populate_analysis(nb::module_& m);

// ------------------------------------------------------------ module globals

// The module global `key` (an interned name) as it is now, builtins next;
// NameError like Python when neither has it.
inline nb::object global(nb::handle key) { return g(key); }

// The text every model-object class and interface gives as its __init__'s
// documentation: applications make them through a Model.
inline constexpr const char* kNoDirectInit =
    "Do not use this __init__ directly, but create the object from :class:`Model`";

// ------------------------------------------------------------------ records

// The keys of one record's parameter dict, in order. Declare shapes as
// function-local statics: `static const Shape add{"x", "y", "z"};`.
class Shape {
public:
    Shape(std::initializer_list<const char*> keys);
    std::size_t size() const { return keys_.size(); }
    PyObject* key(std::size_t i) const { return keys_[i]; }
    // A dict of the keys in order, all None: records are made as its copies.
    PyObject* key_template() const { return template_; }

private:
    std::vector<PyObject*> keys_;  // interned, held for the life of the process
    PyObject* template_ = nullptr;
};

// The point record {"x", "y", "z"}.
const Shape& point_shape();

// Records are held flat: a record is its shape's word (the Shape's address,
// tagged 01 in the low bits) followed by one entry per key, each an owned
// PyObject* (tag 00), a nested record in the same form, or a Constant's word
// (its address, tagged 10).
using Word = std::uintptr_t;
inline constexpr Word kTagMask = 3, kShapeTag = 1, kConstantTag = 2;

class Value;
class Constant;

// A record's parameters: a shape and its values in key order. Complete it
// (one value per key) before handing it to add_function.
class Record {
public:
    explicit Record(const Shape& shape) : shape_(&shape) { push(reinterpret_cast<Word>(&shape) | kShapeTag); }
    Record(Record&& other) noexcept : shape_(other.shape_), count_(other.count_) { take(other); }
    Record& operator=(Record&&) = delete;
    Record(const Record&) = delete;
    ~Record() {
        release(data_, data_ + size_);
        if (data_ != inline_) PyMem_RawFree(data_);
    }

    // The next value, placed as it is.
    Record& add(nb::handle value) & {
        push(reinterpret_cast<Word>(value.inc_ref().ptr()));
        ++count_;
        return *this;
    }
    Record& add(nb::object&& value) & {
        push(reinterpret_cast<Word>(value.release().ptr()));
        ++count_;
        return *this;
    }
    // The next value, a nested record (complete).
    Record& add(Record&& nested) &;
    Record& add(Value&& value) &;
    // The next value, a constant record (a fresh copy in every Python form).
    Record& add(const Constant& constant) & {
        push(reinterpret_cast<Word>(&constant) | kConstantTag);
        ++count_;
        return *this;
    }
    // On a temporary, so that `Record(shape).add(a).add(b)` is a value.
    template <typename T>
    Record&& add(T&& value) && {
        add(std::forward<T>(value));
        return std::move(*this);
    }

    // The Python form: a new dict with the shape's keys and the values made.
    nb::object make() const;

    // Whether a value placed as it is is an object the cycle collector
    // follows (a list, a dict, an instance): such records are not kept in
    // compact form, where the collector could not see them.
    bool holds_containers() const {
        for (std::size_t i = 0; i < size_; ++i)
            if (!(data_[i] & kTagMask) && PyObject_IS_GC(reinterpret_cast<PyObject*>(data_[i]))) return true;
        return false;
    }

    // Appends the words (complete) to `out`; the record gives up its references.
    template <typename Vector>
    void move_words_to(Vector& out) {
        check_complete();
        out.insert(out.end(), data_, data_ + size_);
        size_ = 0;
    }

    // Drops the references held by the words in [begin, end).
    static void release(const Word* begin, const Word* end) {
        for (const Word* w = begin; w != end; ++w)
            if (!(*w & kTagMask)) Py_DECREF(reinterpret_cast<PyObject*>(*w));
    }
    // The Python form of the record or object starting at `*pos`; advances it.
    static nb::object make(const Word*& pos);

private:
    // Most records fit the inline words: building one allocates nothing.
    static constexpr std::size_t kInline = 24;

    void push(Word w) {
        if (size_ == capacity_) grow();
        data_[size_++] = w;
    }
    void grow();
    void take(Record& other) noexcept;
    void check_complete() const;

    const Shape* shape_;
    std::size_t count_ = 0;
    Word* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
    Word inline_[kInline];
};

// A record whose values never change, such as the zero point of an
// eccentricity: built once, it gives a fresh deep copy (new dicts, the same
// immutable values) wherever a Python form is made. Declare as a function-
// local static from a complete record of immutable values.
class Constant {
public:
    explicit Constant(Record&& record);
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;
    // A new copy of the record's Python form.
    nb::object make() const;

private:
    // A dict of the tree and where its nested dicts sit, so that a copy
    // needs no search: copy the dict, then replace each nested one by its copy.
    struct Tree {
        PyObject* dict;  // held for the life of the process
        std::vector<std::pair<PyObject*, Tree>> nested;  // key, nested tree
    };
    static Tree describe(PyObject* dict);
    static nb::object copy(const Tree& tree);
    Tree tree_;
};

// One value of a record: a Python object placed as it is, or a nested record.
class Value {
public:
    Value(nb::handle object) : object_(nb::borrow(object)) {}
    Value(nb::object&& object) : object_(std::move(object)) {}
    Value(Record&& record) : record_(std::in_place, std::move(record)) {}
    Value(const Constant& constant) : constant_(&constant) {}
    Value(Value&&) noexcept = default;

    // The Python form: the object itself, or a new dict for a nested record.
    nb::object make() const {
        if (constant_) return constant_->make();
        return record_ ? record_->make() : object_;
    }

    bool holds_containers() const {
        if (constant_) return false;
        return record_ ? record_->holds_containers() : PyObject_IS_GC(object_.ptr());
    }

    // Appends the value's words to `out`, giving up its references.
    template <typename Vector>
    void move_words_to(Vector& out) {
        if (constant_) return out.push_back(reinterpret_cast<Word>(constant_) | kConstantTag);
        if (record_) return record_->move_words_to(out);
        out.push_back(reinterpret_cast<Word>(object_.release().ptr()));
    }

private:
    friend class Record;
    nb::object object_;
    std::optional<Record> record_;
    const Constant* constant_ = nullptr;
};

inline Record& Record::add(Record&& nested) & {
    nested.check_complete();
    while (capacity_ - size_ < nested.size_) grow();
    for (std::size_t i = 0; i < nested.size_; ++i) push(nested.data_[i]);
    nested.size_ = 0;
    ++count_;
    return *this;
}

inline Record& Record::add(Value&& value) & {
    if (value.constant_) return add(*value.constant_);
    return value.record_ ? add(std::move(*value.record_)) : add(std::move(value.object_));
}

// {"x": 0.0, "y": 0.0, "z": 0.0}, as a constant record.
const Constant& zero_point();

// The point record of `_Point3D.from_tuple(xyz).serialize()`: xyz[0], xyz[1],
// xyz[2] unchanged (the item's own index/type errors, further items ignored).
Value point_value(nb::handle xyz);
// The point record of `_Point3D(x, y, z).serialize()`.
Value point_value(nb::handle x, nb::handle y, nb::handle z);
// The record of `arc._serialize()` for a `CircleArc` (or any object with
// `_serialize`).
Value circle_arc_value(nb::handle arc);
// The record of `CircleArc(center, normal_vector, alpha)._serialize()`.
Value circle_arc_value(nb::handle center, nb::handle normal_vector, nb::handle alpha);
// The record of `CircleArc((0.0, 0.0, 0.0), (0.0, 0.0, 0.0), 0.0)._serialize()`,
// the arc of a straight line.
Value zero_circle_arc_value();

// -------------------------------------------------------- instruction lists

// `interface._instructions.add_function(name, params)`. While the instruction
// list is this module's own `_InstructionList` with its own `add_function`,
// the record is stored directly; otherwise the method found is called with
// the parameters made into their dict.
void add_function(nb::handle interface, nb::handle name, Record&& params);
// The same on a given instruction list (result interfaces hold several).
// Records stored the direct way wait in a compact form until the list is
// first observed (see observe_instructions).
void add_function_to(nb::handle instructions, nb::handle name, Record&& params);
// `interface._instructions.add_property(name, value)`, likewise.
void add_property(nb::handle interface, nb::handle name, Value&& value);
// Turns the records waiting for an instruction list into its tuples and
// dicts; afterwards records go straight into its lists. Called by every
// access that can observe the lists (the `_InstructionList` class does).
// `only_if_waiting`: leave a list that never had a record stored alone.
void observe_instructions(nb::handle instructions, bool only_if_waiting = false);

// --------------------------------------------------------- objects and ids

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
// `obj.id` of a checked argument.
inline nb::object id_of(nb::handle obj, const Expected& expected, nb::handle interface) {
    check_argument(obj, expected, interface);
    return id_of(obj);
}
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

// ------------------------------------------------------------------ errors

// Raises the module global ModelError (looked up now) with `message`.
[[noreturn]] void model_error(const char* message);
[[noreturn]] void model_error(nb::handle message);

// -------------------------------------------------------------- constants

// Immutable constants shared by the records.
nb::handle float_zero();  // 0.0
// A small int (0 to 256), cached by the interpreter for its whole life.
nb::handle int_value(long v);

// -------------------------------------------------------- class helpers

// Starts a model-object class: base `Object` (or `base`), the module's
// conventions for names and documentation.
bind::ClassBuilder object_class(const char* name, const char* doc, nb::handle base = nb::handle());
// Starts an interface class: base `_Interface` and the four sequence
// operations on `_objects`.
bind::ClassBuilder interface_class(const char* name, const char* doc);

// Fast paths shared by the concern files (captured when their classes are built).
extern const bind::Guard add_function_guard;  // _InstructionList.add_function
extern const bind::Guard add_property_guard;  // _InstructionList.add_property
extern const bind::Guard point3d_guard;                  // _Point3D and its methods
extern const bind::Guard circle_arc_guard;               // CircleArc and its methods

}  // namespace tessel::plexum
