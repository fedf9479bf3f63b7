// JSON parsing of answers and streamed lines by orjson, where that gives
// exactly what json.loads gives.
//
// orjson is several times faster than the standard library's decoder and,
// on what it accepts, builds the very objects json.loads builds, with one
// exception: an integer literal beyond 64 bits comes back as a float.  So a
// text holding a run of 19 or more digits is left to json.loads, as is every
// text orjson refuses (NaN and Infinity, 1e400, lone surrogates, invalid
// UTF-8, a byte order mark, broken JSON): results and error texts stay those
// of json.loads.  The fast path is taken only while the function the
// decoders would call is the standard library's own; a replaced json.loads
// is called as before.  The two parsers stop at different nesting depths, so
// a text nesting deeper than max_depth (below both) is refused before
// either runs.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::fast_json {

// The deepest nesting of arrays and objects that an answer or a streamed
// chunk may have.  orjson stops at 1024 levels, json.loads where the
// interpreter's recursion limit runs out (about 1000 levels, fewer the
// deeper its caller is): below both, so that both parsers give the same
// result, with room for the caller's own frames.
constexpr Py_ssize_t max_depth = 512;

// ValueError("The server's answer is nested deeper than 512 levels") when
// the UTF-8 text p[0:size] nests deeper than max_depth; nothing otherwise.
void check_depth(const char *p, Py_ssize_t size);

// Records the library functions the fast paths stand in for (start-up).
void remember_originals();

// The parser of one stream's lines, bound once to the json.loads it would
// call.
class LineParser {
public:
    void bind(nb::handle loads);
    // What json.loads gives for the UTF-8 text p[0:size], when orjson can
    // tell; a null object (and no error) when the ordinary path must run.
    // A text nesting deeper than max_depth raises ValueError on either path.
    nb::object try_parse(const char *p, Py_ssize_t size) const;

private:
    bool fast_ = false;
};

// response.json(), by orjson when Response.json is requests' own on a plain
// Response and would decode the body as UTF-8 for the standard json.loads.
// When Response.json is requests' own, a body nesting deeper than max_depth
// raises ValueError, whichever json.loads it would call.
nb::object answer_document(nb::handle response);

// json.loads(body) for the bytes of a whole answer read by another
// transport, by orjson when json.loads is the standard library's own.
// A body nesting deeper than max_depth raises ValueError.
nb::object body_document(nb::handle body);

// Whether `obj.<name>` on a plain requests.Response reaches requests' own
// function `original` (the class attribute, not shadowed on the instance).
bool is_requests_own(nb::handle response, const Name &name, PyObject *original);

}  // namespace qv::modal::fast_json
