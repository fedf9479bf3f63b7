// The lines of a streamed body, as response.iter_lines() gives them.
//
// When iter_lines (and the iter_content it reads through) are requests' own
// on a plain Response, the body is read through iter_content and split here:
// each byte is looked at once, so one line of any length costs linear time
// (requests rejoins the pending text with every 512-byte chunk, which is
// quadratic on a long line).  Bodies whose reads return what is there (held
// in memory, or sent with chunked transfer encoding) are read in large
// blocks; any other body in requests' 512 bytes, so that no line waits for
// more of the body than requests would have waited for.  Lines end at \n, \r
// or \r\n, as bytes.splitlines() splits them.  Otherwise the lines are what
// iter_lines() yields, whatever it is.
#pragma once

#include <string>

#include "runtime/object.hpp"

namespace qv::modal {

class LineSource {
public:
    void open(nb::handle response);
    // Moves to the next line; false at the end of the body.  A line split
    // here is then at line_data(); any other line is line_object().
    bool next();
    bool split_here() const { return native_; }
    const char *line_data() const { return data_; }
    Py_ssize_t line_size() const { return size_; }
    // The current line as a Python object (built on first request when split
    // here).
    nb::object line_object();
    // The iterator the lines come from (what is left of the body, unsplit).
    nb::handle source() const { return source_; }
    int traverse(visitproc visit, void *arg) const;

private:
    bool next_native();
    bool take_block();

    bool native_ = false;
    nb::object source_;   // iterator over iter_lines() or iter_content(size)
    nb::object line_;     // the current line object, if any
    nb::object block_;    // the block being split (bytes)
    Py_ssize_t pos_ = 0;  // where the rest of block_ starts
    std::string pending_;  // the start of a line that continues in a later block
    bool skip_newline_ = false;  // the last block ended on \r: a \n opening the next one ends no line
    const char *data_ = nullptr;
    Py_ssize_t size_ = 0;
};

}  // namespace qv::modal
