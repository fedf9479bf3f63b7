// Building pydantic models on hot paths (a result record per streamed chunk,
// a text block per tool result).
//
// `cls(**fields)` on a model whose class keeps BaseModel's own __init__ does
// nothing but hand the keywords to the class's compiled validator; calling
// that validator with the dict is what `cls.model_validate` does, and gives
// the same instance without the Python frame of __init__.  Any class that
// changes construction (its own __init__ or __new__, a metaclass __call__, a
// validator that is not pydantic-core's) is called the ordinary way.
#pragma once

#include "runtime/errors.hpp"

namespace qv {

// What plain construction looks like, taken from pydantic on first use and
// held by the module state; shared by every fast path that builds models.
struct PlainPydantic {
    PyObject *base_init;             // BaseModel.__init__
    PyObject *object_new;            // object.__new__
    PyTypeObject *schema_validator;  // pydantic_core.SchemaValidator
    PyTypeObject *model_metaclass;   // type(BaseModel)
};
PlainPydantic plain_pydantic();

// The compiled validator that `cls(**fields)` would hand the keywords to,
// when the class constructs plainly (the decision of the fast path
// `model_through_validator`); an invalid handle when it does not.  Held by
// the caller for the call: validating may rebuild the model, which replaces
// the class's __pydantic_validator__.
nb::object plain_validator(nb::handle cls);
// The same answer, without counting a decision (for setting things up).
nb::object find_plain_validator(nb::handle cls);

// validator.validate_python(fields), the validator from plain_validator.
nb::object validate_fields(nb::handle validator, nb::handle fields);

// cls(**fields); `fields` is an exact dict with string keys, not kept.
nb::object new_model(nb::handle cls, nb::handle fields);

}  // namespace qv
