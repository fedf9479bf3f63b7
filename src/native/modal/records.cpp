#include "modal/records.hpp"

#include "runtime/object.hpp"

#include "modal/fast_paths.hpp"
#include "modal/names.hpp"
#include "runtime/direct_model.hpp"

namespace qv::modal {
namespace {

DirectModel result_model;
Held status_class_ref;  // LLMStatus, held by the module state
Held given_fields;  // {"status", "reasoning_content", "content"}

DirectModel entry_model;
Held role_type;           // the enumeration Message's role field validates against
Held given_entry_fields;  // {"role", "contents"}
Held message_bool;        // Message.__bool__ at start-up

Name model_fields_name{"model_fields"};
Name bool_name{"__bool__"};
Name annotation_name{"annotation"};

nb::object name_set(std::initializer_list<const Name *> names) {
    nb::object set = own(PySet_New(nullptr));
    for (const Name *name : names) check(PySet_Add(set.ptr(), name->ptr()));
    return set;
}

}  // namespace

void prepare_direct_results(nb::handle result_class, nb::handle status_class) {
    result_model.prepare(result_class);
    if (!PyType_Check(status_class.ptr())) return;
    status_class_ref.set(status_class);
    given_fields.set(own(PySet_New(nullptr)));
    for (const Name *field : {&names::status, &names::reasoning_content, &names::content})
        check(PySet_Add(given_fields.ptr(), field->ptr()));
}

bool message_truth_is_contents(nb::handle entry) {
    return message_bool && type_lookup(Py_TYPE(entry.ptr()), bool_name.ptr()) == message_bool.ptr();
}

void prepare_direct_entries(nb::handle message_class) {
    if (PyType_Check(message_class.ptr()))
        message_bool.set(type_lookup((PyTypeObject *) message_class.ptr(), bool_name.ptr()));
    // The role field validates its values against the enumeration it was
    // declared with; a member of exactly that class is kept as it is.
    nb::object fields = get_attr(message_class, model_fields_name);
    if (!PyDict_Check(fields.ptr())) return;
    PyObject *role_field = PyDict_GetItemWithError(fields.ptr(), names::role.ptr());
    if (!role_field) {
        if (PyErr_Occurred()) raise_current();
        return;
    }
    nb::object annotation = get_attr(role_field, annotation_name);
    if (!PyType_Check(annotation.ptr())) return;
    entry_model.prepare(message_class);
    role_type.set(annotation);
    given_entry_fields.set(name_set({&names::role, &names::contents}));
}

nb::object direct_entry(nb::handle cls, nb::handle role, nb::handle text) {
    if (!fast::direct_entry.taken_if([&] {
            return role_type && (PyObject *) Py_TYPE(role.ptr()) == role_type.ptr() && PyUnicode_CheckExact(text.ptr()) &&
                   entry_model.applies(cls);
        }))
        return {};
    nb::object contents = own(PyList_New(1));
    PyList_SET_ITEM(contents.ptr(), 0, Py_NewRef(text.ptr()));
    nb::object fields = own(PyDict_New());
    dict_set(fields, names::role, role);
    dict_set(fields, names::contents, contents);
    dict_set(fields, names::tool_call_id, names::empty);
    dict_set(fields, names::tool_calls, own(PyList_New(0)));
    return entry_model.assemble(fields, given_entry_fields.h());
}

nb::object direct_result(nb::handle cls, nb::handle status, nb::handle reasoning, nb::handle content) {
    if (!fast::direct_record.taken_if([&] {
            return status_class_ref && (PyObject *) Py_TYPE(status.ptr()) == status_class_ref.ptr() &&
                   PyUnicode_CheckExact(reasoning.ptr()) && PyUnicode_CheckExact(content.ptr()) && result_model.applies(cls);
        }))
        return {};
    nb::object fields = own(new_presized_dict(5));
    dict_set(fields, names::tool_calls, own(PyDict_New()));
    dict_set(fields, names::tool_results, own(PyDict_New()));
    dict_set(fields, names::reasoning_content, reasoning);
    dict_set(fields, names::content, content);
    dict_set(fields, names::status, status);
    return result_model.assemble(fields, given_fields.h());
}

}  // namespace qv::modal
