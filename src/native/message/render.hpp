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

// The three shapes a rendered entry takes: {role, content}, {role,
// tool_calls} and {role, tool_call_id, content}.  Each rendering is a copy
// of its shape's template with the values filled in.  The templates are
// instance dicts of one small class, so CPython keeps them as split tables
// sharing that class's keys, and so are their copies: a copy holds only its
// values (less than half the memory of a dict built key by key), which matters
// when a long history is rendered for every request.  Where the interpreter
// keeps no split tables the copies are ordinary dicts; either way the caller
// gets a new plain dict with the same keys in the same order.
class Shapes {
public:
    nb::object copy(const LatestNames &n, int shape) {
        if (!templates_[0]) make(n);
        return own(PyDict_Copy(templates_[shape].ptr()));
    }
    static constexpr int text = 0, calls = 1, result = 2;

private:
    void make(const LatestNames &n) {
        nb::object bases = own(PyTuple_New(0));
        nb::object body = own(PyDict_New());
        nb::object cls = own(PyObject_CallFunction((PyObject *) &PyType_Type, "sOO", "RenderedEntry", bases.ptr(),
                                                   body.ptr()));
        // CPython sizes a split table's values for the keys its class may
        // still gain, and lowers that allowance with each instance made; a
        // few throwaway instances bring it down to what the three shapes use.
        for (int i = 0; i < 64; ++i)
            check(PyObject_SetAttr(own(PyObject_CallNoArgs(cls.ptr())).ptr(), n.role.ptr(), Py_None));
        const Name *keys[3][3] = {{&n.role, &n.content, nullptr},
                                  {&n.role, &n.tool_calls, nullptr},
                                  {&n.role, &n.tool_call_id, &n.content}};
        for (int shape = 0; shape < 3; ++shape) {
            nb::object instance = own(PyObject_CallNoArgs(cls.ptr()));
            for (const Name *key : keys[shape])
                if (key) check(PyObject_SetAttr(instance.ptr(), key->ptr(), Py_None));
            nb::object dict = own(PyObject_GenericGetDict(instance.ptr(), nullptr));
            templates_[shape].set(dict);
        }
    }

    Held templates_[3];
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
    Fields(const LatestNames &n, nb::handle self, PyObject *message_class, FastPath &from_dict)
        : self_(self), from_dict_(from_dict), names_{&n.role, &n.contents, &n.tool_call_id, &n.tool_calls} {
        if ((PyObject *) Py_TYPE(self.ptr()) != message_class) return;
        dict_ = own(PyObject_GenericGetDict(self.ptr(), nullptr));
        if (!from_dict.enabled() || !PyDict_CheckExact(dict_.ptr())) return;
        // The dict holds the fields in declaration order under their
        // interned names: one walk over its entries finds them without a
        // hash lookup each.  A key in another place is looked up instead.
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        for (int i = 0; i < kFields && PyDict_Next(dict_.ptr(), &pos, &key, &value); ++i)
            if (key == names_[i]->ptr()) walked_[i] = nb::borrow(value);
    }

    nb::object operator[](const Name &name) const {
        PyObject *value = nullptr;
        if (dict_.is_valid() && PyDict_CheckExact(dict_.ptr())) {
            for (int i = 0; i < kFields; ++i)
                if (&name == names_[i]) value = walked_[i].ptr();
            if (!value) {
                value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());
                if (!value && PyErr_Occurred()) raise_current();
            }
        }
        if (from_dict_.taken(value != nullptr)) return nb::borrow(value);
        return get_attr(self_, name);
    }

private:
    static constexpr int kFields = 4;
    nb::handle self_;
    FastPath &from_dict_;
    const Name *names_[kFields];
    // Held: a field's truth test may run Python code that changes the dict.
    nb::object walked_[kFields];
    nb::object dict_;
};

// `message.latest` of an entry whose property is Message's own.
inline nb::object latest(const LatestNames &n, Shapes &shapes, nb::handle self, PyObject *message_class,
                         FastPath &from_dict) {
    Fields fields(n, self, message_class, from_dict);
    nb::object tool_calls = fields[n.tool_calls];
    if (truthy(tool_calls)) {
        nb::object result = shapes.copy(n, Shapes::calls);
        dict_set(result, n.role, fields[n.role]);
        dict_set(result, n.tool_calls, tool_calls);
        return result;
    }
    nb::object tool_call_id = fields[n.tool_call_id];
    if (truthy(tool_call_id)) {
        nb::object role = fields[n.role];
        nb::object content = last_item(fields[n.contents]);
        nb::object result = shapes.copy(n, Shapes::result);
        dict_set(result, n.role, role);
        dict_set(result, n.tool_call_id, tool_call_id);
        dict_set(result, n.content, content);
        return result;
    }
    nb::object contents = fields[n.contents];
    nb::object content = last_item(contents);
    if (PyUnicode_Check(content.ptr())) content = with_earlier_media(n, contents, content);
    nb::object role = fields[n.role];
    nb::object result = shapes.copy(n, Shapes::text);
    dict_set(result, n.role, role);
    dict_set(result, n.content, content);
    return result;
}

}  // namespace qv::render
