// The native generator type.
//
// A generator method (FunctionDef with Kind::generator) returns an object of
// this type.  It behaves as a Python generator does: nothing runs until the
// first next(); send(), throw() in both forms and close() follow the
// generator protocol, `yield from` over it goes through am_send, and the type
// is registered as a collections.abc.Generator.
//
// Its body is a ResumableBody; the protocol, delegation (`yield from`) and
// finalisation are the resumable core's (runtime/resumable.hpp), shared with
// the native coroutine.
#pragma once

#include <memory>

#include "runtime/names.hpp"
#include "runtime/resumable.hpp"

namespace qv {

using GeneratorBody = ResumableBody;

// Wraps `body` in a new generator object named like the function that made it
// (`__name__`, `__qualname__` and the repr use them).
nb::object make_generator(std::unique_ptr<GeneratorBody> body, const Name &name, const Name &qualname);

// The generator type of this module (created on first use and registered as
// a collections.abc.Generator then).
PyTypeObject *generator_type();

}  // namespace qv
