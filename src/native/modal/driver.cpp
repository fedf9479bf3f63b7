// The call driver: invoke records the turn and starts an exchange;
// _core_call makes the one POST of an exchange and hands the answer to the
// decoder.  Decoding failures are reported by the decoders, not here.
#include "modal/exchange.hpp"
#include "modal/members.hpp"
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
    return vcall(exchange::transport_function(n::send), {requests.ptr(), url.ptr(), headers.ptr(), body.ptr(),
                                                         stream.ptr(), configurator.ptr(), section.ptr(), self.ptr()});
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

nb::object ask(nb::handle self, nb::handle prompt) {
    // The usage figures of this call start from zero.
    vcall(get_attr(global(n::usage_module), n::begin_call), {self.ptr()});
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
    return call_method(self, n::core_call);
}

nb::object invoke(Args a) { return turn::run_call(a[0], false, ask, a[1]); }

}  // namespace

const FunctionDef core_call_def{
    "_core_call", "LLModal._core_call", nullptr, {{"self"}}, "LLMResult | Iterator[LLMResult]", Kind::plain, core_call,
};
const FunctionDef invoke_def{
    "invoke", "LLModal.invoke", nullptr, {{"self"}, {"prompt", "str", &PyUnicode_Type}},
    "LLMResult | Iterator[LLMResult]", Kind::plain, invoke,
};

}  // namespace qv::modal
