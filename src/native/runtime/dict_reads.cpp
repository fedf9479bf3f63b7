#include "runtime/dict_reads.hpp"

#include <cstdint>
#include <iterator>

#include "runtime/fast_path.hpp"

namespace qv {

namespace {

FastPath remembered_read{"remembered_read",
                         "the dict, a combined table, has the version it had when the name was last looked up "
                         "in it (CPython gives a dict a new version, unique among all dicts, at every change)"};

// The latest lookups, each with the dict's version then.  A remembered dict
// is only compared by address, never reached: a dict freed and another made
// at its address has another version.
struct Remembered {
    PyObject *dict = nullptr;
    PyObject *name = nullptr;
    std::uint64_t version = 0;
    PyObject *value = nullptr;  // borrowed from the dict, which holds it while unchanged
};
Remembered remembered[64];

Remembered &remembered_for(PyObject *dict, PyObject *name) {
    const auto mixed = ((std::uintptr_t) dict >> 4) ^ ((std::uintptr_t) name >> 3);
    return remembered[(mixed ^ (mixed >> 7)) % std::size(remembered)];
}

}  // namespace

PyObject *remembered_item(PyObject *dict, PyObject *name) {
    std::uint64_t version = 0;
    Remembered *seen = nullptr;
    if (remembered_read.taken_if([&] {
            // Only a combined table: 3.13 stores an attribute into values
            // that an object shares with its dict without a new version.
            if (!has_dict_versions || ((PyDictObject *) dict)->ma_values) return false;
            version = dict_version(dict);
            seen = &remembered_for(dict, name);
            return seen->dict == dict && seen->name == name && seen->version == version;
        }))
        return seen->value;
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (!value && PyErr_Occurred()) raise_current();
    // Remembered only when no key's __eq__ changed the dict on the way.
    if (seen && dict_version(dict) == version) *seen = {dict, name, version, value};
    return value;
}

}  // namespace qv
