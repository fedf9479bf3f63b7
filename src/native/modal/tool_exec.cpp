// TODO(placeholder): replaced by the real implementation.
#include "modal/members.hpp"
namespace qv::modal {
namespace { nb::object todo(Args) { raise_format(PyExc_NotImplementedError, "not implemented yet"); } }
const FunctionDef t_calls_beautify_def{"t_calls_beautify", "LLModal.t_calls_beautify", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef t_results_beautify_def{"t_results_beautify", "LLModal.t_results_beautify", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef tool_calls_def{"tool_calls", "LLModal.tool_calls", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
}
