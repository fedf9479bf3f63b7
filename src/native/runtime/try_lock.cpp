#include "runtime/try_lock.hpp"

#include "runtime/names.hpp"

namespace qv {
namespace {
Name acquire_name{"acquire"};
Name release_name{"release"};
}  // namespace

void OwnLock::remember(nb::handle held) {
    lock.set(held);
    acquire.set(get_attr(held, acquire_name));
    release.set(get_attr(held, release_name));
}

TryLock::TryLock(PyObject *lock, const OwnLock &owner) : own_(owner) {
    if (!lock) return;
    // The module's own lock has its bound methods at hand.
    own_lock_ = lock == owner.lock.ptr();
    PyObject *no = Py_False;
    nb::object got = own_lock_ ? own(PyObject_Vectorcall(owner.acquire.ptr(), &no, 1, nullptr))
                               : own(PyObject_CallMethodOneArg(lock, acquire_name.ptr(), Py_False));
    if (got.ptr() == Py_True) lock_ = nb::borrow(lock);
}

TryLock::~TryLock() {
    if (!lock_.is_valid()) return;
    // Released also while an error is on its way: kept aside meanwhile.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *done = own_lock_ ? PyObject_CallNoArgs(own_.release.ptr())
                               : PyObject_CallMethodNoArgs(lock_.ptr(), release_name.ptr());
    if (done) Py_DECREF(done);
    else PyErr_WriteUnraisable(lock_.ptr());
    PyErr_Restore(type, value, traceback);
}

}  // namespace qv
