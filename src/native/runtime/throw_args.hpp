// The arguments of throw() on the native generators and coroutines, read as
// the interpreter reads them for its own: throw(exc) and the older
// throw(type[, value[, traceback]]).
#pragma once

#include <Python.h>

namespace qv {

// The exception instance that the arguments describe (a new reference), or
// NULL with TypeError set, with the interpreter's own checks and messages.
PyObject *thrown_exception(PyObject *const *args, Py_ssize_t nargs);

}  // namespace qv
