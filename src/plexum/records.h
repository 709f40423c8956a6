// The record model: what one record holds, described by a key shape and its
// values, and made into the exact Python dicts when something observes it.
// Also the values records share: constants, points and circular arcs.
#pragma once

#include "plexum/plexum.h"

#include "bind/guard.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::plexum {

// The keys of one record's parameter dict, in order. Declare shapes as
// function-local statics: `static const Shape add{"x", "y", "z"};`.
class Shape {
public:
    Shape(std::initializer_list<const char*> keys);
    std::size_t size() const { return keys_.size(); }
    PyObject* key(std::size_t i) const { return keys_[i]; }
    // A dict of the keys in order, all None: records are made as its copies.
    PyObject* key_template() const { return template_; }
    // The JSON text that opens member i: `{"key": ` for the first, `, "key": `
    // for the others, as json.dumps writes them.
    std::string_view json_key(std::size_t i) const { return json_keys_[i]; }

private:
    std::vector<PyObject*> keys_;  // interned, held for the life of the process
    std::vector<std::string> json_keys_;
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
    // Its JSON text as json.dumps writes it (made once: the values never change).
    std::string_view json_text() const;

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
    mutable std::string json_text_;
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

// Immutable constants shared by the records.
nb::handle float_zero();  // 0.0
// A small int (0 to 256), cached by the interpreter for its whole life.
nb::handle int_value(long v);

// {"x": 0.0, "y": 0.0, "z": 0.0}, as a constant record.
const Constant& zero_point();
// (0.0, 0.0, 0.0), the tuple that default points and arcs are made from.
nb::object origin();

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

// _Point3D and CircleArc as built, with the methods their values stand for.
extern const bind::Guard point3d_guard;
extern const bind::Guard circle_arc_guard;

}  // namespace tessel::plexum
