// The result record: LLMStatus, ToolContent and LLMResult, which carry every
// outcome of a call (one record per call, or one per streamed chunk).
#include "modal/calls.hpp"
#include "modal/members.hpp"
#include "modal/records.hpp"
#include "runtime/classes.hpp"
#include "runtime/module.hpp"

namespace qv::modal {
namespace {

// left + right, with a fresh copy of the left so neither operand changes.
// How each field combines follows from its declaration (llmresult_members):
// a map (a factory-made dict: tool calls and results by id) is updated, a
// text is joined, anything else (the status) is the right's.
nb::object add(Args a) {
    nb::handle self = a[0], other = a[1];
    nb::object dump = call_method(self, names::model_dump);
    nb::object noargs = own(PyTuple_New(0));
    nb::object result = own(PyObject_Call(global(names::LLMResult).ptr(), noargs.ptr(), dump.ptr()));

    for (const Member &member : llmresult_members) {
        if (member.kind != Member::Kind::field) continue;
        nb::object mine = own(PyObject_GetAttrString(result.ptr(), member.name));
        nb::object theirs = own(PyObject_GetAttrString(other.ptr(), member.name));
        switch (member.value.kind) {
            case FieldDefault::Kind::dict_factory:
                // dict.update: an id known on both sides keeps the left's
                // position and takes the right's object as it is.
                call_method(mine, names::update, {theirs.ptr()});
                break;
            case FieldDefault::Kind::text:
                check(PyObject_SetAttrString(result.ptr(), member.name,
                                             own(PyNumber_InPlaceAdd(mine.ptr(), theirs.ptr())).ptr()));
                break;
            default:
                check(PyObject_SetAttrString(result.ptr(), member.name, theirs.ptr()));
                break;
        }
    }
    return result;
}

}  // namespace

const FunctionDef result_add_def{"__add__", "LLMResult.__add__", nullptr,
                                 {{"self"}, {"other", "'LLMResult'"}}, "'LLMResult'", Kind::plain, add};

void define_result_types() {
    PyObject *g = module_globals();
    nb::handle str_enum = PyDict_GetItemString(g, "StrEnum");
    nb::handle base_model = PyDict_GetItemString(g, "BaseModel");
    nb::handle model_meta = (PyObject *) Py_TYPE(base_model.ptr());

    nb::object members = own(Py_BuildValue("((ss)(ss)(ss)(ss)(ss))", "idle", "idle", "answer", "answer", "reason",
                                           "reason", "tool_calls", "tool_calls", "tool_results", "tool_results"));
    nb::object args = own(Py_BuildValue("(sO)", "LLMStatus", members.ptr()));
    nb::object kwargs = own(Py_BuildValue("{ssss}", "module", QUORVEL_MODULE_NAME, "qualname", "LLMStatus"));
    nb::object status = own(PyObject_Call(str_enum.ptr(), args.ptr(), kwargs.ptr()));
    set_global("LLMStatus", status);

    ClassBody tool_content("ToolContent");
    tool_content.declare(tool_content_members);
    set_global("ToolContent", tool_content.build(model_meta, {base_model}));

    ClassBody result("LLMResult");
    result.declare(llmresult_members);
    nb::object result_class = result.build(model_meta, {base_model});
    set_global("LLMResult", result_class);
    prepare_direct_results(result_class, status);
}

}  // namespace qv::modal
