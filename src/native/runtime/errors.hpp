// The one error boundary between C++ and CPython.
//
// Inside native code a failed C-API call is turned into a C++ exception
// (PythonError carries the pending Python error).  Every entry point that
// CPython calls runs its body through `boundary`, which turns whatever was
// thrown back into a Python exception and returns NULL, so no C++ exception
// ever unwinds through interpreter frames.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

// A thread that ends while native code is on its stack (pthread_exit; the
// interpreter ends daemon threads that way at exit) is unwound by a forced
// unwind that must pass through every frame: the C library aborts the whole
// process when a catch-all swallows it.  Put this handler before every
// `catch (...)`; the functions holding them must not be noexcept.
#if defined(__GLIBCXX__)
#define QV_RETHROW_FORCED_UNWIND \
    catch (abi::__forced_unwind &) { throw; }
#else
#define QV_RETHROW_FORCED_UNWIND
#endif

namespace qv {
namespace nb = nanobind;

// A Python exception travelling as a C++ exception.  It owns the exception
// object (through nb::object) and hands it back to the interpreter with
// `restore`; one that is caught and dropped releases it.
class PythonError : public std::exception {
public:
    // Takes the exception that is currently set (one must be).
    PythonError();

    bool matches(nb::handle type) const noexcept {
        return PyErr_GivenExceptionMatches(value_.ptr(), type.ptr()) != 0;
    }
    // The exception object (borrowed).
    nb::handle value() const noexcept { return value_; }
    // Sets it as the interpreter's current exception again; call once.
    void restore() noexcept;
    const char *what() const noexcept override { return "Python exception"; }

private:
    nb::object value_;
};

// The pending error as one exception instance carrying its traceback, or an
// invalid object when none is set: the one way native code takes an error
// out of the interpreter's hands.
nb::object fetch_exception() noexcept;

// Sets `exc` (an exception instance, with its traceback) as the pending
// error; nothing for an invalid handle.
void restore_exception(nb::handle exc) noexcept;

// Throws the Python error that is currently set.
[[noreturn]] inline void raise_current() { throw PythonError(); }

// Raises the exception instance `exc` (with its traceback) as a C++ exception.
[[noreturn]] inline void raise_exception(nb::handle exc) {
    restore_exception(exc);
    raise_current();
}

// Sets a Python exception from a printf-style message and throws it.
[[noreturn]] void raise_format(PyObject *type, const char *fmt, ...);

// Takes ownership of a new reference returned by the C API, throwing the
// pending error when the call failed.
inline nb::object own(PyObject *p) {
    if (!p) raise_current();
    return nb::steal(p);
}

// Checks the result of a C-API call that returns -1 on failure.
inline int check(int rc) {
    if (rc < 0) raise_current();
    return rc;
}

// Translates the exception being handled (call only inside a catch block)
// into a pending Python exception.
void set_python_error_from_current_exception() noexcept;

// Runs `body` and hands its result to CPython as a new reference; anything
// thrown becomes a Python exception and NULL is returned.  Only the forced
// unwind of an ending thread passes (so these are not noexcept).
template <class F>
inline PyObject *boundary(F &&body) {
    try {
        return body().release().ptr();
    }
    QV_RETHROW_FORCED_UNWIND
    catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// The same for entry points that report failure with -1.
template <class F>
inline int boundary_int(F &&body) {
    try {
        return body();
    }
    QV_RETHROW_FORCED_UNWIND
    catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

}  // namespace qv
