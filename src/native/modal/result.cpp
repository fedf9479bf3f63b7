// TODO(placeholder): replaced by the real implementation.
#include "modal/members.hpp"
namespace qv::modal { void define_result_types() {} }
