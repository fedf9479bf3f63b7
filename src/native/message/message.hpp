#pragma once

#include "runtime/function.hpp"

namespace qv::message {

// Members of the Message record, in source order.
extern const FunctionDef latest_def;
extern const FunctionDef bool_def;
extern const FunctionDef repr_def;

// Lets the members recognise instances of the class itself (their fast path).
void remember_message_class(nb::handle cls);

}  // namespace qv::message
