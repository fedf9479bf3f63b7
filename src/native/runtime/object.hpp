// Small helpers over the C API for the hot paths: attribute reads, truth
// tests and calls that throw the pending Python error instead of returning
// NULL.
#pragma once

#include <cstdint>

#include "runtime/names.hpp"
#include "runtime/thread_end.hpp"

namespace qv {

// --- CPython version seams ---------------------------------------------------
// Every use of an API outside the stable public surface goes through the
// functions below, so supporting a new CPython means looking here only.
//
// `type_lookup`: _PyType_Lookup (private; present in 3.11, 3.12 and 3.13)
// finds a name in a type's MRO through the type attribute cache without
// running descriptors and without setting an error.  The fast paths use it to
// check that a class has not overridden what they skip; the public
// alternative (PyObject_GetAttr on the type) would run descriptors and
// allocate.  Returns a borrowed reference or null.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) noexcept { return _PyType_Lookup(type, name); }

// `instance_dict_ptr`: _PyObject_GetDictPtr (private; present in 3.11, 3.12
// and 3.13, where it materialises a managed dict) gives the slot holding an
// instance's __dict__ so a plain attribute can be read without the generic
// attribute machinery.  Null when the object has no dict slot.
inline PyObject **instance_dict_ptr(PyObject *obj) noexcept { return _PyObject_GetDictPtr(obj); }

// `get_optional_attr`: obj.name, with a missing attribute reported as 0 and
// *out == null instead of an AttributeError.  1 found, 0 missing, -1 error.
// Public from 3.13 on (PyObject_GetOptionalAttr); 3.11 and 3.12 have it only
// as the private _PyObject_LookupAttr, which 3.13 removed from its headers.
inline int get_optional_attr(PyObject *obj, PyObject *name, PyObject **out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// `dict_version`: a dict's version, which CPython changes at every change
// of the dict and never gives to another dict (ma_version_tag, deprecated
// from 3.12 on but kept up to date through 3.13; 3.12 and 3.13 keep flags
// in its low bits, which only makes it change more often).  Where the
// field is gone, `has_dict_versions` is false and nothing may rely on it.
#if PY_VERSION_HEX < 0x030E0000
inline constexpr bool has_dict_versions = true;
inline std::uint64_t dict_version(PyObject *dict) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return ((PyDictObject *) dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
#else
inline constexpr bool has_dict_versions = false;
inline std::uint64_t dict_version(PyObject *) noexcept { return 0; }
#endif

// `has_version_tag`: whether the type's tp_version_tag is valid (CPython
// gives a type a new tag whenever it, a base or its dict changes, and never
// gives an old tag again).  3.11 and 3.12 mark a valid tag with
// Py_TPFLAGS_VALID_VERSION_TAG; 3.13 leaves that flag unused and marks an
// invalid tag as 0.
inline bool has_version_tag(PyTypeObject *type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag != 0;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
#endif
}

// `new_presized_dict`: _PyDict_NewPresized (private; present in 3.11, 3.12
// and 3.13) makes a dict with room for `n` entries, so a record of known
// size is filled without resizing.  New reference or null.
inline PyObject *new_presized_dict(Py_ssize_t n) noexcept { return _PyDict_NewPresized(n); }

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
    PyObject *const *argv = args.begin();
    const size_t nargs = args.size() - (size_t) nkw;
    return own(into_python([&] { return PyObject_Vectorcall(callable.ptr(), argv, nargs, kwnames); }));
}

// A tuple of interned names, used as `kwnames` for keyword calls.
inline nb::object kwnames(std::initializer_list<const Name *> names) {
    nb::object t = own(PyTuple_New((Py_ssize_t) names.size()));
    Py_ssize_t i = 0;
    for (const Name *n : names) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(n->ptr()));
    return t;
}

}  // namespace qv
