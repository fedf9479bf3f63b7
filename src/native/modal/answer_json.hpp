// A JSON parser of its own for answers and streamed lines, in front of orjson.
//
// A whole answer is mostly one long text (the content): orjson parses it at
// about 2 GB/s, while finding the end of a text is a scan for three kinds of
// bytes, 16 at a time.  This parser builds exactly the objects json.loads
// builds (dicts with the last of repeated keys at the first one's place,
// lists, str, int, float, True, False, None) for the texts it takes, except
// for the outermost members no one reads (see parse), and
// takes no text it could read differently: anything else (NaN and
// Infinity, a number beyond the float range, a lone surrogate, invalid
// UTF-8, a control character in a text, broken JSON, an integer json.loads
// would refuse) it refuses, and the parsers behind it decide, with their
// own results and messages.  It refuses every text orjson refuses (among
// those without a digit run orjson would round), so the count of orjson's
// refusals stays what it was.
//
// Streamed lines are parsed by it too, straight from the line's bytes: it
// runs no Python code of its own, and what the collector may run meanwhile
// cannot reach the stream's line buffer.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::answer_json {

// What json.loads gives for the UTF-8 text p[0:size], less the members of
// the outermost object that the decoder never reads of an answer or chunk
// (all but "choices", "usage" and "error"), when this parser takes the
// text; a null object (and no error) when it refuses it.  The members left
// out are checked all the same, so that a text is taken or refused as it
// would be whole.  Only errors of the interpreter itself (no memory) are
// raised.  Nesting deeper than `max_depth` is refused.
nb::object parse(const char *p, Py_ssize_t size, Py_ssize_t max_depth);

}  // namespace qv::modal::answer_json
