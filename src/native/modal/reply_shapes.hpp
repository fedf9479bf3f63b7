// Reply shapes that real servers send beyond the plain chat-completion form:
// several choices, content as typed parts, reasoning in `reasoning_details`,
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
