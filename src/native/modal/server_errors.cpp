#include "modal/server_errors.hpp"

#include "modal/exchange.hpp"

namespace qv::modal::exchange {

void raise_if_server_error(nb::handle document) {
    if (!PyDict_Check(document.ptr())) return;
    PyObject *error = PyDict_GetItemWithError(document.ptr(), names::error.ptr());
    if (!error) {
        if (PyErr_Occurred()) raise_current();
        return;
    }
    if (error == Py_None) return;
    nb::object held = nb::borrow(error);
    nb::object exc = vcall(transport_function(names::answer_error), {held.ptr()});
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    raise_current();
}

}  // namespace qv::modal::exchange
