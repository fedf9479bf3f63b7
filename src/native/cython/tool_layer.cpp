// The tool layer of quorvel.cython, loaded on first use.
//
// fastmcp and mcp take most of the time of importing this module (and so of
// importing quorvel.modal, which needs only CythonBaseModel), so the names
// taken from them, and CythonFunctionTool, which derives from fastmcp's
// FunctionTool, are not bound at import.  They are bound the first time one
// of them is asked for: by a module attribute read (the module's
// __getattr__, so `from quorvel.cython import CythonFunctionTool` works), or
// by _convert_to_content or CythonFunctionTool.run before they read them.
// Once bound they are ordinary module globals that tests can replace; a name
// bound before the layer is loaded is kept.
#include <cstring>

#include "cython/members.hpp"
#include "cython/names.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::cython {
namespace {

struct LazyImport {
    const char *module;
    std::initializer_list<const char *> names;
};

const LazyImport kLazyImports[] = {
    {"mcp.types", {"ContentBlock", "TextContent"}},
    {"fastmcp.tools", {"FunctionTool"}},
    {"fastmcp.tools.tool", {"ToolResult", "default_serializer", "logger"}},
    {"fastmcp.utilities.types", {"Audio", "File", "Image", "find_kwarg_by_type"}},
    {"fastmcp.server.dependencies", {"get_context"}},
};

constexpr const char *kToolClass = "CythonFunctionTool";

// fastmcp's import of authlib announces a deprecation (forced through with an
// "always" filter) that concerns fastmcp, not its users.
constexpr const char *kAuthlibNotice = "authlib.jose module is deprecated";

bool g_loaded = false;

bool is_lazy_name(PyObject *name) {
    if (!PyUnicode_Check(name)) return false;
    const char *text = PyUnicode_AsUTF8(name);
    if (!text) raise_current();
    if (!std::strcmp(text, kToolClass)) return true;
    for (const LazyImport &entry : kLazyImports)
        for (const char *lazy : entry.names)
            if (!std::strcmp(text, lazy)) return true;
    return false;
}

bool bound(const char *name) {
    PyObject *value = PyDict_GetItemString(module_globals(), name);
    return value != nullptr;
}

void bind_imports() {
    for (const LazyImport &entry : kLazyImports)
        for (const char *name : entry.names)
            if (!bound(name)) set_global(name, import_from(entry.module, name));
}

// Runs the imports with warnings recorded, then shows again every warning
// but authlib's notice.
void bind_imports_quietly() {
    nb::object warnings = own(PyImport_ImportModule("warnings"));
    nb::object record = kwnames({&names::record});
    nb::object catcher = vcall(get_attr(warnings, names::catch_warnings), {Py_True}, record.ptr());
    nb::object caught = vcall(get_attr(catcher, names::dunder_enter), {});
    try {
        bind_imports();
    }
    QV_RETHROW_FORCED_UNWIND
    catch (...) {
        vcall(get_attr(catcher, names::dunder_exit), {Py_None, Py_None, Py_None});
        throw;
    }
    vcall(get_attr(catcher, names::dunder_exit), {Py_None, Py_None, Py_None});

    nb::object iter = own(PyObject_GetIter(caught.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object entry = nb::steal(raw);
        nb::object message = get_attr(entry, names::message);
        nb::object text = own(PyObject_Str(message.ptr()));
        const char *utf8 = PyUnicode_AsUTF8(text.ptr());
        if (!utf8) raise_current();
        if (!std::strncmp(utf8, kAuthlibNotice, std::strlen(kAuthlibNotice))) continue;
        vcall(get_attr(warnings, names::warn_explicit),
              {message.ptr(), get_attr(entry, names::category).ptr(), get_attr(entry, names::filename).ptr(),
               get_attr(entry, names::lineno).ptr()});
    }
    if (PyErr_Occurred()) raise_current();
}

// module.__getattr__(name): binds the tool layer when `name` belongs to it.
nb::object module_getattr(Args a) {
    nb::handle name = a[0];
    if (is_lazy_name(name.ptr())) {
        ensure_tool_layer();
        PyObject *value = PyDict_GetItemWithError(module_globals(), name.ptr());
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) raise_current();
    }
    raise_format(PyExc_AttributeError, "module '%s' has no attribute '%U'", QUORVEL_MODULE_NAME, name.ptr());
}

// module.__dir__(): the bound globals and the names of the tool layer.
nb::object module_dir(Args) {
    nb::object listing = own(PyDict_Keys(module_globals()));
    for (const LazyImport &entry : kLazyImports)
        for (const char *name : entry.names)
            if (!bound(name)) check(PyList_Append(listing.ptr(), own(PyUnicode_FromString(name)).ptr()));
    if (!bound(kToolClass)) check(PyList_Append(listing.ptr(), own(PyUnicode_FromString(kToolClass)).ptr()));
    check(PyList_Sort(listing.ptr()));
    return listing;
}

const FunctionDef getattr_def{
    "__getattr__", "__getattr__", "Bind the tool layer when one of its names is first read.",
    {{"name", "str"}}, "Any", Kind::plain, module_getattr,
};

const FunctionDef dir_def{
    "__dir__", "__dir__", "The module's names, including those bound on first use.",
    {}, "list[str]", Kind::plain, module_dir,
};

}  // namespace

void ensure_tool_layer() {
    if (g_loaded) return;
    bind_imports_quietly();
    if (!bound(kToolClass)) define_function_tool();
    g_loaded = true;
}

void define_tool_layer_access() {
    set_global("__getattr__", make_function(getattr_def));
    set_global("__dir__", make_function(dir_def));
}

}  // namespace qv::cython
