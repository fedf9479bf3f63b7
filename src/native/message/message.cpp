// The history entry: rendering into a chat-completion message, truth value
// and JSON repr.
#include "message/message.hpp"

#include "message/names.hpp"
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
    for (Py_ssize_t i = PySequence_Size(contents.ptr()) - 1; i >= 0; --i) {
        nb::object version = own(PySequence_GetItem(contents.ptr(), i));
        if (is_instance(version, list_type)) {
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

nb::object latest(Args a) {
    nb::handle self = a[0];
    nb::object result = own(PyDict_New());
    nb::object tool_calls = get_attr(self, names::tool_calls);
    if (truthy(tool_calls)) {
        dict_set(result, names::role, get_attr(self, names::role));
        dict_set(result, names::tool_calls, tool_calls);
        return result;
    }
    nb::object tool_call_id = get_attr(self, names::tool_call_id);
    if (truthy(tool_call_id)) {
        nb::object role = get_attr(self, names::role);
        nb::object content = last_item(get_attr(self, names::contents));
        dict_set(result, names::role, role);
        dict_set(result, names::tool_call_id, tool_call_id);
        dict_set(result, names::content, content);
        return result;
    }
    nb::object contents = get_attr(self, names::contents);
    nb::object content = last_item(contents);
    if (PyUnicode_Check(content.ptr())) content = with_earlier_media(contents, content);
    dict_set(result, names::role, get_attr(self, names::role));
    dict_set(result, names::content, content);
    return result;
}

nb::object truth(Args a) {
    nb::object contents = get_attr(a[0], names::contents);
    return nb::borrow(truthy(contents) ? Py_True : Py_False);
}

nb::object repr(Args a) {
    nb::object rendered = get_attr(a[0], names::latest);
    static nb::handle kw = kwnames({&names::ensure_ascii}).release();
    nb::object dumps = get_attr(global(names::json), names::dumps);
    return vcall(dumps, {rendered.ptr(), Py_False}, kw.ptr());
}

}  // namespace

const FunctionDef latest_def{"latest", "Message.latest", nullptr, {{"self"}}, "dict[str, Any]", Kind::plain, latest};
const FunctionDef bool_def{"__bool__", "Message.__bool__", nullptr, {{"self"}}, "bool", Kind::plain, truth};
const FunctionDef repr_def{"__repr__", "Message.__repr__", nullptr, {{"self"}}, "str", Kind::plain, repr};

}  // namespace qv::message
