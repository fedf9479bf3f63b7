// The private surface of quorvel.modal that drivers outside this module
// (the async client) build on: `_PushDecoder`, `_call_guard`, `_fail` and
// `_begin_turn`.  Module-level names only: LLModal and LLMResult keep their
// members.
#pragma once

#include "runtime/function.hpp"

namespace qv::modal {

// Creates `_PushDecoder` and `_call_guard` as module globals (start-up).
void define_private_types();

extern const FunctionDef fail_def;        // _fail(model, prefix, add_fallback, exc)
extern const FunctionDef begin_turn_def;  // _begin_turn(model, prompt)

}  // namespace qv::modal
