#include "modal/failure.hpp"

#include <algorithm>

#include "modal/exchange.hpp"
#include "modal/private_reads.hpp"
#include "runtime/module.hpp"

namespace qv::modal::exchange {

namespace {

void report(nb::handle prefix, nb::handle exc) {
    static const KwNames kw{&names::flush};
    nb::object text = own(PyObject_Str(exc.ptr()));
    text = own(PyUnicode_Concat(prefix.ptr(), text.ptr()));
    vcall(global(names::print), {text.ptr(), Py_True}, kw.ptr());
}

// The current text of `entry` when it is an assistant entry that has one.
nb::object assistant_text(nb::handle entry) {
    nb::object role = get_attr(entry, names::role);
    nb::object assistant = message_role(names::assistant);
    if (!check(PyObject_RichCompareBool(role.ptr(), assistant.ptr(), Py_EQ))) return {};
    nb::object contents = get_attr(entry, names::contents);
    if (!truthy(contents)) return {};
    nb::object text = last_item(contents);
    if (!PyUnicode_Check(text.ptr())) return {};
    return text;
}

// The current text of the last history entry when that is an assistant
// entry with text.
nb::object last_answer(nb::handle self) {
    nb::object messages = get_attr(self, names::messages);
    if (check((int) PyObject_Length(messages.ptr())) == 0) return {};
    return assistant_text(last_item(messages));
}

// The fallback answer goes into the history once per failed call: when a
// nested exchange fails, the inner level has recorded it already (as the
// last entry), and the enclosing levels leave it at that.
void record_fallback(nb::handle self) {
    nb::object fallback = read_private(self, names::default_);
    nb::object last = last_answer(self);
    if (last.is_valid() && PyUnicode_Check(fallback.ptr()) &&
        check(PyObject_RichCompareBool(last.ptr(), fallback.ptr(), Py_EQ)))
        return;
    record_fallback_entry(self);
}

}  // namespace

void record_fallback_entry(nb::handle self) {
    nb::object fallback = read_private(self, names::default_);
    nb::object assistant = message_role(names::assistant);
    // add_message would continue an assistant entry that ends the history:
    // unless a retry makes the fallback a new version of an earlier answer,
    // it is appended as an entry of its own.
    if (last_answer(self).is_valid() && !truthy(get_attr(self, names::retry))) {
        static const KwNames kw{&names::role, &names::contents};
        nb::object contents = own(PyList_New(0));
        append(contents, fallback);
        append(get_attr(self, names::messages), vcall(global(names::Message), {assistant.ptr(), contents.ptr()}, kw.ptr()));
        return;
    }
    add_message(get_attr(self, names::add_message), assistant, fallback);
}

bool ends_with_answer(nb::handle self) { return last_answer(self).is_valid(); }

bool answered_since(nb::handle self, Py_ssize_t start) {
    nb::object messages = get_attr(self, names::messages);
    const Py_ssize_t count = check(PyObject_Length(messages.ptr()));
    for (Py_ssize_t i = std::max<Py_ssize_t>(start, 0); i < count; ++i) {
        nb::object entry = own(PySequence_GetItem(messages.ptr(), i));
        if (assistant_text(entry).is_valid()) return true;
    }
    return false;
}

Py_ssize_t history_length(nb::handle self) { return check(PyObject_Length(field(self, names::messages).ptr())); }

void fail(nb::handle self, nb::handle prefix, bool add_fallback, PythonError &error) {
    if (error.matches(PyExc_Exception)) {
        try {
            report(prefix, error.value());
            if (add_fallback) record_fallback(self);
            call_method(self, names::reset);
        } catch (PythonError &during) {
            // As for an exception raised inside an except block.
            if (!during.value().is(error.value()))
                PyException_SetContext(during.value().ptr(), Py_NewRef(error.value().ptr()));
            throw;
        }
    }
    throw std::move(error);
}

}  // namespace qv::modal::exchange
