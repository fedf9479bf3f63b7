// The module-level functions and tool members of quorvel.cython, one concern
// per file.  module.cpp fixes the order in which they are bound.
#pragma once

#include "runtime/function.hpp"

namespace qv::cython {

// adapter_cache.cpp: binds get_cached_typeadapter (the lru_cache wrapper).
void define_adapter_cache();

// content.cpp: binds _convert_to_content.
void define_convert_to_content();
// content.cpp: notes fastmcp's default_serializer when the tool layer is bound.
void remember_default_serializer();

// text_block.cpp: vets mcp's TextContent when the tool layer is bound, and
// makes the text block of a tool result, TextContent(type="text", text=text).
void remember_text_block_class();
nb::object text_block(nb::handle text);

// plain_json.cpp: pydantic_core.to_jsonable_python(value), with values that
// are plain JSON already copied directly; the function is noted when the
// tool layer is bound.
void remember_to_jsonable();
nb::object jsonable_python(nb::handle value);

// function_tool.cpp: binds CythonFunctionTool.
void define_function_tool();

// tool_layer.cpp: binds the module's __getattr__ and __dir__, through which
// the names taken from fastmcp and mcp, and CythonFunctionTool, are bound on
// first use.
void define_tool_layer_access();

// Binds the tool layer now unless it is bound already; called by every
// member that reads its names.
void ensure_tool_layer();

}  // namespace qv::cython
