// Result records assembled without validation on the decoders' hot paths.
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

}  // namespace qv::modal
