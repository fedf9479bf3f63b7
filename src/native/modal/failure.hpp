// The failure path every exchange ends on when something goes wrong.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::exchange {

// The fallback answer as an entry of its own: through add_message, except
// where add_message would glue it onto the assistant entry that ends the
// history (then appended directly).
void record_fallback_entry(nb::handle self);

// Whether the history ends with an assistant entry that has text.
bool ends_with_answer(nb::handle self);

// len(self.messages), and whether an entry at `start` or later is an
// assistant entry with text: an exchange that began when the history had
// `start` entries has recorded an answer, itself or in a follow-up.
Py_ssize_t history_length(nb::handle self);
bool answered_since(nb::handle self, Py_ssize_t start);

// The failure path of an exchange.  For an Exception: print `prefix` and the
// error, record the fallback answer as an entry of its own when
// `add_fallback` (and the history does not already end with it), reset the
// per-call state.  Always raises `error`
// again, the same exception object; anything outside the Exception family
// (GeneratorExit, KeyboardInterrupt) passes through untouched.
[[noreturn]] void fail(nb::handle self, nb::handle prefix, bool add_fallback, PythonError &error);

}  // namespace qv::modal::exchange
