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

std::vector<Counter *> &counters() {
    static std::vector<Counter *> list;
    return list;
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

nb::object counter_counts() {
    nb::object counts = own(PyDict_New());
    for (const Counter *counter : counters()) {
        nb::object count = own(PyLong_FromUnsignedLongLong(counter->count()));
        check(PyDict_SetItemString(counts.ptr(), counter->name(), count.ptr()));
    }
    return counts;
}

nb::object fast_paths_off() {
    nb::object names = own(PySet_New(nullptr));
    for (const FastPath *path : registry()) {
        if (path->enabled()) continue;
        nb::object name = own(PyUnicode_FromString(path->name()));
        check(PySet_Add(names.ptr(), name.ptr()));
    }
    return own(PyFrozenSet_New(names.ptr()));
}

Counter::Counter(const char *name, const char *meaning) : name_(name), meaning_(meaning) { counters().push_back(this); }

}  // namespace qv
