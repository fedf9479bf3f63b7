// Module start-up and module globals.
//
// Every module uses multi-phase initialisation: the import system creates the
// module and enters it in sys.modules under its dotted name before the body
// runs, so pydantic can resolve string annotations against the module while
// its classes are being built.  A module refuses to be initialised twice in
// one process.  Names the module uses (json, requests, Message, print, ...)
// live in the module dict and are looked up there at each use, as Python code
// would, so that they can be monkeypatched.
#pragma once

#include "runtime/names.hpp"
#include "runtime/state.hpp"

namespace qv {

using ModuleBody = void (*)(nb::module_ module);

// The Py_mod_exec implementation shared by all modules: refuses a second
// initialisation, warns on an interpreter version mismatch, creates the
// module state (runtime/state.hpp) and the runtime types, then runs `body`.
int exec_module(PyObject *module, const char *name, ModuleBody body);

// The dotted name of this extension's module ("quorvel.modal", ...), known
// once its start-up has begun.
const char *module_name();

// This extension's module object (borrowed: the module outlives every
// object that can run its code, see runtime/state.hpp).
PyObject *module_object();

// The dict of this extension's module (its globals).
PyObject *module_globals();

// Looks `name` up in the module globals, then in the builtins; raises
// NameError like Python code when neither has it.  Returns a new reference.
nb::object global(const Name &name);

// Binds `value` as a module global under `name`.
void set_global(const char *name, nb::handle value);

// `from module import attr` semantics: imports `module` and reads `attr`.
nb::object import_from(const char *module, const char *attr);

}  // namespace qv

// Defines PyInit_<short_name> for a module whose start-up runs `body_fn`
// (a qv::ModuleBody); use once, at global scope, in the module's module.cpp.
#define QUORVEL_DEFINE_MODULE(short_name, doc, body_fn)                                                       \
    namespace {                                                                                              \
    int quorvel_exec(PyObject *m) { return ::qv::exec_module(m, QUORVEL_MODULE_NAME, body_fn); }            \
    PyModuleDef_Slot quorvel_slots[] = {{Py_mod_exec, (void *) quorvel_exec}, {0, nullptr}};                 \
    PyModuleDef quorvel_def = {                                                                              \
        PyModuleDef_HEAD_INIT,           QUORVEL_MODULE_NAME,           doc,                                 \
        ::qv::module_state_size,         nullptr,                       quorvel_slots,                       \
        ::qv::module_state_traverse,     ::qv::module_state_clear,      ::qv::module_state_free,             \
    };                                                                                                       \
    }                                                                                                        \
    extern "C" PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&quorvel_def); }
