// Members of a class that a module global names (LLMStatus, MessageRole),
// read once and kept: every whole answer and every record needs a status
// and a role, and each read through the global is an attribute lookup on
// the class.
//
// A kept member is given while the global still names the class it was read
// from and neither that class nor its metaclass has changed since:
// CPython gives a class a new version tag whenever it, a base or its
// metaclass' own dict changes, so equal tags mean the lookup would find
// what it found then.  A replaced global or a changed class is read afresh
// (the kept_members fast path, bypassed).
#pragma once

#include "runtime/names.hpp"
#include "runtime/object.hpp"
#include "runtime/state.hpp"

namespace qv::modal {

class KeptMembers {
public:
    // `global`: the module global naming the class.
    explicit KeptMembers(const Name &global) : global_(global) {}
    KeptMembers(const KeptMembers &) = delete;
    KeptMembers &operator=(const KeptMembers &) = delete;

    // `<global>.<member>`, as a lookup through the global gives it.
    nb::object operator()(const Name &member);

private:
    static constexpr int capacity = 8;

    bool still_valid(PyObject *cls) const;
    void keep(PyObject *cls, const Name &member, nb::handle value);

    const Name &global_;
    Held class_;  // the class the kept members were read from
    unsigned int tag_ = 0, meta_tag_ = 0;
    const Name *names_[capacity] = {};
    Held values_[capacity];
    int used_ = 0;
};

}  // namespace qv::modal
