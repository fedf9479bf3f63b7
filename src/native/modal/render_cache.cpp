#include "modal/render_cache.hpp"

#include <vector>

#include "modal/names.hpp"
#include "runtime/module.hpp"

namespace qv::modal {
namespace {

enum class Shape { text, result, calls };

// What a kept rendering was made from; borrowed, held by the rendering.
struct Made {
    Shape shape;
    PyObject *role, *content, *tool_call_id, *tool_calls;
};

// The kept renderings (None where there is none) by index, held by the
// module state, and what each was made from.
Held kept;
std::vector<Made> made;

struct Fields {
    PyObject *role, *contents, *tool_call_id, *tool_calls;
};

// The entry's fields as its dict holds them, in declaration order under
// their own names; false when the dict has another form.
bool read_fields(PyObject *entry, Fields &f) {
    PyObject **slot = instance_dict_ptr(entry);
    if (!slot) {
        PyErr_Clear();
        return false;
    }
    PyObject *dict = *slot;
    if (!dict || !PyDict_CheckExact(dict) || PyDict_GET_SIZE(dict) != 4) return false;
    const Name *order[] = {&names::role, &names::contents, &names::tool_call_id, &names::tool_calls};
    PyObject **out[] = {&f.role, &f.contents, &f.tool_call_id, &f.tool_calls};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (int i = 0; i < 4; ++i) {
        if (!PyDict_Next(dict, &pos, &key, &value) || key != order[i]->ptr()) return false;
        *out[i] = value;
    }
    return PyList_CheckExact(f.tool_calls) && PyUnicode_CheckExact(f.tool_call_id) && PyList_CheckExact(f.contents);
}

PyObject *kept_at(Py_ssize_t i) {
    PyObject *list = kept.ptr();
    if (!list || i >= PyList_GET_SIZE(list) || (size_t) i >= made.size()) return nullptr;
    PyObject *rendered = PyList_GET_ITEM(list, i);
    return rendered == Py_None ? nullptr : rendered;
}

bool still_fits(const Made &m, const Fields &f) {
    if (f.role != m.role) return false;
    const Py_ssize_t versions = PyList_GET_SIZE(f.contents);
    switch (m.shape) {
        case Shape::calls:
            return f.tool_calls == m.tool_calls && PyList_GET_SIZE(f.tool_calls) > 0;
        case Shape::result:
            return PyList_GET_SIZE(f.tool_calls) == 0 && f.tool_call_id == m.tool_call_id && versions > 0 &&
                   PyList_GET_ITEM(f.contents, versions - 1) == m.content;
        case Shape::text:
            // One version only: a text version after others may take media
            // from them, which is not checked here.
            return PyList_GET_SIZE(f.tool_calls) == 0 && PyUnicode_GET_LENGTH(f.tool_call_id) == 0 &&
                   versions == 1 && PyList_GET_ITEM(f.contents, 0) == m.content;
    }
    return false;
}

// The rendering holds the very objects the checks compare with, so none of
// them can be freed while it is kept.
bool holds_what_it_was_made_from(PyObject *rendered, const Made &m) {
    auto holds = [&](const Name &key, PyObject *value) { return PyDict_GetItemWithError(rendered, key.ptr()) == value; };
    if (!holds(names::role, m.role)) return false;
    switch (m.shape) {
        case Shape::calls:
            return holds(names::tool_calls, m.tool_calls);
        case Shape::result:
            return holds(names::tool_call_id, m.tool_call_id) && holds(names::content, m.content);
        case Shape::text:
            return holds(names::content, m.content);
    }
    return false;
}

}  // namespace

bool RenderCache::fits(Py_ssize_t i, PyObject *entry) {
    if (!kept_at(i)) return false;
    Fields f;
    return read_fields(entry, f) && still_fits(made[(size_t) i], f);
}

PyObject *RenderCache::copy(Py_ssize_t i) {
    PyObject *copy = PyDict_Copy(kept_at(i));
    // Kept renderings are untracked (see keep); the caller's dict is
    // tracked, as a dict holding the role member always is.
    if (copy && !PyObject_GC_IsTracked(copy)) PyObject_GC_Track(copy);
    return copy;
}

void RenderCache::keep(Py_ssize_t i, PyObject *entry, PyObject *rendered) {
    if (!kept) kept.set(own(PyList_New(0)));
    nb::object list = nb::borrow(kept.ptr());
    while (PyList_GET_SIZE(list.ptr()) <= i) check(PyList_Append(list.ptr(), Py_None));
    if (made.size() < (size_t) PyList_GET_SIZE(list.ptr())) made.resize((size_t) PyList_GET_SIZE(list.ptr()));

    Fields f;
    Made m{};
    nb::object copy;
    if (read_fields(entry, f) && PyDict_CheckExact(rendered)) {
        m.role = f.role;
        const Py_ssize_t versions = PyList_GET_SIZE(f.contents);
        if (PyList_GET_SIZE(f.tool_calls) > 0) {
            m.shape = Shape::calls;
            m.tool_calls = f.tool_calls;
        } else if (PyUnicode_GET_LENGTH(f.tool_call_id) > 0 && versions > 0) {
            m.shape = Shape::result;
            m.tool_call_id = f.tool_call_id;
            m.content = PyList_GET_ITEM(f.contents, versions - 1);
        } else if (versions == 1) {
            m.shape = Shape::text;
            m.content = PyList_GET_ITEM(f.contents, 0);
        } else {
            m.role = nullptr;
        }
        if (m.role && holds_what_it_was_made_from(rendered, m)) {
            copy = own(PyDict_Copy(rendered));
            // Held by this list alone, it can be part of no cycle: the
            // collector need not walk the kept renderings of a long history.
            if (PyObject_GC_IsTracked(copy.ptr())) PyObject_GC_UnTrack(copy.ptr());
        } else {
            m = Made{};
        }
    }
    // The rendering replaced is let go last: freeing it may run Python code.
    nb::object replaced = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
    made[(size_t) i] = m;
    check(PyList_SetItem(list.ptr(), i, Py_NewRef(copy.is_valid() ? copy.ptr() : Py_None)));
}

void RenderCache::trim(Py_ssize_t n) {
    if (made.size() > (size_t) n) made.resize((size_t) n);
    nb::object list = nb::borrow(kept.ptr());
    if (list.is_valid() && PyList_GET_SIZE(list.ptr()) > n)
        check(PyList_SetSlice(list.ptr(), n, PyList_GET_SIZE(list.ptr()), nullptr));
}

}  // namespace qv::modal
