// The native coroutine type.
//
// A member declared `async def` (Kind::coroutine) returns one of these when
// called: nothing of its body runs until the coroutine is first sent a value,
// exactly as with a Python coroutine.  The body is written as steps separated
// by awaits: a step either finishes the coroutine with a result or names an
// awaitable; the coroutine then delegates to that awaitable the way
// `await`/`yield from` does (send, throw and close are forwarded, what it
// yields goes straight to the event loop) and hands its result to the next
// step.
//
// The object has `send`, `throw`, `close`, `__await__` (a small iterator
// wrapper, as for Python coroutines), the am_await and am_send slots (the
// interpreter's and asyncio's fast paths), GC support, and is registered as a
// collections.abc.Coroutine so that asyncio accepts it as a task.  The steps
// run as a ResumableBody that delegates at every await: the protocol,
// delegation and finalisation are the resumable core's
// (runtime/resumable.hpp), shared with the native generator.
#pragma once

#include <initializer_list>

#include "runtime/errors.hpp"

namespace qv {

// What a coroutine keeps between its steps (its "locals"); owned by the
// coroutine object, visited by the garbage collector, dropped when the
// coroutine finishes.
constexpr int kMaxCoroutineLocals = 4;

class CoroutineLocals {
public:
    nb::handle operator[](int i) const { return slots_[i]; }
    void set(int i, nb::handle value) {
        PyObject *old = slots_[i];
        slots_[i] = Py_XNewRef(value.ptr());
        Py_XDECREF(old);
    }

private:
    friend struct CoroutineAccess;
    PyObject *slots_[kMaxCoroutineLocals];
};

// How a step ends: with the coroutine's result, or with an awaitable whose
// result goes to the `resume` step.
struct Step {
    nb::object value;
    bool awaits;

    static Step finish(nb::object result) { return {std::move(result), false}; }
    static Step await(nb::object awaitable) { return {std::move(awaitable), true}; }
};

struct CoroutineDef {
    const char *name;
    const char *qualname;
    // The body up to its first await.
    Step (*start)(CoroutineLocals &locals);
    // The body after an await, given what the awaitable returned.
    Step (*resume)(CoroutineLocals &locals, nb::handle awaited);
};

// Creates the coroutine type of this module (once, at start-up) and
// registers it with collections.abc.Coroutine.
void init_coroutine_type();

PyTypeObject *coroutine_type();

// A new coroutine running `def` (a static) with its first locals set to
// `locals`.  Nothing of the body runs here.
nb::object make_coroutine(const CoroutineDef &def, std::initializer_list<PyObject *> locals);

}  // namespace qv
