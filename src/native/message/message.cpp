// The history entry: rendering into a chat-completion message, truth value
// and JSON repr.
#include "message/message.hpp"

#include "message/names.hpp"
#include "message/render.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::message {

namespace {

Held message_class;  // the class Message, held by the module state

FastPath fields_from_dict{"message_fields_dict",
                          "the entry is of exactly the class Message and its __dict__ is a dict holding the field"};

const render::LatestNames latest_names{names::role,         names::content, names::contents, names::tool_calls,
                                       names::tool_call_id, names::type,    names::text};

render::Shapes shapes;

nb::object latest(Args a) { return render::latest(latest_names, shapes, a[0], message_class.ptr(), fields_from_dict); }

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
