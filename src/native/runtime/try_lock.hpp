// A threading.Lock of a Python module, taken without waiting.
//
// Native code that updates a table which a Python module guards with its
// own lock takes that lock with `acquire(False)`: a lock held elsewhere
// (another thread in the middle of an update) leaves the work to the
// module's Python function, which waits for it.  Never waiting here also
// means native code never releases the GIL while it holds other state.
#pragma once

#include "runtime/object.hpp"
#include "runtime/state.hpp"

namespace qv {

// The lock a module was started with, and its bound methods, at hand.
struct OwnLock {
    Held lock, acquire, release;
    // Takes note of `lock` (start-up).
    void remember(nb::handle lock);
};

// `lock` (the module's lock now, borrowed; null: none) taken without
// waiting; released when this goes, also while an error is on its way.
class TryLock {
public:
    TryLock(PyObject *lock, const OwnLock &owner);
    ~TryLock();
    TryLock(const TryLock &) = delete;
    TryLock &operator=(const TryLock &) = delete;
    bool held() const { return lock_.is_valid(); }

private:
    nb::object lock_;
    const OwnLock &own_;
    bool own_lock_ = false;
};

}  // namespace qv
