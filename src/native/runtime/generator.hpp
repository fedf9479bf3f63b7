// The native generator type.
//
// A generator method (FunctionDef with Kind::generator) returns an object of
// this type.  It behaves as a Python generator does: nothing runs until the
// first next(); send(), throw() in both 3.11 forms and close() follow the
// generator protocol, `yield from` over it goes through am_send, and the type
// is registered as a collections.abc.Generator.
//
// The body is a small state machine written in C++ (a GeneratorBody): every
// resumption calls `resume` with either the value sent in or the exception
// thrown in at the suspension point, and the body answers with the next value
// to yield, an iterator to delegate to (`yield from`, whose send/throw/close
// forwarding is done here, once for every body), or its return value.
// Raising is throwing a C++ exception (PythonError), as everywhere else
// in the runtime.
#pragma once

#include <memory>

#include "runtime/names.hpp"

namespace qv {

class GeneratorBody {
public:
    enum class Resume {
        value,      // next() or send(value): `value` is what the paused yield evaluates to
        exception,  // throw() or close(): `value` is the exception instance to raise there
    };

    struct Step {
        enum class Kind { yield, delegate, finish } kind;
        nb::object value;  // yielded value, iterator to delegate to, or return value

        static Step yield(nb::object v) { return {Kind::yield, std::move(v)}; }
        // `yield from it`: the body is resumed with the iterator's return
        // value when it is exhausted, or with the exception it raised.
        static Step delegate(nb::object it) { return {Kind::delegate, std::move(it)}; }
        static Step finish(nb::object v = nb::none()) { return {Kind::finish, std::move(v)}; }
    };

    virtual ~GeneratorBody() = default;

    // Runs the body from its current suspension point (or from the start on
    // the first call, which is always Resume::value with None) to the next
    // one.  Never called again once it has returned finish or thrown.
    virtual Step resume(Resume how, nb::handle value) = 0;

    // The objects the body holds, for the cycle collector.
    virtual int traverse(visitproc visit, void *arg) = 0;
};

// Wraps `body` in a new generator object named like the function that made it
// (`__name__`, `__qualname__` and the repr use them).
nb::object make_generator(std::unique_ptr<GeneratorBody> body, const Name &name, const Name &qualname);

// The generator type of this module (created on first use and registered as
// a collections.abc.Generator then).
PyTypeObject *generator_type();

// Raises the exception instance `exc` (with its traceback) as a C++ exception.
[[noreturn]] void raise_exception(nb::handle exc);

// Py_VISIT for an nb::object member.
#define QV_VISIT(obj)                                            \
    do {                                                         \
        if (PyObject *qv_visit_p = (obj).ptr()) Py_VISIT(qv_visit_p); \
    } while (0)

}  // namespace qv
