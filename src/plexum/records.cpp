// The toolkit of plexum.h: records, instruction-list appends, identifiers,
// object creation and the values operations read from their arguments.
#include "plexum/plexum.h"

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

// The instance's own attribute dict (made on first use), as a new reference.
nb::object instance_dict(nb::handle obj) {
    return nb::steal(bind::check(PyObject_GenericGetDict(obj.ptr(), nullptr)));
}

bool has_own(nb::handle dict, nb::handle key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v != nullptr;
}

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

Value::Value(Record&& record) : record_(std::make_unique<Record>(std::move(record))) {}
Value::~Value() = default;

nb::object Value::make() const { return record_ ? record_->make() : object_; }

nb::object Record::make() const {
    if (values_.size() != shape_->size())
        throw std::logic_error("record made with " + std::to_string(values_.size()) + " values for " +
                               std::to_string(shape_->size()) + " keys");
    nb::object dict = nb::steal(bind::check(_PyDict_NewPresized(static_cast<Py_ssize_t>(values_.size()))));
    for (std::size_t i = 0; i < values_.size(); ++i) {
        nb::object v = values_[i].make();
        bind::check(PyDict_SetItem(dict.ptr(), shape_->key(i), v.ptr()));
    }
    return dict;
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

namespace {

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

}  // namespace

void add_function_to(nb::handle instructions, nb::handle name, Record&& params) {
    nb::object list = direct_list(instructions, str<"add_function">(), originals.add_function, str<"_functions">());
    nb::object dict = params.make();
    if (list.is_valid())
        append_pair(list, name, dict);
    else
        instructions.attr(str<"add_function">())(name, dict);
}

void add_function(nb::handle interface, nb::handle name, Record&& params) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    add_function_to(instructions, name, std::move(params));
}

void add_property(nb::handle interface, nb::handle name, Value&& value) {
    nb::object instructions = nb::steal(bind::check(PyObject_GetAttr(interface.ptr(), str<"_instructions">().ptr())));
    nb::object list = direct_list(instructions, str<"add_property">(), originals.add_property, str<"_properties">());
    nb::object v = value.make();
    if (list.is_valid())
        append_pair(list, name, v);
    else
        instructions.attr(str<"add_property">())(name, v);
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
