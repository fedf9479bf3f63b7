// The history entry: rendering into a chat-completion message, truth value
// and JSON repr.
#include "message/message.hpp"

#include "message/names.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::message {

namespace {

// When the current version is plain text but an earlier version carried
// media, the request keeps that media: the non-text parts of the most recent
// part list, followed by the new text as the only text part.
nb::object with_earlier_media(nb::handle contents, nb::handle text) {
    nb::handle list_type = (PyObject *) &PyList_Type;
    nb::object found;
    const bool exact = PyList_CheckExact(contents.ptr());
    for (Py_ssize_t i = PySequence_Size(contents.ptr()) - 1; i >= 0; --i) {
        nb::object version;
        if (exact) {
            if (i >= PyList_GET_SIZE(contents.ptr())) continue;
            version = nb::borrow(PyList_GET_ITEM(contents.ptr(), i));
            if (PyUnicode_CheckExact(version.ptr())) continue;  // text: no media here
        } else {
            version = own(PySequence_GetItem(contents.ptr(), i));
        }
        if (PyList_Check(version.ptr()) || is_instance(version, list_type)) {
            found = std::move(version);
            break;
        }
    }
    if (PyErr_Occurred()) raise_current();
    if (!found.is_valid()) return nb::borrow(text);

    nb::object parts = own(PyList_New(0));
    nb::object iter = own(PyObject_GetIter(found.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object part = nb::steal(raw);
        nb::object type = getitem(part, names::type);
        if (check(PyObject_RichCompareBool(type.ptr(), names::text.ptr(), Py_NE)))
            check(PyList_Append(parts.ptr(), part.ptr()));
    }
    if (PyErr_Occurred()) raise_current();
    nb::object text_part = own(PyDict_New());
    dict_set(text_part, names::type, names::text);
    dict_set(text_part, names::text, text);
    check(PyList_Append(parts.ptr(), text_part.ptr()));
    return parts;
}

// Field values of a Message live in its instance dict.  For the class itself,
// which puts no descriptor in front of its fields and keeps object's
// __getattribute__, a dict lookup yields what attribute access would, without
// pydantic's __getattr__ hook, which otherwise costs more than the rendering
// itself (the history is rendered entry by entry for every request).
// Subclasses, and fields missing from the dict, go through attribute access.
Held message_class;  // the class Message, held by the module state

FastPath fields_from_dict{"message_fields_dict",
                          "the entry is of exactly the class Message and its __dict__ is a dict holding the field"};

class Fields {
public:
    explicit Fields(nb::handle self) : self_(self) {
        if ((PyObject *) Py_TYPE(self.ptr()) == message_class.ptr()) dict_ = own(PyObject_GenericGetDict(self.ptr(), nullptr));
    }

    nb::object operator[](const Name &name) const {
        PyObject *value = nullptr;
        if (dict_.is_valid() && PyDict_CheckExact(dict_.ptr())) {
            value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
            if (!value && PyErr_Occurred()) raise_current();
        }
        if (fields_from_dict.taken(value != nullptr)) return nb::borrow(value);
        return get_attr(self_, name);
    }

private:
    nb::handle self_;
    nb::object dict_;
};

nb::object latest(Args a) {
    nb::handle self = a[0];
    Fields fields(self);
    nb::object result = own(PyDict_New());
    nb::object tool_calls = fields[names::tool_calls];
    if (truthy(tool_calls)) {
        dict_set(result, names::role, fields[names::role]);
        dict_set(result, names::tool_calls, tool_calls);
        return result;
    }
    nb::object tool_call_id = fields[names::tool_call_id];
    if (truthy(tool_call_id)) {
        nb::object role = fields[names::role];
        nb::object content = last_item(fields[names::contents]);
        dict_set(result, names::role, role);
        dict_set(result, names::tool_call_id, tool_call_id);
        dict_set(result, names::content, content);
        return result;
    }
    nb::object contents = fields[names::contents];
    nb::object content = last_item(contents);
    if (PyUnicode_Check(content.ptr())) content = with_earlier_media(contents, content);
    dict_set(result, names::role, fields[names::role]);
    dict_set(result, names::content, content);
    return result;
}

nb::object truth(Args a) {
    nb::object contents = get_attr(a[0], names::contents);
    return nb::borrow(truthy(contents) ? Py_True : Py_False);
}

nb::object repr(Args a) {
    nb::object rendered = get_attr(a[0], names::latest);
    static const KwNames kw{&names::ensure_ascii};
    nb::object dumps = get_attr(global(names::json), names::dumps);
    return vcall(dumps, {rendered.ptr(), Py_False}, kw.ptr());
}

}  // namespace

void remember_message_class(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) raise_format(PyExc_SystemError, "Message is not a class");
    message_class.set(cls);
}

const FunctionDef latest_def{"latest", "Message.latest", nullptr, {{"self"}}, "dict[str, Any]", Kind::plain, latest};
const FunctionDef bool_def{"__bool__", "Message.__bool__", nullptr, {{"self"}}, "bool", Kind::plain, truth};
const FunctionDef repr_def{"__repr__", "Message.__repr__", nullptr, {{"self"}}, "str", Kind::plain, repr};

}  // namespace qv::message
