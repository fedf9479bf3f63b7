// TODO(placeholder): replaced by the real implementation.
#include "modal/members.hpp"
namespace qv::modal {
namespace { nb::object todo(Args) { raise_format(PyExc_NotImplementedError, "not implemented yet"); } }
const FunctionDef response_def{"response", "LLModal.response", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef stream_response_def{"stream_response", "LLModal.stream_response", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
}
