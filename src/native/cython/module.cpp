// quorvel.cython: pydantic and fastmcp support for natively compiled classes
// and functions.
//
// The body runs in the order a Python module would: the imports (every name
// a member uses is a module global, looked up when used, so it can be
// monkeypatched), then, in this order: CythonModelMeta, CythonBaseModel,
// get_cached_typeadapter, _convert_to_content.  The names taken from fastmcp
// and mcp, and CythonFunctionTool, are bound on first use (tool_layer.cpp):
// importing them costs several times what the rest of the module does, and
// most importers (quorvel.modal among them) need only CythonBaseModel.
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
}

void define_public_names() {
    nb::object names =
        own(Py_BuildValue("[ssss]", "CythonModelMeta", "CythonBaseModel", "get_cached_typeadapter", "CythonFunctionTool"));
    set_global("__all__", names);
}

void body(nb::module_) {
    import_globals();
    define_model_base(PyDict_GetItemString(module_globals(), "BaseModel"));
    define_adapter_cache();
    define_convert_to_content();
    define_tool_layer_access();
    define_public_names();
}

}  // namespace
}  // namespace qv::cython

QUORVEL_DEFINE_MODULE(cython, "pydantic and fastmcp support for natively compiled classes and functions.", qv::cython::body)
