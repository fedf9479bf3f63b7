// Interned names of the modal module: attribute names, dictionary keys and
// the fixed texts of requests and history parts.
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
inline Name has_option{"has_option"};
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

inline Name empty{""};
}  // namespace qv::modal::names
