// pydantic_core.to_jsonable_python for the structured content of a tool
// result.  Tools mostly return values that are JSON already (dicts of
// strings, numbers and lists); for those the conversion only copies the
// containers, which is done here without pydantic's serializer.  Anything
// else (other types, non-string keys, floats that JSON cannot hold, deep
// nesting) goes to pydantic.
#include <cmath>

#include "cython/members.hpp"
#include "cython/names.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::cython {
namespace {

FastPath direct_jsonable{"jsonable_plain_copy",
                         "pydantic_core.to_jsonable_python is the one found when the tool layer was bound and the "
                         "value holds only exact dicts with str keys, lists, str, int, bool, None and finite floats"};

Held original_to_jsonable;

// Deeper values are left to pydantic (which also reports cycles).
constexpr int kMaxDepth = 32;

bool is_plain(PyObject *v, int depth) {
    if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) || v == Py_None) return true;
    if (PyFloat_CheckExact(v)) return std::isfinite(PyFloat_AS_DOUBLE(v));
    if (depth >= kMaxDepth) return false;
    if (PyDict_CheckExact(v)) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(v, &pos, &key, &value))
            if (!PyUnicode_CheckExact(key) || !is_plain(value, depth + 1)) return false;
        return true;
    }
    if (PyList_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
            if (!is_plain(PyList_GET_ITEM(v, i), depth + 1)) return false;
        return true;
    }
    return false;
}

// A copy of a plain value: new containers, the same leaves.  Nothing here
// runs Python code (the keys are exact str), so the containers cannot change
// while they are copied.
nb::object copy_plain(PyObject *v) {
    if (PyDict_CheckExact(v)) {
        nb::object copy = own(new_presized_dict(PyDict_GET_SIZE(v)));
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(v, &pos, &key, &value)) dict_set(copy, key, copy_plain(value));
        return copy;
    }
    if (PyList_CheckExact(v)) {
        const Py_ssize_t n = PyList_GET_SIZE(v);
        nb::object copy = own(PyList_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(copy.ptr(), i, copy_plain(PyList_GET_ITEM(v, i)).release().ptr());
        return copy;
    }
    return nb::borrow(v);
}

}  // namespace

void remember_to_jsonable() {
    original_to_jsonable.set(get_attr(global(names::pydantic_core), names::to_jsonable_python));
}

nb::object jsonable_python(nb::handle value) {
    nb::object convert = get_attr(global(names::pydantic_core), names::to_jsonable_python);
    if (direct_jsonable.taken_if([&] { return convert.ptr() == original_to_jsonable.ptr() && is_plain(value.ptr(), 0); }))
        return copy_plain(value.ptr());
    return vcall(convert, {value.ptr()});
}

}  // namespace qv::cython
