#include "runtime/generator.hpp"

#include "runtime/throw_args.hpp"

#include <structmember.h>

#include <string>

#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv {

namespace {

using Resume = GeneratorBody::Resume;
using Step = GeneratorBody::Step;

struct Generator {
    PyObject_HEAD
    GeneratorBody *body;  // owned; null once the generator has finished
    PyObject *inner;      // the iterator of a `yield from` in progress, or null
    PyObject *name;
    PyObject *qualname;
    PyObject *weakrefs;
    bool started;
    bool running;
};

Held generator_type_ref;  // the type, owned by the module state
PyTypeObject *g_type_of_module() { return (PyTypeObject *) generator_type_ref.ptr(); }

Name close_name{"close"};
Name throw_name{"throw"};
Name value_name{"value"};

inline Generator *as_gen(PyObject *o) { return reinterpret_cast<Generator *>(o); }
inline bool is_generator(PyObject *o) { return Py_TYPE(o) == g_type_of_module(); }

// Drops the body (and with it every object it holds) as soon as the
// generator can no longer run, as a finished Python frame does.
void finish(Generator *g) noexcept {
    GeneratorBody *body = g->body;
    g->body = nullptr;
    Py_CLEAR(g->inner);
    delete body;
}

// The pending error as one exception instance carrying its traceback.
nb::object fetch_exception() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return nb::steal(value);
}

void restore_exception(PyObject *exc) {
    PyErr_Restore(Py_NewRef((PyObject *) Py_TYPE(exc)), Py_NewRef(exc), PyException_GetTraceback(exc));
}

// StopIteration(value), wrapped so that a tuple or exception value is kept
// whole instead of being unpacked into the constructor's arguments.
void set_stop_iteration(PyObject *value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject *exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!exc) return;
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
}

// A StopIteration escaping the body would silently end whoever iterates the
// generator; like Python (PEP 479) it becomes a RuntimeError.
void guard_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    nb::object cause = fetch_exception();
    PyObject *error = PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration");
    if (!error) return;
    PyException_SetCause(error, Py_NewRef(cause.ptr()));
    PyException_SetContext(error, Py_NewRef(cause.ptr()));
    PyErr_SetObject(PyExc_RuntimeError, error);
    Py_DECREF(error);
}

PySendResult advance(Generator *g, Resume how, PyObject *arg, PyObject **out);
PyObject *gen_close(PyObject *self, PyObject *);

// Closes the iterator of an interrupted `yield from`: 0, or -1 with the error
// set.
int close_inner(PyObject *inner) {
    if (is_generator(inner)) {
        PyObject *r = gen_close(inner, nullptr);
        if (!r) return -1;
        Py_DECREF(r);
        return 0;
    }
    PyObject *close = nullptr;
    if (get_optional_attr(inner, close_name.ptr(), &close) < 0) {
        PyErr_WriteUnraisable(inner);
        return 0;
    }
    if (!close) return 0;
    PyObject *r = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

enum class Thrown { yielded, returned, raised, not_forwarded };

// Throws `exc` into the iterator of a `yield from`: it yields a value (the
// delegation goes on), returns (the delegation ends with that value), raises,
// or has no throw method (the exception is raised at the delegating point).
Thrown throw_inner(PyObject *inner, PyObject *exc, PyObject **out) {
    if (is_generator(inner)) {
        switch (advance(as_gen(inner), Resume::exception, exc, out)) {
            case PYGEN_NEXT: return Thrown::yielded;
            case PYGEN_RETURN: return Thrown::returned;
            default: return Thrown::raised;
        }
    }
    PyObject *method = nullptr;
    if (get_optional_attr(inner, throw_name.ptr(), &method) < 0) return Thrown::raised;
    if (!method) return Thrown::not_forwarded;
    // The three-argument form, as the interpreter forwards it in 3.11.
    PyObject *tb = PyException_GetTraceback(exc);
    PyObject *args[] = {(PyObject *) Py_TYPE(exc), exc, tb ? tb : Py_None};
    *out = PyObject_Vectorcall(method, args, 3, nullptr);
    Py_XDECREF(tb);
    Py_DECREF(method);
    if (*out) return Thrown::yielded;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return Thrown::raised;
    nb::object stop = fetch_exception();
    *out = PyObject_GetAttr(stop.ptr(), value_name.ptr());
    return *out ? Thrown::returned : Thrown::raised;
}

// Runs the generator to its next suspension point, forwarding to the inner
// iterator while a `yield from` is in progress.  The generator is started
// and not finished.
PySendResult run(Generator *g, Resume how, PyObject *arg, PyObject **out) {
    nb::object value = nb::borrow(arg);
    for (;;) {
        if (PyObject *inner = g->inner) {
            PyObject *r = nullptr;
            if (how == Resume::value) {
                PySendResult st = PyIter_Send(inner, value.ptr(), &r);
                if (st == PYGEN_NEXT) {
                    *out = r;
                    return PYGEN_NEXT;
                }
                Py_CLEAR(g->inner);
                if (st == PYGEN_RETURN) {
                    value = nb::steal(r);
                } else {
                    value = fetch_exception();
                    how = Resume::exception;
                }
            } else if (PyErr_GivenExceptionMatches(value.ptr(), PyExc_GeneratorExit)) {
                // Closing: the inner iterator is closed first; an error while
                // closing it is raised here instead of GeneratorExit.
                nb::object yf = nb::steal(g->inner);
                g->inner = nullptr;
                if (close_inner(yf.ptr()) < 0) value = fetch_exception();
            } else {
                nb::object yf = nb::borrow(inner);
                switch (throw_inner(yf.ptr(), value.ptr(), &r)) {
                    case Thrown::yielded:
                        *out = r;
                        return PYGEN_NEXT;
                    case Thrown::returned:
                        Py_CLEAR(g->inner);
                        value = nb::steal(r);
                        how = Resume::value;
                        break;
                    case Thrown::raised:
                        Py_CLEAR(g->inner);
                        value = fetch_exception();
                        break;
                    case Thrown::not_forwarded:
                        Py_CLEAR(g->inner);
                        break;
                }
            }
        }

        Step step{Step::Kind::finish, {}};
        try {
            step = g->body->resume(how, value);
        }
        QV_RETHROW_FORCED_UNWIND
        catch (...) {
            set_python_error_from_current_exception();
            finish(g);
            guard_stop_iteration();
            return PYGEN_ERROR;
        }
        switch (step.kind) {
            case Step::Kind::yield:
                *out = step.value.release().ptr();
                return PYGEN_NEXT;
            case Step::Kind::finish:
                finish(g);
                *out = step.value.release().ptr();
                return PYGEN_RETURN;
            case Step::Kind::delegate:
                g->inner = step.value.release().ptr();
                value = nb::none();
                how = Resume::value;
                break;
        }
    }
}

// One resumption with Python's rules for finished, fresh and running
// generators.  PYGEN_NEXT: *out is the yielded value; PYGEN_RETURN: *out is
// the return value; PYGEN_ERROR: an error is set.
PySendResult advance(Generator *g, Resume how, PyObject *arg, PyObject **out) {
    *out = nullptr;
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return PYGEN_ERROR;
    }
    if (!g->body) {
        if (how == Resume::exception) {
            restore_exception(arg);
            return PYGEN_ERROR;
        }
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (!g->started) {
        // An exception thrown into a fresh generator is raised before its
        // first line, outside anything the body guards.
        if (how == Resume::exception) {
            finish(g);
            restore_exception(arg);
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            return PYGEN_ERROR;
        }
        g->started = true;
    }
    g->running = true;
    PySendResult st = run(g, how, arg, out);
    g->running = false;
    return st;
}

PyObject *result_of(PySendResult st, PyObject *r) {
    if (st == PYGEN_NEXT) return r;
    if (st == PYGEN_RETURN) {
        set_stop_iteration(r);
        Py_DECREF(r);
    }
    return nullptr;
}

// ---- protocol -------------------------------------------------------------

PyObject *gen_iternext(PyObject *self) {
    PyObject *r;
    PySendResult st = advance(as_gen(self), Resume::value, Py_None, &r);
    if (st == PYGEN_RETURN) {
        // Exhaustion is a NULL return without an error, unless there is a
        // value to carry.
        if (r != Py_None) set_stop_iteration(r);
        Py_DECREF(r);
        return nullptr;
    }
    return st == PYGEN_NEXT ? r : nullptr;
}

PySendResult gen_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return advance(as_gen(self), Resume::value, arg, result);
}

PyObject *gen_send(PyObject *self, PyObject *arg) {
    PyObject *r;
    PySendResult st = advance(as_gen(self), Resume::value, arg, &r);
    return result_of(st, r);
}

// throw(exc) and throw(type[, value[, traceback]]), normalised as the
// interpreter does.
PyObject *gen_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    nb::object exc = nb::steal(thrown_exception(args, nargs));
    if (!exc.is_valid()) return nullptr;
    PyObject *r;
    PySendResult st = advance(as_gen(self), Resume::exception, exc.ptr(), &r);
    return result_of(st, r);
}

PyObject *gen_close(PyObject *self, PyObject *) {
    Generator *g = as_gen(self);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!g->body) Py_RETURN_NONE;
    if (!g->started) {
        finish(g);
        Py_RETURN_NONE;
    }
    PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject *r;
    PySendResult st = advance(g, Resume::exception, exit, &r);
    Py_DECREF(exit);
    if (st == PYGEN_NEXT) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (st == PYGEN_RETURN) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// A generator dropped while suspended is closed, as Python does, so that the
// iterator it delegates to is closed as well.
void gen_finalize(PyObject *self) {
    Generator *g = as_gen(self);
    if (!g->body || !g->started) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyObject *r = gen_close(self, nullptr);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(self);
    PyErr_Restore(type, value, tb);
}

int gen_traverse(PyObject *self, visitproc visit, void *arg) {
    Generator *g = as_gen(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->inner);
    if (g->body) return g->body->traverse(visit, arg);
    return 0;
}

int gen_clear(PyObject *self) {
    Generator *g = as_gen(self);
    if (!g->running) finish(g);
    return 0;
}

void gen_dealloc(PyObject *self) {
    Generator *g = as_gen(self);
    PyObject_GC_UnTrack(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    PyTypeObject *type = Py_TYPE(self);
    finish(g);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *gen_repr(PyObject *self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_gen(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_gen(self)->qualname); }
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_gen(self)->running); }
PyObject *get_yieldfrom(PyObject *self, void *) {
    PyObject *inner = as_gen(self)->inner;
    return Py_NewRef(inner ? inner : Py_None);
}

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Generator, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"send", gen_send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", (PyCFunction) (void (*)(void)) gen_throw, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

[[noreturn]] void raise_exception(nb::handle exc) {
    restore_exception(exc.ptr());
    raise_current();
}

PyTypeObject *generator_type() {
    if (generator_type_ref) return g_type_of_module();
    nb::handle module_name = PyDict_GetItemString(module_globals(), "__name__");
    static std::string type_name = std::string(PyUnicode_AsUTF8(module_name.ptr())) + ".native_generator";
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *) gen_dealloc},
        {Py_tp_finalize, (void *) gen_finalize},
        {Py_tp_traverse, (void *) gen_traverse},
        {Py_tp_clear, (void *) gen_clear},
        {Py_tp_iter, (void *) PyObject_SelfIter},
        {Py_tp_iternext, (void *) gen_iternext},
        {Py_am_send, (void *) gen_am_send},
        {Py_tp_repr, (void *) gen_repr},
        {Py_tp_getset, getset},
        {Py_tp_members, members},
        {Py_tp_methods, methods},
        {Py_tp_doc, (void *) "Generator of a natively compiled generator function of a quorvel module."},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        type_name.c_str(),
        (int) sizeof(Generator),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    nb::object type = own(PyType_FromModuleAndSpec(module_object(), &spec, nullptr));
    // Code that tests isinstance(x, collections.abc.Generator) must accept it.
    nb::object abc_generator = import_from("collections.abc", "Generator");
    own(PyObject_CallMethod(abc_generator.ptr(), "register", "O", type.ptr()));
    generator_type_ref.set(type);
    return g_type_of_module();
}

nb::object make_generator(std::unique_ptr<GeneratorBody> body, const Name &name, const Name &qualname) {
    PyTypeObject *type = generator_type();
    auto *g = PyObject_GC_New(Generator, type);
    if (!g) raise_current();
    g->body = body.release();
    g->inner = nullptr;
    g->name = Py_NewRef(name.ptr());
    g->qualname = Py_NewRef(qualname.ptr());
    g->weakrefs = nullptr;
    g->started = false;
    g->running = false;
    PyObject_GC_Track(g);
    return nb::steal((PyObject *) g);
}

}  // namespace qv
