// quorvel.message: the speaker roles and the history entry.
//
// The body runs in the order a Python module would: imports bound as module
// globals, then MessageRole, then Message, built by pydantic's metaclass.
#include "message/message.hpp"
#include "runtime/classes.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::message {
namespace {

void body(nb::module_) {
    set_global("json", own(PyImport_ImportModule("json")));
    nb::object str_enum = import_from("enum", "StrEnum");
    set_global("StrEnum", str_enum);
    set_global("Any", import_from("typing", "Any"));
    nb::object base_model = import_from("pydantic", "BaseModel");
    set_global("BaseModel", base_model);
    set_global("Field", import_from("pydantic", "Field"));

    // class MessageRole(StrEnum): system, user, assistant, tool
    nb::object members = own(Py_BuildValue("((ss)(ss)(ss)(ss))", "system", "system", "user", "user", "assistant",
                                           "assistant", "tool", "tool"));
    nb::object args = own(Py_BuildValue("(sO)", "MessageRole", members.ptr()));
    nb::object kwargs = own(Py_BuildValue("{ssss}", "module", QUORVEL_MODULE_NAME, "qualname", "MessageRole"));
    set_global("MessageRole", own(PyObject_Call(str_enum.ptr(), args.ptr(), kwargs.ptr())));

    nb::handle list_type = (PyObject *) &PyList_Type;
    ClassBody message("Message");
    message.annotate("role", "MessageRole")
        .annotate("contents", "list[str | list[dict[str, Any]]]", field_default_factory(list_type))
        .annotate("tool_call_id", "str", str(""))
        .annotate("tool_calls", "list[dict[str, Any]]", field_default_factory(list_type))
        .property(latest_def)
        .method(bool_def)
        .method(repr_def);
    nb::object message_class = message.build((PyObject *) Py_TYPE(base_model.ptr()), {base_model});
    remember_message_class(message_class);
    set_global("Message", message_class);
    set_global("__all__", own(Py_BuildValue("[ss]", "MessageRole", "Message")));
}

}  // namespace
}  // namespace qv::message

QUORVEL_DEFINE_MODULE(message, "Speaker roles and the conversation history entry.", qv::message::body)
