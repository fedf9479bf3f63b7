#include "runtime/errors.hpp"

#include <cstdarg>
#include <new>
#include <stdexcept>

namespace qv {

void raise_format(PyObject *type, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(type, fmt, ap);
    va_end(ap);
    raise_current();
}

nb::object fetch_exception() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nb::object();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
}

void restore_exception(nb::handle exc) noexcept {
    PyObject *value = exc.ptr();
    if (!value) return;
    PyErr_Restore(Py_NewRef((PyObject *) Py_TYPE(value)), Py_NewRef(value), PyException_GetTraceback(value));
}

PythonError::PythonError() {
    value_ = fetch_exception();
    if (!value_.is_valid()) {
        PyErr_SetString(PyExc_SystemError, "an error was raised without a Python exception set");
        value_ = fetch_exception();
    }
}

void PythonError::restore() noexcept {
    nb::object value = std::move(value_);
    restore_exception(value);
}

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError &e) {
        e.restore();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        if (!PyErr_Occurred()) {
            PyObject *type = PyExc_RuntimeError;
            switch (e.type()) {
                case nb::exception_type::type_error: type = PyExc_TypeError; break;
                case nb::exception_type::value_error: type = PyExc_ValueError; break;
                case nb::exception_type::key_error: type = PyExc_KeyError; break;
                case nb::exception_type::index_error: type = PyExc_IndexError; break;
                case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
                case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
                default: break;
            }
            PyErr_SetString(type, e.what());
        }
    } catch (std::bad_alloc &) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
    } catch (std::exception &e) {
        // A Python error that is already pending says more than the C++ one.
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_RuntimeError, "internal error in quorvel: %s", e.what());
    } catch (...) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "internal error in quorvel: unknown C++ exception");
    }
}

}  // namespace qv
