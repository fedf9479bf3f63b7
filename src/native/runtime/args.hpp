// Exact-type argument checks.  A parameter annotated with a built-in type
// accepts exactly that type: subclasses and None are refused, with the same
// messages that compiled Cython code gives.
#pragma once

#include "runtime/errors.hpp"

namespace qv {

// "Argument 'name' has incorrect type (expected str, got NoneType)"
[[noreturn]] void raise_argument_type(PyObject *value, PyTypeObject *expected, const char *name);

inline void check_exact(PyObject *value, PyTypeObject *expected, const char *name) {
    if (Py_TYPE(value) != expected) raise_argument_type(value, expected, name);
}

// A local declared `int`: exactly an int or None, else
// "Expected int, got <type>".
inline void check_int_or_none(PyObject *value) {
    if (value != Py_None && !PyLong_CheckExact(value))
        raise_format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(value)->tp_name);
}

}  // namespace qv
