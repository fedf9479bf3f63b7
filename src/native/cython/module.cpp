// quorvel.cython: pydantic and fastmcp support for natively compiled classes
// and functions.
//
// The body runs in the order a Python module would: the imports (every name
// a member uses is a module global, looked up when used, so it can be
// monkeypatched), then, in this order: CythonModelMeta, CythonBaseModel,
// get_cached_typeadapter, _convert_to_content, CythonFunctionTool.
#include "cython/members.hpp"
#include "cython/metaclass.hpp"
#include "runtime/module.hpp"

namespace qv::cython {
namespace {

void import_module(const char *name) { set_global(name, own(PyImport_ImportModule(name))); }

void import_names(const char *module, std::initializer_list<const char *> names) {
    for (const char *name : names) set_global(name, import_from(module, name));
}

void import_globals() {
    import_module("inspect");
    import_module("functools");
    import_names("typing", {"Annotated", "Any", "Callable", "get_args", "get_origin", "get_type_hints"});
    import_module("pydantic_core");
    import_names("pydantic", {"BaseModel", "ConfigDict", "Field", "TypeAdapter", "create_model"});
    import_names("mcp.types", {"ContentBlock", "TextContent"});
    import_names("fastmcp.tools", {"FunctionTool"});
    import_names("fastmcp.tools.tool", {"ToolResult", "default_serializer", "logger"});
    import_names("fastmcp.utilities.types", {"Audio", "File", "Image", "find_kwarg_by_type"});
    import_names("fastmcp.server.dependencies", {"get_context"});
}

void body(nb::module_) {
    import_globals();
    define_model_base(PyDict_GetItemString(module_globals(), "BaseModel"));
    define_adapter_cache();
    define_convert_to_content();
    define_function_tool();
}

}  // namespace
}  // namespace qv::cython

QUORVEL_DEFINE_MODULE(cython, "pydantic and fastmcp support for natively compiled classes and functions.", qv::cython::body)
