// Tool-call execution: recording a batch in the history, running it through
// the registry against the per-call limit, and the maps of calls and results
// that result records carry.
#include "modal/calls.hpp"
#include "modal/exchange.hpp"
#include "modal/members.hpp"
#include "runtime/module.hpp"
#include "runtime/pydantic_fast.hpp"

namespace qv::modal {
namespace {

// json.loads(text) when it yields a str or an object; otherwise the text as
// it came.  Text that is not JSON is a normal answer from a tool, and a tool
// returning 42 or a list must not fail the whole call.
nb::object decoded(nb::handle text) {
    nb::object loads = get_attr(global(names::json), names::loads);
    if (PyObject *value = PyObject_CallOneArg(loads.ptr(), text.ptr())) {
        nb::object result = nb::steal(value);
        if (PyUnicode_Check(value) || PyDict_Check(value)) return result;
        return nb::borrow(text);
    }
    nb::object error = fetch_exception();
    nb::object decode_error = get_attr(get_attr(global(names::json), names::decoder), names::JSONDecodeError);
    if (PyErr_GivenExceptionMatches(error.ptr(), decode_error.ptr())) return nb::borrow(text);
    raise_exception(error);
}

nb::object tool_content(nb::handle name, nb::handle content) {
    nb::object fields = own(PyDict_New());
    dict_set(fields, names::name, name);
    dict_set(fields, names::content, content);
    return new_model(global(names::ToolContent), fields);
}

// Keyed by call id; a repeated id replaces the earlier entry in its place.
nb::object t_calls_beautify(Args a) {
    nb::handle tool_calls = a[0];
    nb::object result = own(PyDict_New());
    nb::object iter = own(PyObject_GetIter(tool_calls.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object call = nb::steal(raw);
        nb::object content = decoded(getitem(getitem(call, names::function), names::arguments));
        nb::object id = getitem(call, names::id);
        nb::object name = getitem(getitem(call, names::function), names::name);
        dict_set(result, id, tool_content(name, content));
    }
    if (PyErr_Occurred()) raise_current();
    return result;
}

// Results whose id matches no call stay in the history but not in the map;
// the name comes from the matching call.
nb::object t_results_beautify(Args a) {
    nb::handle tool_calls = a[0], tool_results = a[1];
    nb::object result = own(PyDict_New());
    nb::object iter = own(PyObject_GetIter(tool_results.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object message = nb::steal(raw);
        nb::object tid = get_attr(message, names::tool_call_id);
        if (!check(PyDict_Contains(tool_calls.ptr(), tid.ptr()))) continue;
        nb::object content = decoded(last_item(get_attr(message, names::contents)));
        nb::object name = get_attr(getitem(tool_calls, tid), names::name);
        dict_set(result, tid, tool_content(name, content));
    }
    if (PyErr_Occurred()) raise_current();
    return result;
}

nb::object run_tool_calls(Args a) {
    nb::handle self = a[0];
    static const KwNames kw_turn{&names::role, &names::content};

    nb::object count = get_attr(self, names::tool_calls_count);
    nb::object limit = get_attr(self, names::tool_calls_limit);
    if (check(PyObject_RichCompareBool(count.ptr(), limit.ptr(), Py_GE))) {
        // An answer that ends the history (this exchange's text before its
        // calls) stays as it is; otherwise the fallback answers, as an entry
        // of its own.  The failure path that follows decides again for the
        // exchange as a whole.
        if (!exchange::ends_with_answer(self)) exchange::record_fallback_entry(self);
        call_method(self, names::reset);
        nb::object fallback = get_attr(self, names::default_);
        nb::object error = own(PyObject_CallOneArg(PyExc_ValueError, fallback.ptr()));
        PyErr_SetObject(PyExc_ValueError, error.ptr());
        raise_current();
    }

    // The batch is recorded as an entry of its own, never merged into the
    // previous answer.
    nb::object history = get_attr(self, names::messages);
    static const KwNames kw_calls{&names::role, &names::tool_calls};
    nb::object assistant = get_attr(global(names::MessageRole), names::assistant);
    nb::object calls = get_attr(self, names::tool_calls);
    append(history, vcall(global(names::Message), {assistant.ptr(), calls.ptr()}, kw_calls.ptr()));

    nb::object tools = get_attr(self, names::tools);
    calls = get_attr(self, names::tool_calls);
    nb::object results = vcall(tools, {calls.ptr()});
    call_method(get_attr(self, names::messages), names::extend, {results.ptr()});
    set_attr(self, names::tool_calls, own(PyList_New(0)));
    count = get_attr(self, names::tool_calls_count);
    nb::object one = own(PyLong_FromLong(1));
    set_attr(self, names::tool_calls_count, own(PyNumber_InPlaceAdd(count.ptr(), one.ptr())));

    if (!PyList_CheckExact(results.ptr()))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(results.ptr())->tp_name);
    return results;
}

}  // namespace

const FunctionDef t_calls_beautify_def{"_t_calls_beautify", "LLModal._t_calls_beautify", nullptr,
                                       {{"tool_calls", "list[dict[str, Any]]", &PyList_Type}},
                                       "dict[str, ToolContent]", Kind::plain, t_calls_beautify};
const FunctionDef t_results_beautify_def{"_t_results_beautify", "LLModal._t_results_beautify", nullptr,
                                         {{"tool_calls", "dict[str, ToolContent]", &PyDict_Type},
                                          {"tool_results", "list[Message]", &PyList_Type}},
                                         "dict[str, ToolContent]", Kind::plain, t_results_beautify};
const FunctionDef tool_calls_def{"_tool_calls", "LLModal._tool_calls", nullptr, {{"self"}}, "list[Message]",
                                 Kind::plain, run_tool_calls};

}  // namespace qv::modal
