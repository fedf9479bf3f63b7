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
#include <vector>

#include "modal/exchange.hpp"
#include "modal/fast_json.hpp"
#include "modal/history.hpp"
#include "modal/think_tags.hpp"

namespace qv::modal {

// The answer settings of the model's section (stream_usage, think_tags),
// read once per exchange.
struct AnswerSettings {
    bool stream_usage = false, think_tags = false;
    static AnswerSettings read(nb::handle self);
};

// What _message_process made of a whole answer's message: the mapping it
// returned, or, while it is this module's own, just the two texts it would
// have put into its dict.
struct WholeMessage {
    nb::object mapping;             // null when the texts stand alone
    nb::object reasoning, content;  // set when the mapping is null

    // message["reasoning_content"] and message["content"].
    nb::object reasoning_text() const;
    nb::object content_text() const;
    // `cls(status=status, **message)` (exchange::make_record).
    nb::object record(nb::handle cls, nb::handle status) const;
};

class AnswerDecoder {
public:
    // What the chunk step calls is looked up once per stream, and the answer
    // settings are read.
    void bind_stream(nb::handle self);

    // One line of a stream: the reason or answer record it makes, or a null
    // object.  `line` is the line object when the caller has one (its
    // decoding error is then the one reported), else null.  A line may make
    // a second record (the end of <think> reasoning and the start of the
    // answer): the caller takes it with queued().
    nb::object line(const char *p, Py_ssize_t size, nb::handle line = nb::handle());

    // A record made beyond the one returned, or a null object; the caller
    // takes them after each line() and after end_of_stream().
    nb::object queued();

    // The end of a stream's lines: a 200 stream that never carried the
    // answer's choice is a failure, not an empty answer.  A body that turned
    // out to be one JSON document (a server that ignored "stream": true) is
    // decoded here as a whole answer: the list of its reason and answer
    // records (its tool calls are gathered as usual); otherwise an empty
    // list.  What the think-tag splitter held back is queued.
    nb::object end_of_stream();

    // A whole answer's decoded document: records the answer text per the
    // whole-answer rules and returns what _message_process made of the
    // answer's message (its <think> reasoning moved out with think_tags on).
    WholeMessage whole(nb::handle self, nb::handle document);

    // The finishing chunk, [DONE], or after the finishing chunk the usage
    // chunk awaited with stream_usage on, has been read: read no further.
    bool done() const { return done_; }
    // The finishing chunk has been read.  With stream_usage on and no usage
    // seen yet, the stream is read on (done() is still false) until the
    // usage chunk, [DONE] or the end of the body, within a bound the reader
    // sets; those lines make no record and no failure.
    bool finished() const { return finished_; }
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
    nb::object think_records(nb::handle reasoning, nb::handle content);
    nb::object answer_record(nb::handle content);
    void flush_think_tags();
    void usage_line(const char *p, Py_ssize_t size, nb::handle line);
    bool opens_chunks(const char *p, Py_ssize_t size, Py_ssize_t start, nb::handle line);
    nb::object whole_records();

    Form form_ = Form::undecided;
    std::string document_;
    bool done_ = false, answered_ = false, already_added_ = false;
    bool finished_ = false;    // the finishing chunk has been read
    bool delta_seen_ = false;  // a chunk has carried the answer choice's delta
    bool own_add_tool_calls_ = false;  // self._add_tool_calls is this module's own (per stream)
    AnswerSettings settings_;
    ThinkTags think_;
    std::vector<nb::object> queued_;  // taken from the front, at queued_next_
    size_t queued_next_ = 0;
    nb::object self_, usage_;
    fast_json::LineParser parser_;
    AnswerEntry answer_entry_;
    nb::object loads_, result_type_, reason_, answer_, assistant_;
    exchange::Method message_process_, add_message_;
};

// obj[key], with the dict case inline.
nb::object item(nb::handle obj, const Name &key);

// LLMStatus.<member>, through the module global at each use (kept_members.hpp).
nb::object status_member(const Name &member);

}  // namespace qv::modal
