// Reply shapes that real servers send beyond the plain chat-completion form:
// several choices, content as typed parts or as a JSON object, reasoning in
// `reasoning_details`, chunks without choices, choices without a message,
// tool calls with arguments given as an object, without arguments or without
// an id.  The decoders and the history members read replies through these.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::shapes {

// The choice of a chunk or a whole answer that is the answer: the first whose
// "index" is 0; else element 0 when it carries no index (taken by position);
// else a null object (the choices belong to other answers of an "n" request).
// Anything but a list is read by position.
nb::object answer_choice(nb::handle choices);

// The answer's choice of a streamed chunk, or a null object when the chunk
// carries none: "choices" missing, null or empty (the opening chunk of some
// providers, or a usage-only chunk), or only other answers' choices.  A
// chunk that is not a dict is read as before (and fails as before).
nb::object chunk_choice(nb::handle chunk);

// The "message" of a whole answer's choice.  A choice without one (an output
// filter's verdict, say) fails with a ValueError naming the finish reason:
// "The server sent no message (finish_reason: content_filter)".
nb::object choice_message(nb::handle choice);

// That ValueError, for a whole answer's choice without a message or a
// stream whose answer finished without ever sending a delta; `finish_reason`
// may be a null object (none was given).
[[noreturn]] void raise_no_message(nb::handle finish_reason);

// Content given as a JSON object (servers answering a json_schema request
// may): that object's JSON text, as for object-valued tool arguments.
// Anything else is returned as it is.
nb::object object_content_text(nb::handle content);

// Content given as a list of typed parts: the text of its "text" parts, and
// the text of its "thinking" parts (a string, or a list of text parts).
struct PartsText {
    nb::object content, thinking;
};
PartsText split_parts(nb::handle parts);

// The texts of "reasoning.text" and "reasoning.summary" entries, joined;
// entries of other types (encrypted ones) carry none.
nb::object reasoning_details_text(nb::handle details);

// Tool-call arguments sent as a JSON object (or array) instead of JSON text:
// that value's JSON text.  Anything else is returned as it is.
nb::object arguments_text(nb::handle arguments);

// Completes the calls of a reply that has been read to its end: a call
// without argument text (missing or None) gets "{}", a call without a
// non-empty id gets a generated one, which is then the id everywhere the call
// is seen (history, tool results, records), and a call that names no tool (no
// function, or a name that is missing or not text) gets the empty name, which
// no tool can have: the registry refuses it as an unknown tool.
void complete_tool_calls(nb::handle tool_calls);

}  // namespace qv::modal::shapes
