// What the call driver and the decoders share: the names they use, the
// failure path every exchange ends on when something goes wrong, and the
// reads and calls that the per-line loop needs to be cheap.
#pragma once

#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/object.hpp"

namespace qv::modal::exchange {

namespace name {
// model members
inline Name messages{"messages"};
inline Name system_prompt{"system_prompt"};
inline Name images{"images"};
inline Name endpoint_url{"endpoint_url"};
inline Name headers_prop{"_headers"};
inline Name body_prop{"_body"};
inline Name stream{"stream"};
inline Name tool_calls{"tool_calls"};
inline Name tool_calls_count{"_tool_calls_count"};
inline Name tool_calls_limit{"tool_calls_limit"};
inline Name close_flag{"_close"};
inline Name fallback{"_default"};
inline Name reset{"_reset"};
inline Name add_message{"add_message"};
inline Name message_process{"_message_process"};
inline Name t_calls_beautify{"_t_calls_beautify"};
inline Name t_results_beautify{"_t_results_beautify"};
inline Name run_tool_calls{"_tool_calls"};
inline Name core_call{"_core_call"};
inline Name response_method{"_response"};
inline Name stream_response_method{"_stream_response"};
inline Name pydantic_private{"__pydantic_private__"};
// keyword arguments and history entries
inline Name role{"role"};
inline Name content{"content"};
inline Name contents{"contents"};
inline Name reasoning_content{"reasoning_content"};
inline Name tool_results{"tool_results"};
inline Name status{"status"};
inline Name headers{"headers"};
inline Name json{"json"};
inline Name flush{"flush"};
// module globals and their attributes
inline Name print{"print"};
inline Name requests{"requests"};
inline Name post{"post"};
inline Name loads{"loads"};
inline Name Message_role{"MessageRole"};
inline Name system{"system"};
inline Name user{"user"};
inline Name assistant{"assistant"};
inline Name LLMResult{"LLMResult"};
inline Name LLMStatus{"LLMStatus"};
inline Name idle{"idle"};
inline Name answer{"answer"};
inline Name reason{"reason"};
inline Name tool_calls_status{"tool_calls"};
inline Name tool_results_status{"tool_results"};
// the response and the wire format
inline Name status_code{"status_code"};
inline Name iter_lines{"iter_lines"};
inline Name close{"close"};
inline Name choices{"choices"};
inline Name message{"message"};
inline Name delta{"delta"};
inline Name finish_reason{"finish_reason"};
inline Name error{"error"};
inline Name code{"code"};
// the transport module (quorvel._transport) and what the driver reads for it
inline Name transport{"_transport"};
inline Name send{"send"};
inline Name check_settings{"check_settings"};
inline Name finish_stream{"finish_stream"};
inline Name abandon_stream{"abandon_stream"};
inline Name answer_error{"answer_error"};
inline Name Configurator{"Configurator"};
inline Name section{"section"};
// printed failure lines
inline Name request_error{"LLM request error: "};
inline Name parse_error{"Error parsing LLM response: "};
}  // namespace name

// self.<method>(...), looked up on the instance.  The spare first slot lets
// the callee prepend a bound self without copying the arguments.
inline nb::object call_method(nb::handle self, const Name &method) {
    PyObject *args[] = {nullptr, self.ptr()};
    return own(PyObject_VectorcallMethod(method.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline nb::object call_method(nb::handle self, const Name &method, nb::handle arg) {
    PyObject *args[] = {nullptr, self.ptr(), arg.ptr()};
    return own(PyObject_VectorcallMethod(method.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline nb::object call_method(nb::handle self, const Name &method, nb::handle arg1, nb::handle arg2) {
    PyObject *args[] = {nullptr, self.ptr(), arg1.ptr(), arg2.ptr()};
    return own(PyObject_VectorcallMethod(method.ptr(), args + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `add_message(role=MessageRole.<role>, content=content)` through a bound
// add_message.
void add_message(nb::handle bound_add_message, nb::handle role, nb::handle content);

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

private:
    nb::object function_, self_;
    const FunctionDef *native_ = nullptr;
};

// self.<attr> = value for a private attribute (pydantic's __setattr__ keeps
// it where read_private looks).
inline void write_private(nb::handle self, const Name &attr, nb::handle value) { set_attr(self, attr, value); }

// `_transport.<function>`, read from the module globals at each use.
inline nb::object transport_function(const Name &function) { return get_attr(global(name::transport), function); }

// `LLMResult(status=status, **message)` for the dict that _message_process
// returns.
nb::object make_record(nb::handle cls, nb::handle status, nb::handle message);

// The ServerError for an answer that carries an "error" object, when
// `document` is a dict holding one; nothing otherwise.
void raise_if_server_error(nb::handle document);

// The failure path of an exchange.  For an Exception: print `prefix` and the
// error, record the fallback answer when `add_fallback` (and the history does
// not already end with it), reset the per-call state.  Always raises `error`
// again, the same exception object; anything outside the Exception family
// (GeneratorExit, KeyboardInterrupt) passes through untouched.
[[noreturn]] void fail(nb::handle self, const Name &prefix, bool add_fallback, PythonError &error);

}  // namespace qv::modal::exchange
