// The call driver: the one place that owns the conversation loop of an
// exchange: post, decode (answer_decoder.hpp), run the tools the model asked
// for, post again, with the tool-round limit, the failure path (exchange::
// fail), the reset of the per-call state and the turn rules (turn.hpp).
//
// invoke records the turn and calls _core_call; _core_call makes the one
// POST of an exchange and hands the answer to _response or _stream_response,
// which decode it and fold in the follow-up exchange (another _core_call):
// merged with `+` when whole, passed through record by record when streamed.
#include <cstring>

#include "modal/answer_decoder.hpp"
#include "modal/call_reading.hpp"
#include "modal/exchange.hpp"
#include "modal/first_try.hpp"
#include "modal/lines.hpp"
#include "modal/members.hpp"
#include "modal/private_api.hpp"
#include "modal/reply_shapes.hpp"
#include "modal/turn.hpp"
#include "modal/usage_hooks.hpp"
#include "runtime/generator.hpp"
#include "runtime/module.hpp"

namespace qv::modal {
namespace {

namespace n = names;

// The one POST of an exchange, through the transport (timeouts, pooled
// connections, retries); it returns the answer whose status is 200 and
// raises ServerError for any other status.
nb::object post(nb::handle self) {
    // `requests` and `Configurator` are read from the module globals at each
    // call, so that either can be replaced there; a replaced requests.post is
    // called with exactly the URL, headers, json and stream.
    nb::object requests = global(n::requests);
    nb::object url = get_attr(self, n::endpoint_url);
    nb::object headers = get_attr(self, n::headers_prop);
    nb::object body = get_attr(self, n::body_prop);
    nb::object stream = get_attr(self, n::stream);
    nb::object configurator = global(n::Configurator);
    nb::object section = get_attr(self, n::section);
    return first_try::send(requests, url, headers, body, stream, configurator, section, self);
}

// One answer has been read (or failed): its usage, the last usage object it
// carried, goes to the usage figures of the model.
void record_exchange(nb::handle self, nb::handle usage) { usage_hooks::record_exchange(self, usage); }

// The same, on a failure path: a failure here must not replace the one on
// its way.
void record_failed_exchange(nb::handle self, nb::handle usage) {
    try {
        record_exchange(self, usage);
    } catch (PythonError &) {
    }
}

// ---- the call's reading of its settings --------------------------------------------

// invoke reads its model's settings once (_call_settings.open) and holds
// that reading for every read of the call: the check before the turn, the
// headers, the transport, the decoding.  Each exchange after the first of
// the call (tool rounds) reads again, so that what a tool changed is used.
struct HeldReading {
    PyObject *model;
    int exchanges;
};
// The reading of the innermost invoke running on this thread.
thread_local HeldReading *held_reading = nullptr;

nb::object open_reading(nb::handle self) {
    return call_reading::open(global(n::Configurator), get_attr(self, n::section));
}

void close_reading(nb::handle before) { call_reading::close(before); }

// An exchange begins: after the first of its call, the call reads again.
void renew_reading(nb::handle self) {
    HeldReading *held = held_reading;
    if (held && held->model == self.ptr() && held->exchanges++ > 0) open_reading(self);
}

// Holds the reading while `body` runs, on every way out.
nb::object with_reading(nb::handle self, nb::object (*body)(nb::handle, nb::handle), nb::handle arg) {
    nb::object before = open_reading(self);
    HeldReading held{self.ptr(), 0};
    struct Restore {
        HeldReading *outer = held_reading;
        ~Restore() { held_reading = outer; }
    } restore;
    held_reading = &held;
    nb::object result;
    try {
        result = body(self, arg);
    }
    QV_RETHROW_FORCED_UNWIND
    catch (...) {
        // The error on its way is the call's; a failure to close is not.
        try {
            close_reading(before);
        } catch (PythonError &) {
        }
        throw;
    }
    close_reading(before);
    return result;
}

// quorvel.cancel stopped the exchange between its POST and the end of its
// body (or a stream's headers): the transport raised _transport.Stopped.
bool stopped(PythonError &error) {
    try {
        return error.matches(exchange::transport_function(n::Stopped));
    } catch (PythonError &) {
        return false;  // a transport without stops (replaced): the error is a failure
    }
}

// Runs the tool calls of the answer (`_tool_calls`); the round is registered
// so that quorvel.cancel, which cannot interrupt a running tool, is kept:
// `stopped_out` tells whether the call is to end once the tools returned.
nb::object run_tool_round(nb::handle self, bool &stopped_out) {
    nb::object round = vcall(exchange::transport_function(n::ToolRound), {self.ptr()});
    nb::object results;
    try {
        results = call_method(self, n::run_tool_calls);
    } catch (...) {
        call_method(round, n::end);
        throw;
    }
    stopped_out = truthy(call_method(round, n::end));
    return results;
}

// Raises _transport.Stopped: the call ends as stopped (run_stoppable).
[[noreturn]] void raise_stopped() {
    nb::object type = exchange::transport_function(n::Stopped);
    PyErr_SetNone(type.ptr());
    raise_current();
}

// What a stream stopped before its first record gives: nothing, as a stream
// stopped by `_close` ends.
class StoppedStream final : public GeneratorBody {
public:
    Step resume(Resume how, nb::handle value) override {
        if (how == Resume::exception) raise_exception(value);
        return Step::finish();
    }
    int traverse(visitproc, void *) override { return 0; }
};

nb::object exchange_once(nb::handle self, nb::handle) {
    renew_reading(self);
    nb::object response;
    try {
        response = post(self);
    } catch (PythonError &error) {
        if (stopped(error)) {
            // A stream ends here, the per-call state reset; a whole answer's
            // stop goes up to the call (run_stoppable), past the follow-ups'
            // failure paths, as the async whole call's does.
            if (!truthy(get_attr(self, n::stream))) throw;
            call_method(self, n::reset);
            return make_generator(std::make_unique<StoppedStream>(), names::stream_response_method,
                                  names::stream_response_qualname);
        }
        exchange::fail(self, n::request_error, true, error);
    }
    if (truthy(get_attr(self, n::stream))) return call_method(self, n::stream_response_method, {response.ptr()});
    return call_method(self, n::response_method, {response.ptr()});
}

// turn::run_call, where a whole call stopped by quorvel.cancel ends at its
// outermost level as the async whole call does: the per-call state reset (on
// the way out of run_call), what arrived kept in the history, and an empty
// record returned, without a failure line or a fallback answer.
nb::object run_stoppable(nb::handle model, bool reentrant, nb::object (*body)(nb::handle model, nb::handle arg),
                         nb::handle arg) {
    const bool outermost = !turn::running(model);
    try {
        return turn::run_call(model, reentrant, body, arg);
    } catch (PythonError &error) {
        if (!outermost || !stopped(error)) throw;
        return vcall(global(n::LLMResult), {});
    }
}

nb::object core_call(Args a) { return run_stoppable(a[0], true, exchange_once, nb::handle()); }

// What a turn records before its first POST.
void begin_turn(nb::handle self, nb::handle prompt) {
    // An invalid transport setting fails here, before the history changes.
    call_reading::check_settings(global(n::Configurator), get_attr(self, n::section));
    // The system prompt opens an empty history only.
    if (truthy(get_attr(self, n::system_prompt))) {
        Py_ssize_t count = PyObject_Length(get_attr(self, n::messages).ptr());
        if (count < 0) raise_current();
        if (count == 0)
            exchange::add_message(get_attr(self, n::add_message), exchange::message_role(n::system),
                                  get_attr(self, n::system_prompt));
    }
    // Pending videos alone do not make a user turn; images do.
    if (truthy(get_attr(self, n::images)) || PyUnicode_GET_LENGTH(prompt.ptr()) > 0)
        exchange::add_message(get_attr(self, n::add_message), exchange::message_role(n::user), prompt);
}

nb::object turn_and_exchange(nb::handle self, nb::handle prompt) {
    begin_turn(self, prompt);
    return call_method(self, n::core_call);
}

nb::object ask(nb::handle self, nb::handle prompt) {
    // The usage figures of this call start from zero.
    usage_hooks::begin_call(self);
    return with_reading(self, turn_and_exchange, prompt);
}

nb::object invoke(Args a) { return run_stoppable(a[0], false, ask, a[1]); }

nb::object begin_turn_impl(Args a) {
    begin_turn(a[0], a[1]);
    return nb::none();
}

// The failure path for a driver outside this module: the same path, given
// the exception instead of catching it; the caller raises it again.
nb::object fail_impl(Args a) {
    nb::handle model = a[0], prefix = a[1], exc = a[3];
    if (!PyExceptionInstance_Check(exc.ptr()))
        raise_format(PyExc_TypeError, "_fail() needs an exception instance, not %.200s", Py_TYPE(exc.ptr())->tp_name);
    const bool add_fallback = truthy(a[2]);
    restore_exception(exc);
    PythonError error;
    try {
        exchange::fail(model, prefix, add_fallback, error);
    } catch (PythonError &raised) {
        if (!raised.value().is(exc)) throw;
    }
    return nb::none();
}

// ---- whole answers --------------------------------------------------------------

nb::object decode_whole(Args a) {
    nb::handle self = a[0], response = a[1];
    AnswerDecoder decoder;
    bool recorded = false;
    const Py_ssize_t history_start = exchange::history_length(self);
    try {
        WholeMessage message = decoder.whole(self, fast_json::answer_document(response));
        recorded = true;
        record_exchange(self, decoder.usage());
        if (truthy(exchange::field(self, n::tool_calls))) {
            // This record has empty texts and the default status, so the sum
            // carries this exchange's calls and results with the follow-up's
            // texts and status.
            static const KwNames kw{&n::tool_calls, &n::tool_results};
            nb::object calls = call_method(self, n::t_calls_beautify, {get_attr(self, n::tool_calls).ptr()});
            bool stopped_here = false;
            nb::object ran = run_tool_round(self, stopped_here);
            // Stopped while the tools ran: their results stay in the history,
            // and no follow-up is asked for.
            if (stopped_here) raise_stopped();
            nb::object results = call_method(self, n::t_results_beautify, {calls.ptr(), ran.ptr()});
            nb::object record = vcall(global(n::LLMResult), {calls.ptr(), results.ptr()}, kw.ptr());
            nb::object follow_up = call_method(self, n::core_call);
            return own(PyNumber_Add(record.ptr(), follow_up.ptr()));
        }
        exchange::reset(self);
        return message.record(global(n::LLMResult), status_member(n::idle));
    } catch (PythonError &error) {
        // An answer that arrived but did not decode still counts, with the
        // usage it reported.
        if (!recorded && error.matches(PyExc_Exception)) record_failed_exchange(self, decoder.usage());
        // No fallback where this exchange, or its follow-up, recorded text.
        exchange::fail(self, n::parse_error,
                       !decoder.already_added() && !exchange::answered_since(self, history_start), error);
    }
}

// ---- streamed answers -----------------------------------------------------------

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
        : history_start_(exchange::history_length(self)), self_(nb::borrow(self)), response_(nb::borrow(response)),
          open_(self) {}

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
            end_usage_wait();
            if (state_ == State::start || lines_open_) abandon_response();
            open_.end();
            if (!error.matches(PyExc_Exception)) turn::discard_and_raise(self_, error);
            if (state_ != State::start && !recorded_) {
                recorded_ = true;
                record_failed_exchange(self_, decoder_.usage());
            }
            // No fallback where this exchange, or its follow-up, recorded text.
            exchange::fail(self_, n::parse_error,
                           !decoder_.already_added() && !exchange::answered_since(self_, history_start_), error);
        }
    }

    int traverse(visitproc visit, void *arg) override {
        QV_VISIT(self_);
        QV_VISIT(response_);
        QV_VISIT(body_);
        if (int rc = lines_.traverse(visit, arg)) return rc;
        if (int rc = decoder_.traverse(visit, arg)) return rc;
        QV_VISIT(result_type_);
        QV_VISIT(calls_map_);
        QV_VISIT(usage_wait_);
        QV_VISIT(pending_);
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
        body_ = vcall(exchange::transport_function(n::stream_body), {response_.ptr(), self_.ptr()});
        lines_.open(body_);
        lines_open_ = true;
        decoder_.bind_stream(self_);
        close_flag_.bind(self_, n::close_flag);
        result_type_ = global(n::LLMResult);
    }

    // Reads lines until one yields a record; a null object when the line
    // loop ends (end of body, finishing chunk, [DONE] or _close).
    nb::object next_record() {
        if (nb::object record = next_left(); record.is_valid()) return record;
        if (decoder_.done() || ended_) return {};
        for (;;) {
            bool more;
            try {
                more = lines_.next();
            } catch (PythonError &error) {
                // A body closed by quorvel.cancel fails its read: the stream
                // stops as the close flag stops it.
                if (cancelled()) return stop();
                // So does a body closed when the wait for the usage chunk
                // ran out: the answer itself is complete.
                if (decoder_.finished() && error.matches(PyExc_Exception)) return usage_wait_over();
                throw;
            }
            if (!more) {
                lines_open_ = false;  // the body has been read to its end
                ended_ = true;
                end_usage_wait();
                call_method(body_, n::end);
                if (cancelled()) return stop();
                pending_ = decoder_.end_of_stream();
                return next_left();
            }

            // Honoured at the next line received, whatever the line is.
            if (stop_requested()) return {};

            nb::object record;
            if (lines_.split_here()) {
                record = decoder_.line(lines_.line_data(), lines_.line_size());
            } else if (nb::object line = lines_.line_object(); PyBytes_Check(line.ptr())) {
                record = decoder_.line(PyBytes_AS_STRING(line.ptr()), PyBytes_GET_SIZE(line.ptr()), line);
            } else {
                if (!truthy(line)) continue;
                nb::object text_line = call_method(line, names::decode, {names::utf8.ptr()});
                Py_ssize_t size;
                const char *p = PyUnicode_AsUTF8AndSize(text_line.ptr(), &size);
                if (!p) raise_current();
                record = decoder_.line(p, size, line);
            }
            if (decoder_.done()) {
                end_usage_wait();
                finish_response();
                pending_ = decoder_.end_of_stream();
            } else if (decoder_.finished() && !usage_wait_.is_valid()) {
                // Reading on for the usage chunk, for a bounded time.
                usage_wait_ = vcall(exchange::transport_function(n::bound_usage_wait), {body_.ptr()});
            }
            if (record.is_valid()) return record;
            if (nb::object left = next_left(); left.is_valid()) return left;
            if (decoder_.done()) return {};
        }
    }

    // The wait for the usage chunk ran out and closed the body: the stream
    // ends as a finished one, with its connection closed.
    nb::object usage_wait_over() {
        end_usage_wait();
        ended_ = true;
        if (lines_open_) {
            lines_open_ = false;
            call_method(body_, n::abandon);
        }
        pending_ = decoder_.end_of_stream();
        return next_left();
    }

    void end_usage_wait() {
        if (!usage_wait_.is_valid()) return;
        nb::object wait = std::move(usage_wait_);
        call_method(wait, n::cancel);
    }

    // The next record left to give: of those the end of the lines gave (a
    // body that was one whole answer), then of those the decoder queued (a
    // second record of one line, the think-tag splitter's rest).
    nb::object next_left() {
        if (nb::object record = next_pending(); record.is_valid()) return record;
        return decoder_.queued();
    }

    // The next of the records that the end of the lines gave (a body that
    // was one whole answer), or a null object.
    nb::object next_pending() {
        if (!pending_.is_valid() || pending_next_ >= PyList_GET_SIZE(pending_.ptr())) return {};
        return nb::borrow(PyList_GET_ITEM(pending_.ptr(), pending_next_++));
    }

    // The finishing chunk has been read: nothing more is read from the
    // answer; the body decides what becomes of its connection.
    void finish_response() {
        lines_open_ = false;
        call_method(body_, n::finish);
    }

    bool cancelled() const { return body_.is_valid() && truthy(get_attr(body_, n::cancelled)); }

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
            // Before the first step there is no body yet.
            if (body_.is_valid())
                call_method(body_, n::abandon);
            else
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
        exchange::write_private(self_, n::close_flag, Py_False);
        stop();
        return true;
    }

    // Stops reading: the answer is closed if still being read, the per-call
    // state reset, so the tool calls collected so far are dropped.
    nb::object stop() {
        end_usage_wait();
        if (lines_open_) {
            lines_open_ = false;
            call_method(body_, n::stop);
        }
        call_method(self_, n::reset);
        return {};
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

    Step after_lines() {
        if (!recorded_) {
            recorded_ = true;
            record_exchange(self_, decoder_.usage());
        }
        // Cancelled after its last line was read: the calls never run.
        if (!truthy(get_attr(self_, n::tool_calls)) || cancelled()) return end();
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
        bool stopped_here = false;
        nb::object ran = run_tool_round(self_, stopped_here);
        // Stopped while the tools ran: the stream ends as one stopped by
        // `_close`, the results in the history, no follow-up asked for.
        if (stopped_here) return end();
        nb::object results = call_method(self_, n::t_results_beautify, {calls_map_.ptr(), ran.ptr()});
        calls_map_.reset();
        nb::object status = status_member(n::tool_results);
        state_ = State::tool_results_shown;
        return Step::yield(vcall(result_type_, {results.ptr(), status.ptr()}, kw.ptr()));
    }

    Step end() {
        call_method(self_, n::reset);
        return Step::finish();
    }

    Py_ssize_t history_start_;  // history entries when the exchange began
    nb::object pending_;         // records still to give from the end of the lines
    Py_ssize_t pending_next_ = 0;
    State state_ = State::start;
    bool lines_open_ = false;  // the answer is being read and not finished
    bool ended_ = false;       // the body has been read to its end (or closed for good)
    bool recorded_ = false;    // the usage figures have this exchange
    nb::object usage_wait_;    // the bound on the wait for the usage chunk, while it runs
    nb::object self_, response_, body_;
    LineSource lines_;
    AnswerDecoder decoder_;
    nb::object result_type_;
    exchange::PrivateReader close_flag_;
    nb::object calls_map_;
    turn::OpenStream open_;
};

nb::object decode_stream(Args a) {
    return make_generator(std::make_unique<StreamDecoder>(a[0], a[1]), names::stream_response_method, names::stream_response_qualname);
}

}  // namespace

const FunctionDef begin_turn_def{
    "_begin_turn", "_begin_turn",
    "What invoke does before its first request: checks the prompt and the transport settings, opens the "
    "history with the system prompt, records the user turn.",
    {{"model", "LLModal"}, {"prompt", "str", &PyUnicode_Type}}, "None", Kind::plain, begin_turn_impl,
};
const FunctionDef fail_def{
    "_fail", "_fail",
    "The failure path of an exchange: for an Exception, prints prefix and the error, records the fallback "
    "answer when add_fallback, resets the per-call state.  Does not raise.",
    {{"model", "LLModal"}, {"prefix", "str", &PyUnicode_Type}, {"add_fallback", "bool"}, {"exc", "BaseException"}},
    "None", Kind::plain, fail_impl,
};

const FunctionDef core_call_def{
    "_core_call", "LLModal._core_call", nullptr, {{"self"}}, "LLMResult | Iterator[LLMResult]", Kind::plain, core_call,
};
const FunctionDef invoke_def{
    "invoke", "LLModal.invoke", nullptr, {{"self"}, {"prompt", "str", &PyUnicode_Type}},
    "LLMResult | Iterator[LLMResult]", Kind::plain, invoke,
};

const FunctionDef response_def{
    "_response", "LLModal._response", nullptr, {{"self"}, {"response", "requests.Response"}}, "LLMResult",
    Kind::plain, decode_whole,
};
const FunctionDef stream_response_def{
    "_stream_response", "LLModal._stream_response", nullptr, {{"self"}, {"response", "requests.Response"}},
    "Iterator[LLMResult]", Kind::generator, decode_stream,
};

}  // namespace qv::modal
