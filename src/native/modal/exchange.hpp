// What the call driver and the decoders share: the names they use, the
// history calls and bound methods the per-line loop needs to be cheap, and
// (included from here) the private reads, the record making, the server's
// errors and the failure path, one theme per file.
#pragma once

#include "runtime/function.hpp"
#include "modal/calls.hpp"
#include "modal/names.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/object.hpp"
#include "modal/failure.hpp"
#include "modal/private_reads.hpp"
#include "modal/record_making.hpp"
#include "modal/server_errors.hpp"

namespace qv::modal::exchange {

// `add_message(role=MessageRole.<role>, content=content)` through a bound
// add_message.
void add_message(nb::handle bound_add_message, nb::handle role, nb::handle content);

// `self.add_message(role=role, content=content)`, run directly when the
// lookup would reach this module's own add_message.
void add_message_to(nb::handle self, nb::handle role, nb::handle content);

// `self._reset()`, run directly when the lookup would reach this module's
// own _reset.
void reset(nb::handle self);

// MessageRole.<role>, through the module global at each use (kept_members.hpp).
nb::object message_role(const Name &role);

// A method of one object looked up once and called many times, without a
// bound-method object in between.
class Method {
public:
    // With `native`, calls go straight to that function's body while the
    // lookup would reach it (see resolves_to).
    void bind(nb::handle obj, const Name &name, const FunctionDef *native = nullptr);
    // Positional arguments, then keyword values named by `kwnames`; for a
    // native binding they must also be in parameter order.
    nb::object operator()(std::initializer_list<PyObject *> args, PyObject *kwnames = nullptr) const;
    int traverse(visitproc visit, void *arg) const;
    // Calls go straight to this module's own function.
    bool native() const { return native_ != nullptr; }

private:
    nb::object function_, self_;
    const FunctionDef *native_ = nullptr;
};

// `_transport.<function>`, read from the module globals at each use.
inline nb::object transport_function(const Name &function) { return get_attr(global(names::transport), function); }

}  // namespace qv::modal::exchange
