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
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::cython {
namespace {

// The coroutine's locals.
// The coroutine's locals.  The validated model and the keyword arguments
// the tool function is called with are kept there as well while it runs: a
// daemon thread that the interpreter ends inside the function at exit is
// unwound through this frame without its thread state, and dropping the last
// reference to them there would free them without it (a crash from 3.12 on).
enum : int { kSelf, kArguments, kValidated, kCallArguments };

// `from fastmcp.server.context import Context`, at every call as the tool
// body does it.  Once the module is in sys.modules the import statement only
// reads it from there; going through the import machinery each time would
// also pay for a formatted AttributeError (a module has no __path__).
nb::object import_context() {
    // sys.modules is read directly: PyImport_GetModule would also look the
    // module's __spec__ up to see whether it is still being imported, which
    // costs as much again on every call.
    PyObject *module = PyDict_GetItemWithError(PyImport_GetModuleDict(), names::fastmcp_server_context.ptr());
    if (module == Py_None) module = nullptr;  // a blocked import: let the import system say so
    Py_XINCREF(module);
    if (!module) {
        if (PyErr_Occurred()) raise_current();
        static const KwNames fromlist{&names::Context};
        module = PyImport_ImportModuleLevelObject(names::fastmcp_server_context.ptr(), module_globals(), nullptr,
                                                  fromlist.ptr(), 0);
        if (!module) raise_current();
    }
    nb::object owner = nb::steal(module);
    PyObject *context = PyObject_GetAttr(module, names::Context.ptr());
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
    return own(into_python([&] { return PyObject_Call(fn.ptr(), noargs.ptr(), keywords.ptr()); }));
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

// fastmcp's own finder and inspect.isawaitable, as imported at start-up:
// the fast paths below stand in for them only while the module globals
// still lead to these objects (a monkeypatched one is always called).
Held fastmcp_finder;
Held inspect_isawaitable;

// The parameter of `fn` that takes the request context:
// find_kwarg_by_type(fn, kwarg_type=Context).  fastmcp's finder evaluates
// the type hints and reads the signature on every call, which costs more
// than the rest of a small tool's run together, and its answer for a given
// function and Context class does not change; so the answers are kept per
// function (at most kMaxRemembered functions, like the adapter cache), as
// fastmcp keeps its own per-function analysis of context parameters.
constexpr Py_ssize_t kMaxRemembered = 5000;

FastPath remembered_context_kwarg{"context_kwarg_remembered",
                                  "the module global find_kwarg_by_type is fastmcp's own finder (answers are "
                                  "kept per hashable function)"};

Held answers;       // fn -> answer, for `answered_for`
Held answered_for;  // the Context class they hold for

nb::object context_kwarg_of(nb::handle fn, nb::handle context_class) {
    static const KwNames kw{&names::kwarg_type};
    nb::object finder = global(names::find_kwarg_by_type);
    if (!remembered_context_kwarg.taken(finder.ptr() == fastmcp_finder.ptr()))
        return vcall(finder, {fn.ptr(), context_class.ptr()}, kw.ptr());

    if (!answers || answered_for.ptr() != context_class.ptr() || PyDict_GET_SIZE(answers.ptr()) >= kMaxRemembered) {
        answers.set(own(PyDict_New()));
        answered_for.set(context_class);
    }
    // The lookup runs the function's __hash__ and __eq__, and the finder is
    // Python code: either may come back here for another Context class and
    // replace the table, so this call keeps its own reference to the one it
    // is using.
    nb::object table = nb::borrow(answers.ptr());
    nb::object known = nb::borrow(PyDict_GetItemWithError(table.ptr(), fn.ptr()));
    if (known.is_valid()) return known;
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_current();
        PyErr_Clear();  // an unhashable callable: asked every time
        return vcall(finder, {fn.ptr(), context_class.ptr()}, kw.ptr());
    }
    nb::object answer = vcall(finder, {fn.ptr(), context_class.ptr()}, kw.ptr());
    dict_set(table, fn, answer);
    return answer;
}

// inspect.isawaitable(value).  Coroutines are awaitable and the built-in
// value types are not; those answers are given here without a Python frame.
FastPath known_awaitable{"isawaitable_known_types",
                         "inspect.isawaitable is the one imported at start-up and the value is a coroutine "
                         "or of an exact built-in value type"};

bool is_known_type(PyObject *v) {
    return PyCoro_CheckExact(v) || v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) ||
           PyFloat_CheckExact(v) || PyUnicode_CheckExact(v) || PyBytes_CheckExact(v) || PyList_CheckExact(v) ||
           PyTuple_CheckExact(v) || PyDict_CheckExact(v);
}

bool is_awaitable(nb::handle value) {
    nb::object isawaitable = get_attr(global(names::inspect), names::isawaitable);
    if (known_awaitable.taken(isawaitable.ptr() == inspect_isawaitable.ptr() && is_known_type(value.ptr())))
        return PyCoro_CheckExact(value.ptr());
    return truthy(vcall(isawaitable, {value.ptr()}));
}

// pydantic's own TypeAdapter.validate_python and BaseModel.model_dump, as
// imported at start-up.  Called with no options they only forward to the
// compiled validator and serializer; while the adapter and the model are of
// classes that still use these very methods, the compiled objects are called
// directly, without the two Python frames.
Held type_adapter, pydantic_validate_python, pydantic_model_dump;
Held schema_validator, schema_serializer;

FastPath direct_validate{"validate_python_direct",
                         "the adapter is exactly pydantic's TypeAdapter, its validate_python is pydantic's own "
                         "and its validator is a SchemaValidator"};
FastPath direct_dump{"model_dump_direct",
                     "the class's model_dump is pydantic's own BaseModel.model_dump and its "
                     "__pydantic_serializer__ is a SchemaSerializer"};

nb::object validate_arguments(nb::handle adapter, nb::handle arguments) {
    nb::object validator;
    if ((PyObject *) Py_TYPE(adapter.ptr()) == type_adapter.ptr() &&
        type_lookup(Py_TYPE(adapter.ptr()), names::validate_python.ptr()) == pydantic_validate_python.ptr()) {
        validator = get_attr(adapter, names::validator);
        if ((PyObject *) Py_TYPE(validator.ptr()) != schema_validator.ptr()) validator = nb::object();
    }
    if (direct_validate.taken(validator.is_valid()))
        return vcall(get_attr(validator, names::validate_python), {arguments.ptr()});
    return vcall(get_attr(adapter, names::validate_python), {arguments.ptr()});
}

// validated.model_dump() when the object has that attribute; an invalid
// handle when it has not.
nb::object dump_model(nb::handle validated) {
    PyTypeObject *type = Py_TYPE(validated.ptr());
    nb::object serializer;
    if (type_lookup(type, names::model_dump.ptr()) == pydantic_model_dump.ptr()) {
        serializer = get_attr((PyObject *) type, names::pydantic_serializer);
        if ((PyObject *) Py_TYPE(serializer.ptr()) != schema_serializer.ptr()) serializer = nb::object();
    }
    if (direct_dump.taken(serializer.is_valid())) return vcall(get_attr(serializer, names::to_python), {validated.ptr()});
    nb::object model_dump = optional_attr(validated, names::model_dump);
    if (!model_dump.is_valid()) return model_dump;
    return vcall(model_dump, {});
}

Step call_and_await(nb::handle fn, nb::handle kwargs) {
    nb::object result = call_with_keywords(fn, kwargs);
    if (is_awaitable(result)) return Step::await(std::move(result));
    return Step::finish(std::move(result));
}

bool is_model(nb::handle value) {
    PyObject *base = PyDict_GetItemWithError(module_globals(), names::BaseModel.ptr());
    if (!base) {
        if (PyErr_Occurred()) raise_current();
        return false;
    }
    return PyType_Check(base) && PyType_IsSubtype(Py_TYPE(value.ptr()), (PyTypeObject *) base);
}

// The validated values themselves, by field name, then the extra keys the
// model kept: a parameter annotated with a model (or a dataclass, or
// fastmcp's Context) receives that object, as its annotation asks, not a
// dump of it.
nb::object model_values(nb::handle model) {
    nb::object values = own(PyDict_Copy(get_attr(model, names::dunder_dict).ptr()));
    nb::object extra = get_attr(model, names::pydantic_extra);
    if (PyDict_Check(extra.ptr())) check(PyDict_Update(values.ptr(), extra.ptr()));
    return values;
}

// An argument the function does not take is an error of the call, reported
// the way pydantic reports the others ("Unexpected keyword argument"), as
// fastmcp's own tools do: dropping it would run the function on a request
// the caller did not make.  The argument model itself ignores such keys
// (get_cached_typeadapter's contract); a model that allows them passes them
// on to the function's **kwargs.
void refuse_unknown_arguments(nb::handle model, nb::handle arguments) {
    nb::handle model_class = (PyObject *) Py_TYPE(model.ptr());
    nb::object fields = get_attr(model_class, names::pydantic_fields);
    // Arguments that are all fields (the usual call) need no more checks.
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    bool all_fields = true;
    while (all_fields && PyDict_Next(arguments.ptr(), &pos, &key, &value))
        all_fields = check(PySequence_Contains(fields.ptr(), key)) != 0;
    if (all_fields) return;
    nb::object config = get_attr(model_class, names::model_config);
    nb::object extra = vcall(get_attr(config, names::get), {names::extra.ptr()});
    if (PyUnicode_Check(extra.ptr()) && PyUnicode_Compare(extra.ptr(), names::allow.ptr()) == 0) return;
    nb::object errors = own(PyList_New(0));
    pos = 0;
    while (PyDict_Next(arguments.ptr(), &pos, &key, &value)) {
        if (check(PySequence_Contains(fields.ptr(), key))) continue;
        nb::object name = PyUnicode_Check(key) ? nb::borrow(key) : own(PyObject_Str(key));
        nb::object error = own(PyDict_New());
        dict_set(error, names::type, names::unexpected_keyword_argument);
        dict_set(error, names::loc, own(PyTuple_Pack(1, name.ptr())));
        dict_set(error, names::input, value);
        check(PyList_Append(errors.ptr(), error.ptr()));
    }
    if (!PyList_GET_SIZE(errors.ptr())) return;
    nb::object title = get_attr(model_class, names::dunder_name);
    nb::object error_class = get_attr(global(names::pydantic_core), names::ValidationError);
    nb::object exc = vcall(get_attr(error_class, names::from_exception_data), {title.ptr(), errors.ptr()});
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    raise_current();
}

// Validates the arguments and calls the tool function with the validated
// values; the coroutine awaits its result when that is awaitable.
Step run_start(CoroutineLocals &locals) {
    nb::handle self = locals[kSelf];
    ensure_tool_layer();
    nb::object context_class = import_context();

    // The caller's dict is never changed, not even by the context injection.
    nb::object arguments = own(PyDict_Copy(locals[kArguments].ptr()));
    locals.set(kArguments, arguments);

    nb::object fn = get_attr(self, names::fn);
    nb::object context_kwarg = context_kwarg_of(fn, context_class);
    if (truthy(context_kwarg) && !check(PyDict_Contains(arguments.ptr(), context_kwarg.ptr()))) {
        nb::object context = vcall(global(names::get_context), {});
        dict_set(arguments, context_kwarg, context);
    }

    nb::object adapter = vcall(global(names::get_cached_typeadapter), {fn.ptr()});
    nb::object validated = validate_arguments(adapter, arguments);
    locals.set(kValidated, validated);
    if (is_model(validated)) {
        refuse_unknown_arguments(validated, arguments);
        nb::object values = model_values(validated);
        locals.set(kCallArguments, values);
        return call_and_await(fn, values);
    }
    // Not a model (an adapter of some other type): its dump, or the value
    // itself, is the mapping of keyword arguments.
    if (nb::object dumped = dump_model(validated); dumped.is_valid()) {
        nb::object model = std::move(validated);
        validated = std::move(dumped);
        // model_dump turns fastmcp's Context (a dataclass) into a plain dict;
        // the function is owed the context object itself.
        if (truthy(context_kwarg) && PyDict_Check(validated.ptr()) &&
            check(PyDict_Contains(validated.ptr(), context_kwarg.ptr())))
            dict_set(validated, context_kwarg, own(PyObject_GetAttr(model.ptr(), context_kwarg.ptr())));
    }

    locals.set(kCallArguments, validated);
    return call_and_await(fn, validated);
}

// fastmcp's ToolResult and its __init__, and mcp's ContentBlock, as found
// when the tool layer was bound.  ToolResult(content=..., structured_content=...)
// converts the content again (our blocks come back unchanged) and makes the
// structured content JSON-able again; while the class and its __init__ are
// still these, the result is assembled here the way __init__ would leave it.
Held tool_result_class, tool_result_init, content_block;

FastPath direct_tool_result{"tool_result_direct",
                            "ToolResult and its __init__ are fastmcp's own, the content is a list of content blocks "
                            "and the structured content is None or JSON-able as a dict"};

bool all_content_blocks(nb::handle content) {
    if (!PyList_CheckExact(content.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(content.ptr()); ++i)
        if (!is_instance(PyList_GET_ITEM(content.ptr(), i), content_block.ptr())) return false;
    return true;
}

// ToolResult(content=content, structured_content=structured), built without
// the call when `jsonable` says whether `structured` is JSON-able already;
// an invalid handle when the fast path does not apply.
nb::object assemble_tool_result(nb::handle cls, nb::handle content, nb::object structured, bool jsonable) {
    if (cls.ptr() != tool_result_class.ptr() || Py_TYPE(cls.ptr()) != &PyType_Type ||
        type_lookup((PyTypeObject *) cls.ptr(), names::dunder_init.ptr()) != tool_result_init.ptr() ||
        type_lookup((PyTypeObject *) cls.ptr(), names::dunder_new.ptr()) !=
            type_lookup(&PyBaseObject_Type, names::dunder_new.ptr()) ||
        !all_content_blocks(content))
        return direct_tool_result.taken(false), nb::object();
    if (!structured.is_none() && !jsonable) {
        // What __init__ does with it; any trouble is left to __init__ to report.
        try {
            structured = jsonable_python(structured);
        } catch (PythonError &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return direct_tool_result.taken(false), nb::object();
        }
        if (!PyDict_Check(structured.ptr())) return direct_tool_result.taken(false), nb::object();
    }
    if (!direct_tool_result.taken(true)) return {};
    nb::object noargs = own(PyTuple_New(0));
    nb::object result = own(PyBaseObject_Type.tp_new((PyTypeObject *) cls.ptr(), noargs.ptr(), nullptr));
    set_attr(result, names::content, content);
    set_attr(result, names::meta, Py_None);
    set_attr(result, names::structured_content, structured);
    return result;
}

// The tool result: returned as is when the function made one, else its
// content blocks and structured content.
nb::object tool_result(nb::handle self, nb::handle result) {
    nb::object tool_result_class_now = global(names::ToolResult);
    if (is_instance(result, tool_result_class_now)) return nb::borrow(result);

    static const KwNames serializer_kw{&names::serializer};
    nb::object unstructured = vcall(global(names::convert_to_content),
                                    {result.ptr(), get_attr(self, names::serializer).ptr()}, serializer_kw.ptr());

    nb::object structured = nb::none();
    bool jsonable = false;
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
            nb::object converted = jsonable_python(result);
            if (PyDict_Check(converted.ptr())) {
                structured = std::move(converted);
                jsonable = true;
            }
        } catch (PythonError &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }

    if (nb::object built = assemble_tool_result(tool_result_class_now, unstructured, structured, jsonable);
        built.is_valid())
        return built;
    static const KwNames result_kw{&names::content, &names::structured_content};
    return vcall(tool_result_class_now, {unstructured.ptr(), structured.ptr()}, result_kw.ptr());
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
    fastmcp_finder.set(global(names::find_kwarg_by_type));
    inspect_isawaitable.set(get_attr(global(names::inspect), names::isawaitable));
    type_adapter.set(global(names::TypeAdapter));
    pydantic_validate_python.set(own(PyObject_GetAttr(type_adapter.ptr(), names::validate_python.ptr())));
    pydantic_model_dump.set(own(PyObject_GetAttr(global(names::BaseModel).ptr(), names::model_dump.ptr())));
    schema_validator.set(import_from("pydantic_core", "SchemaValidator"));
    schema_serializer.set(import_from("pydantic_core", "SchemaSerializer"));
    tool_result_class.set(import_from("fastmcp.tools.tool", "ToolResult"));
    tool_result_init.set(own(PyObject_GetAttr(tool_result_class.ptr(), names::dunder_init.ptr())));
    content_block.set(import_from("mcp.types", "ContentBlock"));
    remember_default_serializer();
    remember_text_block_class();
    remember_to_jsonable();

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
