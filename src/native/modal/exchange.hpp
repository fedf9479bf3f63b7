// What the call driver and the decoders share: the names they use, the
// failure path every exchange ends on when something goes wrong, and the
// reads and calls that the per-line loop needs to be cheap.
#pragma once

#include "runtime/function.hpp"
#include "modal/calls.hpp"
#include "modal/names.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/object.hpp"

namespace qv::modal::exchange {

// `add_message(role=MessageRole.<role>, content=content)` through a bound
// add_message.
void add_message(nb::handle bound_add_message, nb::handle role, nb::handle content);

// `self.add_message(role=role, content=content)`, run directly when the
// lookup would reach this module's own add_message.
void add_message_to(nb::handle self, nb::handle role, nb::handle content);

// MessageRole.<role>, read from the module global at each use.
nb::object message_role(const Name &role);

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

// self.<attr> = value for a private attribute (pydantic's __setattr__ keeps
// it where read_private looks).
inline void write_private(nb::handle self, const Name &attr, nb::handle value) { set_attr(self, attr, value); }

// `_transport.<function>`, read from the module globals at each use.
inline nb::object transport_function(const Name &function) { return get_attr(global(names::transport), function); }

// `LLMResult(status=status, **message)` for the dict that _message_process
// returns.
nb::object make_record(nb::handle cls, nb::handle status, nb::handle message);

// `LLMResult(status=status, reasoning_content=reasoning, content=content)`.
nb::object make_text_record(nb::handle cls, nb::handle status, nb::handle reasoning, nb::handle content);

// The ServerError for an answer that carries an "error" object, when
// `document` is a dict holding one; nothing otherwise.
void raise_if_server_error(nb::handle document);

// The fallback answer as an entry of its own: through add_message, except
// where add_message would glue it onto the assistant entry that ends the
// history (then appended directly).
void record_fallback_entry(nb::handle self);

// Whether the history ends with an assistant entry that has text.
bool ends_with_answer(nb::handle self);

// len(self.messages), and whether an entry at `start` or later is an
// assistant entry with text: an exchange that began when the history had
// `start` entries has recorded an answer, itself or in a follow-up.
Py_ssize_t history_length(nb::handle self);
bool answered_since(nb::handle self, Py_ssize_t start);

// The failure path of an exchange.  For an Exception: print `prefix` and the
// error, record the fallback answer as an entry of its own when
// `add_fallback` (and the history does not already end with it), reset the
// per-call state.  Always raises `error`
// again, the same exception object; anything outside the Exception family
// (GeneratorExit, KeyboardInterrupt) passes through untouched.
[[noreturn]] void fail(nb::handle self, nb::handle prefix, bool add_fallback, PythonError &error);

}  // namespace qv::modal::exchange
