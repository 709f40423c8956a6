#include "plexum/records.h"

#include "plexum/objects.h"

#include "bind/json.h"

#include <stdexcept>
#include <string>

namespace tessel::plexum {

Shape::Shape(std::initializer_list<const char*> keys) {
    keys_.reserve(keys.size());
    for (const char* k : keys) {
        keys_.push_back(bind::check(PyUnicode_InternFromString(k)));
        // Record keys are identifiers: nothing in them needs escaping.
        json_keys_.push_back(std::string(json_keys_.empty() ? "{\"" : ", \"") + k + "\": ");
    }
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

std::string_view Constant::json_text() const {
    if (json_text_.empty()) {
        bind::JsonWriter w(nb::module_::import_("json").attr("dumps"), 256);
        w.value(tree_.dict);
        nb::bytes text = w.take();
        json_text_.assign(text.c_str(), text.size());
    }
    return json_text_;
}

nb::object origin() {
    nb::handle f0 = float_zero();
    return nb::make_tuple(f0, f0, f0);
}

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
    if (!point3d_guard.holds())
        return global(str<"_Point3D">()).attr("from_tuple")(xyz).attr("serialize")();
    nb::object x = item(xyz, 0), y = item(xyz, 1), z = item(xyz, 2);
    Record r(point_shape());
    r.add(std::move(x)).add(std::move(y)).add(std::move(z));
    return r;
}

Value point_value(nb::handle x, nb::handle y, nb::handle z) {
    if (!point3d_guard.holds()) return global(str<"_Point3D">())(x, y, z).attr("serialize")();
    Record r(point_shape());
    r.add(x).add(y).add(z);
    return r;
}

Value circle_arc_value(nb::handle arc) {
    if (circle_arc_guard.holds_for(Py_TYPE(arc.ptr()))) {
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
    if (circle_arc_guard.holds()) {
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
    if (circle_arc_guard.holds() && point3d_guard.holds()) {
        static const Shape shape{"Center", "NormalVector", "Alfa"};
        static const Constant zero(Record(shape).add(zero_point()).add(zero_point()).add(float_zero()));
        return zero;
    }
    nb::handle f0 = float_zero();
    return circle_arc_value(origin(), origin(), f0);
}

// -------------------------------------------------------------- constants

nb::handle float_zero() {
    static PyObject* const zero = PyFloat_FromDouble(0.0);
    return zero;
}

nb::handle int_value(long v) {
    // The interpreter keeps these for its whole life, so a borrowed handle
    // stays valid; any other value would need a reference of its own.
    if (v < 0 || v > 256) throw std::logic_error("int_value is for small ints only");
    PyObject* i = bind::check(PyLong_FromLong(v));
    Py_DECREF(i);
    return i;
}

}  // namespace tessel::plexum
