// The text block of a tool result: mcp's TextContent(type="text", text=...).
//
// Most tools return plain values, and each becomes one text block; building
// it through TextContent's compiled validator costs more than the rest of
// the result together.  When the class is the plain one this module vetted
// when the tool layer was bound (no validators, no post-init, no private
// attributes, fields `type`, `text`, `annotations`, `meta` with `None` for
// the last two, extra keys allowed, a plain `str` text), the instance is put
// together here as the validator would leave it: the class's own __new__,
// then its field dict, an empty dict of extras, no private values and the
// set of the two fields given.  The vetted validator is the invariant: a
// rebuilt model has another, and is validated the ordinary way.
#include "cython/members.hpp"
#include "cython/names.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"
#include "runtime/pydantic_fast.hpp"

namespace qv::cython {
namespace {

FastPath direct_text_block{"text_block_direct",
                           "TextContent is the class vetted when the tool layer was bound, still built through "
                           "the validator vetted then, and the text is an exact str"};

// What vetting found: the class, its validator, the value the validator
// gives the `type` field, and the field names (as the class holds them).
Held vetted_class, vetted_validator, type_value, field_names;

constexpr const char *kFieldOrder[] = {"type", "text", "annotations", "meta"};

bool empty_attr(nb::handle obj, const char *name) {
    nb::object value = own(PyObject_GetAttrString(obj.ptr(), name));
    return !truthy(value);
}

// The decorators that take part in validation: none may be declared.
bool no_validators(nb::handle cls) {
    nb::object decorators = own(PyObject_GetAttrString(cls.ptr(), "__pydantic_decorators__"));
    for (const char *kind : {"validators", "field_validators", "root_validators", "model_validators"})
        if (!empty_attr(decorators, kind)) return false;
    return true;
}

// The class's fields, in order, when they are exactly kFieldOrder with a
// plain `str` text without constraints; an invalid handle otherwise.
nb::object plain_fields(nb::handle cls) {
    nb::object fields = own(PyObject_GetAttrString(cls.ptr(), "__pydantic_fields__"));
    if (!PyDict_Check(fields.ptr()) || PyDict_GET_SIZE(fields.ptr()) != 4) return {};
    nb::object keys = own(PyDict_Keys(fields.ptr()));
    for (Py_ssize_t i = 0; i < 4; ++i)
        if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(keys.ptr(), i), kFieldOrder[i]) != 0) return {};
    nb::object text = nb::borrow(PyDict_GetItemString(fields.ptr(), "text"));
    if (get_attr(text, names::annotation).ptr() != (PyObject *) &PyUnicode_Type) return {};
    if (!empty_attr(text, "metadata")) return {};
    return own(PyList_AsTuple(keys.ptr()));
}

// Vets `cls` (TextContent as bound); leaves nothing vetted when any check
// fails, so that the fast path is never taken.
void vet(nb::handle cls) {
    if (!PyType_Check(cls.ptr())) return;
    nb::object validator = find_plain_validator(cls);
    if (!validator.is_valid()) return;
    nb::object post_init = own(PyObject_GetAttrString(cls.ptr(), "__pydantic_post_init__"));
    if (!post_init.is_none() || !empty_attr(cls, "__private_attributes__") || !empty_attr(cls, "__pydantic_root_model__") ||
        !no_validators(cls))
        return;
    nb::object config = get_attr(cls, names::model_config);
    nb::object expected_config = own(Py_BuildValue("{ss}", "extra", "allow"));
    if (!check(PyObject_RichCompareBool(config.ptr(), expected_config.ptr(), Py_EQ))) return;
    nb::object fields = plain_fields(cls);
    if (!fields.is_valid()) return;

    // A probe through the validator confirms the shape the instance takes.
    nb::object probe_text = own(PyUnicode_FromString("probe"));
    nb::object input = own(PyDict_New());
    dict_set(input, names::type, names::text);
    dict_set(input, names::text, probe_text);
    nb::object probe = validate_fields(validator, input);
    if ((PyObject *) Py_TYPE(probe.ptr()) != cls.ptr()) return;
    nb::object values = get_attr(probe, names::dunder_dict);
    if (!PyDict_CheckExact(values.ptr()) || PyDict_GET_SIZE(values.ptr()) != 4) return;
    nb::object order = own(PyDict_Keys(values.ptr()));
    nb::object expected_order = own(PySequence_List(fields.ptr()));
    if (!check(PyObject_RichCompareBool(order.ptr(), expected_order.ptr(), Py_EQ))) return;
    if (PyDict_GetItemString(values.ptr(), "text") != probe_text.ptr() ||
        PyDict_GetItemString(values.ptr(), "annotations") != Py_None ||
        PyDict_GetItemString(values.ptr(), "meta") != Py_None)
        return;
    nb::object extra = get_attr(probe, names::pydantic_extra);
    if (!PyDict_CheckExact(extra.ptr()) || PyDict_GET_SIZE(extra.ptr()) != 0) return;
    if (!get_attr(probe, names::pydantic_private).is_none()) return;
    nb::object fields_set = get_attr(probe, names::pydantic_fields_set);
    nb::object expected_set = own(PySet_New(nullptr));
    check(PySet_Add(expected_set.ptr(), PyTuple_GET_ITEM(fields.ptr(), 0)));
    check(PySet_Add(expected_set.ptr(), PyTuple_GET_ITEM(fields.ptr(), 1)));
    if (!PySet_CheckExact(fields_set.ptr()) ||
        !check(PyObject_RichCompareBool(fields_set.ptr(), expected_set.ptr(), Py_EQ)))
        return;

    type_value.set(PyDict_GetItemString(values.ptr(), "type"));
    field_names.set(fields);
    vetted_validator.set(validator);
    vetted_class.set(cls);
}

// The instance the vetted validator makes of {"type": "text", "text": text}.
nb::object assemble(nb::handle cls, nb::handle text) {
    PyObject *const *name = &PyTuple_GET_ITEM(field_names.ptr(), 0);
    nb::object values = own(new_presized_dict(4));
    dict_set(values, name[0], type_value.ptr());
    dict_set(values, name[1], text);
    dict_set(values, name[2], Py_None);
    dict_set(values, name[3], Py_None);
    nb::object given = own(PySet_New(nullptr));
    check(PySet_Add(given.ptr(), name[0]));
    check(PySet_Add(given.ptr(), name[1]));
    nb::object extra = own(PyDict_New());

    auto *type = (PyTypeObject *) cls.ptr();
    nb::object noargs = own(PyTuple_New(0));
    nb::object block = own(type->tp_new(type, noargs.ptr(), nullptr));
    check(PyObject_GenericSetAttr(block.ptr(), names::dunder_dict.ptr(), values.ptr()));
    check(PyObject_GenericSetAttr(block.ptr(), names::pydantic_extra.ptr(), extra.ptr()));
    check(PyObject_GenericSetAttr(block.ptr(), names::pydantic_private.ptr(), Py_None));
    check(PyObject_GenericSetAttr(block.ptr(), names::pydantic_fields_set.ptr(), given.ptr()));
    return block;
}

}  // namespace

void remember_text_block_class() {
    if (!direct_text_block.enabled()) return;
    try {
        vet(global(names::TextContent));
    } catch (PythonError &e) {
        // A class that does not answer the checks (another pydantic or mcp)
        // is simply not vetted: its blocks go through its validator.
        if (!e.matches(PyExc_Exception)) throw;
    }
}

nb::object text_block(nb::handle text) {
    nb::object cls = global(names::TextContent);
    nb::object validator = plain_validator(cls);
    if (direct_text_block.taken(validator.is_valid() && vetted_class && cls.ptr() == vetted_class.ptr() &&
                                validator.ptr() == vetted_validator.ptr() && PyUnicode_CheckExact(text.ptr())))
        return assemble(cls, text);
    nb::object fields = own(PyDict_New());
    dict_set(fields, names::type, names::text);
    dict_set(fields, names::text, text);
    if (validator.is_valid()) return validate_fields(validator, fields);
    nb::object noargs = own(PyTuple_New(0));
    return own(PyObject_Call(cls.ptr(), noargs.ptr(), fields.ptr()));
}

}  // namespace qv::cython
