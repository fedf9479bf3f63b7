// Interned names.  Fixed keys and attribute names ("role", "content", ...)
// are created once when the module starts and reused on every call, so hot
// paths never build a string for a constant.  They are owned by the module
// state (runtime/state.hpp).
#pragma once

#include "runtime/state.hpp"

namespace qv {

class Name {
public:
    // Declared at namespace scope; reserves its slot in the module state,
    // where the module's start-up creates the interned string.
    explicit Name(const char *text);
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;

    PyObject *ptr() const noexcept { return (*state_detail::slots)[(size_t) index_]; }
    nb::handle h() const noexcept { return ptr(); }
    operator nb::handle() const noexcept { return ptr(); }
    const char *text() const noexcept { return text_; }

private:
    static PyObject *intern(const void *self);
    const char *text_;
    Py_ssize_t index_;
};

}  // namespace qv
