// Interned names of the cython module.
#pragma once

#include "runtime/names.hpp"

namespace qv::cython::names {
// metaclass
inline Name get{"get"};
inline Name items{"items"};
inline Name update{"update"};
inline Name startswith{"startswith"};
inline Name model_config{"model_config"};
inline Name ignored_types{"ignored_types"};
inline Name dunder{"__"};
inline Name dunder_new{"__new__"};
inline Name CythonModelMeta{"CythonModelMeta"};
inline Name super_{"super"};

// module globals read at call time
inline Name inspect{"inspect"};
inline Name functools{"functools"};
inline Name lru_cache{"lru_cache"};
inline Name get_type_hints{"get_type_hints"};
inline Name get_origin{"get_origin"};
inline Name get_args{"get_args"};
inline Name Annotated{"Annotated"};
inline Name Any{"Any"};
inline Name Field{"Field"};
inline Name create_model{"create_model"};
inline Name ConfigDict{"ConfigDict"};
inline Name TypeAdapter{"TypeAdapter"};
inline Name pydantic_core{"pydantic_core"};
inline Name ContentBlock{"ContentBlock"};
inline Name TextContent{"TextContent"};
inline Name Image{"Image"};
inline Name Audio{"Audio"};
inline Name File{"File"};
inline Name find_kwarg_by_type{"find_kwarg_by_type"};
inline Name ToolResult{"ToolResult"};
inline Name default_serializer{"default_serializer"};
inline Name logger{"logger"};
inline Name get_context{"get_context"};
inline Name get_cached_typeadapter{"get_cached_typeadapter"};
inline Name convert_to_content{"_convert_to_content"};

// adapter cache
inline Name signature{"signature"};
inline Name parameters{"parameters"};
inline Name values{"values"};
inline Name Parameter{"Parameter"};
inline Name VAR_POSITIONAL{"VAR_POSITIONAL"};
inline Name VAR_KEYWORD{"VAR_KEYWORD"};
inline Name empty{"empty"};
inline Name kind{"kind"};
inline Name annotation{"annotation"};
inline Name name{"name"};
inline Name default_{"default"};
inline Name include_extras{"include_extras"};
inline Name dunder_annotations{"__annotations__"};
inline Name dunder_name{"__name__"};
inline Name dunder_config{"__config__"};
inline Name dunder_module{"__module__"};
inline Name return_{"return"};
inline Name description{"description"};
inline Name arbitrary_types_allowed{"arbitrary_types_allowed"};
inline Name extra{"extra"};
inline Name allow{"allow"};
inline Name ignore{"ignore"};
inline Name config{"config"};
inline Name anonymous_fn{"AnonymousFn"};
inline Name params_suffix{"Params"};
inline Name pydantic_complete{"__pydantic_complete__"};
inline Name model_rebuild{"model_rebuild"};
inline Name raise_errors{"raise_errors"};
inline Name types_namespace{"_types_namespace"};

// content conversion
inline Name to_image_content{"to_image_content"};
inline Name to_audio_content{"to_audio_content"};
inline Name to_resource_content{"to_resource_content"};
inline Name type{"type"};
inline Name text{"text"};
inline Name serializer{"serializer"};
inline Name process_as_single_item{"_process_as_single_item"};
inline Name warning{"warning"};
inline Name exc_info{"exc_info"};
inline Name serializer_error_message{"Error serializing tool result: %s"};

// function tool
inline Name fastmcp_server_context{"fastmcp.server.context"};
inline Name Context{"Context"};
inline Name fn{"fn"};
inline Name kwarg_type{"kwarg_type"};
inline Name validate_python{"validate_python"};
inline Name model_dump{"model_dump"};
inline Name validator{"validator"};
inline Name pydantic_serializer{"__pydantic_serializer__"};
inline Name to_python{"to_python"};
inline Name BaseModel{"BaseModel"};
inline Name isawaitable{"isawaitable"};
inline Name output_schema{"output_schema"};
inline Name wrap_marker{"x-fastmcp-wrap-result"};
inline Name result{"result"};
inline Name to_jsonable_python{"to_jsonable_python"};
inline Name content{"content"};
inline Name structured_content{"structured_content"};
inline Name meta{"meta"};
inline Name to_json{"to_json"};
inline Name fallback{"fallback"};
inline Name decode{"decode"};
inline Name dunder_init{"__init__"};
inline Name dunder_dict{"__dict__"};
inline Name pydantic_extra{"__pydantic_extra__"};
inline Name pydantic_fields{"__pydantic_fields__"};
inline Name pydantic_private{"__pydantic_private__"};
inline Name pydantic_fields_set{"__pydantic_fields_set__"};
inline Name unexpected_keyword_argument{"unexpected_keyword_argument"};
inline Name loc{"loc"};
inline Name input{"input"};
inline Name ValidationError{"ValidationError"};
inline Name from_exception_data{"from_exception_data"};

// tool layer, bound on first use
inline Name record{"record"};
inline Name catch_warnings{"catch_warnings"};
inline Name dunder_enter{"__enter__"};
inline Name dunder_exit{"__exit__"};
inline Name message{"message"};
inline Name category{"category"};
inline Name filename{"filename"};
inline Name lineno{"lineno"};
inline Name warn_explicit{"warn_explicit"};
}  // namespace qv::cython::names
