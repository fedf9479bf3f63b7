// The resumable core shared by the native generator and the native coroutine.
//
// Both are a body that runs from one suspension point to the next
// (ResumableBody) and one implementation of Python's protocol around it:
// send / throw / close with the interpreter's rules for fresh, running and
// finished objects, delegation to an inner iterator (`yield from`, `await`:
// send, throw and close forwarded the same way for both), StopIteration
// wrapping of the result, the PEP 479 guard on what escapes the body, and
// finalisation.  The generator and coroutine types (generator.cpp,
// coroutine.cpp) are thin: their layout, their attribute names and the few
// words and rules that differ (a `Flavour`).
//
// A body answers every resumption with the next value to yield, an iterator
// to delegate to (resumed with its return value when exhausted, or with the
// exception it raised), or its return value.  Raising is throwing a C++
// exception (PythonError), as everywhere else in the runtime; an exception
// thrown in at the suspension point arrives as Resume::exception with the
// exception instance.
#pragma once

#include "runtime/errors.hpp"

namespace qv {

class ResumableBody {
public:
    enum class Resume {
        value,      // next() or send(value): `value` is what the paused yield evaluates to
        exception,  // throw() or close(): `value` is the exception instance to raise there
    };

    struct Step {
        enum class Kind { yield, delegate, finish } kind;
        nb::object value;  // yielded value, iterator to delegate to, or return value

        static Step yield(nb::object v) { return {Kind::yield, std::move(v)}; }
        static Step delegate(nb::object it) { return {Kind::delegate, std::move(it)}; }
        static Step finish(nb::object v = nb::none()) { return {Kind::finish, std::move(v)}; }
    };

    virtual ~ResumableBody() = default;

    // Runs the body from its current suspension point (or from the start on
    // the first call, which is always Resume::value with None) to the next
    // one.  Never called again once it has returned finish or thrown.
    virtual Step resume(Resume how, nb::handle value) = 0;

    // The objects the body holds, for the cycle collector.
    virtual int traverse(visitproc visit, void *arg) = 0;
};

// What differs between a generator and a coroutine.
struct Flavour {
    const char *kind;                  // "generator" / "coroutine", in messages
    bool finished_refuses;             // send/throw on a finished one: RuntimeError (coroutine)
    bool guards_stop_async_iteration;  // PEP 479 covers StopAsyncIteration too (coroutine)
};

// The state of one generator or coroutine, embedded in its object.
struct Resumable {
    ResumableBody *body;  // owned; null once finished
    PyObject *inner;      // the iterator delegated to, or null
    bool started;
    bool running;

    void init(ResumableBody *b) noexcept {
        body = b;
        inner = nullptr;
        started = false;
        running = false;
    }
    bool finished() const noexcept { return body == nullptr; }
};

// One resumption with Python's rules: PYGEN_NEXT with *out the yielded value,
// PYGEN_RETURN with *out the return value, or PYGEN_ERROR with an error set.
PySendResult resumable_send(Resumable &r, const Flavour &f, ResumableBody::Resume how, PyObject *arg,
                            PyObject **out);

// close(): None, or NULL with the error set.
PyObject *resumable_close(Resumable &r, const Flavour &f);

// Python's view of a resumption: the yielded value, or NULL with
// StopIteration carrying the return value (or another error).
PyObject *send_result(PySendResult status, PyObject *value);

// tp_iternext's view: as send_result, but exhaustion with None is a NULL
// return without an error.
PyObject *iternext_result(PySendResult status, PyObject *value);

// Drops the body and the inner iterator (every object they hold), as a
// finished Python frame does.
void resumable_finish(Resumable &r) noexcept;

// Closes a suspended one that is being dropped (tp_finalize), reporting an
// error as unraisable on `owner`.
void resumable_finalize(Resumable &r, const Flavour &f, PyObject *owner);

int resumable_traverse(const Resumable &r, visitproc visit, void *arg);

// Py_VISIT for an nb::object member.
#define QV_VISIT(obj)                                                 \
    do {                                                              \
        if (PyObject *qv_visit_p = (obj).ptr()) Py_VISIT(qv_visit_p); \
    } while (0)

}  // namespace qv
