#include "modal/turn.hpp"

#include <algorithm>
#include <vector>

#include "modal/calls.hpp"

namespace qv::modal::turn {
namespace {

// Instances running a call right now: a handful at most, so a vector
// scanned from the end beats any map.  A call belongs to the thread that
// made it; a call held by a guard (`_call_guard`, the async client's) belongs
// to that guard alone, so nothing else re-enters it, not even on its thread.
struct RunningCall {
    PyObject *model;
    PyThreadState *thread;
    const void *guard;  // null for a synchronous call
    int depth;
};
std::vector<RunningCall> running_calls;

std::vector<OpenStream *> open_streams;

RunningCall *find_running(PyObject *model) {
    for (auto it = running_calls.rbegin(); it != running_calls.rend(); ++it)
        if (it->model == model) return &*it;
    return nullptr;
}

[[noreturn]] void refuse(PyObject *model, const char *where) {
    raise_format(PyExc_RuntimeError,
                 "this %.100s instance is already running a call%s; one instance serves one call at a time "
                 "(use one instance per thread)",
                 Py_TYPE(model)->tp_name, where);
}

}  // namespace

Running::Running(nb::handle model, bool reentrant) : model_(model.ptr()) {
    PyThreadState *thread = PyThreadState_Get();
    if (RunningCall *call = find_running(model_)) {
        if (call->thread != thread) refuse(model_, " in another thread");
        if (!reentrant || call->guard) refuse(model_, "");
        ++call->depth;
        outermost_ = false;
        return;
    }
    running_calls.push_back({model_, thread, nullptr, 1});
    outermost_ = true;
}

Running::~Running() {
    RunningCall *call = find_running(model_);
    if (call && --call->depth == 0) running_calls.erase(running_calls.begin() + (call - running_calls.data()));
}

bool running(nb::handle model) { return find_running(model.ptr()) != nullptr; }

void enter_guarded(nb::handle model, const void *guard) {
    PyObject *m = model.ptr();
    PyThreadState *thread = PyThreadState_Get();
    if (RunningCall *call = find_running(m)) refuse(m, call->thread != thread ? " in another thread" : "");
    running_calls.push_back({m, thread, guard, 1});
    try {
        if (supersede_open_streams(model)) call_method(model, names::reset);
    } catch (...) {
        leave_guarded(model, guard);
        throw;
    }
}

void leave_guarded(nb::handle model, const void *guard) noexcept {
    for (auto it = running_calls.begin(); it != running_calls.end(); ++it)
        if (it->model == model.ptr() && it->guard == guard) {
            running_calls.erase(it);
            return;
        }
}

OpenStream::OpenStream(nb::handle model) : model_(model.ptr()) {
    open_streams.push_back(this);
    open_ = true;
}

void OpenStream::end() {
    if (!open_) return;
    open_ = false;
    auto it = std::find(open_streams.begin(), open_streams.end(), this);
    if (it != open_streams.end()) open_streams.erase(it);
}

bool supersede_open_streams(nb::handle model) {
    bool any = false;
    for (size_t i = 0; i < open_streams.size();) {
        OpenStream *stream = open_streams[i];
        if (stream->model_ == model.ptr()) {
            stream->superseded_ = true;
            stream->open_ = false;
            open_streams.erase(open_streams.begin() + i);
            any = true;
        } else {
            ++i;
        }
    }
    return any;
}

void discard_and_raise(nb::handle model, PythonError &error) {
    try {
        call_method(model, names::reset);
    } catch (PythonError &during) {
        // As for an exception raised in a finally block.
        if (!during.value().is(error.value()))
            PyException_SetContext(during.value().ptr(), Py_NewRef(error.value().ptr()));
        throw;
    }
    throw std::move(error);
}

nb::object run_call(nb::handle model, bool reentrant, nb::object (*body)(nb::handle model, nb::handle arg),
                    nb::handle arg) {
    Running running(model, reentrant);
    if (!running.outermost()) return body(model, arg);
    // A stream of an older turn left open may hold the tool calls it
    // collected: they are not this turn's to run.
    if (supersede_open_streams(model)) call_method(model, names::reset);
    try {
        return body(model, arg);
    } catch (PythonError &error) {
        // Exceptions of the Exception family went through the failure path
        // of the exchange, which resets the per-call state.
        if (error.matches(PyExc_Exception)) throw;
        discard_and_raise(model, error);
    }
}

}  // namespace qv::modal::turn
