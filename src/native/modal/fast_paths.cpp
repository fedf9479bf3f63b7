#include "modal/fast_paths.hpp"

#include <cstdint>

#include "runtime/object.hpp"

namespace qv::modal {
namespace {

constexpr const char *path_names[] = {"json_line",     "json_answer",  "json_refused", "native_lines",
                                      "direct_record", "direct_entry", "kept_entry"};
static_assert(sizeof(path_names) / sizeof(*path_names) == (size_t) FastPath::count_);

// Only touched with the interpreter lock held.
uint64_t counters[(size_t) FastPath::count_] = {};

nb::object fast_path_counts(Args) {
    nb::object result = own(PyDict_New());
    for (size_t i = 0; i < (size_t) FastPath::count_; ++i) {
        nb::object value = own(PyLong_FromUnsignedLongLong(counters[i]));
        check(PyDict_SetItemString(result.ptr(), path_names[i], value.ptr()));
    }
    return result;
}

}  // namespace

void count(FastPath path) noexcept { ++counters[(size_t) path]; }

const FunctionDef fast_path_counts_def{
    "_fast_path_counts", "_fast_path_counts",
    "How many times each fast path of the client was taken, by name (for tests and diagnostics).", {},
    "dict[str, int]", Kind::plain, fast_path_counts,
};

}  // namespace qv::modal
