// Result records and history entries assembled without validation on the
// decoders' hot paths (see runtime/direct_model.hpp for when that gives
// what validation gives).
#pragma once

#include "runtime/object.hpp"

namespace qv::modal {

// `cls(status=status, reasoning_content=reasoning, content=content)` when
// that is the record validation would build with nothing changed: `cls` is
// LLMResult as this module built it, `status` an LLMStatus member, both texts
// exact strings.  A null object when the ordinary construction must run.
nb::object direct_result(nb::handle cls, nb::handle status, nb::handle reasoning, nb::handle content);

// Called once LLMResult exists.
void prepare_direct_results(nb::handle result_class, nb::handle status_class);

// `cls(role=role, contents=[text])` when that is the entry validation would
// build: `cls` is the Message class found at start-up, unchanged, `role` one
// of its MessageRole members, `text` an exact string.  A null object when
// the ordinary construction must run.
nb::object direct_entry(nb::handle cls, nb::handle role, nb::handle text);

// Whether `entry`'s truth is that of its contents: its class's __bool__ is
// the one Message had at start-up.
bool message_truth_is_contents(nb::handle entry);

// Called at start-up, with the Message class the module imported.
void prepare_direct_entries(nb::handle message_class);

}  // namespace qv::modal
