// Lookups of a name in a dict that seldom changes (a module's namespace, a
// model's fields from one chunk to the next), remembered with the dict's
// version: while the dict keeps that version it holds what it held, and the
// lookup is not made again.
#pragma once

#include "runtime/names.hpp"
#include "runtime/object.hpp"

namespace qv {

// dict[name], borrowed, or null when the dict has nothing under the name.
// `dict` is an exact dict; `name` is a Name's interned text, which lives as
// long as the module: a remembered lookup is found again by the name's
// address.  Raises what the lookup raises.
PyObject *remembered_item(PyObject *dict, PyObject *name);

// The same lookup in a module's namespace: the global `name` of `module`.
inline PyObject *remembered_global(nb::handle module, const Name &name) {
    return remembered_item(PyModule_GetDict(module.ptr()), name.ptr());
}

}  // namespace qv
