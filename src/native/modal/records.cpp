#include "modal/records.hpp"

#include <cstring>

#include "runtime/object.hpp"

#include "modal/fast_paths.hpp"
#include "modal/members.hpp"
#include "modal/names.hpp"
#include "runtime/direct_model.hpp"

namespace qv::modal {
namespace {

DirectModel result_model;
Held status_class_ref;  // LLMStatus, held by the module state
Held given_fields;  // LLMResult's fields without a factory default, as a set
Held result_field_names;  // LLMResult's fields in declaration order, as a tuple

// What a record is made from: the values given for the fields without a
// factory default, matched by name against LLMResult's one declaration
// (llmresult_members) when the module starts.
constexpr const Name *record_inputs[] = {&names::status, &names::reasoning_content, &names::content};
constexpr int status_input = 0;  // record_inputs[status_input] is the status

// A record's field dict, copied for each record: every field in
// declaration order, holding the inputs of the record it was made from
// (the factories' fields hold None).  Copying it costs less than inserting
// the fields one by one; then only what differs is replaced.
Held record_template;
// The inputs the template holds (owned by it; replaced with it).
PyObject *template_inputs[std::size(record_inputs)];

constexpr Py_ssize_t result_field_count() {
    Py_ssize_t count = 0;
    for (const Member &member : llmresult_members)
        if (member.kind == Member::Kind::field) ++count;
    return count;
}

// For each declared field, the index of its input in record_inputs, or
// the factory default that fills it (a fresh dict or list each record).
constexpr int fresh_dict = -1, fresh_list = -2;
int result_field_input[result_field_count()];

bool is_factory(const FieldDefault &value) {
    return value.kind == FieldDefault::Kind::dict_factory || value.kind == FieldDefault::Kind::list_factory;
}

DirectModel entry_model;
Held role_type;           // the enumeration Message's role field validates against
Held given_entry_fields;  // {"role", "contents"}
Held message_bool;        // Message.__bool__ at start-up
Held entry_template;      // an entry's field dict, its keys in place (made on first use)

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
    if (!PyType_Check(status_class.ptr())) return;
    nb::object field_names = own(PyTuple_New(result_field_count()));
    nb::object given = own(PySet_New(nullptr));
    Py_ssize_t index = 0;
    for (const Member &member : llmresult_members) {
        if (member.kind != Member::Kind::field) continue;
        nb::object name = own(PyUnicode_InternFromString(member.name));
        PyTuple_SET_ITEM(field_names.ptr(), index, Py_NewRef(name.ptr()));
        int input = member.value.kind == FieldDefault::Kind::list_factory ? fresh_list : fresh_dict;
        if (!is_factory(member.value)) {
            input = -1;
            for (int i = 0; i < (int) std::size(record_inputs); ++i)
                if (std::strcmp(record_inputs[i]->text(), member.name) == 0) input = i;
            // A field that neither a factory nor an input fills: records are
            // then made by the ordinary construction only.
            if (input < 0) return;
            check(PySet_Add(given.ptr(), name.ptr()));
        }
        result_field_input[index++] = input;
    }
    result_field_names.set(field_names);
    given_fields.set(given);
    status_class_ref.set(status_class);
    result_model.prepare(result_class);
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
    // The fields in declaration order, copied from a template that has the
    // keys in place: copying costs less than inserting them one by one.
    if (!entry_template) {
        nb::object fresh = own(PyDict_New());
        dict_set(fresh, names::role, Py_None);
        dict_set(fresh, names::contents, Py_None);
        dict_set(fresh, names::tool_call_id, names::empty);
        dict_set(fresh, names::tool_calls, Py_None);
        entry_template.set(fresh);
    }
    nb::object fields = own(PyDict_Copy(entry_template.ptr()));
    dict_set(fields, names::role, role);
    dict_set(fields, names::contents, contents);
    dict_set(fields, names::tool_calls, own(PyList_New(0)));
    return entry_model.assemble(fields, given_entry_fields.h());
}

nb::object direct_result(nb::handle cls, nb::handle status, nb::handle reasoning, nb::handle content) {
    if (!fast::direct_record.taken_if([&] {
            return status_class_ref && (PyObject *) Py_TYPE(status.ptr()) == status_class_ref.ptr() &&
                   PyUnicode_CheckExact(reasoning.ptr()) && PyUnicode_CheckExact(content.ptr()) && result_model.applies(cls);
        }))
        return {};
    const nb::handle inputs[std::size(record_inputs)] = {status, reasoning, content};
    // A template of another status is made again from this record: the
    // records of one stream mostly share their status and reasoning.
    if (!record_template || template_inputs[status_input] != status.ptr()) {
        nb::object fresh = own(new_presized_dict(result_field_count()));
        for (Py_ssize_t index = 0; index < result_field_count(); ++index) {
            const int input = result_field_input[index];
            dict_set(fresh, PyTuple_GET_ITEM(result_field_names.ptr(), index), input < 0 ? Py_None : inputs[input].ptr());
        }
        record_template.set(fresh);
        for (size_t i = 0; i < std::size(record_inputs); ++i) template_inputs[i] = inputs[i].ptr();
    }
    nb::object fields = own(PyDict_Copy(record_template.ptr()));
    for (Py_ssize_t index = 0; index < result_field_count(); ++index) {
        nb::handle name = PyTuple_GET_ITEM(result_field_names.ptr(), index);
        const int input = result_field_input[index];
        if (input == fresh_dict)
            dict_set(fields, name, own(PyDict_New()));
        else if (input == fresh_list)
            dict_set(fields, name, own(PyList_New(0)));
        else if (inputs[input].ptr() != template_inputs[input])
            dict_set(fields, name, inputs[input]);
    }
    return result_model.assemble(fields, given_fields.h());
}

}  // namespace qv::modal
