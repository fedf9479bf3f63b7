// Helpers shared by the LLModal members: calls of other members through the
// instance, container access with Python's semantics and fast paths for the
// exact built-in types.
#pragma once

#include "runtime/function.hpp"
#include "modal/names.hpp"
#include "runtime/object.hpp"

namespace qv::modal {

// self.<name>(*args, **kw): the member is looked up on the instance at each
// call, so a subclass override or a patched class attribute is the one that
// runs.  Keyword values follow the positionals, named by `kwnames`.
inline nb::object call_method(nb::handle self, const Name &name, std::initializer_list<PyObject *> args = {},
                              PyObject *kwnames = nullptr) {
    // slot 0 is scratch space the callee may borrow (PY_VECTORCALL_ARGUMENTS_OFFSET)
    PyObject *argv[kMaxParams + 2];
    if (args.size() > (size_t) kMaxParams) raise_format(PyExc_SystemError, "too many arguments");
    argv[0] = nullptr;
    argv[1] = self.ptr();
    size_t n = 2;
    for (PyObject *a : args) argv[n++] = a;
    const size_t nkw = kwnames ? (size_t) PyTuple_GET_SIZE(kwnames) : 0;
    const size_t nargsf = (n - 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return own(into_python([&] { return PyObject_VectorcallMethod(name.ptr(), argv + 1, nargsf, kwnames); }));
}

// obj[key], or an invalid object when the key is missing (KeyError).
inline nb::object item_or_missing(nb::handle obj, const Name &key) {
    if (PyDict_CheckExact(obj.ptr())) {
        PyObject *value = PyDict_GetItemWithError(obj.ptr(), key.ptr());
        if (!value && PyErr_Occurred()) raise_current();
        return nb::borrow(value);
    }
    PyObject *value = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise_current();
        PyErr_Clear();
    }
    return nb::steal(value);
}

// seq.append(item)
inline void append(nb::handle seq, nb::handle item) {
    if (PyList_CheckExact(seq.ptr()))
        check(PyList_Append(seq.ptr(), item.ptr()));
    else
        call_method(seq, names::append, {item.ptr()});
}

// The text an f-string would insert for `value`: a str unchanged, anything
// else through format(value, "").
inline nb::object format_text(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return own(PyObject_Format(value.ptr(), nullptr));
}

// Grows the exact str `text`, whose reference the caller owns, by the exact
// str `tail`.  When nothing else holds `text` its buffer is extended in place,
// so a text that keeps growing chunk by chunk is not copied every time.
// On failure `text` is gone (only MemoryError can happen; the caller has
// already ruled out overflow).
inline nb::object append_text(nb::object text, PyObject *tail) {
    PyObject *p = text.release().ptr();
    PyUnicode_Append(&p, tail);
    return own(p);
}

inline bool too_long_to_join(PyObject *text, PyObject *tail) {
    return PyUnicode_GET_LENGTH(text) > PY_SSIZE_T_MAX - PyUnicode_GET_LENGTH(tail);
}

}  // namespace qv::modal
