// Reads and writes of the model's private attributes (pydantic keeps them
// in __pydantic_private__), without pydantic's Python frames where that
// gives the same result.
#pragma once

#include "runtime/object.hpp"
#include "modal/names.hpp"

namespace qv::modal::exchange {

// The value of a private attribute of the model, as `self.<attr>` gives it,
// without pydantic's __getattr__ round trip (which costs a raised and
// caught AttributeError) when nothing on the class or instance shadows it.
nb::object read_private(nb::handle self, const Name &attr);

// Reads one private attribute of one model again and again (the stream's
// _close flag, once per line received): the lookup is resolved once, each
// read is then the __pydantic_private__ slot and one dict lookup, with the
// same result as `self.<attr>` as long as nothing shadows the attribute.
class PrivateReader {
public:
    void bind(nb::handle self, const Name &attr);
    nb::object read(nb::handle self) const;

private:
    const Name *attr_ = nullptr;
    PyTypeObject *type_ = nullptr;  // the fast path applies to instances of exactly this type
    Py_ssize_t offset_ = 0;         // of the __pydantic_private__ slot
};

// `obj.<name>` for a field kept in the instance dict (a pydantic model's
// fields, a plain object's attributes), read from the dict while attribute
// access is object's own and the class has nothing under that name, so
// that the dict's value is what the lookup would give; the lookup
// otherwise.
nb::object field(nb::handle obj, const Name &name);

// self.<attr> = value for a private attribute (pydantic's __setattr__ keeps
// it where read_private looks).
inline void write_private(nb::handle self, const Name &attr, nb::handle value) { set_attr(self, attr, value); }

}  // namespace qv::modal::exchange
