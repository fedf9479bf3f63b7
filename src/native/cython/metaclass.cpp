// CythonModelMeta: pydantic's model builder takes natively compiled methods
// for fields or private attributes (or refuses them).  This metaclass lists
// the type of every callable attribute of a class body in the body's own
// model_config["ignored_types"], so that the builder leaves them alone.
#include "cython/metaclass.hpp"

#include "cython/names.hpp"
#include "runtime/classes.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::cython {
namespace {

bool starts_with_dunder(nb::handle name) {
    if (PyUnicode_Check(name.ptr()))
        return check((int) PyUnicode_Tailmatch(name.ptr(), names::dunder.ptr(), 0, PY_SSIZE_T_MAX, -1)) != 0;
    nb::object method = get_attr(name, names::startswith);
    return truthy(vcall(method, {names::dunder.ptr()}));
}

nb::object meta_new(Args a) {
    nb::handle cls = a[0], name = a[1], bases = a[2], namespace_ = a[3];

    nb::object get = get_attr(namespace_, names::get);
    nb::object empty = own(PyDict_New());
    nb::object model_config = vcall(get, {names::model_config.ptr(), empty.ptr()});

    nb::object config_get = get_attr(model_config, names::get);
    nb::object no_types = own(PyTuple_New(0));
    nb::object listed = vcall(config_get, {names::ignored_types.ptr(), no_types.ptr()});
    nb::object ignored = own(PySet_New(listed.ptr()));

    nb::object items = vcall(get_attr(namespace_, names::items), {});
    nb::object iter = own(PyObject_GetIter(items.ptr()));
    while (PyObject *raw = PyIter_Next(iter.ptr())) {
        nb::object pair = nb::steal(raw);
        nb::object attr_name = own(PySequence_GetItem(pair.ptr(), 0));
        nb::object attr = own(PySequence_GetItem(pair.ptr(), 1));
        if (!PyCallable_Check(attr.ptr())) continue;
        if (is_instance(attr, (PyObject *) &PyProperty_Type)) continue;
        if (is_instance(attr, (PyObject *) &PyClassMethod_Type)) continue;
        if (is_instance(attr, (PyObject *) &PyStaticMethod_Type)) continue;
        if (starts_with_dunder(attr_name)) continue;
        check(PySet_Add(ignored.ptr(), (PyObject *) Py_TYPE(attr.ptr())));
    }
    if (PyErr_Occurred()) raise_current();

    nb::object update = own(PyDict_New());
    dict_set(update, names::ignored_types, own(PySequence_Tuple(ignored.ptr())));
    vcall(get_attr(model_config, names::update), {update.ptr()});

    nb::object ns_update = own(PyDict_New());
    dict_set(ns_update, names::model_config, model_config);
    vcall(get_attr(namespace_, names::update), {ns_update.ptr()});

    // super(CythonModelMeta, cls).__new__(cls, name, bases, namespace)
    nb::object meta = global(names::CythonModelMeta);
    nb::object parent = vcall(global(names::super_), {meta.ptr(), cls.ptr()});
    nb::object parent_new = get_attr(parent, names::dunder_new);
    return vcall(parent_new, {cls.ptr(), name.ptr(), bases.ptr(), namespace_.ptr()});
}

const FunctionDef meta_new_def{
    "__new__", "CythonModelMeta.__new__", nullptr,
    {{"cls"}, {"name"}, {"bases"}, {"namespace"}},
    "type(BaseModel)", Kind::plain, meta_new,
};

}  // namespace

void define_model_base(nb::handle base_model) {
    nb::handle model_meta = (PyObject *) Py_TYPE(base_model.ptr());
    ClassBody meta("CythonModelMeta");
    meta.staticmethod(meta_new_def);
    nb::object cython_meta = meta.build((PyObject *) Py_TYPE(model_meta.ptr()), {model_meta});
    set_global("CythonModelMeta", cython_meta);

    ClassBody base("CythonBaseModel");
    set_global("CythonBaseModel", base.build(cython_meta, {base_model}));
}

}  // namespace qv::cython
