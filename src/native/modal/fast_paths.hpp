// Fast paths of the client, each with one stated precondition and a counter.
//
// A fast path skips work the ordinary path would do (json.loads, requests'
// line iteration, a record's validation, a history lookup) when its
// precondition holds; otherwise the ordinary path runs, unchanged.  Every
// time a fast path is taken its counter goes up, so tests can tell from the
// outside which way an input went without timing anything:
// `quorvel.modal._fast_path_counts()` returns the counters by name.
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
//   kept_entry      a streamed chunk appended to the entry the stream keeps
//                   at hand (add_message and message_latest are this
//                   module's own, the entry is still the history's last)
#pragma once

#include "runtime/function.hpp"

namespace qv::modal {

enum class FastPath { json_line, json_answer, json_refused, native_lines, direct_record, direct_entry, kept_entry, count_ };

void count(FastPath path) noexcept;

// _fast_path_counts(), a module function.
extern const FunctionDef fast_path_counts_def;

}  // namespace qv::modal
