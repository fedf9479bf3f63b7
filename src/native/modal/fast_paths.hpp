// The client's own fast paths for decoding and records, in the runtime's
// idiom (runtime/fast_path.hpp): each a qv::FastPath with its stated
// precondition, counted where it is decided.  `quorvel.modal._fast_paths()`
// gives (taken, bypassed) by name and `_fast_path_counts()` the taken counts.
//
//   json_line       a streamed line parsed by orjson (json.loads is the
//                   standard library's own, the line holds no digit run that
//                   orjson would round)
//   json_answer     a whole answer parsed by orjson (Response.json and the
//                   json.loads it calls are the libraries' own, the body is
//                   UTF-8 as requests would decode it)
//   json_refused    a line or answer orjson refused: json.loads parsed it
//   native_lines    a stream whose lines were split natively (iter_lines and
//                   iter_content are requests' own, on a plain Response)
//   direct_record   a record assembled without validation (LLMResult is the
//                   class this module built, unchanged; the values are what
//                   validation would keep as they are)
//   direct_entry    a history entry assembled the same way (Message)
//   direct_write    a field or private attribute of the model set as
//                   pydantic's own __setattr__ would set it, without its
//                   Python frames (the class keeps BaseModel.__setattr__ and
//                   pydantic has memoised the name's handler)
//   kept_entry      a streamed chunk appended to the entry the stream keeps
//                   at hand (add_message and message_latest are this
//                   module's own, the entry is still the history's last)
#pragma once

#include "runtime/fast_path.hpp"

namespace qv::modal::fast {

extern qv::FastPath json_line, json_answer, json_refused, native_lines, direct_record, direct_entry, kept_entry,
    direct_write;

// Records that `path` was taken (for decisions made where only the taken
// side is visible).
inline void count(qv::FastPath &path) noexcept { path.taken(true); }

}  // namespace qv::modal::fast
