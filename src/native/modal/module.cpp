// quorvel.modal: the chat-model client.
//
// The body runs in the order a Python module would: the imports (a missing
// dependency fails the import of this module), then LLMStatus, ToolContent,
// LLMResult and LLModal, whose string annotations pydantic resolves against
// this module's globals while each class is built.
#include "modal/fast_json.hpp"
#include "modal/members.hpp"
#include "runtime/classes.hpp"
#include "runtime/generator.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::modal {
namespace {

void import_globals() {
    set_global("json", own(PyImport_ImportModule("json")));
    set_global("StrEnum", import_from("enum", "StrEnum"));
    set_global("Any", import_from("typing", "Any"));
    set_global("Iterator", import_from("typing", "Iterator"));
    set_global("requests", own(PyImport_ImportModule("requests")));
    set_global("BaseModel", import_from("pydantic", "BaseModel"));
    set_global("Field", import_from("pydantic", "Field"));
    set_global("Configurator", import_from("quorvel.config", "Configurator"));
    set_global("CythonBaseModel", import_from("quorvel.cython", "CythonBaseModel"));
    set_global("Message", import_from("quorvel.message", "Message"));
    set_global("MessageRole", import_from("quorvel.message", "MessageRole"));
    set_global("Tools", import_from("quorvel.tools", "Tools"));
    // Beyond the classes above: how exchanges reach the server, and the
    // error a failed answer raises.
    set_global("_transport", own(PyImport_ImportModule("quorvel._transport")));
    set_global("ServerError", import_from("quorvel._server_error", "ServerError"));
}

void define_llmodal() {
    PyObject *g = module_globals();
    nb::handle list_type = (PyObject *) &PyList_Type, dict_type = (PyObject *) &PyDict_Type;
    nb::handle tools_type = PyDict_GetItemString(g, "Tools");
    nb::handle base = PyDict_GetItemString(g, "CythonBaseModel");

    ClassBody llmodal("LLModal");
    llmodal.annotate("section", "str", str("llm"))
        .annotate("endpoint_url", "str", str(""))
        .annotate("system_prompt", "str", str(""))
        .annotate("images", "list[str]", field_default_factory(list_type))
        .annotate("video", "list[str]", field_default_factory(list_type))
        .annotate("tools", "Tools", field_default_factory(tools_type))
        .annotate("messages", "list[Message]", field_default_factory(list_type))
        .annotate("extra_body", "dict[str, Any]", field_default_factory(dict_type))
        .annotate("retry", "bool", Py_False)
        .annotate("tool_calls", "list[dict[str, Any]]", field_default_factory(list_type))
        .annotate("tool_calls_limit", "int", own(PyLong_FromLong(3)))
        .annotate("_tool_calls_count", "int", own(PyLong_FromLong(0)))
        .annotate("_close", "bool", Py_False)
        .annotate("_default", "str", str("The server is busy. Please try again later."))
        .method(reset_def)
        .property(stream_def)
        .property(extra_body_def)
        .property(headers_def)
        .property(body_def)
        .property(messages_latest_def)
        .method(message_latest_def)
        .method(add_message_def)
        .method(add_tool_calls_def)
        .method(message_process_def)
        .staticmethod(t_calls_beautify_def)
        .staticmethod(t_results_beautify_def)
        .method(response_def)
        .method(stream_response_def)
        .method(tool_calls_def)
        .method(core_call_def)
        .method(invoke_def);
    set_global("LLModal", llmodal.build((PyObject *) Py_TYPE(base.ptr()), {base}));
}

void body(nb::module_) {
    import_globals();
    // Created now, so that the stream generators are registered as
    // collections.abc.Generator from the moment the module is imported.
    generator_type();
    define_result_types();
    define_llmodal();
    fast_json::remember_originals();
    set_global("__all__", own(Py_BuildValue("[sssss]", "ServerError", "LLMStatus", "ToolContent", "LLMResult", "LLModal")));
}

}  // namespace
}  // namespace qv::modal

QUORVEL_DEFINE_MODULE(modal, "The chat-model client: LLModal and its result records.", qv::modal::body)
