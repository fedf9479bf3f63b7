// Message.latest's rendering, shared by the message module (the property
// itself) and the modal module (which renders a whole history at once and
// runs it directly, without calling the property once per entry).  Each
// module passes its own interned names and its own fast-path counter.
#pragma once

#include "runtime/fast_path.hpp"
#include "runtime/object.hpp"

namespace qv::render {

struct LatestNames {
    const Name &role, &content, &contents, &tool_calls, &tool_call_id, &type, &text;
};

// When the current version is plain text but an earlier version carried
// media, the request keeps that media: the non-text parts of the most recent
// part list, followed by the new text as the only text part.
inline nb::object with_earlier_media(const LatestNames &n, nb::handle contents, nb::handle text) {
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
        nb::object type = getitem(part, n.type);
        if (check(PyObject_RichCompareBool(type.ptr(), n.text.ptr(), Py_NE)))
            check(PyList_Append(parts.ptr(), part.ptr()));
    }
    if (PyErr_Occurred()) raise_current();
    nb::object text_part = own(PyDict_New());
    dict_set(text_part, n.type, n.text);
    dict_set(text_part, n.text, text);
    check(PyList_Append(parts.ptr(), text_part.ptr()));
    return parts;
}

// Field values of a Message live in its instance dict.  For the class itself,
// which puts no descriptor in front of its fields and keeps object's
// __getattribute__, a dict lookup yields what attribute access would, without
// pydantic's __getattr__ hook, which otherwise costs more than the rendering
// itself (the history is rendered entry by entry for every request).
// Subclasses, and fields missing from the dict, go through attribute access.
class Fields {
public:
    Fields(nb::handle self, PyObject *message_class, FastPath &from_dict) : self_(self), from_dict_(from_dict) {
        if ((PyObject *) Py_TYPE(self.ptr()) == message_class) dict_ = own(PyObject_GenericGetDict(self.ptr(), nullptr));
    }

    nb::object operator[](const Name &name) const {
        PyObject *value = nullptr;
        if (dict_.is_valid() && PyDict_CheckExact(dict_.ptr())) {
            value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
            if (!value && PyErr_Occurred()) raise_current();
        }
        if (from_dict_.taken(value != nullptr)) return nb::borrow(value);
        return get_attr(self_, name);
    }

private:
    nb::handle self_;
    FastPath &from_dict_;
    nb::object dict_;
};

// `message.latest` of an entry whose property is Message's own.
inline nb::object latest(const LatestNames &n, nb::handle self, PyObject *message_class, FastPath &from_dict) {
    Fields fields(self, message_class, from_dict);
    nb::object tool_calls = fields[n.tool_calls];
    if (truthy(tool_calls)) {
        nb::object result = own(PyDict_New());
        dict_set(result, n.role, fields[n.role]);
        dict_set(result, n.tool_calls, tool_calls);
        return result;
    }
    nb::object tool_call_id = fields[n.tool_call_id];
    if (truthy(tool_call_id)) {
        nb::object role = fields[n.role];
        nb::object content = last_item(fields[n.contents]);
        nb::object result = own(PyDict_New());
        dict_set(result, n.role, role);
        dict_set(result, n.tool_call_id, tool_call_id);
        dict_set(result, n.content, content);
        return result;
    }
    nb::object contents = fields[n.contents];
    nb::object content = last_item(contents);
    if (PyUnicode_Check(content.ptr())) content = with_earlier_media(n, contents, content);
    nb::object role = fields[n.role];
    nb::object result = own(PyDict_New());
    dict_set(result, n.role, role);
    dict_set(result, n.content, content);
    return result;
}

}  // namespace qv::render
