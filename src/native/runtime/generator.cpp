#include "runtime/generator.hpp"

#include "runtime/throw_args.hpp"

#include <structmember.h>

#include <string>

#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv {

namespace {

using Resume = ResumableBody::Resume;

struct Generator {
    PyObject_HEAD
    Resumable core;
    PyObject *name;
    PyObject *qualname;
    PyObject *weakrefs;
};

constexpr Flavour kGenerator{"generator", false, false};

Held generator_type_ref;  // the type, owned by the module state
PyTypeObject *g_type_of_module() { return (PyTypeObject *) generator_type_ref.ptr(); }

inline Generator *as_gen(PyObject *o) { return reinterpret_cast<Generator *>(o); }

PySendResult advance(PyObject *self, Resume how, PyObject *arg, PyObject **out) {
    return resumable_send(as_gen(self)->core, kGenerator, how, arg, out);
}

// ---- protocol -------------------------------------------------------------

PyObject *gen_iternext(PyObject *self) {
    PyObject *r;
    PySendResult st = advance(self, Resume::value, Py_None, &r);
    return iternext_result(st, r);
}

PySendResult gen_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return advance(self, Resume::value, arg, result);
}

PyObject *gen_send(PyObject *self, PyObject *arg) {
    PyObject *r;
    PySendResult st = advance(self, Resume::value, arg, &r);
    return send_result(st, r);
}

// throw(exc) and throw(type[, value[, traceback]]), normalised as the
// interpreter does.
PyObject *gen_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    nb::object exc = nb::steal(thrown_exception(args, nargs));
    if (!exc.is_valid()) return nullptr;
    PyObject *r;
    PySendResult st = advance(self, Resume::exception, exc.ptr(), &r);
    return send_result(st, r);
}

PyObject *gen_close(PyObject *self, PyObject *) { return resumable_close(as_gen(self)->core, kGenerator); }

// A generator dropped while suspended is closed, as Python does, so that the
// iterator it delegates to is closed as well.
void gen_finalize(PyObject *self) { resumable_finalize(as_gen(self)->core, kGenerator, self); }

int gen_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return resumable_traverse(as_gen(self)->core, visit, arg);
}

int gen_clear(PyObject *self) {
    Generator *g = as_gen(self);
    if (!g->core.running) resumable_finish(g->core);
    return 0;
}

void gen_dealloc(PyObject *self) {
    Generator *g = as_gen(self);
    PyObject_GC_UnTrack(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    PyTypeObject *type = Py_TYPE(self);
    resumable_finish(g->core);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *gen_repr(PyObject *self) {
    return PyUnicode_FromFormat("<generator object %U at %p>", as_gen(self)->qualname, self);
}

PyObject *get_name(PyObject *self, void *) { return Py_NewRef(as_gen(self)->name); }
PyObject *get_qualname(PyObject *self, void *) { return Py_NewRef(as_gen(self)->qualname); }
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(as_gen(self)->core.running); }
PyObject *get_yieldfrom(PyObject *self, void *) {
    PyObject *inner = as_gen(self)->core.inner;
    return Py_NewRef(inner ? inner : Py_None);
}

PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Generator, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef methods[] = {
    {"send", gen_send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", (PyCFunction) (void (*)(void)) gen_throw, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject *generator_type() {
    if (generator_type_ref) return g_type_of_module();
    nb::handle module_name = PyDict_GetItemString(module_globals(), "__name__");
    static std::string type_name = std::string(PyUnicode_AsUTF8(module_name.ptr())) + ".native_generator";
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *) gen_dealloc},
        {Py_tp_finalize, (void *) gen_finalize},
        {Py_tp_traverse, (void *) gen_traverse},
        {Py_tp_clear, (void *) gen_clear},
        {Py_tp_iter, (void *) PyObject_SelfIter},
        {Py_tp_iternext, (void *) gen_iternext},
        {Py_am_send, (void *) gen_am_send},
        {Py_tp_repr, (void *) gen_repr},
        {Py_tp_getset, getset},
        {Py_tp_members, members},
        {Py_tp_methods, methods},
        {Py_tp_doc, (void *) "Generator of a natively compiled generator function of a quorvel module."},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        type_name.c_str(),
        (int) sizeof(Generator),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    nb::object type = own(PyType_FromModuleAndSpec(module_object(), &spec, nullptr));
    // Code that tests isinstance(x, collections.abc.Generator) must accept it.
    nb::object abc_generator = import_from("collections.abc", "Generator");
    own(PyObject_CallMethod(abc_generator.ptr(), "register", "O", type.ptr()));
    generator_type_ref.set(type);
    return g_type_of_module();
}

nb::object make_generator(std::unique_ptr<GeneratorBody> body, const Name &name, const Name &qualname) {
    PyTypeObject *type = generator_type();
    auto *g = PyObject_GC_New(Generator, type);
    if (!g) raise_current();
    g->core.init(body.release());
    g->name = Py_NewRef(name.ptr());
    g->qualname = Py_NewRef(qualname.ptr());
    g->weakrefs = nullptr;
    PyObject_GC_Track(g);
    return nb::steal((PyObject *) g);
}

}  // namespace qv
