// Lines of a streamed body.
//
// LineSplitter splits bytes pushed block by block into lines, for every
// path that reads a stream (the synchronous reader below and the push
// decoder an async transport feeds): each byte is looked at once, so one line
// of any length costs linear time.  Lines end at \n, \r or \r\n, as
// bytes.splitlines() splits them, also when a \r\n pair is split between two
// blocks.
//
// LineSource is the synchronous reader of a stream's body (quorvel._body):
// when the body says its blocks may be split here (the response's line
// reader is requests' own), its blocks are read and split by a LineSplitter
// (requests rejoins the pending text with every 512-byte chunk, which is
// quadratic on a long line); otherwise its lines are what the response's own
// line reader yields, whatever it is, taken as they come.
#pragma once

#include <string>

#include "runtime/object.hpp"

namespace qv::modal {

class LineSplitter {
public:
    // Appends the next block of the body (an exact bytes object, held until
    // its lines are taken).
    void push(nb::handle block);
    // The next complete line of what was pushed; false when none is complete
    // yet.  The line stays valid until the next call.
    bool next(const char *&data, Py_ssize_t &size);
    // At the end of the body: the last line when it was not terminated;
    // false when there is none.
    bool rest(const char *&data, Py_ssize_t &size);
    int traverse(visitproc visit, void *arg) const;

private:
    nb::object block_;           // the block being split (bytes)
    Py_ssize_t pos_ = 0;         // where the rest of block_ starts
    std::string pending_;        // the start of a line that continues in a later block
    bool pending_taken_ = false; // pending_ was handed out as a line: cleared at the next call
    bool skip_newline_ = false;  // the last block ended on \r: a \n opening the next one ends no line
};

class LineSource {
public:
    void open(nb::handle body);
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
    bool take_block();

    bool native_ = false;
    nb::object source_;  // iterator over the body's blocks or lines
    nb::object line_;    // the current line object, if any
    LineSplitter splitter_;
    const char *data_ = nullptr;
    Py_ssize_t size_ = 0;
};

}  // namespace qv::modal
