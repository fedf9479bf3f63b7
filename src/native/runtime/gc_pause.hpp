// Holds the cyclic garbage collector off while a bulk builder allocates many
// short-lived containers (rendering a long history allocates one dict per
// entry).  Collections triggered in the middle of such a loop find nothing
// to free, yet each one walks the young objects and, every so often, the
// whole heap.  The previous state is restored on every exit path; the
// allocation count stays, so the next collection simply happens afterwards.
#pragma once

#include <Python.h>

namespace qv {

class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;

private:
    bool was_enabled_;
};

}  // namespace qv
