// Assembling classes at module start-up.  Classes are made by calling the
// right metaclass with a namespace built here (__module__, __qualname__,
// string __annotations__, defaults and members), exactly as a class
// statement would hand it over; no Python source is compiled.
#pragma once

#include "runtime/function.hpp"

namespace qv {

class ClassBody {
public:
    explicit ClassBody(const char *qualname);

    // An annotated name, in declaration order; the default is optional.
    ClassBody &annotate(const char *name, const char *annotation, nb::handle default_value = nb::handle());
    // Any other namespace entry (members, model_config, ...).
    ClassBody &set(const char *name, nb::handle value);
    ClassBody &method(const FunctionDef &def, nb::handle defaults = nb::handle());
    ClassBody &property(const FunctionDef &def);
    ClassBody &staticmethod(const FunctionDef &def);

    nb::handle ns() const { return ns_; }

    // metaclass(name, bases, namespace)
    nb::object build(nb::handle metaclass, std::initializer_list<nb::handle> bases);

private:
    const char *qualname_;
    nb::object ns_;
    nb::object annotations_;
};

// `Field(default_factory=factory)` with the module's global `Field`.
nb::object field_default_factory(nb::handle factory);

nb::object str(const char *text);

}  // namespace qv
