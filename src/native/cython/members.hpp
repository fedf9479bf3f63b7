// The module-level functions and tool members of quorvel.cython, one concern
// per file.  module.cpp fixes the order in which they are bound.
#pragma once

#include "runtime/function.hpp"

namespace qv::cython {

// adapter_cache.cpp: binds get_cached_typeadapter (the lru_cache wrapper).
void define_adapter_cache();

// content.cpp: binds _convert_to_content.
void define_convert_to_content();

// function_tool.cpp: binds CythonFunctionTool.
void define_function_tool();

}  // namespace qv::cython
