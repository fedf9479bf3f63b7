#include "runtime/classes.hpp"

#include "runtime/module.hpp"

#include <cstring>

namespace qv {

nb::object str(const char *text) { return own(PyUnicode_FromString(text)); }

ClassBody::ClassBody(const char *qualname) : qualname_(qualname) {
    ns_ = own(PyDict_New());
    annotations_ = own(PyDict_New());
    PyObject *module_name = PyDict_GetItemString(module_globals(), "__name__");
    check(PyDict_SetItemString(ns_.ptr(), "__module__", module_name));
    check(PyDict_SetItemString(ns_.ptr(), "__qualname__", str(qualname).ptr()));
    check(PyDict_SetItemString(ns_.ptr(), "__annotations__", annotations_.ptr()));
}

ClassBody &ClassBody::annotate(const char *name, const char *annotation, nb::handle default_value) {
    check(PyDict_SetItemString(annotations_.ptr(), name, str(annotation).ptr()));
    if (default_value.ptr()) set(name, default_value);
    return *this;
}

ClassBody &ClassBody::set(const char *name, nb::handle value) {
    check(PyDict_SetItemString(ns_.ptr(), name, value.ptr()));
    return *this;
}

ClassBody &ClassBody::method(const FunctionDef &def, nb::handle defaults) {
    return set(def.name, make_function(def, defaults));
}

ClassBody &ClassBody::property(const FunctionDef &def) { return set(def.name, make_property(def)); }

ClassBody &ClassBody::staticmethod(const FunctionDef &def) { return set(def.name, make_staticmethod(def)); }

ClassBody &ClassBody::add(const Member &m) {
    switch (m.kind) {
        case Member::Kind::field: return annotate(m.name, m.annotation, m.value.build());
        case Member::Kind::method: return method(*m.def);
        case Member::Kind::property: return property(*m.def);
        case Member::Kind::staticmethod: return staticmethod(*m.def);
    }
    return *this;
}

nb::object ClassBody::build(nb::handle metaclass, std::initializer_list<nb::handle> bases) {
    nb::object base_tuple = own(PyTuple_New((Py_ssize_t) bases.size()));
    Py_ssize_t i = 0;
    for (nb::handle b : bases) PyTuple_SET_ITEM(base_tuple.ptr(), i++, Py_NewRef(b.ptr()));
    const char *dot = strrchr(qualname_, '.');
    nb::object name = str(dot ? dot + 1 : qualname_);
    PyObject *args[] = {name.ptr(), base_tuple.ptr(), ns_.ptr()};
    return own(PyObject_Vectorcall(metaclass.ptr(), args, 3, nullptr));
}

static Name field_name{"Field"};

// A module global read by its name (class bodies are built once, at start-up).
static nb::object global_named(const char *name) {
    PyObject *value = PyDict_GetItemString(module_globals(), name);
    if (!value) raise_format(PyExc_NameError, "name '%s' is not defined", name);
    return nb::borrow(value);
}

nb::object field_default_factory(nb::handle factory) {
    nb::object field = global(field_name);
    nb::object noargs = own(PyTuple_New(0));
    nb::object kwargs = own(PyDict_New());
    check(PyDict_SetItemString(kwargs.ptr(), "default_factory", factory.ptr()));
    return own(PyObject_Call(field.ptr(), noargs.ptr(), kwargs.ptr()));
}

nb::object FieldDefault::build() const {
    switch (kind) {
        case Kind::none: return nb::object();
        case Kind::text: return str(text);
        case Kind::integer: return own(PyLong_FromLong(number));
        case Kind::false_value: return nb::borrow(Py_False);
        case Kind::list_factory: return field_default_factory((PyObject *) &PyList_Type);
        case Kind::dict_factory: return field_default_factory((PyObject *) &PyDict_Type);
        case Kind::global_factory: return field_default_factory(global_named(text));
        case Kind::global_attr: return own(PyObject_GetAttrString(global_named(text).ptr(), attr));
    }
    return nb::object();
}

}  // namespace qv
