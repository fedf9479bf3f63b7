#include "runtime/runtime_names.hpp"
#include "runtime/function.hpp"

#include <iterator>

#include <structmember.h>

#include <cstring>

#include "runtime/args.hpp"
#include "runtime/dict_reads.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv {

using namespace runtime_names;

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef *def;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;
    PyObject *defaults;  // None or tuple
    PyObject *kwdefaults;
    PyObject *globals;
    PyObject *code;
    PyObject *dict;
    PyObject *weakrefs;
};

Held function_type_ref;  // the type, owned by the module state
PyTypeObject *g_type_of_module() { return (PyTypeObject *) function_type_ref.ptr(); }

// Python's own wording, e.g. "'a', 'b', and 'c'".
PyObject *format_missing(const FunctionDef &def, const bool *missing, int count) {
    nb::object out = nb::steal(PyUnicode_FromString(""));
    int seen = 0;
    for (size_t i = 0; i < def.params.size(); ++i) {
        if (!missing[i]) continue;
        ++seen;
        const char *sep = "";
        if (seen > 1) sep = count == 2 ? " and " : (seen == count ? ", and " : ", ");
        PyObject *part = PyUnicode_FromFormat("%s'%s'", sep, def.params[i].name);
        if (!part) return nullptr;
        PyObject *joined = PyUnicode_Concat(out.ptr(), part);
        Py_DECREF(part);
        if (!joined) return nullptr;
        out = nb::steal(joined);
    }
    return out.release().ptr();
}

PyObject *call(PyObject *callable, PyObject *const *argv, size_t nargsf, PyObject *kwnames) {
    auto *self = reinterpret_cast<Function *>(callable);
    const FunctionDef &def = *self->def;
    const Py_ssize_t nparams = (Py_ssize_t) def.params.size();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *slots[kMaxParams] = {};

    // The defaults are held for the whole call, as a Python frame holds its
    // arguments: the body may run code that replaces __defaults__.
    const nb::object defaults = nb::borrow(self->defaults);
    const Py_ssize_t ndefaults = PyTuple_Check(defaults.ptr()) ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
    for (Py_ssize_t i = 0; i < nargs && i < nparams; ++i) slots[i] = argv[i];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t found = -1;
            for (Py_ssize_t i = 0; i < nparams; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, def.params[i].name) == 0) {
                    found = i;
                    break;
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", self->qualname, key);
                return nullptr;
            }
            if (slots[found]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", self->qualname, key);
                return nullptr;
            }
            slots[found] = argv[nargs + k];
        }
    }

    // Checked after the keywords, in the interpreter's order.
    if (nargs > nparams) {
        if (ndefaults)
            PyErr_Format(PyExc_TypeError, "%U() takes from %zd to %zd positional arguments but %zd %s given",
                         self->qualname, nparams - ndefaults, nparams, nargs, nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given",
                         self->qualname, nparams, nparams == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }

    bool missing[kMaxParams] = {};
    int nmissing = 0;
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (slots[i]) continue;
        const Py_ssize_t d = i - (nparams - ndefaults);
        if (d >= 0) {
            slots[i] = PyTuple_GET_ITEM(defaults.ptr(), d);
        } else {
            missing[i] = true;
            ++nmissing;
        }
    }
    if (nmissing) {
        PyObject *names = format_missing(def, missing, nmissing);
        if (!names) return nullptr;
        PyErr_Format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", self->qualname,
                     nmissing, nmissing == 1 ? "" : "s", names);
        Py_DECREF(names);
        return nullptr;
    }

    return boundary([&] {
        for (Py_ssize_t i = 0; i < nparams; ++i)
            if (def.params[i].exact) check_exact(slots[i], def.params[i].exact, def.params[i].name);
        return def.impl(slots);
    });
}

int traverse(PyObject *op, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<Function *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

int clear(PyObject *op) {
    auto *f = reinterpret_cast<Function *>(op);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    return 0;
}

void dealloc(PyObject *op) {
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (reinterpret_cast<Function *>(op)->weakrefs) PyObject_ClearWeakRefs(op);
    clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject *descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function *>(self)->qualname, self);
}

// Functions pickle by reference, like Python functions.
PyObject *reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<Function *>(self)->qualname);
}

// ---- attributes --------------------------------------------------------

template <PyObject *Function::*Field>
PyObject *get_field(PyObject *self, void *) {
    PyObject *v = reinterpret_cast<Function *>(self)->*Field;
    return Py_NewRef(v ? v : Py_None);
}

int set_checked(PyObject *self, PyObject *value, PyObject *Function::*field, const char *attr,
                bool (*ok)(PyObject *), const char *what) {
    if (!value || !ok(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to %s", attr, what);
        return -1;
    }
    Py_XSETREF(reinterpret_cast<Function *>(self)->*field, Py_NewRef(value));
    return 0;
}

bool is_str(PyObject *v) { return PyUnicode_Check(v); }
bool is_dict(PyObject *v) { return PyDict_Check(v); }
bool is_tuple_or_none(PyObject *v) { return v == Py_None || PyTuple_Check(v); }
bool is_dict_or_none(PyObject *v) { return v == Py_None || PyDict_Check(v); }

int set_name(PyObject *s, PyObject *v, void *) { return set_checked(s, v, &Function::name, "__name__", is_str, "a string object"); }
int set_qualname(PyObject *s, PyObject *v, void *) { return set_checked(s, v, &Function::qualname, "__qualname__", is_str, "a string object"); }
int set_doc(PyObject *s, PyObject *v, void *) {
    Py_XSETREF(reinterpret_cast<Function *>(s)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
// As for Python functions: None or deletion leaves no annotations, and the
// next read makes a new empty dict.
PyObject *get_annotations(PyObject *s, void *) {
    auto *f = reinterpret_cast<Function *>(s);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *s, PyObject *v, void *) {
    if (!v || v == Py_None) {
        Py_CLEAR(reinterpret_cast<Function *>(s)->annotations);
        return 0;
    }
    return set_checked(s, v, &Function::annotations, "__annotations__", is_dict, "a dict object");
}
// Any tuple, as for Python functions (one longer than the parameter list
// fills the parameters from its last items).
int set_defaults(PyObject *s, PyObject *v, void *) {
    return set_checked(s, v ? v : Py_None, &Function::defaults, "__defaults__", is_tuple_or_none, "a tuple object");
}
int set_kwdefaults(PyObject *s, PyObject *v, void *) { return set_checked(s, v ? v : Py_None, &Function::kwdefaults, "__kwdefaults__", is_dict_or_none, "a dict object"); }

PyGetSetDef getset[] = {
    {"__name__", get_field<&Function::name>, set_name, nullptr, nullptr},
    {"__qualname__", get_field<&Function::qualname>, set_qualname, nullptr, nullptr},
    {"__doc__", get_field<&Function::doc>, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_field<&Function::defaults>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_field<&Function::kwdefaults>, set_kwdefaults, nullptr, nullptr},
    {"__globals__", get_field<&Function::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&Function::code>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// A code object whose argument names, count and flags match the function, so
// that inspect.signature and inspect.is*function read it as they read Python
// code.
nb::object make_code(const FunctionDef &def, nb::handle module_name) {
    nb::object name = own(PyUnicode_FromString(def.name));
    nb::object empty = own((PyObject *) PyCode_NewEmpty(PyUnicode_AsUTF8(module_name.ptr()), def.name, 1));
    nb::object varnames = own(PyTuple_New((Py_ssize_t) def.params.size()));
    for (size_t i = 0; i < def.params.size(); ++i)
        PyTuple_SET_ITEM(varnames.ptr(), i, own(PyUnicode_FromString(def.params[i].name)).release().ptr());
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (def.kind == Kind::generator) flags |= CO_GENERATOR;
    if (def.kind == Kind::coroutine) flags |= CO_COROUTINE;
    nb::object replace = own(PyObject_GetAttrString(empty.ptr(), "replace"));
    nb::object kwargs = own(PyDict_New());
    const Py_ssize_t n = (Py_ssize_t) def.params.size();
    check(PyDict_SetItemString(kwargs.ptr(), "co_argcount", own(PyLong_FromSsize_t(n)).ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "co_nlocals", own(PyLong_FromSsize_t(n)).ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "co_varnames", varnames.ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "co_flags", own(PyLong_FromLong(flags)).ptr()));
    check(PyDict_SetItemString(kwargs.ptr(), "co_qualname", own(PyUnicode_FromString(def.qualname)).ptr()));
    nb::object noargs = own(PyTuple_New(0));
    return own(PyObject_Call(replace.ptr(), noargs.ptr(), kwargs.ptr()));
}

}  // namespace

void init_function_type(const char *module_name) {
    if (function_type_ref) return;
    static std::string type_name = std::string(module_name) + ".native_function";
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *) dealloc},
        {Py_tp_traverse, (void *) traverse},
        {Py_tp_clear, (void *) clear},
        {Py_tp_call, (void *) PyVectorcall_Call},
        {Py_tp_descr_get, (void *) descr_get},
        {Py_tp_repr, (void *) repr},
        {Py_tp_getset, getset},
        {Py_tp_members, members},
        {Py_tp_methods, methods},
        // No Py_tp_doc: PyType_FromSpec would store it as the type's
        // __doc__, shadowing the per-function __doc__ getter above.
        {0, nullptr},
    };
    static PyType_Spec spec = {
        type_name.c_str(),
        (int) sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    function_type_ref.set(own(PyType_FromModuleAndSpec(module_object(), &spec, nullptr)));
}

PyTypeObject *function_type() { return g_type_of_module(); }

nb::object make_function(const FunctionDef &def, nb::handle defaults) {
    if (def.params.size() > (size_t) kMaxParams) raise_format(PyExc_SystemError, "too many parameters for %s", def.qualname);
    PyObject *globals = module_globals();
    nb::object module_name = nb::borrow(PyDict_GetItemString(globals, "__name__"));
    nb::object annotations = own(PyDict_New());
    for (const Param &p : def.params)
        if (p.annotation) check(PyDict_SetItemString(annotations.ptr(), p.name, own(PyUnicode_FromString(p.annotation)).ptr()));
    if (def.returns) check(PyDict_SetItemString(annotations.ptr(), "return", own(PyUnicode_FromString(def.returns)).ptr()));
    nb::object code = make_code(def, module_name);

    auto *f = PyObject_GC_New(Function, g_type_of_module());
    if (!f) raise_current();
    f->vectorcall = call;
    f->def = &def;
    f->name = PyUnicode_FromString(def.name);
    f->qualname = PyUnicode_FromString(def.qualname);
    f->module = Py_NewRef(module_name.ptr());
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    f->annotations = annotations.release().ptr();
    f->defaults = Py_NewRef(defaults.ptr() ? defaults.ptr() : Py_None);
    f->kwdefaults = Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals);
    f->code = code.release().ptr();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    nb::object result = nb::steal((PyObject *) f);
    if (!f->name || !f->qualname || !f->doc) raise_current();
    return result;
}

nb::object make_property(const FunctionDef &def) {
    nb::object fn = make_function(def);
    return own(PyObject_CallOneArg((PyObject *) &PyProperty_Type, fn.ptr()));
}

nb::object make_staticmethod(const FunctionDef &def) {
    nb::object fn = make_function(def);
    return own(PyStaticMethod_New(fn.ptr()));
}

namespace {


// The classes found to reach a native function under a name (attribute
// access object's own, the function the class attribute found first), each
// with the version tag it had then: CPython gives a class a new tag whenever
// it or a base changes, so while the tag holds the finding does.
struct NativeFound {
    PyTypeObject *type = nullptr;
    PyObject *name = nullptr;
    const FunctionDef *def = nullptr;
    unsigned int tag = 0;
};
NativeFound native_found[8];
unsigned int next_native_found = 0;

bool class_reaches_native(PyTypeObject *type, PyObject *name, const FunctionDef &def) {
    for (const NativeFound &seen : native_found)
        if (seen.type == type && seen.name == name && seen.def == &def && has_version_tag(type) &&
            seen.tag == type->tp_version_tag)
            return true;
    PyObject *found = type_lookup(type, name);
    if (!found || Py_TYPE(found) != g_type_of_module() || reinterpret_cast<Function *>(found)->def != &def) return false;
    if (type_lookup(type, getattribute_name.ptr()) != type_lookup(&PyBaseObject_Type, getattribute_name.ptr()))
        return false;
    // The lookups above gave the class a tag if it can have one.
    if (has_version_tag(type))
        native_found[next_native_found++ % std::size(native_found)] = {type, name, &def, type->tp_version_tag};
    return true;
}

bool reaches_native(nb::handle obj, PyObject *name, const FunctionDef &def) {
    if (!class_reaches_native(Py_TYPE(obj.ptr()), name, def)) return false;
    PyObject **dict = instance_dict_ptr(obj.ptr());
    if (dict && *dict) {
        // Held: a key's __eq__ run by the lookup could replace the dict.
        nb::object held = nb::borrow(*dict);
        if (PyDict_CheckExact(held.ptr())) return !remembered_item(held.ptr(), name);
        if (PyDict_GetItemWithError(held.ptr(), name)) return false;
        if (PyErr_Occurred()) raise_current();
    }
    return true;
}

FastPath native_method_direct{"native_method_direct",
                              "obj.<name> would reach this module's own native function: attribute access is "
                              "object's own, the class attribute found first is that function, the instance "
                              "dict does not shadow it"};

}  // namespace

bool resolves_to(nb::handle obj, PyObject *name, const FunctionDef &def) {
    return native_method_direct.taken(reaches_native(obj, name, def));
}

nb::object call_direct(const FunctionDef &def, PyObject *const *args, size_t nargs) {
    if (nargs != def.params.size()) raise_format(PyExc_SystemError, "bad direct call of %s", def.qualname);
    for (size_t i = 0; i < nargs; ++i)
        if (def.params[i].exact) check_exact(args[i], def.params[i].exact, def.params[i].name);
    return def.impl(args);
}

void set_function_attr(nb::handle function, const char *name, nb::handle value) {
    check(PyObject_SetAttrString(function.ptr(), name, value.ptr()));
}

}  // namespace qv
