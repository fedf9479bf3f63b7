#include "runtime/names.hpp"

namespace qv {

Name::Name(const char *text) : text_(text), index_(state_detail::reserve(&Name::intern, this, true)) {}

PyObject *Name::intern(const void *self) { return PyUnicode_InternFromString(static_cast<const Name *>(self)->text_); }

}  // namespace qv
