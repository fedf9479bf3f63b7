// The first try of an exchange, made natively in the usual case.
//
// _transport.send opens an _stoppable.Exchange (registered in _inflight so
// that quorvel.cancel can stop it), takes the call's transport settings,
// counts the request in the usage figures and posts.  In Python those layers
// run through nine frames, two lock round trips and a thread-local swap:
// about as much as decoding a short answer.  Here, while every one of those
// pieces is its module's own (the functions, the Exchange class unchanged,
// the call's reading held with its settings made), the same steps run
// natively on the same Python objects: the Exchange is a real instance of
// that class, registered in the same table under the same lock.  A first try
// that did not simply succeed (an error, a status other than 200, a whole
// answer from the pool still to be read, anything not a plain
// requests.Response) goes on in _transport._resume, which does what send
// does from there; a first try that succeeded ends the exchange as send
// does.  Anything not their own calls _transport.send.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::first_try {

// Takes note of _transport and the modules it builds on (start-up).
void remember(nb::handle transport_module);

// _transport.send(requests, url, headers, body, stream, configurator,
// section, model): the answer whose status is 200, or the error of the
// exchange (_stoppable.Stopped when quorvel.cancel stopped it).
nb::object send(nb::handle requests, nb::handle url, nb::handle headers, nb::handle body, nb::handle stream,
                nb::handle configurator, nb::handle section, nb::handle model);

}  // namespace qv::modal::first_try
