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

}  // namespace

void prepare_direct_results(nb::handle result_class, nb::handle status_class) {
    result_model.prepare(result_class);
    if (!PyType_Check(status_class.ptr())) return;
    status_class_ref.set(status_class);
    given_fields.set(own(PySet_New(nullptr)));
    for (const Name *field : {&names::status, &names::reasoning_content, &names::content})
        check(PySet_Add(given_fields.ptr(), field->ptr()));
}

nb::object direct_result(nb::handle cls, nb::handle status, nb::handle reasoning, nb::handle content) {
    if (!status_class_ref || (PyObject *) Py_TYPE(status.ptr()) != status_class_ref.ptr() || !PyUnicode_CheckExact(reasoning.ptr()) ||
        !PyUnicode_CheckExact(content.ptr()) || !result_model.applies(cls))
        return {};
    nb::object fields = own(new_presized_dict(5));
    dict_set(fields, names::tool_calls, own(PyDict_New()));
    dict_set(fields, names::tool_results, own(PyDict_New()));
    dict_set(fields, names::reasoning_content, reasoning);
    dict_set(fields, names::content, content);
    dict_set(fields, names::status, status);
    nb::object record = result_model.assemble(fields, given_fields.h());
    fast::count(fast::direct_record);
    return record;
}

}  // namespace qv::modal
