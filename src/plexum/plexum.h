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

#include <initializer_list>
#include <cstdint>
#include <memory>
#include <optional>
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
// NameError like Python when neither has it. Cheaper than g(name) on hot paths.
nb::object global(nb::handle key);

// ------------------------------------------------------------------ records

// The keys of one record's parameter dict, in order. Declare shapes as
// function-local statics: `static const Shape add{"x", "y", "z"};`.
class Shape {
public:
    Shape(std::initializer_list<const char*> keys);
    std::size_t size() const { return keys_.size(); }
    PyObject* key(std::size_t i) const { return keys_[i]; }

private:
    std::vector<PyObject*> keys_;  // interned, held for the life of the process
};

// The point record {"x", "y", "z"}.
const Shape& point_shape();

// Records are held flat: a record is its shape's word (the Shape's address,
// tagged with the low bit) followed by one entry per key, each an owned
// PyObject* or a nested record in the same form.
using Word = std::uintptr_t;

// A record's parameters: a shape and its values in key order. Complete it
// (one value per key) before handing it to add_function.
class Record {
public:
    explicit Record(const Shape& shape) : shape_(&shape) {
        words_.reserve(shape.size() + 1);
        words_.push_back(reinterpret_cast<Word>(&shape) | 1);
    }
    Record(Record&& other) noexcept
        : shape_(other.shape_), count_(other.count_), words_(std::move(other.words_)) {
        other.words_.clear();
    }
    Record& operator=(Record&&) = delete;
    Record(const Record&) = delete;
    ~Record() { release(words_.data(), words_.data() + words_.size()); }

    // The next value, placed as it is.
    Record& add(nb::handle value) & {
        words_.push_back(reinterpret_cast<Word>(value.inc_ref().ptr()));
        ++count_;
        return *this;
    }
    Record& add(nb::object&& value) & {
        words_.push_back(reinterpret_cast<Word>(value.release().ptr()));
        ++count_;
        return *this;
    }
    // The next value, a nested record (complete).
    Record& add(Record&& nested) &;
    Record& add(class Value&& value) &;
    // On a temporary, so that `Record(shape).add(a).add(b)` is a value.
    template <typename T>
    Record&& add(T&& value) && {
        add(std::forward<T>(value));
        return std::move(*this);
    }

    // The Python form: a new dict with the shape's keys and the values made.
    nb::object make() const;

    // Appends the words (complete) to `out`; the record gives up its references.
    template <typename Vector>
    void move_words_to(Vector& out) {
        check_complete();
        out.insert(out.end(), words_.begin(), words_.end());
        words_.clear();
    }

    // Drops the references held by the words in [begin, end).
    static void release(const Word* begin, const Word* end) {
        for (const Word* w = begin; w != end; ++w)
            if (!(*w & 1)) Py_DECREF(reinterpret_cast<PyObject*>(*w));
    }
    // The Python form of the record or object starting at `*pos`; advances it.
    static nb::object make(const Word*& pos);

private:
    void check_complete() const;

    const Shape* shape_;
    std::size_t count_ = 0;
    std::vector<Word> words_;
};

// One value of a record: a Python object placed as it is, or a nested record.
class Value {
public:
    Value(nb::handle object) : object_(nb::borrow(object)) {}
    Value(nb::object&& object) : object_(std::move(object)) {}
    Value(Record&& record) : record_(std::in_place, std::move(record)) {}
    Value(Value&&) noexcept = default;

    // The Python form: the object itself, or a new dict for a nested record.
    nb::object make() const { return record_ ? record_->make() : object_; }

    // Appends the value's words to `out`, giving up its references.
    template <typename Vector>
    void move_words_to(Vector& out) {
        if (record_) return record_->move_words_to(out);
        out.push_back(reinterpret_cast<Word>(object_.release().ptr()));
    }

private:
    friend class Record;
    nb::object object_;
    std::optional<Record> record_;
};

inline Record& Record::add(Record&& nested) & {
    nested.move_words_to(words_);
    ++count_;
    return *this;
}

inline Record& Record::add(Value&& value) & {
    return value.record_ ? add(std::move(*value.record_)) : add(std::move(value.object_));
}

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
// is still the class this module made, with its own `__init__`, the instance
// is made directly and given the attributes that `__init__` sets.
class ObjectClass {
public:
    // `name`: the module global (and class name); `attributes`: the instance
    // attributes its `__init__` sets, in the order it sets them.
    ObjectClass(const char* name, std::initializer_list<const char*> attributes);
    // Remembers the class as built (call once, right after building it).
    void made(nb::handle cls);
    nb::handle cls() const { return cls_; }
    // Whether the module global is still the class as built, with its own
    // `__init__` (create then takes the direct way).
    bool is_original() const;

    // `cls(*args)`; the direct way sets `attributes` to `values` in order.
    nb::object create(std::initializer_list<nb::handle> args, std::initializer_list<nb::handle> values) const;
    // When the constructor's arguments are the attributes' values.
    nb::object create(std::initializer_list<nb::handle> args) const { return create(args, args); }

    // An instance given the attributes directly (used by `__init__` itself).
    static void set_attributes(nb::handle self, const std::vector<PyObject*>& keys,
                               std::initializer_list<nb::handle> values);
    const std::vector<PyObject*>& attributes() const { return keys_; }

private:
    const char* name_;
    std::vector<const char*> attribute_names_;
    std::vector<PyObject*> keys_;
    PyObject* global_key_ = nullptr;
    PyObject* cls_ = nullptr;
    PyObject* init_ = nullptr;
};

// ---------------------------------------------------------- reading values

// `obj.id`; reads `_id` directly while `id` is still Object's property.
nb::object id_of(nb::handle obj);
// `member.value` of an enumeration member; reads `_value_` directly while
// `value` is still Enum's own.
nb::object value_of(nb::handle member);
// The integer value of member `member` of enumeration `Class.Enum`, read from
// the class each call (`Line._GeomType.CIRCLE_ARC.value`).
nb::object enum_value(nb::handle cls, nb::handle enum_name, nb::handle member);

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
nb::handle int_value(long v);  // meant for small ints (-5 to 256, immortal)

// -------------------------------------------------------- class helpers

// Starts a model-object class: base `Object` (or `base`), the module's
// conventions for names and documentation.
bind::ClassBuilder object_class(const char* name, const char* doc, nb::handle base = nb::handle());
// Starts an interface class: base `_Interface` and the four sequence
// operations on `_objects`.
bind::ClassBuilder interface_class(const char* name, const char* doc);

// Originals captured when the classes are built, for the fast paths.
struct Originals {
    PyObject* instruction_list = nullptr;  // _InstructionList
    PyObject* add_function = nullptr;      // _InstructionList.add_function
    PyObject* add_property = nullptr;      // _InstructionList.add_property
    PyObject* object_id = nullptr;         // Object.id (property)
    PyObject* point3d = nullptr;           // _Point3D
    PyObject* point3d_init = nullptr;
    PyObject* point3d_from_tuple = nullptr;
    PyObject* point3d_serialize = nullptr;
    PyObject* circle_arc = nullptr;        // CircleArc
    PyObject* circle_arc_init = nullptr;
    PyObject* circle_arc_serialize = nullptr;
    PyObject* enum_value = nullptr;        // enum.Enum.value
};
inline Originals originals;

// The entry `name` of a class and its bases, as attribute lookup finds it.
PyObject* lookup_on_type(nb::handle type, nb::handle name);

}  // namespace tessel::plexum
