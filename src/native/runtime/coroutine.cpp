#include "runtime/coroutine.hpp"

#include "runtime/module.hpp"
#include "runtime/throw_args.hpp"

#include <structmember.h>

#include <string>

namespace qv {

struct CoroutineAccess {
    static PyObject **slots(CoroutineLocals &locals) { return locals.slots_; }
};

namespace {

enum class State : unsigned char { created, suspended, finished };

struct Coroutine {
    PyObject_HEAD
    const CoroutineDef *def;
    CoroutineLocals locals;
    PyObject *awaiting;  // the iterator delegated to while suspended
    PyObject *weakrefs;
    State state;
    bool running;
};

// What `__await__` returns: the iterator side of a coroutine, kept apart so
// that the coroutine itself is not an iterator (as with Python coroutines).
struct Wrapper {
    PyObject_HEAD
    PyObject *coro;
};

// The two types, owned by the module state.
Held coroutine_type_ref, wrapper_type_ref;
PyTypeObject *g_type_of_module() { return (PyTypeObject *) coroutine_type_ref.ptr(); }
PyTypeObject *g_wrapper_type_of_module() { return (PyTypeObject *) wrapper_type_ref.ptr(); }

Coroutine *as_coro(PyObject *op) { return reinterpret_cast<Coroutine *>(op); }

void drop_frame(Coroutine *c) {
    c->state = State::finished;
    Py_CLEAR(c->awaiting);
    PyObject **slots = CoroutineAccess::slots(c->locals);
    for (int i = 0; i < kMaxCoroutineLocals; ++i) Py_CLEAR(slots[i]);
}

// A StopIteration leaving a coroutine body would read as its return to
// whoever drives it (PEP 479), so it is replaced by a RuntimeError, with the
// original as the cause.
void guard_stop_iteration() {
    const char *message = nullptr;
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        message = "coroutine raised StopIteration";
    else if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
        message = "coroutine raised StopAsyncIteration";
    if (!message) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    PyErr_SetString(PyExc_RuntimeError, message);
    PyObject *type2, *value2, *tb2;
    PyErr_Fetch(&type2, &value2, &tb2);
    PyErr_NormalizeException(&type2, &value2, &tb2);
    PyException_SetCause(value2, Py_NewRef(value));
    PyException_SetContext(value2, value);  // steals
    PyErr_Restore(type2, value2, tb2);
    Py_XDECREF(type);
    Py_XDECREF(tb);
}

// The body ended with the pending error.
PySendResult fail(Coroutine *c, PyObject **out) {
    guard_stop_iteration();
    drop_frame(c);
    c->running = false;
    *out = nullptr;
    return PYGEN_ERROR;
}

// Takes the value of the pending StopIteration (a new reference), or
// returns NULL with another error pending.
PyObject *take_stop_value() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject *result = nullptr;
    if (value && PyObject_TypeCheck(value, (PyTypeObject *) PyExc_StopIteration)) {
        result = Py_NewRef(reinterpret_cast<PyStopIterationObject *>(value)->value);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    } else {
        PyErr_Restore(type, value, tb);
    }
    return result;
}

bool is_iterable_coroutine(PyObject *o) {
    if (!PyGen_CheckExact(o)) return false;
    PyObject *code = PyObject_GetAttrString(o, "gi_code");
    if (!code) raise_current();
    const bool flagged = PyCode_Check(code) && (reinterpret_cast<PyCodeObject *>(code)->co_flags & CO_ITERABLE_COROUTINE);
    Py_DECREF(code);
    return flagged;
}

// The iterator that `await o` drives: `o` itself for coroutines, else what
// its __await__ returns, with the interpreter's own checks and messages.
nb::object awaitable_iter(nb::handle o) {
    if (PyCoro_CheckExact(o.ptr()) || is_iterable_coroutine(o.ptr())) return nb::borrow(o);
    PyTypeObject *type = Py_TYPE(o.ptr());
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", type->tp_name);
    nb::object it = own(getter(o.ptr()));
    if (PyCoro_CheckExact(it.ptr()) || is_iterable_coroutine(it.ptr()))
        raise_format(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.ptr()))
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.ptr())->tp_name);
    return it;
}

// Runs the body from `first` until it suspends at an await or ends.
template <class F>
PySendResult run_steps(Coroutine *c, F &&first, PyObject **out) {
    c->running = true;
    try {
        Step step = first();
        for (;;) {
            if (!step.awaits) {
                drop_frame(c);
                c->running = false;
                *out = step.value.release().ptr();
                return PYGEN_RETURN;
            }
            nb::object it = awaitable_iter(step.value);
            PyObject *yielded = nullptr;
            const PySendResult sent = PyIter_Send(it.ptr(), Py_None, &yielded);
            if (sent == PYGEN_ERROR) raise_current();
            if (sent == PYGEN_NEXT) {
                c->awaiting = it.release().ptr();
                c->state = State::suspended;
                c->running = false;
                *out = yielded;
                return PYGEN_NEXT;
            }
            nb::object awaited = nb::steal(yielded);
            step = c->def->resume(c->locals, awaited);
        }
    }
    QV_RETHROW_FORCED_UNWIND
    catch (...) {
        set_python_error_from_current_exception();
        return fail(c, out);
    }
}

// The awaitable in progress returned `value` (a new reference).
PySendResult resume_with(Coroutine *c, PyObject *value, PyObject **out) {
    Py_CLEAR(c->awaiting);
    nb::object awaited = nb::steal(value);
    return run_steps(c, [&] { return c->def->resume(c->locals, awaited); }, out);
}

bool refuse_reentry(Coroutine *c) {
    if (!c->running) return false;
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return true;
}

PySendResult send_ex(Coroutine *c, PyObject *arg, PyObject **out) {
    *out = nullptr;
    if (refuse_reentry(c)) return PYGEN_ERROR;
    switch (c->state) {
        case State::finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return PYGEN_ERROR;
        case State::created:
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return PYGEN_ERROR;
            }
            c->state = State::suspended;
            return run_steps(c, [c] { return c->def->start(c->locals); }, out);
        case State::suspended: break;
    }
    c->running = true;
    PyObject *result = nullptr;
    const PySendResult sent = PyIter_Send(c->awaiting, arg, &result);
    c->running = false;
    if (sent == PYGEN_NEXT) {
        *out = result;
        return sent;
    }
    if (sent == PYGEN_ERROR) return fail(c, out);
    return resume_with(c, result, out);
}

// Closes the awaitable in progress, as `yield from` does on close().
int close_iter(PyObject *it) {
    PyObject *close = PyObject_GetAttrString(it, "close");
    if (!close) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
        } else {
            PyErr_WriteUnraisable(it);
        }
        return 0;
    }
    PyObject *result = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
}

// Throws `exc` (an exception instance) in at the point where the coroutine
// is suspended.  The body handles nothing itself, so unless the awaitable in
// progress handles it, it ends the coroutine.
PySendResult throw_ex(Coroutine *c, PyObject *exc, PyObject **out) {
    *out = nullptr;
    if (refuse_reentry(c)) return PYGEN_ERROR;
    if (c->state == State::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (c->state == State::suspended && c->awaiting) {
        if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            c->running = true;
            const int err = close_iter(c->awaiting);
            c->running = false;
            if (err < 0) return fail(c, out);  // the close error replaces GeneratorExit
        } else {
            PyObject *throw_method = PyObject_GetAttrString(c->awaiting, "throw");
            if (!throw_method) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail(c, out);
                PyErr_Clear();
            } else {
                c->running = true;
                PyObject *yielded = PyObject_CallOneArg(throw_method, exc);
                c->running = false;
                Py_DECREF(throw_method);
                if (yielded) {
                    *out = yielded;
                    return PYGEN_NEXT;
                }
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return fail(c, out);
                PyObject *value = take_stop_value();
                if (!value) return fail(c, out);
                return resume_with(c, value, out);
            }
        }
    }
    PyErr_SetObject((PyObject *) Py_TYPE(exc), exc);
    return fail(c, out);
}

PyObject *close_coro(Coroutine *c) {
    if (refuse_reentry(c)) return nullptr;
    if (c->state == State::suspended && c->awaiting) {
        c->running = true;
        const int err = close_iter(c->awaiting);
        c->running = false;
        if (err < 0) {
            PyObject *out;
            fail(c, &out);
            return nullptr;
        }
    }
    drop_frame(c);
    Py_RETURN_NONE;
}

// Python's view of a send: a yielded value, or StopIteration carrying the
// result.
PyObject *to_python(PySendResult status, PyObject *result) {
    if (status != PYGEN_RETURN) return result;
    if (result == Py_None) {
        Py_DECREF(result);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    // An explicit instance, so that a tuple or exception result is not
    // taken for constructor arguments.
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, result);
    Py_DECREF(result);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

// ---- coroutine ------------------------------------------------------------

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **result) { return send_ex(as_coro(self), arg, result); }

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *result;
    const PySendResult status = send_ex(as_coro(self), arg, &result);
    return to_python(status, result);
}

PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *exc = thrown_exception(args, nargs);
    if (!exc) return nullptr;
    PyObject *result;
    const PySendResult status = throw_ex(as_coro(self), exc, &result);
    Py_DECREF(exc);
    return to_python(status, result);
}

PyObject *coro_close(PyObject *self, PyObject *) { return close_coro(as_coro(self)); }

PyObject *coro_await(PyObject *self) {
    Coroutine *c = as_coro(self);
    if (c->state == State::suspended && c->awaiting) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    auto *w = PyObject_GC_New(Wrapper, g_wrapper_type_of_module());
    if (!w) return nullptr;
    w->coro = Py_NewRef(self);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

// A coroutine that was never started warns, as Python's do (an `await` was
// forgotten); one left suspended is closed so that what it awaits is closed
// too.
void coro_finalize(PyObject *self) {
    Coroutine *c = as_coro(self);
    if (c->state == State::finished) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (c->state == State::created) {
        drop_frame(c);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", c->def->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject *res = close_coro(c);
        if (res)
            Py_DECREF(res);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(type, value, tb);
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    Coroutine *c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->awaiting);
    PyObject **slots = CoroutineAccess::slots(c->locals);
    for (int i = 0; i < kMaxCoroutineLocals; ++i) Py_VISIT(slots[i]);
    return 0;
}

int coro_clear(PyObject *self) {
    drop_frame(as_coro(self));
    return 0;
}

void coro_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (as_coro(self)->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the finalizer
    PyObject_GC_UnTrack(self);
    coro_clear(self);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coro_repr(PyObject *self) {
    return PyUnicode_FromFormat("<coroutine object %s at %p>", as_coro(self)->def->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return PyUnicode_FromString(as_coro(self)->def->name); }
PyObject *get_qualname(PyObject *self, void *) { return PyUnicode_FromString(as_coro(self)->def->qualname); }
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_coro(self)->running); }
PyObject *get_await(PyObject *self, void *) {
    PyObject *it = as_coro(self)->awaiting;
    return Py_NewRef(it ? it : Py_None);
}

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Coroutine, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", (PyCFunction) (void (*)(void)) coro_throw, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next yielded value or raise\nStopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- __await__ wrapper ------------------------------------------------------

Coroutine *wrapped(PyObject *self) { return as_coro(reinterpret_cast<Wrapper *>(self)->coro); }

PySendResult wrapper_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return send_ex(wrapped(self), arg, result);
}

PyObject *wrapper_next(PyObject *self) {
    PyObject *result;
    const PySendResult status = send_ex(wrapped(self), Py_None, &result);
    return to_python(status, result);
}

PyObject *wrapper_send(PyObject *self, PyObject *arg) {
    PyObject *result;
    const PySendResult status = send_ex(wrapped(self), arg, &result);
    return to_python(status, result);
}

PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return coro_throw(reinterpret_cast<Wrapper *>(self)->coro, args, nargs);
}

PyObject *wrapper_close(PyObject *self, PyObject *) { return close_coro(wrapped(self)); }

int wrapper_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Wrapper *>(self)->coro);
    return 0;
}

int wrapper_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<Wrapper *>(self)->coro);
    return 0;
}

void wrapper_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, nullptr},
    {"throw", (PyCFunction) (void (*)(void)) wrapper_throw, METH_FASTCALL, nullptr},
    {"close", wrapper_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_coroutine_type() {
    if (coroutine_type_ref) return;
    static const std::string type_name = std::string(module_name()) + ".native_coroutine";
    static const std::string wrapper_name = std::string(module_name()) + ".native_coroutine_wrapper";

    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *) coro_dealloc},
        {Py_tp_finalize, (void *) coro_finalize},
        {Py_tp_traverse, (void *) coro_traverse},
        {Py_tp_clear, (void *) coro_clear},
        {Py_tp_repr, (void *) coro_repr},
        {Py_tp_getset, coro_getset},
        {Py_tp_members, coro_members},
        {Py_tp_methods, coro_methods},
        {Py_am_await, (void *) coro_await},
        {Py_am_send, (void *) coro_am_send},
        {Py_tp_doc, (void *) "Coroutine object of a natively compiled async function."},
        {0, nullptr},
    };
    static PyType_Spec layout = {
        type_name.c_str(), (int) sizeof(Coroutine), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots,
    };
    static PyType_Slot wrapper_slots[] = {
        {Py_tp_dealloc, (void *) wrapper_dealloc},
        {Py_tp_traverse, (void *) wrapper_traverse},
        {Py_tp_clear, (void *) wrapper_clear},
        {Py_tp_iter, (void *) PyObject_SelfIter},
        {Py_tp_iternext, (void *) wrapper_next},
        {Py_tp_methods, wrapper_methods},
        {Py_am_send, (void *) wrapper_am_send},
        {0, nullptr},
    };
    static PyType_Spec wrapper_layout = {
        wrapper_name.c_str(), (int) sizeof(Wrapper), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, wrapper_slots,
    };

    nb::object type = own(PyType_FromModuleAndSpec(module_object(), &layout, nullptr));
    nb::object wrapper_type = own(PyType_FromModuleAndSpec(module_object(), &wrapper_layout, nullptr));
    nb::object abc = own(PyImport_ImportModule("collections.abc"));
    nb::object coroutine_abc = own(PyObject_GetAttrString(abc.ptr(), "Coroutine"));
    own(PyObject_CallMethod(coroutine_abc.ptr(), "register", "O", type.ptr()));
    wrapper_type_ref.set(wrapper_type);
    coroutine_type_ref.set(type);
}

PyTypeObject *coroutine_type() { return g_type_of_module(); }

nb::object make_coroutine(const CoroutineDef &def, std::initializer_list<PyObject *> locals) {
    if (locals.size() > (size_t) kMaxCoroutineLocals) raise_format(PyExc_SystemError, "too many locals for %s", def.qualname);
    auto *c = PyObject_GC_New(Coroutine, g_type_of_module());
    if (!c) raise_current();
    c->def = &def;
    PyObject **slots = CoroutineAccess::slots(c->locals);
    int i = 0;
    for (PyObject *value : locals) slots[i++] = Py_XNewRef(value);
    for (; i < kMaxCoroutineLocals; ++i) slots[i] = nullptr;
    c->awaiting = nullptr;
    c->weakrefs = nullptr;
    c->state = State::created;
    c->running = false;
    PyObject_GC_Track(c);
    return nb::steal(reinterpret_cast<PyObject *>(c));
}

}  // namespace qv
