#include "modal/record_making.hpp"

#include "modal/names.hpp"
#include "modal/records.hpp"
#include "runtime/pydantic_fast.hpp"

namespace qv::modal::exchange {

nb::object make_record(nb::handle cls, nb::handle status, nb::handle message) {
    PyObject *m = message.ptr();
    if (PyDict_CheckExact(m) && PyDict_GET_SIZE(m) == 2) {
        // Held, not borrowed: the second lookup may run a key's __eq__,
        // which can drop the first value from the dict.
        nb::object reasoning = nb::borrow(PyDict_GetItemWithError(m, names::reasoning_content.ptr()));
        nb::object content;
        if (reasoning.is_valid()) content = nb::borrow(PyDict_GetItemWithError(m, names::content.ptr()));
        if (content.is_valid()) return make_text_record(cls, status, reasoning, content);
        if (PyErr_Occurred()) raise_current();
    }
    // Any other mapping: the keywords of `status=status, **message`.
    if (!PyDict_Check(m) && !PyObject_HasAttrString(m, "keys"))
        raise_format(PyExc_TypeError, "LLMResult() argument after ** must be a mapping, not %.200s", Py_TYPE(m)->tp_name);
    nb::object merged = own(PyDict_New());
    check(PyDict_Merge(merged.ptr(), m, 1));
    PyObject *key;
    Py_ssize_t pos = 0;
    while (PyDict_Next(merged.ptr(), &pos, &key, nullptr))
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "keywords must be strings");
    if (PyDict_Contains(merged.ptr(), names::status.ptr()) != 0)
        raise_format(PyExc_TypeError, "LLMResult() got multiple values for keyword argument 'status'");
    nb::object kwargs = own(PyDict_New());
    dict_set(kwargs, names::status, status);
    check(PyDict_Update(kwargs.ptr(), merged.ptr()));
    nb::object no_args = own(PyTuple_New(0));
    return own(PyObject_Call(cls.ptr(), no_args.ptr(), kwargs.ptr()));
}

nb::object make_text_record(nb::handle cls, nb::handle status, nb::handle reasoning, nb::handle content) {
    if (nb::object record = direct_result(cls, status, reasoning, content); record.is_valid()) return record;
    nb::object fields = own(PyDict_New());
    dict_set(fields, names::status, status);
    dict_set(fields, names::reasoning_content, reasoning);
    dict_set(fields, names::content, content);
    return new_model(cls, fields);
}

}  // namespace qv::modal::exchange
