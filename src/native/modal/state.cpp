// TODO(placeholder): replaced by the real implementation.
#include "modal/members.hpp"
namespace qv::modal {
namespace { nb::object todo(Args) { raise_format(PyExc_NotImplementedError, "not implemented yet"); } }
const FunctionDef reset_def{"reset", "LLModal.reset", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef stream_def{"stream", "LLModal.stream", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
}
