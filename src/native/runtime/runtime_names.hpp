// The interned names the runtime itself uses, each text once (each module's
// own names are in its names.hpp).  Owned by the module state, like every
// Name (runtime/names.hpp).
#pragma once

#include "runtime/names.hpp"

namespace qv::runtime_names {
// object protocol
inline Name init_name{"__init__"};
inline Name new_name{"__new__"};
inline Name setattr_name{"__setattr__"};
inline Name getattribute_name{"__getattribute__"};
inline Name dict_name{"__dict__"};

// pydantic's class and instance attributes
inline Name validator_name{"__pydantic_validator__"};
inline Name post_init_name{"__pydantic_post_init__"};
inline Name custom_init_name{"__pydantic_custom_init__"};
inline Name private_attributes_name{"__private_attributes__"};
inline Name root_model_name{"__pydantic_root_model__"};
inline Name fields_set_name{"__pydantic_fields_set__"};
inline Name pydantic_extra_name{"__pydantic_extra__"};
inline Name pydantic_private_name{"__pydantic_private__"};
inline Name setattr_handlers_name{"__pydantic_setattr_handlers__"};
inline Name model_config_name{"model_config"};
inline Name extra_name{"extra"};
inline Name allow_name{"allow"};
inline Name validate_python_name{"validate_python"};

// containers and the generator protocol
inline Name add_name{"add"};
inline Name close_name{"close"};
inline Name throw_name{"throw"};
inline Name value_name{"value"};
}  // namespace qv::runtime_names
