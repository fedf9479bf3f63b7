// Interned names.  Fixed keys and attribute names ("role", "content", ...)
// are created once when the module starts and reused on every call, so hot
// paths never build a string for a constant.
#pragma once

#include "runtime/errors.hpp"

namespace qv {

class Name {
public:
    // Declared at namespace scope; registers itself so that `intern_names`
    // can create every name of the module in one go at start-up.
    explicit Name(const char *text);

    PyObject *ptr() const { return obj_; }
    nb::handle h() const { return obj_; }
    operator nb::handle() const { return obj_; }
    const char *text() const { return text_; }

private:
    friend void intern_names();
    const char *text_;
    PyObject *obj_ = nullptr;
};

// Creates all registered names (once per process: modules refuse a second
// initialisation, so the names live as long as the interpreter).
void intern_names();

}  // namespace qv
