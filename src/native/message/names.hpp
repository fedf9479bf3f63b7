// Interned names of the message module.
#pragma once

#include "runtime/names.hpp"

namespace qv::message::names {
inline Name role{"role"};
inline Name content{"content"};
inline Name contents{"contents"};
inline Name tool_calls{"tool_calls"};
inline Name tool_call_id{"tool_call_id"};
inline Name type{"type"};
inline Name text{"text"};
inline Name latest{"latest"};
inline Name json{"json"};
inline Name dumps{"dumps"};
inline Name ensure_ascii{"ensure_ascii"};
}  // namespace qv::message::names
