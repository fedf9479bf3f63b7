#include "runtime/fast_path.hpp"

#include <cstring>

namespace qv {
namespace {

// Function-local so that FastPaths declared in any file of the module can
// register during static initialisation, whatever the order.
std::vector<FastPath *> &registry() {
    static std::vector<FastPath *> paths;
    return paths;
}

// Whether the build switched the fast path `name` off (see the header).
bool disabled_by_build(const char *name) {
#ifdef QUORVEL_DISABLE_FAST_PATHS
    const char *list = QUORVEL_DISABLE_FAST_PATHS;
    if (std::strcmp(list, "all") == 0) return true;
    const size_t length = std::strlen(name);
    for (const char *p = list; *p;) {
        const char *end = std::strchr(p, ',');
        if (!end) end = p + std::strlen(p);
        if ((size_t) (end - p) == length && std::strncmp(p, name, length) == 0) return true;
        p = *end ? end + 1 : end;
    }
#endif
    (void) name;
    return false;
}

}  // namespace

FastPath::FastPath(const char *name, const char *precondition)
    : name_(name), precondition_(precondition), enabled_(!disabled_by_build(name)) {
    registry().push_back(this);
}

const std::vector<FastPath *> &fast_paths() { return registry(); }

nb::object fast_path_counts() {
    nb::object counts = own(PyDict_New());
    for (const FastPath *path : registry()) {
        nb::object entry = own(Py_BuildValue("(KK)", (unsigned long long) path->taken_count(),
                                             (unsigned long long) path->bypassed_count()));
        check(PyDict_SetItemString(counts.ptr(), path->name(), entry.ptr()));
    }
    return counts;
}

nb::object fast_path_taken_counts() {
    nb::object counts = own(PyDict_New());
    for (const FastPath *path : registry()) {
        nb::object taken = own(PyLong_FromUnsignedLongLong(path->taken_count()));
        check(PyDict_SetItemString(counts.ptr(), path->name(), taken.ptr()));
    }
    return counts;
}

}  // namespace qv
