// Calls into the interpreter from a thread that the interpreter may end.
//
// At exit the interpreter ends a daemon thread the moment it tries to take
// the GIL back (pthread_exit: a forced unwind through every frame of the
// thread), and by then the thread has no thread state.  Cleanups of native
// frames that run in that unwind would release Python objects without one;
// releasing the last reference of a dict or a model then crashes in its
// deallocator.  So a call into Python that may run arbitrary code goes
// through `into_python`: when such an unwind comes out of the call and the
// thread has no thread state, the thread stops there for good, before any
// native frame's cleanup runs (the interpreter itself does the same for its
// own frames from 3.14 on).  The process exits without waiting for it.
#pragma once

#include <Python.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#include <unistd.h>
#endif

namespace qv {

// Whether this thread has a current thread state, asked without the fatal
// error PyThreadState_Get raises when there is none.  Public from 3.13 on
// (PyThreadState_GetUnchecked); 3.11 and 3.12 have it only as the private
// _PyThreadState_UncheckedGet.  It lives here rather than with the other
// version seams in object.hpp because object.hpp includes this header.
inline bool thread_has_state() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    // 3.11 keeps one current thread state for the whole runtime, the GIL
    // holder's: while the interpreter ends this thread, that is the
    // finalizing thread's.  This thread's own is the one the GIL-state API
    // keeps for it (thread-local, readable without the GIL).
    PyThreadState *current = _PyThreadState_UncheckedGet();
    return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

// Never returns: the thread waits until the process ends.
[[noreturn]] inline void hang_thread() noexcept {
    for (;;) {
#if defined(__GLIBCXX__)
        pause();
#endif
    }
}

// Runs `call`, which calls into the interpreter and returns what the C API
// returned.  Nothing that needs a cleanup may live inside `call`: the
// handler must be the first thing the unwind meets.
template <class Call>
inline auto into_python(Call &&call) -> decltype(call()) {
#if defined(__GLIBCXX__)
    try {
        return call();
    } catch (abi::__forced_unwind &) {
        if (!thread_has_state()) hang_thread();
        throw;
    }
#else
    return call();
#endif
}

}  // namespace qv
