// Conversation history: recording turns (new entry, new version on retry,
// continuation of a streamed answer), rendering the request's message list,
// and gathering tool calls from whole answers and stream deltas.
#include "modal/history.hpp"

#include "message/render.hpp"

#include "modal/calls.hpp"
#include "modal/exchange.hpp"
#include "modal/fast_paths.hpp"
#include "modal/members.hpp"
#include "modal/private_reads.hpp"
#include "modal/records.hpp"
#include "modal/render_cache.hpp"
#include "modal/reply_shapes.hpp"
#include "runtime/args.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/gc_pause.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::modal {
namespace {

bool equal(nb::handle a, nb::handle b) { return check(PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ)) != 0; }

nb::object role_member(const Name &member) { return exchange::message_role(member); }

// ---- rendering -------------------------------------------------------------

// Renders one entry as `entry.latest` would.  For entries of exactly the
// class Message, whose `latest` is a property (a data descriptor: nothing on
// the instance can shadow it) and whose attribute access is object's own,
// that access ends in calling the property's getter, so the getter is called
// directly, skipping the lookup chain on every entry of a long history.
// While that getter is still quorvel.message's own (the one the property had
// when this module was imported), its rendering runs right here, without a
// call per entry.
FastPath latest_getter{"latest_getter",
                       "the entry is of exactly the class Message, whose `latest` is a property and whose "
                       "attribute access is object's own"};
FastPath latest_inline{"latest_inline",
                       "the getter of Message.latest is still quorvel.message's own, found at import"};
FastPath latest_fields{"latest_fields_dict",
                       "rendering inline: the entry's __dict__ is a dict holding the field"};
// A long history is rendered for every request, and most of its entries do
// not change from one request to the next: the rendering kept from the last
// request is copied instead (render_cache.hpp).
FastPath kept_rendering{"latest_kept",
                        "rendering inline: the rendering kept for this index was made from the entry's very "
                        "field values, which have a form whose rendering depends on nothing else"};

Held own_latest_getter;  // quorvel.message's getter of Message.latest, found at import
render::Shapes shapes;

const render::LatestNames latest_names{names::role,         names::content, names::contents, names::tool_calls,
                                       names::tool_call_id, names::type,    names::text};

class LatestReader {
public:
    LatestReader() {
        nb::object cls = global(names::Message);
        if (!PyType_Check(cls.ptr())) return;
        auto *type = (PyTypeObject *) cls.ptr();
        PyObject *descr = type_lookup(type, names::latest.ptr());
        if (!descr || !Py_IS_TYPE(descr, &PyProperty_Type)) return;
        if (type_lookup(type, names::getattribute.ptr()) !=
            type_lookup(&PyBaseObject_Type, names::getattribute.ptr()))
            return;
        nb::object fget = get_attr(descr, names::fget);
        if (fget.is_none()) return;
        class_ = type;
        inline_ = fget.ptr() == own_latest_getter.ptr();
        keep_class_ = std::move(cls);
        fget_ = std::move(fget);
    }

    // Entry `i` of the history, rendered.
    PyObject *operator()(Py_ssize_t i, PyObject *entry) const {
        if (latest_getter.taken(class_ && Py_TYPE(entry) == class_)) {
            if (latest_inline.taken(inline_)) {
                if (kept_rendering.taken_if([&] { return RenderCache::fits(i, entry); })) return RenderCache::copy(i);
                try {
                    nb::object rendered = render::latest(latest_names, shapes, entry, (PyObject *) class_, latest_fields);
                    if (kept_rendering.enabled()) RenderCache::keep(i, entry, rendered.ptr());
                    return rendered.release().ptr();
                } catch (PythonError &error) {
                    error.restore();
                    return nullptr;
                }
            }
            // Nothing is kept for an entry that renders itself otherwise.
            kept_rendering.taken(false);
            return PyObject_Vectorcall(fget_.ptr(), &entry, 1, nullptr);
        }
        kept_rendering.taken(false);
        return PyObject_GetAttr(entry, names::latest.ptr());
    }

private:
    PyTypeObject *class_ = nullptr;
    bool inline_ = false;
    nb::object keep_class_, fget_;
};

// Read once per request; every entry renders itself through `latest`.
nb::object messages_latest(Args a) {
    nb::handle self = a[0];
    nb::object history = get_attr(self, names::messages);
    nb::object rendered;
    GcPause gc_pause;
    const LatestReader render;
    if (PyList_CheckExact(history.ptr())) {
        const Py_ssize_t n = PyList_GET_SIZE(history.ptr());
        rendered = own(PyList_New(n));
        // Kept out of the collector's sight until every slot is filled: a
        // `latest` getter must not find a list with empty slots through
        // gc.get_objects().  Only this function holds it meanwhile.
        PyObject_GC_UnTrack(rendered.ptr());
        Py_ssize_t i = 0;
        // A `latest` getter could change the history under us: bound every
        // read by the current size, as a list iterator would.
        for (; i < PyList_GET_SIZE(history.ptr()); ++i) {
            nb::object entry = nb::borrow(PyList_GET_ITEM(history.ptr(), i));
            PyObject *one = render(i, entry.ptr());
            if (!one) raise_current();
            if (i < n)
                PyList_SET_ITEM(rendered.ptr(), i, one);
            else if (PyList_Append(rendered.ptr(), one) < 0) {
                Py_DECREF(one);
                raise_current();
            } else
                Py_DECREF(one);
        }
        if (i < n) Py_SET_SIZE((PyListObject *) rendered.ptr(), i);
        PyObject_GC_Track(rendered.ptr());
        RenderCache::trim(i);
    } else {
        rendered = own(PyList_New(0));
        nb::object iter = own(PyObject_GetIter(history.ptr()));
        while (PyObject *raw = PyIter_Next(iter.ptr())) {
            nb::object entry = nb::steal(raw);
            check(PyList_Append(rendered.ptr(), get_attr(entry, names::latest).ptr()));
        }
        if (PyErr_Occurred()) raise_current();
    }

    // Under retry the request ends at the latest user entry: what follows it
    // is to be regenerated, but stays in the history.
    if (truthy(get_attr(self, names::retry))) {
        nb::object entries = get_attr(self, names::messages);
        if (!PyList_CheckExact(entries.ptr())) entries = own(PySequence_List(entries.ptr()));
        nb::object user = role_member(names::user);
        const Py_ssize_t total = PyList_GET_SIZE(entries.ptr());
        for (Py_ssize_t count = 0; count < total; ++count) {
            const Py_ssize_t i = total - 1 - count;
            if (i >= PyList_GET_SIZE(entries.ptr())) continue;  // shrunk by a callback
            nb::object entry = nb::borrow(PyList_GET_ITEM(entries.ptr(), i));
            if (equal(get_attr(entry, names::role), user)) {
                const Py_ssize_t keep = PyList_GET_SIZE(rendered.ptr()) - count;
                rendered = own(PyList_GetSlice(rendered.ptr(), 0, keep < 0 ? 0 : keep));
                break;
            }
        }
    }
    return rendered;
}

// The most recent entry of `role` that has content; entries holding only
// tool calls are false and never returned.
nb::object message_latest(Args a) {
    nb::handle self = a[0], role = a[1];
    nb::object history = exchange::field(self, names::messages);
    if (!PyList_CheckExact(history.ptr())) history = own(PySequence_List(history.ptr()));
    for (Py_ssize_t i = PyList_GET_SIZE(history.ptr()) - 1; i >= 0; --i) {
        if (i >= PyList_GET_SIZE(history.ptr())) continue;  // shrunk by a callback
        nb::object entry = nb::borrow(PyList_GET_ITEM(history.ptr(), i));
        if (equal(exchange::field(entry, names::role), role) && truthy(entry)) return entry;
    }
    return nb::none();
}

// ---- recording turns -------------------------------------------------------

nb::object media_url(nb::handle item) {
    return own(PyUnicode_Concat(names::media_prefix.ptr(), format_text(item).ptr()));
}

nb::object part(const Name &type, const Name &key, nb::handle value) {
    nb::object p = own(PyDict_New());
    dict_set(p, names::type, type);
    dict_set(p, key, value);
    return p;
}

void clear_list(nb::handle seq) {
    if (PyList_CheckExact(seq.ptr()))
        check(PyList_SetSlice(seq.ptr(), 0, PyList_GET_SIZE(seq.ptr()), nullptr));
    else
        call_method(seq, names::clear);
}

// The pending images, then all pending video frames as one part, then the
// text; the pending lists are emptied in place.
nb::object media_parts(nb::handle self, nb::handle content) {
    nb::object parts = own(PyList_New(0));
    nb::object images = get_attr(self, names::images);
    nb::object iter = own(PyObject_GetIter(images.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object image = nb::steal(raw);
        check(PyList_Append(parts.ptr(), part(names::image_url, names::image_url, media_url(image)).ptr()));
    }
    if (PyErr_Occurred()) raise_current();
    clear_list(get_attr(self, names::images));

    nb::object video = get_attr(self, names::video);
    if (truthy(video)) {
        nb::object frames = own(PyList_New(0));
        iter = own(PyObject_GetIter(video.ptr()));
        while (PyObject *raw = PyIter_Next(iter.ptr())) {
            nb::object frame = nb::steal(raw);
            check(PyList_Append(frames.ptr(), media_url(frame).ptr()));
        }
        if (PyErr_Occurred()) raise_current();
        check(PyList_Append(parts.ptr(), part(names::video, names::video, frames).ptr()));
        clear_list(get_attr(self, names::video));
    }
    if (PyUnicode_GET_LENGTH(content.ptr()) > 0)
        check(PyList_Append(parts.ptr(), part(names::text, names::text, content).ptr()));
    return parts;
}

void append_new_entry(nb::handle self, nb::handle role, nb::handle version) {
    nb::object history = exchange::field(self, names::messages);
    nb::object cls = global(names::Message);
    nb::object entry = direct_entry(cls, role, version);
    if (!entry.is_valid()) {
        nb::object versions = own(PyList_New(1));
        PyList_SET_ITEM(versions.ptr(), 0, Py_NewRef(version.ptr()));
        static const KwNames kw{&names::role, &names::contents};
        entry = vcall(cls, {role.ptr(), versions.ptr()}, kw.ptr());
    }
    append(history, entry);
}

// message.contents[-1] += content.  Streamed answers arrive here once per
// chunk: while only the list holds the current text, the text is taken out
// and grown in place instead of being copied with everything received so far.
// `versions` is message.contents when the caller has read it already.
void continue_version(nb::handle message, nb::handle content, nb::object versions = nb::object()) {
    if (!versions.is_valid()) versions = get_attr(message, names::contents);
    if (PyList_CheckExact(versions.ptr()) && PyList_GET_SIZE(versions.ptr()) > 0) {
        const Py_ssize_t last = PyList_GET_SIZE(versions.ptr()) - 1;
        PyObject *current = PyList_GET_ITEM(versions.ptr(), last);
        if (PyUnicode_CheckExact(current)) {
            if (too_long_to_join(current, content.ptr()))
                raise_format(PyExc_OverflowError, "strings are too large to concat");
            if (Py_REFCNT(current) == 1) {
                // The list keeps a placeholder while it does not own the text.
                nb::object text = nb::steal(current);
                PyList_SET_ITEM(versions.ptr(), last, Py_NewRef(names::empty.ptr()));
                PyObject *p = text.release().ptr();
                PyUnicode_Append(&p, content.ptr());
                if (!p) raise_current();  // MemoryError: the version is left empty
                check(PyList_SetItem(versions.ptr(), last, p));
                return;
            }
            PyObject *joined = PyUnicode_Concat(current, content.ptr());
            if (!joined) raise_current();
            check(PyList_SetItem(versions.ptr(), last, joined));
            return;
        }
    }
    nb::object index = own(PyLong_FromLong(-1));
    nb::object current = getitem(versions, index);
    nb::object joined = own(PyNumber_InPlaceAdd(current.ptr(), content.ptr()));
    check(PyObject_SetItem(versions.ptr(), index.ptr(), joined.ptr()));
}

nb::object add_message(Args a) {
    nb::handle self = a[0], role = a[1], content = a[2];
    static const KwNames kw_role{&names::role};
    // Called once per streamed chunk: skip the method lookup and argument
    // parsing when the lookup would reach this module's own message_latest.
    nb::object message;
    if (resolves_to(self, names::message_latest.ptr(), message_latest_def)) {
        PyObject *args[] = {self.ptr(), role.ptr()};
        message = message_latest(args);
    } else {
        message = call_method(self, names::message_latest, {role.ptr()}, kw_role.ptr());
    }
    const bool found = !message.is_none();

    const bool is_user = equal(role, role_member(names::user));
    // A: pending media go with a user turn, as a list of parts.
    if (is_user && (truthy(exchange::field(self, names::images)) || truthy(exchange::field(self, names::video)))) {
        nb::object parts = media_parts(self, content);
        if (truthy(exchange::field(self, names::retry)) && found)
            append(get_attr(message, names::contents), parts);
        else
            append_new_entry(self, role, parts);
        return nb::none();
    }
    // B: a retried prompt becomes a new version of the latest user entry.
    if (is_user && truthy(exchange::field(self, names::retry)) && found) {
        append(get_attr(message, names::contents), content);
        return nb::none();
    }
    const bool is_assistant = equal(role, role_member(names::assistant));
    // C: the regenerated answer becomes a new version; retry is done.
    if (is_assistant && truthy(exchange::field(self, names::retry)) && found) {
        append(get_attr(message, names::contents), content);
        set_attr(self, names::retry, Py_False);
        return nb::none();
    }
    // D: the answer that is still the last entry continues (streaming).
    if (is_assistant && found && equal(last_item(get_attr(self, names::messages)), message)) {
        continue_version(message, content);
        return nb::none();
    }
    // E
    append_new_entry(self, role, content);
    return nb::none();
}

// ---- tool calls --------------------------------------------------------------

// stored["function"]["arguments"] += fragment; a call that has no argument
// text yet takes the fragment's.
void extend_arguments(nb::handle stored, nb::handle fragment) {
    nb::object function = getitem(stored, names::function);
    nb::object current = item_or_missing(function, names::arguments);
    if (!current.is_valid() || current.is_none()) {
        check(PyObject_SetItem(function.ptr(), names::arguments.ptr(), fragment.ptr()));
        return;
    }
    if (PyDict_CheckExact(function.ptr()) && PyUnicode_CheckExact(current.ptr()) &&
        PyUnicode_CheckExact(fragment.ptr())) {
        if (too_long_to_join(current.ptr(), fragment.ptr()))
            raise_format(PyExc_OverflowError, "strings are too large to concat");
        // `current` and the dict hold the text: with the dict's reference
        // parked on a placeholder, a text nobody else holds grows in place.
        if (Py_REFCNT(current.ptr()) == 2) {
            check(PyDict_SetItem(function.ptr(), names::arguments.ptr(), names::empty.ptr()));
            nb::object joined = append_text(std::move(current), fragment.ptr());
            dict_set(function, names::arguments, joined);
            return;
        }
    }
    nb::object joined = own(PyNumber_InPlaceAdd(current.ptr(), fragment.ptr()));
    check(PyObject_SetItem(function.ptr(), names::arguments.ptr(), joined.ptr()));
}

// The collected call that a fragment with a wire index seen before in this
// reply continues: the latest call first seen at that index, or, when the
// fragment carries a non-empty id, the latest one at that index with that id.
// A null object when the fragment opens a new call.  Calls are kept in the
// order their indices first appear, whatever the numbers are: proxies number
// a turn's first call 1 after a text block, some servers number every call 0.
nb::object continued_call(nb::handle collected, nb::handle index, nb::handle id) {
    if (!PyList_Check(collected.ptr())) {
        nb::object copy = own(PySequence_List(collected.ptr()));
        return continued_call(copy, index, id);
    }
    nb::object held = nb::borrow(collected);
    for (Py_ssize_t i = PyList_GET_SIZE(held.ptr()) - 1; i >= 0; --i) {
        if (i >= PyList_GET_SIZE(held.ptr())) continue;  // shrunk by a callback
        nb::object stored = nb::borrow(PyList_GET_ITEM(held.ptr(), i));
        if (!PyDict_Check(stored.ptr())) continue;
        nb::object stored_index = item_or_missing(stored, names::index);
        if (!stored_index.is_valid() || stored_index.is_none() || !equal(stored_index, index)) continue;
        if (!id.is_valid()) return stored;
        nb::object stored_id = item_or_missing(stored, names::id);
        if (stored_id.is_valid() && equal(stored_id, id)) return stored;
    }
    return {};
}

// A fragment that names no call and brings no argument text starts nothing.
bool carries_nothing(nb::handle call, nb::handle id) {
    if (id.is_valid()) return false;
    nb::object function = item_or_missing(call, names::function);
    if (!function.is_valid() || !PyDict_Check(function.ptr())) return !function.is_valid();
    nb::object name = item_or_missing(function, names::name);
    if (name.is_valid() && truthy(name)) return false;
    nb::object arguments = item_or_missing(function, names::arguments);
    return !arguments.is_valid() || arguments.is_none();
}

// A new call is stored as the reply's own dictionary; arguments sent as an
// object become that object's JSON text, so later fragments can extend it.
void store_call(nb::handle collected, nb::handle call) {
    nb::object function = PyDict_Check(call.ptr()) ? item_or_missing(call, names::function) : nb::object();
    if (function.is_valid() && PyDict_Check(function.ptr())) {
        nb::object arguments = item_or_missing(function, names::arguments);
        if (arguments.is_valid() && (PyDict_Check(arguments.ptr()) || PyList_Check(arguments.ptr())))
            dict_set(function, names::arguments, shapes::arguments_text(arguments));
    }
    append(collected, call);
}

nb::object add_tool_calls(Args a) {
    nb::handle self = a[0], message = a[1];
    // Held: iterating may run code that drops it from the message.
    nb::object calls = nb::borrow(PyDict_GetItemWithError(message.ptr(), names::tool_calls.ptr()));
    // Several servers send "tool_calls": null in every delta.
    if (!calls.is_valid()) {
        if (PyErr_Occurred()) raise_current();
        return nb::none();
    }
    if (calls.is_none()) return nb::none();
    nb::object iter = own(PyObject_GetIter(calls.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object call = nb::steal(raw);
        nb::object index = item_or_missing(call, names::index);
        nb::object collected = get_attr(self, names::tool_calls);
        // Whole calls (standard non-streamed answers, some streams) carry
        // no index: each is a call of its own.
        if (!index.is_valid() || index.is_none()) {
            store_call(collected, call);
            continue;
        }
        check_int_or_none(index.ptr());
        nb::object id = item_or_missing(call, names::id);
        if (id.is_valid() && !truthy(id)) id = nb::object();
        nb::object stored = continued_call(collected, index, id);
        if (!stored.is_valid()) {
            if (!carries_nothing(call, id)) store_call(collected, call);
            continue;
        }
        nb::object function = getitem(call, names::function);
        if (!check(PySequence_Contains(function.ptr(), names::arguments.ptr()))) continue;
        nb::object fragment = getitem(function, names::arguments);
        if (fragment.is_none()) continue;
        extend_arguments(stored, shapes::arguments_text(fragment));
    }
    if (PyErr_Occurred()) raise_current();
    return nb::none();
}

nb::object text_or_empty(nb::handle message, const Name &key) {
    PyObject *value = PyDict_GetItemWithError(message.ptr(), key.ptr());
    if (!value) {
        if (PyErr_Occurred()) raise_current();
        return nb::borrow(names::empty.h());
    }
    return nb::borrow(value == Py_None ? names::empty.ptr() : value);
}


// Whether the exact dict `message` holds an exact str under "content" (put
// in `text`) and nothing else but, perhaps, a "role", its keys exact strs.
bool only_text(nb::handle message, nb::object &text) {
    const Py_ssize_t size = PyDict_GET_SIZE(message.ptr());
    if (size != 1 && size != 2) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyObject *found = nullptr;
    while (PyDict_Next(message.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (PyUnicode_Compare(key, names::content.ptr()) == 0)
            found = value;
        else if (size == 1 || PyUnicode_Compare(key, names::role.ptr()) != 0)
            return false;
    }
    if (!found || !PyUnicode_CheckExact(found)) return false;
    text = nb::borrow(found);
    return true;
}

bool is_empty_text(nb::handle value) { return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) == 0; }

// `own_add_tool_calls`: the caller has found that self._add_tool_calls is
// this module's own (a stream, once per stream); otherwise it is looked up.
void texts_of(nb::handle self, nb::handle message, nb::object &reasoning_out, nb::object &content_out,
              bool own_add_tool_calls = false) {
    // Run this module's own _add_tool_calls directly while the lookup would
    // reach it.
    const bool own = own_add_tool_calls || resolves_to(self, names::add_tool_calls.ptr(), add_tool_calls_def);
    // The usual streamed delta holds nothing but a text under "content", the
    // usual whole answer's message that and its "role": this module's own
    // _add_tool_calls finds no call in it, and there is no reasoning under
    // any of its names.
    nb::object text;
    if (fast::text_only_delta.taken_if([&] {
            if (!own || !PyDict_CheckExact(message.ptr())) return false;
            return only_text(message, text);
        })) {
        reasoning_out = nb::borrow(names::empty.h());
        content_out = std::move(text);
        return;
    }
    if (own)
        call_direct(add_tool_calls_def, {self.ptr(), message.ptr()});
    else
        call_method(self, names::add_tool_calls, {message.ptr()});
    nb::object reasoning = text_or_empty(message, names::reasoning_content);
    // Several servers name the field "reasoning".
    if (is_empty_text(reasoning)) reasoning = text_or_empty(message, names::reasoning);
    nb::object content = text_or_empty(message, names::content);
    // Some reasoning models send the content as typed parts: "text" parts
    // are the answer, "thinking" parts reasoning when no field above has it.
    if (PyList_Check(content.ptr())) {
        shapes::PartsText parts = shapes::split_parts(content);
        content = std::move(parts.content);
        if (is_empty_text(reasoning)) reasoning = std::move(parts.thinking);
    } else if (PyDict_Check(content.ptr())) {
        // An answer to a json_schema request, sent as the object itself.
        content = shapes::object_content_text(content);
    }
    // Some routers put the reasoning only in "names::reasoning_details".
    if (is_empty_text(reasoning)) {
        nb::object details = text_or_empty(message, names::reasoning_details);
        if (PyList_Check(details.ptr())) reasoning = shapes::reasoning_details_text(details);
    }
    reasoning_out = std::move(reasoning);
    content_out = std::move(content);
}

nb::object message_process(Args a) {
    nb::object reasoning, content;
    texts_of(a[0], a[1], reasoning, content);
    nb::object result = own(PyDict_New());
    dict_set(result, names::reasoning_content, reasoning);
    dict_set(result, names::content, content);
    return result;
}

}  // namespace

void remember_latest_getter(nb::handle message_class) {
    PyObject *descr = PyType_Check(message_class.ptr())
                          ? type_lookup((PyTypeObject *) message_class.ptr(), names::latest.ptr())
                          : nullptr;
    if (descr && Py_IS_TYPE(descr, &PyProperty_Type)) own_latest_getter.set(get_attr(descr, names::fget));
}

// add_message's case D (the answer that is still the last entry continues),
// reached without message_latest's scan: the entry kept is the history's
// last, an assistant entry with content, so the scan would stop at it.
bool AnswerEntry::extend(nb::handle self, nb::handle role, nb::handle content) {
    nb::object versions;
    if (!fast::kept_entry.taken_if([&] { return still_last(self, role, content, versions); })) return false;
    continue_version(entry_, content, versions);
    return true;
}

// The kept entry may be continued in place: see extend.  Its version list,
// read on the way, is left in `versions`.
bool AnswerEntry::still_last(nb::handle self, nb::handle role, nb::handle content, nb::object &versions) const {
    if (!own_ || !entry_.is_valid() || !PyUnicode_CheckExact(content.ptr())) return false;
    nb::object assistant = role_member(names::assistant);
    if (!role.is(assistant)) return false;
    if (exchange::field(self, names::retry).ptr() != Py_False) return false;
    nb::object history = exchange::field(self, names::messages);
    if (!PyList_CheckExact(history.ptr()) || PyList_GET_SIZE(history.ptr()) == 0 ||
        PyList_GET_ITEM(history.ptr(), PyList_GET_SIZE(history.ptr()) - 1) != entry_.ptr())
        return false;
    if (!exchange::field(entry_, names::role).is(assistant)) return false;
    // The entry is true when it has contents; Message's own __bool__ says so
    // without a call.
    versions = exchange::field(entry_, names::contents);
    const bool plain_truth = message_truth_is_contents(entry_) && PyList_CheckExact(versions.ptr());
    return plain_truth ? PyList_GET_SIZE(versions.ptr()) != 0 : truthy(entry_);
}

void AnswerEntry::bind(nb::handle self) {
    own_ = resolves_to(self, names::add_message.ptr(), add_message_def) &&
           resolves_to(self, names::message_latest.ptr(), message_latest_def);
}

void message_texts(nb::handle self, nb::handle message, nb::object &reasoning, nb::object &content,
                   bool own_add_tool_calls) {
    texts_of(self, message, reasoning, content, own_add_tool_calls);
}

void AnswerEntry::remember(nb::handle self) {
    nb::object history = get_attr(self, names::messages);
    if (PyList_CheckExact(history.ptr()) && PyList_GET_SIZE(history.ptr()) > 0)
        entry_ = nb::borrow(PyList_GET_ITEM(history.ptr(), PyList_GET_SIZE(history.ptr()) - 1));
    else
        entry_.reset();
}

int AnswerEntry::traverse(visitproc visit, void *arg) const {
    if (entry_.ptr()) Py_VISIT(entry_.ptr());
    return 0;
}

const FunctionDef messages_latest_def{"messages_latest", "LLModal.messages_latest", nullptr, {{"self"}},
                                      "list[dict[str, Any]]", Kind::plain, messages_latest};
const FunctionDef message_latest_def{"message_latest", "LLModal.message_latest", nullptr,
                                     {{"self"}, {"role", "MessageRole"}}, "Message | None", Kind::plain,
                                     message_latest};
const FunctionDef add_message_def{"add_message", "LLModal.add_message", nullptr,
                                  {{"self"}, {"role", "MessageRole"}, {"content", "str", &PyUnicode_Type}}, "None",
                                  Kind::plain, add_message};
const FunctionDef add_tool_calls_def{"_add_tool_calls", "LLModal._add_tool_calls", nullptr,
                                     {{"self"}, {"message", "dict[str, Any]", &PyDict_Type}}, "None", Kind::plain,
                                     add_tool_calls};
const FunctionDef message_process_def{"_message_process", "LLModal._message_process", nullptr,
                                      {{"self"}, {"message", "dict[str, Any]", &PyDict_Type}}, "dict[str, str]",
                                      Kind::plain, message_process};

}  // namespace qv::modal
