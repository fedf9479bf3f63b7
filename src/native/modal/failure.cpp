#include "modal/failure.hpp"

#include "modal/exchange.hpp"
#include "modal/private_reads.hpp"
#include "runtime/module.hpp"

namespace qv::modal::exchange {

namespace {

void report(nb::handle prefix, nb::handle exc) {
    static const KwNames kw{&names::flush};
    nb::object text = own(PyObject_Str(exc.ptr()));
    text = own(PyUnicode_Concat(prefix.ptr(), text.ptr()));
    vcall(global(names::print), {text.ptr(), Py_True}, kw.ptr());
}

// Whether the history already ends with the fallback answer: its last entry
// is an assistant entry whose current text ends with it.
bool ends_with_fallback(nb::handle messages, nb::handle fallback) {
    if (!PyUnicode_Check(fallback.ptr())) return false;
    if (check((int) PyObject_Length(messages.ptr())) == 0) return false;
    nb::object last = last_item(messages);
    nb::object role = get_attr(last, names::role);
    nb::object assistant = message_role(names::assistant);
    if (!check(PyObject_RichCompareBool(role.ptr(), assistant.ptr(), Py_EQ))) return false;
    nb::object contents = get_attr(last, names::contents);
    if (!truthy(contents)) return false;
    nb::object text = last_item(contents);
    if (!PyUnicode_Check(text.ptr())) return false;
    return check((int) PyUnicode_Tailmatch(text.ptr(), fallback.ptr(), 0, PY_SSIZE_T_MAX, 1)) == 1;
}

// The fallback answer goes into the history once per failed call: when a
// nested exchange fails, the inner level has recorded it already, and
// recording it again at every enclosing level would glue copies of it onto
// one assistant entry that is then sent with every later request.
void record_fallback(nb::handle self) {
    nb::object fallback = read_private(self, names::default_);
    if (ends_with_fallback(get_attr(self, names::messages), fallback)) return;
    add_message(get_attr(self, names::add_message), message_role(names::assistant), fallback);
}

}  // namespace

void fail(nb::handle self, nb::handle prefix, bool add_fallback, PythonError &error) {
    if (error.matches(PyExc_Exception)) {
        try {
            report(prefix, error.value());
            if (add_fallback) record_fallback(self);
            call_method(self, names::reset);
        } catch (PythonError &during) {
            // As for an exception raised inside an except block.
            if (!during.value().is(error.value()))
                PyException_SetContext(during.value().ptr(), Py_NewRef(error.value().ptr()));
            throw;
        }
    }
    throw std::move(error);
}

}  // namespace qv::modal::exchange
