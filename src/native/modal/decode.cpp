// Response decoding: a whole answer into one LLMResult, a streamed answer
// into a generator of records, line by line as the consumer asks.
//
// Both record the answer text in the history, run the tools the model asked
// for and fold in the follow-up exchange (merged with `+` when whole, passed
// through record by record when streamed).  Everything after the POST is
// guarded by one failure path (exchange::fail).
#include <cstring>

#include "modal/exchange.hpp"
#include "modal/fast_json.hpp"
#include "modal/history.hpp"
#include "modal/lines.hpp"
#include "modal/members.hpp"
#include "modal/reply_shapes.hpp"
#include "modal/think_tags.hpp"
#include "modal/turn.hpp"
#include "runtime/generator.hpp"
#include "runtime/module.hpp"

namespace qv::modal {
namespace {

namespace n = names;


// obj[key], with the dict case inline.
nb::object item(nb::handle obj, const Name &key) {
    if (PyDict_CheckExact(obj.ptr())) {
        if (PyObject *value = PyDict_GetItemWithError(obj.ptr(), key.ptr())) return nb::borrow(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
        raise_current();
    }
    return getitem(obj, key);
}

// obj.get(key); a null object for a missing key of a dict.
nb::object get(nb::handle obj, const Name &key) {
    if (PyDict_Check(obj.ptr())) {
        PyObject *value = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (!value && PyErr_Occurred()) raise_current();
        return nb::borrow(value);
    }
    return call_method(obj, names::get, {key.ptr()});
}

nb::object status_member(const Name &member) { return get_attr(global(n::LLMStatus), member); }

// The answer settings of the model's section (stream_usage, think_tags),
// read once per exchange.
struct AnswerSettings {
    bool stream_usage = false, think_tags = false;
};

AnswerSettings answer_settings(nb::handle self) {
    nb::object read = get_attr(global(n::answer_settings_module), n::read_answer_settings);
    nb::object settings = vcall(read, {global(n::Configurator).ptr(), get_attr(self, n::section).ptr()});
    nb::object stream_usage = own(PySequence_GetItem(settings.ptr(), 0));
    nb::object think_tags = own(PySequence_GetItem(settings.ptr(), 1));
    return {truthy(stream_usage), truthy(think_tags)};
}

// One answer has been read: its usage (the last usage object it carried, or
// None) goes to the usage figures of the model.
void record_exchange(nb::handle self, nb::handle usage) {
    nb::object record = get_attr(global(n::usage_module), n::record_exchange);
    vcall(record, {self.ptr(), usage.is_valid() ? usage.ptr() : Py_None});
}

// The "usage" object of a document or chunk, when it carries one.
nb::object usage_of(nb::handle document) {
    if (!PyDict_Check(document.ptr())) return {};
    PyObject *value = PyDict_GetItemWithError(document.ptr(), n::usage.ptr());
    if (!value) {
        if (PyErr_Occurred()) raise_current();
        return {};
    }
    return value == Py_None ? nb::object() : nb::borrow(value);
}

// With think_tags on, a whole answer's leading <think>...</think> moves from
// its content to its reasoning.
nb::object split_think_tags(nb::handle message) {
    nb::object reasoning = item(message, n::reasoning_content);
    ThinkTags tags;
    ThinkTags::Split head = tags.feed(item(message, n::content));
    ThinkTags::Split tail = tags.finish();
    nb::object thought = nb::borrow(names::empty.h());
    for (nb::handle piece : {nb::handle(head.reasoning), nb::handle(tail.reasoning)})
        if (piece.is_valid()) thought = own(PyNumber_Add(thought.ptr(), piece.ptr()));
    nb::object answer = nb::borrow(names::empty.h());
    for (nb::handle piece : {nb::handle(head.content), nb::handle(tail.content)})
        if (piece.is_valid()) answer = own(PyNumber_Add(answer.ptr(), piece.ptr()));
    if (truthy(thought)) reasoning = truthy(reasoning) ? own(PyNumber_Add(reasoning.ptr(), thought.ptr())) : thought;
    nb::object split = own(PyDict_New());
    dict_set(split, n::reasoning_content, reasoning);
    dict_set(split, n::content, answer);
    return split;
}

// ---- whole answers --------------------------------------------------------------

nb::object decode_whole(Args a) {
    nb::handle self = a[0], response = a[1];
    bool already_add = false, recorded = false;
    nb::object document;
    try {
        const AnswerSettings settings = answer_settings(self);
        document = fast_json::answer_document(response);
        exchange::raise_if_server_error(document);
        nb::object choice = shapes::answer_choice(item(document, n::choices));
        if (!choice.is_valid()) raise_format(PyExc_ValueError, "The server's answer has no choice with index 0");
        nb::object message = call_method(self, n::message_process, {shapes::choice_message(choice).ptr()});
        shapes::complete_tool_calls(get_attr(self, n::tool_calls));
        if (settings.think_tags) message = split_think_tags(message);
        recorded = true;
        record_exchange(self, usage_of(document));
        nb::object content = item(message, n::content);
        if (!truthy(get_attr(self, n::tool_calls)) || truthy(content)) {
            exchange::add_message_to(self, exchange::message_role(n::assistant), content);
            already_add = true;
        }
        if (truthy(get_attr(self, n::tool_calls))) {
            // This record has empty texts and the default status, so the sum
            // carries this exchange's calls and results with the follow-up's
            // texts and status.
            static const KwNames kw{&n::tool_calls, &n::tool_results};
            nb::object calls = call_method(self, n::t_calls_beautify, {get_attr(self, n::tool_calls).ptr()});
            nb::object results = call_method(self, n::t_results_beautify, {calls.ptr(), call_method(self, n::run_tool_calls).ptr()});
            nb::object record = vcall(global(n::LLMResult), {calls.ptr(), results.ptr()}, kw.ptr());
            nb::object follow_up = call_method(self, n::core_call);
            return own(PyNumber_Add(record.ptr(), follow_up.ptr()));
        }
        call_method(self, n::reset);
        return exchange::make_record(global(n::LLMResult), status_member(n::idle), message);
    } catch (PythonError &error) {
        if (!recorded && error.matches(PyExc_Exception)) {
            // The answer arrived but did not decode: it still counts, with
            // whatever usage it reported.
            try {
                record_exchange(self, document.is_valid() ? usage_of(document) : nb::object());
            } catch (PythonError &) {
            }
        }
        exchange::fail(self, n::parse_error, !already_add, error);
    }
}

// ---- streamed answers -----------------------------------------------------------

PyObject *add_message_kw() {
    static const KwNames kw{&n::role, &n::content};
    return kw.ptr();
}

// The JSON text of a data line, `start` bytes in.  Decoding only what follows
// the prefix gives what decoding the whole line and stripping it gives, but
// an invalid line must fail as decoding the whole line does, with positions
// counted from the line's start.
nb::object payload_text(nb::handle line, const char *p, Py_ssize_t size, Py_ssize_t start) {
    if (PyObject *text = PyUnicode_DecodeUTF8(p + start, size - start, nullptr)) return nb::steal(text);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) raise_current();
    PythonError partial;  // raised only if the whole line were to decode after all
    call_method(line, names::decode, {names::utf8.ptr()});
    throw partial;
}

bool is_data_prefix_char(char c) { return c == 'd' || c == 'a' || c == 't' || c == ':' || c == ' '; }

bool is_sse_field_without_data(const char *p, Py_ssize_t size) {
    auto starts = [&](const char *prefix, Py_ssize_t len) { return size >= len && std::memcmp(p, prefix, len) == 0; };
    return starts("event:", 6) || starts("id:", 3) || starts("retry:", 6);
}

// The body of _stream_response.  Every suspension point lies inside the
// guarded region, so an Exception thrown in by the consumer takes the failure
// path too.  A stream abandoned by its consumer (GeneratorExit: closed, or
// dropped) or cut short by KeyboardInterrupt or SystemExit takes not that
// path but discards the per-call state, so that the tool calls it collected
// never run later.  Each step runs as a call of the model (turn.hpp); a step
// of a stream that a newer turn has superseded touches nothing of the model.
class StreamDecoder final : public GeneratorBody {
public:
    StreamDecoder(nb::handle self, nb::handle response)
        : self_(nb::borrow(self)), response_(nb::borrow(response)), open_(self) {}

    ~StreamDecoder() override {
        // Dropped before its first step: the answer is not read any further.
        if (state_ == State::start) abandon_response();
    }

    Step resume(Resume how, nb::handle value) override {
        if (open_.superseded()) return superseded(how, value);
        turn::Running running(self_);
        try {
            if (how == Resume::exception) raise_exception(value);
            Step next = step();
            if (next.kind == Step::Kind::finish) open_.end();
            return next;
        } catch (PythonError &error) {
            // Stopped by an error, or closed or dropped by the consumer,
            // with part of the answer unread.
            if (state_ == State::start || lines_open_) abandon_response();
            open_.end();
            if (!error.matches(PyExc_Exception)) turn::discard_and_raise(self_, error);
            if (state_ != State::start) {
                // The answer that failed still counts, with the usage it reported.
                try {
                    record_exchange_once();
                } catch (PythonError &) {
                }
            }
            exchange::fail(self_, n::parse_error, !already_add_, error);
        }
    }

    int traverse(visitproc visit, void *arg) override {
        QV_VISIT(self_);
        QV_VISIT(response_);
        if (int rc = lines_.traverse(visit, arg)) return rc;
        if (int rc = answer_entry_.traverse(visit, arg)) return rc;
        QV_VISIT(loads_);
        if (int rc = message_process_.traverse(visit, arg)) return rc;
        if (int rc = add_message_.traverse(visit, arg)) return rc;
        QV_VISIT(result_type_);
        QV_VISIT(reason_);
        QV_VISIT(answer_);
        QV_VISIT(assistant_);
        QV_VISIT(calls_map_);
        QV_VISIT(usage_);
        return 0;
    }

private:
    enum class State {
        start,               // nothing read yet
        reading,             // paused after a reason or answer record
        tool_calls_shown,    // paused after the tool_calls record; the tools run next
        tool_results_shown,  // paused after the tool_results record; the follow-up is next
        following,           // the follow-up's records are being passed through
    };

    Step step() {
        switch (state_) {
            case State::start:
                begin();
                state_ = State::reading;
                [[fallthrough]];
            case State::reading:
                if (nb::object record = next_record(); record.is_valid()) return Step::yield(std::move(record));
                return after_lines();
            case State::tool_calls_shown:
                // The consumer has seen the calls and may have asked to stop.
                if (stop_requested()) return end();
                return run_tools();
            case State::tool_results_shown:
                state_ = State::following;
                return Step::delegate(own(PyObject_GetIter(call_method(self_, n::core_call).ptr())));
            case State::following:
                break;
        }
        return end();
    }

    // What the line loop calls for every chunk is looked up once per run.
    void begin() {
        lines_.open(response_);
        lines_open_ = true;
        const AnswerSettings settings = answer_settings(self_);
        think_on_ = settings.think_tags;
        stream_usage_ = settings.stream_usage;
        loads_ = get_attr(global(n::json), n::loads);
        parser_.bind(loads_);
        message_process_.bind(self_, n::message_process, &message_process_def);
        add_message_.bind(self_, n::add_message, &add_message_def);
        answer_entry_.bind(self_);
        close_flag_.bind(self_, n::close_flag);
        result_type_ = global(n::LLMResult);
        reason_ = status_member(n::reason);
        answer_ = status_member(n::answer);
        assistant_ = exchange::message_role(n::assistant);
    }

    // Reads lines until one yields a record; a null object when the line
    // loop ends (end of body, finishing chunk, [DONE] or _close).
    nb::object next_record() {
        if (pending_content_.is_valid()) return answer_record(std::move(pending_content_));
        if (finished_) return after_finish();
        for (;;) {
            if (!lines_.next()) {
                lines_open_ = false;  // the body has been read to its end
                finished_ = true;
                end_of_lines();
                return after_finish();
            }

            // Honoured at the next line received, whatever the line is.
            if (stop_requested()) return {};

            const char *p;
            Py_ssize_t size;
            nb::object line, text_line;
            if (lines_.split_here()) {
                p = lines_.line_data();
                size = lines_.line_size();
            } else if (line = lines_.line_object(); PyBytes_Check(line.ptr())) {
                p = PyBytes_AS_STRING(line.ptr());
                size = PyBytes_GET_SIZE(line.ptr());
            } else {
                if (!truthy(line)) continue;
                text_line = call_method(line, names::decode, {names::utf8.ptr()});
                p = PyUnicode_AsUTF8AndSize(text_line.ptr(), &size);
                if (!p) raise_current();
            }
            // Keep-alive blank lines, comments (":" first) and the event
            // fields other than data carry nothing.
            if (size == 0 || p[0] == ':' || is_sse_field_without_data(p, size)) continue;
            // lstrip("data: ") strips that set of characters, all ASCII, so
            // it can be done on the bytes before decoding.
            Py_ssize_t start = 0;
            while (start < size && is_data_prefix_char(p[start])) ++start;
            if (size - start == 6 && std::memcmp(p + start, "[DONE]", 6) == 0) {
                finish_response();
                finished_ = true;
                end_of_lines();
                return after_finish();
            }

            nb::object chunk = parser_.try_parse(p + start, size - start);
            if (!chunk.is_valid()) {
                if (!line.is_valid()) line = lines_.line_object();
                nb::object text = payload_text(line, p, size, start);
                chunk = vcall(loads_, {text.ptr()});
            }
            exchange::raise_if_server_error(chunk);
            if (nb::object usage = usage_of(chunk); usage.is_valid()) usage_ = std::move(usage);
            // Some providers open the stream, or send usage, with no choice;
            // of several answers ("n" > 1) only the first is this exchange's.
            nb::object choice = shapes::chunk_choice(chunk);
            if (!choice.is_valid()) continue;
            answered_ = true;

            nb::object record;
            nb::object delta = get(choice, n::delta);
            if (delta.is_valid() && !delta.is_none()) delta_seen_ = true;
            if (delta.is_valid() && !delta.is_none() && message_process_.native() && PyDict_CheckExact(delta.ptr())) {
                // _message_process is this module's own: its two texts
                // without the dict that carries them.
                nb::object reasoning, content;
                message_texts(self_, delta, reasoning, content);
                if (think_on_) {
                    record = think_records(reasoning, content);
                } else if (truthy(reasoning)) {
                    record = exchange::make_text_record(result_type_, reason_, reasoning, content);
                } else if (truthy(content)) {
                    add_answer_text(content);
                    record = exchange::make_text_record(result_type_, answer_, reasoning, content);
                }
            } else if (delta.is_valid() && !delta.is_none()) {
                nb::object message = message_process_({delta.ptr()});
                nb::object content;
                if (think_on_) {
                    record = think_records(item(message, n::reasoning_content), item(message, n::content));
                } else if (truthy(item(message, n::reasoning_content))) {
                    record = exchange::make_record(result_type_, reason_, message);
                } else if (truthy(content = item(message, n::content))) {
                    add_answer_text(content);
                    record = exchange::make_record(result_type_, answer_, message);
                }
            }
            nb::object finish_reason = get(choice, n::finish_reason);
            if (finish_reason.is_valid() && !finish_reason.is_none()) {
                // An answer that finished without ever sending a delta (an
                // output filter's verdict) is a failure, not an empty answer.
                if (!delta_seen_) shapes::raise_no_message(finish_reason);
                finished_ = true;
                // Asked for usage, servers send it in a chunk of its own
                // after this one; unless it came already, it is waited for.
                if (stream_usage_ && !usage_.is_valid())
                    awaiting_usage_ = true;
                else
                    finish_response();
            }
            if (record.is_valid()) return record;
            if (finished_) return after_finish();
        }
    }

    // The server ended the body, or sent [DONE].  A 200 stream that never
    // carried the answer's choice is a failure, not an empty answer.
    void end_of_lines() {
        if (!answered_) raise_format(PyExc_ValueError, "The server ended the stream without an answer");
    }

    // With think_tags on, a delta's content passes the tag splitter first:
    // what lies inside the tags is reasoning.  A delta that holds the end of
    // the reasoning and the start of the answer gives two records, the
    // answer's at the next step.
    nb::object think_records(nb::handle reasoning, nb::handle content) {
        ThinkTags::Split split = think_.feed(content);
        nb::object thought = nb::borrow(reasoning);
        if (split.reasoning.is_valid())
            thought = truthy(thought) ? own(PyNumber_Add(thought.ptr(), split.reasoning.ptr())) : split.reasoning;
        if (!truthy(thought)) return split.content.is_valid() && truthy(split.content) ? answer_record(std::move(split.content)) : nb::object();
        if (split.content.is_valid() && truthy(split.content)) pending_content_ = std::move(split.content);
        return exchange::make_text_record(result_type_, reason_, thought, names::empty.h());
    }

    nb::object answer_record(nb::object content) {
        add_answer_text(content);
        return exchange::make_text_record(result_type_, answer_, names::empty.h(), content);
    }

    // The end of the answer: what the tag splitter held back (a tag cut
    // short, blanks) is given out once.
    nb::object held_think_text() {
        if (!think_on_ || think_flushed_) return {};
        think_flushed_ = true;
        ThinkTags::Split rest = think_.finish();
        if (rest.reasoning.is_valid()) return exchange::make_text_record(result_type_, reason_, rest.reasoning, names::empty.h());
        if (rest.content.is_valid() && truthy(rest.content)) return answer_record(std::move(rest.content));
        return {};
    }

    // The answer's lines are over: what the tag splitter held back, then,
    // when the usage chunk is awaited, the reading of it.
    nb::object after_finish() {
        if (nb::object held = held_think_text(); held.is_valid()) return held;
        if (awaiting_usage_) read_usage_chunk();
        return {};
    }

    // After the finishing chunk, with stream_usage on: reads on until the
    // usage chunk, [DONE] or the end of the body, for at most the bound the
    // transport sets (it closes the connection then).  Nothing read here
    // becomes a record, and nothing read here fails the answer: a line that
    // is not a chunk, or the connection closed under the read, ends the
    // reading.
    void read_usage_chunk() {
        awaiting_usage_ = false;
        nb::object bound = vcall(exchange::transport_function(n::bound_usage_wait), {response_.ptr()});
        UsageEnd how = UsageEnd::broken;
        try {
            how = usage_lines();
        } catch (PythonError &error) {
            if (!error.matches(PyExc_Exception)) {
                call_method(bound, n::cancel);
                throw;
            }
        }
        call_method(bound, n::cancel);
        if (how == UsageEnd::body_end)
            lines_open_ = false;
        else if (how == UsageEnd::over)
            finish_response();
        else if (lines_open_)
            abandon_response();
    }

    // How the reading of the usage chunk ended: the usage chunk or [DONE]
    // was read, the body ended, or the reading was cut short.
    enum class UsageEnd { over, body_end, broken };

    UsageEnd usage_lines() {
        for (;;) {
            if (!lines_.next()) return UsageEnd::body_end;
            if (stop_requested()) return UsageEnd::broken;
            nb::object line = lines_.line_object();
            if (!PyBytes_Check(line.ptr())) return UsageEnd::broken;
            const char *p = PyBytes_AS_STRING(line.ptr());
            const Py_ssize_t size = PyBytes_GET_SIZE(line.ptr());
            if (size == 0 || p[0] == ':' || is_sse_field_without_data(p, size)) continue;
            Py_ssize_t start = 0;
            while (start < size && is_data_prefix_char(p[start])) ++start;
            if (size - start == 6 && std::memcmp(p + start, "[DONE]", 6) == 0) return UsageEnd::over;
            nb::object chunk = parser_.try_parse(p + start, size - start);
            if (!chunk.is_valid()) chunk = vcall(loads_, {payload_text(line, p, size, start).ptr()});
            if (nb::object usage = usage_of(chunk); usage.is_valid()) {
                usage_ = std::move(usage);
                return UsageEnd::over;
            }
        }
    }

    // Once per exchange, when its answer has been read (or failed): its
    // usage goes to the model's figures.
    void record_exchange_once() {
        if (recorded_) return;
        recorded_ = true;
        record_exchange(self_, usage_);
    }

    // The finishing chunk has been read: nothing more is read from the answer.
    // The transport puts its connection back in the pool when the rest of
    // the body has already arrived, and closes it otherwise.
    void finish_response() {
        lines_open_ = false;
        nb::handle rest = lines_.source();
        vcall(exchange::transport_function(n::finish_stream), {response_.ptr(), rest ? rest.ptr() : Py_None});
    }

    // The stream ends with part of the answer unread: the transport closes
    // its connection.  Runs while another exception is on its way (or in a
    // destructor), so a failure here is reported as unraisable, never raised;
    // only the forced unwind of an ending thread passes (hence not noexcept).
    void abandon_response() {
        lines_open_ = false;
        if (!response_.is_valid()) return;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        try {
            vcall(exchange::transport_function(n::abandon_stream), {response_.ptr()});
        } catch (PythonError &error) {
            error.restore();
            PyErr_WriteUnraisable(response_.ptr());
        }
        QV_RETHROW_FORCED_UNWIND
        catch (...) {
        }
        PyErr_Restore(type, value, tb);
    }

    // Whoever holds the model may ask the stream to stop (`_close`): the
    // response is closed if still being read, the flag cleared and the
    // per-call state reset, so the tool calls collected so far are dropped
    // and never run.
    bool stop_requested() {
        if (!truthy(close_flag_.read(self_))) return false;
        if (lines_open_) {
            lines_open_ = false;
            call_method(response_, n::close);
        }
        exchange::write_private(self_, n::close_flag, Py_False);
        call_method(self_, n::reset);
        return true;
    }

    // A newer turn has begun since this stream was made: the per-call state
    // is that turn's, so nothing is read, run, recorded or reset any more,
    // and an answer still unread is abandoned.  An exception thrown in
    // (GeneratorExit included) is raised back as it is.
    Step superseded(Resume how, nb::handle value) {
        if (state_ == State::start || lines_open_) abandon_response();
        if (how == Resume::exception) raise_exception(value);
        return Step::finish();
    }

    // Into the history before the consumer sees the chunk.
    void add_answer_text(nb::handle content) {
        if (!answer_entry_.extend(self_, assistant_, content)) {
            add_message_({assistant_.ptr(), content.ptr()}, add_message_kw());
            answer_entry_.remember(self_);
        }
        already_add_ = true;
    }

    Step after_lines() {
        record_exchange_once();
        if (!truthy(get_attr(self_, n::tool_calls))) return end();
        shapes::complete_tool_calls(get_attr(self_, n::tool_calls));
        calls_map_ = call_method(self_, n::t_calls_beautify, {get_attr(self_, n::tool_calls).ptr()});
        nb::object count = exchange::read_private(self_, n::tool_calls_count);
        nb::object limit = get_attr(self_, n::tool_calls_limit);
        // At the limit the calls are not announced: _tool_calls refuses them.
        if (check(PyObject_RichCompareBool(count.ptr(), limit.ptr(), Py_LT))) {
            static const KwNames kw{&n::tool_calls, &n::status};
            nb::object status = status_member(n::tool_calls);
            state_ = State::tool_calls_shown;
            return Step::yield(vcall(result_type_, {calls_map_.ptr(), status.ptr()}, kw.ptr()));
        }
        return run_tools();
    }

    // The tools run only once the consumer has seen the calls.
    Step run_tools() {
        static const KwNames kw{&n::tool_results, &n::status};
        nb::object results = call_method(self_, n::t_results_beautify, {calls_map_.ptr(), call_method(self_, n::run_tool_calls).ptr()});
        calls_map_.reset();
        nb::object status = status_member(n::tool_results);
        state_ = State::tool_results_shown;
        return Step::yield(vcall(result_type_, {results.ptr(), status.ptr()}, kw.ptr()));
    }

    Step end() {
        call_method(self_, n::reset);
        return Step::finish();
    }

    State state_ = State::start;
    bool already_add_ = false;  // this exchange has put answer text into the history
    bool finished_ = false;     // the finishing chunk, [DONE] or the end of the body has been read
    bool answered_ = false;     // a chunk has carried the answer's choice
    bool lines_open_ = false;   // the answer is being read and not finished
    bool think_on_ = false;     // the think_tags setting, read when reading begins
    bool think_flushed_ = false;
    bool recorded_ = false;     // the usage figures have this exchange
    bool delta_seen_ = false;   // a chunk has carried the answer choice's delta
    bool stream_usage_ = false;     // the stream_usage setting, read when reading begins
    bool awaiting_usage_ = false;   // finished, and the usage chunk is still to be read
    ThinkTags think_;
    nb::object usage_;            // the last usage object of the answer
    nb::object pending_content_;  // answer text to be given out at the next step
    nb::object self_, response_;
    LineSource lines_;
    fast_json::LineParser parser_;
    AnswerEntry answer_entry_;
    nb::object loads_, result_type_, reason_, answer_, assistant_;
    exchange::Method message_process_, add_message_;
    exchange::PrivateReader close_flag_;
    nb::object calls_map_;
    turn::OpenStream open_;
};

nb::object decode_stream(Args a) {
    return make_generator(std::make_unique<StreamDecoder>(a[0], a[1]), names::stream_response_method, names::stream_response_qualname);
}

}  // namespace

const FunctionDef response_def{
    "_response", "LLModal._response", nullptr, {{"self"}, {"response", "requests.Response"}}, "LLMResult",
    Kind::plain, decode_whole,
};
const FunctionDef stream_response_def{
    "_stream_response", "LLModal._stream_response", nullptr, {{"self"}, {"response", "requests.Response"}},
    "Iterator[LLMResult]", Kind::generator, decode_stream,
};

}  // namespace qv::modal
