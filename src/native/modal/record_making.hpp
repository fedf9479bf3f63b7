// Result records made from what the decoders read: through the direct
// assembly (records.hpp) where it applies, else LLMResult's own construction.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::exchange {

// `LLMResult(status=status, **message)` for the dict that _message_process
// returns.
nb::object make_record(nb::handle cls, nb::handle status, nb::handle message);

// `LLMResult(status=status, reasoning_content=reasoning, content=content)`.
nb::object make_text_record(nb::handle cls, nb::handle status, nb::handle reasoning, nb::handle content);

}  // namespace qv::modal::exchange
