// The client's own fast paths for decoding and records, in the runtime's
// idiom (runtime/fast_path.hpp): each a qv::FastPath with its stated
// precondition, decided before any of its work and counted there.
// `quorvel.modal._fast_paths()` gives (taken, bypassed) by name;
// `_counters()` the plain counts (json_refused).
//
//   json_line       a streamed line parsed by orjson (json.loads is the
//                   standard library's own, the line holds no digit run that
//                   orjson would round)
//   json_answer     a whole answer parsed by orjson (Response.json and the
//                   json.loads it calls are the libraries' own, the body is
//                   UTF-8 as requests would decode it)
//   native_lines    a stream whose lines were split natively (the body says
//                   the response's line reader is requests' own)
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
//   text_only_delta a delta holding only a text under "content" (or a whole
//                   answer's message holding that and its "role") taken as
//                   its two texts without the tool-call gathering and the
//                   other lookups (_add_tool_calls is this module's own)
//   native_json     an answer or a streamed line parsed by quorvel's own
//                   parser (within json_answer or json_line; what it
//                   refuses goes on to orjson)
//   native_usage    the usage figures' hooks run natively (quorvel.usage's
//                   hooks are its own and no collect() block is open)
//   figures_slots   a model's usage figures read and written through the
//                   slots of quorvel.usage's own _Figures class, unchanged
//   kept_members    an LLMStatus or MessageRole member given as read before
//                   (the global names the same class, which has not changed)
//   native_settings a call's reading of its settings opened, closed and
//                   read natively (_call_settings, _transport.check_settings
//                   and Configurator's lookups are their own; a reading is
//                   opened natively only while the last lookup still
//                   answers, see call_reading.hpp)
//   native_send     an exchange's first try made natively (_transport's send
//                   and the steps it runs, _stoppable.Exchange, unchanged,
//                   and _inflight's table functions are their own, and the
//                   call's reading holds its transport settings; see
//                   first_try.hpp)
#pragma once

#include "runtime/fast_path.hpp"

namespace qv::modal::fast {

extern qv::FastPath json_line, json_answer, native_lines, direct_record, direct_entry, kept_entry, direct_write,
    text_only_delta, native_usage, native_json, kept_members, figures_slots, native_settings,
    native_send;

// A line or answer that orjson refused: json.loads parsed it; a whole answer
// that quorvel's own parser refused: orjson was asked (plain counts).
// The call's reading was not at hand natively (a lookup's last answer no
// longer holds, or the reading is not made yet): _call_settings.open read it.
extern qv::Counter json_refused, native_json_refused, settings_read_afresh;

}  // namespace qv::modal::fast
