// The members of LLModal, one concern per file.  Source order of the class
// body is fixed in module.cpp.
#pragma once

#include "runtime/function.hpp"

namespace qv::modal {

// state.cpp: per-call state
extern const FunctionDef reset_def;             // _reset()
extern const FunctionDef stream_def;            // stream (property)

// request.cpp: request building
extern const FunctionDef extra_body_def;        // _extra_body (property)
extern const FunctionDef headers_def;           // _headers (property)
extern const FunctionDef body_def;              // _body (property)

// history.cpp: conversation history
extern const FunctionDef messages_latest_def;   // messages_latest (property)
extern const FunctionDef message_latest_def;    // message_latest(role)
extern const FunctionDef add_message_def;       // add_message(role, content)
extern const FunctionDef add_tool_calls_def;    // _add_tool_calls(message)
extern const FunctionDef message_process_def;   // _message_process(message)

// tool_exec.cpp: tool-call execution
extern const FunctionDef t_calls_beautify_def;  // _t_calls_beautify (staticmethod)
extern const FunctionDef t_results_beautify_def;// _t_results_beautify (staticmethod)
extern const FunctionDef tool_calls_def;        // _tool_calls()

// decode.cpp: response decoding
extern const FunctionDef response_def;          // _response(response)
extern const FunctionDef stream_response_def;   // _stream_response(response), generator

// driver.cpp: call driver
extern const FunctionDef core_call_def;         // _core_call()
extern const FunctionDef invoke_def;            // invoke(prompt)

// result.cpp: defines LLMStatus, ToolContent and LLMResult as module globals.
void define_result_types();

}  // namespace qv::modal
