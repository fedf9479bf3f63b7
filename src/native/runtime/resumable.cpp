#include "runtime/runtime_names.hpp"
#include "runtime/resumable.hpp"

#include "runtime/names.hpp"
#include "runtime/object.hpp"

namespace qv {

using namespace runtime_names;

using Resume = ResumableBody::Resume;
using Step = ResumableBody::Step;

namespace {


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

// A StopIteration escaping the body would silently end whoever iterates it;
// as in Python (PEP 479) it becomes a RuntimeError with the original as its
// cause.  Coroutines treat StopAsyncIteration the same way.
void guard_stop_iteration(const Flavour &f) {
    const char *escaped = nullptr;
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        escaped = "StopIteration";
    else if (f.guards_stop_async_iteration && PyErr_ExceptionMatches(PyExc_StopAsyncIteration))
        escaped = "StopAsyncIteration";
    if (!escaped) return;
    nb::object cause = fetch_exception();
    PyObject *error = PyUnicode_FromFormat("%s raised %s", f.kind, escaped);
    if (!error) return;
    PyObject *exc = PyObject_CallOneArg(PyExc_RuntimeError, error);
    Py_DECREF(error);
    if (!exc) return;
    PyException_SetCause(exc, Py_NewRef(cause.ptr()));
    PyException_SetContext(exc, Py_NewRef(cause.ptr()));
    PyErr_SetObject(PyExc_RuntimeError, exc);
    Py_DECREF(exc);
}

// Closes the inner iterator of an interrupted delegation: 0, or -1 with the
// error set.  A close attribute that cannot be read is reported and ignored,
// as the interpreter does.
int close_inner(PyObject *inner) {
    PyObject *close = nullptr;
    if (get_optional_attr(inner, close_name.ptr(), &close) < 0) {
        PyErr_WriteUnraisable(inner);
        return 0;
    }
    if (!close) return 0;
    PyObject *r = into_python([&] { return PyObject_CallNoArgs(close); });
    Py_DECREF(close);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

enum class Thrown { yielded, returned, raised, not_forwarded };

// Throws `exc` into the inner iterator: it yields a value (the delegation
// goes on), returns (the delegation ends with that value), raises, or has no
// throw method (the exception is raised at the delegating point).
Thrown throw_inner(PyObject *inner, PyObject *exc, PyObject **out) {
    PyObject *method = nullptr;
    if (get_optional_attr(inner, throw_name.ptr(), &method) < 0) return Thrown::raised;
    if (!method) return Thrown::not_forwarded;
#if PY_VERSION_HEX >= 0x030C0000
    // The one-argument form: 3.12 deprecated throw(type, value, traceback).
    *out = into_python([&] { return PyObject_CallOneArg(method, exc); });
#else
    // The three-argument form, as the 3.11 interpreter forwards it.
    PyObject *tb = PyException_GetTraceback(exc);
    PyObject *args[] = {(PyObject *) Py_TYPE(exc), exc, tb ? tb : Py_None};
    *out = into_python([&] { return PyObject_Vectorcall(method, args, 3, nullptr); });
    Py_XDECREF(tb);
#endif
    Py_DECREF(method);
    if (*out) return Thrown::yielded;
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return Thrown::raised;
    nb::object stop = fetch_exception();
    *out = PyObject_GetAttr(stop.ptr(), value_name.ptr());
    return *out ? Thrown::returned : Thrown::raised;
}

// Runs the body to its next suspension point, forwarding to the inner
// iterator while a delegation is in progress.  Started, not finished.
PySendResult run(Resumable &r, const Flavour &f, Resume how, PyObject *arg, PyObject **out) {
    nb::object value = nb::borrow(arg);
    for (;;) {
        if (PyObject *inner = r.inner) {
            PyObject *result = nullptr;
            if (how == Resume::value) {
                PyObject *sent = value.ptr();
                PySendResult st = into_python([&] { return PyIter_Send(inner, sent, &result); });
                if (st == PYGEN_NEXT) {
                    *out = result;
                    return PYGEN_NEXT;
                }
                Py_CLEAR(r.inner);
                if (st == PYGEN_RETURN) {
                    value = nb::steal(result);
                } else {
                    value = fetch_exception();
                    how = Resume::exception;
                }
            } else if (PyErr_GivenExceptionMatches(value.ptr(), PyExc_GeneratorExit)) {
                // Closing: the inner iterator is closed first; an error while
                // closing it is raised here instead of GeneratorExit.
                nb::object held = nb::steal(r.inner);
                r.inner = nullptr;
                if (close_inner(held.ptr()) < 0) value = fetch_exception();
            } else {
                nb::object held = nb::borrow(inner);
                switch (throw_inner(held.ptr(), value.ptr(), &result)) {
                    case Thrown::yielded:
                        *out = result;
                        return PYGEN_NEXT;
                    case Thrown::returned:
                        Py_CLEAR(r.inner);
                        value = nb::steal(result);
                        how = Resume::value;
                        break;
                    case Thrown::raised:
                        Py_CLEAR(r.inner);
                        value = fetch_exception();
                        break;
                    case Thrown::not_forwarded:
                        Py_CLEAR(r.inner);
                        break;
                }
            }
        }

        Step step{Step::Kind::finish, {}};
        try {
            step = r.body->resume(how, value);
        }
        QV_RETHROW_FORCED_UNWIND
        catch (...) {
            set_python_error_from_current_exception();
            resumable_finish(r);
            guard_stop_iteration(f);
            return PYGEN_ERROR;
        }
        switch (step.kind) {
            case Step::Kind::yield:
                *out = step.value.release().ptr();
                return PYGEN_NEXT;
            case Step::Kind::finish:
                resumable_finish(r);
                *out = step.value.release().ptr();
                return PYGEN_RETURN;
            case Step::Kind::delegate:
                r.inner = step.value.release().ptr();
                value = nb::none();
                how = Resume::value;
                break;
        }
    }
}

bool refuse_reentry(const Resumable &r, const Flavour &f) {
    if (!r.running) return false;
    PyErr_Format(PyExc_ValueError, "%s already executing", f.kind);
    return true;
}

}  // namespace

void resumable_finish(Resumable &r) noexcept {
    ResumableBody *body = r.body;
    r.body = nullptr;
    Py_CLEAR(r.inner);
    delete body;
}

PySendResult resumable_send(Resumable &r, const Flavour &f, Resume how, PyObject *arg, PyObject **out) {
    *out = nullptr;
    if (refuse_reentry(r, f)) return PYGEN_ERROR;
    if (r.finished()) {
        if (f.finished_refuses) {
            PyErr_Format(PyExc_RuntimeError, "cannot reuse already awaited %s", f.kind);
            return PYGEN_ERROR;
        }
        if (how == Resume::exception) {
            restore_exception(arg);
            return PYGEN_ERROR;
        }
        *out = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (!r.started) {
        // An exception thrown into a fresh one is raised before its first
        // line, outside anything the body guards.
        if (how == Resume::exception) {
            resumable_finish(r);
            restore_exception(arg);
            guard_stop_iteration(f);
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            PyErr_Format(PyExc_TypeError, "can't send non-None value to a just-started %s", f.kind);
            return PYGEN_ERROR;
        }
        r.started = true;
    }
    r.running = true;
    PySendResult st = run(r, f, how, arg, out);
    r.running = false;
    return st;
}

PyObject *resumable_close(Resumable &r, const Flavour &f) {
    if (refuse_reentry(r, f)) return nullptr;
    if (r.finished()) Py_RETURN_NONE;
    if (!r.started) {
        resumable_finish(r);
        Py_RETURN_NONE;
    }
    PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject *result;
    PySendResult st = resumable_send(r, f, Resume::exception, exit, &result);
    Py_DECREF(exit);
    if (st == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_Format(PyExc_RuntimeError, "%s ignored GeneratorExit", f.kind);
        return nullptr;
    }
    if (st == PYGEN_RETURN) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject *send_result(PySendResult status, PyObject *value) {
    if (status == PYGEN_NEXT) return value;
    if (status == PYGEN_RETURN) {
        set_stop_iteration(value);
        Py_DECREF(value);
    }
    return nullptr;
}

PyObject *iternext_result(PySendResult status, PyObject *value) {
    if (status == PYGEN_RETURN) {
        if (value != Py_None) set_stop_iteration(value);
        Py_DECREF(value);
        return nullptr;
    }
    return status == PYGEN_NEXT ? value : nullptr;
}

void resumable_finalize(Resumable &r, const Flavour &f, PyObject *owner) {
    if (r.finished() || !r.started) return;
    nb::object pending = fetch_exception();
    PyObject *result = resumable_close(r, f);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(owner);
    restore_exception(pending);
}

int resumable_traverse(const Resumable &r, visitproc visit, void *arg) {
    Py_VISIT(r.inner);
    if (r.body) return r.body->traverse(visit, arg);
    return 0;
}

}  // namespace qv
