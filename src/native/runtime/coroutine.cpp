#include "runtime/coroutine.hpp"

#include "runtime/module.hpp"
#include "runtime/resumable.hpp"
#include "runtime/throw_args.hpp"

#include <structmember.h>

#include <memory>
#include <string>

namespace qv {

struct CoroutineAccess {
    static PyObject **slots(CoroutineLocals &locals) { return locals.slots_; }
};

namespace {

using Resume = ResumableBody::Resume;
using BodyStep = ResumableBody::Step;

constexpr Flavour kCoroutine{"coroutine", true, true};

// The coroutine's body: the def's steps over its locals, seen by the
// resumable core as a body that delegates at every await.  It handles no
// exception itself: one thrown in at an await ends the coroutine.
class StepsBody final : public ResumableBody {
public:
    StepsBody(const CoroutineDef &def, std::initializer_list<PyObject *> values) : def_(def) {
        PyObject **slots = CoroutineAccess::slots(locals_);
        int i = 0;
        for (PyObject *value : values) slots[i++] = Py_XNewRef(value);
        for (; i < kMaxCoroutineLocals; ++i) slots[i] = nullptr;
    }
    ~StepsBody() override {
        PyObject **slots = CoroutineAccess::slots(locals_);
        for (int i = 0; i < kMaxCoroutineLocals; ++i) Py_CLEAR(slots[i]);
    }

    BodyStep resume(Resume how, nb::handle value) override;

    int traverse(visitproc visit, void *arg) override {
        PyObject **slots = CoroutineAccess::slots(locals_);
        for (int i = 0; i < kMaxCoroutineLocals; ++i) Py_VISIT(slots[i]);
        return 0;
    }

private:
    const CoroutineDef &def_;
    CoroutineLocals locals_;
    bool started_ = false;
};

struct Coroutine {
    PyObject_HEAD
    Resumable core;
    const CoroutineDef *def;
    PyObject *weakrefs;
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

BodyStep StepsBody::resume(Resume how, nb::handle value) {
    if (how == Resume::exception) raise_exception(value);
    qv::Step step = started_ ? def_.resume(locals_, value) : def_.start(locals_);
    started_ = true;
    if (step.awaits) return BodyStep::delegate(awaitable_iter(step.value));
    return BodyStep::finish(std::move(step.value));
}

PySendResult advance(PyObject *self, Resume how, PyObject *arg, PyObject **out) {
    return resumable_send(as_coro(self)->core, kCoroutine, how, arg, out);
}

// throw(exc) and throw(type[, value[, traceback]]), normalised as the
// interpreter does.
PyObject *throw_into(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    nb::object exc = nb::steal(thrown_exception(args, nargs));
    if (!exc.is_valid()) return nullptr;
    PyObject *result;
    const PySendResult status = advance(self, Resume::exception, exc.ptr(), &result);
    return send_result(status, result);
}

// ---- coroutine ------------------------------------------------------------

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return advance(self, Resume::value, arg, result);
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *result;
    const PySendResult status = advance(self, Resume::value, arg, &result);
    return send_result(status, result);
}

PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) { return throw_into(self, args, nargs); }

PyObject *coro_close(PyObject *self, PyObject *) { return resumable_close(as_coro(self)->core, kCoroutine); }

PyObject *coro_await(PyObject *self) {
    Coroutine *c = as_coro(self);
    if (c->core.started && c->core.inner) {
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
    if (c->core.finished()) return;
    if (c->core.started) {
        resumable_finalize(c->core, kCoroutine, self);
        return;
    }
    nb::object pending = fetch_exception();
    resumable_finish(c->core);
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", c->def->qualname) < 0)
        PyErr_WriteUnraisable(self);
    restore_exception(pending);
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return resumable_traverse(as_coro(self)->core, visit, arg);
}

int coro_clear(PyObject *self) {
    Coroutine *c = as_coro(self);
    if (!c->core.running) resumable_finish(c->core);
    return 0;
}

void coro_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (as_coro(self)->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the finalizer
    PyObject_GC_UnTrack(self);
    resumable_finish(as_coro(self)->core);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coro_repr(PyObject *self) {
    return PyUnicode_FromFormat("<coroutine object %s at %p>", as_coro(self)->def->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return PyUnicode_FromString(as_coro(self)->def->name); }
PyObject *get_qualname(PyObject *self, void *) { return PyUnicode_FromString(as_coro(self)->def->qualname); }
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_coro(self)->core.running); }
PyObject *get_await(PyObject *self, void *) {
    PyObject *it = as_coro(self)->core.inner;
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

PyObject *wrapped(PyObject *self) { return reinterpret_cast<Wrapper *>(self)->coro; }

PySendResult wrapper_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return advance(wrapped(self), Resume::value, arg, result);
}

PyObject *wrapper_next(PyObject *self) { return coro_send(wrapped(self), Py_None); }

PyObject *wrapper_send(PyObject *self, PyObject *arg) { return coro_send(wrapped(self), arg); }

PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return throw_into(wrapped(self), args, nargs);
}

PyObject *wrapper_close(PyObject *self, PyObject *) { return coro_close(wrapped(self), nullptr); }

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
    auto body = std::make_unique<StepsBody>(def, locals);
    auto *c = PyObject_GC_New(Coroutine, g_type_of_module());
    if (!c) raise_current();
    c->core.init(body.release());
    c->def = &def;
    c->weakrefs = nullptr;
    PyObject_GC_Track(c);
    return nb::steal(reinterpret_cast<PyObject *>(c));
}

}  // namespace qv
