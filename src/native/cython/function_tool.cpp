// CythonFunctionTool: fastmcp's FunctionTool for natively compiled
// functions.  Its `run` validates the arguments with this module's own
// adapter cache (fastmcp's introspection does not see through compiled
// functions) and converts the return value with this module's own
// conversion; everything else is FunctionTool's.
//
// `run` is an `async def`: calling it only checks that `arguments` is exactly
// a dict and returns a native coroutine; the body runs when the server awaits
// it, suspending only while it awaits the tool function's own awaitable.
#include "cython/members.hpp"
#include "cython/names.hpp"
#include "runtime/classes.hpp"
#include "runtime/coroutine.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::cython {
namespace {

// The coroutine's locals.
enum : int { kSelf, kArguments };

// `from fastmcp.server.context import Context`, at every call as the tool
// body does it (a sys.modules hit after the first time).
nb::object import_context() {
    static nb::handle fromlist = kwnames({&names::Context}).release();
    nb::object module = own(PyImport_ImportModuleLevelObject(names::fastmcp_server_context.ptr(), module_globals(),
                                                             nullptr, fromlist.ptr(), 0));
    PyObject *context = PyObject_GetAttr(module.ptr(), names::Context.ptr());
    if (!context) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        raise_format(PyExc_ImportError, "cannot import name '%U' from '%U'", names::Context.ptr(),
                     names::fastmcp_server_context.ptr());
    }
    return nb::steal(context);
}

// fn(**kwargs), with the interpreter's check that kwargs is a mapping.
nb::object call_with_keywords(nb::handle fn, nb::handle kwargs) {
    nb::object keywords = nb::borrow(kwargs);
    if (!PyDict_CheckExact(kwargs.ptr())) {
        if (!PyDict_Check(kwargs.ptr()) && !PyObject_HasAttrString(kwargs.ptr(), "keys"))
            raise_format(PyExc_TypeError, "%.200s%.200s argument after ** must be a mapping, not %.200s",
                         PyEval_GetFuncName(fn.ptr()), PyEval_GetFuncDesc(fn.ptr()), Py_TYPE(kwargs.ptr())->tp_name);
        keywords = own(PyDict_New());
        check(PyDict_Merge(keywords.ptr(), kwargs.ptr(), 1));
    }
    nb::object noargs = own(PyTuple_New(0));
    return own(PyObject_Call(fn.ptr(), noargs.ptr(), keywords.ptr()));
}

// hasattr(obj, name) and the attribute: an AttributeError means absent.
nb::object optional_attr(nb::handle obj, const Name &name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_current();
        PyErr_Clear();
        return nb::object();
    }
    return nb::steal(value);
}

// Validates the arguments and calls the tool function; the coroutine awaits
// its result when that is awaitable.
Step run_start(CoroutineLocals &locals) {
    nb::handle self = locals[kSelf];
    nb::object context_class = import_context();

    // The caller's dict is never changed, not even by the context injection.
    nb::object arguments = own(PyDict_Copy(locals[kArguments].ptr()));
    locals.set(kArguments, arguments);

    static nb::handle kind_kw = kwnames({&names::kwarg_type}).release();
    nb::object context_kwarg =
        vcall(global(names::find_kwarg_by_type), {get_attr(self, names::fn).ptr(), context_class.ptr()}, kind_kw.ptr());
    if (truthy(context_kwarg) && !check(PyDict_Contains(arguments.ptr(), context_kwarg.ptr()))) {
        nb::object context = vcall(global(names::get_context), {});
        dict_set(arguments, context_kwarg, context);
    }

    nb::object adapter = vcall(global(names::get_cached_typeadapter), {get_attr(self, names::fn).ptr()});
    nb::object validated = vcall(get_attr(adapter, names::validate_python), {arguments.ptr()});
    if (nb::object model_dump = optional_attr(validated, names::model_dump); model_dump.is_valid())
        validated = vcall(model_dump, {});

    nb::object result = call_with_keywords(get_attr(self, names::fn), validated);
    nb::object inspect = global(names::inspect);
    if (truthy(vcall(get_attr(inspect, names::isawaitable), {result.ptr()}))) return Step::await(std::move(result));
    return Step::finish(std::move(result));
}

// The tool result: returned as is when the function made one, else its
// content blocks and structured content.
nb::object tool_result(nb::handle self, nb::handle result) {
    nb::object tool_result_class = global(names::ToolResult);
    if (is_instance(result, tool_result_class)) return nb::borrow(result);

    static nb::handle serializer_kw = kwnames({&names::serializer}).release();
    nb::object unstructured = vcall(global(names::convert_to_content),
                                    {result.ptr(), get_attr(self, names::serializer).ptr()}, serializer_kw.ptr());

    nb::object structured = nb::none();
    nb::object output_schema = get_attr(self, names::output_schema);
    if (!output_schema.is_none()) {
        nb::object wrap = vcall(get_attr(output_schema, names::get), {names::wrap_marker.ptr()});
        if (truthy(wrap)) {
            structured = own(PyDict_New());
            dict_set(structured, names::result, result);
        } else {
            structured = nb::borrow(result);
        }
    }
    if (structured.is_none()) {
        // Without a schema, a result whose JSON form is an object is
        // offered as structured content too; anything else is not.
        try {
            nb::object to_jsonable = get_attr(global(names::pydantic_core), names::to_jsonable_python);
            nb::object jsonable = vcall(to_jsonable, {result.ptr()});
            if (PyDict_Check(jsonable.ptr())) structured = std::move(jsonable);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }

    static nb::handle result_kw = kwnames({&names::content, &names::structured_content}).release();
    return vcall(tool_result_class, {unstructured.ptr(), structured.ptr()}, result_kw.ptr());
}

Step run_resume(CoroutineLocals &locals, nb::handle awaited) {
    return Step::finish(tool_result(locals[kSelf], awaited));
}

Step run_start_and_finish(CoroutineLocals &locals) {
    Step step = run_start(locals);
    if (step.awaits) return step;
    return run_resume(locals, step.value);
}

const CoroutineDef run_coroutine{"run", "CythonFunctionTool.run", run_start_and_finish, run_resume};

nb::object run(Args a) { return make_coroutine(run_coroutine, {a[0], a[1]}); }

const FunctionDef run_def{
    "run",
    "CythonFunctionTool.run",
    "Run the tool with arguments.",
    {{"self"}, {"arguments", "dict[str, Any]", &PyDict_Type}},
    "ToolResult",
    Kind::coroutine,
    run,
};

}  // namespace

void define_function_tool() {
    init_coroutine_type();

    nb::object run_function = make_function(run_def);
    // asyncio.iscoroutinefunction looks for this marker before it looks at
    // the code flags.
    set_function_attr(run_function, "_is_coroutine", import_from("asyncio.coroutines", "_is_coroutine"));

    PyObject *g = module_globals();
    nb::handle base = PyDict_GetItemString(g, "CythonBaseModel");
    nb::handle function_tool = PyDict_GetItemString(g, "FunctionTool");
    nb::handle meta = PyDict_GetItemString(g, "CythonModelMeta");
    ClassBody tool("CythonFunctionTool");
    tool.set("run", run_function);
    set_global("CythonFunctionTool", tool.build(meta, {base, function_tool}));
}

}  // namespace qv::cython
