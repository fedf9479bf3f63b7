// The call's one reading of its settings (quorvel._call_settings), opened
// and closed natively in the usual case.
//
// Every invoke opens a reading: one lookup of the six options a call needs
// in quorvel's own configuration, which keeps its last answer with the
// environment variables and the file version it came from.  In Python that
// check (the variables, one `access` or `stat` of the file, the table of
// readings) runs through five frames and costs as much as decoding a short
// answer.  Here the common case (_call_settings and Configurator are their
// own, the environment is os.environ's own table, the last answer still
// holds and its reading is already made) is checked without leaving native
// code; anything else calls _call_settings.open, which does the same.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::call_reading {

// Takes note of _call_settings, Configurator and their own functions
// (start-up).
void remember(nb::handle call_settings_module);

// _call_settings.open(configurator, section): holds the call's reading for
// this thread and returns what was held before.
nb::object open(nb::handle configurator, nb::handle section);

// _call_settings.close(before).
void close(nb::handle before);

// _transport.check_settings(configurator, section), skipped when the call's
// held reading of `section` has both settings it derives already made
// (what check_settings itself would find).
void check_settings(nb::handle configurator, nb::handle section);

// The transport settings of the reading held for `section` of
// `configurator`, when it is _call_settings' own kind of reading and they are
// made already (what _transport._exchange_settings would take); null
// otherwise.
nb::object held_transport_settings(nb::handle configurator, nb::handle section);

// quorvel._call_settings as found at start-up.
nb::handle own_module();

// _call_settings.api_key(configurator, section): `(key,)` or `()`.
nb::object api_key(nb::handle configurator, nb::handle section);

}  // namespace qv::modal::call_reading
