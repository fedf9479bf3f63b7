// Request building: headers and JSON body of one exchange, rebuilt from the
// model's state every time they are read.
#include "modal/call_reading.hpp"
#include "modal/calls.hpp"
#include "modal/members.hpp"
#include "runtime/module.hpp"

#include <cstdio>

namespace qv::modal {
namespace {

// The caller's parameters plus the tool descriptions.  Works on a shallow
// copy: the caller's extra_body must never pick up the tool keys.
nb::object extra_body(Args a) {
    nb::handle self = a[0];
    nb::object source = get_attr(self, names::extra_body);
    nb::object result;
    if (PyDict_CheckExact(source.ptr())) {
        result = own(PyDict_Copy(source.ptr()));
    } else if (source.is_none()) {
        raise_format(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
    } else {
        result = own(PyObject_CallOneArg((PyObject *) &PyDict_Type, source.ptr()));
    }
    nb::object tools = get_attr(self, names::tools);
    if (truthy(tools)) {
        nb::object schemas = get_attr(tools, names::schemas);
        dict_set(result, names::tools, schemas);
        dict_set(result, names::parallel_tool_calls, Py_True);
    }
    return result;
}

// An API key goes into a header line as it is, so a character that a header
// cannot carry (a line ending pasted with the key, any other control
// character, anything beyond Latin-1) is refused here, with a message that
// says where it is but never quotes the key: the HTTP layers would refuse
// the header with its whole value in their message, and that message is
// printed and re-raised by the call's failure path.
void check_key_text(nb::handle section, nb::handle key) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(key.ptr());
    const int kind = PyUnicode_KIND(key.ptr());
    const void *data = PyUnicode_DATA(key.ptr());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        const bool control = c < 0x20 || (c >= 0x7f && c <= 0x9f);
        if (!control && c <= 0xff) continue;
        const bool line_end = c == '\n' || c == '\r' || c == 0x85 || c == 0x2028 || c == 0x2029;
        const char *what = line_end  ? "a line ending"
                           : control ? "a control character"
                                     : "a character that an HTTP header cannot carry";
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", (unsigned) c);
        raise_format(PyExc_ValueError,
                     "the API key of section %R contains %s (%s) at position %zd of %zd; "
                     "remove it from the key where it is configured",
                     section.ptr(), what, code, i + 1, length);
    }
}

nb::object headers(Args a) {
    nb::handle self = a[0];
    nb::object result = own(PyDict_New());
    dict_set(result, names::content_type, names::application_json);
    nb::object section = get_attr(self, names::section);
    // `(key,)` or `()`: the call's reading when one is held, else the
    // configuration asked has_option, then get.
    nb::object found = call_reading::api_key(global(names::Configurator), section);
    if (!PyTuple_Check(found.ptr())) raise_format(PyExc_SystemError, "the API key lookup gave no tuple");
    if (PyTuple_GET_SIZE(found.ptr()) == 1) {
        nb::object key = nb::borrow(PyTuple_GET_ITEM(found.ptr(), 0));
        nb::object text = format_text(key);
        check_key_text(section, text);
        nb::object value = own(PyUnicode_Concat(names::bearer.ptr(), text.ptr()));
        dict_set(result, names::authorization, value);
    }
    return result;
}

// History first, then the parameters: a "messages" key of extra_body
// replaces the rendered history.
nb::object body(Args a) {
    nb::handle self = a[0];
    nb::object rendered = get_attr(self, names::messages_latest);
    nb::object result = own(PyDict_New());
    dict_set(result, names::messages, rendered);
    nb::object params = get_attr(self, names::extra_body_property);
    check(PyDict_Update(result.ptr(), params.ptr()));
    return result;
}

}  // namespace

const FunctionDef extra_body_def{"_extra_body", "LLModal._extra_body", nullptr, {{"self"}}, "dict[str, Any]",
                                 Kind::plain, extra_body};
const FunctionDef headers_def{"_headers", "LLModal._headers", nullptr, {{"self"}}, "dict[str, str]", Kind::plain,
                              headers};
const FunctionDef body_def{"_body", "LLModal._body", nullptr, {{"self"}}, "dict[str, Any]", Kind::plain, body};

}  // namespace qv::modal
