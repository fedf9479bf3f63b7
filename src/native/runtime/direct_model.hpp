// Assembling pydantic model instances from values the caller knows to be
// valid, without running the model's validator.
//
// What validation would do to such values is nothing: it keeps each value as
// it is, fills the defaults, and records which fields were given.  So an
// instance assembled the way pydantic-core assembles a validated one (the
// field dict in declaration order, __pydantic_fields_set__, no extra, no
// private values) is the instance validation would have built.  That holds
// only for a class that validates the ordinary way: no own __init__ or
// __new__ or metaclass __call__, no model_post_init, no private attributes,
// no extra fields kept, its compiled validator the one it was checked with.
// Anything else goes through construction as usual.
#pragma once

#include "runtime/names.hpp"
#include "runtime/state.hpp"

namespace qv {

class FastPath;

// Declared as a static: what it holds lives in the module state.
class DirectModel {
public:
    // Decides once, for `cls`, whether its instances may be assembled.
    void prepare(nb::handle cls);
    // Whether `cls` is still the class prepared, unchanged since.
    bool applies(nb::handle cls) const;
    // An instance of the prepared class with __dict__ `fields` (every field,
    // in declaration order; taken over) and `fields_set` (the names given;
    // copied).
    nb::object assemble(nb::handle fields, nb::handle fields_set) const;

private:
    Held class_, validator_;  // held by the module state
    Py_ssize_t fields_set_offset_ = 0, extra_offset_ = 0, private_offset_ = 0;
    // The version tags of the class and its metaclass when applies() last
    // found them plain (0: none).
    mutable unsigned int plain_tag_ = 0, plain_meta_tag_ = 0;
};

// `model.<name> = value` as pydantic's own __setattr__ does it once it has
// memoised how to set that name on that class: a field goes into __dict__
// and __pydantic_fields_set__, a private attribute into
// __pydantic_private__.  Done here, without the Python frames of
// __setattr__, only while the class keeps BaseModel.__setattr__ and the
// handler memoised for the name is one of those two of pydantic's own, and
// `path` (the caller's fast path) is on; false, with nothing done, otherwise
// (the caller then sets the attribute the ordinary way, which also memoises
// the handler for next time).
bool set_as_pydantic_would(nb::handle model, const Name &name, nb::handle value, FastPath &path);

}  // namespace qv
