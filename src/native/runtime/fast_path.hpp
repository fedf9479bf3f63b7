// Fast paths: the one idiom every module follows.
//
// A fast path skips work that the ordinary path would do (a method lookup and
// argument parse, a Python frame of pydantic's or fastmcp's, an attribute
// lookup chain) when one stated precondition holds: the class is the plain
// one, the function is the dependency's own, nothing on the way is
// overridden or patched.  Each one is written the same way:
//
//     FastPath direct_records{"records_through_validator",
//                             "the class keeps BaseModel's __init__, __new__ and metaclass __call__"};
//     ...
//     if (direct_records.taken(validates_directly(type))) return <skip>;
//     return <ordinary path>;
//
// or, when the test itself looks things up, `taken_if([&] { return ...; })`:
// the test then does not even run in a build that switched the path off.
//
// - The precondition is one boolean expression, stated in the FastPath's
//   text and computed in one place.  It is decided once where what it
//   concerns is fixed for a while (a stream's own methods once per stream,
//   the history entries' class once per rendering), otherwise per call:
//   classes and module globals may be patched at any time and the next call
//   must see it.  Type checks go through `type_lookup`, CPython's per-type
//   attribute cache, so a per-call check costs a cache probe.
// - The ordinary path always follows as the fallback and gives the same
//   result; the fast path only saves time.
// - The decision comes first: nothing of the fast path's work is done before
//   `taken` has said yes, so a build that switches it off runs the ordinary
//   path alone.
// - `taken` counts each decision.  Every module has a private function
//   `_fast_paths()` returning {name: (taken, bypassed)} for its fast paths, so
//   tests can show that a path is taken on the plain classes and
//   dependencies and bypassed when what it skips is overridden: a dependency
//   upgrade that quietly disables one fails a test rather than only slowing a
//   benchmark.  The counters are plain integers updated under the GIL.
// - A build can switch fast paths off to check that the tests notice and that
//   the ordinary paths alone give the same results:
//   cmake -DQUORVEL_DISABLE_FAST_PATHS="name,name" (or "all").  The module
//   global `_FAST_PATHS_OFF` (a frozenset of names) tells tests which.
// - Events that are not a decision between two paths (a text the fast parser
//   refused) are plain `Counter`s, listed by the module's `_counters()`.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/errors.hpp"

namespace qv {

class FastPath {
public:
    // Declared at namespace scope (a static): registers itself with this
    // module's list.  `name` is unique within the module.
    FastPath(const char *name, const char *precondition);
    FastPath(const FastPath &) = delete;
    FastPath &operator=(const FastPath &) = delete;

    // Records the decision and returns it: `if (path.taken(cond)) ...`.
    bool taken(bool precondition) noexcept {
        precondition = precondition && enabled_;
        ++(precondition ? taken_ : bypassed_);
        return precondition;
    }
    // The same with the test as a callable, run only when the path is on.
    template <class Test>
    bool taken_if(Test &&test) {
        const bool yes = enabled_ && test();
        ++(yes ? taken_ : bypassed_);
        return yes;
    }
    bool enabled() const noexcept { return enabled_; }

    const char *name() const noexcept { return name_; }
    const char *precondition() const noexcept { return precondition_; }
    std::uint64_t taken_count() const noexcept { return taken_; }
    std::uint64_t bypassed_count() const noexcept { return bypassed_; }

private:
    const char *name_;
    const char *precondition_;
    bool enabled_;
    std::uint64_t taken_ = 0, bypassed_ = 0;
};

// A plain count of an event (declared at namespace scope, like a FastPath).
class Counter {
public:
    Counter(const char *name, const char *meaning);
    Counter(const Counter &) = delete;
    Counter &operator=(const Counter &) = delete;

    void add() noexcept { ++count_; }
    const char *name() const noexcept { return name_; }
    const char *meaning() const noexcept { return meaning_; }
    std::uint64_t count() const noexcept { return count_; }

private:
    const char *name_;
    const char *meaning_;
    std::uint64_t count_ = 0;
};

// The fast paths registered in this module.
const std::vector<FastPath *> &fast_paths();

// {name: (taken, bypassed)} for this module's fast paths (the value of the
// module's private `_fast_paths()`).
nb::object fast_path_counts();

// {name: count} for this module's plain counters (`_counters()`).
nb::object counter_counts();

// The names of this module's fast paths that the build switched off
// (`_FAST_PATHS_OFF`).
nb::object fast_paths_off();

}  // namespace qv
