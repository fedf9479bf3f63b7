// TODO(placeholder): replaced by the real implementation.
#include "modal/members.hpp"
namespace qv::modal {
namespace { nb::object todo(Args) { raise_format(PyExc_NotImplementedError, "not implemented yet"); } }
const FunctionDef core_call_def{"core_call", "LLModal.core_call", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef invoke_def{"invoke", "LLModal.invoke", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
}
