// The failure path every exchange ends on when something goes wrong.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::exchange {

// The failure path of an exchange.  For an Exception: print `prefix` and the
// error, record the fallback answer when `add_fallback` (and the history does
// not already end with it), reset the per-call state.  Always raises `error`
// again, the same exception object; anything outside the Exception family
// (GeneratorExit, KeyboardInterrupt) passes through untouched.
[[noreturn]] void fail(nb::handle self, nb::handle prefix, bool add_fallback, PythonError &error);

}  // namespace qv::modal::exchange
