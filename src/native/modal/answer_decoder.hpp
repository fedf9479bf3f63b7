// The decoding of one exchange's answer, written once for every path: the
// chunk step of a stream (one line at a time) and the document step of a
// whole answer.  The synchronous stream reads lines and hands them here; the
// push decoder (`_PushDecoder`, the async client's) splits the blocks it is
// fed and hands their lines here too.
//
// Both steps record the answer text in the history and gather tool-call
// fragments into `model.tool_calls`; neither runs tools nor posts again (the
// driver does), nor consults `_close` (the synchronous reader does, between
// lines).
#pragma once

#include <string>

#include "modal/exchange.hpp"
#include "modal/fast_json.hpp"
#include "modal/history.hpp"

namespace qv::modal {

class AnswerDecoder {
public:
    // What the chunk step calls is looked up once per stream.
    void bind_stream(nb::handle self);

    // One line of a stream: the reason or answer record it makes, or a null
    // object.  `line` is the line object when the caller has one (its
    // decoding error is then the one reported), else null.
    nb::object line(const char *p, Py_ssize_t size, nb::handle line = nb::handle());

    // The end of a stream's lines: a 200 stream that never carried the
    // answer's choice is a failure, not an empty answer.  A body that turned
    // out to be one JSON document (a server that ignored "stream": true) is
    // decoded here as a whole answer: the list of its reason and answer
    // records (its tool calls are gathered as usual); otherwise an empty
    // list.
    nb::object end_of_stream();

    // A whole answer's decoded document: records the answer text per the
    // whole-answer rules and returns what _message_process made of the
    // answer's message.
    nb::object whole(nb::handle self, nb::handle document);

    // The finishing chunk or [DONE] has been read: nothing more is decoded.
    bool done() const { return done_; }
    // This exchange has put answer text into the history.
    bool already_added() const { return already_added_; }
    // The last usage object the answer carried, or a null object.
    nb::handle usage() const { return usage_; }

    int traverse(visitproc visit, void *arg) const;

private:
    // What the body of a stream is, decided at its first line that carries
    // something: data lines (or chunks sent without the prefix), or the
    // lines of one JSON document, gathered in `document_` until the end.
    enum class Form { undecided, chunks, document };

    void note_usage(nb::handle document);
    void add_answer_text(nb::handle content);
    bool opens_chunks(const char *p, Py_ssize_t size, Py_ssize_t start, nb::handle line);
    nb::object whole_records();

    Form form_ = Form::undecided;
    std::string document_;
    bool done_ = false, answered_ = false, already_added_ = false;
    nb::object self_, usage_;
    fast_json::LineParser parser_;
    AnswerEntry answer_entry_;
    nb::object loads_, result_type_, reason_, answer_, assistant_;
    exchange::Method message_process_, add_message_;
};

// obj[key], with the dict case inline.
nb::object item(nb::handle obj, const Name &key);

// LLMStatus.<member>, read from the module global at each use.
nb::object status_member(const Name &member);

}  // namespace qv::modal
