// The renderings of the history last rendered, kept entry by entry so that
// the next request copies them instead of rendering every entry again.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal {

// For entries of exactly the class Message rendered by quorvel.message's own
// `latest`: what that rendering depends on is the entry's four fields (the
// role, the last version, and whether there are tool calls or a tool call
// id), so a kept rendering stands for an entry whose fields are still those
// it was made from, whichever entry object now sits at that index.  Checking
// that reads the fields and compares them by identity; the kept rendering
// holds every object it compares with, so none can be freed and replaced by
// another at the same address while it is kept.
//
// Both calls run no Python code.
class RenderCache {
public:
    // Whether a rendering is kept for index `i` and `entry`'s fields are
    // still those it was made from.
    static bool fits(Py_ssize_t i, PyObject *entry);
    // A new copy of the rendering kept for index `i` (after `fits`), or null
    // with an error set.
    static PyObject *copy(Py_ssize_t i);
    // Keeps a copy of `rendered`, just made from `entry`, for index `i` when
    // its fields have a form that `reuse` can check; else forgets index `i`.
    static void keep(Py_ssize_t i, PyObject *entry, PyObject *rendered);
    // Forgets the indices from `n` on (the history has `n` entries).
    static void trim(Py_ssize_t n);
};

}  // namespace qv::modal
