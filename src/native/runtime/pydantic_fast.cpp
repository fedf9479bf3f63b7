#include "runtime/runtime_names.hpp"
#include "runtime/pydantic_fast.hpp"

#include "runtime/fast_path.hpp"
#include "runtime/names.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv {
namespace {

using namespace runtime_names;


// What plain construction looks like, taken from pydantic on first use and
// held by the module state.
Held base_init;         // BaseModel.__init__
Held object_new;        // object.__new__
Held schema_validator;  // pydantic_core.SchemaValidator
Held model_metaclass;   // type(BaseModel)

}  // namespace

PlainPydantic plain_pydantic() {
    if (!base_init) {
        nb::object base = import_from("pydantic", "BaseModel");
        nb::object validator = import_from("pydantic_core", "SchemaValidator");
        object_new.set(type_lookup(&PyBaseObject_Type, new_name.ptr()));
        schema_validator.set(validator);
        model_metaclass.set((PyObject *) Py_TYPE(base.ptr()));
        base_init.set(type_lookup((PyTypeObject *) base.ptr(), init_name.ptr()));
    }
    return {base_init.ptr(), object_new.ptr(), (PyTypeObject *) schema_validator.ptr(),
            (PyTypeObject *) model_metaclass.ptr()};
}

namespace {

FastPath through_validator{"model_through_validator",
                           "the class is a pydantic model that keeps BaseModel.__init__, object.__new__ and "
                           "its metaclass's type.__call__, and its __pydantic_validator__ is a SchemaValidator"};

bool validates_directly(PyTypeObject *type, const PlainPydantic &p) {
    PyTypeObject *meta = Py_TYPE((PyObject *) type);
    return PyType_IsSubtype(meta, p.model_metaclass) && meta->tp_call == PyType_Type.tp_call &&
           type_lookup(type, init_name.ptr()) == p.base_init &&
           type_lookup(type, new_name.ptr()) == p.object_new;
}

}  // namespace

nb::object find_plain_validator(nb::handle cls) {
    nb::object validator;
    if (PyType_Check(cls.ptr())) {
        const PlainPydantic p = plain_pydantic();
        auto *type = (PyTypeObject *) cls.ptr();
        if (validates_directly(type, p)) {
            validator = nb::borrow(type_lookup(type, validator_name.ptr()));
            if (validator.is_valid() && Py_TYPE(validator.ptr()) != p.schema_validator) validator = nb::object();
        }
    }
    return validator;
}

nb::object plain_validator(nb::handle cls) {
    nb::object validator = find_plain_validator(cls);
    if (through_validator.taken(validator.is_valid())) return validator;
    return nb::object();
}

nb::object validate_fields(nb::handle validator, nb::handle fields) {
    return own(PyObject_CallMethodOneArg(validator.ptr(), validate_python_name.ptr(), fields.ptr()));
}

nb::object new_model(nb::handle cls, nb::handle fields) {
    if (nb::object validator = plain_validator(cls); validator.is_valid()) return validate_fields(validator, fields);
    nb::object noargs = own(PyTuple_New(0));
    return own(PyObject_Call(cls.ptr(), noargs.ptr(), fields.ptr()));
}

}  // namespace qv
