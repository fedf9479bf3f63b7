#include "runtime/runtime_names.hpp"
#include "runtime/direct_model.hpp"

#include "runtime/fast_path.hpp"

#include <structmember.h>

#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/object.hpp"
#include "runtime/pydantic_fast.hpp"

namespace qv {
namespace {

using namespace runtime_names;


// Where a slot of BaseModel lives in the instance; 0 if it is not a plain slot.
Py_ssize_t slot_offset(PyTypeObject *type, const Name &name) {
    PyObject *descr = type_lookup(type, name.ptr());
    if (!descr || Py_TYPE(descr) != &PyMemberDescr_Type) return 0;
    PyMemberDef *member = ((PyMemberDescrObject *) descr)->d_member;
    if (member->type != T_OBJECT_EX || (member->flags & READONLY)) return 0;
    return member->offset;
}

bool lookup_is(PyTypeObject *type, const Name &name, PyObject *expected) {
    return type_lookup(type, name.ptr()) == expected;
}

bool constructs_plainly(PyTypeObject *type, const PlainPydantic &p) {
    PyTypeObject *meta = Py_TYPE((PyObject *) type);
    return PyType_IsSubtype(meta, p.model_metaclass) && meta->tp_call == PyType_Type.tp_call &&
           lookup_is(type, init_name, p.base_init) && lookup_is(type, new_name, p.object_new) &&
           lookup_is(type, post_init_name, Py_None);
}

// pydantic's own __setattr__ and the handlers it memoises, held by the
// module state (found on first use).
struct SetattrHandlers {
    Held base_setattr;  // BaseModel.__setattr__
    Held field;         // pydantic's handler for a model field
    Held private_attr;  // ... and for a private attribute
    // BaseModel's descriptors of what the handlers read, and where the
    // slots lie (0: not a plain slot)
    Held dict_descr, fields_set_descr, private_descr;
    Py_ssize_t fields_set_offset = 0, private_offset = 0;
    bool known = false;
};
SetattrHandlers handlers;

const SetattrHandlers &setattr_handlers() {
    SetattrHandlers &h = handlers;
    if (!h.known) {
        h.known = true;
        nb::object base = import_from("pydantic", "BaseModel");
        auto *base_type = (PyTypeObject *) base.ptr();
        h.base_setattr.set(type_lookup(base_type, setattr_name.ptr()));
        h.dict_descr.set(type_lookup(base_type, dict_name.ptr()));
        h.fields_set_descr.set(type_lookup(base_type, fields_set_name.ptr()));
        h.private_descr.set(type_lookup(base_type, pydantic_private_name.ptr()));
        h.fields_set_offset = slot_offset(base_type, fields_set_name);
        h.private_offset = slot_offset(base_type, pydantic_private_name);
        PyObject *found = nullptr;
        if (PyObject *main = PyImport_ImportModule("pydantic.main")) {
            found = PyObject_GetAttrString(main, "_SIMPLE_SETATTR_HANDLERS");
            Py_DECREF(main);
        }
        nb::object memo = nb::steal(found);
        // Older pydantic memoises nothing: the ordinary path always runs.
        if (!memo.is_valid() || !PyDict_Check(memo.ptr())) {
            PyErr_Clear();
            return h;
        }
        h.field.set(PyDict_GetItemString(memo.ptr(), "model_field"));
        h.private_attr.set(PyDict_GetItemString(memo.ptr(), "private"));
    }
    return h;
}

// Whether `model.<name>` is read by object's own attribute access from
// BaseModel's descriptor `descr` (a data descriptor: nothing on the instance
// shadows it).
bool reads_base_descriptor(PyTypeObject *type, const Name &name, const Held &descr) {
    static PyObject *const generic = type_lookup(&PyBaseObject_Type, getattribute_name.ptr());
    return descr && type_lookup(type, name.ptr()) == descr.ptr() &&
           type_lookup(type, getattribute_name.ptr()) == generic;
}

// model.<name> for one of BaseModel's slots: the slot's value, read where
// the attribute lookup would read it; the lookup itself when the class
// reads it otherwise or the slot is empty (AttributeError).
nb::object base_slot(nb::handle model, const Name &name, const Held &descr, Py_ssize_t offset) {
    if (offset && reads_base_descriptor(Py_TYPE(model.ptr()), name, descr)) {
        if (PyObject *value = *(PyObject **) ((char *) model.ptr() + offset)) return nb::borrow(value);
    }
    return get_attr(model, name);
}

// model.__dict__: the instance dict itself while the class reads it through
// BaseModel's descriptor.
nb::object instance_dict(nb::handle model, const SetattrHandlers &h) {
    if (reads_base_descriptor(Py_TYPE(model.ptr()), dict_name, h.dict_descr) &&
        Py_IS_TYPE(h.dict_descr.ptr(), &PyGetSetDescr_Type)) {
        PyObject **slot = instance_dict_ptr(model.ptr());
        if (slot && *slot) return nb::borrow(*slot);
    }
    return get_attr(model, dict_name);
}

}  // namespace

bool set_as_pydantic_would(nb::handle model, const Name &name, nb::handle value, FastPath &path) {
    // Decided first: which of pydantic's handlers the name has memoised.
    enum class Handler { none, field, private_attr } handler = Handler::none;
    nb::object priv;
    const bool direct = path.taken_if([&] {
        const SetattrHandlers &h = setattr_handlers();
        PyTypeObject *type = Py_TYPE(model.ptr());
        if (!h.base_setattr || !h.field || type_lookup(type, setattr_name.ptr()) != h.base_setattr.ptr()) return false;
        PyObject *memo = type_lookup(type, setattr_handlers_name.ptr());
        if (!memo || !PyDict_CheckExact(memo)) return false;
        PyObject *found = PyDict_GetItemWithError(memo, name.ptr());
        if (!found) {
            if (PyErr_Occurred()) raise_current();
            return false;
        }
        if (found == h.field.ptr()) {
            handler = Handler::field;
            return true;
        }
        if (found != h.private_attr.ptr()) return false;
        PyObject *held = nullptr;
        if (h.private_offset && reads_base_descriptor(type, pydantic_private_name, h.private_descr))
            held = Py_XNewRef(*(PyObject **) ((char *) model.ptr() + h.private_offset));
        if (!held && get_optional_attr(model.ptr(), pydantic_private_name.ptr(), &held) < 0) raise_current();
        priv = nb::steal(held);
        // pydantic's handler creates __pydantic_private__ first.
        if (!priv.is_valid() || priv.is_none()) return false;
        handler = Handler::private_attr;
        return true;
    });
    if (!direct) return false;
    if (handler == Handler::private_attr) {
        check(PyObject_SetItem(priv.ptr(), name.ptr(), value.ptr()));
        return true;
    }
    // model.__dict__[name] = val; model.__pydantic_fields_set__.add(name)
    const SetattrHandlers &h = setattr_handlers();
    nb::object dict = instance_dict(model, h);
    check(PyObject_SetItem(dict.ptr(), name.ptr(), value.ptr()));
    nb::object fields_set = base_slot(model, fields_set_name, h.fields_set_descr, h.fields_set_offset);
    if (PySet_CheckExact(fields_set.ptr()))
        check(PySet_Add(fields_set.ptr(), name.ptr()));
    else
        own(PyObject_CallMethodOneArg(fields_set.ptr(), add_name.ptr(), name.ptr()));
    return true;
}

void DirectModel::prepare(nb::handle cls) {
    plain_tag_ = plain_meta_tag_ = 0;
    class_.set(nb::handle());
    validator_.set(nb::handle());
    if (!PyType_Check(cls.ptr())) return;
    auto *type = (PyTypeObject *) cls.ptr();
    const PlainPydantic p = plain_pydantic();
    if (!constructs_plainly(type, p)) return;
    PyObject *validator = type_lookup(type, validator_name.ptr());
    if (!validator || Py_TYPE(validator) != p.schema_validator) return;
    if (!lookup_is(type, custom_init_name, Py_False) || !lookup_is(type, root_model_name, Py_False)) return;
    PyObject *privates = type_lookup(type, private_attributes_name.ptr());
    if (!privates || !PyDict_CheckExact(privates) || PyDict_GET_SIZE(privates) != 0) return;
    PyObject *config = type_lookup(type, model_config_name.ptr());
    if (!config || !PyDict_CheckExact(config)) return;
    PyObject *extra = PyDict_GetItemWithError(config, extra_name.ptr());
    if (!extra && PyErr_Occurred()) raise_current();
    if (extra && extra != Py_None && check(PyObject_RichCompareBool(extra, allow_name.ptr(), Py_EQ))) return;
    fields_set_offset_ = slot_offset(type, fields_set_name);
    extra_offset_ = slot_offset(type, pydantic_extra_name);
    private_offset_ = slot_offset(type, pydantic_private_name);
    if (!fields_set_offset_ || !extra_offset_ || !private_offset_) return;
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_dictoffset == 0) return;
    class_.set(cls);
    validator_.set(validator);
}

bool DirectModel::applies(nb::handle cls) const {
    if (!class_ || cls.ptr() != class_.ptr()) return false;
    auto *type = (PyTypeObject *) cls.ptr();
    PyTypeObject *meta = Py_TYPE(cls.ptr());
    // CPython gives a class a new version tag whenever it or a base
    // changes: while the class and its metaclass keep the tags they had
    // when last found plain, they still are.
    auto tagged = [](PyTypeObject *t) { return has_version_tag(t); };
    if (tagged(type) && tagged(meta) && type->tp_version_tag == plain_tag_ && meta->tp_version_tag == plain_meta_tag_)
        return true;
    if (!lookup_is(type, validator_name, validator_.ptr()) || !constructs_plainly(type, plain_pydantic())) return false;
    // The lookups gave both a tag if they had none (0: no valid tag).
    plain_tag_ = tagged(type) ? type->tp_version_tag : 0;
    plain_meta_tag_ = tagged(meta) ? meta->tp_version_tag : 0;
    return true;
}

nb::object DirectModel::assemble(nb::handle fields, nb::handle fields_set) const {
    auto *type = (PyTypeObject *) class_.ptr();
    nb::object instance;
#if PY_VERSION_HEX < 0x030D0000
    // object_new (the class's tp_new, see prepare) allocates the instance
    // and gives it the inline attribute values of a managed dict, which the
    // dict below would replace at once (reaching the dict slot turns them
    // into a dict first).  Allocated alone, the instance is as one whose
    // dict has been made: no inline values, an empty dict slot.  From 3.13
    // on the allocation itself lays the values out.
    if (!(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT)) instance = own(type->tp_alloc(type, 0));
#endif
    if (!instance.is_valid()) {
        nb::object noargs = own(PyTuple_New(0));
        instance = own(type->tp_new(type, noargs.ptr(), nullptr));
    }
    // A fresh instance has no dict yet: its slot takes the fields directly.
    PyObject **dict = instance_dict_ptr(instance.ptr());
    if (dict && !*dict && PyDict_CheckExact(fields.ptr()))
        *dict = Py_NewRef(fields.ptr());
    else
        check(PyObject_GenericSetDict(instance.ptr(), fields.ptr(), nullptr));
    char *base = (char *) instance.ptr();
    auto set_slot = [&](Py_ssize_t offset, PyObject *value) {
        PyObject **slot = (PyObject **) (base + offset);
        Py_XSETREF(*slot, value);
    };
    set_slot(fields_set_offset_, own(PySet_New(fields_set.ptr())).release().ptr());
    set_slot(extra_offset_, Py_NewRef(Py_None));
    set_slot(private_offset_, Py_NewRef(Py_None));
    return instance;
}

}  // namespace qv
