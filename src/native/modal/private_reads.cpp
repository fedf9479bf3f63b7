#include "modal/private_reads.hpp"

#include <structmember.h>

#include "runtime/dict_reads.hpp"
#include "runtime/fast_path.hpp"
#include "runtime/module.hpp"
#include "runtime/object.hpp"

namespace qv::modal::exchange {

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

FastPath field_in_dict{"field_in_dict",
                       "attribute access is object's own and the class has nothing under the name: the "
                       "instance dict's value is the attribute"};

// The private value, or null when the shortcut does not apply.
PyObject *private_value(nb::handle self, nb::handle priv, const Name &attr) {
    if (!priv.is_valid() || !PyDict_CheckExact(priv.ptr())) return nullptr;
    return remembered_item(priv.ptr(), attr.ptr());
}

// True when the instance dict has `attr` (it would shadow the private value).
bool shadowed_by_instance(nb::handle self, const Name &attr) {
    PyObject **dictptr = instance_dict_ptr(self.ptr());
    // Dicts are held while looked into: a key's __eq__ may replace them.
    nb::object dict = nb::borrow(dictptr ? *dictptr : nullptr);
    if (!dict.is_valid()) return false;
    if (!PyDict_CheckExact(dict.ptr())) {
        const bool shadowed = PyDict_GetItemWithError(dict.ptr(), attr.ptr()) != nullptr;
        if (!shadowed && PyErr_Occurred()) raise_current();
        return shadowed;
    }
    return remembered_item(dict.ptr(), attr.ptr()) != nullptr;
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

namespace {

// The classes found plain for a name (attribute access object's own,
// nothing under the name), each with the version tag it had then: CPython
// gives a class a new tag whenever it or a base changes, so while the tag
// holds the finding does.
struct PlainName {
    PyTypeObject *type = nullptr;
    PyObject *name = nullptr;
    unsigned int tag = 0;
};
PlainName plain_names[8];
unsigned int next_plain_name = 0;

bool reads_dict_for(PyTypeObject *type, const Name &name) {
    for (const PlainName &seen : plain_names)
        if (seen.type == type && seen.name == name.ptr() && has_version_tag(type) && seen.tag == type->tp_version_tag)
            return true;
    static PyObject *const generic = type_lookup(&PyBaseObject_Type, names::getattribute.ptr());
    if (type_lookup(type, names::getattribute.ptr()) != generic || type_lookup(type, name.ptr())) return false;
    // The lookups above gave the class a tag if it had none.
    if (has_version_tag(type)) plain_names[next_plain_name++ % std::size(plain_names)] = {type, name.ptr(), type->tp_version_tag};
    return true;
}

}  // namespace

nb::object field(nb::handle obj, const Name &name) {
    nb::object value;
    const bool direct = field_in_dict.taken_if([&] {
        if (!reads_dict_for(Py_TYPE(obj.ptr()), name)) return false;
        PyObject **dictptr = instance_dict_ptr(obj.ptr());
        if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return false;
        // Held while looked into: a key's __eq__ may replace the dict.
        nb::object dict = nb::borrow(*dictptr);
        value = nb::borrow(remembered_item(dict.ptr(), name.ptr()));
        return value.is_valid();
    });
    if (direct) return value;
    return get_attr(obj, name);
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

}  // namespace qv::modal::exchange
