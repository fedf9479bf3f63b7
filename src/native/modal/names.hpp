// The interned names of the modal module, each text once: attribute names,
// dictionary keys and the fixed texts of requests and history parts.
#pragma once

#include "runtime/names.hpp"

namespace qv::modal::names {
// module globals, looked up at each use
inline Name json{"json"};
inline Name Message{"Message"};
inline Name getattribute{"__getattribute__"};
inline Name fget{"fget"};
inline Name MessageRole{"MessageRole"};
inline Name ToolContent{"ToolContent"};
inline Name LLMResult{"LLMResult"};
inline Name LLMStatus{"LLMStatus"};
inline Name Configurator{"Configurator"};

// LLModal members
inline Name section{"section"};
inline Name images{"images"};
inline Name video{"video"};
inline Name tools{"tools"};
inline Name messages{"messages"};
inline Name extra_body{"extra_body"};
inline Name retry{"retry"};
inline Name tool_calls{"tool_calls"};
inline Name tool_calls_limit{"tool_calls_limit"};
inline Name tool_calls_count{"_tool_calls_count"};
inline Name default_{"_default"};
inline Name stream{"stream"};
inline Name extra_body_property{"_extra_body"};
inline Name messages_latest{"messages_latest"};
inline Name message_latest{"message_latest"};
inline Name add_message{"add_message"};
inline Name add_tool_calls{"_add_tool_calls"};
inline Name reset{"_reset"};

// Message, MessageRole, ToolContent, LLMResult
inline Name role{"role"};
inline Name contents{"contents"};
inline Name latest{"latest"};
inline Name user{"user"};
inline Name assistant{"assistant"};
inline Name tool_call_id{"tool_call_id"};
inline Name name{"name"};
inline Name content{"content"};
inline Name reasoning_content{"reasoning_content"};
inline Name tool_results{"tool_results"};
inline Name status{"status"};
inline Name idle{"idle"};
inline Name model_dump{"model_dump"};

// companions and the standard library
inline Name get{"get"};
inline Name api_key{"api_key"};
inline Name schemas{"schemas"};
inline Name loads{"loads"};
inline Name decoder{"decoder"};
inline Name JSONDecodeError{"JSONDecodeError"};
inline Name append{"append"};
inline Name extend{"extend"};
inline Name clear{"clear"};
inline Name update{"update"};

// request and chat-completion keys
inline Name content_type{"Content-Type"};
inline Name application_json{"application/json"};
inline Name authorization{"Authorization"};
inline Name bearer{"Bearer "};
inline Name parallel_tool_calls{"parallel_tool_calls"};
inline Name index{"index"};
inline Name id{"id"};
inline Name function{"function"};
inline Name arguments{"arguments"};
inline Name reasoning{"reasoning"};

// content parts
inline Name type{"type"};
inline Name text{"text"};
inline Name image_url{"image_url"};
inline Name media_prefix{"data:image;base64,"};

// LLModal members
inline Name system_prompt{"system_prompt"};
inline Name endpoint_url{"endpoint_url"};
inline Name headers_prop{"_headers"};
inline Name body_prop{"_body"};
inline Name close_flag{"_close"};
inline Name message_process{"_message_process"};
inline Name t_calls_beautify{"_t_calls_beautify"};
inline Name t_results_beautify{"_t_results_beautify"};
inline Name run_tool_calls{"_tool_calls"};
inline Name core_call{"_core_call"};
inline Name response_method{"_response"};
inline Name stream_response_method{"_stream_response"};
inline Name pydantic_private{"__pydantic_private__"};

// the call driver: requests, printing, results
inline Name headers{"headers"};
inline Name flush{"flush"};
inline Name print{"print"};
inline Name requests{"requests"};
inline Name post{"post"};
inline Name system{"system"};
inline Name answer{"answer"};
inline Name reason{"reason"};

// the response and the wire format
inline Name status_code{"status_code"};
inline Name close{"close"};
inline Name choices{"choices"};
inline Name message{"message"};
inline Name delta{"delta"};
inline Name finish_reason{"finish_reason"};
inline Name error{"error"};
inline Name code{"code"};

// printed failure lines
inline Name request_error{"LLM request error: "};
inline Name parse_error{"Error parsing LLM response: "};

// the call driver and the exchange
inline Name transport{"_transport"};
inline Name send{"send"};
inline Name check_settings{"check_settings"};
inline Name abandon_stream{"abandon_stream"};
inline Name stream_body{"stream_body"};
inline Name Stopped{"Stopped"};
inline Name ToolRound{"ToolRound"};

// the body of a streamed answer (quorvel._body.Body)
inline Name splittable{"splittable"};
inline Name blocks{"blocks"};
inline Name lines{"lines"};
inline Name finish{"finish"};
inline Name stop{"stop"};
inline Name abandon{"abandon"};
inline Name end{"end"};
inline Name cancelled{"cancelled"};
inline Name answer_error{"answer_error"};

// the decoders: reply shapes, native line splitting, fast JSON
inline Name thinking_type{"thinking"};
inline Name reasoning_text_type{"reasoning.text"};
inline Name reasoning_summary_type{"reasoning.summary"};
inline Name summary{"summary"};
inline Name dumps{"dumps"};
inline Name ensure_ascii{"ensure_ascii"};
inline Name no_arguments{"{}"};
inline Name stream_response_qualname{"LLModal._stream_response"};
inline Name decode{"decode"};
inline Name utf8{"utf-8"};
inline Name encoding{"encoding"};
inline Name complexjson{"complexjson"};
inline Name default_decoder{"_default_decoder"};
inline Name reasoning_details{"reasoning_details"};

inline Name null_text{"null"};
inline Name usage{"usage"};
inline Name prompt_tokens{"prompt_tokens"};
inline Name completion_tokens{"completion_tokens"};
inline Name total_tokens{"total_tokens"};
inline Name usage_module{"_usage"};
inline Name answer_settings_module{"_answer_settings"};
inline Name read_answer_settings{"read"};
inline Name stream_usage{"stream_usage"};
inline Name think_tags{"think_tags"};
inline Name bound_usage_wait{"bound_usage_wait"};
inline Name cancel{"cancel"};
inline Name call_settings_module{"_call_settings"};
inline Name held_readings{"_held"};
inline Name reading{"reading"};
inline Name derived{"derived"};
inline Name answer_key{"answer"};
inline Name open_reading{"open"};

inline Name empty{""};
}  // namespace qv::modal::names
