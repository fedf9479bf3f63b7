// quorvel.modal: the chat-model client.
//
// The body runs in the order a Python module would: the imports (a missing
// dependency fails the import of this module), then LLMStatus, ToolContent,
// LLMResult and LLModal, whose string annotations pydantic resolves against
// this module's globals while each class is built.
#include "modal/fast_json.hpp"
#include "modal/history.hpp"
#include "modal/members.hpp"
#include "modal/private_api.hpp"
#include "modal/records.hpp"
#include "modal/call_reading.hpp"
#include "modal/first_try.hpp"
#include "modal/usage_hooks.hpp"
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
    // Usage figures of calls, and the settings that change how answers are read.
    set_global("_usage", own(PyImport_ImportModule("quorvel.usage")));
    set_global("_answer_settings", own(PyImport_ImportModule("quorvel._answer_settings")));
    // The one reading of its settings that a call makes.
    set_global("_call_settings", own(PyImport_ImportModule("quorvel._call_settings")));
}

void define_llmodal() {
    nb::handle base = PyDict_GetItemString(module_globals(), "CythonBaseModel");
    ClassBody llmodal("LLModal");
    llmodal.declare(llmodal_members);
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
    usage_hooks::remember(PyDict_GetItemString(module_globals(), "_usage"));
    call_reading::remember(PyDict_GetItemString(module_globals(), "_call_settings"));
    first_try::remember(PyDict_GetItemString(module_globals(), "_transport"));
    prepare_direct_entries(PyDict_GetItemString(module_globals(), "Message"));
    remember_latest_getter(PyDict_GetItemString(module_globals(), "Message"));
    define_private_types();
    set_global("_fail", make_function(fail_def));
    set_global("_begin_turn", make_function(begin_turn_def));
    set_global("__all__", own(Py_BuildValue("[sssss]", "ServerError", "LLMStatus", "ToolContent", "LLMResult", "LLModal")));
}

}  // namespace
}  // namespace qv::modal

QUORVEL_DEFINE_MODULE(modal, "The chat-model client: LLModal and its result records.", qv::modal::body)
