// LLModal, declared in one place: its members' definitions live one concern
// per file (named below); `llmodal_members` is the class body in source
// order, which module.cpp builds.  Adding a member is one line here (its
// declaration) and one in the table.
#pragma once

#include "runtime/classes.hpp"
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

// driver.cpp: the call driver (post, decode, tools, post again)
extern const FunctionDef response_def;          // _response(response)
extern const FunctionDef stream_response_def;   // _stream_response(response), generator
extern const FunctionDef core_call_def;         // _core_call()
extern const FunctionDef invoke_def;            // invoke(prompt)

// result.cpp: defines LLMStatus, ToolContent and LLMResult as module globals.
void define_result_types();
extern const FunctionDef result_add_def;        // LLMResult.__add__

inline constexpr Member tool_content_members[] = {
    field("name", "str"),
    field("content", "str | dict[str, Any]"),
};

inline constexpr Member llmresult_members[] = {
    field("tool_calls", "dict[str, ToolContent]", new_dict()),
    field("tool_results", "dict[str, ToolContent]", new_dict()),
    field("reasoning_content", "str", default_text("")),
    field("content", "str", default_text("")),
    field("status", "LLMStatus", global_attr("LLMStatus", "idle")),
    method(result_add_def),
};

inline constexpr Member llmodal_members[] = {
    field("section", "str", default_text("llm")),
    field("endpoint_url", "str", default_text("")),
    field("system_prompt", "str", default_text("")),
    field("images", "list[str]", new_list()),
    field("video", "list[str]", new_list()),
    field("tools", "Tools", new_global("Tools")),
    field("messages", "list[Message]", new_list()),
    field("extra_body", "dict[str, Any]", new_dict()),
    field("retry", "bool", default_false()),
    field("tool_calls", "list[dict[str, Any]]", new_list()),
    field("tool_calls_limit", "int", default_int(3)),
    field("_tool_calls_count", "int", default_int(0)),
    field("_close", "bool", default_false()),
    field("_default", "str", default_text("The server is busy. Please try again later.")),
    method(reset_def),
    property(stream_def),
    property(extra_body_def),
    property(headers_def),
    property(body_def),
    property(messages_latest_def),
    method(message_latest_def),
    method(add_message_def),
    method(add_tool_calls_def),
    method(message_process_def),
    staticmethod(t_calls_beautify_def),
    staticmethod(t_results_beautify_def),
    method(response_def),
    method(stream_response_def),
    method(tool_calls_def),
    method(core_call_def),
    method(invoke_def),
};

}  // namespace qv::modal
