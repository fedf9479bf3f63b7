// Module state.
//
// Every object a module keeps between calls is owned by the module object's
// state (PyModuleDef m_size, with m_traverse, m_clear and m_free), not by
// process-wide statics: the interned names, the keyword-name tuples of
// keyword calls, the references taken at start-up that fast paths compare
// with, and the types the runtime creates.  The collector sees them through
// m_traverse, and they go with the module.
//
// Each of those is one slot of the state's array.  The C++ objects that stand
// for them (Name, KwNames, Held) are declared as statics and know only their
// slot's index; they register themselves during static initialisation (or on
// first use, for one declared inside a function), and the start-up of the
// module creates the state with room for all of them.  A module is
// initialised once per process (module.cpp), so there is exactly one state
// per extension and the slots are reached through one pointer set at
// start-up: a slot read is an indexed load, as cheap as the static it
// replaces.
//
// The runtime's types are created with their module (PyType_FromModuleAndSpec)
// so every native function, generator and coroutine keeps the module, and
// with it the state, alive for as long as it can run.
#pragma once

#include <initializer_list>
#include <vector>

#include "runtime/errors.hpp"

namespace qv {

class Name;

namespace state_detail {
// The slots of this module's state (null before start-up and after the state
// is freed).
extern std::vector<PyObject *> *slots;
// Reserves a slot and returns its index.  `make`, when given, creates the
// slot's object at start-up (or at once if the state already exists); `early`
// ones (the names) are made before all others, which may use them.
using Maker = PyObject *(*) (const void *owner);
Py_ssize_t reserve(Maker make, const void *owner, bool early = false);
}  // namespace state_detail

// A reference held in the module state: set at start-up or on first use,
// read on hot paths.  Borrowed reads; the state owns the reference.
class Held {
public:
    Held() : index_(state_detail::reserve(nullptr, nullptr)) {}
    // One made at start-up (or on first use) by `make(owner)`.
    Held(state_detail::Maker make, const void *owner) : index_(state_detail::reserve(make, owner)) {}
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

    PyObject *ptr() const noexcept { return (*state_detail::slots)[(size_t) index_]; }
    nb::handle h() const noexcept { return ptr(); }
    explicit operator bool() const noexcept { return ptr() != nullptr; }
    // Replaces the held object (a new reference is taken; null empties it).
    void set(nb::handle value) noexcept {
        PyObject *&slot = (*state_detail::slots)[(size_t) index_];
        Py_XSETREF(slot, Py_XNewRef(value.ptr()));
    }

private:
    Py_ssize_t index_;
};

// The tuple of keyword names for a vectorcall with keyword arguments,
// created once per module from interned names.
class KwNames {
public:
    KwNames(std::initializer_list<const Name *> names);
    KwNames(const KwNames &) = delete;
    KwNames &operator=(const KwNames &) = delete;

    PyObject *ptr() const noexcept { return (*state_detail::slots)[(size_t) index_]; }

private:
    static PyObject *make(const void *self);
    std::vector<const Name *> names_;
    Py_ssize_t index_;
};

// The PyModuleDef entries of every quorvel module.
constexpr Py_ssize_t module_state_size = sizeof(void *);
int module_state_traverse(PyObject *module, visitproc visit, void *arg);
int module_state_clear(PyObject *module);
void module_state_free(void *module);

// Creates the state of `module` with every registered slot made (names
// first, then the rest).  Called once, at the start of the module's exec.
void create_module_state(PyObject *module);

}  // namespace qv
