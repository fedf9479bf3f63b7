// Small helpers over the C API for the hot paths: attribute reads, truth
// tests and calls that throw the pending Python error instead of returning
// NULL.
#pragma once

#include "runtime/names.hpp"

namespace qv {

inline nb::object get_attr(nb::handle obj, const Name &name) {
    return own(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

inline void set_attr(nb::handle obj, const Name &name, nb::handle value) {
    check(PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()));
}

inline bool truthy(nb::handle obj) { return check(PyObject_IsTrue(obj.ptr())) != 0; }

inline bool is_instance(nb::handle obj, nb::handle cls) { return check(PyObject_IsInstance(obj.ptr(), cls.ptr())) != 0; }

// obj[-1] with Python's semantics, fast for lists.
inline nb::object last_item(nb::handle seq) {
    if (PyList_CheckExact(seq.ptr())) {
        Py_ssize_t n = PyList_GET_SIZE(seq.ptr());
        if (n == 0) raise_format(PyExc_IndexError, "list index out of range");
        return nb::borrow(PyList_GET_ITEM(seq.ptr(), n - 1));
    }
    nb::object index = own(PyLong_FromLong(-1));
    return own(PyObject_GetItem(seq.ptr(), index.ptr()));
}

inline nb::object getitem(nb::handle obj, nb::handle key) { return own(PyObject_GetItem(obj.ptr(), key.ptr())); }

inline void dict_set(nb::handle dict, nb::handle key, nb::handle value) {
    check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
}

// Calls `callable` with positional arguments and the keyword arguments named
// by the tuple `kwnames` (values follow the positionals).
inline nb::object vcall(nb::handle callable, std::initializer_list<PyObject *> args, PyObject *kwnames = nullptr) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return own(PyObject_Vectorcall(callable.ptr(), const_cast<PyObject *const *>(args.begin()),
                                   (args.size() - nkw), kwnames));
}

// A tuple of interned names, used as `kwnames` for keyword calls.
inline nb::object kwnames(std::initializer_list<const Name *> names) {
    nb::object t = own(PyTuple_New((Py_ssize_t) names.size()));
    Py_ssize_t i = 0;
    for (const Name *n : names) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(n->ptr()));
    return t;
}

}  // namespace qv
