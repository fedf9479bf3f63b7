// TODO(placeholder): replaced by the real implementation.
#include "modal/members.hpp"
namespace qv::modal {
namespace { nb::object todo(Args) { raise_format(PyExc_NotImplementedError, "not implemented yet"); } }
const FunctionDef messages_latest_def{"messages_latest", "LLModal.messages_latest", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef message_latest_def{"message_latest", "LLModal.message_latest", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef add_message_def{"add_message", "LLModal.add_message", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef add_tool_calls_def{"add_tool_calls", "LLModal.add_tool_calls", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
const FunctionDef message_process_def{"message_process", "LLModal.message_process", nullptr, {{"self"}}, nullptr, Kind::plain, todo};
}
