#include "modal/exchange.hpp"

#include "modal/kept_members.hpp"
#include "modal/members.hpp"
#include "modal/records.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/pydantic_fast.hpp"

#include <structmember.h>

#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::modal::exchange {

void add_message(nb::handle bound_add_message, nb::handle role, nb::handle content) {
    static const KwNames kw{&names::role, &names::content};
    vcall(bound_add_message, {role.ptr(), content.ptr()}, kw.ptr());
}

void add_message_to(nb::handle self, nb::handle role, nb::handle content) {
    if (resolves_to(self, names::add_message.ptr(), add_message_def)) {
        call_direct(add_message_def, {self.ptr(), role.ptr(), content.ptr()});
        return;
    }
    add_message(get_attr(self, names::add_message), role, content);
}

void reset(nb::handle self) {
    if (resolves_to(self, names::reset.ptr(), reset_def))
        call_direct(reset_def, {self.ptr()});
    else
        call_method(self, names::reset);
}

namespace {
KeptMembers roles{names::MessageRole};
}  // namespace

nb::object message_role(const Name &role) { return roles(role); }

void Method::bind(nb::handle obj, const Name &name, const FunctionDef *native) {
    native_ = native && resolves_to(obj, name.ptr(), *native) ? native : nullptr;
    nb::object bound = get_attr(obj, name);
    if (PyMethod_Check(bound.ptr())) {
        function_ = nb::borrow(PyMethod_GET_FUNCTION(bound.ptr()));
        self_ = nb::borrow(PyMethod_GET_SELF(bound.ptr()));
    } else {
        function_ = std::move(bound);
        self_ = nb::object();
    }
}

nb::object Method::operator()(std::initializer_list<PyObject *> args, PyObject *kwnames) const {
    // slot 0 is scratch space for the callee, slot 1 the bound self
    PyObject *argv[8];
    const size_t total = args.size();
    if (total > 6) raise_format(PyExc_SystemError, "too many arguments");
    argv[1] = self_.ptr();
    size_t i = 2;
    for (PyObject *a : args) argv[i++] = a;
    if (native_) return call_direct(*native_, argv + 1, total + 1);
    const size_t nkw = kwnames ? (size_t) PyTuple_GET_SIZE(kwnames) : 0;
    const bool bound = self_.is_valid();
    PyObject *const *start = bound ? argv + 1 : argv + 2;
    const size_t npos = total - nkw + (bound ? 1 : 0);
    const size_t nargsf = npos | (bound ? PY_VECTORCALL_ARGUMENTS_OFFSET : 0);
    return own(into_python([&] { return PyObject_Vectorcall(function_.ptr(), start, nargsf, kwnames); }));
}

int Method::traverse(visitproc visit, void *arg) const {
    if (function_.ptr()) Py_VISIT(function_.ptr());
    if (self_.ptr()) Py_VISIT(self_.ptr());
    return 0;
}

}  // namespace qv::modal::exchange
