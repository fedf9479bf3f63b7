#include "modal/answer_decoder.hpp"

#include <algorithm>
#include <cstring>

#include "modal/kept_members.hpp"
#include "modal/members.hpp"
#include "modal/reply_shapes.hpp"
#include "runtime/dict_reads.hpp"
#include "runtime/module.hpp"

namespace qv::modal {

namespace n = names;

nb::object item(nb::handle obj, const Name &key) {
    if (PyDict_CheckExact(obj.ptr())) {
        if (PyObject *value = PyDict_GetItemWithError(obj.ptr(), key.ptr())) return nb::borrow(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
        raise_current();
    }
    return getitem(obj, key);
}

namespace {
KeptMembers status_members{n::LLMStatus};
}  // namespace

nb::object status_member(const Name &member) { return status_members(member); }

namespace {

// obj.get(key); a null object for a missing key of a dict.
nb::object get(nb::handle obj, const Name &key) {
    if (PyDict_Check(obj.ptr())) {
        PyObject *value = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (!value && PyErr_Occurred()) raise_current();
        return nb::borrow(value);
    }
    return call_method(obj, names::get, {key.ptr()});
}

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
    nb::object held = line.is_valid() ? nb::borrow(line) : own(PyBytes_FromStringAndSize(p, size));
    call_method(held, names::decode, {names::utf8.ptr()});
    throw partial;
}

bool is_data_prefix_char(char c) { return c == 'd' || c == 'a' || c == 't' || c == ':' || c == ' '; }

bool is_sse_field_without_data(const char *p, Py_ssize_t size) {
    auto starts = [&](const char *prefix, Py_ssize_t len) { return size >= len && std::memcmp(p, prefix, len) == 0; };
    return starts("event:", 6) || starts("id:", 3) || starts("retry:", 6);
}

// a + b for texts, where either may be missing (a null object).
nb::object joined(nb::handle a, nb::handle b) {
    if (!a.is_valid()) return nb::borrow(b);
    if (!b.is_valid()) return nb::borrow(a);
    return own(PyNumber_Add(a.ptr(), b.ptr()));
}

bool has_text(nb::handle text) { return text.is_valid() && truthy(text); }

// With think_tags on, a whole answer's leading <think>...</think> moves from
// its content to its reasoning (after any reasoning the server sent apart).
WholeMessage split_think_tags(const WholeMessage &message) {
    ThinkTags tags;
    ThinkTags::Split head = tags.feed(message.content_text());
    ThinkTags::Split tail = tags.finish();
    nb::object thought = joined(head.reasoning, tail.reasoning);
    nb::object answer = joined(head.content, tail.content);
    nb::object reasoning = message.reasoning_text();
    if (has_text(thought)) reasoning = has_text(reasoning) ? joined(reasoning, thought) : thought;
    return {nb::object(), std::move(reasoning), answer.is_valid() ? answer : nb::borrow(names::empty.h())};
}

}  // namespace

namespace {

// The answer settings a call's open reading already holds (what
// _answer_settings.read would return from _call_settings.held): set when
// the reading of this thread answers for `section` of quorvel's own
// Configurator and has them made; false when the Python read must decide.
bool held_settings(nb::handle configurator, nb::handle section, AnswerSettings &out) {
    if (!PyUnicode_CheckExact(section.ptr())) return false;
    PyObject *module = global(n::call_settings_module).ptr();
    if (!PyModule_Check(module)) return false;
    PyObject *scope = PyModule_GetDict(module);
    PyObject *own = remembered_item(scope, n::Configurator.ptr());
    PyObject *held = own ? remembered_item(scope, n::held_readings.ptr()) : nullptr;
    if (!held) return false;
    if (!configurator.is(own)) return false;
    nb::object reading = get_attr(held, n::reading);
    if (reading.is_none()) return false;
    nb::object reading_section = get_attr(reading, n::section);
    if (!PyUnicode_CheckExact(reading_section.ptr()) || PyUnicode_Compare(reading_section.ptr(), section.ptr()) != 0) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    nb::object derived = get_attr(reading, n::derived);
    if (!PyDict_CheckExact(derived.ptr())) return false;
    PyObject *settings = PyDict_GetItemWithError(derived.ptr(), n::answer_key.ptr());
    if (!settings) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    if (!PyTuple_Check(settings) || PyTuple_GET_SIZE(settings) != 2) return false;
    out = {truthy(PyTuple_GET_ITEM(settings, 0)), truthy(PyTuple_GET_ITEM(settings, 1))};
    return true;
}

}  // namespace

AnswerSettings AnswerSettings::read(nb::handle self) {
    nb::object configurator = global(n::Configurator);
    nb::object section = exchange::field(self, n::section);
    if (AnswerSettings settings; held_settings(configurator, section, settings)) return settings;
    nb::object read = get_attr(global(n::answer_settings_module), n::read_answer_settings);
    nb::object settings = vcall(read, {configurator.ptr(), section.ptr()});
    nb::object stream_usage = own(PySequence_GetItem(settings.ptr(), 0));
    nb::object think_tags = own(PySequence_GetItem(settings.ptr(), 1));
    return {truthy(stream_usage), truthy(think_tags)};
}

void AnswerDecoder::bind_stream(nb::handle self) {
    self_ = nb::borrow(self);
    loads_ = get_attr(global(n::json), n::loads);
    parser_.bind(loads_);
    message_process_.bind(self, n::message_process, &message_process_def);
    own_add_tool_calls_ = resolves_to(self, n::add_tool_calls.ptr(), add_tool_calls_def);
    add_message_.bind(self, n::add_message, &add_message_def);
    answer_entry_.bind(self);
    result_type_ = global(n::LLMResult);
    reason_ = status_member(n::reason);
    answer_ = status_member(n::answer);
    assistant_ = exchange::message_role(n::assistant);
    settings_ = AnswerSettings::read(self);
}

void AnswerDecoder::note_usage(nb::handle document) {
    if (!PyDict_Check(document.ptr())) return;
    PyObject *usage = PyDict_GetItemWithError(document.ptr(), n::usage.ptr());
    if (!usage) {
        if (PyErr_Occurred()) raise_current();
        return;
    }
    if (usage != Py_None) usage_ = nb::borrow(usage);
}

// Whether a line that is not a data line opens a stream of chunks sent
// without the prefix (a chunk, or an error object),
// rather than one JSON document (a whole chat completion on one line, or the
// first line of one spread over several).
bool AnswerDecoder::opens_chunks(const char *p, Py_ssize_t size, Py_ssize_t start, nb::handle line) {
    nb::object chunk;
    try {
        chunk = parser_.try_parse(p + start, size - start);
        if (!chunk.is_valid()) chunk = vcall(loads_, {payload_text(line, p, size, start).ptr()});
    } catch (PythonError &error) {
        if (!error.matches(PyExc_ValueError)) throw;
        return false;
    }
    if (!PyDict_Check(chunk.ptr())) return true;  // fails as a chunk, as before
    PyObject *choices = PyDict_GetItemWithError(chunk.ptr(), n::choices.ptr());
    if (!choices) {
        if (PyErr_Occurred()) raise_current();
        // An error object is reported as in any stream; any other object
        // without choices is no chunk.
        PyObject *error = PyDict_GetItemWithError(chunk.ptr(), n::error.ptr());
        if (!error && PyErr_Occurred()) raise_current();
        return error != nullptr;
    }
    if (!PyList_Check(choices) || PyList_GET_SIZE(choices) == 0) return true;
    nb::object first = nb::borrow(PyList_GET_ITEM(choices, 0));
    if (!PyDict_Check(first.ptr())) return true;
    PyObject *message = PyDict_GetItemWithError(first.ptr(), n::message.ptr());
    if (!message && PyErr_Occurred()) raise_current();
    return message == nullptr;
}

nb::object AnswerDecoder::line(const char *p, Py_ssize_t size, nb::handle line) {
    if (done_) return {};
    if (form_ == Form::document) {
        document_.push_back('\n');
        document_.append(p, (size_t) size);
        return {};
    }
    // Keep-alive blank lines, comments (":" first) and the event fields
    // other than data carry nothing.
    if (size == 0 || p[0] == ':' || is_sse_field_without_data(p, size)) return {};
    if (finished_) {
        usage_line(p, size, line);
        return {};
    }
    // lstrip("data: ") strips that set of characters, all ASCII, so it can
    // be done on the bytes before decoding.
    Py_ssize_t start = 0;
    while (start < size && is_data_prefix_char(p[start])) ++start;
    if (size - start == 6 && std::memcmp(p + start, "[DONE]", 6) == 0) {
        done_ = true;
        return {};
    }
    if (form_ == Form::undecided) {
        const bool data_line = size >= 5 && std::memcmp(p, "data:", 5) == 0;
        if (data_line || opens_chunks(p, size, start, line)) {
            form_ = Form::chunks;
        } else {
            form_ = Form::document;
            document_.assign(p, (size_t) size);
            return {};
        }
    }

    nb::object chunk = parser_.try_parse(p + start, size - start);
    if (!chunk.is_valid()) {
        nb::object text = payload_text(line, p, size, start);
        chunk = vcall(loads_, {text.ptr()});
    }
    exchange::raise_if_server_error(chunk);
    note_usage(chunk);
    // Some providers open the stream, or send usage, with no choice (the key
    // missing, null or an empty list); of several answers ("n" > 1) only the
    // first is this exchange's.
    nb::object choice = shapes::chunk_choice(chunk);
    if (!choice.is_valid()) return {};
    answered_ = true;

    nb::object record;
    nb::object delta = get(choice, n::delta);
    if (delta.is_valid() && !delta.is_none()) delta_seen_ = true;
    if (delta.is_valid() && !delta.is_none() && message_process_.native() && PyDict_CheckExact(delta.ptr())) {
        // _message_process is this module's own: its two texts without the
        // dict that carries them.
        nb::object reasoning, content;
        message_texts(self_, delta, reasoning, content, own_add_tool_calls_);
        if (settings_.think_tags) {
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
        if (settings_.think_tags) {
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
        // An answer that finished without ever sending a delta (an output
        // filter's verdict) is a failure, not an empty answer.
        if (!delta_seen_) shapes::raise_no_message(finish_reason);
        finished_ = true;
        // Asked for usage, servers send it in a chunk of its own after this
        // one; unless it came already, it is read next.
        done_ = !(settings_.stream_usage && !usage_.is_valid());
        if (settings_.think_tags) flush_think_tags();
    }
    return record;
}

// After the finishing chunk, awaiting the usage chunk: nothing read here
// becomes a record or a failure; a line that is not a chunk ends the reading.
void AnswerDecoder::usage_line(const char *p, Py_ssize_t size, nb::handle line) {
    Py_ssize_t start = 0;
    while (start < size && is_data_prefix_char(p[start])) ++start;
    if (size - start == 6 && std::memcmp(p + start, "[DONE]", 6) == 0) {
        done_ = true;
        return;
    }
    nb::object chunk;
    try {
        chunk = parser_.try_parse(p + start, size - start);
        if (!chunk.is_valid()) chunk = vcall(loads_, {payload_text(line, p, size, start).ptr()});
    } catch (PythonError &error) {
        if (!error.matches(PyExc_Exception)) throw;
        done_ = true;
        return;
    }
    note_usage(chunk);
    if (usage_.is_valid()) done_ = true;
}

// With think_tags on, a delta's content passes the tag splitter first: what
// lies inside the tags is reasoning.  A delta that holds the end of the
// reasoning and the start of the answer makes two records; the answer's is
// queued.
nb::object AnswerDecoder::think_records(nb::handle reasoning, nb::handle content) {
    ThinkTags::Split split = think_.feed(content);
    nb::object thought = nb::borrow(reasoning);
    if (split.reasoning.is_valid()) thought = has_text(thought) ? joined(thought, split.reasoning) : split.reasoning;
    if (!has_text(thought)) return has_text(split.content) ? answer_record(split.content) : nb::object();
    nb::object record = exchange::make_text_record(result_type_, reason_, thought, names::empty.h());
    if (has_text(split.content)) queued_.push_back(answer_record(split.content));
    return record;
}

nb::object AnswerDecoder::answer_record(nb::handle content) {
    add_answer_text(content);
    return exchange::make_text_record(result_type_, answer_, names::empty.h(), content);
}

// The end of the answer: what the tag splitter held back (a tag cut short,
// blanks) is queued.
void AnswerDecoder::flush_think_tags() {
    ThinkTags::Split rest = think_.finish();
    if (rest.reasoning.is_valid())
        queued_.push_back(exchange::make_text_record(result_type_, reason_, rest.reasoning, names::empty.h()));
    else if (has_text(rest.content))
        queued_.push_back(answer_record(rest.content));
}

nb::object AnswerDecoder::queued() {
    if (queued_next_ == queued_.size()) return {};
    nb::object record = std::move(queued_[queued_next_++]);
    if (queued_next_ == queued_.size()) {
        queued_.clear();
        queued_next_ = 0;
    }
    return record;
}

nb::object AnswerDecoder::end_of_stream() {
    if (form_ == Form::document) return whole_records();
    if (!answered_) raise_format(PyExc_ValueError, "The server ended the stream without an answer");
    if (settings_.think_tags) flush_think_tags();
    return own(PyList_New(0));
}

// The body of a streamed request that is one JSON document: a whole chat
// completion is decoded as a whole answer and given as the records a stream
// of it would give; anything else fails with a message that says what the
// body is not.
nb::object AnswerDecoder::whole_records() {
    form_ = Form::chunks;
    nb::object body = own(PyBytes_FromStringAndSize(document_.data(), (Py_ssize_t) document_.size()));
    std::string().swap(document_);
    nb::object document;
    fast_json::check_depth(PyBytes_AS_STRING(body.ptr()), PyBytes_GET_SIZE(body.ptr()));
    try {
        document = fast_json::body_document(body);
    } catch (PythonError &error) {
        if (!error.matches(PyExc_ValueError)) throw;
        document = nb::object();
    }
    if (document.is_valid()) exchange::raise_if_server_error(document);
    bool completion = false;
    if (document.is_valid() && PyDict_Check(document.ptr())) {
        PyObject *choices = PyDict_GetItemWithError(document.ptr(), n::choices.ptr());
        if (!choices && PyErr_Occurred()) raise_current();
        completion = choices && PyList_Check(choices) && shapes::answer_choice(nb::handle(choices)).is_valid();
    }
    if (!completion) {
        nb::object start = own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(body.ptr()),
                                                    std::min<Py_ssize_t>(PyBytes_GET_SIZE(body.ptr()), 80), "replace"));
        raise_format(PyExc_ValueError,
                     "The server's answer to a streamed request is neither data lines nor one chat completion "
                     "(it begins %R)",
                     start.ptr());
    }
    WholeMessage message = whole(self_, document);
    answered_ = true;
    nb::object records = own(PyList_New(0));
    nb::object reasoning = message.reasoning_text();
    nb::object content = message.content_text();
    nb::object empty = nb::borrow(n::empty.ptr());
    if (truthy(reasoning)) append(records, exchange::make_text_record(result_type_, reason_, reasoning, empty));
    if (truthy(content)) append(records, exchange::make_text_record(result_type_, answer_, empty, content));
    return records;
}

// Into the history before the consumer sees the chunk.
void AnswerDecoder::add_answer_text(nb::handle content) {
    if (!answer_entry_.extend(self_, assistant_, content)) {
        add_message_({assistant_.ptr(), content.ptr()}, add_message_kw());
        answer_entry_.remember(self_);
    }
    already_added_ = true;
}

WholeMessage AnswerDecoder::whole(nb::handle self, nb::handle document) {
    settings_ = AnswerSettings::read(self);
    exchange::raise_if_server_error(document);
    note_usage(document);
    nb::object choice = shapes::answer_choice(item(document, n::choices));
    if (!choice.is_valid()) raise_format(PyExc_ValueError, "The server's answer has no choice with index 0");
    nb::object raw = shapes::choice_message(choice);
    WholeMessage message;
    // While _message_process is this module's own, its two texts are taken
    // without the dict it would put them in.
    if (resolves_to(self, n::message_process.ptr(), message_process_def) && PyDict_CheckExact(raw.ptr()))
        message_texts(self, raw, message.reasoning, message.content);
    else
        message.mapping = call_method(self, n::message_process, {raw.ptr()});
    shapes::complete_tool_calls(exchange::field(self, n::tool_calls));
    if (settings_.think_tags) message = split_think_tags(message);
    nb::object content = message.content_text();
    if (!truthy(exchange::field(self, n::tool_calls)) || truthy(content)) {
        exchange::add_message_to(self, exchange::message_role(n::assistant), content);
        already_added_ = true;
    }
    done_ = true;
    return message;
}

nb::object WholeMessage::reasoning_text() const {
    return mapping.is_valid() ? item(mapping, n::reasoning_content) : reasoning;
}

nb::object WholeMessage::content_text() const { return mapping.is_valid() ? item(mapping, n::content) : content; }

nb::object WholeMessage::record(nb::handle cls, nb::handle status) const {
    if (mapping.is_valid()) return exchange::make_record(cls, status, mapping);
    return exchange::make_text_record(cls, status, reasoning, content);
}

int AnswerDecoder::traverse(visitproc visit, void *arg) const {
    if (self_.ptr()) Py_VISIT(self_.ptr());
    if (usage_.ptr()) Py_VISIT(usage_.ptr());
    if (int rc = answer_entry_.traverse(visit, arg)) return rc;
    if (loads_.ptr()) Py_VISIT(loads_.ptr());
    if (int rc = message_process_.traverse(visit, arg)) return rc;
    if (int rc = add_message_.traverse(visit, arg)) return rc;
    if (result_type_.ptr()) Py_VISIT(result_type_.ptr());
    if (reason_.ptr()) Py_VISIT(reason_.ptr());
    if (answer_.ptr()) Py_VISIT(answer_.ptr());
    if (assistant_.ptr()) Py_VISIT(assistant_.ptr());
    for (const nb::object &record : queued_)
        if (record.ptr()) Py_VISIT(record.ptr());
    return 0;
}

}  // namespace qv::modal
