#pragma once

#include "runtime/function.hpp"

namespace qv::cython {

// Defines CythonModelMeta and CythonBaseModel as module globals.
void define_model_base(nb::handle base_model);

}  // namespace qv::cython
