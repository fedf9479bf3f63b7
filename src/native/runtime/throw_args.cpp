#include "runtime/throw_args.hpp"

namespace qv {

PyObject *thrown_exception(PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at %s %d argument%s, got %zd", nargs < 1 ? "least" : "most",
                     nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        return nullptr;
    }
    PyObject *type = args[0];
    PyObject *value = nargs > 1 ? args[1] : nullptr;
    PyObject *tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(type)) {
        PyObject *t = Py_NewRef(type), *v = Py_XNewRef(value), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (b && v) PyException_SetTraceback(v, b);
        Py_XDECREF(t);
        Py_XDECREF(b);
        if (!v) PyErr_SetString(PyExc_SystemError, "throw(): exception could not be created");
        return v;
    }
    if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        if (tb) PyException_SetTraceback(type, tb);
        return Py_NewRef(type);
    }
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
}

}  // namespace qv
