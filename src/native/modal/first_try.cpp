#include "modal/first_try.hpp"

#include <structmember.h>

#include "modal/call_reading.hpp"
#include "modal/fast_paths.hpp"
#include "modal/names.hpp"
#include "modal/usage_hooks.hpp"
#include "runtime/dict_reads.hpp"
#include "runtime/module.hpp"
#include "runtime/state.hpp"
#include "runtime/try_lock.hpp"

namespace qv::modal::first_try {
namespace {

namespace names {
// _transport
inline Name send{"send"};
inline Name send_tries{"_send"};
inline Name tries{"_tries"};
inline Name through{"_through"};
inline Name resume{"_resume"};
inline Name exchange_settings{"_exchange_settings"};
inline Name stoppable{"_stoppable"};
inline Name usage{"_usage"};
inline Name call_settings{"_call_settings"};
inline Name answer_settings{"_answer_settings"};
inline Name with_usage_option{"with_usage_option"};
inline Name requests{"requests"};
inline Name original_post{"_ORIGINAL_POST"};
inline Name post{"post"};
inline Name post_pooled{"_post_pooled"};
inline Name interrupted{"_interrupted"};
inline Name response_class{"Response"};
inline Name status_code{"status_code"};
inline Name headers{"headers"};
inline Name json{"json"};
inline Name stream{"stream"};
// _stoppable
inline Name exchange_class{"Exchange"};
inline Name stopped_class{"Stopped"};
inline Name inflight{"_inflight"};
inline Name current{"_current"};
inline Name exchange{"exchange"};
inline Name stop{"stop"};
inline Name init{"__init__"};
inline Name end{"end"};
inline Name discard{"discard"};
// _inflight
inline Name track{"track"};
inline Name untrack{"untrack"};
inline Name lock{"_lock"};
inline Name open{"_open"};
inline Name tokens{"_tokens"};
inline Name dead{"_dead"};
// Exchange's slots
inline Name model{"model"};
inline Name stopped{"stopped"};
inline Name token{"_token"};
inline Name attached{"_attached"};
inline Name socket{"_socket"};
inline Name wake{"_wake"};
inline Name previous{"_previous"};
inline Name used{"_used"};
}  // namespace names

enum class Slot { model, stopped, token, attached, socket, wake, previous, used };
constexpr int slot_count = (int) Slot::used + 1;
const Name *const slot_names[slot_count] = {&names::model,  &names::stopped, &names::token,    &names::attached,
                                            &names::socket, &names::wake,    &names::previous, &names::used};

struct Own {
    bool ready = false;  // every part below was found as expected at start-up
    Held transport, send, send_tries, tries, through, resume, exchange_settings;
    Held stoppable, exchange_class, current;
    Held init, end, stop;           // Exchange's own methods
    Held slot_members[slot_count];  // and its slots' member descriptors
    Held inflight, track, untrack, tokens_type;
    OwnLock inflight_lock;
    Held response_class;  // requests.Response
    unsigned int exchange_tag = 0, response_tag = 0;
    Py_ssize_t slots[slot_count] = {};
};
Own own_parts;

// A global of `module` as its own code reads it: NameError when it is gone.
nb::handle global_of(nb::handle module, const Name &name) {
    PyObject *value = remembered_global(module, name);
    if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name.text());
    return value;
}

bool is_own(nb::handle module, const Name &name, const Held &original) {
    return remembered_global(module, name) == original.ptr();
}

// Exchange is the plain slotted class found at start-up, with its own
// __init__, end and stop.
bool exchange_as_found(PyTypeObject *type) {
    if (Py_TYPE(type) != &PyType_Type || type->tp_new != PyBaseObject_Type.tp_new ||
        type->tp_alloc != PyType_GenericAlloc || type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_setattro != PyObject_GenericSetAttr || type->tp_dictoffset != 0)
        return false;
    for (int i = 0; i < slot_count; ++i)
        if (type_lookup(type, slot_names[i]->ptr()) != own_parts.slot_members[i].ptr()) return false;
    return type_lookup(type, names::init.ptr()) == own_parts.init.ptr() &&
           type_lookup(type, names::end.ptr()) == own_parts.end.ptr() &&
           type_lookup(type, names::stop.ptr()) == own_parts.stop.ptr();
}

// Checked in full only when the class's version tag changed since the last
// check: a class patched and then restored (as tests do) is taken again.
bool exchange_unchanged() {
    auto *type = (PyTypeObject *) own_parts.exchange_class.ptr();
    if (has_version_tag(type) && type->tp_version_tag == own_parts.exchange_tag) return true;
    // The lookups give the class a tag again.
    if (!exchange_as_found(type) || !has_version_tag(type)) return false;
    own_parts.exchange_tag = type->tp_version_tag;
    return true;
}

// requests.Response reads `status_code` from the instance alone; checked in
// full, as above, only when the class's tag changed.
bool response_plain(PyTypeObject *type) {
    if (has_version_tag(type) && type->tp_version_tag == own_parts.response_tag) return true;
    if (type->tp_getattro != PyObject_GenericGetAttr || type_lookup(type, names::status_code.ptr()) ||
        !has_version_tag(type))
        return false;
    own_parts.response_tag = type->tp_version_tag;
    return true;
}

// Everything the first try does in place of Python code is that code's own.
bool plain() {
    const Own &o = own_parts;
    if (!o.ready || !global(modal::names::transport).is(o.transport.h())) return false;
    nb::handle transport = o.transport.h(), stoppable = o.stoppable.h(), inflight = o.inflight.h();
    nb::handle usage = usage_hooks::own_module(), call_settings = call_reading::own_module();
    if (!usage.ptr() || !call_settings.ptr()) return false;
    return is_own(transport, names::send, o.send) && is_own(transport, names::send_tries, o.send_tries) &&
           is_own(transport, names::tries, o.tries) && is_own(transport, names::through, o.through) &&
           is_own(transport, names::resume, o.resume) &&
           is_own(transport, names::exchange_settings, o.exchange_settings) &&
           remembered_global(transport, names::stoppable) == stoppable.ptr() &&
           remembered_global(transport, names::usage) == usage.ptr() &&
           remembered_global(transport, names::call_settings) == call_settings.ptr() &&
           is_own(stoppable, names::exchange_class, o.exchange_class) && exchange_unchanged() &&
           remembered_global(stoppable, names::inflight) == inflight.ptr() &&
           is_own(stoppable, names::current, o.current) &&
           is_own(inflight, names::track, o.track) && is_own(inflight, names::untrack, o.untrack);
}

// ---- the table of calls in flight (_inflight) --------------------------------------

// What the table holds for `model`: its closers (an exact dict), nothing
// (no entry, or one left by a collected model), or something only the
// Python functions know what to do with.
enum class Entry { found, absent, odd };

Entry closers_of(PyObject *table, nb::handle model, nb::object &closers) {
    nb::object key = own(PyLong_FromVoidPtr(model.ptr()));
    nb::object entry = nb::borrow(PyDict_GetItemWithError(table, key.ptr()));
    if (!entry.is_valid()) {
        if (PyErr_Occurred()) raise_current();
        return Entry::absent;
    }
    if (!PyTuple_CheckExact(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 2) return Entry::odd;
    PyObject *ref = PyTuple_GET_ITEM(entry.ptr(), 0);
    if (!PyWeakref_CheckRefExact(ref)) return Entry::odd;
    nb::object referent = own(PyObject_CallNoArgs(ref));
    if (!referent.is(model)) return Entry::absent;
    PyObject *held = PyTuple_GET_ITEM(entry.ptr(), 1);
    if (!PyDict_CheckExact(held)) return Entry::odd;
    closers = nb::borrow(held);
    return Entry::found;
}

// _inflight.track(model, closer): the token.
nb::object track(nb::handle model, nb::handle closer) {
    nb::handle inflight = own_parts.inflight.h();
    PyObject *dead = remembered_global(inflight, names::dead);
    PyObject *table = remembered_global(inflight, names::open);
    PyObject *tokens = remembered_global(inflight, names::tokens);
    // Collected models' entries waiting to be dropped: track drops them.
    if (dead && PyList_CheckExact(dead) && PyList_GET_SIZE(dead) == 0 && table && PyDict_CheckExact(table) && tokens &&
        (PyObject *) Py_TYPE(tokens) == own_parts.tokens_type.ptr()) {
        nb::object held_table = nb::borrow(table), held_tokens = nb::borrow(tokens);
        TryLock lock(remembered_global(inflight, names::lock), own_parts.inflight_lock);
        nb::object closers;
        if (lock.held() && closers_of(table, model, closers) == Entry::found) {
            nb::object token = own(PyIter_Next(tokens));
            dict_set(closers, token, closer);
            return token;
        }
    }
    // The model's first exchange makes its entry there.
    return vcall(own_parts.track.h(), {model.ptr(), closer.ptr()});
}

// _inflight.untrack(model, token).
void untrack(nb::handle model, nb::handle token) {
    nb::handle inflight = own_parts.inflight.h();
    PyObject *table = remembered_global(inflight, names::open);
    if (table && PyDict_CheckExact(table)) {
        nb::object held_table = nb::borrow(table);
        TryLock lock(remembered_global(inflight, names::lock), own_parts.inflight_lock);
        nb::object closers;
        const Entry entry = lock.held() ? closers_of(table, model, closers) : Entry::odd;
        if (entry == Entry::absent) return;
        if (entry == Entry::found) {
            const int present = check(PyDict_Contains(closers.ptr(), token.ptr()));
            if (present) check(PyDict_DelItem(closers.ptr(), token.ptr()));
            return;
        }
    }
    vcall(own_parts.untrack.h(), {model.ptr(), token.ptr()});
}

// ---- the exchange ------------------------------------------------------------------

// An _stoppable.Exchange opened and ended as its own __init__ and end do,
// with its slots read and written in place (the class is unchanged).
class OpenExchange {
public:
    explicit OpenExchange(nb::handle model) {
        auto *type = (PyTypeObject *) own_parts.exchange_class.ptr();
        self_ = own(type->tp_alloc(type, 0));
        set(Slot::model, model);
        set(Slot::stopped, Py_False);
        set(Slot::attached, Py_None);
        set(Slot::socket, Py_None);
        set(Slot::used, Py_None);
        set(Slot::wake, Py_None);
        nb::object closer = own(PyMethod_New(own_parts.stop.ptr(), self_.ptr()));
        set(Slot::token, track(model, closer));
        nb::object current = get_attr(own_parts.stoppable.h(), names::current);
        set(Slot::previous, get_attr(current, names::exchange));
        set_attr(current, names::exchange, self_);
    }

    nb::handle object() const { return self_; }

    bool stopped() const { return truthy(get(Slot::stopped)); }

    // exchange.end(): a stop no longer reaches it.
    void end() {
        untrack(get(Slot::model), get(Slot::token));
        nb::object current = get_attr(own_parts.stoppable.h(), names::current);
        set_attr(current, names::exchange, get(Slot::previous));
        set(Slot::used, get(Slot::attached));
        set(Slot::previous, Py_None);
        set(Slot::attached, Py_None);
        set(Slot::socket, Py_None);
    }

    // A stopped exchange that has ended: what it opened is closed and the
    // call ends as stopped.
    [[noreturn]] void end_stopped(nb::handle response) {
        vcall(get_attr(self_, names::discard), {response.ptr()});
        nb::object stopped = get_attr(own_parts.stoppable.h(), names::stopped_class);
        PyErr_SetNone(stopped.ptr());
        raise_current();
    }

private:
    PyObject **slot(Slot which) const {
        return (PyObject **) ((char *) self_.ptr() + own_parts.slots[(int) which]);
    }
    // A slot emptied by `del` reads as the attribute does: an AttributeError.
    nb::object get(Slot which) const {
        PyObject *value = *slot(which);
        return value ? nb::borrow(value) : get_attr(self_, *slot_names[(int) which]);
    }
    void set(Slot which, nb::handle value) { Py_XSETREF(*slot(which), Py_NewRef(value.ptr())); }

    nb::object self_;
};

// ---- the first try -----------------------------------------------------------------

// `requests` is the module _transport pools for, with its own post.
bool is_pooled(nb::handle requests) {
    nb::handle transport = own_parts.transport.h();
    if (!requests.is(global_of(transport, names::requests))) return false;
    nb::object post = get_attr(requests, names::post);
    return post.is(global_of(transport, names::original_post));
}

// The answer is a plain requests.Response whose status is 200.  Anything
// else, and an answer whose status cannot be read, is left to _tries.
bool answered(nb::handle response) {
    PyObject *type = (PyObject *) Py_TYPE(response.ptr());
    if (type != own_parts.response_class.ptr() || !response_plain((PyTypeObject *) type)) return false;
    try {
        nb::object status = get_attr(response, names::status_code);
        if (!PyLong_CheckExact(status.ptr())) return false;
        int overflow = 0;
        return PyLong_AsLongAndOverflow(status.ptr(), &overflow) == 200;
    } catch (PythonError &) {
        return false;
    }
}

nb::object send_natively(nb::handle requests, nb::handle url, nb::handle headers, nb::handle body, nb::handle stream,
                         nb::handle configurator, nb::handle section, nb::handle model, nb::handle settings) {
    OpenExchange exchange(model);
    nb::object sent = nb::borrow(body);
    bool pooled = false;
    try {
        if (truthy(stream)) {  // only a streamed body may ask for the usage chunk
            nb::object options = get_attr(global_of(own_parts.transport.h(), names::answer_settings),
                                          names::with_usage_option);
            sent = vcall(options, {body.ptr(), stream.ptr(), configurator.ptr(), section.ptr()});
        }
        pooled = is_pooled(requests);
        usage_hooks::record_request(model);
    } catch (PythonError &error) {
        // What _through does with an error of the tries.
        const bool failure = error.matches(PyExc_Exception);
        exchange.end();
        if (failure && exchange.stopped()) exchange.end_stopped(nb::none());
        throw;
    }
    nb::object response, raised;
    try {
        if (pooled) {
            response = vcall(global_of(own_parts.transport.h(), names::post_pooled),
                             {url.ptr(), headers.ptr(), sent.ptr(), settings.ptr()});
        } else {
            static const KwNames kw{&names::headers, &names::json, &names::stream};
            response = vcall(get_attr(requests, names::post), {url.ptr(), headers.ptr(), sent.ptr(), stream.ptr()},
                             kw.ptr());
        }
    } catch (PythonError &error) {
        raised = nb::borrow(error.value());
    }
    if (raised.is_valid() || (pooled && !truthy(stream)) || !answered(response)) {
        // The status, the retries and the end of the exchange: as send does.
        nb::handle answer = response.is_valid() ? response.ptr() : Py_None;
        nb::handle error = raised.is_valid() ? raised.ptr() : Py_None;
        return vcall(own_parts.resume.h(), {requests.ptr(), url.ptr(), headers.ptr(), sent.ptr(), stream.ptr(),
                                            settings.ptr(), pooled ? Py_True : Py_False, model.ptr(),
                                            exchange.object().ptr(), answer.ptr(), error.ptr()});
    }
    exchange.end();
    if (exchange.stopped()) exchange.end_stopped(response);
    return response;
}

// Where the slots of Exchange lie, found at start-up; false when the class
// is not the plain slotted class its instances are made from here.
bool remember_exchange_layout(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) return false;
    auto *type = (PyTypeObject *) cls.ptr();
    for (int i = 0; i < slot_count; ++i) {
        PyObject *descr = type_lookup(type, slot_names[i]->ptr());
        if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type) return false;
        PyMemberDef *member = ((PyMemberDescrObject *) descr)->d_member;
        if (member->type != T_OBJECT_EX || (member->flags & READONLY)) return false;
        own_parts.slots[i] = member->offset;
        own_parts.slot_members[i].set(descr);
    }
    PyObject *init = type_lookup(type, names::init.ptr());
    PyObject *end = type_lookup(type, names::end.ptr());
    PyObject *stop = type_lookup(type, names::stop.ptr());
    if (!init || !end || !stop || !PyFunction_Check(stop)) return false;
    own_parts.init.set(init);
    own_parts.end.set(end);
    own_parts.stop.set(stop);
    own_parts.exchange_tag = 0;
    return exchange_unchanged();
}

}  // namespace

void remember(nb::handle transport) {
    Own &o = own_parts;
    o.transport.set(transport);
    o.send.set(get_attr(transport, names::send));
    o.send_tries.set(get_attr(transport, names::send_tries));
    o.tries.set(get_attr(transport, names::tries));
    o.through.set(get_attr(transport, names::through));
    o.resume.set(get_attr(transport, names::resume));
    o.exchange_settings.set(get_attr(transport, names::exchange_settings));
    nb::object stoppable = get_attr(transport, names::stoppable);
    o.stoppable.set(stoppable);
    o.exchange_class.set(get_attr(stoppable, names::exchange_class));
    o.current.set(get_attr(stoppable, names::current));
    nb::object inflight = get_attr(stoppable, names::inflight);
    o.inflight.set(inflight);
    o.track.set(get_attr(inflight, names::track));
    o.untrack.set(get_attr(inflight, names::untrack));
    o.tokens_type.set((PyObject *) Py_TYPE(get_attr(inflight, names::tokens).ptr()));
    o.inflight_lock.remember(get_attr(inflight, names::lock));
    nb::object response = get_attr(get_attr(transport, names::requests), names::response_class);
    o.response_class.set(response);
    o.ready = remember_exchange_layout(o.exchange_class.h()) && PyType_Check(response.ptr());
}

nb::object send(nb::handle requests, nb::handle url, nb::handle headers, nb::handle body, nb::handle stream,
                nb::handle configurator, nb::handle section, nb::handle model) {
    nb::object settings;
    if (fast::native_send.taken_if([&] {
            return plain() && (settings = call_reading::held_transport_settings(configurator, section)).is_valid();
        })) {
        try {
            return send_natively(requests, url, headers, body, stream, configurator, section, model, settings);
        } catch (PythonError &error) {
            // An interrupt passing through: this thread's pool is not used
            // again (what send does).
            nb::object stopped = get_attr(own_parts.stoppable.h(), names::stopped_class);
            if (!error.matches(PyExc_Exception) && !error.matches(stopped))
                vcall(global_of(own_parts.transport.h(), names::interrupted), {});
            throw;
        }
    }
    nb::object function = get_attr(global(modal::names::transport), names::send);
    return vcall(function, {requests.ptr(), url.ptr(), headers.ptr(), body.ptr(), stream.ptr(), configurator.ptr(),
                            section.ptr(), model.ptr()});
}

}  // namespace qv::modal::first_try
