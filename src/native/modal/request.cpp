// TODO(placeholder): replaced by the real implementation.
#include "modal/members.hpp"
namespace qv::modal {
namespace { nb::object todo(Args) { raise_format(PyExc_NotImplementedError, "not implemented yet"); } }
const FunctionDef extra_body_def{"extra_body", "LLModal.extra_body", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef headers_def{"headers", "LLModal.headers", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef body_def{"body", "LLModal.body", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
}
