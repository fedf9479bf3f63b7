#include "runtime/module.hpp"

#include "runtime/dict_reads.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/function.hpp"

namespace qv {

static PyObject *g_module = nullptr;   // borrowed: see module_object()
static PyObject *g_globals = nullptr;  // borrowed from the module
static bool g_initialised = false;
static const char *g_module_name = "quorvel";

const char *module_name() { return g_module_name; }

PyObject *module_object() { return g_module; }

PyObject *module_globals() { return g_globals; }

nb::object global(const Name &name) {
    PyObject *value = remembered_item(g_globals, name.ptr());
    if (!value) {
        PyObject *builtins = PyEval_GetBuiltins();
        value = builtins ? PyDict_GetItemWithError(builtins, name.ptr()) : nullptr;
        if (!value) {
            if (PyErr_Occurred()) raise_current();
            raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        }
    }
    return nb::borrow(value);
}

void set_global(const char *name, nb::handle value) {
    check(PyDict_SetItemString(g_globals, name, value.ptr()));
}

nb::object import_from(const char *module, const char *attr) {
    nb::object mod = own(PyImport_ImportModule(module));
    PyObject *value = PyObject_GetAttrString(mod.ptr(), attr);
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", attr, module);
        }
        raise_current();
    }
    return nb::steal(value);
}

namespace {

nb::object fast_paths_impl(Args) { return fast_path_counts(); }

const FunctionDef fast_paths_def{
    "_fast_paths", "_fast_paths",
    "{name: (taken, bypassed)}: how often each of this module's fast paths was taken or bypassed.",
    {}, "dict[str, tuple[int, int]]", Kind::plain, fast_paths_impl,
};

nb::object counters_impl(Args) { return counter_counts(); }

const FunctionDef counters_def{
    "_counters", "_counters", "{name: count}: how often each event this module counts has happened.", {},
    "dict[str, int]", Kind::plain, counters_impl,
};

}  // namespace

int exec_module(PyObject *module, const char *name, ModuleBody body) {
    if (g_initialised) {
        PyErr_Format(PyExc_ImportError,
                     "module '%s' is already initialised in this process and cannot be "
                     "initialised again; use the module object from the first import",
                     name);
        return -1;
    }
    const int major = PY_MAJOR_VERSION, minor = PY_MINOR_VERSION;
    const long hex = Py_Version;
    const int run_major = (int) ((hex >> 24) & 0xff), run_minor = (int) ((hex >> 16) & 0xff);
    if (run_major != major || run_minor != minor) {
        if (PyErr_WarnFormat(nullptr, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             major, minor, name, "does not match", run_major, run_minor) < 0)
            return -1;
    }
    return boundary_int([&] {
        g_module_name = name;
        g_module = module;
        g_globals = PyModule_GetDict(module);
        create_module_state(module);
        init_function_type(name);
        set_global("_fast_paths", make_function(fast_paths_def));
        set_global("_counters", make_function(counters_def));
        set_global("_FAST_PATHS_OFF", fast_paths_off());
        body(nb::borrow<nb::module_>(module));
        g_initialised = true;
        return 0;
    });
}

}  // namespace qv
