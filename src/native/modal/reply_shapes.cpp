#include "modal/reply_shapes.hpp"

#include <random>

#include "modal/names.hpp"
#include "runtime/module.hpp"

namespace qv::modal::shapes {
namespace {


// obj[key] for a dict, held; a null object when obj is not a dict or lacks
// the key.  Replies are plain JSON: whatever is not a dict carries nothing.
nb::object dict_value(nb::handle obj, const Name &key) {
    if (!PyDict_Check(obj.ptr())) return {};
    PyObject *value = PyDict_GetItemWithError(obj.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) raise_current();
    return nb::borrow(value);
}

bool is_text(nb::handle value) { return value.is_valid() && PyUnicode_Check(value.ptr()); }

bool equals_name(nb::handle value, const Name &name) {
    return is_text(value) && PyUnicode_Compare(value.ptr(), name.ptr()) == 0;
}

bool is_zero(nb::handle value) {
    if (!PyLong_CheckExact(value.ptr())) return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise_current();
    return !overflow && v == 0;
}

// Collects texts to be joined once at the end.
class Texts {
public:
    void add(nb::handle text) {
        if (!is_text(text)) return;
        if (!list_.is_valid()) list_ = own(PyList_New(0));
        check(PyList_Append(list_.ptr(), text.ptr()));
    }
    bool empty() const { return !list_.is_valid(); }
    nb::object joined() const {
        if (!list_.is_valid()) return nb::borrow(names::empty.h());
        return own(PyUnicode_Join(names::empty.ptr(), list_.ptr()));
    }

private:
    nb::object list_;
};

// Every element of a list, held while it is looked at; the list may change
// under a callback, so each read is bounded by its current size.
template <class F>
void each(nb::handle list, F &&f) {
    if (!PyList_Check(list.ptr())) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        nb::object element = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
        f(element);
    }
}

void add_text_parts(Texts &into, nb::handle parts) {
    each(parts, [&](nb::handle part) {
        if (equals_name(dict_value(part, names::type), names::text)) into.add(dict_value(part, names::text));
    });
}

nb::object generated_id() {
    static std::random_device source;
    char buffer[5 + 24 + 1] = "call_";
    static const char hex[] = "0123456789abcdef";
    char *out = buffer + 5;
    for (int word = 0; word < 3; ++word) {
        const unsigned int bits = source();
        for (int shift = 28; shift >= 0; shift -= 4) *out++ = hex[(bits >> shift) & 0xF];
    }
    *out = '\0';
    return own(PyUnicode_FromStringAndSize(buffer, out - buffer));
}

bool has_id(nb::handle call) {
    nb::object id = dict_value(call, names::id);
    if (!id.is_valid() || id.is_none()) return false;
    return !(PyUnicode_Check(id.ptr()) && PyUnicode_GET_LENGTH(id.ptr()) == 0);
}

}  // namespace

nb::object answer_choice(nb::handle choices) {
    if (!PyList_CheckExact(choices.ptr())) {
        nb::object zero = own(PyLong_FromLong(0));
        return getitem(choices, zero);
    }
    nb::object held = nb::borrow(choices);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.ptr()); ++i) {
        nb::object choice = nb::borrow(PyList_GET_ITEM(held.ptr(), i));
        nb::object index = dict_value(choice, names::index);
        if (index.is_valid() && is_zero(index)) return choice;
    }
    if (PyList_GET_SIZE(held.ptr()) == 0) raise_format(PyExc_IndexError, "list index out of range");
    nb::object first = nb::borrow(PyList_GET_ITEM(held.ptr(), 0));
    nb::object index = dict_value(first, names::index);
    if (!index.is_valid() || index.is_none()) return first;
    return {};
}

nb::object chunk_choice(nb::handle chunk) {
    nb::object choices;
    if (PyDict_Check(chunk.ptr())) {
        choices = dict_value(chunk, names::choices);
        if (!choices.is_valid() || choices.is_none()) return {};
    } else {
        choices = getitem(chunk, names::choices);
    }
    if (PyList_CheckExact(choices.ptr()) && PyList_GET_SIZE(choices.ptr()) == 0) return {};
    return answer_choice(choices);
}

nb::object choice_message(nb::handle choice) {
    if (!PyDict_Check(choice.ptr())) return getitem(choice, names::message);
    nb::object message = dict_value(choice, names::message);
    if (message.is_valid() && !message.is_none()) return message;
    raise_no_message(dict_value(choice, names::finish_reason));
}

void raise_no_message(nb::handle finish_reason) {
    nb::handle reason = finish_reason;
    if (!reason.is_valid() || reason.is_none()) reason = names::null_text.h();
    nb::object text = own(PyObject_Str(reason.ptr()));
    raise_format(PyExc_ValueError, "The server sent no message (finish_reason: %U)", text.ptr());
}

nb::object object_content_text(nb::handle content) {
    if (!PyDict_Check(content.ptr())) return nb::borrow(content);
    return arguments_text(content);
}

PartsText split_parts(nb::handle parts) {
    Texts content, thinking;
    each(parts, [&](nb::handle part) {
        nb::object type = dict_value(part, names::type);
        if (equals_name(type, names::text)) {
            content.add(dict_value(part, names::text));
        } else if (equals_name(type, names::thinking_type)) {
            nb::object value = dict_value(part, names::thinking_type);
            if (is_text(value))
                thinking.add(value);
            else if (value.is_valid())
                add_text_parts(thinking, value);
        }
    });
    return {content.joined(), thinking.joined()};
}

nb::object reasoning_details_text(nb::handle details) {
    Texts texts;
    each(details, [&](nb::handle entry) {
        nb::object type = dict_value(entry, names::type);
        if (equals_name(type, names::reasoning_text_type))
            texts.add(dict_value(entry, names::text));
        else if (equals_name(type, names::reasoning_summary_type))
            texts.add(dict_value(entry, names::summary));
    });
    return texts.joined();
}

nb::object arguments_text(nb::handle arguments) {
    if (!PyDict_Check(arguments.ptr()) && !PyList_Check(arguments.ptr())) return nb::borrow(arguments);
    static const KwNames kw{&names::ensure_ascii};
    nb::object to_json = get_attr(global(names::json), names::dumps);
    return vcall(to_json, {arguments.ptr(), Py_False}, kw.ptr());
}

void complete_tool_calls(nb::handle tool_calls) {
    each(tool_calls, [&](nb::handle call) {
        if (!PyDict_Check(call.ptr())) return;
        if (!has_id(call)) dict_set(call, names::id, generated_id());
        nb::object function = dict_value(call, names::function);
        if (!function.is_valid() || function.is_none()) {
            function = own(PyDict_New());
            dict_set(call, names::function, function);
        }
        if (!PyDict_Check(function.ptr())) return;
        // A call that names no tool is run like one naming an unknown tool:
        // the registry refuses it, and the refusal answers the call.
        nb::object name = dict_value(function, names::name);
        if (!name.is_valid() || !PyUnicode_Check(name.ptr())) dict_set(function, names::name, names::empty);
        nb::object arguments = dict_value(function, names::arguments);
        if (!arguments.is_valid() || arguments.is_none())
            dict_set(function, names::arguments, names::no_arguments);
        else if (PyDict_Check(arguments.ptr()) || PyList_Check(arguments.ptr()))
            dict_set(function, names::arguments, arguments_text(arguments));
    });
}

}  // namespace qv::modal::shapes
