// The usage figures' hooks of the call driver, run natively in the usual
// case.
//
// quorvel.usage keeps each model's figures in its own table, under its own
// lock.  A whole answer or a call start meets the hooks once each; in
// Python they cost a few microseconds, as much as decoding a short answer.
// Here the common case (the usage module's hooks are its own, no collector
// is open in the running context, the model already has its figures, the
// server's usage object is the plain one, and the table's lock is free) is
// done without leaving native code; every other case calls the Python hook,
// which does the same.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::usage_hooks {

// Takes note of the usage module's own hooks (start-up).
void remember(nb::handle usage_module);

// usage._begin_call(model): a new call's figures start from zero.
void begin_call(nb::handle model);

// usage._record_request(model): one HTTP attempt was made for `model`.
void record_request(nb::handle model);

// quorvel.usage as found at start-up.
nb::handle own_module();

// usage._record_exchange(model, usage): one answer was decoded; `usage` (null
// for none) is the last usage object it carried.
void record_exchange(nb::handle model, nb::handle usage);

}  // namespace qv::modal::usage_hooks
