// Per-call state of the tool-call loop, and the streaming switch.
#include "modal/calls.hpp"
#include "modal/fast_paths.hpp"
#include "modal/members.hpp"
#include "runtime/direct_model.hpp"

namespace qv::modal {
namespace {

nb::object reset(Args a) {
    nb::handle self = a[0];
    // A new list, not clear(): the assistant message that recorded the
    // previous batch may still share the old one.
    nb::object calls = own(PyList_New(0)), count_ = own(PyLong_FromLong(0));
    if (!set_as_pydantic_would(self, names::tool_calls, calls, fast::direct_write))
        set_attr(self, names::tool_calls, calls);
    if (!set_as_pydantic_would(self, names::tool_calls_count, count_, fast::direct_write))
        set_attr(self, names::tool_calls_count, count_);
    return nb::none();
}

// The stored object itself, not its truth value: the same value travels in
// the request body.
nb::object stream(Args a) {
    nb::object extra_body = get_attr(a[0], names::extra_body);
    if (PyDict_CheckExact(extra_body.ptr())) {
        PyObject *value = PyDict_GetItemWithError(extra_body.ptr(), names::stream.ptr());
        if (!value && PyErr_Occurred()) raise_current();
        return nb::borrow(value ? value : Py_False);
    }
    return call_method(extra_body, names::get, {names::stream.ptr(), Py_False});
}

}  // namespace

const FunctionDef reset_def{"_reset", "LLModal._reset", nullptr, {{"self"}}, "None", Kind::plain, reset};
const FunctionDef stream_def{"stream", "LLModal.stream", nullptr, {{"self"}}, "bool", Kind::plain, stream};

}  // namespace qv::modal
