#include "runtime/state.hpp"

#include "runtime/names.hpp"

namespace qv {
namespace state_detail {

std::vector<PyObject *> *slots = nullptr;

namespace {

struct Registration {
    Maker make;
    const void *owner;
    bool early;
};

// Function-local so that statics of any file can register during static
// initialisation, whatever the order.
std::vector<Registration> &registrations() {
    static std::vector<Registration> all;
    return all;
}

// Before start-up the slots live here, so that a slot can be reserved (and
// even read, as null) before the module state exists.
std::vector<PyObject *> &unplaced() {
    static std::vector<PyObject *> empty;
    return empty;
}

void make_slot(Py_ssize_t index) {
    const Registration &r = registrations()[(size_t) index];
    if (!r.make) return;
    PyObject *value = r.make(r.owner);
    if (!value) raise_current();
    (*slots)[(size_t) index] = value;
}

}  // namespace

Py_ssize_t reserve(Maker make, const void *owner, bool early) {
    if (!slots) slots = &unplaced();
    registrations().push_back({make, owner, early});
    slots->push_back(nullptr);
    const Py_ssize_t index = (Py_ssize_t) slots->size() - 1;
    // Reserved after start-up (a static inside a function): made at once.
    if (slots != &unplaced()) make_slot(index);
    return index;
}

}  // namespace state_detail

using namespace state_detail;

namespace {

std::vector<PyObject *> *&state_of(PyObject *module) {
    return *static_cast<std::vector<PyObject *> **>(PyModule_GetState(module));
}

}  // namespace

void create_module_state(PyObject *module) {
    auto *owned = new std::vector<PyObject *>(registrations().size(), nullptr);
    state_of(module) = owned;
    slots = owned;
    for (bool early : {true, false})
        for (size_t i = 0; i < registrations().size(); ++i)
            if (registrations()[i].early == early) make_slot((Py_ssize_t) i);
}

int module_state_traverse(PyObject *module, visitproc visit, void *arg) {
    if (std::vector<PyObject *> *owned = state_of(module))
        for (PyObject *object : *owned) Py_VISIT(object);
    return 0;
}

int module_state_clear(PyObject *module) {
    if (std::vector<PyObject *> *owned = state_of(module))
        for (PyObject *&object : *owned) Py_CLEAR(object);
    return 0;
}

void module_state_free(void *module) {
    module_state_clear(static_cast<PyObject *>(module));
    std::vector<PyObject *> *&owned = state_of(static_cast<PyObject *>(module));
    if (owned == slots) slots = &unplaced();
    delete owned;
    owned = nullptr;
}

KwNames::KwNames(std::initializer_list<const Name *> names) : names_(names) {
    index_ = reserve(&KwNames::make, this);
}

PyObject *KwNames::make(const void *self) {
    const auto &names = static_cast<const KwNames *>(self)->names_;
    PyObject *tuple = PyTuple_New((Py_ssize_t) names.size());
    if (!tuple) return nullptr;
    Py_ssize_t i = 0;
    for (const Name *name : names) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(name->ptr()));
    return tuple;
}

}  // namespace qv
