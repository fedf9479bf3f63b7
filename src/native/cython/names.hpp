// Interned names of the cython module.
#pragma once

#include "runtime/names.hpp"

namespace qv::cython::names {
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
}  // namespace qv::cython::names
