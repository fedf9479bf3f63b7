// The call driver: invoke records the turn and starts an exchange;
// _core_call makes the one POST of an exchange and hands the answer to the
// decoder.  Decoding failures are reported by the decoders, not here.
#include "modal/exchange.hpp"
#include "modal/members.hpp"
#include "modal/private_api.hpp"
#include "modal/turn.hpp"
#include "runtime/module.hpp"

namespace qv::modal {
namespace {

namespace n = names;

// The one POST of an exchange, through the transport (timeouts, pooled
// connections, retries); it returns the answer whose status is 200 and
// raises ServerError for any other status.
nb::object post(nb::handle self) {
    // `requests` and `Configurator` are read from the module globals at each
    // call, so that either can be replaced there; a replaced requests.post is
    // called with exactly the URL, headers, json and stream.
    nb::object requests = global(n::requests);
    nb::object url = get_attr(self, n::endpoint_url);
    nb::object headers = get_attr(self, n::headers_prop);
    nb::object body = get_attr(self, n::body_prop);
    nb::object stream = get_attr(self, n::stream);
    nb::object configurator = global(n::Configurator);
    nb::object section = get_attr(self, n::section);
    return vcall(exchange::transport_function(n::send),
                 {requests.ptr(), url.ptr(), headers.ptr(), body.ptr(), stream.ptr(), configurator.ptr(), section.ptr()});
}

nb::object exchange_once(nb::handle self, nb::handle) {
    nb::object response;
    try {
        response = post(self);
    } catch (PythonError &error) {
        exchange::fail(self, n::request_error, true, error);
    }
    if (truthy(get_attr(self, n::stream))) return call_method(self, n::stream_response_method, {response.ptr()});
    return call_method(self, n::response_method, {response.ptr()});
}

nb::object core_call(Args a) { return turn::run_call(a[0], true, exchange_once, nb::handle()); }

// What a turn records before its first POST.
void begin_turn(nb::handle self, nb::handle prompt) {
    // An invalid transport setting fails here, before the history changes.
    vcall(exchange::transport_function(n::check_settings), {global(n::Configurator).ptr(), get_attr(self, n::section).ptr()});
    // The system prompt opens an empty history only.
    if (truthy(get_attr(self, n::system_prompt))) {
        Py_ssize_t count = PyObject_Length(get_attr(self, n::messages).ptr());
        if (count < 0) raise_current();
        if (count == 0)
            exchange::add_message(get_attr(self, n::add_message), exchange::message_role(n::system),
                                  get_attr(self, n::system_prompt));
    }
    // Pending videos alone do not make a user turn; images do.
    if (truthy(get_attr(self, n::images)) || PyUnicode_GET_LENGTH(prompt.ptr()) > 0)
        exchange::add_message(get_attr(self, n::add_message), exchange::message_role(n::user), prompt);
}

nb::object ask(nb::handle self, nb::handle prompt) {
    begin_turn(self, prompt);
    return call_method(self, n::core_call);
}

nb::object invoke(Args a) { return turn::run_call(a[0], false, ask, a[1]); }

nb::object begin_turn_impl(Args a) {
    begin_turn(a[0], a[1]);
    return nb::none();
}

// The failure path for a driver outside this module: the same path, given
// the exception instead of catching it; the caller raises it again.
nb::object fail_impl(Args a) {
    nb::handle model = a[0], prefix = a[1], exc = a[3];
    if (!PyExceptionInstance_Check(exc.ptr()))
        raise_format(PyExc_TypeError, "_fail() needs an exception instance, not %.200s", Py_TYPE(exc.ptr())->tp_name);
    const bool add_fallback = truthy(a[2]);
    restore_exception(exc);
    PythonError error;
    try {
        exchange::fail(model, prefix, add_fallback, error);
    } catch (PythonError &raised) {
        if (!raised.value().is(exc)) throw;
    }
    return nb::none();
}

}  // namespace

const FunctionDef begin_turn_def{
    "_begin_turn", "_begin_turn",
    "What invoke does before its first request: checks the prompt and the transport settings, opens the "
    "history with the system prompt, records the user turn.",
    {{"model", "LLModal"}, {"prompt", "str", &PyUnicode_Type}}, "None", Kind::plain, begin_turn_impl,
};
const FunctionDef fail_def{
    "_fail", "_fail",
    "The failure path of an exchange: for an Exception, prints prefix and the error, records the fallback "
    "answer when add_fallback, resets the per-call state.  Does not raise.",
    {{"model", "LLModal"}, {"prefix", "str", &PyUnicode_Type}, {"add_fallback", "bool"}, {"exc", "BaseException"}},
    "None", Kind::plain, fail_impl,
};

const FunctionDef core_call_def{
    "_core_call", "LLModal._core_call", nullptr, {{"self"}}, "LLMResult | Iterator[LLMResult]", Kind::plain, core_call,
};
const FunctionDef invoke_def{
    "invoke", "LLModal.invoke", nullptr, {{"self"}, {"prompt", "str", &PyUnicode_Type}},
    "LLMResult | Iterator[LLMResult]", Kind::plain, invoke,
};

}  // namespace qv::modal
