// One instance serves one call at a time, and a new turn never acts on what
// an older one left behind.
//
// Running: while a call of an LLModal executes (invoke, _core_call, or one
// step of a stream), the instance is marked as running on the calling thread,
// or held by the guard of an async call.  A call from another thread, or
// from another task while a guard holds it, then fails at once with
// RuntimeError, before it has changed anything; the same thread may enter a
// synchronous call again (the driver's follow-up exchanges).  A stream paused between two
// records is not running, so its consumer may leave it unfinished and make
// another call on the same instance.
//
// Turns: a call that enters an instance not running on this thread (invoke,
// or _core_call from outside) starts a new turn.  Streams of the instance
// still open at that moment belong to an older turn and are superseded: the
// tool calls they collected and the batch count are discarded (the per-call
// state is reset) before the new turn starts, and a superseded stream, when
// resumed, ends at once without reading, running or recording anything.
// Closing it touches nothing either: by then the per-call state is the newer
// turn's.  History entries a stream has recorded stay.
//
// The tables live as long as the process (the module is initialised once per
// process) and are only touched with the GIL held.
#pragma once

#include "runtime/object.hpp"

namespace qv::modal::turn {

// Marks `model` as running a call on this thread for the lifetime of the
// object; raises RuntimeError when another thread is running a call on it,
// or, unless `reentrant`, when this thread is.
class Running {
public:
    explicit Running(nb::handle model, bool reentrant = true);
    ~Running();
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;

    // Nothing of this instance was running on this thread before: this call
    // is the outermost one.
    bool outermost() const { return outermost_; }

private:
    PyObject *model_;
    bool outermost_;
};

// A stream of `model`, registered as open from its creation until it ends
// (`end`) or its decoder is destroyed.
class OpenStream {
public:
    explicit OpenStream(nb::handle model);
    ~OpenStream() { end(); }
    OpenStream(const OpenStream &) = delete;
    OpenStream &operator=(const OpenStream &) = delete;

    void end();
    // A newer turn has started since this stream was made.
    bool superseded() const { return superseded_; }

private:
    friend bool supersede_open_streams(nb::handle model);
    PyObject *model_;  // borrowed: the decoder holds the model
    bool open_ = false, superseded_ = false;
};

// Whether a call of `model` is running (on any thread, or held by a guard).
bool running(nb::handle model);

// Marks every open stream of `model` as superseded; true when there was one.
bool supersede_open_streams(nb::handle model);

// A call held by a guard object across awaits (the async client's
// `_call_guard`): the instance is running a call of that guard's from here
// to `leave_guarded`, and any other call is refused meanwhile, made from
// this thread or another, by a synchronous caller or another task.  Entering
// is refused with the same RuntimeError when anything runs a call on
// `model`; it starts a new turn (open streams superseded, see above).
void enter_guarded(nb::handle model, const void *guard);
void leave_guarded(nb::handle model, const void *guard) noexcept;

// Runs `body` as a call of `model` (invoke, _core_call): refused when another
// thread runs a call on it, and when this thread does unless `reentrant` (the
// decoders call _core_call again; nothing calls invoke from inside a call,
// except a tool that would mix two turns on one instance).  When it is the
// outermost call, a new turn starts
// (see above), and a turn left by an exception outside the Exception family
// (KeyboardInterrupt, SystemExit) discards its per-call state on the way out,
// so that the next turn cannot run the tool calls it had collected.
nb::object run_call(nb::handle model, bool reentrant, nb::object (*body)(nb::handle model, nb::handle arg),
                    nb::handle arg);

// Resets the per-call state of `model` (its `_reset`) while `error` is on its
// way out, and raises `error` again; an error of the reset itself is raised
// instead, with `error` as its context.
[[noreturn]] void discard_and_raise(nb::handle model, PythonError &error);

}  // namespace qv::modal::turn
