// An answer that carries an "error" object is the server's failure.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::exchange {

// The ServerError for an answer that carries an "error" object, when
// `document` is a dict holding one; nothing otherwise.
void raise_if_server_error(nb::handle document);

}  // namespace qv::modal::exchange
