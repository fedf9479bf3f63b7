#include "modal/kept_members.hpp"

#include "modal/fast_paths.hpp"
#include "runtime/module.hpp"

namespace qv::modal {
namespace {

bool tagged(PyTypeObject *type) { return has_version_tag(type); }

}  // namespace

bool KeptMembers::still_valid(PyObject *cls) const {
    if (!class_ || cls != class_.ptr() || !PyType_Check(cls)) return false;
    auto *type = (PyTypeObject *) cls;
    PyTypeObject *meta = Py_TYPE(cls);
    return tagged(type) && tagged(meta) && type->tp_version_tag == tag_ && meta->tp_version_tag == meta_tag_;
}

nb::object KeptMembers::operator()(const Name &member) {
    nb::object cls = global(global_);
    PyObject *kept = nullptr;
    if (fast::kept_members.taken_if([&] {
            if (!still_valid(cls.ptr())) return false;
            for (int i = 0; i < used_; ++i)
                if (names_[i] == &member) kept = values_[i].ptr();
            return kept != nullptr;
        }))
        return nb::borrow(kept);
    nb::object value = get_attr(cls, member);
    if (fast::kept_members.enabled()) keep(cls.ptr(), member, value);
    return value;
}

// Called after the ordinary lookup, which gave the class and its metaclass
// a version tag if they can have one.
void KeptMembers::keep(PyObject *cls, const Name &member, nb::handle value) {
    if (!PyType_Check(cls)) return;
    auto *type = (PyTypeObject *) cls;
    PyTypeObject *meta = Py_TYPE(cls);
    if (!tagged(type) || !tagged(meta)) return;
    if (!still_valid(cls)) {
        // Another class, or this one changed: what was kept goes.
        for (int i = 0; i < used_; ++i) values_[i].set(nb::handle());
        used_ = 0;
        class_.set(cls);
        tag_ = type->tp_version_tag;
        meta_tag_ = meta->tp_version_tag;
    }
    for (int i = 0; i < used_; ++i)
        if (names_[i] == &member) {
            values_[i].set(value);
            return;
        }
    if (used_ == capacity) return;
    names_[used_] = &member;
    values_[used_++].set(value);
}

}  // namespace qv::modal
