#include "bind/generator.h"

#include <structmember.h>

#include <new>
#include <stdexcept>
#include <string>

namespace tessel::bind {
namespace {

struct GeneratorObject {
    PyObject_HEAD
    GeneratorBody* body;  // owned; null once the generator has finished
    PyObject* weakrefs;
    bool started;
    bool running;
};

PyTypeObject* generator_type = nullptr;

GeneratorObject* as_generator(PyObject* self) { return reinterpret_cast<GeneratorObject*>(self); }

void end(GeneratorObject* gen) {
    GeneratorBody* body = gen->body;
    gen->body = nullptr;
    delete body;
}

// Sets the Python error a C++ exception stands for.
void set_error_from_current_exception() {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception in a generator");
    }
}

bool check_not_running(GeneratorObject* gen) {
    if (!gen->running) return true;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return false;
}

// The next value; null with no error set at the end.
PyObject* resume(GeneratorObject* gen) {
    if (gen->body == nullptr) return nullptr;
    if (!check_not_running(gen)) return nullptr;
    gen->running = gen->started = true;
    nb::object value;
    try {
        value = gen->body->next();
    } catch (...) {
        gen->running = false;
        end(gen);
        set_error_from_current_exception();
        return nullptr;
    }
    gen->running = false;
    if (!value.is_valid()) {
        end(gen);
        return nullptr;
    }
    return value.release().ptr();
}

// Stops a started body with `exc`; -1 with an error set when the body raised
// something else, else 1 when it suppressed `exc` and 0 when it did not.
int stop(GeneratorObject* gen, PyObject* exc) {
    if (!check_not_running(gen)) return -1;
    gen->running = true;
    int result;
    try {
        result = gen->body->stop(exc) ? 1 : 0;
    } catch (...) {
        set_error_from_current_exception();
        result = -1;
    }
    gen->running = false;
    end(gen);
    return result;
}

PyObject* gen_iternext(PyObject* self) { return resume(as_generator(self)); }

PyObject* gen_send(PyObject* self, PyObject* value) {
    GeneratorObject* gen = as_generator(self);
    if (gen->body && !gen->started && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* result = resume(gen);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// generator.throw(value) and the older throw(type[, value[, traceback]]),
// with the interpreter's checks and texts.
PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
#endif
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb == Py_None) {
        tb = nullptr;
    } else if (!PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    nb::object exc_type, exc, traceback = nb::borrow(tb);
    if (PyExceptionClass_Check(type)) {
        PyObject *t = Py_NewRef(type), *v = Py_NewRef(value), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        exc_type = nb::steal(t);
        exc = nb::steal(v);
        traceback = nb::steal(b);
        if (PyErr_Occurred()) return nullptr;
        if (!exc.is_valid() || !PyExceptionInstance_Check(exc.ptr())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                         type, exc.is_valid() ? Py_TYPE(exc.ptr())->tp_name : "NULL");
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = nb::borrow(type);
        exc_type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(type)));
        if (!traceback.is_valid()) traceback = nb::steal(PyException_GetTraceback(type));
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    GeneratorObject* gen = as_generator(self);
    if (gen->body && gen->started) {
        const int suppressed = stop(gen, exc.ptr());
        if (suppressed < 0) return nullptr;
        if (suppressed) {
            PyErr_SetNone(PyExc_StopIteration);
            return nullptr;
        }
    } else {
        if (!check_not_running(gen)) return nullptr;
        end(gen);
    }
    if (traceback.is_valid() && !traceback.is_none()) PyException_SetTraceback(exc.ptr(), traceback.ptr());
    PyErr_Restore(exc_type.release().ptr(), exc.release().ptr(),
                  traceback.is_valid() && !traceback.is_none() ? traceback.release().ptr() : nullptr);
    return nullptr;
}

PyObject* gen_close(PyObject* self, PyObject*) {
    GeneratorObject* gen = as_generator(self);
    if (gen->body && gen->started) {
        nb::object exit = nb::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
        if (!exit.is_valid()) return nullptr;
        if (stop(gen, exit.ptr()) < 0) {
            // Raised to end the generator: what close() expects.
            if (!PyErr_ExceptionMatches(PyExc_GeneratorExit) && !PyErr_ExceptionMatches(PyExc_StopIteration))
                return nullptr;
            PyErr_Clear();
        }
    } else {
        if (!check_not_running(gen)) return nullptr;
        end(gen);
    }
    Py_RETURN_NONE;
}

PyObject* gen_running(PyObject* self, void*) { return PyBool_FromLong(as_generator(self)->running); }

// Runs the cleanup of a started generator that is being collected, keeping
// the exception in flight (if any) untouched.
void gen_finalize(PyObject* self) {
    GeneratorObject* gen = as_generator(self);
    if (!gen->body || !gen->started || gen->running) return;
    SavedError saved;
    PyObject* result = gen_close(self, nullptr);
    if (result) Py_DECREF(result);
    else PyErr_WriteUnraisable(self);
}

void gen_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by its cleanup
    PyObject_GC_UnTrack(self);
    GeneratorObject* gen = as_generator(self);
    if (gen->weakrefs) PyObject_ClearWeakRefs(self);
    {
        SavedError saved;
        end(gen);
    }
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    GeneratorObject* gen = as_generator(self);
    return gen->body ? gen->body->traverse(visit, arg) : 0;
}

// Breaks a reference cycle once the collector has finalized the generator:
// drops the body without running any more of it.
int gen_clear(PyObject* self) {
    GeneratorObject* gen = as_generator(self);
    if (!gen->running) end(gen);
    return 0;
}

PyMethodDef gen_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(gen_send), METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\n"
     "StopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"gi_running", gen_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef gen_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(GeneratorObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

void init_generator_type(const ModuleGlobals& g) {
    static std::string name;  // the type keeps a pointer to its name
    name = nb::cast<std::string>(g.module_name()) + "._StreamGenerator";
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
        {Py_tp_finalize, reinterpret_cast<void*>(gen_finalize)},
        {Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
        {Py_tp_methods, gen_methods},
        {Py_tp_getset, gen_getset},
        {Py_tp_members, gen_members},
        {Py_tp_doc, const_cast<char*>("A stream of pieces produced by C++ code, with the generator protocol.")},
        {0, nullptr},
    };
    PyType_Spec definition = {name.c_str(), sizeof(GeneratorObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    // Lives as long as the process: the ABC registry below holds it weakly.
    generator_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&definition)));
    nb::module_::import_("collections.abc").attr("Generator").attr("register")(nb::handle(generator_type));
}

nb::object make_generator(std::unique_ptr<GeneratorBody> body) {
    auto* gen = PyObject_GC_New(GeneratorObject, generator_type);
    if (!gen) throw nb::python_error();
    gen->body = body.release();
    gen->weakrefs = nullptr;
    gen->started = gen->running = false;
    PyObject_GC_Track(gen);
    return nb::steal(reinterpret_cast<PyObject*>(gen));
}

}  // namespace tessel::bind
