#include "modal/exchange.hpp"

#include <algorithm>

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

nb::object message_role(const Name &role) { return get_attr(global(names::MessageRole), role); }

namespace {

// pydantic keeps private attributes in __pydantic_private__ and reaches them
// from __getattr__, i.e. only after the ordinary lookup has failed: so the
// shortcut applies only when the class and the instance dict have nothing
// under that name.
FastPath private_attribute{"private_attribute",
                           "nothing on the class or in the instance dict shadows the private attribute, and "
                           "__pydantic_private__ is a dict holding it"};
FastPath private_attribute_slot{"private_attribute_slot",
                                "as private_attribute, for instances of the exact class whose "
                                "__pydantic_private__ slot was resolved when the reader was bound"};

// The private value, or null when the shortcut does not apply.
PyObject *private_value(nb::handle self, nb::handle priv, const Name &attr) {
    if (!priv.is_valid() || !PyDict_CheckExact(priv.ptr())) return nullptr;
    PyObject *value = PyDict_GetItemWithError(priv.ptr(), attr.ptr());
    if (!value && PyErr_Occurred()) raise_current();
    return value;
}

// True when the instance dict has `attr` (it would shadow the private value).
bool shadowed_by_instance(nb::handle self, const Name &attr) {
    PyObject **dictptr = instance_dict_ptr(self.ptr());
    // Dicts are held while looked into: a key's __eq__ may replace them.
    nb::object dict = nb::borrow(dictptr ? *dictptr : nullptr);
    if (!dict.is_valid()) return false;
    const bool shadowed = PyDict_GetItemWithError(dict.ptr(), attr.ptr()) != nullptr;
    if (!shadowed && PyErr_Occurred()) raise_current();
    return shadowed;
}

}  // namespace

nb::object read_private(nb::handle self, const Name &attr) {
    nb::object value;
    const bool direct = private_attribute.taken_if([&] {
        if (type_lookup(Py_TYPE(self.ptr()), attr.ptr()) || shadowed_by_instance(self, attr)) return false;
        nb::object priv = get_attr(self, names::pydantic_private);
        value = nb::borrow(private_value(self, priv, attr));
        return value.is_valid();
    });
    if (direct) return value;
    return get_attr(self, attr);
}

void PrivateReader::bind(nb::handle self, const Name &attr) {
    attr_ = &attr;
    type_ = nullptr;
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type_lookup(type, attr.ptr())) return;
    PyObject *slot = type_lookup(type, names::pydantic_private.ptr());
    if (!slot || Py_TYPE(slot) != &PyMemberDescr_Type) return;
    PyMemberDef *member = ((PyMemberDescrObject *) slot)->d_member;
    if (member->type != T_OBJECT_EX && member->type != T_OBJECT) return;
    offset_ = member->offset;
    type_ = type;
}

nb::object PrivateReader::read(nb::handle self) const {
    nb::object value;
    const bool direct = private_attribute_slot.taken_if([&] {
        if (Py_TYPE(self.ptr()) != type_ || shadowed_by_instance(self, *attr_)) return false;
        // Read the slot only now: the lookup above may have run a key's
        // __eq__, which can replace __pydantic_private__ and free the old one.
        nb::object priv = nb::borrow(*(PyObject **) ((char *) self.ptr() + offset_));
        value = nb::borrow(private_value(self, priv, *attr_));
        return value.is_valid();
    });
    if (direct) return value;
    return read_private(self, *attr_);
}

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

void raise_if_server_error(nb::handle document) {
    if (!PyDict_Check(document.ptr())) return;
    PyObject *error = PyDict_GetItemWithError(document.ptr(), names::error.ptr());
    if (!error) {
        if (PyErr_Occurred()) raise_current();
        return;
    }
    if (error == Py_None) return;
    nb::object held = nb::borrow(error);
    nb::object exc = vcall(transport_function(names::answer_error), {held.ptr()});
    PyErr_SetObject((PyObject *) Py_TYPE(exc.ptr()), exc.ptr());
    raise_current();
}

namespace {

void report(nb::handle prefix, nb::handle exc) {
    static const KwNames kw{&names::flush};
    nb::object text = own(PyObject_Str(exc.ptr()));
    text = own(PyUnicode_Concat(prefix.ptr(), text.ptr()));
    vcall(global(names::print), {text.ptr(), Py_True}, kw.ptr());
}

// The current text of `entry` when it is an assistant entry that has one.
nb::object assistant_text(nb::handle entry) {
    nb::object role = get_attr(entry, names::role);
    nb::object assistant = message_role(names::assistant);
    if (!check(PyObject_RichCompareBool(role.ptr(), assistant.ptr(), Py_EQ))) return {};
    nb::object contents = get_attr(entry, names::contents);
    if (!truthy(contents)) return {};
    nb::object text = last_item(contents);
    if (!PyUnicode_Check(text.ptr())) return {};
    return text;
}

// The current text of the last history entry when that is an assistant
// entry with text.
nb::object last_answer(nb::handle self) {
    nb::object messages = get_attr(self, names::messages);
    if (check((int) PyObject_Length(messages.ptr())) == 0) return {};
    return assistant_text(last_item(messages));
}

// The fallback answer goes into the history once per failed call: when a
// nested exchange fails, the inner level has recorded it already (as the
// last entry), and the enclosing levels leave it at that.
void record_fallback(nb::handle self) {
    nb::object fallback = read_private(self, names::default_);
    nb::object last = last_answer(self);
    if (last.is_valid() && PyUnicode_Check(fallback.ptr()) &&
        check(PyObject_RichCompareBool(last.ptr(), fallback.ptr(), Py_EQ)))
        return;
    record_fallback_entry(self);
}

}  // namespace

void record_fallback_entry(nb::handle self) {
    nb::object fallback = read_private(self, names::default_);
    nb::object assistant = message_role(names::assistant);
    // add_message would continue an assistant entry that ends the history:
    // unless a retry makes the fallback a new version of an earlier answer,
    // it is appended as an entry of its own.
    if (last_answer(self).is_valid() && !truthy(get_attr(self, names::retry))) {
        static const KwNames kw{&names::role, &names::contents};
        nb::object contents = own(PyList_New(0));
        append(contents, fallback);
        append(get_attr(self, names::messages), vcall(global(names::Message), {assistant.ptr(), contents.ptr()}, kw.ptr()));
        return;
    }
    add_message(get_attr(self, names::add_message), assistant, fallback);
}

bool ends_with_answer(nb::handle self) { return last_answer(self).is_valid(); }

bool answered_since(nb::handle self, Py_ssize_t start) {
    nb::object messages = get_attr(self, names::messages);
    const Py_ssize_t count = check(PyObject_Length(messages.ptr()));
    for (Py_ssize_t i = std::max<Py_ssize_t>(start, 0); i < count; ++i) {
        nb::object entry = own(PySequence_GetItem(messages.ptr(), i));
        if (assistant_text(entry).is_valid()) return true;
    }
    return false;
}

Py_ssize_t history_length(nb::handle self) { return check(PyObject_Length(get_attr(self, names::messages).ptr())); }

void fail(nb::handle self, nb::handle prefix, bool add_fallback, PythonError &error) {
    if (error.matches(PyExc_Exception)) {
        try {
            report(prefix, error.value());
            if (add_fallback) record_fallback(self);
            call_method(self, names::reset);
        } catch (PythonError &during) {
            // As for an exception raised inside an except block.
            if (!during.value().is(error.value()))
                PyException_SetContext(during.value().ptr(), Py_NewRef(error.value().ptr()));
            throw;
        }
    }
    throw std::move(error);
}

}  // namespace qv::modal::exchange
