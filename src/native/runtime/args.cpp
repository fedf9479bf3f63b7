#include "runtime/args.hpp"

namespace qv {

void raise_argument_type(PyObject *value, PyTypeObject *expected, const char *name) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected->tp_name, Py_TYPE(value)->tp_name);
}

}  // namespace qv
