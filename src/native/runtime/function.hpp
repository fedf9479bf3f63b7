// The native function type.
//
// Every method and module-level function of a quorvel module is an object of
// this type: called through vectorcall with named positional-or-keyword
// parameters (and Python's own messages for missing or unexpected
// arguments), bound like a Python function (so it works as a method of a
// pydantic model), and carrying the introspection that inspect, typing and
// pydantic read: __name__, __qualname__, __module__, __doc__,
// __annotations__ (as strings), __defaults__, __kwdefaults__, __globals__,
// __dict__ and a real __code__ whose argument names and flags match.
#pragma once

#include <initializer_list>
#include <vector>

#include "runtime/errors.hpp"

namespace qv {

// The parsed arguments of one call, in parameter order, defaults filled in.
// Borrowed references, valid for the duration of the call.
using Args = PyObject *const *;
using Impl = nb::object (*)(Args args);

enum class Kind { plain, generator, coroutine };

struct Param {
    const char *name;
    const char *annotation = nullptr;  // stored as a string; nullptr: no annotation
    PyTypeObject *exact = nullptr;     // exact type required on entry; nullptr: any
};

struct FunctionDef {
    const char *name;
    const char *qualname;
    const char *doc;      // nullptr: no docstring
    std::vector<Param> params;
    const char *returns;  // return annotation string; nullptr: none
    Kind kind;
    Impl impl;
};

// The most parameters a native function may declare.
constexpr int kMaxParams = 8;

// Creates the function type of this module (once, at start-up).
void init_function_type(const char *module_name);

// The function type of this module; the metaclass lists it among the types
// that pydantic must leave alone.
PyTypeObject *function_type();

// Makes a function for `def`, which must outlive it (a static).  `defaults`
// is None or a tuple for the last parameters.  The function's __globals__ is
// this module's dict.
nb::object make_function(const FunctionDef &def, nb::handle defaults = nb::handle());

// Wraps a function in `property` / `staticmethod`.
nb::object make_property(const FunctionDef &def);
nb::object make_staticmethod(const FunctionDef &def);

// True when `obj.<name>` would reach the native function made from `def`:
// attribute access is object's own, the class attribute found first is that
// function (not overridden in a subclass, not replaced on the class), and the
// instance dict does not shadow it.  Callers may then run `def` directly with
// `call_direct` instead of looking the method up and parsing arguments.
bool resolves_to(nb::handle obj, PyObject *name, const FunctionDef &def);

// Runs `def`'s body on arguments already in parameter order (all given),
// with its exact-type checks.
nb::object call_direct(const FunctionDef &def, PyObject *const *args, size_t nargs);
inline nb::object call_direct(const FunctionDef &def, std::initializer_list<PyObject *> args) {
    return call_direct(def, args.begin(), args.size());
}

// Sets an attribute on a function's __dict__ (for markers such as asyncio's).
void set_function_attr(nb::handle function, const char *name, nb::handle value);

}  // namespace qv
